#include "ui/adapters/popup_placement.h"

#include <QGuiApplication>

#include "ui/adapters/wayland_client.h"

namespace tarvel {

DesktopSession SessionFrom(std::string_view platformName, const std::vector<std::string>& globals) {
  DesktopSession session;
  session.platformName = std::string(platformName);
  // "wayland" and "wayland-egl", as QT_QPA_PLATFORM may name the plugin.
  session.wayland = platformName.substr(0, 7) == "wayland";
  if (session.wayland) {
    for (const std::string& global : globals) {
      if (global == kLayerShellInterface)
        session.layerShell = true;
    }
  }
  return session;
}

PopupPlacement PlacementFor(const DesktopSession& session) {
  if (!session.wayland)
    return PopupPlacement::Window;
  return session.layerShell ? PopupPlacement::LayerSurface : PopupPlacement::Notification;
}

DesktopSession CurrentDesktopSession(const WaylandClient* client) {
  const std::string platform = QGuiApplication::platformName().toStdString();
  DesktopSession session = SessionFrom(platform, client && platform.rfind("wayland", 0) == 0
                                                     ? client->globals()
                                                     : std::vector<std::string>{});
  // The popup needs more than the layer shell's name: the compositor and shared memory too.
  if (session.layerShell && !client->offersLayerShell())
    session.layerShell = false;
  return session;
}

}  // namespace tarvel
