#include "engines/web/zoho_engine.h"

#include "engines/web/web_login.h"

namespace tarvel {

using namespace page_scraping;

ZohoEngine::ZohoEngine(const AccountTypeInfo& type) : PageScrapingEngine(type) {}

CheckStatus ZohoEngine::Check() {
  const std::u16string_view host = web_login::hosts::kZohoMail;
  Text page;
  if (!Fetch(Get(host, u"/zm/", 443, kZohoUserAgent), &page))
    return CheckStatus::Failure;
  Text accountId;
  switch (Between(page, u"zmail.accId = \"", u"\"", &accountId)) {
    case Cut::Found:
      break;
    case Cut::TooLong:
      return Failed(u"the mail page's account id is unreadable");
    case Cut::Missing:
      return SignedOut(u"the mail page holds no account id");
  }

  // The CSRF value is the cookie of that exact name: another cookie whose name ends in it
  // is not taken.
  Text cookies;
  Text csrf;
  if (!http().GetCookies(Text(u"https://").Append(host).Append(u"/"), &cookies,
                         CookieAccess::ScriptVisible) ||
      !CookieValue(cookies, u"zmcsr", &csrf))
    return SignedOut(u"no zmcsr cookie");

  Text body = u"mode=listing&accId=";
  body.Append(StrictlyEncoded(accountId))
      .Append(
          u"&from=1&to=50&summary=true&sortBy=date&sortOrder=false&folderSpec=2&view=unread"
          u"&zmrcsr=")
      .Append(StrictlyEncoded(csrf));
  Text answer;
  if (!Fetch(
          Post(host, u"/zm/ml.do", kZohoUserAgent,
               u"Content-Type: application/x-www-form-urlencoded; charset=UTF-8", body.ToBytes()),
          &answer))
    return CheckStatus::Failure;
  return ReadListing(answer);
}

CheckStatus ZohoEngine::ReadListing(const Text& answer) {
  JsonDocument document;
  if (!ParseJson(answer, document))
    return Failed(u"the listing is not JSON");
  const JsonNode* messages =
      JsonDocument::firstOfKind(JsonDocument::child(document.root()), JsonKind::Array);
  if (messages == nullptr)
    return Failed(u"the listing holds no message list");
  StartReading();
  for (const JsonNode* message = FirstElement(messages); message != nullptr;
       message = message->next) {
    std::u16string_view subject;
    std::u16string_view sender;
    std::u16string_view date;
    if (!ScalarMember(message, u"SB", &subject) || !ScalarMember(message, u"SN", &sender) ||
        !ScalarMember(message, u"R", &date))
      break;
    if (!Report(Decoded(sender), Decoded(subject), Decoded(date)))
      break;
  }
  return CheckStatus::Success;
}

std::unique_ptr<MailEngine> CreateZohoEngine(const AccountTypeInfo& type, const SettingsStore*) {
  return std::make_unique<ZohoEngine>(type);
}

}  // namespace tarvel
