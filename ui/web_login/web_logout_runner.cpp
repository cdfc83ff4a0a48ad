#include "ui/web_login/web_logout_runner.h"

#include <QMetaObject>
#include <QPointer>

#include "engines/web/web_login.h"
#include "engines/web/web_session_port.h"
#include "platform/http_session.h"

namespace tarvel {

WebLogoutRunner::WebLogoutRunner(SettingsStore& store, Hooks hooks, QObject* parent)
    : QObject(parent), store_(store), hooks_(std::move(hooks)) {}

WebLogoutRunner::~WebLogoutRunner() {
  // The thread's requests end within about a second of the stop request.
  worker_.requestStop();
  worker_.waitFinished(0);
}

bool WebLogoutRunner::Start(uint32_t typeBit, uint32_t hotmailAccountType) {
  if (web_login::FindWebType(typeBit) == nullptr || !worker_.isFinished())
    return false;
  QPointer<WebLogoutRunner> self(this);
  // Runs a settings change on the GUI thread, unless the runner is gone by then.
  const auto onGuiThread = [self](std::function<void(WebLogoutRunner&)> change) {
    QMetaObject::invokeMethod(
        self.data(),
        [self, change = std::move(change)] {
          if (self)
            change(*self);
        },
        Qt::QueuedConnection);
  };
  return worker_.start([this, typeBit, hotmailAccountType, onGuiThread]() -> uint32_t {
    HttpSession http;
    http.SetStopSignal(&worker_.stopSignal());
    web_login::HttpWebSessionPort::Hooks portHooks;
    portHooks.startCheckTimer = hooks_.startCheckTimer;
    portHooks.clearStoredCookieSet = [onGuiThread](uint32_t bit) {
      onGuiThread(
          [bit](WebLogoutRunner& runner) { web_login::ClearStoredCookies(runner.store_, bit); });
    };
    portHooks.clearVirgilioCredentials = [onGuiThread] {
      onGuiThread([](WebLogoutRunner& runner) {
        web_login::ClearVirgilioCredentials(runner.store_);
        if (runner.hooks_.virgilioCredentialsCleared)
          runner.hooks_.virgilioCredentialsCleared();
      });
    };
    web_login::HttpWebSessionPort port(http, std::move(portHooks));
    return web_login::Logout(typeBit, port, hotmailAccountType) ? 0 : 1;
  });
}

}  // namespace tarvel
