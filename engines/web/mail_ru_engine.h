#pragma once

#include <memory>
#include <string_view>

#include "engines/web/page_scraping.h"

namespace tarvel {

class SettingsStore;

// The touch (mobile) mail host.
inline constexpr std::u16string_view kMailRuTouchHost = u"touch.mail.ru";
inline constexpr std::u16string_view kMailRuUserAgent =
    u"Mozilla/5.0 (Windows NT 10.0; WOW64) AppleWebKit/537.36 (KHTML, like Gecko) "
    u"Chrome/53.0.2785.143 Safari/537.36";

// Mail.ru: the user and token of the touch mail page, then the messages status call.
class MailRuEngine : public PageScrapingEngine {
 public:
  // Longer user names are cut.
  static constexpr Text::Position kLongestUser = 256;

  explicit MailRuEngine(const AccountTypeInfo& type);

  CheckStatus Check() override;

  // The status answer: 1 without a message list.
  CheckStatus ReadStatus(const Text& answer);
};

std::unique_ptr<MailEngine> CreateMailRuEngine(const AccountTypeInfo& type,
                                               const SettingsStore* settings);

}  // namespace tarvel
