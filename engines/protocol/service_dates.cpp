#include "engines/protocol/service_dates.h"

#include <chrono>
#include <cstdio>

namespace tarvel {

namespace {

bool IsDigit(char16_t c) {
  return c >= u'0' && c <= u'9';
}

}  // namespace

Text UtcDay(std::int64_t unixSeconds) {
  using namespace std::chrono;
  const sys_days day = floor<days>(sys_seconds(seconds(unixSeconds)));
  const year_month_day ymd(day);
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "%04d-%02u-%02u", static_cast<int>(ymd.year()),
                static_cast<unsigned>(ymd.month()), static_cast<unsigned>(ymd.day()));
  return Text::FromUtf8(buffer);
}

bool IsIsoDateAfter(std::u16string_view date, std::u16string_view latestDay) {
  constexpr std::size_t kDayLength = 10;  // YYYY-MM-DD
  if (date.size() < kDayLength || latestDay.size() != kDayLength)
    return false;
  for (std::size_t i = 0; i < kDayLength; ++i) {
    const bool dash = i == 4 || i == 7;
    if (dash ? date[i] != u'-' : !IsDigit(date[i]))
      return false;
  }
  return date.substr(0, kDayLength) > latestDay;
}

Text ServiceDate(Text date, std::int64_t nowUnixSeconds) {
  constexpr std::int64_t kOneDay = 24 * 60 * 60;
  if (IsIsoDateAfter(date.view(), UtcDay(nowUnixSeconds + kOneDay).view()))
    return {};
  return date;
}

std::int64_t UnixNow() {
  using namespace std::chrono;
  return duration_cast<seconds>(system_clock::now().time_since_epoch()).count();
}

}  // namespace tarvel
