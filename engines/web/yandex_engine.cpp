#include "engines/web/yandex_engine.h"

#include <string>

#include "accounts/settings_store.h"
#include "engines/web/web_login.h"

namespace tarvel {

using namespace page_scraping;

namespace {

constexpr std::u16string_view kFormKeyStart = u"name=\"_ckey\" value=\"";
constexpr std::u16string_view kBoxesStart = u"\"exp-boxes\":\"";
constexpr std::u16string_view kEnabledBoxesStart = u"\"eexp-boxes\":\"";

// Commas and semicolons of the boxes texts are sent encoded; the rest as it stands.
Text EncodedBoxes(Text boxes) {
  boxes.Replace(u",", u"%2C");
  boxes.Replace(u";", u"%3B");
  return boxes;
}

// A messages answer that says the session is not signed in: an empty model list or the
// AUTH_NO_AUTH error, as text or in any JSON layout.
bool IsSignedOutAnswer(const Text& answer, const JsonNode* root) {
  if (ContainsNoCase(answer, u"{\"models\":[],\"") ||
      ContainsNoCase(answer, u"\"error\":{\"code\":\"AUTH_NO_AUTH\"}"))
    return true;
  const JsonNode* models = Member(root, u"models");
  if (IsArray(models) && models->children == nullptr)
    return true;
  for (const JsonNode* model = FirstElement(models); model != nullptr; model = model->next) {
    std::u16string_view code;
    if (ScalarMember(Member(model, u"error"), u"code", &code) && code == u"AUTH_NO_AUTH")
      return true;
  }
  return false;
}

}  // namespace

YandexEngine::YandexEngine(const AccountTypeInfo& type) : PageScrapingEngine(type) {}

void YandexEngine::LoadSettings(const SettingsStore& store) {
  SetCheckAllFolders(store.readNumber(u"YandexCheckAllFolders", 0) == 1);
}

CheckStatus YandexEngine::Check() {
  interactiveLogin_.store(false);
  Text page;
  if (!Fetch(Get(web_login::hosts::kYandexMail, u"/"), &page))
    return CheckStatus::Failure;
  Text formKey;
  const Cut keyCut = Between(page, kFormKeyStart, u"\"", &formKey);
  if (keyCut == Cut::TooLong)
    return Failed(u"the mail page's form key is unreadable");
  if (keyCut == Cut::Missing || formKey.isEmpty()) {
    if (ContainsNoCase(
            page,
            Text(u"action=\"https://").Append(web_login::hosts::kYandexPassport).Append(u"/auth")))
      return SignedOut(u"the sign-in form of the passport");
    if (Contains(page, u"action=\"/checkcaptcha?")) {
      interactiveLogin_.store(true);
      return SignedOut(u"the captcha form");
    }
    return Failed(u"the mail page holds no form key");
  }

  if (!Fetch(Get(web_login::hosts::kYandexMail, u"/", 443, kYandexUserAgent), &page))
    return CheckStatus::Failure;
  Text boxes;
  Text enabledBoxes;
  const Cut boxesCut = Between(page, kBoxesStart, u"\"", &boxes);
  if (boxesCut == Cut::TooLong)
    return Failed(u"the mail page's boxes are unreadable");
  if (boxesCut == Cut::Missing) {
    interactiveLogin_.store(true);
    return SignedOut(u"the mail page holds no mailbox data");
  }
  if (Between(page, kEnabledBoxesStart, u"\"", &enabledBoxes) != Cut::Found)
    return Failed(u"the mail page holds no enabled boxes");

  Text body = u"_model.0=messages&_ckey=";
  body.Append(StrictlyEncoded(formKey))
      .Append(u"&_exp=")
      .Append(EncodedBoxes(boxes))
      .Append(u"&_eexp=")
      .Append(EncodedBoxes(enabledBoxes));
  body.Append(checkAllFolders_.load()
                  ? u"&goto.0=all&extra_cond.0=only_new&sort_type.0=date&unread.0=unread"
                  : u"&fid.0=1");
  Text answer;
  if (!Fetch(
          Post(web_login::hosts::kYandexMail, u"/touch/api/models?_m=messages", {},
               u"Content-Type: application/x-www-form-urlencoded; charset=UTF-8", body.ToBytes()),
          &answer))
    return CheckStatus::Failure;
  return ReadMessages(answer);
}

CheckStatus YandexEngine::ReadMessages(const Text& answer) {
  JsonDocument document;
  const bool parsed = ParseJson(answer, document);
  if (IsSignedOutAnswer(answer, parsed ? document.root() : nullptr))
    return SignedOut(u"the messages model asks for a sign-in");
  if (!parsed)
    return Failed(u"the messages model is not JSON");
  const JsonNode* messages =
      Path(FirstElement(Member(document.root(), u"models")), {u"data", u"messages"});
  if (!IsArray(messages))
    return Failed(u"the messages model holds no message list");

  StartReading();
  for (const JsonNode* message = FirstElement(messages); message != nullptr;
       message = message->next) {
    std::u16string_view isNew;
    std::u16string_view subject;
    std::u16string_view date;
    const JsonNode* fields = Member(message, u"field");
    if (!ScalarMember(message, u"new", &isNew) || isNew != u"1" || !IsArray(fields) ||
        !ScalarMember(message, u"subject", &subject) ||
        !ScalarMember(Member(message, u"date"), u"iso", &date))
      continue;
    Text sender;
    for (const JsonNode* field = FirstElement(fields); field != nullptr; field = field->next) {
      std::u16string_view type;
      if (!ScalarMember(field, u"type", &type) || type != u"from")
        continue;
      std::u16string_view shown;
      if (!ScalarMember(field, u"name", &shown) || shown.empty())
        ScalarMember(field, u"email", &shown);
      sender = Decoded(shown);
      break;
    }
    if (!Report(std::move(sender), Decoded(subject), Text(date)))
      break;
  }
  return CheckStatus::Success;
}

std::unique_ptr<MailEngine> CreateYandexEngine(const AccountTypeInfo& type,
                                               const SettingsStore* settings) {
  auto engine = std::make_unique<YandexEngine>(type);
  if (settings != nullptr)
    engine->LoadSettings(*settings);
  return engine;
}

}  // namespace tarvel
