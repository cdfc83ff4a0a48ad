#include "tests/support/temp_folder.h"

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <system_error>

namespace tarvel::testing {

TempFolder::TempFolder() {
  std::string pattern = (std::filesystem::temp_directory_path() / "tarvel-test-XXXXXX").string();
  if (::mkdtemp(pattern.data()) != nullptr)
    path_ = pattern;
}

TempFolder::~TempFolder() {
  if (environmentSet_) {
    if (hadConfigHome_)
      ::setenv("XDG_CONFIG_HOME", savedConfigHome_.c_str(), 1);
    else
      ::unsetenv("XDG_CONFIG_HOME");
    if (hadHome_)
      ::setenv("HOME", savedHome_.c_str(), 1);
    else
      ::unsetenv("HOME");
  }
  if (!path_.empty()) {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
}

void TempFolder::UseAsConfigHome() {
  if (!environmentSet_) {
    const char* configHome = ::getenv("XDG_CONFIG_HOME");
    const char* home = ::getenv("HOME");
    hadConfigHome_ = configHome != nullptr;
    hadHome_ = home != nullptr;
    savedConfigHome_ = configHome ? configHome : "";
    savedHome_ = home ? home : "";
    environmentSet_ = true;
  }
  ::setenv("XDG_CONFIG_HOME", file("config").c_str(), 1);
  ::setenv("HOME", file("home").c_str(), 1);
}

std::string ReadFileContent(const std::string& path) {
  std::ifstream stream(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(stream), std::istreambuf_iterator<char>());
}

bool WriteFileContent(const std::string& path, const std::string& content) {
  std::ofstream stream(path, std::ios::binary | std::ios::trunc);
  stream << content;
  return static_cast<bool>(stream);
}

}  // namespace tarvel::testing
