#include "platform/libxml2_backend.h"

#include <libxml/SAX2.h>
#include <libxml/parser.h>
#include <libxml/parserInternals.h>
#include <libxml/xmlsave.h>

#include <climits>
#include <fstream>
#include <memory>
#include <mutex>

#include "platform/ascii_bytes.h"
#include "platform/xml_document.h"

namespace tarvel {

namespace {

xmlNodePtr ToLibxml(XmlNode* node) {
  return reinterpret_cast<xmlNodePtr>(node);
}
XmlNode* FromLibxml(xmlNodePtr node) {
  return reinterpret_cast<XmlNode*>(node);
}
const xmlChar* Chars(const std::string& text) {
  return reinterpret_cast<const xmlChar*>(text.c_str());
}
std::string String(const xmlChar* text) {
  return text ? std::string(reinterpret_cast<const char*>(text)) : std::string();
}

struct XmlFree {
  void operator()(xmlChar* text) const { xmlFree(text); }
  void operator()(xmlBuffer* buffer) const { xmlBufferFree(buffer); }
  void operator()(xmlParserCtxt* parser) const { xmlFreeParserCtxt(parser); }
};

xmlParserInputPtr RefuseExternalEntity(const char*, const char*, xmlParserCtxtPtr) {
  return nullptr;
}

// Internal entities are declared with an empty replacement text: references to them stay
// reference nodes that nothing reads, so their text (an entity bomb's, say) is never parsed or
// expanded. External entities are declared as written and never loaded.
void DeclareEntityWithoutText(void* context, const xmlChar* name, int type, const xmlChar* publicId,
                              const xmlChar* systemId, xmlChar* content) {
  static xmlChar empty[] = "";
  const bool internal =
      type == XML_INTERNAL_GENERAL_ENTITY || type == XML_INTERNAL_PARAMETER_ENTITY;
  xmlSAX2EntityDecl(context, name, type, publicId, systemId, internal ? empty : content);
}

void IgnoreGenericError(void*, const char*, ...) {}
void IgnoreStructuredError(void*, xmlErrorPtr) {}

// libxml2's global set-up, once per process: no external entity is ever loaded, whatever a
// document or an option asks for.
void InitialiseLibxml() {
  static std::once_flag once;
  std::call_once(once, [] {
    xmlInitParser();
    xmlSetExternalEntityLoader(RefuseExternalEntity);
  });
  // Error handlers are per thread: the parser's messages are not for the user.
  xmlSetGenericErrorFunc(nullptr, IgnoreGenericError);
  xmlSetStructuredErrorFunc(nullptr, IgnoreStructuredError);
}

// Without NOENT, DTDLOAD, DTDATTR, DTDVALID and XINCLUDE: entity references stay references
// and nothing outside the text is read.
constexpr int kParseOptions =
    XML_PARSE_NONET | XML_PARSE_NOBLANKS | XML_PARSE_NOERROR | XML_PARSE_NOWARNING;

std::string QualifiedName(const xmlChar* name, const xmlNs* ns) {
  std::string result;
  if (ns != nullptr && ns->prefix != nullptr) {
    result = String(ns->prefix);
    result += ':';
  }
  result += String(name);
  return result;
}

// The node's name as a DOM gives it.
std::string NodeName(xmlNodePtr node) {
  switch (node->type) {
    case XML_ELEMENT_NODE:
      return QualifiedName(node->name, node->ns);
    case XML_ATTRIBUTE_NODE:
      return QualifiedName(node->name, reinterpret_cast<xmlAttrPtr>(node)->ns);
    case XML_TEXT_NODE:
      return "#text";
    case XML_CDATA_SECTION_NODE:
      return "#cdata-section";
    case XML_COMMENT_NODE:
      return "#comment";
    case XML_DOCUMENT_NODE:
      return "#document";
    default:
      return String(node->name);
  }
}

// The node's text: the text and CDATA below it in document order. Entity references are not
// followed, so no entity is ever expanded; the walk is a loop, so depth costs no stack.
std::string NodeText(xmlNodePtr node) {
  switch (node->type) {
    case XML_TEXT_NODE:
    case XML_CDATA_SECTION_NODE:
    case XML_COMMENT_NODE:
    case XML_PI_NODE:
      return String(node->content);
    case XML_ELEMENT_NODE:
    case XML_ATTRIBUTE_NODE:
    case XML_DOCUMENT_NODE:
      break;
    default:
      return std::string();
  }
  std::string text;
  xmlNodePtr current = node->children;
  while (current != nullptr && current != node) {
    if (current->type == XML_TEXT_NODE || current->type == XML_CDATA_SECTION_NODE) {
      if (current->content != nullptr)
        text += reinterpret_cast<const char*>(current->content);
    }
    if (current->type == XML_ELEMENT_NODE && current->children != nullptr) {
      current = current->children;
      continue;
    }
    while (current != node && current->next == nullptr)
      current = current->parent;
    if (current == node)
      break;
    current = current->next;
  }
  return text;
}

using ascii_bytes::EqualsNoCase;

// Calls `step` for each non-empty component of a backslash-separated path; stops when it
// answers false. Returns whether every step succeeded.
template <typename Step>
bool WalkPath(std::u16string_view path, Step&& step) {
  std::size_t begin = 0;
  while (begin <= path.size()) {
    std::size_t end = path.find(u'\\', begin);
    if (end == std::u16string_view::npos)
      end = path.size();
    if (end > begin && !step(path.substr(begin, end - begin)))
      return false;
    begin = end + 1;
  }
  return true;
}

bool IsValidName(const std::string& name) {
  return !name.empty() && xmlValidateQName(Chars(name), 0) == 0;
}

// The value of the encoding attribute of the XML declaration, if there is one.
std::optional<Text> DeclaredEncoding(const Text& text) {
  Text::Position start = 0;
  while (start < text.length() && (text[start] == 0xFEFF || Text::IsBlank(text[start])))
    ++start;
  if (text.view().substr(static_cast<std::size_t>(start), 5) != u"<?xml")
    return std::nullopt;
  Text declaration;
  if (text.Extract(std::nullopt, u"?>", &declaration, start) == Text::kNotFound)
    return std::nullopt;
  const Text::Position keyword = declaration.FindCase(u"encoding");
  if (keyword == Text::kNotFound)
    return std::nullopt;
  Text::Position at = keyword + 8;
  while (at < declaration.length() && (Text::IsBlank(declaration[at]) || declaration[at] == u'='))
    ++at;
  if (at >= declaration.length())
    return std::nullopt;
  const Text::Unit quote = declaration[at];
  const Text::Position close = declaration.FindChar(quote, at + 1);
  if ((quote != u'"' && quote != u'\'') || close == Text::kNotFound)
    return std::nullopt;
  return declaration.Mid(at + 1, close - at - 1);
}

// Drops encoding="..." (or '...') from the XML declaration. Only the declaration is searched:
// an attribute of that name in the document itself is content and stays.
bool RemoveEncodingAttribute(Text& text) {
  const Text::Position declarationEnd = text.FindCase(u"?>");
  if (text.FindCase(u"<?xml") == Text::kNotFound || declarationEnd == Text::kNotFound)
    return false;
  Text::Position keyword = text.Find(u"encoding=\"");
  Text::Unit quote = u'"';
  if (keyword == Text::kNotFound || keyword > declarationEnd) {
    keyword = text.Find(u"encoding='");
    quote = u'\'';
  }
  if (keyword == Text::kNotFound || keyword > declarationEnd)
    return false;
  const Text::Position close = text.FindChar(quote, keyword + 10);
  if (close == Text::kNotFound)
    return false;
  Text shortened = text.Left(keyword);
  shortened.Append(text.Mid(close + 1));
  text = std::move(shortened);
  return true;
}

bool IsWideEncodingName(const Text& name) {
  for (const std::u16string_view wide : {u"UTF-16", u"UTF16", u"UCS-2", u"UTF-16LE", u"unicode"}) {
    if (Text::CompareNoCase(name, wide) == 0)
      return true;
  }
  return false;
}

}  // namespace

Libxml2Backend::~Libxml2Backend() {
  Close();
}

bool Libxml2Backend::Create(unsigned /*flags*/) {
  // Validation, external resources and DTD loading are off whatever the flags ask; internal
  // DTD subsets are always accepted (their entities are never expanded).
  InitialiseLibxml();
  Close();
  document_ = xmlNewDoc(reinterpret_cast<const xmlChar*>("1.0"));
  return document_ != nullptr;
}

void Libxml2Backend::Close() {
  if (document_ != nullptr)
    xmlFreeDoc(document_);
  document_ = nullptr;
}

bool Libxml2Backend::ParseBytes(std::string_view bytes, const char* encoding, int extraOptions) {
  if (bytes.size() > static_cast<std::size_t>(INT_MAX))
    return false;
  InitialiseLibxml();
  const std::unique_ptr<xmlParserCtxt, XmlFree> parser(xmlNewParserCtxt());
  if (!parser || parser->sax == nullptr)
    return false;
  parser->sax->entityDecl = DeclareEntityWithoutText;
  xmlDocPtr parsed = xmlCtxtReadMemory(parser.get(), bytes.data(), static_cast<int>(bytes.size()),
                                       nullptr, encoding, kParseOptions | extraOptions);
  if (parsed == nullptr)
    return false;
  if (xmlDocGetRootElement(parsed) == nullptr) {
    xmlFreeDoc(parsed);
    return false;
  }
  Close();
  document_ = parsed;
  return true;
}

// A wide text loads as the characters it holds, unless its declaration names a byte encoding:
// then it is taken for bytes that still need decoding, and this step fails.
bool Libxml2Backend::ParseWide(const Text& text) {
  const std::optional<Text> encoding = DeclaredEncoding(text);
  if (encoding && !IsWideEncodingName(*encoding))
    return false;
  return ParseBytes(text.ToUtf8(), "UTF-8", XML_PARSE_IGNORE_ENC);
}

bool Libxml2Backend::LoadText(const Text& text) {
  if (document_ == nullptr)
    return false;
  Text current = text;
  for (int attempt = 0; attempt < 2; ++attempt) {
    if (ParseWide(current) || ParseBytes(current.ToBytes(), nullptr, 0))
      return true;
    if (attempt > 0 || !RemoveEncodingAttribute(current))
      break;
  }
  return false;
}

bool Libxml2Backend::LoadFile(const Text& path) {
  if (document_ == nullptr)
    return false;
  std::ifstream file(path.ToUtf8(), std::ios::binary);
  if (!file)
    return false;
  std::string bytes;
  char buffer[65536];
  while (file.read(buffer, sizeof buffer) || file.gcount() > 0) {
    bytes.append(buffer, static_cast<std::size_t>(file.gcount()));
    if (bytes.size() > kMaxFileSize)
      return false;
  }
  return ParseBytes(bytes, nullptr, 0);
}

bool Libxml2Backend::GetXml(Text& xml) {
  xml.clear();
  if (document_ == nullptr)
    return false;
  xmlChar* memory = nullptr;
  int size = 0;
  xmlDocDumpMemoryEnc(document_, &memory, &size, "UTF-8");
  const std::unique_ptr<xmlChar, XmlFree> owned(memory);
  if (memory == nullptr)
    return false;
  xml = Text::FromUtf8(
      std::string_view(reinterpret_cast<const char*>(memory), static_cast<std::size_t>(size)));
  return true;
}

bool Libxml2Backend::GetNodeXml(XmlNode* node, Text& xml) {
  xml.clear();
  if (document_ == nullptr || node == nullptr)
    return false;
  const std::unique_ptr<xmlBuffer, XmlFree> buffer(xmlBufferCreate());
  if (!buffer || xmlNodeDump(buffer.get(), document_, ToLibxml(node), 0, 0) < 0)
    return false;
  xml = Text::FromUtf8(String(xmlBufferContent(buffer.get())));
  return true;
}

bool Libxml2Backend::SaveFile(const Text& path) {
  Text xml;
  if (!GetXml(xml))
    return false;
  std::ofstream file(path.ToUtf8(), std::ios::binary | std::ios::trunc);
  const std::string bytes = xml.ToUtf8();
  file.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  file.close();
  return static_cast<bool>(file);
}

bool Libxml2Backend::Visit(XmlVisitor visitor, void* context, int isAttribute, xmlNodePtr node) {
  return visitor(isAttribute, FromLibxml(node), Text::FromUtf8(NodeName(node)),
                 Text::FromUtf8(NodeText(node)), context, owner_) == 1;
}

int Libxml2Backend::FindChild(std::optional<std::u16string_view> name, XmlVisitor visitor,
                              void* context, Text* text, XmlNode*& node) {
  const auto clearText = [&] {
    if (text != nullptr)
      text->clear();
  };
  if (document_ == nullptr) {
    clearText();
    return 0;
  }
  const std::string wanted = name ? Text(*name).ToUtf8() : std::string();
  if (node == nullptr) {
    xmlNodePtr root = xmlDocGetRootElement(document_);
    if (root == nullptr) {
      clearText();
      return 0;
    }
    node = FromLibxml(root);
    if (name && EqualsNoCase(NodeName(root), wanted)) {
      if (text != nullptr)
        *text = Text::FromUtf8(NodeText(root));
      return 1;
    }
    clearText();
    if (visitor != nullptr) {
      return visitor(0, node, Text::FromUtf8(NodeName(root)), Text::FromUtf8(NodeText(root)),
                     context, owner_);
    }
    return 0;
  }
  xmlNodePtr current = ToLibxml(node);
  if (name && *name == u"#text") {
    if (text != nullptr)
      *text = Text::FromUtf8(NodeText(current));
    return 1;
  }
  // The next sibling is taken before the visitor runs, so a visitor may remove the node it sees.
  const auto search = [&](xmlNodePtr first, int isAttribute) -> int {
    for (xmlNodePtr candidate = first; candidate != nullptr;) {
      xmlNodePtr following = candidate->next;
      if (name && EqualsNoCase(NodeName(candidate), wanted)) {
        if (text != nullptr)
          *text = Text::FromUtf8(NodeText(candidate));
        node = FromLibxml(candidate);
        return 1;
      }
      if (visitor != nullptr && Visit(visitor, context, isAttribute, candidate))
        return 2;
      candidate = following;
    }
    return 0;
  };
  if (current->type == XML_ELEMENT_NODE) {
    const int found = search(reinterpret_cast<xmlNodePtr>(current->properties), 1);
    if (found != 0) {
      if (found == 2)
        clearText();
      return 1;
    }
  }
  if (current->type == XML_ELEMENT_NODE || current->type == XML_DOCUMENT_NODE) {
    const int found = search(current->children, 0);
    if (found != 0) {
      if (found == 2)
        clearText();
      return 1;
    }
  }
  clearText();
  return 0;
}

bool Libxml2Backend::GetText(std::u16string_view path, Text& text, XmlNode* start) {
  text.clear();
  if (document_ == nullptr)
    return false;
  XmlNode* node = start;
  bool any = false;
  const bool found = WalkPath(path, [&](std::u16string_view component) {
    any = true;
    return FindChild(component, nullptr, nullptr, &text, node) == 1;
  });
  if (!found) {
    text.clear();
    return false;
  }
  if (!any) {
    if (start == nullptr)
      return false;
    text = Text::FromUtf8(NodeText(ToLibxml(start)));
  }
  return true;
}

int Libxml2Backend::Enumerate(std::u16string_view path, XmlVisitor visitor, void* context,
                              XmlNode* start) {
  if (document_ == nullptr)
    return 0;
  XmlNode* node = start;
  const bool found = WalkPath(path, [&](std::u16string_view component) {
    return FindChild(component, nullptr, nullptr, nullptr, node) == 1;
  });
  if (!found)
    return 0;
  return FindChild(std::nullopt, visitor, context, nullptr, node);
}

bool Libxml2Backend::AddElement(XmlNode* parent, std::u16string_view name, const Text* text,
                                XmlNode** created) {
  if (created != nullptr)
    *created = nullptr;
  const std::string elementName = Text(name).ToUtf8();
  if (document_ == nullptr || !IsValidName(elementName))
    return false;
  xmlNodePtr parentNode = parent ? ToLibxml(parent) : reinterpret_cast<xmlNodePtr>(document_);
  if (parentNode->type != XML_ELEMENT_NODE &&
      !(parentNode->type == XML_DOCUMENT_NODE && xmlDocGetRootElement(document_) == nullptr)) {
    return false;  // a second document element, or a child of a node that cannot have one
  }
  xmlNodePtr element = xmlNewDocNode(document_, nullptr, Chars(elementName), nullptr);
  if (element == nullptr)
    return false;
  if (text != nullptr && !text->isEmpty()) {
    const std::string content = text->ToUtf8();
    xmlNodePtr textNode = xmlNewDocText(document_, Chars(content));
    if (textNode == nullptr || xmlAddChild(element, textNode) == nullptr) {
      xmlFreeNode(textNode);
      xmlFreeNode(element);
      return false;
    }
  }
  if (xmlAddChild(parentNode, element) == nullptr) {
    xmlFreeNode(element);
    return false;
  }
  if (created != nullptr)
    *created = FromLibxml(element);
  return true;
}

bool Libxml2Backend::SetText(XmlNode* node, const Text& text) {
  if (document_ == nullptr || node == nullptr)
    return false;
  xmlNodePtr target = ToLibxml(node);
  const std::string content = text.ToUtf8();
  switch (target->type) {
    case XML_ELEMENT_NODE: {
      xmlNodeSetContent(target, nullptr);
      if (content.empty())
        return true;
      xmlNodePtr textNode = xmlNewDocText(document_, Chars(content));
      if (textNode == nullptr || xmlAddChild(target, textNode) == nullptr) {
        xmlFreeNode(textNode);
        return false;
      }
      return true;
    }
    case XML_ATTRIBUTE_NODE: {
      auto* attribute = reinterpret_cast<xmlAttrPtr>(target);
      return attribute->parent != nullptr &&
             xmlSetNsProp(attribute->parent, attribute->ns, attribute->name, Chars(content)) !=
                 nullptr;
    }
    case XML_TEXT_NODE:
    case XML_CDATA_SECTION_NODE:
    case XML_COMMENT_NODE:
    case XML_PI_NODE:
      // These hold their content as it is, not as markup.
      xmlNodeSetContent(target, Chars(content));
      return true;
    default:
      return false;
  }
}

bool Libxml2Backend::SetAttribute(XmlNode* node, std::u16string_view name, const Text& value) {
  const std::string attributeName = Text(name).ToUtf8();
  if (document_ == nullptr || node == nullptr || !IsValidName(attributeName) ||
      ToLibxml(node)->type != XML_ELEMENT_NODE) {
    return false;
  }
  return xmlSetProp(ToLibxml(node), Chars(attributeName), Chars(value.ToUtf8())) != nullptr;
}

bool Libxml2Backend::AddProcessingInstruction(std::u16string_view target, const Text* data) {
  const std::string targetName = Text(target).ToUtf8();
  if (document_ == nullptr || !IsValidName(targetName))
    return false;
  // The XML declaration is written by the serialiser itself; a second one would make the
  // document unreadable.
  if (EqualsNoCase(targetName, "xml"))
    return true;
  const std::string content = data ? data->ToUtf8() : std::string();
  xmlNodePtr instruction =
      xmlNewDocPI(document_, Chars(targetName), data ? Chars(content) : nullptr);
  if (instruction == nullptr)
    return false;
  if (xmlAddChild(reinterpret_cast<xmlNodePtr>(document_), instruction) == nullptr) {
    xmlFreeNode(instruction);
    return false;
  }
  return true;
}

bool Libxml2Backend::RemoveChild(XmlNode* parent, XmlNode* child) {
  if (document_ == nullptr || child == nullptr)
    return false;
  xmlNodePtr parentNode = parent ? ToLibxml(parent) : reinterpret_cast<xmlNodePtr>(document_);
  xmlNodePtr childNode = ToLibxml(child);
  if (childNode->parent != parentNode)
    return false;
  if (childNode->type == XML_ATTRIBUTE_NODE)
    return xmlRemoveProp(reinterpret_cast<xmlAttrPtr>(childNode)) == 0;
  xmlUnlinkNode(childNode);
  xmlFreeNode(childNode);
  return true;
}

}  // namespace tarvel
