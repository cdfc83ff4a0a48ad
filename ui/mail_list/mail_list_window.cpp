#include "ui/mail_list/mail_list_window.h"

#include <QCloseEvent>
#include <QFontMetrics>
#include <QGuiApplication>
#include <QScreen>
#include <QWindow>

#include <algorithm>
#include <array>
#include <charconv>
#include <utility>

#include "accounts/settings_store.h"
#include "ui/adapters/window_title.h"
#include "ui/notice/html_container.h"

namespace tarvel {

namespace {

// The stored placement: "left,top,width,height", the position of the window's frame and the
// size of its client area, as move() and resize() take them.
constexpr std::u16string_view kPlacementValue = u"Placement";
// A size the template gives the window when no placement is stored.
constexpr int kDefaultWidth = 480;
constexpr int kDefaultHeight = 220;
// Stored sizes above this are not believed.
constexpr int kLargestSide = 16384;
// The minimum size in dialog units: a quarter of the average character width across, an
// eighth of the line height down.
constexpr int kMinimumWidthUnits = 140;
constexpr int kMinimumHeightUnits = 30;

std::optional<std::array<int, 4>> ParsePlacement(const std::string& text) {
  std::array<int, 4> numbers{};
  const char* at = text.data();
  const char* end = text.data() + text.size();
  for (std::size_t index = 0; index < numbers.size(); ++index) {
    const auto [next, error] = std::from_chars(at, end, numbers[index]);
    if (error != std::errc())
      return std::nullopt;
    at = next;
    if (index + 1 < numbers.size()) {
      if (at == end || *at != ',')
        return std::nullopt;
      ++at;
    }
  }
  if (at != end)
    return std::nullopt;
  return numbers;
}

double WidgetDpiFactor(const QWidget& widget) {
  // Before the window exists its screen is the one its place lies on.
  const QScreen* screen = widget.windowHandle()
                              ? widget.windowHandle()->screen()
                              : QGuiApplication::screenAt(widget.geometry().center());
  if (!screen)
    screen = widget.screen() ? widget.screen() : QGuiApplication::primaryScreen();
  return DpiFactorOf(screen);
}

}  // namespace

MailListWindow::MailListWindow(Hooks hooks, SettingsStore& store, MailListWindowOptions options)
    : QWidget(nullptr, options.showInTaskbar ? Qt::Window : Qt::Tool),
      hooks_(std::move(hooks)),
      store_(store),
      view_(new HtmlView(this)) {
  if (options.topMost)
    setWindowFlag(Qt::WindowStaysOnTopHint, true);
  // Closed, the window goes; the controller sees it gone.
  setAttribute(Qt::WA_DeleteOnClose);
  setWindowTitle(Title());
  setAccessibleName(Title());
  view_->setAccessibleName(tr("Unread mail"));
  view_->setFocusPolicy(Qt::StrongFocus);
  view_->setExternal(this);
  const QFontMetrics metrics(font());
  setMinimumSize(metrics.averageCharWidth() * kMinimumWidthUnits / 4,
                 metrics.height() * kMinimumHeightUnits / 8);
  resize(std::max(kDefaultWidth, minimumWidth()), std::max(kDefaultHeight, minimumHeight()));
  placementTimer_.setSingleShot(true);
  placementTimer_.setInterval(kMailListPlacementDelayMs);
  connect(&placementTimer_, &QTimer::timeout, this, &MailListWindow::StorePlacement);
  RestorePlacement();
  view_->setGeometry(rect());
  FollowScreen();
  ReloadPage();
}

void MailListWindow::FollowScreen() {
  const double factor = WidgetDpiFactor(*this);
  if (factor == dpiFactor_)
    return;
  dpiFactor_ = factor;
  view_->setDpiFactor(factor);
  // The hook builds the page again and has it reloaded.
  if (hooks_.dpiFactorChanged)
    hooks_.dpiFactorChanged(factor);
}

void MailListWindow::showEvent(QShowEvent* event) {
  QWidget::showEvent(event);
  if (!screenWatched_ && windowHandle()) {
    screenWatched_ = true;
    connect(windowHandle(), &QWindow::screenChanged, this, [this] { FollowScreen(); });
  }
  FollowScreen();
}

MailListWindow::~MailListWindow() {
  view_->setExternal(nullptr);
}

QString MailListWindow::Title() {
  return WindowTitleWithVersion();
}

void MailListWindow::ReloadPage() {
  const std::string page = hooks_.page ? hooks_.page() : std::string();
  if (page.empty())
    return;
  view_->setPageText(QByteArray(page.data(), static_cast<qsizetype>(page.size())));
  view_->update();
}

void MailListWindow::Open(std::optional<uint32_t> argument) {
  if (!argument)
    return;
  if (hooks_.openReaders)
    hooks_.openReaders(*argument);
  if (hooks_.restartCheckTimer)
    hooks_.restartCheckTimer(kMailListCheckAfterReadersMs);
}

void MailListWindow::RestorePlacement() {
  Text stored;
  if (!store_.readText(kPlacementValue, stored, u"", kMailListPlacementGroup))
    return;
  const std::optional<std::array<int, 4>> placement = ParsePlacement(stored.ToUtf8());
  if (!placement)
    return;
  const auto [left, top, width, height] = *placement;
  if (width <= 0 || height <= 0 || width > kLargestSide || height > kLargestSide)
    return;
  restoring_ = true;
  resize(std::max(width, minimumWidth()), std::max(height, minimumHeight()));
  // A place on no screen (a monitor since removed) keeps the default position.
  const QRect wanted(left, top, width, height);
  for (const QScreen* screen : QGuiApplication::screens()) {
    if (screen->geometry().intersects(wanted)) {
      move(left, top);
      break;
    }
  }
  restoring_ = false;
}

void MailListWindow::StorePlacement() {
  placementTimer_.stop();
  const QPoint place = pos();
  const std::string text = std::to_string(place.x()) + "," + std::to_string(place.y()) + "," +
                           std::to_string(width()) + "," + std::to_string(height());
  store_.writeText(kPlacementValue, Text::FromUtf8(text), kMailListPlacementGroup);
}

void MailListWindow::PlacementChanged() {
  if (!restoring_ && isVisible())
    placementTimer_.start();
}

void MailListWindow::moveEvent(QMoveEvent* event) {
  QWidget::moveEvent(event);
  PlacementChanged();
}

void MailListWindow::resizeEvent(QResizeEvent* event) {
  QWidget::resizeEvent(event);
  view_->setGeometry(rect());
  PlacementChanged();
}

void MailListWindow::closeEvent(QCloseEvent* event) {
  // The user's close comes from the window system; a close the program makes (the
  // application quitting closes every window) leaves the option as it is.
  if (event->spontaneous() && hooks_.closedByUser)
    hooks_.closedByUser();
  StorePlacement();
  view_->setExternal(nullptr);
  event->accept();
}

MailListController::MailListController(MailListWindow::Hooks hooks, SettingsStore& store,
                                       std::function<MailListWindowOptions()> options,
                                       QObject* parent)
    : QObject(parent), hooks_(std::move(hooks)), store_(store), options_(std::move(options)) {}

MailListController::~MailListController() {
  Close();
}

void MailListController::Open() {
  if (window_)
    return;
  auto* window =
      new MailListWindow(hooks_, store_, options_ ? options_() : MailListWindowOptions());
  window_ = window;
  window->show();
  emit opened(window);
}

void MailListController::Close() {
  if (window_)
    delete window_.data();
}

void MailListController::PostReload() {
  QMetaObject::invokeMethod(this, &MailListController::Reload, Qt::QueuedConnection);
}

void MailListController::Reload() {
  if (window_)
    window_->ReloadPage();
}

}  // namespace tarvel
