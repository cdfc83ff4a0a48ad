#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

namespace tarvel::browser_protocol {

// The notifier and its browser helper (tarvel-browser) talk over one private stream socket
// in frames: four bytes of length (big-endian) and that many bytes of one JSON object.
//
// Notifier to helper, requests: {"id": N, "op": NAME, ...}; each is answered by
// {"re": N, "ok": BOOL, ...}. Helper to notifier, events: {"event": NAME, "view": V, ...};
// an event with "ask": K waits in the helper for {"answer": K, "value": INT, ...}.
inline constexpr std::uint32_t kLargestFrame = 48u * 1024 * 1024;
inline constexpr std::size_t kHeaderBytes = 4;
// The helper's first frame: {"event": "hello", "version": kVersion}.
inline constexpr int kVersion = 1;
// How long the helper waits for the answer to a question (navigation, download) before it
// takes it as "no".
inline constexpr int kAnswerTimeoutMilliseconds = 10000;

// One frame of a JSON object; empty when it would be larger than kLargestFrame. Text that is
// not UTF-8 is replaced, never refused.
std::string EncodeFrame(const nlohmann::json& message);

// Collects the bytes of a stream and hands out the frames in it.
class FrameReader {
 public:
  enum class Status {
    NeedMore,   // no whole frame yet
    Frame,      // one frame taken
    Malformed,  // a length beyond the limit or a frame that is not a JSON object: the stream
                // cannot be trusted any more
  };

  void Append(const char* bytes, std::size_t count) { buffer_.append(bytes, count); }
  Status Next(nlohmann::json* message);
  std::size_t buffered() const { return buffer_.size() - start_; }

 private:
  std::string buffer_;
  std::size_t start_ = 0;
};

// Reads an integer member; nullopt when it is missing or not an integer.
std::optional<std::int64_t> IntegerMember(const nlohmann::json& message, const char* name);
// Reads a string member; nullopt when it is missing or not a string.
std::optional<std::string> StringMember(const nlohmann::json& message, const char* name);
// Reads a boolean member; `fallback` when it is missing or not a boolean.
bool BoolMember(const nlohmann::json& message, const char* name, bool fallback = false);

// Chromium's host-resolver rules ("MAP host:port to-host:to-port, ...") for libcurl's
// connect-to entries "host:port:to-host:to-port" separated by ";" (an empty host or port
// matches any, an empty target part keeps the original). Entries that do not parse are left
// out; a target with characters outside a host name's is refused.
std::string HostResolverRules(std::string_view connectTo);

// Appends a string as JSON text the way Chromium's script results write it: quotes,
// backslashes and control characters escaped, "<" as "\u003C" and the line and paragraph
// separators as "\u2028" and "\u2029"; other characters as UTF-8 (invalid bytes become
// U+FFFD).
void AppendScriptJsonString(std::string& out, std::string_view utf8);

}  // namespace tarvel::browser_protocol
