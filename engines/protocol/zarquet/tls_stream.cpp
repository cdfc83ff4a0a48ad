#include "engines/protocol/zarquet/tls_stream.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <optional>
#include <vector>

#include "engines/protocol/zarquet/network_settings.h"
#include "engines/protocol/zarquet/zarquet.h"

namespace tarvel::zarquet {
namespace {

bool IsLoopback(const sockaddr* address) {
  if (address->sa_family == AF_INET) {
    const auto* v4 = reinterpret_cast<const sockaddr_in*>(address);
    return (ntohl(v4->sin_addr.s_addr) >> 24) == 127;
  }
  if (address->sa_family == AF_INET6) {
    const auto* v6 = reinterpret_cast<const sockaddr_in6*>(address);
    if (IN6_IS_ADDR_LOOPBACK(&v6->sin6_addr))
      return true;
    if (IN6_IS_ADDR_V4MAPPED(&v6->sin6_addr))
      return v6->sin6_addr.s6_addr[12] == 127;
  }
  return false;
}

// OpenSSL writes with write(2): a peer that has gone away would raise SIGPIPE and end the
// program. The signal is blocked for this thread while the library writes, and a SIGPIPE that
// arose meanwhile is taken off the thread before the old mask returns.
class SigpipeBlocker {
 public:
  SigpipeBlocker() {
    sigset_t pipeOnly;
    sigemptyset(&pipeOnly);
    sigaddset(&pipeOnly, SIGPIPE);
    sigset_t pending;
    sigpending(&pending);
    wasPending_ = sigismember(&pending, SIGPIPE) == 1;
    pthread_sigmask(SIG_BLOCK, &pipeOnly, &oldMask_);
  }
  ~SigpipeBlocker() {
    if (!wasPending_) {
      sigset_t pending;
      sigpending(&pending);
      if (sigismember(&pending, SIGPIPE) == 1) {
        sigset_t pipeOnly;
        sigemptyset(&pipeOnly);
        sigaddset(&pipeOnly, SIGPIPE);
        const timespec noWait{0, 0};
        sigtimedwait(&pipeOnly, nullptr, &noWait);
      }
    }
    pthread_sigmask(SIG_SETMASK, &oldMask_, nullptr);
  }
  SigpipeBlocker(const SigpipeBlocker&) = delete;
  SigpipeBlocker& operator=(const SigpipeBlocker&) = delete;

 private:
  sigset_t oldMask_{};
  bool wasPending_ = false;
};

// The whole time left in one poll: an idling connection wakes only when the server speaks,
// the command's time-out ends or a cancel comes.
int RemainingMilliseconds(Deadline deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
      deadline - std::chrono::steady_clock::now());
  if (left.count() <= 0)
    return 0;
  return left.count() > INT32_MAX ? INT32_MAX : static_cast<int>(left.count());
}

// The queued OpenSSL errors; when there are none (the peer closed the connection, a system
// call failed) what happened instead, so that no reason is ever empty.
std::string OpenSslErrors(int sslError = SSL_ERROR_SSL, int systemError = 0) {
  std::string text;
  while (const unsigned long code = ERR_get_error()) {
    char buffer[256];
    ERR_error_string_n(code, buffer, sizeof buffer);
    if (!text.empty())
      text += "; ";
    text += buffer;
  }
  if (!text.empty())
    return text;
  if (sslError == SSL_ERROR_ZERO_RETURN || (sslError == SSL_ERROR_SYSCALL && systemError == 0))
    return "the server closed the connection";
  if (sslError == SSL_ERROR_SYSCALL)
    return std::strerror(systemError);
  return "TLS error " + std::to_string(sslError);
}

bool IsIpAddress(const std::string& host) {
  unsigned char buffer[sizeof(in6_addr)];
  return inet_pton(AF_INET, host.c_str(), buffer) == 1 ||
         inet_pton(AF_INET6, host.c_str(), buffer) == 1;
}

}  // namespace

TlsStream::~TlsStream() {
  Close();
}

void TlsStream::Close() {
  if (ssl_) {
    const SigpipeBlocker noSigpipe;
    SSL_shutdown(ssl_);  // non-blocking socket: sends the close notice if it can, never waits
    SSL_free(ssl_);
    ssl_ = nullptr;
  }
  if (context_) {
    SSL_CTX_free(context_);
    context_ = nullptr;
  }
  if (socket_ >= 0) {
    ::close(socket_);
    socket_ = -1;
  }
  peerIsLoopback_ = false;
}

int TlsStream::WaitFor(short events, Deadline deadline, int cancelFd, std::string& message) {
  for (;;) {
    pollfd fds[2] = {{socket_, events, 0}, {cancelFd, POLLIN, 0}};
    const int timeout = RemainingMilliseconds(deadline);
    if (timeout == 0) {
      message = "timed out";
      return ZARQUET_ERROR_OPERATION_TIMEDOUT;
    }
    const int ready = ::poll(fds, cancelFd >= 0 ? 2 : 1, timeout);
    if (ready < 0) {
      if (errno == EINTR)
        continue;
      message = std::string("poll failed: ") + std::strerror(errno);
      return ZARQUET_ERROR_RECV;
    }
    if (cancelFd >= 0 && (fds[1].revents & POLLIN)) {
      message = "cancelled";
      return ZARQUET_ERROR_ABORTED;
    }
    if (ready > 0 && fds[0].revents != 0)
      return 0;  // readable, writable, or an error the next call reports
  }
}

bool TlsStream::HasUnreadInput() const {
  if (socket_ < 0)
    return true;
  if (ssl_ && SSL_pending(ssl_) > 0)
    return true;
  pollfd fds = {socket_, POLLIN, 0};
  return ::poll(&fds, 1, 0) != 0;  // data, end of stream, an error, or a failed poll
}

void TlsStream::Adopt(int socket) {
  Close();
  socket_ = socket;
  peerIsLoopback_ = true;
}

namespace {

// The order of RFC 8305: the families alternate, starting with the resolver's first choice, so
// that one broken family delays the other by one attempt at most.
std::vector<SocketAddress> InterleaveFamilies(const addrinfo* list) {
  std::vector<SocketAddress> first;
  std::vector<SocketAddress> other;
  const int firstFamily = list ? list->ai_family : AF_UNSPEC;
  for (const addrinfo* entry = list; entry; entry = entry->ai_next) {
    if (entry->ai_addrlen > sizeof(sockaddr_storage))
      continue;
    SocketAddress address;
    std::memcpy(&address.storage, entry->ai_addr, entry->ai_addrlen);
    address.length = entry->ai_addrlen;
    (entry->ai_family == firstFamily ? first : other).push_back(address);
  }
  std::vector<SocketAddress> ordered;
  for (std::size_t i = 0; i < first.size() || i < other.size(); ++i) {
    if (i < first.size())
      ordered.push_back(first[i]);
    if (i < other.size())
      ordered.push_back(other[i]);
  }
  return ordered;
}

int MillisecondsUntil(Deadline moment) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
      moment - std::chrono::steady_clock::now());
  if (left.count() <= 0)
    return 0;
  return left.count() > INT32_MAX ? INT32_MAX : static_cast<int>(left.count());
}

}  // namespace

int ConnectFirstAnswering(const std::vector<SocketAddress>& addresses, Deadline deadline,
                          int cancelFd, int& connected, std::size_t& winner, std::string& message) {
  struct Attempt {
    int socket;
    std::size_t index;
  };
  std::vector<Attempt> attempts;
  const auto closeAll = [&] {
    for (const Attempt& attempt : attempts)
      ::close(attempt.socket);
    attempts.clear();
  };
  connected = -1;
  std::size_t next = 0;
  Deadline nextStart = std::chrono::steady_clock::now();
  int lastError = ECONNREFUSED;
  for (;;) {
    // Start the next attempt when its time has come (at once when nothing is waiting).
    while (next < addresses.size() &&
           (attempts.empty() || std::chrono::steady_clock::now() >= nextStart)) {
      const SocketAddress& address = addresses[next];
      const std::size_t index = next++;
      const int fd =
          ::socket(address.storage.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
      if (fd < 0) {
        lastError = errno;
        continue;
      }
      if (::connect(fd, reinterpret_cast<const sockaddr*>(&address.storage), address.length) == 0) {
        closeAll();
        connected = fd;
        winner = index;
        return 0;
      }
      if (errno != EINPROGRESS) {
        lastError = errno;
        ::close(fd);
        continue;
      }
      attempts.push_back({fd, index});
      nextStart = std::chrono::steady_clock::now() + kConnectAttemptDelay;
    }
    if (attempts.empty()) {
      message = std::string("connection failed: ") + std::strerror(lastError);
      return ZARQUET_ERROR_COULDNT_CONNECT;
    }
    int timeout = MillisecondsUntil(deadline);
    if (timeout == 0) {
      closeAll();
      message = "timed out while connecting";
      return ZARQUET_ERROR_OPERATION_TIMEDOUT;
    }
    if (next < addresses.size())
      timeout = std::min(timeout, MillisecondsUntil(nextStart));
    std::vector<pollfd> fds;
    for (const Attempt& attempt : attempts)
      fds.push_back({attempt.socket, POLLOUT, 0});
    if (cancelFd >= 0)
      fds.push_back({cancelFd, POLLIN, 0});
    const int ready = ::poll(fds.data(), fds.size(), timeout);
    if (ready < 0 && errno != EINTR) {
      closeAll();
      message = std::string("poll failed: ") + std::strerror(errno);
      return ZARQUET_ERROR_COULDNT_CONNECT;
    }
    if (cancelFd >= 0 && (fds.back().revents & POLLIN)) {
      closeAll();
      message = "cancelled";
      return ZARQUET_ERROR_ABORTED;
    }
    std::vector<Attempt> waiting;
    for (std::size_t i = 0; i < attempts.size(); ++i) {
      if (ready <= 0 || fds[i].revents == 0) {
        waiting.push_back(attempts[i]);
        continue;
      }
      int error = 0;
      socklen_t length = sizeof error;
      if (::getsockopt(attempts[i].socket, SOL_SOCKET, SO_ERROR, &error, &length) != 0)
        error = errno;
      if (error == 0 && connected < 0) {
        connected = attempts[i].socket;
        winner = attempts[i].index;
        continue;
      }
      if (error != 0)
        lastError = error;
      ::close(attempts[i].socket);
      if (error != 0)
        nextStart = std::chrono::steady_clock::now();  // a refusal makes room at once
    }
    attempts = std::move(waiting);
    if (connected >= 0) {
      closeAll();
      return 0;
    }
  }
}

int TlsStream::Connect(const std::string& host, uint16_t port, Deadline deadline, int cancelFd,
                       std::string& message) {
  Close();
  const ConnectTarget target = ResolveConnectTarget(ConnectToFromEnvironment(), host, port);
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* list = nullptr;
  const std::string service = std::to_string(target.port);
  // The system resolver bounds its own wait (resolv.conf's timeout and attempts).
  if (::getaddrinfo(target.host.c_str(), service.c_str(), &hints, &list) != 0 || !list) {
    message = "could not resolve host " + target.host;
    return ZARQUET_ERROR_COULDNT_RESOLVE_HOST;
  }
  const std::vector<SocketAddress> addresses = InterleaveFamilies(list);
  ::freeaddrinfo(list);
  std::size_t winner = 0;
  const int result = ConnectFirstAnswering(addresses, deadline, cancelFd, socket_, winner, message);
  if (result != 0) {
    message += " (" + target.host + ":" + service + ")";
    return result;
  }
  peerIsLoopback_ = IsLoopback(reinterpret_cast<const sockaddr*>(&addresses[winner].storage));
  return 0;
}

// Loading the system store takes tens of milliseconds, so every connection shares one client
// context, built again only when the extra CA files change (their list or their content).
SSL_CTX* SharedClientContext(std::string& message) {
  static std::mutex lock;
  static SSL_CTX* cached = nullptr;
  static std::string cachedFingerprint;
  const std::vector<std::string> files = CertificateAuthorityFiles();
  const std::string fingerprint = CertificateAuthorityFingerprint(files);
  const std::lock_guard<std::mutex> guard(lock);
  if (!cached || fingerprint != cachedFingerprint) {
    SSL_CTX* context = SSL_CTX_new(TLS_client_method());
    if (!context) {
      message = "TLS set-up failed";
      return nullptr;
    }
    SSL_CTX_set_min_proto_version(context, TLS1_2_VERSION);
    SSL_CTX_set_verify(context, SSL_VERIFY_PEER, nullptr);
    SSL_CTX_set_default_verify_paths(context);
    for (const std::string& caFile : files) {
      if (SSL_CTX_load_verify_locations(context, caFile.c_str(), nullptr) != 1) {
        message = "cannot read the CA file " + caFile;
        SSL_CTX_free(context);
        return nullptr;
      }
    }
    if (cached)
      SSL_CTX_free(cached);
    cached = context;
    cachedFingerprint = fingerprint;
  }
  SSL_CTX_up_ref(cached);
  return cached;
}

int TlsStream::StartTls(const std::string& verifyHost, Deadline deadline, int cancelFd,
                        std::string& message) {
  context_ = SharedClientContext(message);
  if (!context_)
    return ZARQUET_ERROR_SSL_CONNECT;
  ssl_ = SSL_new(context_);
  if (!ssl_ || SSL_set_fd(ssl_, socket_) != 1) {
    message = "TLS set-up failed";
    return ZARQUET_ERROR_SSL_CONNECT;
  }
  X509_VERIFY_PARAM* parameters = SSL_get0_param(ssl_);
  if (IsIpAddress(verifyHost)) {
    X509_VERIFY_PARAM_set1_ip_asc(parameters, verifyHost.c_str());
  } else {
    SSL_set_tlsext_host_name(ssl_, verifyHost.c_str());
    X509_VERIFY_PARAM_set_hostflags(parameters, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
    X509_VERIFY_PARAM_set1_host(parameters, verifyHost.c_str(), 0);
  }
  const SigpipeBlocker noSigpipe;
  for (;;) {
    ERR_clear_error();
    errno = 0;
    const int done = SSL_connect(ssl_);
    const int systemError = errno;
    if (done == 1)
      return 0;
    const int error = SSL_get_error(ssl_, done);
    short events = 0;
    if (error == SSL_ERROR_WANT_READ) {
      events = POLLIN;
    } else if (error == SSL_ERROR_WANT_WRITE) {
      events = POLLOUT;
    } else {
      const long verifyResult = SSL_get_verify_result(ssl_);
      if (verifyResult != X509_V_OK) {
        message = std::string("certificate of ") + verifyHost +
                  " not trusted: " + X509_verify_cert_error_string(verifyResult);
        return ZARQUET_ERROR_PEER_FAILED_VERIFICATION;
      }
      message =
          "TLS handshake with " + verifyHost + " failed: " + OpenSslErrors(error, systemError);
      return ZARQUET_ERROR_SSL_CONNECT;
    }
    const int waited = WaitFor(events, deadline, cancelFd, message);
    if (waited != 0)
      return waited;
  }
}

int TlsStream::Write(std::string_view data, Deadline deadline, int cancelFd, std::string& message) {
  const SigpipeBlocker noSigpipe;
  while (!data.empty()) {
    if (socket_ < 0) {
      message = "not connected";
      return ZARQUET_ERROR_SEND;
    }
    short events = POLLOUT;
    if (ssl_) {
      ERR_clear_error();
      errno = 0;
      std::size_t written = 0;
      const int done = SSL_write_ex(ssl_, data.data(), data.size(), &written);
      const int systemError = errno;
      if (done == 1) {
        data.remove_prefix(written);
        continue;
      }
      const int error = SSL_get_error(ssl_, done);
      if (error == SSL_ERROR_WANT_READ) {
        events = POLLIN;
      } else if (error != SSL_ERROR_WANT_WRITE) {
        message = "sending failed: " + OpenSslErrors(error, systemError);
        return ZARQUET_ERROR_SEND;
      }
    } else {
      const ssize_t written = ::send(socket_, data.data(), data.size(), MSG_NOSIGNAL);
      if (written > 0) {
        data.remove_prefix(static_cast<std::size_t>(written));
        continue;
      }
      if (written < 0 && errno == EINTR)
        continue;
      if (written < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
        message = std::string("sending failed: ") + std::strerror(errno);
        return ZARQUET_ERROR_SEND;
      }
    }
    const int waited = WaitFor(events, deadline, cancelFd, message);
    if (waited != 0)
      return waited;
  }
  return 0;
}

int TlsStream::Read(char* buffer, std::size_t capacity, std::size_t& received, Deadline deadline,
                    int cancelFd, std::string& message) {
  received = 0;
  const SigpipeBlocker noSigpipe;  // a TLS read may write (key updates, alerts)
  for (;;) {
    if (socket_ < 0) {
      message = "not connected";
      return ZARQUET_ERROR_RECV;
    }
    short events = POLLIN;
    if (ssl_) {
      ERR_clear_error();
      errno = 0;
      const int done = SSL_read_ex(ssl_, buffer, capacity, &received);
      const int systemError = errno;
      if (done == 1)
        return 0;
      const int error = SSL_get_error(ssl_, done);
      if (error == SSL_ERROR_ZERO_RETURN) {
        message = "the server closed the connection";
        return ZARQUET_ERROR_RECV;
      }
      if (error == SSL_ERROR_WANT_WRITE) {
        events = POLLOUT;
      } else if (error != SSL_ERROR_WANT_READ) {
        message = "the connection broke: " + OpenSslErrors(error, systemError);
        return ZARQUET_ERROR_RECV;
      }
    } else {
      const ssize_t got = ::recv(socket_, buffer, capacity, 0);
      if (got > 0) {
        received = static_cast<std::size_t>(got);
        return 0;
      }
      if (got == 0) {
        message = "the server closed the connection";
        return ZARQUET_ERROR_RECV;
      }
      if (errno == EINTR)
        continue;
      if (errno != EAGAIN && errno != EWOULDBLOCK) {
        message = std::string("receiving failed: ") + std::strerror(errno);
        return ZARQUET_ERROR_RECV;
      }
    }
    const int waited = WaitFor(events, deadline, cancelFd, message);
    if (waited != 0)
      return waited;
  }
}

}  // namespace tarvel::zarquet
