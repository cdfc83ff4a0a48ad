#include "ui/tray/tray_icon_images.h"

#include <QFileInfo>
#include <QFont>
#include <QIconEngine>
#include <QPainter>
#include <QSvgRenderer>

#include <memory>

#include "accounts/option_flags.h"
#include "ui/tray/custom_pictures.h"

// The resources of a static library are registered by hand.
static void InitialiseIconResources() {
  Q_INIT_RESOURCE(icons);
}

namespace tarvel {

namespace {

// Custom pictures are the user's files: bounded before they are decoded.
// Custom pictures are kept at this size and scaled to the tray's size when drawn.
constexpr int kCustomPictureSide = 256;

QString IconPath(uint32_t number) {
  static const bool initialised = [] {
    InitialiseIconResources();
    return true;
  }();
  (void)initialised;
  return QStringLiteral(":/icons/%1.svg").arg(number);
}

QImage Transparent(QSize size) {
  QImage image(size, QImage::Format_ARGB32_Premultiplied);
  image.fill(Qt::transparent);
  return image;
}

// Draws the digit in white without anti-aliasing onto a surface of the key colour, then
// copies every pixel that is not the key colour onto the icon.
void DrawDigit(QImage& icon, TrayDigitForm form, uint32_t digit) {
  const int width = icon.width();
  const int height = icon.height();
  const TrayDigitLayout layout = DigitLayout(form, width, height);
  const QRgb key =
      qRgb((kDigitKeyColour >> 16) & 0xFF, (kDigitKeyColour >> 8) & 0xFF, kDigitKeyColour & 0xFF);
  QImage surface(icon.size(), QImage::Format_ARGB32_Premultiplied);
  surface.fill(key);
  {
    QPainter painter(&surface);
    painter.setRenderHint(QPainter::Antialiasing, false);
    painter.setRenderHint(QPainter::TextAntialiasing, false);
    QFont font(QStringLiteral("DejaVu Sans"));
    font.setStyleHint(QFont::SansSerif);
    font.setStyleStrategy(QFont::NoAntialias);
    font.setBold(true);
    font.setPixelSize(std::max(layout.fontPixelHeight, 1));
    painter.setFont(font);
    painter.setPen(Qt::white);
    const QRect rect(layout.left, layout.top, layout.right - layout.left,
                     layout.bottom - layout.top);
    const Qt::Alignment alignment = layout.alignment == TrayDigitLayout::Alignment::Centre
                                        ? Qt::AlignCenter
                                        : (Qt::AlignRight | Qt::AlignBottom);
    painter.drawText(rect, alignment | Qt::TextSingleLine, QString::number(digit));
  }
  for (int y = 0; y < height; ++y) {
    const auto* from = reinterpret_cast<const QRgb*>(surface.constScanLine(y));
    auto* to = reinterpret_cast<QRgb*>(icon.scanLine(y));
    for (int x = 0; x < width; ++x) {
      if (from[x] != key)
        to[x] = from[x];
    }
  }
}

// Draws one picture of a composition at whatever size Qt asks for.
class ComposedIconEngine : public QIconEngine {
 public:
  ComposedIconEngine(const TrayIconImages& images, TrayIconComposition composition, bool alternate)
      : images_(images), composition_(composition), alternate_(alternate) {}

  QPixmap pixmap(const QSize& size, QIcon::Mode, QIcon::State) override {
    return QPixmap::fromImage(Render(size));
  }
  void paint(QPainter* painter, const QRect& rect, QIcon::Mode, QIcon::State) override {
    const qreal ratio = painter->device() ? painter->device()->devicePixelRatioF() : 1.0;
    painter->drawImage(rect, Render(rect.size() * ratio));
  }
  QList<QSize> availableSizes(QIcon::Mode, QIcon::State) override {
    return {{16, 16}, {22, 22}, {24, 24}, {32, 32}, {44, 44}, {48, 48}, {64, 64}};
  }
  QIconEngine* clone() const override {
    return new ComposedIconEngine(images_, composition_, alternate_);
  }
  QString key() const override { return QStringLiteral("TarvelComposedTrayIcon"); }
  void virtual_hook(int id, void* data) override {
    if (id == QIconEngine::ScaledPixmapHook) {
      // The size comes in device pixels already; the scale only labels the pixmap.
      auto* arg = static_cast<QIconEngine::ScaledPixmapArgument*>(data);
      QImage image = Render(arg->size);
      image.setDevicePixelRatio(arg->scale);
      arg->pixmap = QPixmap::fromImage(std::move(image));
      return;
    }
    QIconEngine::virtual_hook(id, data);
  }

 private:
  QImage Render(QSize size) const {
    if (size.isEmpty())
      return {};
    if (alternate_) {
      return composition_.alternate ? images_.RenderPicture(*composition_.alternate, size)
                                    : QImage();
    }
    return images_.RenderPrimary(composition_, size);
  }

  // The images outlive every icon: both belong to the tray for the whole run.
  const TrayIconImages& images_;
  TrayIconComposition composition_;
  bool alternate_;
};

}  // namespace

QIcon ProgramIcon(uint32_t number) {
  const QString path = IconPath(number);
  if (!QFileInfo::exists(path))
    return {};
  return QIcon(path);
}

QImage RenderProgramIcon(uint32_t number, QSize size) {
  QSvgRenderer renderer(IconPath(number));
  if (!renderer.isValid() || size.isEmpty())
    return {};
  QImage image = Transparent(size);
  QPainter painter(&image);
  painter.setRenderHint(QPainter::Antialiasing);
  renderer.render(&painter, QRectF(QPointF(0, 0), QSizeF(size)));
  return image;
}

void TrayIconImages::LoadCustomPictures(const QString& folder, OptionFlags& flags) {
  const CustomPictures pictures = tarvel::LoadCustomPictures(folder, kCustomPictureSide);
  drawn_.clear();
  customNoMail_ = pictures.noMails;
  customMail_ = pictures.mails;
  if (pictures.mailsIsIcon)
    flags.set(flag_bits::kCustomTrayPictureIsIcon);
  else
    flags.clear(flag_bits::kCustomTrayPictureIsIcon);
}

CustomTrayPictures TrayIconImages::customPictures() const {
  return {!customNoMail_.isNull(), !customMail_.isNull()};
}

QImage TrayIconImages::RenderPicture(const TrayPicture& picture, QSize size) const {
  const QImage* custom = nullptr;
  switch (picture.source) {
    case TrayPicture::Source::Icon:
      return RenderProgramIcon(picture.icon, size);
    case TrayPicture::Source::CustomMail:
      custom = &customMail_;
      break;
    case TrayPicture::Source::CustomNoMail:
      custom = &customNoMail_;
      break;
  }
  if (custom == nullptr || custom->isNull() || size.isEmpty())
    return {};
  return custom->scaled(size, Qt::IgnoreAspectRatio, Qt::SmoothTransformation)
      .convertToFormat(QImage::Format_ARGB32_Premultiplied);
}

QImage TrayIconImages::RenderPrimary(const TrayIconComposition& composition, QSize size) const {
  for (const Drawn& drawn : drawn_) {
    if (drawn.size == size && drawn.composition == composition)
      return drawn.image;
  }
  QImage image = DrawPrimary(composition, size);
  if (drawn_.size() >= kDrawnKept)
    drawn_.erase(drawn_.begin());
  drawn_.push_back({composition, size, image});
  return image;
}

QImage TrayIconImages::DrawPrimary(const TrayIconComposition& composition, QSize size) const {
  if (composition.digitForm == TrayDigitForm::None)
    return RenderPicture(composition.primary, size);
  // The pictures are drawn onto a clear image, so what they leave open stays see-through on
  // the panel.
  QImage icon = Transparent(size);
  {
    QPainter painter(&icon);
    painter.setRenderHint(QPainter::SmoothPixmapTransform);
    const QImage base = RenderPicture(composition.primary, size);
    if (!base.isNull())
      painter.drawImage(QPoint(0, 0), base);
    if (composition.digitForm == TrayDigitForm::Plain) {
      const QImage overlay = RenderProgramIcon(tray_icons::kDigitOverlay, size);
      if (!overlay.isNull())
        painter.drawImage(QPoint(0, 0), overlay);
    }
  }
  DrawDigit(icon, composition.digitForm, composition.digit);
  return icon;
}

QIcon TrayIconImages::Icon(const TrayIconComposition& composition, bool alternate) const {
  return QIcon(new ComposedIconEngine(*this, composition, alternate));
}

}  // namespace tarvel
