#pragma once

#include <cstdint>
#include <string_view>

namespace tarvel {

// A broken-down date and time, as the services write them; all fields 0 when unset.
struct DateTime {
  int year = 0;
  int month = 0;  // 1 to 12
  int day = 0;    // 1 to 31
  int hour = 0;
  int minute = 0;
  int second = 0;
  int milliseconds = 0;

  friend bool operator==(const DateTime&, const DateTime&) = default;
};

// Reads a mail date ("Mon, 2 Jan 2006 15:04:05 +0100", "02-Jan-06 ...", full month names)
// or a numeric one ("MM/DD/YYYY", "YYYY/MM/DD", "YYYY-MM-DD", each with an optional time,
// AM/PM or milliseconds). A "+HHMM" or "-HH:MM" zone converts the value to UTC; without one
// it is left as written. Returns false, with every field 0, when the text fits no form or
// names a date or time that does not exist.
bool ParseDate(std::u16string_view text, DateTime& date);

enum class TimeUnit {
  Seconds,
  Milliseconds,
};

// The value, taken as UTC, counted from 1 January 1970.
std::int64_t ToUnixTime(const DateTime& date, TimeUnit unit = TimeUnit::Seconds);

}  // namespace tarvel
