// The readers of the Gmail feed and the Outlook.com pages: start-up data, folder view, the
// sign-in form and the rendered mail list, each on the same input.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "engines/protocol/gmail_engine.h"
#include "engines/web/outlook_engine.h"

using namespace tarvel;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  const Text page = Text::FromBytes(bytes);
  const Text decoded = Text::FromUtf8(bytes);

  GmailEngine gmail(kAccountTypes[2], [](const Text&, Text*, std::uint32_t) { return false; });
  gmail.ReadFeed(decoded, u"label");
  GmailEngine::Labels(decoded);

  OutlookEngine outlook(kAccountTypes[0]);
  outlook.ReadStartupData(page);
  outlook.ReadFolderView(page);
  OutlookEngine::StartupPageWantsSignIn(page);
  OutlookEngine::FolderViewWantsSignIn(page);
  Text target;
  Text body;
  OutlookEngine::ReadReplayForm(page, &target, &body);

  OutlookAltEngine alternative(kAccountTypes[1],
                               [](const Text&, Text*, std::uint32_t) { return false; });
  alternative.stylesheetCache = decoded;
  alternative.ReadMailList(decoded);
  OutlookAltEngine::StylesheetAddress(decoded, u"https://outlook.live.com/mail/0/");
  OutlookAltEngine::IsUnreadStyle(decoded, decoded);
  return 0;
}
