#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace tarvel {

// How the new-mail notice of the popup option can reach the user on this desktop.
enum class PopupPlacement {
  // The program places its popup window itself (X11, and the test platforms).
  Window,
  // A Wayland session whose compositor offers layer surfaces (KDE Plasma, sway and the other
  // wlroots desktops): the popup is a layer surface anchored at the corner.
  LayerSurface,
  // A Wayland session without them (GNOME, weston): a client cannot place its own window, so
  // the notice comes as a desktop notification instead of a window in the middle of the
  // screen.
  Notification,
};

// What the desktop offers, read once at start.
struct DesktopSession {
  std::string platformName;  // the Qt platform plugin's name ("xcb", "wayland", ...)
  bool wayland = false;
  // The compositor offers zwlr_layer_shell_v1 (KDE Plasma, sway and the other wlroots
  // desktops).
  bool layerShell = false;
};

// The interface names of a Wayland registry that decide the placement.
inline constexpr std::string_view kLayerShellInterface = "zwlr_layer_shell_v1";

// The session for a platform name and the globals its compositor announced.
DesktopSession SessionFrom(std::string_view platformName, const std::vector<std::string>& globals);
PopupPlacement PlacementFor(const DesktopSession& session);

class WaylandClient;

// The running program's session: the platform name of the QGuiApplication (which must
// exist) and, on Wayland, the globals `client` read (none without a client).
DesktopSession CurrentDesktopSession(const WaylandClient* client);

}  // namespace tarvel
