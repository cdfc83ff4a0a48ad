#pragma once

#include <cstdint>
#include <optional>

#include "ui/options/autostart.h"
#include "ui/options/options_page.h"

class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;

namespace tarvel {

class HourRangeControl;

// The texts the interval and duration lists show and read back. A list item's text maps to
// its value in seconds; a typed text is read by the lists' unit rules.
namespace option_lists {

// "30 Seconds", "1 Minute", "5 Minutes" ... as the check interval list offers them.
QString SecondsText(uint32_t seconds);
QString MinutesText(uint32_t minutes);
// The text a stored number of seconds shows when no list item has that value: minutes when
// it is a whole number of minutes (at least one), else seconds.
QString DurationText(uint32_t seconds);
// The interval a text stands for, in seconds: the first number, in minutes unless the text
// speaks of seconds. Nothing when the text holds no number.
std::optional<uint32_t> IntervalSeconds(const QString& text);
// The notice duration a text stands for, in seconds: the first number, in seconds unless the
// text speaks of minutes. Nothing when the text holds no number.
std::optional<uint32_t> DisplaySeconds(const QString& text);

}  // namespace option_lists

// The general options: check interval, notice duration, tray icon style and count, the
// new-mail sound, check hours and days, the mail list window, start at login; the update check
// is shown as not available in this version.
class GeneralPage : public OptionsPage {
  Q_OBJECT

 public:
  GeneralPage(OptionsContext& context, QWidget* parent = nullptr);

  void Save() override;

  QComboBox* intervalList() const { return interval_; }
  QComboBox* durationList() const { return duration_; }
  QComboBox* styleList() const { return style_; }
  QCheckBox* alternativeTooltipBox() const { return alternativeTooltip_; }
  QCheckBox* showCountBox() const { return showCount_; }
  QCheckBox* mailListBox() const { return mailList_; }
  QCheckBox* updateCheckBox() const { return updateCheck_; }
  QCheckBox* startAtLoginBox() const { return startAtLogin_; }
  QLineEdit* soundEdit() const { return sound_; }
  QPushButton* chooseSoundButton() const { return chooseSound_; }
  QPushButton* playSoundButton() const { return playSound_; }
  HourRangeControl* hoursControl() const { return hours_; }
  HourRangeControl* daysControl() const { return days_; }
  QLabel* lastCheckLabel() const { return lastCheck_; }
  // The note under the popup option; shown only where the popup comes as a notification.
  QLabel* popupNoteLabel() const { return popupNote_; }

 private:
  void Load();
  void ChooseSound();
  // A portable copy never starts at login, so it does not offer the option.
  bool offersStartAtLogin() const {
    return context_.autostart != nullptr && !context_.autostart->portable;
  }

  OptionsContext& context_;
  QComboBox* interval_;
  QComboBox* duration_;
  QCheckBox* alternativeTooltip_;
  QComboBox* style_;
  QCheckBox* showCount_;
  QLineEdit* sound_;
  QPushButton* chooseSound_;
  QPushButton* playSound_;
  HourRangeControl* hours_;
  HourRangeControl* days_;
  QCheckBox* mailList_;
  QCheckBox* startAtLogin_;
  QCheckBox* updateCheck_;
  QLabel* lastCheck_;
  QLabel* popupNote_;
};

}  // namespace tarvel
