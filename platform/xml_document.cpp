#include "platform/xml_document.h"

#include <limits>

#include "platform/libxml2_backend.h"

namespace tarvel {

XmlDocument::XmlDocument() : libxml2_(std::make_unique<Libxml2Backend>(this)) {}

XmlDocument::~XmlDocument() {
  Close();
}

bool XmlDocument::Create(unsigned flags) {
  Close();
  if (libxml2_->Create(flags))
    active_ = libxml2_.get();
  return active_ != nullptr;
}

void XmlDocument::Close() {
  if (active_ != nullptr)
    active_->Close();
  active_ = nullptr;
}

bool XmlDocument::LoadText(const Text& text) {
  return active_ && active_->LoadText(text);
}

bool XmlDocument::LoadFile(const Text& path) {
  return active_ && active_->LoadFile(path);
}

bool XmlDocument::SaveFile(const Text& path) {
  return active_ && active_->SaveFile(path);
}

bool XmlDocument::GetXml(Text& xml) {
  xml.clear();
  return active_ && active_->GetXml(xml);
}

bool XmlDocument::GetNodeXml(XmlNode* node, Text& xml) {
  xml.clear();
  return active_ && active_->GetNodeXml(node, xml);
}

bool XmlDocument::GetText(std::u16string_view path, Text& text, XmlNode* start) {
  text.clear();
  return active_ && active_->GetText(path, text, start);
}

std::uint64_t XmlDocument::GetNumber(std::u16string_view path, XmlNode* start) {
  Text text;
  if (!GetText(path, text, start))
    return 0;
  // Leading blanks and a "+" are allowed; a negative number reads as 0 and one too large for
  // 64 bits as the largest value.
  Text::Position at = 0;
  while (at < text.length() && Text::IsBlank(text[at]))
    ++at;
  if (at < text.length() && text[at] == u'+')
    ++at;
  std::uint64_t value = 0;
  constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
  for (; at < text.length() && text[at] >= u'0' && text[at] <= u'9'; ++at) {
    const auto digit = static_cast<std::uint64_t>(text[at] - u'0');
    if (value > (kMax - digit) / 10)
      return kMax;
    value = value * 10 + digit;
  }
  return value;
}

int XmlDocument::FindChild(std::optional<std::u16string_view> name, XmlVisitor visitor,
                           void* context, Text* text, XmlNode*& node) {
  if (active_ == nullptr) {
    if (text != nullptr)
      text->clear();
    return 0;
  }
  return active_->FindChild(name, visitor, context, text, node);
}

int XmlDocument::Enumerate(std::u16string_view path, XmlVisitor visitor, void* context,
                           XmlNode* start) {
  return active_ ? active_->Enumerate(path, visitor, context, start) : 0;
}

XmlNode* XmlDocument::FindOrCreatePath(std::u16string_view path, XmlNode* start) {
  if (active_ == nullptr)
    return nullptr;
  XmlNode* node = start;
  std::size_t begin = 0;
  while (begin <= path.size()) {
    std::size_t end = path.find(u'\\', begin);
    if (end == std::u16string_view::npos)
      end = path.size();
    const std::u16string_view component = path.substr(begin, end - begin);
    begin = end + 1;
    if (component.empty())
      continue;
    XmlNode* current = node;
    if (active_->FindChild(component, nullptr, nullptr, nullptr, current) == 1) {
      node = current;
      continue;
    }
    // A miss at the document element leaves the walk on the document element, as a lookup
    // does, and the new element goes below it; an empty document gets it as document element.
    XmlNode* created = nullptr;
    if (!active_->AddElement(current, component, nullptr, &created))
      return nullptr;
    node = created;
  }
  return node;
}

bool XmlDocument::AddElement(XmlNode* parent, std::u16string_view name, const Text* text,
                             XmlNode** created) {
  if (created != nullptr)
    *created = nullptr;
  return active_ && active_->AddElement(parent, name, text, created);
}

bool XmlDocument::SetText(XmlNode* node, const Text& text) {
  return active_ && active_->SetText(node, text);
}

bool XmlDocument::SetAttribute(XmlNode* node, std::u16string_view name, const Text& value) {
  return active_ && active_->SetAttribute(node, name, value);
}

bool XmlDocument::AddProcessingInstruction(std::u16string_view target, const Text* data) {
  return active_ && active_->AddProcessingInstruction(target, data);
}

bool XmlDocument::RemoveChild(XmlNode* parent, XmlNode* child) {
  return active_ && active_->RemoveChild(parent, child);
}

}  // namespace tarvel
