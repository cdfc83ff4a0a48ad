#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/text.h"

namespace tarvel {

enum class JsonKind {
  Array = 1,
  Object = 2,
  Value = 3,
};

// One value of a JSON text. Scalars carry their value as text: integers in decimal, other
// numbers as written, true "1", false and null "0", strings as their bytes (one code unit per
// byte, UTF-8 not decoded) with the simple escapes replaced and "\uXXXX" kept as written.
// The texts live in the document that built the node and are valid as long as it is.
struct JsonNode {
  std::u16string_view name;  // member key in an object; empty for array elements and top level
  JsonKind kind = JsonKind::Value;
  std::u16string_view value;      // scalars only
  JsonNode* children = nullptr;   // first node inside an array or object
  JsonNode* next = nullptr;       // following sibling
  JsonNode* lastChild = nullptr;  // where the next child is appended while parsing
};

// A JSON text read into a tree of JsonNode records by a character-driven syntax checker: each
// input byte has a class, a transition table gives the next state, and a stack holds the open
// arrays and objects. Its syntax events build the tree as they happen, so what was read up to
// an error stays in the document. Nesting deeper than kMaxDepth is refused; nothing recurses.
class JsonDocument {
 public:
  static constexpr std::size_t kMaxDepth = 512;

  JsonDocument() = default;
  JsonDocument(const JsonDocument&) = delete;
  JsonDocument& operator=(const JsonDocument&) = delete;

  // Reads one JSON text (surrounding white space allowed). Returns false at the first byte the
  // grammar refuses (a zero byte, or a byte of 128 or more outside a string, included) or when
  // the text ends early. The nodes built before stay. Each call starts a new tree.
  bool parse(std::string_view bytes);
  // A zero-terminated text.
  bool parse(const char* zeroTerminated) {
    return parse(std::string_view(zeroTerminated ? zeroTerminated : ""));
  }

  const JsonNode* root() const { return first_; }
  static const JsonNode* child(const JsonNode* node) { return node ? node->children : nullptr; }
  static const JsonNode* next(const JsonNode* node) { return node ? node->next : nullptr; }
  // The node itself or the first following sibling with that exact name.
  static const JsonNode* member(const JsonNode* node, std::u16string_view name);
  // The node itself or the first following sibling of that kind.
  static const JsonNode* firstOfKind(const JsonNode* node, JsonKind kind);
  // The value text; it lives as long as the document. Empty for none.
  static std::u16string_view value(const JsonNode* node) {
    return node ? node->value : std::u16string_view();
  }

 private:
  bool Step(unsigned char byte);
  bool Finish();
  JsonNode& AddNode(JsonKind kind);
  std::u16string_view Store(std::u16string_view text);
  void EmitNumber();
  void EmitScalar(std::u16string_view text);
  bool Push(int mode);
  bool Pop(int mode);

  // Nodes live in blocks whose capacity is reserved up front, so they never move and the links
  // between them stay valid. Blocks grow from small to large with the document.
  static constexpr std::size_t kFirstBlockSize = 32;
  static constexpr std::size_t kLargestBlockSize = 1024;
  std::vector<std::vector<JsonNode>> blocks_;
  // The names and values, packed into blocks that never move.
  static constexpr std::size_t kTextBlockSize = 32768;
  std::vector<std::unique_ptr<char16_t[]>> textBlocks_;
  char16_t* textCursor_ = nullptr;
  std::size_t textLeft_ = 0;
  JsonNode* first_ = nullptr;
  JsonNode* lastTopLevel_ = nullptr;
  std::vector<int> modes_;             // open arrays and objects
  std::vector<JsonNode*> containers_;  // the node of each open array or object
  int state_ = 0;
  std::u16string token_;        // the string or number being read
  std::u16string pendingName_;  // the key of the next member
  bool haveName_ = false;
};

}  // namespace tarvel
