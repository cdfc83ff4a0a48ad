#include <gtest/gtest.h>

#include <QtTest/qtestspontaneevent.h>
#include <QApplication>
#include <QFile>
#include <QScreen>
#include <QTest>
#include <QWindow>

#include <thread>
#include <vector>

#include "accounts/account_type.h"
#include "accounts/option_flags.h"
#include "accounts/settings_store.h"
#include "mail/mail_item.h"
#include "platform/version.h"
#include "tests/support/temp_folder.h"
#include "ui/mail_list/mail_list_notifier.h"
#include "ui/mail_list/mail_list_window.h"

namespace tarvel {
namespace {

constexpr int kWaitMs = 5000;

// The close the window system delivers when the user closes the window.
void CloseAsTheUser(QWidget& window) {
  QCloseEvent event;
  QSpontaneKeyEvent::setSpontaneous(&event);
  QApplication::sendEvent(window.windowHandle(), &event);
}

std::string ResourceTemplate(uint32_t id) {
  QFile file(u":/html/%1.html"_qs.arg(id));
  if (!file.open(QIODevice::ReadOnly))
    return {};
  return file.readAll().toStdString();
}

MailListType TypeOf(uint32_t typeBit) {
  const AccountTypeInfo* info = FindAccountType(typeBit);
  return {info->typeBit, Text(info->displayName), info->logoId};
}

// A window over a page built from the program's own templates, with its calls recorded and
// its placement in an ini store of its own.
struct MailListFixture : ::testing::Test {
  testing::TempFolder folder;
  SettingsStore store;
  OptionFlags flags{flag_bits::kDefault | flag_bits::kShowMailListWindow};
  MailListBuilder builder{{ResourceTemplate, {}, {}}};
  std::vector<uint32_t> opened;
  std::vector<uint32_t> timers;
  int userCloses = 0;

  void SetUp() override {
    ASSERT_TRUE(store.open(SettingsMode::IniFile, nullptr, {}, folder.file("tarvel.ini")));
  }

  void AddMail(uint32_t typeBit, const char16_t* sender, const char16_t* subject,
               uint32_t position) {
    const MailItem item{Text(sender), Text(subject), Text(), Text()};
    builder.AddRow(TypeOf(typeBit), item, position);
  }

  MailListWindow::Hooks Hooks() {
    MailListWindow::Hooks hooks;
    hooks.openReaders = [this](uint32_t mask) { opened.push_back(mask); };
    hooks.restartCheckTimer = [this](uint32_t ms) { timers.push_back(ms); };
    hooks.closedByUser = [this] {
      ++userCloses;
      store.writeNumber(u"Flags", TurnOffMailList(flags));
    };
    hooks.page = [this] { return builder.page(); };
    return hooks;
  }
};

TEST_F(MailListFixture, ARowClickOpensTheReaderOfItsTypeAndChecksSoon) {
  AddMail(0x2, u"Ann", u"Lunch", 0);
  AddMail(0x2, u"Bob", u"Report", 1);
  AddMail(0x4, u"Cy", u"Hello", 0);
  builder.BuildPage();
  MailListWindow window(Hooks(), store, {});
  window.resize(500, 300);
  window.show();
  ASSERT_EQ(window.view()->elementCount(u"tr"_qs), 3);
  ASSERT_EQ(window.view()->elementCount(u"img"_qs), 2);
  // Down the text column: the Gmail rows come first, then the Yahoo row; below the rows
  // nothing is called.
  std::vector<uint32_t> sequence;
  for (int y = 1; y < 290; y += 2) {
    const std::size_t before = opened.size();
    window.view()->ClickAt(QPoint(250, y));
    if (opened.size() > before && (sequence.empty() || sequence.back() != opened.back()))
      sequence.push_back(opened.back());
  }
  EXPECT_EQ(sequence, (std::vector<uint32_t>{0x2, 0x4}));
  ASSERT_FALSE(timers.empty());
  EXPECT_EQ(timers.size(), opened.size());
  EXPECT_EQ(timers.front(), 10'000u);
  // A click on the logo cell opens the reader too.
  opened.clear();
  window.view()->ClickAt(QPoint(5, 5));
  EXPECT_EQ(opened, (std::vector<uint32_t>{0x2}));
}

TEST_F(MailListFixture, TheRowsAreReachedAndOpenedByKeyboard) {
  AddMail(0x2, u"Ann", u"Lunch", 0);
  AddMail(0x4, u"Cy", u"Hello", 0);
  builder.BuildPage();
  MailListWindow window(Hooks(), store, {});
  window.resize(500, 300);
  window.show();
  window.activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(&window));
  // The page is the window's one control: it has the focus, and Down steps onto the rows.
  ASSERT_TRUE(window.view()->hasFocus());
  EXPECT_EQ(window.view()->focusedClickable(), -1);
  QTest::keyClick(window.view(), Qt::Key_Down);
  EXPECT_TRUE(window.view()->accessibleDescription().contains(u"Ann"_qs));
  QTest::keyClick(window.view(), Qt::Key_Down);
  EXPECT_TRUE(window.view()->accessibleDescription().contains(u"Cy"_qs));
  // The focus frame covers the row's cells.
  const QRect focused = *window.view()->focusedRect();
  EXPECT_GE(focused.width(), 400);
  EXPECT_GE(focused.height(), 10);
  QTest::keyClick(window.view(), Qt::Key_Return);
  EXPECT_EQ(opened, (std::vector<uint32_t>{0x4}));
  EXPECT_EQ(timers, (std::vector<uint32_t>{10'000}));
}

TEST_F(MailListFixture, ThePlacementIsStoredAfterAMoveAndRestoredByTheNextWindow) {
  builder.BuildPage();
  QPoint placedAt;
  QSize placedSize;
  {
    MailListWindow window(Hooks(), store, {});
    window.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
    QTest::qWait(0);
    window.move(123, 77);
    window.resize(410, 190);
    // Not written at once: a second after the last move or resize.
    EXPECT_TRUE(window.placementPending());
    Text stored;
    store.readText(u"Placement", stored, u"", kMailListPlacementGroup);
    EXPECT_EQ(stored.ToUtf8().find("123,77"), std::string::npos);
    ASSERT_TRUE(QTest::qWaitFor([&] { return !window.placementPending(); }, kWaitMs));
    placedAt = window.pos();
    placedSize = window.size();
    EXPECT_EQ(placedAt, QPoint(123, 77));
    EXPECT_EQ(placedSize, QSize(410, 190));
  }
  MailListWindow next(Hooks(), store, {});
  next.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&next));
  EXPECT_EQ(next.pos(), placedAt);
  EXPECT_EQ(next.size(), placedSize);
}

TEST_F(MailListFixture, AStoredPlacementThatMakesNoSenseIsIgnored) {
  for (const char16_t* stored : {u"1,2,3", u"x,1,400,200", u"10,10,-5,200", u"10,10,400,99999999",
                                 u"10,10,400,200,", u"99999,99999,400,200"}) {
    SCOPED_TRACE(Text(stored).ToUtf8());
    store.writeText(u"Placement", Text(stored), kMailListPlacementGroup);
    MailListWindow window(Hooks(), store, {});
    EXPECT_GE(window.width(), window.minimumWidth());
    EXPECT_LE(window.width(), 16384);
    EXPECT_NE(window.pos(), QPoint(99999, 99999));
  }
}

TEST_F(MailListFixture, TheUsersCloseTurnsTheOptionOffAndTheProgramsCloseDoesNot) {
  builder.BuildPage();
  MailListController controller(Hooks(), store, [] { return MailListWindowOptions(); });
  controller.Open();
  ASSERT_TRUE(controller.window());
  controller.Close();
  EXPECT_FALSE(controller.window());
  // The program's own close (as when it quits) keeps the option.
  controller.Open();
  ASSERT_TRUE(controller.window());
  controller.window()->close();
  ASSERT_TRUE(QTest::qWaitFor([&] { return controller.window() == nullptr; }, kWaitMs));
  EXPECT_EQ(userCloses, 0);
  EXPECT_TRUE(flags.any(flag_bits::kShowMailListWindow));

  controller.Open();
  ASSERT_TRUE(controller.window());
  CloseAsTheUser(*controller.window());
  EXPECT_EQ(userCloses, 1);
  EXPECT_FALSE(flags.any(flag_bits::kShowMailListWindow));
  EXPECT_EQ(store.readNumber(u"Flags", 0), flag_bits::kDefault);
  // The placement went with it.
  Text stored;
  EXPECT_TRUE(store.readText(u"Placement", stored, u"", kMailListPlacementGroup));
  EXPECT_FALSE(stored.isEmpty());
  ASSERT_TRUE(QTest::qWaitFor([&] { return controller.window() == nullptr; }, kWaitMs));
}

TEST_F(MailListFixture, ANewPageFromTheCheckThreadIsReloaded) {
  builder.BuildPage();
  MailListController controller(Hooks(), store, [] { return MailListWindowOptions(); });
  controller.Open();
  ASSERT_TRUE(controller.window());
  EXPECT_EQ(controller.window()->view()->elementCount(u"tr"_qs), 0);
  std::thread check([this, &controller] {
    AddMail(0x8, u"Zed", u"Invoice", 0);
    builder.BuildPage();
    controller.PostReload();
  });
  check.join();
  ASSERT_TRUE(QTest::qWaitFor(
      [&] { return controller.window()->view()->elementCount(u"tr"_qs) == 1; }, kWaitMs));
}

TEST_F(MailListFixture, TheOptionsShapeTheWindow) {
  builder.BuildPage();
  const QString version = u"%1.%2"_qs.arg(kVersionMajor).arg(kVersionMinor, 2, 10, QChar(u'0'));
  struct Case {
    MailListWindowOptions options;
    bool tool;
    bool onTop;
  };
  for (const Case& test : {Case{{false, false}, true, false}, Case{{true, false}, false, false},
                           Case{{false, true}, true, true}}) {
    MailListWindow window(Hooks(), store, test.options);
    EXPECT_EQ(window.windowTitle(), u"Tarvel E-Mail Notifier ["_qs + version + u"]"_qs);
    EXPECT_EQ(window.windowType() == Qt::Tool, test.tool);
    EXPECT_EQ(window.windowFlags().testFlag(Qt::WindowStaysOnTopHint), test.onTop);
    EXPECT_GT(window.minimumWidth(), 100);
    EXPECT_GT(window.minimumHeight(), 20);
  }
}

// The page is laid out for the screen the window is on: the window asks for its screen's
// factor when it is made, and a new factor builds the last page again from the same rows.
TEST_F(MailListFixture, ThePageFollowsTheFactorOfTheWindowsScreen) {
  AddMail(0x2, u"Ann", u"Lunch", 0);
  builder.setDpiFactor(1.0);
  builder.BuildPage();
  const std::string atOne = builder.page();
  ASSERT_NE(atOne.find("width: 16px"), std::string::npos);
  std::vector<double> asked;
  MailListWindow::Hooks hooks = Hooks();
  hooks.dpiFactorChanged = [&](double factor) {
    asked.push_back(factor);
    builder.Rescale(factor);
  };
  MailListWindow window(hooks, store, {});
  ASSERT_EQ(asked.size(), 1u);
  EXPECT_DOUBLE_EQ(asked[0], window.dpiFactor());
  ASSERT_NE(window.screen(), nullptr);
  EXPECT_DOUBLE_EQ(asked[0], window.screen()->logicalDotsPerInch() / 96.0);

  builder.Rescale(2.0);
  const std::string atTwo = builder.page();
  EXPECT_NE(atTwo.find("width: 32px"), std::string::npos);
  EXPECT_EQ(atTwo.find("width: 16px"), std::string::npos);
  EXPECT_NE(atTwo.find("Lunch"), std::string::npos);
  // The next check's page keeps the new factor.
  AddMail(0x2, u"Bob", u"Report", 0);
  builder.BuildPage();
  EXPECT_NE(builder.page().find("width: 32px"), std::string::npos);
  EXPECT_NE(builder.page().find("Report"), std::string::npos);
}

}  // namespace
}  // namespace tarvel
