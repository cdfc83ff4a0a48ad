#include "maintenance/update_answer.h"

#include <openssl/evp.h>

#include <cstdlib>
#include <fstream>
#include <iterator>

#include "platform/xml_document.h"

namespace tarvel {

namespace {

// Texts of the answer are shown in a question box and a notification: longer ones are cut.
constexpr std::size_t kLongestText = 4000;
constexpr std::size_t kLongestUrl = 2000;
// An answer that lists more files offers nothing this program installs.
constexpr std::size_t kMostFiles = 32;

std::optional<unsigned> ReadNumber(std::u16string_view text, std::size_t& at) {
  const std::size_t start = at;
  uint64_t value = 0;
  while (at < text.size() && text[at] >= u'0' && text[at] <= u'9') {
    value = value * 10 + static_cast<unsigned>(text[at] - u'0');
    if (value > 0x7FFFFFFFu)
      return std::nullopt;
    ++at;
  }
  if (at == start)
    return std::nullopt;
  return static_cast<unsigned>(value);
}

Text Bounded(Text text, std::size_t longest) {
  if (text.view().size() > longest)
    return Text(text.view().substr(0, longest));
  return text;
}

// The localised child of `path`: the language's, else the English one.
bool LocalisedText(XmlDocument& document, std::u16string_view path, std::u16string_view language,
                   Text* text) {
  std::u16string localised(path);
  if (!language.empty()) {
    localised.append(u"\\").append(language);
    if (document.GetText(localised, *text))
      return true;
  }
  localised.assign(path).append(u"\\en");
  return document.GetText(localised, *text);
}

bool IsLowerHex(const std::string& text) {
  for (const char c : text) {
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f')))
      return false;
  }
  return true;
}

struct FileWalk {
  UpdateOffer* offer = nullptr;
};

int VisitFile(int isAttribute, XmlNode* node, const Text& name, const Text& text, void* context,
              XmlDocument* document) {
  auto& walk = *static_cast<FileWalk*>(context);
  if (isAttribute != 0 || document == nullptr)
    return 0;
  if (name.view() == u"execute") {
    walk.offer->execute = Bounded(text, 255);
    return 0;
  }
  if (name.view() != u"url")
    return 0;
  if (walk.offer->files.size() >= kMostFiles) {
    walk.offer->files.clear();
    return 1;
  }
  UpdateFile file;
  file.url = Bounded(text, kLongestUrl);
  document->GetText(u"name", file.name, node);
  document->GetText(u"zip", file.zip, node);
  file.name = Bounded(file.name, 255);
  file.zip = Bounded(file.zip, 255);
  Text size;
  if (document->GetText(u"size", size, node)) {
    std::size_t at = 0;
    uint64_t value = 0;
    bool digits = !size.view().empty() && size.view().size() <= 12;
    for (; digits && at < size.view().size(); ++at) {
      const char16_t c = size.view()[at];
      if (c < u'0' || c > u'9')
        digits = false;
      else
        value = value * 10 + static_cast<unsigned>(c - u'0');
    }
    if (digits)
      file.size = value;
  }
  Text hash;
  if (document->GetText(u"sha256", hash, node)) {
    std::string hex = hash.ToUtf8();
    for (char& c : hex) {
      if (c >= 'A' && c <= 'F')
        c = static_cast<char>(c - 'A' + 'a');
    }
    if (hex.size() == 64 && IsLowerHex(hex))
      file.sha256 = hex;
  }
  walk.offer->files.push_back(std::move(file));
  return 0;
}

}  // namespace

std::optional<UpdateVersion> ParseUpdateVersion(std::u16string_view text) {
  std::size_t at = 0;
  const std::optional<unsigned> major = ReadNumber(text, at);
  if (!major || at >= text.size() || text[at] != u'.')
    return std::nullopt;
  ++at;
  const std::optional<unsigned> minor = ReadNumber(text, at);
  if (!minor || (at < text.size() && text[at] != u'.'))
    return std::nullopt;
  return UpdateVersion{*major, *minor};
}

bool IsNewerVersion(const UpdateVersion& offered, const UpdateVersion& running) {
  return offered.major > running.major ||
         (offered.major == running.major && offered.minor > running.minor);
}

Text UpdateRequestUrl(const Text& updateUrl, const Text& version, const Text& identifier) {
  Text url = updateUrl;
  url.Append(updateUrl.view().find(u'?') != std::u16string_view::npos ? u"&" : u"?");
  url.Append(u"v=");
  url.Append(version.view());
  url.Append(u"&id=");
  url.Append(identifier.view());
  return url;
}

bool ParseUpdateAnswer(const Text& answer, std::u16string_view language, UpdateOffer* offer) {
  XmlDocument document;
  if (!document.Create() || !document.LoadText(answer))
    return false;
  UpdateOffer read;
  document.GetText(u"update\\application", read.caption);
  if (!LocalisedText(document, u"update\\info", language, &read.info))
    return false;
  document.GetText(u"update\\help", read.help);
  if (!document.GetText(u"update\\version", read.versionText))
    return false;
  const std::optional<UpdateVersion> version = ParseUpdateVersion(read.versionText.view());
  if (!version)
    return false;
  read.version = *version;
  read.caption = Bounded(read.caption, 200);
  read.info = Bounded(read.info, kLongestText);
  read.help = Bounded(read.help, kLongestUrl);
  read.versionText = Bounded(read.versionText, 40);
  FileWalk walk{&read};
  document.Enumerate(u"update\\files", &VisitFile, &walk);
  read.hasRestart = LocalisedText(document, u"update\\restart", language, &read.restart);
  read.restart = Bounded(read.restart, kLongestText);
  *offer = std::move(read);
  return true;
}

Text UserLanguageCode() {
  for (const char* name : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
    const char* value = std::getenv(name);
    if (value == nullptr || *value == '\0')
      continue;
    const std::string_view locale(value);
    if (locale.size() >= 2 && locale[0] >= 'a' && locale[0] <= 'z' && locale[1] >= 'a' &&
        locale[1] <= 'z' &&
        (locale.size() == 2 || locale[2] == '_' || locale[2] == '.' || locale[2] == '@')) {
      return Text::FromUtf8(locale.substr(0, 2));
    }
    break;  // the first one set decides, as in the C library; "C" or "POSIX" is English
  }
  return Text(u"en");
}

Text InstallationIdentifier(const std::string& machineIdFile, const std::string& copyFolder) {
  std::string source;
  std::ifstream file(machineIdFile);
  if (file)
    std::getline(file, source);
  if (source.size() > 256)
    source.resize(256);
  source.append("\n").append(copyFolder);
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (EVP_Digest(source.data(), source.size(), digest, &length, EVP_sha256(), nullptr) != 1 ||
      length < 8)
    return Text(u"0000-0000-0000-0000");
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string id;
  for (int i = 0; i < 8; ++i) {
    if (i > 0 && i % 2 == 0)
      id.push_back('-');
    id.push_back(kHex[digest[i] >> 4]);
    id.push_back(kHex[digest[i] & 0xF]);
  }
  return Text::FromUtf8(id);
}

}  // namespace tarvel
