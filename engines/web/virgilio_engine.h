#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <string_view>

#include "engines/web/page_scraping.h"

namespace tarvel {

class MainThreadRelay;
class SettingsStore;

// The address and password the login window read from Virgilio's own sign-in form.
struct VirgilioCredentials {
  Text email;     // VirgilioEmail
  Text password;  // VirgilioPassword
  bool complete() const { return !email.isEmpty() && !password.isEmpty(); }
};

// Virgilio: the inbox page of the mobile web mail. When the session has lapsed the engine
// signs in again with the form and the credentials the login window stored.
class VirgilioEngine : public PageScrapingEngine {
 public:
  // After this many failed form logins in a row the stored credentials are erased.
  static constexpr int kMostFailedLogins = 3;

  // `eraseCredentials` empties the stored credentials in the settings (may be empty).
  explicit VirgilioEngine(const AccountTypeInfo& type, std::function<void()> eraseCredentials = {});

  // Reads the protected VirgilioEmail and VirgilioPassword.
  void LoadSettings(const SettingsStore& store) override;
  void SetCredentials(VirgilioCredentials credentials);
  VirgilioCredentials credentials() const;
  int failedLogins() const;

  CheckStatus Check() override;

  // The inbox page past the sign-in: 1 for a page that is not the inbox and lists nothing.
  CheckStatus ReadInbox(const Text& page);
  // The sign-in form's target path and view state; false when either is missing.
  static bool ReadLoginForm(const Text& page, Text* path, Text* viewState);

 private:
  std::function<void()> eraseCredentials_;
  mutable std::mutex mutex_;
  VirgilioCredentials credentials_;
  int failedLogins_ = 0;
};

// `mainThread` (may be null) carries the erasing of the stored credentials to the main thread.
std::unique_ptr<MailEngine> CreateVirgilioEngine(const AccountTypeInfo& type,
                                                 SettingsStore* settings,
                                                 MainThreadRelay* mainThread = nullptr);

}  // namespace tarvel
