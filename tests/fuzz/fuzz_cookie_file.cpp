// The cookie file as another process (or an attacker with access to the folder) may have
// left it: read, bounded, and written back to the same cookies.
#include <fcntl.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "platform/cookie_store.h"

namespace {

// One folder for the whole run, removed at its end: in memory where the system offers it
// (every write of the store is synced to disk), else under the temporary folder.
class FuzzFolder {
 public:
  FuzzFolder() {
    const char* base = std::getenv("TMPDIR");
    std::string root = base && *base ? base : "/tmp";
    if (::access("/dev/shm", W_OK) == 0)
      root = "/dev/shm";
    folder_ = root + "/fuzz-cookies-XXXXXX";
    if (::mkdtemp(folder_.data()) == nullptr)
      std::abort();
  }
  ~FuzzFolder() {
    for (const char* name : {"/cookies", "/cookies.lock"})
      ::unlink((folder_ + name).c_str());
    ::rmdir(folder_.c_str());
  }
  FuzzFolder(const FuzzFolder&) = delete;
  FuzzFolder& operator=(const FuzzFolder&) = delete;
  std::string cookiePath() const { return folder_ + "/cookies"; }

 private:
  std::string folder_;
};

const std::string& CookiePath() {
  static const FuzzFolder folder;
  static const std::string path = folder.cookiePath();
  return path;
}

bool WriteFile(const std::string& path, std::string_view content) {
  const int file = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (file < 0)
    return false;
  bool written = true;
  while (written && !content.empty()) {
    const ssize_t count = ::write(file, content.data(), content.size());
    written = count > 0;
    if (written)
      content.remove_prefix(static_cast<std::size_t>(count));
  }
  return ::close(file) == 0 && written;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string& path = CookiePath();
  if (!WriteFile(path, std::string_view(reinterpret_cast<const char*>(data), size)))
    std::abort();
  std::vector<tarvel::StoredCookie> read;
  {
    tarvel::CookieStore store(path);
    read = store.AllCookies();
    if (read.size() > tarvel::CookieStore::kMaximumCookies)
      std::abort();
    for (const tarvel::StoredCookie& cookie : read) {
      if (cookie.domain.empty() || cookie.path.empty() || cookie.path.front() != '/' ||
          cookie.name.size() + cookie.value.size() > tarvel::CookieStore::kMaximumCookieBytes ||
          cookie.expires < 0)
        std::abort();
      if (!cookie.hostOnly && (cookie.domain == "co.uk" || cookie.domain == "com"))
        std::abort();
    }
    // A change writes every cookie back; a fresh store reads the same ones again.
    const std::optional<tarvel::CookieUrl> url = tarvel::CookieUrl::Parse("https://fuzz.invalid/");
    if (!url || !store.Store(*url, "written=1", tarvel::CookieOrigin::Program,
                             tarvel::CookieAccess::IncludingHttpOnly))
      std::abort();
    read = store.AllCookies();
  }
  tarvel::CookieStore again(path);
  const std::vector<tarvel::StoredCookie> reread = again.AllCookies();
  if (reread.size() != read.size())
    std::abort();
  for (std::size_t index = 0; index < read.size(); ++index) {
    const tarvel::StoredCookie& a = read[index];
    const tarvel::StoredCookie& b = reread[index];
    if (a.name != b.name || a.value != b.value || a.domain != b.domain || a.path != b.path ||
        a.hostOnly != b.hostOnly || a.secure != b.secure || a.httpOnly != b.httpOnly ||
        a.expires != b.expires)
      std::abort();
  }
  return 0;
}
