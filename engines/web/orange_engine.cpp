#include "engines/web/orange_engine.h"

#include "platform/cookie_store.h"

namespace tarvel {

using namespace page_scraping;

namespace {

constexpr std::u16string_view kListPath =
    u"/webappmail/waml/mailList.php?FOLDER=SF_INBOX&folderName=Re%C3%A7us&START=0&COUNT=20&"
    u"waml_context=true&MCO=OFR&_=%u";
constexpr std::u16string_view kEntryStart = u"class=\"navitem";
constexpr std::u16string_view kEntryEnd = u"</li>";

// An entry's field between its markers, decoded; false when missing or unreadable.
bool Field(const Text& entry, std::u16string_view start, Text* value) {
  Text raw;
  if (Between(entry, start, u"</span>", &raw) != Cut::Found)
    return false;
  *value = Decoded(raw);
  return true;
}

bool WantsSignIn(const Text& page) {
  return Contains(page, Text(u"action=\"https://")
                            .Append(orange_hosts::kAuth)
                            .Append(u"/auth_user2/bin/auth_user.cgi\"")) ||
         Contains(page,
                  Text(orange_hosts::kDomain).Append(u"/authM/bin/omlForm.cgi?action=valider")) ||
         Contains(page,
                  Text(u"action=\"https://").Append(orange_hosts::kSingleSignOn).Append(u"/authM"));
}

}  // namespace

OrangeEngine::OrangeEngine(const AccountTypeInfo& type) : PageScrapingEngine(type) {}

CheckStatus OrangeEngine::Check() {
  // The mobile mail's own session cookies are dropped so that the server opens a fresh
  // session from the sign-in cookies. The server sets them http-only, so the expiry has to
  // reach those too.
  const std::optional<CookieUrl> root =
      CookieUrl::Parse(Text(u"http://").Append(orange_hosts::kMobileMail).Append(u"/").ToUtf8());
  if (root) {
    for (const char* expired : {"JSESSIONID_OPTI=;expires=Mon, 01-Jan-1900 00:00:00 GMT",
                                "JSESSIONID=;expires=Mon, 01-Jan-1900 00:00:00 GMT"})
      CookieStore::Shared().Store(*root, expired, CookieOrigin::Program,
                                  CookieAccess::IncludingHttpOnly);
  }
  Text page;
  if (!Fetch(Get(orange_hosts::kMobileMail, FillTick(kListPath), 80, kOrangeUserAgent), &page))
    return CheckStatus::Failure;
  return ReadMailList(page);
}

CheckStatus OrangeEngine::ReadMailList(const Text& page) {
  if (WantsSignIn(page))
    return SignedOut(u"the mail list asks for a sign-in");
  if (page.Find(u"class=\"navlist") == Text::kNotFound) {
    if (Contains(page, u"ws_emptyFolder\""))
      return CheckStatus::Success;
    return Failed(u"the page holds no mail list");
  }
  StartReading();
  Text::Position at = 0;
  while (true) {
    const Text::Position start = page.FindCase(kEntryStart, at);
    if (start == Text::kNotFound)
      break;
    const Text::Position contentStart = start + static_cast<Text::Position>(kEntryStart.size());
    Text::Position end = page.FindCase(kEntryEnd, contentStart);
    if (end == Text::kNotFound)
      break;
    at = end + static_cast<Text::Position>(kEntryEnd.size());
    const Text entry = page.Mid(contentStart, end - contentStart);
    if (!Contains(entry, u" ws_navItemUnread\""))
      continue;
    Text sender;
    Text subject;
    Text date;
    if (!Field(entry, u"class=\"ws_listSender\">", &sender) ||
        !Field(entry, u"class=\"ws_listSubject\">", &subject) ||
        !Field(entry, u"class=\"ws_listDate\">", &date))
      continue;
    if (!Report(std::move(sender), std::move(subject), std::move(date), MailOrder::AsReported))
      break;
  }
  return CheckStatus::Success;
}

std::unique_ptr<MailEngine> CreateOrangeEngine(const AccountTypeInfo& type,
                                               const SettingsStore* settings) {
  static_cast<void>(settings);
  return std::make_unique<OrangeEngine>(type);
}

}  // namespace tarvel
