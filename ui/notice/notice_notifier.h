#pragma once

#include <atomic>

#include "app/check_notifier.h"
#include "ui/notice/new_mail_notice.h"

namespace tarvel {

// The notice's share of a check: the new-mail notice. The notice is attached once the main
// window exists; until then notices are dropped.
class NoticeNotifier : public SilentNotifier {
 public:
  void setNotice(NewMailNotice* notice) { notice_.store(notice); }
  void ShowNewMailNotice(const Text& newMailText, uint32_t newCount, CheckStatus status) override {
    if (NewMailNotice* notice = notice_.load())
      notice->NotifyNewMail(newMailText, newCount, status);
  }

 private:
  std::atomic<NewMailNotice*> notice_{nullptr};
};

}  // namespace tarvel
