#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "platform/text.h"

using tarvel::Text;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  const Text original = Text::FromUtf8(bytes);
  Text decoded = original;
  if (decoded.DecodeImapFolderName()) {
    // Whatever decodes must survive encoding and decoding again.
    Text again = decoded.EncodeImapFolderName();
    if (!again.DecodeImapFolderName() || again.view() != decoded.view())
      std::abort();
  } else if (decoded.view() != original.view()) {
    std::abort();  // a refused name stays as it was
  }
  // Every name without control characters encodes to a form that decodes back to it.
  bool hasControl = false;
  for (const Text::Unit unit : original.view())
    hasControl = hasControl || unit < 0x20 || unit == 0x7F;
  if (!hasControl) {
    Text encoded = original.EncodeImapFolderName();
    if (!encoded.DecodeImapFolderName() || encoded.view() != original.view())
      std::abort();
  }
  return 0;
}
