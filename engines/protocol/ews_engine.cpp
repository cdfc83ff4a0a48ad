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

// The part of a name after its prefix ("s:Body" -> "Body").
std::u16string_view LocalName(std::u16string_view name) {
  const std::size_t colon = name.find(u':');
  return colon == std::u16string_view::npos ? name : name.substr(colon + 1);
}

bool SameLetters(std::u16string_view a, std::u16string_view b) {
  return Text::CompareNoCase(a, b) == 0;
}

// The first element (or, with `attributes`, attribute) below `parent` (the document element
// when null) whose name without its prefix is `localName`, with its text.
struct ChildSearch {
  std::u16string_view localName;
  bool attributes = false;
  XmlNode* found = nullptr;
  Text text;
};

int VisitChild(int isAttribute, XmlNode* node, const Text& name, const Text& text, void* context,
               XmlDocument*) {
  auto& search = *static_cast<ChildSearch*>(context);
  if ((isAttribute != 0) != search.attributes ||
      !SameLetters(LocalName(name.view()), search.localName))
    return 0;
  search.found = node;
  search.text = text;
  return 1;
}

ChildSearch FindByLocalName(XmlDocument& document, XmlNode* parent, std::u16string_view localName,
                            bool attribute = false) {
  ChildSearch search{localName, attribute, nullptr, {}};
  document.Enumerate(u"", &VisitChild, &search, parent);
  return search;
}

// A reason the server gave, as one short line of plain characters: no controls (C0, C1) and
// no bidirectional formatting that could disguise the text around it.
void AppendServerReason(Text& failure, std::u16string_view reason) {
  constexpr std::size_t kLongestReason = 200;
  failure.Append(u": ");
  std::size_t kept = 0;
  for (const char16_t c : reason) {
    if (kept == kLongestReason)
      break;
    const bool control = c < 0x20 || (c >= 0x7F && c <= 0x9F);
    const bool bidi = (c >= 0x200E && c <= 0x200F) || (c >= 0x202A && c <= 0x202E) ||
                      (c >= 0x2066 && c <= 0x2069) || c == 0x061C;
    if (bidi)
      continue;
    const char16_t shown = control ? u' ' : c;
    failure.Append(std::u16string_view(&shown, 1));
    ++kept;
  }
}

// Why an answer that parsed as XML is no answer of the operation (FindItem, UpdateItem); empty
// when it is one. The names are matched without their prefixes, which servers choose freely.
// With `messageRequired`, an answer without the operation's response message is no answer.
Text ErrorOfAnswer(XmlDocument& document, std::u16string_view response = u"FindItemResponse",
                   std::u16string_view message = u"FindItemResponseMessage",
                   bool messageRequired = false) {
  const ChildSearch envelope = FindByLocalName(document, nullptr, u"Envelope");
  if (envelope.found == nullptr)
    return u"the answer is not a SOAP envelope";
  const ChildSearch body = FindByLocalName(document, envelope.found, u"Body");
  if (body.found == nullptr)
    return u"the answer is not a SOAP envelope";
  const ChildSearch fault = FindByLocalName(document, body.found, u"Fault");
  if (fault.found != nullptr) {
    const ChildSearch reason = FindByLocalName(document, fault.found, u"faultstring");
    Text failure = u"the server reported a fault";
    if (!reason.text.isEmpty()) {
      AppendServerReason(failure, reason.text.view());
    }
    return failure;
  }
  // FindItemResponse\ResponseMessages\FindItemResponseMessage ResponseClass="Error"
  XmlNode* node = body.found;
  for (const std::u16string_view step :
       {response, std::u16string_view(u"ResponseMessages"), message}) {
    node = FindByLocalName(document, node, step).found;
    if (node == nullptr)
      return messageRequired ? Text(u"the answer holds no response message") : Text();
  }
  const ChildSearch responseClass = FindByLocalName(document, node, u"ResponseClass", true);
  if (SameLetters(responseClass.text.view(), u"Error") ||
      (messageRequired && !SameLetters(responseClass.text.view(), u"Success"))) {
    const ChildSearch code = FindByLocalName(document, node, u"ResponseCode");
    Text failure = u"the server refused the request";
    if (!code.text.isEmpty()) {
      AppendServerReason(failure, code.text.view());
    }
    return failure;
  }
  return {};
}

// Text for an XML attribute value between double quotes.
std::string XmlAttributeText(std::string_view value) {
  std::string out;
  for (const char c : value) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      default:
        out += c;
    }
  }
  return out;
}

// The settings of a request to the account's endpoint; false when the address cannot be read.
bool EndpointRequest(const EwsSettings& account, HttpRequest& request, Text& failure) {
  // SplitUrl gives the scheme's own port when the address names none: 80 for "http" (and
  // for an address without a scheme), 443 for "https". Either way the call goes over TLS.
  UrlParts parts;
  if (!HttpSession::SplitUrl(account.server, &parts, kDefaultPort)) {
    failure = u"the server address cannot be read";
    return false;
  }
  request.server = parts.host;
  request.object = parts.path;  // the query of the address is not sent
  request.userAgent = kEwsUserAgent;
  request.userName = account.user;
  request.password = account.password;
  request.port = parts.port;
  request.serviceKind = ServiceKind::Https;
  request.verb = u"POST";
  request.extraHeaders = u"Content-Type: text/xml";
  return true;
}

}  // namespace

std::string EwsMarkKey(std::string_view itemId, std::string_view changeKey) {
  if (itemId.empty() || itemId.size() > kEwsLongestId || changeKey.size() > kEwsLongestId ||
      itemId.find('\n') != std::string_view::npos || changeKey.find('\n') != std::string_view::npos)
    return {};
  return std::string(itemId) + "\n" + std::string(changeKey);
}

std::string EwsUpdateItemRequest(std::string_view itemId, std::string_view changeKey) {
  std::string id = "<t:ItemId Id=\"" + XmlAttributeText(itemId) + "\"";
  if (!changeKey.empty())
    id += " ChangeKey=\"" + XmlAttributeText(changeKey) + "\"";
  id += "/>";
  return "<?xml version=\"1.0\" encoding=\"utf-8\"?>"
         "<soap:Envelope xmlns:soap=\"http://schemas.xmlsoap.org/soap/envelope/\" "
         "xmlns:t=\"http://schemas.microsoft.com/exchange/services/2006/types\"><soap:Body>"
         "<UpdateItem xmlns=\"http://schemas.microsoft.com/exchange/services/2006/messages\" "
         "MessageDisposition=\"SaveOnly\" ConflictResolution=\"AutoResolve\"><ItemChanges>"
         "<t:ItemChange>" +
         id +
         "<t:Updates><t:SetItemField><t:FieldURI FieldURI=\"message:IsRead\"/><t:Message>"
         "<t:IsRead>true</t:IsRead></t:Message></t:SetItemField></t:Updates></t:ItemChange>"
         "</ItemChanges></UpdateItem></soap:Body></soap:Envelope>";
}

EwsEngine::EwsEngine(const AccountTypeInfo& type) : MailEngine(type) {}

void EwsEngine::LoadSettings(const SettingsStore& store) {
  EwsSettings loaded;
  store.readText(u"EWSServer", loaded.server, u"");
  bool unreadable = false;
  loaded.user = UnprotectText(store, u"EWSUser", u"", &unreadable);
  loaded.password = UnprotectText(store, u"EWSPassword", u"", &unreadable);
  SetSecretsUnreadable(unreadable);
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

  HttpRequest request;
  if (!EndpointRequest(account, request, lastFailure))
    return CheckStatus::Failure;
  request.body = std::string(kEwsFindItemRequest);
  request.largestBody = kLargestAnswer;

  Text answer;
  int status = 0;
  session_.SetStopSignal(stopSignal());
  if (!session_.Request(request, &answer, &status)) {
    lastFailure = Text::FromUtf8("no answer from the server (" + std::to_string(status) + ")");
    return CheckStatus::Failure;
  }
  // An error status (401 for a refused password, 500 with a SOAP fault) is a failed check,
  // whatever its page holds.
  if (status < 200 || status > 299) {
    lastFailure = Text::FromUtf8("the server answered with HTTP status " + std::to_string(status));
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
  if (Text error = ErrorOfAnswer(document); !error.isEmpty()) {
    lastFailure = std::move(error);
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
  // The answer's bytes come widened one per unit; the ids are plain ASCII (base64).
  Text itemId;
  Text changeKey;
  document->GetText(u"t:ItemId\\Id", itemId, node);
  document->GetText(u"t:ItemId\\ChangeKey", changeKey, node);
  item->markKey = EwsMarkKey(itemId.ToUtf8(), changeKey.ToUtf8());
  ++engine->messagesRead_;
  engine->AddMail(std::move(item), MailOrder::SortedByDate);
  return 0;
}

bool EwsEngine::MarkRead(const std::string& markKey, Text& failure) {
  const std::size_t split = markKey.find('\n');
  if (split == std::string::npos || split == 0) {
    failure = u"the message has no Exchange item id";
    return false;
  }
  const EwsSettings account = settings();
  HttpRequest request;
  if (!EndpointRequest(account, request, failure))
    return false;
  request.body = EwsUpdateItemRequest(std::string_view(markKey).substr(0, split),
                                      std::string_view(markKey).substr(split + 1));
  request.largestBody = kLargestAnswer;
  HttpSession session;
  Text answer;
  int status = 0;
  if (!session.Request(request, &answer, &status)) {
    failure = Text::FromUtf8("no answer from the server (" + std::to_string(status) + ")");
    return false;
  }
  if (status < 200 || status > 299) {
    failure = Text::FromUtf8("the server answered with HTTP status " + std::to_string(status));
    return false;
  }
  XmlDocument document;
  if (!document.Create(kXmlNoValidation | kXmlNoExternals) || !document.LoadText(answer)) {
    failure = u"the answer is not XML";
    return false;
  }
  failure = ErrorOfAnswer(document, u"UpdateItemResponse", u"UpdateItemResponseMessage", true);
  return failure.isEmpty();
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
