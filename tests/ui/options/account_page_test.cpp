#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <QCheckBox>
#include <QComboBox>
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QThread>

#include <algorithm>
#include <cstdlib>
#include <optional>
#include <thread>
#include <vector>

#include "accounts/account_type.h"
#include "accounts/global_settings.h"
#include "accounts/option_flags.h"
#include "accounts/protected_text.h"
#include "accounts/settings_store.h"
#include "engines/protocol/oauth_authorizer.h"
#include "platform/clock.h"
#include "platform/http_session.h"
#include "tests/support/fixture_server.h"
#include "tests/support/temp_folder.h"
#include "ui/adapters/qt_text.h"
#include "ui/options/account_page.h"
#include "ui/options/imap_sign_in.h"
#include "ui/options/options_dialog.h"

namespace tarvel {
namespace {

const AccountTypeInfo& Type(uint32_t typeBit) {
  return *FindAccountType(typeBit);
}

struct AccountPageFixture : ::testing::Test {
  testing::TempFolder folder;
  SettingsStore store;
  GlobalSettings globals;
  OptionFlags flags;
  OptionsContext context;
  QString missingBrowserParts = u"Qt WebEngine"_qs;
  QString missingLibrary;  // what the MAPI and Notes types lack; empty: nothing
  std::vector<const AccountTypeInfo*> logouts;
  std::vector<uint32_t> timers;

  void SetUp() override {
    ASSERT_TRUE(store.open(SettingsMode::IniFile, nullptr, {}, folder.file("tarvel.ini")));
    context.store = &store;
    context.globals = &globals;
    context.flags = &flags;
    context.readerList = [](const AccountTypeInfo& type) {
      return std::vector<ReaderListEntry>{{Text(type.readerDefault), type.iconId},
                                          {Text(u"Thunderbird"), 0}};
    };
    context.missingBrowserParts = [this] { return missingBrowserParts; };
    context.missingLibrary = [this](const AccountTypeInfo& type) {
      return type.engine == EngineKind::Mapi || type.engine == EngineKind::Notes ? missingLibrary
                                                                                 : QString();
    };
    context.logout = [this](const AccountTypeInfo& type) { logouts.push_back(&type); };
    context.setCheckTimer = [this](uint32_t ms) { timers.push_back(ms); };
  }

  // The values in memory as the program reads them at start.
  void Reload() { globals.Load(store, DesktopTheme::Light, folder.path()); }

  Text StoredText(std::u16string_view name) const {
    Text value;
    store.readText(name, value, u"(none)");
    return value;
  }
};

TEST_F(AccountPageFixture, EachTypeHasItsFieldsAndWritesItsValues) {
  struct Row {
    uint32_t typeBit;
    const char16_t* website;  // the website value, or null
    std::vector<const char16_t*> fields;
    bool changeLink;
    bool browserNotice;
  };
  const Row rows[] = {
      {0x1, u"HotmailWebsite", {u"HotmailAccountType"}, true, false},
      {0x1000, u"OutlookWebsite", {u"OutlookAccountType"}, true, true},
      {0x2, u"GMailWebsite", {u"GMailFolderList"}, true, true},
      {0x4, nullptr, {}, true, true},
      {0x80, u"FacebookWebsite", {}, true, true},
      {0x100, nullptr, {}, true, true},
      {0x20, nullptr, {u"NotesFolderList"}, false, false},
      {0x10000, nullptr, {u"iNotesServer", u"iNotesName", u"iNotesPassword"}, false, false},
      {0x2000, nullptr, {u"YandexCheckAllFolders"}, true, false},
      {0x80000, nullptr, {}, false, false},
      {0x100000, u"EWSWebsite", {u"EWSServer", u"EWSUser", u"EWSPassword"}, false, false},
      {0x20000,
       u"IMAPWebsite2",
       {u"IMAPServer2", u"IMAPAuthMethod2", u"IMAPUser2", u"IMAPPassword2", u"IMAPName2",
        u"IMAPUseIDLECommand2"},
       false,
       false},
  };
  for (const Row& row : rows) {
    const AccountTypeInfo& type = Type(row.typeBit);
    SCOPED_TRACE(ToQString(type.displayName).toStdString());
    AccountPage page(type, context);
    EXPECT_EQ(page.websiteList() != nullptr, row.website != nullptr);
    for (const char16_t* field : row.fields)
      EXPECT_NE(page.field(field), nullptr) << ToQString(field).toStdString();
    EXPECT_EQ(page.changeAccountLink() != nullptr, row.changeLink);
    EXPECT_EQ(page.browserNotice() != nullptr, row.browserNotice);
    EXPECT_EQ(page.folderList() != nullptr, type.engine == EngineKind::Imap);
    // The reader list starts with the type's own reader, which a new user has.
    EXPECT_EQ(page.readerList()->currentText(), ToQString(type.readerDefault));
    page.Save();
    EXPECT_EQ(StoredText(type.readerSetting), type.readerDefault);
    if (row.website) {
      // An empty stored website shows, and so stores, the first page of the list.
      EXPECT_EQ(StoredText(row.website), page.websiteList()->itemText(0).toStdU16String());
    }
    for (const char16_t* field : row.fields)
      EXPECT_TRUE(store.readStored(field)) << ToQString(field).toStdString();
  }
}

TEST_F(AccountPageFixture, EnablingImapTwoAndOkSetsItsBitAndStartsACheck) {
  int checks = 0;
  OptionsDialog::Hooks hooks;
  hooks.createAccountPage = CreateAccountPage;
  hooks.startCheck = [&checks] { ++checks; };
  OptionsDialog dialog(context, hooks);
  dialog.showPage(3);
  auto* page = dynamic_cast<AccountPage*>(dialog.page(3));
  ASSERT_NE(page, nullptr);
  EXPECT_EQ(page->enableBox()->text(), u"Check IMAP for new mails"_qs);
  EXPECT_FALSE(page->enableBox()->isChecked());
  page->enableBox()->setChecked(true);
  static_cast<QComboBox*>(page->field(u"IMAPServer2"))->setEditText(u"imap.example.org:993"_qs);
  dialog.accept();
  EXPECT_TRUE(flags.any(0x4000000));
  EXPECT_FALSE(flags.any(0x1000000 | 0x8000000));
  EXPECT_EQ(checks, 1);
  EXPECT_EQ(StoredText(u"IMAPServer2"), u"imap.example.org:993");
}

TEST_F(AccountPageFixture, ATypedReaderIsKeptAsTyped) {
  store.writeText(u"MailHandlerGMail", Text(u"@claws-mail --compose"));
  Reload();
  AccountPage page(Type(0x2), context);
  EXPECT_EQ(page.readerList()->currentIndex(), -1);
  EXPECT_EQ(page.readerList()->currentText(), u"@claws-mail --compose"_qs);
  page.Save();
  EXPECT_EQ(StoredText(u"MailHandlerGMail"), u"@claws-mail --compose");
  page.readerList()->setCurrentIndex(1);
  page.Save();
  EXPECT_EQ(StoredText(u"MailHandlerGMail"), u"Thunderbird");
  EXPECT_EQ(*globals.readerFor(u"MailHandlerGMail"), u"Thunderbird");
}

TEST_F(AccountPageFixture, TheFolderListRoundTrips) {
  store.writeNumber(u"INBOX", 1, u"IMAPFolders1");
  store.writeNumber(u"Archive", 0, u"IMAPFolders1");
  store.writeText(u"IMAPFolderList2", Text(u"Work"));
  const auto shown = [](const AccountPage& page) {
    std::vector<std::pair<QString, bool>> folders;
    for (int index = 0; index < page.folderList()->count(); ++index) {
      const QListWidgetItem* item = page.folderList()->item(index);
      folders.emplace_back(item->text(), item->checkState() == Qt::Checked);
    }
    std::sort(folders.begin(), folders.end());
    return folders;
  };
  AccountPage page(Type(0x20000), context);
  using Folders = std::vector<std::pair<QString, bool>>;
  EXPECT_EQ(shown(page),
            (Folders{{u"Archive"_qs, false}, {u"INBOX"_qs, true}, {u"Work"_qs, true}}));
  for (int index = 0; index < page.folderList()->count(); ++index) {
    QListWidgetItem* item = page.folderList()->item(index);
    item->setCheckState(item->text() == u"INBOX"_qs ? Qt::Unchecked : Qt::Checked);
  }
  page.Save();
  EXPECT_EQ(store.readNumber(u"INBOX", 9, u"IMAPFolders1"), 0u);
  EXPECT_EQ(store.readNumber(u"Archive", 9, u"IMAPFolders1"), 1u);
  EXPECT_EQ(store.readNumber(u"Work", 9, u"IMAPFolders1"), 1u);
  EXPECT_EQ(shown(AccountPage(Type(0x20000), context)),
            (Folders{{u"Archive"_qs, true}, {u"INBOX"_qs, false}, {u"Work"_qs, true}}));
}

TEST_F(AccountPageFixture, FolderNamesTheStoreOrTheOldListCannotHoldSurviveARoundTrip) {
  // Names differing only in letter case, a name with an unclosed quote, one with the list's
  // separators: all checked, plus an unchecked one.
  const std::vector<std::pair<QString, bool>> folders = {
      {u"Work"_qs, true},        {u"work"_qs, true},  {u"Say \"hi"_qs, true},
      {u"Lists, misc"_qs, true}, {u"WORK"_qs, false}, {u"INBOX"_qs, true},
  };
  {
    AccountPage page(Type(0x8000), context);
    page.folderList()->clear();
    for (const auto& [name, checked] : folders) {
      auto* item = new QListWidgetItem(name, page.folderList());
      item->setFlags(Qt::ItemIsEnabled | Qt::ItemIsUserCheckable);
      item->setCheckState(checked ? Qt::Checked : Qt::Unchecked);
    }
    page.Save();
  }
  // The old list holds only what the folders key could not (the second "work"), and reads
  // back whole.
  const Text list = StoredText(u"IMAPFolderList");
  EXPECT_EQ(list, u"work");
  EXPECT_EQ(store.readNumber(u"Work", 9, u"IMAPFolders0"), 1u);
  EXPECT_EQ(store.readNumber(u"Say \"hi", 9, u"IMAPFolders0"), 1u);
  EXPECT_EQ(store.readNumber(u"Lists, misc", 9, u"IMAPFolders0"), 1u);

  AccountPage again(Type(0x8000), context);
  std::vector<std::pair<QString, bool>> shown;
  for (int index = 0; index < again.folderList()->count(); ++index) {
    const QListWidgetItem* item = again.folderList()->item(index);
    if (item->checkState() == Qt::Checked)
      shown.emplace_back(item->text(), true);
  }
  std::sort(shown.begin(), shown.end());
  std::vector<std::pair<QString, bool>> checked;
  for (const auto& entry : folders) {
    if (entry.second)
      checked.push_back(entry);
  }
  std::sort(checked.begin(), checked.end());
  EXPECT_EQ(shown, checked);
}

TEST_F(AccountPageFixture, OneLineFieldsAndReadersAreStoredAsUsed) {
  // An IMAP slot without a reader keeps none, whatever programs the list offers.
  context.readerList = [](const AccountTypeInfo&) {
    return std::vector<ReaderListEntry>{{Text(u"Thunderbird"), 0}, {Text(u"Evolution"), 0}};
  };
  {
    AccountPage page(Type(0x8000), context);
    EXPECT_EQ(page.readerList()->currentText(), QString());
    // Line breaks pasted into one-line fields are dropped; the portable store keeps the rest.
    static_cast<QComboBox*>(page.field(u"IMAPServer"))->setEditText(u"imap.example.org\r\n:993"_qs);
    static_cast<QLineEdit*>(page.field(u"IMAPName1"))->setText(u"Work\nmail\u2028"_qs);
    static_cast<QLineEdit*>(page.field(u"IMAPPassword"))->setText(u"pass\nword"_qs);
    page.Save();
  }
  EXPECT_EQ(StoredText(u"MailHandlerIMAP"), u"");
  EXPECT_EQ(StoredText(u"IMAPServer"), u"imap.example.org:993");
  EXPECT_EQ(StoredText(u"IMAPName1"), u"Workmail");
  EXPECT_EQ(UnprotectText(store, u"IMAPPassword", u""), u"password");

  // A GMail reader that was a web address is used as the website, the default browser as the
  // reader: the page shows and saves that.
  store.writeText(u"MailHandlerGMail", Text(u"https://mail.google.com/mail/u/1/"));
  Reload();
  AccountPage gmail(Type(0x2), context);
  EXPECT_EQ(gmail.readerList()->currentText(), u"Default Web Browser"_qs);
  EXPECT_EQ(gmail.websiteList()->currentText(), u"https://mail.google.com/mail/u/1/"_qs);
  gmail.Save();
  EXPECT_EQ(StoredText(u"MailHandlerGMail"), u"Default Web Browser");
  EXPECT_EQ(StoredText(u"GMailWebsite"), u"https://mail.google.com/mail/u/1/");
}

TEST_F(AccountPageFixture, PasswordsAreMaskedAndStoredOnlyProtected) {
  for (const auto& [typeBit, setting] :
       {std::pair{0x8000u, u"IMAPPassword"}, std::pair{0x100000u, u"EWSPassword"},
        std::pair{0x10000u, u"iNotesPassword"}}) {
    SCOPED_TRACE(ToQString(setting).toStdString());
    AccountPage page(Type(typeBit), context);
    auto* edit = static_cast<QLineEdit*>(page.field(setting));
    ASSERT_NE(edit, nullptr);
    EXPECT_EQ(edit->echoMode(), QLineEdit::Password);
    edit->setText(u"s3cret-Pw"_qs);
    page.Save();
    EXPECT_EQ(UnprotectText(store, setting, u""), u"s3cret-Pw");
    EXPECT_NE(StoredText(setting), u"s3cret-Pw");
    // Shown again (masked) from the protected value.
    AccountPage again(Type(typeBit), context);
    EXPECT_EQ(static_cast<QLineEdit*>(again.field(setting))->text(), u"s3cret-Pw"_qs);
  }
  QFile file(QString::fromStdString(folder.file("tarvel.ini")));
  ASSERT_TRUE(file.open(QIODevice::ReadOnly));
  EXPECT_FALSE(file.readAll().contains("s3cret"));
}

TEST_F(AccountPageFixture, TheChangeAccountLinkLogsOutAndChecksSoon) {
  AccountPage page(Type(0x2), context);
  ASSERT_NE(page.changeAccountLink(), nullptr);
  EXPECT_TRUE(page.changeAccountLink()->text().contains(u"change the email account"_qs));
  emit page.changeAccountLink()->linkActivated(u"logout"_qs);
  ASSERT_EQ(logouts.size(), 1u);
  EXPECT_EQ(logouts[0]->typeBit, 0x2u);
  EXPECT_EQ(timers, std::vector<uint32_t>{250});
}

// The web types' pages offer the sign-in window on request: a button with a name for
// assistive tools that the keyboard reaches and presses.
TEST_F(AccountPageFixture, TheSignInButtonOpensTheTypesSignInWindow) {
  {
    AccountPage withoutHook(Type(0x2), context);
    EXPECT_EQ(withoutHook.webSignInButton(), nullptr);
  }
  std::vector<uint32_t> signIns;
  context.signIn = [&signIns](const AccountTypeInfo& type) { signIns.push_back(type.typeBit); };
  AccountPage page(Type(0x400), context);
  QPushButton* button = page.webSignInButton();
  ASSERT_NE(button, nullptr);
  EXPECT_EQ(button->text(), u"Sign in"_qs);
  EXPECT_EQ(button->accessibleName(), u"Sign in to LinkedIn"_qs);
  EXPECT_TRUE((button->focusPolicy() & Qt::TabFocus) != 0);
  QKeyEvent press(QEvent::KeyPress, Qt::Key_Space, Qt::NoModifier, u" "_qs);
  QKeyEvent release(QEvent::KeyRelease, Qt::Key_Space, Qt::NoModifier, u" "_qs);
  QCoreApplication::sendEvent(button, &press);
  QCoreApplication::sendEvent(button, &release);
  EXPECT_EQ(signIns, std::vector<uint32_t>{0x400});
  if (const char* shot = std::getenv("TARVEL_TEST_SCREENSHOT")) {
    page.resize(page.sizeHint().expandedTo(QSize(480, 360)));
    page.grab().save(QString::fromLocal8Bit(shot));  // for people to look at
  }
}

TEST_F(AccountPageFixture, TheBrowserNoticeNamesWhatIsMissing) {
  std::vector<std::string> opened;
  context.openUrl = [&opened](std::string_view url) { opened.emplace_back(url); };
  {
    AccountPage page(Type(0x2), context);
    ASSERT_NE(page.browserNotice(), nullptr);
    EXPECT_TRUE(page.browserNotice()->text().contains(u"Qt WebEngine"_qs));
    emit page.browserNotice()->linkActivated(u"https://example.org/help"_qs);
    EXPECT_EQ(opened, std::vector<std::string>{"https://example.org/help"});
  }
  missingBrowserParts.clear();  // the browser can start: no notice
  AccountPage page(Type(0x2), context);
  EXPECT_EQ(page.browserNotice(), nullptr);
}

TEST_F(AccountPageFixture, ABrowserThatFailsToStartShowsTheNoticeOnceProbed) {
  // Every file is there (the helper of this build beside the test), but the helper that is
  // started is not: the probe's Create fails, and the notice follows.
  ::setenv("TARVEL_BROWSER_HELPER", folder.file("no-such-helper").c_str(), 1);
  context.missingBrowserParts = nullptr;
  AccountPage page(Type(0x2), context);
  QElapsedTimer waited;
  waited.start();
  while (!page.browserNotice() && waited.elapsed() < 20000)
    QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
  ::unsetenv("TARVEL_BROWSER_HELPER");
  ASSERT_NE(page.browserNotice(), nullptr);
  EXPECT_TRUE(page.browserNotice()->text().contains(u"tarvel-browser"_qs));
}

TEST_F(AccountPageFixture, AMissingLibraryIsNamedAndTheTypeCannotBeSwitchedOn) {
  missingLibrary = u"the Notes proxy library \"libbrindle.so\""_qs;
  struct Case {
    uint32_t typeBit;
    bool switchedOn;
    bool notice;
    bool boxEnabled;
  };
  const Case cases[] = {
      {0x80000, false, true, false},  // MAPI
      {0x20, false, true, false},     // Notes
      // A type already on can still be switched off.
      {0x20, true, true, true},
      // iNotes and Exchange need no library.
      {0x10000, false, false, true},
      {0x100000, false, false, true},
  };
  for (const Case& row : cases) {
    SCOPED_TRACE(row.typeBit);
    if (row.switchedOn)
      flags.set(Type(row.typeBit).selectBit);
    else
      flags.clear(Type(row.typeBit).selectBit);
    AccountPage page(Type(row.typeBit), context);
    ASSERT_EQ(page.libraryNotice() != nullptr, row.notice);
    EXPECT_EQ(page.enableBox()->isEnabled(), row.boxEnabled);
    if (!row.notice)
      continue;
    // Shown as written (no markup), read by a screen reader, reached by keyboard.
    EXPECT_TRUE(page.libraryNotice()->text().contains(u"\"libbrindle.so\""_qs));
    EXPECT_FALSE(page.libraryNotice()->accessibleName().isEmpty());
    EXPECT_EQ(page.libraryNotice()->accessibleDescription(), page.libraryNotice()->text());
    EXPECT_NE(page.libraryNotice()->focusPolicy() & Qt::TabFocus, 0);
    const QString imageFolder = qEnvironmentVariable("TARVEL_IMAGE_DIR");
    if (!imageFolder.isEmpty()) {
      page.resize(460, 420);
      page.grab().save(QDir(imageFolder).filePath(u"library_notice_%1.png"_qs.arg(row.typeBit)));
    }
  }
  missingLibrary.clear();
  flags.clear(Type(0x20).selectBit);
  AccountPage page(Type(0x20), context);
  EXPECT_EQ(page.libraryNotice(), nullptr);
  EXPECT_TRUE(page.enableBox()->isEnabled());
}

TEST_F(AccountPageFixture, TheMapiPageAsksForTheProviderOfThisSystem) {
  // No provider is installed where the tests run.
  context.missingLibrary = nullptr;
  AccountPage page(Type(0x80000), context);
  ASSERT_NE(page.libraryNotice(), nullptr);
  EXPECT_TRUE(page.libraryNotice()->text().contains(u"libtarvel-mapi.so"_qs));
  EXPECT_TRUE(page.libraryNotice()->text().contains(u"TARVEL_MAPI_LIBRARY"_qs));
  const QString imageFolder = qEnvironmentVariable("TARVEL_IMAGE_DIR");
  if (!imageFolder.isEmpty()) {
    page.resize(460, 420);
    page.grab().save(QDir(imageFolder).filePath(u"library_notice_mapi.png"_qs));
  }
}

// Records what the page asks of the sign-in; the test plays its answers.
class RecordingSignIn : public ImapSignIn {
 public:
  bool Start(const AccountTypeInfo&, uint32_t slot, const ImapAccountSettings& account) override {
    if (runningSlot)
      return false;
    starts.push_back(account);
    runningSlot = slot;
    return true;
  }
  void Cancel(uint32_t slot) override { cancels.push_back(slot); }
  bool running(uint32_t slot) const override { return runningSlot && *runningSlot == slot; }
  bool pendingSignIn(uint32_t) const override { return pending; }
  void KeepPendingSignIn(uint32_t slot) override { kept.push_back(slot); }
  void DropPendingSignIn(uint32_t slot) override { dropped.push_back(slot); }
  void End(bool signedIn, const QString& reason) {
    const int slot = static_cast<int>(*runningSlot);
    runningSlot.reset();
    emit finished(slot, signedIn, reason);
  }

  std::vector<ImapAccountSettings> starts;
  std::vector<uint32_t> cancels;
  std::optional<uint32_t> runningSlot;
  bool pending = false;
  std::vector<uint32_t> kept;
  std::vector<uint32_t> dropped;
};

// The sign-in controls appear for a provider's server with an OAuth2 method, as the page's
// values say at the moment (not only as stored).
TEST_F(AccountPageFixture, SignInShowsForAProviderServerWithAnOAuthMethod) {
  RecordingSignIn signIn;
  context.imapSignIn = &signIn;
  struct Case {
    const char16_t* server;
    int method;
    bool shown;
  };
  const Case cases[] = {
      {u"outlook.office365.com:993", 1, true}, {u"IMAP.GMAIL.COM:993", 2, true},
      {u"imap.yandex.com:993", 1, true},       {u"imap.gmail.com:993", 0, false},
      {u"imap.gmail.com:143", 1, false},       {u"imap.example.com:993", 1, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(ToQString(c.server).toStdString());
    store.writeText(u"IMAPServer", c.server);
    store.writeNumber(u"IMAPAuthMethod1", static_cast<uint64_t>(c.method));
    AccountPage page(Type(0x8000), context);
    ASSERT_NE(page.signInButton(), nullptr);
    EXPECT_EQ(page.signInButton()->isVisibleTo(&page), c.shown);
    EXPECT_EQ(page.signInStatus()->isVisibleTo(&page), c.shown);
    EXPECT_EQ(page.signInButton()->accessibleName(), u"Sign in"_qs);
    EXPECT_NE(page.signInButton()->focusPolicy() & Qt::TabFocus, 0);
    // Typing another server or choosing another method changes it at once.
    auto* server = static_cast<QComboBox*>(page.field(u"IMAPServer"));
    auto* method = static_cast<QComboBox*>(page.field(u"IMAPAuthMethod1"));
    server->setEditText(u"outlook.office365.com:993"_qs);
    method->setCurrentIndex(method->findData(1));
    EXPECT_TRUE(page.signInButton()->isVisibleTo(&page));
    method->setCurrentIndex(method->findData(0));
    EXPECT_FALSE(page.signInButton()->isVisibleTo(&page));
  }
  // Without a sign-in service (or on another page) there are no such controls.
  context.imapSignIn = nullptr;
  EXPECT_EQ(AccountPage(Type(0x8000), context).signInButton(), nullptr);
  context.imapSignIn = &signIn;
  EXPECT_EQ(AccountPage(Type(0x100000), context).signInButton(), nullptr);
}

// The button starts the sign-in with the page's unsaved values, becomes its cancel, shows the
// device flow's code, and the status line tells the end: signed in, or why not.
TEST_F(AccountPageFixture, SignInRunsWithThePageValuesAndShowsItsProgressAndEnd) {
  RecordingSignIn signIn;
  context.imapSignIn = &signIn;
  store.writeText(u"IMAPServer2", u"imap.example.com:993");
  AccountPage page(Type(0x20000), context);
  EXPECT_EQ(page.signInStatus()->text(), u"Not signed in."_qs);
  static_cast<QComboBox*>(page.field(u"IMAPServer2"))->setEditText(u"outlook.office365.com:993"_qs);
  auto* method = static_cast<QComboBox*>(page.field(u"IMAPAuthMethod2"));
  method->setCurrentIndex(method->findData(2));
  static_cast<QLineEdit*>(page.field(u"IMAPUser2"))->setText(u"me@example.com"_qs);

  page.signInButton()->click();
  ASSERT_EQ(signIn.starts.size(), 1u);
  EXPECT_EQ(signIn.runningSlot, 1u);
  EXPECT_EQ(signIn.starts[0].server.ToUtf8(), "outlook.office365.com:993");
  EXPECT_EQ(signIn.starts[0].user.ToUtf8(), "me@example.com");
  EXPECT_EQ(signIn.starts[0].authMethod, 2u);
  EXPECT_EQ(page.signInButton()->accessibleName(), u"Cancel sign-in"_qs);
  EXPECT_FALSE(page.deviceCodeText()->isVisibleTo(&page));

  // Another slot's code is not this page's.
  emit signIn.deviceCodeShown(0, u"OTHER-CODE"_qs, u"https://example.com/device"_qs, {});
  EXPECT_FALSE(page.deviceCodeText()->isVisibleTo(&page));
  emit signIn.deviceCodeShown(1, u"AB<CD"_qs, u"https://login.microsoftonline.com/device"_qs, {});
  EXPECT_TRUE(page.deviceCodeText()->isVisibleTo(&page));
  EXPECT_TRUE(page.deviceCodeText()->text().contains(u"AB<CD"_qs));
  EXPECT_TRUE(
      page.deviceCodeText()->text().contains(u"https://login.microsoftonline.com/device"_qs));
  // A picture of the page with the code for a person to look at (TARVEL_IMAGE_DIR, at the
  // QT_SCALE_FACTOR in use).
  if (const QString images = qEnvironmentVariable("TARVEL_IMAGE_DIR"); !images.isEmpty()) {
    page.resize(page.sizeHint().expandedTo(QSize(560, 0)));
    page.show();
    QCoreApplication::processEvents();
    page.grab().save(images + "/imap-sign-in-scale-" +
                     qEnvironmentVariable("QT_SCALE_FACTOR", u"1"_qs) + ".png");
    page.hide();
  }

  // The button now cancels.
  page.signInButton()->click();
  EXPECT_EQ(signIn.cancels, std::vector<uint32_t>{1u});
  signIn.End(false, u"the sign-in was cancelled"_qs);
  EXPECT_EQ(page.signInStatus()->text(), u"Not signed in: the sign-in was cancelled"_qs);
  EXPECT_EQ(page.signInButton()->accessibleName(), u"Sign in"_qs);
  EXPECT_FALSE(page.deviceCodeText()->isVisibleTo(&page));

  page.signInButton()->click();
  signIn.End(true, {});
  EXPECT_EQ(page.signInStatus()->text(), u"Signed in."_qs);
  EXPECT_EQ(signIn.starts.size(), 2u);
  // A sign-in with values not saved yet says that OK keeps it.
  signIn.pending = true;
  page.signInButton()->click();
  signIn.End(true, {});
  EXPECT_EQ(page.signInStatus()->text(),
            u"Signed in. OK keeps the sign-in with these settings."_qs);
  if (const QString images = qEnvironmentVariable("TARVEL_IMAGE_DIR"); !images.isEmpty()) {
    page.resize(page.sizeHint().expandedTo(QSize(560, 0)));
    page.show();
    QCoreApplication::processEvents();
    page.grab().save(images + "/imap-sign-in-waits-for-ok-scale-" +
                     qEnvironmentVariable("QT_SCALE_FACTOR", u"1"_qs) + ".png");
    page.hide();
  }
}

// OK keeps a sign-in that waits for it, after the page stored its values; a page that goes
// without OK (Cancel) forgets it.
TEST_F(AccountPageFixture, OkKeepsAWaitingSignInAndCancelForgetsIt) {
  RecordingSignIn signIn;
  context.imapSignIn = &signIn;
  store.writeText(u"IMAPServer3", u"outlook.office365.com:993");
  {
    AccountPage page(Type(0x40000), context);
    static_cast<QLineEdit*>(page.field(u"IMAPUser3"))->setText(u"new@example.com"_qs);
    signIn.kept.clear();
    page.Save();
    EXPECT_EQ(signIn.kept, std::vector<uint32_t>{2u});
    EXPECT_EQ(UnprotectText(store, u"IMAPUser3", u"").ToUtf8(), "new@example.com");
  }
  {
    AccountPage page(Type(0x40000), context);
    signIn.dropped.clear();
  }
  EXPECT_EQ(signIn.dropped, std::vector<uint32_t>{2u});
  EXPECT_EQ(signIn.kept, std::vector<uint32_t>{2u});
}

// A page that goes (the dialog closes) ends the sign-in it started; a stored sign-in shows.
TEST_F(AccountPageFixture, ClosingThePageCancelsItsSignIn) {
  RecordingSignIn signIn;
  context.imapSignIn = &signIn;
  store.writeText(u"IMAPServer", u"imap.gmail.com:993");
  store.writeNumber(u"IMAPAuthMethod1", 1);
  ProtectText(store, u"IMAPRefreshToken1", u"stored");
  {
    AccountPage page(Type(0x8000), context);
    EXPECT_EQ(page.signInStatus()->text(), u"Signed in."_qs);
    page.signInButton()->click();
    EXPECT_TRUE(signIn.cancels.empty());
  }
  EXPECT_EQ(signIn.cancels, std::vector<uint32_t>{0u});
}

// The sign-in runner: the desktop's browser is started on the GUI thread with the provider's
// address and the loopback redirect, the sign-in waits off that thread and ends on Cancel or
// when the runner goes (never holding the program up), and a sign-in through the browser
// helper is preferred when one is plugged in and starts.
class ImapSignInRunnerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(store.open(SettingsMode::IniFile, nullptr, {}, folder.file("tarvel.ini")));
    store.writeText(ClientIdValueName(OAuthProvider::Microsoft), u"test-client");
    account.server = u"outlook.office365.com:993";
    account.user = u"tester";
    account.authMethod = 1;
  }
  std::unique_ptr<ImapSignInRunner> MakeRunner() {
    ImapSignInRunner::Services services{authorizer, store, clock, nullptr, {}, {}};
    services.openAddress = [this](const std::string& address) {
      opened.push_back(address);
      openedOnGuiThread = QThread::currentThread() == QCoreApplication::instance()->thread();
      if (browser)
        browser(address);
      return true;
    };
    services.signedIn = [this](uint32_t slot, const Text&, const Text& refreshToken) {
      handedToTheAccount.emplace_back(slot, refreshToken.ToUtf8());
    };
    auto runner = std::make_unique<ImapSignInRunner>(std::move(services));
    QObject::connect(runner.get(), &ImapSignIn::finished,
                     [this](int slot, bool signedIn, const QString& reason) {
                       ends.push_back({slot, signedIn, reason});
                     });
    return runner;
  }
  static bool WaitFor(const std::function<bool()>& done) {
    QElapsedTimer elapsed;
    elapsed.start();
    while (!done() && elapsed.elapsed() < 30'000) {
      QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
      QThread::msleep(10);
    }
    return done();
  }
  struct End {
    int slot;
    bool signedIn;
    QString reason;
  };

  testing::TempFolder folder;
  SettingsStore store;
  SystemClock clock;
  HttpSession http;
  OAuthAuthorizer authorizer{http, clock, &store, nullptr};
  ImapAccountSettings account;
  std::vector<std::string> opened;
  bool openedOnGuiThread = false;
  std::vector<End> ends;
  // Plays the desktop's browser for an opened address.
  std::function<void(const std::string& address)> browser;
  std::vector<std::pair<uint32_t, std::string>> handedToTheAccount;
};

// The user who signs in at the provider: the browser comes back to the loopback address the
// sign-in asked for, with a code and the sign-in's state.
void ComeBackSignedIn(const std::string& address) {
  std::string redirect;
  std::string state;
  if (!QueryParameter(address, "redirect_uri", redirect) ||
      !QueryParameter(address, "state", state) || !redirect.starts_with("http://127.0.0.1:"))
    return;
  const int port = std::atoi(redirect.c_str() + 17);
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(static_cast<uint16_t>(port));
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof(to)) == 0) {
    const std::string request = "GET /?code=the-code&state=" + state +
                                " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n";
    ::send(fd, request.data(), request.size(), MSG_NOSIGNAL);
    char buffer[4096];
    while (::recv(fd, buffer, sizeof(buffer), 0) > 0) {
    }
  }
  ::close(fd);
}

TEST_F(ImapSignInRunnerTest, CancelEndsTheWaitForTheBrowser) {
  auto runner = MakeRunner();
  ASSERT_TRUE(runner->Start(Type(0x20000), 1, account));
  EXPECT_TRUE(runner->running(1));
  EXPECT_FALSE(runner->running(0));
  EXPECT_FALSE(runner->Start(Type(0x20000), 1, account));  // one at a time per slot
  ASSERT_TRUE(WaitFor([&] { return !opened.empty(); }));
  EXPECT_TRUE(openedOnGuiThread);
  EXPECT_TRUE(opened[0].starts_with(
      "https://login.microsoftonline.com/common/oauth2/v2.0/authorize?client_id=test-client"))
      << opened[0];
  EXPECT_NE(opened[0].find("redirect_uri=http%3A%2F%2F127.0.0.1%3A"), std::string::npos);
  runner->Cancel(1);
  ASSERT_TRUE(WaitFor([&] { return !ends.empty(); }));
  EXPECT_EQ(ends[0].slot, 1);
  EXPECT_FALSE(ends[0].signedIn);
  EXPECT_EQ(ends[0].reason, u"the sign-in was cancelled"_qs);
  EXPECT_FALSE(runner->running(1));
  // A failure to start is told as such: no client registration for Google.
  account.server = u"imap.gmail.com:993";
  ASSERT_TRUE(runner->Start(Type(0x20000), 1, account));
  ASSERT_TRUE(WaitFor([&] { return ends.size() == 2; }));
  EXPECT_FALSE(ends[1].signedIn);
  EXPECT_TRUE(ends[1].reason.contains(u"no client registration for Google"_qs))
      << ends[1].reason.toStdString();
  EXPECT_EQ(opened.size(), 1u);
}

TEST_F(ImapSignInRunnerTest, ARunningSignInEndsWithTheRunner) {
  auto runner = MakeRunner();
  ASSERT_TRUE(runner->Start(Type(0x8000), 0, account));
  ASSERT_TRUE(WaitFor([&] { return !opened.empty(); }));
  runner.reset();  // stops and joins its worker; a hang would end the test by its time-out
  QCoreApplication::processEvents();
  EXPECT_TRUE(ends.empty());
}

TEST_F(ImapSignInRunnerTest, TheBrowserHelperIsPreferredWhenItStarts) {
  auto runner = MakeRunner();
  using HelperEnd = ImapSignInRunner::HelperEnd;
  std::function<void(HelperEnd)> helperDone;
  bool helperStarts = true;
  std::vector<uint32_t> helperSlots;
  runner->setBrowserHelperSignIn(
      [&](uint32_t slot, const ImapAccountSettings& values, std::function<void(HelperEnd)> done) {
        helperSlots.push_back(slot);
        EXPECT_EQ(values.server.ToUtf8(), "outlook.office365.com:993");
        helperDone = std::move(done);
        return helperStarts;
      });
  ASSERT_TRUE(runner->Start(Type(0x40000), 2, account));
  EXPECT_EQ(helperSlots, std::vector<uint32_t>{2u});
  EXPECT_TRUE(runner->running(2));
  helperDone(HelperEnd::SignedIn);
  ASSERT_EQ(ends.size(), 1u);
  EXPECT_TRUE(ends[0].signedIn);
  EXPECT_FALSE(runner->running(2));
  helperDone(HelperEnd::NotShown);  // a second answer of the same sign-in counts for nothing
  EXPECT_EQ(ends.size(), 1u);
  QCoreApplication::processEvents();
  EXPECT_TRUE(opened.empty());

  // The window's other ends: the user's close cancels, a refusal is told, and a window that
  // could not be shown hands the same sign-in to the desktop's browser.
  const struct {
    HelperEnd end;
    const char16_t* reason;  // null: the sign-in goes on in the desktop's browser
  } rows[] = {
      {HelperEnd::Closed, u"the sign-in window was closed"},
      {HelperEnd::NotSignedIn, u"the provider did not sign the account in"},
      {HelperEnd::NotShown, nullptr},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(static_cast<int>(row.end));
    ends.clear();
    opened.clear();
    ASSERT_TRUE(runner->Start(Type(0x40000), 2, account));
    helperDone(row.end);
    if (row.reason) {
      ASSERT_EQ(ends.size(), 1u);
      EXPECT_FALSE(ends[0].signedIn);
      EXPECT_EQ(ends[0].reason, QString::fromUtf16(row.reason));
      QCoreApplication::processEvents();
      EXPECT_TRUE(opened.empty());
      continue;
    }
    EXPECT_TRUE(ends.empty());
    EXPECT_TRUE(runner->running(2));
    ASSERT_TRUE(WaitFor([&] { return !opened.empty(); }));
    EXPECT_TRUE(opened[0].starts_with("https://login.microsoftonline.com/")) << opened[0];
    EXPECT_TRUE(ends.empty());
    runner->Cancel(2);
    ASSERT_TRUE(WaitFor([&] { return !ends.empty(); }));
    EXPECT_EQ(ends[0].reason, u"the sign-in was cancelled"_qs);
  }
  ends.clear();
  opened.clear();

  // A helper that does not take it: the desktop's browser instead.
  helperStarts = false;
  ASSERT_TRUE(runner->Start(Type(0x40000), 2, account));
  ASSERT_TRUE(WaitFor([&] { return !opened.empty(); }));
  runner->Cancel(2);
  ASSERT_TRUE(WaitFor([&] { return ends.size() == 1; }));
}

// The tokens of a sign-in belong to the values it was made with: with the stored values they
// are stored and handed to the running account at once; with values the page has not saved
// they wait for OK, which keeps them only when the stored values are then the same, and a
// cancelled dialog leaves nothing behind.
TEST_F(ImapSignInRunnerTest, TokensOfValuesNotSavedWaitForOk) {
  testing::FixtureServer server;
  ASSERT_TRUE(server.Start(nlohmann::json::array(
      {{{"host", "login.microsoftonline.com"},
        {"path", "/common/oauth2/v2.0/token"},
        {"method", "POST"},
        {"body", R"({"token_type":"Bearer","access_token":"access","refresh_token":"fresh"})"},
        {"headers",
         nlohmann::json::array({nlohmann::json::array({"Content-Type", "application/json"})})}}})));
  server.ExportEnvironment();
  std::vector<std::jthread> users;
  browser = [&users](const std::string& address) { users.emplace_back(ComeBackSignedIn, address); };
  auto runner = MakeRunner();
  constexpr uint32_t kSlot = 2;
  const ImapSettingNames names = ImapSettingNamesForSlot(kSlot);
  const auto storeValues = [&](const ImapAccountSettings& values) {
    store.writeText(names.server, values.server);
    ProtectText(store, names.user, values.user);
    store.writeNumber(names.authMethod, values.authMethod);
  };
  const auto storedToken = [&] { return UnprotectText(store, names.refreshToken, u"").ToUtf8(); };
  ImapAccountSettings other = account;
  other.user = u"someone-else";

  enum class Then { Nothing, Ok, OkAfterAnotherChange, Cancel };
  const struct {
    const char* name;
    bool signInWithStoredValues;
    Then then;
    bool tokenStored;
  } rows[] = {
      {"stored values: kept at once", true, Then::Nothing, true},
      {"values not saved: nothing stored before OK", false, Then::Nothing, false},
      {"values not saved, then OK", false, Then::Ok, true},
      {"values not saved, changed again, then OK", false, Then::OkAfterAnotherChange, false},
      {"values not saved, then Cancel", false, Then::Cancel, false},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    store.deleteValue(names.refreshToken);
    storeValues(row.signInWithStoredValues ? account : other);
    ends.clear();
    handedToTheAccount.clear();
    ASSERT_TRUE(runner->Start(Type(0x40000), kSlot, account));
    ASSERT_TRUE(WaitFor([&] { return !ends.empty(); }));
    ASSERT_TRUE(ends[0].signedIn) << ends[0].reason.toStdString();
    EXPECT_EQ(runner->pendingSignIn(kSlot), !row.signInWithStoredValues);
    EXPECT_EQ(storedToken(), row.signInWithStoredValues ? "fresh" : "");
    switch (row.then) {
      case Then::Nothing:
        break;
      case Then::Ok:
        storeValues(account);  // the page's Save
        runner->KeepPendingSignIn(kSlot);
        break;
      case Then::OkAfterAnotherChange:
        storeValues(other);
        runner->KeepPendingSignIn(kSlot);
        break;
      case Then::Cancel:
        runner->DropPendingSignIn(kSlot);
        runner->KeepPendingSignIn(kSlot);  // nothing is left to keep
        break;
    }
    if (row.then != Then::Nothing) {
      EXPECT_FALSE(runner->pendingSignIn(kSlot));
    }
    EXPECT_EQ(storedToken(), row.tokenStored ? "fresh" : "");
    const std::vector<std::pair<uint32_t, std::string>> handed =
        row.tokenStored ? std::vector<std::pair<uint32_t, std::string>>{{kSlot, "fresh"}}
                        : std::vector<std::pair<uint32_t, std::string>>{};
    EXPECT_EQ(handedToTheAccount, handed);
    runner->DropPendingSignIn(kSlot);
  }
  users.clear();  // joined
  ::unsetenv("TARVEL_CONNECT_TO");
  ::unsetenv("TARVEL_CA_FILE");
}

}  // namespace
}  // namespace tarvel
