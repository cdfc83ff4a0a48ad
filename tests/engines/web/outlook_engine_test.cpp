// The two Outlook.com engines against a local HTTPS server playing the web mail hosts: the
// pages each reads, what their messages become, and the check's result.
#include "engines/web/outlook_engine.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "accounts/protected_text.h"
#include "accounts/settings_store.h"
#include "app/engine_registry.h"
#include "tests/support/fixture_server.h"
#include "tests/support/mail_records.h"
#include "tests/support/temp_folder.h"

namespace tarvel {
namespace {

using nlohmann::json;
using Record = testing::MailRecord;

std::string Fixture(const std::string& name) {
  return testing::ReadFileContent(std::string(TARVEL_SOURCE_DIR_PATH) + "/tests/fixtures/outlook/" +
                                  name);
}

const AccountTypeInfo& OutlookType() {
  return kAccountTypes[0];
}
const AccountTypeInfo& OutlookAltType() {
  return kAccountTypes[1];
}

constexpr char kLive[] = "outlook.live.com";
constexpr char kOffice[] = "outlook.office.com";
constexpr char kProbe[] = "/owa/";
constexpr char kStartup[] = "/owa/0/startupdata.ashx?app=Mail&n=0";
constexpr char kFolderView[] = "/owa/?ae=Folder&t=IPF.Note";

json Route(const std::string& host, const std::string& path, const std::string& body,
           const char* method = nullptr, int status = 200) {
  json route = {{"host", host}, {"path", path}, {"status", status}, {"body", body}};
  if (method != nullptr)
    route["method"] = method;
  return route;
}

class OutlookAgainstServer : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    folder_ = new testing::TempFolder;
    ::setenv("XDG_DATA_HOME", (folder_->path() + "/data").c_str(), 1);
    server_ = new testing::FixtureServer;
    ASSERT_TRUE(server_->Start(json::array()));
    server_->ExportEnvironment();
  }
  static void TearDownTestSuite() {
    delete server_;
    delete folder_;
    ::unsetenv("TARVEL_CONNECT_TO");
    ::unsetenv("TARVEL_CA_FILE");
  }
  void SetUp() override { seen_ = server_->Requests().size(); }

  // "METHOD host path" of the requests since the case began.
  std::vector<std::string> Requests() {
    std::vector<std::string> lines;
    const std::vector<json> all = server_->Requests();
    for (std::size_t i = seen_; i < all.size(); ++i) {
      lines.push_back(all[i].value("method", "") + " " + all[i].value("host", "") + " " +
                      all[i].value("path", ""));
    }
    seen_ = all.size();
    return lines;
  }

  static testing::TempFolder* folder_;
  static testing::FixtureServer* server_;
  std::size_t seen_ = 0;
};

testing::TempFolder* OutlookAgainstServer::folder_ = nullptr;
testing::FixtureServer* OutlookAgainstServer::server_ = nullptr;

const std::vector<Record> kStartupRecords = {
    // Newest first; the message from the future keeps no date and goes last after the undated.
    {"J\u00FCrgen Wei\u00DF", "Caf\u00E9 \"Zur Linde\" \u2013 Tisch f\u00FCr 4 heute",
     "2026-12-10T08:30:00Z"},
    {"Ada Lovelace", "Quarterly figures", "2026-12-09T16:04:12Z"},
    {"", "", ""},
    {"Undated", "No date", ""},
};
const std::vector<Record> kFolderViewRecords = {
    // Page order: the bold rows; the short row has a sender only.
    {"Ada Lovelace", "Quarterly figures", "Wed 12/09/2026 4:04 PM"},
    {"J\u00FCrgen Wei\u00DF", "Gr\u00F6\u00DFe & R\u00E4ume", "Thu 12/10/2026 8:30 AM"},
    {"Short Row", "", ""},
};

TEST_F(OutlookAgainstServer, ReadsBothPageGenerations) {
  struct Case {
    const char* name;
    uint32_t accountType;
    json routes;
    CheckStatus status;
    std::vector<std::string> requests;
    std::vector<Record> records;
  };
  const std::string live = kLive;
  const std::string office = kOffice;
  auto probe = [](const std::string& host) { return "GET " + host + " " + kProbe; };
  auto startup = [](const std::string& host) { return "POST " + host + " " + kStartup; };
  auto folderView = [](const std::string& host) { return "GET " + host + " " + kFolderView; };
  const Case cases[] = {
      {"current generation, signed in",
       0,
       {Route(live, kProbe, Fixture("owa_signed_in.html")),
        Route(live, kStartup, Fixture("startupdata.json"), "POST")},
       CheckStatus::Success,
       {probe(live), startup(live)},
       kStartupRecords},
      {"Microsoft 365 asks its own host",
       1,
       {Route(office, kProbe, Fixture("owa_signed_in.html")),
        Route(office, kStartup, Fixture("startupdata.json"), "POST")},
       CheckStatus::Success,
       {probe(office), startup(office)},
       kStartupRecords},
      {"both generations signed out",
       0,
       {Route(live, kProbe, Fixture("owa_signed_out.html")),
        Route(live, kFolderView, Fixture("folder_view_signed_out.html"))},
       CheckStatus::LoginNeeded,
       {probe(live), folderView(live)},
       {}},
      {"start-up data timed out, the folder view is signed in",
       0,
       {Route(live, kProbe, Fixture("owa_signed_in.html")),
        Route(live, kStartup, Fixture("login_timeout.html"), "POST"),
        Route(live, kFolderView, Fixture("folder_view.html"))},
       CheckStatus::Success,
       {probe(live), startup(live), folderView(live)},
       kFolderViewRecords},
      {"signed-out start page, the older folder view still signed in",
       1,
       {Route(office, kProbe, Fixture("owa_signed_out.html")),
        Route(office, kFolderView, Fixture("folder_view.html"))},
       CheckStatus::Success,
       {probe(office), folderView(office)},
       kFolderViewRecords},
      {"no messages in the start-up data: the folder view decides (signed out)",
       0,
       {Route(live, kProbe, Fixture("owa_signed_in.html")),
        Route(live, kStartup, Fixture("startupdata_empty.json"), "POST"),
        Route(live, kFolderView, Fixture("folder_view_signed_out.html"))},
       CheckStatus::LoginNeeded,
       {probe(live), startup(live), folderView(live)},
       {}},
      {"start-up data without the folder, no folder view: failure, decoy not read",
       0,
       {Route(live, kProbe, Fixture("owa_signed_in.html")),
        Route(live, kStartup, Fixture("startupdata_no_folder.json"), "POST")},
       CheckStatus::Failure,
       {probe(live), startup(live), folderView(live)},
       {}},
      {"truncated JSON and an error page",
       0,
       {Route(live, kProbe, Fixture("owa_signed_in.html")),
        Route(live, kStartup, Fixture("startupdata_truncated.json"), "POST"),
        Route(live, kFolderView, "<html><body>Server error</body></html>", nullptr, 500)},
       CheckStatus::Failure,
       {probe(live), startup(live), folderView(live)},
       {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    server_->SetRoutes(c.routes);
    Requests();
    OutlookEngine engine(OutlookType());
    engine.SetSettings({c.accountType, u"https://outlook.live.com/mail/", {}});
    EXPECT_EQ(engine.Check(), c.status) << engine.lastFailure.ToUtf8();
    EXPECT_EQ(Requests(), c.requests);
    EXPECT_EQ(testing::InboxRecords(engine), c.records);
  }
}

// A page that needs JavaScript: its form is posted once, and the second pass goes on even when
// the page shows the same marker again; a sign-in marker in the second pass still ends it.
TEST_F(OutlookAgainstServer, ReplaysTheJavaScriptForm) {
  const std::string live = kLive;
  const std::string target = "/owa/session/continue?a=1&b=2";
  server_->SetRoutes({Route(live, kProbe, Fixture("js_required.html")),
                      Route(live, target, "ok", "POST"),
                      Route(live, kStartup, Fixture("startupdata.json"), "POST")});
  Requests();
  OutlookEngine engine(OutlookType());
  ASSERT_EQ(engine.Check(), CheckStatus::Success) << engine.lastFailure.ToUtf8();
  EXPECT_EQ(Requests(),
            (std::vector<std::string>{"GET " + live + " /owa/", "POST " + live + " " + target,
                                      "GET " + live + " /owa/", "POST " + live + " " + kStartup}));
  const std::vector<json> all = server_->Requests();
  const json& posted = all[all.size() - 3];
  EXPECT_EQ(testing::FixtureServer::Body(posted),
            "wresult=token-caf\xC3\xA9&wctx=rm=0&amp;id=passive");
  EXPECT_EQ(testing::FixtureServer::Header(posted, "Content-Type"),
            "application/x-www-form-urlencoded");

  Text formTarget;
  Text body;
  EXPECT_TRUE(OutlookEngine::ReadReplayForm(Text::FromUtf8(Fixture("js_required.html")),
                                            &formTarget, &body));
  EXPECT_EQ(formTarget.ToUtf8(), target);

  // The posted form leads to a sign-in page: the second pass still reports it.
  json replayed = Route(live, target, "ok", "POST");
  replayed["headers"] = json::array({json::array({"Set-Cookie", "replayed=1; Path=/; Secure"})});
  json signedOut = Route(live, kProbe, Fixture("owa_signed_out.html"));
  signedOut["cookie"] = "replayed=1";
  server_->SetRoutes({signedOut, Route(live, kProbe, Fixture("js_required.html")), replayed});
  Requests();
  OutlookEngine second(OutlookType());
  EXPECT_EQ(second.Check(), CheckStatus::LoginNeeded);
  EXPECT_EQ(Requests(), (std::vector<std::string>{
                            "GET " + live + " /owa/", "POST " + live + " " + target,
                            "GET " + live + " /owa/", "GET " + live + " " + kFolderView}));
  HttpSession cleanup;
  cleanup.DeleteCookies(u"https://outlook.live.com/", CookieAccess::IncludingHttpOnly);
}

// The cookies the sign-in kept are put back before the check, except the ones the client
// holds already (the service may have renewed them since).
TEST_F(OutlookAgainstServer, PutsBackTheStoredCookieSet) {
  const std::string live = kLive;
  server_->SetRoutes({Route(live, kProbe, Fixture("owa_signed_in.html")),
                      Route(live, kStartup, Fixture("startupdata.json"), "POST")});
  testing::TempFolder settingsFolder;
  SettingsStore store;
  ASSERT_TRUE(store.open(SettingsMode::IniFile, nullptr, kSettingsKeyPath,
                         settingsFolder.file("tarvel.ini")));
  const Text group = web_login::CookieGroup(OutlookType().typeBit);
  ASSERT_EQ(group.ToUtf8(), "Cookies_00000001");
  ASSERT_TRUE(store.writeProtected(u"https://outlook.live.com/HTTPONLY",
                                   u"MSPAuth=stored-auth; RPSSecAuth=stored-old",
                                   kBuiltInPassPhrase, group));
  ASSERT_TRUE(store.writeProtected(u"https://outlook.live.com/", u"ClientId=client-7",
                                   kBuiltInPassPhrase, group));
  store.writeNumber(u"HotmailAccountType", 0);

  HttpSession other;
  ASSERT_TRUE(other.SetCookie(u"https://outlook.live.com/", u"RPSSecAuth=renewed; Secure",
                              CookieAccess::IncludingHttpOnly));
  OutlookEngine engine(OutlookType());
  engine.LoadSettings(store);
  Requests();
  ASSERT_EQ(engine.Check(), CheckStatus::Success);
  const std::vector<json> all = server_->Requests();
  const std::string cookie = testing::FixtureServer::Header(all[all.size() - 2], "Cookie");
  EXPECT_NE(cookie.find("MSPAuth=stored-auth"), std::string::npos) << cookie;
  EXPECT_NE(cookie.find("ClientId=client-7"), std::string::npos) << cookie;
  EXPECT_NE(cookie.find("RPSSecAuth=renewed"), std::string::npos) << cookie;
  EXPECT_EQ(cookie.find("stored-old"), std::string::npos) << cookie;
  // The values stored as http-only come back http-only: a page's script never reads them.
  Text visible;
  EXPECT_TRUE(
      other.GetCookies(u"https://outlook.live.com/", &visible, CookieAccess::ScriptVisible));
  EXPECT_EQ(visible.ToUtf8().find("MSPAuth"), std::string::npos) << visible.ToUtf8();
  EXPECT_NE(visible.ToUtf8().find("ClientId=client-7"), std::string::npos) << visible.ToUtf8();
  other.DeleteCookies(u"https://outlook.live.com/", CookieAccess::IncludingHttpOnly);
}

TEST(OutlookPages, SignInMarkersAndHosts) {
  EXPECT_EQ(OutlookEngine::MailHost(0), u"outlook.live.com");
  EXPECT_EQ(OutlookEngine::MailHost(7), u"outlook.office.com");
  EXPECT_EQ(OutlookAltEngine::MailPage(0).ToUtf8(), "https://outlook.live.com/mail/0/");
  EXPECT_EQ(OutlookAltEngine::MailPage(1).ToUtf8(), "https://outlook.office.com/mail/");

  struct Case {
    const char* page;
    bool startup;
    bool folderView;
    bool alt;
  };
  const Case cases[] = {
      {"<a href=\"https://login.live.com/login.srf?x\">", true, true, false},
      {"urlPost:'https://login.live.com/ppsecure/post.srf?a'", true, true, false},
      {"<a class=\"internal sign-in-link\" href=\"#\">", true, false, false},
      {"{\"edgeRedirectUri\":\"https://autologon.microsoftazuread-sso.com/x\"}", true, false,
       false},
      {"<div data-signinurl='https://x'>", true, false, false},
      {"<meta content=\"0; URL=https://login.microsoftonline.com/jsdisabled\">", false, true,
       false},
      {"<a href=\"/login.srf\">", false, true, false},
      {"<LOGIN.LIVE.COM/LOGIN>", false, false, false},  // the markers keep their letter case
      {"<div data-task=\"signin\">", false, false, true},
      {"<meta name=\"PageID\" content=\"ConvergedSignIn\">", false, false, true},
      {"<a DATA-BI-CN=\"signin\">", false, false, true},
      {"<form data-testid=\"PASSWORDENTRYFORM\">", false, false, true},
      {"<div data-testid=\"passwordForm\" >", false, false, true},
      {"<input id=\"proof-confirmation-email-input\">", false, false, true},
      {"<div data-task=\"SignIn\">", false, false, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.page);
    const Text page = Text::FromUtf8(c.page);
    EXPECT_EQ(OutlookEngine::StartupPageWantsSignIn(page), c.startup);
    EXPECT_EQ(OutlookEngine::FolderViewWantsSignIn(page), c.folderView);
    EXPECT_EQ(OutlookAltEngine::PageWantsSignIn(page), c.alt);
  }
}

TEST(OutlookPages, UnreadStyleMatchesWholeClassSelectorsOnly) {
  const Text css = Text::FromUtf8(Fixture("alt_style.css"));
  struct Case {
    const char* classes;
    bool unread;
  };
  const Case cases[] = {
      {"lvItem lvUnread", true},
      {"lvItem  lvRead", false},
      {"lvItem  lvUnread", true},
      {"Unread", false},
      {"lvUnreadish", true},
      {"xlvUnreadish", false},
      {"", false},
      {"  ", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.classes);
    EXPECT_EQ(OutlookAltEngine::IsUnreadStyle(Text::FromUtf8(c.classes), css), c.unread);
  }
}

// The alternative engine with the browser replaced by canned pages; the stylesheet comes from
// the server.
TEST_F(OutlookAgainstServer, AlternativeReadsTheRenderedList) {
  const std::string cssPath =
      "/owa/prem/15.20/resources/styles/0/owa.MailListItemSingleLineView.css";
  struct Case {
    const char* name;
    uint32_t accountType;
    std::string page;
    bool stylesheet;
    CheckStatus status;
    std::vector<Record> records;
    std::vector<std::string> requests;
  };
  const std::vector<Record> unread = {
      {"Ada Lovelace", "Quarterly figures", "Wed 12/09/2026 4:04 PM"},
      // Markup written as text in the page stays text.
      {"Grace Hopper", "Plans <b>now</b>", "Thu 12/10/2026 7:00 AM"},
  };
  const Case cases[] = {
      {"Outlook.com, signed in",
       0,
       Fixture("alt_mail.html"),
       true,
       CheckStatus::Success,
       unread,
       {"GET outlook.live.com " + cssPath}},
      {"Microsoft 365, signed in",
       1,
       Fixture("alt_mail.html"),
       true,
       CheckStatus::Success,
       unread,
       {"GET outlook.office.com " + cssPath}},
      {"no stylesheet: nothing counts as unread",
       0,
       Fixture("alt_mail.html"),
       false,
       CheckStatus::Success,
       {},
       {"GET outlook.live.com " + cssPath}},
      {"signed out", 0, Fixture("alt_signin.html"), true, CheckStatus::LoginNeeded, {}, {}},
      {"no mail list",
       0,
       "<html><body><p>Loading</p></body></html>",
       true,
       CheckStatus::Failure,
       {},
       {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    json routes = json::array();
    if (c.stylesheet) {
      routes.push_back(Route(kLive, cssPath, Fixture("alt_style.css")));
      routes.push_back(Route(kOffice, cssPath, Fixture("alt_style.css")));
    }
    server_->SetRoutes(routes);
    Requests();
    std::vector<std::string> asked;
    OutlookAltEngine engine(OutlookAltType(), [&](const Text& url, Text* source, uint32_t settle) {
      EXPECT_EQ(settle, 5000u);
      asked.push_back(url.ToUtf8());
      *source = Text::FromUtf8(c.page);
      return true;
    });
    engine.SetSettings({c.accountType, u"https://outlook.live.com/mail/"});
    EXPECT_EQ(engine.Check(), c.status);
    EXPECT_EQ(asked, std::vector<std::string>{OutlookAltEngine::MailPage(c.accountType).ToUtf8()});
    EXPECT_EQ(testing::InboxRecords(engine), c.records);
    EXPECT_EQ(Requests(), c.requests);
    // The stylesheet is fetched once per run; one that could not be fetched is tried again.
    engine.mails.clear();
    engine.Check();
    EXPECT_EQ(Requests().size(), c.stylesheet ? 0u : c.requests.size());
  }
}

// The program creates these engines for the three types, with their settings read.
TEST(OutlookPages, RegistryCreatesTheEnginesWithTheirSettings) {
  testing::TempFolder settingsFolder;
  SettingsStore store;
  ASSERT_TRUE(store.open(SettingsMode::IniFile, nullptr, kSettingsKeyPath,
                         settingsFolder.file("tarvel.ini")));
  store.writeNumber(u"HotmailAccountType", 1);
  store.writeText(u"HotmailWebsite", u"https://outlook.office.com/mail/");
  store.writeNumber(u"OutlookAccountType", 1);
  store.writeText(u"OutlookWebsite", u"https://www.outlook.live.com/mail/0/");
  store.writeText(u"GMailWebsite", u"https://mail.google.com/mail/u/0/#inbox");
  store.writeText(u"GMailFolderList", u"Work;\"a,b\"");
  EngineContext context;
  context.settings = &store;

  auto outlook = CreateEngine(OutlookType(), context);
  auto* classic = dynamic_cast<OutlookEngine*>(outlook.get());
  ASSERT_NE(classic, nullptr);
  EXPECT_EQ(classic->settings().accountType, 1u);
  EXPECT_EQ(classic->GetDisplayName().ToUtf8(), "Outlook.office.com");

  auto alternative = CreateEngine(OutlookAltType(), context);
  auto* alt = dynamic_cast<OutlookAltEngine*>(alternative.get());
  ASSERT_NE(alt, nullptr);
  EXPECT_EQ(alt->settings().accountType, 1u);
  EXPECT_EQ(alt->GetDisplayName().ToUtf8(), "Outlook.live.com");

  auto gmail = CreateEngine(kAccountTypes[2], context);
  auto* feed = dynamic_cast<GmailEngine*>(gmail.get());
  ASSERT_NE(feed, nullptr);
  EXPECT_EQ(feed->settings().folderList.ToUtf8(), "Work;\"a,b\"");
  EXPECT_EQ(feed->GetDisplayName().ToUtf8(), "Mail.google.com");
}

}  // namespace
}  // namespace tarvel
