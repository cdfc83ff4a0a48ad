#pragma once

#include <string>
#include <string_view>

namespace tarvel {

// Start at login through an XDG autostart entry: "$XDG_CONFIG_HOME/autostart/tarvel.desktop",
// which the desktop session starts when the user logs in.
struct AutostartPlace {
  std::string entryPath;    // the autostart entry's file
  std::string programPath;  // the program the entry starts (absolute)
  bool portable = false;    // a portable copy never starts at login
};

// The place for this user and this program: the entry under `configHome` (XDG_CONFIG_HOME,
// or ~/.config), the program `programFolder` + "tarvel".
AutostartPlace AutostartPlaceFor(const std::string& configHome, const std::string& programFolder,
                                 bool portable);

// The place for the running program and the user of this session (XDG_CONFIG_HOME or
// ~/.config): what the options page's "Start when I log in" passes to the calls below.
AutostartPlace AutostartPlaceForThisProgram(bool portable);

// The desktop entry's Exec value that starts `programPath` without arguments, quoted and
// escaped as the desktop entry format asks; empty when the path cannot be written there
// (not absolute, or with a control character).
std::string AutostartExecValue(std::string_view programPath);

// The whole autostart entry for the program; empty when its path cannot be written.
std::string AutostartEntryText(std::string_view programPath);

// True when the entry exists, reads as a desktop entry and the session would start it (not
// Hidden, not disabled). An entry that cannot be read is off.
bool IsStartAtLoginOn(const AutostartPlace& place);

// What the "Start when I log in" option calls: writes the entry (`on`, replaced atomically) or
// removes it. Nothing switches it on unasked: the program never writes it by itself. False,
// and nothing touched, in portable mode; false when the entry cannot be written or removed.
// Removing an entry that is not there succeeds.
bool SetStartAtLogin(const AutostartPlace& place, bool on);

}  // namespace tarvel
