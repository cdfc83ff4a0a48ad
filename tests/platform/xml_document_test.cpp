#include "platform/xml_document.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace tarvel {
namespace {

std::filesystem::path Fixture(const char* name) {
  const char* source = std::getenv("TARVEL_SOURCE_DIR");
  return std::filesystem::path(source ? source : ".") / "tests/fixtures/xml" / name;
}

std::string ReadFile(const std::filesystem::path& path) {
  std::ifstream file(path, std::ios::binary);
  std::ostringstream content;
  content << file.rdbuf();
  return content.str();
}

Text TextAt(XmlDocument& document, std::u16string_view path, bool* found = nullptr) {
  Text text;
  const bool result = document.GetText(path, text);
  if (found != nullptr)
    *found = result;
  return text;
}

TEST(XmlDocument, PathsMatchNamesWithPrefixWithoutCase) {
  XmlDocument document;
  ASSERT_TRUE(document.Create());
  ASSERT_TRUE(document.LoadText(
      u"<?xml version=\"1.0\"?>\n<s:Envelope xmlns:s=\"urn:s\" xmlns:t=\"urn:t\">\n"
      u"  <s:Body id=\"attribute\"><id>child</id><t:Subject>Hello &amp; bye</t:Subject>"
      u"<t:Count>42</t:Count><Big>99999999999999999999999</Big><Neg>-3</Neg></s:Body>\n"
      u"</s:Envelope>"));
  const struct {
    std::u16string_view path;
    bool found;
    std::u16string_view text;
  } rows[] = {
      {u"s:Envelope\\s:Body\\t:Subject", true, u"Hello & bye"},
      {u"S:ENVELOPE\\\\s:body\\T:SUBJECT\\", true, u"Hello & bye"},  // empty parts skipped
      {u"s:Envelope\\s:Body\\Subject", false, u""},                  // the prefix is part of it
      {u"Envelope\\s:Body", false, u""},
      {u"s:Envelope\\s:Body\\id", true, u"attribute"},  // attributes come before children
      {u"s:Envelope\\s:Body\\t:Subject\\#text", true, u"Hello & bye"},
      {u"s:Envelope\\s:Body\\#text", true, u"childHello & bye4299999999999999999999999-3"},
      {u"s:Envelope\\xmlns:s", false, u""},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(std::string(row.path.begin(), row.path.end()));
    bool found = false;
    EXPECT_EQ(TextAt(document, row.path, &found).view(), row.text);
    EXPECT_EQ(found, row.found);
  }
  EXPECT_EQ(document.GetNumber(u"s:Envelope\\s:Body\\t:Count"), 42u);
  EXPECT_EQ(document.GetNumber(u"s:Envelope\\s:Body\\Big"), UINT64_MAX);
  EXPECT_EQ(document.GetNumber(u"s:Envelope\\s:Body\\Neg"), 0u);
  EXPECT_EQ(document.GetNumber(u"s:Envelope\\nothing"), 0u);

  ASSERT_TRUE(document.LoadText(u"<rss><title>x</title></rss>"));
  EXPECT_TRUE(TextAt(document, u"feed\\title").isEmpty());
  ASSERT_TRUE(document.LoadText(u"<feed><title>Inbox</title></feed>"));
  EXPECT_EQ(TextAt(document, u"feed\\title").view(), u"Inbox");
}

struct Visit {
  int isAttribute;
  std::u16string name;
  std::u16string text;
};

int Record(int isAttribute, XmlNode*, const Text& name, const Text& text, void* context,
           XmlDocument*) {
  auto& visits = *static_cast<std::vector<Visit>*>(context);
  visits.push_back({isAttribute, std::u16string(name.view()), std::u16string(text.view())});
  return name == u"stop" ? 1 : 0;
}

TEST(XmlDocument, EnumerateVisitsAttributesThenChildrenAndStops) {
  XmlDocument document;
  ASSERT_TRUE(document.Create());
  ASSERT_TRUE(document.LoadText(
      u"<feed><entry a=\"1\" b=\"2\"><x>one</x><!--note--><y>t<![CDATA[<w>]]></y>tail</entry>"
      u"<last a=\"1\"><stop/><never/></last></feed>"));
  std::vector<Visit> visits;
  EXPECT_EQ(document.Enumerate(u"feed\\entry", Record, &visits), 0);
  std::vector<std::u16string> names;
  for (const auto& visit : visits)
    names.push_back(visit.name);
  EXPECT_EQ(names, (std::vector<std::u16string>{u"a", u"b", u"x", u"#comment", u"y", u"#text"}));
  ASSERT_EQ(visits.size(), 6u);
  EXPECT_EQ(visits[0].isAttribute, 1);
  EXPECT_EQ(visits[2].isAttribute, 0);
  EXPECT_EQ(visits[4].text, u"t<w>");

  visits.clear();
  EXPECT_EQ(document.Enumerate(u"feed\\last", Record, &visits), 1);
  EXPECT_EQ(visits.size(), 2u);  // "a", then "stop" ends the walk
  visits.clear();
  EXPECT_EQ(document.Enumerate(u"", Record, &visits), 0);  // the document element itself
  ASSERT_EQ(visits.size(), 1u);
  EXPECT_EQ(visits[0].name, u"feed");
  EXPECT_EQ(document.Enumerate(u"feed\\missing", Record, &visits), 0);
}

TEST(XmlDocument, LoadTextTriesWideThenBytesThenWithoutTheEncoding) {
  const struct {
    const char* name;
    Text text;
  } rows[] = {
      {"wide text", Text(u"<a>\u00E4\u20AC</a>")},
      {"UTF-8 bytes as declared",
       Text::FromBytes("<?xml version=\"1.0\" encoding=\"utf-8\"?><a>\xC3\xA4\xE2\x82\xAC</a>")},
      {"wide text with a wrong declaration",
       Text(u"<?xml version=\"1.0\" encoding='x-unknown'?><a>\u00E4\u20AC</a>")},
      {"decoded text still declaring UTF-8",
       Text(u"<?xml version=\"1.0\" encoding=\"UTF-8\"?><a>\u00E4\u20AC</a>")},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    XmlDocument document;
    ASSERT_TRUE(document.Create());
    ASSERT_TRUE(document.LoadText(row.text));
    EXPECT_EQ(TextAt(document, u"a").view(), u"\u00E4\u20AC");
  }
  XmlDocument document;
  ASSERT_TRUE(document.Create());
  EXPECT_FALSE(document.LoadText(u"<a><b></a>"));
  EXPECT_FALSE(document.LoadText(u""));
  EXPECT_TRUE(document.LoadText(u"<a encoding=\"x\">kept</a>"));
  EXPECT_EQ(TextAt(document, u"a\\encoding").view(), u"x");
}

TEST(XmlDocument, EntityBombAndExternalEntitiesAreNeitherExpandedNorRead) {
  XmlDocument document;
  ASSERT_TRUE(document.Create());
  const auto started = std::chrono::steady_clock::now();
  ASSERT_TRUE(document.LoadText(Text::FromBytes(ReadFile(Fixture("entity_bomb.xml")))));
  EXPECT_EQ(TextAt(document, u"lolz\\title").view(), u"bomb");
  EXPECT_TRUE(TextAt(document, u"lolz\\body").isEmpty());
  Text xml;
  ASSERT_TRUE(document.GetXml(xml));
  EXPECT_LT(xml.length(), 4096);
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(5));

  const std::filesystem::path secret =
      std::filesystem::temp_directory_path() / ("tarvel_xxe_" + std::to_string(::getpid()));
  std::ofstream(secret) << "SECRET-MARKER";
  const std::string uri = "file://" + secret.string();
  const std::string xxe = "<?xml version=\"1.0\"?><!DOCTYPE r [<!ENTITY x SYSTEM \"" + uri +
                          "\"><!ENTITY % p SYSTEM \"" + uri + "\"> %p;]><r><a>&x;</a></r>";
  ASSERT_TRUE(document.LoadText(Text::FromBytes(xxe)));
  EXPECT_TRUE(TextAt(document, u"r\\a").isEmpty());
  ASSERT_TRUE(document.GetXml(xml));
  EXPECT_EQ(xml.Find(u"SECRET-MARKER"), Text::kNotFound);
  const std::string external = "<!DOCTYPE r SYSTEM \"" + uri + "\"><r>&x;</r>";
  document.LoadText(Text::FromBytes(external));
  ASSERT_TRUE(document.GetXml(xml));
  EXPECT_EQ(xml.Find(u"SECRET-MARKER"), Text::kNotFound);
  std::filesystem::remove(secret);
}

TEST(XmlDocument, BuildsEditsSavesAndLoadsADocument) {
  XmlDocument document;
  ASSERT_TRUE(document.Create());
  ASSERT_TRUE(document.AddProcessingInstruction(u"xml", nullptr));
  const Text style(u"type=\"text/xsl\" href=\"s.xsl\"");
  ASSERT_TRUE(document.AddProcessingInstruction(u"xml-stylesheet", &style));
  XmlNode* account = document.FindOrCreatePath(u"Settings\\Accounts\\One");
  ASSERT_NE(account, nullptr);
  EXPECT_EQ(document.FindOrCreatePath(u"settings\\accounts\\one"), account);
  ASSERT_TRUE(document.SetText(account, u"a < b & c"));
  ASSERT_TRUE(document.SetAttribute(account, u"id", u"7\""));
  ASSERT_TRUE(document.SetAttribute(account, u"id", u"8"));  // replaces
  XmlNode* accounts = document.FindOrCreatePath(u"Settings\\Accounts");
  XmlNode* two = nullptr;
  const Text twoText(u"2");
  ASSERT_TRUE(document.AddElement(accounts, u"Two", &twoText, &two));
  EXPECT_FALSE(document.AddElement(nullptr, u"SecondRoot", nullptr));
  EXPECT_FALSE(document.AddElement(accounts, u"bad name", nullptr));
  EXPECT_EQ(document.GetNumber(u"Settings\\Accounts\\Two"), 2u);
  EXPECT_EQ(TextAt(document, u"Settings\\Accounts\\One\\ID").view(), u"8");

  Text node;
  ASSERT_TRUE(document.GetNodeXml(account, node));
  EXPECT_EQ(node.view(), u"<One id=\"8\">a &lt; b &amp; c</One>");
  ASSERT_TRUE(document.RemoveChild(accounts, two));
  EXPECT_FALSE(document.RemoveChild(account, accounts));  // not its child
  Text xml;
  ASSERT_TRUE(document.GetXml(xml));
  EXPECT_EQ(xml.view(),
            u"<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
            u"<?xml-stylesheet type=\"text/xsl\" href=\"s.xsl\"?>\n"
            u"<Settings><Accounts><One id=\"8\">a &lt; b &amp; c</One></Accounts></Settings>\n");

  const std::filesystem::path file =
      std::filesystem::temp_directory_path() / ("tarvel_xml_" + std::to_string(::getpid()));
  ASSERT_TRUE(document.SaveFile(Text::FromUtf8(file.string())));
  XmlDocument loaded;
  ASSERT_TRUE(loaded.Create());
  ASSERT_TRUE(loaded.LoadFile(Text::FromUtf8(file.string())));
  EXPECT_EQ(TextAt(loaded, u"Settings\\Accounts\\One").view(), u"a < b & c");
  std::filesystem::remove(file);
  EXPECT_FALSE(loaded.LoadFile(Text::FromUtf8(file.string())));

  XmlDocument unused;
  Text text(u"kept?");
  EXPECT_FALSE(unused.LoadText(u"<a/>"));
  EXPECT_FALSE(unused.GetText(u"a", text));
  EXPECT_TRUE(text.isEmpty());
  EXPECT_EQ(unused.FindOrCreatePath(u"a"), nullptr);
  EXPECT_EQ(unused.GetNumber(u"a"), 0u);
}

}  // namespace
}  // namespace tarvel
