// The Exchange engine against a local HTTPS server playing the Exchange endpoint, directly and
// through `tarvelctl check`.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "accounts/account_type_list.h"
#include "accounts/protected_text.h"
#include "engines/protocol/ews_engine.h"
#include "platform/base64.h"
#include "platform/network_settings.h"
#include "platform/xml_document.h"
#include "tests/support/fixture_server.h"
#include "tests/support/mail_records.h"
#include "tests/support/scripted_engine.h"
#include "tests/support/temp_folder.h"

extern char** environ;

namespace tarvel {
namespace {

using nlohmann::json;
using testing::FixtureServer;

constexpr char kHost[] = "exchange.example.com";
constexpr char kPath[] = "/EWS/Exchange.asmx";
constexpr char kUser[] = "joe@example.com";
constexpr char kPassword[] = "s3cr\xC3\xA9t pass";  // "s3crét pass" in UTF-8

const AccountTypeInfo& ExchangeType() {
  return kAccountTypes[20];
}

std::string Fixture(const std::string& name) {
  return testing::ReadFileContent(std::string(TARVEL_SOURCE_DIR_PATH) + "/tests/fixtures/ews/" +
                                  name);
}

// The FindItem request as Exchange documents it, written out here piece by piece with the
// counted runs of blanks between the pieces.
std::string ExpectedRequestBody() {
  const std::string soap = "http://schemas.xmlsoap.org/soap/envelope/";
  const std::string types = "http://schemas.microsoft.com/exchange/services/2006/types";
  const std::string messages = "http://schemas.microsoft.com/exchange/services/2006/messages";
  struct Piece {
    std::string text;
    int blanksAfter;
  };
  const Piece pieces[] = {
      {R"(<?xml version="1.0" encoding="utf-8"?>)", 0},
      {"<soap:Envelope xmlns:soap=\"" + soap + "\" xmlns:t=\"" + types + "\">", 2},
      {"<soap:Body>", 4},
      {"<FindItem xmlns=\"" + messages + "\" xmlns:t=\"" + types + "\" Traversal=\"Shallow\">", 6},
      {"<ItemShape>", 8},
      {"<t:BaseShape>Default</t:BaseShape>", 6},
      {"</ItemShape>", 6},
      {"<Restriction>", 8},
      {"<t:IsEqualTo>", 10},
      {R"(<t:FieldURI FieldURI="message:IsRead" />)", 10},
      {"<t:FieldURIOrConstant>", 12},
      {R"(<t:Constant Value="false" />)", 10},
      {"</t:FieldURIOrConstant>", 8},
      {"</t:IsEqualTo>", 6},
      {"</Restriction>", 6},
      {"<ParentFolderIds>", 8},
      {R"(<t:DistinguishedFolderId Id="inbox"/>)", 6},
      {"</ParentFolderIds>", 4},
      {"</FindItem>", 2},
      {"</soap:Body>", 0},
      {"</soap:Envelope>", 0},
  };
  std::string body;
  for (const Piece& piece : pieces)
    body += piece.text + std::string(static_cast<std::size_t>(piece.blanksAfter), ' ');
  return body;
}

// The Exchange endpoint: POST only, HTTPS only, Basic credentials.
json Endpoint(const std::string& answer, int status = 200,
              const std::string& password = kPassword) {
  return {{"host", kHost},
          {"path", kPath},
          {"method", "POST"},
          {"scheme", "https"},
          {"basic_auth", std::string(kUser) + ":" + password},
          {"status", status},
          {"headers", json::array({json::array({"Content-Type", "text/xml; charset=utf-8"})})},
          {"body_base64", EncodeBase64(answer)}};
}

using Record = testing::MailRecord;

std::vector<Record> Records(const MailEngine& engine) {
  return testing::InboxRecords(engine);
}

const std::vector<Record> kOnlineRecords = {
    {"Grace Hopper", "Caf\u00E9 & cake at 4", "2026-12-09T09:30:01Z"},
    {"Ada Lovelace", "Quarterly figures", "2026-12-08T16:04:12Z"},
    {"", "Delivery notice", "2026-12-07T07:45:00Z"},
};

// A loopback port nobody listens on.
int ClosedPort() {
  const int socket = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  int port = 0;
  if (::bind(socket, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
      ::getsockname(socket, reinterpret_cast<sockaddr*>(&address), &length) == 0)
    port = ntohs(address.sin_port);
  ::close(socket);
  return port;
}

class EwsServerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    folder_.UseAsConfigHome();
    ::setenv("XDG_DATA_HOME", folder_.file("data").c_str(), 1);
    ASSERT_TRUE(server_.Start(json::array({Endpoint(Fixture("find_item_online.xml"))})));
    server_.ExportEnvironment();
  }
  void TearDown() override { SetNetworkTimeouts(kDefaultNetworkTimeouts); }

  // Every port of the endpoint's host leads to the HTTPS server.
  void EveryPortToHttps(std::initializer_list<int> ports) {
    std::string connectTo;
    for (const int port : ports) {
      connectTo +=
          ":" + std::to_string(port) + ":127.0.0.1:" + std::to_string(server_.httpsPort()) + ";";
    }
    ::setenv("TARVEL_CONNECT_TO", connectTo.c_str(), 1);
  }

  static EwsSettings Account(const std::string& server) {
    return {Text::FromUtf8(server), Text::FromUtf8(kUser), Text::FromUtf8(kPassword), {}};
  }

  std::vector<json> EndpointRequests() const {
    std::vector<json> matching;
    for (const json& request : server_.Requests()) {
      if (request.value("host", "") == kHost)
        matching.push_back(request);
    }
    return matching;
  }

  testing::TempFolder folder_;
  FixtureServer server_;
};

TEST_F(EwsServerTest, UnreadMessagesBecomeRecordsNewestFirst) {
  EwsEngine engine(ExchangeType());
  engine.SetSettings(Account("https://exchange.example.com/EWS/Exchange.asmx"));
  ASSERT_EQ(engine.Check(), CheckStatus::Success) << engine.lastFailure.ToUtf8();
  EXPECT_EQ(Records(engine), kOnlineRecords);

  // The credentials may first be asked for; every request is the same FindItem call, and the
  // last one carries them.
  const std::vector<json> requests = EndpointRequests();
  ASSERT_FALSE(requests.empty());
  for (const json& request : requests) {
    EXPECT_EQ(request.value("scheme", ""), "https");
    EXPECT_EQ(request.value("sni", ""), kHost);
    EXPECT_EQ(request.value("method", ""), "POST");
    EXPECT_EQ(request.value("path", ""), kPath);
    EXPECT_EQ(FixtureServer::Header(request, "Content-Type"), "text/xml");
    EXPECT_EQ(FixtureServer::Header(request, "User-Agent"),
              "Mozilla/5.0 (Windows NT 6.3; Win64; x64) AppleWebKit/537.36 (KHTML, like Gecko) "
              "Chrome/37.0.2049.0 Safari/537.36");
    EXPECT_EQ(FixtureServer::Header(request, "Host"), kHost);
  }
  EXPECT_EQ(FixtureServer::Body(requests.back()), ExpectedRequestBody());
  EXPECT_EQ(FixtureServer::Header(requests.back(), "Authorization"),
            "Basic " + EncodeBase64(std::string(kUser) + ":" + kPassword));
}

TEST_F(EwsServerTest, GoesOverTlsToThePortOfTheAddress) {
  EveryPortToHttps({80, 443, 8443});
  struct Case {
    const char* server;
    const char* hostHeader;  // names the port whenever it is not the TLS default
  };
  const Case cases[] = {
      {"https://exchange.example.com/EWS/Exchange.asmx", "exchange.example.com"},
      {"http://exchange.example.com/EWS/Exchange.asmx", "exchange.example.com:80"},
      {"exchange.example.com/EWS/Exchange.asmx", "exchange.example.com:80"},
      // The query and the fragment of the address are not sent.
      {"https://exchange.example.com:8443/EWS/Exchange.asmx?wsdl#top", "exchange.example.com:8443"},
  };
  std::size_t seen = 0;
  for (const Case& row : cases) {
    SCOPED_TRACE(row.server);
    EwsEngine engine(ExchangeType());
    engine.SetSettings(Account(row.server));
    EXPECT_EQ(engine.Check(), CheckStatus::Success) << engine.lastFailure.ToUtf8();
    EXPECT_EQ(engine.mails.count(), 3u);
    const std::vector<json> requests = EndpointRequests();
    ASSERT_GT(requests.size(), seen);
    for (; seen < requests.size(); ++seen) {
      EXPECT_EQ(requests[seen].value("scheme", ""), "https");
      EXPECT_EQ(requests[seen].value("path", ""), kPath);
      EXPECT_EQ(FixtureServer::Header(requests[seen], "Host"), row.hostHeader);
    }
  }
}

TEST_F(EwsServerTest, FailuresAndAnswersWithoutMessages) {
  SetNetworkTimeouts({std::chrono::seconds(5), std::chrono::seconds(1)});
  json stalled = Endpoint(Fixture("find_item_online.xml"));
  stalled["stall"] = "after_headers";
  stalled["stall_seconds"] = 30;
  json truncated = Endpoint(Fixture("find_item_online.xml"));
  truncated["truncate"] = 700;
  json xmlDenied = Endpoint(Fixture("find_item_online.xml"), 200, "another password");
  xmlDenied["denied_body"] = Fixture("unauthorized_error.xml");
  json htmlDenied = Endpoint(Fixture("find_item_online.xml"), 200, "another password");
  htmlDenied["denied_body"] = Fixture("unauthorized_page.html");

  struct Case {
    const char* name;
    json route;
    CheckStatus status;
    std::size_t records;
  };
  const Case cases[] = {
      {"wrong credentials, an HTML page", htmlDenied, CheckStatus::Failure, 0},
      // A refused password or a fault is a failed check, whatever the page holds.
      {"wrong credentials, an XML page", xmlDenied, CheckStatus::Failure, 0},
      {"SOAP fault", Endpoint(Fixture("soap_fault.xml"), 500), CheckStatus::Failure, 0},
      {"SOAP fault with status 200", Endpoint(Fixture("soap_fault.xml")), CheckStatus::Failure, 0},
      {"messages with an error status", Endpoint(Fixture("find_item_online.xml"), 503),
       CheckStatus::Failure, 0},
      {"error response message", Endpoint(Fixture("find_item_error_response.xml")),
       CheckStatus::Failure, 0},
      {"other prefixes", Endpoint(Fixture("find_item_other_prefixes.xml")), CheckStatus::Success,
       0},
      {"empty inbox", Endpoint(Fixture("find_item_empty_inbox.xml")), CheckStatus::Success, 0},
      {"Exchange 2010", Endpoint(Fixture("find_item_exchange2010.xml")), CheckStatus::Success, 3},
      {"garbage", Endpoint(std::string("\x89PNG\r\n\x1a\n\0\0garbage", 18)), CheckStatus::Failure,
       0},
      {"never finishes", stalled, CheckStatus::Failure, 0},
      {"cut off", truncated, CheckStatus::Failure, 0},
  };
  for (const Case& row : cases) {
    SCOPED_TRACE(row.name);
    server_.SetRoutes(json::array({row.route}));
    EwsEngine engine(ExchangeType());
    engine.SetSettings(Account("https://exchange.example.com/EWS/Exchange.asmx"));
    EXPECT_EQ(engine.Check(), row.status);
    EXPECT_EQ(engine.mails.count(), row.records);
    EXPECT_EQ(engine.lastFailure.isEmpty(), row.status == CheckStatus::Success)
        << engine.lastFailure.ToUtf8();
  }

  // Nobody listens.
  const std::string nowhere = ":443:127.0.0.1:" + std::to_string(ClosedPort());
  ::setenv("TARVEL_CONNECT_TO", nowhere.c_str(), 1);
  EwsEngine engine(ExchangeType());
  engine.SetSettings(Account("https://exchange.example.com/EWS/Exchange.asmx"));
  EXPECT_EQ(engine.Check(), CheckStatus::Failure);
  EXPECT_TRUE(engine.mails.isEmpty());
  EXPECT_NE(engine.lastFailure.ToUtf8().find("no answer from the server"), std::string::npos);
}

// Marking as read: the records keep their item's id and change key; UpdateItem sets IsRead on
// exactly that item, with the account's credentials, and what is not a successful
// UpdateItem answer is a failure with its reason.
TEST_F(EwsServerTest, MarkingARecordAsReadSendsUpdateItemWithIsRead) {
  json updated = Endpoint(Fixture("update_item_success.xml"));
  updated["body_contains"] = "<UpdateItem ";
  server_.SetRoutes(json::array({updated, Endpoint(Fixture("find_item_online.xml"))}));
  EwsEngine engine(ExchangeType());
  engine.SetSettings(Account("https://exchange.example.com/EWS/Exchange.asmx"));
  ASSERT_EQ(engine.Check(), CheckStatus::Success) << engine.lastFailure.ToUtf8();
  std::string key;
  for (const MailItem* item = engine.mails.first(); item; item = NodeList<MailItem>::next(item)) {
    if (item->subject.ToUtf8() == "Quarterly figures")
      key = item->markKey;
  }
  ASSERT_EQ(key, "AAMkADk1\nCQAAABYA1");

  Text failure;
  ASSERT_TRUE(engine.MarkRead(key, failure)) << failure.ToUtf8();
  const std::vector<json> requests = EndpointRequests();
  ASSERT_FALSE(requests.empty());
  const json& request = requests.back();
  EXPECT_EQ(request.value("method", ""), "POST");
  EXPECT_EQ(FixtureServer::Header(request, "Content-Type"), "text/xml");
  EXPECT_EQ(FixtureServer::Header(request, "Authorization"),
            "Basic " + EncodeBase64(std::string(kUser) + ":" + kPassword));
  // The request as a server reads it: the one item, its change key, IsRead set to true.
  XmlDocument sent;
  ASSERT_TRUE(sent.Create());
  ASSERT_TRUE(sent.LoadText(Text::FromUtf8(FixtureServer::Body(request))));
  const std::u16string_view change =
      u"soap:Envelope\\soap:Body\\UpdateItem\\ItemChanges\\t:ItemChange";
  Text value;
  ASSERT_TRUE(sent.GetText(std::u16string(change) + u"\\t:ItemId\\Id", value));
  EXPECT_EQ(value.ToUtf8(), "AAMkADk1");
  ASSERT_TRUE(sent.GetText(std::u16string(change) + u"\\t:ItemId\\ChangeKey", value));
  EXPECT_EQ(value.ToUtf8(), "CQAAABYA1");
  ASSERT_TRUE(sent.GetText(
      std::u16string(change) + u"\\t:Updates\\t:SetItemField\\t:FieldURI\\FieldURI", value));
  EXPECT_EQ(value.ToUtf8(), "message:IsRead");
  ASSERT_TRUE(sent.GetText(
      std::u16string(change) + u"\\t:Updates\\t:SetItemField\\t:Message\\t:IsRead", value));
  EXPECT_EQ(value.ToUtf8(), "true");
  ASSERT_TRUE(sent.GetText(u"soap:Envelope\\soap:Body\\UpdateItem\\MessageDisposition", value));
  EXPECT_EQ(value.ToUtf8(), "SaveOnly");

  // An id with markup characters stays one attribute value.
  EXPECT_NE(EwsUpdateItemRequest("a\"b<c&", "").find("<t:ItemId Id=\"a&quot;b&lt;c&amp;\"/>"),
            std::string::npos);
  EXPECT_EQ(EwsMarkKey("", "x"), "");
  EXPECT_EQ(EwsMarkKey(std::string(kEwsLongestId + 1, 'a'), ""), "");

  struct Case {
    const char* name;
    json route;
    const char* reason;
  };
  json refused = Endpoint(Fixture("update_item_success.xml"), 200, "another password");
  const Case cases[] = {
      {"the item is gone", Endpoint(Fixture("update_item_error.xml")), "ErrorItemNotFound"},
      {"a SOAP fault", Endpoint(Fixture("soap_fault.xml"), 500), "HTTP status 500"},
      {"a FindItem answer", Endpoint(Fixture("find_item_online.xml")), "no response message"},
      {"the password refused", refused, "HTTP status 401"},
      {"garbage", Endpoint("not xml at all"), "not XML"},
  };
  for (const Case& row : cases) {
    SCOPED_TRACE(row.name);
    server_.SetRoutes(json::array({row.route}));
    failure.clear();
    EXPECT_FALSE(engine.MarkRead(key, failure));
    EXPECT_NE(failure.ToUtf8().find(row.reason), std::string::npos) << failure.ToUtf8();
  }
  failure.clear();
  EXPECT_FALSE(engine.MarkRead("no line feed", failure));
  EXPECT_FALSE(failure.isEmpty());
}

// The check thread's stop request (given at exit) ends a check that waits for a server which
// trickles its answer or never answers, long before any time-out.
TEST_F(EwsServerTest, StopRequestEndsACheckWaitingForTheServer) {
  json trickling = Endpoint(Fixture("find_item_online.xml"));
  trickling["trickle_seconds"] = 0.5;
  json silent = Endpoint(Fixture("find_item_online.xml"));
  silent["stall"] = "before_headers";
  silent["stall_seconds"] = 120;
  for (const json& route : {trickling, silent}) {
    SCOPED_TRACE(route.contains("stall") ? "never answers" : "trickles");
    server_.SetRoutes(json::array({route}));
    const std::size_t before = EndpointRequests().size();
    OptionFlags flags(ExchangeType().selectBit);
    AccountTypeList accounts(flags, [](const AccountTypeInfo& type) -> std::unique_ptr<MailEngine> {
      if (&type == &ExchangeType()) {
        auto engine = std::make_unique<EwsEngine>(type);
        engine->SetSettings(Account("https://exchange.example.com/EWS/Exchange.asmx"));
        return engine;
      }
      return std::make_unique<testing::ScriptedEngine>(type);
    });
    MailEngine& exchange = *accounts.at(20);
    ASSERT_TRUE(accounts.StartCheck([&] { return static_cast<uint32_t>(exchange.Check()); }));
    // Until the server holds the request that carries the credentials.
    for (int wait = 0; wait < 400 && EndpointRequests().size() < before + 2; ++wait)
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    ASSERT_EQ(EndpointRequests().size(), before + 2);
    ASSERT_FALSE(accounts.checkThread().isFinished());

    const auto stopped = std::chrono::steady_clock::now();
    accounts.checkThread().requestStop();
    ASSERT_TRUE(accounts.checkThread().waitFinished(20'000));
    // About a second; the bound only guards against waiting for the server (60 s and more).
    EXPECT_LT(std::chrono::steady_clock::now() - stopped, std::chrono::seconds(10));
    uint32_t status = 0;
    ASSERT_TRUE(accounts.checkThread().isFinished(&status));
    EXPECT_EQ(status, static_cast<uint32_t>(CheckStatus::Failure));
    EXPECT_TRUE(exchange.mails.isEmpty());
    EXPECT_EQ(exchange.lastFailure.ToUtf8(),
              "no answer from the server (" + std::to_string(http_failure::kCancelled) + ")");
  }
}

TEST_F(EwsServerTest, SignsInWithNtlmWhenTheServerAsksForIt) {
  struct Case {
    const char* name;
    const char* user;
    const char* password;
    const char* accepted;  // what the server takes
    CheckStatus status;
  };
  const Case cases[] = {
      {"account name", "joe@example.com", "Secret-2026", "joe@example.com:Secret-2026",
       CheckStatus::Success},
      {"domain and user", "CORP\\joe", "Secret-2026", "CORP\\joe:Secret-2026",
       CheckStatus::Success},
      // The refusal is an HTML page.
      {"wrong password", "joe@example.com", "guess", "joe@example.com:Secret-2026",
       CheckStatus::Failure},
  };
  for (const Case& row : cases) {
    SCOPED_TRACE(row.name);
    json route = Endpoint(Fixture("find_item_online.xml"));
    route.erase("basic_auth");
    route["ntlm_auth"] = row.accepted;
    route["denied_body"] = Fixture("unauthorized_page.html");
    server_.SetRoutes(json::array({route}));
    const std::size_t before = EndpointRequests().size();

    EwsEngine engine(ExchangeType());
    engine.SetSettings({u"https://exchange.example.com/EWS/Exchange.asmx",
                        Text::FromUtf8(row.user),
                        Text::FromUtf8(row.password),
                        {}});
    EXPECT_EQ(engine.Check(), row.status) << engine.lastFailure.ToUtf8();
    EXPECT_EQ(engine.mails.count(), row.status == CheckStatus::Success ? 3u : 0u);
    const std::vector<json> requests = EndpointRequests();
    ASSERT_GT(requests.size(), before);
    EXPECT_EQ(FixtureServer::Header(requests.back(), "Authorization").rfind("NTLM ", 0), 0u);
    if (row.status == CheckStatus::Success) {
      EXPECT_EQ(FixtureServer::Body(requests.back()), ExpectedRequestBody());
    }
  }
}

// --- tarvelctl --------------------------------------------------------------------------

struct Outcome {
  int exitCode = -1;
  std::string out;
};

Outcome RunTarvelctl(const testing::TempFolder& folder, std::vector<std::string> arguments) {
  arguments.insert(arguments.begin(), TARVELCTL_PATH);
  std::vector<char*> argv;
  for (std::string& argument : arguments)
    argv.push_back(argument.data());
  argv.push_back(nullptr);
  const std::string outPath = folder.file("tarvelctl.out");
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                   0600);
  pid_t child = -1;
  Outcome outcome;
  if (posix_spawn(&child, argv[0], &actions, nullptr, argv.data(), environ) == 0) {
    int status = 0;
    if (::waitpid(child, &status, 0) == child && WIFEXITED(status))
      outcome.exitCode = WEXITSTATUS(status);
  }
  posix_spawn_file_actions_destroy(&actions);
  outcome.out = testing::ReadFileContent(outPath);
  return outcome;
}

TEST_F(EwsServerTest, TarvelctlChecksTheConfiguredAccount) {
  const std::vector<std::vector<std::string>> settings = {
      {"EWSServer", "https://exchange.example.com/EWS/Exchange.asmx"},
      {"EWSUser", kUser},
      {"EWSPassword", kPassword},
      {"EWSWebsite", "https://outlook.office365.com/mail/"},
      {"Flags", "0x800001010"},  // the Exchange type enabled, besides the default options
  };
  for (const std::vector<std::string>& setting : settings) {
    ASSERT_EQ(RunTarvelctl(folder_, {"settings", "set", setting[0], setting[1]}).exitCode, 0)
        << setting[0];
  }
  // The secrets are stored protected.
  EXPECT_NE(RunTarvelctl(folder_, {"settings", "get", "EWSPassword"}).out,
            std::string(kPassword) + "\n");

  const Outcome check = RunTarvelctl(folder_, {"check", "--json"});
  EXPECT_EQ(check.exitCode, 0) << check.out;
  const json report = json::parse(check.out, nullptr, false);
  ASSERT_TRUE(report.is_object()) << check.out;
  EXPECT_EQ(report.value("status", -1), 0);
  EXPECT_EQ(report.value("total", -1), 3);
  EXPECT_EQ(report.value("new", -1), 3);
  ASSERT_EQ(report["accounts"].size(), 1u);
  const json& account = report["accounts"][0];
  EXPECT_EQ(account.value("name", ""), "EWS");
  EXPECT_EQ(account.value("display", ""), kUser);
  EXPECT_EQ(account.value("status", -1), 0);
  std::vector<Record> mails;
  for (const json& mail : account["mails"]) {
    mails.push_back({mail.value("sender", ""), mail.value("subject", ""), mail.value("date", "")});
  }
  EXPECT_EQ(mails, kOnlineRecords);
  const std::vector<json> requests = EndpointRequests();
  ASSERT_FALSE(requests.empty());
  EXPECT_EQ(FixtureServer::Body(requests.back()), ExpectedRequestBody());

  // A password the server refuses: the check fails and says why.
  ASSERT_EQ(RunTarvelctl(folder_, {"settings", "set", "EWSPassword", "wrong"}).exitCode, 0);
  const Outcome refused = RunTarvelctl(folder_, {"check", "--json"});
  EXPECT_EQ(refused.exitCode, 1);
  const json refusedReport = json::parse(refused.out, nullptr, false);
  ASSERT_TRUE(refusedReport.is_object()) << refused.out;
  EXPECT_EQ(refusedReport["accounts"][0].value("status", -1), 1);
  EXPECT_EQ(refusedReport["accounts"][0].value("reason", ""),
            "the server answered with HTTP status 401");
  EXPECT_EQ(refusedReport["accounts"][0]["mails"].size(), 0u);
}

}  // namespace
}  // namespace tarvel
