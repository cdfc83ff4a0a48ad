#include "ui/notice/popup_presenter.h"

#include <QAccessible>
#include <QCursor>
#include <QEventLoop>
#include <QFile>
#include <QFontMetrics>
#include <QGuiApplication>
#include <QScreen>

#include <utility>

#include "ui/alerts/user_busy.h"
#include "ui/notice/html_container.h"
#include "ui/notice/popup_page.h"

namespace tarvel {

namespace {

// The text div's font in the popup page (10pt in its family list).
constexpr char kPageFontFamilies[] = R"("Lucida Sans Unicode","Segoe UI",Verdana,sans-serif)";
constexpr int kLinePointSize = 10;
constexpr int kNormalWeight = 400;
// litehtml measures word by word; a little room keeps the elided line inside its div.
constexpr int kElideSlack = 2;

ScreenGeometry GeometryOf(const QScreen* screen) {
  ScreenGeometry geometry;
  if (!screen) {
    geometry.screen = geometry.workArea = {0, 0, 1024, 768};
    return geometry;
  }
  const QRect full = screen->geometry();
  const QRect work = screen->availableGeometry();
  geometry.screen = {full.x(), full.y(), full.width(), full.height()};
  geometry.workArea = {work.x(), work.y(), work.width(), work.height()};
  // Whether a panel hides itself cannot be asked here; such a panel counts as none.
  return geometry;
}

}  // namespace

PopupPresenter::PopupPresenter(Hooks hooks, UserBusyProbe& busy, QObject* parent)
    : QObject(parent), hooks_(std::move(hooks)), busy_(busy) {}

PopupPresenter::~PopupPresenter() {
  ClosePopup();
}

QByteArray PopupPresenter::PageTemplate() {
  QFile file(u":/html/143.html"_qs);
  if (!file.open(QIODevice::ReadOnly))
    return {};
  return file.readAll();
}

QByteArray PopupPresenter::MakePage(const PopupContent& content, const PopupSettings& settings,
                                    double dpiFactor) {
  const QByteArray pageTemplate = PageTemplate();
  if (pageTemplate.isEmpty())
    return {};
  const int pixelSize = static_cast<int>(std::lround(kLinePointSize * kCssDpi * dpiFactor / 72.0));
  const QFontMetrics metrics(
      HtmlFont(QString::fromUtf8(kPageFontFamilies), pixelSize, kNormalWeight, false));
  const int lineWidth = static_cast<int>(ScaledPixels(settings.taskBarWindowWidth, dpiFactor));
  // litehtml draws no ellipsis, and a table cell would grow to an uncut line's width, so the
  // lines are cut to the div's width with the page's font before layout.
  std::vector<Text> lines;
  lines.reserve(content.lines.size());
  for (const Text& line : content.lines) {
    const QString text = QString::fromStdU16String(line.units());
    const QString elided =
        metrics.elidedText(text, Qt::ElideRight, std::max(lineWidth - kElideSlack, 0));
    const std::u16string units = elided.toStdU16String();
    lines.emplace_back(units);
  }
  PopupPageValues values;
  values.title = content.title;
  values.text = PopupTextFromLines(lines);
  values.width = settings.taskBarWindowWidth;
  values.dpiFactor = dpiFactor;
  values.textColor = settings.textColor;
  values.backgroundColor = settings.backgroundColor;
  values.backgroundLogoColor = settings.backgroundLogoColor;
  const std::string page = FillPopupPage(
      std::string_view(pageTemplate.constData(), static_cast<size_t>(pageTemplate.size())), values);
  return QByteArray(page.data(), static_cast<qsizetype>(page.size()));
}

void PopupPresenter::ShowPopup() {
  if (waiting_) {
    // A notice arrived while the old popup slides out: the newest one is shown after it.
    pending_ = true;
    return;
  }
  if (popup_) {
    waiting_ = true;
    QEventLoop loop;
    connect(popup_, &NotificationPopup::finishedHiding, &loop, &QEventLoop::quit);
    connect(popup_, &QObject::destroyed, &loop, &QEventLoop::quit);
    popup_->HidePopup();
    if (popup_ && !popup_->finished())
      loop.exec();
    waiting_ = false;
    pending_ = false;
    // Closed meanwhile (the program ends): no new popup.
    if (std::exchange(cancelled_, false))
      return;
  }
  ShowLatest();
}

void PopupPresenter::ShowLatest() {
  if (busy_.IsUserBusy() && !(hooks_.allowWhileBusy && hooks_.allowWhileBusy()))
    return;
  const PopupSettings settings = hooks_.settings ? hooks_.settings() : PopupSettings();
  const PopupContent content = hooks_.content ? hooks_.content() : PopupContent();
  // The popup shows on the screen the user works on (the one with the pointer), laid out for
  // that screen's factor; the primary screen where the pointer cannot be seen.
  QScreen* screen = QGuiApplication::screenAt(QCursor::pos());
  if (!screen)
    screen = QGuiApplication::primaryScreen();
  const double dpiFactor = DpiFactorOf(screen);
  const ScreenGeometry geometry = GeometryOf(screen);
  const QByteArray page = MakePage(content, settings, dpiFactor);
  if (page.isEmpty())
    return;
  auto created = std::make_unique<NotificationPopup>(settings.transparency, true);
  created->setOpenAction(hooks_.open);
  // The page sizes itself; it is laid out in the screen's width so nothing wraps early.
  if (!created->LoadPage(page, dpiFactor, std::max(geometry.screen.width, 1)))
    return;
  // Where windows cannot be placed, no window in the middle of the screen either.
  if (layerShell_ && !created->UseLayerSurface(*layerShell_))
    return;
  // Screen readers get the notice's texts; the window itself never takes the focus.
  QStringList description{QString::fromStdU16String(content.title.units())};
  for (const Text& line : content.lines)
    description << QString::fromStdU16String(line.units());
  created->setAccessibleDescription(description.join(u'\n'));
  // From here the popup deletes itself when its slide-out ends.
  NotificationPopup* popup = created.release();
  popup_ = popup;
  const uint64_t stay = uint64_t{settings.toolTipSeconds} * 1000;
  popup->Start(geometry, static_cast<uint32_t>(std::min<uint64_t>(stay, UINT32_MAX)));
  // The popup never takes the focus, so a screen reader hears of it only through an alert.
  QAccessibleEvent alert(popup, QAccessible::Alert);
  QAccessible::updateAccessibility(&alert);
  emit popupStarted(popup);
}

void PopupPresenter::HidePopup() {
  if (popup_)
    popup_->HidePopup();
}

void PopupPresenter::ClosePopup() {
  if (waiting_)
    cancelled_ = true;
  if (popup_)
    delete popup_.data();
}

}  // namespace tarvel
