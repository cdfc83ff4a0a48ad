#include "ui/alerts/new_mail_sound.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <set>
#include <string>

#include "tests/support/temp_folder.h"

namespace tarvel {
namespace {

TEST(NewMailSound, PerAccountFileNames) {
  struct Row {
    const char* sound;
    const char16_t* account;
    const char* expected;
  };
  const Row rows[] = {
      {"C:\\Sounds\\Ping.wav", u"GMail", "C:\\Sounds\\PingGMail.wav"},
      {"/s/Ping.wav", u"IMAP #2", "/s/PingIMAP #2.wav"},
      {"/s/Ping", u"GMail", "/s/PingGMail"},
      {"/s/Ping.x", u"Yahoo", "/s/PingYahoo.x"},
      // A five-character extension is kept in the name and repeated after it.
      {"/s/Ping.flac", u"GMail", "/s/Ping.flacGMail.flac"},
      // A dot in a folder name is no extension: the folder is never cut.
      {"/my.snd/Ping", u"GMail", "/my.snd/PingGMail"},
      {"/a.b/x", u"GMail", "/a.b/xGMail"},
      {"C:\\a.b\\x", u"GMail", "C:\\a.b\\xGMail"},
      // A dot before the last space is no extension either.
      {"/s/My.wav file", u"Zoho", "/s/My.wav fileZoho"},
      {".wav", u"MAPI", "MAPI.wav"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.sound);
    EXPECT_EQ(PerAccountSoundPath(Text::FromUtf8(row.sound), row.account).ToUtf8(), row.expected);
  }
}

TEST(NewMailSound, AccountNamesByLowestBit) {
  struct Row {
    uint32_t bits;
    const char16_t* name;
  };
  const Row rows[] = {
      {0x1, u"Outlook.com"},
      {0x2, u"GMail"},
      {0x6, u"GMail"},  // the lowest set bit decides
      {0x1000, u"Outlook.com Alternative"},
      {0x8000, u"IMAP #1"},
      {0x40000, u"IMAP #3"},
      {0x100000, u"Microsoft Exchange Web Service"},
      {0x300000, u"Microsoft Exchange Web Service"},
      {0x200000, u""},  // no account type has this bit
      {0, u""},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.bits);
    EXPECT_EQ(SoundNameForType(row.bits), std::u16string_view(row.name));
  }
}

TEST(NewMailSound, ChoosesThePerAccountFileOnlyWhenItExists) {
  const std::set<std::string> existing = {"/s/PingGMail.wav", "/s/Ping"};
  const PlainFileTest exists = [&](const Text& path) { return existing.count(path.ToUtf8()) > 0; };
  struct Row {
    const char* sound;
    uint32_t typeBit;
    const char* expected;
  };
  const Row rows[] = {
      {"/s/Ping.wav", 0x2, "/s/PingGMail.wav"},
      {"/s/Ping.wav", 0x4, "/s/Ping.wav"},  // no PingYahoo.wav: the common sound
      {"/s/Ping.wav", 0, "/s/Ping.wav"},    // no account name
      {"", 0x2, ""},                        // no sound at all
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(std::string(row.sound) + " " + std::to_string(row.typeBit));
    EXPECT_EQ(ChooseNewMailSound(Text::FromUtf8(row.sound), row.typeBit, exists).ToUtf8(),
              row.expected);
  }
}

TEST(NewMailSound, APerAccountFolderIsNotAFile) {
  testing::TempFolder folder;
  const std::string sound = folder.file("Ping.wav");
  ASSERT_TRUE(testing::WriteFileContent(sound, "RIFF"));
  ASSERT_EQ(::mkdir(folder.file("PingGMail.wav").c_str(), 0700), 0);
  ASSERT_TRUE(testing::WriteFileContent(folder.file("PingYahoo.wav"), "RIFF"));
  EXPECT_EQ(ChooseNewMailSound(Text::FromUtf8(sound), 0x2, IsPlainFile).ToUtf8(), sound);
  EXPECT_EQ(ChooseNewMailSound(Text::FromUtf8(sound), 0x4, IsPlainFile).ToUtf8(),
            folder.file("PingYahoo.wav"));
}

}  // namespace
}  // namespace tarvel
