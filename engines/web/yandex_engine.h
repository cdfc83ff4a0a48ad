#pragma once

#include <atomic>
#include <memory>
#include <string_view>

#include "engines/web/page_scraping.h"

namespace tarvel {

class SettingsStore;

inline constexpr std::u16string_view kYandexUserAgent =
    u"Mozilla/5.0 (Windows NT 10.0; Win64; x64) AppleWebKit/537.36 (KHTML, like Gecko) "
    u"Chrome/104.0.0.0 Safari/537.36";

// Yandex: the form key and the experiment boxes of the mail page, then the messages model of
// the touch interface.
class YandexEngine : public PageScrapingEngine {
 public:
  explicit YandexEngine(const AccountTypeInfo& type);

  // Reads YandexCheckAllFolders.
  void LoadSettings(const SettingsStore& store) override;
  void SetCheckAllFolders(bool all) { checkAllFolders_.store(all); }

  CheckStatus Check() override;

  // Set when the last check met the captcha form or a mail page without mailbox data: the
  // login window then opens the mail page itself rather than the passport's sign-in.
  bool interactiveLogin() const { return interactiveLogin_.load(); }

  // The messages model answer: 2 for a signed-out answer, 1 without the message list.
  CheckStatus ReadMessages(const Text& answer);

 private:
  std::atomic<bool> interactiveLogin_{false};
  std::atomic<bool> checkAllFolders_{false};
};

std::unique_ptr<MailEngine> CreateYandexEngine(const AccountTypeInfo& type,
                                               const SettingsStore* settings);

}  // namespace tarvel
