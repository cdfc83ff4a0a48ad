// The trust and redirection settings of the transport, by the HTTP client's rules.
#include "engines/protocol/zarquet/network_settings.h"

#include <openssl/evp.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/ascii_bytes.h"
#include "platform/decimal_number.h"

namespace tarvel::zarquet {
namespace {

std::mutex settingsLock;
std::string configuredCaFile;  // guarded by settingsLock

// Splits one entry on ":" outside of brackets.
std::vector<std::string_view> SplitEntry(std::string_view entry) {
  std::vector<std::string_view> fields;
  std::size_t start = 0;
  bool inBrackets = false;
  for (std::size_t i = 0; i < entry.size(); ++i) {
    if (entry[i] == '[') {
      inBrackets = true;
    } else if (entry[i] == ']') {
      inBrackets = false;
    } else if (entry[i] == ':' && !inBrackets) {
      fields.push_back(entry.substr(start, i - start));
      start = i + 1;
    }
  }
  fields.push_back(entry.substr(start));
  return fields;
}

std::string_view StripBrackets(std::string_view host) {
  if (host.size() >= 2 && host.front() == '[' && host.back() == ']')
    return host.substr(1, host.size() - 2);
  return host;
}

using ascii_bytes::EqualsNoCase;

std::optional<uint16_t> ParsePort(std::string_view text) {
  const std::optional<uint64_t> value =
      text.size() > 5 ? std::nullopt : ParseDecimalDigits(text, 65535);
  if (!value || *value == 0)
    return std::nullopt;
  return static_cast<uint16_t>(*value);
}

}  // namespace

ConnectTarget ResolveConnectTarget(std::string_view redirects, std::string_view host,
                                   uint16_t port) {
  ConnectTarget target{std::string(StripBrackets(host)), port};
  while (!redirects.empty()) {
    const std::size_t end = redirects.find(';');
    const std::string_view entry = redirects.substr(0, end);
    redirects = end == std::string_view::npos ? std::string_view() : redirects.substr(end + 1);
    const std::vector<std::string_view> fields = SplitEntry(entry);
    if (fields.size() != 4)
      continue;
    if (!fields[0].empty() && !EqualsNoCase(StripBrackets(fields[0]), StripBrackets(host)))
      continue;
    if (!fields[1].empty()) {
      const std::optional<uint16_t> entryPort = ParsePort(fields[1]);
      if (!entryPort || *entryPort != port)
        continue;
    }
    if (!fields[3].empty()) {
      const std::optional<uint16_t> connectPort = ParsePort(fields[3]);
      if (!connectPort)
        continue;  // a malformed entry never redirects
      target.port = *connectPort;
    }
    if (!fields[2].empty())
      target.host = std::string(StripBrackets(fields[2]));
    return target;
  }
  return target;
}

std::string ConnectToFromEnvironment() {
  const char* value = std::getenv("TARVEL_CONNECT_TO");
  return value ? std::string(value) : std::string();
}

void SetCertificateAuthorityFile(std::string_view path) {
  const std::lock_guard<std::mutex> lock(settingsLock);
  configuredCaFile = std::string(path);
}

std::vector<std::string> CertificateAuthorityFiles() {
  std::vector<std::string> files;
  {
    const std::lock_guard<std::mutex> lock(settingsLock);
    if (!configuredCaFile.empty())
      files.push_back(configuredCaFile);
  }
  const char* value = std::getenv("TARVEL_CA_FILE");
  if (value && *value && (files.empty() || files.front() != value))
    files.emplace_back(value);
  return files;
}

namespace {

// The SHA-256 of a file's content in hexadecimal; empty when it cannot be read or is larger
// than any CA bundle.
std::string FileDigest(const std::string& path) {
  constexpr std::size_t kLargestFile = 16u * 1024u * 1024u;
  const std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(std::fopen(path.c_str(), "rbe"),
                                                             &std::fclose);
  if (!file)
    return {};
  const std::unique_ptr<EVP_MD_CTX, void (*)(EVP_MD_CTX*)> context(EVP_MD_CTX_new(),
                                                                   &EVP_MD_CTX_free);
  if (!context || EVP_DigestInit_ex(context.get(), EVP_sha256(), nullptr) != 1)
    return {};
  char buffer[16384];
  std::size_t total = 0;
  while (const std::size_t read = std::fread(buffer, 1, sizeof buffer, file.get())) {
    total += read;
    if (total > kLargestFile || EVP_DigestUpdate(context.get(), buffer, read) != 1)
      return {};
  }
  if (std::ferror(file.get()))
    return {};
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (EVP_DigestFinal_ex(context.get(), digest, &length) != 1)
    return {};
  static constexpr char kHex[] = "0123456789abcdef";
  std::string text;
  for (unsigned int i = 0; i < length; ++i) {
    text += kHex[digest[i] >> 4];
    text += kHex[digest[i] & 0xF];
  }
  return text;
}

}  // namespace

std::string CertificateAuthorityFingerprint(const std::vector<std::string>& files) {
  std::string fingerprint;
  for (const std::string& file : files) {
    const std::string digest = FileDigest(file);
    fingerprint += file + "\n" + (digest.empty() ? std::string("unreadable") : digest) + "\n";
  }
  return fingerprint;
}

}  // namespace tarvel::zarquet
