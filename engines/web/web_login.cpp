#include "engines/web/web_login.h"

#include <array>
#include <cstdio>

#include "accounts/account_type_bits.h"
#include "accounts/protected_text.h"
#include "accounts/settings_store.h"
#include "engines/web/yandex_engine.h"

namespace tarvel::web_login {

namespace {

using namespace type_bits;
using Kind = LoginAction::Kind;

constexpr std::u16string_view kGMailAgent =
    u"Mozilla/5.0 (Windows NT 10.0; Win64; x64; rv:71.0) Gecko/20100101 Firefox/71.0 "
    u"Edg/$(76.0.3809.132)";
constexpr std::u16string_view kZohoAgent =
    u"Mozilla/5.0 (Windows NT 10.0; Win64; x64) AppleWebKit/537.36 (KHTML, like Gecko) "
    u"Chrome/89.0.4389.90 Safari/537.36";
constexpr std::u16string_view kMailRuAgent =
    u"Mozilla/5.0 (Windows NT 10.0; WOW64) AppleWebKit/537.36 (KHTML, like Gecko) "
    u"Chrome/53.0.2785.143 Safari/537.36";

constexpr auto S = BrowserKind::SharedProfile;
constexpr auto M = BrowserKind::MirroredCookies;

constexpr std::array<WebType, 17> kWebTypes{{
    {kOutlook, M, false, {}},
    {kGMail, S, false, kGMailAgent},
    {kYahoo, S, false, {}},
    {kZoho, M, false, kZohoAgent},
    {kMailRu, M, false, kMailRuAgent},
    {kVirgilio, M, false, {}},
    {kFacebook, S, false, {}},
    {kTwitter, S, false, {}},
    {kOrangeFr, M, false, {}},
    {kLinkedIn, M, false, u"Mozilla/5.0"},
    {kO2pl, M, true, {}},
    {kOutlookAlternative, S, false, {}},
    {kYandex, M, false, {}},
    {kSfr, M, false, {}},
    {kImap1, S, false, {}},
    {kImap2, S, false, {}},
    {kImap3, S, false, {}},
}};

// The address tests of the detection tables. StartsWith and Contains ignore letter case;
// Equals is exact.
enum class Match {
  Any,
  StartsWith,
  Contains,
  Equals,
};

struct Pattern {
  Match match = Match::Any;
  std::u16string_view scheme;  // "https://" or "http://" before the host; empty: no scheme
  std::u16string_view host;
  std::u16string_view path;

  bool Matches(const Text& url) const {
    if (match == Match::Any)
      return true;
    Text needle(scheme);
    needle += host;
    needle += path;
    switch (match) {
      case Match::StartsWith:
        return url.length() >= needle.length() &&
               Text::CompareNoCase(url.view().substr(0, needle.view().size()), needle) == 0;
      case Match::Contains:
        return url.Find(needle) != Text::kNotFound;
      case Match::Equals:
        return url == needle.view();
      case Match::Any:
        break;
    }
    return true;
  }
};

constexpr std::u16string_view kHttps = u"https://";
constexpr std::u16string_view kHttp = u"http://";

// Shared-profile browser rules.
enum class NavEffect {
  SignedIn,        // timer 6
  SignedInOrStop,  // timer 6 on a match; any other address stops it
  SameViewWindow,  // a new-window request opens in the view itself
  OAuthResult,     // the authorisation's answer, then timer 6
};

struct NavigationRule {
  uint32_t typeBits;
  bool newWindow;
  Pattern pattern;
  std::u16string_view alsoContains;  // a second, case-blind condition
  NavEffect effect;
  uint32_t milliseconds;
};

constexpr NavigationRule kNavigationRules[] = {
    {kGMail,
     false,
     {Match::StartsWith, kHttps, hosts::kGmail, u"/mail/"},
     {},
     NavEffect::SignedInOrStop,
     1000},
    {kFacebook,
     false,
     {Match::StartsWith, kHttps, hosts::kMessenger, u"/t/"},
     {},
     NavEffect::SignedInOrStop,
     1000},
    {kOutlookAlternative, true, {}, {}, NavEffect::SameViewWindow, 0},
    {kOutlookAlternative,
     false,
     {Match::StartsWith, kHttps, hosts::kOutlookMail, u"/mail/0/#"},
     {},
     NavEffect::SignedIn,
     500},
    {kTwitter, false, {Match::Equals, kHttps, hosts::kX, u"/"}, {}, NavEffect::SignedIn, 500},
    {kYahoo, false, {Match::Contains, {}, hosts::kYahooMail, u"/d"}, {}, NavEffect::SignedIn, 500},
    {kYahoo, false, {Match::Contains, {}, hosts::kYahooMail, u"/n"}, {}, NavEffect::SignedIn, 500},
    {kAllImap,
     false,
     {Match::StartsWith, {}, hosts::kOAuthLoopback, {}},
     {},
     NavEffect::OAuthResult,
     100},
    {kAllImap,
     false,
     {Match::StartsWith, kHttps, hosts::kMicrosoftLogin, u"/oauth20_remoteconnect.srf"},
     u"res=success",
     NavEffect::OAuthResult,
     100},
};

// Mirrored-cookie browser rules.
enum class Posted {
  Any,
  Yes,
  No,
};

enum class ClassicEffect {
  SetPosted,
  SaveAndClose,
  RememberMeTimer,  // timer 5 at 1,000 ms
  RunScript,
  Close,
  ReadVirgilioForm,
};

constexpr CookieSetPart kMicrosoftAccountSet[] = {
    {hosts::kMicrosoftLogin, true},
    {hosts::kMicrosoftLogin, false},
    {hosts::kOffice365Mail, true},
    {hosts::kOffice365Mail, false},
};
constexpr CookieSetPart kOffice365Set[] = {
    {hosts::kOffice365Mail, true},
    {hosts::kOffice365Mail, false},
};
constexpr CookieSetPart kLinkedInSet[] = {
    {hosts::kLinkedIn, true},
    {hosts::kLinkedInDomain, true},
};

using Event = LoginRules::ClassicEvent;
constexpr auto kDocument = Event::DocumentComplete;
constexpr auto kNavigated = Event::NavigationComplete;
constexpr auto kBefore = Event::BeforeNavigate;

struct ClassicRule {
  uint32_t typeBit;
  unsigned events;  // a bit per ClassicEvent
  Posted posted;
  Pattern pattern;
  ClassicEffect effect;
  std::span<const CookieSetPart> saveSet = {};
  std::u16string_view script = {};
  bool negate = false;  // the rule holds when the pattern does NOT match
};

constexpr unsigned Bit(Event event) {
  return 1u << static_cast<unsigned>(event);
}

constexpr ClassicRule kClassicRules[] = {
    {kOutlook,
     Bit(kBefore),
     Posted::Any,
     {Match::Contains, {}, hosts::kMicrosoftLogin, u"/ppsecure/post.srf"},
     ClassicEffect::SetPosted},
    {kOutlook,
     Bit(kDocument),
     Posted::Any,
     {Match::StartsWith, kHttps, hosts::kMicrosoftAccount, u"/"},
     ClassicEffect::SaveAndClose,
     kMicrosoftAccountSet},
    {kOutlook,
     Bit(kDocument),
     Posted::Yes,
     {Match::Contains, {}, hosts::kOutlookMail, u"/owa/"},
     ClassicEffect::SaveAndClose,
     kMicrosoftAccountSet},
    {kOutlook,
     Bit(kDocument),
     Posted::Yes,
     {Match::Contains, {}, hosts::kOutlookMail, u"/mail/"},
     ClassicEffect::SaveAndClose,
     kMicrosoftAccountSet},
    {kOutlook, Bit(kDocument), Posted::No, {}, ClassicEffect::RememberMeTimer},
    {kOutlook,
     Bit(kDocument),
     Posted::Any,
     {Match::Contains, {}, hosts::kOffice365Mail, u"/mail/"},
     ClassicEffect::SaveAndClose,
     kOffice365Set},
    {kZoho, Bit(kDocument), Posted::No, {}, ClassicEffect::RunScript, {}, kZohoRememberMeScript},
    {kZoho,
     Bit(kBefore),
     Posted::Any,
     {Match::Contains, kHttps, hosts::kZohoMobile, u"/"},
     ClassicEffect::Close},
    {kZoho,
     Bit(kBefore),
     Posted::Any,
     {Match::Contains, {}, hosts::kZohoAccounts, u"/clogin"},
     ClassicEffect::Close},
    {kMailRu,
     Bit(kNavigated),
     Posted::Any,
     {Match::Contains, {}, hosts::kMailRuMail, u"/messages/inbox?octavius"},
     ClassicEffect::Close},
    {kVirgilio,
     Bit(kBefore),
     Posted::Any,
     {Match::Contains, {}, hosts::kVirgilioMobile, u"/m/wmm"},
     ClassicEffect::ReadVirgilioForm},
    {kVirgilio, Bit(kDocument) | Bit(kNavigated), Posted::Yes, {}, ClassicEffect::Close},
    {kOrangeFr,
     Bit(kDocument),
     Posted::Any,
     {},
     ClassicEffect::RunScript,
     {},
     kOrangeRememberMeScript},
    {kOrangeFr,
     Bit(kNavigated),
     Posted::Any,
     {Match::StartsWith, kHttp, hosts::kOrangePortal, u"/"},
     ClassicEffect::Close},
    {kLinkedIn,
     Bit(kBefore),
     Posted::Any,
     {Match::Contains, {}, hosts::kLinkedInDomain, u"/checkpoint/lg/login-submit"},
     ClassicEffect::SetPosted},
    {kLinkedIn,
     Bit(kNavigated),
     Posted::Yes,
     {Match::StartsWith, kHttps, hosts::kLinkedInDomain, {}},
     ClassicEffect::SaveAndClose,
     kLinkedInSet,
     {},
     true},
    {kO2pl, Bit(kDocument), Posted::Any, {}, ClassicEffect::RunScript, {}, kO2RememberMeScript},
    {kO2pl,
     Bit(kNavigated),
     Posted::Any,
     {Match::StartsWith, kHttp, hosts::kO2Mobile, u"/?folder"},
     ClassicEffect::Close},
    {kYandex,
     Bit(kNavigated),
     Posted::Any,
     {Match::StartsWith, kHttps, hosts::kYandexPassport, u"/passport?mode=passport"},
     ClassicEffect::Close},
    {kYandex,
     Bit(kNavigated),
     Posted::Any,
     {Match::StartsWith, kHttps, hosts::kYandexPassport, u"/profile"},
     ClassicEffect::Close},
    {kSfr,
     Bit(kDocument),
     Posted::Any,
     {Match::Contains, {}, {}, u"/webmail/mailbox.html"},
     ClassicEffect::Close},
};

LoginAction Action(Kind kind) {
  LoginAction action;
  action.kind = kind;
  return action;
}
LoginAction Timer(Kind kind, int timer, uint32_t milliseconds = 0) {
  LoginAction action = Action(kind);
  action.timer = timer;
  action.milliseconds = milliseconds;
  return action;
}
LoginAction WithUrl(Kind kind, const Text& url) {
  LoginAction action = Action(kind);
  action.url = url;
  return action;
}

}  // namespace

std::span<const WebType> WebTypes() {
  return kWebTypes;
}

const WebType* FindWebType(uint32_t typeBit) {
  for (const WebType& type : kWebTypes) {
    if (type.typeBit == typeBit)
      return &type;
  }
  return nullptr;
}

Text StartPage(uint32_t typeBit, const StartPageContext& context) {
  const auto page = [](std::u16string_view scheme, std::u16string_view host,
                       std::u16string_view path) {
    Text url(scheme);
    url += host;
    url += path;
    return url;
  };
  switch (typeBit) {
    case kOutlook:
      return page(kHttps, hosts::kMicrosoftLogin, u"/");
    case kGMail:
      return page(kHttps, hosts::kGmail, u"/");
    case kYahoo:
      return page(kHttps, hosts::kYahooMail, u"/");
    case kZoho:
      return page(kHttps, hosts::kZohoMobile, u"/");
    case kMailRu:
      return page(kHttps, hosts::kMailRuMail, u"/login");
    case kVirgilio:
      return page(kHttps, hosts::kVirgilioMobile, u"/m/wmm");
    case kFacebook:
      return page(kHttps, hosts::kMessenger, u"/");
    case kTwitter:
      return page(kHttps, hosts::kX, u"/?");
    case kOrangeFr:
      return page(kHttps, hosts::kOrangeAuth, u"/auth_user/bin/auth_user.cgi");
    case kLinkedIn:
      return page(kHttps, hosts::kLinkedIn, u"/uas/login");
    case kO2pl:
      return page(kHttp, hosts::kO2Mobile, u"/");
    case kOutlookAlternative:
      return context.outlookAccountType != 0 ? page(kHttps, hosts::kOffice365Mail, u"/mail/")
                                             : page(kHttps, hosts::kOutlookMail, u"/mail/0/");
    case kYandex:
      return context.yandexInteractiveLogin
                 ? page(kHttps, hosts::kYandexMail, u"/")
                 : page(kHttps, hosts::kYandexPassport, u"/passport?mode=auth");
    case kSfr:
      return page(kHttps, hosts::kSfrWebmail, u"/");
    case kImap1:
    case kImap2:
    case kImap3:
      return context.oauthUrl;
    default:
      return {};
  }
}

std::vector<LoginAction> LoginRules::OnNavigation(const Text& url, bool newWindow) {
  std::vector<LoginAction> actions;
  bool stopSignedIn = false;
  bool matched = false;
  for (const NavigationRule& rule : kNavigationRules) {
    if ((rule.typeBits & typeBit_) == 0 || rule.newWindow != newWindow)
      continue;
    const bool matches =
        rule.pattern.Matches(url) &&
        (rule.alsoContains.empty() || url.Find(rule.alsoContains) != Text::kNotFound);
    if (!matches) {
      if (rule.effect == NavEffect::SignedInOrStop)
        stopSignedIn = true;
      continue;
    }
    matched = true;
    switch (rule.effect) {
      case NavEffect::SameViewWindow:
        actions.push_back(Action(Kind::RefuseNavigation));
        actions.push_back(WithUrl(Kind::NavigateSameView, url));
        break;
      case NavEffect::OAuthResult:
        actions.push_back(WithUrl(Kind::HandOAuthResult, url));
        actions.push_back(Timer(Kind::StartTimer, kTimerSignedIn, rule.milliseconds));
        break;
      case NavEffect::SignedIn:
      case NavEffect::SignedInOrStop:
        actions.push_back(Timer(Kind::StartTimer, kTimerSignedIn, rule.milliseconds));
        break;
    }
    break;
  }
  if (!matched && stopSignedIn)
    actions.push_back(Timer(Kind::StopTimer, kTimerSignedIn));
  return actions;
}

std::vector<LoginAction> LoginRules::OnCompletion(bool pendingScript) {
  std::vector<LoginAction> actions;
  if (typeBit_ >= kFacebook)
    actions.push_back(Timer(Kind::StartTimer, kTimerRememberMe, 1000));
  if (pendingScript)
    actions.push_back(Timer(Kind::StartTimer, kTimerPendingScript, 2000));
  return actions;
}

std::vector<LoginAction> LoginRules::OnClassicEvent(ClassicEvent event, const Text& url) {
  std::vector<LoginAction> actions;
  for (const ClassicRule& rule : kClassicRules) {
    if (rule.typeBit != typeBit_ || (rule.events & Bit(event)) == 0)
      continue;
    if ((rule.posted == Posted::Yes && !loginPosted_) ||
        (rule.posted == Posted::No && loginPosted_))
      continue;
    if (rule.pattern.Matches(url) == rule.negate)
      continue;
    switch (rule.effect) {
      case ClassicEffect::SetPosted:
        loginPosted_ = true;
        actions.push_back(Action(Kind::SetLoginPosted));
        break;
      case ClassicEffect::SaveAndClose: {
        LoginAction save = Action(Kind::SaveCookieSet);
        save.parts = rule.saveSet;
        actions.push_back(save);
        actions.push_back(Action(Kind::Close));
        return actions;
      }
      case ClassicEffect::RememberMeTimer:
        actions.push_back(Timer(Kind::StartTimer, kTimerRememberMe, 1000));
        break;
      case ClassicEffect::RunScript: {
        LoginAction run = Action(Kind::RunScript);
        run.script = rule.script;
        actions.push_back(run);
        break;
      }
      case ClassicEffect::Close:
        actions.push_back(Action(Kind::Close));
        return actions;
      case ClassicEffect::ReadVirgilioForm:
        actions.push_back(WithUrl(Kind::ReadVirgilioForm, url));
        break;
    }
  }
  return actions;
}

std::vector<LoginAction> LoginRules::OnClassicNewWindow(const Text& url) {
  return {Action(Kind::RefuseNavigation), WithUrl(Kind::KeepNewWindowUrl, url),
          Timer(Kind::StartTimer, kTimerNewWindow, 100)};
}

std::vector<LoginAction> LoginRules::OnTimer(int timer) {
  std::vector<LoginAction> actions;
  switch (timer) {
    case kTimerRememberMe:
      if (typeBit_ == kFacebook) {
        actions.push_back(Timer(Kind::StopTimer, kTimerRememberMe));
        LoginAction run = Action(Kind::RunScript);
        run.script = kFacebookRememberMeScript;
        actions.push_back(run);
      } else if (typeBit_ == kOutlook) {
        // Keeps running every second: the script only acts while the box is unticked.
        LoginAction run = Action(Kind::RunScript);
        run.script = kMicrosoftRememberMeScript;
        actions.push_back(run);
      }
      break;
    case kTimerSignedIn:
      actions.push_back(Timer(Kind::StopTimer, kTimerSignedIn));
      actions.push_back(Action(Kind::Close));
      break;
    case kTimerNewWindow:
      actions.push_back(Timer(Kind::StopTimer, kTimerNewWindow));
      actions.push_back(Action(Kind::NavigateSameView));  // to the kept address
      break;
    case kTimerPendingScript:
      actions.push_back(Timer(Kind::StopTimer, kTimerPendingScript));
      actions.push_back(Action(Kind::RunScript));  // the pending script, taken by the window
      break;
    default:
      break;
  }
  return actions;
}

void LoginRules::VirgilioFormRead(const Text& first, const Text& second, SettingsStore& store) {
  loginPosted_ = true;
  if (first.isEmpty() || second.isEmpty())
    return;
  ProtectText(store, u"VirgilioEmail", first);
  ProtectText(store, u"VirgilioPassword", second);
}

bool IsVirgilioPage(const Text& url) {
  Text prefix(kHttps);
  prefix += hosts::kVirgilioMobile;
  if (url.length() < prefix.length() ||
      Text::CompareNoCase(url.view().substr(0, prefix.view().size()), prefix) != 0)
    return false;
  // The host must end there: "mail.virgilio.it.example" is somebody else's.
  if (url.length() == prefix.length())
    return true;
  const char16_t next = url[prefix.length()];
  return next == u'/' || next == u'?' || next == u'#' || next == u':';
}

Text CookieGroup(uint32_t typeBit) {
  char name[32];
  std::snprintf(name, sizeof name, "Cookies_%08X", static_cast<unsigned>(typeBit));
  return Text::FromUtf8(name);
}

namespace {

constexpr std::u16string_view kHttpOnlySuffix = u"HTTPONLY";

Text HttpsRoot(std::u16string_view host) {
  Text url(kHttps);
  url += host;
  url += u"/";
  return url;
}

}  // namespace

StartPageContext StartPageContextOf(const MailEngine* engine, uint32_t outlookAccountType) {
  StartPageContext context;
  context.outlookAccountType = outlookAccountType;
  if (const auto* yandex = dynamic_cast<const YandexEngine*>(engine))
    context.yandexInteractiveLogin = yandex->interactiveLogin();
  return context;
}

bool SaveCookies(SettingsStore& store, WebSessionPort& port, uint32_t typeBit, const Text& url,
                 bool httpOnly) {
  Text cookies;
  if (!port.GetCookies(
          url, httpOnly ? CookieAccess::IncludingHttpOnly : CookieAccess::ScriptVisible, &cookies))
    return false;
  Text name = url;
  if (httpOnly)
    name += kHttpOnlySuffix;
  const Text group = CookieGroup(typeBit);
  return store.writeProtected(name, cookies, kBuiltInPassPhrase, group);
}

bool RestoreCookies(const SettingsStore& store, WebSessionPort& port, uint32_t typeBit) {
  const Text group = CookieGroup(typeBit);
  bool allStored = true;
  for (const StoredSetting& value : store.listValues(group)) {
    Text url = value.name;
    const bool httpOnly = url.Replace(kHttpOnlySuffix, u"") > 0;
    const Text cookies = store.readProtected(value.name, u"", kBuiltInPassPhrase, group);
    if (url.isEmpty() || cookies.isEmpty())
      continue;
    if (!port.SetCookies(url, cookies,
                         httpOnly ? CookieAccess::IncludingHttpOnly : CookieAccess::ScriptVisible))
      allStored = false;
  }
  return allStored;
}

bool ClearStoredCookies(SettingsStore& store, uint32_t typeBit) {
  return store.deleteGroup(CookieGroup(typeBit));
}

void SaveCookieSet(SettingsStore& store, WebSessionPort& port, uint32_t typeBit,
                   std::span<const CookieSetPart> parts) {
  ClearStoredCookies(store, typeBit);
  for (const CookieSetPart& part : parts)
    SaveCookies(store, port, typeBit, HttpsRoot(part.host), part.httpOnly);
}

namespace {

// One step of a logout sequence.
struct LogoutStep {
  enum class Kind {
    Get,            // url, userAgent; a failure ends the sequence
    DeleteCookies,  // url, httpOnly
    ClearStoredCookies,
    ClearVirgilio,
    SetCookie,            // url, text, httpOnly
    BrowserDeleteCookie,  // text = name, host = domain, path "/"; counts when `required`
    BrowserNavigate,      // url, with wait; a failure ends the sequence
  };
  Kind kind = Kind::Get;
  Text url = {};
  Text text = {};
  bool httpOnly = false;
  bool required = false;
};

Text Join(std::u16string_view a, std::u16string_view b, std::u16string_view c = {}) {
  Text text(a);
  text += b;
  text += c;
  return text;
}

std::vector<LogoutStep> BrowserDeletions(std::u16string_view domain,
                                         std::initializer_list<std::u16string_view> names,
                                         bool required = false) {
  std::vector<LogoutStep> steps;
  for (const std::u16string_view name : names)
    steps.push_back(
        {LogoutStep::Kind::BrowserDeleteCookie, Text(domain), Text(name), false, required});
  return steps;
}

void Append(std::vector<LogoutStep>& steps, std::vector<LogoutStep> more) {
  for (LogoutStep& step : more)
    steps.push_back(std::move(step));
}

// The logout sequence of a type; `usesBrowser` when it runs in a temporary view.
std::vector<LogoutStep> LogoutSequence(uint32_t typeBit, uint32_t hotmailAccountType,
                                       bool* usesBrowser, bool* unconditionalTimer) {
  using K = LogoutStep::Kind;
  *usesBrowser = false;
  *unconditionalTimer = false;
  std::vector<LogoutStep> steps;
  const auto get = [&steps](std::u16string_view scheme, std::u16string_view host,
                            std::u16string_view path, std::u16string_view agent) {
    steps.push_back({K::Get, Join(scheme, host, path), Text(agent)});
  };
  const auto dot = [](std::u16string_view host) { return Join(u".", host); };
  switch (typeBit) {
    case kOutlook: {
      const bool office = hotmailAccountType != 0;
      const std::u16string_view mailHost = office ? hosts::kOffice365Mail : hosts::kOutlookMail;
      get(kHttps, hosts::kMicrosoftLogin, u"/logout.srf", kMsie8UserAgent);
      get(kHttps, mailHost, office ? u"/mail/logoff.owa" : u"/owa/logoff.owa", kMsie8UserAgent);
      steps.push_back({K::DeleteCookies, HttpsRoot(mailHost), {}, true});
      steps.push_back({K::DeleteCookies, HttpsRoot(mailHost), {}, false});
      steps.push_back({K::ClearStoredCookies});
      break;
    }
    case kOutlookAlternative:
      *usesBrowser = true;
      Append(steps, BrowserDeletions(hosts::kOutlookMail, {u"ClientId", u"MSFPC"}));
      Append(steps, BrowserDeletions(dot(hosts::kMicrosoftParent), {u"WLSSC"}));
      Append(steps, BrowserDeletions(hosts::kMicrosoftSubdomain, {u"SRM_L"}));
      Append(steps,
             BrowserDeletions(dot(hosts::kMicrosoftLogin),
                              {u"SDIDC", u"MSPPre", u"MSPCID", u"MSCC", u"JSHP", u"MSPSoftVis"}));
      Append(steps, BrowserDeletions(hosts::kMicrosoftLogin, {u"__Host-MSAAUTHP"}));
      Append(steps, BrowserDeletions(hosts::kMicrosoftParent, {u"MUID", u"PPLState", u"MSPAuth",
                                                               u"MSPProf", u"NAP", u"ANON"}));
      break;
    case kGMail:
      // The Google accounts page ends the shared profile's session; whatever it answers, the
      // next check shows the outcome.
      *usesBrowser = true;
      *unconditionalTimer = true;
      steps.push_back({K::BrowserNavigate, Join(kHttps, hosts::kGoogleAccounts, u"/Logout")});
      break;
    case kFacebook:
      *usesBrowser = true;
      Append(steps, BrowserDeletions(dot(hosts::kMessengerDomain), {u"c_user"}, true));
      break;
    case kTwitter:
      *usesBrowser = true;
      Append(steps, BrowserDeletions(
                        dot(hosts::kX),
                        {u"auth_token", u"personalization_id", u"guest_id", u"email_uid",
                         u"auth_multi", u"aa_u", u"_twitter_sess", u"twid", u"att", u"ct0", u"kdt",
                         u"gt", u"_gid", u"guest_id_marketing", u"guest_id_ads", u"d_prefs"}));
      steps.push_back({K::BrowserNavigate, Join(kHttps, hosts::kX, u"/messages/")});
      break;
    case kYahoo:
      *usesBrowser = true;
      Append(steps,
             BrowserDeletions(dot(hosts::kYahooDomain), {u"Y", u"OTH", u"T", u"OTHD", u"dmieu",
                                                         u"PH", u"dmit", u"IU", u"F"}));
      Append(steps, BrowserDeletions(dot(hosts::kYahooLogin), {u"FS"}));
      break;
    case kLinkedIn:
      steps.push_back({K::DeleteCookies, HttpsRoot(hosts::kLinkedIn), {}, true});
      steps.push_back({K::DeleteCookies, HttpsRoot(hosts::kLinkedInDomain), {}, true});
      steps.push_back({K::ClearStoredCookies});
      break;
    case kMailRu:
      get(kHttps, hosts::kMailRuAuth, u"/cgi-bin/logout", kMailRuAgent);
      break;
    case kO2pl:
      get(kHttp, hosts::kO2Mobile, u"/wylogowano", {});
      steps.push_back({K::Get, Join(kHttps, hosts::kO2Api,
                                    Join(u"/v1/remember_me/", hosts::kO2Mobile, u"/logout.js "))});
      break;
    case kOrangeFr:
      get(kHttp, hosts::kOrangeRedirect, u"/r/Ofermersession", {});
      break;
    case kSfr:
      get(kHttps, hosts::kSfr, u"/cas/logout", {});
      break;
    case kVirgilio:
      steps.push_back({K::ClearVirgilio});
      get(kHttps, hosts::kVirgilioMobile, u"/m/wmm/auth/logout", kMsie8UserAgent);
      break;
    case kYandex: {
      *unconditionalTimer = true;
      const Text http = Join(kHttp, hosts::kYandexDomain, u"/");
      const Text https = HttpsRoot(hosts::kYandexDomain);
      constexpr std::u16string_view kExpired = u"=;expires=Mon, 01-Jan-1900 00:00:00 GMT";
      steps.push_back({K::SetCookie, http, Join(u"Session_id", kExpired), true});
      steps.push_back({K::SetCookie, https, Join(u"sessionid2", kExpired), true});
      steps.push_back({K::SetCookie, http, Join(u"ys", kExpired), false});
      steps.push_back({K::SetCookie, http, Join(u"yandex_login", kExpired), false});
      break;
    }
    case kZoho:
      get(kHttps, hosts::kZohoMail, u"/biz/logout", kMsie8UserAgent);
      break;
    default:
      break;
  }
  return steps;
}

constexpr uint32_t kLogoutCheckDelay = 250;

}  // namespace

void ClearVirgilioCredentials(SettingsStore& store) {
  ProtectText(store, u"VirgilioEmail", Text());
  ProtectText(store, u"VirgilioPassword", Text());
}

bool Logout(uint32_t typeBit, WebSessionPort& port, uint32_t hotmailAccountType) {
  bool usesBrowser = false;
  bool unconditionalTimer = false;
  const std::vector<LogoutStep> steps =
      LogoutSequence(typeBit, hotmailAccountType, &usesBrowser, &unconditionalTimer);
  if (steps.empty())
    return false;
  if (usesBrowser && !port.OpenBrowser())
    return false;
  bool succeeded = true;
  for (const LogoutStep& step : steps) {
    const CookieAccess access =
        step.httpOnly ? CookieAccess::IncludingHttpOnly : CookieAccess::ScriptVisible;
    switch (step.kind) {
      case LogoutStep::Kind::Get:
        succeeded = port.HttpGet(step.url, step.text);
        break;
      case LogoutStep::Kind::DeleteCookies:
        port.DeleteCookies(step.url, access);
        break;
      case LogoutStep::Kind::ClearStoredCookies:
        port.ClearStoredCookieSet(typeBit);
        break;
      case LogoutStep::Kind::ClearVirgilio:
        port.ClearVirgilioCredentials();
        break;
      case LogoutStep::Kind::SetCookie:
        port.SetCookie(step.url, step.text, access);
        break;
      case LogoutStep::Kind::BrowserDeleteCookie:
        if (!port.BrowserDeleteCookies(step.text, step.url, u"/") && step.required)
          succeeded = false;
        break;
      case LogoutStep::Kind::BrowserNavigate:
        succeeded = port.BrowserNavigateAndWait(step.url);
        break;
    }
    if (!succeeded)
      break;
  }
  if (usesBrowser)
    port.CloseBrowser();
  if (succeeded || unconditionalTimer)
    port.StartCheckTimer(kLogoutCheckDelay);
  return succeeded;
}

}  // namespace tarvel::web_login
