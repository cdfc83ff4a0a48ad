#include "tests/support/scripted_imap_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace tarvel::testing {

ScriptedImapServer::ScriptedImapServer(Handler handler, std::string greeting)
    : handler_(std::move(handler)), greeting_(std::move(greeting)) {
  if (::pipe2(stopPipe_, O_CLOEXEC) != 0)
    return;
  listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = 0;
  socklen_t length = sizeof address;
  if (listener_ < 0 || ::bind(listener_, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
      ::listen(listener_, 8) != 0 ||
      ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    return;
  }
  port_ = ntohs(address.sin_port);
  thread_ = std::thread([this] { Serve(); });
}

ScriptedImapServer::~ScriptedImapServer() {
  if (stopPipe_[1] >= 0) {
    const char stop = 1;
    [[maybe_unused]] const ssize_t written = ::write(stopPipe_[1], &stop, 1);
  }
  if (thread_.joinable())
    thread_.join();
  for (const int fd : {listener_, stopPipe_[0], stopPipe_[1]}) {
    if (fd >= 0)
      ::close(fd);
  }
}

std::string ScriptedImapServer::url(const std::string& path) const {
  return "imap://127.0.0.1:" + std::to_string(port_) + "/" + path;
}

std::vector<std::string> ScriptedImapServer::receivedLines() const {
  const std::lock_guard<std::mutex> guard(lock_);
  return received_;
}

bool ScriptedImapServer::WaitForLineEnding(const std::string& suffix,
                                           std::chrono::milliseconds bound) const {
  std::unique_lock<std::mutex> lock(lock_);
  return receivedChanged_.wait_for(lock, bound, [&] {
    for (const std::string& line : received_) {
      if (line.size() >= suffix.size() &&
          line.compare(line.size() - suffix.size(), suffix.size(), suffix) == 0)
        return true;
    }
    return false;
  });
}

void ScriptedImapServer::Push(const std::string& text) {
  const std::lock_guard<std::mutex> guard(lock_);
  if (current_ >= 0)
    SendAll(current_, text);
}

void ScriptedImapServer::SendAll(int connection, const std::string& text) {
  std::size_t sent = 0;
  while (sent < text.size()) {
    const ssize_t written =
        ::send(connection, text.data() + sent, text.size() - sent, MSG_NOSIGNAL);
    if (written <= 0)
      return;
    sent += static_cast<std::size_t>(written);
  }
}

void ScriptedImapServer::Trickle(int connection, const std::string& text) {
  if (text.empty())
    return;
  for (std::size_t i = 0;; ++i) {
    pollfd stop = {stopPipe_[0], POLLIN, 0};
    if (::poll(&stop, 1, static_cast<int>(ScriptedReply::kTrickleInterval.count())) != 0)
      return;
    if (::send(connection, &text[i % text.size()], 1, MSG_NOSIGNAL) != 1)
      return;
  }
}

void ScriptedImapServer::Serve() {
  for (;;) {
    pollfd fds[2] = {{listener_, POLLIN, 0}, {stopPipe_[0], POLLIN, 0}};
    if (::poll(fds, 2, -1) < 0)
      continue;
    if (fds[1].revents)
      return;
    const int connection = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
    if (connection < 0)
      continue;
    ServeConnection(connection);
    {
      const std::lock_guard<std::mutex> guard(lock_);
      current_ = -1;
    }
    ::close(connection);
  }
}

void ScriptedImapServer::ServeConnection(int connection) {
  {
    const std::lock_guard<std::mutex> guard(lock_);
    current_ = connection;
    SendAll(connection, greeting_);
  }
  std::string input;
  std::string idleTag;
  bool stalled = false;
  for (;;) {
    pollfd fds[2] = {{connection, static_cast<short>(stalled ? 0 : POLLIN), 0},
                     {stopPipe_[0], POLLIN, 0}};
    if (::poll(fds, 2, -1) < 0)
      continue;
    if (fds[1].revents)
      return;
    char buffer[4096];
    const ssize_t got = ::recv(connection, buffer, sizeof buffer, 0);
    if (got <= 0)
      return;
    input.append(buffer, static_cast<std::size_t>(got));
    std::size_t end;
    while (!stalled && (end = input.find('\n')) != std::string::npos) {
      std::string line = input.substr(0, end);
      input.erase(0, end + 1);
      if (!line.empty() && line.back() == '\r')
        line.pop_back();
      ScriptedReply reply;
      if (line == "DONE" && !idleTag.empty()) {
        reply.text = idleTag + " OK Idle completed\r\n";
        idleTag.clear();
      } else {
        const std::size_t space = line.find(' ');
        const std::string tag = line.substr(0, space);
        const std::string command = space == std::string::npos ? "" : line.substr(space + 1);
        if (command == "IDLE")
          idleTag = tag;
        reply = handler_(tag, command);
      }
      // The line becomes visible to waiting tests only together with its answer, so that
      // what a test pushes after seeing the line always follows the answer.
      {
        const std::lock_guard<std::mutex> guard(lock_);
        received_.push_back(line);
        if (reply.then != ScriptedReply::Then::Trickle)
          SendAll(connection, reply.text);
      }
      receivedChanged_.notify_all();
      if (reply.then == ScriptedReply::Then::Close)
        return;
      if (reply.then == ScriptedReply::Then::Trickle) {
        Trickle(connection, reply.text);
        return;
      }
      if (reply.then == ScriptedReply::Then::Stall)
        stalled = true;
    }
  }
}

ScriptedReply ScriptedImapServer::StandardReply(const std::string& tag,
                                                const std::string& command) {
  const auto startsWith = [&](const char* prefix) { return command.rfind(prefix, 0) == 0; };
  if (startsWith("CAPABILITY"))
    return {"* CAPABILITY IMAP4rev1 SASL-IR AUTH=PLAIN IDLE\r\n" + tag + " OK done\r\n"};
  if (startsWith("AUTHENTICATE") || startsWith("LOGIN"))
    return {tag + " OK Logged in\r\n"};
  if (startsWith("SELECT"))
    return {"* 0 EXISTS\r\n" + tag + " OK [READ-WRITE] Select completed\r\n"};
  if (startsWith("SEARCH"))
    return {"* SEARCH\r\n" + tag + " OK Search completed\r\n"};
  if (startsWith("LIST"))
    return {"* LIST (\\HasNoChildren) \"/\" INBOX\r\n" + tag + " OK List completed\r\n"};
  if (startsWith("IDLE"))
    return {"+ idling\r\n"};
  if (startsWith("LOGOUT"))
    return {"* BYE bye\r\n" + tag + " OK Logout completed\r\n", ScriptedReply::Then::Close};
  return {tag + " BAD unknown command\r\n"};
}

}  // namespace tarvel::testing
