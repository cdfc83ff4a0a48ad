#include "tarvelctl/json_output.h"

#include <gtest/gtest.h>

namespace tarvel::ctl {
namespace {

TEST(JsonOutput, EscapesWhatJsonForbidsAndKeepsTheRestAsUtf8) {
  struct Case {
    std::u16string_view text;
    const char* json;
  };
  const char16_t unpaired[] = {u'a', 0xD800, u'b', 0};
  const Case cases[] = {
      {u"", "\"\""},
      {u"say \"hi\" \\ bye", "\"say \\\"hi\\\" \\\\ bye\""},
      {u"a\rb\nc\td\be\ff", "\"a\\rb\\nc\\td\\be\\ff\""},
      {u"\x01\x1F\x7F", "\"\\u0001\\u001f\\u007f\""},
      {u"Grüße \u20AC \U0001F600", "\"Grüße \xE2\x82\xAC \xF0\x9F\x98\x80\""},
      {unpaired,
       "\"a\xEF\xBF\xBD"
       "b\""},
      {u"</script>", "\"</script>\""},
      // Terminal commands and invisible formatting never pass raw.
      {u"\x1B]0;x\x07 \u009B \u202Eevil\u202C \u2028 \uFEFF",
       "\"\\u001b]0;x\\u0007 \\u009b \\u202eevil\\u202c \\u2028 \\ufeff\""},
  };
  for (const Case& row : cases) {
    SCOPED_TRACE(row.json);
    EXPECT_EQ(JsonString(Text(row.text)), row.json);
  }
}

}  // namespace
}  // namespace tarvel::ctl
