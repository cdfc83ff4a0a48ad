#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string_view>
#include <vector>

#include "accounts/mail_engine.h"
#include "engines/protocol/gmail_engine.h"
#include "engines/web/web_login.h"
#include "platform/http_session.h"

namespace tarvel {

class SettingsStore;

// The Microsoft hosts of the two Outlook.com account types. The mail and account hosts are
// the ones the sign-in keeps its cookies for.
namespace outlook_hosts {
inline constexpr std::u16string_view kOutlookMail = web_login::hosts::kOutlookMail;
inline constexpr std::u16string_view kOffice365Mail = web_login::hosts::kOffice365Mail;
inline constexpr std::u16string_view kLogin = web_login::hosts::kMicrosoftLogin;
inline constexpr std::u16string_view kOnlineLogin = u"login.microsoftonline.com";
inline constexpr std::u16string_view kAutologon = u"autologon.microsoftazuread-sso.com";
}  // namespace outlook_hosts

// The user agents of the Outlook.com requests.
inline constexpr std::u16string_view kOutlookProbeAgent =
    u"Mozilla/5.0 (Windows NT 10.0; Win64; x64) AppleWebKit/537.36 (KHTML, like Gecko) "
    u"Chrome/135.0.0.0 Safari/537.36";
inline constexpr std::u16string_view kOutlookStartupAgent =
    u"Mozilla/5.0 (Windows NT 10.0; Win64; x64) AppleWebKit/537.36 (KHTML, like Gecko) "
    u"Chrome/117.0.0.0 Safari/537.36";
inline constexpr std::u16string_view kOutlookFolderViewAgent =
    u"Mozilla/4.0 (compatible; MSIE 8.0; Windows NT 5.1; Trident/4.0; .NET CLR 1.0.3705; .NET CLR "
    u"1.1.4322; Media Center PC 4.0; .NET CLR 2.0.50727; .NET CLR 3.0.4506.2152; .NET CLR "
    u"3.5.30729)";

// One value of a stored cookie set, as RestoreCookies hands it back.
struct StoredCookieValue {
  Text url;
  Text cookies;  // "a=1; b=2"
  bool httpOnly = false;
};

struct OutlookSettings {
  uint32_t accountType = 0;                      // HotmailAccountType: non-zero = Microsoft 365
  Text website;                                  // HotmailWebsite
  std::vector<StoredCookieValue> storedCookies;  // the type's stored cookie set
};

// Outlook.com and Microsoft 365 web mail read with the program's HTTP client and the cookies
// of the sign-in: first the start-up data of the current web app (JSON), then the older HTML
// folder view.
class OutlookEngine : public MailEngine {
 public:
  static constexpr std::uint64_t kLargestAnswer = 16ull * 1024 * 1024;
  static constexpr std::size_t kMostMessages = 1000;

  explicit OutlookEngine(const AccountTypeInfo& type);

  // Reads HotmailAccountType, HotmailWebsite and the type's stored cookie set.
  void LoadSettings(const SettingsStore& store) override;
  void SetSettings(OutlookSettings settings);
  OutlookSettings settings() const;

  CheckStatus Check() override;
  bool OpenReader(ReaderLauncher& launcher) override;
  Text GetDisplayName() const override;

  // The web mail host the settings choose.
  static std::u16string_view MailHost(uint32_t accountType);

  // The readers' page parts, on answers already received.
  CheckStatus ReadStartupData(const Text& answer);
  CheckStatus ReadFolderView(const Text& answer);
  // Sign-in markers of the two readers' pages.
  static bool StartupPageWantsSignIn(const Text& page);
  static bool FolderViewWantsSignIn(const Text& page);
  // The form of a "JavaScript required" page: its target and its "name=value&..." body.
  static bool ReadReplayForm(const Text& page, Text* target, Text* body);

 private:
  void PutBackStoredCookies(const OutlookSettings& account);
  CheckStatus RunStartupReader(std::u16string_view host);
  CheckStatus RunFolderViewReader(std::u16string_view host);
  bool Get(std::u16string_view host, std::u16string_view object, std::u16string_view userAgent,
           std::u16string_view headers, ServiceKind kind, Text* answer);
  bool ReplayForm(const Text& page, std::u16string_view host, std::u16string_view userAgent);

  mutable std::mutex settingsMutex_;
  OutlookSettings settings_;
  HttpSession session_;
  std::int64_t checkTime_ = 0;
};

struct OutlookAltSettings {
  uint32_t accountType = 0;  // OutlookAccountType: non-zero = Microsoft 365
  Text website;              // OutlookWebsite
};

// Outlook.com and Microsoft 365 web mail rendered by an invisible browser view of the shared
// profile; the unread entries are the ones the web app's stylesheet marks with a left border.
class OutlookAltEngine : public MailEngine {
 public:
  static constexpr std::uint32_t kSettleMilliseconds = 5000;
  static constexpr std::size_t kLargestPage = 16 * 1024 * 1024;
  static constexpr std::uint64_t kLargestStylesheet = 8ull * 1024 * 1024;
  static constexpr std::size_t kMostMessages = 1000;

  // Without a loader the shared browser profile's own (WebView::LoadPageSource) is used.
  explicit OutlookAltEngine(const AccountTypeInfo& type, PageSourceLoader loader = {});

  void LoadSettings(const SettingsStore& store) override;
  void SetSettings(OutlookAltSettings settings);
  OutlookAltSettings settings() const;

  CheckStatus Check() override;
  bool OpenReader(ReaderLauncher& launcher) override;
  Text GetDisplayName() const override;

  // The page the check loads.
  static Text MailPage(uint32_t accountType);
  static bool PageWantsSignIn(const Text& page);
  // The address of the web app's stylesheet that styles unread entries; empty when none.
  static Text StylesheetAddress(const Text& page, const Text& pageUrl);
  // Whether one of the classes marks an unread entry in the stylesheet.
  static bool IsUnreadStyle(const Text& classes, const Text& stylesheet);
  // Reads the rendered mail list into `mails`; 1 when there is none.
  CheckStatus ReadMailList(const Text& page);

  Text stylesheetCache;

 private:
  PageSourceLoader loader_;
  mutable std::mutex settingsMutex_;
  OutlookAltSettings settings_;
  HttpSession session_;
};

std::unique_ptr<MailEngine> CreateOutlookEngine(const AccountTypeInfo& type,
                                                const SettingsStore* settings);
std::unique_ptr<MailEngine> CreateOutlookAltEngine(const AccountTypeInfo& type,
                                                   const SettingsStore* settings);

}  // namespace tarvel
