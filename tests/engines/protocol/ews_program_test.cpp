// The desktop program checks an Exchange account configured with tarvelctl against a local
// HTTPS server playing the Exchange endpoint.
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
#include <string>
#include <thread>
#include <vector>

#include "tests/support/fixture_server.h"
#include "tests/support/temp_folder.h"

extern char** environ;

namespace tarvel {
namespace {

using nlohmann::json;
using testing::FixtureServer;

pid_t Spawn(std::vector<std::string> arguments) {
  std::vector<char*> argv;
  for (std::string& argument : arguments)
    argv.push_back(argument.data());
  argv.push_back(nullptr);
  pid_t child = -1;
  if (posix_spawn(&child, argv[0], nullptr, nullptr, argv.data(), environ) != 0)
    return -1;
  return child;
}

int WaitForExit(pid_t child) {
  int status = 0;
  if (child <= 0 || ::waitpid(child, &status, 0) != child || !WIFEXITED(status))
    return -1;
  return WEXITSTATUS(status);
}

int CountInTrace(const std::string& path, const std::string& entry) {
  const std::string content = testing::ReadFileContent(path);
  int count = 0;
  const std::string line = "] " + entry + "\n";
  for (std::size_t at = content.find(line); at != std::string::npos;
       at = content.find(line, at + 1))
    ++count;
  return count;
}

json Endpoint(const json& extra = json::object()) {
  const std::string answer = testing::ReadFileContent(std::string(TARVEL_SOURCE_DIR_PATH) +
                                                      "/tests/fixtures/ews/find_item_online.xml");
  json route = {{"host", "exchange.example.com"},
                {"path", "/EWS/Exchange.asmx"},
                {"method", "POST"},
                {"scheme", "https"},
                {"basic_auth", "joe@example.com:secret"},
                {"body", answer}};
  route.update(extra);
  return route;
}

// A private home for the program, an endpoint server and the account, set up with tarvelctl.
class EwsProgramTest : public ::testing::Test {
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
    ASSERT_TRUE(server_.Start(json::array({Endpoint()})));
    server_.ExportEnvironment();

    const std::vector<std::vector<std::string>> settings = {
        {"EWSServer", "https://exchange.example.com/EWS/Exchange.asmx"},
        {"EWSUser", "joe@example.com"},
        {"EWSPassword", "secret"},
        {"Flags", "0x800001010"},
    };
    for (const std::vector<std::string>& setting : settings) {
      ASSERT_EQ(WaitForExit(Spawn({TARVELCTL_PATH, "settings", "set", setting[0], setting[1]})), 0);
    }
  }

  std::string tracePath() const { return folder_.file("state") + "/Quorline/Tarvel/trace.log"; }

  testing::TempFolder folder_;
  FixtureServer server_;
};

TEST_F(EwsProgramTest, ChecksTheConfiguredAccountAtStart) {
  FixtureServer& server = server_;
  const std::string trace = tracePath();
  const pid_t program = Spawn({TARVEL_PATH});
  ASSERT_GT(program, 0);
  // Another process is watched, so the wait is in real time, bounded.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (CountInTrace(trace, "CheckOut") < 1 && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  ::kill(program, SIGTERM);
  EXPECT_EQ(WaitForExit(program), 0);

  ASSERT_GE(CountInTrace(trace, "CheckOut"), 1) << testing::ReadFileContent(trace);
  // A failed check would have been retried.
  EXPECT_EQ(CountInTrace(trace, "CheckRetry"), 0) << testing::ReadFileContent(trace);
  bool signedIn = false;
  for (const json& request : server.Requests()) {
    EXPECT_EQ(request.value("path", ""), "/EWS/Exchange.asmx");
    signedIn = signedIn || !FixtureServer::Header(request, "Authorization").empty();
  }
  EXPECT_TRUE(signedIn);
}

// Exit while the check waits for a server that never answers, or trickles its answer: the
// program ends at once instead of waiting for the server or the time-outs (minutes).
TEST_F(EwsProgramTest, ExitDuringACheckStuckInTheServerIsPrompt) {
  const json stuck[] = {
      Endpoint({{"stall", "before_headers"}, {"stall_seconds", 300}}),
      Endpoint({{"trickle_seconds", 0.5}}),
  };
  for (const json& route : stuck) {
    SCOPED_TRACE(route.contains("stall") ? "never answers" : "trickles");
    server_.SetRoutes(json::array({route}));
    const std::size_t before = server_.Requests().size();
    const pid_t program = Spawn({TARVEL_PATH});
    ASSERT_GT(program, 0);
    // Until the server holds the signed-in request (the first one is refused for want of
    // credentials).
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (server_.Requests().size() < before + 2 && std::chrono::steady_clock::now() < deadline)
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(server_.Requests().size(), before + 2);

    const auto stopped = std::chrono::steady_clock::now();
    ::kill(program, SIGTERM);
    EXPECT_EQ(WaitForExit(program), 0);
    // About a second; the bound only tells "at once" from "when the server is done".
    EXPECT_LT(std::chrono::steady_clock::now() - stopped, std::chrono::seconds(15));
  }
}

}  // namespace
}  // namespace tarvel
