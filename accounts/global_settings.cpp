#include "accounts/global_settings.h"

#include "accounts/account_type_list.h"
#include "accounts/option_flags.h"
#include "accounts/protected_text.h"
#include "accounts/settings_store.h"
#include "platform/network_settings.h"

namespace tarvel {

namespace {

constexpr uint32_t kIntervalInSeconds = 0x80000000u;

// Readers whose value used to be a web address move to the type's website setting.
bool StartsWithHttp(const Text& text) {
  return text.length() >= 4 && Text::CompareNoCase(text.view().substr(0, 4), u"http") == 0;
}

uint32_t Low(uint64_t value) {
  return static_cast<uint32_t>(value & 0xFFFFFFFFu);
}

}  // namespace

PopupColors DefaultPopupColors(DesktopTheme theme) {
  if (theme == DesktopTheme::Dark)
    return {0xFFFFFF, 0xFFFFFF, 0xFFFFFF, 0x808080, 0x202020, 0x2D2D2D};
  return {0x505050, 0x505050, 0x505050, 0xB0B0B0, 0xFCFCFC, 0xF0F0F0};
}

uint32_t RefreshSecondsFromStored(uint64_t stored) {
  const uint32_t value = Low(stored);
  uint64_t seconds = (value & kIntervalInSeconds) != 0 ? (value & ~kIntervalInSeconds)
                                                       : static_cast<uint64_t>(value) * 60;
  if (seconds == 0)
    seconds = 300;
  return seconds > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(seconds);
}

bool HasGlobalReader(const AccountTypeInfo& type) {
  return type.engine != EngineKind::Imap;
}

GlobalSettings::GlobalSettings(DesktopTheme theme) {
  const PopupColors colors = DefaultPopupColors(theme);
  textColor = colors.text;
  titleColor = colors.title;
  providerColor = colors.provider;
  noteColor = colors.note;
  backgroundColor = colors.background;
  backgroundLogoColor = colors.backgroundLogo;
  for (std::size_t index = 0; index < kAccountTypeCount; ++index)
    readers[index] = Text(kAccountTypes[index].readerDefault);
}

Text* GlobalSettings::readerFor(std::u16string_view settingName) {
  for (std::size_t index = 0; index < kAccountTypeCount; ++index) {
    if (HasGlobalReader(kAccountTypes[index]) && kAccountTypes[index].readerSetting == settingName)
      return &readers[index];
  }
  return nullptr;
}

void GlobalSettings::Load(const SettingsStore& store, DesktopTheme theme,
                          const std::string& programFolder) {
  *this = GlobalSettings(theme);
  auto number32 = [&store](std::u16string_view name, uint32_t& variable) {
    variable = Low(store.readNumber(name, variable));
  };
  auto text = [&store](std::u16string_view name, Text& variable) {
    store.readText(name, variable, Text(variable));
  };
  auto secret = [&store](std::u16string_view name, Text& variable) {
    variable = UnprotectText(store, name, Text(variable));
  };

  number32(u"TaskBarWindowWidth", taskBarWindowWidth);
  // The run-time bits of the option word are decided afresh on every start.
  flags = store.readNumber(u"Flags", flags) & ~flag_bits::kRunTimeBits;
  number32(u"CheckRange", checkRange);
  number32(u"CheckRangeDays", checkRangeDays);
  number32(u"ToolTipTime", toolTipTime);
  number32(u"Transparency", transparency);
  number32(u"TextColor", textColor);
  number32(u"TitleColor", titleColor);
  number32(u"ProviderColor", providerColor);
  number32(u"NoteColor", noteColor);
  number32(u"BackgroundColor", backgroundColor);
  number32(u"BackgroundLogoColor", backgroundLogoColor);
  number32(u"AlternatingShellIcon", alternatingShellIcon);
  text(u"UnreadMailCountRegistryLocation", unreadMailCountRegistryLocation);
  number32(u"MailListIncludeProvider", mailListIncludeProvider);
  // Stored sign-extended; the low half is the signed value.
  logitechHapticFeedback = static_cast<int32_t>(
      Low(store.readNumber(u"LogitechHapticFeedback", static_cast<uint64_t>(int64_t{-1}))));
  refreshTime = store.readNumber(u"RefreshTime", kDefaultRefreshTime);
  refreshSeconds = RefreshSecondsFromStored(refreshTime);

  static constexpr std::u16string_view kReaderOrder[] = {
      u"MailHandler",         u"MailHandlerGMail",    u"MailHandlerOutlook", u"MailHandlerMailRu",
      u"MailHandlerYahoo",    u"MailHandlerZoho",     u"MailHandlerNotes",   u"MailHandlerINotes",
      u"MailHandlerVirgilio", u"MailHandlerFacebook", u"MailHandlerTwitter", u"MailHandlerOrangeFr",
      u"MailHandlerLinkedIn", u"MailHandlerO2pl",     u"MailHandlerYandex",  u"MailHandlerSFR",
      u"MailHandlerMAPI",     u"MailHandlerEWS",
  };
  for (const std::u16string_view name : kReaderOrder) {
    if (Text* reader = readerFor(name))
      text(name, *reader);
  }

  number32(u"HotmailAccountType", hotmailAccountType);
  number32(u"OutlookAccountType", outlookAccountType);
  secret(u"VirgilioEmail", virgilioEmail);
  secret(u"VirgilioPassword", virgilioPassword);
  secret(u"NotesPassword", notesPassword);
  secret(u"iNotesServer", iNotesServer);
  secret(u"iNotesName", iNotesName);
  secret(u"iNotesPassword", iNotesPassword);
  text(u"GMailFolderList", gmailFolderList);
  text(u"GMailWebsite", gmailWebsite);
  text(u"HotmailWebsite", hotmailWebsite);
  text(u"OutlookWebsite", outlookWebsite);
  text(u"FacebookWebsite", facebookWebsite);
  text(u"NotesFolderList", notesFolderList);
  text(u"EWSServer", ewsServer);
  secret(u"EWSUser", ewsUser);
  secret(u"EWSPassword", ewsPassword);
  text(u"EWSWebsite", ewsWebsite);
  number32(u"YandexCheckAllFolders", yandexCheckAllFolders);

  Text sound;
  const bool found = store.readText(u"NewMailSound", sound, u"");
  if (!found && store.mode() == SettingsMode::Registry)
    sound = Text::FromUtf8(programFolder + "PianoSmooth.wav");
  newMailSound = sound;
  text(u"CertificateAuthorityFile", certificateAuthorityFile);

  // Readers that were web addresses become the website of their type, in memory only; the
  // account dialog writes both when it next saves.
  struct Migration {
    std::u16string_view readerSetting;
    Text* website;
  };
  const Migration migrations[] = {
      {u"MailHandler", &hotmailWebsite},
      {u"MailHandlerGMail", &gmailWebsite},
      {u"MailHandlerFacebook", &facebookWebsite},
  };
  for (const Migration& migration : migrations) {
    Text* reader = readerFor(migration.readerSetting);
    if (reader && StartsWithHttp(*reader)) {
      *migration.website = *reader;
      *reader = Text(kDefaultWebBrowser);
    }
  }
}

void GlobalSettings::ApplyToNetwork() const {
  SetExtraCertificateAuthorityFile(certificateAuthorityFile.ToUtf8());
}

void GlobalSettings::ApplyTo(OptionFlags& optionFlags) const {
  optionFlags.store(flags);
}

void GlobalSettings::ApplyTo(AccountTypeList& accounts) const {
  for (std::size_t index = 0; index < kAccountTypeCount; ++index) {
    MailEngine* engine = accounts.at(index);
    if (engine && HasGlobalReader(kAccountTypes[index]))
      engine->reader = readers[index];
  }
}

}  // namespace tarvel
