#pragma once

#include <cstdint>
#include <memory>

#include "platform/xml_backend.h"

namespace tarvel {

// The one way the program reads and writes XML: SOAP answers, feeds, view entries and update
// answers are read through it. Nodes are addressed by paths of element (or attribute) names
// separated by backslashes, such as "s:Envelope\s:Body\m:FindItemResponse", walked from the
// document element or from a given node. Names match without regard to letter case, with their
// prefix as written; attributes are searched before children.
//
// Every operation answers 0, false, none or an empty text while no document was created.
class XmlDocument {
 public:
  XmlDocument();
  ~XmlDocument();
  XmlDocument(const XmlDocument&) = delete;
  XmlDocument& operator=(const XmlDocument&) = delete;

  // Makes an empty document; closes the one held before. Every user passes
  // kXmlNoValidation | kXmlNoExternals.
  bool Create(unsigned flags = kXmlNoValidation | kXmlNoExternals);
  void Close();

  // Loads a wide text, or a byte text held one byte per unit (an undecoded answer body). A
  // declaration naming an encoding that does not fit is dropped and the text loaded again.
  bool LoadText(const Text& text);
  bool LoadFile(const Text& path);
  bool SaveFile(const Text& path);
  bool GetXml(Text& xml);
  bool GetNodeXml(XmlNode* node, Text& xml);

  bool GetText(std::u16string_view path, Text& text, XmlNode* start = nullptr);
  // The text at the path read as an unsigned decimal number; 0 when the path is not found.
  std::uint64_t GetNumber(std::u16string_view path, XmlNode* start = nullptr);
  int FindChild(std::optional<std::u16string_view> name, XmlVisitor visitor, void* context,
                Text* text, XmlNode*& node);
  int Enumerate(std::u16string_view path, XmlVisitor visitor, void* context,
                XmlNode* start = nullptr);
  // Walks the path, creating each missing element below the node reached; none on failure.
  XmlNode* FindOrCreatePath(std::u16string_view path, XmlNode* start = nullptr);

  bool AddElement(XmlNode* parent, std::u16string_view name, const Text* text,
                  XmlNode** created = nullptr);
  bool SetText(XmlNode* node, const Text& text);
  bool SetAttribute(XmlNode* node, std::u16string_view name, const Text& value);
  bool AddProcessingInstruction(std::u16string_view target, const Text* data);
  bool RemoveChild(XmlNode* parent, XmlNode* child);

 private:
  // The libxml2 backend is the only one: the older Windows parser the original design kept as
  // a fall-back has no counterpart here, so there is nothing to fall back to.
  std::unique_ptr<XmlBackend> libxml2_;
  XmlBackend* active_ = nullptr;
};

}  // namespace tarvel
