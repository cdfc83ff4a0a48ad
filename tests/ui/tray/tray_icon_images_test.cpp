// The tray's pictures as Qt draws them: every icon drawing, and the composed icon with its
// digit at a small and a HiDPI tray size.
#include "ui/tray/tray_icon_images.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QPainter>
#include <QPixmap>

#include <set>

#include "accounts/option_flags.h"

namespace tarvel {
namespace {

// Every icon number the program uses.
const uint32_t kIconNumbers[] = {
    101, 105, 111, 112, 113, 114, 115, 116, 117, 118, 119, 120, 122, 123, 124, 125,
    126, 131, 132, 134, 136, 137, 138, 139, 140, 141, 146, 147, 149, 150, 152, 154,
    155, 156, 158, 173, 175, 181, 183, 184, 187, 197, 200, 201, 204, 208, 209, 210,
    211, 212, 213, 215, 216, 218, 219, 220, 222, 223, 224, 225, 228, 229,
};

const QRgb kWhite = qRgba(255, 255, 255, 255);
const QRgb kKey = qRgb(0xFF, 0x52, 0x1C);

// Saves an image for a person to look at when TARVEL_IMAGE_DIR names a folder.
void Keep(const QImage& image, const QString& name) {
  const QString folder = qEnvironmentVariable("TARVEL_IMAGE_DIR");
  if (folder.isEmpty())
    return;
  image.save(QDir(folder).filePath(name + ".png"));
  if (image.width() > 64)
    return;
  // A magnified copy shows every pixel.
  const int zoom = std::max(1, 256 / std::max(image.width(), 1));
  image.scaled(image.size() * zoom, Qt::IgnoreAspectRatio, Qt::FastTransformation)
      .save(QDir(folder).filePath(name + "-zoom.png"));
}

TEST(ProgramIcons, EveryNumberHasItsOwnDrawing) {
  std::set<QByteArray> seen;
  for (const uint32_t number : kIconNumbers) {
    SCOPED_TRACE(number);
    const QImage image = RenderProgramIcon(number, {22, 22});
    ASSERT_FALSE(image.isNull());
    int covered = 0;
    for (int y = 0; y < image.height(); ++y) {
      for (int x = 0; x < image.width(); ++x)
        covered += qAlpha(image.pixel(x, y)) > 0 ? 1 : 0;
    }
    EXPECT_GT(covered, 22 * 22 / 8) << "the drawing is nearly empty";
    const QByteArray bytes(reinterpret_cast<const char*>(image.constBits()),
                           static_cast<int>(image.sizeInBytes()));
    EXPECT_TRUE(seen.insert(bytes).second) << "looks like another icon";
    EXPECT_FALSE(ProgramIcon(number).isNull());
  }
  // A sheet of every drawing at 16, 24 and 48 px, to look at.
  const int count = static_cast<int>(std::size(kIconNumbers));
  QImage sheet(count * 50, 100, QImage::Format_ARGB32_Premultiplied);
  sheet.fill(qRgb(60, 60, 60));
  {
    QPainter painter(&sheet);
    for (int i = 0; i < count; ++i) {
      painter.drawImage(i * 50, 0, RenderProgramIcon(kIconNumbers[i], {16, 16}));
      painter.drawImage(i * 50 + 20, 0, RenderProgramIcon(kIconNumbers[i], {24, 24}));
      painter.drawImage(i * 50, 30, RenderProgramIcon(kIconNumbers[i], {48, 48}));
      painter.setPen(Qt::white);
      painter.drawText(i * 50, 95, QString::number(kIconNumbers[i]));
    }
  }
  Keep(sheet.copy(0, 0, 50 * 31, 100), "icon-sheet-1");
  Keep(sheet.copy(50 * 31, 0, 50 * (count - 31), 100), "icon-sheet-2");
  EXPECT_TRUE(RenderProgramIcon(100, {22, 22}).isNull());
  EXPECT_TRUE(ProgramIcon(100).isNull());
}

struct DigitCase {
  const char* name;
  uint64_t flags;
  int size;
};

void PrintTo(const DigitCase& row, std::ostream* out) {
  *out << row.name << " at " << row.size << " px";
}

class ComposedDigit : public ::testing::TestWithParam<DigitCase> {};

TEST_P(ComposedDigit, WhiteSharpDigitOverTheBaseAndNoKeyColourLeft) {
  const DigitCase& row = GetParam();
  TrayIconImages images;
  const TrayIconComposition composition =
      ComposeTrayIcon(3, CheckStatus::Success, row.flags, images.customPictures());
  ASSERT_NE(composition.digitForm, TrayDigitForm::None);
  const QSize size(row.size, row.size);
  const QImage icon = images.RenderPrimary(composition, size);
  ASSERT_EQ(icon.size(), size);
  Keep(icon, QString("digit-%1-%2").arg(row.name).arg(row.size));

  // The same composition without its digit: what the digit is drawn over.
  TrayIconComposition bare = composition;
  bare.digitForm = TrayDigitForm::None;
  QImage base = images.RenderPicture(bare.primary, size);
  if (composition.digitForm == TrayDigitForm::Plain) {
    QPainter painter(&base);
    painter.drawImage(0, 0, RenderProgramIcon(tray_icons::kDigitOverlay, size));
  }
  const TrayDigitLayout layout = DigitLayout(composition.digitForm, row.size, row.size);
  int digitPixels = 0;
  for (int y = 0; y < row.size; ++y) {
    for (int x = 0; x < row.size; ++x) {
      const QRgb pixel = icon.pixel(x, y);
      ASSERT_NE(pixel, kKey) << x << "," << y;
      if (pixel == base.pixel(x, y))
        continue;
      // Without anti-aliasing the digit has no edge shades: it is white or it is not there.
      ASSERT_EQ(pixel, kWhite) << x << "," << y;
      EXPECT_TRUE(x >= layout.left && x < layout.right && y >= layout.top && y < layout.bottom)
          << "digit outside its rectangle at " << x << "," << y;
      ++digitPixels;
      // Behind the digit lies an opaque, dark plate or badge, so it can be read.
      const QRgb under = base.pixel(x, y);
      EXPECT_EQ(qAlpha(under), 255) << x << "," << y;
      EXPECT_LT(qGray(under), 160) << x << "," << y;
    }
  }
  // A "3" covers a fair part of its rectangle at any size.
  const int area = (layout.right - layout.left) * (layout.bottom - layout.top);
  EXPECT_GT(digitPixels, area / 30) << "digit too faint";
  EXPECT_LT(digitPixels, area / 2) << "not a digit";
}

INSTANTIATE_TEST_SUITE_P(
    TrayIcon, ComposedDigit,
    ::testing::Values(DigitCase{"plain", flag_bits::kDefault, 22},
                      DigitCase{"plain", flag_bits::kDefault, 44},
                      DigitCase{"plain", flag_bits::kTrayGMail, 16},
                      DigitCase{"badge", flag_bits::kDefault | flag_bits::kTrayCountAsBadge, 22},
                      DigitCase{"badge", flag_bits::kDefault | flag_bits::kTrayCountAsBadge, 44}),
    [](const ::testing::TestParamInfo<DigitCase>& row) {
      return std::string(row.param.name) + std::to_string(row.param.size);
    });

TEST(ComposedIcon, DrawsItselfAtTheRequestedDevicePixels) {
  TrayIconImages images;
  const TrayIconComposition composition =
      ComposeTrayIcon(7, CheckStatus::Success, flag_bits::kDefault, images.customPictures());
  const QIcon icon = images.Icon(composition, false);
  // The tray asks for its icon size at the screen's pixel ratio: 22 logical pixels at 2x.
  const QPixmap hiDpi = icon.pixmap(QSize(22, 22), 2.0);
  EXPECT_EQ(hiDpi.size(), QSize(44, 44));
  EXPECT_EQ(hiDpi.toImage().convertToFormat(QImage::Format_ARGB32_Premultiplied),
            images.RenderPrimary(composition, {44, 44}));
  Keep(hiDpi.toImage(), "icon-7-at-2x");
  Keep(icon.pixmap(QSize(22, 22), 1.0).toImage(), "icon-7-at-1x");
  const QIcon alternate = images.Icon(composition, true);
  EXPECT_EQ(alternate.pixmap(QSize(22, 22), 1.0)
                .toImage()
                .convertToFormat(QImage::Format_ARGB32_Premultiplied),
            RenderProgramIcon(116, {22, 22}));
}

TEST(CustomPictures, FoundByNameAndAnIcoMailPictureTakesTheDigit) {
  const QString folder =
      QDir::temp().filePath(QString("tarvel-pictures-%1").arg(QCoreApplication::applicationPid()));
  QDir(folder).removeRecursively();
  ASSERT_TRUE(QDir().mkpath(folder));
  QImage green(32, 32, QImage::Format_ARGB32);
  green.fill(qRgb(0, 200, 0));
  ASSERT_TRUE(green.save(folder + "/PictureNoMails.png"));
  QImage blue(48, 48, QImage::Format_ARGB32);
  blue.fill(qRgb(0, 0, 200));
  ASSERT_TRUE(blue.save(folder + "/PictureMails.ico"));
  // Not an image at all: ignored, never a crash.
  QFile broken(folder + "/PictureMails.txt");
  ASSERT_TRUE(broken.open(QIODevice::WriteOnly));
  broken.write("not a picture");
  broken.close();

  OptionFlags flags;
  TrayIconImages images;
  images.LoadCustomPictures(folder + "/", flags);
  EXPECT_TRUE(images.customPictures().mail);
  EXPECT_TRUE(images.customPictures().noMail);
  EXPECT_TRUE(flags.any(flag_bits::kCustomTrayPictureIsIcon));
  const TrayIconComposition composition =
      ComposeTrayIcon(2, CheckStatus::Success, flags.load(), images.customPictures());
  EXPECT_EQ(composition.digitForm, TrayDigitForm::Plain);
  const QImage drawn = images.RenderPrimary(composition, {22, 22});
  EXPECT_EQ(drawn.pixel(1, 1), qRgb(0, 0, 200));  // outside the plate: the user's picture
  EXPECT_EQ(images.RenderPicture(TrayPicture::CustomNoMail(), {22, 22}).pixel(5, 5),
            qRgb(0, 200, 0));

  // Only a broken file: no picture, and the digit rule sees none.
  QFile::remove(folder + "/PictureMails.ico");
  QFile::remove(folder + "/PictureNoMails.png");
  images.LoadCustomPictures(folder + "/", flags);
  EXPECT_FALSE(images.customPictures().mail);
  EXPECT_FALSE(images.customPictures().noMail);
  EXPECT_FALSE(flags.any(flag_bits::kCustomTrayPictureIsIcon));
  QDir(folder).removeRecursively();
}

}  // namespace
}  // namespace tarvel

int main(int argc, char** argv) {
  // Drawing needs no screen; test discovery runs without one.
  if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM"))
    qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication application(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
