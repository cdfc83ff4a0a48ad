#pragma once

#include <QImage>
#include <QObject>
#include <QString>

#include <functional>

#include "ui/notice/new_mail_notice.h"

namespace tarvel {

// The balloon form of the new-mail notice as a desktop notification
// (org.freedesktop.Notifications on the session bus): the count text as summary, the mail
// lines as body, the mail icon as image data, the stay time as expiry and a "default"
// action, whose invocation is the balloon click. Without a notification server the
// fall-back (the tray icon's own message) shows it.
class DesktopNotification : public QObject, public BalloonSink {
  Q_OBJECT

 public:
  using Fallback = std::function<void(const QString& title, const QString& text, int timeoutMs)>;

  explicit DesktopNotification(QObject* parent = nullptr);
  ~DesktopNotification() override;

  // The balloon was clicked.
  void setClickAction(std::function<void()> action) { clickAction_ = std::move(action); }
  // The icon for a check's status; without one the program's logo is used.
  void setIconProvider(std::function<QImage(CheckStatus)> provider) {
    iconProvider_ = std::move(provider);
  }
  void setFallback(Fallback fallback) { fallback_ = std::move(fallback); }

  // Callable from any thread: the call is made on this object's thread.
  void ShowBalloon(const BalloonNotice& notice) override;

  // The id the server gave the last notice; 0 before the first.
  uint32_t lastId() const { return lastId_; }
  // The program's logo as a notification image.
  static QImage LogoImage(int size);

 signals:
  // The server answered a notice (with its id) or refused it.
  void notified(uint32_t id);
  void failed(const QString& error);

 private slots:
  void OnActionInvoked(uint id, const QString& actionKey);

 private:
  void Send(const BalloonNotice& notice);
  bool ServerTakesMarkup();

  std::function<void()> clickAction_;
  std::function<QImage(CheckStatus)> iconProvider_;
  Fallback fallback_;
  uint32_t lastId_ = 0;
  int markup_ = -1;  // unknown, 0 or 1
  bool connected_ = false;
};

}  // namespace tarvel
