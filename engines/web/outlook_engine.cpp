// The two Outlook.com account types: the classic one asks the web mail server with the HTTP
// client and the cookies the sign-in kept; the alternative one reads the mail list that an
// invisible browser view renders.
#include "engines/web/outlook_engine.h"

#include <utility>

#include "accounts/settings_store.h"
#include "engines/protocol/service_dates.h"
#include "platform/json_document.h"
#include "platform/web_view.h"

namespace tarvel {

namespace {

enum class Case {
  Sensitive,
  Ignored,
};

Text::Position FindIn(const Text& text, std::u16string_view needle, Text::Position from,
                      Case letterCase) {
  return letterCase == Case::Sensitive ? text.FindCase(needle, from) : text.Find(needle, from);
}

bool Contains(const Text& text, std::u16string_view needle, Case letterCase = Case::Sensitive) {
  return FindIn(text, needle, 0, letterCase) != Text::kNotFound;
}

// The text between the first `start` marker at or after `from` and the next `end` marker.
// Returns the position of the end marker, or kNotFound when either is missing.
Text::Position Between(const Text& text, std::u16string_view start, std::u16string_view end,
                       Text::Position from, Text* content, Case letterCase = Case::Ignored) {
  const Text::Position begin = FindIn(text, start, from, letterCase);
  if (begin == Text::kNotFound)
    return Text::kNotFound;
  const Text::Position contentStart = begin + static_cast<Text::Position>(start.size());
  const Text::Position stop = FindIn(text, end, contentStart, letterCase);
  if (stop == Text::kNotFound)
    return Text::kNotFound;
  *content = text.Mid(contentStart, stop - contentStart);
  return stop;
}

// The part of a cell after its first ">".
Text AfterFirstTag(const Text& cell) {
  const Text::Position close = cell.FindChar(u'>');
  return close == Text::kNotFound ? Text() : cell.Mid(close + 1);
}

Text Concat(std::initializer_list<std::u16string_view> parts) {
  Text text;
  for (const std::u16string_view part : parts)
    text += part;
  return text;
}

// Collects what RestoreCookies would put back, so the check thread never reads the settings.
class CookieSetReader : public web_login::WebSessionPort {
 public:
  std::vector<StoredCookieValue> values;

  bool SetCookies(const Text& url, const Text& cookies, CookieAccess access) override {
    values.push_back({url, cookies, access == CookieAccess::IncludingHttpOnly});
    return true;
  }
  bool HttpGet(const Text&, const Text&) override { return false; }
  bool GetCookies(const Text&, CookieAccess, Text*) override { return false; }
  bool SetCookie(const Text&, const Text&, CookieAccess) override { return false; }
  bool DeleteCookies(const Text&, CookieAccess) override { return false; }
  bool OpenBrowser() override { return false; }
  bool BrowserDeleteCookies(const Text&, const Text&, const Text&) override { return false; }
  bool BrowserNavigateAndWait(const Text&) override { return false; }
  void CloseBrowser() override {}
  void ClearStoredCookieSet(uint32_t) override {}
  void ClearVirgilioCredentials() override {}
  void StartCheckTimer(uint32_t) override {}
};

}  // namespace

// ---------------------------------------------------------------------------------------------
// OutlookEngine

OutlookEngine::OutlookEngine(const AccountTypeInfo& type) : MailEngine(type) {}

void OutlookEngine::LoadSettings(const SettingsStore& store) {
  OutlookSettings loaded;
  loaded.accountType = static_cast<uint32_t>(store.readNumber(u"HotmailAccountType", 0));
  store.readText(u"HotmailWebsite", loaded.website, u"");
  CookieSetReader cookieSet;
  web_login::RestoreCookies(store, cookieSet, typeBit);
  loaded.storedCookies = std::move(cookieSet.values);
  SetSettings(std::move(loaded));
}

void OutlookEngine::SetSettings(OutlookSettings settings) {
  const std::lock_guard<std::mutex> lock(settingsMutex_);
  settings_ = std::move(settings);
}

OutlookSettings OutlookEngine::settings() const {
  const std::lock_guard<std::mutex> lock(settingsMutex_);
  return settings_;
}

std::u16string_view OutlookEngine::MailHost(uint32_t accountType) {
  return accountType != 0 ? outlook_hosts::kOffice365Mail : outlook_hosts::kOutlookMail;
}

void OutlookEngine::PutBackStoredCookies(const OutlookSettings& account) {
  // Only cookies the client no longer holds are put back: a cookie the service has renewed
  // since the sign-in stays as the service set it.
  for (const StoredCookieValue& value : account.storedCookies) {
    const CookieAccess access =
        value.httpOnly ? CookieAccess::IncludingHttpOnly : CookieAccess::ScriptVisible;
    Text rest = value.cookies;
    Text pair;
    while (rest.NextToken(pair, u";", LeadingSeparators::Skip, TokenQuotes::Keep)) {
      pair.Trim();
      const Text::Position equals = pair.FindChar(u'=');
      if (equals <= 0)
        continue;
      Text present;
      const Text cookieName = pair.Left(equals);
      if (session_.GetCookies(value.url, &present, access, cookieName) && !present.isEmpty())
        continue;
      if (value.httpOnly)
        pair += u"; HttpOnly";
      session_.SetCookie(value.url, pair, access);
    }
  }
}

CheckStatus OutlookEngine::Check() {
  checkTime_ = UnixNow();
  const OutlookSettings account = settings();
  session_.SetStopSignal(stopSignal());
  PutBackStoredCookies(account);
  const std::u16string_view host = MailHost(account.accountType);
  const CheckStatus startup = RunStartupReader(host);
  if (startup == CheckStatus::Success)
    return startup;
  if (stopRequested())
    return CheckStatus::Failure;
  const CheckStatus folderView = RunFolderViewReader(host);
  if (folderView == CheckStatus::Success || mails.count() > 0)
    return CheckStatus::Success;
  return startup == CheckStatus::LoginNeeded ? CheckStatus::LoginNeeded : folderView;
}

bool OutlookEngine::Get(std::u16string_view host, std::u16string_view object,
                        std::u16string_view userAgent, std::u16string_view headers,
                        ServiceKind kind, Text* answer) {
  HttpRequest request;
  request.server = host;
  request.object = object;
  request.userAgent = userAgent;
  request.extraHeaders = headers;
  request.port = 443;
  request.serviceKind = kind;
  request.largestBody = kLargestAnswer;
  int status = 0;
  return session_.Request(request, answer, &status);
}

bool OutlookEngine::StartupPageWantsSignIn(const Text& page) {
  using namespace outlook_hosts;
  return Contains(page, Concat({kLogin, u"/login"})) ||
         Contains(page, Concat({u"urlPost:'https://", kLogin, u"/ppsecure/post.srf"})) ||
         Contains(page, u"class=\"internal sign-in-link\"") ||
         Contains(page, Concat({u"edgeRedirectUri\":\"https://", kAutologon})) ||
         Contains(page, u"data-signinurl='");
}

bool OutlookEngine::FolderViewWantsSignIn(const Text& page) {
  using namespace outlook_hosts;
  return Contains(page, Concat({kLogin, u"/login"})) ||
         Contains(page, Concat({u"urlPost:'https://", kLogin, u"/ppsecure/post.srf"})) ||
         Contains(page, Concat({u"URL=https://", kOnlineLogin, u"/jsdisabled\""})) ||
         Contains(page, u"/login.srf\"");
}

constexpr std::u16string_view kJavaScriptRequired = u">JavaScript required to sign in<";

CheckStatus OutlookEngine::RunStartupReader(std::u16string_view host) {
  const Text probeHeaders = u"Accept-Encoding: gip, deflate";
  for (int pass = 0; pass < 2; ++pass) {
    Text page;
    if (!Get(host, u"/owa/", kOutlookProbeAgent, probeHeaders, ServiceKind::Https, &page)) {
      lastFailure = u"no answer from the web mail server";
      return host == outlook_hosts::kOffice365Mail ? CheckStatus::LoginNeeded
                                                   : CheckStatus::Failure;
    }
    if (StartupPageWantsSignIn(page))
      return CheckStatus::LoginNeeded;
    if (pass == 0 && Contains(page, kJavaScriptRequired)) {
      if (!ReplayForm(page, host, kOutlookProbeAgent))
        return CheckStatus::Failure;
      continue;
    }
    break;
  }
  HttpRequest request;
  request.server = host;
  request.object = u"/owa/0/startupdata.ashx?app=Mail&n=0";
  request.userAgent = kOutlookStartupAgent;
  request.extraHeaders =
      u"Accept-Encoding: gip, deflate\r\nContent-Type: application/json; charset=utf-8";
  request.port = 443;
  request.serviceKind = ServiceKind::Https;
  request.verb = u"POST";
  request.largestBody = kLargestAnswer;
  Text answer;
  int status = 0;
  if (!session_.Request(request, &answer, &status)) {
    lastFailure = u"no start-up data from the web mail server";
    return CheckStatus::Failure;
  }
  return ReadStartupData(answer);
}

CheckStatus OutlookEngine::ReadStartupData(const Text& answer) {
  if (Contains(answer, u"<BODY>440 Login Timeout</BODY>"))
    return CheckStatus::LoginNeeded;
  JsonDocument json;
  if (!json.parse(answer.ToBytes())) {
    lastFailure = u"the start-up data is not JSON";
    return CheckStatus::Failure;
  }
  const JsonNode* node = json.root();
  if (node == nullptr || node->kind != JsonKind::Object) {
    lastFailure = u"the start-up data has no mail folder";
    return CheckStatus::Failure;
  }
  for (const std::u16string_view step :
       {u"findMailFolderItem", u"Body", u"ResponseMessages", u"Items"}) {
    node = JsonDocument::member(JsonDocument::child(node), step);
    if (node == nullptr || node->kind == JsonKind::Value) {
      lastFailure = u"the start-up data has no mail folder";
      return CheckStatus::Failure;
    }
  }
  node = JsonDocument::child(node);  // the first response message
  for (const std::u16string_view step : {u"RootFolder", u"Items"}) {
    node = JsonDocument::member(JsonDocument::child(node), step);
    if (node == nullptr || node->kind == JsonKind::Value) {
      lastFailure = u"the start-up data has no mail folder";
      return CheckStatus::Failure;
    }
  }
  if (node->kind != JsonKind::Array || JsonDocument::child(node) == nullptr) {
    lastFailure = u"the start-up data lists no messages";
    return CheckStatus::Failure;
  }
  if (checkTime_ == 0)
    checkTime_ = UnixNow();
  std::size_t read = 0;
  for (const JsonNode* message = JsonDocument::child(node);
       message != nullptr && read < kMostMessages; message = JsonDocument::next(message)) {
    if (message->kind != JsonKind::Object)
      continue;
    const JsonNode* first = JsonDocument::child(message);
    const JsonNode* isRead = JsonDocument::member(first, u"IsRead");
    if (isRead == nullptr || isRead->kind != JsonKind::Value || JsonDocument::value(isRead) != u"0")
      continue;
    auto item = std::make_unique<MailItem>();
    const JsonNode* sender = JsonDocument::member(first, u"Sender");
    const JsonNode* mailbox = JsonDocument::member(JsonDocument::child(sender), u"Mailbox");
    const JsonNode* senderName = JsonDocument::member(JsonDocument::child(mailbox), u"Name");
    if (senderName != nullptr && senderName->kind == JsonKind::Value) {
      item->sender = Text(JsonDocument::value(senderName));
      item->sender.Utf8Decode();
    }
    const JsonNode* subject = JsonDocument::member(first, u"Subject");
    if (subject != nullptr && subject->kind == JsonKind::Value) {
      item->subject = Text(JsonDocument::value(subject));
      item->subject.Utf8Decode();
    }
    const JsonNode* sent = JsonDocument::member(first, u"DateTimeSent");
    if (sent != nullptr && sent->kind == JsonKind::Value)
      item->date = ServiceDate(Text(JsonDocument::value(sent)), checkTime_);
    ++read;
    AddMail(std::move(item), MailOrder::SortedByDate);
  }
  return CheckStatus::Success;
}

CheckStatus OutlookEngine::RunFolderViewReader(std::u16string_view host) {
  for (int pass = 0; pass < 2; ++pass) {
    Text page;
    if (!Get(host, u"/owa/?ae=Folder&t=IPF.Note", kOutlookFolderViewAgent, u"", ServiceKind::Http,
             &page)) {
      lastFailure = u"no folder view from the web mail server";
      return CheckStatus::Failure;
    }
    if (FolderViewWantsSignIn(page))
      return CheckStatus::LoginNeeded;
    if (pass == 0 && Contains(page, kJavaScriptRequired)) {
      if (!ReplayForm(page, host, kOutlookFolderViewAgent))
        return CheckStatus::Failure;
      continue;
    }
    return ReadFolderView(page);
  }
  return CheckStatus::Failure;
}

CheckStatus OutlookEngine::ReadFolderView(const Text& answer) {
  if (!Contains(answer, u"id=\"lnkColSize\"", Case::Ignored)) {
    lastFailure = u"the folder view has no mail list";
    return CheckStatus::Failure;
  }
  constexpr std::u16string_view kRowStart =
      u"<tr style=\"font-weight:bold;\"><td nowrap align=\"center\"";
  std::size_t read = 0;
  Text row;
  Text::Position at = 0;
  while (read < kMostMessages &&
         (at = Between(answer, kRowStart, u"</td></tr>", at, &row)) != Text::kNotFound) {
    auto item = std::make_unique<MailItem>();
    // The row's end marker closes its last cell too.
    row += u"</td>";
    // The row's own opening cell is cell 0; the ones after it are counted from 1.
    Text::Position cellAt = 0;
    for (int cell = 1; cell <= 5; ++cell) {
      Text content;
      const Text::Position end = Between(row, u"<td nowrap", u"</td>", cellAt, &content);
      if (end == Text::kNotFound)
        break;
      cellAt = end;
      if (cell == 3) {
        item->sender = AfterFirstTag(content);
        item->sender.Utf8Decode();
      } else if (cell == 4) {
        Text subject;
        if (Between(content, u";\">", u"</a>", 0, &subject) != Text::kNotFound) {
          subject.Utf8Decode();
          item->subject = std::move(subject);
        }
      } else if (cell == 5) {
        item->date = AfterFirstTag(content);
      }
    }
    ++read;
    AddMail(std::move(item), MailOrder::AsReported);
  }
  return CheckStatus::Success;
}

bool OutlookEngine::ReadReplayForm(const Text& page, Text* target, Text* body) {
  Text action;
  Text::Position at = Between(page, u"action=\"", u"\"", 0, &action);
  if (at == Text::kNotFound)
    return false;
  action.Replace(u"&amp;", u"&");
  Text fields;
  Text name;
  while ((at = Between(page, u"name=\"", u"\"", at, &name)) != Text::kNotFound) {
    Text value;
    const Text::Position valueEnd = Between(page, u"value=\"", u"\"", at, &value);
    if (valueEnd == Text::kNotFound)
      break;
    at = valueEnd;
    if (!fields.isEmpty())
      fields += u"&";
    fields += name;
    fields += u"=";
    fields += value;
  }
  *target = std::move(action);
  *body = std::move(fields);
  return true;
}

bool OutlookEngine::ReplayForm(const Text& page, std::u16string_view host,
                               std::u16string_view userAgent) {
  Text target;
  Text body;
  if (!ReadReplayForm(page, &target, &body)) {
    lastFailure = u"the sign-in form has no target";
    return false;
  }
  // A target on the page's own server ("/owa/...") is posted there.
  if (target.FindChar(u'/') == 0 && (target.length() < 2 || target[1] != u'/'))
    target = Concat({u"https://", host, target.view()});
  else if (target.FindCase(u"//") == 0)
    target = Concat({u"https:", target.view()});
  UrlParts parts;
  if (!HttpSession::SplitUrl(target, &parts, 443) || parts.host.isEmpty()) {
    lastFailure = u"the sign-in form's target cannot be read";
    return false;
  }
  HttpRequest request;
  request.server = parts.host;
  request.object = parts.path;
  request.object += parts.extra;
  request.userAgent = userAgent;
  request.extraHeaders = u"Content-Type: application/x-www-form-urlencoded";
  request.port = 443;
  request.serviceKind = ServiceKind::Http;
  request.verb = u"POST";
  // The page came as bytes, one per unit; its values go back as the same bytes.
  request.body = body.ToBytes();
  request.largestBody = kLargestAnswer;
  Text answer;
  int status = 0;
  if (!session_.Request(request, &answer, &status)) {
    lastFailure = u"the sign-in form could not be sent";
    return false;
  }
  return true;
}

bool OutlookEngine::OpenReader(ReaderLauncher& launcher) {
  website = settings().website;
  return MailEngine::OpenReader(launcher);
}

Text OutlookEngine::GetDisplayName() const {
  if (!accountName.isEmpty())
    return accountName;
  return NameFromAddress(settings().website);
}

// ---------------------------------------------------------------------------------------------
// OutlookAltEngine

namespace {

bool LoadWithSharedProfile(const Text& url, Text* source, std::uint32_t settleMilliseconds) {
  return WebView::LoadPageSource(url, source, settleMilliseconds);
}

}  // namespace

OutlookAltEngine::OutlookAltEngine(const AccountTypeInfo& type, PageSourceLoader loader)
    : MailEngine(type),
      loader_(loader ? std::move(loader) : PageSourceLoader(&LoadWithSharedProfile)) {}

void OutlookAltEngine::LoadSettings(const SettingsStore& store) {
  OutlookAltSettings loaded;
  loaded.accountType = static_cast<uint32_t>(store.readNumber(u"OutlookAccountType", 0));
  store.readText(u"OutlookWebsite", loaded.website, u"");
  SetSettings(std::move(loaded));
}

void OutlookAltEngine::SetSettings(OutlookAltSettings settings) {
  const std::lock_guard<std::mutex> lock(settingsMutex_);
  settings_ = std::move(settings);
}

OutlookAltSettings OutlookAltEngine::settings() const {
  const std::lock_guard<std::mutex> lock(settingsMutex_);
  return settings_;
}

Text OutlookAltEngine::MailPage(uint32_t accountType) {
  if (accountType != 0)
    return Concat({u"https://", outlook_hosts::kOffice365Mail, u"/mail/"});
  return Concat({u"https://", outlook_hosts::kOutlookMail, u"/mail/0/"});
}

bool OutlookAltEngine::PageWantsSignIn(const Text& page) {
  return Contains(page, u"data-task=\"signin\"") ||
         Contains(page, u"<meta name=\"PageID\" content=\"ConvergedSignIn\">") ||
         Contains(page, u" data-bi-cn=\"SignIn\"", Case::Ignored) ||
         Contains(page, u"<form data-testid=\"passwordEntryForm\"", Case::Ignored) ||
         Contains(page, u" data-testid=\"passwordForm\" ", Case::Ignored) ||
         Contains(page, u"id=\"proof-confirmation-email-input\"", Case::Ignored);
}

Text OutlookAltEngine::StylesheetAddress(const Text& page, const Text& pageUrl) {
  constexpr std::u16string_view kLink = u"<link rel=\"stylesheet\" type=\"text/css\" href=\"";
  Text href;
  Text::Position at = 0;
  while ((at = Between(page, kLink, u"\"", at, &href)) != Text::kNotFound) {
    if (!Contains(href, u"owa.MailListItemSingleLineView.css", Case::Ignored) &&
        !Contains(href, u"owa.AppBoot.m.", Case::Ignored) &&
        !Contains(href, u"owa.MailBoot.m.css", Case::Ignored))
      continue;
    href.Replace(u"&amp;", u"&");
    // Addresses of the page's own server, or of the page's scheme.
    if (href.FindCase(u"//") == 0)
      return Concat({u"https:", href.view()});
    if (href.FindChar(u'/') == 0) {
      UrlParts parts;
      if (!HttpSession::SplitUrl(pageUrl, &parts, 443))
        return {};
      return Concat({u"https://", parts.host.view(), href.view()});
    }
    if (href.Find(u"https://") != 0)
      return {};  // nothing but the web app's own HTTPS stylesheets is fetched
    return href;
  }
  return {};
}

bool OutlookAltEngine::IsUnreadStyle(const Text& classes, const Text& stylesheet) {
  constexpr std::u16string_view kUnreadRule = u"{border-left-style:solid";
  Text rest = classes;
  Text name;
  while (rest.NextToken(name, u" \t\r\n", LeadingSeparators::Skip, TokenQuotes::Keep)) {
    // An empty name would match every such rule; a name matches only as a whole class
    // selector (".name{"), not as the end of a longer one.
    if (name.isEmpty())
      continue;
    if (stylesheet.FindCase(Concat({u".", name.view(), kUnreadRule})) != Text::kNotFound)
      return true;
  }
  return false;
}

CheckStatus OutlookAltEngine::ReadMailList(const Text& page) {
  Text list;
  if (Between(page, u"<div class=\"customScrollBar ", u"<div class=\"screenReaderOnly\"", 0,
              &list) == Text::kNotFound) {
    lastFailure = u"the page shows no mail list";
    return CheckStatus::Failure;
  }
  std::size_t read = 0;
  Text entry;
  Text::Position at = 0;
  while (read < kMostMessages && (at = Between(list, u"<div id=\"", u"</div></div></div></div>", at,
                                               &entry)) != Text::kNotFound) {
    auto item = std::make_unique<MailItem>();
    Text sender;
    if (Between(entry, u"<span title=\"", u"</span>", 0, &sender) == Text::kNotFound)
      continue;
    if (sender.FindChar(u'"') == 0 &&
        Between(entry, u"\" title=\"", u"</span>", 0, &sender) == Text::kNotFound)
      continue;
    item->sender = AfterFirstTag(sender);
    Text::Position subjectEnd = Between(entry, u"<span title=\"\">", u"</span>", 0, &item->subject);
    if (subjectEnd == Text::kNotFound)
      subjectEnd = Between(entry, u"\" title=\"\">", u"</span>", 0, &item->subject);
    if (subjectEnd == Text::kNotFound)
      continue;
    Text date;
    Text::Position dateEnd = Between(entry, u"\" title=\"", u"\"", subjectEnd, &date);
    if (dateEnd != Text::kNotFound && date.FindChar(u'@') != Text::kNotFound)
      dateEnd = Between(entry, u"\" title=\"", u"\"", dateEnd + 1, &date);
    if (dateEnd == Text::kNotFound)
      continue;
    item->date = std::move(date);
    Text classes;
    Between(entry, u"<div class=\"", u"\"", 0, &classes);
    if (!IsUnreadStyle(classes, stylesheetCache))
      continue;
    ++read;
    AddMail(std::move(item), MailOrder::AsReported);
  }
  return CheckStatus::Success;
}

CheckStatus OutlookAltEngine::Check() {
  const OutlookAltSettings account = settings();
  session_.SetStopSignal(stopSignal());
  const Text pageUrl = MailPage(account.accountType);
  Text page;
  if (!loader_(pageUrl, &page, kSettleMilliseconds)) {
    lastFailure = u"the mail page could not be loaded";
    return CheckStatus::Failure;
  }
  if (static_cast<std::size_t>(page.length()) > kLargestPage) {
    lastFailure = u"the mail page is too large";
    return CheckStatus::Failure;
  }
  if (PageWantsSignIn(page))
    return CheckStatus::LoginNeeded;
  if (stylesheetCache.isEmpty()) {
    const Text address = StylesheetAddress(page, pageUrl);
    Text stylesheet;
    if (!address.isEmpty() && session_.GetUrl(address, Text(), &stylesheet, kLargestStylesheet))
      stylesheetCache = std::move(stylesheet);
  }
  return ReadMailList(page);
}

bool OutlookAltEngine::OpenReader(ReaderLauncher& launcher) {
  website = settings().website;
  return MailEngine::OpenReader(launcher);
}

Text OutlookAltEngine::GetDisplayName() const {
  if (!accountName.isEmpty())
    return accountName;
  return NameFromAddress(settings().website);
}

std::unique_ptr<MailEngine> CreateOutlookEngine(const AccountTypeInfo& type,
                                                const SettingsStore* settings) {
  auto engine = std::make_unique<OutlookEngine>(type);
  if (settings != nullptr)
    engine->LoadSettings(*settings);
  return engine;
}

std::unique_ptr<MailEngine> CreateOutlookAltEngine(const AccountTypeInfo& type,
                                                   const SettingsStore* settings) {
  auto engine = std::make_unique<OutlookAltEngine>(type);
  if (settings != nullptr)
    engine->LoadSettings(*settings);
  return engine;
}

}  // namespace tarvel
