#pragma once

#include <atomic>

#include "platform/clock.h"

namespace tarvel::testing {

// A clock whose local time the test sets and whose sleeps only move it forward.
class FakeClock : public Clock {
 public:
  void setLocalTime(int dayOfWeek, int hour, int minute = 0) {
    dayOfWeek_ = dayOfWeek;
    hour_ = hour;
    minute_ = minute;
  }
  LocalTime LocalNow() const override { return {hour_.load(), minute_.load(), dayOfWeek_.load()}; }
  uint64_t MonotonicMilliseconds() const override { return milliseconds_.load(); }
  void SleepFor(uint32_t milliseconds) override;
  void advance(uint64_t milliseconds) { milliseconds_ += milliseconds; }
  uint64_t sleptMilliseconds() const { return slept_.load(); }
  int64_t UnixSeconds() const override { return unixSeconds_.load(); }
  void setUnixSeconds(int64_t seconds) { unixSeconds_ = seconds; }

 private:
  std::atomic<int> dayOfWeek_{1};
  std::atomic<int> hour_{12};
  std::atomic<int> minute_{0};
  std::atomic<uint64_t> milliseconds_{0};
  std::atomic<uint64_t> slept_{0};
  std::atomic<int64_t> unixSeconds_{1'700'000'000};
};

}  // namespace tarvel::testing
