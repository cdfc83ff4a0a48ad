#pragma once

#include <atomic>

#include "app/check_notifier.h"
#include "ui/notice/new_mail_notice.h"

namespace tarvel {

// The check's notification steps as far as the desktop program has them: the new-mail notice.
// The notice is attached once the main window exists; until then notices are dropped.
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
