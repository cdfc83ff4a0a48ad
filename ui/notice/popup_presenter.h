#pragma once

#include <QByteArray>
#include <QObject>
#include <QPointer>

#include <functional>

#include "ui/notice/new_mail_notice.h"
#include "ui/notice/notification_popup.h"

namespace tarvel {

class UserBusyProbe;

// The settings a popup is made with, read at each notice.
struct PopupSettings {
  uint32_t taskBarWindowWidth = 500;
  uint32_t transparency = 255;
  uint32_t toolTipSeconds = 10;
  uint32_t textColor = 0x505050;
  uint32_t backgroundColor = 0xFCFCFC;
  uint32_t backgroundLogoColor = 0xF0F0F0;
};

// Shows the new-mail popup on the main thread (ShowPopup) and acts on its clicks.
class PopupPresenter : public QObject {
  Q_OBJECT

 public:
  struct Hooks {
    std::function<PopupContent()> content;
    std::function<PopupSettings()> settings;
    // Whether the popup may appear while the user is busy (AllowToolTipInFullscreen is 1).
    std::function<bool()> allowWhileBusy;
    // The page's Open: open the readers of the new mail and check again soon.
    std::function<void()> open;
  };

  PopupPresenter(Hooks hooks, UserBusyProbe& busy, QObject* parent = nullptr);
  ~PopupPresenter() override;

  // Slides a shown popup out (waiting for it, events keep flowing), then shows the last
  // notice's popup unless the user is busy.
  void ShowPopup();
  // Slides the popup out.
  void HidePopup();
  // Closes the popup at once (the program ends).
  void ClosePopup();

  // On a Wayland session whose compositor offers layer surfaces: the popups are shown as such
  // (at the corner) through this client.
  void setLayerShell(WaylandClient* client) { layerShell_ = client; }

  NotificationPopup* popup() const { return popup_; }
  // The popup page with its placeholders, from the program's resources.
  static QByteArray PageTemplate();
  // The page for this content and these settings at a DPI factor: lines cut to the line
  // width with an ellipsis, texts escaped.
  static QByteArray MakePage(const PopupContent& content, const PopupSettings& settings,
                             double dpiFactor);

 signals:
  // A popup was created and started.
  void popupStarted(tarvel::NotificationPopup* popup);

 private:
  void ShowLatest();

  Hooks hooks_;
  UserBusyProbe& busy_;
  QPointer<NotificationPopup> popup_;
  WaylandClient* layerShell_ = nullptr;
  bool waiting_ = false;
  bool pending_ = false;
  bool cancelled_ = false;
};

}  // namespace tarvel
