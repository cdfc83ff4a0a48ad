#pragma once

#include <string>

namespace tarvel::testing {

// A fresh folder under the system's temporary folder, removed with everything in it when
// the object goes. While it lives, XDG_CONFIG_HOME points into it when asked, so nothing a
// test does reaches the user's own settings.
class TempFolder {
 public:
  TempFolder();
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;
  ~TempFolder();

  const std::string& path() const { return path_; }
  std::string file(const std::string& name) const { return path_ + "/" + name; }

  // Points XDG_CONFIG_HOME at "<folder>/config" and HOME at "<folder>/home" until the
  // object goes.
  void UseAsConfigHome();

 private:
  std::string path_;
  bool environmentSet_ = false;
  std::string savedConfigHome_;
  std::string savedHome_;
  bool hadConfigHome_ = false;
  bool hadHome_ = false;
};

// The whole content of a file; empty when it cannot be read.
std::string ReadFileContent(const std::string& path);
// Writes a file, replacing it; false on failure.
bool WriteFileContent(const std::string& path, const std::string& content);

}  // namespace tarvel::testing
