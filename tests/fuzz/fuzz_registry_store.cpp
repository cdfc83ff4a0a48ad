// The per-user store's file format: any input is refused or read; what is read and written
// back reads again to the same content.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>

#include "accounts/registry_store.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view content(reinterpret_cast<const char*>(data), size);
  const std::optional<std::string> once = tarvel::RegistryStore::Reformat(content);
  if (!once)
    return 0;
  const std::optional<std::string> twice = tarvel::RegistryStore::Reformat(*once);
  if (!twice || *twice != *once)
    std::abort();  // the store would not read back what it wrote
  return 0;
}
