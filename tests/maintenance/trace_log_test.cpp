#include "maintenance/trace_log.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

namespace tarvel {
namespace {

std::string ReadFile(const std::filesystem::path& path) {
  std::ifstream file(path);
  std::stringstream content;
  content << file.rdbuf();
  return content.str();
}

TEST(TraceLog, OneLinePerEntryAndTheSizeCapMovesTheFileAside) {
  const std::filesystem::path folder =
      std::filesystem::temp_directory_path() / ("trace-test-" + std::to_string(::getpid()));
  std::filesystem::remove_all(folder);
  const std::string path = (folder / "sub" / "trace.log").string();
  {
    TraceLog log(path, 200);
    log.Record("CheckIn");
    log.Record("forged\nCheckOut");
    const std::string first = ReadFile(path);
    EXPECT_NE(first.find("] CheckIn\n"), std::string::npos);
    EXPECT_NE(first.find("] forged CheckOut\n"), std::string::npos);
    for (int i = 0; i < 10; ++i)
      log.Record("CheckRetry");
  }
  EXPECT_LE(std::filesystem::file_size(path), 200u);
  EXPECT_TRUE(std::filesystem::exists(path + ".1"));
  EXPECT_LE(std::filesystem::file_size(path + ".1"), 200u);
  std::filesystem::remove_all(folder);
}

TEST(TraceLog, TheFallbackUnderASharedFolderIsPrivateAndFollowsNoLinks) {
  namespace fs = std::filesystem;
  const fs::path root = fs::temp_directory_path() / ("trace-shared-" + std::to_string(::getpid()));
  const std::string secret = "the victim's own content\n";
  struct Case {
    const char* name;
    // Prepares the shared root as another user could have before the program starts.
    void (*prepare)(const fs::path& folder, const fs::path& victim);
    bool written;
  };
  const Case cases[] = {
      {"nothing there yet", [](const fs::path&, const fs::path&) {}, true},
      {"our own folder from an earlier run",
       [](const fs::path& folder, const fs::path&) { fs::create_directory(folder); }, true},
      {"the folder is a link to another one",
       [](const fs::path& folder, const fs::path& victim) {
         fs::create_directory_symlink(victim.parent_path(), folder);
       },
       false},
      {"the log is a link to another file",
       [](const fs::path& folder, const fs::path& victim) {
         fs::create_directory(folder);
         fs::create_symlink(victim, folder / "trace.log");
       },
       false},
      {"the log is a second name of another file",
       [](const fs::path& folder, const fs::path& victim) {
         fs::create_directory(folder);
         fs::create_hard_link(victim, folder / "trace.log");
       },
       false},
      {"a folder anybody may write to",
       [](const fs::path& folder, const fs::path&) {
         fs::create_directory(folder);
         ::chmod(folder.c_str(), 0777);
       },
       false},
      {"a folder of another user",
       [](const fs::path& folder, const fs::path&) {
         fs::create_directory(folder);
         ::chmod(folder.c_str(), 0700);
         if (::chown(folder.c_str(), 65534, 65534) != 0)
           ::chmod(folder.c_str(), 0777);  // not root: the folder is unsafe all the same
       },
       false},
  };
  for (const Case& row : cases) {
    SCOPED_TRACE(row.name);
    fs::remove_all(root);
    fs::create_directories(root / "victim");
    const fs::path victim = root / "victim" / "file";
    { std::ofstream(victim) << secret; }
    const fs::path folder = TraceLog::FallbackFolder(root.string());
    row.prepare(folder, victim);
    {
      TraceLog log((folder / "trace.log").string());
      log.Record("CheckIn");
    }
    EXPECT_EQ(ReadFile(victim), secret);
    EXPECT_FALSE(fs::exists(root / "victim" / "trace.log"));
    if (row.written) {
      struct stat info {};
      ASSERT_EQ(::lstat(folder.c_str(), &info), 0);
      EXPECT_TRUE(S_ISDIR(info.st_mode));
      EXPECT_EQ(info.st_mode & 0777, 0700u);
      EXPECT_EQ(info.st_uid, ::geteuid());
      ASSERT_EQ(::lstat((folder / "trace.log").c_str(), &info), 0);
      EXPECT_EQ(info.st_mode & 0777, 0600u);
      EXPECT_NE(ReadFile(folder / "trace.log").find("] CheckIn\n"), std::string::npos);
    }
  }
  fs::remove_all(root);
}

TEST(TraceLog, ALogRightInASharedStickyFolderFollowsNoPlantedLink) {
  namespace fs = std::filesystem;
  const fs::path root = fs::temp_directory_path() / ("trace-sticky-" + std::to_string(::getpid()));
  fs::remove_all(root);
  fs::create_directories(root / "shared");
  ::chmod((root / "shared").c_str(), 01777);  // like /tmp
  const fs::path victim = root / "victim";
  { std::ofstream(victim) << "kept\n"; }
  fs::create_symlink(victim, root / "shared" / "planted.log");
  {
    TraceLog log((root / "shared" / "planted.log").string());
    log.Record("CheckIn");
    TraceLog own((root / "shared" / "own.log").string());
    own.Record("CheckOut");
  }
  EXPECT_EQ(ReadFile(victim), "kept\n");
  EXPECT_NE(ReadFile(root / "shared" / "own.log").find("] CheckOut\n"), std::string::npos);
  fs::remove_all(root);
}

TEST(TraceLog, FallsBackToAFolderOfTheUsersOwnUnderTmp) {
  const char* home = std::getenv("HOME");
  const std::string savedHome = home ? home : "";
  const char* state = std::getenv("XDG_STATE_HOME");
  const std::string savedState = state ? state : "";
  ::unsetenv("HOME");
  ::unsetenv("XDG_STATE_HOME");
  EXPECT_EQ(TraceLog::DefaultPath(),
            "/tmp/tarvel-trace-" + std::to_string(::geteuid()) + "/trace.log");
  if (home)
    ::setenv("HOME", savedHome.c_str(), 1);
  if (state)
    ::setenv("XDG_STATE_HOME", savedState.c_str(), 1);
}

}  // namespace
}  // namespace tarvel
