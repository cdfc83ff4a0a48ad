#pragma once

#include <cstdint>
#include <stop_token>
#include <string>

namespace tarvel {

// A one-shot HTTP listener on 127.0.0.1 for the redirect at the end of a sign-in in the
// desktop's browser (RFC 8252, loopback redirect). It takes one connection, reads its request
// line (bounded), answers with a short page that the browser may be closed, and closes.
class LoopbackRedirect {
 public:
  // The longest request line read; a longer one is refused.
  static constexpr std::size_t kLongestRequestLine = 8 * 1024;
  // How long the connected browser may take to send its request line.
  static constexpr int kRequestTimeoutMs = 10'000;

  LoopbackRedirect() = default;
  ~LoopbackRedirect();
  LoopbackRedirect(const LoopbackRedirect&) = delete;
  LoopbackRedirect& operator=(const LoopbackRedirect&) = delete;

  // Listens on an ephemeral port of 127.0.0.1 (close-on-exec). False when it cannot.
  bool Open();
  int port() const { return port_; }
  // "http://127.0.0.1:PORT/".
  std::string redirectUri() const;

  // Waits up to `timeoutMs` for the browser, or until `stop`. On a request for a path under
  // "/" the address it asked for ("http://127.0.0.1:PORT/path?query") is stored in `address`
  // and the page is answered; true then. The listener is closed afterwards in every case.
  bool WaitForRedirect(int timeoutMs, std::string& address, std::stop_token stop = {});

  // The last failure, for the trace.
  const std::string& failure() const { return failure_; }

 private:
  void Close();

  int listener_ = -1;
  int port_ = 0;
  std::string failure_;
};

}  // namespace tarvel
