// The transport's connection set-up over several addresses of one host: an address that does
// not answer must not use up the deadline before the next one is tried. Loopback only: a
// listener whose accept queue is full drops new connection requests, as a dead route does.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <string>
#include <vector>

#include "engines/protocol/zarquet/tls_stream.h"
#include "engines/protocol/zarquet/zarquet.h"

namespace tarvel::zarquet {
namespace {

// A loopback listener; with `silent` its accept queue is filled, so that further connection
// attempts get no answer at all.
class Listener {
 public:
  explicit Listener(bool silent) {
    socket_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (::bind(socket_, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
        ::listen(socket_, silent ? 0 : 16) != 0 ||
        ::getsockname(socket_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
      return;
    }
    port_ = ntohs(address.sin_port);
    if (!silent)
      return;
    for (int i = 0; i < 3; ++i) {
      const int filler = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
      ::connect(filler, reinterpret_cast<sockaddr*>(&address), length);
      pollfd ready = {filler, POLLOUT, 0};
      ::poll(&ready, 1, 200);  // the first ones are taken into the queue, the last one hangs
      fillers_.push_back(filler);
    }
  }
  ~Listener() {
    for (const int fd : fillers_)
      ::close(fd);
    if (socket_ >= 0)
      ::close(socket_);
  }
  Listener(const Listener&) = delete;
  Listener& operator=(const Listener&) = delete;

  uint16_t port() const { return port_; }
  SocketAddress address() const { return LoopbackAddress(port_); }

  static SocketAddress LoopbackAddress(uint16_t port) {
    SocketAddress result;
    auto* v4 = reinterpret_cast<sockaddr_in*>(&result.storage);
    v4->sin_family = AF_INET;
    v4->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    v4->sin_port = htons(port);
    result.length = sizeof(sockaddr_in);
    return result;
  }

 private:
  int socket_ = -1;
  uint16_t port_ = 0;
  std::vector<int> fillers_;
};

uint16_t PeerPort(int socket) {
  sockaddr_in peer{};
  socklen_t length = sizeof peer;
  ::getpeername(socket, reinterpret_cast<sockaddr*>(&peer), &length);
  return ntohs(peer.sin_port);
}

// A port nothing listens on: bound once and closed again.
uint16_t ClosedPort() {
  const Listener listener(false);
  return listener.port();
}

struct Attempt {
  int result = -1;
  int socket = -1;
  std::size_t winner = 99;
  std::string message;
};

Attempt ConnectTo(const std::vector<SocketAddress>& addresses, std::chrono::milliseconds bound,
                  int cancelFd = -1) {
  Attempt attempt;
  attempt.result = ConnectFirstAnswering(addresses, std::chrono::steady_clock::now() + bound,
                                         cancelFd, attempt.socket, attempt.winner, attempt.message);
  return attempt;
}

TEST(ZarquetConnectTest, AnAddressThatDoesNotAnswerGivesWayToTheNext) {
  const Listener silent(true);
  const Listener live(false);
  const uint16_t closed = ClosedPort();
  struct Row {
    const char* name;
    std::vector<SocketAddress> addresses;
    std::size_t winner;
  };
  const Row rows[] = {
      // With the whole deadline spent on the first address, this would time out.
      {"silent first", {silent.address(), live.address()}, 1},
      {"refused first", {Listener::LoopbackAddress(closed), live.address()}, 1},
      {"silent and refused first",
       {silent.address(), Listener::LoopbackAddress(closed), live.address()},
       2},
      {"live first", {live.address(), silent.address()}, 0},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    const Attempt attempt = ConnectTo(row.addresses, std::chrono::seconds(30));
    ASSERT_EQ(attempt.result, 0) << attempt.message;
    EXPECT_EQ(attempt.winner, row.winner);
    EXPECT_EQ(PeerPort(attempt.socket), live.port());
    ::close(attempt.socket);
  }
}

TEST(ZarquetConnectTest, NoAddressAnsweringEndsInAStatus) {
  const Listener silent(true);
  const Attempt refused =
      ConnectTo({Listener::LoopbackAddress(ClosedPort())}, std::chrono::seconds(30));
  EXPECT_EQ(refused.result, ZARQUET_ERROR_COULDNT_CONNECT);
  EXPECT_EQ(refused.socket, -1);

  const Attempt timedOut = ConnectTo({silent.address()}, std::chrono::milliseconds(300));
  EXPECT_EQ(timedOut.result, ZARQUET_ERROR_OPERATION_TIMEDOUT);

  int cancelPipe[2];
  ASSERT_EQ(::pipe(cancelPipe), 0);
  ASSERT_EQ(::write(cancelPipe[1], "x", 1), 1);
  const Attempt cancelled =
      ConnectTo({silent.address(), silent.address()}, std::chrono::seconds(30), cancelPipe[0]);
  EXPECT_EQ(cancelled.result, ZARQUET_ERROR_ABORTED);
  ::close(cancelPipe[0]);
  ::close(cancelPipe[1]);

  EXPECT_EQ(ConnectTo({}, std::chrono::seconds(1)).result, ZARQUET_ERROR_COULDNT_CONNECT);
}

}  // namespace
}  // namespace tarvel::zarquet
