// The Orange.fr and Virgilio engines against one local server playing both services under
// their real host names, with the cookies a sign-in left in the HTTP client's store.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "accounts/account_type.h"
#include "accounts/main_thread_relay.h"
#include "accounts/protected_text.h"
#include "accounts/registry_store.h"
#include "accounts/settings_store.h"
#include "engines/web/orange_engine.h"
#include "engines/web/virgilio_engine.h"
#include "platform/base64.h"
#include "platform/cookie_store.h"
#include "tests/engines/web/html_page_services.h"
#include "tests/support/fixture_server.h"
#include "tests/support/mail_records.h"
#include "tests/support/temp_folder.h"

extern char** environ;

namespace tarvel {
namespace {

using nlohmann::json;
using namespace html_fixture;
using testing::FixtureServer;
using Record = testing::MailRecord;

const AccountTypeInfo& TypeOf(EngineKind kind) {
  for (const AccountTypeInfo& type : kAccountTypes) {
    if (type.engine == kind)
      return type;
  }
  return kAccountTypes[0];
}

// A header of a recorded request; empty when absent.
std::string Header(const json& request, const std::string& name) {
  for (const json& pair : request.value("headers", json::array())) {
    if (pair.size() == 2 && pair[0].get<std::string>() == name)
      return pair[1].get<std::string>();
  }
  return {};
}

struct Case {
  std::string name;
  json routes;
  CheckStatus status;
  std::vector<Record> records;
};

class HtmlPageServerTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    folder_ = std::make_unique<testing::TempFolder>();
    ::setenv("XDG_DATA_HOME", folder_->file("data").c_str(), 1);
    ::setenv("XDG_CONFIG_HOME", folder_->file("config").c_str(), 1);
    server_ = std::make_unique<FixtureServer>();
    ASSERT_TRUE(server_->Start(json::array()));
    server_->ExportEnvironment();
  }
  static void TearDownTestSuite() {
    server_.reset();
    folder_.reset();
  }

  void SetUp() override {
    ASSERT_TRUE(server_);
    for (const char* root : {"http://mobile.messagerie.orange.fr/", "https://mail.virgilio.it/"})
      CookieStore::Shared().Remove(*CookieUrl::Parse(root), CookieAccess::IncludingHttpOnly);
    server_->SetRoutes(json::array());
    seen_ = server_->Requests().size();
  }

  std::vector<json> NewRequests() {
    std::vector<json> all = server_->Requests();
    std::vector<json> fresh(all.begin() + static_cast<std::ptrdiff_t>(seen_), all.end());
    seen_ = all.size();
    return fresh;
  }

  static void PutCookie(const std::string& url, const std::string& setCookie) {
    ASSERT_TRUE(CookieStore::Shared().Store(
        *CookieUrl::Parse(url), setCookie, CookieOrigin::Program, CookieAccess::IncludingHttpOnly));
  }

  static std::unique_ptr<testing::TempFolder> folder_;
  static std::unique_ptr<FixtureServer> server_;
  std::size_t seen_ = 0;
};

std::unique_ptr<testing::TempFolder> HtmlPageServerTest::folder_;
std::unique_ptr<FixtureServer> HtmlPageServerTest::server_;

// --- Orange.fr ---------------------------------------------------------------------------

TEST_F(HtmlPageServerTest, OrangePages) {
  // The list path carries a tick: the route matches it without the query.
  const auto list = [](const std::string& body) {
    return json::array({Route(kOrangeHost, kOrangeListPath, body, {{"scheme", "http"}})});
  };
  const std::vector<Case> cases = {
      {"the inbox list, unread entries only, in the page's order",
       list(kOrangeList),
       CheckStatus::Success,
       {{"Zo\xc3\xa9 Martin", "R\xc3\xa9union & caf\xc3\xa9", "09:41"},
        {"Alain", "Factures", "hier"}}},
      {"an empty inbox", list("<div class=\"ws_emptyFolder\"></div>"), CheckStatus::Success, {}},
      {"a page without the list", list("<html>maintenance</html>"), CheckStatus::Failure, {}},
      {"the classic sign-in form",
       list("<form action=\"https://login.orange.fr/auth_user2/bin/auth_user.cgi\">"),
       CheckStatus::LoginNeeded,
       {}},
      {"the mobile sign-in form",
       list("<a href=\"https://id.orange.fr/authM/bin/omlForm.cgi?action=valider\">"),
       CheckStatus::LoginNeeded,
       {}},
      {"the single sign-on form",
       list("<form action=\"https://sso.orange.fr/authM/x\">"),
       CheckStatus::LoginNeeded,
       {}},
      {"a page not found", json::array(), CheckStatus::Failure, {}},
  };
  for (const Case& page : cases) {
    SCOPED_TRACE(page.name);
    server_->SetRoutes(page.routes);
    OrangeEngine engine(TypeOf(EngineKind::OrangeFr));
    EXPECT_EQ(engine.Check(), page.status) << engine.lastFailure.ToUtf8();
    std::vector<Record> records = testing::InboxRecords(engine);
    EXPECT_EQ(records, page.records);
  }
}

TEST_F(HtmlPageServerTest, OrangeSendsTheSignInCookiesButNotTheOldMailSession) {
  PutCookie("http://mobile.messagerie.orange.fr/", "JSESSIONID=old; path=/; HttpOnly");
  PutCookie("http://mobile.messagerie.orange.fr/", "JSESSIONID_OPTI=old2; path=/");
  PutCookie("https://orange.fr/", "wassup=signed-in; domain=orange.fr; path=/");
  server_->SetRoutes(
      json::array({Route(kOrangeHost, kOrangeListPath, kOrangeList, {{"scheme", "http"}})}));
  OrangeEngine engine(TypeOf(EngineKind::OrangeFr));
  ASSERT_EQ(engine.Check(), CheckStatus::Success) << engine.lastFailure.ToUtf8();
  const std::vector<json> requests = NewRequests();
  ASSERT_EQ(requests.size(), 1u);
  const std::string path = requests[0].value("path", "");
  EXPECT_EQ(path.rfind("/webappmail/waml/mailList.php?FOLDER=SF_INBOX&folderName=Re%C3%A7us&"
                       "START=0&COUNT=20&waml_context=true&MCO=OFR&_=",
                       0),
            0u)
      << path;
  const std::string cookies = Header(requests[0], "Cookie");
  EXPECT_NE(cookies.find("wassup=signed-in"), std::string::npos) << cookies;
  EXPECT_EQ(cookies.find("JSESSIONID"), std::string::npos) << cookies;
  EXPECT_NE(Header(requests[0], "User-Agent").find("iPhone OS 8_0"), std::string::npos);
}

// --- Virgilio ----------------------------------------------------------------------------

const std::vector<Record> kVirgilioRecords = {
    {"Anna Rossi", "Cena di venerd&igrave;", "10/12/2026"},
    {"Tom & Jerry", "Biglietti", "08/12/2026"},
};

TEST_F(HtmlPageServerTest, VirgilioPages) {
  const auto inbox = [](const std::string& body) {
    return json::array({Route(kVirgilioHost, kVirgilioInbox, body, {{"scheme", "http"}})});
  };
  const std::vector<Case> cases = {
      {"the inbox, unread entries only", inbox(kVirgilioInboxPage), CheckStatus::Success,
       kVirgilioRecords},
      {"an inbox without unread mail",
       inbox("<title>Virgilio Mail - In arrivo</title>" +
             VirgilioEntry(false, "Letto", "Vecchio", "09/12/2026")),
       CheckStatus::Success,
       {}},
      {"a page that is not the inbox", inbox("<title>Errore</title>"), CheckStatus::Failure, {}},
      {"the sign-in page without stored credentials",
       inbox(kVirgilioLoginPage),
       CheckStatus::LoginNeeded,
       {}},
  };
  for (const Case& page : cases) {
    SCOPED_TRACE(page.name);
    server_->SetRoutes(page.routes);
    VirgilioEngine engine(TypeOf(EngineKind::Virgilio));
    EXPECT_EQ(engine.Check(), page.status) << engine.lastFailure.ToUtf8();
    EXPECT_EQ(testing::InboxRecords(engine), page.records);
  }
}

// The lapsed session: the form is posted with the stored credentials over TLS, and the
// inbox read again carries the session the answer set.
TEST_F(HtmlPageServerTest, VirgilioSignsInAgainWithTheStoredCredentials) {
  server_->SetRoutes(json::array({
      Route(kVirgilioHost, kVirgilioLoginPath, "<html>ok</html>",
            {{"method", "POST"},
             {"scheme", "https"},
             {"headers", json::array({json::array({"Set-Cookie", "wmm=s1; path=/"})})}}),
      Route(kVirgilioHost, kVirgilioInbox, kVirgilioInboxPage,
            {{"scheme", "http"}, {"cookie", "wmm=s1"}}),
      Route(kVirgilioHost, kVirgilioInbox, kVirgilioLoginPage, {{"scheme", "http"}}),
  }));
  VirgilioEngine engine(TypeOf(EngineKind::Virgilio));
  engine.SetCredentials({Text(u"anna@virgilio.it"), Text(u"s3cret")});
  ASSERT_EQ(engine.Check(), CheckStatus::Success) << engine.lastFailure.ToUtf8();
  EXPECT_EQ(testing::InboxRecords(engine), kVirgilioRecords);
  EXPECT_EQ(engine.failedLogins(), 0);
  const std::vector<json> requests = NewRequests();
  ASSERT_EQ(requests.size(), 3u);
  EXPECT_EQ(requests[1].value("method", ""), "POST");
  const std::string body = DecodeBase64(requests[1].value("body_base64", ""));
  EXPECT_NE(body.find("name=\"user\"\r\n\r\nanna@virgilio.it\r\n"), std::string::npos) << body;
  EXPECT_NE(body.find("name=\"pass\"\r\n\r\ns3cret\r\n"), std::string::npos) << body;
  EXPECT_NE(body.find("name=\"javax.faces.ViewState\"\r\n\r\nj_id3:j_id4\r\n"), std::string::npos);
  EXPECT_EQ(Header(requests[1], "Content-Type"), "multipart/form-data; boundary=----1234567890");
}

// A refused sign-in fails the check while the credentials are kept; after the third failure
// in a row the next check erases them and asks for the login window.
TEST_F(HtmlPageServerTest, VirgilioErasesTheCredentialsAfterThreeRefusedSignIns) {
  server_->SetRoutes(json::array({
      Route(kVirgilioHost, kVirgilioLoginPath, "<html>no</html>", {{"method", "POST"}}),
      Route(kVirgilioHost, kVirgilioInbox, kVirgilioLoginPage, {{"scheme", "http"}}),
  }));
  int erased = 0;
  VirgilioEngine engine(TypeOf(EngineKind::Virgilio), [&erased] { ++erased; });
  engine.SetCredentials({Text(u"anna@virgilio.it"), Text(u"wrong")});
  for (int check = 1; check <= 3; ++check) {
    SCOPED_TRACE(check);
    EXPECT_EQ(engine.Check(), CheckStatus::Failure);
    EXPECT_EQ(engine.failedLogins(), check);
  }
  EXPECT_EQ(erased, 0);
  NewRequests();
  EXPECT_EQ(engine.Check(), CheckStatus::LoginNeeded);
  EXPECT_EQ(erased, 1);
  EXPECT_FALSE(engine.credentials().complete());
  for (const json& request : NewRequests())
    EXPECT_NE(request.value("method", ""), "POST");
}

// The program's engine erases the stored credentials through the main thread: its checks
// run on a thread of their own and queue the settings write; it happens when the main thread
// runs the task, never on the checking thread. Without a connected main thread (the
// command-line companion) the checking thread erases them itself.
TEST_F(HtmlPageServerTest, VirgilioErasesTheStoredCredentialsOnTheMainThread) {
  server_->SetRoutes(json::array({
      Route(kVirgilioHost, kVirgilioLoginPath, "<html>no</html>", {{"method", "POST"}}),
      Route(kVirgilioHost, kVirgilioInbox, kVirgilioLoginPage, {{"scheme", "http"}}),
  }));
  for (const bool connected : {true, false}) {
    SCOPED_TRACE(connected ? "a main thread connected" : "no main thread");
    RegistryStore registry(folder_->file(connected ? "relay.reg" : "direct.reg"));
    SettingsStore store;
    ASSERT_TRUE(store.open(SettingsMode::Registry, &registry, kSettingsKeyPath));
    ASSERT_TRUE(ProtectText(store, u"VirgilioEmail", Text(u"anna@virgilio.it")));
    ASSERT_TRUE(ProtectText(store, u"VirgilioPassword", Text(u"wrong")));
    const auto stored = [&store] {
      return UnprotectText(store, u"VirgilioEmail", u"").ToUtf8() + "/" +
             UnprotectText(store, u"VirgilioPassword", u"").ToUtf8();
    };

    MainThreadRelay relay;
    std::mutex queueMutex;
    std::vector<MainThreadRelay::Task> queued;
    if (connected) {
      relay.ConnectTasks([&](MainThreadRelay::Task task) {
        const std::lock_guard lock(queueMutex);
        queued.push_back(std::move(task));
      });
    }
    std::unique_ptr<MailEngine> engine =
        CreateVirgilioEngine(TypeOf(EngineKind::Virgilio), &store, &relay);
    std::vector<CheckStatus> statuses;
    std::thread checks([&] {
      for (int check = 0; check < 4; ++check) {
        engine->mails.clear();
        statuses.push_back(engine->Check());
      }
    });
    checks.join();
    const std::vector<CheckStatus> expected = {CheckStatus::Failure, CheckStatus::Failure,
                                               CheckStatus::Failure, CheckStatus::LoginNeeded};
    EXPECT_EQ(statuses, expected);

    if (connected) {
      // Queued, not yet written.
      EXPECT_EQ(stored(), "anna@virgilio.it/wrong");
      std::vector<MainThreadRelay::Task> tasks;
      {
        const std::lock_guard lock(queueMutex);
        tasks.swap(queued);
      }
      ASSERT_EQ(tasks.size(), 1u);
      for (MainThreadRelay::Task& task : tasks)
        task();
    }
    EXPECT_EQ(stored(), "/");
    // The program reading its settings again finds nothing to sign in with.
    std::unique_ptr<MailEngine> fresh =
        CreateVirgilioEngine(TypeOf(EngineKind::Virgilio), &store, &relay);
    EXPECT_FALSE(static_cast<VirgilioEngine&>(*fresh).credentials().complete());
  }
}

// --- tarvelctl ---------------------------------------------------------------------------

struct Outcome {
  int exitCode = -1;
  std::string out;
};

Outcome RunTarvelctl(const testing::TempFolder& folder, std::vector<std::string> arguments) {
  arguments.insert(arguments.begin(), TARVELCTL_PATH);
  std::vector<char*> argv;
  for (std::string& argument : arguments)
    argv.push_back(argument.data());
  argv.push_back(nullptr);
  const std::string outPath = folder.file("tarvelctl.out");
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                   0600);
  pid_t child = -1;
  Outcome outcome;
  if (posix_spawn(&child, argv[0], &actions, nullptr, argv.data(), environ) == 0) {
    int status = 0;
    if (::waitpid(child, &status, 0) == child && WIFEXITED(status))
      outcome.exitCode = WEXITSTATUS(status);
  }
  posix_spawn_file_actions_destroy(&actions);
  outcome.out = testing::ReadFileContent(outPath);
  return outcome;
}

// The program's own check: Orange.fr with the sign-in cookie, Virgilio signing in again with
// the credentials the login window stored protected in the settings.
TEST_F(HtmlPageServerTest, TarvelctlChecksOrangeAndVirgilio) {
  PutCookie("https://orange.fr/", "wassup=signed-in; domain=orange.fr; path=/");
  {
    RegistryStore registry(RegistryStore::DefaultPath());
    SettingsStore store;
    ASSERT_TRUE(store.open(SettingsMode::Registry, &registry, kSettingsKeyPath));
    ASSERT_TRUE(ProtectText(store, u"VirgilioEmail", Text(u"anna@virgilio.it")));
    ASSERT_TRUE(ProtectText(store, u"VirgilioPassword", Text(u"s3cret")));
  }
  ASSERT_EQ(RunTarvelctl(*folder_, {"settings", "set", "Flags", "0x25010"}).exitCode, 0);
  server_->SetRoutes(SignedInRoutes("s3cret"));
  const Outcome check = RunTarvelctl(*folder_, {"check", "--json"});
  EXPECT_EQ(check.exitCode, 0) << check.out;
  const json report = json::parse(check.out, nullptr, false);
  ASSERT_TRUE(report.is_object()) << check.out;
  std::size_t seen = 0;
  for (const json& row : report["accounts"]) {
    const std::string name = row.value("name", "");
    if (name != "OrangeFr" && name != "Virgilio")
      continue;
    ++seen;
    EXPECT_EQ(row.value("status", -1), 0) << row.dump();
    EXPECT_EQ(row.value("unread", 0u), 2u) << row.dump();
  }
  EXPECT_EQ(seen, 2u) << check.out;
}

}  // namespace
}  // namespace tarvel
