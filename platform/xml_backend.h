#pragma once

#include <optional>

#include "platform/text.h"

namespace tarvel {

class XmlDocument;

// A node of a loaded document: an opaque handle that only the backend that handed it out can
// read. It stays valid until the document is closed or reloaded, or the node is removed.
struct XmlNode;

// Called for each node an enumeration visits: `isAttribute` is 1 for an attribute and 0 for an
// element or the document element; the name carries its namespace prefix as written.
// Returning 1 stops the enumeration.
using XmlVisitor = int (*)(int isAttribute, XmlNode* node, const Text& name, const Text& text,
                           void* context, XmlDocument* document);

// Create flags. The parser never loads external entities, external DTDs or anything over the
// network whatever the flags say, and never expands entity references.
enum XmlCreateFlags : unsigned {
  kXmlNoValidation = 1,
  kXmlNoExternals = 2,
  kXmlAllowDtd = 4,
};

// The parser behind an XmlDocument: a path-based view of one document.
class XmlBackend {
 public:
  virtual ~XmlBackend() = default;

  virtual bool Create(unsigned flags) = 0;
  virtual void Close() = 0;
  virtual bool LoadText(const Text& text) = 0;
  virtual bool LoadFile(const Text& path) = 0;
  virtual bool GetNodeXml(XmlNode* node, Text& xml) = 0;
  virtual bool GetXml(Text& xml) = 0;
  virtual bool SaveFile(const Text& path) = 0;
  // The text of the node the backslash-separated path names; found or not.
  virtual bool GetText(std::u16string_view path, Text& text, XmlNode* start) = 0;
  // One step of a path walk from `node` (none: the document element). Returns 1 when a node
  // named `name` was found (it becomes `node`) or the visitor stopped the walk, 0 otherwise.
  virtual int FindChild(std::optional<std::u16string_view> name, XmlVisitor visitor, void* context,
                        Text* text, XmlNode*& node) = 0;
  virtual int Enumerate(std::u16string_view path, XmlVisitor visitor, void* context,
                        XmlNode* start) = 0;
  virtual bool AddElement(XmlNode* parent, std::u16string_view name, const Text* text,
                          XmlNode** created) = 0;
  virtual bool SetText(XmlNode* node, const Text& text) = 0;
  virtual bool SetAttribute(XmlNode* node, std::u16string_view name, const Text& value) = 0;
  virtual bool AddProcessingInstruction(std::u16string_view target, const Text* data) = 0;
  virtual bool RemoveChild(XmlNode* parent, XmlNode* child) = 0;
};

}  // namespace tarvel
