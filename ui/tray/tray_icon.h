#pragma once

#include <QDeadlineTimer>
#include <QIcon>
#include <QObject>
#include <QSystemTrayIcon>

#include <cstdint>
#include <memory>

#include "platform/text.h"

class QMenu;

namespace tarvel {

class MainWindowPort;

// The program's one icon in the desktop's tray: a StatusNotifierItem on the session bus where
// a tray host watches for them, an XEmbed icon in an X tray otherwise. Its clicks arrive at
// the owner window as the callback message, with the event (`TrayEvent`) as second
// parameter. Used on the GUI thread only.
class TrayIcon : public QObject {
  Q_OBJECT

 public:
  TrayIcon(MainWindowPort& owner, uint32_t callbackMessage, QObject* parent = nullptr);
  ~TrayIcon() override;

  // Adds the icon; false when it was already created.
  bool Create(const QIcon& icon, const Text& tip);
  bool Destroy();
  bool SetIcon(const QIcon& icon);
  // Keeps the first 127 code units.
  bool SetTip(const Text& tip);
  // Title cut to 63 and text to 255 code units. Its click reaches the owner once; clicks
  // while none of its messages shows are not this icon's.
  bool ShowBalloon(const Text& title, const Text& text, uint32_t timeoutMilliseconds,
                   const QIcon& icon);
  bool HideBalloon();
  // The context menu, owned by the caller; shown by the tray host or by Qt on a right click.
  void SetMenu(QMenu* menu);

  bool isCreated() const { return created_; }
  const Text& tip() const { return tip_; }

 private:
  void OnActivated(QSystemTrayIcon::ActivationReason reason);
  void OnMessageClicked();

  MainWindowPort& owner_;
  uint32_t callbackMessage_;
  std::unique_ptr<QSystemTrayIcon> icon_;
  Text tip_;
  bool created_ = false;
  // Qt's StatusNotifierItem reports a click on any desktop notification as a click on its
  // message, the program's own notices and other programs' alike; only a click while a message
  // of this icon shows counts, and only the first.
  bool messageShown_ = false;
  QDeadlineTimer messageDeadline_;
};

}  // namespace tarvel
