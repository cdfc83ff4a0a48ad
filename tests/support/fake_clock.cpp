#include "tests/support/fake_clock.h"

namespace tarvel::testing {

void FakeClock::SleepFor(uint32_t milliseconds) {
  milliseconds_ += milliseconds;
  slept_ += milliseconds;
}

}  // namespace tarvel::testing
