#pragma once

#include <litehtml/litehtml.h>

#include <QFont>
#include <QFontMetrics>
#include <QImage>
#include <QRectF>
#include <QString>

#include <map>
#include <memory>
#include <string>
#include <vector>

class QPainter;
class QScreen;
class QSvgRenderer;

namespace tarvel {

// The pixels per inch that the pages' CSS units assume.
inline constexpr int kCssDpi = 96;

// A screen's DPI factor (its logical DPI / kCssDpi); 1 without a screen.
double DpiFactorOf(const QScreen* screen);

// The fonts the pages use: a CSS family list ("Lucida Sans Unicode",Verdana,sans-serif) at a
// size in pixels; the first installed family is taken, "sans-serif" and "serif" map to the
// platform's generic families.
QFont HtmlFont(const QString& familyList, int pixelSize, int weight, bool italic);

// litehtml's drawing and measuring callbacks over QPainter. Images come only from the
// program's Qt resources ("res://<program>/<NAME>" and "res://<program>/#<number>"); any other
// address (http, file, data...) gives no image and is never fetched.
class HtmlContainer : public litehtml::document_container {
 public:
  HtmlContainer();
  virtual ~HtmlContainer();
  HtmlContainer(const HtmlContainer&) = delete;
  HtmlContainer& operator=(const HtmlContainer&) = delete;

  // The screen's DPI factor (logical DPI / 96): point sizes grow with it.
  void setDpiFactor(double factor) { dpiFactor_ = factor > 0 ? factor : 1.0; }
  // The painter of the draw() in progress; clipping calls carry no painter of their own.
  void setPainter(QPainter* painter) { painter_ = painter; }
  void setClientSize(int width, int height) {
    clientWidth_ = width;
    clientHeight_ = height;
  }
  // Images that were asked for, resource or not: tests use this to see what a page wanted.
  int imageRequests() const { return imageRequests_; }

  // The Qt resource path of an image address; empty when it is not one of ours.
  static QString ResourcePath(const QString& source);

  litehtml::uint_ptr create_font(const litehtml::tchar_t* faceName, int size, int weight,
                                 litehtml::font_style italic, unsigned int decoration,
                                 litehtml::font_metrics* fm) override;
  void delete_font(litehtml::uint_ptr hFont) override;
  int text_width(const litehtml::tchar_t* text, litehtml::uint_ptr hFont) override;
  void draw_text(litehtml::uint_ptr hdc, const litehtml::tchar_t* text, litehtml::uint_ptr hFont,
                 litehtml::web_color color, const litehtml::position& pos) override;
  int pt_to_px(int pt) const override;
  int get_default_font_size() const override;
  const litehtml::tchar_t* get_default_font_name() const override { return "sans-serif"; }
  void draw_list_marker(litehtml::uint_ptr hdc, const litehtml::list_marker& marker) override;
  void load_image(const litehtml::tchar_t* src, const litehtml::tchar_t* baseurl,
                  bool redraw_on_ready) override;
  void get_image_size(const litehtml::tchar_t* src, const litehtml::tchar_t* baseurl,
                      litehtml::size& sz) override;
  void draw_background(litehtml::uint_ptr hdc, const litehtml::background_paint& bg) override;
  void draw_borders(litehtml::uint_ptr hdc, const litehtml::borders& borders,
                    const litehtml::position& draw_pos, bool root) override;
  void set_caption(const litehtml::tchar_t*) override {}
  void set_base_url(const litehtml::tchar_t*) override {}
  void link(const std::shared_ptr<litehtml::document>&, const litehtml::element::ptr&) override {}
  void on_anchor_click(const litehtml::tchar_t*, const litehtml::element::ptr&) override {}
  void set_cursor(const litehtml::tchar_t*) override {}
  void transform_text(litehtml::tstring& text, litehtml::text_transform tt) override;
  void import_css(litehtml::tstring& text, const litehtml::tstring&, litehtml::tstring&) override {
    text.clear();
  }
  void set_clip(const litehtml::position& pos, const litehtml::border_radiuses& bdr_radius,
                bool valid_x, bool valid_y) override;
  void del_clip() override;
  void get_client_rect(litehtml::position& client) const override;
  std::shared_ptr<litehtml::element> create_element(
      const litehtml::tchar_t*, const litehtml::string_map&,
      const std::shared_ptr<litehtml::document>&) override {
    return nullptr;
  }
  void get_media_features(litehtml::media_features& media) const override;
  void get_language(litehtml::tstring& language, litehtml::tstring& culture) const override {
    language = "en";
    culture.clear();
  }

 private:
  struct Image;
  Image* FindImage(const std::string& source);

  QPainter* painter_ = nullptr;
  double dpiFactor_ = 1.0;
  int clientWidth_ = 0;
  int clientHeight_ = 0;
  // The clip rectangles of the boxes being drawn, innermost last (each already cut by the
  // ones around it).
  std::vector<QRectF> clips_;
  int imageRequests_ = 0;
  std::map<std::string, std::unique_ptr<Image>> images_;
};

}  // namespace tarvel
