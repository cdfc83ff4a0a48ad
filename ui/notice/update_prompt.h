#pragma once

#include <QMessageBox>
#include <QObject>
#include <QPointer>
#include <QString>

#include <functional>

#include "maintenance/update_checker.h"
#include "ui/notice/desktop_notification.h"

namespace tarvel {

// The update check's side towards the user: the question box with the service's caption and
// text (Yes and No, and a link to the service's page when it named one), and the desktop
// notification that tells a packaged copy's user of a new version, whose click opens that
// page. Both are callable from the update thread; the work is done on this object's thread,
// and the box never runs an event loop of its own.
class UpdatePrompt : public QObject {
  Q_OBJECT

 public:
  using OpenUrl = std::function<void(const QString& url)>;

  explicit UpdatePrompt(OpenUrl openUrl, QObject* parent = nullptr);
  ~UpdatePrompt() override;

  // UpdateChecker::Hooks::ask and ::tell.
  void Ask(UpdateQuestion question, const Text& caption, const Text& text, const Text& helpUrl,
           std::function<void(bool yes)> answer);
  void Tell(const Text& caption, const Text& text, const Text& helpUrl);

  // The open question box, for tests and screenshots; null when none is open.
  QMessageBox* box() const { return box_; }
  DesktopNotification& notification() { return notification_; }

  // A help address the box and the notification link to: http or https only.
  static bool IsPageAddress(const QString& url);

 private:
  void ShowBox(UpdateQuestion question, const QString& caption, const QString& text,
               const QString& helpUrl, std::function<void(bool)> answer);

  OpenUrl openUrl_;
  DesktopNotification notification_;
  QString notificationUrl_;
  QPointer<QMessageBox> box_;
};

}  // namespace tarvel
