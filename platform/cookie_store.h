#pragma once

#include <sys/types.h>
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tarvel {

// Which cookies an operation may see or change: the ones a page script could see too, or also
// the http-only ones.
enum class CookieAccess {
  ScriptVisible,
  IncludingHttpOnly,
};

// Where a cookie text comes from: a server's Set-Cookie header, or a call of the program.
enum class CookieOrigin {
  Server,
  Program,
};

// The parts of an http or https address that cookies are matched against.
struct CookieUrl {
  bool secure = false;
  std::string host;  // lower case
  std::string path;  // starts with "/", no query

  static std::optional<CookieUrl> Parse(std::string_view url);
};

// One stored cookie (RFC 6265 section 5.3). Names and values are the bytes the server sent.
struct StoredCookie {
  std::string name;
  std::string value;
  std::string domain;  // lower case, no leading dot
  std::string path;
  bool hostOnly = true;
  bool secure = false;
  bool httpOnly = false;
  std::int64_t expires = 0;    // seconds since 1970; 0 = session cookie
  std::int64_t created = 0;    // seconds since 1970, orders cookies of equal path length
  std::uint64_t sequence = 0;  // creation order within one second
};

// The per-user cookie store of the HTTP client, after RFC 6265: one file under
// $XDG_DATA_HOME/Quorline/Tarvel/, shared by every thread of the process through one instance
// (Shared) and by every process of the user through the file. Every change is written at once,
// under an exclusive lock of a lock file beside it, to a temporary file that replaces the store
// by rename; before each use the store reloads the file when another process replaced it.
// Cookies without an expiry are kept in the file too, so a sign-in made by one process (the
// login window) serves the others (tarvelctl) and survives a restart, like a browser profile.
//
// The file is untrusted input: its size, the number of cookies and the length of every line
// are bounded, and a line that does not parse is skipped.
class CookieStore {
 public:
  static constexpr std::size_t kMaximumCookies = 3000;
  static constexpr std::size_t kMaximumCookiesPerDomain = 50;
  static constexpr std::size_t kMaximumCookieBytes = 4096;  // name and value together
  static constexpr std::size_t kMaximumFileBytes = 4 * 1024 * 1024;

  // The process-wide store of the user; its file path is taken from the environment at first use.
  static CookieStore& Shared();
  // "$XDG_DATA_HOME/Quorline/Tarvel/cookies", falling back to "$HOME/.local/share/...".
  static std::string DefaultFilePath();

  // A store over the given file; the file and its folder are created on the first change.
  explicit CookieStore(std::string filePath);
  CookieStore(const CookieStore&) = delete;
  CookieStore& operator=(const CookieStore&) = delete;

  // Stores one cookie text (a Set-Cookie header value) received from or meant for `url`.
  // A text from the program that is not allowed http-only access can neither create an
  // http-only cookie nor replace one. A program text that has already expired and names no
  // domain removes every cookie of that name the address would receive. Returns false when the
  // text was refused.
  bool Store(const CookieUrl& url, std::string_view setCookieText, CookieOrigin origin,
             CookieAccess access);

  // Stores the Set-Cookie values of one answer from `url` with one write of the file.
  // Returns the number stored.
  std::size_t StoreFromServer(const CookieUrl& url, const std::vector<std::string>& setCookieTexts);

  // The cookies `url` would receive, as "name=value" pairs joined by "; ", longest path first.
  std::string CookieHeader(const CookieUrl& url, CookieAccess access);

  // Removes every cookie `url` would receive (http-only ones only with that access).
  // Returns the number removed.
  std::size_t Remove(const CookieUrl& url, CookieAccess access);

  // Removes the one cookie of that name, domain (without a leading dot) and path, whatever its
  // other attributes. Returns whether there was one.
  bool Forget(std::string_view name, std::string_view domain, std::string_view path);

  // Every unexpired cookie, for diagnostics and tests.
  std::vector<StoredCookie> AllCookies();

  const std::string& filePath() const { return filePath_; }

 private:
  struct FileIdentity {
    dev_t device = 0;
    ino_t inode = 0;
    std::int64_t size = -1;
    std::int64_t modifiedNanoseconds = 0;
    bool operator==(const FileIdentity&) const = default;
  };

  void ReloadIfChangedLocked();
  std::optional<FileIdentity> CurrentFileIdentity() const;
  void ParseFile(std::string_view content);
  bool WriteFileLocked();
  // Runs `change` on the cookies under the cross-process lock, and writes them when it
  // reports a change.
  template <typename Change>
  auto ChangeLocked(Change&& change);
  void EnforceLimits();
  void DropExpired(std::int64_t now);

  std::string filePath_;
  std::mutex mutex_;
  std::vector<StoredCookie> cookies_;
  std::optional<FileIdentity> loadedIdentity_;
  std::uint64_t nextSequence_ = 1;
};

}  // namespace tarvel
