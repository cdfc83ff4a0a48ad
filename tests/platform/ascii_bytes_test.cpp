#include "platform/ascii_bytes.h"

#include <gtest/gtest.h>

#include <string>

#include "platform/base64.h"

namespace tarvel {
namespace {

TEST(AsciiBytes, LetterCaseIsAsciiOnlyForBytesAndUnits) {
  struct Row {
    const char* name;
    std::string a;
    std::string b;
    int compare;  // CompareNoCase(a, b)
  };
  const Row rows[] = {
      {"same letters, other case", "Content-Length", "content-LENGTH", 0},
      {"a prefix sorts first", "Date", "date: x", -1},
      {"letters compare by their lower-case form", "B", "a", 1},
      // "[" lies between "Z" and "a": folded to lower case, "A" sorts after it.
      {"punctuation between the cases", "[", "A", -1},
      // Latin-1 and UTF-8 bytes have no case here, whatever the locale says.
      {"Latin-1 letters are not paired", "\xC4", "\xE4", -1},
      // Bytes compare as unsigned values, as the code units they widen to do.
      {"a byte above ASCII sorts after the letters", "\xE4", "z", 1},
      {"UTF-8 letters are not paired", "\xC3\x84", "\xC3\xA4", -1},
      {"empty", "", "", 0},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    EXPECT_EQ(ascii_bytes::CompareNoCase(row.a, row.b), row.compare);
    EXPECT_EQ(ascii_bytes::CompareNoCase(row.b, row.a), -row.compare);
    EXPECT_EQ(ascii_bytes::EqualsNoCase(row.a, row.b), row.compare == 0);
    // The same text widened unit by unit behaves the same.
    std::u16string unitsA;
    std::u16string unitsB;
    for (const char c : row.a)
      unitsA += static_cast<char16_t>(static_cast<unsigned char>(c));
    for (const char c : row.b)
      unitsB += static_cast<char16_t>(static_cast<unsigned char>(c));
    EXPECT_EQ(ascii_bytes::CompareNoCase(unitsA, unitsB), row.compare);
    EXPECT_EQ(ascii_bytes::EqualsNoCase(unitsA, unitsB), row.compare == 0);
  }

  EXPECT_TRUE(ascii_bytes::StartsWithNoCase("* capability IMAP4rev1", "* CAPABILITY"));
  EXPECT_FALSE(ascii_bytes::StartsWithNoCase("* CAP", "* CAPABILITY"));
  EXPECT_TRUE(ascii_bytes::StartsWithNoCase(u"SUBJECT: x", u"Subject:"));
  EXPECT_EQ(ascii_bytes::Lowered("GET /A?B=Ä"), "get /a?b=Ä");
  EXPECT_EQ(ascii_bytes::Uppered("post\xE4"), "POST\xE4");
  // A unit beyond Latin-1 that differs from a letter only in its high byte stays itself.
  EXPECT_EQ(ascii_bytes::Lower(static_cast<char16_t>(0x0141)), 0x0141);
}

TEST(AsciiBytes, HexDigitValues) {
  for (const auto& [digit, value] : {std::pair{'0', 0}, {'9', 9}, {'a', 10}, {'F', 15}}) {
    EXPECT_EQ(ascii_bytes::HexDigitValue(digit), value) << digit;
    EXPECT_EQ(ascii_bytes::HexDigitValue(static_cast<char16_t>(digit)), value) << digit;
  }
  for (const char other : {'g', 'G', '/', ':', '@', '`', '\xB0'})
    EXPECT_EQ(ascii_bytes::HexDigitValue(other), -1) << other;
  // A unit whose low byte is a digit is no digit.
  EXPECT_EQ(ascii_bytes::HexDigitValue(static_cast<char16_t>(0x0131)), -1);
}

TEST(AsciiBytes, ControlBytesBecomeEscapes) {
  const std::string text =
      std::string("a\\b\tc\r\nd\x01\x7F", 10) + std::string(1, '\0') + "\xC3\xA4";
  EXPECT_EQ(ascii_bytes::EscapeControlBytes(text, true),
            "a\\\\b\\tc\\r\\nd\\x01\\x7f\\x00\xC3\xA4");
  EXPECT_EQ(ascii_bytes::EscapeControlBytes(text, false), "a\\b\\tc\\r\\nd\\x01\\x7f\\x00\xC3\xA4");
}

TEST(Base64, LongInputRoundTripsAcrossTheEncodersSlices) {
  // Longer than one slice of the encoder, and not a multiple of three: a slice that ended
  // on a partial group would put padding into the middle.
  std::string bytes(3u * 1024 * 1024 + 8, '\0');  // two bytes in the last group
  for (std::size_t i = 0; i < bytes.size(); ++i)
    bytes[i] = static_cast<char>((i * 131) >> 3);
  const std::string encoded = EncodeBase64(bytes);
  EXPECT_EQ(encoded.size(), (bytes.size() + 2) / 3 * 4);
  EXPECT_EQ(encoded.find('='), encoded.size() - 1);
  EXPECT_EQ(DecodeBase64(encoded), bytes);
  EXPECT_EQ(EncodeBase64(""), "");
}

TEST(Base64, DecodingIsLenient) {
  struct Row {
    const char* name;
    const char* text;
    std::string decoded;
  };
  const Row rows[] = {
      {"missing padding", "Zm9vYg", "foob"},
      {"a lone digit carries no byte", "Zm9vY", "foo"},
      {"padding ends a group and decoding goes on", "Zg==Zm8=", "ffo"},
      {"line breaks and stray characters skipped", "Zm9v\r\n Ym*Fy", "foobar"},
      {"the IMAP folder alphabet's comma is no digit", "Zm,9v", "foo"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    EXPECT_EQ(DecodeBase64(row.text), row.decoded);
  }
  EXPECT_EQ(Base64DigitValue(u',', u','), 63);
  EXPECT_EQ(Base64DigitValue(u'/', u','), -1);
}

}  // namespace
}  // namespace tarvel
