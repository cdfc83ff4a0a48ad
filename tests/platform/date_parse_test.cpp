#include "platform/date_parse.h"

#include <gtest/gtest.h>

namespace tarvel {
namespace {

TEST(ParseDate, FormsAndZonesGiveUtc) {
  const struct {
    std::u16string_view text;
    DateTime expected;
  } rows[] = {
      {u"Mon, 2 Jan 2006 15:04:05 +0100", {2006, 1, 2, 14, 4, 5, 0}},
      {u"Mon,  2 Jan 2006 15:04:05 -0130 (XYZ)", {2006, 1, 2, 16, 34, 5, 0}},
      {u"02-Jan-06 15:04:05", {2006, 1, 2, 15, 4, 5, 0}},
      {u"2 Jan 49 10:00:00", {2049, 1, 2, 10, 0, 0, 0}},
      {u"2 Jan 50 10:00:00", {1950, 1, 2, 10, 0, 0, 0}},
      {u"Monday, 2 January 2006 15:04:05", {2006, 1, 2, 15, 4, 5, 0}},
      {u"31 dec 2006 23:30:00 -0100", {2007, 1, 1, 0, 30, 0, 0}},   // across the year
      {u"1 Mar 2024 00:30:00 +0100", {2024, 2, 29, 23, 30, 0, 0}},  // back into a leap day
      {u"2006-01-02T15:04:05Z", {2006, 1, 2, 15, 4, 5, 0}},
      {u"2006-01-02T15:04:05.250+02:00", {2006, 1, 2, 13, 4, 5, 250}},
      {u"2006-01-02 15:04", {2006, 1, 2, 15, 4, 0, 0}},
      {u"2006-01-02", {2006, 1, 2, 0, 0, 0, 0}},
      {u"01/02/2006 3:04 PM", {2006, 1, 2, 15, 4, 0, 0}},
      {u"2006/01/02 - 12:30 AM", {2006, 1, 2, 0, 30, 0, 0}},
      {u"2006/01/02 12:30:15.007", {2006, 1, 2, 12, 30, 15, 7}},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(std::string(row.text.begin(), row.text.end()));
    DateTime date;
    ASSERT_TRUE(ParseDate(row.text, date));
    EXPECT_EQ(date, row.expected);
  }
}

TEST(ParseDate, TextsThatFitNoFormFailWithEmptyFields) {
  const std::u16string_view rows[] = {
      u"",
      u"yesterday",
      u"2 Foo 2006 10:00:00",
      u"30 Feb 2006 10:00:00",  // no such day
      u"2 Jan 2006 1:04:05",    // the time needs two-digit hours
      u"2 Jan 2006",
      u"2006-13-01",
      u"2006-01-02 25:00",
      u"01/02/06 10:00",
      u"999999999999999999999-01-01",
  };
  for (const auto text : rows) {
    SCOPED_TRACE(std::string(text.begin(), text.end()));
    DateTime date{1, 1, 1, 1, 1, 1, 1};
    EXPECT_FALSE(ParseDate(text, date));
    EXPECT_EQ(date, DateTime{});
  }
}

TEST(ParseDate, UnixTime) {
  DateTime date;
  ASSERT_TRUE(ParseDate(u"Mon, 2 Jan 2006 15:04:05 +0100", date));
  EXPECT_EQ(ToUnixTime(date), 1136210645);
  date.milliseconds = 250;
  EXPECT_EQ(ToUnixTime(date, TimeUnit::Milliseconds), 1136210645250);
  EXPECT_EQ(ToUnixTime(DateTime{1970, 1, 1, 0, 0, 0, 0}), 0);
  EXPECT_EQ(ToUnixTime(DateTime{1601, 1, 1, 0, 0, 0, 0}), -11644473600);
}

}  // namespace
}  // namespace tarvel
