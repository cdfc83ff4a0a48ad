#pragma once

#include <memory>
#include <string_view>

#include "engines/web/page_scraping.h"

namespace tarvel {

class SettingsStore;

// O2.pl: the remember-me script of the API host names the address that opens the session;
// the session cookie then unlocks the mail list of the mobile mail host (plain HTTP).
class O2Engine : public PageScrapingEngine {
 public:
  explicit O2Engine(const AccountTypeInfo& type);

  CheckStatus Check() override;

  // The remember-me answer's continuation: host and path. False when it names none, or a
  // host outside O2's own domain (the session's cookies are not taken elsewhere).
  static bool ContinueAddress(const Text& answer, Text* host, Text* path);

  // The mail list answer: 1 without a mail array.
  CheckStatus ReadMailList(const Text& answer);
};

std::unique_ptr<MailEngine> CreateO2Engine(const AccountTypeInfo& type,
                                           const SettingsStore* settings);

}  // namespace tarvel
