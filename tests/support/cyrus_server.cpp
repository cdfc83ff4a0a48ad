#include "tests/support/cyrus_server.h"

#include <signal.h>
#include <stdlib.h>

#include <charconv>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <thread>
#include <vector>

#include "tests/support/dovecot_server.h"

namespace tarvel::testing {
namespace {

std::string SupportFolder() {
  const char* source = std::getenv("TARVEL_SOURCE_DIR");
  return std::string(source ? source : TARVEL_SOURCE_FOLDER) + "/tests/support";
}

// The packages are unpacked under the build tree (or where TARVEL_TEST_SERVER_CACHE says):
// run as root the services drop to nobody, who cannot read a home folder's cache.
std::string CacheFolder() {
  if (const char* cache = std::getenv("TARVEL_TEST_SERVER_CACHE"); cache && *cache)
    return cache;
  const char* binary = std::getenv("TARVEL_BINARY_DIR");
  return std::string(binary ? binary : TARVEL_BINARY_FOLDER) + "/test-servers";
}

}  // namespace

CyrusServer::CyrusServer() {
  char pattern[] = "/tmp/cyXXXXXX";
  if (!::mkdtemp(pattern))
    return;
  folder_ = pattern;
  imapPort_ = FreeLoopbackPort();
  imapsPort_ = FreeLoopbackPort();
  loginOnlyPort_ = FreeLoopbackPort();
  // The script's error output goes to a file: RunProgram hands on standard output only.
  const std::string errors = folder_ + "/start.err";
  std::string output;
  const int status =
      RunProgram({"env", "TARVEL_TEST_SERVER_CACHE=" + CacheFolder(), "bash", "-c",
                  "exec bash \"$0\" \"$@\" 2>\"$5\"", SupportFolder() + "/cyrus_test_server.sh",
                  folder_, std::to_string(imapPort_), std::to_string(imapsPort_),
                  std::to_string(loginOnlyPort_), errors},
                 {}, &output);
  std::ifstream errorFile(errors);
  startError_.assign(std::istreambuf_iterator<char>(errorFile), {});
  int pid = -1;
  if (status == 0 &&
      std::from_chars(output.data(), output.data() + output.size(), pid).ec == std::errc() &&
      pid > 0)
    pid_ = pid;
  else if (startError_.empty())
    startError_ = "the start script ended with " + std::to_string(status);
}

CyrusServer::~CyrusServer() {
  if (pid_ > 0) {
    // The master stops every service process it started.
    ::kill(pid_, SIGTERM);
    const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!ProcessGone(pid_) && std::chrono::steady_clock::now() < giveUp)
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    // The master leads a process group of its own (the start script's setsid): a master that
    // did not stop is ended with every service process.
    if (!ProcessGone(pid_))
      ::kill(-pid_, SIGKILL);
  }
  if (!folder_.empty()) {
    std::error_code ignored;
    std::filesystem::remove_all(folder_, ignored);
  }
}

std::string CyrusServer::connectTo() const {
  return "imap.example.com:993:127.0.0.1:" + std::to_string(imapsPort_) +
         ";imap.example.com:143:127.0.0.1:" + std::to_string(imapPort_);
}

bool CyrusServer::Deliver(const std::string& user, const std::string& folder,
                          const std::string& message) const {
  std::vector<std::string> arguments = {
      "env", "LD_LIBRARY_PATH=" + CacheFolder() + "/cyrus-3.6/usr/lib/x86_64-linux-gnu",
      CacheFolder() + "/cyrus-3.6/usr/lib/cyrus/bin/deliver", "-C", folder_ + "/imapd.conf"};
  if (folder != "INBOX") {
    // Delivered on the user's own authority: a folder other than the inbox takes mail only
    // from those with the right to post to it.
    arguments.insert(arguments.end(), {"-a", user});
    arguments.push_back("-m");
    arguments.push_back(folder);
  }
  arguments.push_back(user);
  return RunProgram(arguments, message) == 0;
}

bool CyrusServer::Kick(const std::string& user) const {
  // Each session's process keeps a line "service<TAB>client<TAB>user<TAB>..." under proc/.
  bool kicked = false;
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator(folder_ + "/conf/proc", error)) {
    std::ifstream file(entry.path());
    std::string line;
    std::getline(file, line);
    const std::size_t first = line.find('\t');
    const std::size_t second = first == std::string::npos ? first : line.find('\t', first + 1);
    if (second == std::string::npos)
      continue;
    const std::size_t end = line.find('\t', second + 1);
    if (line.substr(second + 1, end == std::string::npos ? end : end - second - 1) != user)
      continue;
    const std::string name = entry.path().filename().string();
    int pid = 0;
    if (std::from_chars(name.data(), name.data() + name.size(), pid).ec == std::errc() && pid > 0 &&
        ::kill(pid, SIGTERM) == 0)
      kicked = true;
  }
  return kicked;
}

}  // namespace tarvel::testing
