#include "platform/browser_protocol.h"

#include <gtest/gtest.h>

#include <string>

#include "platform/web_view.h"

namespace tarvel {
namespace {

namespace protocol = browser_protocol;

TEST(BrowserFramesTest, FramesSurviveAnySplitOfTheStream) {
  const std::string stream =
      protocol::EncodeFrame({{"id", 7}, {"op", "navigate"}}) +
      protocol::EncodeFrame({{"event", "message"}, {"message", "\xC3\xA9<"}});
  // Fed one byte at a time, the frames come out whole and in order.
  protocol::FrameReader reader;
  std::vector<nlohmann::json> frames;
  for (const char byte : stream) {
    reader.Append(&byte, 1);
    nlohmann::json message;
    while (reader.Next(&message) == protocol::FrameReader::Status::Frame) {
      frames.push_back(message);
    }
  }
  ASSERT_EQ(frames.size(), 2u);
  EXPECT_EQ(protocol::IntegerMember(frames[0], "id"), 7);
  EXPECT_EQ(protocol::StringMember(frames[1], "message"), "\xC3\xA9<");
  EXPECT_EQ(reader.buffered(), 0u);
}

TEST(BrowserFramesTest, UntrustworthyFramesAreRefused) {
  struct Row {
    const char* name;
    std::string bytes;
  };
  const auto frame = [](const std::string& body) {
    std::string bytes(4, '\0');
    bytes[2] = static_cast<char>(body.size() >> 8);
    bytes[3] = static_cast<char>(body.size() & 0xFF);
    return bytes + body;
  };
  const Row rows[] = {
      {"length beyond the limit", std::string("\x7F\xFF\xFF\xFF", 4)},
      {"not JSON", frame("{\"id\": ")},
      {"not an object", frame("[1, 2]")},
      {"nested too deep", frame("{\"a\":[[[[[[[[[[1]]]]]]]]]]}")},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    protocol::FrameReader reader;
    reader.Append(row.bytes.data(), row.bytes.size());
    nlohmann::json message;
    EXPECT_EQ(reader.Next(&message), protocol::FrameReader::Status::Malformed);
  }
  // Members of the wrong type read as missing, never as a thrown error.
  const nlohmann::json message = {{"id", "7"}, {"ok", 1}, {"url", 3}};
  EXPECT_EQ(protocol::IntegerMember(message, "id"), std::nullopt);
  EXPECT_FALSE(protocol::BoolMember(message, "ok"));
  EXPECT_EQ(protocol::StringMember(message, "url"), std::nullopt);
  EXPECT_EQ(protocol::StringMember(nlohmann::json::array(), "url"), std::nullopt);
}

TEST(BrowserFramesTest, ConnectToEntriesBecomeHostResolverRules) {
  struct Row {
    const char* connectTo;
    const char* rules;
  };
  const Row rows[] = {
      {":80:127.0.0.1:8080;:443:127.0.0.1:8443",
       "MAP *:80 127.0.0.1:8080, MAP *:443 127.0.0.1:8443"},
      {"mail.google.com:443:localhost:9000", "MAP mail.google.com:443 localhost:9000"},
      {"example.com::10.0.0.1:", "MAP example.com 10.0.0.1"},
      {"example.com:443::8443", "MAP example.com:443 example.com:8443"},
      // An empty target host for any host cannot be written as a rule.
      {":443::8443", ""},
      {"too:few:parts", ""},
      {"bad host:443:127.0.0.1:1", ""},
      {"a.com:443:evil\"host:1", ""},
      {"a.com:99999:127.0.0.1:1", ""},
      {" a.com:443:127.0.0.1:1 ; ;", "MAP a.com:443 127.0.0.1:1"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.connectTo);
    EXPECT_EQ(protocol::HostResolverRules(row.connectTo), row.rules);
  }
}

TEST(BrowserFramesTest, ScriptStringsAreWrittenAsChromiumWritesThem) {
  struct Row {
    const char* name;
    std::string text;
    const char* json;
  };
  const Row rows[] = {
      {"quotes and backslashes", "a\"b\\c", R"("a\"b\\c")"},
      {"markup", "<p>x</p>", R"("\u003Cp>x\u003C/p>")"},
      {"controls", std::string("\n\r\t\b\f\x01\x7F", 7), R"("\n\r\t\b\f\u0001\u007F")"},
      {"UTF-8 kept", "\xC3\xA9\xE2\x82\xAC", "\"\xC3\xA9\xE2\x82\xAC\""},
      {"line separator", "\xE2\x80\xA8", R"("\u2028")"},
      {"invalid bytes", "\xFF\xC3", "\"\xEF\xBF\xBD\xEF\xBF\xBD\""},
      {"overlong form", "\xC0\xAF", "\"\xEF\xBF\xBD\xEF\xBF\xBD\""},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    std::string out;
    protocol::AppendScriptJsonString(out, row.text);
    EXPECT_EQ(out, row.json);
  }
}

TEST(WebViewSourceTest, UnescapingDecodesOnlyWhatPageSourcesNeed) {
  struct Row {
    const char16_t* name;
    const char16_t* in;
    const char16_t* out;
  };
  const Row rows[] = {
      // Only the upper-case "\u003C" form is decoded; the ">" escape stays as written.
      {u"angle escapes", u"\\u003Cb\\u003E", u"<b\\u003E"},
      {u"lower-case form stays", u"\\u003c", u"\\u003c"},
      {u"simple escapes", u"\\\"\\<\\[\\\\\\]\\{\\}", u"\"<[\\]{}"},
      {u"line feed", u"a\\nb", u"a\nb"},
      {u"others stay", u"\\t\\r\\/\\u0041", u"\\t\\r\\/\\u0041"},
      {u"escaped backslash before n", u"\\\\n", u"\\n"},
      {u"trailing backslash", u"a\\", u"a\\"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(Text(row.name).ToUtf8());
    EXPECT_EQ(WebView::UnescapeScriptResult(Text(row.in)).units(), std::u16string(row.out));
  }
}

TEST(WebViewSourceTest, SourceIsTheStringResultWithoutItsQuotes) {
  Text source = u"unchanged";
  // A document whose serialisation is empty.
  ASSERT_TRUE(WebView::SourceFromScriptResult(u"\"\"", true, &source));
  EXPECT_EQ(source.units(), u"");
  ASSERT_TRUE(WebView::SourceFromScriptResult(u"\"\\u003Cp>\\\"x\\\"\"", true, &source));
  EXPECT_EQ(source.units(), u"<p>\"x\"");
  ASSERT_TRUE(WebView::SourceFromScriptResult(u"\"\\u003Cp>\\\"x\\\"\"", false, &source));
  EXPECT_EQ(source.units(), u"\\u003Cp>\\\"x\\\"");
  // No document, or a value that is no string: no source.
  source = u"unchanged";
  EXPECT_FALSE(WebView::SourceFromScriptResult(u"null", true, &source));
  EXPECT_FALSE(WebView::SourceFromScriptResult(u"\"", true, &source));
  EXPECT_FALSE(WebView::SourceFromScriptResult(u"{\"a\":\"b\"}", true, &source));
  EXPECT_EQ(source.units(), u"unchanged");
}

TEST(WebViewSourceTest, CallsWithoutABrowserFailCleanly) {
  WebView view;
  Text result;
  EXPECT_FALSE(view.created());
  EXPECT_FALSE(view.Navigate(u"https://example.com/", NavigateWait::Yes));
  EXPECT_FALSE(view.ExecuteScript(u"1", &result));
  EXPECT_FALSE(view.GetDocumentSource(&result, true, 0));
  EXPECT_FALSE(view.CurrentUrl(&result));
  EXPECT_FALSE(view.DeleteBrowserCookies(u"a", u"example.com", u"/"));
  view.Close();
}

}  // namespace
}  // namespace tarvel
