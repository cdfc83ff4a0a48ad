#include "ui/tray/tray_services.h"

#include <QGuiApplication>
#include <QMenu>
#include <QStyleHints>

#include "accounts/account_type_list.h"
#include "accounts/option_flags.h"
#include "app/check_cycle.h"
#include "app/main_window_port.h"
#include "app/running_application.h"
#include "app/window_messages.h"
#include "platform/clock.h"
#include "resources/string_table.h"
#include "ui/adapters/qt_text.h"
#include "ui/tray/tray_icon.h"
#include "ui/tray/tray_menu_view.h"
#include "ui/tray/tray_tooltip.h"

namespace tarvel {

namespace {

bool SameMenu(const std::vector<TrayMenuItem>& a, const std::vector<TrayMenuItem>& b) {
  if (a.size() != b.size())
    return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (a[i].kind != b[i].kind || a[i].command != b[i].command || a[i].icon != b[i].icon ||
        a[i].isDefault != b[i].isDefault || a[i].text.view() != b[i].text.view() ||
        !SameMenu(a[i].children, b[i].children)) {
      return false;
    }
  }
  return true;
}

}  // namespace

TrayServices::TrayServices(DesktopServices& next, Clock& clock,
                           std::function<TraySettings()> settings)
    : next_(next), clock_(clock), readSettings_(std::move(settings)) {}

TrayServices::~TrayServices() = default;

void TrayServices::Attach(RunningApplication& application) {
  application_ = &application;
}

std::vector<TrayMenuAccount> TrayServices::AccountsForMenu(bool withNames) const {
  std::vector<TrayMenuAccount> accounts;
  AccountTypeList& list = application_->accounts();
  for (const MailEngine* engine = list.first(); engine != nullptr;
       engine = AccountTypeList::next(engine)) {
    TrayMenuAccount account;
    account.typeBit = engine->typeBit;
    account.enabled = list.isEnabled(*engine);
    if (withNames) {
      account.displayName = engine->GetDisplayName();
      if (account.enabled)
        account.failure =
            AccountFailureText(account.displayName, engine->lastStatus, engine->lastFailure);
    }
    accounts.push_back(std::move(account));
  }
  return accounts;
}

void TrayServices::AddTrayIcon() {
  if (application_ == nullptr || icon_)
    return;
  settings_ = readSettings_ ? readSettings_() : TraySettings{};
  images_.LoadCustomPictures(settings_.pictureFolder, application_->flags());
  pictures_ = images_.customPictures();
  // No check runs yet: the engines' names can be read here.
  accountNames_ = AccountsForMenu(true);

  composition_ = ComposeTrayIcon(0, CheckStatus::Success, application_->flags().load(), pictures_);
  showingAlternate_ = false;
  icon_ = std::make_unique<TrayIcon>(application_->mainWindow(), kMsgTrayCallback);
  icon_->Create(images_.Icon(composition_, false), Text(kProgramTitle));
  menu_ = std::make_unique<QMenu>();
  menu_->setAccessibleName(ToQString(Text(kProgramTitle)));
  connect(menu_.get(), &QMenu::aboutToShow, this, &TrayServices::RefreshMenu);
  RefreshMenu();
  icon_->SetMenu(menu_.get());
}

void TrayServices::RemoveTrayIcon() {
  if (!icon_)
    return;
  icon_->Destroy();
  icon_.reset();
  menu_.reset();
  shownMenu_.clear();
}

void TrayServices::UpdateTray(uint32_t totalCount, const Text& allMailText, CheckStatus status) {
  if (application_ == nullptr)
    return;
  // On the check thread: only values are built here; the icon, tooltip and menu change on the
  // GUI thread.
  const TrayIconComposition composition =
      ComposeTrayIcon(totalCount, status, application_->flags().load(), pictures_);
  // The engines' names and outcomes change only during a check, so they are read while it
  // still runs.
  std::vector<TrayMenuAccount> accounts = AccountsForMenu(true);
  Text failures;
  for (const TrayMenuAccount& account : accounts) {
    if (account.failure.isEmpty())
      continue;
    if (!failures.isEmpty())
      failures += u"; ";
    failures += account.failure;
  }
  const Text tip = CutTrayTip(TrayTooltipText(totalCount, allMailText, failures));
  QMetaObject::invokeMethod(
      this,
      [this, composition, tip, accounts = std::move(accounts)]() mutable {
        ApplyUpdate(composition, tip, std::move(accounts));
      },
      Qt::QueuedConnection);
}

void TrayServices::ApplyUpdate(const TrayIconComposition& composition, const Text& tip,
                               std::vector<TrayMenuAccount> accounts) {
  if (!icon_)
    return;
  composition_ = composition;
  accountNames_ = std::move(accounts);
  RestartAlternation();
  icon_->SetTip(tip);
  RefreshMenu();
}

void TrayServices::RestartAlternation() {
  const TrayAlternation next = NextTrayAlternation(
      settings_.alternatingShellIcon, composition_.alternate.has_value(), showingAlternate_);
  showingAlternate_ = next.showAlternate;
  MainWindowPort& window = application_->mainWindow();
  if (next.timerRunning) {
    window.SetTimer(kTimerTrayAlternation, settings_.alternatingShellIcon);
  } else {
    window.KillTimer(kTimerTrayAlternation);
  }
  ShowPhase();
}

void TrayServices::ShowPhase() {
  icon_->SetIcon(images_.Icon(composition_, showingAlternate_));
}

void TrayServices::AlternateTrayIcon() {
  if (icon_)
    RestartAlternation();
}

void TrayServices::ShowMessage(const QString& title, const QString& text, int timeoutMs) {
  if (!icon_)
    return;
  const uint32_t timeout = timeoutMs < 0 ? 0 : static_cast<uint32_t>(timeoutMs);
  const std::u16string titleUnits = title.toStdU16String();
  const std::u16string textUnits = text.toStdU16String();
  icon_->ShowBalloon(Text(titleUnits), Text(textUnits), timeout, images_.Icon(composition_, false));
}

QImage TrayServices::CurrentIconImage(int size) const {
  return images_.RenderPrimary(composition_, QSize(size, size));
}

void TrayServices::RefreshMenu() {
  if (!menu_ || application_ == nullptr)
    return;
  std::vector<TrayMenuAccount> accounts = AccountsForMenu(false);
  for (TrayMenuAccount& account : accounts) {
    for (const TrayMenuAccount& named : accountNames_) {
      if (named.typeBit == account.typeBit) {
        account.displayName = named.displayName;
        account.failure = named.failure;
      }
    }
  }
  const CheckCycle& cycle = application_->cycle();
  std::vector<TrayMenuItem> model = BuildTrayMenu(
      accounts, cycle.silenceMinutes(), application_->flags().any(flag_bits::kSilencedForEver));
  if (SameMenu(model, shownMenu_))
    return;
  FillTrayMenu(*menu_, model, [this](uint32_t command) {
    // Commands reach the application as the menu's messages to the main window.
    if (application_ != nullptr)
      application_->mainWindow().PostMessage(kMsgCommand, command, 0);
  });
  shownMenu_ = std::move(model);
}

void TrayServices::OnTrayCallback(uintptr_t, intptr_t event) {
  if (!icon_ || application_ == nullptr)
    return;
  TrayClickContext context;
  const CheckCycle& cycle = application_->cycle();
  context.mailMask = cycle.mailMask();
  context.newMailMask = cycle.newMailMask();
  AccountTypeList& accounts = application_->accounts();
  for (const MailEngine* engine = accounts.first(); engine != nullptr;
       engine = AccountTypeList::next(engine)) {
    if (accounts.isEnabled(*engine))
      context.enabledMask |= engine->typeBit;
  }
  context.soundConfigured = settings_.soundConfigured;
  context.nowMilliseconds = clock_.MonotonicMilliseconds();
  context.doubleClickMilliseconds =
      static_cast<uint32_t>(std::max(QGuiApplication::styleHints()->mouseDoubleClickInterval(), 0));
  const TrayClickAction action = clicks_.OnEvent(static_cast<TrayEvent>(event), context);
  if (action.showMenu) {
    // The tray host or Qt opens the menu itself; it only has to be up to date.
    RefreshMenu();
    return;
  }
  if (action.stopSound && stopSound_)
    stopSound_();
  if (action.openReaders)
    OpenReaders(action.readerMask);
  if (action.checkSoon)
    application_->mainWindow().SetTimer(kTimerCheck, kCheckAfterTrayClickMs);
}

}  // namespace tarvel
