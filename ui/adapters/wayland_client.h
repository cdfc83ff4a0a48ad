#pragma once

#include <QImage>
#include <QMargins>
#include <QObject>
#include <QPoint>
#include <QSize>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

class QSocketNotifier;

namespace tarvel {

// The program's own Wayland client: everything of the Wayland protocol the desktop program
// speaks itself, beside Qt's platform plugin.

// Before QApplication exists: Qt is told to draw without an EGL buffer integration (the
// program's windows are raster widgets; on Wayland Qt would otherwise load Mesa's GL driver
// with the first window, about 50 MiB resident for nothing). A user's own choice is kept.
void ChooseWaylandBufferIntegration();
// Right after QApplication exists: the choice is made (Qt reads it at its first question about
// OpenGL, asked here) and the variable is taken back, so that the programs we start get the
// session's own environment.
void SettleWaylandBufferIntegration();

// The corner of the output a layer surface is anchored to.
enum class LayerCorner {
  TopLeft,
  TopRight,
  BottomLeft,
  BottomRight,
};

// What a layer surface shows and how it answers the pointer.
struct LayerSurfaceContent {
  // The content's full size in logical pixels; the surface shows its top-left part.
  QSize size;
  // The content painted at a scale (device pixels = size × scale), premultiplied ARGB.
  std::function<QImage(qreal scale)> render;
  // A click (press and release of the primary button) at a point of the surface, in logical
  // pixels.
  std::function<void(QPoint)> click;
  // The compositor will not show the surface any more (its output went away, say); it can
  // be placed no more.
  std::function<void()> closed;
};

class WaylandClient;

// One surface with the layer-shell role: above the windows, anchored to a corner of the
// output the compositor chooses, never given the keyboard focus.
class LayerSurface {
 public:
  ~LayerSurface();
  LayerSurface(const LayerSurface&) = delete;
  LayerSurface& operator=(const LayerSurface&) = delete;

  // Shows the top-left `size` of the content (at least 1 × 1) at `corner`, `margins` away from
  // the corner's two edges of the output's usable area (the compositor keeps panels
  // uncovered). The first call maps the surface. `overlay` puts it above full-screen windows
  // too.
  void Place(LayerCorner corner, QSize size, QMargins margins, bool overlay);
  // The content changed (its opacity, say): painted again.
  void Repaint();
  // Whether the surface was placed and is not closed.
  bool visible() const;

  // Internal: the protocol state (public for the C callbacks of the protocol).
  struct State;

 private:
  friend class WaylandClient;
  explicit LayerSurface(std::shared_ptr<State> state);
  std::shared_ptr<State> state_;
};

// A connection of our own to the compositor of WAYLAND_DISPLAY (Qt 6.4 gives no public access
// to its own), dispatched on the GUI thread by a socket notifier: no call waits for the
// compositor after the start.
class WaylandClient : public QObject {
  Q_OBJECT

 public:
  // Connects and reads the compositor's globals (one exchange, bounded in time). Null without
  // a Wayland compositor or when it does not answer.
  static std::unique_ptr<WaylandClient> Connect();
  ~WaylandClient() override;

  // The interface names the compositor announced (bounded).
  const std::vector<std::string>& globals() const { return globals_; }
  // The compositor offers layer surfaces and what they need (compositor, shared memory).
  bool offersLayerShell() const;
  // A new layer surface; null without the layer shell or once the connection is lost.
  std::unique_ptr<LayerSurface> CreateSurface(LayerSurfaceContent content);

  // Internal: the protocol state (public for the C callbacks of the protocol).
  struct Globals;

 private:
  WaylandClient() = default;
  void Dispatch();
  void Flush();
  void Lose();

  std::shared_ptr<Globals> globals_state_;
  std::vector<std::string> globals_;
  std::unique_ptr<QSocketNotifier> readNotifier_;
  std::unique_ptr<QSocketNotifier> writeNotifier_;
};

}  // namespace tarvel
