#include "ui/readers/reader_commands.h"

#include <cstdlib>
#include <set>

#include "platform/ascii_bytes.h"

namespace tarvel {

namespace {

bool IsNameStart(char unit) {
  return (unit >= 'A' && unit <= 'Z') || (unit >= 'a' && unit <= 'z') || unit == '_';
}

bool IsNameUnit(char unit) {
  return IsNameStart(unit) || (unit >= '0' && unit <= '9');
}

bool SameName(const std::string& entryName, const Text& name) {
  return Text::CompareNoCase(Text::FromUtf8(entryName), name) == 0;
}

// The applications that can read mail, then those that can show web pages.
template <typename Visit>
void ForEachReaderEntry(const ReaderSources& sources, Visit visit) {
  for (const DesktopEntry& entry : sources.applications) {
    if (entry.Handles(kMailtoHandler) && !visit(entry))
      return;
  }
  for (const DesktopEntry& entry : sources.applications) {
    if (!entry.Handles(kMailtoHandler) && entry.Handles(kHttpHandler) && !visit(entry))
      return;
  }
}

std::vector<std::string> SplitArguments(std::string_view text) {
  std::vector<std::string> arguments;
  std::string current;
  bool inToken = false;
  bool quoted = false;
  for (const char unit : text) {
    if (unit == '"') {
      quoted = !quoted;
      inToken = true;
    } else if (!quoted && (unit == ' ' || unit == '\t')) {
      if (inToken)
        arguments.push_back(current);
      current.clear();
      inToken = false;
    } else {
      current += unit;
      inToken = true;
    }
  }
  if (inToken)
    arguments.push_back(current);
  return arguments;
}

void ReplaceAll(std::string& text, std::string_view what, const std::string& by) {
  std::size_t position = 0;
  while ((position = text.find(what, position)) != std::string::npos) {
    text.replace(position, what.size(), by);
    position += by.size();
  }
}

}  // namespace

ReaderSources ReaderSources::Load(const XdgPaths& paths) {
  return {paths, LoadApplications(paths)};
}

void EnumerateReaders(const ReaderSources& sources, const std::function<void(const Text&)>& offer) {
  std::set<std::string> offered;
  ForEachReaderEntry(sources, [&](const DesktopEntry& entry) {
    if (offered.insert(entry.name).second)
      offer(Text::FromUtf8(entry.name));
    return true;
  });
  const std::string defaultName = Text(kDefaultEmailReader).ToUtf8();
  if (!offered.contains(defaultName) &&
      FindDefaultApplication(sources.paths, sources.applications, kMailtoHandler))
    offer(Text(kDefaultEmailReader));
}

std::optional<ReaderCommand> FindReaderCommand(const ReaderSources& sources, const Text& name) {
  if (name.length() > 0 && name[0] == u'@')
    return ReaderCommand{name.Mid(1).ToUtf8(), std::nullopt};
  std::optional<ReaderCommand> found;
  ForEachReaderEntry(sources, [&](const DesktopEntry& entry) {
    if (!SameName(entry.name, name))
      return true;
    found = ReaderCommand{{}, entry};
    return false;
  });
  if (found)
    return found;
  if (name == kDefaultEmailReader) {
    if (std::optional<DesktopEntry> mail =
            FindDefaultApplication(sources.paths, sources.applications, kMailtoHandler))
      return ReaderCommand{{}, std::move(mail)};
  }
  return std::nullopt;
}

std::string ExpandEnvironment(const std::string& commandLine) {
  std::string out;
  std::size_t index = 0;
  const std::size_t size = commandLine.size();
  while (index < size) {
    const char unit = commandLine[index];
    std::size_t nameStart = std::string::npos;
    std::size_t nameEnd = std::string::npos;
    std::size_t after = std::string::npos;
    if (unit == '$' && index + 1 < size && commandLine[index + 1] == '{') {
      const std::size_t close = commandLine.find('}', index + 2);
      if (close != std::string::npos && close > index + 2) {
        nameStart = index + 2;
        nameEnd = close;
        after = close + 1;
      }
    } else if (unit == '$' && index + 1 < size && IsNameStart(commandLine[index + 1])) {
      nameStart = index + 1;
      nameEnd = nameStart;
      while (nameEnd < size && IsNameUnit(commandLine[nameEnd]))
        ++nameEnd;
      after = nameEnd;
    } else if (unit == '%' && index + 1 < size && IsNameStart(commandLine[index + 1])) {
      std::size_t end = index + 1;
      while (end < size && IsNameUnit(commandLine[end]))
        ++end;
      if (end < size && commandLine[end] == '%') {
        nameStart = index + 1;
        nameEnd = end;
        after = end + 1;
      }
    }
    if (nameStart != std::string::npos) {
      const std::string name = commandLine.substr(nameStart, nameEnd - nameStart);
      if (const char* value = std::getenv(name.c_str())) {
        out += value;
        index = after;
        continue;
      }
    }
    out += unit;
    ++index;
  }
  return out;
}

std::optional<ReaderLaunch> SplitReaderCommandLine(const std::string& commandLine,
                                                   const std::string& website,
                                                   const std::vector<std::string>& programPath) {
  std::string command = ExpandEnvironment(commandLine);
  const std::size_t first = command.find_first_not_of(" \t");
  if (first == std::string::npos)
    return std::nullopt;
  command.erase(0, first);
  while (!command.empty() && (command.back() == ' ' || command.back() == '\t'))
    command.pop_back();

  std::string program;
  std::string rest;
  if (command.front() == '"') {
    const std::size_t close = command.find('"', 1);
    program = command.substr(1, close == std::string::npos ? std::string::npos : close - 1);
    if (close != std::string::npos)
      rest = command.substr(close + 1);
  } else if (command.find('"') == std::string::npos && command.find(' ') != std::string::npos) {
    // A path with spaces and no quotes: the whole command when it is a program, else its
    // shortest leading part that is one, else the first word.
    if (IsRunnableProgram(command, programPath)) {
      program = command;
    } else {
      std::size_t space = command.find(' ');
      while (space != std::string::npos && program.empty()) {
        if (IsRunnableProgram(command.substr(0, space), programPath)) {
          program = command.substr(0, space);
          rest = command.substr(space + 1);
        }
        space = command.find(' ', space + 1);
      }
      if (program.empty()) {
        space = command.find(' ');
        program = command.substr(0, space);
        rest = command.substr(space + 1);
      }
    }
  } else {
    const std::size_t space = command.find_first_of(" \t");
    program = command.substr(0, space);
    if (space != std::string::npos)
      rest = command.substr(space + 1);
  }
  if (program.empty())
    return std::nullopt;

  ReaderLaunch launch;
  launch.action = ReaderLaunch::Action::StartProgram;
  launch.program = program;
  launch.arguments = SplitArguments(rest);
  for (std::string& argument : launch.arguments)
    ReplaceAll(argument, "%1", website);
  return launch;
}

bool IsHandlerAddress(std::string_view address) {
  for (const char byte : address) {
    if (static_cast<unsigned char>(byte) < 0x20 || byte == 0x7F)
      return false;
  }
  for (const std::string_view scheme : {"http://", "https://", "mailto:"}) {
    if (address.size() > scheme.size() &&
        ascii_bytes::EqualsNoCase(address.substr(0, scheme.size()), scheme))
      return true;
  }
  return false;
}

ReaderLaunch PlanReaderLaunch(const ReaderSources& sources, const Text& reader,
                              const Text& website) {
  ReaderLaunch open;
  open.action = ReaderLaunch::Action::OpenAddress;
  open.address = website.ToUtf8();
  if (reader.isEmpty() || reader == kDefaultWebBrowser)
    return open;
  if (const std::string address = reader.ToUtf8(); IsHandlerAddress(address)) {
    open.address = address;
    return open;
  }
  const std::optional<ReaderCommand> command = FindReaderCommand(sources, reader);
  if (!command)
    return open;
  const std::string address = website.ToUtf8();
  if (command->entry) {
    const std::optional<std::vector<std::string>> arguments = ExpandExec(*command->entry, address);
    if (!arguments)
      return open;
    ReaderLaunch launch;
    launch.action = ReaderLaunch::Action::StartProgram;
    launch.program = arguments->front();
    launch.arguments.assign(arguments->begin() + 1, arguments->end());
    return launch;
  }
  if (std::optional<ReaderLaunch> launch =
          SplitReaderCommandLine(command->commandLine, address, sources.paths.programPath))
    return *launch;
  return open;
}

}  // namespace tarvel
