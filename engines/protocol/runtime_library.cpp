#include "engines/protocol/runtime_library.h"

#include <dlfcn.h>

#include <cstdlib>
#include <filesystem>
#include <system_error>

#include "platform/version.h"

namespace tarvel {

namespace {

// The program's own folder, from /proc/self/exe; empty when it cannot be read.
std::filesystem::path ProgramFolder() {
  std::error_code error;
  const std::filesystem::path program = std::filesystem::read_symlink("/proc/self/exe", error);
  return error ? std::filesystem::path() : program.parent_path();
}

// The loader's message as one short line (it may quote a path of any length).
std::string LoaderFailure() {
  constexpr std::size_t kLongest = 300;
  const char* message = ::dlerror();
  std::string line = message ? std::string(message) : std::string("not found");
  for (char& c : line) {
    if (c == '\n' || c == '\r')
      c = ' ';
  }
  if (line.size() > kLongest)
    line.resize(kLongest);
  return line;
}

}  // namespace

RuntimeLibrary::~RuntimeLibrary() {
  Close();
}

bool RuntimeLibrary::Open(const std::string& location) {
  Close();
  failure_.clear();
  if (location.empty()) {
    failure_ = "no library named";
    return false;
  }
  const auto open = [this](const std::string& path) {
    handle_ = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    return handle_ != nullptr;
  };
  if (location.find('/') == std::string::npos) {
    const std::filesystem::path folder = ProgramFolder();
    if (!folder.empty()) {
      for (const std::filesystem::path& candidate :
           {folder / location, folder.parent_path() / "lib" / location,
            folder.parent_path() / kPrivateLibraryFolder / location}) {
        std::error_code error;
        if (std::filesystem::exists(candidate, error) && open(candidate.string()))
          return true;
      }
    }
  }
  if (open(location))
    return true;
  failure_ = LoaderFailure();
  return false;
}

void RuntimeLibrary::Close() {
  if (handle_)
    ::dlclose(handle_);
  handle_ = nullptr;
}

void* RuntimeLibrary::Resolve(const char* symbol) const {
  return handle_ ? ::dlsym(handle_, symbol) : nullptr;
}

std::string RuntimeLibraryLocation(const char* environmentVariable, std::string_view defaultName) {
  const char* value = environmentVariable ? std::getenv(environmentVariable) : nullptr;
  if (value && *value)
    return value;
  return std::string(defaultName);
}

}  // namespace tarvel
