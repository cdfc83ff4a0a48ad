#include <gtest/gtest.h>

#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QTableWidget>
#include <QTest>

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
      {"update check", &GeneralPage::updateCheckBox, flag_bits::kNoUpdateCheck, false},
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
  EXPECT_TRUE(hours.accessibleDescription().startsWith(u"2: not checked"_qs));
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
  EXPECT_EQ(first->windowModality(), Qt::ApplicationModal);
  controller.Open();
  EXPECT_EQ(controller.dialog(), first.data());
  controller.Close();
  // The dialog and its pages are gone.
  EXPECT_TRUE(QTest::qWaitFor([&first] { return first.isNull(); }, 2000));
  EXPECT_TRUE(savedFlags.empty());
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
