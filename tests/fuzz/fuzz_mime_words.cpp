#include <cstddef>
#include <cstdint>
#include <string_view>

#include "platform/text.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  tarvel::Text header = tarvel::Text::FromBytes(bytes);
  header.DecodeMimeWords();
  tarvel::Text wide = tarvel::Text::FromUtf8(bytes);
  wide.DecodeMimeWords();
  return static_cast<int>(header.length() + wide.length()) < 0;
}
