#pragma once

#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <string>
#include <string_view>
#include <type_traits>

// Small helpers for protocol text (header lines, cookie texts, IMAP responses, file contents),
// held as bytes or as UTF-16 code units. Letter case is ASCII only: A to Z pair with a to z,
// every other unit stands for itself, whatever the locale.
//
// Header-only on purpose: libzarquet.so, which must not link the program's core, uses it too.
namespace tarvel::ascii_bytes {

template <typename Unit>
constexpr Unit Lower(Unit c) {
  return (c >= Unit('A') && c <= Unit('Z')) ? static_cast<Unit>(c - Unit('A') + Unit('a')) : c;
}

template <typename Unit>
constexpr Unit Upper(Unit c) {
  return (c >= Unit('a') && c <= Unit('z')) ? static_cast<Unit>(c - Unit('a') + Unit('A')) : c;
}

// The value of a hexadecimal digit (0-9, A-F, a-f), or -1.
template <typename Unit>
constexpr int HexDigitValue(Unit c) {
  if (c >= Unit('0') && c <= Unit('9'))
    return static_cast<int>(c - Unit('0'));
  if (c >= Unit('a') && c <= Unit('f'))
    return static_cast<int>(c - Unit('a')) + 10;
  if (c >= Unit('A') && c <= Unit('F'))
    return static_cast<int>(c - Unit('A')) + 10;
  return -1;
}

namespace detail {

template <typename Unit>
constexpr bool StartsWithNoCase(std::basic_string_view<Unit> text,
                                std::basic_string_view<Unit> prefix) {
  if (text.size() < prefix.size())
    return false;
  for (std::size_t i = 0; i < prefix.size(); ++i) {
    if (Lower(text[i]) != Lower(prefix[i]))
      return false;
  }
  return true;
}

template <typename Unit>
constexpr int CompareNoCase(std::basic_string_view<Unit> a, std::basic_string_view<Unit> b) {
  const std::size_t common = a.size() < b.size() ? a.size() : b.size();
  // Bytes compare as unsigned values, so that both forms of a text sort alike.
  using Value = std::make_unsigned_t<Unit>;
  for (std::size_t i = 0; i < common; ++i) {
    const auto left = static_cast<Value>(Lower(a[i]));
    const auto right = static_cast<Value>(Lower(b[i]));
    if (left != right)
      return left < right ? -1 : 1;
  }
  if (a.size() == b.size())
    return 0;
  return a.size() < b.size() ? -1 : 1;
}

}  // namespace detail

// Overloads rather than templates, so that string literals and std::string convert.
constexpr bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
  return detail::StartsWithNoCase(text, prefix);
}
constexpr bool StartsWithNoCase(std::u16string_view text, std::u16string_view prefix) {
  return detail::StartsWithNoCase(text, prefix);
}

constexpr bool EqualsNoCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && StartsWithNoCase(a, b);
}
constexpr bool EqualsNoCase(std::u16string_view a, std::u16string_view b) {
  return a.size() == b.size() && StartsWithNoCase(a, b);
}

// -1, 0 or 1, comparing the lower-case forms unit by unit; a prefix sorts first.
constexpr int CompareNoCase(std::string_view a, std::string_view b) {
  return detail::CompareNoCase(a, b);
}
constexpr int CompareNoCase(std::u16string_view a, std::u16string_view b) {
  return detail::CompareNoCase(a, b);
}

inline std::string Lowered(std::string_view text) {
  std::string lowered(text);
  for (char& c : lowered) {
    c = Lower(c);
  }
  return lowered;
}

inline std::string Uppered(std::string_view text) {
  std::string uppered(text);
  for (char& c : uppered) {
    c = Upper(c);
  }
  return uppered;
}

// Control bytes (below 0x20, and 0x7F) as escapes: "\t", "\n", "\r", the others "\xhh".
// With `escapeBackslash`, a backslash becomes "\\" too, so that the text can be read back.
inline std::string EscapeControlBytes(std::string_view text, bool escapeBackslash) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out;
  out.reserve(text.size());
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (c == '\\' && escapeBackslash) {
      out += "\\\\";
    } else if (c == '\t') {
      out += "\\t";
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\r') {
      out += "\\r";
    } else if (byte < 0x20 || byte == 0x7F) {
      out += "\\x";
      out += kHex[byte >> 4];
      out += kHex[byte & 0xF];
    } else {
      out += c;
    }
  }
  return out;
}

// Removes blanks, tabs and line ends at both ends.
constexpr std::string_view TrimBlanks(std::string_view text) {
  auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
  while (!text.empty() && blank(text.front())) {
    text.remove_prefix(1);
  }
  while (!text.empty() && blank(text.back())) {
    text.remove_suffix(1);
  }
  return text;
}

// Writes everything, resuming after interruptions; false on an error.
inline bool WriteAll(int fd, std::string_view data) {
  while (!data.empty()) {
    const ssize_t written = ::write(fd, data.data(), data.size());
    if (written < 0) {
      if (errno == EINTR) {
        continue;
      }
      return false;
    }
    data.remove_prefix(static_cast<std::size_t>(written));
  }
  return true;
}

}  // namespace tarvel::ascii_bytes
