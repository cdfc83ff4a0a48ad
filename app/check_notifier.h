#pragma once

#include <cstdint>
#include <vector>

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

// The check's observers: every step goes to each of them in the order they were added. Each
// desktop feature that follows the checks is one observer and overrides only its own steps.
// The list is complete before the first check starts and does not change while checks run.
class CheckObservers : public CheckNotifier {
 public:
  void Add(CheckNotifier& observer) { observers_.push_back(&observer); }

  void AddPopupRow(const MailEngine& engine, const MailItem& item, uint32_t position) override {
    for (CheckNotifier* observer : observers_)
      observer->AddPopupRow(engine, item, position);
  }
  void AssemblePopup() override {
    for (CheckNotifier* observer : observers_)
      observer->AssemblePopup();
  }
  void UpdateTray(uint32_t totalCount, const Text& allMailText, CheckStatus status) override {
    for (CheckNotifier* observer : observers_)
      observer->UpdateTray(totalCount, allMailText, status);
  }
  void ShowNewMailNotice(const Text& newMailText, uint32_t newCount, CheckStatus status) override {
    for (CheckNotifier* observer : observers_)
      observer->ShowNewMailNotice(newMailText, newCount, status);
  }
  void RefreshReader(MailEngine& outlookEngine) override {
    for (CheckNotifier* observer : observers_)
      observer->RefreshReader(outlookEngine);
  }
  void PlayNewMailSound(uint32_t firstNewTypeBit) override {
    for (CheckNotifier* observer : observers_)
      observer->PlayNewMailSound(firstNewTypeBit);
  }
  void GiveLogitechFeedback() override {
    for (CheckNotifier* observer : observers_)
      observer->GiveLogitechFeedback();
  }

 private:
  std::vector<CheckNotifier*> observers_;
};

}  // namespace tarvel
