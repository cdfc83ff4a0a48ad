#pragma once

#include <string>

#include "platform/text.h"
#include "ui/readers/browser_tabs.h"

namespace tarvel {

class MailEngine;

// Reuses a browser tab that already shows an account's web mail: through the accessibility
// bus (AT-SPI over D-Bus) it looks in the browsers of the program's kind for a page tab whose
// name holds the account's title text, selects it and raises its window. False when the
// program is no known browser, the account has no title text, there is no accessibility bus
// or no such tab.
bool ActivateBrowserTab(const MailEngine& engine, const std::string& program);

// The same for a browser kind and a title text.
bool ActivateBrowserTab(BrowserKind kind, const Text& titleText);

// Whether the session has an accessibility bus; asks nothing that could start one.
bool AccessibilityBusPresent();

}  // namespace tarvel
