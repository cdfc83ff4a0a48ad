#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string_view>

#include "accounts/mail_engine.h"
#include "platform/text.h"

namespace tarvel {

class SettingsStore;

// What the script-driven engines need of an invisible browser view of the shared profile.
class ScriptedPage {
 public:
  virtual ~ScriptedPage() = default;
  virtual bool Navigate(const Text& url) = 0;  // and wait for the load
  virtual bool CurrentUrl(Text* url) = 0;
  // Lets the page's scripts run; false when the check was stopped (the check thread's stop
  // request or `stop`, the engine's own, which may be null) or the browser ended.
  virtual bool Settle(std::uint32_t milliseconds, const std::atomic<bool>* stop) = 0;
  virtual bool ExecuteScript(const Text& script, Text* result) = 0;
  virtual bool DocumentSource(Text* source) = 0;  // mode 0, not unescaped
};

// Opens a view (null: the browser cannot run). The view closes when the object goes.
using ScriptedPageOpener = std::function<std::unique_ptr<ScriptedPage>()>;

// The opener of the browser helper's views: shared profile, new windows refused.
std::unique_ptr<ScriptedPage> OpenBrowserPage();

// The shared part of the engines that walk a service's rendered web app with a script that
// returns a JSON array of conversations.
class ScriptedEngine : public MailEngine {
 public:
  // Time the web app is given to render after the load.
  static constexpr std::uint32_t kSettleMilliseconds = 5000;
  // Longer script results are not read; more conversations are not walked.
  static constexpr std::size_t kLargestResult = 8 * 1024 * 1024;
  static constexpr std::size_t kMostConversations = 1000;
  static constexpr Text::Position kLongestField = 1024;

  ScriptedEngine(const AccountTypeInfo& type, ScriptedPageOpener opener);

  void SetSettleMilliseconds(std::uint32_t milliseconds) { settle_ = milliseconds; }
  Text GetDisplayName() const override;

 protected:
  std::unique_ptr<ScriptedPage> Open();
  CheckStatus Failed(std::u16string_view reason);
  CheckStatus SignedOut(std::u16string_view reason);
  CheckStatus Stopped();
  // Gives the page the settle time; false when the check was stopped meanwhile.
  bool Settle(ScriptedPage& page);

 private:
  ScriptedPageOpener opener_;
  std::uint32_t settle_ = kSettleMilliseconds;
};

// Facebook: the Messenger conversation list. Only the newest unread conversation's message
// counts as new, and only when it changed since the previous check.
class MessengerEngine : public ScriptedEngine {
 public:
  explicit MessengerEngine(const AccountTypeInfo& type, ScriptedPageOpener opener = {});

  CheckStatus Check() override;

  // The script's result: 2 when it is no JSON array (the list was not there).
  CheckStatus ReadConversations(const Text& result);
  // Whether the address the app settled on is a conversation of a signed-in session.
  static bool IsSignedInAddress(const Text& url);

  Text lastText() const;

 private:
  mutable std::mutex mutex_;
  Text lastText_;
};

// Twitter: the X direct-message inbox; a conversation whose text has the medium weight is
// unread.
class TwitterEngine : public ScriptedEngine {
 public:
  explicit TwitterEngine(const AccountTypeInfo& type, ScriptedPageOpener opener = {});

  CheckStatus Check() override;

  static bool IsSignedInSource(const Text& source);
  CheckStatus ReadConversations(const Text& result);
};

std::unique_ptr<MailEngine> CreateMessengerEngine(const AccountTypeInfo& type,
                                                  const SettingsStore* settings);
std::unique_ptr<MailEngine> CreateTwitterEngine(const AccountTypeInfo& type,
                                                const SettingsStore* settings);

}  // namespace tarvel
