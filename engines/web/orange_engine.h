#pragma once

#include <memory>
#include <string_view>

#include "engines/web/page_scraping.h"

namespace tarvel {

class SettingsStore;

// The Orange hosts the mail list and its sign-in pages use.
namespace orange_hosts {
inline constexpr std::u16string_view kMobileMail = u"mobile.messagerie.orange.fr";
inline constexpr std::u16string_view kAuth = u"login.orange.fr";
inline constexpr std::u16string_view kSingleSignOn = u"sso.orange.fr";
inline constexpr std::u16string_view kDomain = u"orange.fr";
}  // namespace orange_hosts

inline constexpr std::u16string_view kOrangeUserAgent =
    u"Mozilla/5.0 (iPhone; CPU iPhone OS 8_0 like Mac OS X) AppleWebKit/600.1.3 (KHTML, like "
    u"Gecko) Version/8.0 Mobile/12A4345d Safari/600.1.4";

// Orange.fr: the inbox list of the mobile web mail, an HTML page.
class OrangeEngine : public PageScrapingEngine {
 public:
  explicit OrangeEngine(const AccountTypeInfo& type);

  CheckStatus Check() override;

  // The list page: 2 for a sign-in page, 1 for a page without the list (0 for the empty
  // inbox page).
  CheckStatus ReadMailList(const Text& page);
};

std::unique_ptr<MailEngine> CreateOrangeEngine(const AccountTypeInfo& type,
                                               const SettingsStore* settings);

}  // namespace tarvel
