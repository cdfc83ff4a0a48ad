#include "tests/ui/alerts/desktop_session.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <thread>

namespace tarvel::testing {

namespace {

constexpr int kStartTimeoutMs = 15000;

bool WaitForExit(pid_t pid, int timeoutMs) {
  for (int waited = 0; waited < timeoutMs; waited += 10) {
    if (::waitpid(pid, nullptr, WNOHANG) == pid)
      return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

}  // namespace

bool ChildProcess::Start(const std::vector<std::string>& argv, const std::string& outputFile,
                         int keepFd) {
  Stop();
  std::vector<char*> arguments;
  for (const std::string& argument : argv)
    arguments.push_back(const_cast<char*>(argument.c_str()));
  arguments.push_back(nullptr);
  const pid_t pid = ::fork();
  if (pid < 0)
    return false;
  if (pid == 0) {
    ::setpgid(0, 0);
    if (!outputFile.empty()) {
      const int out = ::open(outputFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      if (out >= 0) {
        ::dup2(out, STDOUT_FILENO);
        ::dup2(out, STDERR_FILENO);
      }
    }
    if (keepFd >= 0)
      ::fcntl(keepFd, F_SETFD, 0);
    ::execvp(arguments[0], arguments.data());
    ::_exit(127);
  }
  pid_ = pid;
  return true;
}

void ChildProcess::Stop() {
  if (pid_ <= 0)
    return;
  ::kill(pid_, SIGTERM);
  if (!WaitForExit(pid_, 3000)) {
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
  }
  pid_ = -1;
}

std::string ReadLine(int fd, int timeoutMs) {
  std::string line;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (true) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                          deadline - std::chrono::steady_clock::now())
                          .count();
    if (left <= 0)
      return {};
    pollfd poller{fd, POLLIN, 0};
    if (::poll(&poller, 1, static_cast<int>(left)) <= 0)
      return {};
    char byte = 0;
    if (::read(fd, &byte, 1) != 1)
      return {};
    if (byte == '\n')
      return line;
    line.push_back(byte);
  }
}

DesktopSession::~DesktopSession() {
  pulse_.Stop();
  display_.Stop();
  bus_.Stop();
  if (!runtimeFolder_.empty()) {
    std::error_code ignored;
    std::filesystem::remove_all(runtimeFolder_, ignored);
  }
}

std::string DesktopSession::Start(bool withSound) {
  std::string pattern = (std::filesystem::temp_directory_path() / "tarvel-desktop-XXXXXX").string();
  if (!::mkdtemp(pattern.data()))
    return "no runtime folder";
  runtimeFolder_ = pattern;
  ::setenv("XDG_RUNTIME_DIR", runtimeFolder_.c_str(), 1);

  // The bus and the display report their address and number through a pipe.
  int busPipe[2];
  if (::pipe(busPipe) != 0)
    return "no pipe";
  bus_.Start({"dbus-daemon", "--session", "--nofork", "--nopidfile",
              "--print-address=" + std::to_string(busPipe[1])},
             runtimeFolder_ + "/dbus.log", busPipe[1]);
  ::close(busPipe[1]);
  busAddress_ = ReadLine(busPipe[0], kStartTimeoutMs);
  ::close(busPipe[0]);
  if (busAddress_.empty())
    return "the session bus did not start";
  ::setenv("DBUS_SESSION_BUS_ADDRESS", busAddress_.c_str(), 1);

  int displayPipe[2];
  if (::pipe(displayPipe) != 0)
    return "no pipe";
  display_.Start({"Xvfb", "-displayfd", std::to_string(displayPipe[1]), "-screen", "0",
                  "1024x768x24", "-nolisten", "tcp"},
                 runtimeFolder_ + "/xvfb.log", displayPipe[1]);
  ::close(displayPipe[1]);
  const std::string display = ReadLine(displayPipe[0], kStartTimeoutMs);
  ::close(displayPipe[0]);
  if (display.empty())
    return "Xvfb did not start";
  ::setenv("DISPLAY", (":" + display).c_str(), 1);
  ::unsetenv("WAYLAND_DISPLAY");
  ::setenv("XDG_SESSION_TYPE", "x11", 1);

  if (withSound) {
    const std::string socket = runtimeFolder_ + "/pulse/native";
    pulse_.Start({"pulseaudio", "-n", "--daemonize=no", "--exit-idle-time=-1", "--disallow-exit",
                  "--use-pid-file=no", "-L", std::string("module-null-sink sink_name=") + kSinkName,
                  "-L", "module-native-protocol-unix auth-anonymous=1 socket=" + socket},
                 runtimeFolder_ + "/pulse.log");
    ::setenv("PULSE_SERVER", ("unix:" + socket).c_str(), 1);
    bool ready = false;
    for (int waited = 0; waited < kStartTimeoutMs && !ready; waited += 50) {
      ready = std::system("pactl info >/dev/null 2>&1") == 0;
      if (!ready)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    if (!ready)
      return "PulseAudio did not start";
  }
  return {};
}

}  // namespace tarvel::testing
