#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string_view>

#include "platform/text.h"

namespace tarvel {

class SettingsStore;
struct GlobalSettings;

// How an advanced setting is shown and entered as text.
enum class MoreOptionForm {
  YesNo,     // "Yes" for a stored 1, "No" otherwise
  Unsigned,  // "%u"
  Hex,       // shown "0x%X", read with "%x"
  Signed,    // "%d", stored sign-extended to 64 bits
  Text,      // unchanged
};

// Which program variable holds a setting; None when it is read where it is used.
enum class MoreOptionVariable {
  None,
  MailListIncludeProvider,
  AlternatingShellIcon,
  TaskBarWindowWidth,
  Transparency,
  ProviderColor,
  TitleColor,
  TextColor,
  NoteColor,
  BackgroundColor,
  BackgroundLogoColor,
  LogitechHapticFeedback,
  UnreadMailCountRegistryLocation,
};

struct MoreOptionRow {
  std::u16string_view name;
  MoreOptionVariable variable;
  MoreOptionForm form;
};

// The advanced settings of the options dialog, in the order shown.
inline constexpr std::array<MoreOptionRow, 16> kMoreOptionsTable = {{
    {u"AllowToolTipInFullscreen", MoreOptionVariable::None, MoreOptionForm::YesNo},
    {u"AllowSoundInFullscreen", MoreOptionVariable::None, MoreOptionForm::YesNo},
    {u"MailListTopMost", MoreOptionVariable::None, MoreOptionForm::YesNo},
    {u"MailListShowInTaskbar", MoreOptionVariable::None, MoreOptionForm::YesNo},
    {u"MailListIncludeProvider", MoreOptionVariable::MailListIncludeProvider,
     MoreOptionForm::YesNo},
    {u"AlternatingShellIcon", MoreOptionVariable::AlternatingShellIcon, MoreOptionForm::Unsigned},
    {u"TaskBarWindowWidth", MoreOptionVariable::TaskBarWindowWidth, MoreOptionForm::Unsigned},
    {u"Transparency", MoreOptionVariable::Transparency, MoreOptionForm::Unsigned},
    {u"ProviderColor", MoreOptionVariable::ProviderColor, MoreOptionForm::Hex},
    {u"TitleColor", MoreOptionVariable::TitleColor, MoreOptionForm::Hex},
    {u"TextColor", MoreOptionVariable::TextColor, MoreOptionForm::Hex},
    {u"NoteColor", MoreOptionVariable::NoteColor, MoreOptionForm::Hex},
    {u"BackgroundColor", MoreOptionVariable::BackgroundColor, MoreOptionForm::Hex},
    {u"BackgroundLogoColor", MoreOptionVariable::BackgroundLogoColor, MoreOptionForm::Hex},
    {u"LogitechHapticFeedback", MoreOptionVariable::LogitechHapticFeedback, MoreOptionForm::Signed},
    {u"UnreadMailCountRegistryLocation", MoreOptionVariable::UnreadMailCountRegistryLocation,
     MoreOptionForm::Text},
}};

// Scans a number the way "%u", "%x" and "%d" do: leading blanks, an optional sign, (for hex
// an optional "0x"), then at least one digit; what follows the digits is ignored. Values
// beyond the 32-bit range are held at its limit. Nothing when no digit was found.
std::optional<uint32_t> ScanUnsigned(std::u16string_view text);
std::optional<uint32_t> ScanHex(std::u16string_view text);
std::optional<int32_t> ScanSigned(std::u16string_view text);

// The text the options dialog shows for a row.
Text FormatMoreOption(const MoreOptionRow& row, const SettingsStore& store,
                      const GlobalSettings& settings);

enum class MoreOptionResult {
  Stored,
  Rejected,     // the text is not a number of the row's form: nothing was stored
  WriteFailed,  // the store refused the value: the variable is unchanged
};

// Stores a new text for a row at once and puts it into the row's variable.
MoreOptionResult ApplyMoreOption(const MoreOptionRow& row, const Text& newText,
                                 SettingsStore& store, GlobalSettings& settings);

}  // namespace tarvel
