#include "accounts/more_options_table.h"

#include <string>

#include "accounts/global_settings.h"
#include "accounts/settings_store.h"
#include "platform/ascii_bytes.h"

namespace tarvel {

namespace {

int DigitValue(char16_t c, int base) {
  const int value = ascii_bytes::HexDigitValue(c);
  return value < base ? value : -1;
}

bool IsScanBlank(char16_t c) {
  return c == u' ' || c == u'\t' || c == u'\n' || c == u'\r' || c == u'\v' || c == u'\f';
}

struct Scanned {
  bool negative = false;
  uint64_t magnitude = 0;  // held at UINT32_MAX + 1 at most
};

std::optional<Scanned> Scan(std::u16string_view text, int base) {
  std::size_t i = 0;
  while (i < text.size() && IsScanBlank(text[i]))
    ++i;
  Scanned result;
  if (i < text.size() && (text[i] == u'+' || text[i] == u'-')) {
    result.negative = text[i] == u'-';
    ++i;
  }
  if (base == 16 && i + 2 < text.size() && text[i] == u'0' &&
      (text[i + 1] == u'x' || text[i + 1] == u'X') && DigitValue(text[i + 2], 16) >= 0)
    i += 2;
  const std::size_t firstDigit = i;
  constexpr uint64_t kLimit = uint64_t{UINT32_MAX} + 1;
  while (i < text.size()) {
    const int digit = DigitValue(text[i], base);
    if (digit < 0)
      break;
    result.magnitude =
        result.magnitude * static_cast<uint64_t>(base) + static_cast<uint64_t>(digit);
    if (result.magnitude > kLimit)
      result.magnitude = kLimit;
    ++i;
  }
  if (i == firstDigit)
    return std::nullopt;
  return result;
}

uint32_t AsUnsigned(const Scanned& scanned) {
  if (scanned.magnitude > UINT32_MAX)
    return UINT32_MAX;
  const auto value = static_cast<uint32_t>(scanned.magnitude);
  // As the C scanners do, a minus sign negates in unsigned arithmetic.
  return scanned.negative ? static_cast<uint32_t>(0u - value) : value;
}

Text HexText(uint32_t value) {
  static constexpr char16_t kDigits[] = u"0123456789ABCDEF";
  std::u16string digits;
  do {
    digits.insert(digits.begin(), kDigits[value & 0xF]);
    value >>= 4;
  } while (value != 0);
  return Text(std::u16string_view(u"0x" + digits));
}

// The variable of a numeric row, const or not with the settings.
template <typename Settings>
auto NumberVariable(Settings& settings, MoreOptionVariable variable)
    -> decltype(&settings.transparency) {
  switch (variable) {
    case MoreOptionVariable::MailListIncludeProvider:
      return &settings.mailListIncludeProvider;
    case MoreOptionVariable::AlternatingShellIcon:
      return &settings.alternatingShellIcon;
    case MoreOptionVariable::TaskBarWindowWidth:
      return &settings.taskBarWindowWidth;
    case MoreOptionVariable::Transparency:
      return &settings.transparency;
    case MoreOptionVariable::ProviderColor:
      return &settings.providerColor;
    case MoreOptionVariable::TitleColor:
      return &settings.titleColor;
    case MoreOptionVariable::TextColor:
      return &settings.textColor;
    case MoreOptionVariable::NoteColor:
      return &settings.noteColor;
    case MoreOptionVariable::BackgroundColor:
      return &settings.backgroundColor;
    case MoreOptionVariable::BackgroundLogoColor:
      return &settings.backgroundLogoColor;
    default:
      return nullptr;
  }
}

}  // namespace

std::optional<uint32_t> ScanUnsigned(std::u16string_view text) {
  const std::optional<Scanned> scanned = Scan(text, 10);
  if (!scanned)
    return std::nullopt;
  return AsUnsigned(*scanned);
}

std::optional<uint32_t> ScanHex(std::u16string_view text) {
  const std::optional<Scanned> scanned = Scan(text, 16);
  if (!scanned)
    return std::nullopt;
  return AsUnsigned(*scanned);
}

std::optional<int32_t> ScanSigned(std::u16string_view text) {
  const std::optional<Scanned> scanned = Scan(text, 10);
  if (!scanned)
    return std::nullopt;
  if (scanned->negative) {
    if (scanned->magnitude >= uint64_t{1} << 31)
      return INT32_MIN;
    return -static_cast<int32_t>(scanned->magnitude);
  }
  if (scanned->magnitude > INT32_MAX)
    return INT32_MAX;
  return static_cast<int32_t>(scanned->magnitude);
}

Text FormatMoreOption(const MoreOptionRow& row, const SettingsStore& store,
                      const GlobalSettings& settings) {
  switch (row.form) {
    case MoreOptionForm::YesNo:
      return Text(store.readNumber(row.name, 0) == 1 ? u"Yes" : u"No");
    case MoreOptionForm::Unsigned:
    case MoreOptionForm::Hex: {
      const uint32_t* variable = NumberVariable(settings, row.variable);
      const uint32_t value =
          variable ? *variable : static_cast<uint32_t>(store.readNumber(row.name, 0));
      return row.form == MoreOptionForm::Hex ? HexText(value)
                                             : Text::FromUtf8(std::to_string(value));
    }
    case MoreOptionForm::Signed:
      return Text::FromUtf8(std::to_string(settings.logitechHapticFeedback));
    case MoreOptionForm::Text:
      return settings.unreadMailCountRegistryLocation;
  }
  return Text();
}

MoreOptionResult ApplyMoreOption(const MoreOptionRow& row, const Text& newText,
                                 SettingsStore& store, GlobalSettings& settings) {
  switch (row.form) {
    case MoreOptionForm::YesNo: {
      const uint32_t value = newText == u"Yes" ? 1 : 0;
      if (!store.writeNumber(row.name, value))
        return MoreOptionResult::WriteFailed;
      if (uint32_t* variable = NumberVariable(settings, row.variable))
        *variable = value;
      return MoreOptionResult::Stored;
    }
    case MoreOptionForm::Unsigned:
    case MoreOptionForm::Hex: {
      const std::optional<uint32_t> value =
          row.form == MoreOptionForm::Hex ? ScanHex(newText) : ScanUnsigned(newText);
      if (!value)
        return MoreOptionResult::Rejected;
      if (!store.writeNumber(row.name, *value))
        return MoreOptionResult::WriteFailed;
      if (uint32_t* variable = NumberVariable(settings, row.variable))
        *variable = *value;
      return MoreOptionResult::Stored;
    }
    case MoreOptionForm::Signed: {
      const std::optional<int32_t> value = ScanSigned(newText);
      if (!value)
        return MoreOptionResult::Rejected;
      // Sign-extended into the high half, so -1 is stored with all 64 bits set.
      if (!store.writeNumber(row.name, static_cast<uint64_t>(static_cast<int64_t>(*value))))
        return MoreOptionResult::WriteFailed;
      settings.logitechHapticFeedback = *value;
      return MoreOptionResult::Stored;
    }
    case MoreOptionForm::Text:
      if (!store.writeText(row.name, newText))
        return MoreOptionResult::WriteFailed;
      settings.unreadMailCountRegistryLocation = newText;
      return MoreOptionResult::Stored;
  }
  return MoreOptionResult::Rejected;
}

}  // namespace tarvel
