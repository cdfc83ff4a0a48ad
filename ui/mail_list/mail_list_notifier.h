#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>

#include "accounts/option_flags.h"
#include "app/check_notifier.h"
#include "ui/mail_list/mail_list_page.h"

namespace tarvel {

// What the mail list page is built with, read at each check.
struct MailListSettings {
  bool includeProvider = false;  // MailListIncludeProvider is 1
  MailListColors colors;
};

// Builds the mail list page on the check thread: one row per record during the walk, the page
// after all account types were checked. The page is kept for the window, which the page-ready
// hook tells to reload it.
class MailListBuilder {
 public:
  struct Sources {
    // A template of the list (page or row form) by number; empty when it cannot be loaded.
    std::function<std::string(uint32_t id)> loadTemplate;
    std::function<MailListSettings()> settings;
    // A new page was stored (the window's reload message).
    std::function<void()> pageReady;
  };

  explicit MailListBuilder(Sources sources);

  // The screen's DPI factor (DPI / 96), set on the main thread.
  void setDpiFactor(double factor) { dpiFactor_.store(factor > 0 ? factor : 1.0); }
  // Main thread: the window moved to a screen of another factor. The last page is built again
  // from its rows for that factor (the page ready hook then runs), and so are the next ones.
  void Rescale(double factor);

  // Check thread: one row for a record at `position` in its type's list.
  void AddRow(const MailListType& type, const MailItem& item, uint32_t position);
  // Check thread: the page of the rows added since the last page; the rows start again.
  // Without the page template the old page stays and no reload is asked for.
  void BuildPage();

  // The last page built; empty until the first check ends.
  std::string page() const;

 private:
  Sources sources_;
  std::atomic<double> dpiFactor_{1.0};
  // Check thread only.
  std::string items_;
  std::optional<MailListSettings> checkSettings_;
  std::string rowTemplate_;
  // Written by the check thread, read by the main thread.
  mutable std::mutex pageMutex_;
  std::string page_;
  // What the last page was built from.
  std::string lastTemplate_;
  std::string lastItems_;
  MailListColors lastColors_;
};

// The mail list's share of a check: every record of the walk and the end of the walk.
class MailListNotifier : public SilentNotifier {
 public:
  explicit MailListNotifier(MailListBuilder& builder) : builder_(builder) {}

  void AddPopupRow(const MailEngine& engine, const MailItem& item, uint32_t position) override;
  void AssemblePopup() override;

 private:
  MailListBuilder& builder_;
};

// The user closed the mail list window: its option goes off. Returns the Flags value to save
// (without the bits that only live while the program runs).
inline uint64_t TurnOffMailList(OptionFlags& flags) {
  flags.clear(flag_bits::kShowMailListWindow);
  return flags.load() & ~flag_bits::kRunTimeBits;
}

}  // namespace tarvel
