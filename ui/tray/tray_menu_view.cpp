#include "ui/tray/tray_menu_view.h"

#include <QMenu>

#include "ui/adapters/qt_text.h"
#include "ui/tray/tray_icon_images.h"

namespace tarvel {

namespace {

void AddItems(QMenu& menu, const std::vector<TrayMenuItem>& items,
              const std::function<void(uint32_t)>& onCommand) {
  for (const TrayMenuItem& item : items) {
    switch (item.kind) {
      case TrayMenuItem::Kind::Separator:
        menu.addSeparator();
        break;
      case TrayMenuItem::Kind::Submenu: {
        QMenu* submenu = menu.addMenu(ProgramIcon(item.icon), ToQString(item.text));
        submenu->setAccessibleName(ToQString(item.text));
        AddItems(*submenu, item.children, onCommand);
        break;
      }
      case TrayMenuItem::Kind::Command: {
        QAction* action = menu.addAction(ProgramIcon(item.icon), ToQString(item.text));
        const uint32_t command = item.command;
        QObject::connect(action, &QAction::triggered, &menu, [onCommand, command] {
          if (onCommand)
            onCommand(command);
        });
        if (item.isDefault)
          menu.setDefaultAction(action);
        break;
      }
    }
  }
}

}  // namespace

void FillTrayMenu(QMenu& menu, const std::vector<TrayMenuItem>& items,
                  const std::function<void(uint32_t command)>& onCommand) {
  menu.clear();
  AddItems(menu, items, onCommand);
}

}  // namespace tarvel
