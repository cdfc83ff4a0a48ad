#pragma once

#include <cstdint>

namespace tarvel {

// The parts of the local time the program decides on.
struct LocalTime {
  int hour = 0;       // 0 to 23
  int minute = 0;     // 0 to 59
  int dayOfWeek = 0;  // 0 Sunday to 6 Saturday
};

// Time and waiting, behind an interface so tests can run on a virtual clock.
class Clock {
 public:
  virtual ~Clock() = default;
  virtual LocalTime LocalNow() const = 0;
  // Milliseconds of a steady clock with an arbitrary origin.
  virtual uint64_t MonotonicMilliseconds() const = 0;
  // Waits; a virtual clock only advances.
  virtual void SleepFor(uint32_t milliseconds) = 0;
  // Seconds since 1970-01-01 UTC (the calendar time that settings store); a virtual clock
  // sets it.
  virtual int64_t UnixSeconds() const;
};

class SystemClock : public Clock {
 public:
  LocalTime LocalNow() const override;
  uint64_t MonotonicMilliseconds() const override;
  void SleepFor(uint32_t milliseconds) override;
};

// The first day of the week of the user's locale (LC_TIME): 0 Monday to 6 Sunday.
int LocaleFirstDayOfWeek();
// The same for a named locale ("" is the user's); 0 when the locale is not installed.
int LocaleFirstDayOfWeek(const char* localeName);

}  // namespace tarvel
