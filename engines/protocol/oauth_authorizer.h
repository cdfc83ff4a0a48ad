#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <stop_token>
#include <string>
#include <string_view>

#include "engines/protocol/access_token_refresher.h"
#include "engines/protocol/imap_engine.h"
#include "platform/json_document.h"
#include "platform/text.h"

namespace tarvel {

class Clock;
class DiagnosticTrace;
class HttpSession;
class SettingsStore;

enum class OAuthProvider {
  None = 0,
  Microsoft,
  Google,
  Yandex,
};

// The provider of a slot's server setting: its IMAP host with ":993", compared without case.
OAuthProvider ProviderForServer(const Text& server);

// A provider's fixed endpoints.
struct OAuthEndpoints {
  std::string_view imapServer;  // the server setting that selects the provider
  std::string_view authorizationHost;
  std::string_view authorizationPath;
  std::string_view tokenHost;
  std::string_view tokenPath;
  std::string_view deviceAuthorizationPath;  // empty: no device flow
  std::string_view scope;                    // as sent, before form encoding
  std::string_view extraAuthorizationQuery;  // appended to the sign-in address
};
const OAuthEndpoints& EndpointsFor(OAuthProvider provider);

// Whether `issuer`, the "iss" of an authorisation response (RFC 9207), names the provider's
// authorisation server: Google "https://accounts.google.com", Yandex "https://oauth.yandex.com",
// Microsoft "https://login.microsoftonline.com" alone or with one tenant segment and "/v2.0"
// (its multi-tenant endpoint answers with the issuer of the user's tenant). Compared exactly.
bool IsExpectedIssuer(OAuthProvider provider, std::string_view issuer);

// The program's client registration with a provider.
struct OAuthClient {
  std::string clientId;
  std::string clientSecret;  // empty for a public client
};
// The registration in use: the store's values "OAuth2ClientId<Provider>" and
// "OAuth2ClientSecret<Provider>" (Provider: Microsoft, Google, Yandex) when set, else the one
// built in (TARVEL_OAUTH_<PROVIDER>_CLIENT_ID/_SECRET at build time; empty when not given).
OAuthClient ClientFor(OAuthProvider provider, const SettingsStore* store);
std::u16string ClientIdValueName(OAuthProvider provider);
std::u16string ClientSecretValueName(OAuthProvider provider);

// A PKCE code verifier (RFC 7636: 64 characters of the unreserved set, from the system's
// cryptographic random source; empty when it failed) and its S256 challenge.
std::string MakeCodeVerifier();
std::string CodeChallengeS256(std::string_view verifier);
// application/x-www-form-urlencoded value: UTF-8 bytes, unreserved characters kept.
std::string FormEncode(std::string_view value);
// Query parameter of an address (after "?", before "#"), percent-decoded; false when absent.
bool QueryParameter(std::string_view address, std::string_view name, std::string& value);

// Where a sign-in starts.
struct AuthorizationStart {
  TokenStatus status = TokenStatus::Failed;  // Ready: `address` is set
  Text address;                              // the page the user signs in on
  Text script;    // device flow: fills the user code on the provider's page
  Text userCode;  // device flow: the code the user types on that page
  Text message;   // device flow: the provider's instructions
  Text failure;   // why it could not start
};

// The OAuth2 sign-in and token renewal of the IMAP accounts: the authorisation code flow with
// PKCE and a random state, the device flow (Microsoft, method 2), and the refresh. Answers are
// read as JSON. Every token exchange of a slot holds that slot's token lock, so a refresh on
// the check thread and a sign-in completing elsewhere never write the tokens at the same time.
// The refresh token is stored protected per slot, the access token lives in the engine's
// memory only.
class OAuthAuthorizer : public AccessTokenRefresher {
 public:
  // Token answers longer than this are refused.
  static constexpr std::uint64_t kLargestAnswer = 64 * 1024;
  // The device flow's poll interval when the server names none (RFC 8628), and the extra
  // pause a "slow_down" asks for.
  static constexpr std::uint32_t kDefaultIntervalMs = 5'000;
  static constexpr std::uint32_t kSlowDownStepMs = 5'000;
  // Bounds of a device authorisation's life and interval as the server gives them.
  static constexpr std::uint32_t kLongestDeviceLifeMs = 30 * 60 * 1000;
  static constexpr std::uint32_t kLongestIntervalMs = 60'000;
  // Each token request ends after this long.
  static constexpr std::uint32_t kRequestTimeoutMs = 30'000;

  OAuthAuthorizer(HttpSession& http, Clock& clock, SettingsStore* store, DiagnosticTrace* trace);

  // Starts a sign-in for the slot of `engine`. Code flow: the address of the provider's sign-in
  // page, redirecting to `redirectUri` with the code and the state. Device flow: asks the
  // provider for a device code; the address is its verification page.
  AuthorizationStart BeginAuthorization(const ImapEngine& engine, const Text& redirectUri);
  // Ends a code-flow sign-in with the address the browser was sent back to: checks the issuer
  // when the answer names one (RFC 9207) and the state, takes the code and exchanges it. For the
  // device flow it polls the token endpoint until the user approved, refused, or the code expired
  // (or `stop`).
  TokenStatus CompleteAuthorization(ImapEngine& engine, const Text& address,
                                    std::stop_token stop = {});
  // Renews the access token with the stored refresh token. A refused refresh token
  // ("invalid_grant") is forgotten (SignInNeeded); any other failure keeps it (Failed).
  TokenStatus RefreshAccessToken(ImapEngine& engine) override;

  // A line of the diagnostic trace about the slot of `engine`.
  void Note(const ImapEngine& engine, std::string_view line);
  // The last such line of a slot (why a sign-in ended as it did), for the user; "" for none.
  std::string LastNote(uint32_t slot) const;

 private:
  struct Pending {
    OAuthProvider provider = OAuthProvider::None;
    std::uint32_t method = 0;
    std::string codeVerifier;
    std::string state;
    std::string redirectUri;
    std::string deviceCode;
    std::uint64_t deviceDeadline = 0;  // monotonic milliseconds
    std::uint32_t intervalMs = kDefaultIntervalMs;
  };
  // An answer of the token host: read as a JSON object when it is one.
  struct Answer {
    bool transported = false;  // an HTTP answer was read
    int httpStatus = 0;
    bool json = false;
    std::unique_ptr<JsonDocument> document = std::make_unique<JsonDocument>();
    const JsonNode* object = nullptr;
    std::string error;    // the "error" member
    std::string failure;  // empty: a successful answer; else a line for the trace
  };

  Answer PostForm(OAuthProvider provider, std::string_view path, const std::string& body,
                  std::string_view what);
  TokenStatus ExchangeCode(ImapEngine& engine, const Pending& pending, const std::string& code);
  TokenStatus PollDeviceToken(ImapEngine& engine, Pending pending, std::stop_token stop);
  // Takes the tokens of a successful answer into the engine; the caller holds the slot's
  // token lock.
  TokenStatus TakeTokens(ImapEngine& engine, const Answer& answer, std::string_view what);

  HttpSession& http_;
  Clock& clock_;
  SettingsStore* store_;
  DiagnosticTrace* trace_;
  std::mutex httpLock_;  // one request at a time on the shared session
  std::array<std::mutex, kImapSlotCount> tokenLocks_;
  std::mutex pendingLock_;
  std::array<Pending, kImapSlotCount> pending_;  // guarded by pendingLock_
  mutable std::mutex noteLock_;
  std::array<std::string, kImapSlotCount> lastNotes_;  // guarded by noteLock_
};

// A sign-in in the desktop's browser, without a browser of our own: the code flow redirects
// to a one-shot listener of ours on 127.0.0.1; the device flow opens the verification page and
// polls. `openAddress` hands an address to the desktop (xdg-open); `started` is told the
// address and, for the device flow, the user code to show. Blocks up to `timeoutMs` (code
// flow) or the device code's life: run it on a worker thread, never the GUI thread.
TokenStatus SignInWithBrowser(OAuthAuthorizer& authorizer, ImapEngine& engine,
                              const std::function<bool(const std::string&)>& openAddress,
                              const std::function<void(const AuthorizationStart&)>& started,
                              int timeoutMs, std::stop_token stop = {});

}  // namespace tarvel
