#include <cstddef>
#include <cstdint>
#include <string_view>

#include "platform/xml_document.h"

using tarvel::Text;
using tarvel::XmlDocument;
using tarvel::XmlNode;

namespace {

int CountAndGoOn(int, XmlNode* node, const Text& name, const Text& text, void* context,
                 XmlDocument* document) {
  *static_cast<std::size_t*>(context) += name.length() + text.length();
  Text xml;
  document->GetNodeXml(node, xml);
  return 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  std::size_t seen = 0;
  for (const Text& text : {Text::FromBytes(bytes), Text::FromUtf8(bytes)}) {
    XmlDocument document;
    if (!document.Create() || !document.LoadText(text))
      continue;
    Text value;
    document.GetText(u"feed\\entry\\title", value);
    document.GetText(u"s:Envelope\\s:Body", value);
    document.GetNumber(u"a\\b");
    document.Enumerate(u"", CountAndGoOn, &seen);
    XmlNode* node = nullptr;
    while (document.FindChild(std::nullopt, CountAndGoOn, &seen, &value, node) == 1) {
    }
    document.GetXml(value);
    XmlNode* created = document.FindOrCreatePath(u"x\\y");
    document.SetAttribute(created, u"z", u"1");
  }
  return seen == static_cast<std::size_t>(-1);
}
