// Cookie handling after RFC 6265 (parsing of Set-Cookie, domain and path matching, the order
// of the Cookie header), with the store kept in one file per user.
#include "platform/cookie_store.h"

#include "platform/ascii_bytes.h"
#include "platform/file_replacement.h"

#include <curl/curl.h>
#include <fcntl.h>
#include <libpsl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <limits>
#include <memory>
#include <tuple>
#include <utility>

namespace tarvel {

namespace {

using ascii_bytes::EqualsNoCase;
using ascii_bytes::Lowered;
using ascii_bytes::TrimBlanks;

constexpr std::string_view kFileHeader = "# Tarvel cookie store 1";
constexpr std::size_t kMaximumLineBytes = 3 * CookieStore::kMaximumCookieBytes;
// An expiry in the past that is still distinguishable from "session cookie" (0).
constexpr std::int64_t kAlreadyExpired = 1;
constexpr std::int64_t kLatestExpiry = std::int64_t{1} << 40;

std::int64_t Now() {
  return static_cast<std::int64_t>(std::time(nullptr));
}

bool HasControlCharacters(std::string_view text) {
  return std::any_of(text.begin(), text.end(), [](char c) {
    const auto byte = static_cast<unsigned char>(c);
    return byte < 0x20 || byte == 0x7F;
  });
}

bool LooksLikeIpAddress(std::string_view host) {
  if (host.find(':') != std::string_view::npos) {
    return true;  // IPv6
  }
  return !host.empty() && std::all_of(host.begin(), host.end(),
                                      [](char c) { return (c >= '0' && c <= '9') || c == '.'; });
}

// The public suffix list (domains under which anyone may register a name, such as "co.uk"),
// as curl uses it: the newest of the system's list and the one built into libpsl. Loaded once;
// the list is only read afterwards, from any thread.
const psl_ctx_t* PublicSuffixList() {
  static const std::unique_ptr<psl_ctx_t, decltype(&psl_free)> list = [] {
    std::unique_ptr<psl_ctx_t, decltype(&psl_free)> loaded(psl_latest(nullptr), &psl_free);
    if (!loaded) {
      // The built-in list is static data that psl_free leaves alone.
      loaded.reset(const_cast<psl_ctx_t*>(psl_builtin()));
    }
    return loaded;
  }();
  return list.get();
}

// True for a public suffix; without any list, for a name without a dot.
bool IsPublicSuffix(const std::string& domain) {
  const psl_ctx_t* list = PublicSuffixList();
  if (list == nullptr) {
    return domain.find('.') == std::string::npos;
  }
  return psl_is_public_suffix2(list, domain.c_str(), PSL_TYPE_ANY) != 0;
}

// RFC 6265 section 5.1.3.
bool DomainMatches(std::string_view host, std::string_view domain) {
  if (host == domain) {
    return true;
  }
  return host.size() > domain.size() && host.ends_with(domain) &&
         host[host.size() - domain.size() - 1] == '.' && !LooksLikeIpAddress(host);
}

// RFC 6265 section 5.1.4.
std::string DefaultPath(std::string_view requestPath) {
  if (requestPath.empty() || requestPath.front() != '/') {
    return "/";
  }
  const std::size_t lastSlash = requestPath.rfind('/');
  if (lastSlash == 0) {
    return "/";
  }
  return std::string(requestPath.substr(0, lastSlash));
}

bool PathMatches(std::string_view requestPath, std::string_view cookiePath) {
  if (!requestPath.starts_with(cookiePath)) {
    return false;
  }
  return requestPath.size() == cookiePath.size() || cookiePath.ends_with('/') ||
         requestPath[cookiePath.size()] == '/';
}

bool IsExpired(const StoredCookie& cookie, std::int64_t now) {
  return cookie.expires != 0 && cookie.expires <= now;
}

bool Visible(const StoredCookie& cookie, const CookieUrl& url, CookieAccess access,
             std::int64_t now) {
  if (IsExpired(cookie, now)) {
    return false;
  }
  if (cookie.httpOnly && access == CookieAccess::ScriptVisible) {
    return false;
  }
  if (cookie.secure && !url.secure) {
    return false;
  }
  const bool domainOk =
      cookie.hostOnly ? url.host == cookie.domain : DomainMatches(url.host, cookie.domain);
  return domainOk && PathMatches(url.path, cookie.path);
}

bool SameKey(const StoredCookie& a, const StoredCookie& b) {
  return a.name == b.name && a.domain == b.domain && a.path == b.path;
}

std::optional<std::int64_t> ParseInteger(std::string_view text) {
  std::int64_t value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size()) {
    return std::nullopt;
  }
  return value;
}

// The attributes of one Set-Cookie text (RFC 6265 section 5.2) that matter here.
struct ParsedCookie {
  StoredCookie cookie;
  bool hasDomainAttribute = false;
};

std::optional<ParsedCookie> ParseSetCookie(std::string_view text, const CookieUrl& url,
                                           std::int64_t now) {
  const std::size_t firstSemicolon = text.find(';');
  const std::string_view pair = text.substr(0, firstSemicolon);
  std::string_view attributes =
      firstSemicolon == std::string_view::npos ? std::string_view() : text.substr(firstSemicolon);

  ParsedCookie parsed;
  StoredCookie& cookie = parsed.cookie;
  const std::size_t equals = pair.find('=');
  if (equals == std::string_view::npos) {
    cookie.value = TrimBlanks(pair);  // a nameless cookie, as browsers keep it
  } else {
    cookie.name = TrimBlanks(pair.substr(0, equals));
    cookie.value = TrimBlanks(pair.substr(equals + 1));
  }
  if ((cookie.name.empty() && cookie.value.empty()) ||
      cookie.name.size() + cookie.value.size() > CookieStore::kMaximumCookieBytes ||
      HasControlCharacters(cookie.name) || HasControlCharacters(cookie.value)) {
    return std::nullopt;
  }

  std::optional<std::int64_t> maxAgeExpiry;
  std::optional<std::int64_t> expiresExpiry;
  std::string domainAttribute;
  std::string pathAttribute;
  while (!attributes.empty()) {
    attributes.remove_prefix(1);  // the ';'
    const std::size_t next = attributes.find(';');
    const std::string_view attribute = attributes.substr(0, next);
    attributes = next == std::string_view::npos ? std::string_view() : attributes.substr(next);

    const std::size_t attributeEquals = attribute.find('=');
    const std::string_view name = TrimBlanks(attribute.substr(0, attributeEquals));
    const std::string_view value = attributeEquals == std::string_view::npos
                                       ? std::string_view()
                                       : TrimBlanks(attribute.substr(attributeEquals + 1));
    if (EqualsNoCase(name, "expires")) {
      if (value.size() < 64) {
        const std::string date(value);
        const auto seconds = static_cast<std::int64_t>(curl_getdate(date.c_str(), nullptr));
        if (seconds != -1) {
          expiresExpiry = std::clamp(seconds, kAlreadyExpired, kLatestExpiry);
        }
      }
    } else if (EqualsNoCase(name, "max-age")) {
      const bool wellFormed = !value.empty() && (value.front() == '-' ||
                                                 (value.front() >= '0' && value.front() <= '9'));
      if (wellFormed) {
        const std::optional<std::int64_t> delta = ParseInteger(value);
        if (delta) {
          maxAgeExpiry = *delta <= 0
                             ? kAlreadyExpired
                             : std::min(now + std::min(*delta, kLatestExpiry), kLatestExpiry);
        } else if (value.front() != '-') {
          maxAgeExpiry = kLatestExpiry;  // more digits than fit: as far in the future as allowed
        }
      }
    } else if (EqualsNoCase(name, "domain")) {
      std::string_view domain = value;
      if (!domain.empty() && domain.front() == '.') {
        domain.remove_prefix(1);
      }
      if (!domain.empty()) {
        domainAttribute = Lowered(domain);
      }
    } else if (EqualsNoCase(name, "path")) {
      pathAttribute = value;
    } else if (EqualsNoCase(name, "secure")) {
      cookie.secure = true;
    } else if (EqualsNoCase(name, "httponly")) {
      cookie.httpOnly = true;
    }
  }

  cookie.expires = maxAgeExpiry ? *maxAgeExpiry : expiresExpiry.value_or(0);
  if (!domainAttribute.empty() && domainAttribute == url.host && IsPublicSuffix(url.host)) {
    // A host that is itself a public suffix may set cookies for itself only (RFC 6265 5.3).
    domainAttribute.clear();
  }
  if (!domainAttribute.empty()) {
    // A domain the address does not belong to, a bare top-level name or a public suffix (a
    // cookie for every site under "co.uk") is refused.
    if (!DomainMatches(url.host, domainAttribute) ||
        (domainAttribute.find('.') == std::string::npos && domainAttribute != url.host) ||
        IsPublicSuffix(domainAttribute)) {
      return std::nullopt;
    }
    cookie.domain = std::move(domainAttribute);
    cookie.hostOnly = false;
    parsed.hasDomainAttribute = true;
  } else {
    cookie.domain = url.host;
    cookie.hostOnly = true;
  }
  cookie.path = (!pathAttribute.empty() && pathAttribute.front() == '/') ? pathAttribute
                                                                         : DefaultPath(url.path);
  if (cookie.path.size() > CookieStore::kMaximumCookieBytes || HasControlCharacters(cookie.path)) {
    return std::nullopt;
  }
  return parsed;
}

// One cookie per line, fields separated by tabs (which no field can hold):
// domain, host-only, path, secure, http-only, expires, created, name, value.
void AppendLine(std::string& out, const StoredCookie& cookie) {
  out += cookie.domain;
  out += '\t';
  out += cookie.hostOnly ? '1' : '0';
  out += '\t';
  out += cookie.path;
  out += '\t';
  out += cookie.secure ? '1' : '0';
  out += '\t';
  out += cookie.httpOnly ? '1' : '0';
  out += '\t';
  out += std::to_string(cookie.expires);
  out += '\t';
  out += std::to_string(cookie.created);
  out += '\t';
  out += cookie.name;
  out += '\t';
  out += cookie.value;
  out += '\n';
}

std::optional<StoredCookie> ParseLine(std::string_view line) {
  std::string_view fields[9];
  std::size_t count = 0;
  while (count < 9) {
    const std::size_t tab = line.find('\t');
    if (count == 8) {
      fields[count++] = line;  // the value is the rest
      break;
    }
    if (tab == std::string_view::npos) {
      return std::nullopt;
    }
    fields[count++] = line.substr(0, tab);
    line.remove_prefix(tab + 1);
  }
  auto flag = [](std::string_view field) -> std::optional<bool> {
    if (field == "0" || field == "1") {
      return field == "1";
    }
    return std::nullopt;
  };
  const auto hostOnly = flag(fields[1]);
  const auto secure = flag(fields[3]);
  const auto httpOnly = flag(fields[4]);
  const auto expires = ParseInteger(fields[5]);
  const auto created = ParseInteger(fields[6]);
  if (!hostOnly || !secure || !httpOnly || !expires || !created || *expires < 0 ||
      fields[0].empty() || !fields[2].starts_with('/') ||
      (fields[7].empty() && fields[8].empty()) ||
      fields[7].size() + fields[8].size() > CookieStore::kMaximumCookieBytes ||
      HasControlCharacters(fields[7]) || HasControlCharacters(fields[8]) ||
      HasControlCharacters(fields[0]) || HasControlCharacters(fields[2])) {
    return std::nullopt;
  }
  StoredCookie cookie;
  cookie.domain = Lowered(fields[0]);
  if (!*hostOnly && IsPublicSuffix(cookie.domain)) {
    return std::nullopt;  // the file is untrusted too: no cookie for a whole public suffix
  }
  cookie.hostOnly = *hostOnly;
  cookie.path = fields[2];
  cookie.secure = *secure;
  cookie.httpOnly = *httpOnly;
  cookie.expires = std::min(*expires, kLatestExpiry);
  cookie.created = *created;
  cookie.name = fields[7];
  cookie.value = fields[8];
  return cookie;
}

struct FileDescriptor {
  int fd = -1;
  explicit FileDescriptor(int descriptor) : fd(descriptor) {}
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  ~FileDescriptor() {
    if (fd >= 0) {
      ::close(fd);
    }
  }
};

bool MakeDirectories(const std::string& directory) {
  for (std::size_t slash = directory.find('/', 1);; slash = directory.find('/', slash + 1)) {
    const std::string prefix = directory.substr(0, slash);
    if (::mkdir(prefix.c_str(), 0700) != 0 && errno != EEXIST) {
      return false;
    }
    if (slash == std::string::npos) {
      return true;
    }
  }
}

}  // namespace

std::optional<CookieUrl> CookieUrl::Parse(std::string_view url) {
  std::unique_ptr<CURLU, decltype(&curl_url_cleanup)> handle(curl_url(), &curl_url_cleanup);
  if (!handle || url.size() > 64 * 1024) {
    return std::nullopt;
  }
  const std::string text(url);
  if (curl_url_set(handle.get(), CURLUPART_URL, text.c_str(),
                   CURLU_NON_SUPPORT_SCHEME | CURLU_PATH_AS_IS | CURLU_ALLOW_SPACE) != CURLUE_OK) {
    return std::nullopt;
  }
  auto part = [&](CURLUPart which) -> std::string {
    char* value = nullptr;
    std::string result;
    if (curl_url_get(handle.get(), which, &value, 0) == CURLUE_OK && value) {
      result = value;
    }
    curl_free(value);
    return result;
  };
  const std::string scheme = Lowered(part(CURLUPART_SCHEME));
  if (scheme != "http" && scheme != "https") {
    return std::nullopt;
  }
  CookieUrl result;
  result.secure = scheme == "https";
  result.host = Lowered(part(CURLUPART_HOST));
  if (result.host.size() > 2 && result.host.front() == '[' && result.host.back() == ']') {
    result.host = result.host.substr(1, result.host.size() - 2);
  }
  result.path = part(CURLUPART_PATH);
  if (result.path.empty() || result.path.front() != '/') {
    result.path.insert(result.path.begin(), '/');
  }
  if (result.host.empty()) {
    return std::nullopt;
  }
  return result;
}

CookieStore& CookieStore::Shared() {
  static CookieStore shared(DefaultFilePath());
  return shared;
}

std::string CookieStore::DefaultFilePath() {
  std::string base;
  const char* dataHome = std::getenv("XDG_DATA_HOME");
  if (dataHome && dataHome[0] == '/') {
    base = dataHome;
  } else if (const char* home = std::getenv("HOME"); home && home[0] == '/') {
    base = std::string(home) + "/.local/share";
  } else {
    return {};  // nowhere to keep it: the store lives in memory only
  }
  return base + "/Quorline/Tarvel/cookies";
}

CookieStore::CookieStore(std::string filePath) : filePath_(std::move(filePath)) {}

std::optional<CookieStore::FileIdentity> CookieStore::CurrentFileIdentity() const {
  struct stat status {};
  if (filePath_.empty() || ::stat(filePath_.c_str(), &status) != 0) {
    return std::nullopt;
  }
  FileIdentity identity;
  identity.device = status.st_dev;
  identity.inode = status.st_ino;
  identity.size = static_cast<std::int64_t>(status.st_size);
  identity.modifiedNanoseconds =
      static_cast<std::int64_t>(status.st_mtim.tv_sec) * 1000000000 + status.st_mtim.tv_nsec;
  return identity;
}

void CookieStore::ReloadIfChangedLocked() {
  const std::optional<FileIdentity> identity = CurrentFileIdentity();
  if (identity == loadedIdentity_) {
    return;
  }
  loadedIdentity_ = identity;
  cookies_.clear();
  if (!identity) {
    return;
  }
  FileDescriptor file(::open(filePath_.c_str(), O_RDONLY | O_CLOEXEC));
  if (file.fd < 0) {
    return;
  }
  std::string content;
  char buffer[16384];
  while (content.size() < kMaximumFileBytes) {
    const ssize_t got = ::read(file.fd, buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) {
      continue;
    }
    if (got <= 0) {
      break;
    }
    content.append(buffer, static_cast<std::size_t>(got));
  }
  if (content.size() > kMaximumFileBytes) {
    content.resize(kMaximumFileBytes);
  }
  ParseFile(content);
}

void CookieStore::ParseFile(std::string_view content) {
  if (!content.starts_with(kFileHeader)) {
    return;
  }
  const std::int64_t now = Now();
  while (!content.empty()) {
    const std::size_t end = content.find('\n');
    if (end == std::string_view::npos) {
      break;  // an unfinished last line was cut off: skip it
    }
    const std::string_view line = content.substr(0, end);
    content.remove_prefix(end + 1);
    if (line.size() > kMaximumLineBytes || line.starts_with('#')) {
      continue;
    }
    if (cookies_.size() >= kMaximumCookies) {
      break;
    }
    std::optional<StoredCookie> cookie = ParseLine(line);
    if (!cookie || IsExpired(*cookie, now)) {
      continue;
    }
    cookie->sequence = nextSequence_++;
    auto existing = std::find_if(cookies_.begin(), cookies_.end(), [&](const StoredCookie& other) {
      return SameKey(other, *cookie);
    });
    if (existing != cookies_.end()) {
      *existing = std::move(*cookie);
    } else {
      cookies_.push_back(std::move(*cookie));
    }
  }
  EnforceLimits();
}

bool CookieStore::WriteFileLocked() {
  if (filePath_.empty()) {
    return false;
  }
  std::string content(kFileHeader);
  content += '\n';
  for (const StoredCookie& cookie : cookies_) {
    AppendLine(content, cookie);
  }
  RemoveStaleReplacements(filePath_);
  if (!ReplaceFileContent(filePath_, content)) {
    return false;
  }
  loadedIdentity_ = CurrentFileIdentity();
  return true;
}

template <typename Change>
auto CookieStore::ChangeLocked(Change&& change) {
  // The lock file is separate from the store, which is replaced by rename on every write.
  int lockDescriptor = -1;
  if (!filePath_.empty()) {
    const std::size_t slash = filePath_.rfind('/');
    if (slash != std::string::npos && slash > 0) {
      MakeDirectories(filePath_.substr(0, slash));
    }
    lockDescriptor = ::open((filePath_ + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (lockDescriptor >= 0) {
      while (::flock(lockDescriptor, LOCK_EX) != 0 && errno == EINTR) {
      }
    }
  }
  FileDescriptor lock(lockDescriptor);
  ReloadIfChangedLocked();
  auto [result, changed] = change();
  if (changed) {
    WriteFileLocked();
  }
  return result;
}

void CookieStore::DropExpired(std::int64_t now) {
  std::erase_if(cookies_, [now](const StoredCookie& cookie) { return IsExpired(cookie, now); });
}

void CookieStore::EnforceLimits() {
  auto olderFirst = [](const StoredCookie& a, const StoredCookie& b) {
    return std::tie(a.created, a.sequence) < std::tie(b.created, b.sequence);
  };
  if (cookies_.size() > kMaximumCookies) {
    std::stable_sort(cookies_.begin(), cookies_.end(), olderFirst);
    cookies_.erase(cookies_.begin(), cookies_.begin() + static_cast<std::ptrdiff_t>(
                                                            cookies_.size() - kMaximumCookies));
  }
}

namespace {

// Checks a parsed cookie against where it comes from; false when it must be refused.
bool Admissible(const ParsedCookie& parsed, const CookieUrl& url, CookieOrigin origin,
                CookieAccess access) {
  if (origin == CookieOrigin::Server) {
    return !parsed.cookie.secure || url.secure;  // a plain-text answer may not set a secure one
  }
  return !parsed.cookie.httpOnly || access == CookieAccess::IncludingHttpOnly;
}

// RFC 6265 section 5.3 steps 11 and 12: replaces or removes the cookie of the same key.
bool InsertCookie(std::vector<StoredCookie>& cookies, std::uint64_t& nextSequence,
                  ParsedCookie parsed, const CookieUrl& url, CookieOrigin origin,
                  CookieAccess access, std::int64_t now) {
  StoredCookie& cookie = parsed.cookie;
  auto existing = std::find_if(cookies.begin(), cookies.end(),
                               [&](const StoredCookie& other) { return SameKey(other, cookie); });
  if (existing != cookies.end()) {
    if (existing->httpOnly && access == CookieAccess::ScriptVisible) {
      return false;
    }
    if (origin == CookieOrigin::Program && existing->httpOnly) {
      cookie.httpOnly = true;  // a program text keeps the mark of the cookie it replaces
    }
    cookie.created = existing->created;
    cookies.erase(existing);
  } else {
    cookie.created = now;
  }
  if (IsExpired(cookie, now)) {
    if (origin == CookieOrigin::Program && !parsed.hasDomainAttribute) {
      // Deleting by name: the cookie may have been set for a parent domain or another path.
      std::erase_if(cookies, [&](const StoredCookie& other) {
        return other.name == cookie.name && Visible(other, url, access, now);
      });
    }
    return true;
  }
  cookie.sequence = nextSequence++;
  auto oldest = cookies.end();
  std::size_t sameDomain = 0;
  for (auto it = cookies.begin(); it != cookies.end(); ++it) {
    if (it->domain == cookie.domain) {
      ++sameDomain;
      if (oldest == cookies.end() ||
          std::tie(it->created, it->sequence) < std::tie(oldest->created, oldest->sequence)) {
        oldest = it;
      }
    }
  }
  if (sameDomain >= CookieStore::kMaximumCookiesPerDomain) {
    cookies.erase(oldest);
  }
  cookies.push_back(std::move(cookie));
  return true;
}

}  // namespace

bool CookieStore::Store(const CookieUrl& url, std::string_view setCookieText, CookieOrigin origin,
                        CookieAccess access) {
  const std::int64_t now = Now();
  std::optional<ParsedCookie> parsed = ParseSetCookie(setCookieText, url, now);
  if (origin == CookieOrigin::Server) {
    access = CookieAccess::IncludingHttpOnly;
  }
  if (!parsed || !Admissible(*parsed, url, origin, access)) {
    return false;
  }
  std::lock_guard guard(mutex_);
  return ChangeLocked([&]() -> std::pair<bool, bool> {
    DropExpired(now);
    const bool stored =
        InsertCookie(cookies_, nextSequence_, std::move(*parsed), url, origin, access, now);
    EnforceLimits();
    return {stored, stored};
  });
}

std::size_t CookieStore::StoreFromServer(const CookieUrl& url,
                                         const std::vector<std::string>& setCookieTexts) {
  if (setCookieTexts.empty()) {
    return 0;
  }
  const std::int64_t now = Now();
  std::lock_guard guard(mutex_);
  return ChangeLocked([&]() -> std::pair<std::size_t, bool> {
    DropExpired(now);
    std::size_t stored = 0;
    for (const std::string& text : setCookieTexts) {
      std::optional<ParsedCookie> parsed = ParseSetCookie(text, url, now);
      if (parsed &&
          Admissible(*parsed, url, CookieOrigin::Server, CookieAccess::IncludingHttpOnly) &&
          InsertCookie(cookies_, nextSequence_, std::move(*parsed), url, CookieOrigin::Server,
                       CookieAccess::IncludingHttpOnly, now)) {
        ++stored;
      }
    }
    EnforceLimits();
    return {stored, stored > 0};
  });
}

std::string CookieStore::CookieHeader(const CookieUrl& url, CookieAccess access) {
  const std::int64_t now = Now();
  std::vector<const StoredCookie*> matching;
  std::lock_guard guard(mutex_);
  // The store file is replaced by rename, so reading it needs no cross-process lock.
  ReloadIfChangedLocked();
  for (const StoredCookie& cookie : cookies_) {
    if (Visible(cookie, url, access, now)) {
      matching.push_back(&cookie);
    }
  }
  std::stable_sort(matching.begin(), matching.end(),
                   [](const StoredCookie* a, const StoredCookie* b) {
                     if (a->path.size() != b->path.size()) {
                       return a->path.size() > b->path.size();
                     }
                     return std::tie(a->created, a->sequence) < std::tie(b->created, b->sequence);
                   });
  std::string header;
  for (const StoredCookie* cookie : matching) {
    if (!header.empty()) {
      header += "; ";
    }
    if (!cookie->name.empty()) {
      header += cookie->name;
      header += '=';
    }
    header += cookie->value;
  }
  return header;
}

std::size_t CookieStore::Remove(const CookieUrl& url, CookieAccess access) {
  const std::int64_t now = Now();
  std::lock_guard guard(mutex_);
  return ChangeLocked([&]() -> std::pair<std::size_t, bool> {
    const std::size_t removed = std::erase_if(
        cookies_, [&](const StoredCookie& cookie) { return Visible(cookie, url, access, now); });
    return {removed, removed > 0};
  });
}

bool CookieStore::Forget(std::string_view name, std::string_view domain, std::string_view path) {
  const std::string lowered = Lowered(domain);
  std::lock_guard guard(mutex_);
  return ChangeLocked([&]() -> std::pair<bool, bool> {
    const std::size_t removed = std::erase_if(cookies_, [&](const StoredCookie& cookie) {
      return cookie.name == name && cookie.domain == lowered && cookie.path == path;
    });
    return {removed > 0, removed > 0};
  });
}

std::vector<StoredCookie> CookieStore::AllCookies() {
  const std::int64_t now = Now();
  std::lock_guard guard(mutex_);
  ReloadIfChangedLocked();
  std::vector<StoredCookie> result;
  for (const StoredCookie& cookie : cookies_) {
    if (!IsExpired(cookie, now)) {
      result.push_back(cookie);
    }
  }
  return result;
}

}  // namespace tarvel
