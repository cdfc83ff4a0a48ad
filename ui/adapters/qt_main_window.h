#pragma once

#include <QObject>
#include <QTimer>

#include <map>
#include <memory>

#include "app/main_window_port.h"

namespace tarvel {

// The main window over the Qt event loop: a posted message (its number and two values)
// becomes an event of this object, timers are QTimers keyed by id. It lives on the thread that
// creates it (the main thread); calls from other threads are handed over to it.
class QtMainWindow : public QObject, public MainWindowPort {
  Q_OBJECT

 public:
  explicit QtMainWindow(MainWindowHandler* handler = nullptr, QObject* parent = nullptr);
  ~QtMainWindow() override;

  void setHandler(MainWindowHandler* handler) { handler_ = handler; }

  void PostMessage(uint32_t message, uintptr_t first, intptr_t second) override;
  intptr_t SendMessage(uint32_t message, uintptr_t first, intptr_t second) override;
  void SetTimer(uint32_t timerId, uint32_t milliseconds) override;
  void KillTimer(uint32_t timerId) override;

  bool isTimerActive(uint32_t timerId) const;

 protected:
  void customEvent(QEvent* event) override;

 private:
  bool onOwnThread() const;
  void setTimerHere(uint32_t timerId, uint32_t milliseconds);
  void killTimerHere(uint32_t timerId);

  MainWindowHandler* handler_;
  std::map<uint32_t, std::unique_ptr<QTimer>> timers_;
};

}  // namespace tarvel
