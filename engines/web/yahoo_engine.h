#pragma once

#include <memory>

#include "engines/protocol/gmail_engine.h"
#include "engines/web/page_scraping.h"

namespace tarvel {

class SettingsStore;

// Yahoo: the inbox page as the browser of the shared profile renders it. Three page forms
// are read: the message list object, the rendered list and the app's state.
class YahooEngine : public PageScrapingEngine {
 public:
  // Without a loader the shared browser profile's own (WebView::LoadPageSource) is used.
  explicit YahooEngine(const AccountTypeInfo& type, PageSourceLoader loader = {});

  CheckStatus Check() override;

  static bool PageWantsSignIn(const Text& source);
  // The rendered source: 1 when none of the page forms is there.
  CheckStatus ReadPage(Text source);

 private:
  bool ReadMessageListObject(const Text& source);
  bool ReadRenderedList(const Text& source);
  bool ReadAppState(const Text& source);

  PageSourceLoader loader_;
};

std::unique_ptr<MailEngine> CreateYahooEngine(const AccountTypeInfo& type,
                                              const SettingsStore* settings);

}  // namespace tarvel
