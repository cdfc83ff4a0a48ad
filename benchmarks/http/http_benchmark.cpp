// Many small GETs to a local server: HttpSession::Request against the curl command-line tool
// doing the same sequential loop (one process, one connection reused), and against a bare
// libcurl handle, all in the same run and on the same server.
//
//   plain HTTP: a small keep-alive server in this process (so the server is not the limit);
//   HTTPS: the test fixture server with its test certificate authority.
#include <benchmark/benchmark.h>
#include <curl/curl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/http_session.h"
#include "tests/support/fixture_server.h"

namespace {

using tarvel::HttpRequest;
using tarvel::HttpSession;
using tarvel::Text;
using tarvel::testing::FixtureServer;
using tarvel::testing::TemporaryFolder;

constexpr int kCommandLineBatch = 500;

// Answers every request on every connection with the same short page, keeping connections
// open.
class KeepAliveServer {
 public:
  KeepAliveServer() {
    listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address);
    ::listen(listener_, 64);
    ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length);
    port_ = ntohs(address.sin_port);
    std::thread([this] { Accept(); }).detach();
  }
  int port() const { return port_; }

 private:
  void Accept() {
    for (;;) {
      const int connection = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
      if (connection < 0) {
        return;
      }
      std::thread([connection] { Serve(connection); }).detach();
    }
  }

  static void Serve(int connection) {
    static constexpr std::string_view kAnswer =
        "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nContent-Length: 11\r\n\r\nhello world";
    std::string pending;
    char buffer[8192];
    for (;;) {
      const ssize_t got = ::read(connection, buffer, sizeof buffer);
      if (got <= 0) {
        break;
      }
      pending.append(buffer, static_cast<std::size_t>(got));
      std::size_t end;
      while ((end = pending.find("\r\n\r\n")) != std::string::npos) {
        pending.erase(0, end + 4);
        if (::write(connection, kAnswer.data(), kAnswer.size()) < 0) {
          ::close(connection);
          return;
        }
      }
    }
    ::close(connection);
  }

  int listener_ = -1;
  int port_ = 0;
};

struct Target {
  std::string scheme;
  int port = 0;           // where the name is sent
  std::string connectTo;  // one CONNECT_TO entry for the name and port used
  std::string authorityFile;
};

Target PlainTarget() {
  static KeepAliveServer server;
  return {"http", 80, ":80:127.0.0.1:" + std::to_string(server.port()), ""};
}

Target SecureTarget() {
  static FixtureServer* server = [] {
    auto* started = new FixtureServer;  // lives for the whole run
    started->Start(
        nlohmann::json::array({{{"host", "*"}, {"path", "/ping"}, {"body", "hello world"}}}));
    return started;
  }();
  return {"https", 443, ":443:127.0.0.1:" + std::to_string(server->httpsPort()),
          tarvel::testing::MakeTestCertificates().authorityFile};
}

void UseTarget(const Target& target) {
  ::setenv("TARVEL_CONNECT_TO", target.connectTo.c_str(), 1);
  if (target.authorityFile.empty()) {
    ::unsetenv("TARVEL_CA_FILE");
  } else {
    ::setenv("TARVEL_CA_FILE", target.authorityFile.c_str(), 1);
  }
}

void HttpSessionRequest(benchmark::State& state, Target (*makeTarget)()) {
  const Target target = makeTarget();
  UseTarget(target);
  HttpSession session;
  HttpRequest request;
  request.server = u"bench.example.com";
  request.object = u"/ping";
  request.port = target.port;
  request.userAgent = u"TarvelBench/1";
  Text body;
  int status = 0;
  for (auto _ : state) {
    if (!session.Request(request, &body, &status) || status != 200) {
      state.SkipWithError("request failed");
      break;
    }
    benchmark::DoNotOptimize(body);
  }
  state.SetItemsProcessed(state.iterations());
}

std::size_t Discard(char*, std::size_t size, std::size_t count, void*) {
  return size * count;
}

void BareLibcurl(benchmark::State& state, Target (*makeTarget)()) {
  const Target target = makeTarget();
  CURL* handle = curl_easy_init();
  curl_slist* connectTo = curl_slist_append(nullptr, target.connectTo.c_str());
  const std::string url = target.scheme + "://bench.example.com/ping";
  for (auto _ : state) {
    curl_easy_setopt(handle, CURLOPT_URL, url.c_str());
    curl_easy_setopt(handle, CURLOPT_CONNECT_TO, connectTo);
    curl_easy_setopt(handle, CURLOPT_WRITEFUNCTION, &Discard);
    if (!target.authorityFile.empty()) {
      curl_easy_setopt(handle, CURLOPT_CAINFO, target.authorityFile.c_str());
    }
    if (curl_easy_perform(handle) != CURLE_OK) {
      state.SkipWithError("request failed");
      break;
    }
  }
  state.SetItemsProcessed(state.iterations());
  curl_slist_free_all(connectTo);
  curl_easy_cleanup(handle);
}

// The curl tool fetching a batch of URLs one after the other in one process.
void CurlCommandLine(benchmark::State& state, Target (*makeTarget)()) {
  const Target target = makeTarget();
  TemporaryFolder folder;
  const std::string config = folder.path() + "/batch.curlrc";
  {
    std::ofstream file(config);
    for (int i = 0; i < kCommandLineBatch; ++i) {
      file << "url = \"" << target.scheme << "://bench.example.com/ping\"\n"
           << "output = \"/dev/null\"\n";
    }
  }
  std::string command = "curl -s -q -A TarvelBench/1 --connect-to '" + target.connectTo + "'";
  if (!target.authorityFile.empty()) {
    command += " --cacert " + target.authorityFile;
  }
  command += " -K " + config;
  for (auto _ : state) {
    if (std::system(command.c_str()) != 0) {
      state.SkipWithError("curl failed");
      break;
    }
  }
  state.SetItemsProcessed(state.iterations() * kCommandLineBatch);
}

BENCHMARK_CAPTURE(HttpSessionRequest, plain_http, &PlainTarget)->MinTime(2.0)->UseRealTime();
BENCHMARK_CAPTURE(BareLibcurl, plain_http, &PlainTarget)->MinTime(2.0)->UseRealTime();
BENCHMARK_CAPTURE(CurlCommandLine, plain_http, &PlainTarget)->MinTime(2.0)->UseRealTime();
BENCHMARK_CAPTURE(HttpSessionRequest, https, &SecureTarget)->MinTime(2.0)->UseRealTime();
BENCHMARK_CAPTURE(BareLibcurl, https, &SecureTarget)->MinTime(2.0)->UseRealTime();
BENCHMARK_CAPTURE(CurlCommandLine, https, &SecureTarget)->MinTime(2.0)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
  // The client's cookie store goes to a temporary folder, not the user's.
  TemporaryFolder data;
  ::setenv("XDG_DATA_HOME", data.path().c_str(), 1);
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
