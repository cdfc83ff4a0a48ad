#include "ui/adapters/qt_main_window.h"

#include <QCoreApplication>
#include <QEvent>
#include <QThread>

namespace tarvel {

namespace {

// A posted message as a Qt event: the message number and its two values.
class PostedMessageEvent : public QEvent {
 public:
  static QEvent::Type eventType() {
    static const auto type = static_cast<QEvent::Type>(QEvent::registerEventType());
    return type;
  }

  PostedMessageEvent(uint32_t message, uintptr_t first, intptr_t second)
      : QEvent(eventType()), message_(message), first_(first), second_(second) {}

  uint32_t message() const { return message_; }
  uintptr_t first() const { return first_; }
  intptr_t second() const { return second_; }

 private:
  uint32_t message_;
  uintptr_t first_;
  intptr_t second_;
};

}  // namespace

QtMainWindow::QtMainWindow(MainWindowHandler* handler, QObject* parent)
    : QObject(parent), handler_(handler) {}

QtMainWindow::~QtMainWindow() = default;

bool QtMainWindow::onOwnThread() const {
  return QThread::currentThread() == thread();
}

void QtMainWindow::PostMessage(uint32_t message, uintptr_t first, intptr_t second) {
  // postEvent takes ownership of the event and is safe from any thread.
  QCoreApplication::postEvent(this, new PostedMessageEvent(message, first, second));
}

intptr_t QtMainWindow::SendMessage(uint32_t message, uintptr_t first, intptr_t second) {
  if (onOwnThread())
    return handler_ ? handler_->OnMessage(message, first, second) : 0;
  intptr_t result = 0;
  QMetaObject::invokeMethod(
      this,
      [this, message, first, second, &result] {
        result = handler_ ? handler_->OnMessage(message, first, second) : 0;
      },
      Qt::BlockingQueuedConnection);
  return result;
}

void QtMainWindow::SetTimer(uint32_t timerId, uint32_t milliseconds) {
  if (onOwnThread()) {
    setTimerHere(timerId, milliseconds);
  } else {
    QMetaObject::invokeMethod(
        this, [this, timerId, milliseconds] { setTimerHere(timerId, milliseconds); },
        Qt::QueuedConnection);
  }
}

void QtMainWindow::KillTimer(uint32_t timerId) {
  if (onOwnThread()) {
    killTimerHere(timerId);
  } else {
    QMetaObject::invokeMethod(
        this, [this, timerId] { killTimerHere(timerId); }, Qt::QueuedConnection);
  }
}

bool QtMainWindow::isTimerActive(uint32_t timerId) const {
  const auto timer = timers_.find(timerId);
  return timer != timers_.end() && timer->second->isActive();
}

void QtMainWindow::setTimerHere(uint32_t timerId, uint32_t milliseconds) {
  std::unique_ptr<QTimer>& timer = timers_[timerId];
  if (!timer) {
    timer = std::make_unique<QTimer>();
    timer->setTimerType(Qt::CoarseTimer);
    connect(timer.get(), &QTimer::timeout, this, [this, timerId] {
      if (handler_)
        handler_->OnTimer(timerId);
    });
  }
  timer->start(static_cast<int>(std::min<uint32_t>(milliseconds, 0x7FFFFFFF)));
}

void QtMainWindow::killTimerHere(uint32_t timerId) {
  const auto timer = timers_.find(timerId);
  if (timer != timers_.end())
    timer->second->stop();
}

void QtMainWindow::customEvent(QEvent* event) {
  if (event->type() != PostedMessageEvent::eventType())
    return;
  const auto* message = static_cast<PostedMessageEvent*>(event);
  if (handler_)
    handler_->OnMessage(message->message(), message->first(), message->second());
}

}  // namespace tarvel
