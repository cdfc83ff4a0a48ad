#pragma once

#include <openssl/evp.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

// Base64 with the standard alphabet (RFC 4648). Encoding is OpenSSL's; decoding is our own
// because it must be lenient where OpenSSL's is strict (line breaks and other characters
// outside the alphabet are skipped, padding may be missing).
//
// Header-only on purpose: libzarquet.so, which must not link the program's core, uses it too.
namespace tarvel {

// The value of a Base64 digit, or -1. `slash` is the 64th digit: "/", or "," in IMAP's
// modified UTF-7.
template <typename Unit>
constexpr int Base64DigitValue(Unit c, Unit slash = Unit('/')) {
  if (c >= Unit('A') && c <= Unit('Z'))
    return static_cast<int>(c - Unit('A'));
  if (c >= Unit('a') && c <= Unit('z'))
    return static_cast<int>(c - Unit('a')) + 26;
  if (c >= Unit('0') && c <= Unit('9'))
    return static_cast<int>(c - Unit('0')) + 52;
  if (c == Unit('+'))
    return 62;
  if (c == slash)
    return 63;
  return -1;
}

// With "=" padding, without line breaks.
inline std::string EncodeBase64(std::string_view bytes) {
  // EVP_EncodeBlock counts in int: encode in slices of whole groups well below its limit.
  constexpr std::size_t kSlice = 3u * 1024 * 1024;
  std::string encoded;
  encoded.reserve((bytes.size() + 2) / 3 * 4);
  while (!bytes.empty()) {
    const std::string_view slice = bytes.substr(0, kSlice);
    const std::size_t at = encoded.size();
    encoded.resize(at + (slice.size() + 2) / 3 * 4 + 1);  // EVP_EncodeBlock adds a zero
    const int length = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(encoded.data() + at),
                                       reinterpret_cast<const unsigned char*>(slice.data()),
                                       static_cast<int>(slice.size()));
    encoded.resize(at + (length > 0 ? static_cast<std::size_t>(length) : 0));
    bytes.remove_prefix(slice.size());
  }
  return encoded;
}

// Skips every character outside the alphabet; "=" ends a group, and a group cut short gives
// the whole bytes it holds.
inline std::string DecodeBase64(std::string_view text) {
  std::string out;
  out.reserve(text.size() / 4 * 3);
  std::uint32_t group = 0;
  int count = 0;
  const auto flush = [&] {
    group <<= 6 * (4 - count);
    // A group of n characters carries n - 1 whole bytes.
    if (count >= 2)
      out += static_cast<char>((group >> 16) & 0xFF);
    if (count >= 3)
      out += static_cast<char>((group >> 8) & 0xFF);
    if (count >= 4)
      out += static_cast<char>(group & 0xFF);
    group = 0;
    count = 0;
  };
  for (const char c : text) {
    if (c == '=') {
      if (count > 0)
        flush();
      continue;
    }
    const int value = Base64DigitValue(c);
    if (value < 0)
      continue;
    group = (group << 6) | static_cast<std::uint32_t>(value);
    if (++count == 4)
      flush();
  }
  if (count > 0)
    flush();
  return out;
}

}  // namespace tarvel
