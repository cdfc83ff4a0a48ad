#include "ui/notice/desktop_notification.h"

#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QPainter>
#include <QSvgRenderer>

#include "resources/string_table.h"

namespace tarvel {

namespace {

const QString kService = u"org.freedesktop.Notifications"_qs;
const QString kPath = u"/org/freedesktop/Notifications"_qs;
const QString kInterface = u"org.freedesktop.Notifications"_qs;
const QString kDefaultAction = u"default"_qs;
constexpr int kIconSize = 64;
constexpr int kCapabilitiesTimeoutMs = 1000;
// The server decides how long a notice without an expiry of its own stays.
constexpr int kServerDefaultExpiry = -1;

// The image-data hint: width, height, row stride, alpha, bits per sample, channels, RGBA bytes.
struct NotificationImage {
  QImage image;
};

QDBusArgument& operator<<(QDBusArgument& argument, const NotificationImage& value) {
  const QImage rgba = value.image.convertToFormat(QImage::Format_RGBA8888);
  argument.beginStructure();
  argument << rgba.width() << rgba.height() << static_cast<int>(rgba.bytesPerLine()) << true << 8
           << 4
           << QByteArray(reinterpret_cast<const char*>(rgba.constBits()),
                         static_cast<qsizetype>(rgba.sizeInBytes()));
  argument.endStructure();
  return argument;
}

const QDBusArgument& operator>>(const QDBusArgument& argument, NotificationImage&) {
  return argument;
}

QString HtmlEscaped(const QString& text) {
  return text.toHtmlEscaped();
}

}  // namespace

}  // namespace tarvel

Q_DECLARE_METATYPE(tarvel::NotificationImage)

namespace tarvel {

DesktopNotification::DesktopNotification(QObject* parent) : QObject(parent) {
  qDBusRegisterMetaType<NotificationImage>();
  connected_ = QDBusConnection::sessionBus().connect(
      kService, kPath, kInterface, u"ActionInvoked"_qs, this, SLOT(OnActionInvoked(uint, QString)));
}

DesktopNotification::~DesktopNotification() = default;

QImage DesktopNotification::LogoImage(int size) {
  QImage image(size, size, QImage::Format_ARGB32_Premultiplied);
  image.fill(Qt::transparent);
  QSvgRenderer renderer(u":/html/IDR_LOGO.svg"_qs);
  if (renderer.isValid()) {
    QPainter painter(&image);
    renderer.render(&painter, QRectF(0, 0, size, size));
  }
  return image;
}

void DesktopNotification::ShowBalloon(const BalloonNotice& notice) {
  QMetaObject::invokeMethod(
      this, [this, notice] { Send(notice); }, Qt::QueuedConnection);
}

bool DesktopNotification::ServerTakesMarkup() {
  if (markup_ < 0) {
    QDBusMessage request =
        QDBusMessage::createMethodCall(kService, kPath, kInterface, u"GetCapabilities"_qs);
    const QDBusMessage reply =
        QDBusConnection::sessionBus().call(request, QDBus::Block, kCapabilitiesTimeoutMs);
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty())
      return false;  // asked again with the next notice
    markup_ = reply.arguments().constFirst().toStringList().contains(u"body-markup"_qs) ? 1 : 0;
  }
  return markup_ == 1;
}

void DesktopNotification::Send(const BalloonNotice& notice) {
  const QString title = QString::fromStdU16String(notice.title.units());
  QString body = QString::fromStdU16String(notice.text.units());
  body.replace(u'\r', u'\n');
  const int timeout = notice.timeoutMs == 0
                          ? kServerDefaultExpiry
                          : static_cast<int>(std::min<uint32_t>(notice.timeoutMs, INT32_MAX));
  QDBusConnection bus = QDBusConnection::sessionBus();
  if (!bus.isConnected()) {
    if (fallback_)
      fallback_(title, body, timeout);
    emit failed(u"no session bus"_qs);
    return;
  }
  // A server that reads markup would take a subject's "<b>" for formatting.
  const QString shownBody = ServerTakesMarkup() ? HtmlEscaped(body) : body;
  QImage icon = iconProvider_ ? iconProvider_(notice.status) : QImage();
  if (icon.isNull())
    icon = LogoImage(kIconSize);

  QVariantMap hints;
  hints.insert(u"category"_qs, u"email.arrived"_qs);
  hints.insert(u"urgency"_qs, QVariant::fromValue(static_cast<uchar>(1)));
  hints.insert(u"image-data"_qs, QVariant::fromValue(NotificationImage{icon}));

  QDBusMessage call = QDBusMessage::createMethodCall(kService, kPath, kInterface, u"Notify"_qs);
  call << QString::fromStdU16String(std::u16string(kProgramTitle)) << lastId_ << QString() << title
       << shownBody << QStringList{kDefaultAction, tr("Open")} << hints << timeout;
  auto* watcher = new QDBusPendingCallWatcher(bus.asyncCall(call), this);
  connect(watcher, &QDBusPendingCallWatcher::finished, this, [this, watcher, title, body, timeout] {
    watcher->deleteLater();
    const QDBusPendingReply<uint32_t> reply = *watcher;
    if (reply.isError()) {
      if (fallback_)
        fallback_(title, body, timeout);
      emit failed(reply.error().message());
      return;
    }
    lastId_ = reply.value();
    emit notified(lastId_);
  });
}

void DesktopNotification::OnActionInvoked(uint id, const QString& actionKey) {
  if (id == 0 || id != lastId_ || actionKey != kDefaultAction)
    return;
  if (clickAction_)
    clickAction_();
}

}  // namespace tarvel
