#pragma once

#include <memory>
#include <string_view>

#include "engines/web/page_scraping.h"

namespace tarvel {

class SettingsStore;

inline constexpr std::u16string_view kZohoUserAgent =
    u"Mozilla/5.0 (Windows NT 10.0; Win64; x64) AppleWebKit/537.36 (KHTML, like Gecko) "
    u"Chrome/62.0.3202.94 Safari/537.36";

// Zoho: the account id of the mail page and the CSRF cookie, then the unread listing.
class ZohoEngine : public PageScrapingEngine {
 public:
  explicit ZohoEngine(const AccountTypeInfo& type);

  CheckStatus Check() override;

  // The listing answer: 1 without a message array.
  CheckStatus ReadListing(const Text& answer);
};

std::unique_ptr<MailEngine> CreateZohoEngine(const AccountTypeInfo& type,
                                             const SettingsStore* settings);

}  // namespace tarvel
