#pragma once

#include <memory>
#include <string_view>

#include "engines/web/page_scraping.h"

namespace tarvel {

class SettingsStore;

inline constexpr std::u16string_view kSfrUserAgent =
    u"Mozilla/5.0 (Windows NT 6.3; Win64; x64) AppleWebKit/537.36 (KHTML, like Gecko) "
    u"Chrome/37.0.2049.0 Safari/537.36";

// SFR: the webmail host reached after the redirects of its root, its mailbox page, then the
// header list of the inbox.
class SfrEngine : public PageScrapingEngine {
 public:
  explicit SfrEngine(const AccountTypeInfo& type);

  CheckStatus Check() override;

  // The header list answer: 2 for the sign-in form or the session error, 1 without a list.
  CheckStatus ReadHeaderList(const Text& answer);
};

std::unique_ptr<MailEngine> CreateSfrEngine(const AccountTypeInfo& type,
                                            const SettingsStore* settings);

}  // namespace tarvel
