#pragma once

#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <string>
#include <string_view>

// Small helpers for protocol text held as bytes (header lines, cookie texts, file contents).
namespace tarvel::ascii_bytes {

constexpr char Lower(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

inline std::string Lowered(std::string_view text) {
  std::string lowered(text);
  for (char& c : lowered) {
    c = Lower(c);
  }
  return lowered;
}

constexpr bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
  if (text.size() < prefix.size()) {
    return false;
  }
  for (std::size_t i = 0; i < prefix.size(); ++i) {
    if (Lower(text[i]) != Lower(prefix[i])) {
      return false;
    }
  }
  return true;
}

constexpr bool EqualsNoCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && StartsWithNoCase(a, b);
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
