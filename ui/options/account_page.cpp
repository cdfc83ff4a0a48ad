#include "ui/options/account_page.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPointer>
#include <QPushButton>
#include <QThread>
#include <QVBoxLayout>

#include <algorithm>
#include <array>
#include <atomic>
#include <filesystem>
#include <initializer_list>
#include <string>

#include "accounts/account_type_bits.h"
#include "accounts/account_type_list.h"
#include "accounts/global_settings.h"
#include "accounts/option_flags.h"
#include "accounts/protected_text.h"
#include "accounts/settings_store.h"
#include "engines/protocol/imap_engine.h"
#include "engines/protocol/mapi_engine.h"
#include "engines/protocol/notes_engine.h"
#include "engines/protocol/oauth_authorizer.h"
#include "platform/program_path.h"
#include "platform/web_view.h"
#include "ui/adapters/desktop_entries.h"
#include "ui/adapters/qt_text.h"
#include "ui/options/imap_sign_in.h"
#include "ui/readers/reader_commands.h"
#include "ui/tray/tray_icon_images.h"

namespace tarvel {

namespace {

// String table entries of the pages.
constexpr uint32_t kStringChangeAccount = 9;
constexpr uint32_t kStringReader = 18;
constexpr uint32_t kStringFolders = 22;
constexpr uint32_t kStringCheckFor = 25;
constexpr uint32_t kStringFoldersHint = 27;
constexpr uint32_t kStringImapServer = 34;
constexpr uint32_t kStringEmail = 35;
constexpr uint32_t kStringPassword = 36;
constexpr uint32_t kStringWebsite = 37;
constexpr uint32_t kStringServer = 39;
constexpr uint32_t kStringName = 40;
constexpr uint32_t kStringCheckAllFolders = 41;
constexpr uint32_t kStringAccountType = 43;
constexpr uint32_t kStringEwsAddress = 44;
constexpr uint32_t kStringAuthMethod = 45;
constexpr uint32_t kStringAuthCodeFlow = 46;
constexpr uint32_t kStringDeviceCodeFlow = 47;
constexpr uint32_t kStringUseIdle = 49;

constexpr uint32_t kWarningIcon = 218;
constexpr char kBrowserHelp[] = "https://www.quorline.com/tarvel/help/embedded-browser/";

using PresetList = std::initializer_list<std::u16string_view>;

constexpr PresetList kOutlookPages = {u"https://outlook.live.com/mail/", u"https://mail.live.com/",
                                      u"https://outlook.com/", u"https://outlook.office.com/mail/"};
constexpr PresetList kGMailPages = {u"https://mail.google.com/mail/", u"https://inbox.google.com/"};
constexpr PresetList kFacebookPages = {u"https://www.messenger.com/", u"https://www.facebook.com/"};
constexpr PresetList kExchangePages = {u"https://outlook.office.com/mail/",
                                       u"https://outlook.live.com/mail/"};
constexpr PresetList kExchangeServers = {u"https://outlook.office365.com/EWS/Exchange.asmx"};
constexpr PresetList kImapServers = {u"imap.mail.me.com:993", u"imap.gmail.com:993",
                                     u"imap.gmx.net:993",     u"imap.mail.yahoo.com:993",
                                     u"imap.yandex.com:993",  u"imap.mail.ru:993"};
constexpr PresetList kImapPages = {u"https://mail.live.com/",   u"https://outlook.live.com/mail/",
                                   u"https://mail.google.com/", u"https://www.gmx.net/",
                                   u"https://mail.yahoo.com/",  u"https://e.mail.ru/"};

enum class FieldKind {
  Text,         // a line of text
  Secret,       // a masked line of text, stored protected
  Presets,      // a line of text with suggestions
  CheckBox,     // 1 or 0
  AccountType,  // "Outlook Live" 0, "Microsoft 365" 1
  AuthMethod,   // password 0, auth code flow 1, device code flow 2
};

struct FieldRow {
  FieldKind kind;
  uint32_t labelStringId;
  std::u16string_view setting;
  PresetList presets = {};
  uint32_t hintStringId = 0;
  uint32_t defaultNumber = 0;
};

// The web mail pages and the type's own fields, per type (IMAP slots are built apart).
struct PageRow {
  uint32_t typeBit;
  std::u16string_view websiteSetting;
  PresetList websites;
  bool changeAccountLink;
  bool browserNotice;
  std::initializer_list<FieldRow> fields;
};

const std::array<PageRow, 18> kPageRows = {{
    {type_bits::kOutlook,
     u"HotmailWebsite",
     kOutlookPages,
     true,
     false,
     {{FieldKind::AccountType, kStringAccountType, u"HotmailAccountType"}}},
    {type_bits::kOutlookAlternative,
     u"OutlookWebsite",
     kOutlookPages,
     true,
     true,
     {{FieldKind::AccountType, kStringAccountType, u"OutlookAccountType"}}},
    {type_bits::kGMail,
     u"GMailWebsite",
     kGMailPages,
     true,
     true,
     {{FieldKind::Text, kStringFolders, u"GMailFolderList"}}},
    {type_bits::kYahoo, {}, {}, true, true, {}},
    {type_bits::kFacebook, u"FacebookWebsite", kFacebookPages, true, true, {}},
    {type_bits::kTwitter, {}, {}, true, true, {}},
    {type_bits::kLinkedIn, {}, {}, true, false, {}},
    {type_bits::kZoho, {}, {}, true, false, {}},
    {type_bits::kOrangeFr, {}, {}, true, false, {}},
    {type_bits::kMailRu, {}, {}, true, false, {}},
    {type_bits::kNotes,
     {},
     {},
     false,
     false,
     {{FieldKind::Text, kStringFolders, u"NotesFolderList", {}, kStringFoldersHint}}},
    {type_bits::kINotes,
     {},
     {},
     false,
     false,
     {{FieldKind::Secret, kStringServer, u"iNotesServer"},
      {FieldKind::Secret, kStringName, u"iNotesName"},
      {FieldKind::Secret, kStringPassword, u"iNotesPassword"}}},
    {type_bits::kVirgilio, {}, {}, true, false, {}},
    {type_bits::kO2pl, {}, {}, true, false, {}},
    {type_bits::kYandex,
     {},
     {},
     true,
     false,
     {{FieldKind::CheckBox, kStringCheckAllFolders, u"YandexCheckAllFolders"}}},
    {type_bits::kSfr, {}, {}, true, false, {}},
    {type_bits::kMapi, {}, {}, false, false, {}},
    {type_bits::kExchange,
     u"EWSWebsite",
     kExchangePages,
     false,
     false,
     {{FieldKind::Presets, kStringEwsAddress, u"EWSServer", kExchangeServers},
      {FieldKind::Secret, kStringEmail, u"EWSUser"},
      {FieldKind::Secret, kStringPassword, u"EWSPassword"}}},
}};

const PageRow* FindPageRow(uint32_t typeBit) {
  for (const PageRow& row : kPageRows) {
    if (row.typeBit == typeBit)
      return &row;
  }
  return nullptr;
}

// The values in memory that the check and the readers use, by stored name.
Text* TextInMemory(GlobalSettings& globals, std::u16string_view setting) {
  struct Entry {
    std::u16string_view setting;
    Text GlobalSettings::*member;
  };
  static constexpr Entry kEntries[] = {
      {u"HotmailWebsite", &GlobalSettings::hotmailWebsite},
      {u"OutlookWebsite", &GlobalSettings::outlookWebsite},
      {u"GMailWebsite", &GlobalSettings::gmailWebsite},
      {u"FacebookWebsite", &GlobalSettings::facebookWebsite},
      {u"GMailFolderList", &GlobalSettings::gmailFolderList},
      {u"NotesFolderList", &GlobalSettings::notesFolderList},
      {u"iNotesServer", &GlobalSettings::iNotesServer},
      {u"iNotesName", &GlobalSettings::iNotesName},
      {u"iNotesPassword", &GlobalSettings::iNotesPassword},
      {u"EWSServer", &GlobalSettings::ewsServer},
      {u"EWSUser", &GlobalSettings::ewsUser},
      {u"EWSPassword", &GlobalSettings::ewsPassword},
      {u"EWSWebsite", &GlobalSettings::ewsWebsite},
  };
  for (const Entry& entry : kEntries) {
    if (entry.setting == setting)
      return &(globals.*entry.member);
  }
  return nullptr;
}

uint32_t* NumberInMemory(GlobalSettings& globals, std::u16string_view setting) {
  if (setting == u"HotmailAccountType")
    return &globals.hotmailAccountType;
  if (setting == u"OutlookAccountType")
    return &globals.outlookAccountType;
  if (setting == u"YandexCheckAllFolders")
    return &globals.yandexCheckAllFolders;
  return nullptr;
}

Text ReadText(const SettingsStore& store, std::u16string_view setting) {
  if (IsProtectedSetting({}, setting))
    return UnprotectText(store, setting, u"");
  Text value;
  store.readText(setting, value, u"");
  return value;
}

void WriteText(SettingsStore& store, std::u16string_view setting, const Text& value) {
  if (IsProtectedSetting({}, setting))
    ProtectText(store, setting, value);
  else
    store.writeText(setting, value);
}

// An editable list showing a stored text: the matching entry, else the text as typed; an
// empty text shows the first entry when `emptyShowsFirst`, else stays empty.
void ShowInList(QComboBox* list, const QString& stored, bool emptyShowsFirst = true) {
  if (stored.isEmpty()) {
    list->setCurrentIndex(emptyShowsFirst && list->count() > 0 ? 0 : -1);
    if (list->currentIndex() < 0)
      list->setEditText({});
    return;
  }
  const int index = list->findText(stored, Qt::MatchFixedString);
  if (index >= 0) {
    list->setCurrentIndex(index);
  } else {
    list->setCurrentIndex(-1);
    list->setEditText(stored);
  }
}

// The text of a one-line field as it is stored: line breaks a paste brought in are dropped
// (the portable store cannot hold them in a value).
Text OneLine(QString text) {
  text.remove(u'\r');
  text.remove(u'\n');
  text.remove(QChar(0x2028));
  text.remove(QChar(0x2029));
  return ToText(text);
}

// Whether the old comma list can carry a folder name: no separator, no quote, no space at its
// ends (which the list's reader trims).
bool FitsTheCommaList(const QString& name) {
  return !name.isEmpty() && !name.contains(u',') && !name.contains(u';') && !name.contains(u'"') &&
         name.trimmed() == name;
}

bool FileExists(const std::string& path) {
  std::error_code error;
  return std::filesystem::is_regular_file(path, error);
}

// Whether the embedded browser starts here: a WebView created and closed at once, off the GUI
// thread (starting the browser takes a moment), once per program run.
enum class BrowserProbe {
  NotRun,
  Running,
  Starts,
  Fails,
};
std::atomic<BrowserProbe> browserProbe{BrowserProbe::NotRun};

// Calls `failed` on the GUI thread when the probe finds that the browser cannot start.
void ProbeEmbeddedBrowser(QObject* receiver, std::function<void()> failed) {
  const BrowserProbe state = browserProbe.load();
  if (state == BrowserProbe::Fails) {
    failed();
    return;
  }
  if (state == BrowserProbe::Starts) {
    return;
  }
  BrowserProbe expected = BrowserProbe::NotRun;
  browserProbe.compare_exchange_strong(expected, BrowserProbe::Running);
  QPointer<QObject> guard(receiver);
  QThread* thread = QThread::create([guard, failed = std::move(failed)] {
    if (browserProbe.load() == BrowserProbe::Running) {
      WebView view;
      const bool starts = view.Create(nullptr, web_view_flags::kSharedProfile);
      view.Close();
      browserProbe = starts ? BrowserProbe::Starts : BrowserProbe::Fails;
    }
    while (browserProbe.load() == BrowserProbe::Running) {
      QThread::msleep(50);  // another page's probe is still running
    }
    if (browserProbe.load() == BrowserProbe::Fails && guard) {
      QMetaObject::invokeMethod(guard.data(), failed, Qt::QueuedConnection);
    }
  });
  QObject::connect(thread, &QThread::finished, thread, &QObject::deleteLater);
  thread->start();
}

}  // namespace

QString MissingEmbeddedBrowserParts() {
  QStringList missing;
  if (!FileExists(ProgramFolder() + "tarvel-browser"))
    missing << QObject::tr("the browser helper \"tarvel-browser\" of this program");
  bool webEngine = false;
  for (const char* folder : {"/usr/lib/x86_64-linux-gnu/", "/usr/lib/aarch64-linux-gnu/",
                             "/usr/lib64/", "/usr/lib/", "/usr/local/lib/"})
    webEngine = webEngine || FileExists(std::string(folder) + "libQt6WebEngineCore.so.6");
  if (!webEngine)
    missing << QObject::tr("Qt WebEngine (the Debian package libqt6webenginecore6)");
  return missing.join(QObject::tr(" and "));
}

// The outside library a type lacks, named for the user; empty when it is there.
static QString MissingLibraryOf(const AccountTypeInfo& type, const AccountTypeList* accounts) {
  if (type.engine == EngineKind::Mapi) {
    // Loaded once for the run, by this page or by the first check.
    if (SharedMapiLibrary()->Load())
      return {};
    return QObject::tr(
               "a MAPI provider library (\"%1\", or the one the environment variable "
               "%2 names)")
        .arg(QString::fromLatin1(kMapiLibraryName.data(),
                                 static_cast<qsizetype>(kMapiLibraryName.size())),
             QString::fromLatin1(kMapiLibraryVariable));
  }
  if (type.engine == EngineKind::Notes && accounts) {
    // The engine loaded the proxy library when the program started.
    const auto* engine = dynamic_cast<const NotesEngine*>(accounts->findByTypeBit(type.typeBit));
    if (!engine || engine->library().isLoaded())
      return {};
    return QObject::tr("the Notes proxy library \"%1\" with a Notes client that starts")
        .arg(QString::fromLatin1(kBrindleLibraryName.data(),
                                 static_cast<qsizetype>(kBrindleLibraryName.size())));
  }
  return {};
}

struct AccountPage::Field {
  FieldKind kind;
  std::u16string setting;
  QWidget* widget;
  uint32_t defaultNumber;
};

AccountPage::AccountPage(const AccountTypeInfo& type, OptionsContext& context, QWidget* parent)
    : OptionsPage(parent), type_(type), context_(context) {
  auto* layout = new QVBoxLayout(this);
  auto* form = new QFormLayout;
  const bool imap = type.engine == EngineKind::Imap;
  const QString name = imap ? u"IMAP"_qs : ToQString(type.displayName);
  enable_ = new QCheckBox(LoadQString(kStringCheckFor).replace(u"%1"_qs, name), this);
  enable_->setAccessibleName(enable_->text());
  enable_->setChecked(context.flags->any(type.selectBit));
  layout->addWidget(enable_);
  layout->addLayout(form);

  const auto addRow = [&](uint32_t labelId, QWidget* control) {
    auto* label = new QLabel(LoadQString(labelId), this);
    label->setBuddy(control);
    control->setAccessibleName(label->text());
    form->addRow(label, control);
  };
  const auto addList = [&](uint32_t labelId, PresetList presets, const QString& stored) {
    auto* list = new QComboBox(this);
    list->setEditable(true);
    list->setInsertPolicy(QComboBox::NoInsert);
    for (const std::u16string_view preset : presets)
      list->addItem(ToQString(preset));
    ShowInList(list, stored);
    addRow(labelId, list);
    return list;
  };
  const auto addField = [&](const FieldRow& row) {
    QWidget* widget = nullptr;
    const QString stored = ToQString(ReadText(*context.store, row.setting).view());
    switch (row.kind) {
      case FieldKind::Text:
      case FieldKind::Secret: {
        auto* edit = new QLineEdit(stored, this);
        if (row.kind == FieldKind::Secret && row.labelStringId == kStringPassword)
          edit->setEchoMode(QLineEdit::Password);
        if (row.hintStringId != 0)
          edit->setPlaceholderText(LoadQString(row.hintStringId));
        addRow(row.labelStringId, edit);
        widget = edit;
        break;
      }
      case FieldKind::Presets:
        widget = addList(row.labelStringId, row.presets, stored);
        break;
      case FieldKind::CheckBox: {
        auto* box = new QCheckBox(LoadQString(row.labelStringId), this);
        box->setAccessibleName(box->text());
        box->setChecked(context.store->readNumber(row.setting, row.defaultNumber) != 0);
        form->addRow(box);
        widget = box;
        break;
      }
      case FieldKind::AccountType:
      case FieldKind::AuthMethod: {
        auto* list = new QComboBox(this);
        if (row.kind == FieldKind::AccountType) {
          list->addItem(tr("Outlook Live"), 0);
          list->addItem(tr("Microsoft 365"), 1);
        } else {
          list->addItem(LoadQString(kStringPassword), 0);
          list->addItem(LoadQString(kStringAuthCodeFlow), 1);
          list->addItem(LoadQString(kStringDeviceCodeFlow), 2);
        }
        const uint64_t value = context.store->readNumber(row.setting, row.defaultNumber);
        list->setCurrentIndex(
            std::max(list->findData(static_cast<int>(std::min<uint64_t>(value, 9))), 0));
        addRow(row.labelStringId, list);
        widget = list;
        break;
      }
    }
    fields_.push_back({row.kind, std::u16string(row.setting), widget, row.defaultNumber});
  };
  const auto addReader = [&] {
    reader_ = new QComboBox(this);
    reader_->setEditable(true);
    reader_->setInsertPolicy(QComboBox::NoInsert);
    const std::vector<ReaderListEntry> readers =
        context.readerList
            ? context.readerList(type)
            : BuildReaderList(type, ReaderSources::Load(XdgPaths::FromEnvironment()));
    for (const ReaderListEntry& entry : readers)
      reader_->addItem(ProgramIcon(entry.iconId), ToQString(entry.name.view()));
    // The reader in use: start-up may have turned a stored web address into the type's
    // website and the reader into the default browser.
    Text stored;
    if (const Text* inMemory = context.globals->readerFor(type.readerSetting))
      stored = *inMemory;
    else
      context.store->readText(type.readerSetting, stored, type.readerDefault);
    // No reader stays no reader (an IMAP slot's), rather than the list's first program.
    ShowInList(reader_, ToQString(stored.view()), false);
    addRow(kStringReader, reader_);
  };

  if (imap) {
    const uint32_t slot = type.typeBit == type_bits::kImap1   ? 0
                          : type.typeBit == type_bits::kImap2 ? 1
                                                              : 2;
    const ImapSettingNames names = ImapSettingNamesForSlot(slot);
    addField({FieldKind::Presets, kStringImapServer, names.server, kImapServers});
    // The forms a server may be written in; port 143 is the usual STARTTLS port.
    if (QWidget* server = field(names.server)) {
      const QString forms = QStringLiteral(
          "host or host:993 \u2013 TLS from the start\n"
          "host:143 \u2013 STARTTLS on the usual plain port\n"
          "imap://host:port \u2013 STARTTLS on another port\n"
          "imaps://host:port \u2013 TLS from the start on another port");
      server->setToolTip(forms);
      server->setAccessibleDescription(forms);
    }
    addField({FieldKind::AuthMethod, kStringAuthMethod, names.authMethod});
    addField({FieldKind::Secret, kStringEmail, names.user});
    addField({FieldKind::Secret, kStringPassword, names.password});
    imapSlot_ = slot;
    if (context.imapSignIn)
      AddSignIn(*form, names);
    websiteSetting_ = names.website;
    website_ = addList(kStringWebsite, kImapPages,
                       ToQString(ReadText(*context.store, names.website).view()));
    addReader();
    addField({FieldKind::Text, kStringName, names.name});
    addField({FieldKind::CheckBox, kStringUseIdle, names.useIdle, {}, 0, 1});
    // The folders the account reported, checked as stored.
    folderListSetting_ = names.folderList;
    foldersGroup_ = names.foldersGroup;
    folders_ = new QListWidget(this);
    std::vector<std::pair<Text, bool>> known;
    // The running account's list, read under the engine's lock (a check may change it).
    if (context.accounts) {
      if (auto* engine = dynamic_cast<ImapEngine*>(context.accounts->findByTypeBit(type.typeBit))) {
        for (Text& folderName : engine->FolderNames())
          known.emplace_back(std::move(folderName), false);
      }
    }
    const auto mark = [&known](const Text& folderName) {
      auto found = std::find_if(known.begin(), known.end(), [&](const auto& entry) {
        return entry.first == folderName.view();
      });
      if (found == known.end())
        known.emplace_back(folderName, true);
      else
        found->second = true;
    };
    for (const StoredSetting& value : context.store->listValues(foldersGroup_)) {
      const bool checked =
          value.kind == StoredSetting::Kind::Number ? value.number == 1 : value.text == u"1";
      if (value.name.isEmpty())
        continue;
      if (checked)
        mark(value.name);
      else if (std::none_of(known.begin(), known.end(),
                            [&](const auto& entry) { return entry.first == value.name.view(); }))
        known.emplace_back(value.name, false);
    }
    Text oldList;
    context.store->readText(folderListSetting_, oldList, u"");
    for (const Text& folderName : SplitFolderList(oldList))
      mark(folderName);
    for (const auto& [folderName, checked] : known) {
      auto* item = new QListWidgetItem(ToQString(folderName.view()), folders_);
      item->setFlags(Qt::ItemIsEnabled | Qt::ItemIsUserCheckable | Qt::ItemIsSelectable);
      item->setCheckState(checked ? Qt::Checked : Qt::Unchecked);
    }
    addRow(kStringFolders, folders_);
  } else {
    addReader();
    const PageRow* row = FindPageRow(type.typeBit);
    if (row && !row->websiteSetting.empty()) {
      websiteSetting_ = row->websiteSetting;
      // The website in use, which start-up may have taken from a stored reader.
      const Text* inMemory = TextInMemory(*context.globals, row->websiteSetting);
      website_ =
          addList(kStringWebsite, row->websites,
                  ToQString(inMemory ? inMemory->view()
                                     : ReadText(*context.store, row->websiteSetting).view()));
    }
    if (row) {
      for (const FieldRow& field : row->fields)
        addField(field);
    }
    if (row && row->changeAccountLink) {
      changeAccount_ = new QLabel(
          LoadQString(kStringChangeAccount).replace(u"<a>"_qs, u"<a href=\"logout\">"_qs), this);
      changeAccount_->setTextInteractionFlags(Qt::TextBrowserInteraction);
      changeAccount_->setAccessibleName(tr("Change the signed-in account"));
      connect(changeAccount_, &QLabel::linkActivated, this, [this] {
        if (context_.logout)
          context_.logout(type_);
        // A check, and with it a new sign-in, follows at once.
        if (context_.setCheckTimer)
          context_.setCheckTimer(250);
      });
      layout->addWidget(changeAccount_);
      // The sign-in window on the user's request, without waiting for a check to ask.
      if (context_.signIn) {
        webSignIn_ = new QPushButton(tr("Sign in"), this);
        webSignIn_->setAccessibleName(tr("Sign in to %1").arg(name));
        connect(webSignIn_, &QPushButton::clicked, this, [this] { context_.signIn(type_); });
        auto* signInRow = new QHBoxLayout;
        signInRow->addWidget(webSignIn_);
        signInRow->addStretch();
        layout->addLayout(signInRow);
      }
    }
    if (row && row->browserNotice) {
      const auto addNotice = [this, layout, name](const QString& missing) {
        auto* notice = new QHBoxLayout;
        auto* icon = new QLabel(this);
        icon->setPixmap(ProgramIcon(kWarningIcon).pixmap(QSize(32, 32)));
        icon->setAccessibleName(tr("Warning"));
        browserNotice_ = new QLabel(
            tr("%1 signs in through the embedded browser, which cannot start here: this system "
               "lacks %2. See the <a href=\"%3\">help on the embedded browser</a>.")
                .arg(name, missing.toHtmlEscaped(), QString::fromLatin1(kBrowserHelp)),
            this);
        browserNotice_->setWordWrap(true);
        browserNotice_->setTextInteractionFlags(Qt::TextBrowserInteraction);
        browserNotice_->setAccessibleName(tr("Embedded browser notice"));
        connect(browserNotice_, &QLabel::linkActivated, this, [this](const QString& link) {
          if (context_.openUrl)
            context_.openUrl(link.toStdString());
        });
        notice->addWidget(icon, 0, Qt::AlignTop);
        notice->addWidget(browserNotice_, 1);
        // Above the closing stretch, also when the probe's answer comes later.
        const int stretch = layout->count() - 1;
        if (stretch >= 0 && layout->itemAt(stretch)->spacerItem())
          layout->insertLayout(stretch, notice);
        else
          layout->addLayout(notice);
      };
      const QString missing = context.missingBrowserParts ? context.missingBrowserParts()
                                                          : MissingEmbeddedBrowserParts();
      if (!missing.isEmpty()) {
        addNotice(missing);
      } else if (!context.missingBrowserParts) {
        // Everything is there; whether it starts is asked of the browser itself.
        ProbeEmbeddedBrowser(this, [addNotice] {
          addNotice(
              QObject::tr("a browser helper that starts (\"tarvel-browser\" failed to start)"));
        });
      }
    }
  }
  // A type whose outside library is missing cannot check: say what is missing, and do not
  // offer to switch it on (one that is on can still be switched off).
  const QString missingLibrary = context.missingLibrary ? context.missingLibrary(type)
                                                        : MissingLibraryOf(type, context.accounts);
  if (!missingLibrary.isEmpty()) {
    auto* notice = new QHBoxLayout;
    auto* icon = new QLabel(this);
    icon->setPixmap(ProgramIcon(kWarningIcon).pixmap(QSize(32, 32)));
    icon->setAccessibleName(tr("Warning"));
    libraryNotice_ = new QLabel(
        tr("%1 cannot be checked here: this system lacks %2.").arg(name, missingLibrary), this);
    libraryNotice_->setTextFormat(Qt::PlainText);
    libraryNotice_->setWordWrap(true);
    libraryNotice_->setTextInteractionFlags(Qt::TextSelectableByMouse |
                                            Qt::TextSelectableByKeyboard);
    libraryNotice_->setFocusPolicy(Qt::StrongFocus);
    libraryNotice_->setAccessibleName(tr("Missing library notice"));
    libraryNotice_->setAccessibleDescription(libraryNotice_->text());
    notice->addWidget(icon, 0, Qt::AlignTop);
    notice->addWidget(libraryNotice_, 1);
    layout->addLayout(notice);
    if (!enable_->isChecked())
      enable_->setEnabled(false);
  }
  layout->addStretch(1);
}

AccountPage::~AccountPage() {
  // A sign-in this page started ends with it (the dialog closes), and one that waits for OK
  // (made with values not saved) is forgotten: OK has kept it already.
  if (signInButton_ && context_.imapSignIn) {
    if (signInStarted_ && context_.imapSignIn->running(imapSlot_))
      context_.imapSignIn->Cancel(imapSlot_);
    context_.imapSignIn->DropPendingSignIn(imapSlot_);
  }
}

void AccountPage::ShowSignInStatus(const QString& text) {
  // The line's name says what it is; its description carries the state for screen readers.
  signInStatus_->setText(text);
  signInStatus_->setAccessibleDescription(text);
}

void AccountPage::AddSignIn(QFormLayout& form, const ImapSettingNames& names) {
  auto* server = static_cast<QComboBox*>(field(names.server));
  auto* method = static_cast<QComboBox*>(field(names.authMethod));
  auto* user = static_cast<QLineEdit*>(field(names.user));
  ImapSignIn& signIn = *context_.imapSignIn;

  auto* row = new QWidget(this);
  auto* rowLayout = new QHBoxLayout(row);
  rowLayout->setContentsMargins(0, 0, 0, 0);
  signInButton_ = new QPushButton(tr("Sign in"), row);
  signInButton_->setAccessibleName(tr("Sign in"));
  signInStatus_ = new QLabel(row);
  signInStatus_->setWordWrap(true);
  signInStatus_->setAccessibleName(tr("Sign-in status"));
  signInStatus_->setTextInteractionFlags(Qt::TextSelectableByMouse);
  rowLayout->addWidget(signInButton_, 0, Qt::AlignTop);
  rowLayout->addWidget(signInStatus_, 1);
  auto* label = new QLabel(tr("OAuth2:"), this);
  label->setBuddy(signInButton_);
  form.addRow(label, row);

  deviceCode_ = new QLabel(this);
  deviceCode_->setWordWrap(true);
  // Plain text the user can select and copy; the provider's page is opened in the browser.
  deviceCode_->setTextFormat(Qt::PlainText);
  deviceCode_->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
  deviceCode_->setAccessibleName(tr("Device sign-in code"));
  form.addRow(deviceCode_);

  const bool storedSignIn = !UnprotectText(*context_.store, names.refreshToken, u"").isEmpty();
  const bool running = signIn.running(imapSlot_);
  ShowSignInStatus(running        ? tr("Signing in\u2026")
                   : storedSignIn ? tr("Signed in.")
                                  : tr("Not signed in."));
  if (running) {
    signInButton_->setText(tr("Cancel sign-in"));
    signInButton_->setAccessibleName(tr("Cancel sign-in"));
  }

  // Shown for a provider's server with an OAuth2 method, as the page's values say now.
  const auto update = [this, &form, server, method, label] {
    const bool oauth = ProviderForServer(OneLine(server->currentText())) != OAuthProvider::None &&
                       method->currentData().toUInt() != 0;
    form.setRowVisible(label, oauth);
    form.setRowVisible(deviceCode_, oauth && !deviceCode_->text().isEmpty());
  };
  connect(server, &QComboBox::currentTextChanged, this, update);
  connect(method, &QComboBox::currentIndexChanged, this, update);
  update();

  connect(signInButton_, &QPushButton::clicked, this, [this, server, method, user, update] {
    ImapSignIn& service = *context_.imapSignIn;
    if (service.running(imapSlot_)) {
      service.Cancel(imapSlot_);
      return;
    }
    ImapAccountSettings account;
    account.server = OneLine(server->currentText());
    account.user = OneLine(user ? user->text() : QString());
    account.authMethod = method->currentData().toUInt();
    if (!service.Start(type_, imapSlot_, account))
      return;
    signInStarted_ = true;
    deviceCode_->clear();
    deviceCode_->setAccessibleDescription({});
    update();
    signInButton_->setText(tr("Cancel sign-in"));
    signInButton_->setAccessibleName(tr("Cancel sign-in"));
    ShowSignInStatus(account.authMethod == 2 ? tr("Asking the provider for a code\u2026")
                                             : tr("Signing in: finish in your browser\u2026"));
  });
  connect(
      &signIn, &ImapSignIn::deviceCodeShown, this,
      [this, update](int slot, const QString& userCode, const QString& address, const QString&) {
        if (static_cast<uint32_t>(slot) != imapSlot_)
          return;
        const QString text = tr("Enter the code %1 at %2").arg(userCode, address);
        deviceCode_->setText(text);
        deviceCode_->setAccessibleDescription(text);
        ShowSignInStatus(tr("Waiting for the sign-in in your browser\u2026"));
        update();
      });
  connect(&signIn, &ImapSignIn::finished, this,
          [this, update](int slot, bool signedIn, const QString& reason) {
            if (static_cast<uint32_t>(slot) != imapSlot_)
              return;
            signInStarted_ = false;
            signInButton_->setText(tr("Sign in"));
            signInButton_->setAccessibleName(tr("Sign in"));
            deviceCode_->clear();
            deviceCode_->setAccessibleDescription({});
            update();
            if (signedIn) {
              ShowSignInStatus(context_.imapSignIn->pendingSignIn(imapSlot_)
                                   ? tr("Signed in. OK keeps the sign-in with these settings.")
                                   : tr("Signed in."));
            } else {
              ShowSignInStatus(reason.isEmpty() ? tr("Not signed in.")
                                                : tr("Not signed in: %1").arg(reason));
            }
          });
}

QWidget* AccountPage::field(std::u16string_view setting) const {
  for (const Field& field : fields_) {
    if (field.setting == setting)
      return field.widget;
  }
  return nullptr;
}

void AccountPage::Save() {
  SettingsStore& store = *context_.store;
  GlobalSettings& globals = *context_.globals;
  if (enable_->isChecked())
    context_.flags->set(type_.selectBit);
  else
    context_.flags->clear(type_.selectBit);

  // The chosen entry's text, or the text as typed.
  const Text reader = OneLine(reader_->currentText());
  store.writeText(type_.readerSetting, reader);
  if (Text* inMemory = globals.readerFor(type_.readerSetting))
    *inMemory = reader;
  if (website_) {
    const Text website = OneLine(website_->currentText());
    WriteText(store, websiteSetting_, website);
    if (Text* inMemory = TextInMemory(globals, websiteSetting_))
      *inMemory = website;
  }
  for (const Field& field : fields_) {
    switch (field.kind) {
      case FieldKind::Text:
      case FieldKind::Secret:
      case FieldKind::Presets: {
        const QString shown = field.kind == FieldKind::Presets
                                  ? static_cast<QComboBox*>(field.widget)->currentText()
                                  : static_cast<QLineEdit*>(field.widget)->text();
        const Text value = OneLine(shown);
        WriteText(store, field.setting, value);
        if (Text* inMemory = TextInMemory(globals, field.setting))
          *inMemory = value;
        break;
      }
      case FieldKind::CheckBox:
      case FieldKind::AccountType:
      case FieldKind::AuthMethod: {
        const uint32_t value =
            field.kind == FieldKind::CheckBox
                ? (static_cast<QCheckBox*>(field.widget)->isChecked() ? 1u : 0u)
                : static_cast<uint32_t>(
                      static_cast<QComboBox*>(field.widget)->currentData().toUInt());
        store.writeNumber(field.setting, value);
        if (uint32_t* inMemory = NumberInMemory(globals, field.setting))
          *inMemory = value;
        break;
      }
    }
  }
  if (folders_) {
    // Every listed folder with its state under the folders key, the checked ones first. The
    // key's names are not told apart by letter case: of two names that differ only so, the
    // second cannot be held there, and when it is checked it goes to the old comma list
    // instead (where the list can carry it). Nothing else is written to that list, so a
    // name it cannot carry never spoils it.
    store.deleteGroup(foldersGroup_);
    std::vector<std::pair<QString, bool>> listed;
    for (int index = 0; index < folders_->count(); ++index) {
      const QListWidgetItem* item = folders_->item(index);
      listed.emplace_back(item->text(), item->checkState() == Qt::Checked);
    }
    std::stable_partition(listed.begin(), listed.end(),
                          [](const auto& folder) { return folder.second; });
    QStringList written;
    Text checkedList;
    for (const auto& [name, checked] : listed) {
      const bool held = !name.isEmpty() && !written.contains(name, Qt::CaseInsensitive) &&
                        store.writeNumber(ToText(name).view(), checked ? 1 : 0, foldersGroup_);
      if (held) {
        written << name;
      } else if (checked && FitsTheCommaList(name)) {
        if (!checkedList.isEmpty())
          checkedList += u",";
        checkedList += ToText(name).view();
      }
    }
    store.writeText(folderListSetting_, checkedList);
  }
  // The values are stored: a sign-in made with them before they were is kept now.
  if (signInButton_ && context_.imapSignIn)
    context_.imapSignIn->KeepPendingSignIn(imapSlot_);
}

std::unique_ptr<OptionsPage> CreateAccountPage(const AccountTypeInfo& type, OptionsContext& context,
                                               QWidget* parent) {
  return std::make_unique<AccountPage>(type, context, parent);
}

}  // namespace tarvel
