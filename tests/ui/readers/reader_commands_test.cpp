#include "ui/readers/reader_commands.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <filesystem>

#include <string>
#include <vector>

#include "tests/ui/readers/fake_desktop.h"
#include "ui/adapters/desktop_entries.h"
#include "ui/readers/reader_list.h"

namespace tarvel {
namespace {

using testing::FakeDesktop;
using Scope = FakeDesktop::Scope;
using Strings = std::vector<std::string>;

constexpr const char* kMail = "x-scheme-handler/mailto;";
constexpr const char* kWeb = "text/html;x-scheme-handler/http;x-scheme-handler/https;";

Strings Offered(const ReaderSources& sources) {
  Strings names;
  EnumerateReaders(sources, [&](const Text& name) { names.push_back(name.ToUtf8()); });
  return names;
}

TEST(DesktopEntryParse, ReadsTheMainGroupWithItsEscapes) {
  const std::optional<DesktopEntry> entry = ParseDesktopEntry(
      "# comment\n"
      "[Desktop Entry]\n"
      "Type = Application\n"
      "Name=Mail\\sReader\n"
      "Name[de]=Postleser\n"  // translations do not replace the stable name
      "Exec=mail \"a\\\\\\\\b\" %u\n"
      "MimeType=x-scheme-handler/mailto;text/x\\;y;\n"
      "NoDisplay=true\n"
      "[Desktop Action compose]\n"
      "Name=Compose\n"
      "Exec=other\n");
  ASSERT_TRUE(entry);
  EXPECT_EQ(entry->type, "Application");
  EXPECT_EQ(entry->name, "Mail Reader");
  EXPECT_EQ(entry->exec, "mail \"a\\\\b\" %u");
  EXPECT_EQ(entry->mimeTypes, (Strings{"x-scheme-handler/mailto", "text/x;y"}));
  EXPECT_TRUE(entry->noDisplay);
  EXPECT_FALSE(entry->hidden);

  EXPECT_FALSE(ParseDesktopEntry("Name=no group\nExec=x\n"));
  EXPECT_FALSE(ParseDesktopEntry(std::string(1000, '[')));
}

TEST(DesktopEntryExec, FieldCodesAndQuoting) {
  struct Case {
    const char* exec;
    Strings expected;  // empty: the value is refused
  };
  const Case cases[] = {
      {"browser %u", {"browser", "https://mail.example.org/"}},
      {"browser %U", {"browser", "https://mail.example.org/"}},
      {"browser --new-tab=%u", {"browser", "--new-tab=https://mail.example.org/"}},
      // File codes take local files, which a web address is not; deprecated codes go.
      {"viewer %f %F %d %D %n %N %v %m", {"viewer"}},
      {"mail %i %c %k", {"mail", "--icon", "mail-icon", "Mail", "/apps/mail.desktop"}},
      {"mail 100%%", {"mail", "100%"}},
      {"\"/opt/My Mail/mail\" \"a \\\"quoted\\\" \\$word\" %u",
       {"/opt/My Mail/mail", "a \"quoted\" $word", "https://mail.example.org/"}},
      {"mail \"\" %u", {"mail", "", "https://mail.example.org/"}},
      {"mail \"unclosed", {}},
      {"%u", {"https://mail.example.org/"}},  // the address names no program: refused below
      {"   ", {}},
  };
  DesktopEntry entry;
  entry.name = "Mail";
  entry.icon = "mail-icon";
  entry.file = "/apps/mail.desktop";
  for (const Case& row : cases) {
    SCOPED_TRACE(row.exec);
    entry.exec = row.exec;
    const std::optional<Strings> arguments = ExpandExec(entry, "https://mail.example.org/");
    if (row.expected.empty())
      EXPECT_FALSE(arguments);
    else
      EXPECT_EQ(arguments.value_or(Strings{"<refused>"}), row.expected);
  }
}

// The applications of a desktop with a user and a system folder, and what each filter keeps.
class ReaderDesktop : public ::testing::Test {
 protected:
  void SetUp() override {
    desktop.AddRecordingProgram("present-program");
    desktop.AddApplication(Scope::System, "zmail.desktop", "Z Mail", "zmail %u", kMail);
    desktop.AddApplication(Scope::System, "thunder.desktop", "Thunder Mail", "thunder %u", kMail);
    desktop.AddApplication(Scope::System, "web.desktop", "Web Browser", "web %u", kWeb);
    // The user's copy shadows the system's: its own name and Exec count.
    desktop.AddApplication(Scope::System, "aweb.desktop", "Old Name", "old %u", kWeb);
    desktop.AddApplication(Scope::User, "aweb.desktop", "A Browser", "abrowser %u", kWeb);
    // A user entry that hides a system one hides it for good.
    desktop.AddApplication(Scope::System, "gone.desktop", "Gone Mail", "gone %u", kMail);
    desktop.AddApplication(Scope::User, "gone.desktop", "Gone Mail", "gone %u", kMail,
                           "Hidden=true\n");
    desktop.AddApplication(Scope::System, "quiet.desktop", "Quiet", "quiet %u", kMail,
                           "NoDisplay=true\n");
    desktop.AddApplication(Scope::System, "missing.desktop", "Missing", "missing %u", kMail,
                           "TryExec=no-such-program-anywhere\n");
    desktop.AddApplication(Scope::System, "present.desktop", "Present", "present-program %u", kWeb,
                           "TryExec=present-program\n");
    // The same name twice: the first in order wins.
    desktop.AddApplication(Scope::System, "web2.desktop", "Web Browser", "web2 %u", kWeb);
    // A browser that reads mail too is offered once, among the mail programs.
    desktop.AddApplication(Scope::User, "sub/suite.desktop", "Suite", "suite %u",
                           std::string(kMail) + kWeb);
    desktop.AddApplication(Scope::System, "viewer.desktop", "Image Viewer", "viewer %f",
                           "image/png;");
    desktop.AddEntry(Scope::System, "link.desktop",
                     "[Desktop Entry]\nType=Link\nName=Link\nURL=https://example.org/\n"
                     "MimeType=x-scheme-handler/http;\n");
  }

  FakeDesktop desktop;
};

TEST_F(ReaderDesktop, ApplicationsAreFilteredAndShadowed) {
  Strings ids;
  for (const DesktopEntry& entry : LoadApplications(desktop.paths()))
    ids.push_back(entry.id + "=" + entry.name);
  EXPECT_EQ(ids, (Strings{"aweb.desktop=A Browser", "sub-suite.desktop=Suite",
                          "present.desktop=Present", "thunder.desktop=Thunder Mail",
                          "viewer.desktop=Image Viewer", "web.desktop=Web Browser",
                          "web2.desktop=Web Browser", "zmail.desktop=Z Mail"}));
}

TEST_F(ReaderDesktop, MailProgramsThenBrowsersEachNameOnce) {
  const ReaderSources sources = ReaderSources::Load(desktop.paths());
  EXPECT_EQ(Offered(sources),
            (Strings{"Suite", "Thunder Mail", "Z Mail", "A Browser", "Present", "Web Browser"}));

  // With a default mail program the desktop's choice is offered last.
  desktop.WriteConfigMimeApps("[Default Applications]\nx-scheme-handler/mailto=zmail.desktop\n");
  EXPECT_EQ(Offered(ReaderSources::Load(desktop.paths())).back(), "Default E-Mail Reader");
}

TEST_F(ReaderDesktop, DefaultMailProgramFromTheMimeAppsLists) {
  struct Case {
    const char* name;
    const char* config;    // the user's mimeapps.list; null: none
    const char* system;    // the system's; null: none
    const char* expected;  // the chosen id; null: none
  };
  const Case cases[] = {
      {"user list first", "[Default Applications]\nx-scheme-handler/mailto=thunder.desktop\n",
       "[Default Applications]\nx-scheme-handler/mailto=zmail.desktop\n", "thunder.desktop"},
      {"system list when the user has none", nullptr,
       "[Default Applications]\nx-scheme-handler/mailto=zmail.desktop\n", "zmail.desktop"},
      {"missing and hidden ids are passed over",
       "[Default Applications]\nx-scheme-handler/mailto=nothere.desktop;gone.desktop;"
       "sub-suite.desktop;\n",
       nullptr, "sub-suite.desktop"},
      {"only the default group counts",
       "[Added Associations]\nx-scheme-handler/mailto=thunder.desktop\n", nullptr, nullptr},
      {"a list whose ids are all missing falls through",
       "[Default Applications]\nx-scheme-handler/mailto=nothere.desktop\n",
       "[Default Applications]\nx-scheme-handler/mailto=zmail.desktop\n", "zmail.desktop"},
  };
  for (const Case& row : cases) {
    SCOPED_TRACE(row.name);
    FakeDesktop fresh;
    fresh.AddApplication(Scope::System, "zmail.desktop", "Z Mail", "zmail %u", kMail);
    fresh.AddApplication(Scope::System, "thunder.desktop", "Thunder", "thunder %u", kMail);
    fresh.AddApplication(Scope::User, "sub/suite.desktop", "Suite", "suite %u", kMail);
    fresh.AddApplication(Scope::User, "gone.desktop", "Gone", "gone %u", kMail, "Hidden=true\n");
    if (row.config)
      fresh.WriteConfigMimeApps(row.config);
    if (row.system)
      fresh.WriteSystemMimeApps(row.system);
    const XdgPaths paths = fresh.paths();
    const std::optional<DesktopEntry> chosen =
        FindDefaultApplication(paths, LoadApplications(paths), kMailtoHandler);
    if (row.expected)
      EXPECT_EQ(chosen ? chosen->id : "<none>", row.expected);
    else
      EXPECT_FALSE(chosen);
  }
}

TEST_F(ReaderDesktop, DesktopSpecificListComesBeforeTheGeneralOne) {
  desktop.WriteConfigMimeApps("[Default Applications]\nx-scheme-handler/mailto=zmail.desktop\n");
  testing::WriteFileContent(desktop.paths().configHome + "/kde-mimeapps.list",
                            "[Default Applications]\nx-scheme-handler/mailto=thunder.desktop\n");
  XdgPaths paths = desktop.paths();
  paths.desktops = {"kde"};
  const std::optional<DesktopEntry> chosen =
      FindDefaultApplication(paths, LoadApplications(paths), kMailtoHandler);
  EXPECT_EQ(chosen ? chosen->id : "<none>", "thunder.desktop");
}

TEST(ReaderCommandLine, QuotingSplittingAndTheWebsite) {
  FakeDesktop desktop;
  const std::string spaced = desktop.programFolder() + "/My Mail";
  std::filesystem::create_directories(spaced);
  testing::WriteFileContent(spaced + "/mail", "#!/bin/sh\n");
  ::chmod((spaced + "/mail").c_str(), 0755);
  desktop.AddRecordingProgram("reader");
  ::setenv("TARVEL_TEST_MAIL_FOLDER", spaced.c_str(), 1);
  ::setenv("TARVEL_TEST_BIN_FOLDER", desktop.programFolder().c_str(), 1);

  struct Case {
    std::string command;
    std::string program;  // empty: no command
    Strings arguments;
  };
  const std::string site = "https://mail.example.org/?a=1&b=\"2\" x";
  const Case cases[] = {
      {"reader %1", "reader", {site}},
      {"reader --url=%1 --new", "reader", {"--url=" + site, "--new"}},
      // The whole command is a path with spaces: it is the program.
      {spaced + "/mail", spaced + "/mail", {}},
      // A path with spaces and arguments, unquoted: its shortest runnable part is the program.
      {spaced + "/mail %1", spaced + "/mail", {site}},
      {"\"" + spaced + "/mail\" -compose \"two words\" %1",
       spaced + "/mail",
       {"-compose", "two words", site}},
      {"${TARVEL_TEST_MAIL_FOLDER}/mail %1", spaced + "/mail", {site}},
      {"%TARVEL_TEST_BIN_FOLDER%/reader \"%1\"", desktop.programFolder() + "/reader", {site}},
      // Unset variables stay as written; "%1" is never a variable.
      {"reader $TARVEL_TEST_UNSET_VARIABLE %1%",
       "reader",
       {"$TARVEL_TEST_UNSET_VARIABLE", site + "%"}},
      // Nothing runnable: the first word is the program.
      {"unknown-program a b", "unknown-program", {"a", "b"}},
      {"   ", "", {}},
      {"\"\" %1", "", {}},
  };
  for (const Case& row : cases) {
    SCOPED_TRACE(row.command);
    const std::optional<ReaderLaunch> launch =
        SplitReaderCommandLine(row.command, site, desktop.paths().programPath);
    if (row.program.empty()) {
      EXPECT_FALSE(launch);
      continue;
    }
    ASSERT_TRUE(launch);
    EXPECT_EQ(launch->program, row.program);
    EXPECT_EQ(launch->arguments, row.arguments);
  }
  ::unsetenv("TARVEL_TEST_MAIL_FOLDER");
  ::unsetenv("TARVEL_TEST_BIN_FOLDER");
}

TEST(ReaderCommands, OnlyWebAndMailAddressesGoToTheUrlHandler) {
  const struct {
    std::string_view address;
    bool handled;
  } cases[] = {
      {"https://mail.example.org/", true},
      {"HTTP://Mail.Example.org", true},
      {"mailto:me@example.org", true},
      {"", false},
      {"https://", false},
      {"-h", false},
      {"--manual", false},
      {"inbox.html", false},
      {"./https://x", false},
      {"file:///home/me/.ssh/id_rsa", false},
      {"javascript:alert(1)", false},
      {"https://example.org/\nsecond", false},
  };
  for (const auto& row : cases) {
    SCOPED_TRACE(row.address);
    EXPECT_EQ(IsHandlerAddress(row.address), row.handled);
  }
}

TEST_F(ReaderDesktop, ReaderChoicesBecomeLaunches) {
  desktop.WriteConfigMimeApps("[Default Applications]\nx-scheme-handler/mailto=thunder.desktop\n");
  const ReaderSources sources = ReaderSources::Load(desktop.paths());
  using Action = ReaderLaunch::Action;
  struct Case {
    const char16_t* reader;
    Action action;
    std::string target;  // the address or the program
    Strings arguments;
  };
  const std::string site = "https://mail.google.com/mail/";
  const Case cases[] = {
      {u"Default Web Browser", Action::OpenAddress, site, {}},
      {u"", Action::OpenAddress, site, {}},
      // A reader that is a web address opens itself, not the website.
      {u"https://mail.example.org/inbox",
       Action::OpenAddress,
       "https://mail.example.org/inbox",
       {}},
      {u"HTTP://Mail.Example.org/", Action::OpenAddress, "HTTP://Mail.Example.org/", {}},
      {u"@reader -x %1", Action::StartProgram, "reader", {"-x", site}},
      {u"Thunder Mail", Action::StartProgram, "thunder", {site}},
      {u"thunder mail", Action::StartProgram, "thunder", {site}},
      {u"A Browser", Action::StartProgram, "abrowser", {site}},
      {u"Default E-Mail Reader", Action::StartProgram, "thunder", {site}},
      {u"mailto:me@example.org", Action::OpenAddress, "mailto:me@example.org", {}},
      // Names with no application open the website: the URL handler would take them for a
      // file or an option.
      {u"Microsoft Outlook", Action::OpenAddress, site, {}},
      {u"Old Name", Action::OpenAddress, site, {}},
      {u"Image Viewer", Action::OpenAddress, site, {}},  // neither mail nor web
      {u"@", Action::OpenAddress, site, {}},
      {u"--help", Action::OpenAddress, site, {}},
      {u"../../etc/passwd", Action::OpenAddress, site, {}},
      {u"file:///etc/passwd", Action::OpenAddress, site, {}},
  };
  for (const Case& row : cases) {
    const Text reader(row.reader);
    SCOPED_TRACE(reader.ToUtf8());
    const ReaderLaunch launch = PlanReaderLaunch(sources, reader, Text::FromUtf8(site));
    EXPECT_EQ(launch.action, row.action);
    EXPECT_EQ(row.action == Action::OpenAddress ? launch.address : launch.program, row.target);
    EXPECT_EQ(launch.arguments, row.arguments);
  }
}

}  // namespace
}  // namespace tarvel

namespace tarvel {
namespace {

TEST(ReaderList, AccountPageListWithItsRemovalsAndIcons) {
  testing::FakeDesktop desktop;
  desktop.AddApplication(Scope::System, "tb.desktop", "Mozilla Thunderbird", "tb %u", kMail);
  desktop.AddApplication(Scope::System, "hm.desktop", "Hotmail", "hm %u", kMail);
  desktop.AddApplication(Scope::System, "notes.desktop", "IBM Notes", "notes %u", kMail);
  desktop.AddApplication(Scope::System, "ff.desktop", "Firefox ESR", "firefox-esr %u", kWeb);
  desktop.AddApplication(Scope::System, "edge.desktop", "Microsoft Edge Beta", "msedge %u", kWeb);
  // Already listed as the type's own entry: not offered twice.
  desktop.AddApplication(Scope::System, "dwb.desktop", "Default Web Browser", "x %u", kWeb);
  const ReaderSources sources = ReaderSources::Load(desktop.paths());
  // Within mail programs and within browsers, the order is the desktop file ids'.

  const auto listFor = [&](uint32_t typeBit) {
    std::vector<std::string> rows;
    for (const ReaderListEntry& entry : BuildReaderList(*FindAccountType(typeBit), sources))
      rows.push_back(entry.name.ToUtf8() + ":" + std::to_string(entry.iconId));
    return rows;
  };
  EXPECT_EQ(listFor(0x2), (Strings{"Default Web Browser:125", "Mozilla Thunderbird:204",
                                   "Microsoft Edge Beta:173", "Firefox ESR:137"}));
  EXPECT_EQ(listFor(0x1),
            (Strings{"Default Web Browser:113", "Hotmail:113", "Mozilla Thunderbird:204",
                     "Microsoft Edge Beta:173", "Firefox ESR:137"}));
  EXPECT_EQ(listFor(0x20),
            (Strings{"Notes:147", "IBM Notes:147", "Mozilla Thunderbird:204",
                     "Default Web Browser:122", "Microsoft Edge Beta:173", "Firefox ESR:137"}));
  // The web mail page of the type comes first, with the type's icon.
  EXPECT_EQ(listFor(0x4).front(), "https://mail.yahoo.com/:126");
  EXPECT_EQ(ReaderIconId(u"Opera Stable"), 139u);
  EXPECT_EQ(ReaderIconId(u"google chrome"), 140u);
  EXPECT_EQ(ReaderIconId(u"Evolution"), 122u);
}

}  // namespace
}  // namespace tarvel
