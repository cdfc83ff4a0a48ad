#include "accounts/settings_store.h"

#include "accounts/ini_settings_file.h"
#include "accounts/keyring_secrets.h"
#include "accounts/protected_text.h"
#include "accounts/registry_store.h"
#include "platform/decimal_number.h"

namespace tarvel {

namespace {

std::string Utf8(std::u16string_view text) {
  return Text(text).ToUtf8();
}

StoredSetting FromRegistry(const std::string& name, const RegistryValue& value) {
  StoredSetting setting;
  setting.name = Text::FromUtf8(name);
  switch (value.type) {
    case RegistryValueType::Dword:
    case RegistryValueType::Qword:
      setting.kind = StoredSetting::Kind::Number;
      setting.number = value.AsNumber().value_or(0);
      break;
    case RegistryValueType::String:
      setting.kind = StoredSetting::Kind::Text;
      setting.text = Text::FromUtf8(value.data);
      break;
    case RegistryValueType::Binary:
      setting.kind = StoredSetting::Kind::Binary;
      setting.bytes = value.data;
      break;
  }
  return setting;
}

}  // namespace

std::string PortableSettingsPath(std::string_view programPath) {
  const std::size_t slash = programPath.rfind('/');
  const std::size_t nameStart = slash == std::string_view::npos ? 0 : slash + 1;
  std::string_view base = programPath;
  const std::size_t dot = programPath.rfind('.');
  if (dot != std::string_view::npos && dot > nameStart && programPath.size() - dot - 1 <= 3)
    base = programPath.substr(0, dot);
  return std::string(base) + ".ini";
}

SettingsStore::SettingsStore() = default;
SettingsStore::~SettingsStore() = default;

bool SettingsStore::open(SettingsMode mode, RegistryStore* root, std::u16string_view keyPath,
                         std::string filePath) {
  close();
  switch (mode) {
    case SettingsMode::Registry:
      if (!root)
        return false;
      registry_ = root;
      keyPath_ = Text(keyPath);
      break;
    case SettingsMode::IniFile:
      if (filePath.empty())
        return false;
      ini_ = std::make_unique<IniSettingsFile>(std::move(filePath));
      break;
    default:
      return false;
  }
  mode_ = static_cast<uint32_t>(mode);
  return true;
}

void SettingsStore::close() {
  mode_ = 0;
  registry_ = nullptr;
  ini_.reset();
}

std::string SettingsStore::location() const {
  if (ini_)
    return ini_->path();
  return registry_ ? registry_->path() : std::string();
}

bool SettingsStore::isUsable() const {
  if (ini_)
    return ini_->IsUsable();
  if (!registry_)
    return false;
  registry_->KeyExists("");
  return registry_->condition() != RegistryStoreCondition::Unreadable;
}

std::string SettingsStore::RegistryKey(std::u16string_view group) const {
  Text key = keyPath_;
  if (!group.empty()) {
    key += u'\\';
    key += group;
  }
  return key.ToUtf8();
}

uint64_t SettingsStore::readNumber(std::u16string_view name, uint64_t defaultValue,
                                   std::u16string_view group) const {
  if (ini_) {
    const std::optional<std::string> text =
        ini_->Read(Utf8(group.empty() ? kSettingsSection : group), Utf8(name));
    return text ? ParseDecimalDigits(*text).value_or(defaultValue) : defaultValue;
  }
  if (!registry_)
    return defaultValue;
  const std::optional<RegistryValue> value = registry_->ReadValue(RegistryKey(group), Utf8(name));
  return value ? value->AsNumber().value_or(defaultValue) : defaultValue;
}

bool SettingsStore::writeNumber(std::u16string_view name, uint64_t value,
                                std::u16string_view group) {
  if (ini_)
    return ini_->Write(Utf8(group.empty() ? kSettingsSection : group), Utf8(name),
                       std::to_string(value));
  if (!registry_)
    return false;
  return registry_->WriteValue(RegistryKey(group), Utf8(name), RegistryValue::Qword(value));
}

bool SettingsStore::readText(std::u16string_view name, Text& result,
                             std::u16string_view defaultValue, std::u16string_view group) const {
  if (ini_) {
    const std::optional<std::string> text =
        ini_->Read(Utf8(group.empty() ? kSettingsSection : group), Utf8(name));
    result = text ? Text::FromUtf8(*text) : Text(defaultValue);
    return true;
  }
  std::optional<RegistryValue> value;
  if (registry_)
    value = registry_->ReadValue(RegistryKey(group), Utf8(name));
  if (!value || value->type != RegistryValueType::String) {
    result = Text(defaultValue);
    return false;
  }
  result = Text::FromUtf8(value->data);
  return true;
}

bool SettingsStore::writeText(std::u16string_view name, const Text& text,
                              std::u16string_view group) {
  if (ini_)
    return ini_->Write(Utf8(group.empty() ? kSettingsSection : group), Utf8(name), text.ToUtf8());
  if (!registry_)
    return false;
  return registry_->WriteValue(RegistryKey(group), Utf8(name),
                               RegistryValue::String(text.ToUtf8()));
}

Text SettingsStore::readProtected(std::u16string_view name, std::u16string_view defaultValue,
                                  std::string_view passPhrase, std::u16string_view group,
                                  bool* keptUnreadable) const {
  Text stored;
  if (!readText(name, stored, u"", group) || stored.isEmpty())
    return Text(defaultValue);
  if (stored == kKeyringMarker) {
    std::optional<Text> kept;
    if (secrets_ && IsKeyringCandidate(group, name))
      kept = secrets_->Read(name);
    if (kept)
      return *kept;
    if (keptUnreadable)
      *keptUnreadable = true;
    return Text(defaultValue);
  }
  // Base64 is ASCII; anything else in the text is skipped by the decoder anyway.
  const std::optional<Text> text = DecryptSecret(stored.ToUtf8(), passPhrase);
  return text ? *text : Text(defaultValue);
}

bool SettingsStore::writeProtected(std::u16string_view name, const Text& text,
                                   std::string_view passPhrase, std::u16string_view group) {
  if (IsKeyringCandidate(group, name)) {
    Text stored;
    readText(name, stored, u"", group);
    const bool kept = stored == kKeyringMarker;
    // An empty value never replaces one the keyring keeps but cannot give now: a form saved
    // while the keyring was locked shows the value empty and would wipe it.
    if (kept && text.isEmpty() && !(secrets_ && secrets_->Read(name)))
      return false;
    // Values moved to the keyring stay there, and once every value was moved new ones go
    // there too.
    if (secrets_ && (kept || readNumber(kSecretsInKeyring, 0) == 1) && secrets_->Write(name, text))
      return kept || writeText(name, Text(kKeyringMarker), group);
    // A keyring that does not take the value leaves it here, protected as before.
  }
  const std::optional<std::string> stored = EncryptSecret(text, passPhrase);
  if (!stored)
    return false;
  return writeText(name, Text::FromUtf8(*stored), group);
}

bool SettingsStore::deleteValue(std::u16string_view name, std::u16string_view group) {
  if (secrets_ && IsKeyringCandidate(group, name)) {
    Text stored;
    if (readText(name, stored, u"", group) && stored == kKeyringMarker)
      secrets_->Remove(name);
  }
  if (ini_)
    return ini_->Delete(Utf8(group.empty() ? kSettingsSection : group), Utf8(name));
  return registry_ && registry_->DeleteValue(RegistryKey(group), Utf8(name));
}

bool SettingsStore::deleteGroup(std::u16string_view group) {
  if (group.empty())
    return false;
  if (ini_)
    return ini_->DeleteSection(Utf8(group));
  return registry_ && registry_->DeleteKey(RegistryKey(group));
}

std::optional<StoredSetting> SettingsStore::readStored(std::u16string_view name,
                                                       std::u16string_view group) const {
  if (ini_) {
    const std::optional<std::string> text =
        ini_->Read(Utf8(group.empty() ? kSettingsSection : group), Utf8(name));
    if (!text)
      return std::nullopt;
    StoredSetting setting;
    setting.name = Text(name);
    setting.text = Text::FromUtf8(*text);
    return setting;
  }
  if (!registry_)
    return std::nullopt;
  const std::string utf8Name = Utf8(name);
  const std::optional<RegistryValue> value = registry_->ReadValue(RegistryKey(group), utf8Name);
  if (!value)
    return std::nullopt;
  return FromRegistry(utf8Name, *value);
}

std::vector<StoredSetting> SettingsStore::listValues(std::u16string_view group) const {
  std::vector<StoredSetting> settings;
  if (ini_) {
    for (const auto& [name, value] :
         ini_->Entries(Utf8(group.empty() ? kSettingsSection : group))) {
      StoredSetting setting;
      setting.name = Text::FromUtf8(name);
      setting.text = Text::FromUtf8(value);
      settings.push_back(std::move(setting));
    }
  } else if (registry_) {
    for (const auto& [name, value] : registry_->Values(RegistryKey(group)))
      settings.push_back(FromRegistry(name, value));
  }
  return settings;
}

std::vector<Text> SettingsStore::listGroups() const {
  std::vector<Text> groups;
  if (ini_) {
    for (const std::string& section : ini_->Sections()) {
      const Text name = Text::FromUtf8(section);
      if (Text::CompareNoCase(name, kSettingsSection) != 0)
        groups.push_back(name);
    }
  } else if (registry_) {
    for (const std::string& key : registry_->Subkeys(RegistryKey({})))
      groups.push_back(Text::FromUtf8(key));
  }
  return groups;
}

}  // namespace tarvel
