// HTTP/1.1 and HTTP/2 requests (RFC 9110, 9112, 9113) through libcurl, with cookies after
// RFC 6265 kept in the program's CookieStore and multipart bodies after RFC 7578.
#include "platform/http_session.h"

#include <curl/curl.h>
#include <fcntl.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstdlib>
#include <optional>
#include <string_view>
#include <utility>

#include "platform/ascii_bytes.h"
#include "platform/file_replacement.h"
#include "platform/network_settings.h"

namespace tarvel {

namespace {

// Every connection's socket is made close-on-exec as it is created: a pooled connection must
// not live on in a program we start (a mail reader), which could hold it open or write to it.
curl_socket_t OpenCloseOnExecSocket(void*, curlsocktype, curl_sockaddr* address) {
  return ::socket(address->family, address->socktype | SOCK_CLOEXEC, address->protocol);
}

using ascii_bytes::EqualsNoCase;
using ascii_bytes::StartsWithNoCase;
using ascii_bytes::TrimBlanks;
using ascii_bytes::WriteAll;

// More Set-Cookie headers in one answer are ignored.
constexpr std::size_t kMaximumSetCookiesPerAnswer = 200;

// The multipart boundary: 29 hyphens and a fixed number; every part starts with two more.
constexpr std::string_view kMultipartBoundary = "-----------------------------1234567890123";

void CleanupHandle(void* handle) {
  curl_easy_cleanup(static_cast<CURL*>(handle));
}

using ListPointer = std::unique_ptr<curl_slist, decltype(&curl_slist_free_all)>;

void InitialiseLibcurlOnce() {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

// Cookie texts travel as the bytes they were received as (each byte one code unit); a text
// with characters beyond one byte is taken as UTF-8.
std::string CookieBytes(const Text& text) {
  std::string bytes;
  bytes.reserve(static_cast<std::size_t>(text.length()));
  for (const char16_t unit : text.view()) {
    if (unit > 0xFF) {
      return text.ToUtf8();
    }
    bytes += static_cast<char>(unit);
  }
  return bytes;
}

// Splits at ";" outside double quotes and trims each token; empty tokens are left out.
std::vector<std::u16string_view> SplitCookieTokens(std::u16string_view list) {
  std::vector<std::u16string_view> tokens;
  bool quoted = false;
  std::size_t start = 0;
  auto push = [&](std::size_t end) {
    std::u16string_view token = list.substr(start, end - start);
    while (!token.empty() && Text::IsBlank(token.front())) {
      token.remove_prefix(1);
    }
    while (!token.empty() && Text::IsBlank(token.back())) {
      token.remove_suffix(1);
    }
    if (!token.empty()) {
      tokens.push_back(token);
    }
  };
  for (std::size_t i = 0; i < list.size(); ++i) {
    if (list[i] == u'"') {
      quoted = !quoted;
    } else if (list[i] == u';' && !quoted) {
      push(i);
      start = i + 1;
    }
  }
  push(list.size());
  return tokens;
}

std::unique_ptr<CURLU, decltype(&curl_url_cleanup)> ParseUrl(const std::string& url) {
  std::unique_ptr<CURLU, decltype(&curl_url_cleanup)> handle(curl_url(), &curl_url_cleanup);
  if (handle &&
      curl_url_set(handle.get(), CURLUPART_URL, url.c_str(),
                   CURLU_NON_SUPPORT_SCHEME | CURLU_PATH_AS_IS | CURLU_ALLOW_SPACE) != CURLUE_OK) {
    handle.reset();
  }
  return handle;
}

std::optional<std::string> UrlPart(CURLU* url, CURLUPart which, unsigned int flags = 0) {
  char* value = nullptr;
  std::optional<std::string> result;
  if (curl_url_get(url, which, &value, flags) == CURLUE_OK && value) {
    result = value;
  }
  curl_free(value);
  return result;
}

// "scheme://host:port" of an address, to tell whether a redirect leaves the server.
std::string Origin(const std::string& url) {
  auto parsed = ParseUrl(url);
  if (!parsed) {
    return {};
  }
  std::string origin = UrlPart(parsed.get(), CURLUPART_SCHEME).value_or("");
  origin += "://";
  origin += UrlPart(parsed.get(), CURLUPART_HOST).value_or("");
  origin += ':';
  origin += UrlPart(parsed.get(), CURLUPART_PORT, CURLU_DEFAULT_PORT).value_or("");
  return ascii_bytes::Lowered(origin);
}

bool IsHostCharacter(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
         c == '.' || c == '_';
}

// The host of a request as it goes into an address: a name, or an IPv6 literal in brackets.
std::optional<std::string> UrlHost(const Text& server) {
  std::string host = server.ToUtf8();
  if (host.empty() || host.size() > 255) {
    return std::nullopt;
  }
  if (std::all_of(host.begin(), host.end(), IsHostCharacter)) {
    return host;
  }
  std::string_view literal = host;
  if (literal.front() == '[' && literal.back() == ']') {
    literal = literal.substr(1, literal.size() - 2);
  }
  const bool ipv6 = !literal.empty() && std::all_of(literal.begin(), literal.end(), [](char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F') || c == ':' ||
           c == '.';
  });
  if (!ipv6) {
    return std::nullopt;
  }
  return "[" + std::string(literal) + "]";
}

// The object as it goes into an address: blanks, controls, bytes above ASCII and "#" are
// percent-encoded, everything else is sent as the caller wrote it.
std::string UrlObject(const Text& object) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  const std::string bytes = object.ToUtf8();
  std::string encoded;
  if (bytes.empty() || bytes.front() != '/') {
    encoded += '/';
  }
  for (const char c : bytes) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte <= 0x20 || byte >= 0x7F || c == '#') {
      encoded += '%';
      encoded += kHex[byte >> 4];
      encoded += kHex[byte & 15];
    } else {
      encoded += c;
    }
  }
  return encoded;
}

std::vector<std::string> HeaderLines(const Text& headers) {
  std::vector<std::string> lines;
  std::string_view rest;
  const std::string bytes = headers.ToUtf8();
  rest = bytes;
  while (!rest.empty()) {
    const std::size_t end = rest.find('\n');
    std::string_view line = TrimBlanks(rest.substr(0, end));
    rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
    if (!line.empty() && line.find(':') != std::string_view::npos) {
      lines.emplace_back(line);
    }
  }
  return lines;
}

// Header lines that carry a credential of the origin: they never go to another one.
bool IsCredentialHeader(std::string_view line) {
  const std::string_view name = TrimBlanks(line.substr(0, line.find(':')));
  return EqualsNoCase(name, "Authorization") || EqualsNoCase(name, "Cookie") ||
         EqualsNoCase(name, "Proxy-Authorization");
}

bool HasHeader(const std::vector<std::string>& lines, std::string_view name) {
  return std::any_of(lines.begin(), lines.end(), [&](const std::string& line) {
    return StartsWithNoCase(line, name) && line.size() > name.size() && line[name.size()] == ':';
  });
}

// The entries of an environment variable as a libcurl list, rebuilt when the variable changed.
curl_slist* ListFromEnvironment(const char* variable, HttpSession::EnvironmentList& cache) {
  const char* value = std::getenv(variable);
  const std::string text = value ? value : "";
  if (text != cache.source || (!cache.list && !text.empty())) {
    cache.source = text;
    curl_slist* list = nullptr;
    std::string_view rest = text;
    while (!rest.empty()) {
      const std::size_t end = rest.find(';');
      const std::string entry(TrimBlanks(rest.substr(0, end)));
      rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
      if (!entry.empty()) {
        if (curl_slist* extended = curl_slist_append(list, entry.c_str())) {
          list = extended;
        }
      }
    }
    cache.list.reset(list);
  }
  return static_cast<curl_slist*>(cache.list.get());
}

constexpr long kChainResultNotRead = 1;

int FailureStatus(CURLcode code, long verifyResult) {
  switch (code) {
    case CURLE_OPERATION_TIMEDOUT:
      return http_failure::kTimeout;
    case CURLE_URL_MALFORMAT:
      return http_failure::kInvalidUrl;
    case CURLE_UNSUPPORTED_PROTOCOL:
      return http_failure::kUnrecognizedScheme;
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_RESOLVE_PROXY:
      return http_failure::kNameNotResolved;
    case CURLE_COULDNT_CONNECT:
      return http_failure::kCannotConnect;
    case CURLE_ABORTED_BY_CALLBACK:
      return http_failure::kCancelled;
    case CURLE_PEER_FAILED_VERIFICATION:
      // libcurl checks the certificate's name before it reads the chain's result, which is
      // then still its initial "not OK" (1).
      if (verifyResult == kChainResultNotRead || verifyResult == X509_V_ERR_HOSTNAME_MISMATCH) {
        return http_failure::kCertificateNameInvalid;
      }
      if (verifyResult == X509_V_ERR_CERT_HAS_EXPIRED ||
          verifyResult == X509_V_ERR_CERT_NOT_YET_VALID) {
        return http_failure::kCertificateDateInvalid;
      }
      return http_failure::kCertificateAuthorityInvalid;
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_SSL_CERTPROBLEM:
    case CURLE_SSL_CIPHER:
    case CURLE_SSL_CACERT_BADFILE:
      return http_failure::kSecureChannelError;
    case CURLE_BAD_CONTENT_ENCODING:
      return http_failure::kDecodingFailed;
    case CURLE_TOO_MANY_REDIRECTS:
      return http_failure::kRedirectFailed;
    case CURLE_GOT_NOTHING:
    case CURLE_SEND_ERROR:
    case CURLE_RECV_ERROR:
    case CURLE_PARTIAL_FILE:
      return http_failure::kConnectionAborted;
    case CURLE_WEIRD_SERVER_REPLY:
    case CURLE_HTTP2:
    case CURLE_HTTP2_STREAM:
      return http_failure::kInvalidServerResponse;
    default:
      return http_failure::kInternalError;
  }
}

CURLcode AddExtraAuthorities(CURL* /*handle*/, void* sslContext, void* files) {
  X509_STORE* store = SSL_CTX_get_cert_store(static_cast<SSL_CTX*>(sslContext));
  for (const std::string& file : *static_cast<const std::vector<std::string>*>(files)) {
    // A file that does not load adds nothing, and verification fails as it should.
    X509_STORE_load_file(store, file.c_str());
  }
  ERR_clear_error();
  return CURLE_OK;
}

}  // namespace

// Everything one call needs, its hops' state and its outcome.
struct HttpSession::Transfer {
  enum class Events {
    Request,
    Download,
  };

  // What to send.
  std::string url;
  std::string method = "GET";
  std::string body;
  bool sendBody = false;
  std::vector<std::string> headers;
  std::string userAgent;
  std::string userName;
  std::string password;
  std::string proxy;
  std::string proxyUserName;
  std::string proxyPassword;
  bool useCookies = true;
  bool followRedirects = true;
  bool onlySuccessStatus = false;   // read only 200 and 206 answers
  bool stopAtFinalHeaders = false;  // the final address is all that is wanted
  std::uint64_t maximumBytes = 0;
  std::uint64_t largestBody = HttpSession::kLargestBody;
  std::uint32_t timeoutMilliseconds = HttpRequest::kTimeoutNone;
  const std::atomic<bool>* stop = nullptr;  // the owner's stop request
  std::chrono::steady_clock::time_point deadline;
  RequestEvent callback = nullptr;
  void* context = nullptr;
  Events events = Events::Request;

  // Where the body goes: a file, or bytes.
  int file = -1;
  std::string* bytes = nullptr;

  // State of the hop in progress.
  CURL* handle = nullptr;
  std::optional<CookieUrl> cookieUrl;
  std::vector<std::string> setCookieHeaders;
  std::string contentLengthText;
  bool hasLocation = false;
  bool redirecting = false;
  bool headerEventsSent = false;
  std::uint64_t written = 0;
  std::vector<std::string> authorityFiles;

  // Outcome.
  bool stoppedOnPurpose = false;
  bool cancelled = false;
  bool stopped = false;  // by the owner's stop request
  bool statusRefused = false;
  bool tooLarge = false;
  bool targetFailed = false;
  int status = 0;
  int failure = 0;
  std::string finalUrl;
  std::optional<std::string> redirectUrl;

  bool StopRequested() const { return stop != nullptr && stop->load(); }

  std::int64_t Notify(int event, RequestEventValue value) const {
    return callback ? callback(event, value, context) : 1;
  }

  void ResetBody() {
    written = 0;
    if (file >= 0) {
      if (::ftruncate(file, 0) != 0 || ::lseek(file, 0, SEEK_SET) != 0) {
        targetFailed = true;
      }
    } else if (bytes) {
      bytes->clear();
    }
  }

  // Content length and Set-Cookie headers of the answer whose body is read; false to abort.
  bool SendHeaderEvents() {
    headerEventsSent = true;
    if (!callback) {
      return true;
    }
    std::int64_t length = -1;
    const std::string_view text = contentLengthText;
    if (std::from_chars(text.data(), text.data() + text.size(), length).ec != std::errc()) {
      length = -1;
    }
    const Text lengthText = Text::FromBytes(contentLengthText);
    const bool download = events == Events::Download;
    if (Notify(download ? download_event::kContentLength : request_event::kContentLength,
               {.number = length}) == 0 &&
        !download) {
      return false;
    }
    if (Notify(download ? download_event::kContentLengthText : request_event::kContentLengthText,
               {.text = &lengthText}) == 0 &&
        !download) {
      return false;
    }
    if (!download) {
      for (const std::string& header : setCookieHeaders) {
        const Text headerText = Text::FromBytes(header);
        if (Notify(request_event::kSetCookieHeader, {.text = &headerText}) == 0) {
          return false;
        }
      }
    }
    return true;
  }

  static std::size_t OnHeader(char* data, std::size_t size, std::size_t count, void* user) {
    auto& transfer = *static_cast<Transfer*>(user);
    const std::size_t total = size * count;
    const std::string_view line = TrimBlanks(std::string_view(data, total));
    if (StartsWithNoCase(line, "HTTP/")) {
      // A new answer on this hop (after an interim one or an authentication round).
      transfer.setCookieHeaders.clear();
      transfer.contentLengthText.clear();
      transfer.hasLocation = false;
      transfer.redirecting = false;
      transfer.headerEventsSent = false;
      transfer.ResetBody();
      return total;
    }
    if (line.empty()) {
      long code = 0;
      curl_easy_getinfo(transfer.handle, CURLINFO_RESPONSE_CODE, &code);
      if (code < 200) {
        return total;
      }
      transfer.status = static_cast<int>(code);
      if (transfer.useCookies && transfer.cookieUrl) {
        CookieStore::Shared().StoreFromServer(*transfer.cookieUrl, transfer.setCookieHeaders);
      }
      const bool redirectStatus =
          code == 301 || code == 302 || code == 303 || code == 307 || code == 308;
      if (transfer.followRedirects && redirectStatus && transfer.hasLocation) {
        transfer.redirecting = true;
        return total;
      }
      if (transfer.stopAtFinalHeaders) {
        transfer.stoppedOnPurpose = true;
        return 0;
      }
      if (transfer.onlySuccessStatus && code != 200 && code != 206) {
        transfer.statusRefused = true;
        return 0;
      }
      return total;
    }
    const std::size_t colon = line.find(':');
    if (colon == std::string_view::npos) {
      return total;
    }
    const std::string_view name = TrimBlanks(line.substr(0, colon));
    const std::string_view value = TrimBlanks(line.substr(colon + 1));
    if (EqualsNoCase(name, "set-cookie")) {
      if (transfer.setCookieHeaders.size() < kMaximumSetCookiesPerAnswer) {
        transfer.setCookieHeaders.emplace_back(value);
      }
    } else if (EqualsNoCase(name, "location")) {
      transfer.hasLocation = true;
    } else if (EqualsNoCase(name, "content-length")) {
      transfer.contentLengthText = value.substr(0, 32);
    }
    return total;
  }

  static std::size_t OnBody(char* data, std::size_t size, std::size_t count, void* user) {
    auto& transfer = *static_cast<Transfer*>(user);
    const std::size_t total = size * count;
    if (transfer.redirecting) {
      return total;
    }
    if (!transfer.headerEventsSent && !transfer.SendHeaderEvents()) {
      transfer.cancelled = true;
      return 0;
    }
    std::size_t take = total;
    if (transfer.maximumBytes != 0) {
      if (transfer.written >= transfer.maximumBytes) {
        transfer.stoppedOnPurpose = true;
        return 0;
      }
      take = static_cast<std::size_t>(
          std::min<std::uint64_t>(take, transfer.maximumBytes - transfer.written));
    } else if (transfer.written + take > transfer.largestBody) {
      transfer.tooLarge = true;
      return 0;
    }
    if (transfer.file >= 0) {
      if (!WriteAll(transfer.file, std::string_view(data, take))) {
        transfer.targetFailed = true;
        return 0;
      }
    } else if (transfer.bytes) {
      transfer.bytes->append(data, take);
    }
    transfer.written += take;
    if (transfer.callback) {
      const bool download = transfer.events == Events::Download;
      const auto number = static_cast<std::int64_t>(transfer.written);
      if (transfer.Notify(download ? download_event::kBytesSoFar : request_event::kBytesRead,
                          {.number = number}) == 0) {
        (download ? transfer.cancelled : transfer.stoppedOnPurpose) = true;
        return 0;
      }
    }
    if (take < total) {
      transfer.stoppedOnPurpose = true;
      return 0;
    }
    return total;
  }

  // Called by libcurl at least about once a second whatever the server does, also while it
  // resolves and connects.
  static int OnProgress(void* user, curl_off_t /*downloadTotal*/, curl_off_t /*downloaded*/,
                        curl_off_t /*uploadTotal*/, curl_off_t uploaded) {
    auto& transfer = *static_cast<Transfer*>(user);
    if (transfer.StopRequested()) {
      transfer.stopped = true;
      return 1;
    }
    if (uploaded > 0 && transfer.events == Events::Request && transfer.sendBody) {
      if (transfer.Notify(request_event::kUploadProgress, {.number = uploaded}) == 0) {
        transfer.cancelled = true;
        return 1;
      }
    }
    return 0;
  }
};

HttpSession::HttpSession() : handle_(nullptr, CleanupHandle) {
  InitialiseLibcurlOnce();
}

HttpSession::~HttpSession() = default;

void HttpSession::FreeEnvironmentList(void* list) {
  curl_slist_free_all(static_cast<curl_slist*>(list));
}

bool HttpSession::PerformHop(Transfer& transfer, const std::string& url, bool withCredentials) {
  if (!handle_) {
    handle_.reset(curl_easy_init());
    if (!handle_) {
      transfer.failure = http_failure::kInternalError;
      return false;
    }
  }
  CURL* handle = static_cast<CURL*>(handle_.get());
  // Reset keeps the connections, name lookups and TLS sessions, and drops every option.
  curl_easy_reset(handle);
  transfer.handle = handle;
  transfer.cookieUrl = CookieUrl::Parse(url);
  transfer.redirecting = false;
  transfer.redirectUrl.reset();
  transfer.headerEventsSent = false;
  transfer.ResetBody();

  curl_easy_setopt(handle, CURLOPT_URL, url.c_str());
  curl_easy_setopt(handle, CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(handle, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(handle, CURLOPT_OPENSOCKETFUNCTION, &OpenCloseOnExecSocket);
  curl_easy_setopt(handle, CURLOPT_SUPPRESS_CONNECT_HEADERS, 1L);
  curl_easy_setopt(handle, CURLOPT_SSL_VERIFYPEER, 1L);
  curl_easy_setopt(handle, CURLOPT_SSL_VERIFYHOST, 2L);
  curl_easy_setopt(handle, CURLOPT_ACCEPT_ENCODING, "");
  curl_easy_setopt(handle, CURLOPT_HEADERFUNCTION, &Transfer::OnHeader);
  curl_easy_setopt(handle, CURLOPT_HEADERDATA, &transfer);
  curl_easy_setopt(handle, CURLOPT_WRITEFUNCTION, &Transfer::OnBody);
  curl_easy_setopt(handle, CURLOPT_WRITEDATA, &transfer);
  // The progress hook watches the owner's stop request, and sends the upload events.
  curl_easy_setopt(handle, CURLOPT_XFERINFOFUNCTION, &Transfer::OnProgress);
  curl_easy_setopt(handle, CURLOPT_XFERINFODATA, &transfer);
  curl_easy_setopt(handle, CURLOPT_NOPROGRESS, 0L);

  // Time-outs: what is left of the request's total, and the connect and stall time-outs,
  // never longer than the caller's own; never none.
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
      transfer.deadline - std::chrono::steady_clock::now());
  if (left.count() <= 0) {
    transfer.failure = http_failure::kTimeout;
    return false;
  }
  NetworkTimeouts timeouts = CurrentNetworkTimeouts();
  if (transfer.timeoutMilliseconds != HttpRequest::kTimeoutNone) {
    // 0 would mean libcurl's own default, not "at once".
    const std::chrono::milliseconds own(std::max<std::uint32_t>(transfer.timeoutMilliseconds, 1));
    timeouts.connect = std::min(timeouts.connect, own);
    timeouts.stall = std::min(timeouts.stall, own);
  }
  curl_easy_setopt(handle, CURLOPT_TIMEOUT_MS, static_cast<long>(left.count()));
  curl_easy_setopt(handle, CURLOPT_CONNECTTIMEOUT_MS,
                   static_cast<long>(std::min(timeouts.connect, left).count()));
  curl_easy_setopt(handle, CURLOPT_HAPPY_EYEBALLS_TIMEOUT_MS,
                   static_cast<long>(kAddressFamilyHeadStart.count()));
  curl_easy_setopt(handle, CURLOPT_LOW_SPEED_LIMIT, 1L);
  curl_easy_setopt(
      handle, CURLOPT_LOW_SPEED_TIME,
      static_cast<long>(std::max<std::int64_t>(1, (timeouts.stall.count() + 999) / 1000)));

  transfer.authorityFiles = ExtraCertificateAuthorityFiles();
  if (!transfer.authorityFiles.empty()) {
    // A fresh store per connection, so the extra authorities never linger in a shared cache.
    curl_easy_setopt(handle, CURLOPT_CA_CACHE_TIMEOUT, 0L);
    curl_easy_setopt(handle, CURLOPT_SSL_CTX_FUNCTION, &AddExtraAuthorities);
    curl_easy_setopt(handle, CURLOPT_SSL_CTX_DATA, &transfer.authorityFiles);
  }

  // Tests reach local servers under the services' real names: TARVEL_CONNECT_TO holds
  // CURLOPT_CONNECT_TO entries and TARVEL_RESOLVE CURLOPT_RESOLVE entries, separated by ";".
  if (curl_slist* list = ListFromEnvironment("TARVEL_CONNECT_TO", connectTo_)) {
    curl_easy_setopt(handle, CURLOPT_CONNECT_TO, list);
  }
  if (curl_slist* list = ListFromEnvironment("TARVEL_RESOLVE", resolve_)) {
    curl_easy_setopt(handle, CURLOPT_RESOLVE, list);
  }

  if (!transfer.userAgent.empty()) {
    curl_easy_setopt(handle, CURLOPT_USERAGENT, transfer.userAgent.c_str());
  }
  if (withCredentials && (!transfer.userName.empty() || !transfer.password.empty())) {
    curl_easy_setopt(handle, CURLOPT_USERNAME, transfer.userName.c_str());
    curl_easy_setopt(handle, CURLOPT_PASSWORD, transfer.password.c_str());
    curl_easy_setopt(handle, CURLOPT_HTTPAUTH, CURLAUTH_ANY);
  }
  if (!transfer.proxy.empty()) {
    curl_easy_setopt(handle, CURLOPT_PROXY, transfer.proxy.c_str());
  }
  if (!transfer.proxyUserName.empty() || !transfer.proxyPassword.empty()) {
    curl_easy_setopt(handle, CURLOPT_PROXYUSERNAME, transfer.proxyUserName.c_str());
    curl_easy_setopt(handle, CURLOPT_PROXYPASSWORD, transfer.proxyPassword.c_str());
    curl_easy_setopt(handle, CURLOPT_PROXYAUTH, CURLAUTH_ANY);
  }

  std::string cookieHeader;
  if (transfer.useCookies && transfer.cookieUrl) {
    cookieHeader =
        CookieStore::Shared().CookieHeader(*transfer.cookieUrl, CookieAccess::IncludingHttpOnly);
    if (!cookieHeader.empty()) {
      curl_easy_setopt(handle, CURLOPT_COOKIE, cookieHeader.c_str());
    }
  }

  if (transfer.method == "POST") {
    curl_easy_setopt(handle, CURLOPT_POST, 1L);
  } else if (transfer.method == "HEAD") {
    curl_easy_setopt(handle, CURLOPT_NOBODY, 1L);
  } else if (transfer.method != "GET" || transfer.sendBody) {
    // Any other verb, or a GET that carries a body, which libcurl would otherwise make a POST.
    curl_easy_setopt(handle, CURLOPT_CUSTOMREQUEST, transfer.method.c_str());
  }
  if (transfer.sendBody) {
    curl_easy_setopt(handle, CURLOPT_POSTFIELDS, transfer.body.data());
    curl_easy_setopt(handle, CURLOPT_POSTFIELDSIZE_LARGE,
                     static_cast<curl_off_t>(transfer.body.size()));
  }

  ListPointer headerList(nullptr, &curl_slist_free_all);
  auto addHeader = [&](const std::string& line) {
    if (curl_slist* extended = curl_slist_append(headerList.get(), line.c_str())) {
      headerList.release();
      headerList.reset(extended);
    }
  };
  for (const std::string& line : transfer.headers) {
    if (withCredentials || !IsCredentialHeader(line)) {
      addHeader(line);
    }
  }
  // libcurl would add a form content type of its own to a POST, and wait for
  // "100 Continue" before larger bodies; the program's requests have neither.
  if (transfer.sendBody && !HasHeader(transfer.headers, "Content-Type")) {
    addHeader("Content-Type:");
  }
  addHeader("Expect:");
  curl_easy_setopt(handle, CURLOPT_HTTPHEADER, headerList.get());

  const CURLcode code = curl_easy_perform(handle);
  if (transfer.stopped) {
    transfer.failure = http_failure::kCancelled;
    return false;
  }
  if (transfer.targetFailed) {
    transfer.failure = http_failure::kFileNotCreated;
    return false;
  }
  if (transfer.cancelled) {
    transfer.failure = http_failure::kCancelled;
    return false;
  }
  if (transfer.tooLarge) {
    transfer.failure = http_failure::kInvalidServerResponse;
    return false;
  }
  if (transfer.statusRefused) {
    return false;
  }
  if (code != CURLE_OK && !(transfer.stoppedOnPurpose && code == CURLE_WRITE_ERROR)) {
    long verifyResult = 0;
    curl_easy_getinfo(handle, CURLINFO_SSL_VERIFYRESULT, &verifyResult);
    transfer.failure = FailureStatus(code, verifyResult);
    return false;
  }
  if (transfer.redirecting) {
    char* location = nullptr;
    if (curl_easy_getinfo(handle, CURLINFO_REDIRECT_URL, &location) == CURLE_OK && location &&
        (StartsWithNoCase(location, "http://") || StartsWithNoCase(location, "https://"))) {
      transfer.redirectUrl = location;
    } else {
      transfer.redirecting = false;  // nowhere to go: this answer is the final one
    }
  }
  if (!transfer.redirecting && !transfer.headerEventsSent && !transfer.stopAtFinalHeaders &&
      !transfer.SendHeaderEvents()) {
    transfer.failure = http_failure::kCancelled;
    return false;
  }
  return true;
}

bool HttpSession::Perform(Transfer& transfer) {
  transfer.stop = stopSignal_.load();
  std::chrono::milliseconds total = CurrentNetworkTimeouts().total;
  if (transfer.timeoutMilliseconds != HttpRequest::kTimeoutNone) {
    total = std::chrono::milliseconds(
        std::clamp<std::uint32_t>(transfer.timeoutMilliseconds, 1,
                                  static_cast<std::uint32_t>(kLongestCallerTimeout.count())));
  }
  transfer.deadline = std::chrono::steady_clock::now() + total;
  std::string url = transfer.url;
  std::string origin;  // worked out only when a redirect happens
  for (int hop = 0;; ++hop) {
    if (hop == 1) {
      origin = Origin(transfer.url);
    }
    if (transfer.StopRequested()) {
      transfer.failure = http_failure::kCancelled;
      return false;
    }
    if (!PerformHop(transfer, url, hop == 0 || Origin(url) == origin)) {
      return false;
    }
    if (!transfer.redirectUrl) {
      transfer.finalUrl = url;
      return true;
    }
    if (hop == kMaximumRedirects) {
      transfer.failure = http_failure::kRedirectFailed;
      return false;
    }
    // As browsers do: a 303, and a 301 or 302 after a POST, continue with a GET without body.
    const bool toGet =
        transfer.status == 303 ||
        ((transfer.status == 301 || transfer.status == 302) && transfer.method == "POST");
    if (toGet && transfer.method != "HEAD") {
      transfer.method = "GET";
      transfer.sendBody = false;
      transfer.body.clear();
      std::erase_if(transfer.headers, [](const std::string& line) {
        return StartsWithNoCase(line, "Content-Type:");
      });
    }
    url = *transfer.redirectUrl;
  }
}

bool HttpSession::Request(const HttpRequest& request, Text* result, int* status) {
  std::lock_guard guard(mutex_);
  if (status) {
    *status = 200;
  }
  if (result) {
    result->clear();
  }
  auto fail = [&](int failure) {
    if (status) {
      *status = failure;
    }
    return false;
  };
  if (request.serviceKind != ServiceKind::Http && request.serviceKind != ServiceKind::Https) {
    return fail(http_failure::kUnrecognizedScheme);
  }
  const std::optional<std::string> host = UrlHost(request.server);
  if (!host || request.port <= 0 || request.port > 65535) {
    return fail(http_failure::kInvalidUrl);
  }
  const bool secure = request.port == 443 || request.serviceKind == ServiceKind::Https;

  Transfer transfer;
  transfer.url = std::string(secure ? "https://" : "http://") + *host + ":" +
                 std::to_string(request.port) + UrlObject(request.object);
  transfer.method =
      request.verb.isEmpty() ? std::string("GET") : ascii_bytes::Uppered(request.verb.ToUtf8());
  transfer.body = request.body;
  transfer.sendBody = !request.body.empty() || transfer.method == "POST";
  transfer.headers = HeaderLines(request.extraHeaders);
  transfer.userAgent = request.userAgent.ToUtf8();
  transfer.userName = request.userName.ToUtf8();
  transfer.password = request.password.ToUtf8();
  transfer.proxy = request.proxy.ToUtf8();
  transfer.proxyUserName = request.proxyUserName.ToUtf8();
  transfer.proxyPassword = request.proxyPassword.ToUtf8();
  transfer.maximumBytes = request.maximumBytes;
  if (request.largestBody != 0) {
    transfer.largestBody = request.largestBody;
  }
  transfer.timeoutMilliseconds = request.timeoutMilliseconds;
  transfer.callback = request.callback;
  transfer.context = request.callbackContext;
  std::string bytes;
  transfer.bytes = &bytes;

  if (transfer.callback) {
    const Text object = request.object;
    transfer.useCookies = transfer.Notify(request_event::kSendCookies, {.text = &object}) != 0;
    transfer.followRedirects =
        transfer.Notify(request_event::kFollowRedirects, {.text = &object}) != 0;
    if (transfer.Notify(request_event::kBeforeSend,
                        {.number = static_cast<std::int64_t>(transfer.body.size())}) == 0) {
      return fail(http_failure::kCancelled);
    }
  }

  const bool done = Perform(transfer);
  if (status) {
    *status = done || transfer.failure == 0 ? transfer.status : transfer.failure;
  }
  if (!done) {
    return false;
  }
  transfer.Notify(request_event::kReadFinished, {});
  if (result) {
    *result = Text::FromBytes(bytes);
  }
  return true;
}

bool HttpSession::GetUrl(const Text& url, const Text& userAgent, Text* result,
                         std::uint64_t maximumBytes, const Text& proxy, RequestEvent callback,
                         void* context) {
  std::lock_guard guard(mutex_);
  if (result) {
    result->clear();
  }
  Transfer transfer;
  transfer.url = url.ToUtf8();
  transfer.headers = {"Accept: */*"};
  transfer.userAgent = userAgent.ToUtf8();
  transfer.proxy = proxy.ToUtf8();
  transfer.maximumBytes = maximumBytes;
  transfer.onlySuccessStatus = true;
  transfer.callback = callback;
  transfer.context = context;
  transfer.useCookies =
      callback && transfer.Notify(request_event::kSendCookies, {.text = &url}) == 1;
  std::string bytes;
  transfer.bytes = &bytes;
  if (!Perform(transfer) || bytes.empty()) {
    return false;
  }
  if (result) {
    *result = Text::FromBytes(bytes);
  }
  return true;
}

bool HttpSession::DownloadToFile(const DownloadRequest& download, int* status) {
  std::lock_guard guard(mutex_);
  if (status) {
    *status = 200;
  }
  // The body goes to a temporary file beside the target; the target is replaced only by a
  // complete download.
  std::optional<FileReplacement> replacement;
  if (!download.filePath.empty()) {
    replacement.emplace(download.filePath, 0644);
  }
  if (!replacement || !replacement->valid()) {
    if (status) {
      *status = http_failure::kFileNotCreated;
    }
    return false;
  }
  Transfer transfer;
  transfer.url = download.url.ToUtf8();
  transfer.headers = HeaderLines(download.extraHeaders);
  transfer.userAgent = download.userAgent.ToUtf8();
  transfer.proxy = download.proxy.ToUtf8();
  transfer.maximumBytes = download.maximumBytes;
  transfer.largestBody = download.largestBody != 0 ? download.largestBody : kLargestDownload;
  transfer.timeoutMilliseconds = download.timeoutMilliseconds;
  transfer.onlySuccessStatus = true;
  transfer.callback = download.callback;
  transfer.context = download.callbackContext;
  transfer.events = Transfer::Events::Download;
  transfer.useCookies = download.callback &&
                        transfer.Notify(download_event::kSendCookies, {.text = &download.url}) == 1;
  transfer.file = replacement->descriptor();

  bool done = Perform(transfer);
  if (status) {
    *status = transfer.failure != 0 ? transfer.failure : transfer.status;
  }
  if (done && !replacement->Commit()) {
    done = false;
    if (status) {
      *status = http_failure::kFileNotCreated;
    }
  }
  if (!done) {
    bool removePartialFile = true;
    transfer.Notify(download_event::kFailed, {.flag = &removePartialFile});
    struct stat existing {};
    if (!removePartialFile && ::lstat(download.filePath.c_str(), &existing) != 0 &&
        errno == ENOENT) {
      // The hook keeps the partial file; it never takes the place of an existing one.
      replacement->Commit();
    }
    return false;
  }
  const Text finalUrl = Text::FromUtf8(transfer.finalUrl);
  transfer.Notify(download_event::kFinalUrl, {.text = &finalUrl});
  transfer.Notify(download_event::kFinished,
                  {.number = static_cast<std::int64_t>(transfer.written)});
  return true;
}

bool HttpSession::FinalUrl(const Text& url, const Text& userAgent, Text* result) {
  std::lock_guard guard(mutex_);
  Transfer transfer;
  transfer.url = url.ToUtf8();
  transfer.headers = {"Accept: */*"};
  transfer.userAgent = userAgent.ToUtf8();
  transfer.useCookies = false;
  transfer.stopAtFinalHeaders = true;
  if (!Perform(transfer) || transfer.finalUrl.empty()) {
    return false;
  }
  if (result) {
    *result = Text::FromUtf8(transfer.finalUrl);
  }
  return true;
}

bool HttpSession::SplitUrl(const Text& url, UrlParts* parts, int defaultPort) {
  std::string text = url.ToUtf8();
  if (text.find("://") == std::string::npos) {
    text.insert(0, "http://");
  }
  const auto parsed = ParseUrl(text);
  if (!parsed) {
    return false;
  }
  const std::optional<std::string> scheme = UrlPart(parsed.get(), CURLUPART_SCHEME);
  const std::optional<std::string> host = UrlPart(parsed.get(), CURLUPART_HOST);
  if (!scheme || !host || host->empty()) {
    return false;
  }
  if (!parts) {
    return true;
  }
  UrlParts split;
  split.scheme = Text::FromUtf8(*scheme);
  split.host = Text::FromUtf8(*host);
  const std::string lowerScheme = ascii_bytes::Lowered(*scheme);
  if (lowerScheme == "http") {
    split.schemeNumber = UrlParts::kSchemeHttp;
  } else if (lowerScheme == "https") {
    split.schemeNumber = UrlParts::kSchemeHttps;
  } else if (lowerScheme == "ftp") {
    split.schemeNumber = UrlParts::kSchemeFtp;
  }
  split.port = defaultPort;
  if (const auto port = UrlPart(parsed.get(), CURLUPART_PORT)) {
    std::from_chars(port->data(), port->data() + port->size(), split.port);
  } else if (split.schemeNumber != UrlParts::kSchemeUnknown) {
    const auto schemePort = UrlPart(parsed.get(), CURLUPART_PORT, CURLU_DEFAULT_PORT);
    if (schemePort) {
      std::from_chars(schemePort->data(), schemePort->data() + schemePort->size(), split.port);
    }
  }
  split.userName = Text::FromUtf8(UrlPart(parsed.get(), CURLUPART_USER).value_or(""));
  split.password = Text::FromUtf8(UrlPart(parsed.get(), CURLUPART_PASSWORD).value_or(""));
  const std::string path = UrlPart(parsed.get(), CURLUPART_PATH).value_or("");
  split.path = Text::FromUtf8(path.empty() ? "/" : path);
  if (const auto query = UrlPart(parsed.get(), CURLUPART_QUERY)) {
    split.extra = Text::FromUtf8("?" + *query);
  }
  if (const auto fragment = UrlPart(parsed.get(), CURLUPART_FRAGMENT)) {
    split.extra.Append(Text::FromUtf8("#" + *fragment));
  }
  *parts = std::move(split);
  return true;
}

bool HttpSession::SetCookie(const Text& url, const Text& cookie, CookieAccess access) {
  const std::optional<CookieUrl> cookieUrl = CookieUrl::Parse(url.ToUtf8());
  return cookieUrl && CookieStore::Shared().Store(*cookieUrl, CookieBytes(cookie),
                                                  CookieOrigin::Program, access);
}

bool HttpSession::SetCookies(const Text& url, const Text& cookies, CookieAccess access) {
  for (const std::u16string_view token : SplitCookieTokens(cookies.view())) {
    Text cookie(token);
    // A list has no attributes of its own: with http-only access each cookie is one.
    if (access == CookieAccess::IncludingHttpOnly) {
      cookie += u"; HttpOnly";
    }
    SetCookie(url, cookie, access);
  }
  return true;
}

bool HttpSession::GetCookies(const Text& url, Text* result, CookieAccess access, const Text& name) {
  if (result) {
    result->clear();
  }
  const std::optional<CookieUrl> cookieUrl = CookieUrl::Parse(url.ToUtf8());
  if (!cookieUrl) {
    return false;
  }
  const Text all = Text::FromBytes(CookieStore::Shared().CookieHeader(*cookieUrl, access));
  if (name.isEmpty() || all.isEmpty()) {
    if (result) {
      *result = all;
    }
    return true;
  }
  for (const std::u16string_view token : SplitCookieTokens(all.view())) {
    const std::size_t equals = token.find(u'=');
    if (equals == std::u16string_view::npos || token.substr(0, equals) != name.view()) {
      continue;
    }
    std::u16string_view value = token.substr(equals + 1);
    if (value.size() >= 2 && value.front() == u'"' && value.back() == u'"') {
      value = value.substr(1, value.size() - 2);
    }
    if (result) {
      *result = Text(value);
    }
    return true;
  }
  return false;
}

bool HttpSession::DeleteCookies(const Text& url, CookieAccess access) {
  const std::optional<CookieUrl> cookieUrl = CookieUrl::Parse(url.ToUtf8());
  if (!cookieUrl) {
    return false;
  }
  CookieStore::Shared().Remove(*cookieUrl, access);
  return true;
}

void HttpSession::AddFormField(const Text& name, const Text& value) {
  std::lock_guard guard(mutex_);
  std::string part = "--";
  part += kMultipartBoundary;
  part += "\r\nContent-Disposition: form-data; name=\"";
  part += name.ToUtf8();
  part += "\"\r\n\r\n";
  part += value.ToUtf8();
  part += "\r\n";
  multipartParts_.push_back(std::move(part));
}

bool HttpSession::AddFormFile(const Text& fieldName, const std::string& filePath) {
  std::lock_guard guard(mutex_);
  const int file = ::open(filePath.c_str(), O_RDONLY | O_CLOEXEC);
  if (file < 0) {
    return false;
  }
  std::string contents;
  struct stat status {};
  bool readable = ::fstat(file, &status) == 0 && S_ISREG(status.st_mode) &&
                  static_cast<std::uint64_t>(status.st_size) <= kLargestFormFile;
  char buffer[65536];
  while (readable) {
    const ssize_t got = ::read(file, buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) {
      continue;
    }
    if (got < 0 ||
        contents.size() + static_cast<std::size_t>(std::max<ssize_t>(got, 0)) > kLargestFormFile) {
      readable = false;
      break;
    }
    if (got == 0) {
      break;
    }
    contents.append(buffer, static_cast<std::size_t>(got));
  }
  ::close(file);
  if (!readable) {
    return false;
  }
  if (fieldName.isEmpty()) {
    multipartParts_.push_back(std::move(contents));
    return true;
  }
  const std::size_t slash = filePath.rfind('/');
  const std::string fileName = slash == std::string::npos ? filePath : filePath.substr(slash + 1);
  std::string header = "--";
  header += kMultipartBoundary;
  header += "\r\nContent-Disposition: form-data; name=\"";
  header += fieldName.ToUtf8();
  header += "\"; filename=\"";
  header += fileName;
  header += "\"\r\nContent-Type: application/octet-stream\r\n\r\n";
  multipartParts_.push_back(std::move(header));
  multipartParts_.push_back(std::move(contents));
  multipartParts_.emplace_back("\r\n");
  return true;
}

bool HttpSession::PostMultipart(const HttpRequest& request, MultipartEnd end, Text* result,
                                int* status) {
  HttpRequest post = request;
  {
    std::lock_guard guard(mutex_);
    if (end == MultipartEnd::Closed) {
      multipartParts_.push_back("--" + std::string(kMultipartBoundary) + "--\r\n");
    }
    std::size_t total = 0;
    for (const std::string& part : multipartParts_) {
      total += part.size();
    }
    post.body.clear();
    post.body.reserve(total);
    for (const std::string& part : multipartParts_) {
      post.body += part;
    }
    multipartParts_.clear();
  }
  std::string headers;
  if (request.extraHeaders.FindCase(u"Content-Type: ") == Text::kNotFound) {
    headers = "Content-Type: multipart/form-data; boundary=" + std::string(kMultipartBoundary);
  }
  post.extraHeaders = Text::FromUtf8(headers);
  if (!request.extraHeaders.isEmpty()) {
    post.extraHeaders.Append(u"\r\n");
    post.extraHeaders.Append(request.extraHeaders.view());
  }
  post.verb = u"POST";
  return Request(post, result, status);
}

}  // namespace tarvel
