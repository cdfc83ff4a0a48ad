#pragma once

#include <array>
#include <cstdint>
#include <string_view>

namespace tarvel {

// The engine that serves an account type.
enum class EngineKind {
  Outlook,
  GMailFeed,
  Yahoo,
  Facebook,
  Zoho,
  MailRu,
  Notes,
  INotes,
  Virgilio,
  Twitter,
  OrangeFr,
  LinkedIn,
  O2pl,
  Imap,
  Yandex,
  Sfr,
  Mapi,
  Ews,
};

// One row of the table of account types.
struct AccountTypeInfo {
  std::u16string_view internalName;
  std::u16string_view displayName;
  uint32_t typeBit;
  uint64_t selectBit;  // the bit of Flags that enables the type
  std::u16string_view readerSetting;
  std::u16string_view readerDefault;
  uint32_t iconId;
  uint32_t logoId;
  EngineKind engine;
};

inline constexpr std::u16string_view kDefaultWebBrowser = u"Default Web Browser";

inline constexpr std::size_t kAccountTypeCount = 21;

// All account types in list order: the order of checking and of every text built from them.
inline constexpr std::array<AccountTypeInfo, kAccountTypeCount> kAccountTypes = {{
    {u"Outlook", u"Outlook.com", 0x1, 0x40, u"MailHandler", kDefaultWebBrowser, 113, 168,
     EngineKind::Outlook},
    {u"OutlookAlternative", u"Outlook.com Alternative", 0x1000, 0x1ull << 32, u"MailHandlerOutlook",
     kDefaultWebBrowser, 113, 168, EngineKind::Outlook},
    {u"GMail", u"GMail", 0x2, 0x80, u"MailHandlerGMail", kDefaultWebBrowser, 125, 163,
     EngineKind::GMailFeed},
    {u"Yahoo", u"Yahoo", 0x4, 0x100, u"MailHandlerYahoo", u"https://mail.yahoo.com/", 126, 171,
     EngineKind::Yahoo},
    {u"Facebook", u"Facebook", 0x80, 0x8000, u"MailHandlerFacebook", kDefaultWebBrowser, 149, 172,
     EngineKind::Facebook},
    {u"Zoho", u"Zoho", 0x8, 0x400, u"MailHandlerZoho", u"https://mail.zoho.com/", 134, 162,
     EngineKind::Zoho},
    {u"MailRu", u"Mail.ru", 0x10, 0x800, u"MailHandlerMailRu", u"https://e.mail.ru/", 136, 165,
     EngineKind::MailRu},
    {u"Notes", u"Notes", 0x20, 0x2000, u"MailHandlerNotes", u"Notes", 147, 166, EngineKind::Notes},
    {u"INotes", u"iNotes Web", 0x10000, 0x2000000, u"MailHandlerINotes", u"iNotes", 201, 203,
     EngineKind::INotes},
    {u"Virgilio", u"Virgilio.it", 0x40, 0x4000, u"MailHandlerVirgilio",
     u"https://mail.virgilio.it/", 146, 170, EngineKind::Virgilio},
    {u"Twitter", u"Twitter", 0x100, 0x10000, u"MailHandlerTwitter", u"https://x.com/", 150, 169,
     EngineKind::Twitter},
    {u"OrangeFr", u"Orange.fr", 0x200, 0x20000, u"MailHandlerOrangeFr",
     u"https://messagerie.orange.fr/", 152, 167, EngineKind::OrangeFr},
    {u"LinkedIn", u"LinkedIn", 0x400, 0x40000, u"MailHandlerLinkedIn",
     u"https://www.linkedin.com/messaging/", 158, 164, EngineKind::LinkedIn},
    {u"O2pl", u"O2.pl", 0x800, 0x100000, u"MailHandlerO2pl", u"https://poczta.o2.pl/", 175, 176,
     EngineKind::O2pl},
    {u"Yandex", u"Yandex", 0x2000, 0x400000, u"MailHandlerYandex", u"https://mail.yandex.com/", 181,
     182, EngineKind::Yandex},
    {u"SFR", u"SFR.fr", 0x4000, 0x800000, u"MailHandlerSFR", u"https://webmail.sfr.fr/", 184, 186,
     EngineKind::Sfr},
    {u"IMAP", u"IMAP #1", 0x8000, 0x1000000, u"MailHandlerIMAP", u"", 197, 199, EngineKind::Imap},
    {u"IMAP", u"IMAP #2", 0x20000, 0x4000000, u"MailHandlerIMAP2", u"", 197, 199, EngineKind::Imap},
    {u"IMAP", u"IMAP #3", 0x40000, 0x8000000, u"MailHandlerIMAP3", u"", 197, 199, EngineKind::Imap},
    {u"MAPI", u"MAPI", 0x80000, 0x10000000, u"MailHandlerMAPI", u"Microsoft Outlook", 208, 206,
     EngineKind::Mapi},
    {u"EWS", u"Microsoft Exchange Web Service", 0x100000, 0x8ull << 32, u"MailHandlerEWS",
     kDefaultWebBrowser, 225, 226, EngineKind::Ews},
}};

// The display name of the first type in a mask of typeBit values, testing the bits from 0x1
// up to 0x80000; a mask with none of them but 0x100000 is Exchange. Empty for other masks.
std::u16string_view DisplayNameForMask(uint32_t typeMask);

// The row of the type with this typeBit, or null.
const AccountTypeInfo* FindAccountType(uint32_t typeBit);

}  // namespace tarvel
