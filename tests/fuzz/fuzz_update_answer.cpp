#include <cstddef>
#include <cstdint>
#include <string_view>

#include "maintenance/update_answer.h"

using tarvel::Text;
using tarvel::UpdateOffer;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  std::size_t seen = 0;
  for (const Text& text : {Text::FromBytes(bytes), Text::FromUtf8(bytes)}) {
    for (const std::u16string_view language : {u"en", u"de", u""}) {
      UpdateOffer offer;
      if (!tarvel::ParseUpdateAnswer(text, language, &offer))
        continue;
      seen += offer.files.size() + offer.info.length();
      for (const tarvel::UpdateFile& file : offer.files)
        seen += file.url.length() + file.sha256.size() + (file.size ? 1 : 0);
    }
    if (const auto version = tarvel::ParseUpdateVersion(text.view()))
      seen += version->major + version->minor;
  }
  return seen == static_cast<std::size_t>(-1);
}
