#include "desktop/single_instance.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <QCryptographicHash>
#include <QDir>
#include <QLocalSocket>
#include <QStandardPaths>
#include <QUuid>

namespace tarvel {

namespace {

constexpr int kSocketWaitMs = 2000;

// Lock files live in the user's runtime folder, named by a hash of the instance name (it
// holds blanks and is long).
QString LockPath(const QString& name) {
  QString folder = QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
  if (folder.isEmpty())
    folder = QDir::tempPath();
  QDir().mkpath(folder);
  const QByteArray digest =
      QCryptographicHash::hash(name.toUtf8(), QCryptographicHash::Sha256).toHex().left(16);
  return folder + "/tarvel-" + QString::fromLatin1(digest) + ".lock";
}

}  // namespace

SingleInstance::SingleInstance(QString name, InstanceRecord& record)
    : name_(std::move(name)), record_(record) {}

SingleInstance::~SingleInstance() {
  if (server_)
    server_->close();
  if (lockFd_ >= 0)
    ::close(lockFd_);
}

bool SingleInstance::Acquire() {
  if (lockFd_ >= 0)
    return true;
  const QByteArray path = QFile::encodeName(LockPath(name_));
  const int fd = ::open(path.constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (fd < 0)
    return true;  // no lock can be had: run rather than refuse to start
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    ::close(fd);
    return false;
  }
  lockFd_ = fd;
  return true;
}

bool SingleInstance::Listen(std::function<void()> onRequest) {
  onRequest_ = std::move(onRequest);
  server_ = std::make_unique<QLocalServer>();
  server_->setSocketOptions(QLocalServer::UserAccessOption);
  const QString socketName = "tarvel-" + QUuid::createUuid().toString(QUuid::WithoutBraces);
  if (!server_->listen(socketName))
    return false;
  connect(server_.get(), &QLocalServer::newConnection, this, [this] {
    while (QLocalSocket* socket = server_->nextPendingConnection()) {
      connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
      connect(socket, &QLocalSocket::readyRead, this, [this, socket] {
        // A request is one short line; anything else from the socket is ignored.
        while (socket->canReadLine()) {
          if (socket->readLine(64) == kOpenOptionsRequest && onRequest_)
            onRequest_();
        }
        if (socket->bytesAvailable() > 64)
          socket->abort();
      });
    }
  });
  record_.Write(server_->fullServerName().toStdString());
  return true;
}

bool SingleInstance::NotifyRunningInstance() {
  const QString socketName = QString::fromStdString(record_.Read());
  if (socketName.isEmpty())
    return false;
  QLocalSocket socket;
  socket.connectToServer(socketName);
  if (!socket.waitForConnected(kSocketWaitMs))
    return false;
  socket.write(kOpenOptionsRequest);
  const bool sent = socket.waitForBytesWritten(kSocketWaitMs);
  socket.disconnectFromServer();
  return sent;
}

void SingleInstance::ClearRecord() {
  if (server_ && record_.Read() == server_->fullServerName().toStdString())
    record_.Write({});
}

}  // namespace tarvel
