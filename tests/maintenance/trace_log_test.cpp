#include "maintenance/trace_log.h"

#include <gtest/gtest.h>

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

}  // namespace
}  // namespace tarvel
