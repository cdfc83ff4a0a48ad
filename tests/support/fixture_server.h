#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace tarvel::testing {

// Paths of the test certificate authority and of a server certificate it issued for
// example.com, example.net, google.com and their subdomains. Made once per process with the openssl
// command, in a temporary folder.
struct TestCertificates {
  std::string authorityFile;
  std::string certificateFile;
  std::string keyFile;
};
const TestCertificates& MakeTestCertificates();

// A fresh temporary folder, removed when the object goes.
class TemporaryFolder {
 public:
  TemporaryFolder();
  ~TemporaryFolder();
  TemporaryFolder(const TemporaryFolder&) = delete;
  TemporaryFolder& operator=(const TemporaryFolder&) = delete;
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

// The local HTTP and HTTPS server of tests/support/fixture_server.py, with canned answers per
// host and path (see the script for the route fields). It listens on ephemeral loopback ports
// and records every request it gets.
class FixtureServer {
 public:
  FixtureServer() = default;
  ~FixtureServer() { Stop(); }
  FixtureServer(const FixtureServer&) = delete;
  FixtureServer& operator=(const FixtureServer&) = delete;

  // Starts the server with the given routes (a JSON array). False when it did not come up.
  bool Start(const nlohmann::json& routes);
  // Replaces the routes; the server reads them again on its next request.
  void SetRoutes(const nlohmann::json& routes);
  void Stop();

  int httpPort() const { return httpPort_; }
  int httpsPort() const { return httpsPort_; }
  // CONNECT_TO entries sending every host's port 80 and 443 here.
  std::string ConnectTo() const;
  // Sets TARVEL_CONNECT_TO and TARVEL_CA_FILE for the client under test.
  void ExportEnvironment() const;

  // The requests received so far, oldest first.
  std::vector<nlohmann::json> Requests() const;
  // Header value of a recorded request ("" when absent); the name is matched without case.
  static std::string Header(const nlohmann::json& request, const std::string& name);
  // The body of a recorded request.
  static std::string Body(const nlohmann::json& request);

  const std::string& folder() const { return folder_.path(); }

 private:
  TemporaryFolder folder_;
  pid_t process_ = -1;
  int input_ = -1;
  int httpPort_ = 0;
  int httpsPort_ = 0;
};

}  // namespace tarvel::testing
