#include "accounts/ini_settings_file.h"

#include <cstdio>

#include "platform/text.h"

namespace tarvel {

namespace {

bool IsSpace(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f';
}

std::string_view TrimView(std::string_view text) {
  while (!text.empty() && IsSpace(text.front()))
    text.remove_prefix(1);
  while (!text.empty() && IsSpace(text.back()))
    text.remove_suffix(1);
  return text;
}

bool EqualNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size())
    return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (Text::FoldCase(static_cast<unsigned char>(a[i])) !=
        Text::FoldCase(static_cast<unsigned char>(b[i])))
      return false;
  }
  return true;
}

// The section a line opens, if it is a section header.
std::optional<std::string_view> SectionOf(std::string_view line) {
  const std::string_view trimmed = TrimView(line);
  if (trimmed.empty() || trimmed.front() != '[')
    return std::nullopt;
  const std::size_t close = trimmed.find(']');
  if (close == std::string_view::npos)
    return std::nullopt;
  return TrimView(trimmed.substr(1, close - 1));
}

struct Entry {
  std::string_view name;
  std::string_view value;
};

std::optional<Entry> EntryOf(std::string_view line) {
  const std::string_view trimmed = TrimView(line);
  if (trimmed.empty() || trimmed.front() == ';' || trimmed.front() == '[')
    return std::nullopt;
  const std::size_t equals = trimmed.find('=');
  if (equals == std::string_view::npos)
    return std::nullopt;
  std::string_view value = TrimView(trimmed.substr(equals + 1));
  if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
      value.back() == value.front())
    value = value.substr(1, value.size() - 2);
  return Entry{TrimView(trimmed.substr(0, equals)), value};
}

// The value as written: quoted when reading would otherwise trim it or take quotes off.
std::string QuoteIfNeeded(std::string_view value) {
  const bool blankAtEdge = !value.empty() && (IsSpace(value.front()) || IsSpace(value.back()));
  const bool quotedAlready = value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
                             value.back() == value.front();
  if (!blankAtEdge && !quotedAlready)
    return std::string(value);
  return "\"" + std::string(value) + "\"";
}

bool HasLineBreak(std::string_view text) {
  return text.find_first_of("\r\n") != std::string_view::npos ||
         text.find('\0') != std::string_view::npos;
}

// The range [begin, end) of the lines of a section, header excluded; begin is npos when the
// section is missing.
struct SectionRange {
  std::size_t header = std::string::npos;
  std::size_t end = 0;
};

SectionRange FindSection(const std::vector<std::string>& lines, std::string_view section) {
  SectionRange range;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    const std::optional<std::string_view> name = SectionOf(lines[i]);
    if (!name)
      continue;
    if (range.header != std::string::npos) {
      range.end = i;
      return range;
    }
    if (EqualNoCase(*name, section))
      range.header = i;
  }
  range.end = lines.size();
  return range;
}

std::size_t FindEntry(const std::vector<std::string>& lines, const SectionRange& range,
                      std::string_view name) {
  if (range.header == std::string::npos)
    return std::string::npos;
  for (std::size_t i = range.header + 1; i < range.end; ++i) {
    const std::optional<Entry> entry = EntryOf(lines[i]);
    if (entry && EqualNoCase(entry->name, name))
      return i;
  }
  return std::string::npos;
}

}  // namespace

IniSettingsFile::IniSettingsFile(std::string path, const StoreFileSystem& fileSystem)
    : file_(std::move(path), fileSystem) {}

bool IniSettingsFile::Refresh() {
  const StoreFileIdentity identity = file_.CurrentIdentity();
  if (loaded_ && usable_ && identity == identity_)
    return true;
  std::string content;
  StoreFileIdentity readIdentity;
  const StoreFileState state = file_.Read(content, &readIdentity);
  if (state == StoreFileState::Present || state == StoreFileState::Missing) {
    utf8Mark_ = false;
    if (content.size() >= 2 && static_cast<unsigned char>(content[0]) == 0xFF &&
        static_cast<unsigned char>(content[1]) == 0xFE) {
      std::u16string units;
      for (std::size_t i = 2; i + 1 < content.size(); i += 2) {
        units += static_cast<char16_t>(static_cast<unsigned char>(content[i]) |
                                       (static_cast<unsigned char>(content[i + 1]) << 8));
      }
      // A zero unit cannot be part of a value; it ends the content.
      units = units.substr(0, units.find(u'\0'));
      content = Text(units).ToUtf8();
    } else if (content.compare(0, 3, "\xEF\xBB\xBF") == 0) {
      utf8Mark_ = true;
      content.erase(0, 3);
    }
    lines_.clear();
    crlf_ = false;
    std::size_t start = 0;
    while (start < content.size()) {
      std::size_t end = content.find('\n', start);
      if (end == std::string::npos)
        end = content.size();
      std::string line = content.substr(start, end - start);
      if (!line.empty() && line.back() == '\r') {
        line.pop_back();
        crlf_ = true;
      }
      lines_.push_back(std::move(line));
      start = end + 1;
    }
    identity_ = readIdentity;
    loaded_ = true;
    usable_ = true;
    return true;
  }
  lines_.clear();
  identity_ = {};
  if (state == StoreFileState::Unreadable || state == StoreFileState::NotAFile) {
    // The content may be intact (a read error, no descriptor left, a folder in the file's
    // place): the file stays where it is and nothing is written over it; the next operation
    // tries again.
    loaded_ = false;
    usable_ = false;
    if (!reported_) {
      reported_ = true;
      std::fprintf(stderr,
                   "tarvel: the settings file %s %s; it is left as it is, defaults are used and "
                   "changes are not saved\n",
                   file_.path().c_str(),
                   state == StoreFileState::NotAFile ? "is not a file" : "cannot be read");
    }
    return false;
  }
  // Content too large for a settings file: keep it for the user and start empty.
  const std::string keptAs = file_.MoveAside();
  loaded_ = !keptAs.empty();
  usable_ = loaded_;
  if (!reported_) {
    reported_ = true;
    if (keptAs.empty()) {
      std::fprintf(stderr,
                   "tarvel: the settings file %s is too large and cannot be moved aside; "
                   "defaults are used and changes are not saved\n",
                   file_.path().c_str());
    } else {
      std::fprintf(stderr,
                   "tarvel: the settings file %s is too large; it was kept as %s and defaults "
                   "are used\n",
                   file_.path().c_str(), keptAs.c_str());
    }
  }
  return usable_;
}

bool IniSettingsFile::Save(const std::vector<std::string>& lines) {
  std::string content = utf8Mark_ ? "\xEF\xBB\xBF" : "";
  const char* lineEnd = crlf_ ? "\r\n" : "\n";
  for (const std::string& line : lines) {
    content += line;
    content += lineEnd;
  }
  if (!file_.Replace(content))
    return false;
  lines_ = lines;
  identity_ = file_.CurrentIdentity();
  return true;
}

template <typename Action>
bool IniSettingsFile::Locked(StoreAccess access, Action&& action) {
  std::lock_guard<std::mutex> guard(mutex_);
  return file_.Access(
      access,
      [this] {
        lines_.clear();
        identity_ = {};
        loaded_ = true;
      },
      [this] { return Refresh(); }, std::forward<Action>(action));
}

std::optional<std::string> IniSettingsFile::Read(std::string_view section, std::string_view name) {
  std::optional<std::string> value;
  Locked(StoreAccess::Read, [&] {
    const std::size_t line = FindEntry(lines_, FindSection(lines_, section), name);
    if (line == std::string::npos)
      return false;
    value = std::string(EntryOf(lines_[line])->value);
    return true;
  });
  return value;
}

bool IniSettingsFile::Write(std::string_view section, std::string_view name,
                            std::string_view value) {
  const std::string_view trimmedName = TrimView(name);
  if (trimmedName.empty() || trimmedName.size() != name.size() || HasLineBreak(name) ||
      name.find('=') != std::string_view::npos || name.front() == '[' || name.front() == ';' ||
      HasLineBreak(value) || HasLineBreak(section) || section.find(']') != std::string_view::npos ||
      TrimView(section).size() != section.size())
    return false;
  const std::string newLine = std::string(name) + "=" + QuoteIfNeeded(value);
  return Locked(StoreAccess::Change, [&] {
    std::vector<std::string> lines = lines_;
    const SectionRange range = FindSection(lines, section);
    const std::size_t existing = FindEntry(lines, range, name);
    if (existing != std::string::npos) {
      lines[existing] = newLine;
    } else if (range.header != std::string::npos) {
      // After the section's last non-blank line.
      std::size_t at = range.end;
      while (at > range.header + 1 && TrimView(lines[at - 1]).empty())
        --at;
      lines.insert(lines.begin() + static_cast<std::ptrdiff_t>(at), newLine);
    } else {
      if (!lines.empty() && !TrimView(lines.back()).empty())
        lines.emplace_back();
      lines.push_back("[" + std::string(section) + "]");
      lines.push_back(newLine);
    }
    return Save(lines);
  });
}

bool IniSettingsFile::Delete(std::string_view section, std::string_view name) {
  return Locked(StoreAccess::Read, [&] {
    const std::size_t line = FindEntry(lines_, FindSection(lines_, section), name);
    if (line == std::string::npos)
      return false;
    std::vector<std::string> lines = lines_;
    lines.erase(lines.begin() + static_cast<std::ptrdiff_t>(line));
    return Save(lines);
  });
}

bool IniSettingsFile::DeleteSection(std::string_view section) {
  return Locked(StoreAccess::Read, [&] {
    const SectionRange range = FindSection(lines_, section);
    if (range.header == std::string::npos)
      return false;
    std::vector<std::string> lines = lines_;
    lines.erase(lines.begin() + static_cast<std::ptrdiff_t>(range.header),
                lines.begin() + static_cast<std::ptrdiff_t>(range.end));
    while (!lines.empty() && TrimView(lines.back()).empty())
      lines.pop_back();
    return Save(lines);
  });
}

std::vector<std::pair<std::string, std::string>> IniSettingsFile::Entries(
    std::string_view section) {
  std::vector<std::pair<std::string, std::string>> entries;
  Locked(StoreAccess::Read, [&] {
    const SectionRange range = FindSection(lines_, section);
    if (range.header == std::string::npos)
      return false;
    for (std::size_t i = range.header + 1; i < range.end; ++i) {
      const std::optional<Entry> entry = EntryOf(lines_[i]);
      if (!entry)
        continue;
      bool seen = false;
      for (const auto& earlier : entries)
        seen = seen || EqualNoCase(earlier.first, entry->name);
      // The first of two equal names is the one reads find.
      if (!seen)
        entries.emplace_back(std::string(entry->name), std::string(entry->value));
    }
    return true;
  });
  return entries;
}

std::vector<std::string> IniSettingsFile::Sections() {
  std::vector<std::string> sections;
  Locked(StoreAccess::Read, [&] {
    for (const std::string& line : lines_) {
      const std::optional<std::string_view> name = SectionOf(line);
      if (!name)
        continue;
      bool seen = false;
      for (const std::string& earlier : sections)
        seen = seen || EqualNoCase(earlier, *name);
      if (!seen)
        sections.emplace_back(*name);
    }
    return true;
  });
  return sections;
}

bool IniSettingsFile::IsUsable() {
  return Locked(StoreAccess::Read, [] { return true; });
}

}  // namespace tarvel
