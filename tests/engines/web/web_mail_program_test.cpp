// The desktop program checks a Gmail, an Outlook.com and an Outlook.com Alternative account,
// and in a second run Yahoo, Messenger and X (their web apps rendering their lists by script),
// against local HTTPS servers under the services' own host names, on an X server with a tray
// host on a private session bus: the tray item's tooltip shows the unread count and the
// subjects. The sessions are those a sign-in leaves: cookies in the shared browser profile
// (set by loading the services' pages before the program starts) and, for Outlook.com, the
// stored cookie set the program puts back before each check.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QProcess>

#include <unistd.h>

#include <cstdlib>
#include <string>
#include <utility>

#include "platform/browser_connection.h"
#include "platform/web_view.h"
#include "tests/engines/web/script_engine_services.h"
#include "tests/support/fixture_server.h"
#include "tests/support/program_desktop.h"
#include "tests/support/temp_folder.h"

namespace {

using nlohmann::json;
using tarvel::Text;
using tarvel::testing::WaitUntil;

constexpr int kWaitMs = 90'000;

std::string Fixture(const std::string& name) {
  return tarvel::testing::ReadFileContent(std::string(TARVEL_SOURCE_DIR_PATH) + "/tests/fixtures/" +
                                          name);
}

json Route(const std::string& host, const std::string& path, const std::string& body,
           const std::string& type, const std::string& cookie = {}, const char* method = nullptr) {
  json route = {{"host", host},
                {"path", path},
                {"body", body},
                {"headers", json::array({json::array({"Content-Type", type})})}};
  if (!cookie.empty())
    route["cookie"] = cookie;
  if (method != nullptr)
    route["method"] = method;
  return route;
}

json SignInRoute(const std::string& host, const std::string& cookie) {
  json route = Route(host, "/test-sign-in", "<html><body>signed in</body></html>", "text/html");
  route["headers"].push_back(
      json::array({"Set-Cookie", cookie + "; Path=/; Max-Age=3600; Secure"}));
  return route;
}

constexpr char kGmail[] = "mail.google.com";
constexpr char kLive[] = "outlook.live.com";
constexpr char kGoogleSession[] = "SID=signed-in";
constexpr char kBrowserSession[] = "MSPAuth=browser";
constexpr char kStoredSession[] = "MSPAuth=stored";

// One unread message per account, so that every line fits the tooltip.
const std::string kFeed =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?><feed version=\"0.3\" "
    "xmlns=\"http://purl.org/atom/ns#\"><title>Gmail - Inbox for joe.tester@gmail.com</title>"
    "<fullcount>1</fullcount><entry><title>&lt;i&gt;Lunch&lt;/i&gt;&#x9B;</title>"
    "<issued>2026-12-10T07:00:00Z</issued><author><name>Bob</name></author></entry></feed>";
const std::string kStartupData =
    R"({"findMailFolderItem":{"Body":{"ResponseMessages":{"Items":[{"RootFolder":{"Items":[)"
    R"({"Subject":"Budget","IsRead":false,"DateTimeSent":"2026-12-10T09:00:00Z",)"
    R"("Sender":{"Mailbox":{"Name":"Ann"}}},)"
    R"({"Subject":"Old news","IsRead":true,"DateTimeSent":"2026-12-10T09:30:00Z"}]}}]}}}})";
const std::string kRenderedList =
    "<html><head><link rel=\"stylesheet\" type=\"text/css\" "
    "href=\"/owa/prem/15.20/resources/styles/0/owa.MailListItemSingleLineView.css\"></head><body>"
    "<div class=\"customScrollBar listPane\"><div id=\"e1\"><div class=\"lvItem lvUnread\"><div>"
    "<div><span title=\"cy@example.com\">Cy</span><span title=\"\">Plans &lt;b&gt;now&lt;/b&gt;"
    "</span><span class=\"d\" title=\"Thu 12/10/2026 8:00 AM\">Thu</span></div></div></div></div>"
    "<div id=\"e2\"><div class=\"lvItem lvRead\"><div><div><span title=\"dee@example.com\">Dee"
    "</span><span title=\"\">Seen</span><span class=\"d\" title=\"Wed\">Wed</span></div></div>"
    "</div></div></div><div class=\"screenReaderOnly\">end</div></body></html>";

json Routes() {
  const char* html = "text/html; charset=utf-8";
  return json::array({
      SignInRoute(kGmail, kGoogleSession),
      Route(kGmail, "/mail/feed/atom/", kFeed, "text/xml; charset=UTF-8", kGoogleSession),
      Route(kGmail, "/mail/feed/atom/", "", html),
      // The classic type's requests carry the stored cookie; the browser's its own.
      Route(kLive, "/owa/", Fixture("outlook/owa_signed_in.html"), html, kStoredSession),
      Route(kLive, "/owa/0/startupdata.ashx?app=Mail&n=0", kStartupData, "application/json",
            kStoredSession, "POST"),
      Route(kLive, "/owa/", Fixture("outlook/owa_signed_out.html"), html),
      Route(kLive, "/owa/?ae=Folder&t=IPF.Note", Fixture("outlook/folder_view_signed_out.html"),
            html),
      SignInRoute(kLive, kBrowserSession),
      Route(kLive, "/mail/0/", kRenderedList, html, kBrowserSession),
      Route(kLive, "/mail/0/", Fixture("outlook/alt_signin.html"), html),
      Route(kLive, "/owa/prem/15.20/resources/styles/0/owa.MailListItemSingleLineView.css",
            Fixture("outlook/alt_style.css"), "text/css"),
  });
}

class WebMailProgramTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(desktop_.Start(), "");
    // The helper this process starts to sign the profile in shares the program's folders, and
    // has no display.
    ::setenv("XDG_DATA_HOME", folder_.file("data").c_str(), 1);
    ::setenv("XDG_STATE_HOME", folder_.file("state").c_str(), 1);
    ::setenv("XDG_RUNTIME_DIR", folder_.file("runtime").c_str(), 1);
    ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    ::setenv("TARVEL_BROWSER_HELPER", TARVEL_BINARY_DIR_PATH "/bin/tarvel-browser", 1);
    // Chromium refuses to run as root inside its sandbox; the tests run as root in CI.
    if (::geteuid() == 0)
      ::setenv("QTWEBENGINE_DISABLE_SANDBOX", "1", 1);
    ::setenv("QTWEBENGINE_CHROMIUM_FLAGS", "--disable-gpu", 0);
    ASSERT_TRUE(server_.Start(Routes()));
    server_.ExportEnvironment();
  }

  void TearDown() override {
    desktop_.Stop();
    tarvel::BrowserConnection::Shared().ShutDown();
    ::unsetenv("TARVEL_CONNECT_TO");
    ::unsetenv("TARVEL_CA_FILE");
  }

  void WriteSetting(const QStringList& arguments) {
    ASSERT_TRUE(desktop_.WriteSetting(arguments)) << arguments.join(' ').toStdString();
  }

  // Loads a service's page that sets its session cookie in the shared browser profile.
  static void SignInBrowser(const std::string& host) {
    Text source;
    ASSERT_TRUE(tarvel::WebView::LoadPageSource(Text::FromUtf8("https://" + host + "/test-sign-in"),
                                                &source, 0));
    ASSERT_NE(source.ToUtf8().find("signed in"), std::string::npos) << source.ToUtf8();
  }

  // Starts the tray host and the program; the program's tray item.
  QString StartProgram(QProcess** program) {
    desktop_.StartTrayHost();
    *program = &desktop_.StartProgram();
    EXPECT_TRUE(WaitUntil([&] { return !desktop_.RegisteredItems().isEmpty(); }, kWaitMs));
    return desktop_.RegisteredItems().value(0);
  }

  QString ToolTip(const QString& item) const { return desktop_.ToolTip(item); }

  tarvel::testing::FixtureServer server_;
  tarvel::testing::TempFolder folder_;
  tarvel::testing::ProgramDesktop desktop_{folder_};
};

TEST_F(WebMailProgramTest, TrayShowsTheUnreadMailOfTheThreeWebMailAccounts) {
  // Outlook.com (0x40), GMail (0x80) and Outlook.com Alternative (bit 32) on the default
  // option word.
  WriteSetting({"Flags", QString::number(0x1010ull | 0x40 | 0x80 | (1ull << 32)), "--number"});
  WriteSetting({"HotmailAccountType", "0", "--number"});
  WriteSetting({"OutlookAccountType", "0", "--number"});
  WriteSetting({"GMailWebsite", "https://mail.google.com/mail/", "--text"});
  WriteSetting({"https://outlook.live.com/HTTPONLY", kStoredSession, "--group", "Cookies_00000001",
                "--protected"});

  SignInBrowser(kGmail);
  SignInBrowser(kLive);
  // The program's own helper takes the profile over.
  tarvel::BrowserConnection::Shared().ShutDown();

  QProcess* program = nullptr;
  const QString item = StartProgram(&program);
  ASSERT_FALSE(item.isEmpty());

  // One message of each account, in the order of the account types; markup the page showed
  // as text stays text, the feed's markup and control characters are gone.
  ASSERT_TRUE(WaitUntil([&] { return ToolTip(item).startsWith("3 new mails"); }, kWaitMs))
      << ToolTip(item).toStdString();
  EXPECT_EQ(ToolTip(item).toStdString(),
            "3 new mails - Tarvel E-Mail Notifier\n\nAnn - Budget\nCy - Plans <b>now</b>\n"
            "Bob - Lunch");

  // The classic type sent the stored cookie; the feed went through the browser with its own.
  bool storedCookieSent = false;
  bool feedSignedIn = false;
  for (const json& request : server_.Requests()) {
    const std::string cookie = tarvel::testing::FixtureServer::Header(request, "Cookie");
    if (request.value("path", "") == "/owa/")
      storedCookieSent = storedCookieSent || cookie.find(kStoredSession) != std::string::npos;
    if (request.value("path", "") == "/mail/feed/atom/")
      feedSignedIn = feedSignedIn || cookie.find(kGoogleSession) != std::string::npos;
  }
  EXPECT_TRUE(storedCookieSent);
  EXPECT_TRUE(feedSignedIn);

  program->terminate();
  ASSERT_TRUE(program->waitForFinished(kWaitMs));
  EXPECT_EQ(program->exitCode(), 0);
}

// The browser's own account types: the program's check thread opens the invisible browser on
// the shared profile, lets the apps render and reads the lists; one unread message of Yahoo,
// two conversations of Messenger (one marker each) and two of X (the medium weight).
TEST_F(WebMailProgramTest, TrayShowsTheMessagesOfYahooMessengerAndX) {
  namespace fixture = tarvel::script_fixture;
  json routes = fixture::MessengerRoutes(fixture::RenderedLater(fixture::kMessengerRows));
  for (const json& more : {fixture::XRoutes(), fixture::YahooRoutes()}) {
    for (const json& route : more)
      routes.push_back(route);
  }
  server_.SetRoutes(routes);
  // Yahoo (0x100), Facebook (0x8000) and Twitter (0x10000) on the default option word.
  WriteSetting({"Flags", QString::number(0x1010 | 0x100 | 0x8000 | 0x10000), "--number"});

  SignInBrowser(fixture::kMessenger);
  SignInBrowser(fixture::kX);
  SignInBrowser(fixture::kYahoo);
  tarvel::BrowserConnection::Shared().ShutDown();

  QProcess* program = nullptr;
  const QString item = StartProgram(&program);
  ASSERT_FALSE(item.isEmpty());

  // In the order of the account types; Messenger's rows as listed, X's newest first.
  ASSERT_TRUE(WaitUntil([&] { return ToolTip(item).startsWith("5 new mails"); }, kWaitMs))
      << ToolTip(item).toStdString();
  EXPECT_EQ(ToolTip(item).toStdString(),
            "5 new mails - Tarvel E-Mail Notifier\n\nGrace - Plans\n"
            "Zo\xc3\xa9 Martin - Caf\xc3\xa9 at 5?\nAnn - See you\nBo - Later\n"
            "Ann Lee - Hi there");

  // Each app was loaded with its session.
  for (const auto& [appHost, session] : {std::pair{fixture::kMessenger, fixture::kMessengerSession},
                                         std::pair{fixture::kX, fixture::kXSession},
                                         std::pair{fixture::kYahoo, fixture::kYahooSession}}) {
    SCOPED_TRACE(appHost);
    bool signedIn = false;
    for (const json& request : server_.Requests()) {
      if (request.value("host", "") == appHost && request.value("path", "") != "/test-sign-in" &&
          tarvel::testing::FixtureServer::Header(request, "Cookie").find(session) !=
              std::string::npos)
        signedIn = true;
    }
    EXPECT_TRUE(signedIn);
  }

  program->terminate();
  ASSERT_TRUE(program->waitForFinished(kWaitMs));
  EXPECT_EQ(program->exitCode(), 0);
}

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication application(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
