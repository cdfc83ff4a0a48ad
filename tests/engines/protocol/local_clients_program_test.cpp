// The MAPI, Notes and iNotes account types checked by the real programs: tarvelctl and the
// desktop program, with the fixture MAPI provider and Notes proxy named in the environment and
// a local HTTPS server playing the Domino server.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "platform/base64.h"
#include "tests/support/fixture_server.h"
#include "tests/support/temp_folder.h"

extern char** environ;

namespace tarvel {
namespace {

using nlohmann::json;
using testing::FixtureServer;

// MAPI, Notes and iNotes on, with the default options.
constexpr char kFlags[] = "0x12003010";
constexpr char kNotesPassword[] = "s3cret pass";

// Runs a program; its standard output goes to `output` when given.
int RunProgram(std::vector<std::string> arguments, const std::string& output = {}) {
  std::vector<char*> argv;
  for (std::string& argument : arguments)
    argv.push_back(argument.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (!output.empty())
    posix_spawn_file_actions_addopen(&actions, 1, output.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0600);
  pid_t child = -1;
  const int spawned = posix_spawn(&child, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (spawned != 0)
    return -1;
  int status = 0;
  if (::waitpid(child, &status, 0) != child || !WIFEXITED(status))
    return -1;
  return WEXITSTATUS(status);
}

pid_t Start(std::vector<std::string> arguments) {
  std::vector<char*> argv;
  for (std::string& argument : arguments)
    argv.push_back(argument.data());
  argv.push_back(nullptr);
  pid_t child = -1;
  return posix_spawn(&child, argv[0], nullptr, nullptr, argv.data(), environ) == 0 ? child : -1;
}

int CountInTrace(const std::string& path, const std::string& entry) {
  const std::string content = testing::ReadFileContent(path);
  int count = 0;
  for (std::size_t at = content.find("] " + entry); at != std::string::npos;
       at = content.find("] " + entry, at + 1))
    ++count;
  return count;
}

std::string Fixture(const std::string& name) {
  return testing::ReadFileContent(std::string(TARVEL_SOURCE_DIR_PATH) + "/tests/fixtures/inotes/" +
                                  name);
}

json Route(const std::string& method, const std::string& path, const std::string& body) {
  return {{"host", "notes.example.com"},
          {"path", path},
          {"method", method},
          {"scheme", "https"},
          {"body_base64", EncodeBase64(body)}};
}

class LocalClientsProgramTest : public ::testing::Test {
 protected:
  void SetUp() override {
    folder_.UseAsConfigHome();
    for (const char* sub : {"state", "data", "runtime"})
      std::filesystem::create_directories(folder_.file(sub));
    ::chmod(folder_.file("runtime").c_str(), 0700);
    ::setenv("XDG_STATE_HOME", folder_.file("state").c_str(), 1);
    ::setenv("XDG_DATA_HOME", folder_.file("data").c_str(), 1);
    ::setenv("XDG_RUNTIME_DIR", folder_.file("runtime").c_str(), 1);
    ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    ::setenv("TARVEL_MAPI_LIBRARY", FIXTURE_MAPI_PROVIDER_PATH, 1);
    ::setenv("TARVEL_BRINDLE_LIBRARY", FIXTURE_BRINDLE_PATH, 1);
    ::setenv("TARVEL_FIXTURE_NOTES_PASSWORD", kNotesPassword, 1);
    ::setenv("TARVEL_FIXTURE_NOTES_TYPED", "", 1);
    json login = Route("POST", "/names.nsf", Fixture("login_refresh.html"));
    login["body_contains"] = "username=joe&password=pw&";
    ASSERT_TRUE(server_.Start(
        json::array({login, Route("GET", "/mail/joe.nsf/iNotes/Proxy/", Fixture("inbox_view.xml")),
                     Route("GET", "/resource.nsf", "bye")})));
    server_.ExportEnvironment();
    const std::vector<std::vector<std::string>> settings = {
        {"iNotesServer", "notes.example.com"},
        {"iNotesName", "joe"},
        {"iNotesPassword", "pw"},
        {"NotesPassword", kNotesPassword},
        {"NotesFolderList", "Projects"},
        {"Flags", kFlags},
    };
    for (const std::vector<std::string>& setting : settings)
      ASSERT_EQ(RunProgram({TARVELCTL_PATH, "settings", "set", setting[0], setting[1]}), 0);
  }

  std::string tracePath() const { return folder_.file("state") + "/Quorline/Tarvel/trace.log"; }

  testing::TempFolder folder_;
  FixtureServer server_;
};

TEST_F(LocalClientsProgramTest, TarvelctlChecksTheThreeTypes) {
  const std::string output = folder_.file("check.json");
  ASSERT_EQ(RunProgram({TARVELCTL_PATH, "check", "--json"}, output), 0)
      << testing::ReadFileContent(output);
  const json answer = json::parse(testing::ReadFileContent(output));
  std::map<std::string, std::size_t> unread;
  for (const json& account : answer["accounts"]) {
    EXPECT_EQ(account.value("status", 9), 0) << account.dump();
    unread[account.value("name", "")] = account.value("unread", 0u);
  }
  // Two MAPI inboxes with four unread messages, Notes' inbox and "Projects", two iNotes entries.
  EXPECT_EQ(unread, (std::map<std::string, std::size_t>{{"MAPI", 4}, {"Notes", 3}, {"INotes", 2}}));
}

TEST_F(LocalClientsProgramTest, TheDesktopProgramChecksThemAndRunsNotesOnItsMainThread) {
  const std::string trace = tracePath();
  const pid_t program = Start({TARVEL_PATH});
  ASSERT_GT(program, 0);
  // Another process is watched, so the wait is in real time, bounded.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (CountInTrace(trace, "CheckOut") < 1 && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  ::kill(program, SIGTERM);
  int status = 0;
  EXPECT_EQ(::waitpid(program, &status, 0), program);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  ASSERT_GE(CountInTrace(trace, "CheckOut"), 1) << testing::ReadFileContent(trace);
  // A failed check would have been retried.
  EXPECT_EQ(CountInTrace(trace, "CheckRetry"), 0) << testing::ReadFileContent(trace);
  EXPECT_EQ(CountInTrace(trace, "MapiLibraryMissing"), 0);
  EXPECT_EQ(CountInTrace(trace, "NotesLibraryMissing"), 0);
}

TEST_F(LocalClientsProgramTest, MissingLibrariesAreTracedOncePerRun) {
  ::setenv("TARVEL_MAPI_LIBRARY", "/nonexistent/libtarvel-mapi.so", 1);
  ::setenv("TARVEL_BRINDLE_LIBRARY", "/nonexistent/libbrindle.so", 1);
  // The Domino server is down (no route answers): a transient failure, retried soon.
  server_.SetRoutes(json::array());
  const std::string trace = tracePath();
  const pid_t program = Start({TARVEL_PATH});
  ASSERT_GT(program, 0);
  // The failed check is retried; after the retry the lines are still one each.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (CountInTrace(trace, "CheckOut") < 2 && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  ::kill(program, SIGTERM);
  int status = 0;
  EXPECT_EQ(::waitpid(program, &status, 0), program);
  const std::string content = testing::ReadFileContent(trace);
  ASSERT_GE(CountInTrace(trace, "CheckOut"), 2) << content;
  EXPECT_EQ(CountInTrace(trace, "MapiLibraryMissing"), 1) << content;
  EXPECT_EQ(CountInTrace(trace, "NotesLibraryMissing"), 1) << content;
}

}  // namespace
}  // namespace tarvel
