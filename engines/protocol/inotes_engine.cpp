// Domino web access (iNotes) over HTTPS: a form login to names.nsf, the mail database named by
// the login page's refresh element, the inbox view through the iNotes proxy as XML
// (ReadViewEntries), and a logout.
#include "engines/protocol/inotes_engine.h"

#include <utility>

#include "accounts/protected_text.h"
#include "accounts/reader_launcher.h"
#include "accounts/settings_store.h"
#include "platform/cookie_store.h"
#include "platform/xml_document.h"

namespace tarvel {

namespace {

constexpr int kHttpsPort = 443;
constexpr std::u16string_view kRefreshMarker = u"<META HTTP-EQUIV=\"refresh\"";

// Form encoding of one value: unreserved characters as they are, blanks as "+", every other
// byte of its UTF-8 form as %XX.
std::string FormEncode(const Text& value) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string encoded;
  for (const unsigned char c : value.ToUtf8()) {
    const bool unreserved = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
                            (c >= '0' && c <= '9') || c == '-' || c == '.' || c == '_' || c == '~';
    if (unreserved) {
      encoded += static_cast<char>(c);
    } else if (c == ' ') {
      encoded += '+';
    } else {
      encoded += '%';
      encoded += kHex[c >> 4];
      encoded += kHex[c & 0xF];
    }
  }
  return encoded;
}

}  // namespace

INotesEngine::INotesEngine(const AccountTypeInfo& type) : MailEngine(type) {}

void INotesEngine::LoadSettings(const SettingsStore& store) {
  INotesSettings loaded;
  bool unreadable = false;
  loaded.server = UnprotectText(store, u"iNotesServer", u"", &unreadable);
  loaded.user = UnprotectText(store, u"iNotesName", u"", &unreadable);
  loaded.password = UnprotectText(store, u"iNotesPassword", u"", &unreadable);
  SetSecretsUnreadable(unreadable);
  SetSettings(std::move(loaded));
}

void INotesEngine::SetSettings(INotesSettings settings) {
  const std::lock_guard<std::mutex> lock(settingsMutex_);
  settings_ = std::move(settings);
}

INotesSettings INotesEngine::settings() const {
  const std::lock_guard<std::mutex> lock(settingsMutex_);
  return settings_;
}

Text INotesEngine::GetDisplayName() const {
  if (Text::CompareNoCase(reader.view(), u"iNotes") == 0)
    return u"iNotes";
  if (Text::CompareNoCase(reader.view(), u"Notes") == 0)
    return u"Notes";
  return reader;
}

bool INotesEngine::OpenReader(ReaderLauncher& launcher) {
  if (reader.view() != u"iNotes")
    return MailEngine::OpenReader(launcher);
  // The server's web access in the default browser.
  const Text server = settings().server;
  if (server.isEmpty())
    return false;
  website = Text(u"https://").Append(server.view());
  const Text chosen = reader;
  reader = kDefaultWebBrowser;
  const bool opened = MailEngine::OpenReader(launcher);
  reader = chosen;
  return opened;
}

std::string INotesEngine::LoginBody(const Text& user, const Text& password) {
  return "%25%25ModDate=A6187C5A00000000&username=" + FormEncode(user) +
         "&password=" + FormEncode(password) +
         "&DWAMode=1&%24PublicAccess=1&reasonType=0&RedirectTo=%2Flogin.nsf%3FOpen";
}

Text INotesEngine::MailDatabaseAddress(const Text& loginAnswer) {
  Text refresh;
  if (loginAnswer.Extract(kRefreshMarker, u"?", refresh) == Text::kNotFound)
    return {};
  const Text::Position url = refresh.Find(u"URL=");
  if (url == Text::kNotFound)
    return {};
  Text address = refresh.Mid(url + 4);
  address.Trim();
  return address;
}

CheckStatus INotesEngine::Check() {
  const INotesSettings account = settings();
  if (account.server.isEmpty()) {
    lastFailure = u"no server is set";
    return CheckStatus::Failure;
  }
  session_.SetStopSignal(stopSignal());
  const Text origin = Text(u"https://").Append(account.server.view());
  session_.DeleteCookies(origin, CookieAccess::ScriptVisible);

  HttpRequest login;
  login.server = account.server;
  login.object = u"/names.nsf?Login";
  login.userAgent = kINotesLoginUserAgent;
  login.port = kHttpsPort;
  login.serviceKind = ServiceKind::Https;
  login.verb = u"POST";
  login.extraHeaders = u"Content-Type: application/x-www-form-urlencoded";
  login.body = LoginBody(account.user, account.password);
  login.largestBody = kLargestAnswer;
  Text answer;
  int status = 0;
  if (!session_.Request(login, &answer, &status)) {
    lastFailure = Text::FromUtf8("no answer to the login (" + std::to_string(status) + ")");
    return CheckStatus::Failure;
  }
  if (status < 200 || status > 299) {
    lastFailure = Text::FromUtf8("the login answered with HTTP status " + std::to_string(status));
    return CheckStatus::Failure;
  }
  Text database = MailDatabaseAddress(answer);
  if (database.isEmpty()) {
    // Domino answers a refused password with its login form again.
    lastFailure = u"the login was refused";
    lastFailureKind = FailureKind::SignInRefused;
    return CheckStatus::Failure;
  }
  // A database named by its path alone lies on the server itself.
  if (database[0] == u'/')
    database = Text(origin).Append(database.view());
  UrlParts parts;
  if (!HttpSession::SplitUrl(Text(database).Append(kINotesInboxView), &parts, kHttpsPort) ||
      parts.host.isEmpty()) {
    lastFailure = u"the mail database's address cannot be read";
    return CheckStatus::Failure;
  }

  HttpRequest view;
  view.server = parts.host;
  view.object = Text(parts.path).Append(parts.extra.view());
  view.userAgent = kINotesViewUserAgent;
  view.port = kHttpsPort;
  view.serviceKind = ServiceKind::Https;
  view.largestBody = kLargestAnswer;
  CheckStatus result = CheckStatus::Failure;
  lastFailure = u"no answer to the inbox view";
  if (session_.Request(view, &answer, &status)) {
    if (status < 200 || status > 299) {
      lastFailure =
          Text::FromUtf8("the inbox view answered with HTTP status " + std::to_string(status));
    } else if (ReadView(answer)) {
      result = CheckStatus::Success;
      lastFailure.clear();
    } else {
      lastFailure = u"the inbox view is not an XML view";
    }
  }

  HttpRequest logout;
  logout.server = parts.host;
  logout.object = u"/resource.nsf?Logout";
  logout.userAgent = kINotesViewUserAgent;
  logout.port = kHttpsPort;
  logout.serviceKind = ServiceKind::Https;
  logout.largestBody = kLargestAnswer;
  Text ignored;
  session_.Request(logout, &ignored, &status);
  return result;
}

bool INotesEngine::ReadView(const Text& answer) {
  XmlDocument document;
  if (!document.Create(kXmlNoValidation | kXmlNoExternals) || !document.LoadText(answer))
    return false;
  // A session that ended answers with a page of its own: only a view counts.
  Text ignored;
  if (!document.GetText(u"viewentries", ignored))
    return false;
  entriesRead_ = 0;
  document.Enumerate(u"viewentries", &INotesEngine::VisitViewEntry, this);
  return true;
}

int INotesEngine::VisitViewEntry(int isAttribute, XmlNode* node, const Text& name, const Text&,
                                 void* context, XmlDocument* document) {
  auto* engine = static_cast<INotesEngine*>(context);
  if (isAttribute != 0 || name.view() != u"viewentry" || document == nullptr)
    return 0;
  if (engine->entriesRead_ >= kMostRecords)
    return 1;
  Text unread;
  if (!document->GetText(u"unread", unread, node) ||
      Text::CompareNoCase(unread.view(), u"true") != 0)
    return 0;
  auto item = std::make_unique<MailItem>();
  document->Enumerate(u"", &INotesEngine::VisitEntryData, item.get(), node);
  ++engine->entriesRead_;
  engine->AddMail(std::move(item), MailOrder::SortedByDate);
  return 0;
}

int INotesEngine::VisitEntryData(int isAttribute, XmlNode* node, const Text& name, const Text&,
                                 void* context, XmlDocument* document) {
  auto* item = static_cast<MailItem*>(context);
  if (isAttribute != 0 || name.view() != u"entrydata" || document == nullptr)
    return 0;
  Text column;
  document->GetText(u"columnnumber", column, node);
  if (column.view() == u"2")
    document->GetText(u"text", item->sender, node);
  else if (column.view() == u"3")
    document->GetText(u"text", item->subject, node);
  else if (column.view() == u"4")
    document->GetText(u"datetime", item->date, node);
  return 0;
}

}  // namespace tarvel
