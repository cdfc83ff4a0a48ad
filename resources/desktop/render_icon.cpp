// Build tool: renders an SVG icon into square PNG files of the given sizes, for the icon
// theme's fixed-size folders: render_icon SVG OUTPUT_PATTERN SIZE... where the pattern holds
// "%1" for the size ("icons/%1x%1/tarvel.png").
#include <QImage>
#include <QPainter>
#include <QString>
#include <QSvgRenderer>

#include <cstdio>

int main(int argc, char* argv[]) {
  if (argc < 4) {
    std::fputs("usage: render_icon SVG OUTPUT_PATTERN SIZE...\n", stderr);
    return 2;
  }
  QSvgRenderer renderer(QString::fromLocal8Bit(argv[1]));
  if (!renderer.isValid()) {
    std::fprintf(stderr, "render_icon: cannot read %s\n", argv[1]);
    return 1;
  }
  const QString pattern = QString::fromLocal8Bit(argv[2]);
  for (int index = 3; index < argc; ++index) {
    bool ok = false;
    const int size = QString::fromLocal8Bit(argv[index]).toInt(&ok);
    if (!ok || size < 1 || size > 1024) {
      std::fprintf(stderr, "render_icon: bad size %s\n", argv[index]);
      return 2;
    }
    QImage image(size, size, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    {
      QPainter painter(&image);
      painter.setRenderHint(QPainter::Antialiasing);
      renderer.render(&painter);
    }
    const QString output = pattern.arg(size);
    if (!image.save(output, "PNG")) {
      std::fprintf(stderr, "render_icon: cannot write %s\n", qPrintable(output));
      return 1;
    }
  }
  return 0;
}
