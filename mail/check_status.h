#pragma once

#include <cstdint>

namespace tarvel {

// The result of a check. Engines may return other non-zero values; all of them are failures.
enum class CheckStatus : uint32_t {
  Success = 0,
  Failure = 1,
  LoginNeeded = 2,
  OutsideCheckHours = 3,
};

}  // namespace tarvel
