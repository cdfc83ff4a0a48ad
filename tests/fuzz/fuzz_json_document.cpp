#include <cstddef>
#include <cstdint>
#include <string_view>

#include "platform/json_document.h"

using tarvel::JsonDocument;
using tarvel::JsonNode;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  JsonDocument document;
  document.parse(std::string_view(reinterpret_cast<const char*>(data), size));
  // Walk whatever was built, refused input included, the way an engine would.
  std::size_t visited = 0;
  const JsonNode* node = document.root();
  const JsonNode* pending[JsonDocument::kMaxDepth + 2];
  std::size_t depth = 0;
  while (node != nullptr || depth > 0) {
    if (node == nullptr) {
      node = pending[--depth];
      continue;
    }
    visited += JsonDocument::value(node).size() + node->name.size();
    JsonDocument::member(node, u"id");
    if (node->children != nullptr && depth < JsonDocument::kMaxDepth + 2) {
      pending[depth++] = node->next;
      node = node->children;
    } else {
      node = node->next;
    }
  }
  return visited == static_cast<std::size_t>(-1);
}
