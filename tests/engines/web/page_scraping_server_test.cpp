// The six page-scraping engines against one local HTTPS/HTTP server playing each service
// under its real host names, with the cookies a sign-in left in the HTTP client's store.
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
#include "accounts/account_type_bits.h"
#include "accounts/protected_text.h"
#include "accounts/registry_store.h"
#include "accounts/settings_store.h"
#include "engines/web/linkedin_engine.h"
#include "engines/web/mail_ru_engine.h"
#include "engines/web/o2_engine.h"
#include "engines/web/sfr_engine.h"
#include "engines/web/web_login.h"
#include "engines/web/yandex_engine.h"
#include "engines/web/zoho_engine.h"
#include "platform/base64.h"
#include "platform/cookie_store.h"
#include "tests/engines/web/page_scraping_services.h"
#include "tests/support/fixture_server.h"
#include "tests/support/mail_records.h"
#include "tests/support/temp_folder.h"

extern char** environ;

namespace tarvel {
namespace {

using nlohmann::json;
using testing::FixtureServer;
using Record = testing::MailRecord;
using namespace scraping_fixture;

const AccountTypeInfo& TypeOf(EngineKind kind) {
  for (const AccountTypeInfo& type : kAccountTypes) {
    if (type.engine == kind)
      return type;
  }
  return kAccountTypes[0];
}

// Puts a cookie into the HTTP client's store the way the login window's mirror does.
void PutCookie(const std::string& url, const std::string& setCookie) {
  const std::optional<CookieUrl> target = CookieUrl::Parse(url);
  ASSERT_TRUE(target.has_value());
  ASSERT_TRUE(CookieStore::Shared().Store(*target, setCookie, CookieOrigin::Program,
                                          CookieAccess::IncludingHttpOnly))
      << setCookie;
}

// Every host the services use, for emptying the store between cases.
constexpr const char* kServiceRoots[] = {
    "https://mail.yandex.ru/", "https://passport.yandex.ru/", "https://mail.zoho.com/",
    "https://touch.mail.ru/",  "https://api.o2.pl/",          "https://poczta.o2.pl/",
    "https://webmail.sfr.fr/", "https://messagerie.sfr.fr/",  "https://www.linkedin.com/",
    "https://linkedin.com/",
};

struct Case {
  std::string name;
  json routes;
  CheckStatus status;
  std::vector<Record> records;
};

// One server for the whole executable; each case replaces its routes.
class PageScrapingServerTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    folder_ = std::make_unique<testing::TempFolder>();
    // The cookie store's file is chosen at its first use: inside the test's folder.
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

  static void ClearCookies() {
    for (const char* root : kServiceRoots)
      CookieStore::Shared().Remove(*CookieUrl::Parse(root), CookieAccess::IncludingHttpOnly);
  }

  void SetUp() override {
    ASSERT_TRUE(server_);
    ClearCookies();
    server_->SetRoutes(json::array());
    seen_ = server_->Requests().size();
  }

  // Requests since the last call.
  std::vector<json> NewRequests() {
    std::vector<json> all = server_->Requests();
    std::vector<json> fresh(all.begin() + static_cast<std::ptrdiff_t>(seen_), all.end());
    seen_ = all.size();
    return fresh;
  }

  // Runs each case on a fresh engine made by `make`, with the cookies `signIn` puts into
  // an emptied store.
  void RunCases(const std::vector<Case>& cases,
                const std::function<std::unique_ptr<PageScrapingEngine>()>& make,
                const std::function<void()>& signIn = {}) {
    for (const Case& scrape : cases) {
      SCOPED_TRACE(scrape.name);
      ClearCookies();
      if (signIn)
        signIn();
      server_->SetRoutes(scrape.routes);
      std::unique_ptr<PageScrapingEngine> engine = make();
      EXPECT_EQ(engine->Check(), scrape.status) << engine->lastFailure.ToUtf8();
      EXPECT_EQ(testing::InboxRecords(*engine), scrape.records);
      NewRequests();
    }
  }

  static std::unique_ptr<testing::TempFolder> folder_;
  static std::unique_ptr<FixtureServer> server_;
  std::size_t seen_ = 0;
};

std::unique_ptr<testing::TempFolder> PageScrapingServerTest::folder_;
std::unique_ptr<FixtureServer> PageScrapingServerTest::server_;

// --- Yandex ------------------------------------------------------------------------------

TEST_F(PageScrapingServerTest, YandexAnswers) {
  const std::vector<Case> cases = {
      {"unread mail",
       YandexRoutes(kYandexPage, kYandexMessages),
       CheckStatus::Success,
       {{"Grace Hopper", "Caf\u00E9 & cake", "2026-12-09T09:30:01"},
        {"ada@example.com", "Quarterly figures", "2026-12-08T16:04:12"}}},
      {"no unread mail",
       YandexRoutes(kYandexPage, R"({"models":[{"data":{"messages":[]}}]})"),
       CheckStatus::Success,
       {}},
      {"signed out: the passport's form",
       YandexRoutes("<form method=\"post\" ACTION=\"https://passport.yandex.ru/auth?retpath=x\">",
                    kYandexMessages),
       CheckStatus::LoginNeeded,
       {}},
      {"signed out: an empty model list",
       YandexRoutes(kYandexPage, R"({"models":[],"x":1})"),
       CheckStatus::LoginNeeded,
       {}},
      {"signed out: AUTH_NO_AUTH",
       YandexRoutes(kYandexPage, R"({"models":[{"error":{"code":"AUTH_NO_AUTH"}}]})"),
       CheckStatus::LoginNeeded,
       {}},
      {"error page", json::array({ErrorPage(kYandexHost, "/")}), CheckStatus::Failure, {}},
      {"a page without form key or sign-in form",
       YandexRoutes("<html>maintenance</html>", kYandexMessages),
       CheckStatus::Failure,
       {}},
      {"no enabled boxes",
       YandexRoutes("name=\"_ckey\" value=\"k\" \"exp-boxes\":\"1\"", kYandexMessages),
       CheckStatus::Failure,
       {}},
      {"models answer without messages",
       YandexRoutes(kYandexPage, R"({"models":[{"data":{}}]})"),
       CheckStatus::Failure,
       {}},
      // A fixed-text test misses the sign-out in an answer laid out with blanks.
      {"AUTH_NO_AUTH with blanks",
       YandexRoutes(kYandexPage,
                    "{ \"models\": [ { \"error\": { \"code\": \"AUTH_NO_AUTH\" } } ] }"),
       CheckStatus::LoginNeeded,
       {}},
  };
  const AccountTypeInfo& type = TypeOf(EngineKind::Yandex);
  RunCases(cases, [&type] { return std::make_unique<YandexEngine>(type); });
}

TEST_F(PageScrapingServerTest, YandexInteractiveLoginAfterTheCaptchaOrAPageWithoutMailbox) {
  const AccountTypeInfo& type = TypeOf(EngineKind::Yandex);
  struct Interactive {
    std::string page;
    bool interactive;
  };
  const Interactive pages[] = {
      {"<form action=\"/checkcaptcha?key=1\">", true},
      {"name=\"_ckey\" value=\"k\"", true},  // a mail page without mailbox data
      {"<form action=\"https://passport.yandex.ru/auth\">", false},
  };
  for (const Interactive& page : pages) {
    SCOPED_TRACE(page.page);
    server_->SetRoutes(YandexRoutes(page.page, kYandexMessages));
    YandexEngine engine(type);
    EXPECT_EQ(engine.Check(), CheckStatus::LoginNeeded);
    EXPECT_EQ(engine.interactiveLogin(), page.interactive);
    // The login window opened now starts where the user can answer Yandex's question.
    EXPECT_EQ(web_login::StartPage(type_bits::kYandex, web_login::StartPageContextOf(&engine, 0))
                  .ToUtf8(),
              page.interactive ? "https://mail.yandex.ru/"
                               : "https://passport.yandex.ru/passport?mode=auth");
    // The next check starts without it.
    server_->SetRoutes(YandexRoutes(kYandexPage, kYandexMessages));
    engine.mails.clear();
    EXPECT_EQ(engine.Check(), CheckStatus::Success);
    EXPECT_FALSE(engine.interactiveLogin());
  }
}

TEST_F(PageScrapingServerTest, YandexRequestsCarryTheSessionAndTheEncodedForm) {
  PutCookie("https://mail.yandex.ru/", "Session_id=3:1765;Domain=.yandex.ru;Path=/;HttpOnly");
  PutCookie("https://mail.yandex.ru/", "yandexuid=42;Domain=yandex.ru;Path=/");
  server_->SetRoutes(YandexRoutes(kYandexPage, kYandexMessages));
  const AccountTypeInfo& type = TypeOf(EngineKind::Yandex);
  const std::string form =
      "_model.0=messages&_ckey=ab%2Fc%2Bd%3D%3D&_exp=31%2C0%2C5%3B42%2C0%2C1&_eexp=7%2C1%3B8 9";
  for (const bool all : {false, true}) {
    SCOPED_TRACE(all ? "all folders" : "inbox");
    YandexEngine engine(type);
    engine.SetCheckAllFolders(all);
    ASSERT_EQ(engine.Check(), CheckStatus::Success);
    const std::vector<json> requests = NewRequests();
    ASSERT_EQ(requests.size(), 3u);
    for (const json& request : requests) {
      EXPECT_EQ(request.value("scheme", ""), "https");
      EXPECT_EQ(request.value("host", ""), kYandexHost);
      const std::string cookies = FixtureServer::Header(request, "Cookie");
      EXPECT_NE(cookies.find("Session_id=3:1765"), std::string::npos) << cookies;
      EXPECT_NE(cookies.find("yandexuid=42"), std::string::npos) << cookies;
    }
    EXPECT_EQ(FixtureServer::Header(requests[0], "User-Agent"), "");
    EXPECT_EQ(FixtureServer::Header(requests[1], "User-Agent"),
              std::string(kYandexUserAgent.begin(), kYandexUserAgent.end()));
    EXPECT_EQ(requests[2].value("method", ""), "POST");
    EXPECT_EQ(requests[2].value("path", ""), kYandexModels);
    EXPECT_EQ(FixtureServer::Header(requests[2], "Content-Type"),
              "application/x-www-form-urlencoded; charset=UTF-8");
    EXPECT_EQ(FixtureServer::Body(requests[2]),
              form + (all ? "&goto.0=all&extra_cond.0=only_new&sort_type.0=date&unread.0=unread"
                          : "&fid.0=1"));
  }
}

TEST_F(PageScrapingServerTest, YandexReadsTheFoldersSetting) {
  testing::TempFolder folder;
  SettingsStore store;
  ASSERT_TRUE(store.open(SettingsMode::IniFile, nullptr, {}, folder.file("tarvel.ini")));
  ASSERT_TRUE(store.writeNumber(u"YandexCheckAllFolders", 1));
  server_->SetRoutes(YandexRoutes(kYandexPage, kYandexMessages));
  const std::unique_ptr<MailEngine> engine = CreateYandexEngine(TypeOf(EngineKind::Yandex), &store);
  ASSERT_EQ(engine->Check(), CheckStatus::Success);
  const std::vector<json> requests = NewRequests();
  ASSERT_FALSE(requests.empty());
  EXPECT_NE(FixtureServer::Body(requests.back()).find("&goto.0=all"), std::string::npos);
}

// --- Zoho --------------------------------------------------------------------------------

TEST_F(PageScrapingServerTest, ZohoAnswers) {
  const std::vector<Case> cases = {
      {"unread mail",
       ZohoRoutes(kZohoPage, kZohoListing),
       CheckStatus::Success,
       {{"Grace Hopper", "Invoice 12", "1765272601000"}, {"Ada", "Caf\u00E9", "1765200000000"}}},
      {"no unread mail", ZohoRoutes(kZohoPage, R"({"data":[]})"), CheckStatus::Success, {}},
      {"signed out: the sign-in page",
       ZohoRoutes("<html><form action=\"/signin\"></form></html>", kZohoListing),
       CheckStatus::LoginNeeded,
       {}},
      {"a listing that is no JSON",
       ZohoRoutes(kZohoPage, "<html>error</html>"),
       CheckStatus::Failure,
       {}},
      {"a listing without an array",
       ZohoRoutes(kZohoPage, R"({"data":{}})"),
       CheckStatus::Failure,
       {}},
      // The fixed rules take every page without the account id for a sign-out; a server
      // error is no sign-out.
      {"error page", json::array({ErrorPage(kZohoHost, "/zm/")}), CheckStatus::Failure, {}},
  };
  const AccountTypeInfo& type = TypeOf(EngineKind::Zoho);
  RunCases(
      cases, [&type] { return std::make_unique<ZohoEngine>(type); },
      [] { PutCookie("https://mail.zoho.com/", "zmcsr=c5e1-77;Path=/;Secure"); });
}

TEST_F(PageScrapingServerTest, ZohoSendsTheCsrfCookieOfThatExactName) {
  const AccountTypeInfo& type = TypeOf(EngineKind::Zoho);
  server_->SetRoutes(ZohoRoutes(kZohoPage, kZohoListing));
  {
    ZohoEngine engine(type);
    EXPECT_EQ(engine.Check(), CheckStatus::LoginNeeded) << "no zmcsr cookie";
    NewRequests();
  }
  // A cookie whose name ends in "zmcsr" comes first in the list; then the real one, and
  // another after it.
  PutCookie("https://mail.zoho.com/", "oldzmcsr=stale;Path=/");
  PutCookie("https://mail.zoho.com/", "zmcsr=fresh-1;Path=/");
  PutCookie("https://mail.zoho.com/", "JSESSIONID=abc;Path=/;HttpOnly");
  ZohoEngine engine(type);
  ASSERT_EQ(engine.Check(), CheckStatus::Success) << engine.lastFailure.ToUtf8();
  const std::vector<json> requests = NewRequests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(FixtureServer::Body(requests[1]),
            "mode=listing&accId=5501234&from=1&to=50&summary=true&sortBy=date&sortOrder=false"
            "&folderSpec=2&view=unread&zmrcsr=fresh%2D1");
  EXPECT_EQ(FixtureServer::Header(requests[1], "Content-Type"),
            "application/x-www-form-urlencoded; charset=UTF-8");
  for (const json& request : requests) {
    EXPECT_EQ(FixtureServer::Header(request, "User-Agent"),
              std::string(kZohoUserAgent.begin(), kZohoUserAgent.end()));
    EXPECT_NE(FixtureServer::Header(request, "Cookie").find("JSESSIONID=abc"), std::string::npos);
  }
}

// --- Mail.ru -----------------------------------------------------------------------------

TEST_F(PageScrapingServerTest, MailRuAnswers) {
  const std::vector<Case> cases = {
      {"unread mail",
       MailRuRoutes(kMailRuPage, kMailRuStatus),
       CheckStatus::Success,
       {{"Tom & Jerry \"TJ\"", "\u041F\u0440\u0438\u0432\u0435\u0442", "1765272601"},
        {"anna@mail.ru", "Second", "1765200000"}}},
      {"no unread mail",
       MailRuRoutes(kMailRuPage, R"({"body":{"messages":[]}})"),
       CheckStatus::Success,
       {}},
      {"signed out: no token",
       MailRuRoutes("<form action=\"/login\">", kMailRuStatus),
       CheckStatus::LoginNeeded,
       {}},
      {"signed out: an empty token",
       MailRuRoutes("mailru.user = 'joe@mail.ru'; mailru.token = \"\";", kMailRuStatus),
       CheckStatus::LoginNeeded,
       {}},
      {"error page",
       json::array({ErrorPage(kMailRuHost, "/messages/", 502)}),
       CheckStatus::Failure,
       {}},
      {"a refused token",
       MailRuRoutes(kMailRuPage, R"({"status":403,"body":"token"})"),
       CheckStatus::Failure,
       {}},
  };
  const AccountTypeInfo& type = TypeOf(EngineKind::MailRu);
  RunCases(cases, [&type] { return std::make_unique<MailRuEngine>(type); });
}

TEST_F(PageScrapingServerTest, MailRuSendsUserAndTokenEncodedAndLearnsTheAccountName) {
  PutCookie("https://touch.mail.ru/", "Mpop=1765:abc;Domain=.mail.ru;Path=/;HttpOnly;Secure");
  server_->SetRoutes(MailRuRoutes(kMailRuPage, kMailRuStatus));
  MailRuEngine engine(TypeOf(EngineKind::MailRu));
  EXPECT_EQ(engine.GetDisplayName().ToUtf8(), "Mail.ru");
  ASSERT_EQ(engine.Check(), CheckStatus::Success) << engine.lastFailure.ToUtf8();
  EXPECT_EQ(engine.GetDisplayName().ToUtf8(), "joe+news@mail.ru");
  const std::vector<json> requests = NewRequests();
  ASSERT_EQ(requests.size(), 2u);
  // A "+" sent as it stands would reach the service as a blank.
  const std::string prefix =
      "/api/v1/messages/status?folder=0&offset=0&limit=25&last_modified=1&id=null"
      "&email=joe%2Bnews%40mail%2Eru&htmlencoded=false&token=t0k%2D9&_=";
  const std::string path = requests[1].value("path", "");
  ASSERT_EQ(path.compare(0, prefix.size(), prefix), 0) << path;
  const std::string tick = path.substr(prefix.size());
  EXPECT_FALSE(tick.empty());
  EXPECT_EQ(tick.find_first_not_of("0123456789"), std::string::npos) << tick;
  for (const json& request : requests) {
    EXPECT_NE(FixtureServer::Header(request, "Cookie").find("Mpop=1765:abc"), std::string::npos);
    EXPECT_EQ(FixtureServer::Header(request, "User-Agent"),
              std::string(kMailRuUserAgent.begin(), kMailRuUserAgent.end()));
  }
}

// --- O2.pl -------------------------------------------------------------------------------

TEST_F(PageScrapingServerTest, O2Answers) {
  const std::vector<Case> cases = {
      {"unread mail",
       O2Routes(kO2Continue, kO2List),
       CheckStatus::Success,
       {{"Jan & Ewa", "Za\u017C\u00F3\u0142\u0107", "1765272601"},
        {"Kasia", "Drugi", "1765200000"}}},
      {"no unread mail",
       O2Routes(kO2Continue, R"({"response":{"data":{"maillist":{"mail":[]}}}})"),
       CheckStatus::Success,
       {}},
      {"signed out: the remember-me script asks",
       O2Routes("ENABLE_REMEMBER_ME(\"poczta.o2.pl\");", kO2List),
       CheckStatus::LoginNeeded,
       {}},
      {"signed out: no session cookie",
       O2Routes(kO2Continue, kO2List, false),
       CheckStatus::LoginNeeded,
       {}},
      {"error page", json::array({ErrorPage(kO2Api, kO2Script)}), CheckStatus::Failure, {}},
      {"a script without an address", O2Routes("var x = 1;", kO2List), CheckStatus::Failure, {}},
      {"a list that is no list",
       O2Routes(kO2Continue, R"({"response":{"data":{"maillist":{"mail":"none"}}}})"),
       CheckStatus::Failure,
       {}},
      // The session's cookies go to no address outside O2.
      {"an address outside O2",
       O2Routes("location.replace(\"//poczta.o2.pl.example.com/?folder=inbox\");", kO2List),
       CheckStatus::Failure,
       {}},
  };
  const AccountTypeInfo& type = TypeOf(EngineKind::O2pl);
  RunCases(cases, [&type] { return std::make_unique<O2Engine>(type); });
}

TEST_F(PageScrapingServerTest, O2FollowsTheScriptAndSendsTheSession) {
  PutCookie("https://api.o2.pl/", "rememberme=r1;Domain=o2.pl;Path=/;Secure;HttpOnly");
  server_->SetRoutes(O2Routes(kO2Continue, kO2List));
  O2Engine engine(TypeOf(EngineKind::O2pl));
  ASSERT_EQ(engine.Check(), CheckStatus::Success) << engine.lastFailure.ToUtf8();
  const std::vector<json> requests = NewRequests();
  ASSERT_EQ(requests.size(), 3u);
  EXPECT_EQ(requests[0].value("scheme", ""), "https");
  EXPECT_EQ(requests[0].value("path", ""), kO2Script);
  EXPECT_NE(FixtureServer::Header(requests[0], "Cookie").find("rememberme=r1"), std::string::npos);
  EXPECT_EQ(requests[1].value("scheme", ""), "http");
  EXPECT_EQ(requests[1].value("host", ""), kO2Mobile);
  EXPECT_EQ(requests[1].value("path", ""), "/?folder=inbox&s=1");
  EXPECT_EQ(requests[2].value("scheme", ""), "http");
  EXPECT_EQ(requests[2].value("path", ""),
            "/a?cmd=view_all&fmt=js&xsfr-cookie=s3ss%2B1&count=100&groups=");
  EXPECT_NE(FixtureServer::Header(requests[2], "Cookie").find("ssid=s3ss+1"), std::string::npos);

  // An address outside O2 is not visited.
  server_->SetRoutes(O2Routes("go(\"//evil.example.com/steal\")", kO2List));
  O2Engine misled(TypeOf(EngineKind::O2pl));
  EXPECT_EQ(misled.Check(), CheckStatus::Failure);
  for (const json& request : NewRequests())
    EXPECT_EQ(request.value("host", ""), kO2Api);
}

// --- SFR ---------------------------------------------------------------------------------

TEST_F(PageScrapingServerTest, SfrAnswers) {
  // SFR's senders arrive in UTF-8 like the subjects; the fixed rules would take them as
  // bytes ("FrÃ©dÃ©ric").
  std::string utf8Headers = kSfrHeaders;
  const std::string escaped = "Fr\\u00e9d\\u00e9ric";
  utf8Headers.replace(utf8Headers.find(escaped), escaped.size(),
                      "Fr\xC3\xA9"
                      "d\xC3\xA9"
                      "ric");
  const std::vector<Case> cases = {
      {"unread mail",
       SfrRoutes(utf8Headers),
       CheckStatus::Success,
       {{"Fr\u00E9d\u00E9ric", "Votre facture", "2026-12-09 09:30:01"},
        {"SFR", "Rappel", "2026-12-08 16:04:12"}}},
      {"no unread mail", SfrRoutes(R"({"response":{"mailHeader":[]}})"), CheckStatus::Success, {}},
      {"signed out: the sign-in form",
       SfrRoutes("<form id=\"loginForm\" action=\"/cas/login?service=x\">"),
       CheckStatus::LoginNeeded,
       {}},
      {"signed out: code 380",
       SfrRoutes(R"({"error":{"code": 380, "msg":"session"}})"),
       CheckStatus::LoginNeeded,
       {}},
      // The same code without the blank after the colon.
      {"signed out: code 380, compact",
       SfrRoutes(R"({"error":{"code":380}})"),
       CheckStatus::LoginNeeded,
       {}},
      {"error page",
       json::array(
           {SfrRoutes("")[0], SfrRoutes("")[1], ErrorPage(kSfrHost, "/webmail/mailbox.html", 500)}),
       CheckStatus::Failure,
       {}},
      {"an answer without the list", SfrRoutes(R"({"response":{}})"), CheckStatus::Failure, {}},
      {"a redirect away from SFR",
       SfrRoutes(kSfrHeaders, "https://www.example.com/webmail/"),
       CheckStatus::Failure,
       {}},
  };
  const AccountTypeInfo& type = TypeOf(EngineKind::Sfr);
  RunCases(cases, [&type] { return std::make_unique<SfrEngine>(type); });
}

TEST_F(PageScrapingServerTest, SfrPostsTheListFormToTheHostReachedAfterRedirects) {
  PutCookie("https://messagerie.sfr.fr/", "JSESSIONID=s1;Path=/webmail;Secure;HttpOnly");
  PutCookie("https://webmail.sfr.fr/", "casauth=c1;Domain=sfr.fr;Path=/;Secure");
  server_->SetRoutes(SfrRoutes(kSfrHeaders));
  SfrEngine engine(TypeOf(EngineKind::Sfr));
  ASSERT_EQ(engine.Check(), CheckStatus::Success) << engine.lastFailure.ToUtf8();
  const std::vector<json> requests = NewRequests();
  ASSERT_GE(requests.size(), 3u);
  const json& list = requests.back();
  EXPECT_EQ(list.value("host", ""), kSfrHost);
  EXPECT_EQ(list.value("path", ""), kSfrList);
  EXPECT_EQ(list.value("method", ""), "POST");
  EXPECT_EQ(FixtureServer::Header(list, "Content-Type"), "application/x-www-form-urlencoded");
  EXPECT_EQ(FixtureServer::Body(list),
            "FOLDER=SF_INBOX&PAGE=1&NBDISPLAYMSG=&SORTBY=31&AUTO_REQUEST=FALSE"
            "&UPDATE_EXTFOLDER_TIME_REFRESH=FALSE&CHECK_REMOTE_FOLDERS=FALSE&FLAGS_FILTER_TYPE=14"
            "&IGNORE_UPDATE_SESSION=true&COMPUTE_NB_UNREADMSG=TRUE&START=0&END=50");
  const std::string cookies = FixtureServer::Header(list, "Cookie");
  EXPECT_NE(cookies.find("JSESSIONID=s1"), std::string::npos) << cookies;
  EXPECT_NE(cookies.find("casauth=c1"), std::string::npos) << cookies;
  const json& mailbox = requests[requests.size() - 2];
  EXPECT_EQ(mailbox.value("path", ""), "/webmail/mailbox.html");
  EXPECT_EQ(FixtureServer::Header(mailbox, "User-Agent"),
            std::string(kSfrUserAgent.begin(), kSfrUserAgent.end()));
}

// --- LinkedIn ----------------------------------------------------------------------------

TEST_F(PageScrapingServerTest, LinkedInAnswers) {
  std::string cut = LinkedInPage(kLinkedInData);
  cut.erase(cut.find("{&quot;$type&quot;:&quot;com.linkedin.voyager.identity"));
  cut += "</code>";
  const std::vector<Case> cases = {
      {"unread messages",
       LinkedInRoutes(LinkedInPage(kLinkedInData)),
       CheckStatus::Success,
       {{"Grace Hopper", "Hello there", "1765272601000"},
        {"Ren\u00E9", "Job offer", "1765200000000"}}},
      {"no unread messages",
       LinkedInRoutes(LinkedInPage(R"({"data":{"metadata":{}},"included":[]})")),
       CheckStatus::Success,
       {}},
      {"signed out: the sign-in page",
       LinkedInRoutes("<html><form action=\"/checkpoint/lg/login-submit\"></form></html>"),
       CheckStatus::LoginNeeded,
       {}},
      // The fixed rules read everything without the data as signed out, a server error too.
      {"error page",
       json::array({ErrorPage(kLinkedInHost, "/messaging/", 500)}),
       CheckStatus::Failure,
       {}},
      {"the data cut short", LinkedInRoutes(cut), CheckStatus::Failure, {}},
  };
  const AccountTypeInfo& type = TypeOf(EngineKind::LinkedIn);
  RunCases(cases, [&type] { return std::make_unique<LinkedInEngine>(type, nullptr); });
}

TEST_F(PageScrapingServerTest, LinkedInRestoresTheStoredCookiesBeforeEachCheck) {
  testing::TempFolder folder;
  SettingsStore store;
  ASSERT_TRUE(store.open(SettingsMode::IniFile, nullptr, {}, folder.file("tarvel.ini")));
  // The set a sign-in leaves: both roots, http-only.
  const Text group = web_login::CookieGroup(type_bits::kLinkedIn);
  ASSERT_TRUE(store.writeProtected(u"https://www.linkedin.com/HTTPONLY",
                                   Text(u"li_at=AQEDAT; JSESSIONID=\"ajax:123\""),
                                   kBuiltInPassPhrase, group));
  ASSERT_TRUE(store.writeProtected(u"https://linkedin.com/HTTPONLY", Text(u"bcookie=v2"),
                                   kBuiltInPassPhrase, group));
  server_->SetRoutes(LinkedInRoutes(LinkedInPage(kLinkedInData)));

  const std::unique_ptr<MailEngine> engine =
      CreateLinkedInEngine(TypeOf(EngineKind::LinkedIn), &store);
  ASSERT_EQ(engine->Check(), CheckStatus::Success) << engine->lastFailure.ToUtf8();
  std::vector<json> requests = NewRequests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].value("scheme", ""), "http");
  const std::string path = requests[0].value("path", "");
  EXPECT_EQ(path.rfind("/messaging/?filter=unread&_=", 0), 0u) << path;
  const std::string cookies = FixtureServer::Header(requests[0], "Cookie");
  EXPECT_NE(cookies.find("li_at=AQEDAT"), std::string::npos) << cookies;
  EXPECT_NE(cookies.find("JSESSIONID=\"ajax:123\""), std::string::npos) << cookies;

  // Cookies lost from the client's store (a session that ended) come back at the next check.
  CookieStore::Shared().Remove(*CookieUrl::Parse("https://www.linkedin.com/"),
                               CookieAccess::IncludingHttpOnly);
  engine->mails.clear();
  ASSERT_EQ(engine->Check(), CheckStatus::Success);
  requests = NewRequests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_NE(FixtureServer::Header(requests[0], "Cookie").find("li_at=AQEDAT"), std::string::npos);
}

// --- Through the network layer -----------------------------------------------------------

// An answer cut off by the server is a failed check, never a shorter list.
TEST_F(PageScrapingServerTest, AnAnswerCutOffInTransferFails) {
  json routes = ZohoRoutes(kZohoPage, kZohoListing);
  routes[1]["truncate"] = 40;
  PutCookie("https://mail.zoho.com/", "zmcsr=c1;Path=/");
  server_->SetRoutes(routes);
  ZohoEngine engine(TypeOf(EngineKind::Zoho));
  EXPECT_EQ(engine.Check(), CheckStatus::Failure);
  EXPECT_EQ(engine.mails.count(), 0u);
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

TEST_F(PageScrapingServerTest, TarvelctlChecksTheSixAccountsWithTheSignInCookies) {
  // The cookies a sign-in left: in the client's store, and LinkedIn's in the settings only.
  PutCookie("https://mail.yandex.ru/", "Session_id=3:1765;Domain=.yandex.ru;Path=/;HttpOnly");
  PutCookie("https://mail.zoho.com/", "zmcsr=c5e1;Path=/");
  PutCookie("https://touch.mail.ru/", "Mpop=1765:abc;Domain=.mail.ru;Path=/;HttpOnly");
  PutCookie("https://messagerie.sfr.fr/", "JSESSIONID=s1;Path=/webmail;HttpOnly");
  {
    RegistryStore registry(RegistryStore::DefaultPath());
    SettingsStore store;
    ASSERT_TRUE(store.open(SettingsMode::Registry, &registry, kSettingsKeyPath));
    ASSERT_TRUE(store.writeProtected(u"https://www.linkedin.com/HTTPONLY", Text(u"li_at=AQEDAT"),
                                     kBuiltInPassPhrase,
                                     web_login::CookieGroup(type_bits::kLinkedIn)));
  }
  // The six types enabled, besides the default options.
  ASSERT_EQ(RunTarvelctl(*folder_, {"settings", "set", "Flags", "0xD41C10"}).exitCode, 0);
  json routes = AllServices();
  // A hostile subject: terminal escapes, a direction override and markup.
  routes[1]["body_base64"] = EncodeBase64(R"({"models":[{"data":{"messages":[
    {"new":"1","field":[{"type":"from","name":"Mallory\u202e\u001b[2J"}],
     "subject":"<script>alert(1)</script>\u001b]0;owned\u0007 Win","date":{"iso":"2026-12-09"}}]}}]})");
  server_->SetRoutes(routes);

  const Outcome check = RunTarvelctl(*folder_, {"check", "--json"});
  EXPECT_EQ(check.exitCode, 0) << check.out;
  const json report = json::parse(check.out, nullptr, false);
  ASSERT_TRUE(report.is_object()) << check.out;
  EXPECT_EQ(report.value("status", -1), 0) << check.out;
  struct Expected {
    std::string name;
    std::size_t unread;
  };
  const Expected expected[] = {{"Zoho", 2}, {"MailRu", 2}, {"LinkedIn", 2},
                               {"O2pl", 2}, {"Yandex", 1}, {"SFR", 2}};
  std::size_t total = 0;
  for (const Expected& account : expected) {
    SCOPED_TRACE(account.name);
    bool found = false;
    for (const json& row : report["accounts"]) {
      if (row.value("name", "") != account.name)
        continue;
      found = true;
      EXPECT_EQ(row.value("status", -1), 0) << row.dump();
      EXPECT_EQ(row.value("unread", 0u), account.unread) << row.dump();
      total += account.unread;
      if (account.name == "Yandex") {
        ASSERT_EQ(row["mails"].size(), 1u);
        const std::string subject = row["mails"][0].value("subject", "");
        const std::string sender = row["mails"][0].value("sender", "");
        for (const std::string& text : {subject, sender}) {
          EXPECT_EQ(text.find('\x1B'), std::string::npos) << text;
          EXPECT_EQ(text.find('\x07'), std::string::npos) << text;
          EXPECT_EQ(text.find("\u202E"), std::string::npos) << text;
          EXPECT_EQ(text.find("<script"), std::string::npos) << text;
        }
        EXPECT_NE(subject.find("Win"), std::string::npos) << subject;
      }
      if (account.name == "MailRu") {
        EXPECT_EQ(row.value("display", ""), "joe+news@mail.ru");
      }
    }
    EXPECT_TRUE(found) << check.out;
  }
  EXPECT_EQ(report.value("total", 0u), total);

  // LinkedIn's request carried the restored cookie.
  bool linkedInSignedIn = false;
  for (const json& request : NewRequests()) {
    if (request.value("host", "") == kLinkedInHost)
      linkedInSignedIn =
          FixtureServer::Header(request, "Cookie").find("li_at=AQEDAT") != std::string::npos;
  }
  EXPECT_TRUE(linkedInSignedIn);

  // Signed out everywhere: the check asks for the sign-in.
  server_->SetRoutes(json::array({Route(kZohoHost, "/zm/", "<html>sign in</html>")}));
  ASSERT_EQ(RunTarvelctl(*folder_, {"settings", "set", "Flags", "0x1410"}).exitCode, 0);
  const Outcome signedOut = RunTarvelctl(*folder_, {"check", "--json"});
  EXPECT_EQ(signedOut.exitCode, 2) << signedOut.out;
}

}  // namespace
}  // namespace tarvel
