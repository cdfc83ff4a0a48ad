// The OAuth2 sign-in and refresh against canned answers of a local HTTPS server reached under
// the providers' real host names, and the loopback redirect listener with a real socket.
#include "engines/protocol/oauth_authorizer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <thread>
#include <vector>

#include "accounts/account_type.h"
#include "accounts/option_flags.h"
#include "accounts/protected_text.h"
#include "accounts/settings_store.h"
#include "engines/protocol/loopback_redirect.h"
#include "platform/http_session.h"
#include "tests/support/fake_clock.h"
#include "tests/support/fixture_server.h"
#include "tests/support/recording_notifier.h"
#include "tests/support/temp_folder.h"

namespace tarvel {
namespace {

using nlohmann::json;
using testing::FakeClock;

constexpr const char* kTokenHost = "login.microsoftonline.com";
constexpr const char* kTokenPath = "/common/oauth2/v2.0/token";
constexpr const char* kDevicePath = "/common/oauth2/v2.0/devicecode";

const AccountTypeInfo& ImapType() {
  for (const AccountTypeInfo& type : kAccountTypes) {
    if (type.engine == EngineKind::Imap)
      return type;
  }
  return kAccountTypes[0];
}

bool Contains(const std::vector<std::string>& lines, const std::string& part) {
  for (const std::string& line : lines) {
    if (line.find(part) != std::string::npos)
      return true;
  }
  return false;
}

json Route(const std::string& path, int status, const std::string& body) {
  return {{"host", kTokenHost},
          {"path", path},
          {"method", "POST"},
          {"status", status},
          {"body", body},
          {"headers", json::array({json::array({"Content-Type", "application/json"})})}};
}

TEST(OAuthPieces, PkceVerifierAndS256Challenge) {
  // RFC 7636, appendix B.
  EXPECT_EQ(CodeChallengeS256("dBjftJeZ4CVP-mB92K27uhbUJU1p1r_wW1gFWFOEjXk"),
            "E9Melhoa2OwvFrEMTJguCHaoeK1t8URWbuGJSstw-cM");
  std::set<std::string> seen;
  for (int i = 0; i < 20; ++i) {
    const std::string verifier = MakeCodeVerifier();
    ASSERT_GE(verifier.size(), 43u);
    ASSERT_LE(verifier.size(), 128u);
    EXPECT_EQ(verifier.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"
                                         "0123456789-._~"),
              std::string::npos);
    const std::string challenge = CodeChallengeS256(verifier);
    EXPECT_EQ(challenge.size(), 43u);
    EXPECT_EQ(challenge.find_first_of("=+/"), std::string::npos);
    seen.insert(verifier);
  }
  EXPECT_EQ(seen.size(), 20u);
}

TEST(OAuthPieces, ProviderFromTheServerSetting) {
  const struct {
    const char16_t* server;
    OAuthProvider provider;
  } rows[] = {
      {u"outlook.office365.com:993", OAuthProvider::Microsoft},
      {u"OUTLOOK.Office365.com:993", OAuthProvider::Microsoft},
      {u"imap.gmail.com:993", OAuthProvider::Google},
      {u"imap.yandex.com:993", OAuthProvider::Yandex},
      {u"imap.gmail.com:143", OAuthProvider::None},
      {u"imap.gmail.com", OAuthProvider::None},
      {u"imaps://imap.gmail.com:993", OAuthProvider::None},
      {u"imap.example.com:993", OAuthProvider::None},
  };
  for (const auto& row : rows)
    EXPECT_EQ(ProviderForServer(row.server), row.provider) << Text(row.server).ToUtf8();
}

TEST(OAuthPieces, ExpectedIssuerOfEachProvider) {
  const struct {
    OAuthProvider provider;
    std::string_view issuer;
    bool expected;
  } cases[] = {
      {OAuthProvider::Google, "https://accounts.google.com", true},
      {OAuthProvider::Google, "https://accounts.google.com/", false},
      {OAuthProvider::Google, "http://accounts.google.com", false},
      {OAuthProvider::Yandex, "https://oauth.yandex.com", true},
      {OAuthProvider::Yandex, "https://accounts.google.com", false},
      {OAuthProvider::Microsoft, "https://login.microsoftonline.com", true},
      {OAuthProvider::Microsoft,
       "https://login.microsoftonline.com/9188040d-6c67-4c5b-b112-36a304b66dad/v2.0", true},
      {OAuthProvider::Microsoft, "https://login.microsoftonline.com//v2.0", false},
      {OAuthProvider::Microsoft, "https://login.microsoftonline.com/a/b/v2.0", false},
      {OAuthProvider::Microsoft, "https://login.microsoftonline.com.evil.example/x/v2.0", false},
      {OAuthProvider::Microsoft, "https://login.microsoftonline.com/x/v2.0/", false},
      {OAuthProvider::None, "https://login.microsoftonline.com", false},
  };
  for (const auto& c : cases)
    EXPECT_EQ(IsExpectedIssuer(c.provider, c.issuer), c.expected) << c.issuer;
}

TEST(OAuthPieces, QueryParametersAreSplitAndDecoded) {
  std::string value;
  EXPECT_TRUE(QueryParameter("http://127.0.0.1:5/?code=a%2Bb&state=x", "code", value));
  EXPECT_EQ(value, "a+b");
  EXPECT_TRUE(QueryParameter("http://127.0.0.1:5/?state=x&code=last", "code", value));
  EXPECT_EQ(value, "last");
  EXPECT_TRUE(QueryParameter("http://127.0.0.1:5/?a=1&code=c#frag", "code", value));
  EXPECT_EQ(value, "c");
  EXPECT_FALSE(QueryParameter("http://127.0.0.1:5/?xcode=1&codex=2", "code", value));
  EXPECT_FALSE(QueryParameter("http://127.0.0.1:5/#code=1", "code", value));
  EXPECT_EQ(FormEncode("a b&c=d/é"), "a%20b%26c%3Dd%2F%C3%A9");
}

class OAuthAgainstServer : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(server.Start(json::array()));
    server.ExportEnvironment();
    ASSERT_TRUE(store.open(SettingsMode::IniFile, nullptr, kSettingsKeyPath, folder.file("t.ini")));
    store.writeText(ClientIdValueName(OAuthProvider::Microsoft), u"test-client");
    store.writeText(ClientSecretValueName(OAuthProvider::Microsoft), u"s&cret");
    engine = std::make_unique<ImapEngine>(
        ImapType(), 0,
        ImapEngineServices{clock, flags, &store, nullptr, &authorizer, std::string(), &trace});
    SetMethod(ImapAuthMethod::OAuth2AuthCode);
  }
  void TearDown() override {
    ::unsetenv("TARVEL_CONNECT_TO");
    ::unsetenv("TARVEL_CA_FILE");
  }
  void SetMethod(ImapAuthMethod method) {
    ImapAccountSettings settings = engine->settings();
    settings.server = u"outlook.office365.com:993";
    settings.user = u"tester@example.com";
    settings.authMethod = static_cast<uint32_t>(method);
    engine->ApplySettings(settings);
  }
  Text StoredRefreshToken() const { return UnprotectText(store, u"IMAPRefreshToken1", u""); }
  std::vector<json> TokenRequests() const {
    std::vector<json> found;
    for (const json& request : server.Requests()) {
      if (request.value("path", "") == kTokenPath)
        found.push_back(request);
    }
    return found;
  }

  testing::TempFolder folder;
  testing::FixtureServer server;
  SettingsStore store;
  FakeClock clock;
  OptionFlags flags;
  HttpSession http;
  testing::RecordingTrace trace;
  OAuthAuthorizer authorizer{http, clock, &store, &trace};
  std::unique_ptr<ImapEngine> engine;
};

// The code flow: the address carries a fresh state and the S256 challenge; a redirect that does
// not answer this sign-in is refused without touching the tokens; the right one is exchanged.
TEST_F(OAuthAgainstServer, CodeFlowChecksTheStateAndExchangesTheCode) {
  engine->StoreRefreshToken(u"old-refresh");
  server.SetRoutes(json::array({Route(
      kTokenPath, 200,
      R"({"token_type":"Bearer","access_token":"acc\"ess","refresh_token":"new-refresh"})")}));
  const Text redirect = u"http://127.0.0.1:4711/";
  const AuthorizationStart first = authorizer.BeginAuthorization(*engine, redirect);
  ASSERT_EQ(first.status, TokenStatus::Ready) << first.failure.ToUtf8();
  const AuthorizationStart start = authorizer.BeginAuthorization(*engine, redirect);
  const std::string address = start.address.ToUtf8();
  EXPECT_TRUE(address.starts_with(
      "https://login.microsoftonline.com/common/oauth2/v2.0/authorize?client_id=test-client"))
      << address;
  EXPECT_NE(address.find("redirect_uri=http%3A%2F%2F127.0.0.1%3A4711%2F"), std::string::npos);
  EXPECT_NE(address.find("code_challenge_method=S256"), std::string::npos);
  std::string state, firstState, challenge;
  ASSERT_TRUE(QueryParameter(address, "state", state));
  ASSERT_TRUE(QueryParameter(first.address.ToUtf8(), "state", firstState));
  ASSERT_TRUE(QueryParameter(address, "code_challenge", challenge));
  EXPECT_GE(state.size(), 32u);
  EXPECT_NE(state, firstState);

  // Answers that do not end this sign-in: each a status 2 and a trace line, no request.
  const struct {
    std::string redirect;
    std::string traced;
  } refused[] = {
      {"http://127.0.0.1:4711/?code=stolen&state=" + firstState, "another state"},
      {"http://127.0.0.1:4711/?code=stolen", "another state"},
      {"http://127.0.0.1:4711/?state=" + state, "no authorisation code"},
  };
  for (const auto& row : refused) {
    EXPECT_EQ(authorizer.CompleteAuthorization(*engine, Text::FromUtf8(row.redirect)),
              TokenStatus::SignInNeeded)
        << row.redirect;
    EXPECT_TRUE(Contains(trace.take(), row.traced)) << row.redirect;
  }
  EXPECT_TRUE(TokenRequests().empty());
  EXPECT_EQ(StoredRefreshToken().ToUtf8(), "old-refresh");

  EXPECT_EQ(authorizer.CompleteAuthorization(
                *engine, Text::FromUtf8("http://127.0.0.1:4711/?code=the%2Fcode&state=" + state)),
            TokenStatus::Ready);
  EXPECT_EQ(engine->AccessToken().ToUtf8(), "acc\"ess");
  EXPECT_EQ(StoredRefreshToken().ToUtf8(), "new-refresh");
  const std::vector<json> requests = TokenRequests();
  ASSERT_EQ(requests.size(), 1u);
  const std::string body = testing::FixtureServer::Body(requests[0]);
  EXPECT_NE(body.find("grant_type=authorization_code"), std::string::npos);
  EXPECT_NE(body.find("code=the%2Fcode"), std::string::npos);
  EXPECT_NE(body.find("client_secret=s%26cret"), std::string::npos);
  std::string verifier = body.substr(body.find("code_verifier=") + 14);
  verifier = verifier.substr(0, verifier.find('&'));
  EXPECT_EQ(CodeChallengeS256(verifier), challenge);
  // The answer is used once: the same redirect again is not exchanged.
  EXPECT_EQ(authorizer.CompleteAuthorization(
                *engine, Text::FromUtf8("http://127.0.0.1:4711/?code=x&state=" + state)),
            TokenStatus::SignInNeeded);
  EXPECT_EQ(TokenRequests().size(), 1u);
}

// RFC 9207: an answer that names an issuer other than the provider's is refused before its
// code goes anywhere, and ends the sign-in it claims to answer; the provider's own issuer (or
// none) is exchanged.
TEST_F(OAuthAgainstServer, AnswerFromAnotherIssuerIsRefused) {
  engine->StoreRefreshToken(u"old-refresh");
  server.SetRoutes(
      json::array({Route(kTokenPath, 200, R"({"access_token":"a","refresh_token":"r"})")}));
  const Text redirect = u"http://127.0.0.1:4711/";
  std::string state;
  ASSERT_TRUE(QueryParameter(authorizer.BeginAuthorization(*engine, redirect).address.ToUtf8(),
                             "state", state));
  for (const std::string issuer :
       {"https%3A%2F%2Fattacker.example", "https%3A%2F%2Flogin.microsoftonline.com.evil.example",
        "https%3A%2F%2Faccounts.google.com"}) {
    EXPECT_EQ(authorizer.CompleteAuthorization(
                  *engine, Text::FromUtf8("http://127.0.0.1:4711/?code=c&state=" + state +
                                          "&iss=" + issuer)),
              TokenStatus::SignInNeeded)
        << issuer;
    EXPECT_TRUE(Contains(trace.take(), "from the issuer")) << issuer;
    ASSERT_TRUE(QueryParameter(authorizer.BeginAuthorization(*engine, redirect).address.ToUtf8(),
                               "state", state));
  }
  // A refused answer ended its sign-in: the same state without the issuer is not taken either.
  const std::string spentState = state;
  EXPECT_EQ(authorizer.CompleteAuthorization(
                *engine, Text::FromUtf8("http://127.0.0.1:4711/?code=c&state=" + spentState +
                                        "&iss=https%3A%2F%2Fevil.example")),
            TokenStatus::SignInNeeded);
  EXPECT_EQ(authorizer.CompleteAuthorization(
                *engine, Text::FromUtf8("http://127.0.0.1:4711/?code=c&state=" + spentState)),
            TokenStatus::SignInNeeded);
  EXPECT_TRUE(TokenRequests().empty());
  EXPECT_EQ(StoredRefreshToken().ToUtf8(), "old-refresh");

  ASSERT_TRUE(QueryParameter(authorizer.BeginAuthorization(*engine, redirect).address.ToUtf8(),
                             "state", state));
  EXPECT_EQ(authorizer.CompleteAuthorization(
                *engine, Text::FromUtf8("http://127.0.0.1:4711/?code=c&state=" + state +
                                        "&iss=https%3A%2F%2Flogin.microsoftonline.com%2F"
                                        "9188040d-6c67-4c5b-b112-36a304b66dad%2Fv2.0")),
            TokenStatus::Ready)
      << ::testing::PrintToString(trace.take());
  EXPECT_EQ(TokenRequests().size(), 1u);
  EXPECT_EQ(StoredRefreshToken().ToUtf8(), "r");
}

TEST_F(OAuthAgainstServer, RefusedSignInEndsWithoutTouchingTheTokens) {
  engine->StoreRefreshToken(u"old-refresh");
  const AuthorizationStart start = authorizer.BeginAuthorization(*engine, u"http://127.0.0.1:1/");
  std::string state;
  ASSERT_TRUE(QueryParameter(start.address.ToUtf8(), "state", state));
  EXPECT_EQ(authorizer.CompleteAuthorization(
                *engine, Text::FromUtf8("http://127.0.0.1:1/?error=access_denied&state=" + state)),
            TokenStatus::SignInNeeded);
  EXPECT_TRUE(Contains(trace.take(), "error access_denied"));
  EXPECT_EQ(StoredRefreshToken().ToUtf8(), "old-refresh");
  EXPECT_TRUE(TokenRequests().empty());
}

// Every answer of the token endpoint to a refresh: only a refused grant forgets the sign-in.
TEST_F(OAuthAgainstServer, RefreshAnswersTable) {
  const struct {
    const char* name;
    int status;
    std::string body;
    TokenStatus expected;
    std::string access;   // the engine's access token after it
    std::string refresh;  // the stored refresh token after it
    std::string traced;
  } rows[] = {
      {"success", 200, R"({"access_token" : "a1", "refresh_token":"r2", "expires_in":3600})",
       TokenStatus::Ready, "a1", "r2", "new access token"},
      {"success without a new refresh token", 200, R"({"access_token":"a1"})", TokenStatus::Ready,
       "a1", "r1", "new access token"},
      {"not JSON", 200, "<html>Service Unavailable</html>", TokenStatus::Failed, "", "r1",
       "did not answer with a JSON object"},
      {"no access token", 200, R"({"token_type":"Bearer","refresh_token":"r9"})",
       TokenStatus::Failed, "", "r1", "holds no access_token"},
      {"two megabytes", 200, R"({"access_token":")" + std::string(2 * 1024 * 1024, 'x') + "\"}",
       TokenStatus::Failed, "", "r1", "gave no usable answer of at most 65536 bytes"},
      {"server error", 503, R"({"error":"temporarily_unavailable"})", TokenStatus::Failed, "", "r1",
       "refused: temporarily_unavailable"},
      {"revoked grant", 400, R"({"error":"invalid_grant","error_description":"revoked"})",
       TokenStatus::SignInNeeded, "", "", "invalid_grant (revoked)"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    engine->SetAccessToken(Text());
    engine->StoreRefreshToken(u"r1");
    server.SetRoutes(json::array({Route(kTokenPath, row.status, row.body)}));
    EXPECT_EQ(authorizer.RefreshAccessToken(*engine), row.expected);
    EXPECT_EQ(engine->AccessToken().ToUtf8(), row.access);
    EXPECT_EQ(engine->settings().refreshToken.ToUtf8(), row.refresh);
    EXPECT_EQ(StoredRefreshToken().ToUtf8(), row.refresh);
    EXPECT_TRUE(Contains(trace.take(), row.traced));
  }
  const std::string body = testing::FixtureServer::Body(TokenRequests().back());
  EXPECT_EQ(body,
            "grant_type=refresh_token&client_id=test-client&client_secret=s%26cret"
            "&refresh_token=r1");
}

// A refresh that cannot reach the provider keeps the sign-in: the check reports 1, not 2.
TEST_F(OAuthAgainstServer, CheckKeepsTheSignInWhenTheProviderIsUnreachable) {
  engine->StoreRefreshToken(u"r1");
  server.Stop();
  EXPECT_EQ(engine->Check(), CheckStatus::Failure);
  EXPECT_EQ(StoredRefreshToken().ToUtf8(), "r1");
  EXPECT_TRUE(Contains(trace.take(), "could not be reached"));
}

TEST_F(OAuthAgainstServer, DeviceAnswersWithoutTheNeededFieldsAreRefused) {
  SetMethod(ImapAuthMethod::OAuth2DeviceCode);
  const struct {
    std::string body;
    std::string traced;
  } rows[] = {
      {R"({"device_code":"d","user_code":"U-1","expires_in":900})", "no verification_uri"},
      {R"({"verification_uri":"https://microsoft.com/devicelogin","expires_in":900})",
       "no device_code"},
      {R"j({"verification_uri":"javascript:alert(1)","device_code":"d","user_code":"U"})j",
       "not an https address"},
      {"device", "did not answer with a JSON object"},
  };
  for (const auto& row : rows) {
    server.SetRoutes(json::array({Route(kDevicePath, 200, row.body)}));
    const AuthorizationStart start = authorizer.BeginAuthorization(*engine, Text());
    EXPECT_EQ(start.status, TokenStatus::Failed) << row.body;
    EXPECT_TRUE(start.address.isEmpty());
    EXPECT_TRUE(Contains(trace.take(), row.traced)) << row.body;
  }
}

// The device flow polls at the server's interval on the virtual clock, slows down when told,
// and gives up when the device code expires.
TEST_F(OAuthAgainstServer, DevicePollingFollowsIntervalSlowDownAndExpiry) {
  SetMethod(ImapAuthMethod::OAuth2DeviceCode);
  engine->StoreRefreshToken(u"kept");
  const struct {
    std::string error;
    std::size_t requests;  // within the 60 s the code lives
  } rows[] = {
      // Asked at 0, 10, 20, 30, 40 and 50 s.
      {"authorization_pending", 6},
      // The pause grows by 5 s each time: asked at 0, 15, 35 s (the next would be at 60).
      {"slow_down", 3},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.error);
    server.SetRoutes(
        json::array({Route(kDevicePath, 200,
                           R"({"device_code":"dev-1","user_code":"ABC-DEF","verification_uri":)"
                           R"("https://microsoft.com/devicelogin","expires_in":60,"interval":10,)"
                           R"("message":"Enter the code"})"),
                     Route(kTokenPath, 400, R"({"error":")" + row.error + "\"}")}));
    const std::size_t before = TokenRequests().size();
    const AuthorizationStart start = authorizer.BeginAuthorization(*engine, Text());
    ASSERT_EQ(start.status, TokenStatus::Ready);
    EXPECT_EQ(start.address.ToUtf8(), "https://microsoft.com/devicelogin");
    EXPECT_EQ(start.userCode.ToUtf8(), "ABC-DEF");
    EXPECT_NE(start.script.ToUtf8().find("'ABC-DEF'"), std::string::npos);
    EXPECT_EQ(authorizer.CompleteAuthorization(*engine, Text()), TokenStatus::SignInNeeded);
    EXPECT_EQ(TokenRequests().size() - before, row.requests);
    EXPECT_TRUE(Contains(trace.take(), "expired before the sign-in was approved"));
    EXPECT_EQ(StoredRefreshToken().ToUtf8(), "kept");
  }
  const std::string body = testing::FixtureServer::Body(TokenRequests().back());
  EXPECT_EQ(body,
            "grant_type=urn%3Aietf%3Aparams%3Aoauth%3Agrant-type%3Adevice_code"
            "&client_id=test-client&device_code=dev-1");

  // A refusal by the user ends the polling at once.
  server.SetRoutes(json::array(
      {Route(kDevicePath, 200,
             R"({"device_code":"dev-2","user_code":"X","verification_uri":"https://a.example"})"),
       Route(kTokenPath, 400, R"({"error":"access_denied"})")}));
  ASSERT_EQ(authorizer.BeginAuthorization(*engine, Text()).status, TokenStatus::Ready);
  const std::size_t before = TokenRequests().size();
  EXPECT_EQ(authorizer.CompleteAuthorization(*engine, Text()), TokenStatus::SignInNeeded);
  EXPECT_EQ(TokenRequests().size() - before, 1u);
  EXPECT_TRUE(Contains(trace.take(), "access_denied"));
}

// The loopback listener: one connection, answered with the closing page; a request line that
// is too long or no GET is refused.
TEST(LoopbackRedirectTest, TakesOneRedirectAndAnswersThePage) {
  auto send = [](int port, const std::string& request) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    std::string answer;
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0) {
      ::send(fd, request.data(), request.size(), MSG_NOSIGNAL);
      char buffer[4096];
      ssize_t got = 0;
      while ((got = ::recv(fd, buffer, sizeof(buffer), 0)) > 0)
        answer.append(buffer, static_cast<std::size_t>(got));
    }
    ::close(fd);
    return answer;
  };
  const struct {
    std::string request;
    bool taken;
    std::string answerStart;
    std::string failure;
  } rows[] = {
      {"GET /?code=c1&state=s1 HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n", true, "HTTP/1.1 200 OK", ""},
      {"GET /?code=" + std::string(20000, 'x') + " HTTP/1.1\r\n\r\n", false, "HTTP/1.1 414",
       "too long"},
      {"POST /?code=c1 HTTP/1.1\r\n\r\n", false, "HTTP/1.1 400", "no GET"},
  };
  for (const auto& row : rows) {
    LoopbackRedirect redirect;
    ASSERT_TRUE(redirect.Open());
    EXPECT_EQ(redirect.redirectUri(), "http://127.0.0.1:" + std::to_string(redirect.port()) + "/");
    std::string address;
    bool taken = false;
    std::thread waiter([&] { taken = redirect.WaitForRedirect(10'000, address); });
    const std::string answer = send(redirect.port(), row.request);
    waiter.join();
    EXPECT_EQ(taken, row.taken);
    EXPECT_TRUE(answer.starts_with(row.answerStart)) << answer.substr(0, 40);
    if (row.taken) {
      EXPECT_EQ(address, redirect.redirectUri() + "?code=c1&state=s1");
      EXPECT_NE(answer.find("You can close this page"), std::string::npos);
    } else {
      EXPECT_NE(redirect.failure().find(row.failure), std::string::npos) << redirect.failure();
    }
    // One-shot: nobody connects after it.
    EXPECT_TRUE(send(redirect.port(), "GET / HTTP/1.1\r\n\r\n").empty());
  }
  // Nobody comes: the wait ends at its deadline.
  LoopbackRedirect idle;
  ASSERT_TRUE(idle.Open());
  std::string address;
  EXPECT_FALSE(idle.WaitForRedirect(50, address));
  EXPECT_NE(idle.failure().find("in time"), std::string::npos);
}

}  // namespace
}  // namespace tarvel
