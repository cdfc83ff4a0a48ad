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

// Why a check failed, where it decides how soon the check is repeated.
enum class FailureKind : uint32_t {
  Transient = 0,      // a dropped connection, a server that is down: worth trying again soon
  SignInRefused = 1,  // the server refused the credentials: trying again at once cannot help,
                      // and a run of refusals gets the address banned by the server's guards
  Setting = 2,        // a setting the server cannot serve (a folder it does not have)
};

}  // namespace tarvel
