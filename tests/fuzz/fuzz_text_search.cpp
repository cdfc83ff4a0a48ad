#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "platform/text.h"

using tarvel::Text;

namespace {

// The plain definition: compare at every position, ignoring A-Z/a-z case.
Text::Position ReferenceFind(std::u16string_view haystack, std::u16string_view needle,
                             std::size_t start) {
  if (needle.empty())
    return Text::kNotFound;
  for (std::size_t i = start; i + needle.size() <= haystack.size(); ++i) {
    if (Text::CompareNoCase(haystack.substr(i, needle.size()), needle) == 0)
      return static_cast<Text::Position>(i);
  }
  return Text::kNotFound;
}

}  // namespace

// The first byte chooses the needle's length and the start; the rest is needle, then page.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2)
    return 0;
  const std::size_t needleLength = data[0] % 16 + 1;
  const std::size_t start = data[1] % 32;
  const std::string_view rest(reinterpret_cast<const char*>(data + 2), size - 2);
  if (rest.size() < needleLength)
    return 0;
  const Text needle = Text::FromBytes(rest.substr(0, needleLength));
  const Text page = Text::FromBytes(rest.substr(needleLength));
  const Text::Position expected = static_cast<Text::Position>(start) < page.length()
                                      ? ReferenceFind(page, needle, start)
                                      : Text::kNotFound;
  if (page.Find(needle, static_cast<Text::Position>(start)) != expected)
    std::abort();
  Text content;
  const Text::Position end = page.Extract(needle.view(), u">", &content, 0, 100);
  if (end != Text::kNotFound && content.length() > page.length())
    std::abort();
  return 0;
}
