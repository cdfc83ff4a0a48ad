#include "engines/web/mail_ru_engine.h"

#include "platform/display_text.h"

namespace tarvel {

using namespace page_scraping;

MailRuEngine::MailRuEngine(const AccountTypeInfo& type) : PageScrapingEngine(type) {}

CheckStatus MailRuEngine::Check() {
  Text page;
  if (!Fetch(Get(kMailRuTouchHost, u"/messages/", 443, kMailRuUserAgent), &page))
    return CheckStatus::Failure;
  Text user;
  Text token;
  const Cut userCut = Between(page, u"mailru.user = '", u"'", &user);
  const Cut tokenCut = Between(page, u"mailru.token = \"", u"\"", &token);
  if (userCut == Cut::TooLong || tokenCut == Cut::TooLong)
    return Failed(u"the mail page's user or token is unreadable");
  if (userCut == Cut::Missing || tokenCut == Cut::Missing || token.isEmpty())
    return SignedOut(u"the mail page holds no user or token");
  Text shownName = Decoded(user);
  RemoveControlCharacters(shownName);
  accountName = CutText(shownName, kLongestUser);

  // The values go into the query encoded: a "+" or "&" of theirs is not read as syntax.
  Text path = FillTick(
      u"/api/v1/messages/status?folder=0&offset=0&limit=25&last_modified=1&id=null&email=%s"
      u"&htmlencoded=false&token=%s&_=%u");
  path.Replace(u"email=%s", Text(u"email=").Append(StrictlyEncoded(user)));
  path.Replace(u"token=%s", Text(u"token=").Append(StrictlyEncoded(token)));
  Text answer;
  if (!Fetch(Get(kMailRuTouchHost, path, 443, kMailRuUserAgent), &answer))
    return CheckStatus::Failure;
  return ReadStatus(answer);
}

CheckStatus MailRuEngine::ReadStatus(const Text& answer) {
  JsonDocument document;
  if (!ParseJson(answer, document))
    return Failed(u"the messages status is not JSON");
  const JsonNode* messages = Path(document.root(), {u"body", u"messages"});
  if (!IsArray(messages))
    return Failed(u"the messages status holds no message list");
  StartReading();
  for (const JsonNode* message = FirstElement(messages); message != nullptr;
       message = message->next) {
    std::u16string_view unread;
    std::u16string_view subject;
    std::u16string_view date;
    const JsonNode* from = FirstElement(Path(message, {u"correspondents", u"from"}));
    std::u16string_view shown;
    if (!ScalarMember(Member(message, u"flags"), u"unread", &unread) || unread != u"1" ||
        !ScalarMember(message, u"subject", &subject) || !ScalarMember(message, u"date", &date))
      continue;
    if ((!ScalarMember(from, u"name", &shown) || shown.empty()) &&
        !ScalarMember(from, u"email", &shown))
      continue;
    Text sender = Decoded(shown);
    ReplaceSenderEntities(sender);
    if (!Report(std::move(sender), Decoded(subject), Text(date)))
      break;
  }
  return CheckStatus::Success;
}

std::unique_ptr<MailEngine> CreateMailRuEngine(const AccountTypeInfo& type, const SettingsStore*) {
  return std::make_unique<MailRuEngine>(type);
}

}  // namespace tarvel
