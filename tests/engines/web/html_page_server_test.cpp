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
#include <string>
#include <vector>

#include "accounts/account_type.h"
#include "accounts/protected_text.h"
#include "accounts/registry_store.h"
#include "accounts/settings_store.h"
#include "engines/web/orange_engine.h"
#include "engines/web/virgilio_engine.h"
#include "platform/base64.h"
#include "platform/cookie_store.h"
#include "tests/support/fixture_server.h"
#include "tests/support/mail_records.h"
#include "tests/support/temp_folder.h"

extern char** environ;

namespace tarvel {
namespace {

using nlohmann::json;
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

json Route(const std::string& host, const std::string& path, const std::string& body,
           json extra = json::object()) {
  json route = {
      {"host", host}, {"path", path}, {"status", 200}, {"body_base64", EncodeBase64(body)}};
  route.update(extra);
  return route;
}

constexpr char kOrangeHost[] = "mobile.messagerie.orange.fr";
constexpr char kOrangeListPath[] = "/webappmail/waml/mailList.php";
constexpr char kVirgilioHost[] = "mail.virgilio.it";
constexpr char kVirgilioInbox[] = "/m/wmm/folder/INBOX/1?refresh=TRUE";
constexpr char kVirgilioLoginPath[] = "/m/wmm/login.jsf;jsessionid=AB12";

std::string OrangeEntry(bool unread, const std::string& sender, const std::string& subject,
                        const std::string& date) {
  return std::string("<li class=\"navitem") + (unread ? " ws_navItemUnread\"" : "\"") +
         "><a><span class=\"ws_listSender\">" + sender + "</span><span class=\"ws_listSubject\">" +
         subject + "</span><span class=\"ws_listDate\">" + date + "</span></a></li>";
}

const std::string kOrangeList =
    "<html><body><ul class=\"navlist\">" +
    OrangeEntry(true, "Zo\xc3\xa9 Martin", "R\xc3\xa9union &amp; caf\xc3\xa9", "09:41") +
    OrangeEntry(false, "Read", "Old", "08:00") + OrangeEntry(true, "Alain", "Factures", "hier") +
    "<li class=\"navitem ws_navItemUnread\"><span class=\"ws_listSender\">No subject</span></li>" +
    "</ul></body></html>";

// The mobile inbox as Virgilio renders it: a bold sender marks an unread entry.
std::string VirgilioEntry(bool unread, const std::string& from, const std::string& subject,
                          const std::string& date) {
  const std::string sender =
      unread ? "<b>&quot;" + from + "&quot; &lt;x@virgilio.it&gt;</b>" : "&quot;" + from + "&quot;";
  return "<div class=\"item-dxNoT\"><div class=\"row_mail_from\"><b>Da:</b>&nbsp;" + sender +
         "</div><div class=\"row_mail_element\"><b><a href=\"/m/wmm/read/1\">" + subject +
         "</a></b></div><div class=\"row_mail_date\">" + date +
         " - 09:30</div></div><div class=\"b\"></div>";
}

const std::string kVirgilioInboxPage =
    "<html><head><title>Virgilio Mail - In arrivo</title></head><body>" +
    VirgilioEntry(true, "Anna Rossi", "Cena di venerd&igrave;", "10/12/2026") +
    VirgilioEntry(false, "Letto", "Vecchio", "09/12/2026") +
    VirgilioEntry(true, "Tom &amp; Jerry", "Biglietti", "08/12/2026") + "</body></html>";

const std::string kVirgilioLoginPage =
    std::string("<html><head><title>Virgilio Mail - Login</title></head><body>") +
    "<form id=\"f\" method=\"post\" action=\"" + kVirgilioLoginPath +
    "\" enctype=\"multipart/form-data\"><input name=\"user\"/><input name=\"pass\"/>"
    "<input type=\"hidden\" name=\"javax.faces.ViewState\" id=\"javax.faces.ViewState\" "
    "value=\"j_id3:j_id4\" /></form></body></html>";

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
  server_->SetRoutes(json::array({
      Route(kOrangeHost, kOrangeListPath, kOrangeList, {{"cookie", "wassup=signed-in"}}),
      Route(kVirgilioHost, kVirgilioLoginPath, "<html>ok</html>",
            {{"method", "POST"},
             {"body_contains", "s3cret"},
             {"headers", json::array({json::array({"Set-Cookie", "wmm=s1; path=/"})})}}),
      Route(kVirgilioHost, kVirgilioInbox, kVirgilioInboxPage, {{"cookie", "wmm=s1"}}),
      Route(kVirgilioHost, kVirgilioInbox, kVirgilioLoginPage),
  }));
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
