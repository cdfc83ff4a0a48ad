#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include "ui/tray/tray_menu.h"

class QMenu;

namespace tarvel {

// Fills `menu` (emptied first) with the tray menu's items, their icons and the bold default
// item; choosing an item calls `onCommand` with its command.
void FillTrayMenu(QMenu& menu, const std::vector<TrayMenuItem>& items,
                  const std::function<void(uint32_t command)>& onCommand);

}  // namespace tarvel
