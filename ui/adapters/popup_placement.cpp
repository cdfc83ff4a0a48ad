#include "ui/adapters/popup_placement.h"

#include <wayland-client.h>

#include <QGuiApplication>

#include <memory>

namespace tarvel {

namespace {

// A registry listing is bounded: a compositor announcing more globals than this is not one we
// can make sense of, and the rest are ignored.
constexpr size_t kMaximumGlobals = 512;
constexpr size_t kMaximumInterfaceLength = 128;

void OnGlobal(void* data, wl_registry*, uint32_t, const char* interface, uint32_t) {
  auto* globals = static_cast<std::vector<std::string>*>(data);
  if (interface == nullptr || globals->size() >= kMaximumGlobals)
    return;
  std::string name(interface);
  if (name.size() <= kMaximumInterfaceLength)
    globals->push_back(std::move(name));
}

void OnGlobalRemove(void*, wl_registry*, uint32_t) {}

constexpr wl_registry_listener kRegistryListener = {&OnGlobal, &OnGlobalRemove};

struct DisplayDisconnect {
  void operator()(wl_display* display) const { wl_display_disconnect(display); }
};
struct RegistryDestroy {
  void operator()(wl_registry* registry) const { wl_registry_destroy(registry); }
};

// The globals of the compositor at WAYLAND_DISPLAY, from one round trip on a connection of our
// own (Qt's own display is not reachable through a public interface in Qt 6.4). The compositor
// is the one Qt has just connected to, so the round trip is a local exchange made once at start.
std::vector<std::string> WaylandGlobals() {
  std::vector<std::string> globals;
  std::unique_ptr<wl_display, DisplayDisconnect> display(wl_display_connect(nullptr));
  if (!display)
    return globals;
  std::unique_ptr<wl_registry, RegistryDestroy> registry(wl_display_get_registry(display.get()));
  if (!registry)
    return globals;
  wl_registry_add_listener(registry.get(), &kRegistryListener, &globals);
  if (wl_display_roundtrip(display.get()) < 0)
    globals.clear();
  registry.reset();
  return globals;
}

}  // namespace

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
  return session.wayland ? PopupPlacement::Notification : PopupPlacement::Window;
}

DesktopSession CurrentDesktopSession() {
  const std::string platform = QGuiApplication::platformName().toStdString();
  return SessionFrom(
      platform, platform.rfind("wayland", 0) == 0 ? WaylandGlobals() : std::vector<std::string>{});
}

}  // namespace tarvel
