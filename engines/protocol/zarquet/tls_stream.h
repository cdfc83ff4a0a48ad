#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include <sys/socket.h>

typedef struct ssl_ctx_st SSL_CTX;
typedef struct ssl_st SSL;

namespace tarvel::zarquet {

using Deadline = std::chrono::steady_clock::time_point;

// One address a host name resolved to.
struct SocketAddress {
  sockaddr_storage storage{};
  socklen_t length = 0;
};

// A connection attempt that has not completed within this time gets company: the next address
// is tried alongside it (the connection attempt delay of RFC 8305, "Happy Eyeballs").
inline constexpr auto kConnectAttemptDelay = std::chrono::milliseconds(250);

// Connects to the first of `addresses` that answers. The attempts start in list order, one
// after the other when an attempt fails and every kConnectAttemptDelay while the earlier ones
// are still waiting, so an address that does not answer (a dead IPv6 route) costs a quarter of
// a second instead of the whole deadline. Returns 0 with the connected non-blocking socket in
// `connected` (and the index of its address in `winner`), or a ZARQUET_ERROR_* code.
int ConnectFirstAnswering(const std::vector<SocketAddress>& addresses, Deadline deadline,
                          int cancelFd, int& connected, std::size_t& winner, std::string& message);

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
  // Takes over an already connected socket (test and fuzz harnesses drive the protocol over a
  // socket pair); it counts as a loopback peer.
  void Adopt(int socket);

  bool isOpen() const { return socket_ >= 0; }
  // True when the peer has sent something not yet read, closed the connection, or the socket
  // is in error: for a connection between commands, all of them unexpected.
  bool HasUnreadInput() const;
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
