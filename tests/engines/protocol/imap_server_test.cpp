// The transport library and the IMAP engine against a real Dovecot server on loopback, with
// TLS verified against the test CA and imap.example.com redirected to the server's ports.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "accounts/check_in_relay.h"
#include "accounts/option_flags.h"
#include "engines/protocol/imap_engine.h"
#include "engines/protocol/imap_transport.h"
#include "platform/network_settings.h"
#include "tests/support/dovecot_server.h"
#include "tests/support/fake_clock.h"
#include "tests/support/temp_folder.h"

namespace tarvel {
namespace {

using testing::DovecotServer;
using testing::FakeClock;

const AccountTypeInfo& FirstImapType() {
  for (const AccountTypeInfo& type : kAccountTypes) {
    if (type.engine == EngineKind::Imap)
      return type;
  }
  return kAccountTypes[0];
}

std::string Message(const std::string& subjectHeader, const std::string& date = {},
                    const std::string& from = "Alice Example <alice@example.com>") {
  std::string message = "From: " + from + "\r\n" + subjectHeader + "\r\n";
  if (!date.empty())
    message += "Date: " + date + "\r\n";
  return message + "\r\nbody\r\n";
}

std::vector<std::string> Subjects(const ImapEngine& engine) {
  std::vector<std::string> subjects;
  for (const MailItem* item = engine.mails.first(); item; item = NodeList<MailItem>::next(item))
    subjects.push_back(item->subject.ToUtf8());
  return subjects;
}

class ImapServerTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    server = new DovecotServer();
    if (server->started()) {
      ::setenv("TARVEL_CA_FILE", server->caFile().c_str(), 1);
      ::setenv("TARVEL_CONNECT_TO", server->connectTo().c_str(), 1);
    }
  }
  static void TearDownTestSuite() {
    delete server;
    server = nullptr;
  }

  void SetUp() override {
    ASSERT_TRUE(server && server->started()) << "Dovecot did not start";
    ASSERT_TRUE(server->ExpungeAll("tester"));
  }

  std::unique_ptr<ImapEngine> MakeEngine(uint32_t useIdle = 0) {
    ImapEngineServices services{clock, flags, nullptr, &relay, nullptr, ZARQUET_LIBRARY_PATH};
    auto engine = std::make_unique<ImapEngine>(FirstImapType(), 0, services);
    flags.set(engine->selectBit);  // switched on
    ImapAccountSettings settings;
    settings.server = u"imap.example.com:993";
    settings.user = u"tester";
    settings.password = u"s3cret";
    settings.useIdle = useIdle;
    engine->ApplySettings(settings);
    return engine;
  }

  static DovecotServer* server;
  FakeClock clock;
  OptionFlags flags;
  CheckInRelay relay;
};

DovecotServer* ImapServerTest::server = nullptr;

struct Lines {
  bool ok = false;
  int32_t code = 0;
  std::string text;
};

Lines RunUrl(ImapTransport& transport, const std::string& url) {
  Lines lines;
  lines.ok = transport.ExecuteCommand(
      url.c_str(), nullptr, [&](std::string_view line) { lines.text.append(line); }, 10'000,
      lines.code);
  return lines;
}

TEST_F(ImapServerTest, TransportVerifiesTheServerAndUpgradesPlainConnections) {
  ASSERT_TRUE(server->Deliver("tester", "INBOX", Message("Subject: one")));
  ImapTransport transport(0, ZARQUET_LIBRARY_PATH);

  transport.Init("tester", "s3cret", "");
  const Lines tls = RunUrl(transport, "imaps://imap.example.com:993/INBOX?UNSEEN");
  EXPECT_TRUE(tls.ok) << transport.LastError();
  EXPECT_NE(tls.text.find("\r\nA002 OK"), std::string::npos);
  EXPECT_NE(tls.text.find("\r\n* SEARCH 1\r\nA004 OK Search completed"), std::string::npos);
  EXPECT_NE(tls.text.find("* CAPABILITY IMAP4rev1"), std::string::npos);

  // A plain URL is upgraded with STARTTLS before the login.
  transport.Init("tester", "s3cret", "");
  const Lines upgraded = RunUrl(transport, "imap://imap.example.com:143/INBOX?UNSEEN");
  EXPECT_TRUE(upgraded.ok) << transport.LastError();
  EXPECT_NE(upgraded.text.find("\r\nS001 OK"), std::string::npos);
  EXPECT_LT(upgraded.text.find("S001 OK"), upgraded.text.find("A002 OK"));

  transport.Init("tester", "wrong", "");
  const Lines refused = RunUrl(transport, "imaps://imap.example.com:993/INBOX?UNSEEN");
  EXPECT_FALSE(refused.ok);
  EXPECT_EQ(refused.code, kTransportLoginDenied);
  EXPECT_NE(refused.text.find("A002 NO [AUTHENTICATIONFAILED]"), std::string::npos);

  // Without the test CA the certificate is not trusted, and no password is sent.
  ::unsetenv("TARVEL_CA_FILE");
  transport.Init("tester", "s3cret", "");
  const Lines untrusted = RunUrl(transport, "imaps://imap.example.com:993/INBOX?UNSEEN");
  ::setenv("TARVEL_CA_FILE", server->caFile().c_str(), 1);
  EXPECT_FALSE(untrusted.ok);
  EXPECT_EQ(untrusted.code, 60);
  EXPECT_TRUE(untrusted.text.empty());
  EXPECT_NE(transport.LastError().find("certificate"), std::string::npos);
}

// The CertificateAuthorityFile setting is trusted as in the HTTP client.
// The test CA signs the server's certificate, but for imap.example.com, localhost and
// 127.0.0.1 only: under another name the same server is refused, before any login.
TEST_F(ImapServerTest, CertificateForAnotherHostNameIsRefused) {
  const std::string redirects =
      server->connectTo() +
      ";wrong.example.com:993:127.0.0.1:" + std::to_string(server->imapsPort()) +
      ";wrong.example.com:143:127.0.0.1:" + std::to_string(server->imapPort());
  ::setenv("TARVEL_CONNECT_TO", redirects.c_str(), 1);
  ImapTransport transport(0, ZARQUET_LIBRARY_PATH);
  transport.Init("tester", "s3cret", "");
  const Lines direct = RunUrl(transport, "imaps://wrong.example.com:993/INBOX?UNSEEN");
  const std::string directReason = transport.LastError();
  transport.Init("tester", "s3cret", "");
  const Lines upgraded = RunUrl(transport, "imap://wrong.example.com:143/INBOX?UNSEEN");
  ::setenv("TARVEL_CONNECT_TO", server->connectTo().c_str(), 1);

  EXPECT_FALSE(direct.ok);
  EXPECT_EQ(direct.code, 60);
  EXPECT_TRUE(direct.text.empty());
  EXPECT_NE(directReason.find("wrong.example.com"), std::string::npos) << directReason;
  EXPECT_FALSE(upgraded.ok);
  EXPECT_EQ(upgraded.code, 60);
  EXPECT_NE(upgraded.text.find("S001 OK"), std::string::npos);
  EXPECT_EQ(upgraded.text.find("A002"), std::string::npos);
}

TEST_F(ImapServerTest, CertificateAuthorityFileSettingIsTrusted) {
  ::unsetenv("TARVEL_CA_FILE");
  SetExtraCertificateAuthorityFile(server->caFile());
  auto engine = MakeEngine();
  const CheckStatus trusted = engine->Check();
  SetExtraCertificateAuthorityFile({});
  engine->mails.clear();
  const CheckStatus untrusted = engine->Check();
  ::setenv("TARVEL_CA_FILE", server->caFile().c_str(), 1);
  EXPECT_EQ(trusted, CheckStatus::Success);
  EXPECT_EQ(untrusted, CheckStatus::Failure);
  EXPECT_NE(engine->lastFailure.ToUtf8().find("certificate"), std::string::npos);
}

TEST_F(ImapServerTest, InboxWithUnseenAndSeenMail) {
  ASSERT_TRUE(server->Deliver("tester", "INBOX", Message("Subject: read already")));
  ASSERT_TRUE(server->Deliver("tester", "INBOX", Message("Subject: first unseen")));
  ASSERT_TRUE(server->Deliver("tester", "INBOX", Message("Subject: second unseen")));
  ASSERT_TRUE(server->MarkSeen("tester", "INBOX", "read already"));
  auto engine = MakeEngine();
  EXPECT_EQ(engine->Check(), CheckStatus::Success) << engine->lastFailure.ToUtf8();
  EXPECT_EQ(Subjects(*engine), (std::vector<std::string>{"second unseen", "first unseen"}));
  EXPECT_EQ(engine->mails.first()->sender.ToUtf8(), "Alice Example");
  EXPECT_TRUE(engine->mails.first()->folder.isEmpty());
}

TEST_F(ImapServerTest, CheckedFoldersAreReportedWithTheirPlainNames) {
  const std::vector<std::string> folders = {"Work Items|2024", "Приложения Ünïcode"};
  for (const std::string& folder : folders) {
    ASSERT_TRUE(server->CreateMailbox("tester", folder));
    ASSERT_TRUE(server->Deliver("tester", folder, Message("Subject: in " + folder)));
  }
  ASSERT_TRUE(server->Deliver("tester", "INBOX", Message("Subject: in the inbox")));
  auto engine = MakeEngine();
  ImapAccountSettings settings = engine->settings();
  settings.folderList = Text::FromUtf8(folders[0] + ";" + folders[1]);
  engine->ApplySettings(settings);
  EXPECT_EQ(engine->Check(), CheckStatus::Success) << engine->lastFailure.ToUtf8();
  std::vector<std::string> found;
  for (const MailItem* item = engine->mails.first(); item; item = NodeList<MailItem>::next(item))
    found.push_back(item->folder.ToUtf8() + ": " + item->subject.ToUtf8());
  EXPECT_EQ(found, (std::vector<std::string>{"Work Items|2024: in Work Items|2024",
                                             "Приложения Ünïcode: in Приложения Ünïcode"}));
  // The folder list shows the server's names decoded.
  bool listed = false;
  for (const ImapFolder* folder = engine->folders.first(); folder;
       folder = NodeList<ImapFolder>::next(folder))
    listed = listed || folder->name.ToUtf8() == folders[1];
  EXPECT_TRUE(listed);
}

// Marking as read: the records carry what names their message for good; the mark sets \Seen
// on exactly that message (another session sees it), and a mailbox made anew since the check
// (other UIDs) or a key that names nothing is refused with a reason, nothing marked.
TEST_F(ImapServerTest, MarkingARecordAsReadSetsSeenOnItsMessageOnly) {
  const std::string folder = "Work Items|2024";
  static_cast<void>(server->DeleteMailbox("tester", folder));  // left by another test, or not
  ASSERT_TRUE(server->CreateMailbox("tester", folder));
  ASSERT_TRUE(server->Deliver("tester", "INBOX", Message("Subject: one")));
  ASSERT_TRUE(server->Deliver("tester", "INBOX", Message("Subject: two")));
  ASSERT_TRUE(server->Deliver("tester", folder, Message("Subject: three")));
  auto engine = MakeEngine();
  ImapAccountSettings settings = engine->settings();
  settings.folderList = Text::FromUtf8("INBOX;" + folder);
  engine->ApplySettings(settings);
  ASSERT_EQ(engine->Check(), CheckStatus::Success) << engine->lastFailure.ToUtf8();
  std::map<std::string, std::string> keys;
  for (const MailItem* item = engine->mails.first(); item; item = NodeList<MailItem>::next(item))
    keys[item->subject.ToUtf8()] = item->markKey;
  ASSERT_EQ(keys.size(), 3u);
  for (const auto& [subject, key] : keys)
    EXPECT_FALSE(key.empty()) << subject;
  EXPECT_NE(keys["one"], keys["two"]);

  Text failure;
  EXPECT_TRUE(engine->MarkRead(keys["two"], failure)) << failure.ToUtf8();
  EXPECT_TRUE(engine->MarkRead(keys["three"], failure)) << failure.ToUtf8();
  // Marking again changes nothing and is no failure.
  EXPECT_TRUE(engine->MarkRead(keys["two"], failure)) << failure.ToUtf8();
  auto other = MakeEngine();
  other->ApplySettings(settings);
  ASSERT_EQ(other->Check(), CheckStatus::Success) << other->lastFailure.ToUtf8();
  EXPECT_EQ(Subjects(*other), (std::vector<std::string>{"one"}));

  // Keys that name nothing fail before the server is asked.
  const std::string uidValidity = keys["one"].substr(0, keys["one"].find(' '));
  for (const std::string& key :
       {std::string(), std::string("1"), std::string("1 2"), std::string("x 2 INBOX"),
        std::string("1 -2 INBOX"), uidValidity + " 99999999999 INBOX",
        std::string("1 2 IN\r\nBOX")}) {
    failure.clear();
    EXPECT_FALSE(engine->MarkRead(key, failure)) << key;
    EXPECT_FALSE(failure.isEmpty()) << key;
  }
  // The folder made anew: the old UID may name another message now; nothing is marked.
  ASSERT_TRUE(server->DeleteMailbox("tester", folder));
  ASSERT_TRUE(server->CreateMailbox("tester", folder));
  ASSERT_TRUE(server->Deliver("tester", folder, Message("Subject: four")));
  failure.clear();
  EXPECT_FALSE(engine->MarkRead(keys["three"], failure));
  EXPECT_NE(failure.ToUtf8().find("changed"), std::string::npos) << failure.ToUtf8();
  // A mailbox that is gone.
  ASSERT_TRUE(server->DeleteMailbox("tester", folder));
  failure.clear();
  EXPECT_FALSE(engine->MarkRead(keys["three"], failure));
  EXPECT_FALSE(failure.isEmpty());
  // A password refused since the check.
  ASSERT_TRUE(server->SetPassword("tester", "changed"));
  failure.clear();
  EXPECT_FALSE(engine->MarkRead(keys["one"], failure));
  EXPECT_NE(failure.ToUtf8().find("refused"), std::string::npos) << failure.ToUtf8();
  ASSERT_TRUE(server->SetPassword("tester", "s3cret"));
  other->mails.clear();
  settings.folderList = u"INBOX";
  other->ApplySettings(settings);
  ASSERT_EQ(other->Check(), CheckStatus::Success) << other->lastFailure.ToUtf8();
  EXPECT_EQ(Subjects(*other), (std::vector<std::string>{"one"}));
}

TEST_F(ImapServerTest, FoldedAndEncodedSubjectsAndZonedDates) {
  ASSERT_TRUE(server->Deliver(
      "tester", "INBOX",
      Message("Subject: a subject folded\r\n over two lines", "Wed, 9 Dec 2026 10:00:00 +0200")));
  ASSERT_TRUE(server->Deliver(
      "tester", "INBOX",
      Message("Subject: =?UTF-8?B?R3LDvMOfZSBhdXMgS8O2bG4=?=", "Thu, 10 Dec 2026 10:00:00 +0200")));
  auto engine = MakeEngine();
  ASSERT_EQ(engine->Check(), CheckStatus::Success) << engine->lastFailure.ToUtf8();
  ASSERT_EQ(engine->mails.count(), 2u);
  const MailItem* newest = engine->mails.first();
  EXPECT_EQ(newest->subject.ToUtf8(), "Grüße aus Köln");
  EXPECT_EQ(newest->date.ToUtf8(), "1796889600");  // 08:00 UTC
  const MailItem* older = NodeList<MailItem>::next(newest);
  EXPECT_EQ(older->subject.ToUtf8(), "a subject folded over two lines");
  EXPECT_EQ(older->date.ToUtf8(), "1796803200");
  // Both dates were read at the first FETCH: no retry pause.
  EXPECT_EQ(clock.sleptMilliseconds(), 0u);
}

TEST_F(ImapServerTest, TwentyFiveUnseenGetTwentyHeaders) {
  for (int number = 1; number <= 25; ++number) {
    ASSERT_TRUE(
        server->Deliver("tester", "INBOX", Message("Subject: message " + std::to_string(number))));
  }
  auto engine = MakeEngine();
  EXPECT_EQ(engine->Check(), CheckStatus::Success) << engine->lastFailure.ToUtf8();
  const std::vector<std::string> subjects = Subjects(*engine);
  ASSERT_EQ(subjects.size(), 25u);
  std::size_t withText = 0;
  for (const std::string& subject : subjects)
    withText += subject.empty() ? 0 : 1;
  EXPECT_EQ(withText, 20u);
  // The newest twenty carry their headers.
  EXPECT_EQ(subjects.front(), "message 25");
}

TEST_F(ImapServerTest, RefusedPasswordIsAFailure) {
  auto engine = MakeEngine();
  ImapAccountSettings settings = engine->settings();
  settings.password = u"wrong";
  engine->ApplySettings(settings);
  EXPECT_EQ(engine->Check(), CheckStatus::Failure);
  EXPECT_FALSE(engine->lastFailure.isEmpty());
}

TEST_F(ImapServerTest, FolderListLeavesOutDraftsTrashAndSent) {
  ASSERT_TRUE(server->CreateMailbox("tester", "Projects"));
  auto engine = MakeEngine();
  ASSERT_EQ(engine->Check(), CheckStatus::Success) << engine->lastFailure.ToUtf8();
  std::vector<std::string> names;
  for (const ImapFolder* folder = engine->folders.first(); folder;
       folder = NodeList<ImapFolder>::next(folder)) {
    names.push_back(folder->name.ToUtf8());
    EXPECT_EQ(folder->checked, 0u);
  }
  EXPECT_NE(std::find(names.begin(), names.end(), "INBOX"), names.end());
  EXPECT_NE(std::find(names.begin(), names.end(), "Projects"), names.end());
  for (const char* special : {"Drafts", "Trash", "Sent"})
    EXPECT_EQ(std::find(names.begin(), names.end(), special), names.end()) << special;
}

// Port 143 written without a scheme is STARTTLS (the server's log shows the login under TLS);
// another plain port written without a scheme fails the TLS handshake with a reason that says
// how to write it.
TEST_F(ImapServerTest, Port143IsStartTlsAndAPlainPortSaysWhatToTry) {
  ASSERT_TRUE(server->Deliver("tester", "INBOX", Message("Subject: over starttls")));
  auto engine = MakeEngine();
  ImapAccountSettings settings = engine->settings();
  settings.server = u"imap.example.com:143";
  engine->ApplySettings(settings);
  std::ifstream logBefore(server->logFile());
  const std::string before((std::istreambuf_iterator<char>(logBefore)), {});
  ASSERT_EQ(engine->Check(), CheckStatus::Success) << engine->lastFailure.ToUtf8();
  EXPECT_EQ(Subjects(*engine), (std::vector<std::string>{"over starttls"}));
  std::string added;
  for (int attempt = 0; attempt < 50 && added.find("Login: user=<tester>") == std::string::npos;
       ++attempt) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    std::ifstream logAfter(server->logFile());
    const std::string after((std::istreambuf_iterator<char>(logAfter)), {});
    added = after.substr(std::min(before.size(), after.size()));
  }
  const std::size_t login = added.find("Login: user=<tester>");
  ASSERT_NE(login, std::string::npos) << added;
  EXPECT_NE(added.find("TLS", login), std::string::npos) << added;

  const std::string plain = "127.0.0.1:" + std::to_string(server->imapPort());
  settings.server = Text::FromUtf8(plain);
  engine->ApplySettings(settings);
  EXPECT_EQ(engine->Check(), CheckStatus::Failure);
  const std::string reason = engine->lastFailure.ToUtf8();
  EXPECT_NE(reason.find("TLS handshake"), std::string::npos) << reason;
  EXPECT_NE(reason.find("imap://" + plain), std::string::npos) << reason;
  EXPECT_EQ(engine->lastFailureKind, FailureKind::Transient);
}

// Folder names the server lists as quoted strings with escapes are checked under their own
// names; a folder that only exists as a parent of another is not offered; a checked folder
// the server does not have fails the check by name.
TEST_F(ImapServerTest, EscapedFolderNamesAndFoldersThatCannotBeSelected) {
  const std::string quoted = "say \"hi\"";
  const std::string backslash = "back\\slash";
  for (const std::string& name : {quoted, backslash})
    ASSERT_TRUE(server->CreateMailbox("tester", name)) << name;
  ASSERT_TRUE(server->CreateMailbox("tester", "Parent/Child"));
  ASSERT_TRUE(server->Deliver("tester", quoted, Message("Subject: in quotes")));
  ASSERT_TRUE(server->Deliver("tester", backslash, Message("Subject: in backslash")));

  auto engine = MakeEngine();
  ASSERT_EQ(engine->Check(), CheckStatus::Success) << engine->lastFailure.ToUtf8();
  std::vector<std::string> names;
  for (const Text& name : engine->FolderNames())
    names.push_back(name.ToUtf8());
  for (const std::string& name : {quoted, backslash, std::string("Parent/Child")})
    EXPECT_NE(std::find(names.begin(), names.end(), name), names.end()) << name;
  EXPECT_EQ(std::find(names.begin(), names.end(), "Parent"), names.end());

  ImapAccountSettings settings = engine->settings();
  settings.checkedFolders = {Text::FromUtf8(quoted), Text::FromUtf8(backslash)};
  engine->ApplySettings(settings);
  engine->mails.clear();
  ASSERT_EQ(engine->Check(), CheckStatus::Success) << engine->lastFailure.ToUtf8();
  std::vector<std::string> subjects = Subjects(*engine);
  std::sort(subjects.begin(), subjects.end());
  EXPECT_EQ(subjects, (std::vector<std::string>{"in backslash", "in quotes"}));

  settings.checkedFolders.push_back(u"Work");
  engine->ApplySettings(settings);
  engine->mails.clear();
  EXPECT_EQ(engine->Check(), CheckStatus::Failure);
  EXPECT_NE(engine->lastFailure.ToUtf8().find("\"Work\""), std::string::npos)
      << engine->lastFailure.ToUtf8();
  EXPECT_EQ(engine->mails.count(), 2u);
}

// Subjects as mail programs send them, in the charsets besides UTF-8 that mail still uses.
TEST_F(ImapServerTest, SubjectsInEveryCommonCharset) {
  const std::pair<const char*, const char*> rows[] = {
      {"=?ISO-2022-JP?B?GyRCRnxLXDhsJE4lRiU5JUgbKEI=?=", "日本語のテスト"},
      {"=?Shift_JIS?B?grGC8YLJgr+CzQ==?=", "こんにちは"},
      {"=?GB2312?B?1tDOxNPKvP4=?=", "中文邮件"},
      {"=?GBK?B?xOO6w6OsysC95w==?=", "你好，世界"},
      {"=?Big5?B?pKSk5bZspfM=?=", "中文郵件"},
      {"=?KOI8-R?B?8NLJ18XU?=", "Привет"},
      {"=?windows-1252?Q?Preis:_5_=80?=", "Preis: 5 €"},
      {"=?x-unknown?Q?caf=E9?=", "caf\xEF\xBF\xBD"},
  };
  std::vector<std::string> expected;
  int day = 1;
  for (const auto& [encoded, decoded] : rows) {
    // Dated one day apart, so the list's order is known.
    ASSERT_TRUE(
        server->Deliver("tester", "INBOX",
                        Message(std::string("Subject: ") + encoded,
                                "Mon, " + std::to_string(day++) + " Jan 2024 10:00:00 +0000")));
    expected.insert(expected.begin(), decoded);
  }
  auto engine = MakeEngine();
  ASSERT_EQ(engine->Check(), CheckStatus::Success) << engine->lastFailure.ToUtf8();
  EXPECT_EQ(Subjects(*engine), expected);
}

// Counts the relay's check-ins and the time of the first.
class CheckInWatch {
 public:
  explicit CheckInWatch(CheckInRelay& relay) {
    relay.Connect([this] {
      const std::lock_guard<std::mutex> guard(lock_);
      if (count_++ == 0)
        first_ = std::chrono::steady_clock::now();
      changed_.notify_all();
    });
  }
  bool Wait() {
    std::unique_lock<std::mutex> lock(lock_);
    return changed_.wait_for(lock, std::chrono::seconds(20), [&] { return count_ > 0; });
  }
  std::chrono::steady_clock::time_point first() {
    const std::lock_guard<std::mutex> guard(lock_);
    return first_;
  }

 private:
  std::mutex lock_;
  std::condition_variable changed_;
  int count_ = 0;
  std::chrono::steady_clock::time_point first_;
};

TEST_F(ImapServerTest, MailDeliveredWhileIdlingChecksIn) {
  CheckInWatch watch(relay);
  auto engine = MakeEngine(1);
  ASSERT_EQ(engine->Check(), CheckStatus::Success) << engine->lastFailure.ToUtf8();
  ASSERT_TRUE(engine->idleRunning());
  EXPECT_EQ(engine->ReadyToCheck(), 0);

  const auto delivered = std::chrono::steady_clock::now();
  ASSERT_TRUE(server->Deliver("tester", "INBOX", Message("Subject: while idling")));
  ASSERT_TRUE(watch.Wait());
  const auto latency =
      std::chrono::duration_cast<std::chrono::milliseconds>(watch.first() - delivered);
  RecordProperty("checkInLatencyMs", static_cast<int>(latency.count()));
  EXPECT_TRUE(flags.any(flag_bits::kRecheckRequested));
  EXPECT_EQ(engine->idleErrors.load(), 0u);

  // The check the announcement starts finds the new mail.
  EXPECT_EQ(engine->ReadyToCheck(), 1);
  engine->mails.clear();
  EXPECT_EQ(engine->Check(), CheckStatus::Success);
  EXPECT_EQ(Subjects(*engine), (std::vector<std::string>{"while idling"}));
}

// tarvelctl check with an IMAP account that idles: the program ends the IDLE and logs out of
// every session before it exits.
TEST_F(ImapServerTest, TarvelctlCheckEndsItsIdleBeforeExiting) {
  ASSERT_TRUE(server->Deliver("tester", "INBOX", Message("Subject: for tarvelctl")));
  testing::TempFolder folder;
  folder.UseAsConfigHome();
  const char* binaryDir = std::getenv("TARVEL_BINARY_DIR");
  const std::string program =
      std::string(binaryDir ? binaryDir : TARVEL_BINARY_FOLDER) + "/bin/tarvelctl";
  const std::string ini = folder.file("t.ini");
  const std::vector<std::vector<std::string>> settings = {
      {"Flags", "16777216", "--number"},  // IMAP #1 only
      {"IMAPServer", "imap.example.com:993", "--text"},
      {"IMAPUser", "tester", "--protected"},
      {"IMAPPassword", "s3cret", "--protected"},
  };
  for (const std::vector<std::string>& setting : settings) {
    std::vector<std::string> arguments = {program, "--ini", ini, "settings", "set"};
    arguments.insert(arguments.end(), setting.begin(), setting.end());
    ASSERT_EQ(testing::RunProgram(arguments), 0) << setting[0];
  }
  std::ifstream logBefore(server->logFile());
  const std::string before((std::istreambuf_iterator<char>(logBefore)), {});

  std::string output;
  const int exitCode = testing::RunProgram({program, "--ini", ini, "check", "--json"}, {}, &output);
  EXPECT_EQ(exitCode, 0) << output;
  EXPECT_NE(output.find("for tarvelctl"), std::string::npos) << output;

  // Every session the run opened ends with a logout (the log is written asynchronously).
  std::string added;
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::ifstream logAfter(server->logFile());
    const std::string after((std::istreambuf_iterator<char>(logAfter)), {});
    added = after.substr(std::min(before.size(), after.size()));
    std::size_t logins = 0;
    std::size_t disconnects = 0;
    for (std::size_t at = 0; (at = added.find("Login: user=<tester>", at)) != std::string::npos;
         ++at)
      ++logins;
    for (std::size_t at = 0; (at = added.find("Disconnected", at)) != std::string::npos; ++at)
      ++disconnects;
    if (logins > 0 && disconnects >= logins)
      break;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  EXPECT_NE(added.find("Login: user=<tester>"), std::string::npos) << added;
  EXPECT_EQ(added.find("Connection closed"), std::string::npos) << added;
  EXPECT_NE(added.find("Logged out"), std::string::npos) << added;
}

// Counts the relay's check-ins and lets a test wait for the n-th.
class CheckInCount {
 public:
  explicit CheckInCount(CheckInRelay& relay) {
    relay.Connect([this] {
      const std::lock_guard<std::mutex> guard(lock_);
      ++count_;
      changed_.notify_all();
    });
  }
  bool WaitFor(int count) {
    std::unique_lock<std::mutex> lock(lock_);
    return changed_.wait_for(lock, std::chrono::seconds(20), [&] { return count_ >= count; });
  }

 private:
  std::mutex lock_;
  std::condition_variable changed_;
  int count_ = 0;
};

class ImapPushTest : public ImapServerTest {
 protected:
  // Runs the check that a check-in asks for, as the cycle does.
  void CheckAfterPush(ImapEngine& engine, CheckInCount& checkIns, int push) {
    ASSERT_TRUE(checkIns.WaitFor(push));
    ASSERT_EQ(engine.ReadyToCheck(), 1);
    engine.mails.clear();
    ASSERT_EQ(engine.Check(), CheckStatus::Success) << engine.lastFailure.ToUtf8();
  }
};

// Five mails, one after the other, to an idling account: five checks, and the session of the
// first login serves them all (the transport keeps it from the IDLE to the next check).
TEST_F(ImapPushTest, FiveMailsToAnIdlingAccountGiveFiveChecksAndOneLogin) {
  CheckInCount checkIns(relay);
  auto engine = MakeEngine(1);
  const std::size_t loginsBefore = server->LoginCount("tester");
  ASSERT_EQ(engine->Check(), CheckStatus::Success) << engine->lastFailure.ToUtf8();
  ASSERT_TRUE(engine->idleRunning());
  for (int push = 1; push <= 5; ++push) {
    SCOPED_TRACE(push);
    ASSERT_TRUE(
        server->Deliver("tester", "INBOX", Message("Subject: push " + std::to_string(push))));
    CheckAfterPush(*engine, checkIns, push);
    EXPECT_EQ(engine->mails.count(), static_cast<std::size_t>(push));
    EXPECT_TRUE(engine->idleRunning());
  }
  EXPECT_EQ(engine->idleErrors.load(), 0u);
  EXPECT_EQ(server->LoginCount("tester") - loginsBefore, 1u);
}

// A session the server ended with BYE, or one whose password has changed since, is not taken
// up: the next check logs in afresh and succeeds.
TEST_F(ImapPushTest, SessionsEndedByTheServerOrWithAnotherPasswordAreNotReused) {
  CheckInCount checkIns(relay);
  auto engine = MakeEngine(1);
  const std::size_t loginsBefore = server->LoginCount("tester");
  ASSERT_EQ(engine->Check(), CheckStatus::Success) << engine->lastFailure.ToUtf8();
  ASSERT_TRUE(engine->idleRunning());

  ASSERT_TRUE(server->Kick("tester"));  // BYE while idling
  CheckAfterPush(*engine, checkIns, 1);
  EXPECT_EQ(server->LoginCount("tester") - loginsBefore, 2u);
  ASSERT_TRUE(engine->idleRunning());

  struct RestorePassword {
    const DovecotServer& server;
    ~RestorePassword() { server.SetPassword("tester", "s3cret"); }
  } restore{*server};
  ASSERT_TRUE(server->SetPassword("tester", "n3w-s3cret"));
  ImapAccountSettings settings = engine->settings();
  settings.password = u"n3w-s3cret";
  engine->ApplySettings(settings);
  ASSERT_TRUE(server->Deliver("tester", "INBOX", Message("Subject: after the change")));
  CheckAfterPush(*engine, checkIns, 2);
  EXPECT_EQ(Subjects(*engine), (std::vector<std::string>{"after the change"}));
  EXPECT_EQ(server->LoginCount("tester") - loginsBefore, 3u);
}

// The server ends the IDLE's connection three times in a row: each time the account is
// checked and idles again, and the next mail is still noticed at once.
TEST_F(ImapPushTest, IdleEndedByTheServerThreeTimesStillNoticesTheNextMail) {
  CheckInCount checkIns(relay);
  auto engine = MakeEngine(1);
  ASSERT_EQ(engine->Check(), CheckStatus::Success) << engine->lastFailure.ToUtf8();
  for (int kick = 1; kick <= 3; ++kick) {
    SCOPED_TRACE(kick);
    ASSERT_TRUE(engine->idleRunning());
    ASSERT_TRUE(server->Kick("tester"));
    CheckAfterPush(*engine, checkIns, kick);
  }
  ASSERT_TRUE(engine->idleRunning());
  ASSERT_TRUE(server->Deliver("tester", "INBOX", Message("Subject: after three drops")));
  CheckAfterPush(*engine, checkIns, 4);
  EXPECT_EQ(Subjects(*engine), (std::vector<std::string>{"after three drops"}));
  EXPECT_TRUE(engine->idleRunning());
}

// A restart of the server: the IDLE fails, the check while the server is down fails with a
// reason worth a retry, and the first check after it is back succeeds and idles again.
TEST_F(ImapPushTest, ServerRestartBringsCheckAndPushBack) {
  CheckInCount checkIns(relay);
  auto engine = MakeEngine(1);
  ASSERT_EQ(engine->Check(), CheckStatus::Success) << engine->lastFailure.ToUtf8();
  ASSERT_TRUE(engine->idleRunning());
  ASSERT_TRUE(server->Stop());
  ASSERT_TRUE(checkIns.WaitFor(1));  // the IDLE's connection ended
  ASSERT_EQ(engine->ReadyToCheck(), 1);
  EXPECT_EQ(engine->Check(), CheckStatus::Failure);
  EXPECT_FALSE(engine->lastFailure.isEmpty());
  EXPECT_EQ(engine->lastFailureKind, FailureKind::Transient);
  EXPECT_FALSE(engine->idleRunning());

  ASSERT_TRUE(server->Start());
  const auto back = std::chrono::steady_clock::now();
  ASSERT_EQ(engine->Check(), CheckStatus::Success) << engine->lastFailure.ToUtf8();
  EXPECT_TRUE(engine->idleRunning());
  ASSERT_TRUE(server->Deliver("tester", "INBOX", Message("Subject: after the restart")));
  CheckAfterPush(*engine, checkIns, 2);
  EXPECT_EQ(Subjects(*engine), (std::vector<std::string>{"after the restart"}));
  EXPECT_LT(std::chrono::steady_clock::now() - back, std::chrono::seconds(15));
}

}  // namespace
}  // namespace tarvel
