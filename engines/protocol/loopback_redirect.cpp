#include "engines/protocol/loopback_redirect.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <string_view>

namespace tarvel {
namespace {

constexpr std::string_view kClosePage =
    "<!DOCTYPE html><html><head><meta charset=\"utf-8\"><title>Tarvel E-Mail Notifier</title>"
    "</head><body><p>You can close this page.</p></body></html>";

int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// Waits for `events` on `fd` until `deadline`, in short steps so that `stop` ends it.
bool WaitFor(int fd, short events, int64_t deadline, const std::stop_token& stop) {
  while (!stop.stop_requested()) {
    const int64_t left = deadline - NowMs();
    if (left <= 0)
      return false;
    pollfd entry{fd, events, 0};
    const int ready = ::poll(&entry, 1, static_cast<int>(std::min<int64_t>(left, 200)));
    if (ready > 0)
      return true;
    if (ready < 0 && errno != EINTR)
      return false;
  }
  return false;
}

void SendAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t sent = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (sent <= 0)
      return;
    bytes.remove_prefix(static_cast<std::size_t>(sent));
  }
}

void Answer(int fd, std::string_view status, std::string_view body) {
  std::string response = "HTTP/1.1 " + std::string(status) +
                         "\r\nContent-Type: text/html; charset=utf-8\r\nContent-Length: " +
                         std::to_string(body.size()) +
                         "\r\nConnection: close\r\nCache-Control: no-store\r\n\r\n";
  response.append(body);
  SendAll(fd, response);
}

}  // namespace

LoopbackRedirect::~LoopbackRedirect() {
  Close();
}

void LoopbackRedirect::Close() {
  if (listener_ >= 0)
    ::close(listener_);
  listener_ = -1;
}

bool LoopbackRedirect::Open() {
  Close();
  listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (listener_ < 0) {
    failure_ = "no socket for the sign-in redirect";
    return false;
  }
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = 0;
  socklen_t length = sizeof(address);
  if (::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
      ::listen(listener_, 4) != 0 ||
      ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    failure_ = "the sign-in redirect cannot listen on 127.0.0.1";
    Close();
    return false;
  }
  port_ = ntohs(address.sin_port);
  return true;
}

std::string LoopbackRedirect::redirectUri() const {
  return "http://127.0.0.1:" + std::to_string(port_) + "/";
}

bool LoopbackRedirect::WaitForRedirect(int timeoutMs, std::string& address, std::stop_token stop) {
  if (listener_ < 0) {
    failure_ = "the sign-in redirect is not listening";
    return false;
  }
  const int64_t deadline = NowMs() + timeoutMs;
  int connection = -1;
  while (connection < 0) {
    if (!WaitFor(listener_, POLLIN, deadline, stop)) {
      failure_ = stop.stop_requested() ? "the sign-in was cancelled"
                                       : "the browser did not come back from the sign-in in time";
      Close();
      return false;
    }
    connection = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
  }
  // One connection only: nobody else gets to answer this sign-in.
  Close();

  // The request line, bounded in size and time.
  std::string request;
  const int64_t requestDeadline = std::min(deadline, NowMs() + kRequestTimeoutMs);
  bool complete = false;
  while (!complete && request.size() <= kLongestRequestLine) {
    if (!WaitFor(connection, POLLIN, requestDeadline, stop))
      break;
    char buffer[1024];
    const ssize_t got = ::recv(connection, buffer, sizeof(buffer), 0);
    if (got <= 0)
      break;
    request.append(buffer, static_cast<std::size_t>(got));
    complete = request.find("\r\n") != std::string::npos;
  }
  bool taken = false;
  const std::size_t lineEnd = request.find("\r\n");
  if (lineEnd == std::string::npos || lineEnd > kLongestRequestLine) {
    failure_ = request.size() > kLongestRequestLine
                   ? "the sign-in redirect's request line is too long"
                   : "the browser sent no complete request to the sign-in redirect";
    if (request.size() > kLongestRequestLine)
      Answer(connection, "414 URI Too Long", "");
  } else {
    const std::string_view line = std::string_view(request).substr(0, lineEnd);
    const std::size_t firstSpace = line.find(' ');
    const std::size_t lastSpace = line.rfind(' ');
    const std::string_view method = line.substr(0, firstSpace);
    const std::string_view target = firstSpace == lastSpace
                                        ? std::string_view()
                                        : line.substr(firstSpace + 1, lastSpace - firstSpace - 1);
    if (method != "GET" || !target.starts_with('/')) {
      failure_ = "the sign-in redirect got a request that is no GET of a local path";
      Answer(connection, "400 Bad Request", "");
    } else {
      address = "http://127.0.0.1:" + std::to_string(port_) + std::string(target);
      Answer(connection, "200 OK", kClosePage);
      taken = true;
    }
  }
  ::shutdown(connection, SHUT_WR);
  ::close(connection);
  return taken;
}

}  // namespace tarvel
