// The iNotes engine against a local HTTPS server playing a Domino server's web access: the
// login form, the refresh to the mail database, the inbox view as XML and the logout.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "accounts/account_type.h"
#include "accounts/protected_text.h"
#include "accounts/settings_store.h"
#include "engines/protocol/inotes_engine.h"
#include "platform/base64.h"
#include "tests/support/fixture_server.h"
#include "tests/support/mail_records.h"
#include "tests/support/temp_folder.h"

namespace tarvel {
namespace {

using nlohmann::json;
using testing::FixtureServer;
using testing::MailRecord;

constexpr char kHost[] = "notes.example.com";
constexpr char kUser[] = "Joe User";
constexpr char kPassword[] = "s3cret pass&more";
// The form fields of the right user name and password as sent.
constexpr char kCredentialsSent[] = "username=Joe+User&password=s3cret+pass%26more&";
constexpr char kViewPath[] = "/mail/joe.nsf/iNotes/Proxy/";
constexpr char kSessionCookie[] = "DomAuthSessId=5E1F0A";

const AccountTypeInfo& INotesType() {
  for (const AccountTypeInfo& type : kAccountTypes) {
    if (type.engine == EngineKind::INotes)
      return type;
  }
  return kAccountTypes[0];
}

std::string Fixture(const std::string& name) {
  return testing::ReadFileContent(std::string(TARVEL_SOURCE_DIR_PATH) + "/tests/fixtures/inotes/" +
                                  name);
}

json Route(const std::string& method, const std::string& path, const std::string& body) {
  return {{"host", kHost},
          {"path", path},
          {"method", method},
          {"scheme", "https"},
          {"body_base64", EncodeBase64(body)}};
}

// The server: the login accepts only the right credentials (else its form comes back), the
// view needs the session cookie of the login.
json Server(const std::string& refreshPage, const std::string& view) {
  json login = Route("POST", "/names.nsf", refreshPage);
  login["body_contains"] = kCredentialsSent;
  login["headers"] = json::array(
      {json::array({"Set-Cookie", std::string(kSessionCookie) + "; Path=/; Secure; HttpOnly"})});
  json inbox = Route("GET", kViewPath, view);
  inbox["cookie"] = kSessionCookie;
  inbox["headers"] = json::array({json::array({"Content-Type", "text/xml; charset=UTF-8"})});
  return json::array({login, Route("POST", "/names.nsf", Fixture("login_form.html")), inbox,
                      Route("GET", kViewPath, Fixture("session_ended.html")),
                      Route("GET", "/resource.nsf", "<HTML>logged out</HTML>")});
}

class INotesServerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    folder_.UseAsConfigHome();
    ::setenv("XDG_DATA_HOME", folder_.file("data").c_str(), 1);
    ASSERT_TRUE(server_.Start(json::array()));
    server_.ExportEnvironment();
  }

  std::vector<std::string> RequestLines() const {
    std::vector<std::string> lines;
    for (const json& request : server_.Requests()) {
      std::string path = request.value("path", "");
      path = path.substr(0, path.find('?'));
      lines.push_back(request.value("method", "") + " " + request.value("host", "") + path);
    }
    return lines;
  }

  testing::TempFolder folder_;
  FixtureServer server_;
};

TEST_F(INotesServerTest, ViewsBecomeRecordsAndStatus) {
  const std::string refresh = Fixture("login_refresh.html");
  std::string relativeRefresh = refresh;
  relativeRefresh.replace(relativeRefresh.find("https://notes.example.com"),
                          std::string("https://notes.example.com").size(), "");
  const std::vector<MailRecord> unread = {
      {"Ann Archer", "Quarterly figures", "20261210T091500,00Z"},
      {"Cy C\xC3\xB4t\xC3\xA9", "", "20261208T173000,00Z"},
  };
  const std::string login = std::string("POST ") + kHost + "/names.nsf";
  const std::string view = std::string("GET ") + kHost + kViewPath;
  const std::string logout = std::string("GET ") + kHost + "/resource.nsf";
  struct Case {
    const char* name;
    std::string password;
    std::string refreshPage;
    std::string view;
    CheckStatus status;
    std::vector<MailRecord> records;
    std::vector<std::string> requests;
  };
  const Case cases[] = {
      {"unread entries",
       kPassword,
       refresh,
       Fixture("inbox_view.xml"),
       CheckStatus::Success,
       unread,
       {login, view, logout}},
      // A mail database named by its path alone is on the same server.
      {"relative refresh",
       kPassword,
       relativeRefresh,
       Fixture("inbox_view.xml"),
       CheckStatus::Success,
       unread,
       {login, view, logout}},
      {"empty view",
       kPassword,
       refresh,
       "<viewentries toplevelentries=\"0\"/>",
       CheckStatus::Success,
       {},
       {login, view, logout}},
      // The form comes back: no database, no view, no logout.
      {"wrong password",
       "wrong",
       refresh,
       Fixture("inbox_view.xml"),
       CheckStatus::Failure,
       {},
       {login}},
      {"view is not XML",
       kPassword,
       refresh,
       Fixture("login_form.html"),
       CheckStatus::Failure,
       {},
       {login, view, logout}},
      // Well-formed, but a page and not a view: never "no mail".
      {"view is a page",
       kPassword,
       refresh,
       Fixture("session_ended.html"),
       CheckStatus::Failure,
       {},
       {login, view, logout}},
  };
  for (const Case& row : cases) {
    SCOPED_TRACE(row.name);
    server_.SetRoutes(Server(row.refreshPage, row.view));
    const std::size_t before = server_.Requests().size();
    INotesEngine engine(INotesType());
    engine.SetSettings(
        {Text::FromUtf8(kHost), Text::FromUtf8(kUser), Text::FromUtf8(row.password)});
    EXPECT_EQ(engine.Check(), row.status) << engine.lastFailure.ToUtf8();
    EXPECT_EQ(testing::InboxRecords(engine), row.records);
    std::vector<std::string> lines = RequestLines();
    lines.erase(lines.begin(), lines.begin() + static_cast<std::ptrdiff_t>(before));
    EXPECT_EQ(lines, row.requests);
  }
}

TEST_F(INotesServerTest, SendsTheFormLoginTheViewQueryAndTheUserAgents) {
  server_.SetRoutes(Server(Fixture("login_refresh.html"), Fixture("inbox_view.xml")));
  INotesEngine engine(INotesType());
  engine.SetSettings({Text::FromUtf8(kHost), Text::FromUtf8(kUser), Text::FromUtf8(kPassword)});
  ASSERT_EQ(engine.Check(), CheckStatus::Success) << engine.lastFailure.ToUtf8();
  const std::vector<json> requests = server_.Requests();
  ASSERT_EQ(requests.size(), 3u);
  const json& login = requests[0];
  EXPECT_EQ(login.value("scheme", ""), "https");
  EXPECT_EQ(login.value("path", ""), "/names.nsf?Login");
  EXPECT_EQ(FixtureServer::Body(login),
            "%25%25ModDate=A6187C5A00000000&username=Joe+User&password=s3cret+pass%26more"
            "&DWAMode=1&%24PublicAccess=1&reasonType=0&RedirectTo=%2Flogin.nsf%3FOpen");
  EXPECT_EQ(FixtureServer::Header(login, "Content-Type"), "application/x-www-form-urlencoded");
  EXPECT_EQ(FixtureServer::Header(login, "User-Agent"), Text(kINotesLoginUserAgent).ToUtf8());
  const json& view = requests[1];
  EXPECT_EQ(view.value("path", ""), std::string("/mail/joe.nsf") + Text(kINotesInboxView).ToUtf8());
  EXPECT_NE(FixtureServer::Header(view, "Cookie").find(kSessionCookie), std::string::npos);
  EXPECT_EQ(FixtureServer::Header(view, "User-Agent"), Text(kINotesViewUserAgent).ToUtf8());
  EXPECT_EQ(requests[2].value("path", ""), "/resource.nsf?Logout");
  EXPECT_EQ(FixtureServer::Header(requests[2], "User-Agent"), Text(kINotesViewUserAgent).ToUtf8());
}

TEST(INotesSettings, AllThreeValuesAreReadProtected) {
  testing::TempFolder folder;
  SettingsStore store;
  ASSERT_TRUE(store.open(SettingsMode::IniFile, nullptr, {}, folder.file("tarvel.ini")));
  ASSERT_TRUE(ProtectText(store, u"iNotesServer", u"notes.example.com"));
  ASSERT_TRUE(ProtectText(store, u"iNotesName", u"Joe User"));
  ASSERT_TRUE(ProtectText(store, u"iNotesPassword", u"s3cret"));
  INotesEngine engine(INotesType());
  engine.LoadSettings(store);
  const INotesSettings loaded = engine.settings();
  EXPECT_EQ(loaded.server.ToUtf8(), "notes.example.com");
  EXPECT_EQ(loaded.user.ToUtf8(), "Joe User");
  EXPECT_EQ(loaded.password.ToUtf8(), "s3cret");
  const std::string file = testing::ReadFileContent(folder.file("tarvel.ini"));
  for (const char* plain : {"notes.example.com", "Joe User", "s3cret"})
    EXPECT_EQ(file.find(plain), std::string::npos) << plain;
}

TEST(INotesLoginAnswer, TheMailDatabaseIsTheRefreshAddressUpToItsQuery) {
  const std::pair<const char*, const char*> cases[] = {
      {"<META HTTP-EQUIV=\"refresh\" content=\"0;URL=https://n.example.com/mail/a.nsf?Open\">",
       "https://n.example.com/mail/a.nsf"},
      {"<meta http-equiv=\"refresh\" content=\"0; url=/mail/a.nsf?Open\">", "/mail/a.nsf"},
      {"<META HTTP-EQUIV=\"refresh\" content=\"0;URL=/mail/a.nsf\">", ""},  // no "?"
      {"<META HTTP-EQUIV=\"refresh\" content=\"5\">?", ""},                 // no URL=
      {"<FORM ACTION=\"/names.nsf?Login\">", ""},
  };
  for (const auto& [answer, address] : cases)
    EXPECT_EQ(INotesEngine::MailDatabaseAddress(Text::FromUtf8(answer)).ToUtf8(), address)
        << answer;
}

}  // namespace
}  // namespace tarvel
