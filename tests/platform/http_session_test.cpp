#include "platform/http_session.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "platform/network_settings.h"
#include "tests/support/fixture_server.h"

extern char** environ;

namespace tarvel {

void PrintTo(const Text& text, std::ostream* out) {
  *out << '"' << text.ToUtf8() << '"';
}

namespace {

using nlohmann::json;
using testing::FixtureServer;
using testing::TemporaryFolder;

// The per-user cookie store of every test process lives in a temporary folder. A child
// process started by a test keeps its parent's.
class CookieFolderEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    if (std::getenv("TARVEL_TEST_CHILD") == nullptr) {
      folder_ = std::make_unique<TemporaryFolder>();
      ::setenv("XDG_DATA_HOME", folder_->path().c_str(), 1);
    }
  }
  void TearDown() override { folder_.reset(); }

 private:
  std::unique_ptr<TemporaryFolder> folder_;
};
const auto* const kCookieFolder =
    ::testing::AddGlobalTestEnvironment(new CookieFolderEnvironment);  // NOLINT

// Response headers of a route: a list of [name, value] pairs.
json Headers(const std::vector<std::pair<std::string, std::string>>& pairs) {
  json list = json::array();
  for (const auto& [name, value] : pairs) {
    list.push_back(json::array({name, value}));
  }
  return list;
}

struct Answer {
  bool ok = false;
  int status = 0;
  Text body;
};

class HttpSessionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (std::getenv("TARVEL_TEST_CHILD") != nullptr) {
      return;
    }
    ASSERT_TRUE(server_.Start(json::array()));
    server_.ExportEnvironment();
  }
  void TearDown() override {
    SetNetworkTimeouts(kDefaultNetworkTimeouts);
    SetExtraCertificateAuthorityFile({});
  }

  Answer Send(HttpRequest request) {
    Answer answer;
    answer.ok = session_.Request(request, &answer.body, &answer.status);
    return answer;
  }

  static HttpRequest Get(const char* host, const char* path, int port = 443) {
    HttpRequest request;
    request.server = Text::FromUtf8(host);
    request.object = Text::FromUtf8(path);
    request.port = port;
    request.userAgent = u"TarvelTest/1";
    return request;
  }

  // The requests the server got for one path.
  std::vector<json> RequestsFor(const std::string& path) const {
    std::vector<json> matching;
    for (const json& request : server_.Requests()) {
      if (request.value("path", "") == path) {
        matching.push_back(request);
      }
    }
    return matching;
  }

  FixtureServer server_;
  HttpSession session_;
};

struct AnswerCase {
  const char* name;
  json route;
  HttpRequest request;
  bool ok;
  int status;
  std::u16string body;
};

TEST_F(HttpSessionTest, RequestHandsOverTheAnswer) {
  HttpRequest limited = Get("answers.example.com", "/long");
  limited.maximumBytes = 10;
  HttpRequest plainPort = Get("answers.example.com", "/plain", 80);
  HttpRequest secureKindThree = Get("answers.example.com", "/secure");
  secureKindThree.serviceKind = ServiceKind::Http;
  HttpRequest signedIn = Get("answers.example.com", "/private");
  signedIn.userName = u"joe";
  signedIn.password = u"s3cr\u00E9t";
  HttpRequest wrongPassword = signedIn;
  wrongPassword.password = u"guess";

  const AnswerCase cases[] = {
      {"an error page is an answer",
       {{"path", "/missing"}, {"status", 404}, {"body", "gone"}},
       Get("answers.example.com", "/missing"),
       true,
       404,
       u"gone"},
      {"maximum bytes",
       {{"path", "/long"}, {"body", "0123456789ABCDEF"}},
       limited,
       true,
       200,
       u"0123456789"},
      {"gzip body arrives decoded",
       {{"path", "/zipped"}, {"body", "compressed text"}, {"gzip", true}},
       Get("answers.example.com", "/zipped"),
       true,
       200,
       u"compressed text"},
      // 0xE9 alone, then UTF-8 of e-acute: every byte becomes one unit.
      {"bytes widened one to one",
       {{"path", "/bytes"}, {"body_base64", "6cOp"}},
       Get("answers.example.com", "/bytes"),
       true,
       200,
       u"\u00E9\u00C3\u00A9"},
      {"port 80 is plain HTTP",
       {{"path", "/plain"}, {"scheme", "http"}, {"body", "plain"}},
       plainPort,
       true,
       200,
       u"plain"},
      {"port 443 with kind 3 is TLS",
       {{"path", "/secure"}, {"scheme", "https"}, {"body", "secure"}},
       secureKindThree,
       true,
       200,
       u"secure"},
      {"server authentication",
       {{"path", "/private"}, {"basic_auth", "joe:s3cr\u00E9t"}, {"body", "welcome"}},
       signedIn,
       true,
       200,
       u"welcome"},
      {"refused authentication is an answer too",
       {{"path", "/private"}, {"basic_auth", "joe:s3cr\u00E9t"}, {"body", "welcome"}},
       wrongPassword,
       true,
       401,
       u"denied"},
  };
  for (const AnswerCase& row : cases) {
    SCOPED_TRACE(row.name);
    json route = row.route;
    route["host"] = "answers.example.com";
    server_.SetRoutes(json::array({route}));
    const Answer answer = Send(row.request);
    EXPECT_EQ(answer.ok, row.ok);
    EXPECT_EQ(answer.status, row.status);
    EXPECT_EQ(answer.body, row.body);
  }
}

TEST_F(HttpSessionTest, PostSendsBodyAndHeadersAsGiven) {
  server_.SetRoutes(json::array({{{"host", "*"}, {"path", "/form"}, {"body", "ok"}}}));
  HttpRequest post = Get("forms.example.com", "/form");
  post.verb = u"POST";
  post.extraHeaders = u"Content-Type: application/x-www-form-urlencoded";
  post.body = "a=1&b=%20\xE9";
  ASSERT_TRUE(Send(post).ok);
  ASSERT_TRUE(Send(Get("forms.example.com", "/form")).ok);

  const std::vector<json> requests = RequestsFor("/form");
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[0]["method"], "POST");
  EXPECT_EQ(FixtureServer::Body(requests[0]), post.body);
  EXPECT_EQ(FixtureServer::Header(requests[0], "Content-Type"),
            "application/x-www-form-urlencoded");
  EXPECT_EQ(FixtureServer::Header(requests[0], "Expect"), "");
  EXPECT_EQ(FixtureServer::Header(requests[0], "User-Agent"), "TarvelTest/1");
  EXPECT_EQ(requests[0]["sni"], "forms.example.com");
  EXPECT_EQ(requests[1]["method"], "GET");
  EXPECT_EQ(FixtureServer::Header(requests[1], "Content-Type"), "");
}

TEST_F(HttpSessionTest, RedirectsAreFollowedHopByHop) {
  server_.SetRoutes(json::array({
      {{"host", "login.example.com"},
       {"path", "/start"},
       {"status", 302},
       {"headers",
        Headers({{"Location", "https://mail.example.net/landing"}, {"Set-Cookie", "hop=1"}})}},
      {{"host", "mail.example.net"}, {"path", "/landing"}, {"body", "arrived"}},
      {{"host", "login.example.com"},
       {"path", "/submit"},
       {"status", 302},
       {"headers", Headers({{"Location", "/done"}})}},
      {{"host", "login.example.com"}, {"path", "/done"}, {"body", "done"}},
  }));
  HttpRequest start = Get("login.example.com", "/start");
  start.userName = u"joe";
  start.password = u"pw";
  const Answer answer = Send(start);
  EXPECT_TRUE(answer.ok);
  EXPECT_EQ(answer.status, 200);
  EXPECT_EQ(answer.body, u"arrived");
  const std::vector<json> landing = RequestsFor("/landing");
  ASSERT_EQ(landing.size(), 1u);
  // Neither the first server's credentials nor its cookie go to the second one.
  EXPECT_EQ(FixtureServer::Header(landing[0], "Authorization"), "");
  EXPECT_EQ(FixtureServer::Header(landing[0], "Cookie"), "");

  HttpRequest submit = Get("login.example.com", "/submit");
  submit.verb = u"POST";
  submit.body = "x=1";
  EXPECT_EQ(Send(submit).body, u"done");
  const std::vector<json> done = RequestsFor("/done");
  ASSERT_EQ(done.size(), 1u);
  EXPECT_EQ(done[0]["method"], "GET");
  EXPECT_EQ(FixtureServer::Header(done[0], "Cookie"), "hop=1");

  // A redirect loop ends with a failure instead of running on.
  server_.SetRoutes(json::array({{{"host", "login.example.com"},
                                  {"path", "/loop"},
                                  {"status", 302},
                                  {"headers", Headers({{"Location", "/loop"}})}}}));
  const Answer loop = Send(Get("login.example.com", "/loop"));
  EXPECT_FALSE(loop.ok);
  EXPECT_EQ(loop.status, http_failure::kRedirectFailed);
  EXPECT_EQ(RequestsFor("/loop").size(),
            static_cast<std::size_t>(HttpSession::kMaximumRedirects + 1));
  server_.SetRoutes(json::array({
      {{"host", "login.example.com"},
       {"path", "/start"},
       {"status", 302},
       {"headers", Headers({{"Location", "https://mail.example.net/landing"}})}},
  }));

  Text finalUrl;
  ASSERT_TRUE(session_.FinalUrl(u"https://login.example.com/start", u"TarvelTest/1", &finalUrl));
  EXPECT_EQ(finalUrl, u"https://mail.example.net/landing");
}

// Run by CookiesLastAcrossSessionsAndProcesses in a process of its own.
TEST_F(HttpSessionTest, DISABLED_ChildSendsStoredCookies) {
  HttpSession session;
  Text body;
  int status = 0;
  EXPECT_TRUE(session.Request(Get("cookies.example.com", "/from-child"), &body, &status));
}

TEST_F(HttpSessionTest, CookiesLastAcrossSessionsAndProcesses) {
  server_.SetRoutes(json::array({
      {{"host", "cookies.example.com"},
       {"path", "/set"},
       {"headers", Headers({{"Set-Cookie", "visible=1; Max-Age=3600"},
                            {"Set-Cookie", "secret=\"a=b\"; Max-Age=3600; HttpOnly"},
                            {"Set-Cookie", "session=3"}})}},
  }));
  ASSERT_TRUE(Send(Get("cookies.example.com", "/set")).ok);
  ASSERT_TRUE(Send(Get("cookies.example.com", "/same-session")).ok);
  {
    HttpSession another;
    Text body;
    ASSERT_TRUE(another.Request(Get("cookies.example.com", "/new-session"), &body, nullptr));
  }
  {
    std::string self = "/proc/self/exe";
    std::string filter = "--gtest_filter=HttpSessionTest.DISABLED_ChildSendsStoredCookies";
    std::string alsoDisabled = "--gtest_also_run_disabled_tests";
    char* argv[] = {self.data(), filter.data(), alsoDisabled.data(), nullptr};
    ::setenv("TARVEL_TEST_CHILD", "1", 1);
    pid_t child = -1;
    const int spawned = posix_spawn(&child, self.c_str(), nullptr, nullptr, argv, environ);
    ::unsetenv("TARVEL_TEST_CHILD");
    ASSERT_EQ(spawned, 0);
    int childStatus = 0;
    ASSERT_EQ(::waitpid(child, &childStatus, 0), child);
    EXPECT_TRUE(WIFEXITED(childStatus) && WEXITSTATUS(childStatus) == 0);
  }
  for (const char* path : {"/same-session", "/new-session", "/from-child"}) {
    SCOPED_TRACE(path);
    const std::vector<json> requests = RequestsFor(path);
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(FixtureServer::Header(requests[0], "Cookie"), "visible=1; secret=\"a=b\"; session=3");
  }

  const Text site = u"https://cookies.example.com/";
  Text cookies;
  EXPECT_TRUE(session_.GetCookies(site, &cookies, CookieAccess::ScriptVisible));
  EXPECT_EQ(cookies, u"visible=1; session=3");
  EXPECT_TRUE(session_.GetCookies(site, &cookies, CookieAccess::IncludingHttpOnly));
  EXPECT_EQ(cookies, u"visible=1; secret=\"a=b\"; session=3");
  EXPECT_TRUE(session_.GetCookies(site, &cookies, CookieAccess::IncludingHttpOnly, u"secret"));
  EXPECT_EQ(cookies, u"a=b");
  EXPECT_FALSE(session_.GetCookies(site, &cookies, CookieAccess::ScriptVisible, u"secret"));

  EXPECT_TRUE(session_.DeleteCookies(site, CookieAccess::ScriptVisible));
  EXPECT_TRUE(session_.GetCookies(site, &cookies, CookieAccess::IncludingHttpOnly));
  EXPECT_EQ(cookies, u"secret=\"a=b\"");
  EXPECT_TRUE(session_.DeleteCookies(site, CookieAccess::IncludingHttpOnly));
  EXPECT_TRUE(session_.GetCookies(site, &cookies, CookieAccess::IncludingHttpOnly));
  EXPECT_EQ(cookies, u"");
  ASSERT_TRUE(Send(Get("cookies.example.com", "/after-delete")).ok);
  EXPECT_EQ(FixtureServer::Header(RequestsFor("/after-delete").at(0), "Cookie"), "");
}

TEST_F(HttpSessionTest, ProgramSetsAndExpiresCookies) {
  const Text site = u"http://program.example.com/";
  Text cookies = u"untouched";
  EXPECT_TRUE(session_.GetCookies(site, &cookies, CookieAccess::IncludingHttpOnly));
  EXPECT_EQ(cookies, u"");

  EXPECT_TRUE(session_.SetCookies(site, u"a=1;  b=\"x=y\" ;", CookieAccess::ScriptVisible));
  EXPECT_TRUE(session_.SetCookie(site, u"c=3; HttpOnly", CookieAccess::IncludingHttpOnly));
  EXPECT_FALSE(session_.SetCookie(site, u"d=4; HttpOnly", CookieAccess::ScriptVisible));
  EXPECT_TRUE(session_.GetCookies(site, &cookies, CookieAccess::IncludingHttpOnly));
  EXPECT_EQ(cookies, u"a=1; b=\"x=y\"; c=3");
  EXPECT_TRUE(session_.GetCookies(site, &cookies, CookieAccess::ScriptVisible, u"b"));
  EXPECT_EQ(cookies, u"x=y");

  EXPECT_TRUE(session_.SetCookie(site, u"a=;expires=Mon, 01-Jan-1900 00:00:00 GMT",
                                 CookieAccess::ScriptVisible));
  EXPECT_TRUE(session_.SetCookie(site, u"c=;expires=Mon, 01-Jan-1900 00:00:00 GMT",
                                 CookieAccess::IncludingHttpOnly));
  EXPECT_TRUE(session_.GetCookies(site, &cookies, CookieAccess::IncludingHttpOnly));
  EXPECT_EQ(cookies, u"b=\"x=y\"");
}

TEST_F(HttpSessionTest, MultipartBodyIsFramedExactly) {
  server_.SetRoutes(json::array(
      {{{"host", "upload.example.com"}, {"path", "/report"}, {"basic_auth", "joe:pw"}}}));
  TemporaryFolder folder;
  const std::string file = folder.path() + "/report.txt";
  std::ofstream(file, std::ios::binary) << std::string("line\r\n\0\xFF", 8);

  EXPECT_FALSE(session_.AddFormFile(u"missing", folder.path() + "/absent.txt"));
  session_.AddFormField(u"product", u"Tarvel \u00E9");
  ASSERT_TRUE(session_.AddFormFile(u"attachment", file));
  HttpRequest post = Get("upload.example.com", "/report");
  post.userName = u"joe";
  post.password = u"pw";
  post.extraHeaders = u"X-Report: 1";
  int status = 0;
  ASSERT_TRUE(session_.PostMultipart(post, MultipartEnd::Closed, nullptr, &status));
  EXPECT_EQ(status, 200);

  const std::vector<json> requests = RequestsFor("/report");
  ASSERT_FALSE(requests.empty());
  const json& last = requests.back();
  EXPECT_EQ(last["method"], "POST");
  EXPECT_EQ(FixtureServer::Header(last, "Content-Type"),
            "multipart/form-data; boundary=-----------------------------1234567890123");
  EXPECT_EQ(FixtureServer::Header(last, "Authorization"), "Basic am9lOnB3");
  EXPECT_EQ(FixtureServer::Header(last, "X-Report"), "1");
  const std::string expected =
      "-------------------------------1234567890123\r\n"
      "Content-Disposition: form-data; name=\"product\"\r\n"
      "\r\n"
      "Tarvel \xC3\xA9\r\n"
      "-------------------------------1234567890123\r\n"
      "Content-Disposition: form-data; name=\"attachment\"; filename=\"report.txt\"\r\n"
      "Content-Type: application/octet-stream\r\n"
      "\r\n" +
      std::string("line\r\n\0\xFF", 8) +
      "\r\n"
      "-------------------------------1234567890123--\r\n";
  EXPECT_EQ(FixtureServer::Body(last), expected);

  // The parts went with the request.
  ASSERT_TRUE(session_.PostMultipart(post, MultipartEnd::Open, nullptr, &status));
  EXPECT_EQ(FixtureServer::Body(RequestsFor("/report").back()), "");
}

struct DownloadCase {
  const char* name;
  json route;
  bool ok;
  int status;
  bool fileKept;
};

TEST_F(HttpSessionTest, DownloadsIntoAFileAndRemovesPartialOnes) {
  const DownloadCase cases[] = {
      {"whole file", {{"body", "0123456789"}}, true, 200, true},
      {"answer cut short",
       {{"body", "0123456789"}, {"truncate", 4}},
       false,
       http_failure::kConnectionAborted,
       false},
      {"error status", {{"status", 404}, {"body", "gone"}}, false, 404, false},
  };
  for (const DownloadCase& row : cases) {
    SCOPED_TRACE(row.name);
    json route = row.route;
    route["host"] = "updates.example.com";
    route["path"] = "/files/new.zip";
    server_.SetRoutes(json::array({route}));
    // Into a new file, and over an existing one, which only a complete download replaces.
    for (const bool existing : {false, true}) {
      SCOPED_TRACE(existing ? "over an existing file" : "new file");
      TemporaryFolder folder;
      DownloadRequest download;
      download.url = u"https://updates.example.com/files/new.zip";
      download.userAgent = u"AutoUpdate";
      download.filePath = folder.path() + "/new.zip";
      if (existing) {
        std::ofstream(download.filePath, std::ios::binary) << "previous version";
      }
      int status = 0;
      EXPECT_EQ(session_.DownloadToFile(download, &status), row.ok);
      EXPECT_EQ(status, row.status);
      std::ifstream file(download.filePath, std::ios::binary);
      EXPECT_EQ(file.is_open(), row.fileKept || existing);
      std::stringstream content;
      content << file.rdbuf();
      if (row.ok) {
        EXPECT_EQ(content.str(), "0123456789");
      } else if (existing) {
        EXPECT_EQ(content.str(), "previous version");
      }
      // No temporary file is left beside it.
      std::size_t files = 0;
      for ([[maybe_unused]] const auto& entry :
           std::filesystem::directory_iterator(folder.path())) {
        ++files;
      }
      EXPECT_EQ(files, row.fileKept || existing ? 1u : 0u);
    }
  }

  // A hook that keeps the partial file gets it where there was no file, never in place of one.
  server_.SetRoutes(json::array({{{"host", "updates.example.com"},
                                  {"path", "/files/new.zip"},
                                  {"body", "0123456789"},
                                  {"truncate", 4}}}));
  TemporaryFolder folder;
  for (const bool existing : {false, true}) {
    SCOPED_TRACE(existing ? "over an existing file" : "new file");
    DownloadRequest download;
    download.url = u"https://updates.example.com/files/new.zip";
    download.filePath = folder.path() + (existing ? "/old.zip" : "/partial.zip");
    if (existing) {
      std::ofstream(download.filePath, std::ios::binary) << "previous version";
    }
    download.callback = [](int event, const RequestEventValue& value, void*) -> std::int64_t {
      if (event == download_event::kFailed && value.flag) {
        *value.flag = false;
      }
      return 1;
    };
    int status = 0;
    EXPECT_FALSE(session_.DownloadToFile(download, &status));
    std::stringstream content;
    content << std::ifstream(download.filePath, std::ios::binary).rdbuf();
    EXPECT_EQ(content.str(), existing ? "previous version" : "0123");
  }

  DownloadRequest nowhere;
  nowhere.url = u"https://updates.example.com/files/new.zip";
  nowhere.filePath = folder.path() + "/no/such/folder/new.zip";
  int status = 0;
  EXPECT_FALSE(session_.DownloadToFile(nowhere, &status));
  EXPECT_EQ(status, http_failure::kFileNotCreated);
}

TEST_F(HttpSessionTest, GetUrlReadsOnlySuccessfulAnswersWithoutCookies) {
  server_.SetRoutes(json::array({
      {{"host", "pages.example.com"}, {"path", "/style.css"}, {"body", "body{}"}},
      {{"host", "pages.example.com"}, {"path", "/empty"}},
  }));
  ASSERT_TRUE(
      session_.SetCookie(u"https://pages.example.com/", u"k=v", CookieAccess::ScriptVisible));
  Text page;
  EXPECT_TRUE(session_.GetUrl(u"https://pages.example.com/style.css", u"", &page));
  EXPECT_EQ(page, u"body{}");
  EXPECT_EQ(FixtureServer::Header(RequestsFor("/style.css").at(0), "Cookie"), "");
  EXPECT_FALSE(session_.GetUrl(u"https://pages.example.com/missing", u"", &page));
  EXPECT_FALSE(session_.GetUrl(u"https://pages.example.com/empty", u"", &page));
}

struct TrustCase {
  const char* name;
  const char* host;
  bool trustTestAuthority;
  bool ok;
  int status;
};

TEST_F(HttpSessionTest, CertificatesAreVerified) {
  server_.SetRoutes(json::array({{{"host", "*"}, {"path", "/tls"}, {"body", "trusted"}}}));
  const std::string authority = testing::MakeTestCertificates().authorityFile;
  ::unsetenv("TARVEL_CA_FILE");
  const TrustCase cases[] = {
      {"unknown authority", "mail.example.com", false, false,
       http_failure::kCertificateAuthorityInvalid},
      {"authority given", "mail.example.com", true, true, 200},
      {"name not in the certificate", "mail.example.org", true, false,
       http_failure::kCertificateNameInvalid},
  };
  for (const TrustCase& row : cases) {
    SCOPED_TRACE(row.name);
    SetExtraCertificateAuthorityFile(row.trustTestAuthority ? authority : std::string());
    HttpSession fresh;  // no connection left over from the row before
    Answer answer;
    answer.ok = fresh.Request(Get(row.host, "/tls"), &answer.body, &answer.status);
    EXPECT_EQ(answer.ok, row.ok);
    EXPECT_EQ(answer.status, row.status);
  }
  ::setenv("TARVEL_CA_FILE", authority.c_str(), 1);
  SetExtraCertificateAuthorityFile({});
  EXPECT_TRUE(Send(Get("mail.example.com", "/tls")).ok);
}

TEST_F(HttpSessionTest, StalledServerIsAbandoned) {
  SetNetworkTimeouts({std::chrono::seconds(5), std::chrono::seconds(1)});
  for (const char* stall : {"before_headers", "after_headers"}) {
    SCOPED_TRACE(stall);
    server_.SetRoutes(json::array({{{"host", "*"},
                                    {"path", "/slow"},
                                    {"body", "0123456789"},
                                    {"stall", stall},
                                    {"stall_seconds", 20}}}));
    const Answer answer = Send(Get("slow.example.com", "/slow"));
    EXPECT_FALSE(answer.ok);
    EXPECT_EQ(answer.status, http_failure::kTimeout);
    EXPECT_EQ(answer.body, u"");
  }
}

// Credentials of the caller's own header lines and of PostMultipart go to the origin only:
// redirects to another host, port or scheme (each served by a server of its own, which records
// what it got) arrive without them.
TEST_F(HttpSessionTest, CredentialHeadersStayWithTheirOrigin) {
  FixtureServer other;
  ASSERT_TRUE(other.Start(json::array({{{"host", "*"}, {"path", "/landing"}, {"body", "there"}}})));
  const std::string origin = std::to_string(server_.httpsPort());
  const std::string originPlain = std::to_string(server_.httpPort());
  const std::string elsewhere = std::to_string(other.httpsPort());
  const std::string connectTo = "origin.example.com:443:127.0.0.1:" + origin +
                                ";origin.example.com:80:127.0.0.1:" + originPlain +
                                ";other.example.net:443:127.0.0.1:" + elsewhere +
                                ";origin.example.com:8443:127.0.0.1:" + elsewhere;
  ::setenv("TARVEL_CONNECT_TO", connectTo.c_str(), 1);
  auto redirect = [](const char* path, const char* location, int status = 302) {
    return json{{"host", "origin.example.com"},
                {"path", path},
                {"status", status},
                {"headers", Headers({{"Location", location}})}};
  };
  server_.SetRoutes(json::array({
      redirect("/to-host", "https://other.example.net/landing"),
      redirect("/to-port", "https://origin.example.com:8443/landing"),
      redirect("/to-scheme", "https://origin.example.com/landing"),
      redirect("/same", "/landing"),
      redirect("/post-to-host", "https://other.example.net/landing", 307),
      {{"host", "origin.example.com"}, {"path", "/landing"}, {"body", "here"}},
  }));

  struct Case {
    const char* name;
    const char* path;
    int port;
    bool multipart;
    bool sameOrigin;
  };
  const Case cases[] = {
      {"another host", "/to-host", 443, false, false},
      {"another port", "/to-port", 443, false, false},
      {"another scheme", "/to-scheme", 80, false, false},
      {"the same origin", "/same", 443, false, true},
      {"a multipart post to another host", "/post-to-host", 443, true, false},
  };
  for (const Case& row : cases) {
    SCOPED_TRACE(row.name);
    const std::size_t originBefore = server_.Requests().size();
    const std::size_t otherBefore = other.Requests().size();
    HttpRequest request = Get("origin.example.com", row.path, row.port);
    request.extraHeaders =
        u"Authorization: Bearer t0ken\r\nCookie: sid=1\r\nProxy-Authorization: Basic eDp5\r\n"
        u"X-Other: kept";
    int status = 0;
    if (row.multipart) {
      request.extraHeaders = u"X-Other: kept";
      request.userName = u"joe";
      request.password = u"pw";
      session_.AddFormField(u"field", u"value");
      ASSERT_TRUE(session_.PostMultipart(request, MultipartEnd::Closed, nullptr, &status));
    } else {
      ASSERT_TRUE(session_.Request(request, nullptr, &status));
    }
    EXPECT_EQ(status, 200);
    const std::vector<json> atOrigin = server_.Requests();
    const std::vector<json> atOther = other.Requests();
    ASSERT_GT(atOrigin.size(), originBefore);
    EXPECT_EQ(FixtureServer::Header(atOrigin[originBefore], "X-Other"), "kept");
    if (!row.multipart) {
      EXPECT_EQ(FixtureServer::Header(atOrigin[originBefore], "Authorization"), "Bearer t0ken");
      EXPECT_EQ(FixtureServer::Header(atOrigin[originBefore], "Cookie"), "sid=1");
    }
    // The landing request: at the origin's server for the same origin and another scheme
    // (both lead to the origin's server), else at the other one.
    const bool landsAtOrigin = row.sameOrigin || std::string(row.path) == "/to-scheme";
    const std::vector<json>& landingServer = landsAtOrigin ? atOrigin : atOther;
    ASSERT_EQ(landingServer.size(), (landsAtOrigin ? originBefore + 1 : otherBefore) + 1);
    const json& landing = landingServer.back();
    EXPECT_EQ(landing.value("path", ""), "/landing");
    EXPECT_EQ(FixtureServer::Header(landing, "X-Other"), "kept");
    for (const char* secret : {"Authorization", "Cookie", "Proxy-Authorization"}) {
      SCOPED_TRACE(secret);
      EXPECT_EQ(FixtureServer::Header(landing, secret).empty(), !row.sameOrigin);
    }
  }

  // PostMultipart signs in like any request: only when the server asks, and with its answer.
  server_.SetRoutes(json::array(
      {{{"host", "origin.example.com"}, {"path", "/upload"}, {"basic_auth", "joe:pw"}}}));
  const std::size_t before = server_.Requests().size();
  HttpRequest upload = Get("origin.example.com", "/upload");
  upload.userName = u"joe";
  upload.password = u"pw";
  session_.AddFormField(u"field", u"value");
  int status = 0;
  ASSERT_TRUE(session_.PostMultipart(upload, MultipartEnd::Closed, nullptr, &status));
  EXPECT_EQ(status, 200);
  const std::vector<json> uploads = server_.Requests();
  ASSERT_EQ(uploads.size(), before + 2);
  EXPECT_EQ(FixtureServer::Header(uploads[before], "Authorization"), "");
  EXPECT_EQ(FixtureServer::Header(uploads[before + 1], "Authorization"), "Basic am9lOnB3");
}

TEST_F(HttpSessionTest, AnswersLongerThanTheCallersLimitFail) {
  server_.SetRoutes(json::array({{{"host", "*"}, {"path", "/big"}, {"body", "0123456789ABCDEF"}}}));
  HttpRequest limited = Get("limits.example.com", "/big");
  limited.largestBody = 10;
  const Answer refused = Send(limited);
  EXPECT_FALSE(refused.ok);
  EXPECT_EQ(refused.status, http_failure::kInvalidServerResponse);
  EXPECT_EQ(refused.body, u"");

  limited.largestBody = 16;
  EXPECT_EQ(Send(limited).body, u"0123456789ABCDEF");
  // A maximum still cuts the answer short instead of failing it.
  limited.largestBody = 10;
  limited.maximumBytes = 4;
  const Answer cut = Send(limited);
  EXPECT_TRUE(cut.ok);
  EXPECT_EQ(cut.body, u"0123");
}

// A server that answers, but too slowly to ever finish: a byte every half second keeps the
// stall time-out from firing.
json TricklingRoute(const char* path) {
  return {{"host", "*"}, {"path", path}, {"body", std::string(400, 'x')}, {"trickle_seconds", 0.5}};
}

TEST_F(HttpSessionTest, EveryRequestHasATotalDeadline) {
  server_.SetRoutes(json::array({TricklingRoute("/trickle")}));
  const auto started = std::chrono::steady_clock::now();
  // The default total, and the caller's own time-out as the total of its request.
  SetNetworkTimeouts({std::chrono::seconds(5), std::chrono::seconds(2), std::chrono::seconds(3)});
  const Answer byDefault = Send(Get("slow.example.com", "/trickle"));
  EXPECT_FALSE(byDefault.ok);
  EXPECT_EQ(byDefault.status, http_failure::kTimeout);

  SetNetworkTimeouts(kDefaultNetworkTimeouts);
  HttpRequest own = Get("slow.example.com", "/trickle");
  own.timeoutMilliseconds = 2000;
  const Answer byCaller = Send(own);
  EXPECT_FALSE(byCaller.ok);
  EXPECT_EQ(byCaller.status, http_failure::kTimeout);
  // Far less than the 200 seconds the answers would take.
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(60));
}

// Requests of the recorded server for a path, waited for up to ten seconds.
bool WaitForRequest(const FixtureServer& server, const std::string& path) {
  for (int attempt = 0; attempt < 200; ++attempt) {
    for (const json& request : server.Requests()) {
      if (request.value("path", "") == path) {
        return true;
      }
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return false;
}

TEST_F(HttpSessionTest, StopSignalEndsARunningRequest) {
  json silent = {{"host", "*"}, {"path", "/silent"}, {"stall", "before_headers"}};
  server_.SetRoutes(json::array({TricklingRoute("/trickle"), silent}));
  for (const char* path : {"/trickle", "/silent"}) {
    SCOPED_TRACE(path);
    std::atomic<bool> stop{false};
    HttpSession session;
    session.SetStopSignal(&stop);
    std::thread stopper([&] {
      WaitForRequest(server_, path);
      stop.store(true);
    });
    const auto started = std::chrono::steady_clock::now();
    Text body;
    int status = 0;
    EXPECT_FALSE(session.Request(Get("slow.example.com", path), &body, &status));
    const auto took = std::chrono::steady_clock::now() - started;
    stopper.join();
    EXPECT_EQ(status, http_failure::kCancelled);
    // Well before the server (200 or 60 seconds) or any time-out (60 s stall, 3 min total).
    EXPECT_LT(took, std::chrono::seconds(30));

    // While the flag stays set, a request does not even start.
    const std::size_t before = server_.Requests().size();
    EXPECT_FALSE(session.Request(Get("slow.example.com", "/trickle"), &body, &status));
    EXPECT_EQ(status, http_failure::kCancelled);
    EXPECT_EQ(server_.Requests().size(), before);
  }
}

// A loopback listener that never accepts, with its queue filled: further connection attempts
// get no answer at all, as with an address whose route is dead.
class SilentListener {
 public:
  SilentListener(const char* address, int port) {
    listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in where{};
    where.sin_family = AF_INET;
    where.sin_port = htons(static_cast<std::uint16_t>(port));
    ::inet_pton(AF_INET, address, &where.sin_addr);
    bound_ = ::bind(listener_, reinterpret_cast<sockaddr*>(&where), sizeof where) == 0 &&
             ::listen(listener_, 0) == 0;
    for (int filler = 0; bound_ && filler < 4; ++filler) {
      const int client = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
      ::connect(client, reinterpret_cast<sockaddr*>(&where), sizeof where);
      fillers_.push_back(client);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
  }
  ~SilentListener() {
    for (const int client : fillers_) {
      ::close(client);
    }
    ::close(listener_);
  }
  SilentListener(const SilentListener&) = delete;
  SilentListener& operator=(const SilentListener&) = delete;
  bool bound() const { return bound_; }

 private:
  int listener_ = -1;
  bool bound_ = false;
  std::vector<int> fillers_;
};

TEST_F(HttpSessionTest, ConnectingMovesOnFromAnAddressThatDoesNotAnswer) {
  server_.SetRoutes(json::array({{{"host", "*"}, {"path", "/two"}, {"body", "second address"}}}));
  const int port = server_.httpsPort();
  SilentListener dead("127.0.0.2", port);
  ASSERT_TRUE(dead.bound());
  ::unsetenv("TARVEL_CONNECT_TO");
  const std::string both = "dual.example.com:" + std::to_string(port) + ":127.0.0.2,127.0.0.1";
  ::setenv("TARVEL_RESOLVE", both.c_str(), 1);
  SetNetworkTimeouts({std::chrono::seconds(6), std::chrono::seconds(60)});

  // The caller allows a whole minute; the dead address still gets only a share of the
  // connect time-out before the next one is tried.
  HttpRequest request = Get("dual.example.com", "/two", port);
  request.serviceKind = ServiceKind::Https;
  request.timeoutMilliseconds = 60'000;
  const auto started = std::chrono::steady_clock::now();
  const Answer answer = Send(request);
  const auto took = std::chrono::steady_clock::now() - started;
  EXPECT_TRUE(answer.ok);
  EXPECT_EQ(answer.body, u"second address");
  EXPECT_LT(took, std::chrono::seconds(25));

  // Only the dead address: the stop request ends the attempt to connect too.
  const std::string deadOnly = "dual.example.com:" + std::to_string(port) + ":127.0.0.2";
  ::setenv("TARVEL_RESOLVE", deadOnly.c_str(), 1);
  std::atomic<bool> stop{false};
  HttpSession session;
  session.SetStopSignal(&stop);
  std::thread stopper([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    stop.store(true);
  });
  Text body;
  int status = 0;
  const auto stopStarted = std::chrono::steady_clock::now();
  EXPECT_FALSE(session.Request(request, &body, &status));
  stopper.join();
  EXPECT_EQ(status, http_failure::kCancelled);
  EXPECT_LT(std::chrono::steady_clock::now() - stopStarted, std::chrono::seconds(5));
  ::unsetenv("TARVEL_RESOLVE");
}

struct RecordedEvents {
  std::vector<std::pair<int, std::string>> events;
  int abortAt = -1;
};

std::int64_t RecordEvent(int event, const RequestEventValue& value, void* context) {
  auto& recorded = *static_cast<RecordedEvents*>(context);
  recorded.events.emplace_back(event,
                               value.text ? value.text->ToUtf8() : std::to_string(value.number));
  return event == recorded.abortAt ? 0 : 1;
}

TEST_F(HttpSessionTest, CallbackSeesHeadersAndProgressAndCanAbort) {
  server_.SetRoutes(json::array({{{"host", "*"},
                                  {"path", "/events"},
                                  {"headers", Headers({{"Set-Cookie", "e=1; Max-Age=60"}})},
                                  {"body", "12345"}}}));
  RecordedEvents recorded;
  HttpRequest request = Get("events.example.com", "/events");
  request.callback = &RecordEvent;
  request.callbackContext = &recorded;
  ASSERT_TRUE(Send(request).ok);
  const std::vector<std::pair<int, std::string>> expected = {
      {request_event::kSendCookies, "/events"},
      {request_event::kFollowRedirects, "/events"},
      {request_event::kBeforeSend, "0"},
      {request_event::kContentLength, "5"},
      {request_event::kContentLengthText, "5"},
      {request_event::kSetCookieHeader, "e=1; Max-Age=60"},
      {request_event::kBytesRead, "5"},
      {request_event::kReadFinished, "0"},
  };
  EXPECT_EQ(recorded.events, expected);

  // Answering 0 to a read stops reading; what was read is the answer.
  RecordedEvents stopping;
  stopping.abortAt = request_event::kBytesRead;
  request.callbackContext = &stopping;
  EXPECT_TRUE(Send(request).ok);

  RecordedEvents aborting;
  aborting.abortAt = request_event::kContentLength;
  request.callbackContext = &aborting;
  const Answer answer = Send(request);
  EXPECT_FALSE(answer.ok);
  EXPECT_EQ(answer.status, http_failure::kCancelled);
}

}  // namespace
}  // namespace tarvel
