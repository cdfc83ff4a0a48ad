// OAuth2 end to end: an IMAP account on the Microsoft provider signs in against a real
// authorisation server (npm oidc-provider, reached under the provider's host name), checks a
// Dovecot that accepts only tokens its introspection endpoint calls active, renews the
// short-lived access token, and needs a new sign-in once the grant is revoked.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "accounts/account_type.h"
#include "accounts/check_in_relay.h"
#include "accounts/option_flags.h"
#include "accounts/protected_text.h"
#include "accounts/settings_store.h"
#include "engines/protocol/imap_engine.h"
#include "engines/protocol/imap_transport.h"
#include "engines/protocol/oauth_authorizer.h"
#include "platform/clock.h"
#include "platform/http_session.h"
#include "tests/support/dovecot_server.h"
#include "tests/support/oauth_authorization_server.h"
#include "tests/support/recording_notifier.h"
#include "tests/support/temp_folder.h"

extern char** environ;

namespace tarvel {
namespace {

using testing::DovecotServer;
using testing::RunProgram;

const AccountTypeInfo& FirstImapType() {
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

std::vector<std::string> Subjects(const ImapEngine& engine) {
  std::vector<std::string> subjects;
  for (const MailItem* item = engine.mails.first(); item; item = NodeList<MailItem>::next(item))
    subjects.push_back(item->subject.ToUtf8());
  return subjects;
}

// The access tokens live this long, so that one test sees one expire.
constexpr int kAccessTokenSeconds = 4;

class OAuthEndToEnd : public ::testing::Test {
 protected:
  // The IMAP server's log, for a failure message.
  static std::string DovecotLog() {
    std::ifstream in(dovecot->logFile());
    std::string text(std::istreambuf_iterator<char>(in), {});
    return text.size() > 4000 ? text.substr(text.size() - 4000) : text;
  }

  static void SetUpTestSuite() {
    folder = new testing::TempFolder();
    provider = new testing::OAuthAuthorizationServer();
    if (!provider->Start(folder->path(), kAccessTokenSeconds))
      return;
    const std::string port = std::to_string(provider->port());
    const std::string conf = folder->file("dovecot-oauth2.conf.ext");
    if (!provider->WriteDovecotSettings(conf))
      return;
    ::setenv("TARVEL_TEST_OAUTH2_CONF", conf.c_str(), 1);
    dovecot = new DovecotServer();
    ::unsetenv("TARVEL_TEST_OAUTH2_CONF");
    if (!dovecot->started())
      return;
    // One bundle of both test authorities, for the HTTP client and the IMAP transport.
    const std::string bundle = folder->file("authorities.pem");
    {
      std::ifstream a(dovecot->caFile()), b(provider->caFile());
      std::ofstream(bundle) << a.rdbuf() << b.rdbuf();
    }
    ::setenv("TARVEL_CA_FILE", bundle.c_str(), 1);
    ::setenv("TARVEL_CONNECT_TO",
             ("login.microsoftonline.com:443:127.0.0.1:" + port +
              ";outlook.office365.com:993:127.0.0.1:" + std::to_string(dovecot->imapsPort()))
                 .c_str(),
             1);
  }
  static void TearDownTestSuite() {
    delete dovecot;
    delete provider;
    delete folder;
    dovecot = nullptr;
    provider = nullptr;
    folder = nullptr;
  }

  void SetUp() override {
    ASSERT_TRUE(provider && provider->port() > 0) << "the authorisation server did not start";
    ASSERT_TRUE(dovecot && dovecot->started()) << "Dovecot did not start";
    ASSERT_TRUE(dovecot->ExpungeAll("tester"));
    ASSERT_TRUE(dovecot->Deliver(
        "tester", "INBOX", "From: Alice <alice@example.com>\r\nSubject: token mail\r\n\r\nb\r\n"));
    ASSERT_TRUE(
        store.open(SettingsMode::IniFile, nullptr, kSettingsKeyPath, storeFolder.file("t.ini")));
  }

  std::unique_ptr<ImapEngine> MakeEngine(ImapAuthMethod method) {
    ImapEngineServices services{clock, flags, &store, &relay, &authorizer, ZARQUET_LIBRARY_PATH,
                                &trace};
    auto engine = std::make_unique<ImapEngine>(FirstImapType(), 0, services);
    flags.set(engine->selectBit);
    ImapAccountSettings settings;
    settings.server = u"outlook.office365.com:993";
    settings.user = u"tester";
    settings.authMethod = static_cast<uint32_t>(method);
    settings.useIdle = 0;
    engine->ApplySettings(settings);
    return engine;
  }

  // Plays the user in the browser the program opened.
  static bool Browse(const std::string& address, const std::string& userCode = {}) {
    std::string output;
    const int code = RunProgram(
        {"python3", std::string(TARVEL_SOURCE_DIR_PATH) + "/tests/support/oauth_browser.py", "--ca",
         provider->caFile(), "--map",
         "login.microsoftonline.com=" + std::to_string(provider->port()), "--user", "tester",
         "--password", "s3cret", "--user-code", userCode, address},
        {}, &output);
    return code == 0;
  }

  static testing::TempFolder* folder;
  static testing::OAuthAuthorizationServer* provider;
  static DovecotServer* dovecot;
  testing::TempFolder storeFolder;
  SettingsStore store;
  SystemClock clock;
  OptionFlags flags;
  CheckInRelay relay;
  HttpSession http;
  testing::RecordingTrace trace;
  OAuthAuthorizer authorizer{http, clock, &store, &trace};
};

testing::TempFolder* OAuthEndToEnd::folder = nullptr;
testing::OAuthAuthorizationServer* OAuthEndToEnd::provider = nullptr;
DovecotServer* OAuthEndToEnd::dovecot = nullptr;

TEST_F(OAuthEndToEnd, CodeFlowChecksRefreshesOnExpiryAndNeedsSignInAfterRevocation) {
  store.writeText(ClientIdValueName(OAuthProvider::Microsoft), u"code-client");
  store.writeText(ClientSecretValueName(OAuthProvider::Microsoft), u"code-secret");
  std::unique_ptr<ImapEngine> engine = MakeEngine(ImapAuthMethod::OAuth2AuthCode);
  EXPECT_EQ(engine->Check(), CheckStatus::LoginNeeded);

  std::thread browser;
  bool browsed = false;
  const TokenStatus signedIn = SignInWithBrowser(
      authorizer, *engine,
      [&](const std::string& address) {
        browser = std::thread([&, address] { browsed = Browse(address); });
        return true;
      },
      {}, 60'000);
  if (browser.joinable())
    browser.join();
  ASSERT_EQ(signedIn, TokenStatus::Ready)
      << ::testing::PrintToString(trace.take()) << provider->log();
  EXPECT_TRUE(browsed);
  const Text refreshToken = UnprotectText(store, u"IMAPRefreshToken1", u"");
  EXPECT_FALSE(refreshToken.isEmpty());

  EXPECT_EQ(engine->Check(), CheckStatus::Success) << engine->lastFailure.ToUtf8() << DovecotLog();
  EXPECT_EQ(Subjects(*engine), std::vector<std::string>{"token mail"});
  trace.take();

  // The access token runs out; the server refuses it and the check renews it once.
  const Text firstToken = engine->AccessToken();
  std::this_thread::sleep_for(std::chrono::seconds(kAccessTokenSeconds + 2));
  // The transport keeps its logged-in connection; the next login is on a new one.
  ASSERT_TRUE(dovecot->Kick("tester"));
  engine->mails.clear();
  EXPECT_EQ(engine->Check(), CheckStatus::Success) << engine->lastFailure.ToUtf8() << DovecotLog();
  EXPECT_EQ(Subjects(*engine), std::vector<std::string>{"token mail"});
  EXPECT_NE(engine->AccessToken().ToUtf8(), firstToken.ToUtf8());
  EXPECT_TRUE(Contains(trace.take(), "the refresh gave a new access token"));

  // The grant is revoked at the provider: the next check asks for a new sign-in.
  const Text current = UnprotectText(store, u"IMAPRefreshToken1", u"");
  HttpRequest revoke;
  revoke.server = u"login.microsoftonline.com";
  revoke.object = u"/token/revocation";
  revoke.port = 443;
  revoke.serviceKind = ServiceKind::Https;
  revoke.verb = u"POST";
  revoke.extraHeaders = u"Content-Type: application/x-www-form-urlencoded";
  revoke.body =
      "client_id=code-client&client_secret=code-secret&token_type_hint=refresh_token"
      "&token=" +
      FormEncode(current.ToUtf8());
  Text answer;
  int status = 0;
  ASSERT_TRUE(http.Request(revoke, &answer, &status));
  ASSERT_EQ(status, 200) << answer.ToUtf8();
  // The still unexpired access token went with the grant: refused, then the refresh too.
  ASSERT_TRUE(dovecot->Kick("tester"));
  EXPECT_EQ(engine->Check(), CheckStatus::LoginNeeded) << engine->lastFailure.ToUtf8();
  EXPECT_TRUE(UnprotectText(store, u"IMAPRefreshToken1", u"").isEmpty());
  EXPECT_TRUE(Contains(trace.take(), "invalid_grant"));
}

TEST_F(OAuthEndToEnd, DeviceFlowIsApprovedAndChecks) {
  store.writeText(ClientIdValueName(OAuthProvider::Microsoft), u"device-client");
  std::unique_ptr<ImapEngine> engine = MakeEngine(ImapAuthMethod::OAuth2DeviceCode);
  std::thread browser;
  bool browsed = false;
  std::string userCode;
  const TokenStatus signedIn = SignInWithBrowser(
      authorizer, *engine,
      [&](const std::string& address) {
        browser = std::thread([&, address] { browsed = Browse(address, userCode); });
        return true;
      },
      [&](const AuthorizationStart& start) { userCode = start.userCode.ToUtf8(); }, 60'000);
  if (browser.joinable())
    browser.join();
  ASSERT_EQ(signedIn, TokenStatus::Ready)
      << ::testing::PrintToString(trace.take()) << provider->log();
  EXPECT_TRUE(browsed);
  EXPECT_FALSE(userCode.empty());
  EXPECT_EQ(engine->Check(), CheckStatus::Success) << engine->lastFailure.ToUtf8() << DovecotLog();
  EXPECT_EQ(Subjects(*engine), std::vector<std::string>{"token mail"});
}

// A server that offers OAUTHBEARER and not XOAUTH2 (a second Dovecot, narrowed to it) takes
// the access token by that mechanism; a token it refuses ends with its error challenge
// answered and the challenge's status in the failure, instead of a hang.
TEST_F(OAuthEndToEnd, OAuthBearerOnlyServerTakesTheTokenAndReportsARefusal) {
  store.writeText(ClientIdValueName(OAuthProvider::Microsoft), u"code-client");
  store.writeText(ClientSecretValueName(OAuthProvider::Microsoft), u"code-secret");
  std::unique_ptr<ImapEngine> engine = MakeEngine(ImapAuthMethod::OAuth2AuthCode);
  std::thread browser;
  const TokenStatus signedIn = SignInWithBrowser(
      authorizer, *engine,
      [&](const std::string& address) {
        browser = std::thread([address] { Browse(address); });
        return true;
      },
      {}, 60'000);
  if (browser.joinable())
    browser.join();
  ASSERT_EQ(signedIn, TokenStatus::Ready)
      << ::testing::PrintToString(trace.take()) << provider->log();

  ::setenv("TARVEL_TEST_OAUTH2_CONF", folder->file("dovecot-oauth2.conf.ext").c_str(), 1);
  ::setenv("TARVEL_TEST_OAUTH2_MECHANISMS", "oauthbearer", 1);
  DovecotServer bearerOnly;
  ::unsetenv("TARVEL_TEST_OAUTH2_MECHANISMS");
  ::unsetenv("TARVEL_TEST_OAUTH2_CONF");
  ASSERT_TRUE(bearerOnly.started());
  ASSERT_TRUE(bearerOnly.Deliver(
      "tester", "INBOX", "From: Bob <bob@example.com>\r\nSubject: bearer mail\r\n\r\nb\r\n"));
  const std::string url =
      "imaps://127.0.0.1:" + std::to_string(bearerOnly.imapsPort()) + "/INBOX?UNSEEN";

  struct Case {
    std::string token;
    bool accepted;
  };
  const Case cases[] = {{engine->AccessToken().ToUtf8(), true}, {"not-a-token", false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.accepted ? "valid token" : "refused token");
    ImapTransport transport{2, ZARQUET_LIBRARY_PATH};
    transport.SetCertificateAuthorityFile(bearerOnly.caFile());
    ASSERT_TRUE(transport.Init("tester", "", c.token));
    std::vector<std::string> lines;
    int32_t code = 0;
    const bool ok = transport.ExecuteCommand(
        url.c_str(), nullptr, [&](std::string_view line) { lines.emplace_back(line); }, 20'000,
        code);
    std::ifstream in(bearerOnly.logFile());
    const std::string log(std::istreambuf_iterator<char>(in), {});
    if (c.accepted) {
      EXPECT_TRUE(ok) << transport.LastError() << log;
      EXPECT_TRUE(Contains(lines, "* SEARCH 1")) << ::testing::PrintToString(lines);
      EXPECT_NE(log.find("method=OAUTHBEARER"), std::string::npos) << log;
    } else {
      EXPECT_FALSE(ok);
      EXPECT_EQ(code, 67) << transport.LastError();
      EXPECT_NE(transport.LastError().find("OAUTHBEARER, status invalid_token"), std::string::npos)
          << transport.LastError();
    }
    transport.Close();
  }
}

// The command-line sign-in: tarvelctl opens the "browser" (here the test's player) and takes
// the redirect on its own listener; the refresh token lands in its settings file.
TEST_F(OAuthEndToEnd, TarvelctlSignsInThroughTheLoopbackListener) {
  const std::string ini = storeFolder.file("ctl.ini");
  {
    SettingsStore file;
    ASSERT_TRUE(file.open(SettingsMode::IniFile, nullptr, kSettingsKeyPath, ini));
    file.writeText(u"IMAPServer", u"outlook.office365.com:993");
    ProtectText(file, u"IMAPUser", u"tester");
    file.writeNumber(u"IMAPAuthMethod1", 1);
    file.writeText(ClientIdValueName(OAuthProvider::Microsoft), u"code-client");
    file.writeText(ClientSecretValueName(OAuthProvider::Microsoft), u"code-secret");
  }
  const std::string player = storeFolder.file("browser.sh");
  std::ofstream(player) << "#!/bin/sh\nexec python3 " << TARVEL_SOURCE_DIR_PATH
                        << "/tests/support/oauth_browser.py --ca " << provider->caFile()
                        << " --map login.microsoftonline.com=" << provider->port()
                        << " --user tester --password s3cret \"$1\" >/dev/null\n";
  ::chmod(player.c_str(), 0700);
  std::string output;
  EXPECT_EQ(
      RunProgram({TARVELCTL_PATH, "--ini", ini, "signin", "1", "--browser", player}, {}, &output),
      0)
      << output;
  EXPECT_NE(output.find("Sign in at: https://login.microsoftonline.com/"), std::string::npos)
      << output;
  SettingsStore file;
  ASSERT_TRUE(file.open(SettingsMode::IniFile, nullptr, kSettingsKeyPath, ini));
  EXPECT_FALSE(UnprotectText(file, u"IMAPRefreshToken1", u"").isEmpty());
}

// Google and Yandex as the program meets them: the test bed under each provider's host
// names, issuer and paths; the code flow in the desktop's browser (played), then a refresh of
// the access token with the stored refresh token.
TEST(OAuthProvidersOnTheTestBed, GoogleAndYandexSignInAndRefresh) {
  const struct {
    const char* profile;
    OAuthProvider provider;
    const char16_t* server;
    const char* authorizationHost;
    const char* tokenHost;
  } rows[] = {
      {"google", OAuthProvider::Google, u"imap.gmail.com:993", "accounts.google.com",
       "oauth2.googleapis.com"},
      {"yandex", OAuthProvider::Yandex, u"imap.yandex.com:993", "oauth.yandex.com",
       "oauth.yandex.com"},
  };
  // Another suite of this binary may have pointed the HTTP client elsewhere: put it back after.
  const char* const savedConnectTo = std::getenv("TARVEL_CONNECT_TO");
  const char* const savedCaFile = std::getenv("TARVEL_CA_FILE");
  const std::string connectToBefore = savedConnectTo ? savedConnectTo : "";
  const std::string caFileBefore = savedCaFile ? savedCaFile : "";
  for (const auto& row : rows) {
    SCOPED_TRACE(row.profile);
    testing::TempFolder folder;
    testing::OAuthAuthorizationServer provider;
    ::setenv("TARVEL_TEST_PROVIDER", row.profile, 1);
    const bool started = provider.Start(folder.path(), 60);
    ::unsetenv("TARVEL_TEST_PROVIDER");
    ASSERT_TRUE(started) << provider.log();
    const std::string port = std::to_string(provider.port());
    ::setenv("TARVEL_CONNECT_TO",
             (std::string(row.authorizationHost) + ":443:127.0.0.1:" + port + ";" + row.tokenHost +
              ":443:127.0.0.1:" + port)
                 .c_str(),
             1);
    ::setenv("TARVEL_CA_FILE", provider.caFile().c_str(), 1);

    testing::TempFolder storeFolder;
    SettingsStore store;
    ASSERT_TRUE(
        store.open(SettingsMode::IniFile, nullptr, kSettingsKeyPath, storeFolder.file("t.ini")));
    store.writeText(ClientIdValueName(row.provider), u"code-client");
    store.writeText(ClientSecretValueName(row.provider), u"code-secret");
    SystemClock clock;
    OptionFlags flags;
    HttpSession http;
    testing::RecordingTrace trace;
    OAuthAuthorizer authorizer{http, clock, &store, &trace};
    ImapEngine engine(FirstImapType(), 0,
                      ImapEngineServices{clock, flags, &store, nullptr, &authorizer,
                                         ZARQUET_LIBRARY_PATH, &trace});
    ImapAccountSettings settings;
    settings.server = Text(row.server);
    settings.user = u"tester";
    settings.authMethod = static_cast<uint32_t>(ImapAuthMethod::OAuth2AuthCode);
    engine.ApplySettings(settings);

    std::string opened;
    std::thread browser;
    bool browsed = false;
    const TokenStatus signedIn = SignInWithBrowser(
        authorizer, engine,
        [&](const std::string& address) {
          opened = address;
          browser = std::thread([&, address] {
            browsed =
                RunProgram({"python3",
                            std::string(TARVEL_SOURCE_DIR_PATH) + "/tests/support/oauth_browser.py",
                            "--ca", provider.caFile(), "--map",
                            std::string(row.authorizationHost) + "=" + port, "--user", "tester",
                            "--password", "s3cret", address}) == 0;
          });
          return true;
        },
        {}, 60'000);
    if (browser.joinable())
      browser.join();
    ASSERT_EQ(signedIn, TokenStatus::Ready)
        << ::testing::PrintToString(trace.take()) << provider.log();
    EXPECT_TRUE(browsed);
    EXPECT_TRUE(opened.starts_with("https://" + std::string(row.authorizationHost) + "/"))
        << opened;
    const Text firstAccess = engine.AccessToken();
    EXPECT_FALSE(firstAccess.isEmpty());
    EXPECT_FALSE(UnprotectText(store, u"IMAPRefreshToken1", u"").isEmpty());

    // The access token is gone (the IMAP server refused it): the refresh brings a new one and
    // the account stays signed in.
    engine.SetAccessToken(Text());
    EXPECT_EQ(authorizer.RefreshAccessToken(engine), TokenStatus::Ready)
        << ::testing::PrintToString(trace.take()) << provider.log();
    EXPECT_FALSE(engine.AccessToken().isEmpty());
    EXPECT_NE(engine.AccessToken().ToUtf8(), firstAccess.ToUtf8());
    EXPECT_FALSE(UnprotectText(store, u"IMAPRefreshToken1", u"").isEmpty());
  }
  if (savedConnectTo)
    ::setenv("TARVEL_CONNECT_TO", connectToBefore.c_str(), 1);
  else
    ::unsetenv("TARVEL_CONNECT_TO");
  if (savedCaFile)
    ::setenv("TARVEL_CA_FILE", caFileBefore.c_str(), 1);
  else
    ::unsetenv("TARVEL_CA_FILE");
}

}  // namespace
}  // namespace tarvel
