#pragma once

#include "app/placeholder_services.h"
#include "ui/popup_presenter.h"

namespace tarvel {

// The desktop services with the new-mail popup built; the others still stand in.
class PopupServices : public PlaceholderServices {
 public:
  PopupServices(DiagnosticTrace& trace, PopupPresenter& presenter)
      : PlaceholderServices(trace), presenter_(presenter) {}

  void ShowNewMailPopup() override { presenter_.ShowPopup(); }
  void ClosePopup() override { presenter_.ClosePopup(); }

 private:
  PopupPresenter& presenter_;
};

}  // namespace tarvel
