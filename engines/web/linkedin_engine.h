#pragma once

#include <memory>
#include <string_view>

#include "engines/web/page_scraping.h"

namespace tarvel {

class SettingsStore;

// LinkedIn: the stored sign-in cookies put back, then the unread messages embedded in the
// messaging page.
class LinkedInEngine : public PageScrapingEngine {
 public:
  // More records than this in the page's "included" array are not looked at.
  static constexpr std::size_t kMostRecords = 50000;

  // The stored cookie set is read from `settings` (when given) at the start of each check;
  // the store's files are re-read under their own locks, so a sign-in saved since counts.
  LinkedInEngine(const AccountTypeInfo& type, const SettingsStore* settings);

  CheckStatus Check() override;

  // The messaging page: 2 until the embedded data is found; 1 when it cannot be read.
  CheckStatus ReadMessagingPage(const Text& page);

 private:
  const SettingsStore* settings_;
};

std::unique_ptr<MailEngine> CreateLinkedInEngine(const AccountTypeInfo& type,
                                                 const SettingsStore* settings);

}  // namespace tarvel
