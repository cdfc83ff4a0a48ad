#pragma once

#include <QObject>

#include <cstdint>
#include <functional>

#include "platform/worker_thread.h"

namespace tarvel {

class SettingsStore;

// Ends a web account type's session for the account page's account-change link. The
// requests (and the temporary browser view) run on a worker thread of their own, so the
// GUI thread never waits for the network; what the logout changes in the settings is done
// back on the GUI thread, where the store lives. A request made while one runs is ignored.
class WebLogoutRunner : public QObject {
 public:
  struct Hooks {
    // Timer 1 of the main window; any thread.
    std::function<void(uint32_t milliseconds)> startCheckTimer;
    // The in-memory settings follow the emptied Virgilio credentials; GUI thread.
    std::function<void()> virgilioCredentialsCleared;
  };

  WebLogoutRunner(SettingsStore& store, Hooks hooks, QObject* parent = nullptr);
  ~WebLogoutRunner() override;

  // False when the type has no logout or one is running.
  bool Start(uint32_t typeBit, uint32_t hotmailAccountType);
  bool running() const { return !worker_.isFinished(); }

 private:
  SettingsStore& store_;
  Hooks hooks_;
  WorkerThread worker_;
};

}  // namespace tarvel
