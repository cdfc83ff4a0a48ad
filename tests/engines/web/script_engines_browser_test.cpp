// The Messenger, X and Yahoo engines through the real browser helper: their web apps come from
// a local HTTPS server under the services' own host names and render their lists with
// JavaScript after a delay; the session is a cookie a sign-in page left in the shared profile.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "accounts/account_type.h"
#include "engines/web/script_engines.h"
#include "engines/web/yahoo_engine.h"
#include "platform/browser_connection.h"
#include "platform/web_view.h"
#include "tests/engines/web/script_engine_services.h"
#include "tests/support/fixture_server.h"
#include "tests/support/mail_records.h"
#include "tests/support/temp_folder.h"

namespace tarvel {
namespace {

using nlohmann::json;
using namespace script_fixture;
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

// The browser's page, telling when the settle wait begins.
class WatchedPage : public ScriptedPage {
 public:
  WatchedPage(std::unique_ptr<ScriptedPage> page, std::atomic<bool>& settling)
      : page_(std::move(page)), settling_(settling) {}
  bool Navigate(const Text& url) override { return page_->Navigate(url); }
  bool CurrentUrl(Text* url) override { return page_->CurrentUrl(url); }
  bool Settle(std::uint32_t milliseconds, const std::atomic<bool>* stop) override {
    settling_.store(true);
    return page_->Settle(milliseconds, stop);
  }
  bool ExecuteScript(const Text& script, Text* result) override {
    return page_->ExecuteScript(script, result);
  }
  bool DocumentSource(Text* source) override { return page_->DocumentSource(source); }

 private:
  std::unique_ptr<ScriptedPage> page_;
  std::atomic<bool>& settling_;
};

// The engine's own stop request (not the thread's) during a long settle: the check ends as
// stopped well before the settle time is over, and the script does not run.
TEST_F(ScriptEnginesBrowserTest, TheEnginesStopRequestEndsALongSettle) {
  server_->SetRoutes(MessengerRoutes(RenderedLater(kMessengerRows)));
  SignIn(kMessenger);
  std::atomic<bool> settling{false};
  std::atomic<bool> stop{false};
  for (const bool messenger : {true, false}) {
    SCOPED_TRACE(messenger ? "Messenger" : "X");
    // X settles before it looks at the session, so its app need not be signed in.
    if (!messenger)
      server_->SetRoutes(XRoutes());
    settling = false;
    stop = false;
    ScriptedPageOpener opener = [&settling]() -> std::unique_ptr<ScriptedPage> {
      std::unique_ptr<ScriptedPage> page = OpenBrowserPage();
      if (!page)
        return nullptr;
      return std::make_unique<WatchedPage>(std::move(page), settling);
    };
    std::unique_ptr<ScriptedEngine> engine;
    if (messenger)
      engine = std::make_unique<MessengerEngine>(TypeOf(EngineKind::Facebook), opener);
    else
      engine = std::make_unique<TwitterEngine>(TypeOf(EngineKind::Twitter), opener);
    constexpr std::uint32_t kLongSettle = 90'000;
    engine->SetSettleMilliseconds(kLongSettle);
    engine->SetStopSignal(&stop);
    std::thread stopper([&] {
      while (!settling.load())
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
      stop.store(true);
    });
    const auto started = std::chrono::steady_clock::now();
    const CheckStatus status = engine->Check();
    const auto took = std::chrono::steady_clock::now() - started;
    // A check that never reached the settle leaves the stopper waiting: release it.
    settling.store(true);
    stopper.join();
    EXPECT_EQ(status, CheckStatus::Failure);
    EXPECT_EQ(engine->lastFailure.ToUtf8(), "the check was stopped");
    EXPECT_EQ(engine->mails.count(), 0u);
    // Generous: only shows that the wait did not run its whole time.
    EXPECT_LT(took, std::chrono::milliseconds(kLongSettle / 2));
  }
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
