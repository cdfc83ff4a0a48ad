#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace tarvel::testing {

// A child process that is ended (SIGTERM, then SIGKILL) and reaped with the object.
class ChildProcess {
 public:
  ChildProcess() = default;
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;
  ~ChildProcess() { Stop(); }

  // Starts `argv` with stdout to `outputFile` (or the test's own when empty); the child's
  // `keepFd` stays open for it. False when it cannot start.
  bool Start(const std::vector<std::string>& argv, const std::string& outputFile = {},
             int keepFd = -1);
  void Stop();
  bool running() const { return pid_ > 0; }

 private:
  pid_t pid_ = -1;
};

// Reads one line from `fd` within `timeoutMs`; empty on time-out or end of file.
std::string ReadLine(int fd, int timeoutMs);

// The desktop of a test: a private session bus, an Xvfb display, optionally a PulseAudio
// server with one null sink, all in a private runtime folder, with the environment
// (DBUS_SESSION_BUS_ADDRESS, DISPLAY, XDG_RUNTIME_DIR, PULSE_SERVER) pointing at them.
class DesktopSession {
 public:
  DesktopSession() = default;
  DesktopSession(const DesktopSession&) = delete;
  DesktopSession& operator=(const DesktopSession&) = delete;
  ~DesktopSession();

  // An empty text on success, or what failed.
  std::string Start(bool withSound);

  const std::string& busAddress() const { return busAddress_; }
  const std::string& runtimeFolder() const { return runtimeFolder_; }
  bool soundRunning() const { return pulse_.running(); }
  static constexpr const char* kSinkName = "testsink";

 private:
  std::string runtimeFolder_;
  std::string busAddress_;
  ChildProcess bus_;
  ChildProcess display_;
  ChildProcess pulse_;
};

}  // namespace tarvel::testing
