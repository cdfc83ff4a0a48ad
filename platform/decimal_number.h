#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace tarvel {

// A number written with decimal digits only (no sign, no blanks), not above `maximum`.
inline std::optional<uint64_t> ParseDecimalDigits(std::string_view text,
                                                  uint64_t maximum = UINT64_MAX) {
  if (text.empty() || text.size() > 20)
    return std::nullopt;
  uint64_t value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9')
      return std::nullopt;
    const auto digit = static_cast<uint64_t>(c - '0');
    if (value > (maximum - digit) / 10)
      return std::nullopt;
    value = value * 10 + digit;
  }
  return value;
}

}  // namespace tarvel
