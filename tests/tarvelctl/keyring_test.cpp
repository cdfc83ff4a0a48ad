// The protected account values in GNOME Keyring, through tarvelctl as a user runs it: one
// private session bus and keyring daemon for this executable, the settings in a fresh folder
// per case.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/wait.h>

#include <signal.h>
#include <sys/stat.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "platform/base64.h"
#include "tests/support/dovecot_server.h"
#include "tests/support/fixture_server.h"
#include "tests/support/keyring_session.h"
#include "tests/support/temp_folder.h"

extern char** environ;

namespace tarvel {
namespace {

using testing::KeyringSession;
using testing::ReadFileContent;
using testing::RunShell;
using testing::TempFolder;

struct Outcome {
  int exitCode = -1;
  std::string out;
  std::string err;
};

// The account values of the cases: non-ASCII text, quotes, spaces.
const std::vector<std::pair<std::string, std::string>> kSecrets = {
    {"IMAPUser", "tester"},
    {"IMAPPassword2", "pässwörd ∑ 𝄞"},
    {"EWSPassword", "p@ss w0rd;\"'$HOME"},
    {"iNotesServer", "notes.example.com"},
    {"NotesPassword", "x"},
};

class KeyringTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { session = new KeyringSession(); }
  static void TearDownTestSuite() {
    delete session;
    session = nullptr;
  }

  void SetUp() override {
    ASSERT_TRUE(session) << "no keyring session";
    ASSERT_EQ(session->problem(), "") << ReadFileContent(session->logFile());
    folder.UseAsConfigHome();
    ini = folder.file("tarvel.ini");
  }

  // tarvelctl with the case's settings file; its output goes through files.
  Outcome Run(std::vector<std::string> arguments) {
    std::vector<std::string> all = {TARVELCTL_PATH, "--ini", ini};
    all.insert(all.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (std::string& argument : all)
      argv.push_back(argument.data());
    argv.push_back(nullptr);
    const std::string outPath = folder.file("run.out");
    const std::string errPath = folder.file("run.err");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0600);
    posix_spawn_file_actions_addopen(&actions, 2, errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0600);
    pid_t child = -1;
    Outcome outcome;
    if (posix_spawn(&child, argv[0], &actions, nullptr, argv.data(), environ) == 0) {
      int status = 0;
      if (::waitpid(child, &status, 0) == child && WIFEXITED(status))
        outcome.exitCode = WEXITSTATUS(status);
    }
    posix_spawn_file_actions_destroy(&actions);
    outcome.out = ReadFileContent(outPath);
    outcome.err = ReadFileContent(errPath);
    return outcome;
  }

  void StoreSecrets() {
    for (const auto& [name, value] : kSecrets)
      ASSERT_EQ(Run({"settings", "set", name, value}).exitCode, 0) << name;
    ASSERT_EQ(Run({"settings", "set", "EWSServer", "https://mail.example.com/ews"}).exitCode, 0);
  }

  std::string Protected(const std::string& name) {
    const Outcome outcome = Run({"settings", "get", name, "--protected"});
    EXPECT_EQ(outcome.exitCode, 0) << name << ": " << outcome.err;
    return outcome.out;
  }

  // The items of this case's settings file, as secret-tool lists them.
  std::string Items(const std::string& name = {}) {
    std::string output;
    RunShell("secret-tool search --all application tarvel store '" + ini + "'" +
                 (name.empty() ? std::string() : " name " + name) + " 2>&1",
             &output);
    return output;
  }

  static KeyringSession* session;
  TempFolder folder;
  std::string ini;
};

KeyringSession* KeyringTest::session = nullptr;

TEST_F(KeyringTest, ValuesMoveIntoTheKeyringAndBackUnchanged) {
  StoreSecrets();
  const std::string before = ReadFileContent(ini);

  Outcome moved = Run({"secrets", "migrate"});
  ASSERT_EQ(moved.exitCode, 0) << moved.out << moved.err;
  const std::string inKeyring = ReadFileContent(ini);
  for (const auto& [name, value] : kSecrets) {
    EXPECT_NE(moved.out.find(name + ": moved to the keyring\n"), std::string::npos) << moved.out;
    // The settings hold the marker only; the value reads the same through the keyring.
    EXPECT_NE(inKeyring.find(name + "=[keyring]\n"), std::string::npos) << inKeyring;
    EXPECT_EQ(Protected(name), value + "\n");
  }
  EXPECT_NE(inKeyring.find("EWSServer=https://mail.example.com/ews"), std::string::npos);
  for (std::size_t line = 0; (line = before.find("Password", line)) != std::string::npos; ++line) {
    const std::size_t end = before.find('\n', line);
    EXPECT_EQ(inKeyring.find(before.substr(line, end - line)), std::string::npos);
  }
  // One item per value, named by its attributes.
  const std::string item = Items("IMAPPassword2");
  EXPECT_NE(item.find("secret = pässwörd ∑ 𝄞\n"), std::string::npos) << item;
  EXPECT_NE(item.find("attribute.account = IMAP2\n"), std::string::npos) << item;
  EXPECT_NE(item.find("attribute.name = IMAPPassword2\n"), std::string::npos) << item;
  EXPECT_NE(item.find("attribute.application = tarvel\n"), std::string::npos) << item;
  EXPECT_NE(item.find("label = Tarvel E-Mail Notifier: IMAPPassword2\n"), std::string::npos);
  EXPECT_NE(Items("EWSPassword").find("attribute.account = EWS\n"), std::string::npos);

  const Outcome status = Run({"secrets", "status"});
  EXPECT_EQ(status.out,
            "keyring: available\nnew values: keyring\nEWSPassword: keyring\n"
            "IMAPPassword2: keyring\nIMAPUser: keyring\nNotesPassword: keyring\n"
            "iNotesServer: keyring\n");
  // A second move has nothing to do.
  moved = Run({"secrets", "migrate"});
  EXPECT_EQ(moved.exitCode, 0);
  EXPECT_NE(moved.out.find("EWSPassword: already in the keyring\n"), std::string::npos);

  // Writes of moved values, and of values new since, go to the keyring.
  ASSERT_EQ(Run({"settings", "set", "NotesPassword", "changed"}).exitCode, 0);
  ASSERT_EQ(Run({"settings", "set", "EWSUser", "someone"}).exitCode, 0);
  const std::string afterWrites = ReadFileContent(ini);
  EXPECT_NE(afterWrites.find("NotesPassword=[keyring]\n"), std::string::npos);
  EXPECT_NE(afterWrites.find("EWSUser=[keyring]\n"), std::string::npos);
  EXPECT_NE(Items("NotesPassword").find("secret = changed\n"), std::string::npos);

  moved = Run({"secrets", "migrate", "--to-file"});
  ASSERT_EQ(moved.exitCode, 0) << moved.out << moved.err;
  EXPECT_EQ(ReadFileContent(ini).find("[keyring]"), std::string::npos) << ReadFileContent(ini);
  EXPECT_EQ(Items(), "") << "the moved values leave the keyring";
  for (const auto& [name, value] : kSecrets)
    EXPECT_EQ(Protected(name), (name == "NotesPassword" ? "changed" : value) + "\n") << name;
  EXPECT_EQ(Protected("EWSUser"), "someone\n");
  EXPECT_NE(Run({"secrets", "status"}).out.find("new values: settings\nEWSPassword: settings\n"),
            std::string::npos);
}

TEST_F(KeyringTest, ALockedOrAbsentKeyringLosesNothing) {
  StoreSecrets();
  ASSERT_EQ(Run({"secrets", "migrate"}).exitCode, 0);
  const std::string markers = ReadFileContent(ini);

  ASSERT_TRUE(session->Lock());
  Outcome read = Run({"settings", "get", "EWSPassword", "--protected"});
  EXPECT_EQ(read.exitCode, 1);
  EXPECT_EQ(read.out, "");
  EXPECT_NE(read.err.find("EWSPassword is kept in the keyring, which is locked or not running"),
            std::string::npos)
      << read.err;
  Outcome moved = Run({"secrets", "migrate", "--to-file"});
  EXPECT_EQ(moved.exitCode, 1);
  EXPECT_NE(moved.out.find("IMAPUser: not moved, still in the keyring\n"), std::string::npos);
  EXPECT_EQ(ReadFileContent(ini), markers) << "nothing is overwritten";
  // A value written while the keyring is locked is kept in the settings instead.
  ASSERT_EQ(Run({"settings", "set", "EWSPassword", "typed while locked"}).exitCode, 0);
  EXPECT_EQ(Protected("EWSPassword"), "typed while locked\n");
  const std::string withFallback = ReadFileContent(ini);

  // No Secret Service at all: nothing moves either way, nothing changes.
  session->StopKeyring();
  for (const std::vector<std::string>& command :
       {std::vector<std::string>{"secrets", "migrate"}, {"secrets", "migrate", "--to-file"}}) {
    moved = Run(command);
    EXPECT_EQ(moved.exitCode, 1) << command.back();
    EXPECT_NE(moved.err.find("no keyring (Secret Service) on the session bus"), std::string::npos)
        << moved.err;
    EXPECT_NE(moved.err.find("nothing was moved"), std::string::npos);
    EXPECT_EQ(ReadFileContent(ini), withFallback);
  }
  EXPECT_EQ(Run({"settings", "get", "IMAPUser", "--protected"}).exitCode, 1);
  EXPECT_NE(Run({"secrets", "status"}).out.find("keyring: no keyring"), std::string::npos);

  // Back and unlocked: every value is there, the one typed while locked included.
  ASSERT_TRUE(session->StartKeyring());
  moved = Run({"secrets", "migrate", "--to-file"});
  EXPECT_EQ(moved.exitCode, 0) << moved.out << moved.err;
  for (const auto& [name, value] : kSecrets) {
    EXPECT_EQ(Protected(name), (name == "EWSPassword" ? "typed while locked" : value) + "\n")
        << name;
  }
  EXPECT_EQ(Items(), "");
}

TEST_F(KeyringTest, WithoutAKeyringTheSettingsKeepTheirValues) {
  session->StopKeyring();
  StoreSecrets();
  const std::string before = ReadFileContent(ini);
  const Outcome moved = Run({"secrets", "migrate"});
  EXPECT_EQ(moved.exitCode, 1);
  EXPECT_EQ(ReadFileContent(ini), before);
  for (const auto& [name, value] : kSecrets)
    EXPECT_EQ(Protected(name), value + "\n");
  ASSERT_TRUE(session->StartKeyring());
}

// A check of an IMAP account whose user name and password are in the keyring, against
// Dovecot; with the keyring locked or gone the account fails with a reason and never signs in
// with an empty password.
TEST_F(KeyringTest, AnAccountWhosePasswordIsInTheKeyringIsChecked) {
  testing::DovecotServer server;
  ASSERT_TRUE(server.started());
  ::setenv("TARVEL_CA_FILE", server.caFile().c_str(), 1);
  ::setenv("TARVEL_CONNECT_TO", server.connectTo().c_str(), 1);
  ASSERT_TRUE(server.Deliver("tester", "INBOX",
                             "From: a@example.com\r\nTo: tester@example.com\r\n"
                             "Subject: read with a keyring password\r\n"
                             "Date: Thu, 10 Dec 2026 10:00:00 +0000\r\n\r\nbody\r\n"));
  ASSERT_EQ(Run({"settings", "set", "Flags", "16777216", "--number"}).exitCode, 0);
  ASSERT_EQ(Run({"settings", "set", "IMAPServer", "imap.example.com:993", "--text"}).exitCode, 0);
  ASSERT_EQ(Run({"settings", "set", "IMAPUser", "tester"}).exitCode, 0);
  ASSERT_EQ(Run({"settings", "set", "IMAPPassword", "s3cret"}).exitCode, 0);
  ASSERT_EQ(Run({"secrets", "migrate"}).exitCode, 0);
  ASSERT_NE(ReadFileContent(ini).find("IMAPPassword=[keyring]"), std::string::npos);

  Outcome check = Run({"check", "--json"});
  EXPECT_EQ(check.exitCode, 0) << check.out << check.err;
  EXPECT_NE(check.out.find("read with a keyring password"), std::string::npos) << check.out;
  const std::size_t logins = server.LoginCount("tester");
  EXPECT_GE(logins, 1u);

  ASSERT_TRUE(session->Lock());
  for (const char* state : {"locked", "absent"}) {
    if (std::string(state) == "absent")
      session->StopKeyring();
    check = Run({"check", "--json"});
    EXPECT_EQ(check.exitCode, 1) << state << ": " << check.out;
    EXPECT_NE(check.out.find("\"reason\":\"the account's password is kept in the keyring, "
                             "which is locked or not running\""),
              std::string::npos)
        << state << ": " << check.out;
    EXPECT_EQ(check.out.find("read with a keyring password"), std::string::npos) << state;
  }
  EXPECT_EQ(server.LoginCount("tester"), logins) << "no sign-in without the password";
  EXPECT_NE(ReadFileContent(ini).find("IMAPPassword=[keyring]"), std::string::npos);

  ASSERT_TRUE(session->StartKeyring());
  check = Run({"check", "--json"});
  EXPECT_EQ(check.exitCode, 0) << check.out << check.err;
  EXPECT_NE(check.out.find("read with a keyring password"), std::string::npos);
}

#ifdef TARVEL_PATH
// The desktop program reads the kept values at start (on a thread of their own) and signs in
// to the Exchange fixture with the password from the keyring.
TEST_F(KeyringTest, TheDesktopProgramSignsInWithThePasswordFromTheKeyring) {
  for (const char* sub : {"state", "runtime"})
    std::filesystem::create_directories(folder.file(sub));
  ::chmod(folder.file("runtime").c_str(), 0700);
  ::setenv("XDG_STATE_HOME", folder.file("state").c_str(), 1);
  ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
  const std::string answer = ReadFileContent(std::string(TARVEL_SOURCE_DIR_PATH) +
                                             "/tests/fixtures/ews/find_item_online.xml");
  testing::FixtureServer server;
  ASSERT_TRUE(server.Start(nlohmann::json::array({{{"host", "exchange.example.com"},
                                                   {"path", "/EWS/Exchange.asmx"},
                                                   {"method", "POST"},
                                                   {"scheme", "https"},
                                                   {"basic_auth", "joe@example.com:secret"},
                                                   {"body", answer}}})));
  server.ExportEnvironment();
  // The program's own per-user store, with the values moved to the keyring.
  ini.clear();
  auto tarvelctl = [this](std::vector<std::string> arguments) {
    std::vector<std::string> all = {TARVELCTL_PATH};
    all.insert(all.end(), arguments.begin(), arguments.end());
    std::string output;
    const int exitCode = testing::RunProgram(all, {}, &output);
    EXPECT_EQ(exitCode, 0) << output;
    return output;
  };
  tarvelctl({"settings", "set", "EWSServer", "https://exchange.example.com/EWS/Exchange.asmx"});
  tarvelctl({"settings", "set", "EWSUser", "joe@example.com"});
  tarvelctl({"settings", "set", "EWSPassword", "secret"});
  tarvelctl({"settings", "set", "Flags", "0x800001010"});
  tarvelctl({"secrets", "migrate"});
  ASSERT_EQ(tarvelctl({"settings", "get", "EWSPassword"}), "[keyring]\n");

  std::vector<std::string> arguments = {TARVEL_PATH};
  std::vector<char*> argv = {arguments[0].data(), nullptr};
  pid_t program = -1;
  ASSERT_EQ(posix_spawn(&program, argv[0], nullptr, nullptr, argv.data(), environ), 0);
  const std::string trace = folder.file("state") + "/Quorline/Tarvel/trace.log";
  // Another process is watched, so the wait is in real time, bounded.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (ReadFileContent(trace).find("] CheckOut\n") == std::string::npos &&
         std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  ::kill(program, SIGTERM);
  int status = 0;
  ASSERT_EQ(::waitpid(program, &status, 0), program);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);

  const std::string log = ReadFileContent(trace);
  EXPECT_NE(log.find("] CheckOut\n"), std::string::npos) << log;
  EXPECT_EQ(log.find("] CheckRetry\n"), std::string::npos) << log;
  const std::string expected = "Basic " + EncodeBase64("joe@example.com:secret");
  bool signedIn = false;
  for (const nlohmann::json& request : server.Requests())
    signedIn = signedIn || testing::FixtureServer::Header(request, "Authorization") == expected;
  EXPECT_TRUE(signedIn) << server.Requests().size() << " requests";
  // The settings still point to the keyring.
  EXPECT_EQ(tarvelctl({"settings", "get", "EWSPassword"}), "[keyring]\n");
}
#endif

}  // namespace
}  // namespace tarvel
