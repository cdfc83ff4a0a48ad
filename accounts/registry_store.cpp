#include "accounts/registry_store.h"
#include "platform/decimal_number.h"
#include "platform/text.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace tarvel {

namespace {

constexpr std::string_view kHeader = "QuorlineRegistry\t1";
constexpr std::string_view kEnd = "END";

std::string Fold(std::string_view name) {
  std::string folded(name);
  for (char& c : folded) {
    if (c >= 'A' && c <= 'Z')
      c = static_cast<char>(c - 'A' + 'a');
  }
  return folded;
}

// Drops empty components, so "\A\\B\" and "A\B" name the same key.
std::string NormalisePath(std::string_view path) {
  std::string result;
  std::size_t start = 0;
  while (start <= path.size()) {
    std::size_t end = path.find('\\', start);
    if (end == std::string_view::npos)
      end = path.size();
    if (end > start) {
      if (!result.empty())
        result += '\\';
      result.append(path.substr(start, end - start));
    }
    start = end + 1;
  }
  return result;
}

bool IsPrefixKey(const std::string& foldedParent, const std::string& foldedKey) {
  if (foldedParent.empty())
    return !foldedKey.empty();
  return foldedKey.size() > foldedParent.size() + 1 &&
         foldedKey.compare(0, foldedParent.size(), foldedParent) == 0 &&
         foldedKey[foldedParent.size()] == '\\';
}

std::string Escape(std::string_view text) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out;
  out.reserve(text.size());
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    switch (c) {
      case '\\':
        out += "\\\\";
        break;
      case '\t':
        out += "\\t";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      default:
        if (byte < 0x20 || byte == 0x7F) {
          out += "\\x";
          out += kHex[byte >> 4];
          out += kHex[byte & 0xF];
        } else {
          out += c;
        }
    }
  }
  return out;
}

int HexDigit(char c) {
  return Text::HexDigitValue(static_cast<unsigned char>(c));
}

std::optional<std::string> Unescape(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c != '\\') {
      out += c;
      continue;
    }
    if (++i >= text.size())
      return std::nullopt;
    switch (text[i]) {
      case '\\':
        out += '\\';
        break;
      case 't':
        out += '\t';
        break;
      case 'n':
        out += '\n';
        break;
      case 'r':
        out += '\r';
        break;
      case 'x': {
        if (i + 2 >= text.size())
          return std::nullopt;
        const int high = HexDigit(text[i + 1]);
        const int low = HexDigit(text[i + 2]);
        if (high < 0 || low < 0)
          return std::nullopt;
        out += static_cast<char>(high * 16 + low);
        i += 2;
        break;
      }
      default:
        return std::nullopt;
    }
  }
  return out;
}

std::vector<std::string_view> SplitTabs(std::string_view line) {
  std::vector<std::string_view> fields;
  std::size_t start = 0;
  for (;;) {
    const std::size_t tab = line.find('\t', start);
    if (tab == std::string_view::npos) {
      fields.push_back(line.substr(start));
      return fields;
    }
    fields.push_back(line.substr(start, tab - start));
    start = tab + 1;
  }
}

const char* TypeName(RegistryValueType type) {
  switch (type) {
    case RegistryValueType::String:
      return "sz";
    case RegistryValueType::Binary:
      return "binary";
    case RegistryValueType::Dword:
      return "dword";
    case RegistryValueType::Qword:
      return "qword";
  }
  return "sz";
}

}  // namespace

RegistryValue RegistryValue::Dword(uint32_t value) {
  std::string bytes(4, '\0');
  for (std::size_t i = 0; i < 4; ++i)
    bytes[i] = static_cast<char>((value >> (8 * i)) & 0xFF);
  return {RegistryValueType::Dword, std::move(bytes)};
}

RegistryValue RegistryValue::Qword(uint64_t value) {
  std::string bytes(8, '\0');
  for (std::size_t i = 0; i < 8; ++i)
    bytes[i] = static_cast<char>((value >> (8 * i)) & 0xFF);
  return {RegistryValueType::Qword, std::move(bytes)};
}

RegistryValue RegistryValue::String(std::string utf8) {
  return {RegistryValueType::String, std::move(utf8)};
}

RegistryValue RegistryValue::Binary(std::string bytes) {
  return {RegistryValueType::Binary, std::move(bytes)};
}

std::optional<uint64_t> RegistryValue::AsNumber() const {
  if (type == RegistryValueType::String || data.size() > 8)
    return std::nullopt;
  uint64_t value = 0;
  for (std::size_t i = 0; i < data.size(); ++i)
    value |= static_cast<uint64_t>(static_cast<unsigned char>(data[i])) << (8 * i);
  return value;
}

RegistryStore::RegistryStore(std::string filePath, const StoreFileSystem& fileSystem)
    : file_(std::move(filePath), fileSystem) {
  tree_[""].path = "";
}

std::string RegistryStore::DefaultPath() {
  std::string folder;
  const char* config = std::getenv("XDG_CONFIG_HOME");
  if (config && config[0] == '/') {
    folder = config;
  } else {
    const char* home = std::getenv("HOME");
    if (!home || home[0] != '/')
      return {};
    folder = std::string(home) + "/.config";
  }
  return folder + "/Quorline/registry";
}

std::optional<RegistryStore::Tree> RegistryStore::Parse(std::string_view content) {
  Tree tree;
  tree[""].path = "";
  std::size_t start = 0;
  std::size_t lineNumber = 0;
  Key* current = nullptr;
  bool ended = false;
  while (start < content.size()) {
    std::size_t end = content.find('\n', start);
    if (end == std::string_view::npos)
      return std::nullopt;  // every line, the last included, ends with a line feed
    const std::string_view line = content.substr(start, end - start);
    start = end + 1;
    if (ended)
      return std::nullopt;  // nothing may follow the end marker
    if (lineNumber++ == 0) {
      if (line != kHeader)
        return std::nullopt;
      continue;
    }
    if (line == kEnd) {
      ended = true;
      continue;
    }
    const std::vector<std::string_view> fields = SplitTabs(line);
    if (fields[0] == "K" && fields.size() == 2) {
      const std::optional<std::string> path = Unescape(fields[1]);
      if (!path || *path != NormalisePath(*path) || path->size() > kMaximumKeyPathBytes)
        return std::nullopt;
      Key& key = tree[Fold(*path)];
      key.path = *path;
      current = &key;
    } else if (fields[0] == "V" && fields.size() == 4 && current) {
      const std::optional<std::string> name = Unescape(fields[1]);
      if (!name || name->size() > kMaximumValueNameBytes)
        return std::nullopt;
      RegistryValue value;
      if (fields[2] == "sz") {
        std::optional<std::string> text = Unescape(fields[3]);
        if (!text)
          return std::nullopt;
        value = RegistryValue::String(std::move(*text));
      } else if (fields[2] == "dword") {
        const std::optional<uint64_t> number = ParseDecimalDigits(fields[3], UINT32_MAX);
        if (!number)
          return std::nullopt;
        value = RegistryValue::Dword(static_cast<uint32_t>(*number));
      } else if (fields[2] == "qword") {
        const std::optional<uint64_t> number = ParseDecimalDigits(fields[3]);
        if (!number)
          return std::nullopt;
        value = RegistryValue::Qword(*number);
      } else if (fields[2] == "binary") {
        const std::string_view hex = fields[3];
        if (hex.size() % 2 != 0)
          return std::nullopt;
        std::string bytes;
        bytes.reserve(hex.size() / 2);
        for (std::size_t i = 0; i < hex.size(); i += 2) {
          const int high = HexDigit(hex[i]);
          const int low = HexDigit(hex[i + 1]);
          if (high < 0 || low < 0)
            return std::nullopt;
          bytes += static_cast<char>(high * 16 + low);
        }
        value = RegistryValue::Binary(std::move(bytes));
      } else {
        return std::nullopt;
      }
      current->values[Fold(*name)] = {*name, std::move(value)};
    } else {
      return std::nullopt;
    }
  }
  if (!ended)
    return std::nullopt;  // cut short
  // Every key's parents exist.
  std::vector<std::string> parents;
  for (const auto& [folded, key] : tree) {
    for (std::size_t slash = key.path.rfind('\\'); slash != std::string::npos && slash > 0;
         slash = key.path.rfind('\\', slash - 1)) {
      parents.push_back(key.path.substr(0, slash));
    }
  }
  for (const std::string& parent : parents) {
    Key& key = tree[Fold(parent)];
    if (key.path.empty())
      key.path = parent;
  }
  return tree;
}

std::string RegistryStore::Format(const Tree& tree) {
  std::string out;
  out += kHeader;
  out += '\n';
  for (const auto& [folded, key] : tree) {
    out += "K\t";
    out += Escape(key.path);
    out += '\n';
    for (const auto& [foldedName, entry] : key.values) {
      const RegistryValue& value = entry.second;
      out += "V\t";
      out += Escape(entry.first);
      out += '\t';
      out += TypeName(value.type);
      out += '\t';
      switch (value.type) {
        case RegistryValueType::String:
          out += Escape(value.data);
          break;
        case RegistryValueType::Dword:
        case RegistryValueType::Qword:
          out += std::to_string(value.AsNumber().value_or(0));
          break;
        case RegistryValueType::Binary: {
          static constexpr char kHex[] = "0123456789abcdef";
          for (const char c : value.data) {
            const auto byte = static_cast<unsigned char>(c);
            out += kHex[byte >> 4];
            out += kHex[byte & 0xF];
          }
          break;
        }
      }
      out += '\n';
    }
  }
  out += kEnd;
  out += '\n';
  return out;
}

bool RegistryStore::Refresh() {
  const StoreFileIdentity identity = file_.CurrentIdentity();
  if (loaded_ && identity == identity_ && condition_ != RegistryStoreCondition::Unreadable)
    return true;
  std::string content;
  StoreFileIdentity readIdentity;
  const StoreFileState state = file_.Read(content, &readIdentity);
  std::optional<Tree> parsed;
  if (state == StoreFileState::Missing) {
    parsed.emplace();
    (*parsed)[""].path = "";
  } else if (state == StoreFileState::Present) {
    parsed = Parse(content);
  }
  if (parsed) {
    tree_ = std::move(*parsed);
    identity_ = readIdentity;
    loaded_ = true;
    if (condition_ == RegistryStoreCondition::Unreadable)
      condition_ = RegistryStoreCondition::Healthy;
    return true;
  }
  tree_.clear();
  tree_[""].path = "";
  identity_ = {};
  if (state == StoreFileState::Unreadable || state == StoreFileState::NotAFile) {
    // The content may be intact (a read error, no descriptor left, a folder in the file's
    // place): the file stays where it is and nothing is written over it; the next operation
    // tries again.
    loaded_ = false;
    condition_ = RegistryStoreCondition::Unreadable;
    if (!reported_) {
      reported_ = true;
      std::fprintf(stderr,
                   "tarvel: the settings store %s %s; it is left as it is, defaults are used "
                   "and changes are not saved\n",
                   file_.path().c_str(),
                   state == StoreFileState::NotAFile ? "is not a file" : "cannot be read");
    }
    return false;
  }
  // Damaged or too large content: keep it for the user and start empty.
  const std::string keptAs = file_.MoveAside();
  const char* problem = state == StoreFileState::TooLarge ? "is too large" : "is damaged";
  loaded_ = !keptAs.empty();
  if (!reported_) {
    reported_ = true;
    if (keptAs.empty()) {
      std::fprintf(stderr,
                   "tarvel: the settings store %s %s and cannot be moved aside; defaults are "
                   "used and changes are not saved\n",
                   file_.path().c_str(), problem);
    } else {
      std::fprintf(stderr,
                   "tarvel: the settings store %s %s; it was kept as %s and defaults are used\n",
                   file_.path().c_str(), problem, keptAs.c_str());
    }
  }
  condition_ =
      keptAs.empty() ? RegistryStoreCondition::Unreadable : RegistryStoreCondition::Recovered;
  return loaded_;
}

bool RegistryStore::Save(const Tree& tree) {
  const std::string content = Format(tree);
  if (!file_.Replace(content))
    return false;
  tree_ = tree;
  identity_ = file_.CurrentIdentity();
  return true;
}

template <typename Action>
bool RegistryStore::Locked(StoreAccess access, Action&& action) {
  std::lock_guard<std::mutex> guard(mutex_);
  return file_.Access(
      access,
      [this] {
        tree_.clear();
        tree_[""].path = "";
        identity_ = {};
        loaded_ = true;
      },
      [this] { return Refresh(); }, std::forward<Action>(action));
}

std::optional<RegistryValue> RegistryStore::ReadValue(std::string_view key, std::string_view name) {
  std::optional<RegistryValue> result;
  Locked(StoreAccess::Read, [&] {
    const auto found = tree_.find(Fold(NormalisePath(key)));
    if (found == tree_.end())
      return false;
    const auto value = found->second.values.find(Fold(name));
    if (value == found->second.values.end())
      return false;
    result = value->second.second;
    return true;
  });
  return result;
}

bool RegistryStore::WriteValue(std::string_view key, std::string_view name,
                               const RegistryValue& value) {
  const std::string path = NormalisePath(key);
  if (path.size() > kMaximumKeyPathBytes || name.size() > kMaximumValueNameBytes)
    return false;
  return Locked(StoreAccess::Change, [&] {
    Tree tree = tree_;
    for (std::size_t slash = path.find('\\'); slash != std::string::npos;
         slash = path.find('\\', slash + 1)) {
      Key& parent = tree[Fold(path.substr(0, slash))];
      if (parent.path.empty())
        parent.path = path.substr(0, slash);
    }
    Key& target = tree[Fold(path)];
    if (target.path.empty())
      target.path = path;
    auto& slot = target.values[Fold(name)];
    if (slot.first.empty())
      slot.first = std::string(name);
    slot.second = value;
    return Save(tree);
  });
}

bool RegistryStore::DeleteValue(std::string_view key, std::string_view name) {
  return Locked(StoreAccess::Read, [&] {
    const auto found = tree_.find(Fold(NormalisePath(key)));
    if (found == tree_.end() || found->second.values.count(Fold(name)) == 0)
      return false;
    Tree tree = tree_;
    tree[found->first].values.erase(Fold(name));
    return Save(tree);
  });
}

bool RegistryStore::DeleteKey(std::string_view key) {
  const std::string folded = Fold(NormalisePath(key));
  if (folded.empty())
    return false;  // the root stays
  return Locked(StoreAccess::Read, [&] {
    if (tree_.count(folded) == 0)
      return false;
    Tree tree = tree_;
    for (auto it = tree.begin(); it != tree.end();) {
      if (it->first == folded || IsPrefixKey(folded, it->first))
        it = tree.erase(it);
      else
        ++it;
    }
    return Save(tree);
  });
}

bool RegistryStore::KeyExists(std::string_view key) {
  return Locked(StoreAccess::Read, [&] { return tree_.count(Fold(NormalisePath(key))) != 0; });
}

std::vector<std::pair<std::string, RegistryValue>> RegistryStore::Values(std::string_view key) {
  std::vector<std::pair<std::string, RegistryValue>> values;
  Locked(StoreAccess::Read, [&] {
    const auto found = tree_.find(Fold(NormalisePath(key)));
    if (found == tree_.end())
      return false;
    for (const auto& [folded, entry] : found->second.values)
      values.push_back(entry);
    return true;
  });
  return values;
}

std::vector<std::string> RegistryStore::Subkeys(std::string_view key) {
  std::vector<std::string> names;
  Locked(StoreAccess::Read, [&] {
    const std::string folded = Fold(NormalisePath(key));
    for (const auto& [foldedPath, entry] : tree_) {
      if (!IsPrefixKey(folded, foldedPath))
        continue;
      const std::size_t start = folded.empty() ? 0 : folded.size() + 1;
      if (entry.path.find('\\', start) == std::string::npos)
        names.push_back(entry.path.substr(start));
    }
    return true;
  });
  return names;
}

std::optional<std::string> RegistryStore::Reformat(std::string_view content) {
  const std::optional<Tree> tree = Parse(content);
  if (!tree)
    return std::nullopt;
  return Format(*tree);
}

RegistryStoreCondition RegistryStore::condition() {
  std::lock_guard<std::mutex> guard(mutex_);
  return condition_;
}

}  // namespace tarvel
