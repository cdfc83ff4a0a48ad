#include "ui/adapters/wayland_client.h"

#include <fcntl.h>
#include <linux/input-event-codes.h>
#include <poll.h>
#include <sys/mman.h>
#include <unistd.h>
#include <wayland-client.h>

#include <QElapsedTimer>
#include <QGuiApplication>
#include <QOpenGLContext>
#include <QSocketNotifier>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <utility>

#include "wlr-layer-shell-unstable-v1-client-protocol.h"

namespace tarvel {

namespace {

constexpr char kBufferIntegration[] = "QT_WAYLAND_CLIENT_BUFFER_INTEGRATION";
bool chosenBufferIntegration = false;

// A registry listing is bounded: a compositor announcing more globals than this is not one we
// can make sense of, and the rest are ignored.
constexpr size_t kMaximumGlobals = 512;
constexpr size_t kMaximumInterfaceLength = 128;
constexpr size_t kMaximumOutputs = 32;
// The start's one exchange with the compositor (Qt has just made several with it).
constexpr int kStartExchangeMs = 3000;
// A surface larger than this (device pixels per side) is not drawn.
constexpr int kMaximumPixels = 16384;
constexpr int kMaximumScale = 8;
constexpr char kLayerNamespace[] = "tarvel-new-mail";

}  // namespace

void ChooseWaylandBufferIntegration() {
  chosenBufferIntegration = !qEnvironmentVariableIsSet(kBufferIntegration);
  if (chosenBufferIntegration)
    qputenv(kBufferIntegration, "none");
}

void SettleWaylandBufferIntegration() {
  if (!chosenBufferIntegration)
    return;
  if (QGuiApplication::platformName().startsWith(u"wayland"))
    QOpenGLContext::supportsThreadedOpenGL();
  qunsetenv(kBufferIntegration);
  chosenBufferIntegration = false;
}

struct WaylandOutput {
  uint32_t name = 0;
  wl_output* output = nullptr;
  int scale = 1;
  int pendingScale = 1;
};

struct WaylandClient::Globals {
  ~Globals();
  wl_display* display = nullptr;
  wl_registry* registry = nullptr;
  wl_compositor* compositor = nullptr;
  wl_shm* shm = nullptr;
  zwlr_layer_shell_v1* layerShell = nullptr;
  wl_seat* seat = nullptr;
  wl_pointer* pointer = nullptr;
  std::vector<WaylandOutput> outputs;
  std::vector<std::string> interfaces;
  // The live surfaces, told when the connection is lost.
  std::vector<LayerSurface::State*> surfaces;
  // The pointer's surface and place on it (logical pixels).
  wl_surface* pointerFocus = nullptr;
  QPoint pointerAt;
  bool pressed = false;
  bool lost = false;
  // Sends what was asked; set while the client object lives.
  std::function<void()> flush;

  int ScaleOf(wl_output* output) const {
    for (const WaylandOutput& known : outputs) {
      if (known.output == output)
        return known.scale;
    }
    return 1;
  }
  int LargestScale() const {
    int scale = 1;
    for (const WaylandOutput& known : outputs)
      scale = std::max(scale, known.scale);
    return scale;
  }
  void Flush() {
    if (flush)
      flush();
    else if (display)
      wl_display_flush(display);
  }
};

struct LayerSurface::State {
  ~State();
  void Render();
  void Commit();
  int WantedScale() const;

  std::shared_ptr<WaylandClient::Globals> globals;
  LayerSurfaceContent content;
  wl_surface* surface = nullptr;
  zwlr_layer_surface_v1* layer = nullptr;
  std::vector<wl_output*> entered;
  std::vector<wl_buffer*> buffers;  // created and not yet released
  // The painted content in shared memory, device pixels.
  wl_shm_pool* pool = nullptr;
  QSize poolPixels;
  int stride = 0;
  int renderedScale = 0;
  QSize size;  // shown, logical pixels
  bool configured = false;
  bool closed = false;
};

namespace {

// --- buffers ---------------------------------------------------------------------------------

void OnBufferRelease(void* data, wl_buffer* buffer) {
  auto* state = static_cast<LayerSurface::State*>(data);
  auto& buffers = state->buffers;
  buffers.erase(std::remove(buffers.begin(), buffers.end(), buffer), buffers.end());
  wl_buffer_destroy(buffer);
}
constexpr wl_buffer_listener kBufferListener = {&OnBufferRelease};

// --- surfaces --------------------------------------------------------------------------------

void OnSurfaceEnter(void* data, wl_surface*, wl_output* output) {
  auto* state = static_cast<LayerSurface::State*>(data);
  state->entered.push_back(output);
  if (state->WantedScale() != state->renderedScale) {
    state->Render();
    state->Commit();
  }
}
void OnSurfaceLeave(void* data, wl_surface*, wl_output* output) {
  auto* state = static_cast<LayerSurface::State*>(data);
  auto& entered = state->entered;
  entered.erase(std::remove(entered.begin(), entered.end(), output), entered.end());
}
constexpr wl_surface_listener kSurfaceListener = {&OnSurfaceEnter, &OnSurfaceLeave};

void OnLayerConfigure(void* data, zwlr_layer_surface_v1* layer, uint32_t serial, uint32_t,
                      uint32_t) {
  auto* state = static_cast<LayerSurface::State*>(data);
  zwlr_layer_surface_v1_ack_configure(layer, serial);
  const bool first = !state->configured;
  state->configured = true;
  if (first) {
    if (!state->pool)
      state->Render();
    state->Commit();
  }
}
void OnLayerClosed(void* data, zwlr_layer_surface_v1*) {
  auto* state = static_cast<LayerSurface::State*>(data);
  if (state->closed)
    return;
  state->closed = true;
  const std::function<void()> closed = state->content.closed;
  if (closed)
    closed();
}
constexpr zwlr_layer_surface_v1_listener kLayerListener = {&OnLayerConfigure, &OnLayerClosed};

// --- pointer ---------------------------------------------------------------------------------

using Globals = WaylandClient::Globals;

QPoint PointOf(wl_fixed_t x, wl_fixed_t y) {
  return {wl_fixed_to_int(x), wl_fixed_to_int(y)};
}

void OnPointerEnter(void* data, wl_pointer*, uint32_t, wl_surface* surface, wl_fixed_t x,
                    wl_fixed_t y) {
  auto* globals = static_cast<Globals*>(data);
  globals->pointerFocus = surface;
  globals->pointerAt = PointOf(x, y);
  globals->pressed = false;
}
void OnPointerLeave(void* data, wl_pointer*, uint32_t, wl_surface*) {
  auto* globals = static_cast<Globals*>(data);
  globals->pointerFocus = nullptr;
  globals->pressed = false;
}
void OnPointerMotion(void* data, wl_pointer*, uint32_t, wl_fixed_t x, wl_fixed_t y) {
  static_cast<Globals*>(data)->pointerAt = PointOf(x, y);
}
void OnPointerButton(void* data, wl_pointer*, uint32_t, uint32_t, uint32_t button,
                     uint32_t buttonState) {
  auto* globals = static_cast<Globals*>(data);
  if (button != BTN_LEFT || !globals->pointerFocus)
    return;
  if (buttonState == WL_POINTER_BUTTON_STATE_PRESSED) {
    globals->pressed = true;
    return;
  }
  // A click is a press and a release on the same surface, as on the window system's popup.
  if (!std::exchange(globals->pressed, false))
    return;
  for (LayerSurface::State* state : globals->surfaces) {
    if (state->surface == globals->pointerFocus && !state->closed) {
      const std::function<void(QPoint)> click = state->content.click;
      if (click)
        click(globals->pointerAt);
      return;
    }
  }
}
void OnPointerAxis(void*, wl_pointer*, uint32_t, uint32_t, wl_fixed_t) {}
void OnPointerFrame(void*, wl_pointer*) {}
void OnPointerAxisSource(void*, wl_pointer*, uint32_t) {}
void OnPointerAxisStop(void*, wl_pointer*, uint32_t, uint32_t) {}
void OnPointerAxisDiscrete(void*, wl_pointer*, uint32_t, int32_t) {}
void OnPointerAxisValue120(void*, wl_pointer*, uint32_t, int32_t) {}
// The seat is bound at version 3, which sends no frame or axis details; every entry is set all
// the same.
constexpr wl_pointer_listener kPointerListener = {
    &OnPointerEnter,        &OnPointerLeave,       &OnPointerMotion,     &OnPointerButton,
    &OnPointerAxis,         &OnPointerFrame,       &OnPointerAxisSource, &OnPointerAxisStop,
    &OnPointerAxisDiscrete, &OnPointerAxisValue120};

void OnSeatCapabilities(void* data, wl_seat* seat, uint32_t capabilities) {
  auto* globals = static_cast<Globals*>(data);
  const bool hasPointer = capabilities & WL_SEAT_CAPABILITY_POINTER;
  if (hasPointer && !globals->pointer) {
    globals->pointer = wl_seat_get_pointer(seat);
    wl_pointer_add_listener(globals->pointer, &kPointerListener, globals);
  } else if (!hasPointer && globals->pointer) {
    wl_pointer_release(globals->pointer);
    globals->pointer = nullptr;
    globals->pointerFocus = nullptr;
  }
}
void OnSeatName(void*, wl_seat*, const char*) {}
constexpr wl_seat_listener kSeatListener = {&OnSeatCapabilities, &OnSeatName};

// --- outputs ---------------------------------------------------------------------------------

WaylandOutput* FindOutput(Globals& globals, wl_output* output) {
  for (WaylandOutput& known : globals.outputs) {
    if (known.output == output)
      return &known;
  }
  return nullptr;
}
void OnOutputGeometry(void*, wl_output*, int32_t, int32_t, int32_t, int32_t, int32_t, const char*,
                      const char*, int32_t) {}
void OnOutputMode(void*, wl_output*, uint32_t, int32_t, int32_t, int32_t) {}
void OnOutputDone(void* data, wl_output* output) {
  auto* globals = static_cast<Globals*>(data);
  WaylandOutput* known = FindOutput(*globals, output);
  if (!known || known->scale == known->pendingScale)
    return;
  known->scale = known->pendingScale;
  // A surface shown on the output is painted again at its new scale.
  const std::vector<LayerSurface::State*> surfaces = globals->surfaces;
  for (LayerSurface::State* state : surfaces) {
    if (state->renderedScale > 0 && state->WantedScale() != state->renderedScale) {
      state->Render();
      state->Commit();
    }
  }
}
void OnOutputScale(void* data, wl_output* output, int32_t factor) {
  if (WaylandOutput* known = FindOutput(*static_cast<Globals*>(data), output))
    known->pendingScale = std::clamp(factor, 1, kMaximumScale);
}
void OnOutputName(void*, wl_output*, const char*) {}
void OnOutputDescription(void*, wl_output*, const char*) {}
constexpr wl_output_listener kOutputListener = {&OnOutputGeometry, &OnOutputMode,
                                                &OnOutputDone,     &OnOutputScale,
                                                &OnOutputName,     &OnOutputDescription};

// --- registry --------------------------------------------------------------------------------

template <typename Proxy>
Proxy* Bind(wl_registry* registry, uint32_t name, const wl_interface* interface, uint32_t offered,
            uint32_t wanted) {
  return static_cast<Proxy*>(
      wl_registry_bind(registry, name, interface, std::min(offered, wanted)));
}

void OnGlobal(void* data, wl_registry* registry, uint32_t name, const char* interface,
              uint32_t version) {
  auto* globals = static_cast<Globals*>(data);
  if (interface == nullptr || globals->interfaces.size() >= kMaximumGlobals)
    return;
  const std::string text(interface, strnlen(interface, kMaximumInterfaceLength + 1));
  if (text.size() > kMaximumInterfaceLength)
    return;
  globals->interfaces.push_back(text);
  if (text == wl_compositor_interface.name && !globals->compositor && version >= 3) {
    globals->compositor = Bind<wl_compositor>(registry, name, &wl_compositor_interface, version, 4);
  } else if (text == wl_shm_interface.name && !globals->shm) {
    globals->shm = Bind<wl_shm>(registry, name, &wl_shm_interface, version, 1);
  } else if (text == zwlr_layer_shell_v1_interface.name && !globals->layerShell) {
    globals->layerShell =
        Bind<zwlr_layer_shell_v1>(registry, name, &zwlr_layer_shell_v1_interface, version, 1);
  } else if (text == wl_seat_interface.name && !globals->seat && version >= 3) {
    // One seat: the pointer that clicks the popup.
    globals->seat = Bind<wl_seat>(registry, name, &wl_seat_interface, version, 3);
    wl_seat_add_listener(globals->seat, &kSeatListener, globals);
  } else if (text == wl_output_interface.name && version >= 2 &&
             globals->outputs.size() < kMaximumOutputs) {
    WaylandOutput output;
    output.name = name;
    output.output = Bind<wl_output>(registry, name, &wl_output_interface, version, 2);
    globals->outputs.push_back(output);
    wl_output_add_listener(output.output, &kOutputListener, globals);
  }
}

void OnGlobalRemove(void* data, wl_registry*, uint32_t name) {
  auto* globals = static_cast<Globals*>(data);
  auto& outputs = globals->outputs;
  for (auto output = outputs.begin(); output != outputs.end(); ++output) {
    if (output->name == name) {
      for (LayerSurface::State* state : globals->surfaces) {
        auto& entered = state->entered;
        entered.erase(std::remove(entered.begin(), entered.end(), output->output), entered.end());
      }
      wl_output_destroy(output->output);
      outputs.erase(output);
      return;
    }
  }
}

constexpr wl_registry_listener kRegistryListener = {&OnGlobal, &OnGlobalRemove};

void OnSyncDone(void* data, wl_callback*, uint32_t) {
  *static_cast<bool*>(data) = true;
}
constexpr wl_callback_listener kSyncListener = {&OnSyncDone};

// Waits for the compositor to answer everything asked so far, at most `timeoutMs`; used once,
// at the start, before the program's windows exist.
bool RoundTrip(wl_display* display, int timeoutMs) {
  bool done = false;
  wl_callback* callback = wl_display_sync(display);
  if (!callback)
    return false;
  wl_callback_add_listener(callback, &kSyncListener, &done);
  QElapsedTimer elapsed;
  elapsed.start();
  bool ok = true;
  while (!done) {
    if (wl_display_prepare_read(display) != 0) {
      if (wl_display_dispatch_pending(display) < 0) {
        ok = false;
        break;
      }
      continue;
    }
    if (wl_display_flush(display) < 0 && errno != EAGAIN) {
      wl_display_cancel_read(display);
      ok = false;
      break;
    }
    const int remaining = timeoutMs - static_cast<int>(elapsed.elapsed());
    pollfd descriptor{wl_display_get_fd(display), POLLIN, 0};
    const int ready = remaining > 0 ? poll(&descriptor, 1, remaining) : 0;
    if (ready < 0 && errno == EINTR) {
      wl_display_cancel_read(display);
      continue;
    }
    if (ready <= 0) {
      wl_display_cancel_read(display);
      ok = false;
      break;
    }
    if (wl_display_read_events(display) < 0 || wl_display_dispatch_pending(display) < 0) {
      ok = false;
      break;
    }
  }
  wl_callback_destroy(callback);
  return ok && done;
}

}  // namespace

// --- the connection --------------------------------------------------------------------------

WaylandClient::Globals::~Globals() {
  if (pointer)
    wl_pointer_release(pointer);
  if (seat)
    wl_seat_destroy(seat);
  for (WaylandOutput& output : outputs)
    wl_output_destroy(output.output);
  if (layerShell)
    zwlr_layer_shell_v1_destroy(layerShell);
  if (shm)
    wl_shm_destroy(shm);
  if (compositor)
    wl_compositor_destroy(compositor);
  if (registry)
    wl_registry_destroy(registry);
  if (display) {
    wl_display_flush(display);
    wl_display_disconnect(display);
  }
}

std::unique_ptr<WaylandClient> WaylandClient::Connect() {
  auto globals = std::make_shared<Globals>();
  globals->display = wl_display_connect(nullptr);
  if (!globals->display)
    return nullptr;
  globals->registry = wl_display_get_registry(globals->display);
  if (!globals->registry)
    return nullptr;
  wl_registry_add_listener(globals->registry, &kRegistryListener, globals.get());
  if (!RoundTrip(globals->display, kStartExchangeMs))
    return nullptr;
  std::unique_ptr<WaylandClient> client(new WaylandClient);
  client->globals_ = globals->interfaces;
  client->globals_state_ = globals;
  // From here the compositor's events (the outputs' scales, the pointer) are read when they
  // come, on the GUI thread.
  const int descriptor = wl_display_get_fd(globals->display);
  client->readNotifier_ = std::make_unique<QSocketNotifier>(descriptor, QSocketNotifier::Read);
  connect(client->readNotifier_.get(), &QSocketNotifier::activated, client.get(),
          &WaylandClient::Dispatch);
  client->writeNotifier_ = std::make_unique<QSocketNotifier>(descriptor, QSocketNotifier::Write);
  client->writeNotifier_->setEnabled(false);
  connect(client->writeNotifier_.get(), &QSocketNotifier::activated, client.get(),
          &WaylandClient::Flush);
  WaylandClient* raw = client.get();
  globals->flush = [raw] { raw->Flush(); };
  client->Flush();
  return client;
}

WaylandClient::~WaylandClient() {
  if (globals_state_)
    globals_state_->flush = nullptr;
}

bool WaylandClient::offersLayerShell() const {
  const Globals& globals = *globals_state_;
  return !globals.lost && globals.layerShell && globals.compositor && globals.shm;
}

void WaylandClient::Dispatch() {
  Globals& globals = *globals_state_;
  if (globals.lost)
    return;
  wl_display* display = globals.display;
  // The socket is readable: reading does not wait.
  if (wl_display_prepare_read(display) == 0 && wl_display_read_events(display) < 0) {
    Lose();
    return;
  }
  if (wl_display_dispatch_pending(display) < 0) {
    Lose();
    return;
  }
  Flush();
}

void WaylandClient::Flush() {
  Globals& globals = *globals_state_;
  if (globals.lost)
    return;
  // Sends without waiting; what the socket cannot take now goes when it can.
  if (wl_display_flush(globals.display) < 0) {
    if (errno == EAGAIN) {
      writeNotifier_->setEnabled(true);
      return;
    }
    Lose();
    return;
  }
  writeNotifier_->setEnabled(false);
}

void WaylandClient::Lose() {
  Globals& globals = *globals_state_;
  if (globals.lost)
    return;
  globals.lost = true;
  readNotifier_->setEnabled(false);
  writeNotifier_->setEnabled(false);
  qWarning("The connection to the Wayland compositor was lost (%s)",
           std::strerror(wl_display_get_error(globals.display)));
  // The surfaces can be shown no more.
  const std::vector<LayerSurface::State*> surfaces = globals.surfaces;
  for (LayerSurface::State* state : surfaces) {
    if (std::find(globals.surfaces.begin(), globals.surfaces.end(), state) ==
        globals.surfaces.end())
      continue;  // gone meanwhile
    OnLayerClosed(state, nullptr);
  }
}

std::unique_ptr<LayerSurface> WaylandClient::CreateSurface(LayerSurfaceContent content) {
  if (!offersLayerShell() || !content.render || content.size.isEmpty())
    return nullptr;
  auto state = std::make_shared<LayerSurface::State>();
  state->globals = globals_state_;
  state->content = std::move(content);
  state->surface = wl_compositor_create_surface(globals_state_->compositor);
  if (!state->surface)
    return nullptr;
  wl_surface_add_listener(state->surface, &kSurfaceListener, state.get());
  globals_state_->surfaces.push_back(state.get());
  return std::unique_ptr<LayerSurface>(new LayerSurface(std::move(state)));
}

// --- one surface -----------------------------------------------------------------------------

LayerSurface::State::~State() {
  auto& surfaces = globals->surfaces;
  surfaces.erase(std::remove(surfaces.begin(), surfaces.end(), this), surfaces.end());
  if (globals->pointerFocus == surface)
    globals->pointerFocus = nullptr;
  if (layer)
    zwlr_layer_surface_v1_destroy(layer);
  if (surface)
    wl_surface_destroy(surface);
  for (wl_buffer* buffer : buffers)
    wl_buffer_destroy(buffer);
  if (pool)
    wl_shm_pool_destroy(pool);
  globals->Flush();
}

int LayerSurface::State::WantedScale() const {
  // Sharp on every output the surface is on; before it is on one, on every output there is.
  if (entered.empty())
    return globals->LargestScale();
  int scale = 1;
  for (wl_output* output : entered)
    scale = std::max(scale, globals->ScaleOf(output));
  return scale;
}

void LayerSurface::State::Render() {
  if (globals->lost)
    return;
  const int scale = WantedScale();
  QImage image = content.render(scale);
  if (image.isNull())
    return;
  if (image.format() != QImage::Format_ARGB32_Premultiplied)
    image = image.convertToFormat(QImage::Format_ARGB32_Premultiplied);
  const QSize pixels = image.size();
  if (pixels.width() > kMaximumPixels || pixels.height() > kMaximumPixels)
    return;
  // Premultiplied ARGB32 in the machine's byte order is the compositor's ARGB8888.
  const int rowBytes = pixels.width() * 4;
  const size_t bytes = size_t(rowBytes) * size_t(pixels.height());
  const int descriptor = memfd_create("tarvel-popup", MFD_CLOEXEC);
  if (descriptor < 0)
    return;
  bool written = ftruncate(descriptor, static_cast<off_t>(bytes)) == 0;
  if (written) {
    void* memory = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_SHARED, descriptor, 0);
    written = memory != MAP_FAILED;
    if (written) {
      for (int row = 0; row < pixels.height(); ++row)
        std::memcpy(static_cast<char*>(memory) + size_t(row) * rowBytes, image.constScanLine(row),
                    size_t(rowBytes));
      munmap(memory, bytes);
    }
  }
  if (!written) {
    close(descriptor);
    return;
  }
  // Buffers made from the pool before keep its memory until they are released.
  if (pool)
    wl_shm_pool_destroy(pool);
  pool = wl_shm_create_pool(globals->shm, descriptor, static_cast<int32_t>(bytes));
  close(descriptor);
  poolPixels = pixels;
  stride = rowBytes;
  renderedScale = scale;
}

void LayerSurface::State::Commit() {
  if (!configured || closed || !pool || globals->lost || renderedScale < 1)
    return;
  const int width = std::min(size.width() * renderedScale, poolPixels.width());
  const int height = std::min(size.height() * renderedScale, poolPixels.height());
  if (width < 1 || height < 1)
    return;
  wl_buffer* buffer =
      wl_shm_pool_create_buffer(pool, 0, width, height, stride, WL_SHM_FORMAT_ARGB8888);
  if (!buffer)
    return;
  wl_buffer_add_listener(buffer, &kBufferListener, this);
  buffers.push_back(buffer);
  wl_surface_set_buffer_scale(surface, renderedScale);
  wl_surface_attach(surface, buffer, 0, 0);
  wl_surface_damage(surface, 0, 0, INT32_MAX, INT32_MAX);
  wl_surface_commit(surface);
  globals->Flush();
}

LayerSurface::LayerSurface(std::shared_ptr<State> state) : state_(std::move(state)) {}

LayerSurface::~LayerSurface() = default;

bool LayerSurface::visible() const {
  return state_->layer && !state_->closed && !state_->globals->lost;
}

void LayerSurface::Place(LayerCorner corner, QSize size, QMargins margins, bool overlay) {
  State& state = *state_;
  if (state.closed || state.globals->lost)
    return;
  // A surface cannot be empty; at size 0 it is one pixel, as the window system's popup is.
  const QSize bounds = state.content.size;
  state.size = QSize(std::clamp(size.width(), 1, std::max(bounds.width(), 1)),
                     std::clamp(size.height(), 1, std::max(bounds.height(), 1)));
  const bool first = !state.layer;
  if (first) {
    state.layer = zwlr_layer_shell_v1_get_layer_surface(
        state.globals->layerShell, state.surface, nullptr,
        overlay ? ZWLR_LAYER_SHELL_V1_LAYER_OVERLAY : ZWLR_LAYER_SHELL_V1_LAYER_TOP,
        kLayerNamespace);
    if (!state.layer)
      return;
    zwlr_layer_surface_v1_add_listener(state.layer, &kLayerListener, &state);
    zwlr_layer_surface_v1_set_keyboard_interactivity(
        state.layer, ZWLR_LAYER_SURFACE_V1_KEYBOARD_INTERACTIVITY_NONE);
    // Moved clear of the panels, as the popup stands in the work area.
    zwlr_layer_surface_v1_set_exclusive_zone(state.layer, 0);
  }
  uint32_t anchor = 0;
  switch (corner) {
    case LayerCorner::TopLeft:
      anchor = ZWLR_LAYER_SURFACE_V1_ANCHOR_TOP | ZWLR_LAYER_SURFACE_V1_ANCHOR_LEFT;
      break;
    case LayerCorner::TopRight:
      anchor = ZWLR_LAYER_SURFACE_V1_ANCHOR_TOP | ZWLR_LAYER_SURFACE_V1_ANCHOR_RIGHT;
      break;
    case LayerCorner::BottomLeft:
      anchor = ZWLR_LAYER_SURFACE_V1_ANCHOR_BOTTOM | ZWLR_LAYER_SURFACE_V1_ANCHOR_LEFT;
      break;
    case LayerCorner::BottomRight:
      anchor = ZWLR_LAYER_SURFACE_V1_ANCHOR_BOTTOM | ZWLR_LAYER_SURFACE_V1_ANCHOR_RIGHT;
      break;
  }
  zwlr_layer_surface_v1_set_anchor(state.layer, anchor);
  zwlr_layer_surface_v1_set_size(state.layer, static_cast<uint32_t>(state.size.width()),
                                 static_cast<uint32_t>(state.size.height()));
  zwlr_layer_surface_v1_set_margin(state.layer, margins.top(), margins.right(), margins.bottom(),
                                   margins.left());
  if (first) {
    // The first commit carries no buffer; the compositor's configure answers it.
    wl_surface_commit(state.surface);
    state.globals->Flush();
    return;
  }
  state.Commit();
}

void LayerSurface::Repaint() {
  State& state = *state_;
  if (!state.configured)
    return;  // painted at the first configure
  state.Render();
  state.Commit();
}

}  // namespace tarvel
