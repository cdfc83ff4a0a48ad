// The transport library against a scripted server: the call contract (tags, codes, every line
// in order), cancelling, sessions of their own per slot, and hostile server behaviour.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "engines/protocol/imap_transport.h"
#include "platform/base64.h"
#include "tests/support/scripted_imap_server.h"

namespace tarvel {
namespace {

using testing::ScriptedImapServer;
using testing::ScriptedReply;

constexpr uint32_t kShortTimeoutMs = 400;

struct Outcome {
  bool ok = false;
  int32_t code = 0;
  std::vector<std::string> lines;
};

Outcome RunOn(ImapTransport& transport, const std::string& url, const char* command,
              uint32_t timeoutMs = kShortTimeoutMs) {
  Outcome outcome;
  outcome.ok = transport.ExecuteCommand(
      url.empty() ? nullptr : url.c_str(), command,
      [&](std::string_view line) { outcome.lines.emplace_back(line); }, timeoutMs, outcome.code);
  return outcome;
}

bool Contains(const std::vector<std::string>& lines, const std::string& wanted) {
  for (const std::string& line : lines) {
    if (line.rfind(wanted, 0) == 0)
      return true;
  }
  return false;
}

class ZarquetTest : public ::testing::Test {
 protected:
  ImapTransport transport{0, ZARQUET_LIBRARY_PATH};
};

TEST_F(ZarquetTest, UnseenUrlRunsTheNumberedStepsAndHandsOnEveryLineInOrder) {
  ScriptedImapServer server([](const std::string& tag, const std::string& command) {
    if (command.rfind("SEARCH", 0) == 0)
      return ScriptedReply{"* SEARCH 3 7 12\r\n" + tag + " OK SEARCH completed\r\n"};
    return ScriptedImapServer::StandardReply(tag, command);
  });
  ASSERT_TRUE(transport.isComplete());
  ASSERT_TRUE(transport.Init("tester", "s3cret", ""));
  const Outcome outcome = RunOn(transport, server.url("Work%20Items%7C2024?UNSEEN"), nullptr);
  ASSERT_TRUE(outcome.ok) << transport.LastError();

  const std::vector<std::string> sent = server.receivedLines();
  ASSERT_GE(sent.size(), 4u);
  EXPECT_EQ(sent[0], "A001 CAPABILITY");
  // PLAIN with the initial response: "\0tester\0s3cret".
  EXPECT_EQ(sent[1], "A002 AUTHENTICATE PLAIN AHRlc3RlcgBzM2NyZXQ=");
  EXPECT_EQ(sent[2], "A003 SELECT \"Work Items|2024\"");
  EXPECT_EQ(sent[3], "A004 SEARCH UNSEEN");

  const std::vector<std::string> expected = {
      ScriptedImapServer::kGreeting,
      "* CAPABILITY IMAP4rev1 SASL-IR AUTH=PLAIN IDLE\r\n",
      "A001 OK done\r\n",
      "A002 OK Logged in\r\n",
      "* 0 EXISTS\r\n",
      "A003 OK [READ-WRITE] Select completed\r\n",
      "* SEARCH 3 7 12\r\n",
      "A004 OK SEARCH completed\r\n",
  };
  EXPECT_EQ(outcome.lines, expected);

  // A command without URL runs on the open connection, with the next tag.
  const Outcome fetch = RunOn(transport, "", "NOOP");
  EXPECT_FALSE(fetch.ok);  // the scripted server does not know NOOP
  EXPECT_EQ(fetch.code, 21);
  EXPECT_EQ(server.receivedLines().back(), "A005 NOOP");
}

TEST_F(ZarquetTest, AccessTokenIsSentAsXoauth2) {
  ScriptedImapServer server(ScriptedImapServer::StandardReply);
  ASSERT_TRUE(transport.Init("me@example.com", "", "tok"));
  ASSERT_TRUE(RunOn(transport, server.url("INBOX?UNSEEN"), nullptr).ok);
  // base64("user=me@example.com\x01" "auth=Bearer tok\x01\x01")
  EXPECT_EQ(server.receivedLines()[1],
            "A002 AUTHENTICATE XOAUTH2 dXNlcj1tZUBleGFtcGxlLmNvbQFhdXRoPUJlYXJlciB0b2sBAQ==");
}

// The access token's mechanism follows the server's capabilities: OAUTHBEARER only where
// the server offers it without XOAUTH2.
TEST_F(ZarquetTest, AccessTokenMechanismFollowsTheOfferedCapabilities) {
  struct Case {
    const char* capabilities;
    const char* mechanism;
  };
  const Case cases[] = {
      {"IMAP4rev1 SASL-IR AUTH=OAUTHBEARER", "OAUTHBEARER"},
      {"IMAP4rev1 SASL-IR AUTH=XOAUTH2 AUTH=OAUTHBEARER", "XOAUTH2"},
      {"IMAP4rev1 SASL-IR AUTH=OAUTHBEARER AUTH=XOAUTH2", "XOAUTH2"},
      {"IMAP4rev1 SASL-IR AUTH=PLAIN", "XOAUTH2"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.capabilities);
    const std::string capabilities = c.capabilities;
    ScriptedImapServer server([capabilities](const std::string& tag, const std::string& command) {
      if (command == "CAPABILITY")
        return ScriptedReply{"* CAPABILITY " + capabilities + "\r\n" + tag + " OK done\r\n"};
      return ScriptedImapServer::StandardReply(tag, command);
    });
    ImapTransport session{1, ZARQUET_LIBRARY_PATH};
    ASSERT_TRUE(session.Init("me,=x@example.com", "", "tok"));
    ASSERT_TRUE(RunOn(session, server.url("INBOX?UNSEEN"), nullptr).ok) << session.LastError();
    const std::string line = server.receivedLines().at(1);
    const std::string prefix = std::string("A002 AUTHENTICATE ") + c.mechanism + " ";
    ASSERT_EQ(line.rfind(prefix, 0), 0u) << line;
    const std::string message = DecodeBase64(line.substr(prefix.size()));
    if (std::string(c.mechanism) == "OAUTHBEARER") {
      // RFC 7628: the GS2 header with "," and "=" of the user escaped, host, port, token.
      EXPECT_EQ(message, "n,a=me=2C=3Dx@example.com,\x01host=127.0.0.1\x01port=" +
                             std::to_string(server.port()) +
                             "\x01"
                             "auth=Bearer tok\x01\x01");
    } else {
      EXPECT_EQ(message,
                "user=me,=x@example.com\x01"
                "auth=Bearer tok\x01\x01");
    }
    session.Close();
  }
}

// A refused token: the server's JSON error challenge is answered (OAUTHBEARER: the dummy
// "\x01", XOAUTH2: an empty response) so that it ends with its NO, and the failure names the
// status of the challenge. A client that does not answer would hang until the time-out.
TEST_F(ZarquetTest, RefusedAccessTokenAnswersTheErrorChallengeAndReportsItsStatus) {
  struct Case {
    const char* capabilities;
    const char* challenge;
    const char* response;
    const char* reported;
  };
  const Case cases[] = {
      {"IMAP4rev1 SASL-IR AUTH=OAUTHBEARER",
       R"({"status":"invalid_token","scope":"imap mail","openid-configuration":"https://x/"})",
       "AQ==", "OAUTHBEARER, status invalid_token, scope imap mail"},
      {"IMAP4rev1 SASL-IR AUTH=XOAUTH2", R"( { "status" : "401", "schemes":"bearer"} )", "",
       "XOAUTH2, status 401"},
      // Not JSON: still answered and refused, without a status.
      {"IMAP4rev1 SASL-IR AUTH=OAUTHBEARER", "no json here", "AQ==", "(OAUTHBEARER)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.capabilities);
    const std::string capabilities = c.capabilities;
    const std::string challenge = EncodeBase64(c.challenge);
    std::string authenticateTag;
    ScriptedImapServer server([&](const std::string& tag, const std::string& command) {
      if (command == "CAPABILITY")
        return ScriptedReply{"* CAPABILITY " + capabilities + "\r\n" + tag + " OK done\r\n"};
      if (command.rfind("AUTHENTICATE", 0) == 0) {
        authenticateTag = tag;
        return ScriptedReply{"+ " + challenge + "\r\n"};
      }
      if (!authenticateTag.empty()) {
        // The client's answer to the challenge: a line of its own.
        const std::string refused = authenticateTag + " NO [AUTHENTICATIONFAILED] failed\r\n";
        authenticateTag.clear();
        return ScriptedReply{refused};
      }
      return ScriptedImapServer::StandardReply(tag, command);
    });
    ImapTransport session{1, ZARQUET_LIBRARY_PATH};
    ASSERT_TRUE(session.Init("tester", "", "expired"));
    const Outcome outcome = RunOn(session, server.url("INBOX?UNSEEN"), nullptr, 5'000);
    EXPECT_FALSE(outcome.ok);
    EXPECT_EQ(outcome.code, 67);
    const std::vector<std::string> sent = server.receivedLines();
    ASSERT_GE(sent.size(), 3u);
    EXPECT_EQ(sent[2], c.response);
    EXPECT_NE(session.LastError().find(c.reported), std::string::npos) << session.LastError();
    EXPECT_TRUE(Contains(outcome.lines, "A002 NO [AUTHENTICATIONFAILED]"));
    session.Close();
  }
}

TEST_F(ZarquetTest, RefusedLoginIsCode67AndTheRefusalReachesTheCallback) {
  ScriptedImapServer server([](const std::string& tag, const std::string& command) {
    if (command.rfind("AUTHENTICATE", 0) == 0)
      return ScriptedReply{tag + " NO AUTHENTICATE failed\r\n"};
    return ScriptedImapServer::StandardReply(tag, command);
  });
  transport.Init("tester", "wrong", "");
  const Outcome outcome = RunOn(transport, server.url("INBOX?UNSEEN"), nullptr);
  EXPECT_FALSE(outcome.ok);
  EXPECT_EQ(outcome.code, 67);
  EXPECT_TRUE(Contains(outcome.lines, "A002 NO AUTHENTICATE"));
  // The session is closed after a refusal: a command has no connection to run on.
  EXPECT_FALSE(RunOn(transport, "", "NOOP").ok);
}

TEST_F(ZarquetTest, LiteralsReachTheCallbackLineByLine) {
  ScriptedImapServer server([](const std::string& tag, const std::string& command) {
    if (command.rfind("FETCH", 0) == 0) {
      // The literal's last piece has no line end: it starts the line after the literal.
      const std::string header = "Subject: A002 OK not a status\r\nFrom: x\r\n\r\nte";
      return ScriptedReply{"* 1 FETCH (BODY[HEADER] {" + std::to_string(header.size()) + "}\r\n" +
                           header + "il)\r\n" + tag + " OK Fetch completed\r\n"};
    }
    return ScriptedImapServer::StandardReply(tag, command);
  });
  transport.Init("tester", "s3cret", "");
  ASSERT_TRUE(RunOn(transport, server.url("INBOX?UNSEEN"), nullptr).ok);
  const Outcome fetch = RunOn(transport, "", "FETCH 1 (BODY.PEEK[HEADER])");
  ASSERT_TRUE(fetch.ok) << transport.LastError();
  const std::vector<std::string> expected = {"* 1 FETCH (BODY[HEADER] {44}\r\n",
                                             "Subject: A002 OK not a status\r\n",
                                             "From: x\r\n",
                                             "\r\n",
                                             "teil)\r\n",
                                             "A005 OK Fetch completed\r\n"};
  EXPECT_EQ(fetch.lines, expected);
}

TEST_F(ZarquetTest, CancelFromTheCallbackEndsIdleAndKeepsTheConnection) {
  ScriptedImapServer server(ScriptedImapServer::StandardReply);
  transport.Init("tester", "s3cret", "");
  ASSERT_TRUE(RunOn(transport, server.url("INBOX?UNSEEN"), nullptr).ok);
  std::thread news([&] {
    // Deliver news once the server has seen IDLE.
    server.WaitForLineEnding("A005 IDLE");
    server.Push("* 4 EXISTS\r\n");
  });
  int32_t code = 0;
  std::vector<std::string> lines;
  const bool ok = transport.ExecuteCommand(
      nullptr, "IDLE",
      [&](std::string_view line) {
        lines.emplace_back(line);
        if (line.find(" EXISTS") != std::string_view::npos)
          transport.Cancel();
      },
      60'000, code);
  news.join();
  EXPECT_FALSE(ok);
  EXPECT_EQ(code, 42);
  EXPECT_EQ(lines, (std::vector<std::string>{"+ idling\r\n", "* 4 EXISTS\r\n"}));
  EXPECT_EQ(server.receivedLines().back(), "DONE");
  // Still usable after DONE.
  EXPECT_EQ(RunOn(transport, "", "LIST \"\" *").code, 0);
}

// A cancel that arrives together with the server's go-ahead (here: from the callback of that
// very line) still ends the IDLE with DONE at once, instead of waiting for a go-ahead that was
// already read and then dropping the connection.
TEST_F(ZarquetTest, CancelWithTheGoAheadStillEndsIdleWithDone) {
  ScriptedImapServer server(ScriptedImapServer::StandardReply);
  transport.Init("tester", "s3cret", "");
  ASSERT_TRUE(RunOn(transport, server.url("INBOX?UNSEEN"), nullptr).ok);
  int32_t code = 0;
  const auto started = std::chrono::steady_clock::now();
  const bool ok = transport.ExecuteCommand(
      nullptr, "IDLE",
      [&](std::string_view line) {
        if (line.rfind("+", 0) == 0)
          transport.Cancel();
      },
      60'000, code);
  EXPECT_FALSE(ok);
  EXPECT_EQ(code, 42);
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(1500));
  EXPECT_EQ(server.receivedLines().back(), "DONE");
  EXPECT_EQ(RunOn(transport, "", "LIST \"\" *").code, 0);  // the connection stays usable
}

// A server that ends the connection during the TLS handshake (closed, or reset) still gives a
// reason after the colon, and one that says how to write a plain port that offers STARTTLS.
TEST_F(ZarquetTest, HandshakeEndedByTheServerHasAReason) {
  const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  ASSERT_GE(listener, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(::listen(listener, 1), 0);
  ASSERT_EQ(::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length), 0);
  const std::string port = std::to_string(ntohs(address.sin_port));
  for (const bool reset : {false, true}) {
    SCOPED_TRACE(reset);
    std::thread closer([listener, reset] {
      const int connection = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
      if (connection < 0)
        return;
      if (reset) {
        const linger abort{1, 0};
        ::setsockopt(connection, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
      }
      ::close(connection);
    });
    transport.Init("tester", "s3cret", "");
    const Outcome outcome =
        RunOn(transport, "imaps://127.0.0.1:" + port + "/INBOX?UNSEEN", nullptr);
    closer.join();
    EXPECT_FALSE(outcome.ok);
    const std::string reason = transport.LastError();
    // A reset can reach the client while its connect is still being confirmed, before the
    // handshake began: then the connection's own failure is the reason.
    if (reset && reason.rfind("connection failed: ", 0) == 0) {
      EXPECT_NE(reason.find("127.0.0.1:" + port), std::string::npos) << reason;
      continue;
    }
    const std::string lead = "TLS handshake with 127.0.0.1 failed: ";
    ASSERT_EQ(reason.rfind(lead, 0), 0u) << reason;
    EXPECT_GT(reason.size(), lead.size());
    EXPECT_NE(reason[lead.size()], '(') << reason;
    EXPECT_NE(reason.find("imap://127.0.0.1:" + port), std::string::npos) << reason;
  }
  ::close(listener);
}

TEST_F(ZarquetTest, CancelFromAnotherThreadEndsIdle) {
  ScriptedImapServer server(ScriptedImapServer::StandardReply);
  transport.Init("tester", "s3cret", "");
  ASSERT_TRUE(RunOn(transport, server.url("INBOX?UNSEEN"), nullptr).ok);
  std::atomic<bool> idling{false};
  std::thread canceller([&] {
    while (!idling.load())
      std::this_thread::yield();
    transport.Cancel();
  });
  const auto started = std::chrono::steady_clock::now();
  int32_t code = 0;
  const bool ok = transport.ExecuteCommand(
      nullptr, "IDLE", [&](std::string_view) { idling.store(true); }, 1'800'000, code);
  canceller.join();
  EXPECT_FALSE(ok);
  EXPECT_EQ(code, 42);
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(10));
}

TEST_F(ZarquetTest, IdleRunsIntoItsTimeOutWithCode28) {
  ScriptedImapServer server(ScriptedImapServer::StandardReply);
  transport.Init("tester", "s3cret", "");
  ASSERT_TRUE(RunOn(transport, server.url("INBOX?UNSEEN"), nullptr).ok);
  const Outcome idle = RunOn(transport, "", "IDLE", 200);
  EXPECT_FALSE(idle.ok);
  EXPECT_EQ(idle.code, 28);
}

TEST_F(ZarquetTest, SlotsHaveSessionsOfTheirOwn) {
  ScriptedImapServer first(ScriptedImapServer::StandardReply);
  ScriptedImapServer second(ScriptedImapServer::StandardReply);
  ImapTransport other(1, ZARQUET_LIBRARY_PATH);
  transport.Init("tester", "s3cret", "");
  ASSERT_TRUE(RunOn(transport, first.url("INBOX?UNSEEN"), nullptr).ok);
  other.Init("second", "s3cret", "");
  ASSERT_TRUE(RunOn(other, second.url("INBOX?UNSEEN"), nullptr).ok);
  // The first slot's connection survived the second slot's Init.
  EXPECT_TRUE(RunOn(transport, "", "LIST \"\" *").ok);
  EXPECT_EQ(first.receivedLines().back(), "A005 LIST \"\" *");
}

// A server without STARTTLS gets no password unless the URL names this machine and the
// connection really goes there; a name redirected to loopback is not enough.
TEST_F(ZarquetTest, NoCredentialsOverPlainConnectionsToOtherHosts) {
  ScriptedImapServer server(ScriptedImapServer::StandardReply);
  ::setenv("TARVEL_CONNECT_TO", ("::127.0.0.1:" + std::to_string(server.port())).c_str(), 1);
  transport.Init("tester", "s3cret", "");
  const Outcome remote = RunOn(transport, "imap://imap.example.com/INBOX?UNSEEN", nullptr);
  const Outcome local = RunOn(transport, "imap://localhost/INBOX?UNSEEN", nullptr);
  ::unsetenv("TARVEL_CONNECT_TO");
  EXPECT_FALSE(remote.ok);
  EXPECT_EQ(remote.code, 64);
  EXPECT_TRUE(local.ok) << transport.LastError();
  const std::vector<std::string> sent = server.receivedLines();
  ASSERT_GE(sent.size(), 3u);
  EXPECT_EQ(sent[0], "A001 CAPABILITY");
  EXPECT_EQ(sent[1], "A001 CAPABILITY");  // the second connection; nothing else on the first
  EXPECT_EQ(sent[2].rfind("A002 AUTHENTICATE", 0), 0u);
}

// STARTTLS command injection: lines that come after the server's OK but before the TLS
// handshake were not protected by TLS and must not be read as the server's answers.
TEST_F(ZarquetTest, StartTlsAnswerWithInjectedLinesIsRefusedBeforeTheHandshake) {
  ScriptedImapServer server([](const std::string& tag, const std::string& command) {
    if (command == "CAPABILITY")
      return ScriptedReply{"* CAPABILITY IMAP4rev1 STARTTLS SASL-IR AUTH=PLAIN\r\n" + tag +
                           " OK done\r\n"};
    if (command == "STARTTLS")
      return ScriptedReply{tag +
                           " OK Begin TLS negotiation now\r\n"
                           "* CAPABILITY IMAP4rev1 AUTH=PLAIN\r\nA002 OK Logged in\r\n"};
    return ScriptedImapServer::StandardReply(tag, command);
  });
  transport.Init("tester", "s3cret", "");
  const Outcome outcome = RunOn(transport, server.url("INBOX?UNSEEN"), nullptr);
  EXPECT_FALSE(outcome.ok);
  EXPECT_EQ(outcome.code, 8);
  EXPECT_EQ(server.receivedLines(), (std::vector<std::string>{"A001 CAPABILITY", "S001 STARTTLS"}));
  for (const std::string& line : outcome.lines)
    EXPECT_EQ(line.find("injected"), std::string::npos) << line;
  EXPECT_FALSE(Contains(outcome.lines, "A002"));
}

// PREAUTH skips the login, and with it any chance of STARTTLS: on a plain connection only this
// machine may do so. Either way no credentials are sent.
TEST_F(ZarquetTest, PreauthenticatedPlainConnections) {
  const std::string greeting = "* PREAUTH [CAPABILITY IMAP4rev1 IDLE] logged in as tester\r\n";
  const auto handler = [](const std::string& tag, const std::string& command) {
    if (command == "CAPABILITY")
      return ScriptedReply{"* CAPABILITY IMAP4rev1 STARTTLS IDLE\r\n" + tag + " OK done\r\n"};
    return ScriptedImapServer::StandardReply(tag, command);
  };
  struct Row {
    const char* name;
    bool redirected;  // the URL names another host, sent to the scripted server
    bool ok;
    int32_t code;
    std::vector<std::string> sent;
  };
  const Row rows[] = {
      {"this machine",
       false,
       true,
       0,
       {"A001 CAPABILITY", "A003 SELECT \"INBOX\"", "A004 SEARCH UNSEEN"}},
      {"another host", true, false, 64, {}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    ScriptedImapServer server(handler, greeting);
    std::string url = server.url("INBOX?UNSEEN");
    if (row.redirected) {
      ::setenv("TARVEL_CONNECT_TO", ("::127.0.0.1:" + std::to_string(server.port())).c_str(), 1);
      url = "imap://imap.example.com/INBOX?UNSEEN";
    }
    transport.Init("tester", "s3cret", "");
    const Outcome outcome = RunOn(transport, url, nullptr);
    ::unsetenv("TARVEL_CONNECT_TO");
    EXPECT_EQ(outcome.ok, row.ok) << transport.LastError();
    EXPECT_EQ(outcome.code, row.code);
    EXPECT_EQ(server.receivedLines(), row.sent);
  }
}

TEST_F(ZarquetTest, MalformedCallsFailWithoutTouchingTheNetwork) {
  transport.Init("tester", "s3cret", "");
  EXPECT_EQ(RunOn(transport, "", "NOOP").code, 2);  // no connection yet
  EXPECT_EQ(RunOn(transport, "http://example.com/", nullptr).code, 3);
  EXPECT_EQ(RunOn(transport, "imap://127.0.0.1:1/IN%0D%0ABOX?UNSEEN", nullptr).code, 3);
  EXPECT_EQ(RunOn(transport, "imap://127.0.0.1:99999/INBOX", nullptr).code, 3);
}

std::size_t CountStartingWith(const std::vector<std::string>& lines, const std::string& prefix) {
  std::size_t count = 0;
  for (const std::string& line : lines)
    count += line.rfind(prefix, 0) == 0 ? 1 : 0;
  return count;
}

// After an IDLE ended properly, DeInit and Init with the same credentials keep the connection
// and its login; the next URL still shows the steps and tags of a fresh connection.
TEST_F(ZarquetTest, AHealthySessionIsTakenUpByTheNextInitWithTheSameCredentials) {
  ScriptedImapServer server(ScriptedImapServer::StandardReply);
  transport.Init("tester", "s3cret", "");
  ASSERT_TRUE(RunOn(transport, server.url("INBOX?UNSEEN"), nullptr).ok);
  EXPECT_EQ(RunOn(transport, "", "IDLE", 100).code, 28);  // ended with DONE and its OK
  transport.DeInit();
  const std::size_t firstSession = server.receivedLines().size();

  transport.Init("tester", "s3cret", "");
  const Outcome second = RunOn(transport, server.url("INBOX?UNSEEN"), nullptr);
  ASSERT_TRUE(second.ok) << transport.LastError();
  const std::vector<std::string> sent = server.receivedLines();
  EXPECT_EQ(
      std::vector<std::string>(sent.begin() + static_cast<std::ptrdiff_t>(firstSession),
                               sent.end()),
      (std::vector<std::string>{"A001 CAPABILITY", "A003 SELECT \"INBOX\"", "A004 SEARCH UNSEEN"}));
  const std::vector<std::string> expected = {
      "* CAPABILITY IMAP4rev1 SASL-IR AUTH=PLAIN IDLE\r\n",
      "A001 OK done\r\n",
      "* 0 EXISTS\r\n",
      "A003 OK [READ-WRITE] Select completed\r\n",
      "* SEARCH\r\n",
      "A004 OK Search completed\r\n",
  };
  EXPECT_EQ(second.lines, expected);
  // Init without DeInit (the engine's way after an IDLE) keeps it as well.
  transport.Init("tester", "s3cret", "");
  ASSERT_TRUE(RunOn(transport, server.url("INBOX?UNSEEN"), nullptr).ok);
  EXPECT_EQ(CountStartingWith(server.receivedLines(), "A002 AUTHENTICATE"), 1u);
}

// Anything unexpected on the first session, or other credentials, and the next Init gets a
// connection and login of its own.
TEST_F(ZarquetTest, AnUnhealthySessionOrOtherCredentialsAreNotTakenUp) {
  struct Row {
    const char* name;
    bool byeInSearch;  // the server says BYE in the middle of an answer
    std::function<void(ImapTransport&, ScriptedImapServer&)> betweenSessions;
    const char* password;
  };
  const std::vector<Row> rows = {
      {"BYE in an answer", true, nullptr, "s3cret"},
      {"other password", false, nullptr, "changed"},
      {"refused command", false,
       [](ImapTransport& session, ScriptedImapServer&) {
         EXPECT_EQ(RunOn(session, "", "NOOP").code, 21);
       },
       "s3cret"},
      {"server spoke between sessions", false,
       // Seen at Init, or (when it arrives later) in the first answer on the taken-up
       // connection: either way a fresh connection follows.
       [](ImapTransport&, ScriptedImapServer& server) {
         server.Push("* BYE idle for too long\r\n");
       },
       "s3cret"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    ScriptedImapServer server([&](const std::string& tag, const std::string& command) {
      if (row.byeInSearch && command.rfind("SEARCH", 0) == 0)
        return ScriptedReply{"* BYE shutting down\r\n* SEARCH\r\n" + tag + " OK done\r\n"};
      return ScriptedImapServer::StandardReply(tag, command);
    });
    transport.Init("tester", "s3cret", "");
    ASSERT_TRUE(RunOn(transport, server.url("INBOX?UNSEEN"), nullptr).ok);
    if (row.betweenSessions)
      row.betweenSessions(transport, server);
    transport.DeInit();
    transport.Init("tester", row.password, "");
    const Outcome second = RunOn(transport, server.url("INBOX?UNSEEN"), nullptr);
    EXPECT_TRUE(second.ok) << transport.LastError();
    EXPECT_EQ(CountStartingWith(server.receivedLines(), "A002 AUTHENTICATE"), 2u);
    // The new connection's greeting comes first; nothing of the old one reached the caller.
    ASSERT_FALSE(second.lines.empty());
    EXPECT_EQ(second.lines.front(), ScriptedImapServer::kGreeting);
    transport.DeInit();
  }
}

// Hostile or broken servers: every case ends in a failure code within the time-out.
struct HostileCase {
  const char* name;
  std::string greeting;
  ScriptedImapServer::Handler handler;
  int32_t expectedCode;
};

ScriptedReply OnSearch(const std::string& tag, const std::string& command, ScriptedReply reply) {
  if (command.rfind("SEARCH", 0) == 0)
    return reply;
  return ScriptedImapServer::StandardReply(tag, command);
}

TEST_F(ZarquetTest, HostileServersEndInAStatus) {
  const std::string huge(2 * 1024 * 1024, 'x');
  const std::vector<HostileCase> cases = {
      {"no greeting but garbage", std::string("\x01\x02\xff binary\r\n", 12),
       ScriptedImapServer::StandardReply, 8},
      {"huge line without end", ScriptedImapServer::kGreeting,
       [&](const std::string& tag, const std::string& command) {
         return OnSearch(tag, command, {"* SEARCH " + huge});
       },
       8},
      {"literal longer than the limit", ScriptedImapServer::kGreeting,
       [](const std::string& tag, const std::string& command) {
         return OnSearch(tag, command, {"* 1 FETCH (BODY[] {99999999999}\r\n"});
       },
       8},
      {"line cut by a closed connection", ScriptedImapServer::kGreeting,
       [](const std::string& tag, const std::string& command) {
         return OnSearch(tag, command, {"* SEARCH 1 2", ScriptedReply::Then::Close});
       },
       56},
      {"server stops answering", ScriptedImapServer::kGreeting,
       [](const std::string& tag, const std::string& command) {
         return OnSearch(tag, command, {"", ScriptedReply::Then::Stall});
       },
       28},
      {"answer to another tag, then silence", ScriptedImapServer::kGreeting,
       [](const std::string& tag, const std::string& command) {
         return OnSearch(
             tag, command,
             {"A009 OK SEARCH completed\r\n* SEARCH 5\r\n", ScriptedReply::Then::Stall});
       },
       28},
      {"search refused", ScriptedImapServer::kGreeting,
       [](const std::string& tag, const std::string& command) {
         return OnSearch(tag, command, {tag + " BAD no\r\n"});
       },
       21},
      // Each byte comes in time, but the command's deadline bounds the whole answer.
      {"server trickles an endless line", ScriptedImapServer::kGreeting,
       [](const std::string& tag, const std::string& command) {
         return OnSearch(tag, command, {"* SEARCH 1 2 3 ", ScriptedReply::Then::Trickle});
       },
       28},
      {"binary bytes and NULs in lines", ScriptedImapServer::kGreeting,
       [](const std::string& tag, const std::string& command) {
         return OnSearch(tag, command,
                         {std::string("* SEARCH \0\xff\x80 1\r\n", 16) + "\x7f\x00\r\n",
                          ScriptedReply::Then::Close});
       },
       56},
  };
  for (const HostileCase& row : cases) {
    SCOPED_TRACE(row.name);
    ScriptedImapServer server(row.handler, row.greeting);
    transport.Init("tester", "s3cret", "");
    const auto started = std::chrono::steady_clock::now();
    const Outcome outcome = RunOn(transport, server.url("INBOX?UNSEEN"), nullptr);
    EXPECT_FALSE(outcome.ok);
    EXPECT_EQ(outcome.code, row.expectedCode) << transport.LastError();
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(10));
    EXPECT_FALSE(transport.LastError().empty());
  }
}

}  // namespace
}  // namespace tarvel
