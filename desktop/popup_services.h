#pragma once

#include <functional>

#include "app/placeholder_services.h"
#include "ui/mail_list/mail_list_window.h"
#include "ui/notice/popup_presenter.h"
#include "ui/options/options_dialog.h"

namespace tarvel {

// The desktop services with the new-mail popup, the mail list window and the options dialog
// built; the others still stand in.
class PopupServices : public PlaceholderServices {
 public:
  PopupServices(DiagnosticTrace& trace, PopupPresenter& presenter)
      : PlaceholderServices(trace), presenter_(presenter) {}

  // The mail list window, once it exists.
  void setMailList(MailListController* mailList) { mailList_ = mailList; }
  // The options dialog, once it exists.
  void setOptions(OptionsController* options) { options_ = options; }

  void OpenOptions() override {
    PlaceholderServices::OpenOptions();  // the request is traced
    if (options_)
      options_->Open();
  }
  void CloseOptions() override {
    if (options_)
      options_->Close();
  }
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
  // The automatic update check, once it exists.
  std::function<void(bool portable)> startUpdateCheck;
  void StartUpdateCheck(bool portable) override {
    if (startUpdateCheck)
      startUpdateCheck(portable);
  }

 private:
  PopupPresenter& presenter_;
  MailListController* mailList_ = nullptr;
  OptionsController* options_ = nullptr;
};

}  // namespace tarvel
