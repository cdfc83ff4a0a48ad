#pragma once

#include <atomic>
#include <functional>

#include "app/check_notifier.h"
#include "ui/notice/new_mail_notice.h"

namespace tarvel {

// The notice's share of a check: the new-mail notice. The notice is attached once the main
// window exists; until then notices are dropped.
class NoticeNotifier : public SilentNotifier {
 public:
  void setNotice(NewMailNotice* notice) { notice_.store(notice); }
  // Runs on the check thread before each notice (set before the first check): what the notice
  // needs to know that would make the GUI thread wait is learnt here.
  void setBeforeNotice(std::function<void()> beforeNotice) {
    beforeNotice_ = std::move(beforeNotice);
  }
  void ShowNewMailNotice(const Text& newMailText, uint32_t newCount, CheckStatus status) override {
    if (NewMailNotice* notice = notice_.load()) {
      if (beforeNotice_)
        beforeNotice_();
      notice->NotifyNewMail(newMailText, newCount, status);
    }
  }

 private:
  std::atomic<NewMailNotice*> notice_{nullptr};
  std::function<void()> beforeNotice_;
};

}  // namespace tarvel
