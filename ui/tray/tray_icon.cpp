#include "ui/tray/tray_icon.h"

#include <QMenu>

#include "app/main_window_port.h"
#include "ui/adapters/qt_text.h"
#include "ui/tray/tray_clicks.h"
#include "ui/tray/tray_tooltip.h"

namespace tarvel {

namespace {

constexpr Text::Position kBalloonTitleMax = 63;
constexpr Text::Position kBalloonTextMax = 255;
constexpr uint32_t kTrayIconId = 1;
// A click may arrive a little after the message's time-out ended.
constexpr qint64 kMessageClickGraceMs = 1000;

// The texts separate their lines with carriage returns; the desktop's tooltips break lines
// at line feeds.
QString TipForDesktop(const Text& tip) {
  return ToQString(tip).replace(QLatin1Char('\r'), QLatin1Char('\n'));
}

}  // namespace

TrayIcon::TrayIcon(MainWindowPort& owner, uint32_t callbackMessage, QObject* parent)
    : QObject(parent), owner_(owner), callbackMessage_(callbackMessage) {}

TrayIcon::~TrayIcon() {
  Destroy();
}

bool TrayIcon::Create(const QIcon& icon, const Text& tip) {
  if (created_)
    return false;
  icon_ = std::make_unique<QSystemTrayIcon>(icon);
  connect(icon_.get(), &QSystemTrayIcon::activated, this, &TrayIcon::OnActivated);
  connect(icon_.get(), &QSystemTrayIcon::messageClicked, this, &TrayIcon::OnMessageClicked);
  // A tray host that starts again knows no items. Qt follows both kinds of host itself: the
  // item registers with every StatusNotifierWatcher that appears on the bus, and the XEmbed
  // icon docks in a tray that takes over the tray selection.
  tip_ = CutTrayTip(tip);
  icon_->setToolTip(TipForDesktop(tip_));
  icon_->show();
  created_ = true;
  return true;
}

bool TrayIcon::Destroy() {
  if (!created_)
    return false;
  icon_->hide();
  icon_.reset();
  created_ = false;
  return true;
}

bool TrayIcon::SetIcon(const QIcon& icon) {
  if (!created_ || icon.isNull())
    return false;
  icon_->setIcon(icon);
  return true;
}

bool TrayIcon::SetTip(const Text& tip) {
  if (!created_)
    return false;
  tip_ = CutTrayTip(tip);
  icon_->setToolTip(TipForDesktop(tip_));
  return true;
}

bool TrayIcon::ShowBalloon(const Text& title, const Text& text, uint32_t timeoutMilliseconds,
                           const QIcon& icon) {
  if (!created_)
    return false;
  const int timeout = static_cast<int>(std::min<uint32_t>(timeoutMilliseconds, 0x7FFFFFFF));
  icon_->showMessage(ToQString(title.Left(kBalloonTitleMax)), ToQString(text.Left(kBalloonTextMax)),
                     icon, timeout);
  messageShown_ = true;
  // A message without a stay time of its own stays as long as the desktop keeps it.
  messageDeadline_ = timeout > 0 ? QDeadlineTimer(qint64{timeout} + kMessageClickGraceMs)
                                 : QDeadlineTimer(QDeadlineTimer::Forever);
  return true;
}

void TrayIcon::OnMessageClicked() {
  if (!messageShown_ || messageDeadline_.hasExpired())
    return;
  messageShown_ = false;
  owner_.PostMessage(callbackMessage_, kTrayIconId, static_cast<intptr_t>(TrayEvent::BalloonClick));
}

bool TrayIcon::HideBalloon() {
  // The desktop removes a message when its time-out ends; Qt offers no way to take it back
  // earlier.
  return created_;
}

void TrayIcon::SetMenu(QMenu* menu) {
  if (created_)
    icon_->setContextMenu(menu);
}

void TrayIcon::OnActivated(QSystemTrayIcon::ActivationReason reason) {
  TrayEvent event;
  switch (reason) {
    case QSystemTrayIcon::Trigger:
      event = TrayEvent::LeftButtonDown;
      break;
    case QSystemTrayIcon::DoubleClick:
      event = TrayEvent::LeftDoubleClick;
      break;
    case QSystemTrayIcon::Context:
      event = TrayEvent::RightButtonDown;
      break;
    default:
      return;
  }
  owner_.PostMessage(callbackMessage_, kTrayIconId, static_cast<intptr_t>(event));
}

}  // namespace tarvel
