#pragma once

#include <cstdint>

#include "mail/check_status.h"
#include "platform/text.h"

namespace tarvel {

class MailEngine;
class MailItem;

// The notification steps of a check, called on the check thread in this order: the popup
// rows while the lists are walked, then the popup document, the tray, and, with new mail,
// the notice, the reader refresh of the Outlook.com types, the sound and the keyboard
// display with its haptic pulse.
class CheckNotifier {
 public:
  virtual ~CheckNotifier() = default;
  virtual void AddPopupRow(const MailEngine& engine, const MailItem& item, uint32_t position) = 0;
  virtual void AssemblePopup() = 0;
  virtual void UpdateTray(uint32_t totalCount, const Text& allMailText, CheckStatus status) = 0;
  virtual void ShowNewMailNotice(const Text& newMailText, uint32_t newCount,
                                 CheckStatus status) = 0;
  virtual void RefreshReader(MailEngine& outlookEngine) = 0;
  virtual void PlayNewMailSound(uint32_t firstNewTypeBit) = 0;
  virtual void GiveLogitechFeedback() = 0;
};

// A notifier that does nothing, for callers that only want the check's results.
class SilentNotifier : public CheckNotifier {
 public:
  void AddPopupRow(const MailEngine&, const MailItem&, uint32_t) override {}
  void AssemblePopup() override {}
  void UpdateTray(uint32_t, const Text&, CheckStatus) override {}
  void ShowNewMailNotice(const Text&, uint32_t, CheckStatus) override {}
  void RefreshReader(MailEngine&) override {}
  void PlayNewMailSound(uint32_t) override {}
  void GiveLogitechFeedback() override {}
};

}  // namespace tarvel
