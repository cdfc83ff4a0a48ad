#include "engines/protocol/imap_transport.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

namespace tarvel {
namespace {

// The engine reads a response by status and text only; whichever tag the transport gave a
// command must not matter.
TEST(ImapTransport, TaggedStatusLinesWhateverTheTag) {
  struct Row {
    const char* line;
    std::optional<std::pair<std::string, std::string>> tagged;  // status, text
  };
  const Row rows[] = {
      {"A004 OK SEARCH completed\r\n", std::pair{"OK", "SEARCH completed"}},
      {"x17 ok Search completed (0.001 + 0.000 secs).",
       std::pair{"ok", "Search completed (0.001 + 0.000 secs)."}},
      {"A002 NO AUTHENTICATE failed", std::pair{"NO", "AUTHENTICATE failed"}},
      {"tag BAD", std::pair{"BAD", ""}},
      {"* OK [CAPABILITY IMAP4rev1] ready", std::nullopt},
      {"* SEARCH 1 2", std::nullopt},
      {"+ idling", std::nullopt},
      {"A005 BYE gone", std::nullopt},  // no completion status
      {"A005", std::nullopt},
      {" OK leading blank", std::nullopt},
      {"", std::nullopt},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.line);
    const std::optional<TaggedStatus> tagged = ParseTaggedStatus(row.line);
    ASSERT_EQ(tagged.has_value(), row.tagged.has_value());
    if (tagged) {
      EXPECT_EQ(tagged->status, row.tagged->first);
      EXPECT_EQ(tagged->text, row.tagged->second);
    }
  }
}

}  // namespace
}  // namespace tarvel
