#include "platform/date_parse.h"

#include <array>

#include "platform/ascii_bytes.h"

namespace tarvel {

namespace {

constexpr std::array<std::u16string_view, 12> kMonthNames = {
    u"January", u"February", u"March",     u"April",   u"May",      u"June",
    u"July",    u"August",   u"September", u"October", u"November", u"December",
};

bool IsDigit(char16_t unit) {
  return unit >= u'0' && unit <= u'9';
}
bool IsLetter(char16_t unit) {
  return (unit >= u'a' && unit <= u'z') || (unit >= u'A' && unit <= u'Z');
}
using ascii_bytes::EqualsNoCase;

// Reads the date text from left to right.
class Cursor {
 public:
  explicit Cursor(std::u16string_view text) : text_(text) {}

  std::size_t remaining() const { return text_.size() - position_; }
  bool atEnd() const { return position_ >= text_.size(); }
  char16_t peek(std::size_t ahead = 0) const {
    return position_ + ahead < text_.size() ? text_[position_ + ahead] : u'\0';
  }
  std::u16string_view rest() const { return text_.substr(position_); }
  void advance(std::size_t count = 1) { position_ += std::min(count, remaining()); }
  bool accept(char16_t unit) {
    if (peek() != unit)
      return false;
    ++position_;
    return true;
  }
  void skipBlanks() {
    while (peek() == u' ' || peek() == u'\t')
      ++position_;
  }
  // Reads between `minimum` and `maximum` digits.
  bool readNumber(int& value, int minimum, int maximum) {
    value = 0;
    int count = 0;
    while (count < maximum && IsDigit(peek())) {
      value = value * 10 + (peek() - u'0');
      ++position_;
      ++count;
    }
    return count >= minimum;
  }
  // The end of the text or a blank comes next.
  bool atBoundary() const { return atEnd() || peek() == u' ' || peek() == u'\t'; }

 private:
  std::u16string_view text_;
  std::size_t position_ = 0;
};

bool IsLeapYear(int year) {
  return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
}

int DaysInMonth(int year, int month) {
  static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return month == 2 && IsLeapYear(year) ? 29 : kDays[month - 1];
}

// Days since 1970-01-01 of a proleptic Gregorian date (H. Hinnant's algorithm).
std::int64_t DaysFromCivil(std::int64_t year, int month, int day) {
  year -= month <= 2 ? 1 : 0;
  const std::int64_t era = (year >= 0 ? year : year - 399) / 400;
  const std::int64_t yearOfEra = year - era * 400;
  const std::int64_t dayOfYear = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
  const std::int64_t dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
  return era * 146097 + dayOfEra - 719468;
}

void CivilFromDays(std::int64_t days, DateTime& date) {
  days += 719468;
  const std::int64_t era = (days >= 0 ? days : days - 146096) / 146097;
  const std::int64_t dayOfEra = days - era * 146097;
  const std::int64_t yearOfEra =
      (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
  const std::int64_t dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
  const std::int64_t monthIndex = (5 * dayOfYear + 2) / 153;
  date.day = static_cast<int>(dayOfYear - (153 * monthIndex + 2) / 5 + 1);
  date.month = static_cast<int>(monthIndex < 10 ? monthIndex + 3 : monthIndex - 9);
  date.year = static_cast<int>(yearOfEra + era * 400 + (date.month <= 2 ? 1 : 0));
}

// The range a Windows date and time value can hold.
bool IsValid(const DateTime& date) {
  return date.year >= 1601 && date.year <= 30827 && date.month >= 1 && date.month <= 12 &&
         date.day >= 1 && date.day <= DaysInMonth(date.year, date.month) && date.hour >= 0 &&
         date.hour < 24 && date.minute >= 0 && date.minute < 60 && date.second >= 0 &&
         date.second < 60 && date.milliseconds >= 0 && date.milliseconds < 1000;
}

int TwoDigitYear(int year) {
  if (year >= 100)
    return year;
  return year < 50 ? 2000 + year : 1900 + year;
}

// "2 Jan 2006 15:04:05", "02-Jan-06 15:04:05", "2 January 2006 15:04:05".
bool ParseMailForm(Cursor& cursor, DateTime& date) {
  if (!cursor.readNumber(date.day, 1, 2))
    return false;
  if (!cursor.accept(u'-') && !cursor.accept(u' '))
    return false;
  cursor.skipBlanks();
  date.month = 0;
  if (cursor.peek(3) == u'-' || cursor.peek(3) == u' ') {
    const std::u16string_view abbreviation = cursor.rest().substr(0, 3);
    for (int month = 0; month < 12; ++month) {
      if (EqualsNoCase(abbreviation, kMonthNames[month].substr(0, 3)))
        date.month = month + 1;
    }
    cursor.advance(3);
  } else {
    std::size_t letters = 0;
    while (IsLetter(cursor.peek(letters)))
      ++letters;
    const std::u16string_view name = cursor.rest().substr(0, letters);
    for (int month = 0; month < 12; ++month) {
      if (EqualsNoCase(name, kMonthNames[month]))
        date.month = month + 1;
    }
    cursor.advance(letters);
  }
  if (date.month == 0)
    return false;
  if (!cursor.accept(u'-') && !cursor.accept(u' '))
    return false;
  cursor.skipBlanks();
  if (!cursor.readNumber(date.year, 1, 4))
    return false;
  date.year = TwoDigitYear(date.year);
  if (!cursor.accept(u' '))
    return false;
  cursor.skipBlanks();
  if (cursor.peek(2) != u':' || cursor.peek(5) != u':')
    return false;
  return cursor.readNumber(date.hour, 2, 2) && cursor.accept(u':') &&
         cursor.readNumber(date.minute, 2, 2) && cursor.accept(u':') &&
         cursor.readNumber(date.second, 2, 2);
}

// "HH:MM[:SS]" with an optional " AM"/" PM" or ".mmm".
bool ParseTime(Cursor& cursor, DateTime& date) {
  if (!cursor.readNumber(date.hour, 1, 2) || !cursor.accept(u':') ||
      !cursor.readNumber(date.minute, 1, 2)) {
    return false;
  }
  if (cursor.accept(u':') && !cursor.readNumber(date.second, 1, 2))
    return false;
  const std::u16string_view rest = cursor.rest();
  const bool pm = EqualsNoCase(rest.substr(0, 3), u" PM");
  if ((pm || EqualsNoCase(rest.substr(0, 3), u" AM")) &&
      (rest.size() == 3 || rest[3] == u' ' || rest[3] == u'\t')) {
    if (pm && date.hour < 12)
      date.hour += 12;
    else if (!pm && date.hour == 12)
      date.hour = 0;
    cursor.advance(3);
  } else if (rest.size() >= 4 && rest[0] == u'.' && IsDigit(rest[1]) && IsDigit(rest[2]) &&
             IsDigit(rest[3]) &&
             (rest.size() == 4 || rest[4] == u' ' || rest[4] == u'\t' || rest[4] == u'Z' ||
              rest[4] == u'+' || rest[4] == u'-')) {
    cursor.advance(1);
    cursor.readNumber(date.milliseconds, 3, 3);
  }
  return true;
}

// "MM/DD/YYYY", "YYYY/MM/DD", "YYYY-MM-DD", each with an optional time.
bool ParseNumericForm(Cursor& cursor, DateTime& date) {
  if (cursor.remaining() < 10)
    return false;
  if (cursor.peek(2) == u'/') {
    if (!cursor.readNumber(date.month, 1, 2) || !cursor.accept(u'/') ||
        !cursor.readNumber(date.day, 1, 2) || !cursor.accept(u'/') ||
        !cursor.readNumber(date.year, 4, 4) || cursor.peek() != u' ') {
      return false;
    }
  } else if (cursor.peek(4) == u'/') {
    if (!cursor.readNumber(date.year, 4, 4) || !cursor.accept(u'/') ||
        !cursor.readNumber(date.month, 1, 2) || !cursor.accept(u'/') ||
        !cursor.readNumber(date.day, 1, 2) || cursor.peek() != u' ') {
      return false;
    }
    if (cursor.rest().substr(0, 3) == u" - ")
      cursor.advance(2);
  } else {
    if (!cursor.readNumber(date.year, 1, 4) || !(cursor.accept(u'-') || cursor.accept(u' ')) ||
        !cursor.readNumber(date.month, 1, 2) || !(cursor.accept(u'-') || cursor.accept(u' ')) ||
        !cursor.readNumber(date.day, 1, 2)) {
      return false;
    }
  }
  if (cursor.accept(u'T'))
    return ParseTime(cursor, date);
  if (cursor.peek() == u' ' || cursor.peek() == u'\t') {
    Cursor lookahead = cursor;
    lookahead.skipBlanks();
    if (IsDigit(lookahead.peek()) && lookahead.rest().find(u':') != std::u16string_view::npos) {
      cursor = lookahead;
      return ParseTime(cursor, date);
    }
  }
  return true;
}

// "+HHMM", "-HH:MM" after one optional blank: shifts the value to UTC.
void ApplyZone(Cursor& cursor, DateTime& date) {
  if (cursor.peek() == u' ')
    cursor.advance();
  if (cursor.remaining() < 5 || (cursor.peek() != u'+' && cursor.peek() != u'-'))
    return;
  const int sign = cursor.peek() == u'+' ? 1 : -1;
  cursor.advance();
  int hours = 0;
  int minutes = 0;
  if (!cursor.readNumber(hours, 2, 2))
    return;
  cursor.accept(u':');
  if (!cursor.readNumber(minutes, 2, 2) || hours > 23 || minutes > 59)
    return;
  const std::int64_t offset = sign * (hours * 60 + minutes);
  std::int64_t totalMinutes =
      DaysFromCivil(date.year, date.month, date.day) * 1440 + date.hour * 60 + date.minute - offset;
  std::int64_t days = totalMinutes / 1440;
  std::int64_t minuteOfDay = totalMinutes % 1440;
  if (minuteOfDay < 0) {
    minuteOfDay += 1440;
    --days;
  }
  CivilFromDays(days, date);
  date.hour = static_cast<int>(minuteOfDay / 60);
  date.minute = static_cast<int>(minuteOfDay % 60);
}

}  // namespace

bool ParseDate(std::u16string_view text, DateTime& date) {
  date = DateTime{};
  const std::size_t comma = text.find(u',');
  if (comma != std::u16string_view::npos)
    text = text.substr(comma + 1);
  Cursor cursor(text);
  cursor.skipBlanks();
  const std::u16string_view rest = cursor.rest();
  std::size_t firstLetter = 0;
  while (firstLetter < rest.size() && !IsLetter(rest[firstLetter]))
    ++firstLetter;
  DateTime parsed;
  const bool fits =
      firstLetter < 7 ? ParseMailForm(cursor, parsed) : ParseNumericForm(cursor, parsed);
  // The zone is applied to a valid date only, and the result must be valid too.
  if (!fits || !IsValid(parsed))
    return false;
  ApplyZone(cursor, parsed);
  if (!IsValid(parsed))
    return false;
  date = parsed;
  return true;
}

std::int64_t ToUnixTime(const DateTime& date, TimeUnit unit) {
  const std::int64_t milliseconds =
      ((DaysFromCivil(date.year, date.month, date.day) * 24 + date.hour) * 60 + date.minute) *
          60000 +
      std::int64_t{date.second} * 1000 + date.milliseconds;
  return unit == TimeUnit::Milliseconds ? milliseconds : milliseconds / 1000;
}

}  // namespace tarvel
