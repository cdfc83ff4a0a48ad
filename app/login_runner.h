#pragma once

#include <cstdint>

namespace tarvel {

// The web login window, as the check cycle uses it.
class LoginRunner {
 public:
  virtual ~LoginRunner() = default;
  virtual bool IsOpen() const = 0;
  virtual void BringToFront() = 0;
  // Runs the window for the account type modally until it closes. Returns false when the
  // window failed with an error.
  virtual bool Run(uint32_t typeBit) = 0;
};

}  // namespace tarvel
