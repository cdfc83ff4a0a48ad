#include "ui/readers/browser_tabs.h"

#include <string>

#include "accounts/account_type_bits.h"
#include "accounts/mail_engine.h"
#include "engines/protocol/imap_engine.h"
#include "platform/ascii_bytes.h"

namespace tarvel {

namespace {

std::string_view FileName(std::string_view path) {
  const std::size_t slash = path.rfind('/');
  return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

bool Contains(std::string_view text, std::string_view part) {
  return text.find(part) != std::string_view::npos;
}

bool ContainsNoCase(const Text& text, std::u16string_view part) {
  return text.Find(part) != Text::kNotFound;  // Find ignores letter case
}

}  // namespace

BrowserKind BrowserKindFromProgram(std::string_view program, const Text& reader) {
  const std::string name = ascii_bytes::Lowered(FileName(program));
  if (Contains(name, "chrome") || Contains(name, "chromium"))
    return BrowserKind::Chrome;
  if (Contains(name, "firefox"))
    return BrowserKind::Firefox;
  if (Contains(name, "opera"))
    return BrowserKind::Opera;
  if (Contains(name, "msedge") || Contains(name, "microsoft-edge"))
    return BrowserKind::Edge;
  const std::u16string_view edge = u"Microsoft Edge";
  if (reader.length() >= static_cast<Text::Position>(edge.size()) &&
      reader.view().substr(0, edge.size()) == edge)
    return BrowserKind::Edge;
  return BrowserKind::None;
}

bool IsBrowserApplication(BrowserKind kind, std::string_view applicationName,
                          std::string_view processName) {
  const std::string application = ascii_bytes::Lowered(applicationName);
  const std::string process = ascii_bytes::Lowered(FileName(processName));
  const auto either = [&](std::string_view part) {
    return Contains(application, part) || Contains(process, part);
  };
  switch (kind) {
    case BrowserKind::Chrome:
      return either("chrome") || either("chromium");
    case BrowserKind::Firefox:
      return either("firefox");
    case BrowserKind::Opera:
      return either("opera");
    case BrowserKind::Edge:
      return either("msedge") || either("microsoft edge") || either("microsoft-edge");
    case BrowserKind::None:
      return false;
  }
  return false;
}

std::optional<Text> TabTitleText(const TabTitleSource& source) {
  Text title;
  switch (source.typeBit) {
    case type_bits::kGMail:
      title = source.emailAddress.isEmpty() ? Text(u" - Gmail") : source.emailAddress;
      break;
    case type_bits::kYahoo:
      title = u" - Yahoo Mail";
      break;
    case type_bits::kFacebook:
      title = u"Facebook";
      break;
    case type_bits::kTwitter:
      title = u"Twitter";
      break;
    case type_bits::kLinkedIn:
      title = u" LinkedIn";
      break;
    case type_bits::kOutlook:
      title = u" - Outlook";
      break;
    default:
      if ((source.typeBit & type_bits::kAllImap) == 0)
        return std::nullopt;
      // Host names are compared without regard to case.
      if (ContainsNoCase(source.imapServer, u".outlook.com"))
        title = u" - Outlook";
      else if (ContainsNoCase(source.imapServer, u".gmail.com"))
        title = source.imapUser;
      else if (ContainsNoCase(source.imapServer, u".yahoo.com"))
        title = u" - Yahoo Mail";
      break;
  }
  if (title.isEmpty())
    return std::nullopt;
  return title;
}

TabTitleSource TabTitleSourceOf(const MailEngine& engine) {
  TabTitleSource source;
  source.typeBit = engine.typeBit;
  source.emailAddress = engine.accountName;
  if (const auto* imap = dynamic_cast<const ImapEngine*>(&engine)) {
    source.imapServer = imap->settings().server;
    source.imapUser = imap->settings().user;
  }
  return source;
}

bool TabNameMatches(const Text& tabName, const Text& titleText) {
  std::u16string name(tabName.view());
  std::replace(name.begin(), name.end(), u'\u0096', u'-');
  std::replace(name.begin(), name.end(), u'\u2013', u'-');
  return name.find(titleText.view()) != std::u16string::npos;
}

}  // namespace tarvel
