#include "platform/json_document.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace tarvel {
namespace {

TEST(JsonDocument, ValueTextsFollowTheValueKind) {
  const struct {
    const char* json;
    std::u16string_view value;
  } rows[] = {
      {"[42]", u"42"},
      {"[-0]", u"0"},
      {"[-9223372036854775808]", u"-9223372036854775808"},
      {"[123456789012345678901234567890]", u"123456789012345678901234567890"},  // beyond 64 bits
      {"[1.50]", u"1.50"},
      {"[1E+2]", u"1E+2"},
      {"[true]", u"1"},
      {"[false]", u"0"},
      {"[null]", u"0"},
      {R"(["a\"\\\/\b\f\n\r\tz"])", u"a\"\\/\b\f\n\r\tz"},
      {R"(["caf\u00e9"])", u"caf\\u00e9"},  // \u escapes stay for the caller
      {"[\"\xC3\xA4\"]", u"\u00C3\u00A4"},  // UTF-8 bytes, one unit each
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.json);
    JsonDocument document;
    ASSERT_TRUE(document.parse(row.json));
    const JsonNode* element = JsonDocument::child(document.root());
    ASSERT_NE(element, nullptr);
    EXPECT_EQ(element->kind, JsonKind::Value);
    EXPECT_EQ(JsonDocument::value(element), row.value);
  }
}

TEST(JsonDocument, TreeWalkByMembersAndKinds) {
  JsonDocument document;
  ASSERT_TRUE(document.parse(R"({"IsRead":false})"));
  const JsonNode* object = document.root();
  ASSERT_EQ(object->kind, JsonKind::Object);
  const JsonNode* isRead = JsonDocument::member(JsonDocument::child(object), u"IsRead");
  ASSERT_NE(isRead, nullptr);
  EXPECT_EQ(JsonDocument::value(isRead), u"0");
  EXPECT_EQ(JsonDocument::next(isRead), nullptr);
  EXPECT_EQ(JsonDocument::member(JsonDocument::child(object), u"isread"), nullptr);

  ASSERT_TRUE(document.parse(R"( [ {"a":1}, {"b":[2,3]}, "x" ] )"));
  const JsonNode* array = document.root();
  ASSERT_EQ(array->kind, JsonKind::Array);
  const JsonNode* first = JsonDocument::child(array);
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(first->kind, JsonKind::Object);
  EXPECT_TRUE(first->name.empty());
  const JsonNode* second = JsonDocument::next(first);
  ASSERT_EQ(JsonDocument::firstOfKind(second, JsonKind::Object), second);
  EXPECT_EQ(JsonDocument::value(JsonDocument::firstOfKind(first, JsonKind::Value)), u"x");
  const JsonNode* b = JsonDocument::member(JsonDocument::child(second), u"b");
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(b->kind, JsonKind::Array);
  EXPECT_EQ(JsonDocument::value(JsonDocument::next(JsonDocument::child(b))), u"3");
}

TEST(JsonDocument, RefusedInputKeepsWhatWasBuilt) {
  JsonDocument document;
  EXPECT_FALSE(document.parse(R"({"a":"one","b":{"c":2},"d":"cut)"));
  const JsonNode* members = JsonDocument::child(document.root());
  EXPECT_EQ(JsonDocument::value(JsonDocument::member(members, u"a")), u"one");
  const JsonNode* b = JsonDocument::member(members, u"b");
  EXPECT_EQ(JsonDocument::value(JsonDocument::child(b)), u"2");
  EXPECT_EQ(JsonDocument::member(members, u"d"), nullptr);

  const char* refused[] = {"",       "  ",   "[1,]",       "{\"a\" 1}", "[1]x",    "[\"\xC3\"]x",
                           "[\xC3]", "[01]", "{\"a\":1,}", "[1][2]",    "\"a\nb\""};
  for (const char* json : refused) {
    SCOPED_TRACE(json);
    EXPECT_FALSE(document.parse(json));
  }
  EXPECT_FALSE(document.parse(std::string_view("[1,\0 2]", 7)));
}

TEST(JsonDocument, NestingIsBounded) {
  JsonDocument document;
  const std::size_t limit = JsonDocument::kMaxDepth;
  EXPECT_TRUE(document.parse(std::string(limit, '[') + std::string(limit, ']')));
  EXPECT_FALSE(document.parse(std::string(limit + 1, '[') + std::string(limit + 1, ']')));
  EXPECT_FALSE(document.parse(std::string(100000, '[')));
}

std::filesystem::path ConformanceFolder() {
  const char* source = std::getenv("TARVEL_SOURCE_DIR");
  return std::filesystem::path(source ? source : ".") / "tests/fixtures/json/test_parsing";
}

// The public JSONTestSuite parsing cases: y_ accepted, n_ refused, i_ either way.
TEST(JsonDocument, ConformanceSuite) {
  const std::filesystem::path folder = ConformanceFolder();
  ASSERT_TRUE(std::filesystem::is_directory(folder))
      << folder << " is missing: set TARVEL_SOURCE_DIR to the source tree";
  int accepted = 0;
  int refused = 0;
  int either = 0;
  for (const auto& entry : std::filesystem::directory_iterator(folder)) {
    const std::string name = entry.path().filename().string();
    std::ifstream file(entry.path(), std::ios::binary);
    std::ostringstream content;
    content << file.rdbuf();
    JsonDocument document;
    const bool result = document.parse(content.str());
    if (name.starts_with("y_")) {
      EXPECT_TRUE(result) << name;
      ++accepted;
    } else if (name.starts_with("n_")) {
      EXPECT_FALSE(result) << name;
      ++refused;
    } else {
      ++either;
    }
  }
  EXPECT_EQ(accepted, 95);
  EXPECT_EQ(refused, 188);
  EXPECT_EQ(either, 35);
}

}  // namespace
}  // namespace tarvel
