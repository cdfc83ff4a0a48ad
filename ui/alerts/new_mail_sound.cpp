#include "ui/alerts/new_mail_sound.h"

#include <sys/stat.h>

#include <array>
#include <utility>

namespace tarvel {

namespace {

constexpr std::array<std::pair<uint32_t, std::u16string_view>, 21> kSoundNames = {{
    {0x1, u"Outlook.com"},
    {0x2, u"GMail"},
    {0x4, u"Yahoo"},
    {0x8, u"Zoho"},
    {0x10, u"Mail.ru"},
    {0x20, u"Notes"},
    {0x40, u"Virgilio.it"},
    {0x80, u"Facebook"},
    {0x100, u"Twitter"},
    {0x200, u"Orange.fr"},
    {0x400, u"LinkedIn"},
    {0x800, u"O2.pl"},
    {0x1000, u"Outlook.com Alternative"},
    {0x2000, u"Yandex"},
    {0x4000, u"SFR.fr"},
    {0x8000, u"IMAP #1"},
    {0x10000, u"iNotes Web"},
    {0x20000, u"IMAP #2"},
    {0x40000, u"IMAP #3"},
    {0x80000, u"MAPI"},
    {0x100000, u"Microsoft Exchange Web Service"},
}};

// The longest extension, dot included, that is replaced rather than kept.
constexpr Text::Position kMaximumExtensionLength = 4;

bool IsNameSeparator(char16_t unit) {
  return unit == u'\\' || unit == u'/' || unit == u' ';
}

}  // namespace

std::u16string_view SoundNameForType(uint32_t typeBits) {
  for (const auto& [bit, name] : kSoundNames) {
    if (typeBits & bit)
      return name;
  }
  return {};
}

Text PerAccountSoundPath(const Text& soundPath, std::u16string_view accountName) {
  // The extension is the part from the last dot of the file name itself; a dot in a folder
  // name is no extension, so the folder is never cut.
  Text::Position dot = -1;
  for (Text::Position i = soundPath.length() - 1; i >= 0; --i) {
    const char16_t unit = soundPath[i];
    if (unit == u'.') {
      dot = i;
      break;
    }
    if (IsNameSeparator(unit))
      break;
  }
  const Text extension = dot >= 0 ? soundPath.Mid(dot) : Text();
  Text result = soundPath;
  if (dot >= 0 && extension.length() <= kMaximumExtensionLength)
    result.Truncate(dot);
  result += accountName;
  result += extension;
  return result;
}

Text ChooseNewMailSound(const Text& soundPath, uint32_t typeBits,
                        const PlainFileTest& isPlainFile) {
  if (soundPath.isEmpty())
    return {};
  const std::u16string_view name = SoundNameForType(typeBits);
  if (!name.empty()) {
    Text perAccount = PerAccountSoundPath(soundPath, name);
    if (isPlainFile(perAccount))
      return perAccount;
  }
  return soundPath;
}

bool IsPlainFile(const Text& path) {
  struct stat info {};
  return ::stat(path.ToUtf8().c_str(), &info) == 0 && !S_ISDIR(info.st_mode);
}

}  // namespace tarvel
