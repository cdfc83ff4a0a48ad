#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "engines/protocol/imap_engine.h"
#include "platform/text.h"

using tarvel::Text;

// A folder-list line as the server sends it, in the transport's one-byte-per-unit form.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  const Text line = Text::FromBytes(bytes);
  Text folder;
  if (tarvel::FolderFromListLine(line, folder) && folder.isEmpty())
    std::abort();  // a listed folder always has a name
  // Whatever name came out, it must survive being put into a mailbox address.
  const std::string encoded = tarvel::EncodeFolderForUrl(folder);
  for (const char c : encoded) {
    if (c == '\r' || c == '\n' || c == '\0' || c == ' ' || c == '?' || c == '#')
      std::abort();
  }
  return 0;
}
