#pragma once

#include <sys/types.h>

#include <string>

namespace tarvel::testing {

// A private session bus with GNOME Keyring's Secret Service on it, for one test executable:
// the bus activates nothing (no desktop prompter, no second keyring), the keyring files live in
// a temporary folder, and the login keyring is created and unlocked with a test password.
// While the object lives, DBUS_SESSION_BUS_ADDRESS, XDG_RUNTIME_DIR and XDG_DATA_HOME point at
// it (and DISPLAY is unset), so the programs a test starts and the test itself use it.
class KeyringSession {
 public:
  KeyringSession();
  ~KeyringSession();
  KeyringSession(const KeyringSession&) = delete;
  KeyringSession& operator=(const KeyringSession&) = delete;

  // An empty text when the bus and the unlocked keyring are up, or what failed.
  const std::string& problem() const { return problem_; }

  // Starts the keyring daemon, unlocking the login keyring with the test password; false
  // when it does not appear on the bus.
  bool StartKeyring();
  // Ends the keyring daemon: the bus has no Secret Service any more.
  void StopKeyring();
  // Locks the login keyring through the service; false on failure.
  bool Lock();

  const std::string& busAddress() const { return busAddress_; }
  std::string logFile() const { return folder_ + "/keyring.log"; }

  static constexpr const char* kPassword = "keyring-test-password";

 private:
  std::string folder_;
  std::string busAddress_;
  std::string problem_;
  pid_t bus_ = -1;
  pid_t keyring_ = -1;
};

// Runs `command` through /bin/sh with the environment of the test; its exit code, and its
// standard output in `output` when given.
int RunShell(const std::string& command, std::string* output = nullptr);

}  // namespace tarvel::testing
