// Runs the tarvelctl program of this build as a user or a script would.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "tests/support/temp_folder.h"

extern char** environ;

namespace tarvel {
namespace {

using testing::ReadFileContent;
using testing::TempFolder;
using testing::WriteFileContent;

struct Outcome {
  int exitCode = -1;
  std::string out;
  std::string err;
};

// The program is built into the same folder as this test.
std::string ProgramPath() {
  std::error_code error;
  const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", error);
  if (!error)
    return (self.parent_path() / "tarvelctl").string();
  const char* binaryDir = std::getenv("TARVEL_BINARY_DIR");
  return std::string(binaryDir ? binaryDir : ".") + "/bin/tarvelctl";
}

class Tarvelctl : public ::testing::Test {
 protected:
  void SetUp() override {
    folder.UseAsConfigHome();
    // A session bus nobody listens on: a notifier running on the developer's desktop must not
    // answer these tests' checks.
    ::setenv("DBUS_SESSION_BUS_ADDRESS", ("unix:path=" + folder.file("no-bus")).c_str(), 1);
  }

  // Starts the program; its output goes to files named after `tag`.
  pid_t Start(const std::vector<std::string>& arguments, const std::string& tag,
              const std::string& program = ProgramPath(), const std::string& input = {}) {
    std::vector<std::string> all = {program};
    all.insert(all.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (std::string& argument : all)
      argv.push_back(argument.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    const std::string outPath = folder.file(tag + ".out");
    const std::string errPath = folder.file(tag + ".err");
    if (!input.empty())
      posix_spawn_file_actions_addopen(&actions, 0, input.c_str(), O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0600);
    posix_spawn_file_actions_addopen(&actions, 2, errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0600);
    pid_t child = -1;
    if (posix_spawn(&child, argv[0], &actions, nullptr, argv.data(), environ) != 0)
      child = -1;
    posix_spawn_file_actions_destroy(&actions);
    return child;
  }

  Outcome Finish(pid_t child, const std::string& tag) {
    Outcome outcome;
    int status = 0;
    if (child > 0 && ::waitpid(child, &status, 0) == child && WIFEXITED(status))
      outcome.exitCode = WEXITSTATUS(status);
    outcome.out = ReadFileContent(folder.file(tag + ".out"));
    outcome.err = ReadFileContent(folder.file(tag + ".err"));
    return outcome;
  }

  Outcome Run(const std::vector<std::string>& arguments,
              const std::string& program = ProgramPath()) {
    return Finish(Start(arguments, "run", program), "run");
  }

  // Runs the program with standard input read from a file of this content.
  Outcome RunWithInput(const std::vector<std::string>& arguments, const std::string& content) {
    const std::string input = folder.file("input");
    EXPECT_TRUE(WriteFileContent(input, content));
    return Finish(Start(arguments, "run", ProgramPath(), input), "run");
  }

  std::string RegistryFile() const { return folder.file("config") + "/Quorline/registry"; }

  TempFolder folder;
};

TEST_F(Tarvelctl, PrintsTheProjectVersion) {
  for (const char* option : {"--version", "version"}) {
    const Outcome outcome = Run({option});
    EXPECT_EQ(outcome.exitCode, 0) << option;
    EXPECT_EQ(outcome.out, "tarvelctl " TARVEL_PROJECT_VERSION "\n") << option;
    EXPECT_EQ(outcome.err, "") << option;
  }
  const Outcome help = Run({"--help"});
  EXPECT_NE(help.out.find("--version"), std::string::npos);
}

TEST_F(Tarvelctl, ChecksAFreshMachineWithNothingEnabled) {
  const std::string emptyJson =
      "{\"status\":0,\"total\":0,\"new\":0,\"accounts\":[],"
      "\"tooltip\":\"No unread mails - Tarvel E-Mail Notifier\","
      "\"newMailText\":\"\",\"allMailText\":\"\"}\n";
  const Outcome registry = Run({"check", "--json"});
  EXPECT_EQ(registry.exitCode, 0) << registry.err;
  EXPECT_EQ(registry.out, emptyJson);
  const Outcome portable = Run({"--ini", folder.file("tarvel.ini"), "check", "--json"});
  EXPECT_EQ(portable.exitCode, 0) << portable.err;
  EXPECT_EQ(portable.out, emptyJson);
  // Checking writes nothing.
  EXPECT_FALSE(std::filesystem::exists(RegistryFile()));
  EXPECT_FALSE(std::filesystem::exists(folder.file("tarvel.ini")));
}

TEST_F(Tarvelctl, PortableModeUsesTheFileBesideTheProgram) {
  // A copy of the program in a folder of its own, as a portable installation would be.
  const std::string portableFolder = folder.file("portable");
  std::filesystem::create_directory(portableFolder);
  const std::string program = portableFolder + "/tarvelctl";
  std::filesystem::copy_file(ProgramPath(), program);
  const std::string ini = portableFolder + "/tarvel.ini";

  const Outcome check = Run({"-p", "check", "--json"}, program);
  EXPECT_EQ(check.exitCode, 0) << check.err;
  EXPECT_NE(check.out.find("\"accounts\":[]"), std::string::npos);
  EXPECT_FALSE(std::filesystem::exists(ini));

  EXPECT_EQ(Run({"-p", "settings", "set", "Flags", "268435456"}, program).exitCode, 0);
  EXPECT_EQ(ReadFileContent(ini), "[Settings]\nFlags=268435456\n");
  EXPECT_EQ(Run({"-p", "check", "--json"}, program).exitCode, 1);  // MAPI cannot check yet
  EXPECT_FALSE(std::filesystem::exists(RegistryFile()));
}

// An enabled type whose outside library is missing is reported with the reason, not skipped.
TEST_F(Tarvelctl, ReportsEnabledTypesThatCannotCheck) {
  ASSERT_EQ(Run({"settings", "set", "Flags", "0x14000000"}).exitCode, 0);  // MAPI, IMAP #2
  const Outcome json = Run({"check", "--json"});
  EXPECT_EQ(json.exitCode, 1);
  EXPECT_NE(json.out.find("{\"name\":\"MAPI\",\"display\":\"Microsoft Outlook\",\"typeBit\":524288,"
                          "\"status\":1,\"reason\":\"the MAPI provider library is missing\","
                          "\"unread\":0,\"new\":0,\"mails\":[]}"),
            std::string::npos)
      << json.out;
  EXPECT_NE(json.out.find("\"typeBit\":131072"), std::string::npos);
  const Outcome text = Run({"check"});
  EXPECT_EQ(text.exitCode, 1);
  EXPECT_NE(
      text.out.find(
          "Microsoft Outlook: status 1 (the MAPI provider library is missing), 0 unread, 0 new"),
      std::string::npos)
      << text.out;
  EXPECT_NE(text.out.find("No unread mails - Tarvel E-Mail Notifier"), std::string::npos);
}

TEST_F(Tarvelctl, SetsGetsListsAndDeletesInEitherStore) {
  const std::vector<std::vector<std::string>> stores = {{}, {"--ini", folder.file("t.ini")}};
  for (const std::vector<std::string>& choice : stores) {
    SCOPED_TRACE(choice.empty() ? "registry" : "ini");
    auto command = [&](std::vector<std::string> words) {
      std::vector<std::string> all = choice;
      all.push_back("settings");
      all.insert(all.end(), words.begin(), words.end());
      return Run(all);
    };
    EXPECT_EQ(command({"set", "CheckRange", "0xFF00"}).exitCode, 0);
    EXPECT_EQ(command({"set", "LogitechHapticFeedback", "-1"}).exitCode, 0);
    EXPECT_EQ(command({"set", "EWSServer", "https://mail.example.com/ews"}).exitCode, 0);
    EXPECT_EQ(command({"set", "EWSPassword", "pässwörd"}).exitCode, 0);  // a secret by name
    EXPECT_EQ(command({"set", "Note", "12", "--text"}).exitCode, 0);
    EXPECT_EQ(command({"set", "sid", "cookie-value", "--group", "Cookies_00000002"}).exitCode, 0);

    EXPECT_EQ(command({"get", "CheckRange"}).out, "65280\n");
    EXPECT_EQ(command({"get", "LogitechHapticFeedback"}).out, "18446744073709551615\n");
    EXPECT_EQ(command({"get", "ewsserver"}).out, "https://mail.example.com/ews\n");
    EXPECT_EQ(command({"get", "EWSPassword", "--protected"}).out, "pässwörd\n");
    EXPECT_EQ(command({"get", "EWSPassword"}).out.size(), 25u);  // 24 Base64 characters
    EXPECT_EQ(command({"get", "sid", "--group", "Cookies_00000002", "--protected"}).out,
              "cookie-value\n");

    const Outcome list = command({"list"});
    EXPECT_EQ(list.exitCode, 0);
    EXPECT_NE(list.out.find("EWSPassword = (protected)\n"), std::string::npos) << list.out;
    EXPECT_NE(list.out.find("[Cookies_00000002]\nsid = (protected)\n"), std::string::npos);
    EXPECT_NE(list.out.find("CheckRange = 65280\n"), std::string::npos);
    EXPECT_EQ(list.out.find("pässwörd"), std::string::npos);
    EXPECT_EQ(list.out.find("cookie-value"), std::string::npos);

    EXPECT_EQ(command({"delete", "Note"}).exitCode, 0);
    EXPECT_EQ(command({"get", "Note"}).exitCode, 1);
    EXPECT_EQ(command({"delete-group", "Cookies_00000002"}).exitCode, 0);
    EXPECT_EQ(command({"list", "--group", "Cookies_00000002"}).out, "");
  }
}

TEST_F(Tarvelctl, RefusesBadArgumentsUnknownNamesAndUnusableStores) {
  struct Case {
    std::vector<std::string> arguments;
    int exitCode;
  };
  std::filesystem::create_directory(folder.file("a-folder"));
  const Case cases[] = {
      {{}, 2},
      {{"frobnicate"}, 2},
      {{"settings"}, 2},
      {{"settings", "fetch", "x"}, 2},
      {{"settings", "get"}, 2},
      {{"settings", "set", "Flags"}, 2},
      {{"settings", "set", "Flags", "12abc", "--number"}, 2},
      {{"settings", "set", "A", "1", "--number", "--text"}, 2},
      {{"settings", "get", "A", "--bogus"}, 2},
      {{"settings", "get", "NoSuchValue"}, 1},
      {{"settings", "get", "Flags", "--group", "NoSuchGroup"}, 1},
      {{"settings", "delete", "NoSuchValue"}, 1},
      {{"settings", "delete-group", "NoSuchGroup"}, 1},
      {{"--ini"}, 2},
      {{"-p", "--ini", "x.ini", "settings", "list"}, 2},
      {{"--ini", folder.file("a-folder"), "settings", "list"}, 2},
      {{"--ini", folder.file("a-folder"), "check"}, 1},
      {{"check", "--xml"}, 2},
  };
  for (const Case& row : cases) {
    std::string joined;
    for (const std::string& word : row.arguments)
      joined += word + " ";
    SCOPED_TRACE(joined);
    const Outcome outcome = Run(row.arguments);
    EXPECT_EQ(outcome.exitCode, row.exitCode);
    EXPECT_FALSE(outcome.err.empty());
  }
  EXPECT_TRUE(std::filesystem::is_directory(folder.file("a-folder")));
}

TEST_F(Tarvelctl, ADamagedStoreGivesDefaultsAndIsKeptAside) {
  std::filesystem::create_directories(folder.file("config") + "/Quorline");
  ASSERT_TRUE(WriteFileContent(RegistryFile(), "QuorlineRegistry\t1\nK\tbroken"));
  const Outcome check = Run({"check", "--json"});
  EXPECT_EQ(check.exitCode, 0);
  EXPECT_NE(check.err.find("kept as"), std::string::npos) << check.err;
  bool kept = false;
  for (const auto& entry : std::filesystem::directory_iterator(folder.file("config") + "/Quorline"))
    kept = kept || ReadFileContent(entry.path().string()) == "QuorlineRegistry\t1\nK\tbroken";
  EXPECT_TRUE(kept);
}

TEST_F(Tarvelctl, ProcessesWritingAtOnceKeepEveryValue) {
  // A normal and a portable instance and scripts all write at the same time.
  constexpr int kProcesses = 12;
  const std::string ini = folder.file("portable.ini");
  std::vector<pid_t> children;
  for (int i = 0; i < kProcesses; ++i) {
    std::vector<std::string> arguments;
    if (i % 2 == 1)
      arguments = {"--ini", ini};
    arguments.insert(arguments.end(),
                     {"settings", "set", "Value" + std::to_string(i), std::to_string(i * 7)});
    children.push_back(Start(arguments, "writer" + std::to_string(i)));
  }
  for (int i = 0; i < kProcesses; ++i)
    EXPECT_EQ(Finish(children[static_cast<std::size_t>(i)], "writer" + std::to_string(i)).exitCode,
              0);
  for (int i = 0; i < kProcesses; ++i) {
    std::vector<std::string> arguments;
    if (i % 2 == 1)
      arguments = {"--ini", ini};
    arguments.insert(arguments.end(), {"settings", "get", "Value" + std::to_string(i)});
    EXPECT_EQ(Run(arguments).out, std::to_string(i * 7) + "\n") << i;
  }
}

TEST_F(Tarvelctl, ReadsAValueFromStandardInputSoSecretsStayOutOfTheArguments) {
  struct Case {
    const char* name;
    std::vector<std::string> arguments;
    std::string input;
    int exitCode;
    std::vector<std::string> get;  // empty when nothing is stored
    std::string stored;
  };
  const Case cases[] = {
      {"secret by name",
       {"set", "EWSPassword", "-"},
       "p\xC3\xA4ss word\r\nsecond line\n",
       0,
       {"get", "EWSPassword", "--protected"},
       "p\xC3\xA4ss word\n"},
      {"last line without a line end",
       {"set", "Note", "-", "--text"},
       "no end",
       0,
       {"get", "Note"},
       "no end\n"},
      {"a number", {"set", "CheckRange", "-"}, "0xFF\n", 0, {"get", "CheckRange"}, "255\n"},
      {"an empty line is an empty secret",
       {"set", "IMAPPassword1", "-", "--protected"},
       "\n",
       0,
       {"get", "IMAPPassword1", "--protected"},
       "\n"},
      {"no input at all", {"set", "EWSUser", "-"}, "", 2, {}, ""},
      {"a line too long", {"set", "EWSUser", "-"}, std::string(70'000, 'x'), 2, {}, ""},
  };
  for (const Case& row : cases) {
    SCOPED_TRACE(row.name);
    std::vector<std::string> arguments = {"settings"};
    arguments.insert(arguments.end(), row.arguments.begin(), row.arguments.end());
    const Outcome set = RunWithInput(arguments, row.input);
    EXPECT_EQ(set.exitCode, row.exitCode) << set.err;
    if (row.get.empty()) {
      EXPECT_EQ(Run({"settings", "get", row.arguments[1]}).exitCode, 1);
      continue;
    }
    std::vector<std::string> get = {"settings"};
    get.insert(get.end(), row.get.begin(), row.get.end());
    EXPECT_EQ(Run(get).out, row.stored);
  }
}

TEST_F(Tarvelctl, ASecretTypedAtATerminalIsNotEchoed) {
  const int terminal = ::posix_openpt(O_RDWR | O_NOCTTY);
  ASSERT_GE(terminal, 0);
  ASSERT_EQ(::grantpt(terminal), 0);
  ASSERT_EQ(::unlockpt(terminal), 0);
  const std::string device = ::ptsname(terminal);

  std::string program = ProgramPath();
  std::vector<std::string> words = {program, "settings", "set", "EWSPassword", "-"};
  std::vector<char*> argv;
  for (std::string& word : words)
    argv.push_back(word.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  for (const int fd : {0, 1, 2})
    posix_spawn_file_actions_addopen(&actions, fd, device.c_str(), O_RDWR | O_NOCTTY, 0);
  pid_t child = -1;
  ASSERT_EQ(posix_spawn(&child, argv[0], &actions, nullptr, argv.data(), environ), 0);
  posix_spawn_file_actions_destroy(&actions);

  // Everything the terminal shows, read until `until` appears or the program has gone quiet.
  std::string shown;
  const auto readShown = [&](const char* until) {
    while (shown.find(until) == std::string::npos) {
      pollfd ready{terminal, POLLIN, 0};
      if (::poll(&ready, 1, 10'000) <= 0)
        return;
      char buffer[256];
      const ssize_t got = ::read(terminal, buffer, sizeof buffer);
      if (got <= 0)
        return;
      shown.append(buffer, static_cast<std::size_t>(got));
    }
  };
  // The prompt comes once echo is off; typing before it would be echoed by the terminal itself.
  readShown("Value of EWSPassword: ");
  ASSERT_NE(shown.find("Value of EWSPassword: "), std::string::npos) << shown;
  const char typed[] = "hunter2-secret\n";
  ASSERT_EQ(::write(terminal, typed, std::strlen(typed)), static_cast<ssize_t>(std::strlen(typed)));
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << shown;
  readShown("\n");
  ::close(terminal);
  EXPECT_EQ(shown.find("hunter2"), std::string::npos) << shown;
  EXPECT_EQ(Run({"settings", "get", "EWSPassword", "--protected"}).out, "hunter2-secret\n");
}

TEST_F(Tarvelctl, StoredControlCharactersAreShownAsEscapes) {
  const std::string hostile =
      "a\x1B]0;owned\x07"
      "b\xC2\x9B"
      "2J\xE2\x80\xAE"
      "cba";
  ASSERT_EQ(Run({"settings", "set", "Note", hostile, "--text"}).exitCode, 0);
  ASSERT_EQ(Run({"settings", "set", "EWSPassword", hostile}).exitCode, 0);
  const std::string escaped = "a\\x1b]0;owned\\x07b\\x9b2J\\u202ecba\n";
  for (const std::vector<std::string>& arguments : std::vector<std::vector<std::string>>{
           {"settings", "get", "Note"}, {"settings", "get", "EWSPassword", "--protected"}}) {
    SCOPED_TRACE(arguments[2] + " " + arguments.back());
    EXPECT_EQ(Run(arguments).out, escaped);
  }
  const Outcome list = Run({"settings", "list"});
  EXPECT_NE(list.out.find("Note = " + escaped), std::string::npos) << list.out;
  for (const char c : list.out)
    EXPECT_TRUE(c == '\n' || static_cast<unsigned char>(c) >= 0x20) << static_cast<int>(c);
}

}  // namespace
}  // namespace tarvel
