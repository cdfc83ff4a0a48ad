#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/text.h"

namespace tarvel {

class MailEngine;

// The browsers whose open tabs can be reused.
enum class BrowserKind {
  None,
  Chrome,  // Google Chrome and Chromium
  Firefox,
  Opera,
  Edge,
};

// The browser kind of a program, by its file name; Edge also when the reader is one of the
// "Microsoft Edge" names.
BrowserKind BrowserKindFromProgram(std::string_view program, const Text& reader);

// Whether an accessible application (its name on the accessibility bus and the file name of
// its process) is a browser of that kind.
bool IsBrowserApplication(BrowserKind kind, std::string_view applicationName,
                          std::string_view processName);

// What the account's web mail tab has in its title, by account type. For IMAP accounts the
// server and user name decide. Nothing when the type has no known web mail tab.
struct TabTitleSource {
  uint32_t typeBit = 0;
  Text emailAddress;  // what the engine reports as the account's address
  Text imapServer;
  Text imapUser;
};
std::optional<Text> TabTitleText(const TabTitleSource& source);
TabTitleSource TabTitleSourceOf(const MailEngine& engine);

// Whether a tab's name holds the title text, once the dash look-alikes U+0096 and U+2013
// are read as "-".
bool TabNameMatches(const Text& tabName, const Text& titleText);

}  // namespace tarvel
