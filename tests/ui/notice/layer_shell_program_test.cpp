// The running program on a wlroots compositor (sway's headless backend) that offers layer
// surfaces: the new-mail popup stands at the corner of the output above the panel, at the
// output's scale, and a click on it acts as on the window system's popup. Seen as the user
// sees it: screenshots of the output (grim) and a pointer of the test's own.
#include <gtest/gtest.h>
#include <linux/input-event-codes.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>
#include <wayland-client.h>

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QImage>

#include <memory>
#include <optional>

#include "tests/support/dovecot_server.h"
#include "tests/ui/notice/wayland_session.h"
#include "wlr-virtual-pointer-unstable-v1-client-protocol.h"

namespace {

using tarvel::testing::WaitUntil;

constexpr int kOutputWidth = 1280;
constexpr int kOutputHeight = 800;
// The desktop's colours: the background and the panel's (sway's bar).
const QColor kBackground(0x30, 0x60, 0x30);
// The popup page's borders: 1 pixel #999999 around, 3 pixels #0072C6 at the top.
const QColor kBorder(0x99, 0x99, 0x99);
const QColor kTopBorder(0x00, 0x72, 0xC6);

bool Near(QRgb pixel, const QColor& colour) {
  constexpr int kTolerance = 8;
  return std::abs(qRed(pixel) - colour.red()) <= kTolerance &&
         std::abs(qGreen(pixel) - colour.green()) <= kTolerance &&
         std::abs(qBlue(pixel) - colour.blue()) <= kTolerance;
}

// Where the popup stands in a screenshot (device pixels), found from its borders: up the
// output's right-most column from the bottom to the first grey border pixel (the popup's
// bottom right corner), on up to the top border's blue, and left along the bottom border.
struct Found {
  QRect rect;
  int topBorder = 0;  // the blue top border's thickness
  int below = 0;      // rows between the popup and the output's bottom (the panel)
};

std::optional<Found> FindPopup(const QImage& shot) {
  const int x = shot.width() - 1;
  int bottom = shot.height() - 1;
  while (bottom >= 0 && !Near(shot.pixel(x, bottom), kBorder))
    --bottom;
  if (bottom < 0)
    return std::nullopt;
  int y = bottom;
  while (y >= 0 && !Near(shot.pixel(x - 2, y), kTopBorder))
    --y;
  if (y < 0)
    return std::nullopt;
  int top = y;
  while (top > 0 && Near(shot.pixel(x - 2, top - 1), kTopBorder))
    --top;
  int left = x;
  while (left > 0 && Near(shot.pixel(left - 1, bottom), kBorder))
    --left;
  Found found;
  found.rect = QRect(QPoint(left, top), QPoint(x, bottom));
  found.topBorder = y - top + 1;
  found.below = shot.height() - 1 - bottom;
  return found;
}

// A pointer device of the test's own (the headless compositor has none): moved to a point
// of the output and clicked with the primary button.
class VirtualPointer {
 public:
  explicit VirtualPointer(const QString& socket) {
    display_ = wl_display_connect(socket.toLocal8Bit().constData());
    if (!display_)
      return;
    wl_registry* registry = wl_display_get_registry(display_);
    static constexpr wl_registry_listener kListener = {
        [](void* data, wl_registry* announcing, uint32_t name, const char* interface, uint32_t) {
          auto* self = static_cast<VirtualPointer*>(data);
          if (std::string_view(interface) == zwlr_virtual_pointer_manager_v1_interface.name)
            self->manager_ = static_cast<zwlr_virtual_pointer_manager_v1*>(
                wl_registry_bind(announcing, name, &zwlr_virtual_pointer_manager_v1_interface, 1));
        },
        [](void*, wl_registry*, uint32_t) {}};
    wl_registry_add_listener(registry, &kListener, this);
    wl_display_roundtrip(display_);
    wl_registry_destroy(registry);
    if (manager_)
      pointer_ = zwlr_virtual_pointer_manager_v1_create_virtual_pointer(manager_, nullptr);
    wl_display_roundtrip(display_);
  }
  ~VirtualPointer() {
    if (pointer_)
      zwlr_virtual_pointer_v1_destroy(pointer_);
    if (manager_)
      zwlr_virtual_pointer_manager_v1_destroy(manager_);
    if (display_)
      wl_display_disconnect(display_);
  }
  bool ready() const { return pointer_ != nullptr; }

  // `at` in the output's logical pixels.
  void MoveTo(QPoint at, QSize output) {
    zwlr_virtual_pointer_v1_motion_absolute(pointer_, Now(), at.x(), at.y(), output.width(),
                                            output.height());
    zwlr_virtual_pointer_v1_frame(pointer_);
    wl_display_roundtrip(display_);
  }
  void Click() {
    for (const auto state : {WL_POINTER_BUTTON_STATE_PRESSED, WL_POINTER_BUTTON_STATE_RELEASED}) {
      zwlr_virtual_pointer_v1_button(pointer_, Now(), BTN_LEFT, state);
      zwlr_virtual_pointer_v1_frame(pointer_);
    }
    wl_display_roundtrip(display_);
  }

 private:
  static uint32_t Now() {
    return static_cast<uint32_t>(QDateTime::currentMSecsSinceEpoch() & 0xFFFFFFFF);
  }
  wl_display* display_ = nullptr;
  zwlr_virtual_pointer_manager_v1* manager_ = nullptr;
  zwlr_virtual_pointer_v1* pointer_ = nullptr;
};

class LayerShellProgramTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const QString config = QString::fromStdString(session_.folder().file("sway.config"));
    QFile file(config);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(QStringLiteral("output HEADLESS-1 resolution %1x%2 position 0 0 scale 1\n"
                              "output * bg %3 solid_color\n"
                              "xwayland disable\n"
                              "bar {\n  position bottom\n  colors {\n    background #000000\n"
                              "  }\n}\n")
                   .arg(kOutputWidth)
                   .arg(kOutputHeight)
                   .arg(kBackground.name())
                   .toUtf8());
    file.close();
    QProcessEnvironment compositor;
    compositor.insert("WLR_BACKENDS", "headless");
    compositor.insert("WLR_LIBINPUT_NO_DEVICES", "1");
    compositor.insert("WLR_RENDERER", "pixman");
    compositor.insert("WLR_HEADLESS_OUTPUTS", "1");
    QStringList command{"sway", "--config", config};
    // sway refuses to run as root: there it runs as nobody, with a runtime folder of its own
    // that the test's programs (root) reach all the same.
    const QString runtime = QString::fromStdString(session_.folder().file("compositor"));
    ASSERT_TRUE(QDir().mkpath(runtime));
    ASSERT_EQ(::chmod(runtime.toLocal8Bit().constData(), 0700), 0);
    if (::geteuid() == 0) {
      const passwd* nobody = ::getpwnam("nobody");
      ASSERT_NE(nobody, nullptr);
      ASSERT_EQ(::chown(runtime.toLocal8Bit().constData(), nobody->pw_uid, nobody->pw_gid), 0);
      ASSERT_EQ(::chmod(session_.folder().path().c_str(), 0711), 0);
      command = QStringList{"setpriv", "--reuid=" + QString::number(nobody->pw_uid),
                            "--regid=" + QString::number(nobody->pw_gid), "--clear-groups"} +
                command;
    }
    compositor.insert("XDG_RUNTIME_DIR", runtime);
    QProcess& sway = session_.Start(command.front(), command.mid(1), compositor);
    // The others find it by its path.
    ASSERT_TRUE(session_.WaitForChosenSocket(sway, runtime))
        << sway.readAllStandardError().toStdString();
    // The seat has a pointer before the program starts, as a desktop has.
    pointer_ = std::make_unique<VirtualPointer>(session_.socket());
    ASSERT_TRUE(pointer_->ready());
    ASSERT_TRUE(session_.StartBus());
    const QStringList ipc =
        QDir(runtime).entryList({QStringLiteral("sway-ipc.*.sock")}, QDir::System);
    ASSERT_EQ(ipc.size(), 1);
    swaySocket_ = runtime + "/" + ipc.front();
    // Whatever the reader launch hands to the desktop stays in the test.
    const QString bin = QString::fromStdString(session_.folder().file("bin"));
    QDir().mkpath(bin);
    opened_ = QString::fromStdString(session_.folder().file("opened.txt"));
    QFile opener(bin + "/xdg-open");
    ASSERT_TRUE(opener.open(QIODevice::WriteOnly));
    opener.write(QStringLiteral("#!/bin/sh\necho \"$@\" >> '%1'\n").arg(opened_).toUtf8());
    opener.close();
    opener.setPermissions(opener.permissions() | QFileDevice::ExeOwner);
    programEnvironment_.insert("PATH", bin + ":" + qEnvironmentVariable("PATH"));
  }

  bool Sway(const QStringList& command) {
    QProcess& swaymsg = session_.Start("swaymsg", QStringList{"-s", swaySocket_} + command);
    return swaymsg.waitForFinished(30'000) && swaymsg.exitCode() == 0;
  }

  QImage Screenshot(const QString& name) {
    const QString path = QString::fromStdString(session_.folder().file(name.toStdString()));
    QProcess& grim = session_.Start("grim", {path});
    if (!grim.waitForFinished(30'000) || grim.exitCode() != 0)
      return {};
    QImage shot(path);
    if (const QString shots = qEnvironmentVariable("TARVEL_SCREENSHOT_DIR"); !shots.isEmpty())
      shot.save(shots + "/" + name);
    return shot;
  }

  // Screenshots until the popup stands whole at the corner (its slide-in over).
  std::optional<Found> WaitForPopup(const QString& name, QImage* shot) {
    std::optional<Found> found;
    std::optional<Found> before;
    WaitUntil([&] {
      *shot = Screenshot(name);
      before = std::exchange(found, FindPopup(*shot));
      return found && before && found->rect == before->rect;
    });
    return found;
  }

  // How often the program opened the readers of the new mail (its trace tells).
  qsizetype ReaderOpenings() const {
    return session_.TraceText().count(QStringLiteral("] OpenReaders"));
  }

  tarvel::testing::WaylandSession session_;
  std::unique_ptr<VirtualPointer> pointer_;
  QString swaySocket_;
  QString opened_;
  QProcessEnvironment programEnvironment_;
};

TEST_F(LayerShellProgramTest, ThePopupStandsAtTheCornerAboveThePanelAtEachScaleAndTakesClicks) {
  tarvel::testing::DovecotServer server;
  ASSERT_TRUE(server.started());
  ::setenv("TARVEL_CA_FILE", server.caFile().c_str(), 1);
  ::setenv("TARVEL_CONNECT_TO", server.connectTo().c_str(), 1);
  ASSERT_TRUE(session_.WriteImapAccount());
  // Lines narrow enough for the popup to stay whole within 75% of the output at scale 2.
  ASSERT_TRUE(session_.WriteSetting("TaskBarWindowWidth", "300", "--number"));
  QProcess& program =
      session_.Start(QStringLiteral(TARVEL_BINARY_DIR_PATH "/bin/tarvel"), {}, programEnvironment_);
  // The first check sees the mailbox as it is; a mail that arrives afterwards is new.
  ASSERT_TRUE(WaitUntil([&] {
    return session_.TraceText().contains(QStringLiteral("] CheckOut"));
  })) << session_.TraceText().toStdString();
  EXPECT_TRUE(session_.TraceText().contains(QStringLiteral("WaylandSessionWithLayerShell")));
  auto deliver = [&](const std::string& subject) {
    const std::string date =
        QDateTime::currentDateTimeUtc().toString(Qt::RFC2822Date).toStdString();
    return server.Deliver("tester", "INBOX",
                          "From: Ann <ann@example.com>\r\nDate: " + date +
                              "\r\nSubject: " + subject + "\r\n\r\nbody\r\n");
  };
  ASSERT_TRUE(deliver("Lunch at the corner"));

  // Scale 1: at the output's right edge, above the panel, whole.
  QImage shot;
  const std::optional<Found> first = WaitForPopup(QStringLiteral("layer-popup-scale1.png"), &shot);
  ASSERT_TRUE(first) << session_.TraceText().toStdString();
  EXPECT_EQ(first->rect.right(), kOutputWidth - 1);
  EXPECT_GT(first->below, 0) << "the panel is kept uncovered";
  EXPECT_TRUE(Near(shot.pixel(shot.width() - 1, shot.height() - 1), Qt::black)) << "the panel";
  EXPECT_EQ(first->topBorder, 3);
  EXPECT_GT(first->rect.width(), 300);
  EXPECT_GT(first->rect.height(), 30);
  EXPECT_TRUE(Near(shot.pixel(first->rect.left() - 2, first->rect.center().y()), kBackground));
  // No desktop notification stands in for it.
  EXPECT_TRUE(session_.Notices().empty());

  // A click on the mail text opens the readers and the popup slides out;
  // clicked twice, it opens the reader once.
  pointer_->MoveTo(first->rect.center(), {kOutputWidth, kOutputHeight});
  pointer_->Click();
  pointer_->Click();
  ASSERT_TRUE(WaitUntil([&] { return ReaderOpenings() > 0; }))
      << session_.TraceText().toStdString();
  ASSERT_TRUE(WaitUntil([&] { return !FindPopup(Screenshot(QStringLiteral("gone.png"))); }));

  // Scale 2: the same popup in logical pixels, drawn with twice the pixels.
  ASSERT_TRUE(Sway({"output", "HEADLESS-1", "scale", "2"}));
  ASSERT_TRUE(deliver("Dinner at the corner"));
  QProcess& check = session_.Start(
      "gdbus", {"call", "--session", "--dest", "com.quorline.Tarvel", "--object-path",
                "/com/quorline/Tarvel", "--method", "com.quorline.Tarvel1.CheckNow"});
  ASSERT_TRUE(check.waitForFinished(30'000));
  const std::optional<Found> second = WaitForPopup(QStringLiteral("layer-popup-scale2.png"), &shot);
  ASSERT_TRUE(second) << session_.TraceText().toStdString();
  EXPECT_EQ(shot.width(), kOutputWidth);
  EXPECT_EQ(second->rect.right(), kOutputWidth - 1);
  EXPECT_GT(second->below, 0);
  EXPECT_EQ(second->topBorder, 6);
  EXPECT_NEAR(second->rect.width(), 2 * first->rect.width(), 2);
  EXPECT_NEAR(second->rect.height(), 2 * first->rect.height(), 4);
  EXPECT_EQ(ReaderOpenings(), 1);

  QFile status(QStringLiteral("/proc/%1/status").arg(program.processId()));
  if (status.open(QIODevice::ReadOnly)) {
    for (const QByteArray& line : status.readAll().split('\n')) {
      if (line.startsWith("VmRSS"))
        std::printf("program after a check and a popup under sway: %s\n", line.constData());
    }
  }
  session_.End(program);
  EXPECT_EQ(program.exitStatus(), QProcess::NormalExit);
  EXPECT_EQ(program.exitCode(), 0);
  ::unsetenv("TARVEL_CA_FILE");
  ::unsetenv("TARVEL_CONNECT_TO");
}

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication application(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
