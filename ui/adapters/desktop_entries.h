#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tarvel {

// The freedesktop base folders the desktop entries and the MIME-apps lists are read from.
struct XdgPaths {
  std::string dataHome;                  // $XDG_DATA_HOME, else ~/.local/share
  std::vector<std::string> dataDirs;     // $XDG_DATA_DIRS, else /usr/local/share and /usr/share
  std::string configHome;                // $XDG_CONFIG_HOME, else ~/.config
  std::vector<std::string> configDirs;   // $XDG_CONFIG_DIRS, else /etc/xdg
  std::vector<std::string> desktops;     // $XDG_CURRENT_DESKTOP, lower case
  std::vector<std::string> programPath;  // $PATH, for TryExec and program names

  static XdgPaths FromEnvironment();
};

// The fields of a desktop entry's main group that reader launch needs.
struct DesktopEntry {
  std::string id;    // the desktop file id: "org.example.Mail.desktop"
  std::string file;  // the file it was read from
  std::string type;
  std::string name;  // the untranslated Name, stable across languages
  std::string exec;  // with the string escapes already resolved
  std::string tryExec;
  std::string icon;
  std::vector<std::string> mimeTypes;
  bool hidden = false;
  bool noDisplay = false;
  // False when the session is told not to start an autostart entry at login.
  bool autostartEnabled = true;

  bool Handles(std::string_view mimeType) const;
};

// Reads the "[Desktop Entry]" group. Nothing for text that is not a desktop entry.
std::optional<DesktopEntry> ParseDesktopEntry(std::string_view content);

// Whether the program exists and may be run: a path is tested as it stands, a bare name is
// looked for in the program path.
bool IsRunnableProgram(const std::string& program, const std::vector<std::string>& programPath);
// The file a bare program name runs, or the path itself; empty when there is none.
std::string ResolveProgram(const std::string& program, const std::vector<std::string>& programPath);

// The applications a user can start: every data folder's "applications" tree, the user's
// own folder first, one entry per desktop file id (the first found shadows the others, even
// when it is hidden), without the entries that are hidden, not shown, not applications, have
// no Exec, or whose TryExec program is missing. Ordered by folder, then by id.
std::vector<DesktopEntry> LoadApplications(const XdgPaths& paths);

// The default application for a MIME type by the MIME-apps lists ("mimeapps.list" and the
// desktop-specific "<desktop>-mimeapps.list" in the config folders, then in the data
// folders' "applications"): the first listed id that is among `applications`.
std::optional<DesktopEntry> FindDefaultApplication(const XdgPaths& paths,
                                                   const std::vector<DesktopEntry>& applications,
                                                   std::string_view mimeType);

// The arguments of an Exec value with its field codes expanded: %u and %U become the
// address, %i the icon option, %c the name, %k the entry's file, %% a percent sign; the file
// codes %f and %F (an address is not a local file), the deprecated codes and unknown codes
// are dropped. Nothing when the value's quoting is broken or it names no program.
std::optional<std::vector<std::string>> ExpandExec(const DesktopEntry& entry,
                                                   const std::string& address);

}  // namespace tarvel
