#include "tests/support/fixture_server.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "platform/ascii_bytes.h"
#include "platform/base64.h"

extern char** environ;

namespace tarvel::testing {

namespace {

bool Run(const std::string& command) {
  return std::system(command.c_str()) == 0;
}

}  // namespace

TemporaryFolder::TemporaryFolder() {
  std::string pattern = (std::filesystem::temp_directory_path() / "tarvel-test-XXXXXX").string();
  if (::mkdtemp(pattern.data()) != nullptr) {
    path_ = pattern;
  }
}

TemporaryFolder::~TemporaryFolder() {
  if (!path_.empty()) {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
}

const TestCertificates& MakeTestCertificates() {
  static TemporaryFolder folder;
  static const TestCertificates certificates = [] {
    const std::string dir = folder.path();
    TestCertificates made{dir + "/ca.pem", dir + "/server.pem", dir + "/server.key"};
    std::ofstream(dir + "/server.ext")
        << "subjectAltName=DNS:example.com,DNS:*.example.com,DNS:example.net,DNS:*.example.net,"
           "DNS:google.com,DNS:*.google.com,"
           // the OAuth2 providers' sign-in and token hosts
           "DNS:login.microsoftonline.com,DNS:accounts.google.com,DNS:oauth2.googleapis.com,"
           "DNS:oauth.yandex.com,"
           // the web mail and social services, each domain and its subdomains
           "DNS:live.com,DNS:*.live.com,DNS:outlook.com,DNS:*.outlook.com,DNS:office.com,"
           "DNS:*.office.com,DNS:office365.com,DNS:*.office365.com,DNS:microsoftonline.com,"
           "DNS:*.microsoftonline.com,DNS:yahoo.com,DNS:*.yahoo.com,DNS:*.mail.yahoo.com,"
           "DNS:zoho.com,DNS:*.zoho.com,DNS:mail.ru,DNS:*.mail.ru,DNS:virgilio.it,"
           "DNS:*.virgilio.it,DNS:facebook.com,DNS:*.facebook.com,DNS:messenger.com,"
           "DNS:*.messenger.com,DNS:x.com,DNS:*.x.com,DNS:twitter.com,DNS:*.twitter.com,"
           "DNS:orange.fr,DNS:*.orange.fr,DNS:linkedin.com,DNS:*.linkedin.com,DNS:o2.pl,"
           "DNS:*.o2.pl,DNS:yandex.ru,DNS:*.yandex.ru,DNS:yandex.com,DNS:*.yandex.com,"
           "DNS:sfr.fr,DNS:*.sfr.fr,DNS:*.mail.google.com\n"
           "basicConstraints=CA:FALSE\nextendedKeyUsage=serverAuth\n";
    const std::string key = " -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes";
    const bool ok =
        Run("openssl req -x509" + key + " -keyout " + dir + "/ca.key -out " + made.authorityFile +
            " -days 2 -subj '/CN=Tarvel Test CA' -addext basicConstraints=critical,CA:TRUE"
            " -addext keyUsage=critical,keyCertSign,cRLSign >/dev/null 2>&1") &&
        Run("openssl req" + key + " -keyout " + made.keyFile + " -out " + dir +
            "/server.csr -subj /CN=fixture >/dev/null 2>&1") &&
        Run("openssl x509 -req -in " + dir + "/server.csr -CA " + made.authorityFile + " -CAkey " +
            dir + "/ca.key -CAcreateserial -out " + made.certificateFile + " -days 2 -extfile " +
            dir + "/server.ext >/dev/null 2>&1");
    if (!ok) {
      made = {};
    }
    return made;
  }();
  return certificates;
}

bool FixtureServer::Start(const nlohmann::json& routes) {
  const TestCertificates& certificates = MakeTestCertificates();
  if (certificates.authorityFile.empty() || folder().empty()) {
    return false;
  }
  SetRoutes(routes);
  int output[2];
  int input[2];
  if (::pipe2(output, O_CLOEXEC) != 0) {
    return false;
  }
  if (::pipe2(input, O_CLOEXEC) != 0) {
    ::close(output[0]);
    ::close(output[1]);
    return false;
  }
  const std::string script = TARVEL_FIXTURE_SERVER_SCRIPT;
  const std::string config = folder() + "/routes.json";
  const std::string record = folder() + "/requests.jsonl";
  const std::string log = folder() + "/server.log";
  std::vector<std::string> arguments = {"python3",  script,
                                        "--config", config,
                                        "--record", record,
                                        "--cert",   certificates.certificateFile,
                                        "--key",    certificates.keyFile};
  std::vector<char*> argv;
  for (std::string& argument : arguments) {
    argv.push_back(argument.data());
  }
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, input[0], 0);
  posix_spawn_file_actions_adddup2(&actions, output[1], 1);
  posix_spawn_file_actions_addopen(&actions, 2, log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
  const int spawned = posix_spawnp(&process_, "python3", &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  ::close(input[0]);
  ::close(output[1]);
  input_ = input[1];
  if (spawned != 0) {
    process_ = -1;
    ::close(output[0]);
    return false;
  }
  // Wait (bounded) for "READY http=N https=M".
  std::string line;
  pollfd ready{output[0], POLLIN, 0};
  while (line.find('\n') == std::string::npos && ::poll(&ready, 1, 20000) > 0) {
    char buffer[256];
    const ssize_t got = ::read(output[0], buffer, sizeof buffer);
    if (got <= 0) {
      break;
    }
    line.append(buffer, static_cast<std::size_t>(got));
  }
  ::close(output[0]);
  if (std::sscanf(line.c_str(), "READY http=%d https=%d", &httpPort_, &httpsPort_) != 2) {
    Stop();
    return false;
  }
  return true;
}

void FixtureServer::SetRoutes(const nlohmann::json& routes) {
  const std::string config = folder() + "/routes.json";
  const std::string temporary = config + ".new";
  std::ofstream(temporary) << nlohmann::json{{"routes", routes}}.dump();
  std::filesystem::rename(temporary, config);
}

void FixtureServer::Stop() {
  if (input_ >= 0) {
    ::close(input_);
    input_ = -1;
  }
  if (process_ > 0) {
    ::kill(process_, SIGTERM);
    int status = 0;
    ::waitpid(process_, &status, 0);
    process_ = -1;
  }
}

std::string FixtureServer::ConnectTo() const {
  return ":80:127.0.0.1:" + std::to_string(httpPort_) +
         ";:443:127.0.0.1:" + std::to_string(httpsPort_);
}

void FixtureServer::ExportEnvironment() const {
  ::setenv("TARVEL_CONNECT_TO", ConnectTo().c_str(), 1);
  ::setenv("TARVEL_CA_FILE", MakeTestCertificates().authorityFile.c_str(), 1);
}

std::vector<nlohmann::json> FixtureServer::Requests() const {
  std::vector<nlohmann::json> requests;
  std::ifstream file(folder() + "/requests.jsonl");
  std::string line;
  while (std::getline(file, line)) {
    requests.push_back(nlohmann::json::parse(line, nullptr, false));
  }
  return requests;
}

std::string FixtureServer::Header(const nlohmann::json& request, const std::string& name) {
  for (const auto& header : request.value("headers", nlohmann::json::array())) {
    const std::string headerName = header[0].get<std::string>();
    if (ascii_bytes::EqualsNoCase(headerName, name)) {
      return header[1].get<std::string>();
    }
  }
  return {};
}

std::string FixtureServer::Body(const nlohmann::json& request) {
  return DecodeBase64(request.value("body_base64", ""));
}

}  // namespace tarvel::testing
