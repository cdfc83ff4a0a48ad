#pragma once

#include <string>
#include <vector>

#include "tests/support/temp_folder.h"
#include "ui/adapters/desktop_entries.h"

namespace tarvel::testing {

// A desktop of our own in a temporary folder: a user and a system data folder with
// "applications", a config folder, and a folder of fake programs. Each fake program is a
// script that writes the arguments it got, one per line, to a file of its own in the
// record folder.
class FakeDesktop {
 public:
  FakeDesktop();

  // Which data folder an entry goes to.
  enum class Scope {
    User,
    System,
  };

  // Writes "<scope>/applications/<id>" ("sub/x.desktop" makes a subfolder).
  void AddEntry(Scope scope, const std::string& id, const std::string& content) const;
  // A short application entry: Name, Exec, MimeType and any extra lines.
  void AddApplication(Scope scope, const std::string& id, const std::string& name,
                      const std::string& exec, const std::string& mimeTypes,
                      const std::string& extraLines = "") const;
  // A fake program in the program folder; returns its path.
  std::string AddRecordingProgram(const std::string& name) const;
  void WriteConfigMimeApps(const std::string& content) const;
  void WriteSystemMimeApps(const std::string& content) const;

  // The arguments of every run of a fake program so far, oldest first (by run number).
  std::vector<std::vector<std::string>> Runs(const std::string& program) const;

  XdgPaths paths() const;
  // Points the XDG variables, PATH and HOME at this desktop (for programs we start).
  void UseAsEnvironment() const;

  const std::string& programFolder() const { return programs_; }
  std::string userApplications() const { return userData_ + "/applications"; }

 private:
  TempFolder folder_;
  std::string userData_;
  std::string systemData_;
  std::string config_;
  std::string programs_;
  std::string records_;
};

}  // namespace tarvel::testing
