#include "ui/web_login/login_windows.h"

#include <unistd.h>

#include <QBuffer>
#include <QGuiApplication>
#include <QIcon>
#include <QScreen>
#include <QTimer>

#include "accounts/account_type_bits.h"
#include "platform/browser_connection.h"

namespace tarvel {

namespace {

constexpr int kIconPixels = 64;

std::string ProgramIconPng() {
  const QIcon icon = QGuiApplication::windowIcon();
  if (icon.isNull())
    return {};
  QByteArray bytes;
  QBuffer buffer(&bytes);
  buffer.open(QIODevice::WriteOnly);
  if (!icon.pixmap(kIconPixels, kIconPixels).toImage().save(&buffer, "PNG"))
    return {};
  return bytes.toStdString();
}

bool IsImap(uint32_t typeBit) {
  return (typeBit & type_bits::kAllImap) != 0;
}

}  // namespace

LoginWindows::LoginWindows(SettingsStore& store, Hooks hooks, QObject* parent)
    : QObject(parent), store_(store), hooks_(std::move(hooks)) {}

LoginWindows::~LoginWindows() = default;

bool LoginWindows::BrowserAvailable() {
  const std::string path = BrowserConnection::HelperPath();
  return !path.empty() && ::access(path.c_str(), X_OK) == 0;
}

void LoginWindows::Trace(std::string_view entry) {
  if (hooks_.trace)
    hooks_.trace(entry);
}

bool LoginWindows::IsOpen() const {
  return window_ != nullptr && !openedThisTurn_;
}

void LoginWindows::BringToFront() {
  if (window_)
    window_->BringToFront();
}

uint32_t LoginWindows::openType() const {
  return window_ ? current_.typeBit : 0;
}

uint32_t LoginWindows::queuedMask() const {
  uint32_t mask = 0;
  for (const Entry& entry : queue_)
    mask |= entry.typeBit;
  return mask;
}

bool LoginWindows::CanSignIn(uint32_t typeBit) const {
  // Without the browser a web type could only ask for a sign-in for ever. The IMAP accounts
  // can sign in through the desktop's browser instead.
  if (IsImap(typeBit) || web_login::FindWebType(typeBit) == nullptr)
    return true;
  return BrowserAvailable();
}

void LoginWindows::CloseAll() {
  queue_.clear();
  window_.reset();
}

void LoginWindows::OnCheckTimer() {
  dismissed_ = 0;
}

bool LoginWindows::Run(uint32_t typeBit) {
  if (web_login::FindWebType(typeBit) == nullptr) {
    Trace("LoginWindowNoType");
    return true;
  }
  if ((dismissed_ & typeBit) != 0) {
    Trace("LoginWindowDismissed");
    return true;
  }
  if (openType() == typeBit || (queuedMask() & typeBit) != 0)
    return true;
  if (IsImap(typeBit) && !hooks_.beginOAuth) {
    Trace("LoginWindowNoAuthorization");
    return true;
  }
  if (!BrowserAvailable()) {
    // Only the IMAP accounts get here (the web types' checks failed instead); they sign in
    // through the desktop's browser from the account page.
    Trace("LoginWindowNoBrowser");
    return true;
  }
  Entry entry;
  entry.typeBit = typeBit;
  queue_.push_back(std::move(entry));
  if (!window_) {
    // The other types of this round are queued by the same handling; it must not take this
    // window for one of an earlier round.
    openedThisTurn_ = true;
    QTimer::singleShot(0, this, [this] { openedThisTurn_ = false; });
    OpenNext();
  }
  return true;
}

bool LoginWindows::OpenForImapSignIn(uint32_t typeBit,
                                     std::function<void(LoginWindow::Outcome)> done) {
  if (!IsImap(typeBit) || window_ || !BrowserAvailable() || !hooks_.beginOAuth)
    return false;
  Entry entry;
  entry.typeBit = typeBit;
  entry.imapDone = std::move(done);
  entry.fromCheck = false;
  queue_.push_front(std::move(entry));
  OpenNext();
  return true;
}

bool LoginWindows::OpenForSignIn(uint32_t typeBit) {
  if (web_login::FindWebType(typeBit) == nullptr || IsImap(typeBit) || !BrowserAvailable())
    return false;
  if (openType() == typeBit) {
    window_->BringToFront();
    return true;
  }
  if (window_ || (queuedMask() & typeBit) != 0)
    return false;
  Entry entry;
  entry.typeBit = typeBit;
  entry.fromCheck = false;
  dismissed_ &= ~typeBit;  // the user asks for it
  queue_.push_front(std::move(entry));
  OpenNext();
  return true;
}

void LoginWindows::OpenNext() {
  while (!window_ && !queue_.empty()) {
    current_ = std::move(queue_.front());
    queue_.pop_front();
    const uint32_t typeBit = current_.typeBit;
    LoginWindow::Options options;
    if (hooks_.startPage)
      options.startPage = hooks_.startPage(typeBit);
    if (const QScreen* screen = QGuiApplication::primaryScreen())
      options.availableArea = screen->availableGeometry();
    options.iconPng = ProgramIconPng();
    if (hooks_.beginOAuth) {
      options.beginOAuth = [begin = hooks_.beginOAuth, typeBit](Text* url, Text* script,
                                                                std::stop_token stop) {
        return begin(typeBit, url, script, stop);
      };
    }
    if (hooks_.completeOAuth) {
      options.completeOAuth = [complete = hooks_.completeOAuth, typeBit](const Text& url,
                                                                         std::stop_token stop) {
        return complete(typeBit, url, stop);
      };
    }
    auto window = std::make_unique<LoginWindow>(typeBit, store_, std::move(options));
    LoginWindow* raw = window.get();
    const Entry entry = current_;
    raw->setClosedHandler(
        [this, raw, entry](LoginWindow::Outcome outcome) { OnClosed(raw, entry, outcome); });
    Trace("LoginWindowOpen");
    if (!raw->Open()) {
      Trace("LoginWindowFailed");
      // Told after this call has returned, like every other end.
      if (current_.imapDone) {
        QTimer::singleShot(
            0, this, [done = std::move(current_.imapDone)] { done(LoginWindow::Outcome::Failed); });
      }
      continue;
    }
    window_ = std::move(window);
  }
}

void LoginWindows::OnClosed(LoginWindow* window, const Entry& entry, LoginWindow::Outcome outcome) {
  if (window_.get() != window)
    return;
  // The window is in its own handler now; it goes once that has returned.
  window_.release()->deleteLater();
  switch (outcome) {
    case LoginWindow::Outcome::SignedIn:
      Trace("LoginWindowSignedIn");
      signedInThisRound_ = true;
      break;
    case LoginWindow::Outcome::ClosedByUser:
      Trace("LoginWindowClosed");
      if (entry.fromCheck)
        dismissed_ |= entry.typeBit;
      break;
    case LoginWindow::Outcome::Failed:
      Trace("LoginWindowFailed");
      if (entry.fromCheck)
        dismissed_ |= entry.typeBit;
      break;
    case LoginWindow::Outcome::NotSignedIn:
      Trace("LoginWindowNotSignedIn");
      if (entry.fromCheck)
        dismissed_ |= entry.typeBit;
      break;
  }
  if (entry.imapDone)
    entry.imapDone(outcome);
  if (hooks_.closed)
    hooks_.closed(entry.typeBit, outcome);
  OpenNext();
  if (window_)
    return;
  if (signedInThisRound_) {
    signedInThisRound_ = false;
    if (hooks_.startCheckTimer)
      hooks_.startCheckTimer(kCheckAfterSignInMs);
  } else if (hooks_.startRegularCheckTimer) {
    hooks_.startRegularCheckTimer();
  }
}

}  // namespace tarvel
