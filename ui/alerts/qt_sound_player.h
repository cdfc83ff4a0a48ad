#pragma once

#include <QObject>
#include <QString>

#include "ui/alerts/new_mail_alerts.h"

class QSoundEffect;

namespace tarvel {

// Plays wave files with Qt Multimedia on the thread the player lives on (the main thread);
// Play and Stop may be called from any thread. A file that cannot be played stays silent.
class QtSoundPlayer : public QObject, public SoundPlayer {
  Q_OBJECT

 public:
  explicit QtSoundPlayer(QObject* parent = nullptr);
  ~QtSoundPlayer() override;

  void Play(const Text& path) override;
  void Stop() override;

 signals:
  // The player started the file (for the program's diagnostics and the tests).
  void playStarted(const QString& path);

 private:
  void PlayNow(const QString& path);
  void StopNow();

  QSoundEffect* effect_ = nullptr;
  bool playPending_ = false;
};

}  // namespace tarvel
