#include "tests/support/keyring_session.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <thread>
#include <vector>

extern char** environ;

namespace tarvel::testing {

namespace {

constexpr int kStartTimeoutMs = 15000;

// Starts `arguments` with standard input from `inputFd` (or /dev/null), its output appended to
// `logFile`, and `keepFd` (when not -1) left open for it. Every other descriptor of ours is
// closed in the child (they are all close-on-exec or closed here).
pid_t Spawn(const std::vector<std::string>& arguments, const std::string& logFile, int inputFd,
            int keepFd = -1, int keepAs = -1) {
  std::vector<std::string> copy = arguments;
  std::vector<char*> argv;
  for (std::string& argument : copy)
    argv.push_back(argument.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (inputFd >= 0)
    posix_spawn_file_actions_adddup2(&actions, inputFd, 0);
  else
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, logFile.c_str(), O_WRONLY | O_CREAT | O_APPEND,
                                   0600);
  posix_spawn_file_actions_adddup2(&actions, 1, 2);
  if (keepFd >= 0)
    posix_spawn_file_actions_adddup2(&actions, keepFd, keepAs);
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  // Its own process group, so that ending it never reaches the test.
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
  posix_spawnattr_setpgroup(&attributes, 0);
  pid_t child = -1;
  if (::posix_spawnp(&child, argv[0], &actions, &attributes, argv.data(), environ) != 0)
    child = -1;
  posix_spawnattr_destroy(&attributes);
  posix_spawn_file_actions_destroy(&actions);
  return child;
}

void End(pid_t& pid) {
  if (pid <= 0)
    return;
  ::kill(pid, SIGTERM);
  bool gone = false;
  for (int waited = 0; waited < 3000 && !gone; waited += 10) {
    gone = ::waitpid(pid, nullptr, WNOHANG) == pid;
    if (!gone)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  if (!gone) {
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
  }
  pid = -1;
}

std::string ReadLineFrom(int fd, int timeoutMs) {
  std::string line;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (true) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                          deadline - std::chrono::steady_clock::now())
                          .count();
    pollfd poller{fd, POLLIN, 0};
    if (left <= 0 || ::poll(&poller, 1, static_cast<int>(left)) <= 0)
      return {};
    char byte = 0;
    if (::read(fd, &byte, 1) != 1)
      return {};
    if (byte == '\n')
      return line;
    line.push_back(byte);
  }
}

bool ServiceOnBus() {
  return RunShell(
             "gdbus call --session --dest org.freedesktop.DBus --object-path "
             "/org/freedesktop/DBus --method org.freedesktop.DBus.NameHasOwner "
             "org.freedesktop.secrets 2>/dev/null | grep -q true") == 0;
}

}  // namespace

int RunShell(const std::string& command, std::string* output) {
  std::string commandLine = command;
  std::vector<char*> argv = {const_cast<char*>("/bin/sh"), const_cast<char*>("-c"),
                             commandLine.data(), nullptr};
  int outPipe[2];
  if (::pipe2(outPipe, O_CLOEXEC) != 0)
    return -1;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, outPipe[1], 1);
  pid_t child = -1;
  const int spawned = ::posix_spawn(&child, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  ::close(outPipe[1]);
  std::string text;
  char buffer[4096];
  ssize_t got = 0;
  while (spawned == 0 && (got = ::read(outPipe[0], buffer, sizeof buffer)) > 0)
    text.append(buffer, static_cast<std::size_t>(got));
  ::close(outPipe[0]);
  if (spawned != 0)
    return -1;
  int status = 0;
  ::waitpid(child, &status, 0);
  if (output)
    *output = text;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

KeyringSession::KeyringSession() {
  std::string pattern = (std::filesystem::temp_directory_path() / "tarvel-keyring-XXXXXX").string();
  if (!::mkdtemp(pattern.data())) {
    problem_ = "no temporary folder";
    return;
  }
  folder_ = pattern;
  std::filesystem::create_directories(folder_ + "/runtime");
  std::filesystem::create_directories(folder_ + "/data");
  std::filesystem::permissions(folder_ + "/runtime", std::filesystem::perms::owner_all);
  ::setenv("XDG_RUNTIME_DIR", (folder_ + "/runtime").c_str(), 1);
  ::setenv("XDG_DATA_HOME", (folder_ + "/data").c_str(), 1);
  // No display: nothing may try to show an unlock prompt.
  ::unsetenv("DISPLAY");
  ::unsetenv("WAYLAND_DISPLAY");

  // A bus that starts no services: the only Secret Service is the one the test starts.
  const std::string config = folder_ + "/bus.conf";
  std::ofstream(config) << "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus "
                           "Configuration 1.0//EN\"\n"
                           " \"http://www.freedesktop.org/standards/dbus/1.0/"
                           "busconfig.dtd\">\n"
                           "<busconfig><type>session</type>"
                           "<listen>unix:dir="
                        << folder_
                        << "</listen><auth>EXTERNAL</auth>"
                           "<policy context=\"default\"><allow send_destination=\"*\" "
                           "eavesdrop=\"true\"/><allow eavesdrop=\"true\"/><allow own=\"*\"/>"
                           "</policy></busconfig>\n";
  int addressPipe[2];
  if (::pipe2(addressPipe, O_CLOEXEC) != 0) {
    problem_ = "no pipe";
    return;
  }
  bus_ = Spawn(
      {"dbus-daemon", "--config-file=" + config, "--nofork", "--nopidfile", "--print-address=3"},
      folder_ + "/bus.log", -1, addressPipe[1], 3);
  ::close(addressPipe[1]);
  busAddress_ = ReadLineFrom(addressPipe[0], kStartTimeoutMs);
  ::close(addressPipe[0]);
  if (bus_ <= 0 || busAddress_.empty()) {
    problem_ = "the session bus did not start";
    return;
  }
  ::setenv("DBUS_SESSION_BUS_ADDRESS", busAddress_.c_str(), 1);
  if (!StartKeyring())
    problem_ = "the keyring daemon did not start (see " + logFile() + ")";
}

KeyringSession::~KeyringSession() {
  StopKeyring();
  End(bus_);
  if (!folder_.empty()) {
    std::error_code ignored;
    std::filesystem::remove_all(folder_, ignored);
  }
}

bool KeyringSession::StartKeyring() {
  StopKeyring();
  int input[2];
  if (::pipe2(input, O_CLOEXEC) != 0)
    return false;
  // --unlock reads the password from standard input up to its end: it creates the login
  // keyring with it the first time and unlocks it afterwards.
  keyring_ = Spawn({"gnome-keyring-daemon", "--foreground", "--unlock", "--components=secrets"},
                   logFile(), input[0]);
  ::close(input[0]);
  const std::string password = kPassword;
  [[maybe_unused]] const ssize_t written = ::write(input[1], password.data(), password.size());
  ::close(input[1]);
  if (keyring_ <= 0)
    return false;
  for (int waited = 0; waited < kStartTimeoutMs; waited += 50) {
    if (ServiceOnBus())
      return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return false;
}

void KeyringSession::StopKeyring() {
  End(keyring_);
  for (int waited = 0; waited < kStartTimeoutMs && ServiceOnBus(); waited += 50)
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
}

bool KeyringSession::Lock() {
  return RunShell(
             "gdbus call --session --dest org.freedesktop.secrets --object-path "
             "/org/freedesktop/secrets --method org.freedesktop.Secret.Service.Lock "
             "\"['/org/freedesktop/secrets/collection/login']\" >/dev/null") == 0;
}

}  // namespace tarvel::testing
