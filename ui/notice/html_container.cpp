#include "ui/notice/html_container.h"

#include <QFile>
#include <QFontDatabase>
#include <QPainter>
#include <QPolygon>
#include <QRegularExpression>
#include <QScreen>
#include <QSvgRenderer>

#include <cmath>

namespace tarvel {

namespace {

constexpr int kDefaultPointSize = 10;
constexpr int kPointsPerInch = 72;

struct Font {
  QFont font;
  QFontMetrics metrics;
};

Font* FontOf(litehtml::uint_ptr handle) {
  return reinterpret_cast<Font*>(handle);
}

QColor ColorOf(const litehtml::web_color& color) {
  return QColor(color.red, color.green, color.blue, color.alpha);
}

QRectF RectOf(const litehtml::position& position) {
  return QRectF(position.x, position.y, position.width, position.height);
}

}  // namespace

double DpiFactorOf(const QScreen* screen) {
  if (!screen)
    return 1.0;
  const double factor = screen->logicalDotsPerInch() / kCssDpi;
  return factor > 0 ? factor : 1.0;
}

// An image of the program's resources: vector images are drawn at the target's resolution.
struct HtmlContainer::Image {
  std::unique_ptr<QSvgRenderer> vector;
  QImage raster;
  QSize size;
};

QFont HtmlFont(const QString& familyList, int pixelSize, int weight, bool italic) {
  QStringList families;
  QFont::StyleHint hint = QFont::AnyStyle;
  for (QString family : familyList.split(u',', Qt::SkipEmptyParts)) {
    family = family.trimmed();
    if (family.size() >= 2 && (family.startsWith(u'"') || family.startsWith(u'\'')))
      family = family.mid(1, family.size() - 2);
    if (family.compare(u"sans-serif", Qt::CaseInsensitive) == 0) {
      if (hint == QFont::AnyStyle)
        hint = QFont::SansSerif;
      family = QFontDatabase::systemFont(QFontDatabase::GeneralFont).family();
    } else if (family.compare(u"serif", Qt::CaseInsensitive) == 0) {
      if (hint == QFont::AnyStyle)
        hint = QFont::Serif;
      family = u"serif"_qs;
    } else if (family.compare(u"monospace", Qt::CaseInsensitive) == 0) {
      if (hint == QFont::AnyStyle)
        hint = QFont::Monospace;
      family = QFontDatabase::systemFont(QFontDatabase::FixedFont).family();
    }
    if (!family.isEmpty())
      families << family;
  }
  QFont font;
  if (!families.isEmpty())
    font.setFamilies(families);
  font.setStyleHint(hint);
  font.setPixelSize(std::max(pixelSize, 1));
  font.setWeight(static_cast<QFont::Weight>(std::clamp(weight, 1, 1000)));
  font.setItalic(italic);
  return font;
}

HtmlContainer::HtmlContainer() = default;
HtmlContainer::~HtmlContainer() = default;

QString HtmlContainer::ResourcePath(const QString& source) {
  // res://<program>/<NAME> or res://<program>/#<number>; the program's name does not matter.
  static const QRegularExpression kAddress(u"^res://[^/]+/#?([A-Za-z0-9_]{1,64})$"_qs,
                                           QRegularExpression::CaseInsensitiveOption);
  const QRegularExpressionMatch match = kAddress.match(source);
  if (!match.hasMatch())
    return {};
  const QString name = match.captured(1);
  for (const char* extension : {".svg", ".png", ".gif"}) {
    const QString path = u":/html/"_qs + name + QLatin1String(extension);
    if (QFile::exists(path))
      return path;
  }
  return {};
}

HtmlContainer::Image* HtmlContainer::FindImage(const std::string& source) {
  auto found = images_.find(source);
  if (found != images_.end())
    return found->second.get();
  ++imageRequests_;
  auto image = std::make_unique<Image>();
  const QString path = ResourcePath(QString::fromStdString(source));
  if (path.endsWith(u".svg"_qs)) {
    auto renderer = std::make_unique<QSvgRenderer>(path);
    if (renderer->isValid()) {
      image->size = renderer->defaultSize();
      image->vector = std::move(renderer);
    }
  } else if (!path.isEmpty()) {
    image->raster.load(path);
    image->size = image->raster.size();
  }
  // Misses are kept too: an address is looked at once per page.
  return images_.emplace(source, std::move(image)).first->second.get();
}

litehtml::uint_ptr HtmlContainer::create_font(const litehtml::tchar_t* faceName, int size,
                                              int weight, litehtml::font_style italic,
                                              unsigned int decoration, litehtml::font_metrics* fm) {
  QFont font = HtmlFont(QString::fromUtf8(faceName ? faceName : ""), size, weight,
                        italic == litehtml::fontStyleItalic);
  font.setUnderline(decoration & litehtml::font_decoration_underline);
  font.setStrikeOut(decoration & litehtml::font_decoration_linethrough);
  font.setOverline(decoration & litehtml::font_decoration_overline);
  auto* handle = new Font{font, QFontMetrics(font)};  // owned by the document: delete_font
  if (fm) {
    fm->ascent = handle->metrics.ascent();
    fm->descent = handle->metrics.descent();
    fm->height = fm->ascent + fm->descent;
    fm->x_height = handle->metrics.xHeight();
    fm->draw_spaces = italic == litehtml::fontStyleItalic || decoration != 0;
  }
  return reinterpret_cast<litehtml::uint_ptr>(handle);
}

void HtmlContainer::delete_font(litehtml::uint_ptr hFont) {
  delete FontOf(hFont);
}

int HtmlContainer::text_width(const litehtml::tchar_t* text, litehtml::uint_ptr hFont) {
  if (!text || !hFont)
    return 0;
  return FontOf(hFont)->metrics.horizontalAdvance(QString::fromUtf8(text));
}

void HtmlContainer::draw_text(litehtml::uint_ptr, const litehtml::tchar_t* text,
                              litehtml::uint_ptr hFont, litehtml::web_color color,
                              const litehtml::position& pos) {
  if (!painter_ || !text || !hFont)
    return;
  const Font* font = FontOf(hFont);
  QString run = QString::fromUtf8(text);
  // Our pages clip only one-line boxes whose text is cut with an ellipsis (overflow hidden,
  // text-overflow ellipsis), which litehtml does not draw: a word that crosses the clip's right
  // edge is cut there with one, and words beyond it are not drawn.
  if (!clips_.empty()) {
    const double right = clips_.back().right();
    if (pos.x >= right)
      return;
    if (pos.x + font->metrics.horizontalAdvance(run) > right)
      run = font->metrics.elidedText(run, Qt::ElideRight, static_cast<int>(right - pos.x));
  }
  painter_->setFont(font->font);
  painter_->setPen(ColorOf(color));
  painter_->drawText(QPointF(pos.x, pos.bottom() - font->metrics.descent()), run);
}

int HtmlContainer::pt_to_px(int pt) const {
  return static_cast<int>(
      std::lround(pt * kCssDpi * dpiFactor_ / static_cast<double>(kPointsPerInch)));
}

int HtmlContainer::get_default_font_size() const {
  return pt_to_px(kDefaultPointSize);
}

void HtmlContainer::draw_list_marker(litehtml::uint_ptr, const litehtml::list_marker& marker) {
  if (!painter_)
    return;
  painter_->save();
  painter_->setRenderHint(QPainter::Antialiasing);
  painter_->setPen(Qt::NoPen);
  painter_->setBrush(ColorOf(marker.color));
  painter_->drawEllipse(RectOf(marker.pos));
  painter_->restore();
}

void HtmlContainer::load_image(const litehtml::tchar_t* src, const litehtml::tchar_t*, bool) {
  if (src)
    FindImage(src);
}

void HtmlContainer::get_image_size(const litehtml::tchar_t* src, const litehtml::tchar_t*,
                                   litehtml::size& sz) {
  sz.width = 0;
  sz.height = 0;
  if (!src)
    return;
  const Image* image = FindImage(src);
  sz.width = image->size.width();
  sz.height = image->size.height();
}

void HtmlContainer::draw_background(litehtml::uint_ptr, const litehtml::background_paint& bg) {
  if (!painter_)
    return;
  painter_->save();
  painter_->setClipRect(RectOf(bg.clip_box), Qt::IntersectClip);
  if (bg.color.alpha > 0)
    painter_->fillRect(RectOf(bg.clip_box), ColorOf(bg.color));
  if (!bg.image.empty()) {
    const Image* image = FindImage(bg.image);
    const QRectF target(bg.position_x, bg.position_y, bg.image_size.width, bg.image_size.height);
    if (target.width() > 0 && target.height() > 0 && (image->vector || !image->raster.isNull())) {
      painter_->setRenderHint(QPainter::SmoothPixmapTransform);
      // Backgrounds that repeat are drawn once: the pages use images as pictures only.
      if (image->vector)
        image->vector->render(painter_, target);
      else
        painter_->drawImage(target, image->raster);
    }
  }
  painter_->restore();
}

void HtmlContainer::draw_borders(litehtml::uint_ptr, const litehtml::borders& borders,
                                 const litehtml::position& draw_pos, bool) {
  if (!painter_)
    return;
  const int x = draw_pos.x;
  const int y = draw_pos.y;
  const int r = draw_pos.right();
  const int b = draw_pos.bottom();
  const int lw = borders.left.width;
  const int tw = borders.top.width;
  const int rw = borders.right.width;
  const int bw = borders.bottom.width;
  const auto visible = [](const litehtml::border& border) {
    return border.width > 0 && border.style > litehtml::border_style_hidden;
  };
  painter_->save();
  painter_->setPen(Qt::NoPen);
  // Each side is a trapezoid, so corners split diagonally between two colours.
  if (visible(borders.top)) {
    painter_->setBrush(ColorOf(borders.top.color));
    painter_->drawPolygon(QPolygon({{x, y}, {r, y}, {r - rw, y + tw}, {x + lw, y + tw}}));
  }
  if (visible(borders.bottom)) {
    painter_->setBrush(ColorOf(borders.bottom.color));
    painter_->drawPolygon(QPolygon({{x, b}, {r, b}, {r - rw, b - bw}, {x + lw, b - bw}}));
  }
  if (visible(borders.left)) {
    painter_->setBrush(ColorOf(borders.left.color));
    painter_->drawPolygon(QPolygon({{x, y}, {x + lw, y + tw}, {x + lw, b - bw}, {x, b}}));
  }
  if (visible(borders.right)) {
    painter_->setBrush(ColorOf(borders.right.color));
    painter_->drawPolygon(QPolygon({{r, y}, {r - rw, y + tw}, {r - rw, b - bw}, {r, b}}));
  }
  painter_->restore();
}

void HtmlContainer::transform_text(litehtml::tstring& text, litehtml::text_transform tt) {
  QString value = QString::fromUtf8(text.c_str());
  switch (tt) {
    case litehtml::text_transform_uppercase:
      value = value.toUpper();
      break;
    case litehtml::text_transform_lowercase:
      value = value.toLower();
      break;
    case litehtml::text_transform_capitalize:
      if (!value.isEmpty())
        value[0] = value[0].toUpper();
      break;
    default:
      return;
  }
  text = value.toStdString();
}

void HtmlContainer::set_clip(const litehtml::position& pos, const litehtml::border_radiuses&, bool,
                             bool) {
  if (!painter_)
    return;
  painter_->save();
  painter_->setClipRect(RectOf(pos), Qt::IntersectClip);
  clips_.push_back(clips_.empty() ? RectOf(pos) : clips_.back().intersected(RectOf(pos)));
}

void HtmlContainer::del_clip() {
  if (!painter_ || clips_.empty())
    return;
  clips_.pop_back();
  painter_->restore();
}

void HtmlContainer::get_client_rect(litehtml::position& client) const {
  client = litehtml::position(0, 0, clientWidth_, clientHeight_);
}

void HtmlContainer::get_media_features(litehtml::media_features& media) const {
  media.type = litehtml::media_type_screen;
  media.width = clientWidth_;
  media.height = clientHeight_;
  media.device_width = clientWidth_;
  media.device_height = clientHeight_;
  media.color = 8;
  media.monochrome = 0;
  media.color_index = 256;
  media.resolution = static_cast<int>(kCssDpi * dpiFactor_);
}

}  // namespace tarvel
