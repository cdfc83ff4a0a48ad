#pragma once

#include "app/placeholder_services.h"
#include "ui/mail_list_window.h"
#include "ui/popup_presenter.h"

namespace tarvel {

// The desktop services with the new-mail popup and the mail list window built; the others
// still stand in.
class PopupServices : public PlaceholderServices {
 public:
  PopupServices(DiagnosticTrace& trace, PopupPresenter& presenter)
      : PlaceholderServices(trace), presenter_(presenter) {}

  // The mail list window, once it exists.
  void setMailList(MailListController* mailList) { mailList_ = mailList; }

  void ShowNewMailPopup() override { presenter_.ShowPopup(); }
  void OpenMailList() override {
    if (mailList_)
      mailList_->Open();
    else
      PlaceholderServices::OpenMailList();
  }
  void CloseMailList() override {
    if (mailList_)
      mailList_->Close();
  }
  void ClosePopup() override { presenter_.ClosePopup(); }

 private:
  PopupPresenter& presenter_;
  MailListController* mailList_ = nullptr;
};

}  // namespace tarvel
