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
  // Whether a sign-in of the type can be offered at all (asked on the check thread); a type
  // that cannot fails its check instead of asking for a sign-in for ever.
  virtual bool CanSignIn(uint32_t) const { return true; }
  // The check timer fired: a regular check is starting.
  virtual void OnCheckTimer() {}
};

}  // namespace tarvel
