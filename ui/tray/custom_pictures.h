#pragma once

#include <QImage>
#include <QString>

namespace tarvel {

// The user's own tray pictures from the program's folder.
struct CustomPictures {
  QImage noMails;  // null when there is no "PictureNoMails.*"
  QImage mails;    // null when there is no "PictureMails.*"
  // "PictureMails" was an icon file: the tray shows it as it is, without the count on it.
  bool mailsIsIcon = false;
};

// Loads the first "PictureNoMails.*" and the first "PictureMails.*" (letter case ignored, in
// name order) from `folder` at `iconSize` pixels square: ".ico" files as icons, taking the
// image that fits the size best; other image files decoded and scaled into the square,
// keeping their proportions, as 32-bit images. Unreadable files give null images.
CustomPictures LoadCustomPictures(const QString& folder, int iconSize);

}  // namespace tarvel
