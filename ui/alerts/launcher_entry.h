#pragma once

#include <QString>

#include "ui/alerts/unread_counts.h"

namespace tarvel {

inline constexpr const char* kDesktopFileName = "tarvel.desktop";

// Publishes the total unread count as a launcher badge: the Unity launcher entry's Update
// signal on the session bus, which docks and task managers read for the program's desktop
// file. Nothing is sent without a session bus.
class LauncherEntryPublisher : public UnreadCountPublisher {
 public:
  explicit LauncherEntryPublisher(QString desktopFileName = QString::fromLatin1(kDesktopFileName))
      : desktopFileName_(std::move(desktopFileName)) {}

  void PublishUnreadCount(uint32_t total) override;

 private:
  QString desktopFileName_;
};

}  // namespace tarvel
