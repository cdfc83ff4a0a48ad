#include "ui/alerts/qt_sound_player.h"

#include <QSoundEffect>
#include <QUrl>

namespace tarvel {

QtSoundPlayer::QtSoundPlayer(QObject* parent) : QObject(parent) {}

QtSoundPlayer::~QtSoundPlayer() = default;

void QtSoundPlayer::Play(const Text& path) {
  const QString file = QString::fromStdU16String(path.units());
  QMetaObject::invokeMethod(
      this, [this, file] { PlayNow(file); }, Qt::QueuedConnection);
}

void QtSoundPlayer::Stop() {
  QMetaObject::invokeMethod(
      this, [this] { StopNow(); }, Qt::QueuedConnection);
}

void QtSoundPlayer::PlayNow(const QString& path) {
  // A fresh effect per sound: the source of a loaded effect cannot be swapped while it
  // plays, and the previous sound stops with its effect.
  if (effect_) {
    effect_->stop();
    effect_->deleteLater();
  }
  effect_ = new QSoundEffect(this);
  playPending_ = true;
  QSoundEffect* effect = effect_;
  connect(effect, &QSoundEffect::statusChanged, this, [this, effect, path] {
    if (effect != effect_ || !playPending_)
      return;
    if (effect->status() == QSoundEffect::Ready) {
      playPending_ = false;
      effect->play();
      emit playStarted(path);
    } else if (effect->status() == QSoundEffect::Error) {
      playPending_ = false;
    }
  });
  effect->setSource(QUrl::fromLocalFile(path));
}

void QtSoundPlayer::StopNow() {
  playPending_ = false;
  if (effect_)
    effect_->stop();
}

}  // namespace tarvel
