#pragma once

#include <QIcon>
#include <QImage>
#include <QSize>
#include <QString>

#include <cstdint>
#include <vector>

#include "ui/tray/tray_icon_composer.h"

namespace tarvel {

class OptionFlags;

// The program's own icon.
inline constexpr uint32_t kApplicationIcon = 101;

// One of the program's icon drawings by its number; a null icon for unknown numbers.
QIcon ProgramIcon(uint32_t number);
// The drawing rendered at exactly `size` device pixels; a null image for unknown numbers.
QImage RenderProgramIcon(uint32_t number, QSize size);

// The pictures the tray composes from: the icon drawings and the user's custom pictures, and
// the composition drawn at any size. Used on the GUI thread only.
class TrayIconImages {
 public:
  // Looks in `folder` (ending with "/") for the first "PictureNoMails.*" and
  // "PictureMails.*" and keeps the pictures that decode. A mail picture that is an ".ico"
  // file sets the option word's run-time bit that lets the digit be drawn on it.
  void LoadCustomPictures(const QString& folder, OptionFlags& flags);
  CustomTrayPictures customPictures() const;

  // The picture alone at `size`; a null image when it cannot be drawn.
  QImage RenderPicture(const TrayPicture& picture, QSize size) const;
  // The primary picture of the composition with its digit, at `size` device pixels. The last
  // few images are kept: a notice asks for the same picture as the one before.
  QImage RenderPrimary(const TrayIconComposition& composition, QSize size) const;
  // The composition's primary (or alternate) picture as an icon that draws itself afresh at
  // every size it is asked for, so the digit is sharp at the tray's size and pixel ratio.
  QIcon Icon(const TrayIconComposition& composition, bool alternate) const;

 private:
  QImage DrawPrimary(const TrayIconComposition& composition, QSize size) const;

  struct Drawn {
    TrayIconComposition composition;
    QSize size;
    QImage image;
  };
  static constexpr std::size_t kDrawnKept = 8;

  QImage customMail_;
  QImage customNoMail_;
  mutable std::vector<Drawn> drawn_;  // newest last
};

}  // namespace tarvel
