#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>

#include "accounts/mail_engine.h"
#include "platform/http_session.h"
#include "platform/json_document.h"
#include "platform/text.h"

namespace tarvel {

// One request of a page-scraping engine.
struct PageRequest {
  std::u16string_view host;
  Text path;                      // path and query, sent as they stand
  int port = 443;                 // 443: over TLS; 80: plain HTTP
  std::u16string_view userAgent;  // empty: none
  std::u16string_view verb;       // empty: GET
  std::u16string_view headers;    // extra header lines
  std::string body;               // bytes as sent
};

// The shared part of the engines that read a web service's private JSON interfaces with the
// cookies its sign-in left in the HTTP client's cookie store. Answers come as bytes widened
// one per code unit; every field taken from them is bounded, and every record passes through
// AddMail's normalisation.
class PageScrapingEngine : public MailEngine {
 public:
  // Larger answers fail: the services' mail pages and lists stay far below.
  static constexpr std::uint64_t kLargestAnswer = 8ull * 1024 * 1024;
  // More records than this are not read from one answer.
  static constexpr std::size_t kMostMessages = 5000;
  // Longer sender, subject and date texts are cut.
  static constexpr Text::Position kLongestField = 1024;
  // Longer values cut out of a page between markers (keys, ids, tokens) count as unreadable.
  static constexpr Text::Position kLongestCut = 4096;

  explicit PageScrapingEngine(const AccountTypeInfo& type);

  // The account's own name when a check learnt it, else the type's name.
  Text GetDisplayName() const override;

 protected:
  // Sends one request. False for no answer and for a server error (HTTP 500 and above),
  // which is never taken for a signed-out session; lastFailure then says why.
  bool Fetch(const PageRequest& request, Text* answer);

  CheckStatus Failed(std::u16string_view reason);
  CheckStatus SignedOut(std::u16string_view reason);

  // Adds one record with the fields bounded; false once kMostMessages were added.
  bool Report(Text sender, Text subject, Text date, MailOrder order = MailOrder::SortedByDate);
  // Forgets the count of Report before reading a new answer.
  void StartReading() { reported_ = 0; }

  HttpSession& http() { return http_; }

 private:
  HttpSession http_;
  std::size_t reported_ = 0;
};

namespace page_scraping {

// A GET request, and a POST of a form body with its content type.
PageRequest Get(std::u16string_view host, Text path, int port = 443,
                std::u16string_view userAgent = {});
PageRequest Post(std::u16string_view host, Text path, std::u16string_view userAgent,
                 std::u16string_view contentTypeHeader, std::string body);

// "%u" filled with the current millisecond tick count, which makes each request unique.
// Fill a template before putting values into it, so that no value is filled.
Text FillTick(std::u16string_view pathTemplate);

// The text between two markers, both matched with letter case.
enum class Cut {
  Found,
  Missing,  // a marker is not there
  TooLong,  // longer than PageScrapingEngine::kLongestCut
};
Cut Between(const Text& page, std::u16string_view startMarker, std::u16string_view endMarker,
            Text* content, Text::Position from = 0);

bool Contains(const Text& page, std::u16string_view needle);        // with letter case
bool ContainsNoCase(const Text& page, std::u16string_view needle);  // ignoring it

// A page's text (bytes widened) decoded from UTF-8.
Text Decoded(std::u16string_view bytes);
// Every character other than an ASCII letter or digit as "%HH" of its code.
Text StrictlyEncoded(std::u16string_view text);

// The value of the cookie named exactly `name` in a "a=1; b=2" list; false when absent.
bool CookieValue(const Text& cookies, std::u16string_view name, Text* value);

// Replaces every occurrence in one pass from the start, in time linear in the text's length
// (a page of megabytes holds its quotes as entities by the hundred thousand).
void ReplaceAll(Text& text, std::u16string_view find, std::u16string_view replacement);

// Replaces "&quot;", "&amp;" and "&gt;", in that order.
void ReplaceSenderEntities(Text& text);

// Reads a JSON text given as bytes widened one per code unit. False when it is not one
// whole JSON text (a cut answer among them).
bool ParseJson(std::u16string_view widenedBytes, JsonDocument& document);

// The member of an object; null when `object` is no object or lacks it.
const JsonNode* Member(const JsonNode* object, std::u16string_view name);
// Members along a path of names.
const JsonNode* Path(const JsonNode* node, std::initializer_list<std::u16string_view> names);
// The elements of an array (null: none, or not an array).
const JsonNode* FirstElement(const JsonNode* array);
bool IsArray(const JsonNode* node);
// The scalar value of a member; false when it is missing or not a scalar.
bool ScalarMember(const JsonNode* object, std::u16string_view name, std::u16string_view* value);

}  // namespace page_scraping
}  // namespace tarvel
