#include "engines/protocol/oauth_authorizer.h"

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <span>
#include <utility>
#include <vector>

#include "accounts/protected_text.h"
#include "accounts/settings_store.h"
#include "engines/protocol/loopback_redirect.h"
#include "maintenance/diagnostic_trace.h"
#include "platform/base64.h"
#include "platform/clock.h"
#include "platform/http_session.h"
#include "platform/json_document.h"

#ifndef TARVEL_OAUTH_MICROSOFT_CLIENT_ID
#define TARVEL_OAUTH_MICROSOFT_CLIENT_ID ""
#endif
#ifndef TARVEL_OAUTH_MICROSOFT_CLIENT_SECRET
#define TARVEL_OAUTH_MICROSOFT_CLIENT_SECRET ""
#endif
#ifndef TARVEL_OAUTH_GOOGLE_CLIENT_ID
#define TARVEL_OAUTH_GOOGLE_CLIENT_ID ""
#endif
#ifndef TARVEL_OAUTH_GOOGLE_CLIENT_SECRET
#define TARVEL_OAUTH_GOOGLE_CLIENT_SECRET ""
#endif
#ifndef TARVEL_OAUTH_YANDEX_CLIENT_ID
#define TARVEL_OAUTH_YANDEX_CLIENT_ID ""
#endif
#ifndef TARVEL_OAUTH_YANDEX_CLIENT_SECRET
#define TARVEL_OAUTH_YANDEX_CLIENT_SECRET ""
#endif

namespace tarvel {
namespace {

constexpr OAuthEndpoints kNoEndpoints{};
constexpr OAuthEndpoints kMicrosoft{
    "outlook.office365.com:993",
    "login.microsoftonline.com",
    "/common/oauth2/v2.0/authorize",
    "login.microsoftonline.com",
    "/common/oauth2/v2.0/token",
    "/common/oauth2/v2.0/devicecode",
    "https://outlook.office.com/IMAP.AccessAsUser.All offline_access",
    "&response_mode=query",
};
// Google gives a refresh token only to an offline request, and only at a consent.
constexpr OAuthEndpoints kGoogle{
    "imap.gmail.com:993",
    "accounts.google.com",
    "/o/oauth2/v2/auth",
    "oauth2.googleapis.com",
    "/token",
    "",
    "https://mail.google.com/",
    "&access_type=offline&prompt=consent",
};
constexpr OAuthEndpoints kYandex{
    "imap.yandex.com:993",
    "oauth.yandex.com",
    "/authorize",
    "oauth.yandex.com",
    "/token",
    "",
    "mail:imap_full",
    "",
};

constexpr std::size_t kVerifierLength = 64;
constexpr std::size_t kStateBytes = 24;
constexpr std::string_view kUnreserved =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-._~";

std::string_view ProviderName(OAuthProvider provider) {
  switch (provider) {
    case OAuthProvider::Microsoft:
      return "Microsoft";
    case OAuthProvider::Google:
      return "Google";
    case OAuthProvider::Yandex:
      return "Yandex";
    case OAuthProvider::None:
      break;
  }
  return "";
}

std::string Base64Url(std::string_view bytes) {
  std::string text = EncodeBase64(bytes);
  std::erase(text, '=');
  std::replace(text.begin(), text.end(), '+', '-');
  std::replace(text.begin(), text.end(), '/', '_');
  return text;
}

std::string RandomState() {
  std::array<uint8_t, kStateBytes> bytes{};
  if (!RandomBytes(std::span<uint8_t>(bytes)))
    return {};
  return Base64Url(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
}

int HexValue(char c) {
  if (c >= '0' && c <= '9')
    return c - '0';
  if (c >= 'a' && c <= 'f')
    return c - 'a' + 10;
  if (c >= 'A' && c <= 'F')
    return c - 'A' + 10;
  return -1;
}

std::string PercentDecode(std::string_view text) {
  std::string decoded;
  decoded.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '+') {
      decoded.push_back(' ');
    } else if (text[i] == '%' && i + 2 < text.size() && HexValue(text[i + 1]) >= 0 &&
               HexValue(text[i + 2]) >= 0) {
      decoded.push_back(static_cast<char>(HexValue(text[i + 1]) * 16 + HexValue(text[i + 2])));
      i += 2;
    } else {
      decoded.push_back(text[i]);
    }
  }
  return decoded;
}

// A JSON string member as bytes ("" when missing or not a scalar).
std::string MemberText(const JsonNode* object, std::u16string_view name) {
  const JsonNode* node = JsonDocument::member(JsonDocument::child(object), name);
  if (!node || node->kind != JsonKind::Value)
    return {};
  std::string bytes;
  bytes.reserve(node->value.size());
  for (char16_t unit : node->value)
    bytes.push_back(static_cast<char>(unit & 0xFF));
  return bytes;
}

// A whole number of seconds as milliseconds, bounded; `fallback` when missing or malformed.
uint32_t SecondsMember(const JsonNode* object, std::u16string_view name, uint32_t fallback,
                       uint32_t largest) {
  const std::string text = MemberText(object, name);
  uint64_t seconds = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), seconds);
  if (text.empty() || error != std::errc() || end != text.data() + text.size())
    return fallback;
  return static_cast<uint32_t>(std::min<uint64_t>(seconds * 1000, largest));
}

// A value fit for a trace line: printable ASCII, bounded.
std::string Printable(std::string_view text) {
  std::string shown;
  for (char c : text.substr(0, 120))
    shown.push_back(c >= 0x20 && c < 0x7F ? c : '?');
  return shown;
}

}  // namespace

OAuthProvider ProviderForServer(const Text& server) {
  for (OAuthProvider provider :
       {OAuthProvider::Microsoft, OAuthProvider::Google, OAuthProvider::Yandex}) {
    const Text host = Text::FromUtf8(EndpointsFor(provider).imapServer);
    if (Text::CompareNoCase(server.view(), host.view()) == 0)
      return provider;
  }
  return OAuthProvider::None;
}

const OAuthEndpoints& EndpointsFor(OAuthProvider provider) {
  switch (provider) {
    case OAuthProvider::Microsoft:
      return kMicrosoft;
    case OAuthProvider::Google:
      return kGoogle;
    case OAuthProvider::Yandex:
      return kYandex;
    case OAuthProvider::None:
      break;
  }
  return kNoEndpoints;
}

bool IsExpectedIssuer(OAuthProvider provider, std::string_view issuer) {
  switch (provider) {
    case OAuthProvider::Google:
      return issuer == "https://accounts.google.com";
    case OAuthProvider::Yandex:
      return issuer == "https://oauth.yandex.com";
    case OAuthProvider::Microsoft: {
      constexpr std::string_view kHost = "https://login.microsoftonline.com";
      constexpr std::string_view kVersion = "/v2.0";
      if (issuer == kHost)
        return true;
      if (!issuer.starts_with(kHost) || !issuer.ends_with(kVersion) ||
          issuer.size() < kHost.size() + 1 + 1 + kVersion.size() || issuer[kHost.size()] != '/')
        return false;
      const std::string_view tenant =
          issuer.substr(kHost.size() + 1, issuer.size() - kHost.size() - 1 - kVersion.size());
      return tenant.size() <= 256 && std::all_of(tenant.begin(), tenant.end(), [](char c) {
               return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                      c == '-' || c == '.';
             });
    }
    case OAuthProvider::None:
      break;
  }
  return false;
}

std::u16string ClientIdValueName(OAuthProvider provider) {
  return u"OAuth2ClientId" + Text::FromUtf8(ProviderName(provider)).units();
}

std::u16string ClientSecretValueName(OAuthProvider provider) {
  return u"OAuth2ClientSecret" + Text::FromUtf8(ProviderName(provider)).units();
}

OAuthClient ClientFor(OAuthProvider provider, const SettingsStore* store) {
  OAuthClient client;
  switch (provider) {
    case OAuthProvider::Microsoft:
      client = {TARVEL_OAUTH_MICROSOFT_CLIENT_ID, TARVEL_OAUTH_MICROSOFT_CLIENT_SECRET};
      break;
    case OAuthProvider::Google:
      client = {TARVEL_OAUTH_GOOGLE_CLIENT_ID, TARVEL_OAUTH_GOOGLE_CLIENT_SECRET};
      break;
    case OAuthProvider::Yandex:
      client = {TARVEL_OAUTH_YANDEX_CLIENT_ID, TARVEL_OAUTH_YANDEX_CLIENT_SECRET};
      break;
    case OAuthProvider::None:
      return client;
  }
  if (store) {
    Text value;
    if (store->readText(ClientIdValueName(provider), value, u"") && !value.isEmpty()) {
      client.clientId = value.ToUtf8();
      // An organisation's own registration: its secret, possibly none.
      Text secret;
      store->readText(ClientSecretValueName(provider), secret, u"");
      client.clientSecret = secret.ToUtf8();
    }
  }
  return client;
}

std::string MakeCodeVerifier() {
  // The alphabet has 66 characters; bytes at or above the largest multiple of it are drawn
  // again, so every character is equally likely.
  constexpr unsigned kLimit = 256 - 256 % kUnreserved.size();
  std::string verifier;
  while (verifier.size() < kVerifierLength) {
    std::array<uint8_t, kVerifierLength> bytes{};
    if (!RandomBytes(std::span<uint8_t>(bytes)))
      return {};
    for (uint8_t byte : bytes) {
      if (byte < kLimit && verifier.size() < kVerifierLength)
        verifier.push_back(kUnreserved[byte % kUnreserved.size()]);
    }
  }
  return verifier;
}

std::string CodeChallengeS256(std::string_view verifier) {
  const std::optional<std::string> digest = HashData(HashAlgorithm::Sha256, verifier);
  return digest ? Base64Url(*digest) : std::string();
}

std::string FormEncode(std::string_view value) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string encoded;
  encoded.reserve(value.size() * 3);
  for (char c : value) {
    if (kUnreserved.find(c) != std::string_view::npos) {
      encoded.push_back(c);
    } else {
      const auto byte = static_cast<unsigned char>(c);
      encoded.push_back('%');
      encoded.push_back(kHex[byte >> 4]);
      encoded.push_back(kHex[byte & 0x0F]);
    }
  }
  return encoded;
}

bool QueryParameter(std::string_view address, std::string_view name, std::string& value) {
  std::size_t start = address.find('?');
  if (start == std::string_view::npos)
    return false;
  std::string_view query = address.substr(start + 1);
  query = query.substr(0, query.find('#'));
  while (!query.empty()) {
    const std::size_t end = query.find('&');
    const std::string_view pair = query.substr(0, end);
    const std::size_t equals = pair.find('=');
    if (PercentDecode(pair.substr(0, equals)) == name) {
      value =
          equals == std::string_view::npos ? std::string() : PercentDecode(pair.substr(equals + 1));
      return true;
    }
    if (end == std::string_view::npos)
      break;
    query.remove_prefix(end + 1);
  }
  return false;
}

OAuthAuthorizer::OAuthAuthorizer(HttpSession& http, Clock& clock, SettingsStore* store,
                                 DiagnosticTrace* trace)
    : http_(http), clock_(clock), store_(store), trace_(trace) {}

void OAuthAuthorizer::Note(const ImapEngine& engine, std::string_view line) {
  if (engine.slot() < kImapSlotCount) {
    const std::lock_guard<std::mutex> guard(noteLock_);
    lastNotes_[engine.slot()] = std::string(line);
  }
  if (trace_)
    trace_->Record("OAuth2 IMAP" + std::to_string(engine.slot() + 1) + ": " + std::string(line));
}

std::string OAuthAuthorizer::LastNote(uint32_t slot) const {
  if (slot >= kImapSlotCount)
    return {};
  const std::lock_guard<std::mutex> guard(noteLock_);
  return lastNotes_[slot];
}

OAuthAuthorizer::Answer OAuthAuthorizer::PostForm(OAuthProvider provider, std::string_view path,
                                                  const std::string& body, std::string_view what) {
  const OAuthEndpoints& endpoints = EndpointsFor(provider);
  HttpRequest request;
  request.server = Text::FromUtf8(endpoints.tokenHost);
  request.object = Text::FromUtf8(path);
  request.port = 443;
  request.serviceKind = ServiceKind::Https;
  request.verb = u"POST";
  request.extraHeaders =
      u"Content-Type: application/x-www-form-urlencoded\r\nAccept: application/json";
  request.body = body;
  request.largestBody = kLargestAnswer;
  request.timeoutMilliseconds = kRequestTimeoutMs;
  Text result;
  int status = 0;
  bool read = false;
  {
    const std::lock_guard<std::mutex> guard(httpLock_);
    read = http_.Request(request, &result, &status);
  }
  Answer answer;
  answer.httpStatus = status;
  const std::string where = std::string(what) + " at " + std::string(endpoints.tokenHost);
  if (!read) {
    // The client's code for an answer it would not take whole: too long, or malformed.
    answer.failure =
        status == http_failure::kInvalidServerResponse
            ? "the " + where + " gave no usable answer of at most " +
                  std::to_string(kLargestAnswer) + " bytes"
            : "the " + where + " could not be reached (" + std::to_string(status) + ")";
    return answer;
  }
  answer.transported = true;
  const std::string bytes = result.ToBytes();
  if (bytes.size() > kLargestAnswer) {
    answer.failure =
        "the " + where + " answered with more than " + std::to_string(kLargestAnswer) + " bytes";
    return answer;
  }
  if (!answer.document->parse(bytes) ||
      !JsonDocument::firstOfKind(answer.document->root(), JsonKind::Object) ||
      answer.document->root()->kind != JsonKind::Object) {
    answer.failure =
        "the " + where + " did not answer with a JSON object (HTTP " + std::to_string(status) + ")";
    return answer;
  }
  answer.json = true;
  answer.object = answer.document->root();
  answer.error = MemberText(answer.object, u"error");
  if (!answer.error.empty()) {
    answer.failure = "the " + where + " refused: " + Printable(answer.error);
    const std::string description = MemberText(answer.object, u"error_description");
    if (!description.empty())
      answer.failure += " (" + Printable(description) + ")";
  } else if (status < 200 || status > 299) {
    answer.failure = "the " + where + " answered HTTP " + std::to_string(status);
  }
  return answer;
}

AuthorizationStart OAuthAuthorizer::BeginAuthorization(const ImapEngine& engine,
                                                       const Text& redirectUri) {
  AuthorizationStart start;
  const ImapAccountSettings account = engine.settings();
  const OAuthProvider provider = ProviderForServer(account.server);
  const OAuthEndpoints& endpoints = EndpointsFor(provider);
  auto fail = [&](const std::string& why) {
    Note(engine, why);
    start.status = TokenStatus::Failed;
    start.failure = Text::FromUtf8(why);
    return start;
  };
  if (provider == OAuthProvider::None)
    return fail("the server " + Printable(account.server.ToUtf8()) +
                " belongs to no OAuth2 provider; use its IMAP host with port 993");
  if (account.authMethod == static_cast<uint32_t>(ImapAuthMethod::Password))
    return fail("the account signs in with a password");
  const OAuthClient client = ClientFor(provider, store_);
  if (client.clientId.empty())
    return fail("no client registration for " + std::string(ProviderName(provider)) + "; set " +
                "OAuth2ClientId" + std::string(ProviderName(provider)) + " in the settings");

  Pending pending;
  pending.provider = provider;
  pending.method = account.authMethod;
  const bool deviceFlow =
      provider == OAuthProvider::Microsoft &&
      account.authMethod == static_cast<uint32_t>(ImapAuthMethod::OAuth2DeviceCode);
  if (deviceFlow) {
    const std::string body =
        "scope=" + FormEncode(endpoints.scope) + "&client_id=" + FormEncode(client.clientId);
    const Answer answer =
        PostForm(provider, endpoints.deviceAuthorizationPath, body, "device authorisation");
    if (!answer.failure.empty())
      return fail(answer.failure);
    // RFC 8628 names it verification_uri; some providers write verification_url.
    std::string verification = MemberText(answer.object, u"verification_uri");
    if (verification.empty())
      verification = MemberText(answer.object, u"verification_url");
    pending.deviceCode = MemberText(answer.object, u"device_code");
    const std::string userCode = MemberText(answer.object, u"user_code");
    if (verification.empty())
      return fail("the device authorisation answer has no verification_uri");
    if (!verification.starts_with("https://"))
      return fail("the device authorisation answer's verification_uri is not an https address");
    if (pending.deviceCode.empty() || userCode.empty())
      return fail("the device authorisation answer has no device_code or user_code");
    pending.intervalMs = std::max<uint32_t>(
        1000, SecondsMember(answer.object, u"interval", kDefaultIntervalMs, kLongestIntervalMs));
    pending.deviceDeadline =
        clock_.MonotonicMilliseconds() +
        SecondsMember(answer.object, u"expires_in", kLongestDeviceLifeMs, kLongestDeviceLifeMs);
    start.address = Text::FromUtf8(verification);
    start.userCode = Text::FromUtf8(userCode);
    start.message = Text::FromUtf8(MemberText(answer.object, u"message"));
    // Only a code of letters, digits and "-" goes into the page's script.
    if (std::all_of(userCode.begin(), userCode.end(), [](char c) {
          return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
                 c == '-';
        }))
      start.script = Text::FromUtf8(
          "if (document.getElementById('otc')) document.getElementById('otc').value='" + userCode +
          "';");
  } else {
    pending.codeVerifier = MakeCodeVerifier();
    pending.state = RandomState();
    if (pending.codeVerifier.empty() || pending.state.empty())
      return fail("the system's random source failed");
    pending.redirectUri = redirectUri.ToUtf8();
    start.address = Text::FromUtf8(
        "https://" + std::string(endpoints.authorizationHost) +
        std::string(endpoints.authorizationPath) + "?client_id=" + FormEncode(client.clientId) +
        "&response_type=code&redirect_uri=" + FormEncode(pending.redirectUri) +
        "&scope=" + FormEncode(endpoints.scope) + "&state=" + pending.state +
        "&code_challenge=" + CodeChallengeS256(pending.codeVerifier) +
        "&code_challenge_method=S256" + std::string(endpoints.extraAuthorizationQuery));
  }
  {
    const std::lock_guard<std::mutex> guard(pendingLock_);
    pending_[engine.slot()] = std::move(pending);
  }
  start.status = TokenStatus::Ready;
  return start;
}

TokenStatus OAuthAuthorizer::CompleteAuthorization(ImapEngine& engine, const Text& address,
                                                   std::stop_token stop) {
  Pending pending;
  {
    const std::lock_guard<std::mutex> guard(pendingLock_);
    pending = pending_[engine.slot()];
  }
  if (pending.provider == OAuthProvider::None) {
    Note(engine, "a sign-in answer arrived, but no sign-in was started");
    return TokenStatus::SignInNeeded;
  }
  if (!pending.deviceCode.empty())
    return PollDeviceToken(engine, std::move(pending), stop);

  const std::string redirect = address.ToUtf8();
  std::string value;
  std::string issuer;
  if (QueryParameter(redirect, "iss", issuer) && !IsExpectedIssuer(pending.provider, issuer)) {
    // Another authorisation server answered (a mix-up, RFC 9207): its code is never sent to
    // this provider's token endpoint. When the answer carries this sign-in's state, the
    // sign-in is over; otherwise it is not ours and the sign-in stays open.
    std::string state;
    if (QueryParameter(redirect, "state", state) && state == pending.state) {
      const std::lock_guard<std::mutex> guard(pendingLock_);
      pending_[engine.slot()] = Pending();
    }
    Note(engine, "a sign-in answer from the issuer " + Printable(issuer) + ", not from " +
                     std::string(ProviderName(pending.provider)) + ", was refused");
    return TokenStatus::SignInNeeded;
  }
  if (QueryParameter(redirect, "error", value)) {
    Note(engine, "the provider ended the sign-in with the error " + Printable(value));
    const std::lock_guard<std::mutex> guard(pendingLock_);
    pending_[engine.slot()] = Pending();
    return TokenStatus::SignInNeeded;
  }
  std::string state;
  if (!QueryParameter(redirect, "state", state) || state != pending.state) {
    // Not the answer to our request (RFC 6749, 10.12): ignored, the sign-in stays open.
    Note(engine, "a sign-in answer with another state was ignored");
    return TokenStatus::SignInNeeded;
  }
  std::string code;
  if (!QueryParameter(redirect, "code", code) || code.empty()) {
    Note(engine, "the sign-in answer holds no authorisation code");
    return TokenStatus::SignInNeeded;
  }
  {
    // One answer per sign-in.
    const std::lock_guard<std::mutex> guard(pendingLock_);
    pending_[engine.slot()] = Pending();
  }
  return ExchangeCode(engine, pending, code);
}

TokenStatus OAuthAuthorizer::ExchangeCode(ImapEngine& engine, const Pending& pending,
                                          const std::string& code) {
  const OAuthClient client = ClientFor(pending.provider, store_);
  std::string body =
      "grant_type=authorization_code&redirect_uri=" + FormEncode(pending.redirectUri) +
      "&client_id=" + FormEncode(client.clientId);
  if (!client.clientSecret.empty())
    body += "&client_secret=" + FormEncode(client.clientSecret);
  body += "&code=" + FormEncode(code) + "&code_verifier=" + FormEncode(pending.codeVerifier);
  const std::lock_guard<std::mutex> tokens(tokenLocks_[engine.slot()]);
  const Answer answer =
      PostForm(pending.provider, EndpointsFor(pending.provider).tokenPath, body, "code exchange");
  return TakeTokens(engine, answer, "sign-in");
}

TokenStatus OAuthAuthorizer::PollDeviceToken(ImapEngine& engine, Pending pending,
                                             std::stop_token stop) {
  const OAuthClient client = ClientFor(pending.provider, store_);
  const std::string body =
      "grant_type=" + FormEncode("urn:ietf:params:oauth:grant-type:device_code") +
      "&client_id=" + FormEncode(client.clientId) +
      "&device_code=" + FormEncode(pending.deviceCode);
  uint32_t interval = pending.intervalMs;
  std::string lastFailure;
  auto forget = [&] {
    const std::lock_guard<std::mutex> guard(pendingLock_);
    if (pending_[engine.slot()].deviceCode == pending.deviceCode)
      pending_[engine.slot()] = Pending();
  };
  for (;;) {
    if (stop.stop_requested()) {
      Note(engine, "the device sign-in was cancelled");
      return TokenStatus::SignInNeeded;
    }
    if (clock_.MonotonicMilliseconds() >= pending.deviceDeadline) {
      forget();
      Note(engine, "the device code expired before the sign-in was approved" +
                       (lastFailure.empty() ? std::string() : "; last: " + lastFailure));
      return TokenStatus::SignInNeeded;
    }
    Answer answer;
    {
      const std::lock_guard<std::mutex> tokens(tokenLocks_[engine.slot()]);
      answer = PostForm(pending.provider, EndpointsFor(pending.provider).tokenPath, body,
                        "device token request");
      if (answer.failure.empty()) {
        forget();
        return TakeTokens(engine, answer, "device sign-in");
      }
    }
    if (answer.error == "slow_down") {
      interval = std::min(interval + kSlowDownStepMs, kLongestIntervalMs);
    } else if (answer.error == "authorization_pending") {
      // The user has not answered yet.
    } else if (answer.json && !answer.error.empty()) {
      // access_denied, expired_token, or any other refusal: this device code is spent.
      forget();
      Note(engine, answer.failure);
      return TokenStatus::SignInNeeded;
    } else {
      // No answer, or not one we can read: asked again at the next interval.
      lastFailure = answer.failure;
    }
    // The pause in short steps, so that a stop ends it soon.
    const uint64_t until = clock_.MonotonicMilliseconds() + interval;
    while (!stop.stop_requested()) {
      const uint64_t now = clock_.MonotonicMilliseconds();
      if (now >= until)
        break;
      clock_.SleepFor(static_cast<uint32_t>(std::min<uint64_t>(until - now, 250)));
    }
  }
}

TokenStatus OAuthAuthorizer::TakeTokens(ImapEngine& engine, const Answer& answer,
                                        std::string_view what) {
  if (!answer.failure.empty()) {
    Note(engine, answer.failure);
    return TokenStatus::Failed;
  }
  const std::string accessToken = MemberText(answer.object, u"access_token");
  const std::string refreshToken = MemberText(answer.object, u"refresh_token");
  if (accessToken.empty()) {
    Note(engine, "the answer to the " + std::string(what) + " holds no access_token");
    return TokenStatus::Failed;
  }
  engine.SetAccessToken(Text::FromUtf8(accessToken));
  // A provider that gives no new refresh token at a refresh keeps the old one valid.
  if (!refreshToken.empty())
    engine.StoreRefreshToken(Text::FromUtf8(refreshToken));
  Note(engine, "the " + std::string(what) + " gave a new access token");
  return TokenStatus::Ready;
}

TokenStatus OAuthAuthorizer::RefreshAccessToken(ImapEngine& engine) {
  const std::lock_guard<std::mutex> tokens(tokenLocks_[engine.slot()]);
  const ImapAccountSettings account = engine.settings();
  const OAuthProvider provider = ProviderForServer(account.server);
  if (provider == OAuthProvider::None) {
    Note(engine,
         "the server " + Printable(account.server.ToUtf8()) + " belongs to no OAuth2 provider");
    return TokenStatus::SignInNeeded;
  }
  if (account.refreshToken.isEmpty())
    return TokenStatus::SignInNeeded;
  const OAuthClient client = ClientFor(provider, store_);
  std::string body = "grant_type=refresh_token&client_id=" + FormEncode(client.clientId);
  const bool deviceFlow =
      provider == OAuthProvider::Microsoft &&
      account.authMethod == static_cast<uint32_t>(ImapAuthMethod::OAuth2DeviceCode);
  if (!deviceFlow && !client.clientSecret.empty())
    body += "&client_secret=" + FormEncode(client.clientSecret);
  body += "&refresh_token=" + FormEncode(account.refreshToken.ToUtf8());
  const Answer answer = PostForm(provider, EndpointsFor(provider).tokenPath, body, "refresh");
  if (answer.error == "invalid_grant") {
    // The provider no longer honours this sign-in (revoked, expired, password changed).
    Note(engine, answer.failure + "; the stored sign-in is forgotten");
    engine.SetAccessToken(Text());
    engine.ClearRefreshToken();
    return TokenStatus::SignInNeeded;
  }
  return TakeTokens(engine, answer, "refresh");
}

TokenStatus SignInWithBrowser(OAuthAuthorizer& authorizer, ImapEngine& engine,
                              const std::function<bool(const std::string&)>& openAddress,
                              const std::function<void(const AuthorizationStart&)>& started,
                              int timeoutMs, std::stop_token stop) {
  LoopbackRedirect redirect;
  if (!redirect.Open()) {
    authorizer.Note(engine, redirect.failure());
    return TokenStatus::Failed;
  }
  const AuthorizationStart start =
      authorizer.BeginAuthorization(engine, Text::FromUtf8(redirect.redirectUri()));
  if (started)
    started(start);
  if (start.status != TokenStatus::Ready)
    return start.status;
  if (!openAddress || !openAddress(start.address.ToUtf8())) {
    authorizer.Note(engine, "the desktop's browser could not be started for the sign-in");
    return TokenStatus::Failed;
  }
  if (!start.userCode.isEmpty())
    return authorizer.CompleteAuthorization(engine, Text(), stop);
  std::string address;
  if (!redirect.WaitForRedirect(timeoutMs, address, stop)) {
    authorizer.Note(engine, redirect.failure());
    return TokenStatus::SignInNeeded;
  }
  return authorizer.CompleteAuthorization(engine, Text::FromUtf8(address), stop);
}

}  // namespace tarvel
