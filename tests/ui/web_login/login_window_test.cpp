// The login windows end to end: the real browser helper shows fixture sign-in sites (local
// HTTPS under the services' real host names) on an Xvfb display of the test's own; the pages'
// scripts play the user. One helper serves the whole binary, so the cases run in order.

#include "ui/web_login/login_windows.h"

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QApplication>
#include <QElapsedTimer>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "accounts/account_type.h"
#include "accounts/account_type_bits.h"
#include "accounts/account_type_list.h"
#include "accounts/protected_text.h"
#include "accounts/settings_store.h"
#include "app/check_cycle.h"
#include "app/main_window_port.h"
#include "app/manual_main_window.h"
#include "app/window_messages.h"
#include "desktop/desktop_program.h"
#include "engines/web/outlook_engine.h"
#include "engines/web/web_session_port.h"
#include "platform/browser_connection.h"
#include "platform/cookie_store.h"
#include "platform/http_session.h"
#include "tests/support/fake_clock.h"
#include "tests/support/fixture_server.h"
#include "tests/support/mail_records.h"
#include "tests/support/recording_notifier.h"
#include "tests/support/scripted_engine.h"

extern char** environ;

namespace tarvel {
namespace {

using testing::FixtureServer;
using testing::TemporaryFolder;
using Outcome = LoginWindow::Outcome;
using namespace std::chrono_literals;
namespace bits = type_bits;

std::string Page(const std::string& body) {
  return "<!DOCTYPE html><html><head><title>Fixture</title></head><body>" + body + "</body></html>";
}

nlohmann::json Html(const std::string& host, const std::string& path, const std::string& body) {
  return {{"host", host},
          {"path", path},
          {"body", Page(body)},
          {"headers", nlohmann::json::array(
                          {nlohmann::json::array({"Content-Type", "text/html; charset=utf-8"})})}};
}

// Outlook.com's mail page, which gives the mail host's own session cookie.
nlohmann::json MailPageSettingSession() {
  nlohmann::json route = Html("outlook.live.com", "/mail/0/", "<p>Outlook</p>");
  route["headers"].push_back(
      nlohmann::json::array({"Set-Cookie", "RPSSecAuth=owa1; Path=/; Secure; HttpOnly"}));
  return route;
}

// A page of the engines' fixtures, answered only with `cookie` when one is given.
nlohmann::json Fixture(const std::string& host, const std::string& path, const std::string& file,
                       const std::string& cookie = {}) {
  std::ifstream in(std::string(TARVEL_SOURCE_DIR_PATH) + "/tests/fixtures/outlook/" + file);
  const std::string body((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  nlohmann::json route = {{"host", host}, {"path", path}, {"body", body}};
  if (!cookie.empty()) {
    route["cookie"] = cookie;
  }
  return route;
}

// A form the page sends by itself after `delayMs`, as a user would.
std::string AutoForm(const std::string& action, const std::string& fields, int delayMs) {
  return "<form id=\"f\" method=\"POST\" action=\"" + action + "\">" + fields +
         "<button type=\"submit\">Sign in</button></form><script>setTimeout(function() {"
         "document.getElementById('f').requestSubmit(); }, " +
         std::to_string(delayMs) + ");</script>";
}

// A POST answered by a redirect that sets cookies.
nlohmann::json SignInAnswer(const std::string& host, const std::string& path,
                            const std::string& location, std::vector<std::string> cookies) {
  nlohmann::json headers = nlohmann::json::array({nlohmann::json::array({"Location", location})});
  for (const std::string& cookie : cookies) {
    headers.push_back(nlohmann::json::array({"Set-Cookie", cookie}));
  }
  return {
      {"host", host}, {"path", path}, {"method", "POST"}, {"status", 302}, {"headers", headers}};
}

nlohmann::json Routes() {
  return nlohmann::json::array({
      // GMail: the mail page after the start page ends the sign-in.
      Html("mail.google.com", "/",
           "<script>setTimeout(function() { location.href = '/mail/u/0/'; }, 300);</script>"),
      Html("mail.google.com", "/mail/u/0/", "<p>Inbox</p>"),
      // Outlook.com: the Microsoft account form, its post and the mail page.
      Html("login.live.com", "/",
           AutoForm("https://login.live.com/ppsecure/post.srf",
                    "<input name=\"login\" value=\"someone@outlook.com\">"
                    "<input id=\"idChkBx_PWD_KMSI0Pwd\" type=\"checkbox\" name=\"KMSI\">"
                    "<label id=\"idLbl_PWD_KMSI_Cb\" for=\"idChkBx_PWD_KMSI0Pwd\">Stay signed "
                    "in</label>",
                    2600)),
      SignInAnswer("login.live.com", "/ppsecure/post.srf", "https://outlook.live.com/mail/0/",
                   {"MSPAuth=auth1; Path=/; Secure; HttpOnly",
                    "MSPProf=prof1; Path=/; Secure; Max-Age=86400"}),
      MailPageSettingSession(),
      // The web mail the Outlook.com engine reads: signed in only with the mail page's cookie.
      Fixture("outlook.live.com", "/owa/", "owa_signed_in.html", "RPSSecAuth=owa1"),
      Fixture("outlook.live.com", "/owa/", "owa_signed_out.html"),
      Fixture("outlook.live.com", "/owa/0/startupdata.ashx?app=Mail&n=0", "startupdata.json",
              "RPSSecAuth=owa1"),
      {{"host", "login.live.com"}, {"path", "/echo"}, {"echo", true}},
      // LinkedIn.
      Html("www.linkedin.com", "/uas/login",
           AutoForm("https://www.linkedin.com/checkpoint/lg/login-submit",
                    "<input name=\"session_key\" value=\"someone\">", 300)),
      SignInAnswer("www.linkedin.com", "/checkpoint/lg/login-submit",
                   "https://www.linkedin.com/feed/",
                   {"li_at=tok; Path=/; Secure; HttpOnly",
                    "JSESSIONID=js1; Domain=.linkedin.com; Path=/; Secure; HttpOnly"}),
      Html("www.linkedin.com", "/feed/", "<p>Feed</p>"),
      {{"host", "www.linkedin.com"}, {"path", "/echo"}, {"echo", true}},
      // Virgilio: the user types the address and the password, then sends the form.
      Html("mail.virgilio.it", "/m/wmm",
           "<form id=\"f\" method=\"POST\" action=\"https://mail.virgilio.it/m/wmm/login\">"
           "<input id=\"a\" name=\"user\"><input id=\"b\" type=\"password\" name=\"pw\"></form>"
           "<script>function type(id, text) { var e = document.getElementById(id); e.value = "
           "text; e.dispatchEvent(new Event('input', {bubbles: true})); }"
           "setTimeout(function() { type('a', 'someone@virgilio.it'); type('b', 'secret'); }, "
           "800); setTimeout(function() { document.getElementById('f').requestSubmit(); }, "
           "1800);</script>"),
      {{"host", "mail.virgilio.it"},
       {"path", "/m/wmm/login"},
       {"method", "POST"},
       {"body", Page("<p>Posta</p>")},
       {"headers", nlohmann::json::array({nlohmann::json::array({"Content-Type", "text/html"})})}},
      // SFR: the start page opens the mailbox in a new window.
      Html("webmail.sfr.fr", "/",
           "<script>window.open('https://webmail.sfr.fr/webmail/mailbox.html', "
           "'_blank');</script>"),
      Html("webmail.sfr.fr", "/webmail/mailbox.html", "<p>Mailbox</p>"),
      // Messenger and X never finish signing in; Messenger's box is ticked by timer 5.
      Html("www.messenger.com", "/",
           "<input type=\"checkbox\" onchange=\"fetch('/ticked')\"><p>Messenger</p>"),
      Html("www.messenger.com", "/ticked", "ok"),
      Html("x.com", "/", "<p>X</p>"),
      // An IMAP provider's consent page, sending the browser back to the loopback address.
      Html("accounts.google.com", "/o/oauth2/v2/auth",
           "<script>setTimeout(function() { location.href = "
           "'http://127.0.0.1/?state=s1&code=c1'; }, 3500);</script>"),
      Html("accounts.google.com", "/script-ran", "ok"),
      // A provider's page where the user has not signed in yet.
      Html("accounts.google.com", "/o/oauth2/v2/waiting", "<p>Sign in to continue</p>"),
  });
}

template <typename Predicate>
bool RunUntil(Predicate predicate, std::chrono::milliseconds limit = 30s) {
  QElapsedTimer timer;
  timer.start();
  while (!predicate()) {
    if (timer.elapsed() > limit.count()) {
      return false;
    }
    QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    std::this_thread::sleep_for(5ms);
  }
  return true;
}

class LoginWindowTest : public ::testing::Test {
 public:
  static FixtureServer* server;
  static TemporaryFolder* folder;
  static std::string display;

 protected:
  void SetUp() override {
    store_ = std::make_unique<SettingsStore>();
    ASSERT_TRUE(store_->open(SettingsMode::IniFile, nullptr, {}, folder->path() + "/tarvel.ini"));
    LoginWindows::Hooks hooks;
    hooks.startCheckTimer = [this](uint32_t ms) { checkTimers_.push_back(ms); };
    hooks.startRegularCheckTimer = [this] {
      ++regularTimers_;
      if (regularTimer_) {
        regularTimer_();
      }
    };
    hooks.trace = [this](std::string_view entry) { trace_.emplace_back(entry); };
    hooks.closed = [this](uint32_t typeBit, Outcome outcome) {
      outcomes_.emplace_back(typeBit, outcome);
    };
    hooks.beginOAuth = [this](uint32_t, Text* url, Text* script, std::stop_token) {
      *url = oauthStart_;
      *script = u"fetch('/script-ran')";
      return true;
    };
    hooks.completeOAuth = [this](uint32_t typeBit, const Text& url, std::stop_token) {
      oauthAnswers_.emplace_back(typeBit, url.ToUtf8());
      return oauthSignsIn_;
    };
    windows_ = std::make_unique<LoginWindows>(*store_, hooks);
  }
  void TearDown() override {
    windows_.reset();
    // The windows go with deleteLater; their workers end then.
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
  }

  // The outcome of the type's window, once it closed.
  std::optional<Outcome> WaitForOutcome(uint32_t typeBit, std::chrono::milliseconds limit = 40s) {
    std::optional<Outcome> found;
    RunUntil(
        [&] {
          for (const auto& [bit, outcome] : outcomes_) {
            if (bit == typeBit) {
              found = outcome;
            }
          }
          return found.has_value();
        },
        limit);
    return found;
  }

  static std::vector<nlohmann::json> RequestsTo(const std::string& host, const std::string& path) {
    std::vector<nlohmann::json> found;
    for (const auto& request : server->Requests()) {
      if (request.value("host", "") == host && request.value("path", "").rfind(path, 0) == 0) {
        found.push_back(request);
      }
    }
    return found;
  }

  // A shown window with the login window's title on the display (the helper's top-level
  // window; a closed one may linger hidden until the helper drops it).
  static bool WindowShown() {
    return std::system(("DISPLAY=" + display +
                        " python3 " TARVEL_CLOSE_WINDOW_SCRIPT " --shown 'Tarvel E-Mail Notifier'")
                           .c_str()) == 0;
  }
  // The user's close button.
  static bool CloseWindowAsUser() {
    return std::system(("DISPLAY=" + display +
                        " python3 " TARVEL_CLOSE_WINDOW_SCRIPT " 'Tarvel E-Mail Notifier'")
                           .c_str()) == 0;
  }

  static std::string Echoed(const std::string& host) {
    HttpSession http;
    HttpRequest request;
    request.server = Text::FromUtf8(host);
    request.object = u"/echo";
    request.port = 443;
    Text body;
    int status = 0;
    if (!http.Request(request, &body, &status) || status != 200) {
      return "(no answer)";
    }
    std::string cookie;
    for (const auto& recorded : RequestsTo(host, "/echo")) {
      cookie = FixtureServer::Header(recorded, "Cookie");
    }
    return cookie;
  }

  Text StoredCookieSet(uint32_t typeBit, std::u16string_view url) {
    return store_->readProtected(url, u"", kBuiltInPassPhrase, web_login::CookieGroup(typeBit));
  }

  std::unique_ptr<SettingsStore> store_;
  std::unique_ptr<LoginWindows> windows_;
  std::vector<uint32_t> checkTimers_;
  int regularTimers_ = 0;
  std::function<void()> regularTimer_;
  std::vector<std::string> trace_;
  std::vector<std::pair<uint32_t, Outcome>> outcomes_;
  std::vector<std::pair<uint32_t, std::string>> oauthAnswers_;
  // The IMAP rows' authorisation: its start address, and whether the answer signs in.
  Text oauthStart_ = u"https://accounts.google.com/o/oauth2/v2/auth?client_id=c&state=s1";
  bool oauthSignsIn_ = true;
};

FixtureServer* LoginWindowTest::server = nullptr;
TemporaryFolder* LoginWindowTest::folder = nullptr;
std::string LoginWindowTest::display;

// The shared-profile rule: the mail page ends the sign-in through timer 6, in the window that
// carries the program's title, with GMail's user agent; the check is brought forward.
TEST_F(LoginWindowTest, GMailSignsInWhenTheMailPageComes) {
  ASSERT_TRUE(windows_->Run(bits::kGMail));
  EXPECT_EQ(windows_->openType(), bits::kGMail);
  ASSERT_TRUE(RunUntil([] { return WindowShown(); }));
  EXPECT_EQ(WaitForOutcome(bits::kGMail), Outcome::SignedIn);
  EXPECT_EQ(windows_->openType(), 0u);
  EXPECT_EQ(checkTimers_, std::vector<uint32_t>{LoginWindows::kCheckAfterSignInMs});
  const auto starts = RequestsTo("mail.google.com", "/");
  ASSERT_FALSE(starts.empty());
  EXPECT_EQ(FixtureServer::Header(starts.front(), "User-Agent"),
            Text(web_login::FindWebType(bits::kGMail)->userAgent).ToUtf8());
}

// The classic Outlook.com path: the remember-me timer ticks the box before the form goes,
// the post sets loginPosted, the mail page saves the cookie sets and closes; HttpSession then
// sends the sign-in's cookies.
TEST_F(LoginWindowTest, OutlookSavesItsCookieSetsAndHttpSessionSendsThem) {
  ASSERT_TRUE(windows_->Run(bits::kOutlook));
  EXPECT_EQ(WaitForOutcome(bits::kOutlook), Outcome::SignedIn);
  const auto posts = RequestsTo("login.live.com", "/ppsecure/post.srf");
  ASSERT_EQ(posts.size(), 1u);
  EXPECT_NE(FixtureServer::Body(posts[0]).find("KMSI=on"), std::string::npos)
      << FixtureServer::Body(posts[0]);

  const std::string httpOnly =
      StoredCookieSet(bits::kOutlook, u"https://login.live.com/HTTPONLY").ToUtf8();
  EXPECT_NE(httpOnly.find("MSPAuth=auth1"), std::string::npos) << httpOnly;
  EXPECT_NE(httpOnly.find("MSPProf=prof1"), std::string::npos) << httpOnly;
  const std::string visible = StoredCookieSet(bits::kOutlook, u"https://login.live.com/").ToUtf8();
  EXPECT_EQ(visible, "MSPProf=prof1");
  // Stored protected: the settings file never holds the cookie in clear.
  std::ifstream file(folder->path() + "/tarvel.ini");
  const std::string ini((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  EXPECT_EQ(ini.find("auth1"), std::string::npos);

  const std::string sent = Echoed("login.live.com");
  EXPECT_NE(sent.find("MSPAuth=auth1"), std::string::npos) << sent;
  EXPECT_NE(sent.find("MSPProf=prof1"), std::string::npos) << sent;
}

// The check after a sign-in: the Outlook.com engine reads the mailbox with the program's HTTP
// client and the cookie that the login window's browser received from the mail page.
TEST_F(LoginWindowTest, OutlookCheckRunsSignedInAfterTheSignIn) {
  const Text mailRoot = u"https://outlook.live.com/";
  CookieStore::Shared().Remove(*CookieUrl::Parse("https://outlook.live.com/"),
                               CookieAccess::IncludingHttpOnly);
  OutlookEngine engine(kAccountTypes[0]);
  engine.LoadSettings(*store_);
  EXPECT_EQ(engine.Check(), CheckStatus::LoginNeeded) << engine.lastFailure.ToUtf8();

  ASSERT_TRUE(windows_->Run(bits::kOutlook));
  EXPECT_EQ(WaitForOutcome(bits::kOutlook), Outcome::SignedIn);
  HttpSession http;
  ASSERT_TRUE(RunUntil(
      [&] {
        Text session;
        return http.GetCookies(mailRoot, &session, CookieAccess::IncludingHttpOnly,
                               u"RPSSecAuth") &&
               session == u"owa1";
      },
      10s));
  // The mirrored cookie stays the server's: http-only.
  Text visible;
  EXPECT_TRUE(http.GetCookies(mailRoot, &visible, CookieAccess::ScriptVisible));
  EXPECT_EQ(visible.ToUtf8().find("RPSSecAuth"), std::string::npos) << visible.ToUtf8();

  engine.LoadSettings(*store_);
  engine.mails.clear();
  ASSERT_EQ(engine.Check(), CheckStatus::Success) << engine.lastFailure.ToUtf8();
  const std::vector<testing::MailRecord> records = testing::InboxRecords(engine);
  ASSERT_FALSE(records.empty());
  EXPECT_NE(std::find_if(records.begin(), records.end(),
                         [](const testing::MailRecord& record) {
                           return record.subject == "Quarterly figures" &&
                                  record.sender == "Ada Lovelace";
                         }),
            records.end());
  EXPECT_FALSE(RequestsTo("outlook.live.com", "/owa/0/startupdata.ashx").empty());
}

// LinkedIn: the cookie set is saved after the sign-in and, after a restart whose HTTP store
// lost the session cookies, restored and sent again.
TEST_F(LoginWindowTest, LinkedInCookiesSurviveARestart) {
  ASSERT_TRUE(windows_->Run(bits::kLinkedIn));
  EXPECT_EQ(WaitForOutcome(bits::kLinkedIn), Outcome::SignedIn);
  const auto logins = RequestsTo("www.linkedin.com", "/uas/login");
  ASSERT_FALSE(logins.empty());
  EXPECT_EQ(FixtureServer::Header(logins.back(), "User-Agent"), "Mozilla/5.0");
  const auto names = store_->listValues(web_login::CookieGroup(bits::kLinkedIn));
  std::vector<std::string> valueNames;
  for (const auto& value : names) {
    valueNames.push_back(value.name.ToUtf8());
  }
  std::sort(valueNames.begin(), valueNames.end());
  EXPECT_EQ(valueNames, (std::vector<std::string>{"https://linkedin.com/HTTPONLY",
                                                  "https://www.linkedin.com/HTTPONLY"}));

  // The restart: the settings read again from the file, the HTTP client's store without the
  // service's cookies.
  CookieStore& cookies = CookieStore::Shared();
  for (const char* url : {"https://www.linkedin.com/", "https://linkedin.com/"}) {
    cookies.Remove(*CookieUrl::Parse(url), CookieAccess::IncludingHttpOnly);
  }
  EXPECT_EQ(Echoed("www.linkedin.com").find("li_at"), std::string::npos);
  SettingsStore restarted;
  ASSERT_TRUE(restarted.open(SettingsMode::IniFile, nullptr, {}, folder->path() + "/tarvel.ini"));
  HttpSession http;
  web_login::HttpWebSessionPort port(http, {});
  ASSERT_TRUE(web_login::RestoreCookies(restarted, port, bits::kLinkedIn));
  const std::string sent = Echoed("www.linkedin.com");
  EXPECT_NE(sent.find("li_at=tok"), std::string::npos) << sent;
  EXPECT_NE(sent.find("JSESSIONID=js1"), std::string::npos) << sent;
}

// Virgilio: the two fields of the sent form are stored protected, never in clear.
TEST_F(LoginWindowTest, VirgilioStoresTheSentCredentialsProtected) {
  ASSERT_TRUE(windows_->Run(bits::kVirgilio));
  EXPECT_EQ(WaitForOutcome(bits::kVirgilio), Outcome::SignedIn);
  EXPECT_EQ(RequestsTo("mail.virgilio.it", "/m/wmm/login").size(), 1u);
  EXPECT_EQ(UnprotectText(*store_, u"VirgilioEmail", u"").ToUtf8(), "someone@virgilio.it");
  EXPECT_EQ(UnprotectText(*store_, u"VirgilioPassword", u"").ToUtf8(), "secret");
  std::ifstream file(folder->path() + "/tarvel.ini");
  const std::string ini((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  EXPECT_EQ(ini.find("secret"), std::string::npos);
  EXPECT_EQ(ini.find("someone@virgilio.it"), std::string::npos);
}

// A new window is refused and its address opened in the login view itself (timer 7), where
// the sign-in's rule then sees it.
TEST_F(LoginWindowTest, NewWindowIsRefusedAndOpenedInTheSameView) {
  ASSERT_TRUE(windows_->Run(bits::kSfr));
  EXPECT_EQ(WaitForOutcome(bits::kSfr), Outcome::SignedIn);
  EXPECT_EQ(RequestsTo("webmail.sfr.fr", "/webmail/mailbox.html").size(), 1u);
}

// One round of sign-ins: one window per type, in the order asked; the user's close counts as
// not signed in, brings no check forward, and the type is not asked again before the check
// timer fires.
TEST_F(LoginWindowTest, OneWindowPerTypeAndAClosedOneWaitsForTheTimer) {
  ASSERT_TRUE(windows_->Run(bits::kFacebook));
  ASSERT_TRUE(windows_->Run(bits::kTwitter));
  ASSERT_TRUE(windows_->Run(bits::kFacebook));
  // The round is still being handled: its other types were queued, not refused.
  EXPECT_FALSE(windows_->IsOpen());
  EXPECT_EQ(windows_->openType(), bits::kFacebook);
  EXPECT_EQ(windows_->queuedMask(), bits::kTwitter);
  QCoreApplication::processEvents();
  EXPECT_TRUE(windows_->IsOpen());

  ASSERT_TRUE(RunUntil([] { return WindowShown(); }));
  // Timer 5 ticks Messenger's box.
  ASSERT_TRUE(RunUntil([] { return !RequestsTo("www.messenger.com", "/ticked").empty(); }));
  // The window carries the program's icon.
  const std::string iconFile = folder->path() + "/icon.txt";
  std::system(("DISPLAY=" + display + " xprop -name 'Tarvel E-Mail Notifier' _NET_WM_ICON >" +
               iconFile + " 2>&1")
                  .c_str());
  std::ifstream iconText(iconFile);
  const std::string icon((std::istreambuf_iterator<char>(iconText)),
                         std::istreambuf_iterator<char>());
  EXPECT_NE(icon.find("Icon ("), std::string::npos) << icon.substr(0, 200);
  if (const char* shot = std::getenv("TARVEL_TEST_SCREENSHOT")) {
    RunUntil([] { return !RequestsTo("www.messenger.com", "/ticked").empty(); });
    RunUntil([] { return false; }, 500ms);  // painted
    std::system(("DISPLAY=" + display + " import -window root " + shot).c_str());
  }
  ASSERT_TRUE(CloseWindowAsUser());
  EXPECT_EQ(WaitForOutcome(bits::kFacebook), Outcome::ClosedByUser);
  ASSERT_TRUE(RunUntil([&] { return windows_->openType() == bits::kTwitter; }));
  ASSERT_TRUE(RunUntil([] { return !RequestsTo("x.com", "/").empty() && WindowShown(); }));
  ASSERT_TRUE(CloseWindowAsUser());
  EXPECT_EQ(WaitForOutcome(bits::kTwitter), Outcome::ClosedByUser);
  EXPECT_EQ(outcomes_.size(), 2u);
  EXPECT_TRUE(checkTimers_.empty());
  EXPECT_EQ(regularTimers_, 1);
  EXPECT_EQ(windows_->dismissedMask(), bits::kFacebook | bits::kTwitter);

  // The re-check right after the round asks again: no window.
  EXPECT_TRUE(windows_->Run(bits::kFacebook));
  EXPECT_EQ(windows_->openType(), 0u);
  EXPECT_EQ(trace_.back(), "LoginWindowDismissed");
  // The check timer's check asks again: the window comes back.
  windows_->OnCheckTimer();
  EXPECT_TRUE(windows_->Run(bits::kFacebook));
  EXPECT_EQ(windows_->openType(), bits::kFacebook);
  windows_->BringToFront();
  ASSERT_TRUE(RunUntil([] { return WindowShown(); }));
}

// The main window's dispatch as the program has it: the check timer tells the login windows
// that a regular check starts.
class CycleHandler : public MainWindowHandler {
 public:
  CycleHandler(CheckCycle& cycle, LoginRunner& runner) : cycle_(cycle), runner_(runner) {}
  intptr_t OnMessage(uint32_t message, uintptr_t wParam, intptr_t lParam) override {
    cycle_.HandleMessage(message, wParam, lParam);
    return 0;
  }
  void OnTimer(uint32_t timerId) override {
    if (timerId == kTimerCheck) {
      runner_.OnCheckTimer();
    }
    cycle_.HandleTimer(timerId);
  }

 private:
  CheckCycle& cycle_;
  LoginRunner& runner_;
};

// The check cycle with the real windows: a check whose two types need a sign-in opens one
// window per type, the re-check while they are open adds none, closing them leaves the next
// check to the timer, and the timer's check asks again.
TEST_F(LoginWindowTest, StatusTwoCheckOpensOneWindowPerTypeAndLeavesTheNextCheckToTheTimer) {
  OptionFlags flags{0};
  AccountTypeList accounts{flags, testing::ScriptedEngineFactory()};
  ManualMainWindow window;
  testing::RecordingNotifier notifier;
  testing::FakeClock clock;
  testing::RecordingTrace trace;
  CheckCycle cycle{accounts, window, notifier, *windows_, clock, trace};
  CycleHandler handler{cycle, *windows_};
  window.setHandler(&handler);
  flags.set(FindAccountType(bits::kFacebook)->selectBit |
            FindAccountType(bits::kTwitter)->selectBit);
  testing::ScriptedEngine& facebook = testing::Scripted(accounts, bits::kFacebook);
  facebook.queue({CheckStatus::LoginNeeded});
  testing::Scripted(accounts, bits::kTwitter).queue({CheckStatus::LoginNeeded});
  const auto finishCheck = [&] {
    ASSERT_TRUE(accounts.checkThread().waitFinished(10'000));
    window.DispatchPending();
  };

  cycle.CheckIn(CheckTrigger::Timed);
  finishCheck();
  EXPECT_EQ(windows_->openType(), bits::kFacebook);
  EXPECT_EQ(windows_->queuedMask(), bits::kTwitter);
  EXPECT_EQ(window.timerInterval(kTimerCheck), 300'000u);
  QCoreApplication::processEvents();
  finishCheck();  // the re-check after the round: both types still need a sign-in
  EXPECT_EQ(windows_->openType(), bits::kFacebook);
  EXPECT_EQ(windows_->queuedMask(), bits::kTwitter);
  EXPECT_EQ(window.timerInterval(kTimerCheck), 300'000u);
  EXPECT_TRUE(accounts.checkThread().isFinished());  // no further re-check
  regularTimer_ = [&] { window.SetTimer(kTimerCheck, cycle.refreshSeconds() * 1000); };

  // The user leaves the window open past the interval: the timer's check finds the types
  // still waiting and only raises the window, setting no timer.
  window.AdvanceBy(300'000);
  finishCheck();
  EXPECT_EQ(windows_->openType(), bits::kFacebook);
  EXPECT_EQ(window.timerInterval(kTimerCheck), std::nullopt);
  const int checksBefore = facebook.checks;

  ASSERT_TRUE(RunUntil([] { return WindowShown(); }));
  ASSERT_TRUE(CloseWindowAsUser());
  EXPECT_EQ(WaitForOutcome(bits::kFacebook), Outcome::ClosedByUser);
  ASSERT_TRUE(RunUntil([&] { return windows_->openType() == bits::kTwitter && WindowShown(); }));
  ASSERT_TRUE(CloseWindowAsUser());
  EXPECT_EQ(WaitForOutcome(bits::kTwitter), Outcome::ClosedByUser);
  // Nothing was brought forward, no check ran meanwhile; the timer runs again at the
  // regular interval.
  EXPECT_TRUE(checkTimers_.empty());
  EXPECT_EQ(window.timerInterval(kTimerCheck), 300'000u);
  EXPECT_EQ(facebook.checks, checksBefore);

  window.AdvanceBy(300'000);
  finishCheck();
  // The timer's check, and the immediate re-check that follows the round it opened.
  EXPECT_GE(facebook.checks, checksBefore + 1);
  EXPECT_EQ(windows_->openType(), bits::kFacebook);
  // The re-check must not outlive the cycle.
  EXPECT_TRUE(accounts.checkThread().waitFinished(10'000));
  window.setHandler(nullptr);
  regularTimer_ = nullptr;
}

// The IMAP sign-in through the window: the pending script runs (timer 8), the loopback
// answer goes to the authoriser, the window closes and reports the account signed in.
TEST_F(LoginWindowTest, ImapSignInHandsTheLoopbackAnswerToTheAuthoriser) {
  std::optional<Outcome> end;
  ASSERT_TRUE(windows_->OpenForImapSignIn(bits::kImap2, [&](Outcome outcome) { end = outcome; }));
  EXPECT_FALSE(windows_->OpenForImapSignIn(bits::kImap3, [](Outcome) {}));  // one at a time
  ASSERT_TRUE(RunUntil([&] { return end.has_value(); }, 40s));
  EXPECT_EQ(end, Outcome::SignedIn);
  EXPECT_EQ(RequestsTo("accounts.google.com", "/script-ran").size(), 1u);
  ASSERT_EQ(oauthAnswers_.size(), 1u);
  EXPECT_EQ(oauthAnswers_[0].first, bits::kImap2);
  EXPECT_EQ(oauthAnswers_[0].second, "http://127.0.0.1/?state=s1&code=c1");
  EXPECT_TRUE(
      std::filesystem::is_directory(folder->path() + "/data/Quorline/Tarvel/browser_IMAP2"));
}

// The IMAP sign-in's other ends, each told once and never within the call that opened the
// window: a provider page that does not load is a window not shown (the sign-in may go
// another way), the user's close is a close, and an answer that does not sign in is told
// as such.
TEST_F(LoginWindowTest, ImapSignInTellsAWindowNotShownFromAClosedOne) {
  const struct {
    const char* name;
    const char16_t* start;
    bool answerSignsIn;
    bool userCloses;
    Outcome outcome;
    const char* traced;
  } rows[] = {
      {"the page does not load", u"https://127.0.0.1:1/o/oauth2/v2/auth?state=s1", true, false,
       Outcome::Failed, "LoginWindowFailed"},
      {"the user closes it", u"https://accounts.google.com/o/oauth2/v2/waiting?state=s1", true,
       true, Outcome::ClosedByUser, "LoginWindowClosed"},
      {"the answer does not sign in", u"https://accounts.google.com/o/oauth2/v2/auth?state=s1",
       false, false, Outcome::NotSignedIn, "LoginWindowNotSignedIn"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    oauthStart_ = Text(row.start);
    oauthSignsIn_ = row.answerSignsIn;
    trace_.clear();
    std::vector<Outcome> ends;
    ASSERT_TRUE(windows_->OpenForImapSignIn(bits::kImap1,
                                            [&](Outcome outcome) { ends.push_back(outcome); }));
    EXPECT_TRUE(ends.empty());
    if (row.userCloses) {
      ASSERT_TRUE(RunUntil([] {
        return !RequestsTo("accounts.google.com", "/o/oauth2/v2/waiting").empty() && WindowShown();
      }));
      ASSERT_TRUE(CloseWindowAsUser());
    }
    ASSERT_TRUE(RunUntil([&] { return !ends.empty(); }, 40s));
    RunUntil([] { return false; }, 200ms);  // nothing more comes
    EXPECT_EQ(ends, std::vector<Outcome>{row.outcome});
    EXPECT_NE(std::find(trace_.begin(), trace_.end(), row.traced), trace_.end());
    // The next sign-in may open at once.
    ASSERT_TRUE(RunUntil([&] { return windows_->openType() == 0; }));
  }
}

// Pure placement: the window fits the screen's available area.
TEST(LoginWindowPlacement, FitsTheAvailableArea) {
  struct Row {
    const char* name;
    QRect area;
    QRect expected;
  };
  const QSize preferred = LoginWindow::kPreferredSize;
  const Row rows[] = {
      {"centred when it fits", QRect(0, 30, 1920, 1050), QRect(448, 171, 1024, 768)},
      {"narrow screen: shrunk and moved to the origin", QRect(100, 0, 800, 1000),
       QRect(100, 0, 800, 768)},
      {"low screen", QRect(0, 24, 1280, 700), QRect(0, 24, 1024, 700)},
      {"both too small", QRect(10, 20, 640, 480), QRect(10, 20, 640, 480)},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    EXPECT_EQ(LoginWindow::Placement(preferred, row.area), row.expected);
  }
}

}  // namespace
}  // namespace tarvel

namespace {

// An Xvfb display of the binary's own, for the helper's windows and the test's QApplication.
pid_t StartDisplay(std::string* name) {
  for (int display = 120 + static_cast<int>(::getpid() % 100); display < 400; ++display) {
    if (std::filesystem::exists("/tmp/.X11-unix/X" + std::to_string(display))) {
      continue;
    }
    *name = ":" + std::to_string(display);
    pid_t server = -1;
    char* argv[] = {const_cast<char*>("Xvfb"),         const_cast<char*>(name->c_str()),
                    const_cast<char*>("-screen"),      const_cast<char*>("0"),
                    const_cast<char*>("1280x1024x24"), const_cast<char*>("-nolisten"),
                    const_cast<char*>("tcp"),          nullptr};
    if (::posix_spawnp(&server, "Xvfb", nullptr, nullptr, argv, environ) != 0) {
      return -1;
    }
    for (int i = 0; i < 500; ++i) {
      if (std::filesystem::exists("/tmp/.X11-unix/X" + std::to_string(display))) {
        return server;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    ::kill(server, SIGTERM);
    ::waitpid(server, nullptr, 0);
  }
  return -1;
}

}  // namespace

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  using tarvel::LoginWindowTest;
  tarvel::testing::TemporaryFolder folder;
  LoginWindowTest::folder = &folder;
  ::setenv("XDG_DATA_HOME", (folder.path() + "/data").c_str(), 1);
  ::setenv("XDG_RUNTIME_DIR", folder.path().c_str(), 1);
  ::setenv("XDG_CONFIG_HOME", (folder.path() + "/config").c_str(), 1);
  if (::geteuid() == 0) {
    ::setenv("QTWEBENGINE_DISABLE_SANDBOX", "1", 1);
  }
  ::setenv("QTWEBENGINE_CHROMIUM_FLAGS", "--disable-gpu", 0);
  const pid_t display = StartDisplay(&LoginWindowTest::display);
  if (display < 0) {
    std::fprintf(stderr, "no Xvfb display\n");
    return 1;
  }
  ::setenv("DISPLAY", LoginWindowTest::display.c_str(), 1);
  ::setenv("QT_QPA_PLATFORM", "xcb", 1);
  int result = 1;
  {
    tarvel::testing::FixtureServer server;
    if (server.Start(tarvel::Routes())) {
      server.ExportEnvironment();
      LoginWindowTest::server = &server;
      QApplication application(argc, argv);
      tarvel::DesktopProgram::PrepareQt();
      result = RUN_ALL_TESTS();
      tarvel::BrowserConnection::Shared().ShutDown();
    }
  }
  ::kill(display, SIGTERM);
  ::waitpid(display, nullptr, 0);
  return result;
}
