#include "engines/web/yahoo_engine.h"

#include <utility>

#include "engines/web/web_login.h"
#include "platform/web_view.h"

namespace tarvel {

using namespace page_scraping;

namespace {

// A scalar member of a document read from UTF-8, decoded; false when missing.
bool Value(const JsonNode* object, std::u16string_view name, Text* value) {
  std::u16string_view raw;
  if (!ScalarMember(object, name, &raw))
    return false;
  *value = Decoded(raw);
  return true;
}

// Parses the JSON that starts at `at`; what the reader built before the page's rest stays.
const JsonNode* ParseFrom(const Text& source, Text::Position at, std::u16string_view appended,
                          JsonDocument& document) {
  Text json = source.Mid(at);
  json.Append(appended);
  document.parse(json.ToUtf8());
  return document.root();
}

}  // namespace

YahooEngine::YahooEngine(const AccountTypeInfo& type, PageSourceLoader loader)
    : PageScrapingEngine(type), loader_(std::move(loader)) {
  if (!loader_)
    loader_ = [](const Text& url, Text* source, std::uint32_t settle) {
      return WebView::LoadPageSource(url, source, settle);
    };
}

bool YahooEngine::PageWantsSignIn(const Text& source) {
  const Text login = Text(u"action=\"https://").Append(web_login::hosts::kYahooLogin);
  for (std::u16string_view marker :
       {u"<form id=\"mbr-login-form\"", u"<form id=\"login-username-form\" method=\"post\"",
        u"<form id=\"manage-account-form\" method=\"post\"", u"<form id=\"account-switcher-form\"",
        u"{\\\"id\\\":\\\"loginbox\\\"", u"<span>Sign in</span>", u"alt=\"Sign in\">Sign in</a>"}) {
    if (Contains(source, marker))
      return true;
  }
  return Contains(source, Text(login).Append(u"/config/login?\"")) ||
         Contains(source, Text(login).Append(u"/config/login_verify2?\""));
}

CheckStatus YahooEngine::Check() {
  Text source;
  const Text url = Text(u"https://").Append(web_login::hosts::kYahooMail).Append(u"/n/inbox/all");
  if (!loader_(url, &source, 0))
    return Failed(u"the browser did not read the inbox page");
  if (static_cast<std::uint64_t>(source.length()) > kLargestAnswer)
    return Failed(u"the inbox page is too large");
  return ReadPage(std::move(source));
}

CheckStatus YahooEngine::ReadPage(Text source) {
  ReplaceAll(source, u"\":undefined,", u"\":\"undefined\",");
  ReplaceAll(source, u"\":undefined}", u"\":\"undefined\"}");
  if (PageWantsSignIn(source))
    return SignedOut(u"the inbox page asks for a sign-in");
  Text account;
  if (Between(source, u"emailAddress:\"", u"\"", &account) == Cut::Found ||
      Between(source, u"\"email\":\"", u"\"", &account) == Cut::Found)
    accountName = Decoded(account);
  StartReading();
  if (ReadMessageListObject(source) || ReadRenderedList(source) || ReadAppState(source))
    return CheckStatus::Success;
  return Failed(u"the inbox page holds no message list");
}

bool YahooEngine::ReadMessageListObject(const Text& source) {
  constexpr std::u16string_view kMarker = u"msgListObj=";
  const Text::Position at = source.FindCase(kMarker);
  if (at == Text::kNotFound)
    return false;
  JsonDocument document;
  const JsonNode* root =
      ParseFrom(source, at + static_cast<Text::Position>(kMarker.size()), u"}", document);
  const JsonNode* messages = root != nullptr ? root->children : nullptr;
  for (const JsonNode* message = messages != nullptr ? messages->children : nullptr;
       message != nullptr; message = message->next) {
    bool unread = false;
    const JsonNode* mflags = Member(message, u"mflags");
    Text value;
    if (mflags != nullptr) {
      if (!Value(mflags, u"isRead", &value))
        break;
      unread = value == u"0";
    } else {
      if (!Value(message, u"flags", &value))
        break;
      unread = value.Find(u"unread") != Text::kNotFound;
    }
    Text date;
    Text subject;
    if (!Value(message, u"rawDate", &date) || !Value(message, u"subject", &subject))
      break;
    if (!unread)
      continue;
    Text sender;
    if (!Value(FirstElement(Member(message, u"participantList")), u"name", &sender) &&
        !Value(message, u"from_name", &sender))
      Value(message, u"from", &sender);
    if (!Report(std::move(sender), std::move(subject), std::move(date)))
      break;
  }
  return true;
}

bool YahooEngine::ReadRenderedList(const Text& source) {
  if (source.Find(u"data-test-id=\"content-area\"") == Text::kNotFound)
    return false;
  constexpr std::u16string_view kItem = u"data-test-id=\"message-list-item\"";
  Text::Position at = 0;
  while (true) {
    const Text::Position start = source.FindCase(kItem, at);
    if (start == Text::kNotFound)
      break;
    const Text::Position contentStart = start + static_cast<Text::Position>(kItem.size());
    const Text::Position end = source.FindCase(u"</li>", contentStart);
    if (end == Text::kNotFound)
      break;
    at = end;
    const Text entry = source.Mid(contentStart, end - contentStart);
    if (!Contains(entry, u"data-test-read=\"false\""))
      continue;
    Text strong;
    Text subjectPart;
    Text subject;
    Text datePart;
    if (Between(entry, u"<strong", u"</strong>", &strong) != Cut::Found ||
        Between(entry, u"data-test-id=\"message-subject\"", u"</span>", &subjectPart) !=
            Cut::Found ||
        Between(subjectPart, u"title=\"", u"\"", &subject) != Cut::Found ||
        Between(entry, u" date\" role=\"gridcell\"", u"</span>", &datePart) != Cut::Found)
      continue;
    const Text::Position tagEnd = strong.FindChar(u'>');
    const Text::Position dateStart = datePart.FindCase(u"<span>");
    if (tagEnd == Text::kNotFound || dateStart == Text::kNotFound)
      continue;
    // The browser's source is text already: the fields are taken as they stand.
    if (!Report(strong.Mid(tagEnd + 1), subject, datePart.Mid(dateStart + 6),
                MailOrder::AsReported))
      break;
  }
  return true;
}

bool YahooEngine::ReadAppState(const Text& source) {
  constexpr std::u16string_view kMarker = u"root.AppState = ";
  const Text::Position at = source.FindCase(kMarker);
  if (at == Text::kNotFound)
    return false;
  JsonDocument document;
  const JsonNode* state =
      Member(ParseFrom(source, at + static_cast<Text::Position>(kMarker.size()), u"", document),
             u"reduxState");
  if (state == nullptr)
    return false;
  Text email;
  if (Value(FirstElement(Path(state, {u"mailboxes", u"allMailboxes"})), u"email", &email))
    accountName = email;
  const JsonNode* flags = Member(state, u"messagesFlags");
  const JsonNode* subjects =
      Path(state, {u"subjectsAndSnippets", u"subjects", u"DEFAULT_MESSAGES_METADATA_CACHEKEY"});
  const JsonNode* messages = Member(state, u"messages");
  for (const JsonNode* message = messages != nullptr ? messages->children : nullptr;
       message != nullptr; message = message->next) {
    Text folder;
    Text id;
    if (!Value(message, u"folderOfDelivery", &folder) || folder != u"1" ||
        !Value(message, u"messageId", &id))
      continue;
    Text read;
    Text subject;
    Text date;
    Text sender;
    if (!Value(Member(flags, id.view()), u"read", &read) || read != u"0" ||
        !Value(subjects, id.view(), &subject) ||
        !Value(Member(message, u"headers"), u"date", &date) ||
        !Value(FirstElement(Path(message, {u"headers", u"from"})), u"name", &sender))
      continue;
    if (!Report(std::move(sender), std::move(subject), std::move(date)))
      break;
  }
  return true;
}

std::unique_ptr<MailEngine> CreateYahooEngine(const AccountTypeInfo& type,
                                              const SettingsStore* settings) {
  static_cast<void>(settings);
  return std::make_unique<YahooEngine>(type);
}

}  // namespace tarvel
