// The embedded browser end to end: WebView in this process, the helper tarvel-browser on Qt
// WebEngine, and a local HTTPS server of the test authority reached under real host names
// through TARVEL_CONNECT_TO. One helper serves the whole binary (its start-up is slow), so the
// cases run in order and the fault cases, which end the helper, come last.

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "platform/browser_connection.h"
#include "platform/cookie_store.h"
#include "platform/http_session.h"
#include "platform/web_view.h"
#include "platform/worker_thread.h"
#include "tests/support/fixture_server.h"

extern char** environ;

namespace tarvel {
namespace {

using testing::FixtureServer;
using testing::TemporaryFolder;
using namespace std::chrono_literals;

constexpr char kHost[] = "https://mail.google.com";

std::string Page(const std::string& title, const std::string& body) {
  return "<!DOCTYPE html><html><head><title>" + title + "</title></head><body>" + body +
         "</body></html>";
}

// A header list of one header (an initializer list of two strings would make an object).
nlohmann::json Header(const std::string& name, const std::string& value) {
  return nlohmann::json::array({nlohmann::json::array({name, value})});
}

nlohmann::json Routes() {
  const auto html = [](const std::string& path, const std::string& body,
                       nlohmann::json headers = nlohmann::json::array()) {
    headers.push_back(nlohmann::json::array({"Content-Type", "text/html; charset=utf-8"}));
    return nlohmann::json{
        {"host", "mail.google.com"}, {"path", path}, {"body", body}, {"headers", headers}};
  };
  return nlohmann::json::array({
      html("/inbox", Page("Inbox", "<p id=\"first\">Two unread &amp; one \"quoted\"</p>")),
      html("/other", Page("Other", "<p>other page</p>")),
      html("/blocked", Page("Blocked", "<p>must never load</p>")),
      html("/popup", Page("Popup", "<script>window.open('/opened', '_blank');</script>")),
      html("/opened", Page("Opened", "<p>new window</p>")),
      html("/message", Page("Message",
                            "<script>chrome.webview.postMessage('hello <host>');"
                            "chrome.webview.postMessage({count: 2, list: [1, 'a']});</script>")),
      html("/set-cookie", Page("Cookie", "<p>set</p>"),
           Header("Set-Cookie", "shared=yes; Path=/; Max-Age=3600; Secure")),
      {{"host", "mail.google.com"},
       {"path", "/echo"},
       {"echo", true},
       {"headers", Header("Content-Type", "text/plain")}},
      {{"host", "mail.google.com"},
       {"path", "/feed/atom"},
       {"body",
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?><feed "
        "xmlns=\"http://purl.org/atom/ns#\"><title>Inbox &amp; more</title><fullcount>2"
        "</fullcount><entry><title>First &lt;mail&gt;</title></entry></feed>"},
       {"headers", Header("Content-Type", "application/xml")}},
      {{"host", "mail.google.com"},
       {"path", "/report"},
       {"body", "report body bytes"},
       {"headers", Header("Content-Disposition", "attachment; filename=\"report.txt\"")}},
      {{"host", "mail.google.com"},
       {"path", "/never"},
       {"stall", "before_headers"},
       {"stall_seconds", 120}},
      // A sign-in of a mirrored profile: a session cookie from the server (http-only), a
      // lasting one and a parent-domain one from the page's script; then one deleted.
      {{"host", "www.linkedin.com"},
       {"path", "/mirror-set"},
       {"body", Page("Mirror",
                     "<script>document.cookie = 'lang=v=2&lang=en-us; path=/; "
                     "max-age=3600'; document.cookie = 'bcookie=x1; "
                     "domain=.linkedin.com; path=/';</script>")},
       {"headers", nlohmann::json::array({nlohmann::json::array({"Content-Type", "text/html"}),
                                          nlohmann::json::array({"Set-Cookie",
                                                                 "li_at=AQE; Path=/; Secure; "
                                                                 "HttpOnly"})})}},
      {{"host", "www.linkedin.com"},
       {"path", "/mirror-delete"},
       {"body", Page("Mirror", "<script>document.cookie = 'lang=; path=/; max-age=0';</script>")},
       {"headers", Header("Content-Type", "text/html")}},
      {{"host", "www.linkedin.com"},
       {"path", "/echo"},
       {"echo", true},
       {"headers", Header("Content-Type", "text/plain")}},
      // Google's feed without a session: 401 with a Basic challenge and a page of its own.
      {{"host", "mail.google.com"},
       {"path", "/protected"},
       {"basic_auth", "joe:secret"},
       {"denied_body", Page("Unauthorized", "<h1>Error 401</h1>")},
       {"body", Page("Protected", "<p>must never load</p>")},
       {"headers", Header("Content-Type", "text/html")}},
      {{"host", "slow.example.com"},
       {"path", "/busy"},
       {"body", Page("Busy", "<p>busy</p>")},
       {"headers", Header("Content-Type", "text/html")}},
  });
}

// Waits (bounded) for a condition the helper's events make true.
template <typename Predicate>
bool Eventually(Predicate predicate, std::chrono::seconds limit = 20s) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (std::chrono::steady_clock::now() < deadline) {
    if (predicate()) {
      return true;
    }
    std::this_thread::sleep_for(20ms);
  }
  return predicate();
}

class WebViewTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    folder_ = new TemporaryFolder;
    ::setenv("XDG_DATA_HOME", (folder_->path() + "/data").c_str(), 1);
    ::setenv("XDG_RUNTIME_DIR", folder_->path().c_str(), 1);
    // Chromium refuses to run as root inside its sandbox; the tests run as root in CI.
    if (::geteuid() == 0) {
      ::setenv("QTWEBENGINE_DISABLE_SANDBOX", "1", 1);
    }
    ::setenv("QTWEBENGINE_CHROMIUM_FLAGS", "--disable-gpu", 0);
    server_ = new FixtureServer;
    ASSERT_TRUE(server_->Start(Routes()));
    server_->ExportEnvironment();
  }
  static void TearDownTestSuite() {
    BrowserConnection::Shared().ShutDown();
    delete server_;
    delete folder_;
  }

  static std::vector<std::string> PathsRequested() {
    std::vector<std::string> paths;
    for (const auto& request : server_->Requests()) {
      paths.push_back(request.value("path", ""));
    }
    return paths;
  }
  static std::size_t CountRequests(const std::string& path) {
    std::size_t count = 0;
    for (const std::string& requested : PathsRequested()) {
      count += requested == path ? 1 : 0;
    }
    return count;
  }
  // The Cookie header of the latest /echo request.
  static std::string LastEchoCookie() {
    std::string cookie = "(no request)";
    for (const auto& request : server_->Requests()) {
      if (request.value("path", "") == "/echo") {
        cookie = FixtureServer::Header(request, "Cookie");
      }
    }
    return cookie;
  }

  static TemporaryFolder* folder_;
  static FixtureServer* server_;
};

TemporaryFolder* WebViewTest::folder_ = nullptr;
FixtureServer* WebViewTest::server_ = nullptr;

TEST_F(WebViewTest, NavigatesAndRunsScripts) {
  WebView view;
  ASSERT_TRUE(view.Create(nullptr, 0));
  ASSERT_TRUE(view.Navigate(Text::FromUtf8(std::string(kHost) + "/inbox"), NavigateWait::Yes));
  Text url;
  ASSERT_TRUE(view.CurrentUrl(&url));
  EXPECT_EQ(url.ToUtf8(), std::string(kHost) + "/inbox");

  // Script values come back as JSON text: strings quoted and escaped, "<" as \u003C.
  struct Row {
    const char* name;
    const char* script;
    const char* json;
  };
  const Row rows[] = {
      {"string", "document.getElementById('first').textContent",
       R"("Two unread & one \"quoted\"")"},
      {"number", "6 * 7", "42"},
      {"fraction", "1 / 4", "0.25"},
      {"object", "({name: 'a<b', list: [1, true, null], nested: {x: 'line\\nbreak'}})",
       R"({"list":[1,true,null],"name":"a\u003Cb","nested":{"x":"line\nbreak"}})"},
      {"undefined", "undefined", "null"},
      {"statements", "var list = new Array(); list.push('x'); list;", R"(["x"])"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    Text result;
    ASSERT_TRUE(view.ExecuteScript(Text::FromUtf8(row.script), &result));
    EXPECT_EQ(result.ToUtf8(), row.json);
  }
}

TEST_F(WebViewTest, DocumentSourceOfHtmlAndOfTheXmlViewer) {
  WebView view;
  ASSERT_TRUE(view.Create(nullptr, 0));
  ASSERT_TRUE(view.Navigate(Text::FromUtf8(std::string(kHost) + "/inbox"), NavigateWait::Yes));
  Text source;
  ASSERT_TRUE(view.GetDocumentSource(&source, true, 0));
  EXPECT_EQ(source.ToUtf8().rfind("<html><head><title>Inbox</title>", 0), 0u) << source.ToUtf8();
  EXPECT_NE(source.ToUtf8().find("<p id=\"first\">Two unread &amp; one \"quoted\"</p>"),
            std::string::npos);
  // Without unescaping the JSON escapes stay, as the engines that search for them expect.
  ASSERT_TRUE(view.GetDocumentSource(&source, false, 0));
  EXPECT_NE(source.ToUtf8().find(R"(\u003Cp id=\"first\">)"), std::string::npos);
  ASSERT_TRUE(view.GetDocumentSource(&source, true, 1));
  EXPECT_EQ(
      source.ToUtf8().rfind("<!DOCTYPE html><html xmlns=\"http://www.w3.org/1999/xhtml\">", 0), 0u)
      << source.ToUtf8();

  // An XML answer is shown by the XML viewer; mode 0 reads the document it shows.
  ASSERT_TRUE(view.Navigate(Text::FromUtf8(std::string(kHost) + "/feed/atom"), NavigateWait::Yes));
  ASSERT_TRUE(view.GetDocumentSource(&source, true, 0));
  EXPECT_NE(source.ToUtf8().find("<fullcount>2</fullcount>"), std::string::npos) << source.ToUtf8();
  EXPECT_NE(source.ToUtf8().find("<title>First &lt;mail&gt;</title>"), std::string::npos);
  ASSERT_TRUE(view.GetDocumentSource(&source, true, 1));
  EXPECT_NE(source.ToUtf8().find("<fullcount>2</fullcount>"), std::string::npos) << source.ToUtf8();
}

struct NavigationLog {
  std::mutex mutex;
  std::vector<std::pair<std::string, int>> asked;
  std::vector<bool> completions;
  std::vector<std::string> messages;
  std::vector<std::string> downloads;
  std::string downloadTarget;

  template <typename T>
  std::size_t Size(const std::vector<T>& list) {
    std::lock_guard lock(mutex);
    return list.size();
  }
};

int RefuseBlocked(const Text& url, int newWindow, void* context) {
  auto* log = static_cast<NavigationLog*>(context);
  const std::string address = url.ToUtf8();
  std::lock_guard lock(log->mutex);
  log->asked.emplace_back(address, newWindow);
  return address.find("/blocked") != std::string::npos ||
                 address.find("/opened") != std::string::npos
             ? 0
             : 1;
}

void RecordCompletion(bool success, void* context) {
  auto* log = static_cast<NavigationLog*>(context);
  std::lock_guard lock(log->mutex);
  log->completions.push_back(success);
}

void RecordMessage(const Text& message, void* context) {
  auto* log = static_cast<NavigationLog*>(context);
  std::lock_guard lock(log->mutex);
  log->messages.push_back(message.ToUtf8());
}

int RedirectDownload(int mode, Text* path, void* context) {
  auto* log = static_cast<NavigationLog*>(context);
  std::lock_guard lock(log->mutex);
  log->downloads.push_back(std::to_string(mode) + " " + path->ToUtf8());
  *path = Text::FromUtf8(log->downloadTarget);
  return 1;
}

TEST_F(WebViewTest, CallbacksDecideAndHearTheView) {
  NavigationLog log;
  log.downloadTarget = folder_->path() + "/saved/report-copy.txt";
  std::filesystem::create_directories(folder_->path() + "/saved");
  WebView view;
  ASSERT_TRUE(view.Create(&log, 0));
  view.SetCallbacks(RefuseBlocked, RecordMessage, RecordCompletion, RedirectDownload);
  ASSERT_TRUE(view.Navigate(Text::FromUtf8(std::string(kHost) + "/inbox"), NavigateWait::Yes));

  // A refused navigation: the view stays where it was and the page is never asked for.
  EXPECT_FALSE(view.Navigate(Text::FromUtf8(std::string(kHost) + "/blocked"), NavigateWait::Yes));
  Text url;
  ASSERT_TRUE(view.CurrentUrl(&url));
  EXPECT_EQ(url.ToUtf8(), std::string(kHost) + "/inbox");
  EXPECT_EQ(CountRequests("/blocked"), 0u);

  // A refused new window: no window, no request, the view's page unchanged.
  ASSERT_TRUE(view.Navigate(Text::FromUtf8(std::string(kHost) + "/popup"), NavigateWait::Yes));
  ASSERT_TRUE(Eventually([&] {
    std::lock_guard lock(log.mutex);
    for (const auto& [address, newWindow] : log.asked) {
      if (newWindow == 1) {
        return true;
      }
    }
    return false;
  }));
  {
    std::lock_guard lock(log.mutex);
    EXPECT_EQ(log.asked.back(), std::make_pair(std::string(kHost) + "/opened", 1));
  }
  ASSERT_TRUE(view.CurrentUrl(&url));
  EXPECT_EQ(url.ToUtf8(), std::string(kHost) + "/popup");
  EXPECT_EQ(CountRequests("/opened"), 0u);

  // Web messages: a string as it is, any other value as JSON text.
  ASSERT_TRUE(view.Navigate(Text::FromUtf8(std::string(kHost) + "/message"), NavigateWait::Yes));
  ASSERT_TRUE(Eventually([&] { return log.Size(log.messages) >= 2; }));
  {
    std::lock_guard lock(log.mutex);
    EXPECT_EQ(log.messages[0], "hello <host>");
    EXPECT_EQ(log.messages[1], R"({"count":2,"list":[1,"a"]})");
    // Every view navigation was asked about first, and each completed once.
    EXPECT_EQ(log.asked.front(), std::make_pair(std::string(kHost) + "/inbox", 0));
    EXPECT_EQ(log.completions, (std::vector<bool>{true, false, true, true}));
  }

  // A download goes where the callback says.
  view.Navigate(Text::FromUtf8(std::string(kHost) + "/report"), NavigateWait::No);
  ASSERT_TRUE(Eventually([&] {
    std::ifstream file(log.downloadTarget);
    std::string content((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    return content == "report body bytes";
  }));
  std::lock_guard lock(log.mutex);
  ASSERT_EQ(log.downloads.size(), 1u);
  EXPECT_EQ(log.downloads[0].rfind("0 /", 0), 0u);
  EXPECT_EQ(std::filesystem::path(log.downloads[0]).filename(), "report.txt");
}

TEST_F(WebViewTest, SharedProfileKeepsCookiesAndOffTheRecordViewsDoNot) {
  {
    WebView signIn;
    ASSERT_TRUE(signIn.Create(nullptr, web_view_flags::kSharedProfile));
    ASSERT_TRUE(
        signIn.Navigate(Text::FromUtf8(std::string(kHost) + "/set-cookie"), NavigateWait::Yes));
  }
  WebView engine;
  ASSERT_TRUE(engine.Create(nullptr, web_view_flags::kSharedProfile));
  ASSERT_TRUE(engine.Navigate(Text::FromUtf8(std::string(kHost) + "/echo"), NavigateWait::Yes));
  EXPECT_EQ(LastEchoCookie(), "shared=yes");

  WebView privateView;
  ASSERT_TRUE(privateView.Create(nullptr, 0));
  ASSERT_TRUE(
      privateView.Navigate(Text::FromUtf8(std::string(kHost) + "/echo"), NavigateWait::Yes));
  EXPECT_EQ(LastEchoCookie(), "");

  // A profile of its own for a folder suffix.
  WebView imap;
  ASSERT_TRUE(imap.Create(nullptr, web_view_flags::kSharedProfile, u"_IMAP1"));
  ASSERT_TRUE(imap.Navigate(Text::FromUtf8(std::string(kHost) + "/echo"), NavigateWait::Yes));
  EXPECT_EQ(LastEchoCookie(), "");
  EXPECT_TRUE(
      std::filesystem::is_directory(folder_->path() + "/data/Quorline/Tarvel/browser_IMAP1"));
  WebView badSuffix;
  EXPECT_FALSE(badSuffix.Create(nullptr, web_view_flags::kSharedProfile, u"/../escape"));

  ASSERT_TRUE(engine.DeleteBrowserCookies(u"shared", u"mail.google.com", u"/"));
  ASSERT_TRUE(Eventually([&] {
    engine.Navigate(Text::FromUtf8(std::string(kHost) + "/echo"), NavigateWait::Yes);
    return LastEchoCookie().empty();
  }));
}

// The mirrored profile's cookies reach the HTTP client's store with their attributes, so
// HttpSession sends them; a cookie the page deletes leaves the store too.
TEST_F(WebViewTest, MirroredProfileCookiesReachTheHttpClientBothWays) {
  CookieStore& store = CookieStore::Shared();
  const auto www = CookieUrl::Parse("https://www.linkedin.com/");
  ASSERT_TRUE(www);
  const auto find = [&](const std::string& name) -> std::optional<StoredCookie> {
    for (const StoredCookie& cookie : store.AllCookies()) {
      if (cookie.name == name) {
        return cookie;
      }
    }
    return std::nullopt;
  };
  WebView view;
  ASSERT_TRUE(view.Create(nullptr, web_view_flags::kSharedProfile | web_view_flags::kMirrorCookies,
                          u"_Mirrored"));
  ASSERT_TRUE(view.Navigate(u"https://www.linkedin.com/mirror-set", NavigateWait::Yes));
  ASSERT_TRUE(Eventually([&] { return find("li_at") && find("lang") && find("bcookie"); }));

  const StoredCookie session = *find("li_at");
  EXPECT_EQ(session.value, "AQE");
  EXPECT_EQ(session.domain, "www.linkedin.com");
  EXPECT_TRUE(session.hostOnly);
  EXPECT_TRUE(session.httpOnly);
  EXPECT_TRUE(session.secure);
  EXPECT_EQ(session.expires, 0);
  const StoredCookie lasting = *find("lang");
  EXPECT_EQ(lasting.value, "v=2&lang=en-us");
  EXPECT_FALSE(lasting.httpOnly);
  const auto now = static_cast<std::int64_t>(std::time(nullptr));
  EXPECT_GT(lasting.expires, now + 3500);
  EXPECT_LE(lasting.expires, now + 3600);
  const StoredCookie parent = *find("bcookie");
  EXPECT_EQ(parent.domain, "linkedin.com");
  EXPECT_FALSE(parent.hostOnly);

  const auto echoCookie = [&] {
    HttpSession http;
    HttpRequest request;
    request.server = u"www.linkedin.com";
    request.object = u"/echo";
    request.port = 443;
    Text body;
    int status = 0;
    EXPECT_TRUE(http.Request(request, &body, &status));
    EXPECT_EQ(status, 200);
    std::string cookie;
    for (const auto& recorded : server_->Requests()) {
      if (recorded.value("host", "") == "www.linkedin.com" &&
          recorded.value("path", "") == "/echo") {
        cookie = FixtureServer::Header(recorded, "Cookie");
      }
    }
    return cookie;
  };
  const std::string sent = echoCookie();
  EXPECT_NE(sent.find("li_at=AQE"), std::string::npos) << sent;
  EXPECT_NE(sent.find("lang=v=2&lang=en-us"), std::string::npos) << sent;
  EXPECT_NE(sent.find("bcookie=x1"), std::string::npos) << sent;

  ASSERT_TRUE(view.Navigate(u"https://www.linkedin.com/mirror-delete", NavigateWait::Yes));
  ASSERT_TRUE(Eventually([&] { return !find("lang"); }));
  const std::string after = echoCookie();
  EXPECT_EQ(after.find("lang="), std::string::npos) << after;
  EXPECT_NE(after.find("li_at=AQE"), std::string::npos) << after;
  view.Close();

  // A view of a profile that is not mirrored leaves the store alone.
  store.Remove(*www, CookieAccess::IncludingHttpOnly);
  WebView plain;
  ASSERT_TRUE(plain.Create(nullptr, web_view_flags::kSharedProfile, u"_Plain"));
  ASSERT_TRUE(plain.Navigate(u"https://www.linkedin.com/mirror-set", NavigateWait::Yes));
  ASSERT_TRUE(plain.Navigate(u"https://www.linkedin.com/echo", NavigateWait::Yes));
  EXPECT_FALSE(find("li_at"));
}

// What the helper reports is untrusted: a report that would smuggle attributes into the
// cookie text, or names no usable place, is not stored.
TEST(WebViewMirror, RefusesReportsThatAreNotOneCookie) {
  TemporaryFolder folder;
  CookieStore store(folder.path() + "/cookies");
  const nlohmann::json good = {{"event", "cookie"},       {"name", "a"},      {"value", "1"},
                               {"domain", "example.com"}, {"hostOnly", true}, {"path", "/"},
                               {"secure", false},         {"httpOnly", true}, {"expires", 0}};
  struct Row {
    const char* name;
    const char* member;
    nlohmann::json value;
  };
  const Row rows[] = {
      {"value with a separator", "value", "1; Domain=evil.example"},
      {"name with a separator", "name", "a; Path=/x"},
      {"name with equals", "name", "a=b"},
      {"empty domain", "domain", ""},
      {"relative path", "path", "x"},
      {"missing expiry", "expires", nullptr},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    nlohmann::json report = good;
    if (row.value.is_null()) {
      report.erase(row.member);
    } else {
      report[row.member] = row.value;
    }
    EXPECT_FALSE(WebView::MirrorCookie(report, store));
  }
  EXPECT_TRUE(store.AllCookies().empty());
  ASSERT_TRUE(WebView::MirrorCookie(good, store));
  ASSERT_EQ(store.AllCookies().size(), 1u);
  EXPECT_TRUE(store.AllCookies()[0].httpOnly);
  nlohmann::json removed = good;
  removed["removed"] = true;
  EXPECT_TRUE(WebView::MirrorCookie(removed, store));
  EXPECT_TRUE(store.AllCookies().empty());
}

TEST_F(WebViewTest, LoadPageSourceReadsTheRenderedPage) {
  Text source;
  ASSERT_TRUE(WebView::LoadPageSource(Text::FromUtf8(std::string(kHost) + "/inbox"), &source, 100));
  EXPECT_NE(source.ToUtf8().find("<p id=\"first\">"), std::string::npos) << source.ToUtf8();
  EXPECT_FALSE(WebView::LoadPageSource(u"not an address", &source, 0));
}

TEST_F(WebViewTest, AuthenticationChallengeIsDeclinedAndLeavesABlankLoadedPage) {
  const std::string url = std::string(kHost) + "/protected";
  Text source;
  ASSERT_TRUE(WebView::LoadPageSource(Text::FromUtf8(url), &source, 0));
  EXPECT_EQ(source.ToUtf8(), "<html><head></head><body></body></html>");
  // Asked once, without credentials: no empty user name was tried on the challenge.
  std::size_t asked = 0;
  for (const auto& request : server_->Requests()) {
    if (request.value("path", "") == "/protected") {
      ++asked;
      EXPECT_EQ(FixtureServer::Header(request, "Authorization"), "");
    }
  }
  EXPECT_EQ(asked, 1u);

  // A view stays where the challenge was and goes on to the next page as usual.
  WebView view;
  ASSERT_TRUE(view.Create(nullptr, 0));
  ASSERT_TRUE(view.Navigate(Text::FromUtf8(url), NavigateWait::Yes));
  Text current;
  ASSERT_TRUE(view.CurrentUrl(&current));
  EXPECT_EQ(current.ToUtf8(), url);
  ASSERT_TRUE(view.Navigate(Text::FromUtf8(std::string(kHost) + "/inbox"), NavigateWait::Yes));
  ASSERT_TRUE(view.GetDocumentSource(&source, true, 0));
  EXPECT_NE(source.ToUtf8().find("<p id=\"first\">"), std::string::npos) << source.ToUtf8();
}

TEST_F(WebViewTest, DeadlinesEndPagesAndScriptsThatNeverFinish) {
  WebViewTimeouts timeouts;
  timeouts.navigation = 2s;
  timeouts.script = 2s;
  WebView view;
  view.SetTimeouts(timeouts);
  ASSERT_TRUE(view.Create(nullptr, 0));
  EXPECT_FALSE(view.Navigate(Text::FromUtf8(std::string(kHost) + "/never"), NavigateWait::Yes));

  WebView busy;
  busy.SetTimeouts(timeouts);
  ASSERT_TRUE(busy.Create(nullptr, 0));
  ASSERT_TRUE(busy.Navigate(u"https://slow.example.com/busy", NavigateWait::Yes));
  Text result;
  EXPECT_FALSE(busy.ExecuteScript(u"while (true) {}", &result));
  busy.Close();

  // The helper still serves other views.
  ASSERT_TRUE(view.Navigate(Text::FromUtf8(std::string(kHost) + "/inbox"), NavigateWait::Yes));
  ASSERT_TRUE(view.ExecuteScript(u"document.title", &result));
  EXPECT_EQ(result.ToUtf8(), "\"Inbox\"");
}

TEST_F(WebViewTest, StopRequestEndsNavigateAtOnce) {
  WorkerThread thread;
  std::atomic<int> outcome{-1};
  ASSERT_TRUE(thread.start([&]() -> uint32_t {
    WebView view;
    if (!view.Create(nullptr, 0)) {
      outcome = 2;
      return 0;
    }
    outcome = view.Navigate(Text::FromUtf8(std::string(kHost) + "/never"), NavigateWait::Yes);
    return 0;
  }));
  ASSERT_TRUE(Eventually([] { return CountRequests("/never") >= 2; }));
  const auto stopped = std::chrono::steady_clock::now();
  thread.requestStop();
  // The navigation's own deadline is a minute away.
  ASSERT_TRUE(thread.waitFinished(5000));
  const auto waited = std::chrono::steady_clock::now() - stopped;
  EXPECT_EQ(outcome.load(), 0);
  std::printf("Navigate returned %lld ms after the stop request\n",
              static_cast<long long>(
                  std::chrono::duration_cast<std::chrono::milliseconds>(waited).count()));
}

TEST_F(WebViewTest, HelperDyingDuringAScriptFailsTheCallAndTheNextCreateStartsAnother) {
  WebViewTimeouts timeouts;
  timeouts.script = 120s;
  WebView view;
  view.SetTimeouts(timeouts);
  ASSERT_TRUE(view.Create(nullptr, 0));
  ASSERT_TRUE(view.Navigate(u"https://slow.example.com/busy", NavigateWait::Yes));
  const pid_t helper = BrowserConnection::Shared().HelperProcess();
  ASSERT_GT(helper, 0);

  std::atomic<bool> returned{false};
  bool succeeded = true;
  std::chrono::steady_clock::duration took{};
  std::thread caller([&] {
    Text result;
    succeeded = view.ExecuteScript(u"while (true) {}", &result);
    returned = true;
  });
  std::this_thread::sleep_for(300ms);  // the script is running
  const auto killed = std::chrono::steady_clock::now();
  ::kill(helper, SIGKILL);
  ASSERT_TRUE(Eventually([&] { return returned.load(); }, 10s));
  took = std::chrono::steady_clock::now() - killed;
  caller.join();
  EXPECT_FALSE(succeeded);
  std::printf(
      "ExecuteScript returned %lld ms after the helper was killed\n",
      static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(took).count()));
  // The old view stays failed; a new one gets a new helper.
  Text result;
  EXPECT_FALSE(view.ExecuteScript(u"1", &result));
  WebView next;
  ASSERT_TRUE(next.Create(nullptr, 0));
  EXPECT_NE(BrowserConnection::Shared().HelperProcess(), helper);
  ASSERT_TRUE(next.Navigate(Text::FromUtf8(std::string(kHost) + "/inbox"), NavigateWait::Yes));
  ASSERT_TRUE(next.ExecuteScript(u"document.title", &result));
  EXPECT_EQ(result.ToUtf8(), "\"Inbox\"");
}

// A visible view is the helper's own top-level window, where and as the notifier asks. Runs
// a helper of its own on a private X server (Xvfb); without one the case is skipped.
TEST_F(WebViewTest, VisibleViewIsAWindowPlacedAndTitledAsAsked) {
  if (std::system("command -v Xvfb >/dev/null && command -v xwininfo >/dev/null") != 0) {
    GTEST_SKIP() << "needs Xvfb and xwininfo";
  }
  BrowserConnection::Shared().ShutDown();
  int display = 0;
  pid_t server = -1;
  for (display = 90 + static_cast<int>(::getpid() % 100); server < 0; ++display) {
    if (std::filesystem::exists("/tmp/.X11-unix/X" + std::to_string(display))) {
      continue;
    }
    const std::string name = ":" + std::to_string(display);
    char* argv[] = {const_cast<char*>("Xvfb"),        const_cast<char*>(name.c_str()),
                    const_cast<char*>("-screen"),     const_cast<char*>("0"),
                    const_cast<char*>("1024x768x24"), const_cast<char*>("-nolisten"),
                    const_cast<char*>("tcp"),         nullptr};
    ASSERT_EQ(::posix_spawnp(&server, "Xvfb", nullptr, nullptr, argv, environ), 0);
    if (!Eventually(
            [&] { return std::filesystem::exists("/tmp/.X11-unix/X" + std::to_string(display)); },
            10s)) {
      ::kill(server, SIGTERM);
      ::waitpid(server, nullptr, 0);
      server = -1;
    } else {
      break;
    }
  }
  const std::string name = ":" + std::to_string(display);
  ::setenv("DISPLAY", name.c_str(), 1);
  ::setenv("QT_QPA_PLATFORM", "xcb", 1);
  std::string geometry;
  std::atomic<bool> closedByUser{false};
  bool closeSent = false;
  {
    WebView view;
    const bool created = view.Create(&closedByUser, 0);
    view.SetClosedCallback(
        [](void* context) { static_cast<std::atomic<bool>*>(context)->store(true); });
    ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    ::unsetenv("DISPLAY");
    EXPECT_TRUE(created);
    if (created) {
      EXPECT_TRUE(view.Navigate(Text::FromUtf8(std::string(kHost) + "/inbox"), NavigateWait::Yes));
      EXPECT_TRUE(view.SetBounds(100, 120, 739, 599));
      EXPECT_TRUE(view.SetVisible(true, u"Sign in to Gmail"));
      const std::string command = "DISPLAY=" + name +
                                  " xwininfo -name 'Sign in to Gmail' 2>/dev/null | grep -E "
                                  "'Absolute upper-left|Width|Height' | tr -s ' ' >" +
                                  folder_->path() + "/window.txt";
      Eventually([&] {
        std::system(command.c_str());
        std::ifstream file(folder_->path() + "/window.txt");
        geometry.assign(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
        return geometry.find("Height") != std::string::npos;
      });
      if (const char* shot = std::getenv("TARVEL_TEST_SCREENSHOT")) {
        std::this_thread::sleep_for(2s);  // a picture for people to look at, once painted
        std::system(("DISPLAY=" + name + " import -window root " + shot).c_str());
      }
      // The user's close (the window manager's close message) is reported.
      closeSent = std::system(("DISPLAY=" + name +
                               " python3 " TARVEL_CLOSE_WINDOW_SCRIPT " 'Sign in to Gmail'")
                                  .c_str()) == 0;
      Eventually([&] { return closedByUser.load(); });
    }
  }
  EXPECT_TRUE(closeSent);
  EXPECT_TRUE(closedByUser.load());
  BrowserConnection::Shared().ShutDown();
  ::kill(server, SIGTERM);
  ::waitpid(server, nullptr, 0);
  // Without a window manager the window lies exactly where it was asked to (in the logical
  // pixels the notifier and the helper share: a scale factor applies to both).
  const char* scaleText = std::getenv("QT_SCALE_FACTOR");
  const int scale = scaleText && std::atoi(scaleText) > 0 ? std::atoi(scaleText) : 1;
  EXPECT_EQ(geometry, " Absolute upper-left X: " + std::to_string(100 * scale) +
                          "\n Absolute upper-left Y: " + std::to_string(120 * scale) +
                          "\n Width: " + std::to_string(640 * scale) +
                          "\n Height: " + std::to_string(480 * scale) + "\n");
}

// Ended: no such process any more, or one that only waits to be reaped.
bool ProcessEnded(pid_t process) {
  std::ifstream stat("/proc/" + std::to_string(process) + "/stat");
  std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
  const std::size_t close = text.rfind(')');
  return close == std::string::npos || text.compare(close + 1, 3, " Z ") == 0;
}

// Run by the next case in a process of its own: holds a view and reports its helper.
TEST_F(WebViewTest, ChildHoldingAView) {
  const char* report = std::getenv("TARVEL_TEST_REPORT_HELPER");
  if (!report) {
    GTEST_SKIP() << "only run as the child of NoHelperOutlivesItsProgram";
  }
  WebView view;
  ASSERT_TRUE(view.Create(nullptr, 0));
  std::ofstream(report) << BrowserConnection::Shared().HelperProcess() << std::endl;
  ::pause();
}

TEST_F(WebViewTest, NoHelperOutlivesItsProgram) {
  const std::string report = folder_->path() + "/helper.pid";
  const std::string variable = "TARVEL_TEST_REPORT_HELPER=" + report;
  std::vector<char*> environment;
  for (char** entry = environ; *entry; ++entry) {
    environment.push_back(*entry);
  }
  environment.push_back(const_cast<char*>(variable.c_str()));
  environment.push_back(nullptr);
  std::string filter = "--gtest_filter=WebViewTest.ChildHoldingAView";
  char* argv[] = {const_cast<char*>("/proc/self/exe"), filter.data(), nullptr};
  pid_t child = -1;
  ASSERT_EQ(::posix_spawn(&child, "/proc/self/exe", nullptr, nullptr, argv, environment.data()), 0);
  pid_t helper = 0;
  const bool reported = Eventually(
      [&] {
        std::ifstream file(report);
        return static_cast<bool>(file >> helper) && helper > 0;
      },
      60s);
  // The program ends the hard way: nothing of it can end the helper.
  ::kill(child, SIGKILL);
  ::waitpid(child, nullptr, 0);
  ASSERT_TRUE(reported);
  EXPECT_TRUE(Eventually([&] { return ProcessEnded(helper); }));
}

TEST_F(WebViewTest, IdleHelperEndsAndAMissingHelperFailsCreate) {
  BrowserConnection::Shared().SetIdleTime(200ms);
  {
    WebView view;
    ASSERT_TRUE(view.Create(nullptr, 0));
  }
  const pid_t helper = BrowserConnection::Shared().HelperProcess();
  ASSERT_GT(helper, 0);
  // Ended and reaped: the process id is gone.
  ASSERT_TRUE(Eventually([&] { return ::kill(helper, 0) != 0; }));
  BrowserConnection::Shared().SetIdleTime(60s);

  ::setenv("TARVEL_BROWSER_HELPER", (folder_->path() + "/no-such-helper").c_str(), 1);
  WebView view;
  EXPECT_FALSE(view.Create(nullptr, 0));
  ::unsetenv("TARVEL_BROWSER_HELPER");
}

}  // namespace
}  // namespace tarvel
