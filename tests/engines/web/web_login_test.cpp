#include "engines/web/web_login.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "accounts/account_type_bits.h"
#include "accounts/protected_text.h"
#include "accounts/settings_store.h"
#include "engines/web/web_session_port.h"
#include "platform/http_session.h"
#include "tests/support/temp_folder.h"

namespace tarvel::web_login {
namespace {

using Kind = LoginAction::Kind;
using namespace type_bits;

// One line per action: "start 6 1000", "stop 6", "close", "posted", "script <first 20>",
// "save <host>[+]...", "virgilio", "refuse", "same <url>", "keep <url>", "oauth <url>".
std::string Describe(const std::vector<LoginAction>& actions) {
  std::string text;
  for (const LoginAction& action : actions) {
    if (!text.empty())
      text += " | ";
    switch (action.kind) {
      case Kind::StartTimer:
        text += "start " + std::to_string(action.timer) + " " + std::to_string(action.milliseconds);
        break;
      case Kind::StopTimer:
        text += "stop " + std::to_string(action.timer);
        break;
      case Kind::Close:
        text += "close";
        break;
      case Kind::SetLoginPosted:
        text += "posted";
        break;
      case Kind::RunScript:
        text += "script " + Text(action.script.substr(0, 20)).ToUtf8();
        break;
      case Kind::SaveCookieSet:
        text += "save";
        for (const CookieSetPart& part : action.parts)
          text += " " + Text(part.host).ToUtf8() + (part.httpOnly ? "+" : "");
        break;
      case Kind::ReadVirgilioForm:
        text += "virgilio";
        break;
      case Kind::RefuseNavigation:
        text += "refuse";
        break;
      case Kind::NavigateSameView:
        text += "same " + action.url.ToUtf8();
        break;
      case Kind::KeepNewWindowUrl:
        text += "keep " + action.url.ToUtf8();
        break;
      case Kind::HandOAuthResult:
        text += "oauth " + action.url.ToUtf8();
        break;
    }
  }
  return text;
}

TEST(WebTypes, EveryWebTypeOnceWithItsBrowserAgentAndStartPage) {
  struct Case {
    uint32_t typeBit;
    BrowserKind browser;
    std::string start;
    std::string agentStart;  // empty: the browser's own
  };
  const auto S = BrowserKind::SharedProfile;
  const auto M = BrowserKind::MirroredCookies;
  const Case cases[] = {
      {kOutlook, M, "https://login.live.com/", ""},
      {kGMail, S, "https://mail.google.com/", "Mozilla/5.0 (Windows NT 10.0; Win64; x64; rv:71"},
      {kYahoo, S, "https://mail.yahoo.com/", ""},
      {kZoho, M, "https://m.zoho.com/", "Mozilla/5.0 (Windows NT 10.0; Win64; x64) AppleWebKit"},
      {kMailRu, M, "https://e.mail.ru/login", "Mozilla/5.0 (Windows NT 10.0; WOW64)"},
      {kVirgilio, M, "https://mail.virgilio.it/m/wmm", ""},
      {kFacebook, S, "https://www.messenger.com/", ""},
      {kTwitter, S, "https://x.com/?", ""},
      {kOrangeFr, M, "https://login.orange.fr/auth_user/bin/auth_user.cgi", ""},
      {kLinkedIn, M, "https://www.linkedin.com/uas/login", "Mozilla/5.0"},
      {kO2pl, M, "http://poczta.o2.pl/", ""},
      {kOutlookAlternative, S, "https://outlook.live.com/mail/0/", ""},
      {kYandex, M, "https://passport.yandex.ru/passport?mode=auth", ""},
      {kSfr, M, "https://webmail.sfr.fr/", ""},
      {kImap1, S, "https://auth.example/authorize", ""},
      {kImap2, S, "https://auth.example/authorize", ""},
      {kImap3, S, "https://auth.example/authorize", ""},
  };
  ASSERT_EQ(WebTypes().size(), std::size(cases));
  StartPageContext context;
  context.oauthUrl = u"https://auth.example/authorize";
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    const Case& c = cases[i];
    SCOPED_TRACE(c.typeBit);
    EXPECT_EQ(WebTypes()[i].typeBit, c.typeBit) << "list order";
    const WebType* type = FindWebType(c.typeBit);
    ASSERT_NE(type, nullptr);
    EXPECT_EQ(type->browser, c.browser);
    EXPECT_EQ(type->silent, c.typeBit == kO2pl);
    EXPECT_EQ(Text(type->userAgent).ToUtf8().substr(0, c.agentStart.size()), c.agentStart);
    EXPECT_EQ(type->userAgent.empty(), c.agentStart.empty());
    EXPECT_EQ(StartPage(c.typeBit, context).ToUtf8(), c.start);
  }
  EXPECT_EQ(FindWebType(kNotes), nullptr);
  EXPECT_EQ(FindWebType(kMapi), nullptr);

  context.outlookAccountType = 1;
  context.yandexInteractiveLogin = true;
  EXPECT_EQ(StartPage(kOutlookAlternative, context).ToUtf8(), "https://outlook.office.com/mail/");
  EXPECT_EQ(StartPage(kYandex, context).ToUtf8(), "https://mail.yandex.ru/");
}

TEST(LoginRules, SharedProfileNavigationRules) {
  struct Case {
    uint32_t typeBit;
    const char16_t* url;
    bool newWindow;
    std::string expected;
  };
  const Case cases[] = {
      {kGMail, u"https://MAIL.google.com/mail/u/0/#inbox", false, "start 6 1000"},
      {kGMail, u"https://accounts.google.com/signin", false, "stop 6"},
      {kGMail, u"https://mail.google.com/mail/", true, ""},
      {kFacebook, u"https://www.messenger.com/t/12345", false, "start 6 1000"},
      {kFacebook, u"https://www.messenger.com/login", false, "stop 6"},
      {kOutlookAlternative, u"https://outlook.live.com/mail/0/#inbox", false, "start 6 500"},
      {kOutlookAlternative, u"https://outlook.live.com/mail/0/", false, ""},
      {kOutlookAlternative, u"https://login.live.com/popup", true,
       "refuse | same https://login.live.com/popup"},
      {kGMail, u"https://mail.google.com/popup", true, ""},
      {kTwitter, u"https://x.com/", false, "start 6 500"},
      {kTwitter, u"https://x.com/?lang=en", false, ""},
      {kTwitter, u"https://X.com/", false, ""},  // the equality is exact
      {kYahoo, u"https://guce.yahoo.com/?done=https://mail.yahoo.com/d/folders/1", false,
       "start 6 500"},
      {kYahoo, u"https://mail.yahoo.com/n/inbox", false, "start 6 500"},
      {kYahoo, u"https://login.yahoo.com/", false, ""},
      {kImap2, u"http://127.0.0.1:40123/?code=abc", false,
       "oauth http://127.0.0.1:40123/?code=abc | start 6 100"},
      {kImap1, u"https://login.live.com/oauth20_remoteconnect.srf?res=success", false,
       "oauth https://login.live.com/oauth20_remoteconnect.srf?res=success | start 6 100"},
      {kImap3, u"https://login.live.com/oauth20_remoteconnect.srf?res=cancel", false, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(Text(c.url).ToUtf8());
    LoginRules rules(c.typeBit);
    EXPECT_EQ(Describe(rules.OnNavigation(Text(c.url), c.newWindow)), c.expected);
  }
}

TEST(LoginRules, CompletionAndTimers) {
  EXPECT_EQ(Describe(LoginRules(kGMail).OnCompletion(false)), "");
  EXPECT_EQ(Describe(LoginRules(kFacebook).OnCompletion(false)), "start 5 1000");
  EXPECT_EQ(Describe(LoginRules(kImap1).OnCompletion(true)), "start 5 1000 | start 8 2000");
  EXPECT_EQ(Describe(LoginRules(kFacebook).OnTimer(kTimerRememberMe)),
            "stop 5 | script document.querySelect");
  // Outlook.com's remember-me timer keeps running.
  EXPECT_EQ(Describe(LoginRules(kOutlook).OnTimer(kTimerRememberMe)),
            "script if (document.getElem");
  EXPECT_EQ(Describe(LoginRules(kGMail).OnTimer(kTimerRememberMe)), "");
  EXPECT_EQ(Describe(LoginRules(kGMail).OnTimer(kTimerSignedIn)), "stop 6 | close");
  EXPECT_EQ(Describe(LoginRules(kZoho).OnClassicNewWindow(u"https://m.zoho.com/x")),
            "refuse | keep https://m.zoho.com/x | start 7 100");
  EXPECT_EQ(Describe(LoginRules(kZoho).OnTimer(kTimerNewWindow)), "stop 7 | same ");
  EXPECT_EQ(Describe(LoginRules(kImap1).OnTimer(kTimerPendingScript)), "stop 8 | script ");
}

// Event sequences of the mirrored-cookie browser, as a sign-in produces them.
TEST(LoginRules, MirroredCookieSignInSequences) {
  using E = LoginRules::ClassicEvent;
  struct Step {
    E event;
    const char16_t* url;
    std::string expected;
  };
  struct Case {
    const char* name;
    uint32_t typeBit;
    std::vector<Step> steps;
  };
  const std::string outlookSave =
      "save login.live.com+ login.live.com outlook.office.com+ outlook.office.com | close";
  const Case cases[] = {
      {"outlook signs in",
       kOutlook,
       {{E::DocumentComplete, u"https://login.live.com/", "start 5 1000"},
        {E::BeforeNavigate, u"https://login.live.com/ppsecure/post.srf?x=1", "posted"},
        {E::DocumentComplete, u"https://outlook.live.com/mail/0/", outlookSave}}},
      {"outlook mail page before posting is not a sign-in",
       kOutlook,
       {{E::DocumentComplete, u"https://outlook.live.com/owa/", "start 5 1000"}}},
      {"outlook account page",
       kOutlook,
       {{E::DocumentComplete, u"https://account.microsoft.com/?ref=x", outlookSave}}},
      {"outlook microsoft 365",
       kOutlook,
       {{E::DocumentComplete, u"https://outlook.office.com/mail/inbox",
         "start 5 1000 | save outlook.office.com+ outlook.office.com | close"}}},
      {"zoho",
       kZoho,
       {{E::DocumentComplete, u"https://accounts.zoho.com/signin", "script if (document.getElem"},
        {E::BeforeNavigate, u"https://accounts.zoho.com/signin/post", ""},
        {E::BeforeNavigate, u"https://accounts.zoho.com/clogin?x", "close"}}},
      {"mail.ru",
       kMailRu,
       {{E::DocumentComplete, u"https://e.mail.ru/messages/inbox?octavius", ""},
        {E::NavigationComplete, u"https://e.mail.ru/messages/inbox?octavius=1", "close"}}},
      {"virgilio",
       kVirgilio,
       {{E::NavigationComplete, u"https://mail.virgilio.it/m/wmm", ""},
        {E::BeforeNavigate, u"https://mail.virgilio.it/m/wmm/auth", "virgilio"}}},
      {"orange",
       kOrangeFr,
       {{E::DocumentComplete, u"https://login.orange.fr/", "script if (document.getElem"},
        {E::NavigationComplete, u"https://www.orange.fr/portail", ""},
        {E::NavigationComplete, u"http://www.orange.fr/portail", "close"}}},
      {"linkedin",
       kLinkedIn,
       {{E::NavigationComplete, u"https://www.linkedin.com/uas/login", ""},
        {E::BeforeNavigate, u"https://www.linkedin.com/checkpoint/lg/login-submit", "posted"},
        {E::NavigationComplete, u"https://linkedin.com/checkpoint/x", ""},
        {E::NavigationComplete, u"https://www.linkedin.com/feed/",
         "save www.linkedin.com+ linkedin.com+ | close"}}},
      {"o2",
       kO2pl,
       {{E::DocumentComplete, u"http://poczta.o2.pl/", "script if (document.getElem"},
        {E::NavigationComplete, u"http://poczta.o2.pl/?folder=inbox", "close"}}},
      {"yandex",
       kYandex,
       {{E::NavigationComplete, u"https://passport.yandex.ru/passport?mode=auth", ""},
        {E::NavigationComplete, u"https://passport.yandex.ru/profile", "close"}}},
      {"sfr",
       kSfr,
       {{E::NavigationComplete, u"https://webmail.sfr.fr/webmail/mailbox.html", ""},
        {E::DocumentComplete, u"https://webmail.sfr.fr/webmail/mailbox.html", "close"}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    LoginRules rules(c.typeBit);
    for (const Step& step : c.steps) {
      SCOPED_TRACE(Text(step.url).ToUtf8());
      EXPECT_EQ(Describe(rules.OnClassicEvent(step.event, Text(step.url))), step.expected);
    }
  }
}

class WithStore : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(store.open(SettingsMode::IniFile, nullptr, {}, folder.file("tarvel.ini")));
  }
  testing::TempFolder folder;
  SettingsStore store;
};

TEST_F(WithStore, VirgilioCredentialsAreStoredProtectedOnlyWhenBothAreGiven) {
  using E = LoginRules::ClassicEvent;
  {
    // An empty first field stores nothing but counts as posted.
    LoginRules rules(kVirgilio);
    rules.VirgilioFormRead(Text(), Text(u"secret"), store);
    EXPECT_TRUE(rules.loginPosted());
    EXPECT_FALSE(store.readStored(u"VirgilioEmail").has_value());
    EXPECT_EQ(Describe(rules.OnClassicEvent(E::DocumentComplete, u"https://x/")), "close");
  }
  LoginRules rules(kVirgilio);
  rules.VirgilioFormRead(Text(u"anna@virgilio.it"), Text(u"pässwort"), store);
  EXPECT_TRUE(rules.loginPosted());
  EXPECT_EQ(UnprotectText(store, u"VirgilioEmail", u"").ToUtf8(), "anna@virgilio.it");
  EXPECT_EQ(UnprotectText(store, u"VirgilioPassword", u"").ToUtf8(), "pässwort");
  Text raw;
  store.readText(u"VirgilioPassword", raw, u"");
  EXPECT_EQ(raw.Find(u"pässwort"), Text::kNotFound);
  EXPECT_FALSE(raw.isEmpty());

  // Only Virgilio's own pages are Virgilio's.
  EXPECT_TRUE(IsVirgilioPage(u"https://mail.virgilio.it/m/wmm"));
  EXPECT_TRUE(IsVirgilioPage(u"https://MAIL.virgilio.it"));
  EXPECT_FALSE(IsVirgilioPage(u"https://mail.virgilio.it.evil.example/m/wmm"));
  EXPECT_FALSE(IsVirgilioPage(u"http://mail.virgilio.it/m/wmm"));
  EXPECT_FALSE(IsVirgilioPage(u"https://evil.example/?https://mail.virgilio.it/"));
}

// Records every call; cookies live in a map of url -> text.
class RecordingPort : public WebSessionPort {
 public:
  std::vector<std::string> calls;
  std::vector<std::string> failing;  // calls (as recorded) that fail
  std::string cookiesFor;            // what GetCookies answers
  SettingsStore* store = nullptr;    // where the settings' side goes, when given

  bool HttpGet(const Text& url, const Text& userAgent) override {
    return Record("GET " + url.ToUtf8() +
                  (userAgent.isEmpty() ? "" : " [" + Agent(userAgent) + "]"));
  }
  bool GetCookies(const Text& url, CookieAccess access, Text* result) override {
    *result =
        Text::FromUtf8(cookiesFor + (access == CookieAccess::IncludingHttpOnly ? "; h=1" : ""));
    return Record("getcookies " + url.ToUtf8() + Access(access));
  }
  bool SetCookies(const Text& url, const Text& cookies, CookieAccess access) override {
    return Record("setcookies " + url.ToUtf8() + Access(access) + " " + cookies.ToUtf8());
  }
  bool SetCookie(const Text& url, const Text& cookie, CookieAccess access) override {
    return Record("setcookie " + url.ToUtf8() + Access(access) + " " + cookie.ToUtf8());
  }
  bool DeleteCookies(const Text& url, CookieAccess access) override {
    return Record("deletecookies " + url.ToUtf8() + Access(access));
  }
  bool OpenBrowser() override { return Record("open"); }
  bool BrowserDeleteCookies(const Text& name, const Text& domain, const Text& path) override {
    return Record("delete " + name.ToUtf8() + "@" + domain.ToUtf8() + path.ToUtf8());
  }
  bool BrowserNavigateAndWait(const Text& url) override {
    return Record("navigate " + url.ToUtf8());
  }
  void CloseBrowser() override { Record("close"); }
  void ClearStoredCookieSet(uint32_t typeBit) override {
    if (store)
      ClearStoredCookies(*store, typeBit);
    Record("clearstored " + CookieGroup(typeBit).ToUtf8());
  }
  void ClearVirgilioCredentials() override {
    if (store)
      web_login::ClearVirgilioCredentials(*store);
    Record("clearvirgilio");
  }
  void StartCheckTimer(uint32_t milliseconds) override {
    Record("timer " + std::to_string(milliseconds));
  }

 private:
  static std::string Access(CookieAccess access) {
    return access == CookieAccess::IncludingHttpOnly ? " httponly" : "";
  }
  static std::string Agent(const Text& agent) {
    if (agent == kMsie8UserAgent)
      return "MSIE 8";
    return agent.ToUtf8().substr(0, 20);
  }
  bool Record(const std::string& call) {
    calls.push_back(call);
    return std::find(failing.begin(), failing.end(), call) == failing.end();
  }
};

TEST_F(WithStore, LinkedInCookieSetIsSavedProtectedAndRestoredHttpOnly) {
  RecordingPort port;
  port.cookiesFor = "li_at=AQE; JSESSIONID=\"ajax:1\"";
  store.writeText(u"old", u"x", u"Cookies_00000400");
  LoginRules rules(kLinkedIn);
  rules.OnClassicEvent(LoginRules::ClassicEvent::BeforeNavigate,
                       u"https://www.linkedin.com/checkpoint/lg/login-submit");
  const std::vector<LoginAction> actions = rules.OnClassicEvent(
      LoginRules::ClassicEvent::NavigationComplete, u"https://www.linkedin.com/feed/");
  ASSERT_EQ(actions.front().kind, Kind::SaveCookieSet);
  SaveCookieSet(store, port, kLinkedIn, actions.front().parts);

  const std::vector<StoredSetting> values = store.listValues(u"Cookies_00000400");
  std::vector<std::string> names;
  for (const StoredSetting& value : values) {
    names.push_back(value.name.ToUtf8());
    EXPECT_EQ(value.text.Find(u"li_at"), Text::kNotFound) << "stored in clear";
  }
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"https://linkedin.com/HTTPONLY",
                                             "https://www.linkedin.com/HTTPONLY"}));

  // A restart: a new store object over the same file.
  SettingsStore reopened;
  ASSERT_TRUE(reopened.open(SettingsMode::IniFile, nullptr, {}, folder.file("tarvel.ini")));
  port.calls.clear();
  EXPECT_TRUE(RestoreCookies(reopened, port, kLinkedIn));
  std::sort(port.calls.begin(), port.calls.end());
  EXPECT_EQ(port.calls,
            (std::vector<std::string>{
                "setcookies https://linkedin.com/ httponly li_at=AQE; JSESSIONID=\"ajax:1\"; h=1",
                "setcookies https://www.linkedin.com/ httponly li_at=AQE; JSESSIONID=\"ajax:1\"; "
                "h=1"}));

  // Through the program's HTTP client: every restored cookie is http-only in the store, so
  // a page's script never reads the session, and the requests still send it.
  HttpSession http;
  HttpWebSessionPort session(http, {});
  EXPECT_TRUE(RestoreCookies(reopened, session, kLinkedIn));
  for (const char16_t* url : {u"https://www.linkedin.com/", u"https://linkedin.com/"}) {
    SCOPED_TRACE(Text(url).ToUtf8());
    Text cookies;
    EXPECT_TRUE(http.GetCookies(url, &cookies, CookieAccess::IncludingHttpOnly));
    EXPECT_EQ(cookies.ToUtf8(), "li_at=AQE; JSESSIONID=\"ajax:1\"; h=1");
    EXPECT_TRUE(http.GetCookies(url, &cookies, CookieAccess::ScriptVisible));
    EXPECT_EQ(cookies.ToUtf8(), "");
  }
  EXPECT_TRUE(http.DeleteCookies(u"https://www.linkedin.com/", CookieAccess::IncludingHttpOnly));
  EXPECT_TRUE(http.DeleteCookies(u"https://linkedin.com/", CookieAccess::IncludingHttpOnly));

  EXPECT_TRUE(ClearStoredCookies(reopened, kLinkedIn));
  EXPECT_TRUE(reopened.listValues(u"Cookies_00000400").empty());
}

TEST_F(WithStore, CookiesThatCannotBeReadLeaveTheSetEmpty) {
  RecordingPort port;
  port.failing = {"getcookies https://outlook.office.com/ httponly",
                  "getcookies https://outlook.office.com/"};
  store.writeText(u"https://outlook.office.com/", u"stale", u"Cookies_00000001");
  static constexpr CookieSetPart kParts[] = {{u"outlook.office.com", true},
                                             {u"outlook.office.com", false}};
  SaveCookieSet(store, port, kOutlook, kParts);
  EXPECT_TRUE(store.listValues(u"Cookies_00000001").empty());
  EXPECT_EQ(CookieGroup(0x40000).ToUtf8(), "Cookies_00040000");
}

TEST_F(WithStore, LogoutOfEveryWebType) {
  struct Case {
    uint32_t typeBit;
    uint32_t hotmailAccountType;
    std::vector<std::string> calls;
  };
  const Case cases[] = {
      {kOutlook,
       0,
       {"GET https://login.live.com/logout.srf [MSIE 8]",
        "GET https://outlook.live.com/owa/logoff.owa [MSIE 8]",
        "deletecookies https://outlook.live.com/ httponly",
        "deletecookies https://outlook.live.com/", "clearstored Cookies_00000001", "timer 250"}},
      {kOutlook,
       1,
       {"GET https://login.live.com/logout.srf [MSIE 8]",
        "GET https://outlook.office.com/mail/logoff.owa [MSIE 8]",
        "deletecookies https://outlook.office.com/ httponly",
        "deletecookies https://outlook.office.com/", "clearstored Cookies_00000001", "timer 250"}},
      {kOutlookAlternative,
       0,
       {"open",
        "delete ClientId@outlook.live.com/",
        "delete MSFPC@outlook.live.com/",
        "delete WLSSC@.live.com/",
        "delete SRM_L@account.live.com/",
        "delete SDIDC@.login.live.com/",
        "delete MSPPre@.login.live.com/",
        "delete MSPCID@.login.live.com/",
        "delete MSCC@.login.live.com/",
        "delete JSHP@.login.live.com/",
        "delete MSPSoftVis@.login.live.com/",
        "delete __Host-MSAAUTHP@login.live.com/",
        "delete MUID@live.com/",
        "delete PPLState@live.com/",
        "delete MSPAuth@live.com/",
        "delete MSPProf@live.com/",
        "delete NAP@live.com/",
        "delete ANON@live.com/",
        "close",
        "timer 250"}},
      {kGMail, 0, {"open", "navigate https://accounts.google.com/Logout", "close", "timer 250"}},
      {kFacebook, 0, {"open", "delete c_user@.messenger.com/", "close", "timer 250"}},
      {kTwitter,
       0,
       {"open",
        "delete auth_token@.x.com/",
        "delete personalization_id@.x.com/",
        "delete guest_id@.x.com/",
        "delete email_uid@.x.com/",
        "delete auth_multi@.x.com/",
        "delete aa_u@.x.com/",
        "delete _twitter_sess@.x.com/",
        "delete twid@.x.com/",
        "delete att@.x.com/",
        "delete ct0@.x.com/",
        "delete kdt@.x.com/",
        "delete gt@.x.com/",
        "delete _gid@.x.com/",
        "delete guest_id_marketing@.x.com/",
        "delete guest_id_ads@.x.com/",
        "delete d_prefs@.x.com/",
        "navigate https://x.com/messages/",
        "close",
        "timer 250"}},
      {kYahoo,
       0,
       {"open", "delete Y@.yahoo.com/", "delete OTH@.yahoo.com/", "delete T@.yahoo.com/",
        "delete OTHD@.yahoo.com/", "delete dmieu@.yahoo.com/", "delete PH@.yahoo.com/",
        "delete dmit@.yahoo.com/", "delete IU@.yahoo.com/", "delete F@.yahoo.com/",
        "delete FS@.login.yahoo.com/", "close", "timer 250"}},
      {kLinkedIn,
       0,
       {"deletecookies https://www.linkedin.com/ httponly",
        "deletecookies https://linkedin.com/ httponly", "clearstored Cookies_00000400",
        "timer 250"}},
      {kMailRu, 0, {"GET https://auth.mail.ru/cgi-bin/logout [Mozilla/5.0 (Windows]", "timer 250"}},
      {kO2pl,
       0,
       {"GET http://poczta.o2.pl/wylogowano",
        "GET https://api.o2.pl/v1/remember_me/poczta.o2.pl/logout.js ", "timer 250"}},
      {kOrangeFr, 0, {"GET http://r.orange.fr/r/Ofermersession", "timer 250"}},
      {kSfr, 0, {"GET https://www.sfr.fr/cas/logout", "timer 250"}},
      {kVirgilio,
       0,
       {"clearvirgilio", "GET https://mail.virgilio.it/m/wmm/auth/logout [MSIE 8]", "timer 250"}},
      {kYandex,
       0,
       {"setcookie http://yandex.ru/ httponly Session_id=;expires=Mon, 01-Jan-1900 00:00:00 GMT",
        "setcookie https://yandex.ru/ httponly sessionid2=;expires=Mon, 01-Jan-1900 00:00:00 GMT",
        "setcookie http://yandex.ru/ ys=;expires=Mon, 01-Jan-1900 00:00:00 GMT",
        "setcookie http://yandex.ru/ yandex_login=;expires=Mon, 01-Jan-1900 00:00:00 GMT",
        "timer 250"}},
      {kZoho, 0, {"GET https://mail.zoho.com/biz/logout [MSIE 8]", "timer 250"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.typeBit);
    RecordingPort port;
    EXPECT_TRUE(Logout(c.typeBit, port, c.hotmailAccountType));
    EXPECT_EQ(port.calls, c.calls);
  }
  RecordingPort none;
  EXPECT_FALSE(Logout(kImap1, none, 0));
  EXPECT_TRUE(none.calls.empty());
}

TEST_F(WithStore, LogoutSideEffectsAndFailures) {
  // Stored cookie sets and Virgilio's credentials go.
  store.writeText(u"https://www.linkedin.com/HTTPONLY", u"x", u"Cookies_00000400");
  store.writeText(u"https://login.live.com/", u"x", u"Cookies_00000001");
  ProtectText(store, u"VirgilioEmail", u"anna@virgilio.it");
  ProtectText(store, u"VirgilioPassword", u"pw");
  RecordingPort port;
  port.store = &store;
  Logout(kLinkedIn, port, 0);
  Logout(kOutlook, port, 0);
  Logout(kVirgilio, port, 0);
  EXPECT_TRUE(store.listValues(u"Cookies_00000400").empty());
  EXPECT_TRUE(store.listValues(u"Cookies_00000001").empty());
  EXPECT_EQ(UnprotectText(store, u"VirgilioEmail", u"none").ToUtf8(), "");
  EXPECT_EQ(UnprotectText(store, u"VirgilioPassword", u"none").ToUtf8(), "");

  struct Failure {
    uint32_t typeBit;
    std::string failing;
    std::vector<std::string> calls;
  };
  const Failure failures[] = {
      // A failing request ends the sequence; no check is brought forward.
      {kOutlook,
       "GET https://login.live.com/logout.srf [MSIE 8]",
       {"GET https://login.live.com/logout.srf [MSIE 8]"}},
      {kO2pl, "GET http://poczta.o2.pl/wylogowano", {"GET http://poczta.o2.pl/wylogowano"}},
      // No browser: nothing happens.
      {kYahoo, "open", {"open"}},
      // Facebook's one deletion counts; the others' results are not looked at.
      {kFacebook,
       "delete c_user@.messenger.com/",
       {"open", "delete c_user@.messenger.com/", "close"}},
      {kTwitter, "navigate https://x.com/messages/", {}},
      // Gmail brings the check forward whatever the logout page did.
      {kGMail,
       "navigate https://accounts.google.com/Logout",
       {"open", "navigate https://accounts.google.com/Logout", "close", "timer 250"}},
      // Yandex brings the check forward even when the cookie store fails.
      {kYandex,
       "setcookie https://yandex.ru/ httponly sessionid2=;expires=Mon, 01-Jan-1900 00:00:00 GMT",
       {}},
  };
  for (const Failure& f : failures) {
    SCOPED_TRACE(f.failing);
    RecordingPort failing;
    failing.failing = {f.failing};
    Logout(f.typeBit, failing, 0);
    const bool timer =
        std::find(failing.calls.begin(), failing.calls.end(), "timer 250") != failing.calls.end();
    EXPECT_EQ(timer, f.typeBit == kYandex || f.typeBit == kGMail);
    if (!f.calls.empty()) {
      EXPECT_EQ(failing.calls, f.calls);
    }
  }
  RecordingPort yahooDeletionFails;
  yahooDeletionFails.failing = {"delete Y@.yahoo.com/"};
  EXPECT_TRUE(Logout(kYahoo, yahooDeletionFails, 0));
  EXPECT_EQ(yahooDeletionFails.calls.back(), "timer 250");
}

}  // namespace
}  // namespace tarvel::web_login
