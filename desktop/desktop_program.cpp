#include "desktop/desktop_program.h"

#include <QApplication>
#include <QFile>
#include <QScreen>

#include <algorithm>
#include <cstdint>
#include <utility>

#include "accounts/account_type_bits.h"
#include "accounts/global_settings.h"
#include "accounts/option_flags.h"
#include "app/check_cycle.h"
#include "app/engine_registry.h"
#include "app/exception_check.h"
#include "app/window_messages.h"
#include "engines/protocol/imap_engine.h"
#include "maintenance/update_answer.h"
#include "platform/program_path.h"
#include "platform/version.h"
#include "resources/string_table.h"
#include "ui/adapters/popup_placement.h"
#include "ui/adapters/wayland_client.h"
#include "ui/notice/html_container.h"
#include "ui/options/account_page.h"
#include "ui/tray/tray_icon_images.h"

namespace tarvel {

namespace {

// The notification's picture: the tray's composed icon at the size notifications show.
constexpr int kNotificationIconSize = 64;
// The loopback address the IMAP providers send the login window's browser back to; the
// window takes the answer from the address before anything is loaded from it.
constexpr std::u16string_view kLoginWindowRedirectUri = u"http://127.0.0.1/";

}  // namespace

void DesktopProgram::PrepareQt() {
  QApplication::setApplicationName(QString::fromStdU16String(std::u16string(kProgramTitle)));
  QApplication::setApplicationVersion(
      QString::fromUtf8(kVersion.data(), static_cast<qsizetype>(kVersion.size())));
  QApplication::setQuitOnLastWindowClosed(false);
  QApplication::setWindowIcon(ProgramIcon(kApplicationIcon));
}

DesktopProgram::DesktopProgram(std::vector<std::string> arguments)
    : trace_(TraceLog::DefaultPath()),
      settings_(RegistryStore::DefaultPath(), ProgramFolder()),
      userRegistry_(RegistryStore::DefaultPath()),
      alerts_(&userRegistry_, &settings_.store(), clock_, ProgramFolder()),
      userBusy_(alerts_),
      popupPresenter_(PopupHooks(), userBusy_),
      placeholders_(trace_, popupPresenter_),
      services_(placeholders_, clock_, [this] { return ReadTraySettings(); }),
      mailListBuilder_(MailListSources()),
      mailListNotifier_(mailListBuilder_),
      trayNotifier_(services_),
      alertsNotifier_(alerts_.alerts(), [this] { return RunningAccounts(); }),
      busInterface_(busMailState_, BusHooks()),
      busMailNotifier_(busMailState_, clock_, [this] { busInterface_.PostPublished(); }),
      oauth_(oauthHttp_, clock_, &settings_.store(), &trace_),
      loginWindows_(settings_.store(), LoginHooks()),
      application_(ApplicationParts{settings_, services_, observers_, loginWindows_, clock_, trace_,
                                    Engines()},
                   std::move(arguments)),
      mailMarker_(std::make_unique<MailMarker>(busMailState_,
                                               [this](uint32_t typeBit) -> MailEngine* {
                                                 const AccountTypeList& accounts =
                                                     application_.accounts();
                                                 for (MailEngine* engine = accounts.first(); engine;
                                                      engine = AccountTypeList::next(engine)) {
                                                   if (engine->typeBit == typeBit)
                                                     return engine;
                                                 }
                                                 return nullptr;
                                               })),
      readers_([this] { return &application_.accounts(); }, readerLauncher_) {
  oauthHttp_.SetStopSignal(&oauthStop_);
  // The check thread reads the published copy of the settings, never the values in memory
  // that the options dialog edits on this thread.
  alerts_.UseGlobals([this] { return settings_.published(); });
  services_.setStopSound([this] { alerts_.alerts().StopNewMailSound(); });
  if (const QScreen* screen = QGuiApplication::primaryScreen())
    mailListBuilder_.setDpiFactor(DpiFactorOf(screen));
  // Only the popup asks whether the user is busy; a desktop notification leaves
  // do-not-disturb to its server.
  noticeNotifier_.setBeforeNotice([this] {
    if (running_ && running_->flags().any(flag_bits::kPopupAnnouncements))
      userBusy_.Refresh();
  });
  // Each step of a check reaches the mail list (rows and page), the notice, the tray, then
  // the alerts (their share of the tray update: keyboard display and unread counts; the sound
  // and the haptic pulse).
  observers_.Add(mailListNotifier_);
  observers_.Add(noticeNotifier_);
  observers_.Add(trayNotifier_);
  observers_.Add(alertsNotifier_);
  observers_.Add(busMailNotifier_);

  running_ = &application_;
  // Before the start-up, whose first check may already read Notes.
  mainThreadRelay_.Connect([this](uintptr_t wParam, intptr_t lParam) {
    application_.mainWindow().PostMessage(kMsgNotesRequest, wParam, lParam);
  });
  mainThreadRelay_.ConnectTasks([this](MainThreadRelay::Task task) {
    QMetaObject::invokeMethod(&mainThreadTasks_, std::move(task), Qt::QueuedConnection);
  });
  services_.Attach(application_);
  // The tray's readers go through the placeholders' seam to the reader launch.
  placeholders_.openReaders = [this](uint32_t typeMask) { readers_.OpenReaders(typeMask); };
  WireMailListWindow();
  WireOptions();
  WireUpdateCheck();
  desktopNotification_.setClickAction([this] { OpenNewMailReaders(); });
  desktopNotification_.setMarkRead(
      [this] { return busMailState_.MarkableNewIds(); },
      [this](std::vector<std::string> ids) { MarkRead(std::move(ids), true, nullptr); });
  // Without a notification server the notice becomes the tray icon's own message; the
  // notification shows the tray's composed icon.
  desktopNotification_.setFallback(
      [this](const QString& title, const QString& text, int timeoutMs) {
        services_.ShowMessage(title, text, timeoutMs);
      });
  desktopNotification_.setIconProvider(
      [this](CheckStatus) { return services_.CurrentIconImage(kNotificationIconSize); });
  // Before the start-up, whose first check may already bring new mail.
  notice_ = std::make_unique<NewMailNotice>(application_.flags(), application_.mainWindow(),
                                            desktopNotification_);
  noticeNotifier_.setNotice(notice_.get());
  // Where the desktop places new windows itself (Wayland), the popup option's notice comes as
  // a desktop notification, and the options dialog says so.
  // Where the compositor offers layer surfaces, the popup is one, anchored at the corner.
  if (QGuiApplication::platformName().startsWith(u"wayland"))
    waylandClient_ = WaylandClient::Connect();
  const DesktopSession session = CurrentDesktopSession(waylandClient_.get());
  const PopupPlacement placement = PlacementFor(session);
  if (placement == PopupPlacement::LayerSurface)
    popupPresenter_.setLayerShell(waylandClient_.get());
  else
    waylandClient_.reset();
  const bool popupPlaced = placement != PopupPlacement::Notification;
  notice_->setPopupPlaceable(popupPlaced);
  optionsContext_.popupComesAsNotification = !popupPlaced;
  if (session.wayland)
    trace_.Record(session.layerShell ? "WaylandSessionWithLayerShell" : "WaylandSession");
}

DesktopProgram::~DesktopProgram() {
  oauthStop_.store(true);
}

int DesktopProgram::Run() {
  // A second start hands its request to the running instance and ends with exit code 0.
  if (application_.OnCreate() != 0)
    return 0;
  // The account types exist once the application is created.
  optionsContext_.accounts = &application_.accounts();
  optionsContext_.updateCheckAvailable = !UpdateHost().isEmpty();
  notice_->setToolTipSeconds(settings_.globals().toolTipTime);
  // The command line is read now: a portable copy never writes an autostart entry.
  autostartPlace_ = AutostartPlaceForThisProgram(application_.commandLine().portable);
  checkInRelay_.Connect([this] { application_.cycle().CheckIn(CheckTrigger::Timed); });
  application_.WatchTerminationSignals();
  application_.WatchStandby();
  // Only the first instance gets here: its object goes on the session bus.
  busInterface_.Register();
  const int exitCode = QApplication::exec();
  busInterface_.Unregister();
  updateChecker_.Stop();
  checkInRelay_.Disconnect();
  mainThreadRelay_.Disconnect();
  loginWindows_.CloseAll();
  placeholders_.setOptions(nullptr);
  noticeNotifier_.setNotice(nullptr);
  // The shutdown has saved everything; a parked thread must not hold up the rest.
  EndIfAThreadIsParked(exitCode);
  return exitCode;
}

PopupPresenter::Hooks DesktopProgram::PopupHooks() {
  PopupPresenter::Hooks hooks;
  hooks.open = [this] { OpenNewMailReaders(); };
  hooks.content = [this] { return notice_ ? notice_->popupContent() : PopupContent(); };
  hooks.settings = [this] {
    const GlobalSettings& globals = settings_.globals();
    PopupSettings popup;
    popup.taskBarWindowWidth = globals.taskBarWindowWidth;
    popup.transparency = globals.transparency;
    popup.toolTipSeconds = globals.toolTipTime;
    popup.textColor = globals.textColor;
    popup.backgroundColor = globals.backgroundColor;
    popup.backgroundLogoColor = globals.backgroundLogoColor;
    return popup;
  };
  hooks.allowWhileBusy = [this] {
    return settings_.store().readNumber(u"AllowToolTipInFullscreen", 0) == 1;
  };
  return hooks;
}

TraySettings DesktopProgram::ReadTraySettings() const {
  // Read on the check thread: the published copy, as the alerts and the mail list read it.
  const std::shared_ptr<const GlobalSettings> published = settings_.published();
  TraySettings tray;
  tray.alternatingShellIcon = published->alternatingShellIcon;
  tray.soundConfigured = !published->newMailSound.isEmpty();
  tray.pictureFolder = QString::fromStdString(ProgramFolder());
  return tray;
}

MailListBuilder::Sources DesktopProgram::MailListSources() {
  MailListBuilder::Sources sources;
  sources.loadTemplate = [](uint32_t id) {
    QFile file(u":/html/%1.html"_qs.arg(id));
    return file.open(QIODevice::ReadOnly) ? file.readAll().toStdString() : std::string();
  };
  sources.settings = [this] {
    const std::shared_ptr<const GlobalSettings> published = settings_.published();
    const GlobalSettings& globals = *published;
    MailListSettings list;
    list.includeProvider = globals.mailListIncludeProvider == 1;
    list.colors = {globals.titleColor, globals.textColor,       globals.providerColor,
                   globals.noteColor,  globals.backgroundColor, globals.backgroundLogoColor};
    return list;
  };
  sources.pageReady = [this] {
    if (mailList_)
      mailList_->PostReload();
  };
  return sources;
}

const AccountTypeList* DesktopProgram::RunningAccounts() const {
  return running_ ? &running_->accounts() : nullptr;
}

EngineFactory DesktopProgram::Engines() {
  return [this](const AccountTypeInfo& type) {
    EngineContext context;
    context.settings = &settings_.store();
    context.flags = running_ ? &running_->flags() : nullptr;
    context.clock = &clock_;
    context.checkIn = &checkInRelay_;
    context.mainThread = &mainThreadRelay_;
    context.trace = &trace_;
    context.tokenRefresher = &oauth_;
    return CreateEngine(type, context);
  };
}

// The login windows: the start pages follow the settings in memory, a sign-in brings the
// next check forward, the IMAP rows hand the provider's answer to the authoriser.
LoginWindows::Hooks DesktopProgram::LoginHooks() {
  LoginWindows::Hooks hooks;
  hooks.startPage = [this](uint32_t typeBit) {
    return web_login::StartPageContextOf(
        running_ ? running_->accounts().findByTypeBit(typeBit) : nullptr,
        settings_.globals().outlookAccountType);
  };
  hooks.startCheckTimer = [this](uint32_t delayMs) {
    if (running_)
      running_->mainWindow().SetTimer(kTimerCheck, delayMs);
  };
  hooks.startRegularCheckTimer = [this] {
    if (running_) {
      running_->mainWindow().SetTimer(
          kTimerCheck, static_cast<uint32_t>(std::min<uint64_t>(
                           uint64_t{running_->cycle().refreshSeconds()} * 1000, UINT32_MAX)));
    }
  };
  hooks.trace = [this](std::string_view entry) { trace_.Record(entry); };
  // The engines live as long as the application; the windows' workers end before it goes.
  hooks.beginOAuth = [this](uint32_t typeBit, Text* url, Text* script, std::stop_token) {
    auto* engine =
        running_ ? dynamic_cast<ImapEngine*>(running_->accounts().findByTypeBit(typeBit)) : nullptr;
    if (!engine)
      return false;
    const AuthorizationStart start =
        oauth_.BeginAuthorization(*engine, Text(kLoginWindowRedirectUri));
    if (start.status != TokenStatus::Ready)
      return false;
    *url = start.address;
    *script = start.script;
    return true;
  };
  hooks.completeOAuth = [this](uint32_t typeBit, const Text& url, std::stop_token stop) {
    auto* engine =
        running_ ? dynamic_cast<ImapEngine*>(running_->accounts().findByTypeBit(typeBit)) : nullptr;
    return engine && oauth_.CompleteAuthorization(*engine, url, stop) == TokenStatus::Ready;
  };
  return hooks;
}

// The mail list window: a row opens its type's reader and checks again ten seconds later;
// the user's close turns the option off and saves it.
void DesktopProgram::WireMailListWindow() {
  MailListWindow::Hooks hooks;
  hooks.openReaders = [this](uint32_t typeMask) { services_.OpenReaders(typeMask); };
  hooks.restartCheckTimer = [this](uint32_t delayMs) {
    application_.mainWindow().SetTimer(kTimerCheck, delayMs);
  };
  hooks.closedByUser = [this] { settings_.SaveFlags(TurnOffMailList(application_.flags())); };
  hooks.page = [this] { return mailListBuilder_.page(); };
  hooks.dpiFactorChanged = [this](double factor) { mailListBuilder_.Rescale(factor); };
  mailList_ = std::make_unique<MailListController>(hooks, settings_.store(), [this] {
    MailListWindowOptions options;
    options.showInTaskbar = settings_.store().readNumber(u"MailListShowInTaskbar", 0) != 0;
    options.topMost = settings_.store().readNumber(u"MailListTopMost", 0) != 0;
    return options;
  });
  placeholders_.setMailList(mailList_.get());
}

// The options dialog edits the store and the values in memory; its OK applies them and
// starts a check at once, as the user's own request.
void DesktopProgram::WireOptions() {
  optionsContext_.store = &settings_.store();
  optionsContext_.globals = &settings_.mutableGlobals();
  optionsContext_.flags = &application_.flags();
  // The account-change link ends the type's web session off the GUI thread; a successful
  // logout brings the next check forward.
  WebLogoutRunner::Hooks logoutHooks;
  logoutHooks.startCheckTimer = [this](uint32_t delayMs) {
    application_.mainWindow().SetTimer(kTimerCheck, delayMs);
  };
  logoutHooks.virgilioCredentialsCleared = [this] {
    settings_.mutableGlobals().virgilioEmail.clear();
    settings_.mutableGlobals().virgilioPassword.clear();
    settings_.Publish();
  };
  webLogout_ = std::make_unique<WebLogoutRunner>(settings_.store(), logoutHooks);
  optionsContext_.logout = [this](const AccountTypeInfo& type) {
    if (!webLogout_->Start(type.typeBit, settings_.globals().hotmailAccountType))
      trace_.Record("LogoutNotStarted");
  };
  // The sign-in's tokens go to the running account of the slot, and a check follows soon.
  ImapSignInRunner::Services signInServices{oauth_, settings_.store(), clock_, &trace_, {}, {}};
  signInServices.openAddress = OpenWithDefaultHandler;
  signInServices.signedIn = [this](uint32_t slot, const Text& accessToken,
                                   const Text& refreshToken) {
    constexpr uint32_t kSlotTypeBits[kImapSlotCount] = {type_bits::kImap1, type_bits::kImap2,
                                                        type_bits::kImap3};
    if (auto* engine = dynamic_cast<ImapEngine*>(
            application_.accounts().findByTypeBit(kSlotTypeBits[slot % kImapSlotCount]))) {
      engine->StoreRefreshToken(refreshToken);
      engine->SetAccessToken(accessToken);
    }
    application_.mainWindow().SetTimer(kTimerCheck, 1000);
  };
  imapSignIn_ = std::make_unique<ImapSignInRunner>(std::move(signInServices));
  // The browser helper's login window signs in the running account of the slot with its own
  // values; it takes the sign-in only when those are the page's, and the desktop's browser
  // signs in with the page's values otherwise, or when the window cannot be shown.
  imapSignIn_->setBrowserHelperSignIn(
      [this](uint32_t slot, const ImapAccountSettings& account,
             std::function<void(ImapSignInRunner::HelperEnd)> done) {
        constexpr uint32_t kSlotTypeBits[kImapSlotCount] = {type_bits::kImap1, type_bits::kImap2,
                                                            type_bits::kImap3};
        const uint32_t typeBit = kSlotTypeBits[slot % kImapSlotCount];
        auto* engine = dynamic_cast<ImapEngine*>(application_.accounts().findByTypeBit(typeBit));
        if (!engine || !LoginWindows::BrowserAvailable())
          return false;
        const ImapAccountSettings running = engine->settings();
        if (running.server != account.server.view() || running.user != account.user.view() ||
            running.authMethod != account.authMethod)
          return false;
        return loginWindows_.OpenForImapSignIn(
            typeBit, [done = std::move(done)](LoginWindow::Outcome outcome) {
              using End = ImapSignInRunner::HelperEnd;
              switch (outcome) {
                case LoginWindow::Outcome::SignedIn:
                  done(End::SignedIn);
                  return;
                case LoginWindow::Outcome::ClosedByUser:
                  done(End::Closed);
                  return;
                case LoginWindow::Outcome::NotSignedIn:
                  done(End::NotSignedIn);
                  return;
                case LoginWindow::Outcome::Failed:
                  done(End::NotShown);
                  return;
              }
            });
      });
  optionsContext_.imapSignIn = imapSignIn_.get();
  optionsContext_.signIn = [this](const AccountTypeInfo& type) {
    if (!loginWindows_.OpenForSignIn(type.typeBit))
      trace_.Record("SignInNotStarted");
  };
  optionsContext_.setCheckTimer = [this](uint32_t delayMs) {
    application_.mainWindow().SetTimer(kTimerCheck, delayMs);
  };
  optionsContext_.openUrl = [](std::string_view url) { OpenWithDefaultHandler(std::string(url)); };
  optionsContext_.playSound = [this](const Text& path) { optionsSoundPlayer_.Play(path); };
  optionsContext_.autostart = &autostartPlace_;
  optionsContext_.firstDayOfWeek = LocaleFirstDayOfWeek();
  OptionsDialog::Hooks hooks;
  hooks.createAccountPage = CreateAccountPage;
  hooks.saveFlags = [this](uint64_t flags) { settings_.SaveFlags(flags); };
  // The dialog's end (OK, or Cancel after More Options edits) hands the values in memory to
  // the check thread in one step.
  hooks.publishSettings = [this] { settings_.Publish(); };
  hooks.startCheck = [this] {
    const GlobalSettings& globals = settings_.globals();
    ApplyCheckSettings(globals, application_.cycle());
    globals.ApplyTo(application_.accounts());
    application_.accounts().LoadSettings(settings_.store());
    if (notice_)
      notice_->setToolTipSeconds(globals.toolTipTime);
    application_.mainWindow().PostMessage(kMsgStartCheck, 1, 0);
  };
  hooks.showMailList = [this](bool show) {
    if (show)
      placeholders_.OpenMailList();
    else
      placeholders_.CloseMailList();
  };
  options_ = std::make_unique<OptionsController>(optionsContext_, hooks);
  placeholders_.setOptions(options_.get());
}

// The bus's commands: a check as the tray's "Check Now" starts it, and the silence of the tray's
// menu.
BusInterface::Hooks DesktopProgram::BusHooks() {
  BusInterface::Hooks hooks;
  hooks.checkNow = [this] {
    if (running_)
      running_->cycle().CheckIn(CheckTrigger::Manual);
  };
  hooks.silence = [this](int32_t minutes) {
    if (running_)
      running_->cycle().SilenceFor(minutes);
  };
  hooks.trace = [this](std::string_view entry) { trace_.Record(entry); };
  hooks.markRead = [this](std::vector<std::string> ids, MailMarker::Done done) {
    MarkRead(std::move(ids), false, std::move(done));
  };
  return hooks;
}

void DesktopProgram::MarkRead(std::vector<std::string> ids, bool tellFailure,
                              MailMarker::Done done) {
  trace_.Record("MarkRead");
  mailMarker_->Mark(std::move(ids), [this, tellFailure,
                                     done = std::move(done)](const MailMarker::Outcome& outcome) {
    QMetaObject::invokeMethod(
        &busInterface_,
        [this, tellFailure, outcome] {
          if (!outcome.marked.empty()) {
            // The count on the bus drops now; the check brings the tray, its tooltip and the
            // mail list to what the server holds.
            busInterface_.PostPublished();
            if (running_)
              running_->cycle().CheckIn(CheckTrigger::Manual);
          }
          if (!outcome.failure.empty()) {
            trace_.Record("MarkReadFailed");
            if (tellFailure) {
              desktopNotification_.ShowFailure(
                  QCoreApplication::translate("DesktopProgram", "Could not mark as read"),
                  QString::fromStdString(outcome.failure));
            }
          }
        },
        Qt::QueuedConnection);
    if (done)
      done(outcome);
  });
}

void DesktopProgram::OpenNewMailReaders() {
  constexpr uint32_t kCheckAfterReadersMs = 10'000;
  alerts_.alerts().StopNewMailSound();
  services_.OpenReaders(application_.cycle().newMailMask());
  if (running_)
    running_->mainWindow().SetTimer(kTimerCheck, kCheckAfterReadersMs);
}

std::optional<uint64_t> DesktopProgram::StoreUpdateState::ReadLastCheck() {
  // Absent reads as all bits set.
  constexpr uint64_t kAbsent = 0xFFFFFFFF;
  const uint64_t value = settings_.store().readNumber(u"LastCheck", kAbsent);
  if (value == kAbsent)
    return std::nullopt;
  return value;
}

void DesktopProgram::StoreUpdateState::WriteLastCheck(uint64_t seconds) {
  settings_.store().writeNumber(u"LastCheck", seconds);
}

Text DesktopProgram::StoreUpdateState::ReadDeclinedVersion() {
  Text version;
  settings_.store().readText(u"LastCheckVersion", version, u"");
  return version;
}

void DesktopProgram::StoreUpdateState::WriteDeclinedVersion(const Text& version) {
  settings_.store().writeText(u"LastCheckVersion", version);
}

Text DesktopProgram::UpdateHost() {
  // A host name, optionally with a port: letters, digits, "-", "." and ":" only.
  Text host;
  settings_.store().readText(u"UpdateHost", host, u"");
  if (host.view().size() > 253)
    return Text();
  for (const char16_t c : host.view()) {
    const bool allowed = (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z') ||
                         (c >= u'0' && c <= u'9') || c == u'-' || c == u'.' || c == u':';
    if (!allowed)
      return Text();
  }
  return host;
}

void DesktopProgram::WireUpdateCheck() {
  placeholders_.startUpdateCheck = [this](bool) { StartUpdateCheck(); };
}

void DesktopProgram::StartUpdateCheck() {
  const Text host = UpdateHost();
  if (host.isEmpty()) {
    trace_.Record("UpdateCheck off: no update host");
    return;
  }
  UpdateChecker::Settings settings;
  settings.updateUrl = u"https://";
  settings.updateUrl.Append(host.view());
  settings.updateUrl.Append(u"/common/update.php?p=tarvel");
  settings.program = ProgramFolder() + "tarvel";
  settings.running = {kVersionMajor, kVersionMinor};
  settings.runningText =
      Text::FromUtf8(std::to_string(kVersionMajor) + "." + std::to_string(kVersionMinor));
  settings.language = UserLanguageCode();
  settings.identifier = InstallationIdentifier("/etc/machine-id", ProgramFolder());
  UpdateChecker::Hooks hooks;
  hooks.ask = [this](UpdateQuestion question, const Text& caption, const Text& text,
                     const Text& help, std::function<void(bool)> answer) {
    updatePrompt_.Ask(question, caption, text, help, std::move(answer));
  };
  hooks.tell = [this](const Text& caption, const Text& text, const Text& help) {
    updatePrompt_.Tell(caption, text, help);
  };
  // The new version starts once this instance has ended (it holds the single-instance lock
  // until then).
  hooks.restart = [this](const std::string& program) {
    QMetaObject::invokeMethod(
        &updatePrompt_,
        [this, program] {
          restartProgram_ = program;
          application_.mainWindow().PostMessage(kMsgClose, 0, 0);
        },
        Qt::QueuedConnection);
  };
  updateChecker_.Start(std::move(settings), std::move(hooks));
}

}  // namespace tarvel
