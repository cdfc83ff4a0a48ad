#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

typedef struct ssl_ctx_st SSL_CTX;
typedef struct ssl_st SSL;

namespace tarvel::zarquet {

using Deadline = std::chrono::steady_clock::time_point;

// A TCP connection that can be switched to TLS, with every wait bounded by a deadline and
// interruptible through a file descriptor (the cancel pipe). Results are ZARQUET_ERROR_*
// codes, 0 for success; `message` receives a readable reason on failure.
class TlsStream {
 public:
  TlsStream() = default;
  TlsStream(const TlsStream&) = delete;
  TlsStream& operator=(const TlsStream&) = delete;
  ~TlsStream();

  int Connect(const std::string& host, uint16_t port, Deadline deadline, int cancelFd,
              std::string& message);
  // Starts TLS, verifying the certificate against `verifyHost` (the host of the URL).
  int StartTls(const std::string& verifyHost, Deadline deadline, int cancelFd,
               std::string& message);
  int Write(std::string_view data, Deadline deadline, int cancelFd, std::string& message);
  // Reads what is available (at least one byte) into `buffer`.
  int Read(char* buffer, std::size_t capacity, std::size_t& received, Deadline deadline,
           int cancelFd, std::string& message);
  void Close();

  bool isOpen() const { return socket_ >= 0; }
  bool isEncrypted() const { return ssl_ != nullptr; }
  // True when the peer's address is a loopback address.
  bool peerIsLoopback() const { return peerIsLoopback_; }

 private:
  // Waits until the socket is ready for `events`; 0, or a time-out / abort code.
  int WaitFor(short events, Deadline deadline, int cancelFd, std::string& message);

  int socket_ = -1;
  SSL_CTX* context_ = nullptr;
  SSL* ssl_ = nullptr;
  bool peerIsLoopback_ = false;
};

}  // namespace tarvel::zarquet
