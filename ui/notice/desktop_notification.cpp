#include "ui/notice/desktop_notification.h"

#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDBusServiceWatcher>
#include <QPainter>
#include <QSvgRenderer>

#include "resources/string_table.h"

namespace tarvel {

namespace {

const QString kService = u"org.freedesktop.Notifications"_qs;
const QString kPath = u"/org/freedesktop/Notifications"_qs;
const QString kInterface = u"org.freedesktop.Notifications"_qs;
const QString kDefaultAction = u"default"_qs;
const QString kMarkReadAction = u"mark-read"_qs;
constexpr int kIconSize = 64;
// An answer that takes longer leaves the markup unknown (the body is then escaped) and is
// asked again with the next notice.
constexpr int kCapabilitiesTimeoutMs = 2000;
// The server decides how long a notice without an expiry of its own stays.
constexpr int kServerDefaultExpiry = -1;

// The image-data hint: width, height, row stride, alpha, bits per sample, channels, RGBA bytes.
struct NotificationImage {
  int width = 0;
  int height = 0;
  int stride = 0;
  QByteArray rgba;
};

QDBusArgument& operator<<(QDBusArgument& argument, const NotificationImage& value) {
  argument.beginStructure();
  argument << value.width << value.height << value.stride << true << 8 << 4 << value.rgba;
  argument.endStructure();
  return argument;
}

const QDBusArgument& operator>>(const QDBusArgument& argument, NotificationImage&) {
  return argument;
}

}  // namespace

}  // namespace tarvel

Q_DECLARE_METATYPE(tarvel::NotificationImage)

namespace tarvel {

DesktopNotification::DesktopNotification(QObject* parent) : QObject(parent) {
  qDBusRegisterMetaType<NotificationImage>();
  QDBusConnection bus = QDBusConnection::sessionBus();
  if (!bus.isConnected())
    return;
  bus.connect(kService, kPath, kInterface, u"ActionInvoked"_qs, this,
              SLOT(OnActionInvoked(uint, QString)));
  // Another server (or none) makes what the last one said void.
  serverWatcher_ =
      new QDBusServiceWatcher(kService, bus, QDBusServiceWatcher::WatchForOwnerChange, this);
  connect(serverWatcher_, &QDBusServiceWatcher::serviceOwnerChanged, this,
          &DesktopNotification::OnServerChanged);
  AskCapabilities();
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

void DesktopNotification::AskCapabilities() {
  QDBusConnection bus = QDBusConnection::sessionBus();
  if (askingCapabilities_ || markup_ != Markup::Unknown || !bus.isConnected())
    return;
  askingCapabilities_ = true;
  const QDBusMessage request =
      QDBusMessage::createMethodCall(kService, kPath, kInterface, u"GetCapabilities"_qs);
  auto* watcher = new QDBusPendingCallWatcher(bus.asyncCall(request, kCapabilitiesTimeoutMs), this);
  const uint32_t generation = serverGeneration_;
  connect(watcher, &QDBusPendingCallWatcher::finished, this, [this, watcher, generation] {
    watcher->deleteLater();
    if (generation != serverGeneration_)
      return;  // the server changed meanwhile; its successor was asked
    askingCapabilities_ = false;
    const QDBusPendingReply<QStringList> reply = *watcher;
    if (reply.isError())
      return;  // stays unknown, asked again with the next notice
    markup_ = reply.value().contains(u"body-markup"_qs) ? Markup::Read : Markup::NotRead;
    emit capabilitiesKnown();
  });
}

void DesktopNotification::OnServerChanged(const QString&, const QString&, const QString& newOwner) {
  ++serverGeneration_;
  askingCapabilities_ = false;
  markup_ = Markup::Unknown;
  // The ids were the old server's.
  lastId_ = 0;
  clickable_ = false;
  markIds_.clear();
  // Nobody to ask while the name has no owner; a notice asks whoever has it by then.
  if (!newOwner.isEmpty())
    AskCapabilities();
}

const QByteArray& DesktopNotification::PreparedImage(const QImage& image) {
  if (image.cacheKey() != preparedKey_ || preparedImage_.isEmpty()) {
    const QImage rgba = image.convertToFormat(QImage::Format_RGBA8888);
    preparedImage_ = QByteArray(reinterpret_cast<const char*>(rgba.constBits()),
                                static_cast<qsizetype>(rgba.sizeInBytes()));
    preparedSource_ = image;
    preparedKey_ = image.cacheKey();
  }
  return preparedImage_;
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
  // A server that reads markup would take a subject's "<b>" for formatting; one that has not
  // said yet is taken to read it.
  AskCapabilities();
  const QString shownBody = markup_ == Markup::NotRead ? body : body.toHtmlEscaped();
  QImage icon = iconProvider_ ? iconProvider_(notice.status) : QImage();
  if (icon.isNull()) {
    if (logo_.isNull())
      logo_ = LogoImage(kIconSize);
    icon = logo_;
  }
  NotificationImage image;
  image.rgba = PreparedImage(icon);
  image.width = icon.width();
  image.height = icon.height();
  image.stride = icon.width() * 4;

  QVariantMap hints;
  hints.insert(u"category"_qs, u"email.arrived"_qs);
  hints.insert(u"urgency"_qs, QVariant::fromValue(static_cast<uchar>(1)));
  hints.insert(u"image-data"_qs, QVariant::fromValue(image));

  std::vector<std::string> markIds = markable_ ? markable_() : std::vector<std::string>();
  QStringList actions{kDefaultAction, tr("Open")};
  if (!markIds.empty())
    actions << kMarkReadAction << tr("Mark as read");
  QDBusMessage call = QDBusMessage::createMethodCall(kService, kPath, kInterface, u"Notify"_qs);
  call << QString::fromStdU16String(std::u16string(kProgramTitle)) << lastId_ << QString() << title
       << shownBody << actions << hints << timeout;
  auto* watcher = new QDBusPendingCallWatcher(bus.asyncCall(call), this);
  connect(watcher, &QDBusPendingCallWatcher::finished, this,
          [this, watcher, title, body, timeout, markIds = std::move(markIds)] {
            watcher->deleteLater();
            const QDBusPendingReply<uint32_t> reply = *watcher;
            if (reply.isError()) {
              if (fallback_)
                fallback_(title, body, timeout);
              emit failed(reply.error().message());
              return;
            }
            lastId_ = reply.value();
            clickable_ = lastId_ != 0;
            markIds_ = lastId_ != 0 ? markIds : std::vector<std::string>();
            emit notified(lastId_);
          });
}

void DesktopNotification::ShowFailure(const QString& title, const QString& text) {
  QDBusConnection bus = QDBusConnection::sessionBus();
  if (!bus.isConnected()) {
    if (fallback_)
      fallback_(title, text, kServerDefaultExpiry);
    return;
  }
  QVariantMap hints;
  hints.insert(u"category"_qs, u"email"_qs);
  hints.insert(u"urgency"_qs, QVariant::fromValue(static_cast<uchar>(1)));
  QDBusMessage call = QDBusMessage::createMethodCall(kService, kPath, kInterface, u"Notify"_qs);
  // A notice of its own (no id replaced), so the new-mail notice's actions stay as they are.
  call << QString::fromStdU16String(std::u16string(kProgramTitle)) << 0u << QString() << title
       << (markup_ == Markup::NotRead ? text : text.toHtmlEscaped()) << QStringList() << hints
       << kServerDefaultExpiry;
  auto* watcher = new QDBusPendingCallWatcher(bus.asyncCall(call), this);
  connect(watcher, &QDBusPendingCallWatcher::finished, this, [this, watcher, title, text] {
    watcher->deleteLater();
    const QDBusPendingReply<uint32_t> reply = *watcher;
    if (reply.isError() && fallback_)
      fallback_(title, text, kServerDefaultExpiry);
  });
}

void DesktopNotification::OnActionInvoked(uint id, const QString& actionKey) {
  if (id == 0 || id != lastId_)
    return;
  if (actionKey == kMarkReadAction) {
    // Once per notice: the ids go with it.
    std::vector<std::string> ids;
    ids.swap(markIds_);
    if (!ids.empty() && markAction_)
      markAction_(std::move(ids));
    return;
  }
  if (!clickable_ || actionKey != kDefaultAction)
    return;
  clickable_ = false;
  if (clickAction_)
    clickAction_();
}

}  // namespace tarvel
