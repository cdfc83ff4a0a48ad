// Set-Cookie texts from servers and from the program, stored for one of a few addresses and
// read back: nothing crashes, and what is kept stays within the store's rules.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "platform/cookie_store.h"

namespace {

constexpr std::string_view kAddresses[] = {
    "https://www.example.co.uk/mail/inbox",
    "http://example.com/",
    "https://co.uk/",
    "https://192.168.0.1/a/b",
    "https://[::1]:8443/x?y=1",
    "https://joe.github.io/",
};

bool HasControlCharacters(std::string_view text) {
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7F)
      return true;
  }
  return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1)
    return 0;
  const std::uint8_t selector = data[0];
  const std::string_view text(reinterpret_cast<const char*>(data) + 1, size - 1);
  const std::optional<tarvel::CookieUrl> url =
      tarvel::CookieUrl::Parse(kAddresses[selector % std::size(kAddresses)]);
  if (!url)
    std::abort();
  // A store without a file: nothing is written.
  tarvel::CookieStore store("");
  const auto origin =
      (selector & 0x40) != 0 ? tarvel::CookieOrigin::Program : tarvel::CookieOrigin::Server;
  const auto access = (selector & 0x80) != 0 ? tarvel::CookieAccess::ScriptVisible
                                             : tarvel::CookieAccess::IncludingHttpOnly;
  // Each line is one header, as an answer may carry several.
  std::vector<std::string> headers;
  std::size_t start = 0;
  while (start <= text.size() && headers.size() < 64) {
    const std::size_t end = text.find('\n', start);
    headers.emplace_back(text.substr(start, end == std::string_view::npos ? end : end - start));
    if (end == std::string_view::npos)
      break;
    start = end + 1;
  }
  store.Store(*url, text, origin, access);
  store.StoreFromServer(*url, headers);

  for (const tarvel::StoredCookie& cookie : store.AllCookies()) {
    if (cookie.domain.empty() || cookie.path.empty() || cookie.path.front() != '/' ||
        cookie.name.size() + cookie.value.size() > tarvel::CookieStore::kMaximumCookieBytes ||
        HasControlCharacters(cookie.name) || HasControlCharacters(cookie.value) ||
        HasControlCharacters(cookie.path) || HasControlCharacters(cookie.domain))
      std::abort();
    // No cookie for a whole public suffix, nor for another site.
    if (!cookie.hostOnly && (cookie.domain == "co.uk" || cookie.domain == "uk" ||
                             cookie.domain == "github.io" || cookie.domain == "com"))
      std::abort();
    if (cookie.domain != url->host && !url->host.ends_with("." + cookie.domain))
      std::abort();
  }
  if (store.AllCookies().size() > tarvel::CookieStore::kMaximumCookiesPerDomain * 2)
    std::abort();
  if (HasControlCharacters(store.CookieHeader(*url, tarvel::CookieAccess::IncludingHttpOnly)))
    std::abort();
  return 0;
}
