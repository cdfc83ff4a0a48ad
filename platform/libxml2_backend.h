#pragma once

#include <libxml/tree.h>

#include <string>
#include <string_view>

#include "platform/xml_backend.h"

namespace tarvel {

// XmlBackend over libxml2's tree. Documents are parsed without network access, without loading
// any external entity or DTD (a process-wide entity loader refuses them all) and without
// expanding entity references, so neither an entity bomb nor an external entity can make a load
// grow or read anything. Blank text between elements is dropped and the node names are those
// of a DOM ("#text", "#comment", "#cdata-section", the prefix with the local name).
// Namespace declarations are not attributes here, so walks and visitors do not see them.
class Libxml2Backend final : public XmlBackend {
 public:
  explicit Libxml2Backend(XmlDocument* owner) : owner_(owner) {}
  ~Libxml2Backend() override;
  Libxml2Backend(const Libxml2Backend&) = delete;
  Libxml2Backend& operator=(const Libxml2Backend&) = delete;

  bool Create(unsigned flags) override;
  void Close() override;
  bool LoadText(const Text& text) override;
  bool LoadFile(const Text& path) override;
  bool GetNodeXml(XmlNode* node, Text& xml) override;
  bool GetXml(Text& xml) override;
  bool SaveFile(const Text& path) override;
  bool GetText(std::u16string_view path, Text& text, XmlNode* start) override;
  int FindChild(std::optional<std::u16string_view> name, XmlVisitor visitor, void* context,
                Text* text, XmlNode*& node) override;
  int Enumerate(std::u16string_view path, XmlVisitor visitor, void* context,
                XmlNode* start) override;
  bool AddElement(XmlNode* parent, std::u16string_view name, const Text* text,
                  XmlNode** created) override;
  bool SetText(XmlNode* node, const Text& text) override;
  bool SetAttribute(XmlNode* node, std::u16string_view name, const Text& value) override;
  bool AddProcessingInstruction(std::u16string_view target, const Text* data) override;
  bool RemoveChild(XmlNode* parent, XmlNode* child) override;

  // Files larger than this are not loaded.
  static constexpr std::size_t kMaxFileSize = 64u << 20;

 private:
  bool ParseBytes(std::string_view bytes, const char* encoding, int extraOptions);
  bool ParseWide(const Text& text);
  // Calls the visitor for `node`; true when it asked to stop.
  bool Visit(XmlVisitor visitor, void* context, int isAttribute, xmlNodePtr node);

  XmlDocument* owner_;
  xmlDocPtr document_ = nullptr;
};

}  // namespace tarvel
