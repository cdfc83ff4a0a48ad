// The Messenger, X and Yahoo engines through the real browser helper: their web apps come from
// a local HTTPS server under the services' own host names and render their lists with
// JavaScript after a delay; the session is a cookie a sign-in page left in the shared profile.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <vector>

#include "accounts/account_type.h"
#include "engines/web/script_engines.h"
#include "engines/web/yahoo_engine.h"
#include "platform/browser_connection.h"
#include "platform/web_view.h"
#include "tests/support/fixture_server.h"
#include "tests/support/mail_records.h"
#include "tests/support/temp_folder.h"

namespace tarvel {
namespace {

using nlohmann::json;
using testing::FixtureServer;
using testing::TemporaryFolder;
using Record = testing::MailRecord;

const AccountTypeInfo& TypeOf(EngineKind kind) {
  for (const AccountTypeInfo& type : kAccountTypes) {
    if (type.engine == kind)
      return type;
  }
  return kAccountTypes[0];
}

constexpr char kHtml[] = "text/html; charset=utf-8";

json Route(const std::string& host, const std::string& path, const std::string& body,
           const std::string& cookie = {}, json headers = json::array()) {
  headers.push_back(json::array({"Content-Type", kHtml}));
  json route = {
      {"host", host}, {"path", path}, {"status", 200}, {"body", body}, {"headers", headers}};
  if (!cookie.empty())
    route["cookie"] = cookie;
  return route;
}

json Redirect(const std::string& host, const std::string& path, const std::string& to,
              const std::string& cookie = {}) {
  json route = Route(host, path, "", cookie, json::array({json::array({"Location", to})}));
  route["status"] = 302;
  return route;
}

json SignInRoute(const std::string& host, const std::string& cookie, const std::string& domain) {
  return Route(host, "/test-sign-in", "<html><body>signed in</body></html>", {},
               json::array({json::array({"Set-Cookie", cookie + "; Domain=" + domain +
                                                           "; Path=/; Max-Age=3600; Secure"})}));
}

// A page whose body the app's script fills after a delay, as the real apps render.
std::string RenderedLater(const std::string& html, const std::string& extraScript = {}) {
  json text = html;
  return "<html><head><meta charset=\"utf-8\"></head><body><p>Loading</p><script>" + extraScript +
         "setTimeout(function(){document.body.innerHTML = " + text.dump() +
         ";}, 300);</script></body></html>";
}

// One Messenger list row in the layout the conversation script walks.
std::string MessengerRow(const std::string& user, const std::string& text, int markers) {
  std::string unread;
  for (int i = 0; i < markers; ++i)
    unread += "<span></span>";
  const std::string time = "<div><div><span><div><span>1m</span></div></span></div></div>";
  return "<div role=\"row\"><div><div><div><div></div><div><div><div>"
         "<div><div><div><span><span>" +
         user +
         "</span></span></div></div></div>"
         "<div><span><span>a</span></span><span><span>b</span></span><span><span>" +
         text + "</span></span>" + time + time + time +
         "</div>"
         "<div><div><div><div>" +
         unread + "</div></div></div></div>" + "</div></div></div></div></div></div></div>";
}

std::string MessengerList(const std::vector<std::string>& rows) {
  std::string grid = "<div role=\"grid\"><div role=\"row\" data-visualcompletion=\"x\"></div>";
  for (const std::string& row : rows)
    grid += row;
  return grid + "</div>";
}

std::string XConversation(const std::string& name, const std::string& handle,
                          const std::string& text, int weight, const std::string& time) {
  return "<div data-testid=\"conversation\"><div>" + name + "<br>" + handle +
         "</div><time datetime=\"" + time + "\">1h</time><span data-testid=\"tweetText\" " +
         "style=\"font-weight:" + std::to_string(weight) + "\">" + text + "</span></div>";
}

constexpr char kMessengerBare[] = "messenger.com";
constexpr char kMessenger[] = "www.messenger.com";
constexpr char kMessengerSession[] = "c_user=100001";
constexpr char kX[] = "x.com";
constexpr char kXSession[] = "auth_token=signed-in";
constexpr char kYahoo[] = "mail.yahoo.com";
constexpr char kYahooSession[] = "T=signed-in";

const std::string kMessengerRows =
    MessengerList({MessengerRow("Zo\xc3\xa9 Martin", "Caf\xc3\xa9 at 5?", 1),
                   MessengerRow("Two Markers", "skipped", 2), MessengerRow("Read", "old", 0),
                   MessengerRow("Ann", "See you", 1)});

json MessengerRoutes(const std::string& conversationPage) {
  return json::array({
      SignInRoute(kMessenger, kMessengerSession, "messenger.com"),
      Redirect(kMessengerBare, "/t/", "https://www.messenger.com/t/100001/", kMessengerSession),
      Redirect(kMessengerBare, "/t/", "https://www.messenger.com/login/"),
      Route(kMessenger, "/t/100001/", conversationPage, kMessengerSession),
      Route(kMessenger, "/login/", "<html><body><form>Log in</form></body></html>"),
      Route(kMessenger, "/popup", "<html><body>popup</body></html>"),
  });
}

json XRoutes() {
  const std::string inbox =
      RenderedLater(XConversation("Ann Lee", "@ann", "Hi there", 500, "2026-12-10T09:30:00.000Z") +
                    XConversation("Read One", "@read", "old", 400, "2026-12-10T10:00:00.000Z") +
                    XConversation("Bo", "@bo", "Later", 500, "2026-12-11T08:00:00.000Z"));
  const std::string signedIn =
      "<script type=\"application/json\">{\"screen_name\":\"joe\"}</script>";
  return json::array({
      SignInRoute(kX, kXSession, "x.com"),
      Route(kX, "/messages/", signedIn + inbox, kXSession),
      Route(kX, "/messages/", "<html><body>Sign in to X</body></html>"),
  });
}

json YahooRoutes() {
  const std::string list =
      "<div data-test-id=\"content-area\"><ul><li><a data-test-id=\"message-list-item\" "
      "data-test-read=\"false\"><strong class=\"s\">Grace</strong><span "
      "data-test-id=\"message-subject\" title=\"Plans\">Plans</span><div class=\"x date\" "
      "role=\"gridcell\"><span>9:41 AM</span></div></a></li></ul></div>";
  return json::array({
      SignInRoute(kYahoo, kYahooSession, "yahoo.com"),
      Route(kYahoo, "/n/inbox/all", list, kYahooSession),
      Route(kYahoo, "/n/inbox/all",
            "<form id=\"login-username-form\" method=\"post\"><input name=\"u\"></form>"),
  });
}

class ScriptEnginesBrowserTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    folder_ = new TemporaryFolder;
    ::setenv("XDG_DATA_HOME", (folder_->path() + "/data").c_str(), 1);
    ::setenv("XDG_RUNTIME_DIR", folder_->path().c_str(), 1);
    // Chromium refuses to run as root inside its sandbox; the tests run as root in CI.
    if (::geteuid() == 0)
      ::setenv("QTWEBENGINE_DISABLE_SANDBOX", "1", 1);
    ::setenv("QTWEBENGINE_CHROMIUM_FLAGS", "--disable-gpu", 0);
    server_ = new FixtureServer;
    ASSERT_TRUE(server_->Start(json::array()));
    server_->ExportEnvironment();
  }
  static void TearDownTestSuite() {
    BrowserConnection::Shared().ShutDown();
    delete server_;
    delete folder_;
  }

  static void SignIn(const std::string& host) {
    Text source;
    ASSERT_TRUE(
        WebView::LoadPageSource(Text::FromUtf8("https://" + host + "/test-sign-in"), &source, 0));
    ASSERT_NE(source.ToUtf8().find("signed in"), std::string::npos);
  }

  static std::vector<std::string> Senders(const MailEngine& engine) {
    std::vector<std::string> senders;
    for (const Record& record : testing::InboxRecords(engine))
      senders.push_back(record.sender);
    return senders;
  }

  static TemporaryFolder* folder_;
  static FixtureServer* server_;
};

TemporaryFolder* ScriptEnginesBrowserTest::folder_ = nullptr;
FixtureServer* ScriptEnginesBrowserTest::server_ = nullptr;

// Signed out, then signed in: the rows with one marker, and the newest message new only once.
TEST_F(ScriptEnginesBrowserTest, MessengerReadsTheRenderedConversationList) {
  server_->SetRoutes(MessengerRoutes(RenderedLater(kMessengerRows)));
  MessengerEngine engine(TypeOf(EngineKind::Facebook));
  engine.SetSettleMilliseconds(2000);
  EXPECT_EQ(engine.Check(), CheckStatus::LoginNeeded);

  SignIn(kMessenger);
  for (int check = 0; check < 2; ++check) {
    SCOPED_TRACE(check);
    engine.mails.clear();
    ASSERT_EQ(engine.Check(), CheckStatus::Success) << engine.lastFailure.ToUtf8();
    const std::vector<Record> records = testing::InboxRecords(engine);
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0].sender, "Zo\xc3\xa9 Martin");
    EXPECT_EQ(records[0].subject, "Caf\xc3\xa9 at 5?");
    EXPECT_EQ(records[0].date.empty(), check == 1);
    EXPECT_EQ(records[1].sender, "Ann");
    EXPECT_TRUE(records[1].date.empty());
  }
}

// A page without the list makes the script throw; a page that opens a window gets none.
TEST_F(ScriptEnginesBrowserTest, MessengerScriptFailuresAndNewWindows) {
  server_->SetRoutes(MessengerRoutes(RenderedLater("<div>no grid</div>")));
  SignIn(kMessenger);
  MessengerEngine engine(TypeOf(EngineKind::Facebook));
  engine.SetSettleMilliseconds(1000);
  EXPECT_EQ(engine.Check(), CheckStatus::LoginNeeded);

  server_->SetRoutes(MessengerRoutes(
      RenderedLater(kMessengerRows, "window.open('https://www.messenger.com/popup');")));
  const std::size_t before = server_->Requests().size();
  engine.mails.clear();
  ASSERT_EQ(engine.Check(), CheckStatus::Success) << engine.lastFailure.ToUtf8();
  EXPECT_EQ(engine.mails.count(), 2u);
  const std::vector<json> requests = server_->Requests();
  for (std::size_t i = before; i < requests.size(); ++i)
    EXPECT_NE(requests[i].value("path", ""), "/popup");
}

// A page whose load never ends: the navigation deadline fails the check.
TEST_F(ScriptEnginesBrowserTest, APageThatNeverLoadsFailsAtTheDeadline) {
  json routes = MessengerRoutes("");
  routes[3]["stall"] = "before_headers";
  routes[3]["stall_seconds"] = 30;
  server_->SetRoutes(routes);
  SignIn(kMessenger);
  const WebViewTimeouts saved = WebView::DefaultTimeouts();
  WebViewTimeouts quick = saved;
  quick.navigation = std::chrono::seconds(2);
  WebView::SetDefaultTimeouts(quick);
  MessengerEngine engine(TypeOf(EngineKind::Facebook));
  engine.SetSettleMilliseconds(0);
  EXPECT_EQ(engine.Check(), CheckStatus::Failure);
  WebView::SetDefaultTimeouts(saved);
}

TEST_F(ScriptEnginesBrowserTest, TwitterReadsTheMediumWeightConversations) {
  server_->SetRoutes(XRoutes());
  TwitterEngine engine(TypeOf(EngineKind::Twitter));
  engine.SetSettleMilliseconds(2000);
  EXPECT_EQ(engine.Check(), CheckStatus::LoginNeeded);

  SignIn(kX);
  engine.mails.clear();
  ASSERT_EQ(engine.Check(), CheckStatus::Success) << engine.lastFailure.ToUtf8();
  const std::vector<Record> expected = {
      {"Bo", "Later", "2026-12-11T08:00:00.000Z"},
      {"Ann Lee", "Hi there", "2026-12-10T09:30:00.000Z"},
  };
  EXPECT_EQ(testing::InboxRecords(engine), expected);
}

TEST_F(ScriptEnginesBrowserTest, YahooReadsTheRenderedInboxPage) {
  server_->SetRoutes(YahooRoutes());
  YahooEngine engine(TypeOf(EngineKind::Yahoo));
  EXPECT_EQ(engine.Check(), CheckStatus::LoginNeeded);
  SignIn(kYahoo);
  engine.mails.clear();
  ASSERT_EQ(engine.Check(), CheckStatus::Success) << engine.lastFailure.ToUtf8();
  EXPECT_EQ(Senders(engine), std::vector<std::string>{"Grace"});
}

}  // namespace
}  // namespace tarvel
