#include "platform/clock.h"

#include <langinfo.h>

#include <locale.h>
#include <chrono>
#include <clocale>
#include <ctime>
#include <thread>

namespace tarvel {

LocalTime SystemClock::LocalNow() const {
  const std::time_t now = std::time(nullptr);
  std::tm parts{};
  localtime_r(&now, &parts);
  return {parts.tm_hour, parts.tm_min, parts.tm_wday};
}

uint64_t SystemClock::MonotonicMilliseconds() const {
  return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                   std::chrono::steady_clock::now().time_since_epoch())
                                   .count());
}

int64_t Clock::UnixSeconds() const {
  return static_cast<int64_t>(std::time(nullptr));
}

void SystemClock::SleepFor(uint32_t milliseconds) {
  std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

int LocaleFirstDayOfWeek() {
  return LocaleFirstDayOfWeek("");
}

int LocaleFirstDayOfWeek(const char* localeName) {
  locale_t locale = newlocale(LC_TIME_MASK, localeName, locale_t{});
  if (!locale)
    return 0;
  // glibc describes the week by a reference date whose weekday is the week's day 1
  // (_NL_TIME_WEEK_1STDAY, for example 19971130, a Sunday) and the number of the day the
  // week starts with (_NL_TIME_FIRST_WEEKDAY, 1 for that day 1).
  const auto referenceDate = static_cast<unsigned>(
      reinterpret_cast<uintptr_t>(nl_langinfo_l(_NL_TIME_WEEK_1STDAY, locale)));
  const int firstWeekday = nl_langinfo_l(_NL_TIME_FIRST_WEEKDAY, locale)[0];
  freelocale(locale);
  std::tm reference{};
  reference.tm_year = static_cast<int>(referenceDate / 10000) - 1900;
  reference.tm_mon = static_cast<int>(referenceDate / 100 % 100) - 1;
  reference.tm_mday = static_cast<int>(referenceDate % 100) + firstWeekday - 1;
  reference.tm_hour = 12;
  if (referenceDate == 0 || timegm(&reference) == -1)
    return 0;
  // tm_wday counts from Sunday; the result counts from Monday.
  return (reference.tm_wday + 6) % 7;
}

}  // namespace tarvel
