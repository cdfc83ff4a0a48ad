#include "tests/support/dovecot_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <charconv>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <thread>

extern char** environ;

namespace tarvel::testing {
namespace {

std::string ServerScript() {
  const char* source = std::getenv("TARVEL_SOURCE_DIR");
  return std::string(source ? source : TARVEL_SOURCE_FOLDER) + "/tests/support/imap_test_server.sh";
}

}  // namespace

uint16_t FreeLoopbackPort() {
  const int probe = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  uint16_t port = 0;
  if (probe >= 0 && ::bind(probe, reinterpret_cast<sockaddr*>(&address), length) == 0 &&
      ::getsockname(probe, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
    port = ntohs(address.sin_port);
  }
  if (probe >= 0)
    ::close(probe);
  return port;
}

bool ProcessGone(int pid) {
  if (::kill(pid, 0) != 0)
    return true;
  // A zombie whose parent (the start script) has gone is never reaped here.
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string content;
  std::getline(stat, content);
  const std::size_t close = content.rfind(')');
  return close != std::string::npos && close + 2 < content.size() && content[close + 2] == 'Z';
}

int RunProgram(const std::vector<std::string>& arguments, const std::string& input,
               std::string* output) {
  int inPipe[2];
  int outPipe[2];
  if (::pipe2(inPipe, O_CLOEXEC) != 0)
    return -1;
  if (::pipe2(outPipe, O_CLOEXEC) != 0) {
    ::close(inPipe[0]);
    ::close(inPipe[1]);
    return -1;
  }
  std::vector<std::string> copy = arguments;
  std::vector<char*> argv;
  for (std::string& argument : copy)
    argv.push_back(argument.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, inPipe[0], 0);
  posix_spawn_file_actions_adddup2(&actions, outPipe[1], 1);
  pid_t child = -1;
  const int spawned = ::posix_spawnp(&child, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  ::close(inPipe[0]);
  ::close(outPipe[1]);
  if (spawned != 0) {
    ::close(inPipe[1]);
    ::close(outPipe[0]);
    return -1;
  }
  std::thread writer([&] {
    std::size_t sent = 0;
    while (sent < input.size()) {
      const ssize_t written = ::write(inPipe[1], input.data() + sent, input.size() - sent);
      if (written <= 0)
        break;
      sent += static_cast<std::size_t>(written);
    }
    ::close(inPipe[1]);
  });
  std::string collected;
  char buffer[4096];
  ssize_t got;
  while ((got = ::read(outPipe[0], buffer, sizeof buffer)) > 0)
    collected.append(buffer, static_cast<std::size_t>(got));
  ::close(outPipe[0]);
  writer.join();
  int status = 0;
  ::waitpid(child, &status, 0);
  if (output)
    *output = collected;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

DovecotServer::DovecotServer() {
  char pattern[] = "/tmp/dvXXXXXX";
  if (!::mkdtemp(pattern))
    return;
  folder_ = pattern;
  imapPort_ = FreeLoopbackPort();
  imapsPort_ = FreeLoopbackPort();
  RunScript({});
}

bool DovecotServer::RunScript(const std::string& mode) {
  std::vector<std::string> arguments = {"bash", ServerScript(), folder_, std::to_string(imapPort_),
                                        std::to_string(imapsPort_)};
  if (!mode.empty())
    arguments.push_back(mode);
  std::string output;
  if (RunProgram(arguments, {}, &output) != 0)
    return false;
  int pid = -1;
  const char* end = output.data() + output.size();
  if (std::from_chars(output.data(), end, pid).ec != std::errc() || pid <= 0)
    return false;
  pid_ = pid;
  return true;
}

bool DovecotServer::Stop() {
  if (pid_ <= 0)
    return false;
  // The master leaves its client processes running when it is killed; a restart of the
  // service ends them, and with them every client's connection.
  std::vector<int> processes;
  std::vector<int> parents = {pid_};
  while (!parents.empty()) {
    const int parent = parents.back();
    parents.pop_back();
    std::ifstream children("/proc/" + std::to_string(parent) + "/task/" + std::to_string(parent) +
                           "/children");
    int child = 0;
    while (children >> child) {
      processes.push_back(child);
      parents.push_back(child);
    }
  }
  ::kill(pid_, SIGTERM);
  for (const int process : processes)
    ::kill(process, SIGTERM);
  const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!ProcessGone(pid_) && std::chrono::steady_clock::now() < giveUp)
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  const bool gone = ProcessGone(pid_);
  if (gone)
    pid_ = -1;
  return gone;
}

bool DovecotServer::Start() {
  return pid_ <= 0 && !folder_.empty() && RunScript("restart");
}

DovecotServer::~DovecotServer() {
  Stop();
  if (!folder_.empty()) {
    std::error_code ignored;
    std::filesystem::remove_all(folder_, ignored);
  }
}

std::string DovecotServer::connectTo() const {
  return "imap.example.com:993:127.0.0.1:" + std::to_string(imapsPort_) +
         ";imap.example.com:143:127.0.0.1:" + std::to_string(imapPort_);
}

std::vector<std::string> DovecotServer::Doveadm(std::vector<std::string> arguments) const {
  std::vector<std::string> all = {"doveadm", "-c", folder_ + "/dovecot.conf"};
  all.insert(all.end(), arguments.begin(), arguments.end());
  return all;
}

bool DovecotServer::Deliver(const std::string& user, const std::string& mailbox,
                            const std::string& message) const {
  return RunProgram(Doveadm({"save", "-u", user, "-m", mailbox}), message) == 0;
}

bool DovecotServer::CreateMailbox(const std::string& user, const std::string& mailbox) const {
  return RunProgram(Doveadm({"mailbox", "create", "-u", user, mailbox})) == 0;
}

bool DovecotServer::DeleteMailbox(const std::string& user, const std::string& mailbox) const {
  return RunProgram(Doveadm({"mailbox", "delete", "-u", user, "-r", "-s", mailbox})) == 0;
}

bool DovecotServer::MarkSeen(const std::string& user, const std::string& mailbox,
                             const std::string& subject) const {
  return RunProgram(Doveadm({"flags", "add", "-u", user, "\\Seen", "mailbox", mailbox, "header",
                             "subject", subject})) == 0;
}

bool DovecotServer::ExpungeAll(const std::string& user) const {
  return RunProgram(Doveadm({"expunge", "-u", user, "mailbox", "*", "all"})) == 0;
}

std::size_t DovecotServer::LoginCount(const std::string& user) const {
  std::ifstream log(logFile());
  const std::string marker = "Login: user=<" + user + ">";
  std::size_t count = 0;
  std::string line;
  while (std::getline(log, line))
    count += line.find(marker) != std::string::npos ? 1 : 0;
  return count;
}

bool DovecotServer::SetPassword(const std::string& user, const std::string& password) const {
  const std::string path = folder_ + "/users";
  std::ifstream in(path);
  std::string text;
  std::string line;
  bool found = false;
  while (std::getline(in, line)) {
    if (line.rfind(user + ":", 0) == 0) {
      line = user + ":{PLAIN}" + password + "::::::";
      found = true;
    }
    text += line + "\n";
  }
  in.close();
  const std::string temporary = path + ".new";
  {
    std::ofstream out(temporary, std::ios::trunc);
    out << text;
    if (!out)
      return false;
  }
  if (!found || std::rename(temporary.c_str(), path.c_str()) != 0)
    return false;
  // The server's authentication process may hold the old file for a while: reload it and
  // wait (bounded) until it accepts the new password.
  RunProgram(Doveadm({"reload"}));
  const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (std::chrono::steady_clock::now() < giveUp) {
    if (RunProgram(Doveadm({"auth", "test", user, password})) == 0)
      return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return false;
}

bool DovecotServer::Kick(const std::string& user) const {
  return RunProgram(Doveadm({"kick", user})) == 0;
}

}  // namespace tarvel::testing
