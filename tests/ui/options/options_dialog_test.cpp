#include <gtest/gtest.h>

#include <QAccessible>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QTableWidget>
#include <QTest>
#include <QTime>

#include <cstdlib>
#include <memory>
#include <vector>

#include "accounts/account_type.h"
#include "accounts/global_settings.h"
#include "accounts/option_flags.h"
#include "accounts/settings_store.h"
#include "tests/support/temp_folder.h"
#include "ui/adapters/qt_text.h"
#include "ui/options/autostart.h"
#include "ui/options/general_page.h"
#include "ui/options/hour_range_control.h"
#include "ui/options/more_options_page.h"
#include "ui/options/options_dialog.h"

namespace tarvel {
namespace {

// The settings of a fresh user in an ini store of the test's own, the values in memory read
// from it, and a context that records what the pages call.
struct OptionsFixture : ::testing::Test {
  testing::TempFolder folder;
  SettingsStore store;
  GlobalSettings globals;
  OptionFlags flags;
  OptionsContext context;
  AutostartPlace autostart;
  std::vector<QString> played;

  void SetUp() override {
    ASSERT_TRUE(store.open(SettingsMode::IniFile, nullptr, {}, folder.file("tarvel.ini")));
    Reload();
    autostart = AutostartPlaceFor(folder.file("config"), folder.file("bin") + "/", false);
    context.store = &store;
    context.globals = &globals;
    context.flags = &flags;
    context.playSound = [this](const Text& path) { played.push_back(ToQString(path.view())); };
    context.autostart = &autostart;
  }

  // The values in memory as the program reads them at start.
  void Reload() {
    globals = GlobalSettings();
    globals.Load(store, DesktopTheme::Light, folder.path());
    flags.store(store.readNumber(u"Flags", flag_bits::kDefault));
  }

  std::optional<uint64_t> Stored(std::u16string_view name) const {
    if (!store.readStored(name))
      return std::nullopt;
    return store.readNumber(name, 0);
  }
};

TEST_F(OptionsFixture, TypedIntervalsAndDurationsAreStoredByTheirUnitRules) {
  struct Row {
    const char16_t* interval;
    std::optional<uint64_t> refreshTime;
    const char16_t* duration;
    std::optional<uint64_t> toolTipTime;
  };
  const Row rows[] = {
      {u"45 Seconds", 0x8000002D, u"90", 90},
      {u"3", 0x80000000 | 180, u"2 Minutes", 120},  // a bare number is minutes, resp. seconds
      {u"1 Minute", 0x80000000 | 60, u"1 Minute", 60},
      {u"120 Minutes", 0x80000000 | 7200, u"30 Seconds", 30},
      {u"1 second", 0x80000000 | 1, u"5 minutes", 300},  // the units in any letter case
      // A text without a number keeps the value in effect (not 60 times it).
      {u"often", std::nullopt, u"long", std::nullopt},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(ToQString(row.interval).toStdString());
    store.deleteValue(u"RefreshTime");
    store.deleteValue(u"ToolTipTime");
    Reload();
    GeneralPage page(context);
    page.intervalList()->setEditText(ToQString(row.interval));
    page.durationList()->setEditText(ToQString(row.duration));
    page.Save();
    EXPECT_EQ(Stored(u"RefreshTime"), row.refreshTime);
    EXPECT_EQ(Stored(u"ToolTipTime"), row.toolTipTime);
    if (row.refreshTime) {
      EXPECT_EQ(globals.refreshSeconds, *row.refreshTime & 0x7FFFFFFF);
    } else {
      EXPECT_EQ(globals.refreshSeconds, 300u);
    }
  }
}

TEST_F(OptionsFixture, StoredIntervalsAndDurationsShowAsListItemsOrAsText) {
  struct Row {
    uint64_t refreshTime;  // as stored
    uint32_t toolTipTime;
    int intervalIndex;  // -1: shown as text
    const char16_t* intervalText;
    const char16_t* durationText;
  };
  const Row rows[] = {
      {0x80000000 | 90, 45, -1, u"90 Seconds", u"45 Seconds"},
      {0x80000000 | 7200, 120, 6, u"120 Minutes", u"2 Minutes"},
      {0x80000000 | 1800, 10, 4, u"30 Minutes", u"10 Seconds"},
      {15, 180, -1, u"15 Minutes", u"3 Minutes"},  // stored without the bit: minutes
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.refreshTime);
    store.writeNumber(u"RefreshTime", row.refreshTime);
    store.writeNumber(u"ToolTipTime", row.toolTipTime);
    Reload();
    GeneralPage page(context);
    if (row.intervalIndex >= 0) {
      EXPECT_EQ(page.intervalList()->currentIndex(), row.intervalIndex);
    }
    EXPECT_EQ(page.intervalList()->currentText(), ToQString(row.intervalText));
    EXPECT_EQ(page.durationList()->currentText(), ToQString(row.durationText));
  }
}

TEST_F(OptionsFixture, CheckBoxesSetTheirBitsOfTheOptionWord) {
  struct Row {
    const char* name;
    QCheckBox* (GeneralPage::*box)() const;
    uint64_t bit;
    bool setWhenChecked;
  };
  const Row rows[] = {
      {"alternative tooltip", &GeneralPage::alternativeTooltipBox, flag_bits::kPopupAnnouncements,
       true},
      {"show count", &GeneralPage::showCountBox, flag_bits::kHideTrayCount, false},
      {"mail list", &GeneralPage::mailListBox, flag_bits::kShowMailListWindow, true},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    for (const bool checked : {true, false}) {
      GeneralPage page(context);
      (page.*row.box)()->setChecked(checked);
      page.Save();
      EXPECT_EQ(flags.any(row.bit), checked == row.setWhenChecked);
      // The box shows what was saved when the page is built again.
      GeneralPage again(context);
      EXPECT_EQ((again.*row.box)()->isChecked(), checked);
    }
  }
  // The page changes the word in memory; the dialog writes it.
  EXPECT_FALSE(Stored(u"Flags"));

  // There is no update check: its box is not offered for ticking, says why, and saving leaves
  // the stored choice as it was, either way.
  for (const bool noUpdateCheck : {true, false}) {
    flags.store(noUpdateCheck ? flag_bits::kDefault | flag_bits::kNoUpdateCheck
                              : flag_bits::kDefault & ~flag_bits::kNoUpdateCheck);
    GeneralPage page(context);
    EXPECT_FALSE(page.updateCheckBox()->isEnabled());
    EXPECT_FALSE(page.updateCheckBox()->isChecked());
    EXPECT_TRUE(page.updateCheckBox()->accessibleDescription().contains(u"no update check"_qs));
    page.Save();
    EXPECT_EQ(flags.any(flag_bits::kNoUpdateCheck), noUpdateCheck);
  }
  // With an update host the box shows the stored choice and writes it back, inverted.
  context.updateCheckAvailable = true;
  store.writeNumber(u"LastCheck", 1'700'000'000);
  if (const QString shots = qEnvironmentVariable("TARVEL_SCREENSHOT_DIR"); !shots.isEmpty()) {
    GeneralPage shown(context);
    shown.resize(shown.sizeHint());
    shown.grab().save(shots + u"/general-page-update-scale"_qs +
                      qEnvironmentVariable("QT_SCALE_FACTOR", u"1"_qs) + u".png"_qs);
  }
  for (const bool noUpdateCheck : {true, false}) {
    flags.store(noUpdateCheck ? flag_bits::kDefault | flag_bits::kNoUpdateCheck
                              : flag_bits::kDefault & ~flag_bits::kNoUpdateCheck);
    GeneralPage page(context);
    EXPECT_TRUE(page.updateCheckBox()->isEnabled());
    EXPECT_EQ(page.updateCheckBox()->isChecked(), !noUpdateCheck);
    page.updateCheckBox()->setChecked(noUpdateCheck);
    page.Save();
    EXPECT_EQ(flags.any(flag_bits::kNoUpdateCheck), !noUpdateCheck);
  }
  context.updateCheckAvailable = false;
}

TEST_F(OptionsFixture, ChoosingATrayStyleClearsTheOtherStyleBits) {
  flags.store(flag_bits::kDefault | flag_bits::kTrayGMail | flag_bits::kTrayHotmail |
              flag_bits::kShowMailListWindow);
  GeneralPage page(context);
  EXPECT_EQ(page.styleList()->currentText(), u"Hotmail"_qs);  // first by precedence
  EXPECT_EQ(page.styleList()->count(), 11);
  page.styleList()->setCurrentIndex(page.styleList()->findText(u"Apple"_qs));
  page.Save();
  EXPECT_EQ(flags.load() & flag_bits::kTrayStyleMask, flag_bits::kTrayApple);
  EXPECT_TRUE(flags.any(flag_bits::kShowMailListWindow));
  page.styleList()->setCurrentIndex(page.styleList()->findText(u"Outlook.com"_qs));
  page.Save();
  EXPECT_EQ(flags.load() & flag_bits::kTrayStyleMask, 0u);
}

TEST_F(OptionsFixture, SoundHoursDaysAndStartAtLoginAreWritten) {
  GeneralPage page(context);
  EXPECT_TRUE(page.startAtLoginBox()->isVisibleTo(&page));
  EXPECT_FALSE(page.startAtLoginBox()->isChecked());
  EXPECT_EQ(page.hoursControl()->mask(), 0xFFFFFFu);
  EXPECT_EQ(page.daysControl()->mask(), 127u);
  page.soundEdit()->setText(u"/tmp/ding.wav"_qs);
  page.playSoundButton()->click();
  EXPECT_EQ(played, std::vector<QString>{u"/tmp/ding.wav"_qs});
  page.hoursControl()->setMask(0x00FF00);
  page.daysControl()->setMask(0x1F);
  page.startAtLoginBox()->setChecked(true);
  page.Save();
  EXPECT_EQ(Stored(u"CheckRange"), 0x00FF00u);
  EXPECT_EQ(Stored(u"CheckRangeDays"), 0x1Fu);
  Text sound;
  store.readText(u"NewMailSound", sound, u"");
  EXPECT_EQ(sound, u"/tmp/ding.wav");
  EXPECT_EQ(globals.checkRange, 0x00FF00u);
  EXPECT_TRUE(IsStartAtLoginOn(autostart));

  // An empty path turns the sound off; unchecking removes the autostart entry.
  GeneralPage again(context);
  EXPECT_TRUE(again.startAtLoginBox()->isChecked());
  again.soundEdit()->clear();
  again.startAtLoginBox()->setChecked(false);
  again.Save();
  store.readText(u"NewMailSound", sound, u"x");
  EXPECT_EQ(sound, u"");
  EXPECT_FALSE(IsStartAtLoginOn(autostart));

  // A portable copy does not offer start at login.
  autostart.portable = true;
  GeneralPage portable(context);
  EXPECT_FALSE(portable.startAtLoginBox()->isVisibleTo(&portable));
}

TEST_F(OptionsFixture, LastUpdateCheckIsShownWhenThereWasOne) {
  EXPECT_TRUE(GeneralPage(context).lastCheckLabel()->text().isEmpty());
  store.writeNumber(u"LastCheck", 1'700'000'000);
  const QString text = GeneralPage(context).lastCheckLabel()->text();
  EXPECT_TRUE(text.startsWith(u"Last Check: "_qs)) << text.toStdString();
  EXPECT_TRUE(text.contains(u"23"_qs)) << text.toStdString();  // 2023, in any local zone
}

// The note under the popup option shows only where the popup comes as a notification; the
// option itself stays and keeps its stored choice.
TEST_F(OptionsFixture, PopupNoteShowsOnlyWhereThePopupComesAsANotification) {
  flags.store(flag_bits::kPopupAnnouncements);
  GeneralPage placed(context);
  EXPECT_FALSE(placed.popupNoteLabel()->isVisibleTo(&placed));
  EXPECT_TRUE(placed.alternativeTooltipBox()->accessibleDescription().isEmpty());

  context.popupComesAsNotification = true;
  GeneralPage page(context);
  EXPECT_TRUE(page.popupNoteLabel()->isVisibleTo(&page));
  EXPECT_TRUE(page.popupNoteLabel()->text().contains(u"desktop notification"_qs));
  EXPECT_EQ(page.alternativeTooltipBox()->accessibleDescription(), page.popupNoteLabel()->text());
  EXPECT_TRUE(page.alternativeTooltipBox()->isChecked());
  EXPECT_TRUE(page.alternativeTooltipBox()->isEnabled());
  page.Save();
  EXPECT_TRUE(flags.any(flag_bits::kPopupAnnouncements));
  if (const char* shot = std::getenv("TARVEL_TEST_SCREENSHOT")) {
    page.resize(page.sizeHint().expandedTo(QSize(480, 360)));
    page.grab().save(QString::fromLocal8Bit(shot));  // for people to look at
  }
}

TEST_F(OptionsFixture, HourControlTogglesByClickDragAndKeyboard) {
  HourRangeControl hours(HourRangeControl::Kind::Hours);
  hours.resize(480, 24);
  hours.show();
  ASSERT_EQ(hours.mask(), 0xFFFFFFu);
  const auto center = [&hours](int cell) { return hours.cellRect(cell).center(); };
  QTest::mouseClick(&hours, Qt::LeftButton, {}, center(3));
  EXPECT_EQ(hours.mask(), 0xFFFFFFu & ~(1u << 3));
  QTest::mouseClick(&hours, Qt::LeftButton, {}, center(3));
  EXPECT_EQ(hours.mask(), 0xFFFFFFu);
  // A drag from 8 to 11 paints the cells it crosses with the first cell's new state.
  QTest::mousePress(&hours, Qt::LeftButton, {}, center(8));
  for (int cell = 9; cell <= 11; ++cell)
    QTest::mouseMove(&hours, center(cell));
  QTest::mouseRelease(&hours, Qt::LeftButton, {}, center(11));
  EXPECT_EQ(hours.mask(), 0xFFFFFFu & ~0xF00u);
  // Keyboard: Home, Right twice, Space toggles cell 2; End and Space toggle cell 23.
  hours.setFocus();
  QTest::keyClick(&hours, Qt::Key_Home);
  QTest::keyClick(&hours, Qt::Key_Right);
  QTest::keyClick(&hours, Qt::Key_Right);
  QTest::keyClick(&hours, Qt::Key_Space);
  EXPECT_EQ(hours.focusCell(), 2);
  QTest::keyClick(&hours, Qt::Key_End);
  QTest::keyClick(&hours, Qt::Key_Space);
  EXPECT_EQ(hours.mask(), 0xFFFFFFu & ~0xF00u & ~(1u << 2) & ~(1u << 23));
  QTest::keyClick(&hours, Qt::Key_Right);  // stays on the last cell
  EXPECT_EQ(hours.focusCell(), 23);

  // Days: seven cells starting at the locale's first day; bits beyond them are dropped.
  HourRangeControl days(HourRangeControl::Kind::Days, 6);
  EXPECT_EQ(days.cellCount(), 7);
  days.setMask(0xFFFF);
  EXPECT_EQ(days.mask(), 127u);
  EXPECT_EQ(days.cellLabel(0), QLocale().dayName(7, QLocale::ShortFormat).left(2));
  EXPECT_EQ(days.cellLabel(1), QLocale().dayName(1, QLocale::ShortFormat).left(2));
}

TEST_F(OptionsFixture, AFastDragPaintsEveryCellItCrosses) {
  HourRangeControl hours(HourRangeControl::Kind::Hours);
  hours.resize(480, 24);
  hours.show();
  const auto center = [&hours](int cell) { return hours.cellRect(cell).center(); };
  // The pointer jumps from 2 to 9 and back to 5 between two move events.
  QTest::mousePress(&hours, Qt::LeftButton, {}, center(2));
  QTest::mouseMove(&hours, center(9));
  QTest::mouseMove(&hours, center(12));
  QTest::mouseRelease(&hours, Qt::LeftButton, {}, center(12));
  EXPECT_EQ(hours.mask(), 0xFFFFFFu & ~0x1FFCu);
  // A drag that starts on an "off" cell turns the cells back on, right to left as well.
  QTest::mousePress(&hours, Qt::LeftButton, {}, center(11));
  QTest::mouseMove(&hours, center(3));
  QTest::mouseRelease(&hours, Qt::LeftButton, {}, center(3));
  EXPECT_EQ(hours.mask(), 0xFFFFFFu & ~0x1004u);
}

TEST_F(OptionsFixture, EachCellIsACheckBoxForAssistiveTools) {
  QWidget window;
  auto* hours = new HourRangeControl(HourRangeControl::Kind::Hours, 0, &window);
  hours->setAccessibleName(u"Hours for Mail Check"_qs);
  hours->resize(480, 24);
  window.show();
  hours->setMask(0xFFFFFFu & ~(1u << 3));
  QAccessibleInterface* strip = QAccessible::queryAccessibleInterface(hours);
  ASSERT_NE(strip, nullptr);
  EXPECT_EQ(strip->text(QAccessible::Name), u"Hours for Mail Check"_qs);
  ASSERT_EQ(strip->childCount(), 24);
  QAccessibleInterface* three = strip->child(3);
  ASSERT_NE(three, nullptr);
  EXPECT_EQ(three->role(), QAccessible::CheckBox);
  EXPECT_EQ(three->text(QAccessible::Name), QLocale().toString(QTime(3, 0), QLocale::ShortFormat));
  EXPECT_TRUE(three->state().checkable);
  EXPECT_FALSE(three->state().checked);
  EXPECT_TRUE(strip->child(4)->state().checked);
  EXPECT_EQ(three->parent(), strip);
  EXPECT_EQ(strip->indexOfChild(three), 3);
  // The same cell object each time, and at its place on the screen.
  EXPECT_EQ(strip->child(3), three);
  const QRect place = three->rect();
  EXPECT_EQ(strip->childAt(place.center().x(), place.center().y()), three);
  // Its action toggles it, as a click does.
  QAccessibleActionInterface* action = three->actionInterface();
  ASSERT_NE(action, nullptr);
  ASSERT_TRUE(action->actionNames().contains(QAccessibleActionInterface::toggleAction()));
  action->doAction(QAccessibleActionInterface::toggleAction());
  EXPECT_EQ(hours->mask(), 0xFFFFFFu);
  EXPECT_TRUE(three->state().checked);
  // The keyboard's cell is the focused child.
  hours->setFocus();
  QTest::keyClick(hours, Qt::Key_End);
  if (hours->hasFocus()) {
    EXPECT_EQ(strip->focusChild(), strip->child(23));
    EXPECT_TRUE(strip->child(23)->state().focused);
  }
  // Days are named in full.
  HourRangeControl days(HourRangeControl::Kind::Days, 0);
  QAccessibleInterface* dayStrip = QAccessible::queryAccessibleInterface(&days);
  ASSERT_EQ(dayStrip->childCount(), 7);
  EXPECT_EQ(dayStrip->child(0)->text(QAccessible::Name), QLocale().dayName(1));
}

TEST_F(OptionsFixture, DayLabelsAreTheShortestDistinctStartsInEveryLocale) {
  const QLocale saved;
  for (const char* name :
       {"C",     "en_US", "de_DE", "fr_FR", "pt_BR", "pt_PT", "es_ES", "it_IT", "pl_PL", "ru_RU",
        "tr_TR", "ja_JP", "zh_CN", "ar_EG", "he_IL", "el_GR", "hu_HU", "cs_CZ", "fi_FI", "ko_KR"}) {
    SCOPED_TRACE(name);
    QLocale::setDefault(QLocale(QString::fromLatin1(name)));
    HourRangeControl days(HourRangeControl::Kind::Days, 0);
    QStringList labels;
    for (int cell = 0; cell < 7; ++cell) {
      const QString label = days.cellLabel(cell);
      EXPECT_FALSE(label.isEmpty());
      EXPECT_FALSE(labels.contains(label, Qt::CaseInsensitive)) << label.toStdString();
      EXPECT_TRUE(QLocale().dayName(cell + 1, QLocale::ShortFormat).startsWith(label))
          << label.toStdString();
      labels << label;
    }
  }
  // In Portuguese two letters repeat ("qu" for quarta and quinta): three are needed.
  QLocale::setDefault(QLocale(u"pt_BR"_qs));
  HourRangeControl days(HourRangeControl::Kind::Days, 0);
  EXPECT_EQ(days.cellLabel(2).size(), 3);
  EXPECT_NE(days.cellLabel(2), days.cellLabel(3));
  QLocale::setDefault(saved);
  // The rule itself: as short as possible, but never shorter than what tells names apart.
  using Names = std::vector<QString>;
  EXPECT_EQ(HourRangeControl::DistinctStarts({u"Mon"_qs, u"Tue"_qs, u"Wed"_qs}),
            (Names{u"M"_qs, u"T"_qs, u"W"_qs}));
  EXPECT_EQ(HourRangeControl::DistinctStarts({u"Tue"_qs, u"Thu"_qs}), (Names{u"Tu"_qs, u"Th"_qs}));
  EXPECT_EQ(HourRangeControl::DistinctStarts({u"ab"_qs, u"abc"_qs}), (Names{u"ab"_qs, u"abc"_qs}));
}

TEST_F(OptionsFixture, TheHourStripWrapsWhereOneRowDoesNotFit) {
  HourRangeControl hours(HourRangeControl::Kind::Hours);
  const int oneRow = hours.sizeHint().width();
  EXPECT_LT(hours.minimumSizeHint().width(), oneRow * 2 / 3);
  hours.resize(oneRow, hours.heightForWidth(oneRow));
  EXPECT_EQ(hours.rowCount(), 1);
  const int narrow = hours.minimumSizeHint().width();
  EXPECT_EQ(hours.heightForWidth(narrow), 2 * hours.heightForWidth(oneRow));
  hours.resize(narrow, hours.heightForWidth(narrow));
  EXPECT_EQ(hours.rowCount(), 2);
  // Twelve cells a row, every cell inside the strip and none overlapping another.
  EXPECT_EQ(hours.cellRect(12).top(), hours.cellRect(11).bottom() + 1);
  EXPECT_EQ(hours.cellRect(12).left(), 0);
  for (int cell = 0; cell < 24; ++cell) {
    EXPECT_TRUE(hours.rect().contains(hours.cellRect(cell))) << cell;
    EXPECT_EQ(hours.cellAt(hours.cellRect(cell).center()), cell);
  }
}

TEST_F(OptionsFixture, MoreOptionsShowTheirFormsAndWriteEditsAtOnce) {
  store.writeNumber(u"MailListTopMost", 1);
  store.writeNumber(u"TitleColor", 0xFF8800);
  Reload();
  MoreOptionsPage page(context);
  QTableWidget* table = page.table();
  ASSERT_EQ(table->rowCount(), 16);
  const auto row = [table](const QString& key) {
    for (int index = 0; index < table->rowCount(); ++index) {
      if (table->item(index, 0)->text() == key)
        return index;
    }
    return -1;
  };
  struct Shown {
    const char16_t* key;
    const char16_t* value;
  };
  for (const Shown& shown :
       {Shown{u"AllowToolTipInFullscreen", u"No"}, Shown{u"MailListTopMost", u"Yes"},
        Shown{u"TitleColor", u"0xFF8800"}, Shown{u"Transparency", u"255"},
        Shown{u"LogitechHapticFeedback", u"-1"}}) {
    SCOPED_TRACE(ToQString(shown.key).toStdString());
    const int index = row(ToQString(shown.key));
    ASSERT_GE(index, 0);
    EXPECT_EQ(table->item(index, 1)->text(), ToQString(shown.value));
    EXPECT_FALSE(table->item(index, 0)->flags() & Qt::ItemIsEditable);
  }
  struct Edit {
    const char16_t* key;
    const char16_t* typed;
    const char16_t* shownAfter;
    std::optional<uint64_t> stored;
  };
  const Edit edits[] = {
      {u"AllowToolTipInFullscreen", u"Yes", u"Yes", 1},
      {u"MailListTopMost", u"maybe", u"No", 0},  // anything but "Yes" is no
      {u"TitleColor", u"0x00ff00", u"0xFF00", 0x00FF00},
      {u"Transparency", u"lots", u"255", std::nullopt},  // not a number: unchanged
      {u"LogitechHapticFeedback", u"3", u"3", 3},
  };
  for (const Edit& edit : edits) {
    SCOPED_TRACE(ToQString(edit.key).toStdString());
    const int index = row(ToQString(edit.key));
    table->item(index, 1)->setText(ToQString(edit.typed));
    EXPECT_EQ(table->item(index, 1)->text(), ToQString(edit.shownAfter));
    if (edit.stored) {
      EXPECT_EQ(store.readNumber(edit.key, 99), *edit.stored);
    } else {
      EXPECT_FALSE(store.readStored(edit.key));
    }
  }
  EXPECT_EQ(globals.titleColor, 0x00FF00u);
}

TEST_F(OptionsFixture, TheKeyboardEditsMoreOptionsValuesAndTypedIntervalsStayOutOfTheList) {
  MoreOptionsPage page(context);
  QTableWidget* table = page.table();
  page.show();
  table->setFocus();
  // The current cell is a value; moving down stays in the value column.
  EXPECT_EQ(table->currentColumn(), 1);
  QTest::keyClick(table, Qt::Key_Down);
  EXPECT_EQ(table->currentRow(), 1);
  EXPECT_EQ(table->currentColumn(), 1);
  table->setCurrentCell(7, 0);  // a click on a key
  EXPECT_EQ(table->currentColumn(), 1);
  // Typing starts the edit; Return ends it and writes the value.
  QTest::keyClick(table, Qt::Key_2);
  auto* editor = table->viewport()->findChild<QLineEdit*>();
  ASSERT_NE(editor, nullptr);
  QTest::keyClicks(editor, u"00"_qs);
  EXPECT_EQ(editor->text(), u"200"_qs);
  QTest::keyClick(editor, Qt::Key_Return);
  // The view ends the edit from its event queue.
  EXPECT_TRUE(QTest::qWaitFor([this] { return Stored(u"Transparency") == 200u; }, 2000));
  // Both columns fit the page without a fixed 400-pixel key column.
  EXPECT_LT(table->columnWidth(0), 400);

  GeneralPage general(context);
  general.show();
  const int items = general.intervalList()->count();
  general.intervalList()->setFocus();
  general.intervalList()->lineEdit()->selectAll();
  QTest::keyClicks(general.intervalList()->lineEdit(), u"45 Seconds"_qs);
  QTest::keyClick(general.intervalList()->lineEdit(), Qt::Key_Return);
  EXPECT_EQ(general.intervalList()->count(), items);
  EXPECT_EQ(general.intervalList()->currentText(), u"45 Seconds"_qs);
  general.Save();
  EXPECT_EQ(Stored(u"RefreshTime"), 0x8000002Du);
}

// An account page that records its saves.
class RecordingPage : public OptionsPage {
 public:
  RecordingPage(std::vector<uint32_t>& saves, uint32_t typeBit)
      : saves_(saves), typeBit_(typeBit) {}
  void Save() override { saves_.push_back(typeBit_); }

 private:
  std::vector<uint32_t>& saves_;
  uint32_t typeBit_;
};

struct DialogFixture : OptionsFixture {
  std::vector<uint32_t> accountSaves;
  std::vector<uint64_t> savedFlags;
  int checks = 0;
  std::vector<bool> mailList;

  OptionsDialog::Hooks Hooks() {
    OptionsDialog::Hooks hooks;
    hooks.createAccountPage = [this](const AccountTypeInfo& type, OptionsContext&, QWidget*) {
      return std::make_unique<RecordingPage>(accountSaves, type.typeBit);
    };
    hooks.saveFlags = [this](uint64_t value) { savedFlags.push_back(value); };
    hooks.startCheck = [this] { ++checks; };
    hooks.showMailList = [this](bool show) { mailList.push_back(show); };
    return hooks;
  }
};

TEST_F(DialogFixture, TheDialogListsThePagesAndBuildsThemWhenShown) {
  OptionsDialog dialog(context, Hooks());
  EXPECT_TRUE(dialog.windowTitle().startsWith(u"Tarvel E-Mail Notifier ["_qs));
  ASSERT_EQ(dialog.pageList()->count(), 23);
  const char16_t* const labels[] = {u"Options",    u"More Options",
                                    u"IMAP #1",    u"IMAP #2",
                                    u"IMAP #3",    u"Microsoft Exchange Web Service",
                                    u"Outlook.com"};
  for (int index = 0; index < 7; ++index)
    EXPECT_EQ(dialog.pageList()->item(index)->text(), ToQString(labels[index]));
  EXPECT_EQ(dialog.pageList()->item(22)->text(), u"MAPI"_qs);
  EXPECT_NE(dialog.page(0), nullptr);  // the general page is shown first
  for (int index = 1; index < dialog.pageCount(); ++index)
    EXPECT_EQ(dialog.page(index), nullptr);
  dialog.pageList()->setCurrentRow(3);
  ASSERT_NE(dialog.page(3), nullptr);
  EXPECT_EQ(dialog.page(3)->accessibleName(), u"IMAP #2"_qs);
}

TEST_F(DialogFixture, OkSavesTheShownPagesWritesFlagsStartsACheckAndFollowsTheMailList) {
  flags.set(flag_bits::kShowMailListWindow | flag_bits::kRecheckRequested);
  OptionsDialog dialog(context, Hooks());
  dialog.showPage(3);  // IMAP #2
  dialog.showPage(8);  // GMail
  dialog.showPage(0);
  auto* general = static_cast<GeneralPage*>(dialog.page(0));
  general->mailListBox()->setChecked(false);
  general->intervalList()->setEditText(u"45 Seconds"_qs);
  dialog.accept();
  EXPECT_EQ(accountSaves, (std::vector<uint32_t>{0x20000, 0x2}));  // only the pages shown
  EXPECT_EQ(Stored(u"RefreshTime"), 0x8000002Du);
  ASSERT_EQ(savedFlags.size(), 1u);
  EXPECT_FALSE(savedFlags[0] & flag_bits::kShowMailListWindow);
  EXPECT_FALSE(savedFlags[0] & flag_bits::kRecheckRequested);  // run-time bits stay out
  EXPECT_EQ(checks, 1);
  EXPECT_EQ(mailList, std::vector<bool>{false});
}

TEST_F(DialogFixture, CancelStoresNothingButTheMoreOptionsEdits) {
  OptionsDialog dialog(context, Hooks());
  dialog.showPage(1);
  dialog.showPage(4);
  auto* general = static_cast<GeneralPage*>(dialog.page(0));
  general->intervalList()->setEditText(u"45 Seconds"_qs);
  general->styleList()->setCurrentIndex(general->styleList()->findText(u"Apple"_qs));
  auto* more = static_cast<MoreOptionsPage*>(dialog.page(1));
  more->table()->item(7, 1)->setText(u"200"_qs);  // Transparency
  const uint64_t flagsBefore = flags.load();
  dialog.reject();
  EXPECT_FALSE(Stored(u"RefreshTime"));
  EXPECT_EQ(flags.load(), flagsBefore);
  EXPECT_TRUE(accountSaves.empty());
  EXPECT_TRUE(savedFlags.empty());
  EXPECT_EQ(checks, 0);
  EXPECT_TRUE(mailList.empty());
  EXPECT_EQ(Stored(u"Transparency"), 200u);
}

TEST_F(DialogFixture, ASecondRequestRaisesTheOpenDialog) {
  OptionsController controller(context, Hooks());
  controller.Open();
  QPointer<OptionsDialog> first = controller.dialog();
  ASSERT_TRUE(first);
  EXPECT_TRUE(first->isVisible());
  // Not modal: the tray icon and its menu stay usable while it is open.
  EXPECT_EQ(first->windowModality(), Qt::NonModal);
  EXPECT_FALSE(first->isModal());
  controller.Open();
  EXPECT_EQ(controller.dialog(), first.data());
  controller.Close();
  // The dialog and its pages are gone.
  EXPECT_TRUE(QTest::qWaitFor([&first] { return first.isNull(); }, 2000));
  EXPECT_TRUE(savedFlags.empty());
}

TEST_F(DialogFixture, OtherThreadsGetTheSettingsWhenTheDialogEnds) {
  std::vector<std::pair<bool, Text>> published;  // after a check started?, the sound then
  OptionsDialog::Hooks hooks = Hooks();
  hooks.publishSettings = [&] { published.emplace_back(checks > 0, globals.newMailSound); };
  for (const bool ok : {false, true}) {
    SCOPED_TRACE(ok);
    published.clear();
    OptionsDialog dialog(context, hooks);
    static_cast<GeneralPage*>(dialog.page(0))->soundEdit()->setText(u"/tmp/ding.wav"_qs);
    EXPECT_TRUE(published.empty());  // nothing while the dialog is open
    if (ok)
      dialog.accept();
    else
      dialog.reject();
    // Once, with the pages' values saved, before the check that uses them.
    ASSERT_EQ(published.size(), 1u);
    EXPECT_FALSE(published[0].first);
    EXPECT_EQ(published[0].second, ok ? u"/tmp/ding.wav" : u"");
  }
}

TEST_F(DialogFixture, TabGoesFromTheListThroughThePageToTheLinkOkAndCancel) {
  OptionsDialog dialog(context, Hooks());
  dialog.show();
  dialog.activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(&dialog));
  const auto named = [&dialog](const QString& name) -> QWidget* {
    for (QWidget* widget : dialog.findChildren<QWidget*>()) {
      if (widget->accessibleName() == name)
        return widget;
    }
    return nullptr;
  };
  QWidget* link = named(u"Tarvel E-Mail Notifier on the web"_qs);
  QWidget* ok = named(u"OK"_qs);
  QWidget* cancel = named(u"Cancel"_qs);
  ASSERT_TRUE(link && ok && cancel);
  // A page shown later takes its place in the chain too.
  dialog.showPage(1);
  dialog.pageList()->setFocus();
  QStringList order;
  QWidget* page = dialog.page(1);
  bool pageReached = false;
  for (int step = 0; step < 40 && QApplication::focusWidget() != cancel; ++step) {
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
    QWidget* focus = QApplication::focusWidget();
    ASSERT_NE(focus, nullptr);
    if (page->isAncestorOf(focus)) {
      EXPECT_TRUE(order.isEmpty()) << "the page after " << order.join(u',').toStdString();
      pageReached = true;
    } else if (order.isEmpty() || order.back() != focus->accessibleName()) {
      // (The link label takes a second Tab for its link.)
      order << focus->accessibleName();
    }
  }
  EXPECT_TRUE(pageReached);
  EXPECT_EQ(order, (QStringList{u"Tarvel E-Mail Notifier on the web"_qs, u"OK"_qs, u"Cancel"_qs}));
}

TEST_F(DialogFixture, EveryControlHasAnAccessibleName) {
  OptionsDialog dialog(context, Hooks());
  dialog.showPage(1);
  const QList<QWidget*> widgets = dialog.findChildren<QWidget*>();
  for (QWidget* widget : widgets) {
    const bool control = qobject_cast<QAbstractButton*>(widget) ||
                         qobject_cast<QComboBox*>(widget) || qobject_cast<QLineEdit*>(widget) ||
                         qobject_cast<HourRangeControl*>(widget) ||
                         qobject_cast<QListWidget*>(widget) || qobject_cast<QTableWidget*>(widget);
    // Qt's own parts of a control (the line edit inside an editable list) are named by it.
    if (!control || qobject_cast<QComboBox*>(widget->parentWidget()) ||
        qobject_cast<QAbstractScrollArea*>(widget->parentWidget()))
      continue;
    EXPECT_FALSE(widget->accessibleName().isEmpty()) << widget->metaObject()->className();
  }
}

}  // namespace
}  // namespace tarvel
