#pragma once

#include <string>
#include <string_view>

namespace tarvel {

class SettingsStore;

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

// The settings value that records that the first start of an installed copy has switched
// start at login on, so that the user's later choice stands.
inline constexpr std::u16string_view kStartAtLoginDefaultedName = u"StartAtLoginDefaulted";

// True when the program runs from an installed copy: its folder is "<prefix>/bin/" and the
// prefix holds the copy's desktop entry ("<prefix>/share/applications/tarvel.desktop").
// A build tree or an unpacked portable folder is not an installed copy.
bool IsInstalledCopy(const std::string& programFolder);

// The desktop entry's Exec value that starts `programPath` without arguments, quoted and
// escaped as the desktop entry format asks; empty when the path cannot be written there
// (not absolute, or with a control character).
std::string AutostartExecValue(std::string_view programPath);

// The whole autostart entry for the program; empty when its path cannot be written.
std::string AutostartEntryText(std::string_view programPath);

// True when the entry exists and the session would start it (not Hidden, not disabled).
bool IsStartAtLoginOn(const AutostartPlace& place);

// What the "Start when I log in" option calls: writes the entry (`on`) or removes it. False,
// and nothing touched, in portable mode; false when the entry cannot be written or removed.
// Removing an entry that is not there succeeds.
bool SetStartAtLogin(const AutostartPlace& place, bool on);

// At start: on the first start of an installed copy (not portable) writes the entry and
// records that in `store`; later starts leave the user's choice alone. True when it wrote
// the entry.
bool ApplyStartAtLoginDefault(SettingsStore& store, const AutostartPlace& place,
                              bool installedCopy);

}  // namespace tarvel
