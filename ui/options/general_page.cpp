#include "ui/options/general_page.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDateTime>
#include <QFileDialog>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QLocale>
#include <QPushButton>
#include <QVBoxLayout>

#include <algorithm>
#include <string>

#include "accounts/global_settings.h"
#include "accounts/more_options_table.h"
#include "accounts/option_flags.h"
#include "accounts/settings_store.h"
#include "ui/adapters/qt_text.h"
#include "ui/options/autostart.h"
#include "ui/options/hour_range_control.h"
#include "ui/tray/tray_icon_composer.h"
#include "ui/tray/tray_icon_images.h"

namespace tarvel {

namespace {

// String table entries of the page.
constexpr uint32_t kStringAutomaticUpdates = 5;
constexpr uint32_t kStringLastCheck = 6;
constexpr uint32_t kStringOneMinute = 7;
constexpr uint32_t kStringMinutes = 8;
constexpr uint32_t kStringSelectWave = 10;
constexpr uint32_t kStringWaveFilter = 11;
constexpr uint32_t kStringCheckInterval = 12;
constexpr uint32_t kStringTrayIconStyle = 13;
constexpr uint32_t kStringNewMailSound = 14;
constexpr uint32_t kStringSeconds = 19;
constexpr uint32_t kStringOneSecond = 20;
constexpr uint32_t kStringDisplayDuration = 21;
constexpr uint32_t kStringShowCount = 24;
constexpr uint32_t kStringAlternativeTooltip = 26;
constexpr uint32_t kStringShowMailList = 33;
constexpr uint32_t kStringCheckHours = 38;

constexpr uint32_t kPlayIcon = 111;
// Marks a stored RefreshTime as seconds; without it the value is minutes.
constexpr uint64_t kRefreshInSeconds = 0x80000000;
constexpr uint64_t kLargestSeconds = 0x7FFFFFFF;

const QString kNumberPlaceholder = u"%1!u!"_qs;

QString Filled(uint32_t id, uint32_t number) {
  return LoadQString(id).replace(kNumberPlaceholder, QString::number(number));
}

std::optional<uint32_t> FirstNumber(const QString& text) {
  return ScanUnsigned(text.toStdU16String());
}

// Whether a text names the unit of a string table entry (the entry without its number).
bool Mentions(const QString& text, uint32_t unitStringId, const QString& number) {
  return text.contains(LoadQString(unitStringId).remove(number), Qt::CaseInsensitive);
}

uint32_t Clamped(uint64_t seconds) {
  return static_cast<uint32_t>(std::min(seconds, kLargestSeconds));
}

// "Wave files|*.wav|All files|*.*||" as a Qt file dialog filter.
QString FileDialogFilter(const QString& pairs) {
  const QStringList parts = pairs.split(u'|', Qt::SkipEmptyParts);
  QStringList filters;
  for (qsizetype index = 0; index + 1 < parts.size(); index += 2)
    filters << u"%1 (%2)"_qs.arg(parts[index], QString(parts[index + 1]).replace(u';', u' '));
  return filters.join(u";;"_qs);
}

void FillList(QComboBox* list, std::initializer_list<std::pair<QString, uint32_t>> items,
              uint32_t current) {
  for (const auto& [text, value] : items)
    list->addItem(text, value);
  const int index = list->findData(current);
  if (index >= 0)
    list->setCurrentIndex(index);
  else
    list->setEditText(option_lists::DurationText(current));
}

}  // namespace

namespace option_lists {

QString SecondsText(uint32_t seconds) {
  return Filled(kStringSeconds, seconds);
}

QString MinutesText(uint32_t minutes) {
  return minutes == 1 ? LoadQString(kStringOneMinute) : Filled(kStringMinutes, minutes);
}

QString DurationText(uint32_t seconds) {
  if (seconds >= 60 && seconds % 60 == 0)
    return Filled(kStringMinutes, seconds / 60);
  return SecondsText(seconds);
}

std::optional<uint32_t> IntervalSeconds(const QString& text) {
  const std::optional<uint32_t> number = FirstNumber(text);
  if (!number)
    return std::nullopt;
  const bool inSeconds = Mentions(text, kStringSeconds, kNumberPlaceholder) ||
                         Mentions(text, kStringOneSecond, u"1 "_qs);
  return Clamped(inSeconds ? uint64_t{*number} : uint64_t{*number} * 60);
}

std::optional<uint32_t> DisplaySeconds(const QString& text) {
  const std::optional<uint32_t> number = FirstNumber(text);
  if (!number)
    return std::nullopt;
  const bool inMinutes = Mentions(text, kStringMinutes, kNumberPlaceholder) ||
                         Mentions(text, kStringOneMinute, u"1 "_qs);
  return Clamped(inMinutes ? uint64_t{*number} * 60 : uint64_t{*number});
}

}  // namespace option_lists

GeneralPage::GeneralPage(OptionsContext& context, QWidget* parent)
    : OptionsPage(parent), context_(context) {
  auto* layout = new QGridLayout(this);
  int row = 0;
  const auto addLabelled = [&](uint32_t labelId, QWidget* control) {
    auto* label = new QLabel(LoadQString(labelId), this);
    label->setBuddy(control);
    control->setAccessibleName(label->text());
    layout->addWidget(label, row, 0);
    layout->addWidget(control, row, 1);
    ++row;
  };
  const auto addCheckBox = [&](uint32_t labelId) {
    auto* box = new QCheckBox(LoadQString(labelId), this);
    box->setAccessibleName(box->text());
    layout->addWidget(box, row++, 0, 1, 2);
    return box;
  };

  // A typed value is read on save; it never becomes an item of its list (Return included).
  interval_ = new QComboBox(this);
  interval_->setEditable(true);
  interval_->setInsertPolicy(QComboBox::NoInsert);
  addLabelled(kStringCheckInterval, interval_);
  duration_ = new QComboBox(this);
  duration_->setEditable(true);
  duration_->setInsertPolicy(QComboBox::NoInsert);
  addLabelled(kStringDisplayDuration, duration_);
  alternativeTooltip_ = addCheckBox(kStringAlternativeTooltip);
  // On a Wayland desktop the program cannot place its popup window: the note tells what the
  // option does there.
  popupNote_ = new QLabel(
      tr("On this Wayland desktop the notice comes as a desktop notification: the desktop does "
         "not let a program place its popup window at the corner."),
      this);
  popupNote_->setWordWrap(true);
  popupNote_->setAccessibleName(popupNote_->text());
  popupNote_->setContentsMargins(popupNote_->fontMetrics().height() * 3 / 2, 0, 0, 0);
  layout->addWidget(popupNote_, row++, 0, 1, 2);
  popupNote_->setVisible(context_.popupComesAsNotification);
  if (context_.popupComesAsNotification)
    alternativeTooltip_->setAccessibleDescription(popupNote_->text());

  style_ = new QComboBox(this);
  addLabelled(kStringTrayIconStyle, style_);
  showCount_ = addCheckBox(kStringShowCount);

  auto* soundRow = new QHBoxLayout;
  sound_ = new QLineEdit(this);
  chooseSound_ = new QPushButton(u"..."_qs, this);
  chooseSound_->setAccessibleName(LoadQString(kStringSelectWave));
  chooseSound_->setFixedWidth(chooseSound_->fontMetrics().horizontalAdvance(u"..."_qs) * 3 + 16);
  chooseSound_->setToolTip(LoadQString(kStringSelectWave));
  playSound_ = new QPushButton(this);
  playSound_->setIcon(ProgramIcon(kPlayIcon));
  playSound_->setAccessibleName(tr("Play"));
  playSound_->setToolTip(tr("Play"));
  soundRow->addWidget(sound_, 1);
  soundRow->addWidget(chooseSound_);
  soundRow->addWidget(playSound_);
  auto* soundLabel = new QLabel(LoadQString(kStringNewMailSound), this);
  soundLabel->setBuddy(sound_);
  sound_->setAccessibleName(soundLabel->text());
  layout->addWidget(soundLabel, row, 0);
  layout->addLayout(soundRow, row++, 1);

  hours_ = new HourRangeControl(HourRangeControl::Kind::Hours, 0, this);
  days_ = new HourRangeControl(HourRangeControl::Kind::Days, context_.firstDayOfWeek, this);
  auto* hoursLabel = new QLabel(LoadQString(kStringCheckHours), this);
  hoursLabel->setBuddy(hours_);
  hours_->setAccessibleName(hoursLabel->text());
  days_->setAccessibleName(tr("Days for Mail Check"));
  layout->addWidget(hoursLabel, row++, 0, 1, 2);
  layout->addWidget(hours_, row++, 0, 1, 2);
  layout->addWidget(days_, row++, 0, 1, 2);

  mailList_ = addCheckBox(kStringShowMailList);
  startAtLogin_ = new QCheckBox(tr("Start when I log in"), this);
  startAtLogin_->setAccessibleName(startAtLogin_->text());
  layout->addWidget(startAtLogin_, row++, 0, 1, 2);
  startAtLogin_->setVisible(offersStartAtLogin());
  // Without an update host the box cannot be ticked and the line below it says why; the
  // stored choice is left as it is for a copy that has one.
  updateCheck_ = addCheckBox(kStringAutomaticUpdates);
  updateCheck_->setEnabled(context_.updateCheckAvailable);
  if (!context_.updateCheckAvailable) {
    auto* noUpdateCheck = new QLabel(tr("This version has no update check."), this);
    noUpdateCheck->setWordWrap(true);
    updateCheck_->setAccessibleDescription(noUpdateCheck->text());
    updateCheck_->setToolTip(noUpdateCheck->text());
    layout->addWidget(noUpdateCheck, row++, 0, 1, 2);
  }
  lastCheck_ = new QLabel(this);
  layout->addWidget(lastCheck_, row++, 0, 1, 2);
  layout->setRowStretch(row, 1);
  layout->setColumnStretch(1, 1);

  connect(chooseSound_, &QPushButton::clicked, this, &GeneralPage::ChooseSound);
  connect(playSound_, &QPushButton::clicked, this, [this] {
    if (context_.playSound && !sound_->text().isEmpty())
      context_.playSound(ToText(sound_->text()));
  });
  Load();
}

void GeneralPage::Load() {
  const GlobalSettings& globals = *context_.globals;
  const uint64_t flags = context_.flags->load();
  using option_lists::MinutesText;
  using option_lists::SecondsText;
  FillList(interval_,
           {{SecondsText(30), 30},
            {MinutesText(1), 60},
            {MinutesText(5), 300},
            {MinutesText(10), 600},
            {MinutesText(30), 1800},
            {MinutesText(60), 3600},
            {MinutesText(120), 7200}},
           globals.refreshSeconds);
  FillList(duration_,
           {{SecondsText(5), 5},
            {SecondsText(10), 10},
            {SecondsText(30), 30},
            {MinutesText(1), 60},
            {MinutesText(2), 120}},
           globals.toolTipTime);
  alternativeTooltip_->setChecked((flags & flag_bits::kPopupAnnouncements) != 0);

  const TrayIconStyleInfo& current = TrayIconStyleFromFlags(flags);
  for (const TrayIconStyleInfo& style : kTrayIconStyles) {
    style_->addItem(ProgramIcon(style.noMailIcon), ToQString(style.name),
                    static_cast<int>(style.style));
    if (style.style == current.style)
      style_->setCurrentIndex(style_->count() - 1);
  }
  showCount_->setChecked((flags & flag_bits::kHideTrayCount) == 0);
  sound_->setText(ToQString(globals.newMailSound.view()));
  hours_->setMask(globals.checkRange);
  days_->setMask(globals.checkRangeDays);
  mailList_->setChecked((flags & flag_bits::kShowMailListWindow) != 0);
  updateCheck_->setChecked(context_.updateCheckAvailable &&
                           (flags & flag_bits::kNoUpdateCheck) == 0);
  if (context_.autostart)
    startAtLogin_->setChecked(IsStartAtLoginOn(*context_.autostart));
  const uint64_t lastCheck = context_.store->readNumber(u"LastCheck", 0);
  if (lastCheck != 0 && lastCheck <= static_cast<uint64_t>(INT64_MAX)) {
    const QDateTime when = QDateTime::fromSecsSinceEpoch(static_cast<qint64>(lastCheck));
    lastCheck_->setText(LoadQString(kStringLastCheck)
                            .arg(QLocale().toString(when.toLocalTime(), QLocale::ShortFormat)));
  }
}

void GeneralPage::ChooseSound() {
  // Modal to the options window only, and without a nested event loop: the tray and the
  // checks go on while it is open.
  auto* chooser = new QFileDialog(this, LoadQString(kStringSelectWave), sound_->text(),
                                  FileDialogFilter(LoadQString(kStringWaveFilter)));
  chooser->setAttribute(Qt::WA_DeleteOnClose);
  chooser->setFileMode(QFileDialog::ExistingFile);
  chooser->setWindowModality(Qt::WindowModal);
  connect(chooser, &QFileDialog::fileSelected, this, [this](const QString& path) {
    if (!path.isEmpty())
      sound_->setText(path);
  });
  chooser->open();
}

void GeneralPage::Save() {
  SettingsStore& store = *context_.store;
  GlobalSettings& globals = *context_.globals;
  // A typed text without a number keeps the value in effect.
  if (const std::optional<uint32_t> seconds =
          option_lists::IntervalSeconds(interval_->currentText())) {
    globals.refreshTime = kRefreshInSeconds | *seconds;
    globals.refreshSeconds = RefreshSecondsFromStored(globals.refreshTime);
    store.writeNumber(u"RefreshTime", globals.refreshTime);
  }
  if (const std::optional<uint32_t> seconds =
          option_lists::DisplaySeconds(duration_->currentText())) {
    globals.toolTipTime = *seconds;
    store.writeNumber(u"ToolTipTime", globals.toolTipTime);
  }

  OptionFlags& flags = *context_.flags;
  flags.clear(flag_bits::kTrayStyleMask);
  const int chosen = style_->currentIndex();
  if (chosen >= 0 && chosen < static_cast<int>(kTrayIconStyles.size()))
    flags.set(kTrayIconStyles[static_cast<std::size_t>(chosen)].flagBit);
  const auto setFlag = [&flags](uint64_t bit, bool on) {
    if (on)
      flags.set(bit);
    else
      flags.clear(bit);
  };
  setFlag(flag_bits::kHideTrayCount, !showCount_->isChecked());
  setFlag(flag_bits::kPopupAnnouncements, alternativeTooltip_->isChecked());
  setFlag(flag_bits::kShowMailListWindow, mailList_->isChecked());
  if (context_.updateCheckAvailable)
    setFlag(flag_bits::kNoUpdateCheck, !updateCheck_->isChecked());

  globals.newMailSound = ToText(sound_->text());
  store.writeText(u"NewMailSound", globals.newMailSound);
  globals.checkRange = hours_->mask();
  store.writeNumber(u"CheckRange", globals.checkRange);
  globals.checkRangeDays = days_->mask();
  store.writeNumber(u"CheckRangeDays", globals.checkRangeDays);
  if (offersStartAtLogin() && startAtLogin_->isChecked() != IsStartAtLoginOn(*context_.autostart)) {
    SetStartAtLogin(*context_.autostart, startAtLogin_->isChecked());
  }
}

}  // namespace tarvel
