// The flows a user meets, run with the real engine and transport against one real server per
// executable: this file is built once for Dovecot and once for Cyrus IMAP (TARVEL_FLOWS_CYRUS),
// and every case runs the same table against either. Folder names follow the server's
// hierarchy: "Work" on Dovecot, "INBOX.Work" on Cyrus.
#include <gtest/gtest.h>

#include <algorithm>
#include <condition_variable>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "accounts/check_in_relay.h"
#include "accounts/option_flags.h"
#include "engines/protocol/imap_engine.h"
#include "tests/support/cyrus_server.h"
#include "tests/support/dovecot_server.h"
#include "tests/support/fake_clock.h"

namespace tarvel {
namespace {

using testing::FakeClock;

// What the flows need of a server, with each server's own way of doing it.
class FlowServer {
 public:
#ifdef TARVEL_FLOWS_CYRUS
  static constexpr const char* kName = "Cyrus IMAP";
  bool started() const {
    return server_.started();
  }
  std::string startError() const {
    return server_.startError();
  }
  std::string caFile() const {
    return server_.caFile();
  }
  // Port 994 of imap.example.com is the port that offers no SASL mechanism.
  std::string connectTo() const {
    return server_.connectTo() +
           ";imap.example.com:994:127.0.0.1:" + std::to_string(server_.loginOnlyPort());
  }
  bool hasLoginOnlyPort() const {
    return true;
  }
  bool offersNotify() const {
    return false;
  }
  // Every case gets a user of its own: mail is never removed between cases.
  std::string FreshUser() {
    if (nextUser_ > 9)
      return {};
    return "user" + std::to_string(nextUser_++);
  }
  std::string FolderName(const std::string& name) const {
    return "INBOX." + name;
  }
  bool Deliver(const std::string& user, const std::string& folder, const std::string& message) {
    return server_.Deliver(user, folder, message);
  }
  bool Kick(const std::string& user) {
    return server_.Kick(user);
  }

 private:
  testing::CyrusServer server_;
  int nextUser_ = 1;
#else
  static constexpr const char* kName = "Dovecot";
  bool started() const {
    return server_.started();
  }
  std::string startError() const {
    return "see the server's log " + server_.logFile();
  }
  std::string caFile() const {
    return server_.caFile();
  }
  std::string connectTo() const {
    return server_.connectTo();
  }
  bool hasLoginOnlyPort() const {
    return false;
  }
  // Offered with the notify plugin, which this server is started with.
  bool offersNotify() const {
    return true;
  }
  std::string FreshUser() {
    if (!server_.ExpungeAll("tester"))
      return {};
    if (!foldersMade_) {
      foldersMade_ =
          server_.CreateMailbox("tester", "Work") && server_.CreateMailbox("tester", "Archive");
      if (!foldersMade_)
        return {};
    }
    return "tester";
  }
  std::string FolderName(const std::string& name) const {
    return name;
  }
  bool Deliver(const std::string& user, const std::string& folder, const std::string& message) {
    return server_.Deliver(user, folder, message);
  }
  bool Kick(const std::string& user) {
    return server_.Kick(user);
  }

 private:
  // Set before the server starts: the start script reads it.
  struct OfferNotify {
    OfferNotify() { ::setenv("TARVEL_TEST_DOVECOT_NOTIFY", "1", 1); }
  } offerNotify_;
  testing::DovecotServer server_;
  bool foldersMade_ = false;
#endif
};

std::string Message(const std::string& subject) {
  return "From: Alice Example <alice@example.com>\r\nSubject: " + subject + "\r\n\r\nbody\r\n";
}

const AccountTypeInfo& FirstImapType() {
  for (const AccountTypeInfo& type : kAccountTypes) {
    if (type.engine == EngineKind::Imap)
      return type;
  }
  return kAccountTypes[0];
}

// The mails found, as "folder: subject" (the inbox's folder is empty), newest first.
std::vector<std::string> Found(const ImapEngine& engine) {
  std::vector<std::string> found;
  for (const MailItem* item = engine.mails.first(); item; item = NodeList<MailItem>::next(item))
    found.push_back(item->folder.ToUtf8() + ": " + item->subject.ToUtf8());
  return found;
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

class ImapFlowTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    server = new FlowServer();
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
    ASSERT_TRUE(server && server->started())
        << FlowServer::kName << " did not start: " << (server ? server->startError() : "");
    user = server->FreshUser();
    ASSERT_FALSE(user.empty());
    // The first delivery creates a Cyrus user's mailboxes; every case starts with one mail.
    ASSERT_TRUE(server->Deliver(user, "INBOX", Message("welcome")));
  }

  std::unique_ptr<ImapEngine> MakeEngine(const std::string& address, uint32_t useIdle = 0,
                                         const std::string& folders = {}) {
    ImapEngineServices services{clock, flags, nullptr, &relay, nullptr, ZARQUET_LIBRARY_PATH};
    auto engine = std::make_unique<ImapEngine>(FirstImapType(), 0, services);
    flags.set(engine->selectBit);  // switched on
    ImapAccountSettings settings;
    settings.server = Text::FromUtf8(address);
    settings.user = Text::FromUtf8(user);
    settings.password = u"s3cret";
    settings.useIdle = useIdle;
    settings.folderList = Text::FromUtf8(folders);
    engine->ApplySettings(settings);
    return engine;
  }

  // Runs the check that a check-in asks for, as the cycle does.
  void CheckAfterPush(ImapEngine& engine, CheckInCount& checkIns, int push) {
    ASSERT_TRUE(checkIns.WaitFor(push));
    ASSERT_EQ(engine.ReadyToCheck(), 1);
    engine.mails.clear();
    ASSERT_EQ(engine.Check(), CheckStatus::Success) << engine.lastFailure.ToUtf8();
  }

  static FlowServer* server;
  std::string user;
  FakeClock clock;
  OptionFlags flags;
  CheckInRelay relay;
};

FlowServer* ImapFlowTest::server = nullptr;

// Each executable's cases carry the server's name, so that both sets can be told apart (and
// picked) in one test run.
#ifdef TARVEL_FLOWS_CYRUS
using CyrusFlowTest = ImapFlowTest;
#define FLOW_TEST(name) TEST_F(CyrusFlowTest, name)
#else
using DovecotFlowTest = ImapFlowTest;
#define FLOW_TEST(name) TEST_F(DovecotFlowTest, name)
#endif

// Signing in: AUTHENTICATE PLAIN where the server offers it, LOGIN where it offers no SASL
// mechanism, over TLS from the start or STARTTLS on port 143; a wrong password is refused.
FLOW_TEST(SignInByEveryWayTheServerOffers) {
  struct Case {
    const char* name;
    const char* address;
    const char* password;
    bool needsLoginOnlyPort;
    CheckStatus expected;
  };
  const Case cases[] = {
      {"AUTHENTICATE PLAIN over TLS", "imap.example.com:993", "s3cret", false,
       CheckStatus::Success},
      {"STARTTLS on port 143", "imap.example.com:143", "s3cret", false, CheckStatus::Success},
      {"STARTTLS written as imap://", "imap://imap.example.com:143", "s3cret", false,
       CheckStatus::Success},
      {"LOGIN where no mechanism is offered", "imap.example.com:994", "s3cret", true,
       CheckStatus::Success},
      {"wrong password", "imap.example.com:993", "wrong", false, CheckStatus::Failure},
      {"wrong password with LOGIN", "imap.example.com:994", "wrong", true, CheckStatus::Failure},
  };
  for (const Case& row : cases) {
    SCOPED_TRACE(row.name);
    if (row.needsLoginOnlyPort && !server->hasLoginOnlyPort())
      continue;
    auto engine = MakeEngine(row.address);
    ImapAccountSettings settings = engine->settings();
    settings.password = Text::FromUtf8(row.password);
    engine->ApplySettings(settings);
    EXPECT_EQ(engine->Check(), row.expected) << engine->lastFailure.ToUtf8();
    if (row.expected == CheckStatus::Success) {
      EXPECT_EQ(Found(*engine), (std::vector<std::string>{": welcome"}));
    } else {
      EXPECT_FALSE(engine->lastFailure.isEmpty());
      EXPECT_TRUE(engine->mails.isEmpty());
    }
  }
}

// Unread mail counted in the inbox and in another folder, and the folder list as the server
// names its folders.
FLOW_TEST(UnreadMailInTheInboxAndAnotherFolderAndTheFolderList) {
  ASSERT_TRUE(server->Deliver(user, "INBOX", Message("second in the inbox")));
  ASSERT_TRUE(server->Deliver(user, "Work", Message("for work")));
  ASSERT_TRUE(server->Deliver(user, "Archive", Message("archived, not checked")));
  const std::string work = server->FolderName("Work");
  auto engine = MakeEngine("imap.example.com:993", 0, "INBOX;" + work);
  ASSERT_EQ(engine->Check(), CheckStatus::Success) << engine->lastFailure.ToUtf8();
  std::vector<std::string> found = Found(*engine);
  std::sort(found.begin(), found.end());
  std::vector<std::string> expected = {"INBOX: second in the inbox", "INBOX: welcome",
                                       work + ": for work"};
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(found, expected);

  std::vector<std::string> listed;
  for (const ImapFolder* folder = engine->folders.first(); folder;
       folder = NodeList<ImapFolder>::next(folder))
    listed.push_back(folder->name.ToUtf8());
  for (const std::string& name : {std::string("INBOX"), work, server->FolderName("Archive")})
    EXPECT_NE(std::find(listed.begin(), listed.end(), name), listed.end()) << name;

  // Only the inbox when no folder is checked.
  auto inboxOnly = MakeEngine("imap.example.com:993");
  ASSERT_EQ(inboxOnly->Check(), CheckStatus::Success) << inboxOnly->lastFailure.ToUtf8();
  EXPECT_EQ(inboxOnly->mails.count(), 2u);
}

// IDLE: a mail delivered while the account idles starts a check that finds it, on either
// connection form.
FLOW_TEST(MailDeliveredWhileIdlingIsNoticed) {
  int push = 0;
  CheckInCount checkIns(relay);
  for (const char* address : {"imap.example.com:993", "imap.example.com:143"}) {
    SCOPED_TRACE(address);
    auto engine = MakeEngine(address, 1);
    ASSERT_EQ(engine->Check(), CheckStatus::Success) << engine->lastFailure.ToUtf8();
    ASSERT_TRUE(engine->idleRunning());
    const std::string subject = std::string("pushed over ") + address;
    ASSERT_TRUE(server->Deliver(user, "INBOX", Message(subject)));
    CheckAfterPush(*engine, checkIns, ++push);
    const std::vector<std::string> found = Found(*engine);
    EXPECT_NE(std::find(found.begin(), found.end(), ": " + subject), found.end());
    EXPECT_TRUE(engine->idleRunning());
    EXPECT_EQ(engine->idleErrors.load(), 0u);
  }
}

// The server drops the idling connection (twice in a row): each time the account is checked
// and idles again, and the next delivered mail is still noticed.
FLOW_TEST(ConnectionDroppedByTheServerAndPushComesBack) {
  CheckInCount checkIns(relay);
  auto engine = MakeEngine("imap.example.com:993", 1);
  ASSERT_EQ(engine->Check(), CheckStatus::Success) << engine->lastFailure.ToUtf8();
  for (int drop = 1; drop <= 2; ++drop) {
    SCOPED_TRACE(drop);
    ASSERT_TRUE(engine->idleRunning());
    ASSERT_TRUE(server->Kick(user));
    CheckAfterPush(*engine, checkIns, drop);
    EXPECT_EQ(Found(*engine), (std::vector<std::string>{": welcome"}));
  }
  ASSERT_TRUE(engine->idleRunning());
  ASSERT_TRUE(server->Deliver(user, "INBOX", Message("after the drops")));
  CheckAfterPush(*engine, checkIns, 3);
  EXPECT_EQ(Found(*engine), (std::vector<std::string>{": after the drops", ": welcome"}));
  EXPECT_TRUE(engine->idleRunning());
}

// Checked folders besides the inbox: where the server offers NOTIFY, the one IDLE watches
// every checked folder, so mail delivered to another folder is noticed at once and the timer
// leaves the IDLE alone; otherwise the IDLE watches the inbox and the timer's check ends it to
// check every folder.
FLOW_TEST(CheckedFoldersArePushedWhereTheServerOffersNotify) {
  CheckInCount checkIns(relay);
  const std::string work = server->FolderName("Work");
  auto engine = MakeEngine("imap.example.com:993", 1, "INBOX;" + work);
  ASSERT_EQ(engine->Check(), CheckStatus::Success) << engine->lastFailure.ToUtf8();
  ASSERT_TRUE(engine->idleRunning());
  EXPECT_EQ(engine->notifySupported, server->offersNotify());
  int push = 0;
  if (server->offersNotify()) {
    EXPECT_EQ(engine->ReadyToCheck(), 0);
    ASSERT_TRUE(server->Deliver(user, "Work", Message("for work while idling")));
    CheckAfterPush(*engine, checkIns, ++push);
    const std::vector<std::string> found = Found(*engine);
    EXPECT_NE(std::find(found.begin(), found.end(), work + ": for work while idling"), found.end());
    ASSERT_TRUE(engine->idleRunning());
    EXPECT_EQ(engine->idleErrors.load(), 0u);
  } else {
    EXPECT_EQ(engine->ReadyToCheck(), 1);
    EXPECT_FALSE(engine->idleRunning());
    ASSERT_EQ(engine->Check(), CheckStatus::Success) << engine->lastFailure.ToUtf8();
    ASSERT_TRUE(engine->idleRunning());
  }
  // The inbox is watched either way.
  ASSERT_TRUE(server->Deliver(user, "INBOX", Message("for the inbox while idling")));
  CheckAfterPush(*engine, checkIns, ++push);
  const std::vector<std::string> found = Found(*engine);
  EXPECT_NE(std::find(found.begin(), found.end(), "INBOX: for the inbox while idling"),
            found.end());
  EXPECT_TRUE(engine->idleRunning());
}

}  // namespace
}  // namespace tarvel
