#pragma once

#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "platform/cookie_store.h"
#include "platform/text.h"

namespace tarvel {

class MailEngine;

class SettingsStore;

// The sign-in of the web account types: which browser each type signs in with, where it
// starts, how the end of a sign-in is recognised, how its cookies are kept in the settings
// and how its session is ended. Everything here is data and plain logic; the login window
// carries out the actions it is given.
namespace web_login {

// The services' host names.
namespace hosts {
inline constexpr std::u16string_view kMicrosoftLogin = u"login.live.com";
inline constexpr std::u16string_view kMicrosoftAccount = u"account.microsoft.com";
inline constexpr std::u16string_view kMicrosoftParent = u"live.com";
inline constexpr std::u16string_view kMicrosoftSubdomain = u"account.live.com";
inline constexpr std::u16string_view kOffice365Mail = u"outlook.office.com";
inline constexpr std::u16string_view kOutlookMail = u"outlook.live.com";
inline constexpr std::u16string_view kGmail = u"mail.google.com";
inline constexpr std::u16string_view kGoogleAccounts = u"accounts.google.com";
inline constexpr std::u16string_view kYahooMail = u"mail.yahoo.com";
inline constexpr std::u16string_view kYahooDomain = u"yahoo.com";
inline constexpr std::u16string_view kYahooLogin = u"login.yahoo.com";
inline constexpr std::u16string_view kZohoMobile = u"m.zoho.com";
inline constexpr std::u16string_view kZohoAccounts = u"accounts.zoho.com";
inline constexpr std::u16string_view kZohoMail = u"mail.zoho.com";
inline constexpr std::u16string_view kMailRuMail = u"e.mail.ru";
inline constexpr std::u16string_view kMailRuAuth = u"auth.mail.ru";
inline constexpr std::u16string_view kVirgilioMobile = u"mail.virgilio.it";
inline constexpr std::u16string_view kMessenger = u"www.messenger.com";
inline constexpr std::u16string_view kMessengerDomain = u"messenger.com";
inline constexpr std::u16string_view kX = u"x.com";
inline constexpr std::u16string_view kOrangeAuth = u"login.orange.fr";
inline constexpr std::u16string_view kOrangePortal = u"www.orange.fr";
inline constexpr std::u16string_view kOrangeRedirect = u"r.orange.fr";
inline constexpr std::u16string_view kLinkedIn = u"www.linkedin.com";
inline constexpr std::u16string_view kLinkedInDomain = u"linkedin.com";
inline constexpr std::u16string_view kO2Mobile = u"poczta.o2.pl";
inline constexpr std::u16string_view kO2Api = u"api.o2.pl";
inline constexpr std::u16string_view kYandexMail = u"mail.yandex.ru";
inline constexpr std::u16string_view kYandexPassport = u"passport.yandex.ru";
inline constexpr std::u16string_view kYandexDomain = u"yandex.ru";
inline constexpr std::u16string_view kSfrWebmail = u"webmail.sfr.fr";
inline constexpr std::u16string_view kSfr = u"www.sfr.fr";
inline constexpr std::u16string_view kOAuthLoopback = u"http://127.0.0.1";
}  // namespace hosts

// The user agent of the logout requests that name no other.
inline constexpr std::u16string_view kMsie8UserAgent =
    u"Mozilla/4.0 (compatible; MSIE 8.0; Windows NT 5.1; Trident/4.0;)";

// The login window's own timers.
inline constexpr int kTimerRememberMe = 5;
inline constexpr int kTimerSignedIn = 6;
inline constexpr int kTimerNewWindow = 7;
inline constexpr int kTimerPendingScript = 8;

// The two browsers: the shared persistent profile, whose session the engines' own views
// use; or a profile of the login window whose cookies are mirrored into the HTTP client's
// cookie store, which the page-scraping engines send from.
enum class BrowserKind {
  SharedProfile,
  MirroredCookies,
};

struct WebType {
  uint32_t typeBit;
  BrowserKind browser;
  bool silent;                    // script errors of the pages are not reported
  std::u16string_view userAgent;  // empty: the browser's own
};

// Every web account type, in list order.
std::span<const WebType> WebTypes();
const WebType* FindWebType(uint32_t typeBit);

// What the start page depends on besides the type.
struct StartPageContext {
  uint32_t outlookAccountType = 0;  // non-zero: Microsoft 365
  bool yandexInteractiveLogin = false;
  Text oauthUrl;  // the IMAP accounts' authorisation address
};
Text StartPage(uint32_t typeBit, const StartPageContext& context);
// The context of a login window opened for the running engine of its type (null: none runs):
// Yandex asks for its mail page instead of the passport after a check that needed the user.
StartPageContext StartPageContextOf(const MailEngine* engine, uint32_t outlookAccountType);

// The remember-me scripts.
inline constexpr std::u16string_view kMicrosoftRememberMeScript =
    u"if (document.getElementById(\"idChkBx_PWD_KMSI0Pwd\")) if "
    u"(document.getElementById(\"idChkBx_PWD_KMSI0Pwd\").checked==false) if "
    u"(document.getElementById(\"idLbl_PWD_KMSI_Cb\")) "
    u"document.getElementById(\"idLbl_PWD_KMSI_Cb\").click();";
inline constexpr std::u16string_view kZohoRememberMeScript =
    u"if (document.getElementById(\"rem\")) document.getElementById(\"rem\").checked=true;";
inline constexpr std::u16string_view kOrangeRememberMeScript =
    u"if (document.getElementById(\"default_f_memorize_password_csCheckbox\")) if "
    u"(document.getElementById(\"default_f_memorize_password_csCheckbox\").childNodes.length>0) "
    u"document.getElementById(\"default_f_memorize_password_csCheckbox\").childNodes[0]."
    u"className=\"checkboxOn\"; if "
    u"(document.getElementById(\"default_f_memorize_password\")) "
    u"document.getElementById(\"default_f_memorize_password\").checked=true;";
inline constexpr std::u16string_view kO2RememberMeScript =
    u"if (document.getElementById(\"remember_me_checkbox\")) "
    u"document.getElementById(\"remember_me_checkbox\").dataset.checked=\"yes\"; if "
    u"(document.getElementById(\"remember_me_checkbox\")) if "
    u"(document.getElementById(\"remember_me_checkbox\").childNodes.length>1) "
    u"document.getElementById(\"remember_me_checkbox\").childNodes[1].className+=\" "
    u"is-checked\"; if (document.getElementById(\"remember_me_checkbox\")) if "
    u"(document.getElementById(\"remember_me_checkbox\").childNodes.length>3) "
    u"document.getElementById(\"remember_me_checkbox\").childNodes[3].checked=true;";
inline constexpr std::u16string_view kFacebookRememberMeScript =
    u"document.querySelectorAll('input[type=checkbox]')[0].click()";

// One address of a stored cookie set: the HTTPS root of a host, with or without the
// http-only cookies.
struct CookieSetPart {
  std::u16string_view host;
  bool httpOnly;
};

// What the login window is to do.
struct LoginAction {
  enum class Kind {
    StartTimer,  // timer, milliseconds
    StopTimer,   // timer
    Close,       // the sign-in is over
    SetLoginPosted,
    RunScript,         // script
    SaveCookieSet,     // ClearStoredCookies, then SaveCookies for each of `parts`
    ReadVirgilioForm,  // read the page's first two input fields (VirgilioFormRead)
    RefuseNavigation,  // the navigation (a new window) does not happen
    NavigateSameView,  // url: open in the login view itself
    KeepNewWindowUrl,  // url: kept for timer 7
    HandOAuthResult,   // url: the IMAP authorisation's answer
  };
  Kind kind = Kind::Close;
  int timer = 0;
  uint32_t milliseconds = 0;
  std::u16string_view script;
  std::span<const CookieSetPart> parts;
  Text url;
};

// The sign-in state of one login window, and the rules that move it.
class LoginRules {
 public:
  explicit LoginRules(uint32_t typeBit) : typeBit_(typeBit) {}

  uint32_t typeBit() const { return typeBit_; }
  bool loginPosted() const { return loginPosted_; }
  // The sign-in form has been sent (the window saw it go before the rules' event came).
  void MarkLoginPosted() { loginPosted_ = true; }

  // Shared-profile browser: a navigation or new-window request, asked before it happens.
  std::vector<LoginAction> OnNavigation(const Text& url, bool newWindow);
  // Shared-profile browser: a navigation completed.
  std::vector<LoginAction> OnCompletion(bool pendingScript);

  // Mirrored-cookie browser events.
  enum class ClassicEvent {
    DocumentComplete = 0,
    NavigationComplete = 1,
    BeforeNavigate = 2,
  };
  std::vector<LoginAction> OnClassicEvent(ClassicEvent event, const Text& url);
  // A navigation of the mirrored-cookie browser to a new window ("_blank").
  std::vector<LoginAction> OnClassicNewWindow(const Text& url);

  // A login window timer fired.
  std::vector<LoginAction> OnTimer(int timer);

  // The two fields read for ReadVirgilioForm. The credentials are stored protected when the
  // first and the second are both given; the form counts as posted in every case.
  void VirgilioFormRead(const Text& first, const Text& second, SettingsStore& store);

 private:
  uint32_t typeBit_;
  bool loginPosted_ = false;
};

// Whether an address lies on Virgilio's own mail host (its credentials are read from, and
// only ever given to, those pages).
bool IsVirgilioPage(const Text& url);

// What Logout and the cookie keeping need of the outside world.
class WebSessionPort {
 public:
  virtual ~WebSessionPort() = default;
  // One GET without a body; true when the answer was read, whatever its status.
  virtual bool HttpGet(const Text& url, const Text& userAgent) = 0;
  virtual bool GetCookies(const Text& url, CookieAccess access, Text* result) = 0;
  virtual bool SetCookies(const Text& url, const Text& cookies, CookieAccess access) = 0;
  virtual bool SetCookie(const Text& url, const Text& cookie, CookieAccess access) = 0;
  virtual bool DeleteCookies(const Text& url, CookieAccess access) = 0;
  // A temporary browser view of the shared profile, for deleting its cookies.
  virtual bool OpenBrowser() = 0;
  virtual bool BrowserDeleteCookies(const Text& name, const Text& domain, const Text& path) = 0;
  virtual bool BrowserNavigateAndWait(const Text& url) = 0;
  virtual void CloseBrowser() = 0;
  // The settings' side of a logout: the type's stored cookie set, Virgilio's credentials.
  virtual void ClearStoredCookieSet(uint32_t typeBit) = 0;
  virtual void ClearVirgilioCredentials() = 0;
  // Timer 1 of the main window: the next check.
  virtual void StartCheckTimer(uint32_t milliseconds) = 0;
};

// The settings group of a type's stored cookie set: "Cookies_%08X".
Text CookieGroup(uint32_t typeBit);

// The cookies the HTTPS root of `host` would send (http-only ones too, or not), stored
// protected under the name "<url>" or "<url>HTTPONLY". False when they cannot be read.
bool SaveCookies(SettingsStore& store, WebSessionPort& port, uint32_t typeBit, const Text& url,
                 bool httpOnly);
// Puts every stored cookie of the type back into the HTTP client's store.
bool RestoreCookies(const SettingsStore& store, WebSessionPort& port, uint32_t typeBit);
bool ClearStoredCookies(SettingsStore& store, uint32_t typeBit);
// ClearStoredCookies, then SaveCookies for each part.
void SaveCookieSet(SettingsStore& store, WebSessionPort& port, uint32_t typeBit,
                   std::span<const CookieSetPart> parts);

// Ends the type's web session; true (and the check brought forward by 250 ms) when the
// sequence succeeded. The stored Virgilio credentials are emptied by its logout.
bool Logout(uint32_t typeBit, WebSessionPort& port, uint32_t hotmailAccountType);
// The settings' side of a logout on the store itself.
void ClearVirgilioCredentials(SettingsStore& store);

}  // namespace web_login
}  // namespace tarvel
