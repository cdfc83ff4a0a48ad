#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "accounts/account_type.h"
#include "platform/text.h"
#include "ui/adapters/desktop_entries.h"

namespace tarvel {

// The reader name of the mail program the desktop opens mailto links with.
inline constexpr std::u16string_view kDefaultEmailReader = u"Default E-Mail Reader";

inline constexpr std::string_view kMailtoHandler = "x-scheme-handler/mailto";
inline constexpr std::string_view kHttpHandler = "x-scheme-handler/http";

// Where reader names and commands come from: the desktop's applications and the MIME-apps
// defaults. Loaded once per use, since the user may install programs while we run.
struct ReaderSources {
  XdgPaths paths;
  std::vector<DesktopEntry> applications;

  static ReaderSources Load(const XdgPaths& paths);
};

// A reader's command: either a command line of the user's own ("@" readers) or a desktop
// entry whose Exec runs it.
struct ReaderCommand {
  std::string commandLine;            // set for "@" readers
  std::optional<DesktopEntry> entry;  // set for desktop entries
};

// What opening a reader comes down to.
struct ReaderLaunch {
  enum class Action {
    OpenAddress,   // hand `address` to the desktop's URL handler
    StartProgram,  // run `program` with `arguments`, unless a browser tab can be reused
  };
  Action action = Action::OpenAddress;
  std::string address;
  std::string program;
  std::vector<std::string> arguments;
};

// Calls `offer` once per reader name: the mail programs (entries handling mailto links),
// then the web browsers (entries handling http links), each name once, then
// "Default E-Mail Reader" when the desktop names a default mail program.
void EnumerateReaders(const ReaderSources& sources, const std::function<void(const Text&)>& offer);

// The command of a reader name: the rest of an "@" name, the application of that name, or
// for "Default E-Mail Reader" the desktop's default mail program. Nothing otherwise.
std::optional<ReaderCommand> FindReaderCommand(const ReaderSources& sources, const Text& name);

// Expands environment variables in a command line: "${NAME}", "$NAME" and "%NAME%". A
// variable that is not set is left as written.
std::string ExpandEnvironment(const std::string& commandLine);

// Splits a command line of the user's own into program and arguments, with "%1" in the
// arguments replaced by `website`. The program is the first token, or the content of its
// quotes; an unquoted command with spaces is first tried as one path, then by its shortest
// leading part that names a runnable program, so "/opt/My Mail/mail %1" runs "/opt/My
// Mail/mail". Arguments are split at blanks outside double quotes, and the website is placed
// after splitting, so it is always one argument whatever characters it holds.
std::optional<ReaderLaunch> SplitReaderCommandLine(const std::string& commandLine,
                                                   const std::string& website,
                                                   const std::vector<std::string>& programPath);

// True for what the desktop's URL handler may be given: an "http", "https" or "mailto"
// address (in any letter case) without control characters. A file path, an option-like
// "-x" or another scheme is not.
bool IsHandlerAddress(std::string_view address);

// How the reader `reader` of an account opens its `website`: "Default Web Browser" (and an
// empty reader) open the website, a reader that is an "http", "https" or "mailto" address
// opens that address, a reader with a command starts it, and any other name (a program that
// is gone, a mistyped name) opens the website as "Default Web Browser" does.
ReaderLaunch PlanReaderLaunch(const ReaderSources& sources, const Text& reader,
                              const Text& website);

}  // namespace tarvel
