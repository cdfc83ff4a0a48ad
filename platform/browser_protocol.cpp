#include "platform/browser_protocol.h"

#include <vector>

namespace tarvel::browser_protocol {

namespace {

// Frames are flat records; anything nested deeper than this is not one of ours, and refusing
// it keeps the recursive JSON parser's stack small.
constexpr int kDeepestNesting = 8;

bool NestingWithinLimit(std::string_view text) {
  int depth = 0;
  bool inString = false;
  bool escaped = false;
  for (const char c : text) {
    if (inString) {
      if (escaped) {
        escaped = false;
      } else if (c == '\\') {
        escaped = true;
      } else if (c == '"') {
        inString = false;
      }
      continue;
    }
    if (c == '"') {
      inString = true;
    } else if (c == '[' || c == '{') {
      if (++depth > kDeepestNesting) {
        return false;
      }
    } else if (c == ']' || c == '}') {
      --depth;
    }
  }
  return true;
}

bool IsHostCharacter(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
         c == '-' || c == '_' || c == '*';
}

bool IsPort(std::string_view text) {
  if (text.empty() || text.size() > 5) {
    return false;
  }
  long value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') {
      return false;
    }
    value = value * 10 + (c - '0');
  }
  return value >= 1 && value <= 65535;
}

// Splits "a:b:c:d"; an IPv6 address in brackets is not supported (not needed by the tests
// and never by users of the variable).
std::vector<std::string_view> SplitColons(std::string_view entry) {
  std::vector<std::string_view> parts;
  std::size_t start = 0;
  for (;;) {
    const std::size_t colon = entry.find(':', start);
    if (colon == std::string_view::npos) {
      parts.push_back(entry.substr(start));
      return parts;
    }
    parts.push_back(entry.substr(start, colon - start));
    start = colon + 1;
  }
}

std::string_view Trimmed(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) {
    text.remove_prefix(1);
  }
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) {
    text.remove_suffix(1);
  }
  return text;
}

void AppendEscape(std::string& out, unsigned value) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  out += "\\u";
  out += kHex[(value >> 12) & 0xF];
  out += kHex[(value >> 8) & 0xF];
  out += kHex[(value >> 4) & 0xF];
  out += kHex[value & 0xF];
}

}  // namespace

std::string EncodeFrame(const nlohmann::json& message) {
  const std::string body = message.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
  if (body.size() > kLargestFrame) {
    return {};
  }
  const auto length = static_cast<std::uint32_t>(body.size());
  std::string frame;
  frame.reserve(kHeaderBytes + body.size());
  frame += static_cast<char>((length >> 24) & 0xFF);
  frame += static_cast<char>((length >> 16) & 0xFF);
  frame += static_cast<char>((length >> 8) & 0xFF);
  frame += static_cast<char>(length & 0xFF);
  frame += body;
  return frame;
}

FrameReader::Status FrameReader::Next(nlohmann::json* message) {
  const std::size_t available = buffer_.size() - start_;
  if (available < kHeaderBytes) {
    return Status::NeedMore;
  }
  const auto* header = reinterpret_cast<const unsigned char*>(buffer_.data() + start_);
  const std::uint32_t length = (std::uint32_t{header[0]} << 24) | (std::uint32_t{header[1]} << 16) |
                               (std::uint32_t{header[2]} << 8) | std::uint32_t{header[3]};
  if (length > kLargestFrame) {
    return Status::Malformed;
  }
  if (available - kHeaderBytes < length) {
    return Status::NeedMore;
  }
  const std::string_view body(buffer_.data() + start_ + kHeaderBytes, length);
  start_ += kHeaderBytes + length;
  // Keep the buffer from growing with consumed bytes.
  if (start_ == buffer_.size()) {
    buffer_.clear();
    start_ = 0;
  } else if (start_ > 1024 * 1024 && start_ * 2 > buffer_.size()) {
    buffer_.erase(0, start_);
    start_ = 0;
  }
  if (!NestingWithinLimit(body)) {
    return Status::Malformed;
  }
  nlohmann::json parsed = nlohmann::json::parse(body.begin(), body.end(), nullptr, false);
  if (!parsed.is_object()) {
    return Status::Malformed;
  }
  *message = std::move(parsed);
  return Status::Frame;
}

std::optional<std::int64_t> IntegerMember(const nlohmann::json& message, const char* name) {
  if (!message.is_object()) {
    return std::nullopt;
  }
  const auto found = message.find(name);
  if (found == message.end() || !found->is_number_integer()) {
    return std::nullopt;
  }
  return found->get<std::int64_t>();
}

std::optional<std::string> StringMember(const nlohmann::json& message, const char* name) {
  if (!message.is_object()) {
    return std::nullopt;
  }
  const auto found = message.find(name);
  if (found == message.end() || !found->is_string()) {
    return std::nullopt;
  }
  return found->get<std::string>();
}

bool BoolMember(const nlohmann::json& message, const char* name, bool fallback) {
  if (!message.is_object()) {
    return fallback;
  }
  const auto found = message.find(name);
  if (found == message.end() || !found->is_boolean()) {
    return fallback;
  }
  return found->get<bool>();
}

std::string HostResolverRules(std::string_view connectTo) {
  std::string rules;
  while (!connectTo.empty()) {
    const std::size_t end = connectTo.find(';');
    const std::string_view entry = Trimmed(connectTo.substr(0, end));
    connectTo = end == std::string_view::npos ? std::string_view() : connectTo.substr(end + 1);
    const std::vector<std::string_view> parts = SplitColons(entry);
    if (parts.size() != 4) {
      continue;
    }
    const std::string_view host = parts[0];
    const std::string_view port = parts[1];
    const std::string_view toHost = parts[2];
    const std::string_view toPort = parts[3];
    bool valid = (port.empty() || IsPort(port)) && (toPort.empty() || IsPort(toPort));
    for (const char c : host) {
      valid = valid && IsHostCharacter(c) && c != '*';
    }
    for (const char c : toHost) {
      valid = valid && IsHostCharacter(c) && c != '*';
    }
    if (!valid || (toHost.empty() && toPort.empty())) {
      continue;
    }
    // A rule's pattern is tried against the host alone and then against "host:port".
    std::string pattern = host.empty() ? "*" : std::string(host);
    if (!port.empty()) {
      pattern += ":" + std::string(port);
    }
    // An empty target host keeps the host; the rules cannot say "the same host" except for a
    // named one.
    std::string target;
    if (!toHost.empty()) {
      target = std::string(toHost);
    } else if (!host.empty()) {
      target = std::string(host);
    } else {
      continue;
    }
    if (!toPort.empty()) {
      target += ":" + std::string(toPort);
    }
    if (!rules.empty()) {
      rules += ", ";
    }
    rules += "MAP " + pattern + " " + target;
  }
  return rules;
}

void AppendScriptJsonString(std::string& out, std::string_view utf8) {
  out += '"';
  std::size_t index = 0;
  while (index < utf8.size()) {
    const auto lead = static_cast<unsigned char>(utf8[index]);
    if (lead < 0x80) {
      switch (lead) {
        case '"':
          out += "\\\"";
          break;
        case '\\':
          out += "\\\\";
          break;
        case '\b':
          out += "\\b";
          break;
        case '\f':
          out += "\\f";
          break;
        case '\n':
          out += "\\n";
          break;
        case '\r':
          out += "\\r";
          break;
        case '\t':
          out += "\\t";
          break;
        case '<':
          out += "\\u003C";
          break;
        default:
          if (lead < 0x20 || lead == 0x7F) {
            AppendEscape(out, lead);
          } else {
            out += static_cast<char>(lead);
          }
      }
      ++index;
      continue;
    }
    // A whole, shortest-form UTF-8 sequence is copied; anything else becomes U+FFFD.
    std::size_t length = 0;
    std::uint32_t value = 0;
    if (lead >= 0xC2 && lead <= 0xDF) {
      length = 2;
      value = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      length = 3;
      value = lead & 0x0F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      length = 4;
      value = lead & 0x07;
    }
    bool valid = length > 0 && index + length <= utf8.size();
    for (std::size_t i = 1; valid && i < length; ++i) {
      const auto next = static_cast<unsigned char>(utf8[index + i]);
      valid = (next & 0xC0) == 0x80;
      value = (value << 6) | (next & 0x3F);
    }
    valid = valid && !(length == 3 && value < 0x800) && !(length == 4 && value < 0x10000) &&
            !(value >= 0xD800 && value <= 0xDFFF) && value <= 0x10FFFF;
    if (!valid) {
      out += "\xEF\xBF\xBD";
      ++index;
      continue;
    }
    if (value == 0x2028 || value == 0x2029) {
      AppendEscape(out, value);
    } else {
      out.append(utf8.substr(index, length));
    }
    index += length;
  }
  out += '"';
}

}  // namespace tarvel::browser_protocol
