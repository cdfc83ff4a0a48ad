#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/cookie_store.h"
#include "platform/text.h"

namespace tarvel {

// The service of a request: plain HTTP, or HTTP over TLS. (FTP, 1, has no caller and is
// refused.)
enum class ServiceKind : int {
  Http = 3,
  Https = 1000,
};

// What a `RequestEvent` hook is given: a number, or a text, or a flag it may change.
struct RequestEventValue {
  std::int64_t number = 0;
  const Text* text = nullptr;
  bool* flag = nullptr;
};

// Optional hook of a request: (event, value, context) -> answer. For the events that can stop
// a request, the answer 0 stops it.
using RequestEvent = std::int64_t (*)(int event, const RequestEventValue& value, void* context);

// Events of Request, PostMultipart and GetUrl. The ones that hand out handles of the old
// Windows interface (7, 8, 11, 12, 13: header entry point, browser session end, body to a file,
// certificate-ignoring flags, raw byte buffer) have no counterpart here and are never sent;
// certificates are always verified.
namespace request_event {
inline constexpr int kBeforeSend = 0;         // number: upload size; 0 aborts
inline constexpr int kUploadProgress = 1;     // number: bytes sent so far; 0 aborts
inline constexpr int kContentLength = 2;      // number: Content-Length (-1 unknown); 0 aborts
inline constexpr int kContentLengthText = 3;  // text: the same as text; 0 aborts
inline constexpr int kSetCookieHeader = 4;    // text: one Set-Cookie header; 0 aborts
inline constexpr int kBytesRead = 5;          // number: body bytes so far; 0 stops reading
inline constexpr int kReadFinished = 6;       // number 0; the answer is ignored
inline constexpr int kSendCookies = 9;        // text: the object; Request: 0 = no cookies,
                                              // GetUrl: 1 = with cookies
inline constexpr int kFollowRedirects = 10;   // text: the object; 0 = redirects not followed
}  // namespace request_event

// Events of DownloadToFile (events 0, 1, 2 and 8 of the old interface, about the disposition,
// the content type, resuming and each 1,024-byte piece, are not sent).
namespace download_event {
inline constexpr int kFailed = 3;             // flag: delete the partial file (set)
inline constexpr int kContentLength = 4;      // number: Content-Length (-1 unknown)
inline constexpr int kContentLengthText = 5;  // text
inline constexpr int kFinalUrl = 6;           // text: the address after redirects
inline constexpr int kBytesSoFar = 7;         // number; 0 aborts
inline constexpr int kFinished = 9;           // number: bytes written
inline constexpr int kSendCookies = 10;       // text: the url; 1 = with cookies
}  // namespace download_event

// Status values written to a status out argument when no HTTP status was obtained. They keep
// the numbers of the old interface's errors, so callers can tell them from HTTP statuses.
namespace http_failure {
inline constexpr int kFileNotCreated = 999;
inline constexpr int kTimeout = 12002;
inline constexpr int kInternalError = 12004;
inline constexpr int kInvalidUrl = 12005;
inline constexpr int kUnrecognizedScheme = 12006;
inline constexpr int kNameNotResolved = 12007;
inline constexpr int kCancelled = 12017;
inline constexpr int kCannotConnect = 12029;
inline constexpr int kConnectionAborted = 12030;
inline constexpr int kCertificateDateInvalid = 12037;
inline constexpr int kCertificateNameInvalid = 12038;
inline constexpr int kCertificateAuthorityInvalid = 12045;
inline constexpr int kInvalidServerResponse = 12152;
inline constexpr int kRedirectFailed = 12156;
inline constexpr int kSecureChannelError = 12157;
inline constexpr int kDecodingFailed = 12175;
}  // namespace http_failure

// The arguments of Request, as its callers use them.
struct HttpRequest {
  static constexpr std::uint32_t kTimeoutNone = 0xFFFFFFFF;

  Text server;  // host name
  Text object;  // path and query
  Text userAgent;
  std::uint64_t maximumBytes = 0;  // reading stops here; 0 = no limit of the caller's own
  std::uint64_t largestBody = 0;   // a longer answer fails; 0 = HttpSession::kLargestBody
  Text userName;  // the server's HTTP authentication (Basic, Digest, NTLM, Negotiate)
  Text password;
  Text proxyUserName;
  Text proxyPassword;
  int port = 80;  // 443 turns TLS on
  ServiceKind serviceKind = ServiceKind::Http;
  Text verb;          // empty = GET
  Text extraHeaders;  // lines separated by "\r\n"
  std::string body;   // bytes as sent
  RequestEvent callback = nullptr;
  void* callbackContext = nullptr;
  Text proxy;  // empty = the environment's proxy settings
  // The total time of the request, redirects included; "none" is the default total.
  std::uint32_t timeoutMilliseconds = kTimeoutNone;
};

// The arguments of DownloadToFile.
struct DownloadRequest {
  Text url;
  Text userAgent;
  std::string filePath;
  std::uint64_t maximumBytes = 0;
  std::uint64_t largestBody = 0;  // a longer answer fails; 0 = HttpSession::kLargestDownload
  RequestEvent callback = nullptr;
  void* callbackContext = nullptr;
  Text extraHeaders;
  std::uint32_t timeoutMilliseconds = HttpRequest::kTimeoutNone;
  Text proxy;
};

// The parts of an address, as SplitUrl gives them.
struct UrlParts {
  // Scheme numbers of the old interface.
  static constexpr int kSchemeUnknown = -1;
  static constexpr int kSchemeFtp = 1;
  static constexpr int kSchemeHttp = 3;
  static constexpr int kSchemeHttps = 4;

  Text scheme;
  Text host;
  int port = 0;
  Text userName;
  Text password;
  Text path;   // "/" when the address has none
  Text extra;  // "?query" and "#fragment" as given
  int schemeNumber = kSchemeUnknown;
};

// Whether PostMultipart ends the body with the closing boundary.
enum class MultipartEnd {
  Open,
  Closed,
};

// The program's one HTTP client, over libcurl: synchronous calls, one request each. Response
// bodies are handed over with every byte widened to one code unit of the same value (zero
// bytes are left out, as Text never holds them); compressed bodies arrive decoded.
//
// Cookies are not kept in the object: requests send and fill the per-user CookieStore shared
// by the whole program. Redirects are followed here, hop by hop, so each hop sends and stores
// the cookies of its own address, and credentials never go to another origin (scheme, host
// and port): neither the user name and password nor the caller's own "Authorization",
// "Cookie" and "Proxy-Authorization" header lines.
//
// Certificates are verified against the system store plus the extra authorities of
// network_settings.h, and every request is bounded by the connect, stall and total time-outs
// there. A stop signal handed over by the session's owner (the check thread's stop request)
// ends a running request within about a second, with the status http_failure::kCancelled.
//
// One object runs one request at a time (calls from two threads wait for each other); it
// keeps its libcurl handle between calls so that connections, name lookups and TLS sessions
// are reused, while everything a request sets is reset before the next.
class HttpSession {
 public:
  // Largest body of Request and GetUrl when the caller sets no limit; a larger answer fails.
  static constexpr std::uint64_t kLargestBody = 16ull * 1024 * 1024;
  // Largest file of DownloadToFile when the caller sets no limit.
  static constexpr std::uint64_t kLargestDownload = 256ull * 1024 * 1024;
  static constexpr int kMaximumRedirects = 20;
  // A file given to AddFormFile may not be larger.
  static constexpr std::uint64_t kLargestFormFile = 256ull * 1024 * 1024;

  HttpSession();
  ~HttpSession();
  HttpSession(const HttpSession&) = delete;
  HttpSession& operator=(const HttpSession&) = delete;

  // The flag that asks every request of this session to end (null: none). It must outlive
  // the session or be replaced first; a request started while it is set fails at once.
  void SetStopSignal(const std::atomic<bool>* signal) { stopSignal_.store(signal); }

  // One request. True when the answer was read to its end (or up to the maximum), whatever
  // its HTTP status; `status` receives the HTTP status, or an http_failure value.
  bool Request(const HttpRequest& request, Text* result, int* status);

  // One GET of a whole address with "Accept: */*", without cookies unless the hook answers 1
  // to kSendCookies. Only a 200 or 206 answer is read; true when it held at least one byte.
  bool GetUrl(const Text& url, const Text& userAgent, Text* result, std::uint64_t maximumBytes = 0,
              const Text& proxy = {}, RequestEvent callback = nullptr, void* context = nullptr);

  // GET of a whole address into a file (created, or replaced). Only 200 and 206 are
  // accepted. The body goes to a temporary file beside the target, which takes the target's
  // place only when the download succeeded: a failed download leaves an existing file as it
  // was (a hook that keeps the partial file gets it only where there was no file). A file
  // that cannot be created gives the status http_failure::kFileNotCreated.
  bool DownloadToFile(const DownloadRequest& download, int* status);

  // The address reached after all redirects of a GET, without reading the body.
  bool FinalUrl(const Text& url, const Text& userAgent, Text* result);

  // Splits an address; one without "://" is read as if it began with "http://". A missing
  // path is "/"; a missing port is the scheme's (80, 443, 21), else `defaultPort`.
  // False when the address cannot be split (`parts` is then left untouched).
  static bool SplitUrl(const Text& url, UrlParts* parts, int defaultPort);

  // Stores a cookie text (a Set-Cookie value) for an address. Without http-only access the
  // text can neither set nor replace an http-only cookie.
  bool SetCookie(const Text& url, const Text& cookie, CookieAccess access);
  // Stores each ";"-separated "name=value" token of a list (quoted tokens kept whole); with
  // http-only access every one of them is stored as an http-only cookie.
  bool SetCookies(const Text& url, const Text& cookies, CookieAccess access);
  // The cookies the address would receive ("a=1; b=2"), or with a name the value of that
  // cookie (quotes removed). No cookie at all: true and empty; a name not in a non-empty list:
  // false.
  bool GetCookies(const Text& url, Text* result, CookieAccess access, const Text& name = {});
  // Removes every cookie the address would receive (http-only ones only with that access).
  bool DeleteCookies(const Text& url, CookieAccess access);

  // Parts of the next PostMultipart, in order.
  void AddFormField(const Text& name, const Text& value);
  bool AddFormFile(const Text& fieldName, const std::string& filePath);
  // POST of the collected parts as multipart/form-data (verb and body of `request` are not
  // used; its extra headers are added). The user name and password sign in as with Request,
  // at the origin only. The parts are emptied afterwards.
  bool PostMultipart(const HttpRequest& request, MultipartEnd end, Text* result, int* status);

 private:
  struct Transfer;
  bool Perform(Transfer& transfer);
  bool PerformHop(Transfer& transfer, const std::string& url, bool withCredentials);

  std::mutex mutex_;
  std::atomic<const std::atomic<bool>*> stopSignal_{nullptr};
  std::unique_ptr<void, void (*)(void*)> handle_;
  std::vector<std::string> multipartParts_;

 public:
  // A libcurl list read from an environment variable (the address tables of tests).
  struct EnvironmentList {
    std::string source;
    std::unique_ptr<void, void (*)(void*)> list{nullptr, &FreeEnvironmentList};
  };

 private:
  static void FreeEnvironmentList(void* list);
  EnvironmentList connectTo_;
  EnvironmentList resolve_;
};

}  // namespace tarvel
