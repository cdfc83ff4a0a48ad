#include "resources/string_table.h"

#include <array>
#include <string>
#include <string_view>

namespace tarvel {

namespace {

// The English table; ids 1 to 50 in order.
constexpr std::array<std::u16string_view, kLastStringId> kEnglish = {
    u"No unread mails",
    u"1 new mail",
    u"%1!u! new mails",
    u"Exit",
    u"Automatically check for updates",
    u"Last Check: %1",
    u"1 Minute",
    u"%1!u! Minutes",
    u"Do you want to change the email account? Click <a>here</a>.",
    u"Please select a wave file",
    u"Wave files|*.wav|All files|*.*||",
    u"Check Interval",
    u"Tray Icon Style",
    u"New Mail Sound",
    u"OK",
    u"Cancel",
    u"Options",
    u"E-Mail Reader",
    u"%1!u! Seconds",
    u"1 Second",
    u"ToolTip Display Duration",
    u"Folders to check",
    u"Check Now",
    u"Show E-Mail Count",
    u"Check %1 for new mails",
    u"Use alternative Tooltip",
    u"Use * for all folders, leave empty for Inbox only",
    u"Silence",
    u"For %1!u! Minutes",
    u"Until Next Start",
    u"Turn Notifications On",
    u"For 1 Minute",
    u"Show static mail list window",
    u"IMAP Server",
    u"E-Mail",
    u"Password",
    u"Website",
    u"Hours for Mail Check",
    u"Server",
    u"Name",
    u"Check all Folders",
    u"You must have installed the <a>WebView2</a> component from Microsoft.\nYou can "
    u"download the installer from <a>here</a>.",
    u"Account Type",
    u"EWS Address",
    u"Authentication Method",
    u"OAuth2 Auth Code Flow",
    u"OAuth2 Device Code Flow",
    u"Forever",
    u"Use IMAP IDLE for real-time notifications",
    u"More Options",
};

Text FillInsert(const Text& pattern, std::u16string_view value) {
  Text result = pattern;
  // "%1!u!" first, so that the shorter "%1" does not leave "!u!" behind.
  result.Replace(u"%1!u!", value);
  result.Replace(u"%1", value);
  return result;
}

}  // namespace

Text LoadString(uint32_t id, LanguageId /*language*/) {
  if (id < kFirstStringId || id > kLastStringId)
    return Text();
  return Text(kEnglish[id - kFirstStringId]);
}

Text FormatString(const Text& pattern, uint32_t number) {
  const std::string digits = std::to_string(number);
  return FillInsert(pattern, Text::FromUtf8(digits).view());
}

Text FormatString(const Text& pattern, const Text& text) {
  return FillInsert(pattern, text.view());
}

}  // namespace tarvel
