#include "ui/tray/custom_pictures.h"

#include <QDir>
#include <QIcon>
#include <QImageReader>
#include <QPainter>
#include <QPixmap>

namespace tarvel {

namespace {

// Pictures larger than this are decoded scaled down (a tray picture is a few dozen pixels),
// and no decoder may take more memory than the limit, whatever the file claims.
constexpr int kMaximumPictureSide = 4096;
constexpr int kPictureAllocationLimitMb = 16;

QString FirstMatch(const QDir& folder, const QString& baseName) {
  const QStringList matches =
      folder.entryList({baseName + QStringLiteral(".*")}, QDir::Files | QDir::Readable,
                       QDir::Name | QDir::IgnoreCase);
  return matches.isEmpty() ? QString() : folder.filePath(matches.constFirst());
}

QImage LoadIcon(const QString& path, int size) {
  // Qt's icon engine reads every image of the file and picks the best fit for the size.
  const QIcon icon(path);
  if (icon.isNull())
    return {};
  return icon.pixmap(QSize(size, size))
      .toImage()
      .convertToFormat(QImage::Format_ARGB32_Premultiplied);
}

QImage LoadScaled(const QString& path, int size) {
  QImageReader reader(path);
  reader.setAllocationLimit(kPictureAllocationLimitMb);
  const QSize original = reader.size();
  if (original.isValid() &&
      (original.width() > kMaximumPictureSide || original.height() > kMaximumPictureSide)) {
    reader.setScaledSize(original.scaled(size, size, Qt::KeepAspectRatio));
  }
  const QImage image = reader.read();
  if (image.isNull())
    return {};
  const QImage scaled = image.scaled(size, size, Qt::KeepAspectRatio, Qt::SmoothTransformation);
  QImage square(size, size, QImage::Format_ARGB32_Premultiplied);
  square.fill(Qt::transparent);
  QPainter painter(&square);
  painter.drawImage((size - scaled.width()) / 2, (size - scaled.height()) / 2, scaled);
  return square;
}

QImage LoadPicture(const QString& path, int size, bool* isIcon) {
  *isIcon = false;
  if (path.isEmpty() || size <= 0)
    return {};
  if (path.endsWith(QStringLiteral(".ico"), Qt::CaseInsensitive)) {
    QImage image = LoadIcon(path, size);
    *isIcon = !image.isNull();
    return image;
  }
  return LoadScaled(path, size);
}

}  // namespace

CustomPictures LoadCustomPictures(const QString& folder, int iconSize) {
  CustomPictures pictures;
  const QDir directory(folder);
  bool ignored = false;
  pictures.noMails =
      LoadPicture(FirstMatch(directory, QStringLiteral("PictureNoMails")), iconSize, &ignored);
  pictures.mails = LoadPicture(FirstMatch(directory, QStringLiteral("PictureMails")), iconSize,
                               &pictures.mailsIsIcon);
  return pictures;
}

}  // namespace tarvel
