// Exchange Web Services (SOAP 1.1 over HTTPS): one FindItem call per check, restricted to the
// unread messages of the inbox.
#include "engines/protocol/ews_engine.h"

#include <string>
#include <utility>

#include "accounts/protected_text.h"
#include "accounts/settings_store.h"
#include "platform/xml_document.h"

namespace tarvel {

namespace {

// An address without a port is reached on port 80, even over TLS.
constexpr int kDefaultPort = 80;

}  // namespace

EwsEngine::EwsEngine(const AccountTypeInfo& type) : MailEngine(type) {}

void EwsEngine::LoadSettings(const SettingsStore& store) {
  EwsSettings loaded;
  store.readText(u"EWSServer", loaded.server, u"");
  loaded.user = UnprotectText(store, u"EWSUser", u"");
  loaded.password = UnprotectText(store, u"EWSPassword", u"");
  store.readText(u"EWSWebsite", loaded.website, u"");
  SetSettings(std::move(loaded));
}

void EwsEngine::SetSettings(EwsSettings settings) {
  const std::lock_guard<std::mutex> lock(settingsMutex_);
  settings_ = std::move(settings);
}

EwsSettings EwsEngine::settings() const {
  const std::lock_guard<std::mutex> lock(settingsMutex_);
  return settings_;
}

CheckStatus EwsEngine::Check() {
  const EwsSettings account = settings();

  // SplitUrl gives the scheme's own port when the address names none: 80 for "http" (and
  // for an address without a scheme), 443 for "https". Either way the call goes over TLS.
  UrlParts parts;
  if (!HttpSession::SplitUrl(account.server, &parts, kDefaultPort)) {
    lastFailure = u"the server address cannot be read";
    return CheckStatus::Failure;
  }

  HttpRequest request;
  request.server = parts.host;
  request.object = parts.path;  // the query of the address is not sent
  request.userAgent = kEwsUserAgent;
  request.userName = account.user;
  request.password = account.password;
  request.port = parts.port;
  request.serviceKind = ServiceKind::Https;
  request.verb = u"POST";
  request.extraHeaders = u"Content-Type: text/xml";
  request.body = std::string(kEwsFindItemRequest);

  // The HTTP status is not looked at: an error page simply is no FindItem answer.
  Text answer;
  int status = 0;
  if (!session_.Request(request, &answer, &status)) {
    lastFailure = Text::FromUtf8("no answer from the server (" + std::to_string(status) + ")");
    return CheckStatus::Failure;
  }
  return ReadAnswer(answer);
}

CheckStatus EwsEngine::ReadAnswer(const Text& answer) {
  XmlDocument document;
  if (!document.Create(kXmlNoValidation | kXmlNoExternals) || !document.LoadText(answer)) {
    lastFailure = u"the answer is not XML";
    return CheckStatus::Failure;
  }
  messagesRead_ = 0;
  document.Enumerate(kEwsItemsPath, &EwsEngine::VisitItem, this);
  return CheckStatus::Success;
}

int EwsEngine::VisitItem(int isAttribute, XmlNode* node, const Text& name, const Text&,
                         void* context, XmlDocument* document) {
  auto* engine = static_cast<EwsEngine*>(context);
  // Only messages count; other items (meeting requests, tasks) and the white space between
  // them are passed over. The name is compared with its letter case.
  if (isAttribute != 0 || name.view() != u"t:Message" || document == nullptr)
    return 0;
  if (engine->messagesRead_ >= kMostMessages)
    return 1;
  auto item = std::make_unique<MailItem>();
  if (!document->GetText(u"t:Subject", item->subject, node))
    return 0;
  document->GetText(u"t:From\\t:Mailbox\\t:Name", item->sender, node);
  document->GetText(u"t:DateTimeCreated", item->date, node);
  ++engine->messagesRead_;
  engine->AddMail(std::move(item), MailOrder::SortedByDate);
  return 0;
}

bool EwsEngine::OpenReader(ReaderLauncher& launcher) {
  website = settings().website;
  return MailEngine::OpenReader(launcher);
}

Text EwsEngine::GetDisplayName() const {
  return settings().user;
}

std::unique_ptr<MailEngine> CreateEwsEngine(const AccountTypeInfo& type,
                                            const SettingsStore* settings) {
  auto engine = std::make_unique<EwsEngine>(type);
  if (settings != nullptr)
    engine->LoadSettings(*settings);
  return engine;
}

}  // namespace tarvel
