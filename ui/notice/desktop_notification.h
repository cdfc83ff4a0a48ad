#pragma once

#include <QByteArray>
#include <QImage>
#include <QObject>
#include <QString>

#include <functional>
#include <string>
#include <vector>

#include "ui/notice/new_mail_notice.h"

class QDBusServiceWatcher;

namespace tarvel {

// The balloon form of the new-mail notice as a desktop notification
// (org.freedesktop.Notifications on the session bus): the count text as summary, the mail
// lines as body, the mail icon as image data, the stay time as expiry and a "default"
// action, whose invocation is the balloon click. Without a notification server the
// fall-back (the tray icon's own message) shows it. Nothing here waits for the bus: the
// server's capabilities are asked once, in the background, and again when another server
// takes the name. A notice whose mail can all be marked as read also has a "mark-read"
// action.
class DesktopNotification : public QObject, public BalloonSink {
  Q_OBJECT

 public:
  using Fallback = std::function<void(const QString& title, const QString& text, int timeoutMs)>;

  // What the server said about markup in the body.
  enum class Markup { Unknown, Read, NotRead };

  explicit DesktopNotification(QObject* parent = nullptr);
  ~DesktopNotification() override;

  // The balloon was clicked.
  void setClickAction(std::function<void()> action) { clickAction_ = std::move(action); }
  // The icon for a check's status; without one the program's logo is used. The provider is
  // called for every notice; an image with the cache key of the last one is not converted
  // again.
  void setIconProvider(std::function<QImage(CheckStatus)> provider) {
    iconProvider_ = std::move(provider);
  }
  void setFallback(Fallback fallback) { fallback_ = std::move(fallback); }
  // The "Mark as read" action: `markable` gives, for each notice, the ids of the mail it
  // announces when all of them can be marked (none: the notice has no such action);
  // `action` gets those ids when the user chooses it.
  void setMarkRead(std::function<std::vector<std::string>()> markable,
                   std::function<void(std::vector<std::string>)> action) {
    markable_ = std::move(markable);
    markAction_ = std::move(action);
  }

  // A notification of its own that tells of a failure (the fall-back without a server).
  void ShowFailure(const QString& title, const QString& text);

  // Callable from any thread: the call is made on this object's thread.
  void ShowBalloon(const BalloonNotice& notice) override;

  // The id the server gave the last notice; 0 before the first.
  uint32_t lastId() const { return lastId_; }
  Markup markup() const { return markup_; }
  // The program's logo as a notification image.
  static QImage LogoImage(int size);

 signals:
  // The server answered a notice (with its id) or refused it.
  void notified(uint32_t id);
  void failed(const QString& error);
  // The server's capabilities arrived.
  void capabilitiesKnown();

 private slots:
  void OnActionInvoked(uint id, const QString& actionKey);

 private:
  void Send(const BalloonNotice& notice);
  // Asks the server's capabilities unless a request is under way.
  void AskCapabilities();
  void OnServerChanged(const QString& service, const QString& oldOwner, const QString& newOwner);
  const QByteArray& PreparedImage(const QImage& image);

  std::function<void()> clickAction_;
  std::function<std::vector<std::string>()> markable_;
  std::function<void(std::vector<std::string>)> markAction_;
  // The ids the shown notice's "Mark as read" marks; empty when it has no such action or
  // it was chosen.
  std::vector<std::string> markIds_;
  std::function<QImage(CheckStatus)> iconProvider_;
  Fallback fallback_;
  QDBusServiceWatcher* serverWatcher_ = nullptr;
  uint32_t lastId_ = 0;
  // The shown notice takes one click; another id or a second invocation takes none.
  bool clickable_ = false;
  Markup markup_ = Markup::Unknown;
  bool askingCapabilities_ = false;
  // Counts the servers seen, so that an answer from a server that has gone is dropped.
  uint32_t serverGeneration_ = 0;
  // The image-data hint's pixels, kept for the image they were made from.
  qint64 preparedKey_ = 0;
  QImage preparedSource_;
  QByteArray preparedImage_;
  QImage logo_;
};

}  // namespace tarvel
