#include "ui/adapters/desktop_entries.h"

#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <system_error>

#include "platform/ascii_bytes.h"

namespace tarvel {

namespace {

// A desktop entry or MIME-apps list larger than this is not read: real ones are a few KiB.
constexpr std::uintmax_t kMostFileBytes = 256 * 1024;
// Bounds on a folder tree of desktop entries, so a looping or huge tree cannot stall a click.
constexpr int kMostFolderDepth = 4;
constexpr std::size_t kMostEntriesPerFolder = 8192;

std::string Environment(const char* name) {
  const char* value = std::getenv(name);
  return value ? value : "";
}

// The absolute folders of a colon-separated list; relative ones are invalid and skipped.
std::vector<std::string> FolderList(const std::string& value) {
  std::vector<std::string> folders;
  std::size_t start = 0;
  while (start <= value.size()) {
    std::size_t end = value.find(':', start);
    if (end == std::string::npos)
      end = value.size();
    std::string folder = value.substr(start, end - start);
    if (!folder.empty() && folder.front() == '/')
      folders.push_back(std::move(folder));
    start = end + 1;
  }
  return folders;
}

std::string Trim(std::string_view text) {
  const std::size_t first = text.find_first_not_of(" \t\r");
  if (first == std::string_view::npos)
    return {};
  const std::size_t last = text.find_last_not_of(" \t\r");
  return std::string(text.substr(first, last - first + 1));
}

// Resolves the escapes of a desktop-entry string value: \s \n \t \r \\ (and "\;" kept for
// lists, which split on it later).
std::string UnescapeValue(std::string_view value, bool keepSemicolonEscape) {
  std::string out;
  out.reserve(value.size());
  for (std::size_t index = 0; index < value.size(); ++index) {
    const char unit = value[index];
    if (unit != '\\' || index + 1 == value.size()) {
      out += unit;
      continue;
    }
    const char next = value[++index];
    switch (next) {
      case 's':
        out += ' ';
        break;
      case 'n':
        out += '\n';
        break;
      case 't':
        out += '\t';
        break;
      case 'r':
        out += '\r';
        break;
      case '\\':
        out += '\\';
        break;
      case ';':
        out += keepSemicolonEscape ? "\\;" : ";";
        break;
      default:
        out += '\\';
        out += next;
        break;
    }
  }
  return out;
}

std::vector<std::string> SplitList(std::string_view value) {
  std::vector<std::string> items;
  std::string item;
  for (std::size_t index = 0; index < value.size(); ++index) {
    if (value[index] == '\\' && index + 1 < value.size() && value[index + 1] == ';') {
      item += ';';
      ++index;
    } else if (value[index] == ';') {
      if (!item.empty())
        items.push_back(Trim(item));
      item.clear();
    } else {
      item += value[index];
    }
  }
  if (!Trim(item).empty())
    items.push_back(Trim(item));
  return items;
}

bool ReadSmallFile(const std::filesystem::path& path, std::string& content) {
  std::error_code error;
  if (!std::filesystem::is_regular_file(path, error))
    return false;
  const std::uintmax_t size = std::filesystem::file_size(path, error);
  if (error || size > kMostFileBytes)
    return false;
  std::ifstream stream(path, std::ios::binary);
  if (!stream)
    return false;
  content.assign(static_cast<std::size_t>(size), '\0');
  stream.read(content.data(), static_cast<std::streamsize>(size));
  content.resize(static_cast<std::size_t>(stream.gcount()));
  return true;
}

// Calls `visit` with each line of `content` that belongs to the group `group`, as key and
// value. Keys with a locale ("Name[de]") are passed with it.
template <typename Visit>
void ForEachKeyInGroup(std::string_view content, std::string_view group, Visit visit) {
  bool inGroup = false;
  std::size_t start = 0;
  while (start < content.size()) {
    std::size_t end = content.find('\n', start);
    if (end == std::string_view::npos)
      end = content.size();
    const std::string line = Trim(content.substr(start, end - start));
    start = end + 1;
    if (line.empty() || line.front() == '#')
      continue;
    if (line.front() == '[') {
      inGroup = line.size() == group.size() + 2 && line.back() == ']' &&
                std::string_view(line).substr(1, group.size()) == group;
      continue;
    }
    if (!inGroup)
      continue;
    const std::size_t equals = line.find('=');
    if (equals == std::string::npos)
      continue;
    visit(Trim(std::string_view(line).substr(0, equals)),
          Trim(std::string_view(line).substr(equals + 1)));
  }
}

bool IsExecutableFile(const std::string& path) {
  std::error_code error;
  return std::filesystem::is_regular_file(path, error) && ::access(path.c_str(), X_OK) == 0;
}

void CollectEntries(const std::filesystem::path& folder, const std::string& idPrefix, int depth,
                    std::map<std::string, std::filesystem::path>& found) {
  std::error_code error;
  std::filesystem::directory_iterator iterator(folder, error);
  if (error)
    return;
  std::size_t seen = 0;
  for (const std::filesystem::directory_entry& item : iterator) {
    if (++seen > kMostEntriesPerFolder)
      break;
    const std::string name = item.path().filename().string();
    if (item.is_directory(error)) {
      if (depth < kMostFolderDepth)
        CollectEntries(item.path(), idPrefix + name + "-", depth + 1, found);
    } else if (name.size() > 8 && name.ends_with(".desktop")) {
      found.emplace(idPrefix + name, item.path());
    }
  }
}

std::vector<std::string> DataFolders(const XdgPaths& paths) {
  std::vector<std::string> folders;
  if (!paths.dataHome.empty())
    folders.push_back(paths.dataHome);
  folders.insert(folders.end(), paths.dataDirs.begin(), paths.dataDirs.end());
  return folders;
}

}  // namespace

XdgPaths XdgPaths::FromEnvironment() {
  XdgPaths paths;
  const std::string home = Environment("HOME");
  paths.dataHome = Environment("XDG_DATA_HOME");
  if (paths.dataHome.empty() || paths.dataHome.front() != '/')
    paths.dataHome = home.empty() ? "" : home + "/.local/share";
  paths.dataDirs = FolderList(Environment("XDG_DATA_DIRS"));
  if (paths.dataDirs.empty())
    paths.dataDirs = {"/usr/local/share", "/usr/share"};
  paths.configHome = Environment("XDG_CONFIG_HOME");
  if (paths.configHome.empty() || paths.configHome.front() != '/')
    paths.configHome = home.empty() ? "" : home + "/.config";
  paths.configDirs = FolderList(Environment("XDG_CONFIG_DIRS"));
  if (paths.configDirs.empty())
    paths.configDirs = {"/etc/xdg"};
  const std::string desktops = Environment("XDG_CURRENT_DESKTOP");
  std::size_t start = 0;
  while (start < desktops.size()) {
    std::size_t end = desktops.find(':', start);
    if (end == std::string::npos)
      end = desktops.size();
    std::string desktop = ascii_bytes::Lowered(desktops.substr(start, end - start));
    if (!desktop.empty() && desktop.find('/') == std::string::npos)
      paths.desktops.push_back(std::move(desktop));
    start = end + 1;
  }
  paths.programPath = FolderList(Environment("PATH"));
  return paths;
}

bool DesktopEntry::Handles(std::string_view mimeType) const {
  return std::find(mimeTypes.begin(), mimeTypes.end(), mimeType) != mimeTypes.end();
}

std::optional<DesktopEntry> ParseDesktopEntry(std::string_view content) {
  DesktopEntry entry;
  bool any = false;
  ForEachKeyInGroup(content, "Desktop Entry", [&](const std::string& key, std::string_view value) {
    any = true;
    if (key == "Type")
      entry.type = UnescapeValue(value, false);
    else if (key == "Name")
      entry.name = UnescapeValue(value, false);
    else if (key == "Exec")
      entry.exec = UnescapeValue(value, false);
    else if (key == "TryExec")
      entry.tryExec = UnescapeValue(value, false);
    else if (key == "Icon")
      entry.icon = UnescapeValue(value, false);
    else if (key == "MimeType")
      entry.mimeTypes = SplitList(UnescapeValue(value, true));
    else if (key == "Hidden")
      entry.hidden = value == "true";
    else if (key == "NoDisplay")
      entry.noDisplay = value == "true";
    else if (key == "X-GNOME-Autostart-enabled")
      entry.autostartEnabled = value != "false";
  });
  if (!any)
    return std::nullopt;
  return entry;
}

std::string ResolveProgram(const std::string& program,
                           const std::vector<std::string>& programPath) {
  if (program.empty())
    return {};
  if (program.find('/') != std::string::npos)
    return IsExecutableFile(program) ? program : std::string();
  for (const std::string& folder : programPath) {
    const std::string candidate = folder + "/" + program;
    if (IsExecutableFile(candidate))
      return candidate;
  }
  return {};
}

bool IsRunnableProgram(const std::string& program, const std::vector<std::string>& programPath) {
  return !ResolveProgram(program, programPath).empty();
}

std::vector<DesktopEntry> LoadApplications(const XdgPaths& paths) {
  std::vector<DesktopEntry> applications;
  std::set<std::string> seenIds;
  for (const std::string& folder : DataFolders(paths)) {
    std::map<std::string, std::filesystem::path> found;
    CollectEntries(std::filesystem::path(folder) / "applications", "", 0, found);
    for (const auto& [id, file] : found) {
      if (!seenIds.insert(id).second)
        continue;
      std::string content;
      if (!ReadSmallFile(file, content))
        continue;
      std::optional<DesktopEntry> entry = ParseDesktopEntry(content);
      if (!entry || entry->type != "Application" || entry->hidden || entry->noDisplay ||
          entry->name.empty() || entry->exec.empty())
        continue;
      if (!entry->tryExec.empty() && !IsRunnableProgram(entry->tryExec, paths.programPath))
        continue;
      entry->id = id;
      entry->file = file.string();
      applications.push_back(std::move(*entry));
    }
  }
  return applications;
}

std::optional<DesktopEntry> FindDefaultApplication(const XdgPaths& paths,
                                                   const std::vector<DesktopEntry>& applications,
                                                   std::string_view mimeType) {
  std::vector<std::string> folders;
  if (!paths.configHome.empty())
    folders.push_back(paths.configHome);
  folders.insert(folders.end(), paths.configDirs.begin(), paths.configDirs.end());
  for (const std::string& folder : DataFolders(paths))
    folders.push_back(folder + "/applications");

  for (const std::string& folder : folders) {
    std::vector<std::string> names;
    for (const std::string& desktop : paths.desktops)
      names.push_back(desktop + "-mimeapps.list");
    names.push_back("mimeapps.list");
    for (const std::string& name : names) {
      std::string content;
      if (!ReadSmallFile(std::filesystem::path(folder) / name, content))
        continue;
      std::optional<DesktopEntry> chosen;
      ForEachKeyInGroup(
          content, "Default Applications", [&](const std::string& key, std::string_view value) {
            if (chosen || key != mimeType)
              return;
            for (const std::string& id : SplitList(UnescapeValue(value, true))) {
              const auto match =
                  std::find_if(applications.begin(), applications.end(),
                               [&](const DesktopEntry& entry) { return entry.id == id; });
              if (match != applications.end()) {
                chosen = *match;
                return;
              }
            }
          });
      if (chosen)
        return chosen;
    }
  }
  return std::nullopt;
}

std::optional<std::vector<std::string>> ExpandExec(const DesktopEntry& entry,
                                                   const std::string& address) {
  std::vector<std::string> arguments;
  std::string current;
  bool inToken = false;
  bool quoted = false;
  // A token made only of field codes that expand to nothing is dropped, not passed empty.
  bool tokenHasText = false;
  const std::string& exec = entry.exec;

  const auto finishToken = [&] {
    if (inToken && (tokenHasText || !current.empty()))
      arguments.push_back(current);
    current.clear();
    inToken = false;
    tokenHasText = false;
  };

  for (std::size_t index = 0; index < exec.size(); ++index) {
    const char unit = exec[index];
    if (quoted) {
      if (unit == '"') {
        quoted = false;
      } else if (unit == '\\' && index + 1 < exec.size() &&
                 std::string_view("\"`$\\").find(exec[index + 1]) != std::string_view::npos) {
        current += exec[++index];
      } else {
        current += unit;
      }
      continue;
    }
    if (unit == ' ' || unit == '\t' || unit == '\n') {
      finishToken();
      continue;
    }
    inToken = true;
    if (unit == '"') {
      quoted = true;
      tokenHasText = true;  // "" is an empty argument of its own
      continue;
    }
    if (unit != '%' || index + 1 == exec.size()) {
      current += unit;
      tokenHasText = true;
      continue;
    }
    const char code = exec[++index];
    const bool wholeToken = current.empty() && !tokenHasText &&
                            (index + 1 == exec.size() || exec[index + 1] == ' ' ||
                             exec[index + 1] == '\t' || exec[index + 1] == '\n');
    switch (code) {
      case '%':
        current += '%';
        tokenHasText = true;
        break;
      case 'u':
      case 'U':
        current += address;
        tokenHasText = true;
        break;
      case 'c':
        current += entry.name;
        tokenHasText = true;
        break;
      case 'k':
        current += entry.file;
        tokenHasText = true;
        break;
      case 'i':
        if (wholeToken && !entry.icon.empty()) {
          arguments.push_back("--icon");
          current = entry.icon;
          tokenHasText = true;
        }
        break;
      default:
        // %f and %F take local files, the rest are deprecated or unknown: dropped.
        break;
    }
  }
  if (quoted)
    return std::nullopt;
  finishToken();
  if (arguments.empty() || arguments.front().empty())
    return std::nullopt;
  return arguments;
}

}  // namespace tarvel
