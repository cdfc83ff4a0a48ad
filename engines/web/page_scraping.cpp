// The steps every page-scraping engine shares: one request under the common rules, the tick
// fill of unique paths, texts cut out between markers, the decoded text and the bounded record.
#include "engines/web/page_scraping.h"

#include <chrono>
#include <string>
#include <utility>

#include "platform/display_text.h"

namespace tarvel {

PageScrapingEngine::PageScrapingEngine(const AccountTypeInfo& type) : MailEngine(type) {}

Text PageScrapingEngine::GetDisplayName() const {
  return accountName.isEmpty() ? Text(type().displayName) : accountName;
}

bool PageScrapingEngine::Fetch(const PageRequest& page, Text* answer) {
  HttpRequest request;
  request.server = page.host;
  request.object = page.path;
  request.userAgent = page.userAgent;
  request.port = page.port;
  request.serviceKind = page.port == 443 ? ServiceKind::Https : ServiceKind::Http;
  request.verb = page.verb;
  request.extraHeaders = page.headers;
  request.body = page.body;
  request.largestBody = kLargestAnswer;

  int status = 0;
  http_.SetStopSignal(stopSignal());
  if (!http_.Request(request, answer, &status)) {
    lastFailure = Text(u"no answer from ")
                      .Append(page.host)
                      .Append(Text::FromUtf8(" (" + std::to_string(status) + ")"));
    lastFailureKind = FailureKind::Transient;
    return false;
  }
  // A server in trouble shows an error page without the mail data; that is no sign-out.
  if (status >= 500) {
    lastFailure = Text(page.host).Append(
        Text::FromUtf8(" answered with HTTP status " + std::to_string(status)));
    lastFailureKind = FailureKind::Transient;
    return false;
  }
  return true;
}

CheckStatus PageScrapingEngine::Failed(std::u16string_view reason) {
  lastFailure = reason;
  lastFailureKind = FailureKind::Transient;
  return CheckStatus::Failure;
}

CheckStatus PageScrapingEngine::SignedOut(std::u16string_view reason) {
  lastFailure = reason;
  return CheckStatus::LoginNeeded;
}

bool PageScrapingEngine::Report(Text sender, Text subject, Text date, MailOrder order) {
  if (reported_ >= kMostMessages)
    return false;
  ++reported_;
  AddMail(
      std::make_unique<MailItem>(CutText(sender, kLongestField), CutText(subject, kLongestField),
                                 Text(), CutText(date, kLongestField)),
      order);
  return true;
}

namespace page_scraping {

PageRequest Get(std::u16string_view host, Text path, int port, std::u16string_view userAgent) {
  PageRequest request;
  request.host = host;
  request.path = std::move(path);
  request.port = port;
  request.userAgent = userAgent;
  return request;
}

PageRequest Post(std::u16string_view host, Text path, std::u16string_view userAgent,
                 std::u16string_view contentTypeHeader, std::string body) {
  PageRequest request = Get(host, std::move(path), 443, userAgent);
  request.verb = u"POST";
  request.headers = contentTypeHeader;
  request.body = std::move(body);
  return request;
}

Text FillTick(std::u16string_view pathTemplate) {
  const auto ticks = std::chrono::duration_cast<std::chrono::milliseconds>(
                         std::chrono::steady_clock::now().time_since_epoch())
                         .count();
  Text path(pathTemplate);
  path.Replace(u"%u", Text::FromUtf8(std::to_string(static_cast<std::uint32_t>(ticks))));
  return path;
}

Cut Between(const Text& page, std::u16string_view startMarker, std::u16string_view endMarker,
            Text* content, Text::Position from) {
  const Text::Position start = page.FindCase(startMarker, from);
  if (start == Text::kNotFound)
    return Cut::Missing;
  const Text::Position valueStart = start + static_cast<Text::Position>(startMarker.size());
  const Text::Position end = page.FindCase(endMarker, valueStart);
  if (end == Text::kNotFound)
    return Cut::Missing;
  if (end - valueStart > PageScrapingEngine::kLongestCut)
    return Cut::TooLong;
  *content = page.Mid(valueStart, end - valueStart);
  return Cut::Found;
}

bool Contains(const Text& page, std::u16string_view needle) {
  return page.FindCase(needle) != Text::kNotFound;
}

bool ContainsNoCase(const Text& page, std::u16string_view needle) {
  return page.Find(needle) != Text::kNotFound;
}

Text Decoded(std::u16string_view bytes) {
  Text text(bytes);
  text.Utf8Decode();
  return text;
}

Text StrictlyEncoded(std::u16string_view text) {
  return Text(text).EncodeText(kEncodeStrict);
}

bool CookieValue(const Text& cookies, std::u16string_view name, Text* value) {
  std::u16string_view rest = cookies.view();
  while (!rest.empty()) {
    const std::size_t separator = rest.find(u';');
    std::u16string_view pair = rest.substr(0, separator);
    rest =
        separator == std::u16string_view::npos ? std::u16string_view() : rest.substr(separator + 1);
    while (!pair.empty() && pair.front() == u' ')
      pair.remove_prefix(1);
    const std::size_t equals = pair.find(u'=');
    if (equals == std::u16string_view::npos || pair.substr(0, equals) != name)
      continue;
    *value = pair.substr(equals + 1);
    return true;
  }
  return false;
}

void ReplaceAll(Text& text, std::u16string_view find, std::u16string_view replacement) {
  if (find.empty())
    return;
  const std::u16string_view source = text.view();
  std::u16string result;
  result.reserve(source.size());
  std::size_t at = 0;
  bool replaced = false;
  for (std::size_t found = source.find(find); found != std::u16string_view::npos;
       found = source.find(find, at)) {
    result.append(source.substr(at, found - at)).append(replacement);
    at = found + find.size();
    replaced = true;
  }
  if (!replaced)
    return;
  result.append(source.substr(at));
  text = Text(result);
}

void ReplaceSenderEntities(Text& text) {
  ReplaceAll(text, u"&quot;", u"\"");
  ReplaceAll(text, u"&amp;", u"&");
  ReplaceAll(text, u"&gt;", u">");
}

bool ParseJson(std::u16string_view widenedBytes, JsonDocument& document) {
  return document.parse(Text(widenedBytes).ToBytes()) && document.root() != nullptr;
}

const JsonNode* Member(const JsonNode* object, std::u16string_view name) {
  if (object == nullptr || object->kind != JsonKind::Object)
    return nullptr;
  return JsonDocument::member(object->children, name);
}

const JsonNode* Path(const JsonNode* node, std::initializer_list<std::u16string_view> names) {
  for (const std::u16string_view name : names)
    node = Member(node, name);
  return node;
}

const JsonNode* FirstElement(const JsonNode* array) {
  return IsArray(array) ? array->children : nullptr;
}

bool IsArray(const JsonNode* node) {
  return node != nullptr && node->kind == JsonKind::Array;
}

bool ScalarMember(const JsonNode* object, std::u16string_view name, std::u16string_view* value) {
  const JsonNode* node = Member(object, name);
  if (node == nullptr || node->kind != JsonKind::Value)
    return false;
  *value = node->value;
  return true;
}

}  // namespace page_scraping
}  // namespace tarvel
