#include "ui/options/autostart.h"

#include <filesystem>
#include <fstream>
#include <system_error>

#include "platform/file_replacement.h"
#include "platform/program_path.h"
#include "ui/adapters/desktop_entries.h"

namespace tarvel {
namespace {

constexpr std::string_view kEntryName = "tarvel.desktop";
// An autostart entry is a few lines; a larger file is not one of ours and is read only so far.
constexpr std::size_t kMaxEntrySize = 64 * 1024;
// Readable by the session's other tools, as the desktop's own entries are.
constexpr mode_t kEntryMode = 0644;

}  // namespace

AutostartPlace AutostartPlaceFor(const std::string& configHome, const std::string& programFolder,
                                 bool portable) {
  AutostartPlace place;
  if (!configHome.empty())
    place.entryPath = configHome + "/autostart/" + std::string(kEntryName);
  if (!programFolder.empty())
    place.programPath = programFolder + (programFolder.back() == '/' ? "" : "/") + "tarvel";
  place.portable = portable;
  return place;
}

AutostartPlace AutostartPlaceForThisProgram(bool portable) {
  return AutostartPlaceFor(XdgPaths::FromEnvironment().configHome, ProgramFolder(), portable);
}

std::string AutostartExecValue(std::string_view programPath) {
  if (programPath.empty() || programPath.front() != '/')
    return {};
  bool reserved = false;
  for (const char c : programPath) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7f)
      return {};
    if (std::string_view(" \t\"'\\><~|&;$*?#()`").find(c) != std::string_view::npos)
      reserved = true;
  }
  // Inside double quotes '"', '`', '$' and '\' take a backslash; then the value itself
  // escapes every backslash once more, and '%' is a field code unless doubled.
  std::string argument;
  if (reserved)
    argument += '"';
  for (const char c : programPath) {
    if (reserved && (c == '"' || c == '`' || c == '$' || c == '\\'))
      argument += '\\';
    argument += c;
  }
  if (reserved)
    argument += '"';
  std::string value;
  for (const char c : argument) {
    if (c == '\\')
      value += "\\\\";
    else if (c == '%')
      value += "%%";
    else
      value += c;
  }
  return value;
}

std::string AutostartEntryText(std::string_view programPath) {
  const std::string exec = AutostartExecValue(programPath);
  if (exec.empty())
    return {};
  return "[Desktop Entry]\n"
         "Type=Application\n"
         "Name=Tarvel E-Mail Notifier\n"
         "Comment=Tells you about unread mail from the notification area\n"
         "Icon=tarvel\n"
         "Exec=" +
         exec +
         "\n"
         "Terminal=false\n"
         "X-GNOME-Autostart-enabled=true\n";
}

bool IsStartAtLoginOn(const AutostartPlace& place) {
  if (place.entryPath.empty())
    return false;
  std::ifstream file(place.entryPath, std::ios::binary);
  if (!file)
    return false;
  std::string content(kMaxEntrySize, '\0');
  file.read(content.data(), static_cast<std::streamsize>(content.size()));
  content.resize(static_cast<std::size_t>(file.gcount()));
  // An entry is on unless the desktop switched it off; one that cannot be read as a desktop
  // entry is not started by the session either.
  const std::optional<DesktopEntry> entry = ParseDesktopEntry(content);
  return entry && !entry->hidden && entry->autostartEnabled;
}

bool SetStartAtLogin(const AutostartPlace& place, bool on) {
  if (place.portable || place.entryPath.empty())
    return false;
  if (!on) {
    std::error_code error;
    std::filesystem::remove(place.entryPath, error);
    return !error;
  }
  const std::string text = AutostartEntryText(place.programPath);
  if (text.empty() || !CreateFolders(FolderOf(place.entryPath)))
    return false;
  // Replaced in one step, so that the session never reads half an entry.
  return ReplaceFileContent(place.entryPath, text, kEntryMode);
}

}  // namespace tarvel
