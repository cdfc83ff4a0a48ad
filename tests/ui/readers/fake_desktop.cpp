#include "tests/ui/readers/fake_desktop.h"

#include <stdlib.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <sstream>

namespace tarvel::testing {

FakeDesktop::FakeDesktop()
    : userData_(folder_.file("home/.local/share")),
      systemData_(folder_.file("usr/share")),
      config_(folder_.file("home/.config")),
      programs_(folder_.file("bin")),
      records_(folder_.file("records")) {
  for (const std::string& path :
       {userData_ + "/applications", systemData_ + "/applications", config_, programs_, records_})
    std::filesystem::create_directories(path);
}

void FakeDesktop::AddEntry(Scope scope, const std::string& id, const std::string& content) const {
  const std::filesystem::path file =
      std::filesystem::path(scope == Scope::User ? userData_ : systemData_) / "applications" / id;
  std::filesystem::create_directories(file.parent_path());
  WriteFileContent(file.string(), content);
}

void FakeDesktop::AddApplication(Scope scope, const std::string& id, const std::string& name,
                                 const std::string& exec, const std::string& mimeTypes,
                                 const std::string& extraLines) const {
  AddEntry(scope, id,
           "[Desktop Entry]\nType=Application\nName=" + name + "\nExec=" + exec +
               "\nMimeType=" + mimeTypes + "\n" + extraLines);
}

std::string FakeDesktop::AddRecordingProgram(const std::string& name) const {
  const std::string path = programs_ + "/" + name;
  // mkdir is atomic: the run number is the first free one.
  WriteFileContent(path,
                   "#!/bin/sh\n"
                   "n=0\n"
                   "while ! mkdir \"" +
                       records_ + "/" + name +
                       ".$n\" 2>/dev/null; do "
                       "n=$((n+1)); done\n"
                       "for a in \"$@\"; do printf '%s\\n' \"$a\"; done > \"" +
                       records_ + "/" + name +
                       ".$n/args.tmp\"\n"
                       "mv \"" +
                       records_ + "/" + name + ".$n/args.tmp\" \"" + records_ + "/" + name +
                       ".$n/args\"\n");
  ::chmod(path.c_str(), 0755);
  return path;
}

void FakeDesktop::WriteConfigMimeApps(const std::string& content) const {
  WriteFileContent(config_ + "/mimeapps.list", content);
}

void FakeDesktop::WriteSystemMimeApps(const std::string& content) const {
  WriteFileContent(systemData_ + "/applications/mimeapps.list", content);
}

std::vector<std::vector<std::string>> FakeDesktop::Runs(const std::string& program) const {
  std::vector<std::vector<std::string>> runs;
  for (int run = 0;; ++run) {
    const std::string folder = records_ + "/" + program + "." + std::to_string(run);
    if (!std::filesystem::exists(folder))
      break;
    std::vector<std::string> arguments;
    std::istringstream lines(ReadFileContent(folder + "/args"));
    if (!std::filesystem::exists(folder + "/args"))
      break;  // still writing
    for (std::string line; std::getline(lines, line);)
      arguments.push_back(line);
    runs.push_back(std::move(arguments));
  }
  return runs;
}

XdgPaths FakeDesktop::paths() const {
  XdgPaths paths;
  paths.dataHome = userData_;
  paths.dataDirs = {systemData_};
  paths.configHome = config_;
  paths.configDirs = {};
  paths.programPath = {programs_};
  return paths;
}

void FakeDesktop::UseAsEnvironment() const {
  ::setenv("XDG_DATA_HOME", userData_.c_str(), 1);
  ::setenv("XDG_DATA_DIRS", systemData_.c_str(), 1);
  ::setenv("XDG_CONFIG_HOME", config_.c_str(), 1);
  ::setenv("XDG_CONFIG_DIRS", folder_.file("no-etc-xdg").c_str(), 1);
  ::setenv("HOME", folder_.file("home").c_str(), 1);
  const char* path = ::getenv("PATH");
  const std::string newPath = programs_ + ":" + (path ? path : "/usr/bin:/bin");
  ::setenv("PATH", newPath.c_str(), 1);
  for (const char* name : {"XDG_CURRENT_DESKTOP", "DESKTOP_SESSION", "KDE_FULL_SESSION",
                           "GNOME_DESKTOP_SESSION_ID", "BROWSER", "XDG_SESSION_DESKTOP"})
    ::unsetenv(name);
}

}  // namespace tarvel::testing
