// The IMAP engine against a scripted server through the real transport library, on a
// virtual clock: the check passes, the header walk, the folder list, OAuth2's bounded retry,
// and IDLE with its watch.
#include "engines/protocol/imap_engine.h"

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "accounts/check_in_relay.h"
#include "accounts/option_flags.h"
#include "accounts/protected_text.h"
#include "accounts/reader_launcher.h"
#include "accounts/settings_store.h"
#include "app/engine_registry.h"
#include "engines/protocol/access_token_refresher.h"
#include "maintenance/diagnostic_trace.h"
#include "platform/worker_thread.h"
#include "tests/support/fake_clock.h"
#include "tests/support/scripted_imap_server.h"
#include "tests/support/temp_folder.h"

namespace tarvel {
namespace {

using testing::FakeClock;
using testing::ScriptedImapServer;
using testing::ScriptedReply;

const AccountTypeInfo& ImapType(uint32_t slot) {
  uint32_t seen = 0;
  for (const AccountTypeInfo& type : kAccountTypes) {
    if (type.engine == EngineKind::Imap && seen++ == slot)
      return type;
  }
  return kAccountTypes[0];
}

// A mailbox the scripted server serves: the SEARCH result, the header text per message
// number, the folder list, and what IDLE and the login answer.
struct ScriptedMailbox {
  std::string search;  // the numbers of "* SEARCH"
  std::map<std::string, std::string> headers;
  std::string list = "* LIST (\\HasNoChildren) \"/\" INBOX\r\n";
  bool refuseLogin = false;
  std::string idle = "+ idling\r\n";
  bool dropInFetch = false;
  bool refuseIdle = false;
  // This many IDLEs are confirmed and then ended by the server closing the connection.
  mutable std::atomic<int> idlesToDrop{0};
  std::string unselectable;  // a mailbox SELECT refuses
  // NOTIFY: offered in the capabilities, and the answer to NOTIFY SET ("OK" or a refusal).
  bool offerNotify = false;
  std::string notifyAnswer = "OK NOTIFY completed";

  ScriptedReply Answer(const std::string& tag, const std::string& command) const {
    if (offerNotify && command == "CAPABILITY")
      return {"* CAPABILITY IMAP4rev1 SASL-IR AUTH=PLAIN IDLE NOTIFY\r\n" + tag + " OK done\r\n"};
    if (command.rfind("NOTIFY ", 0) == 0)
      return {tag + " " + notifyAnswer + "\r\n"};
    if (command.rfind("AUTHENTICATE", 0) == 0 && refuseLogin)
      return {tag + " NO AUTHENTICATE failed\r\n"};
    if (!unselectable.empty() && command == "SELECT \"" + unselectable + "\"")
      return {tag + " NO Mailbox doesn't exist: " + unselectable + "\r\n"};
    if (command == "IDLE" && idlesToDrop.load() > 0) {
      --idlesToDrop;
      return {"+ idling\r\n", ScriptedReply::Then::Close};
    }
    if (command.rfind("SEARCH", 0) == 0)
      return {"* SEARCH " + search + "\r\n" + tag + " OK SEARCH completed\r\n"};
    if (command.rfind("FETCH ", 0) == 0) {
      const std::string number = command.substr(6, command.find(' ', 6) - 6);
      const auto found = headers.find(number);
      const std::string text = found == headers.end() ? "\r\n" : found->second + "\r\n";
      if (dropInFetch)
        return {"* " + number +
                    " FETCH (FLAGS () BODY[HEADER.FIELDS (SUBJECT DATE FROM)] {500}\r\n" + text,
                ScriptedReply::Then::Close};
      return {"* " + number + " FETCH (FLAGS () BODY[HEADER.FIELDS (SUBJECT DATE FROM)] {" +
              std::to_string(text.size()) + "}\r\n" + text + ")\r\n" + tag +
              " OK Fetch completed\r\n"};
    }
    if (command.rfind("LIST", 0) == 0)
      return {list + tag + " OK List completed\r\n"};
    if (command == "NOOP")
      return {tag + " OK NOOP completed\r\n"};
    if (command == "IDLE")
      return {refuseIdle ? tag + " BAD not now\r\n" : idle};
    return ScriptedImapServer::StandardReply(tag, command);
  }
};

// Counts the relay's check-ins and lets a test wait for one.
class CheckInCounter {
 public:
  explicit CheckInCounter(CheckInRelay& relay) {
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
  int count() {
    const std::lock_guard<std::mutex> guard(lock_);
    return count_;
  }

 private:
  std::mutex lock_;
  std::condition_variable changed_;
  int count_ = 0;
};

class FixedTokens : public AccessTokenRefresher {
 public:
  explicit FixedTokens(std::vector<std::string> tokens) : tokens_(std::move(tokens)) {}
  TokenStatus RefreshAccessToken(ImapEngine& engine) override {
    const bool given = calls_ < tokens_.size() && !tokens_[calls_].empty();
    if (given)
      engine.SetAccessToken(Text::FromUtf8(tokens_[calls_]));
    ++calls_;
    return given ? TokenStatus::Ready : TokenStatus::SignInNeeded;
  }
  std::size_t calls() const { return calls_; }

 private:
  std::vector<std::string> tokens_;
  std::size_t calls_ = 0;
};

class ImapEngineTest : public ::testing::Test {
 protected:
  std::unique_ptr<ImapEngine> MakeEngine(const ScriptedImapServer& server, uint32_t slot = 0,
                                         std::string libraryPath = ZARQUET_LIBRARY_PATH,
                                         AccessTokenRefresher* refresher = nullptr) {
    ImapEngineServices services{clock, flags, nullptr, &relay, refresher, std::move(libraryPath)};
    auto engine = std::make_unique<ImapEngine>(ImapType(slot), slot, services);
    flags.set(engine->selectBit);  // switched on
    ImapAccountSettings settings;
    settings.server = Text::FromUtf8("imap://127.0.0.1:" + std::to_string(server.port()));
    settings.user = u"tester";
    settings.password = u"s3cret";
    settings.useIdle = 0;
    engine->ApplySettings(settings);
    return engine;
  }

  static std::vector<std::string> SentCommands(const ScriptedImapServer& server,
                                               const std::string& verb) {
    std::vector<std::string> found;
    for (const std::string& line : server.receivedLines()) {
      const std::size_t space = line.find(' ');
      if (space != std::string::npos && line.compare(space + 1, verb.size(), verb) == 0)
        found.push_back(line.substr(space + 1));
    }
    return found;
  }

  static std::vector<std::string> FolderNames(const ImapEngine& engine) {
    std::vector<std::string> names;
    for (const ImapFolder* folder = engine.folders.first(); folder;
         folder = NodeList<ImapFolder>::next(folder))
      names.push_back(folder->name.ToUtf8() + (folder->checked ? "+" : ""));
    return names;
  }

  FakeClock clock;
  OptionFlags flags;
  CheckInRelay relay;
};

TEST(ImapSettingNamesTest, ThreeSuffixPatterns) {
  struct Row {
    uint32_t slot;
    const char16_t* server;
    const char16_t* authMethod;
    const char16_t* folderList;
    const char16_t* foldersGroup;
    const char16_t* mailHandler;
  };
  const Row rows[] = {
      {0, u"IMAPServer", u"IMAPAuthMethod1", u"IMAPFolderList", u"IMAPFolders0",
       u"MailHandlerIMAP"},
      {1, u"IMAPServer2", u"IMAPAuthMethod2", u"IMAPFolderList2", u"IMAPFolders1",
       u"MailHandlerIMAP2"},
      {2, u"IMAPServer3", u"IMAPAuthMethod3", u"IMAPFolderList3", u"IMAPFolders2",
       u"MailHandlerIMAP3"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.slot);
    const ImapSettingNames names = ImapSettingNamesForSlot(row.slot);
    EXPECT_EQ(names.server, row.server);
    EXPECT_EQ(names.authMethod, row.authMethod);
    EXPECT_EQ(names.folderList, row.folderList);
    EXPECT_EQ(names.foldersGroup, row.foldersGroup);
    EXPECT_EQ(names.mailHandler, row.mailHandler);
  }
  const ImapSettingNames second = ImapSettingNamesForSlot(1);
  EXPECT_EQ(second.user, u"IMAPUser2");
  EXPECT_EQ(second.password, u"IMAPPassword2");
  EXPECT_EQ(second.website, u"IMAPWebsite2");
  EXPECT_EQ(second.refreshToken, u"IMAPRefreshToken2");
  EXPECT_EQ(second.useIdle, u"IMAPUseIDLECommand2");
  EXPECT_EQ(second.name, u"IMAPName2");
}

// The registry gives each IMAP row its slot, and the engine reads that slot's names: the
// second slot's values (suffixes 2, 2 and 1) while the first slot's are there as decoys.
TEST(ImapSettingsTest, EachSlotLoadsItsOwnValuesFromTheStore) {
  testing::TempFolder folder;
  SettingsStore store;
  ASSERT_TRUE(store.open(SettingsMode::IniFile, nullptr, kSettingsKeyPath, folder.file("t.ini")));
  store.writeText(u"IMAPServer", u"first.example.com:993");
  store.writeText(u"IMAPServer2", u"imap.example.com:993");
  ProtectText(store, u"IMAPUser2", u"someone@example.com");
  ProtectText(store, u"IMAPPassword2", u"pässword");
  ProtectText(store, u"IMAPRefreshToken2", u"refresh");
  store.writeText(u"IMAPWebsite2", u"https://mail.example.com/");
  store.writeNumber(u"IMAPAuthMethod2", 2);
  store.writeNumber(u"IMAPUseIDLECommand2", 0);
  store.writeText(u"IMAPName2", u"Work");
  store.writeText(u"IMAPFolderList2", u" Old One ; Old Two,Old One");
  store.writeNumber(u"Checked Folder", 1, u"IMAPFolders1");
  store.writeNumber(u"Unchecked Folder", 0, u"IMAPFolders1");
  store.writeNumber(u"First Slot Folder", 1, u"IMAPFolders0");

  FakeClock clock;
  OptionFlags flags;
  EngineContext context;
  context.settings = &store;
  context.flags = &flags;
  context.clock = &clock;
  std::vector<std::unique_ptr<MailEngine>> engines;
  for (const AccountTypeInfo& type : kAccountTypes) {
    if (type.engine == EngineKind::Imap)
      engines.push_back(CreateEngine(type, context));
  }
  ASSERT_EQ(engines.size(), 3u);
  auto* second = dynamic_cast<ImapEngine*>(engines[1].get());
  ASSERT_NE(second, nullptr);
  EXPECT_EQ(second->slot(), 1u);
  EXPECT_EQ(second->name.ToUtf8(), "IMAP2");
  const ImapAccountSettings& settings = second->settings();
  EXPECT_EQ(settings.server.ToUtf8(), "imap.example.com:993");
  EXPECT_EQ(settings.user.ToUtf8(), "someone@example.com");
  EXPECT_EQ(settings.password.ToUtf8(), "pässword");
  EXPECT_EQ(settings.refreshToken.ToUtf8(), "refresh");
  EXPECT_EQ(settings.authMethod, 2u);
  EXPECT_EQ(settings.useIdle, 0u);
  EXPECT_EQ(second->GetDisplayName().ToUtf8(), "Work");
  EXPECT_EQ(second->EmailAddress().ToUtf8(), "someone@example.com");
  std::vector<std::string> folders;
  for (const ImapFolder* entry = second->folders.first(); entry;
       entry = NodeList<ImapFolder>::next(entry))
    folders.push_back(entry->name.ToUtf8() + (entry->checked == 1 ? "+" : "-"));
  EXPECT_EQ(folders, (std::vector<std::string>{"Old One+", "Old Two+", "Checked Folder+"}));

  // Without a name the login names the account; the third slot has no settings at all.
  auto* third = dynamic_cast<ImapEngine*>(engines[2].get());
  ASSERT_NE(third, nullptr);
  EXPECT_EQ(third->settings().useIdle, 1u);
  EXPECT_TRUE(third->GetDisplayName().isEmpty());

  // A failed refresh forgets the stored refresh token.
  second->ClearRefreshToken();
  EXPECT_TRUE(UnprotectText(store, u"IMAPRefreshToken2", u"").isEmpty());
}

TEST(ImapReaderTest, OpenReaderHandsOverTheSlotsWebsite) {
  class RecordingLauncher : public ReaderLauncher {
   public:
    bool OpenReader(const MailEngine& engine) override {
      opened = engine.website.ToUtf8();
      return true;
    }
    std::string opened;
  };
  FakeClock clock;
  OptionFlags flags;
  ImapEngine engine(ImapType(2), 2,
                    ImapEngineServices{clock, flags, nullptr, nullptr, nullptr, {}, nullptr});
  ImapAccountSettings settings;
  settings.website = u"https://webmail.example.com/";
  engine.ApplySettings(settings);
  RecordingLauncher launcher;
  EXPECT_TRUE(engine.OpenReader(launcher));
  EXPECT_EQ(launcher.opened, "https://webmail.example.com/");
}

TEST(ImapFolderTextTest, UrlEncodingAndListLines) {
  EXPECT_EQ(EncodeFolderForUrl(u"Work Items|2024"), "Work%20Items%7C2024");
  EXPECT_EQ(EncodeFolderForUrl(u"100% done?"), "100%25%20done%3F");
  // Modified UTF-7 after the percent escapes; "&" itself becomes "&-".
  EXPECT_EQ(EncodeFolderForUrl(u"Приложения Ünïcode"),
            "&BB8EQAQ4BDsEPgQ2BDUEPQQ4BE8-%20&ANw-n&AO8-code");
  EXPECT_EQ(EncodeFolderForUrl(u"Q&A"), "Q&-A");
  EXPECT_EQ(SplitFolderList(u" Work ,\"A;B\";Archive;; "),
            (std::vector<Text>{u"Work", u"A;B", u"Archive"}));

  struct Row {
    const char* line;
    const char* folder;  // null: skipped
  };
  const Row rows[] = {
      {"* LIST (\\HasNoChildren) \"/\" INBOX", "INBOX"},
      {"* LIST (\\HasNoChildren) \"/\" \"Work Items|2024\"", "Work Items|2024"},
      {"* LIST (\\HasNoChildren \\Drafts) \"/\" Drafts", nullptr},
      {"* LIST (\\HasNoChildren \\Trash) \"/\" Trash", nullptr},
      {"* LIST (\\Sent) \"/\" \"Sent Messages\"", nullptr},
      {"* LIST (\\Noselect) NIL Top", nullptr},  // cannot be selected: not offered
      {"* LIST (\\NonExistent) \"/\" Gone", nullptr},
      {"* LIST (\\HasChildren) NIL Top", "Top"},
      // Quoted strings by the grammar: escaped quotes and backslashes lose their escape.
      {"* LIST (\\HasNoChildren) \".\" \"INBOX.say \\\"hi\\\"\"", "INBOX.say \"hi\""},
      {"* LIST (\\HasNoChildren) \".\" \"INBOX.back\\\\slash\"", "INBOX.back\\slash"},
      {"* LIST () \"\\\\\" Back\\Slash", "Back\\Slash"},  // "\\" is the delimiter
      {"* LIST () \"/\" \"unclosed", nullptr},
      {"* LIST (\\HasNoChildren) \"/\" Archive (CHILDINFO (\"SUBSCRIBED\"))", "Archive"},
      {"* LIST () \"|\" Pipe|Child", "Pipe|Child"},
      {"* LIST () \".\" INBOX.Archive", "INBOX.Archive"},
      {"* LIST () \"/\" \"\"", nullptr},
      {"* LIST (", nullptr},
      {"* LIST (\\HasNoChildren) \"/\" \"&BB8EQAQ4BDsEPgQ2BDUEPQQ4BE8- &ANw-n&AO8-code\"",
       "Приложения Ünïcode"},
      {"* LIST () \"/\" Bad&AB-Run", "Bad&AB-Run"},  // not valid: kept as listed
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.line);
    Text folder;
    const bool found = FolderFromListLine(Text::FromUtf8(row.line), folder);
    EXPECT_EQ(found, row.folder != nullptr);
    if (row.folder && found) {
      EXPECT_EQ(folder.ToUtf8(), row.folder);
    }
  }
}

// A name sent as a literal is the bytes after the line end, whatever they hold.
TEST(ImapFolderTextTest, ListResponseWithLiteralsAndAttributes) {
  const std::string response =
      "* LIST (\\HasNoChildren) \"/\" {12}\r\nQuote\" and \\\r\n"
      "* LIST (\\Noselect \\HasChildren) \"/\" Shared\r\n"
      "* LIST () \"/\" {5}\r\nA \"B\"\r\n"
      "* LIST () \"/\" {99999}\r\nshort\r\n"
      "A1 OK List completed\r\n";
  const std::vector<ListedFolder> folders = ParseListResponse(response);
  ASSERT_EQ(folders.size(), 3u);
  EXPECT_EQ(folders[0].name, "Quote\" and \\");
  EXPECT_TRUE(IsOfferedFolder(folders[0]));
  EXPECT_EQ(folders[1].name, "Shared");
  EXPECT_EQ(folders[1].attributes, (std::vector<std::string>{"\\Noselect", "\\HasChildren"}));
  EXPECT_FALSE(IsOfferedFolder(folders[1]));
  EXPECT_EQ(folders[2].name, "A \"B\"");  // a literal's quotes are the name's own
  // The literal longer than the limit and the response is not taken.
}

// A server written without a scheme is TLS from the start, but port 143 is STARTTLS.
TEST(ImapFolderTextTest, ServerSettingForms) {
  const std::pair<const char16_t*, const char*> rows[] = {
      {u"mail.example.com", "imaps://mail.example.com/INBOX"},
      {u"mail.example.com:993", "imaps://mail.example.com:993/INBOX"},
      {u"mail.example.com:143", "imap://mail.example.com:143/INBOX"},
      {u"mail.example.com:1143", "imaps://mail.example.com:1143/INBOX"},
      {u"imap://mail.example.com", "imap://mail.example.com/INBOX"},
      {u"imaps://mail.example.com:143/", "imaps://mail.example.com:143/INBOX"},
  };
  for (const auto& [server, url] : rows) {
    SCOPED_TRACE(url);
    EXPECT_EQ(ImapServerUrl(server, "INBOX"), url);
  }
}

// A checked folder the server will not select ("Work" where it has "INBOX.Work") fails the
// check with a reason that names it, and a retry cannot help; the other folders are checked.
TEST_F(ImapEngineTest, UnselectableCheckedFolderIsReported) {
  ScriptedMailbox mailbox;
  mailbox.search = "1";
  mailbox.unselectable = "Work";
  mailbox.list =
      "* LIST (\\HasNoChildren) \".\" INBOX.Work\r\n"
      "* LIST (\\Noselect \\HasChildren) \".\" Shared\r\n";
  ScriptedImapServer server([&](const std::string& tag, const std::string& command) {
    return mailbox.Answer(tag, command);
  });
  auto engine = MakeEngine(server);
  ImapAccountSettings settings = engine->settings();
  settings.checkedFolders = {u"Work", u"INBOX.Work"};
  engine->ApplySettings(settings);
  EXPECT_EQ(engine->Check(), CheckStatus::Failure);
  EXPECT_NE(engine->lastFailure.ToUtf8().find("\"Work\""), std::string::npos)
      << engine->lastFailure.ToUtf8();
  EXPECT_EQ(engine->lastFailureKind, FailureKind::Setting);
  EXPECT_EQ(engine->mails.count(), 1u);  // INBOX.Work's
  EXPECT_EQ(FolderNames(*engine), (std::vector<std::string>{"Work+", "INBOX.Work+"}));
  std::vector<std::string> names;
  for (const Text& name : engine->FolderNames())
    names.push_back(name.ToUtf8());
  EXPECT_EQ(names, (std::vector<std::string>{"Work", "INBOX.Work"}));  // "Shared" not offered
}

TEST_F(ImapEngineTest, InboxCheckFetchesNewestFirstAndReadsTheFolderList) {
  ScriptedMailbox mailbox;
  mailbox.search = "3 7 12";
  for (const char* number : {"3", "7", "12"})
    mailbox.headers[number] =
        std::string("Subject: mail ") + number + "\r\nFrom: Alice <a@b.c>\r\n";
  mailbox.list =
      "* LIST (\\HasNoChildren) \"/\" INBOX\r\n"
      "* LIST (\\HasNoChildren) \"/\" \"Work Items|2024\"\r\n"
      "* LIST (\\HasNoChildren \\Drafts) \"/\" Drafts\r\n"
      "* LIST (\\HasNoChildren \\Sent) \"/\" Sent\r\n"
      "* LIST (\\HasNoChildren \\Trash) \"/\" Trash\r\n";
  ScriptedImapServer server([&](const std::string& tag, const std::string& command) {
    return mailbox.Answer(tag, command);
  });
  auto engine = MakeEngine(server);

  EXPECT_EQ(engine->Check(), CheckStatus::Success);

  // Newest first: 12, 7, 3 (each possibly fetched twice when its date did not parse).
  std::vector<std::string> order;
  for (const std::string& fetch : SentCommands(server, "FETCH")) {
    const std::string number = fetch.substr(6, fetch.find(' ', 6) - 6);
    if (order.empty() || order.back() != number)
      order.push_back(number);
  }
  EXPECT_EQ(order, (std::vector<std::string>{"12", "7", "3"}));
  EXPECT_EQ(SentCommands(server, "FETCH").front(),
            "FETCH 12 (UID FLAGS BODY.PEEK[HEADER.FIELDS (SUBJECT DATE FROM)])");
  ASSERT_EQ(engine->mails.count(), 3u);
  EXPECT_EQ(engine->mails.first()->subject.ToUtf8(), "mail 12");
  EXPECT_EQ(engine->mails.first()->sender.ToUtf8(), "Alice");  // normalised: markup removed
  EXPECT_TRUE(engine->mails.first()->folder.isEmpty());
  EXPECT_EQ(FolderNames(*engine), (std::vector<std::string>{"INBOX", "Work Items|2024"}));
  EXPECT_FALSE(engine->idleRunning());  // the IDLE setting is off
}

TEST_F(ImapEngineTest, CheckedFoldersReplaceTheInboxAndKeepTheirPlainNames) {
  ScriptedMailbox mailbox;
  mailbox.search = "5";
  mailbox.headers["5"] = "Subject: in a folder\r\n";
  ScriptedImapServer server([&](const std::string& tag, const std::string& command) {
    return mailbox.Answer(tag, command);
  });
  auto engine = MakeEngine(server);
  ImapAccountSettings settings = engine->settings();
  settings.folderList = u"Work Items|2024; Missing";
  settings.useIdle = 1;
  engine->ApplySettings(settings);

  EXPECT_EQ(engine->Check(), CheckStatus::Success);
  EXPECT_EQ(SentCommands(server, "SELECT"),
            (std::vector<std::string>{"SELECT \"Work Items|2024\"", "SELECT \"Missing\""}));
  ASSERT_EQ(engine->mails.count(), 2u);
  EXPECT_EQ(engine->mails.first()->folder.ToUtf8(), "Work Items|2024");
  EXPECT_EQ(engine->mails.first()->subject.ToUtf8(), "in a folder");
  // A folder was checked, so no IDLE (it watches the inbox only).
  EXPECT_FALSE(engine->idleRunning());
}

// The header callback: folded and encoded subjects, dates as seconds since 1970 (UTC), and
// the order of the records: dated ones sorted newest first, undated ones appended.
TEST_F(ImapEngineTest, HeadersBecomeRecords) {
  ScriptedMailbox mailbox;
  mailbox.search = "1 2 3 4";
  mailbox.headers["1"] =
      "Subject: a subject folded\r\n over two lines\r\nFrom: Bob <bob@example.com>\r\n"
      "Date: Wed, 9 Dec 2026 10:00:00 +0200\r\n";
  mailbox.headers["2"] =
      "Date: Thu, 10 Dec 2026 10:00:00 +0200\r\nsubject: =?UTF-8?B?R3LDvMOfZSBhdXMgS8O2bG4=?=\r\n"
      "From: =?ISO-8859-1?Q?J=F6rg?= <j@example.com>\r\n";
  mailbox.headers["3"] = "Subject: no date here\r\nDate: sometime soon\r\n";
  mailbox.headers["4"] = "Subject: last line of the header";
  ScriptedImapServer server([&](const std::string& tag, const std::string& command) {
    return mailbox.Answer(tag, command);
  });
  auto engine = MakeEngine(server);
  ASSERT_EQ(engine->Check(), CheckStatus::Success);

  struct Expected {
    const char* subject;
    const char* sender;
    const char* date;
  };
  const Expected expected[] = {
      {"Grüße aus Köln", "Jörg", "1796889600"},  // 10:00 at +0200 is 08:00 UTC
      {"a subject folded over two lines", "Bob", "1796803200"},
      {"last line of the header", "", ""},
      {"no date here", "", "sometime soon"},
  };
  ASSERT_EQ(engine->mails.count(), std::size(expected));
  const MailItem* item = engine->mails.first();
  for (const Expected& row : expected) {
    SCOPED_TRACE(row.subject);
    EXPECT_EQ(item->subject.ToUtf8(), row.subject);
    EXPECT_EQ(item->sender.ToUtf8(), row.sender);
    EXPECT_EQ(item->date.ToUtf8(), row.date);
    item = NodeList<MailItem>::next(item);
  }
  // Messages 4 and 3 had no date that could be read: fetched twice, 100 ms apart.
  EXPECT_EQ(SentCommands(server, "FETCH").size(), 6u);
  EXPECT_EQ(clock.sleptMilliseconds(), 2u * kImapFetchRetryDelayMs);
}

TEST_F(ImapEngineTest, TwentyFiveUnseenGetTwentyHeaderFetches) {
  ScriptedMailbox mailbox;
  for (int number = 1; number <= 25; ++number) {
    mailbox.search += (number > 1 ? " " : "") + std::to_string(number);
    mailbox.headers[std::to_string(number)] = "Subject: s" + std::to_string(number) + "\r\n";
  }
  ScriptedImapServer server([&](const std::string& tag, const std::string& command) {
    return mailbox.Answer(tag, command);
  });
  auto engine = MakeEngine(server);
  EXPECT_EQ(engine->Check(), CheckStatus::Success);
  ASSERT_EQ(engine->mails.count(), 25u);
  std::size_t withText = 0;
  for (const MailItem* item = engine->mails.first(); item; item = NodeList<MailItem>::next(item))
    withText += item->subject.isEmpty() ? 0 : 1;
  EXPECT_EQ(withText, 20u);
  // Without a date every fetched message was asked for twice, 100 ms apart.
  EXPECT_EQ(SentCommands(server, "FETCH").size(), 40u);
  EXPECT_EQ(clock.sleptMilliseconds(), 20u * kImapFetchRetryDelayMs);
}

TEST_F(ImapEngineTest, ServerMisbehaviourEndsInAStatus) {
  struct Row {
    const char* name;
    ScriptedImapServer::Handler handler;
    CheckStatus expected;
    std::size_t records;
  };
  const std::vector<Row> rows = {
      {"A002 NO AUTHENTICATE",
       [](const std::string& tag, const std::string& command) {
         if (command.rfind("AUTHENTICATE", 0) == 0)
           return ScriptedReply{tag + " NO AUTHENTICATE failed\r\n"};
         return ScriptedImapServer::StandardReply(tag, command);
       },
       CheckStatus::Failure, 0},
      {"search answered without OK",
       [](const std::string& tag, const std::string& command) {
         if (command.rfind("SEARCH", 0) == 0)
           return ScriptedReply{"* SEARCH 1 2\r\n" + tag + " NO busy\r\n"};
         return ScriptedImapServer::StandardReply(tag, command);
       },
       CheckStatus::Failure, 0},
      {"search completed without a SEARCH line",
       [](const std::string& tag, const std::string& command) {
         if (command.rfind("SEARCH", 0) == 0)
           return ScriptedReply{tag + " OK done\r\n"};
         return ScriptedImapServer::StandardReply(tag, command);
       },
       CheckStatus::Failure, 0},
      {"search line with junk instead of numbers",
       [](const std::string& tag, const std::string& command) {
         if (command.rfind("SEARCH", 0) == 0)
           return ScriptedReply{"* SEARCH 1:* x 2\r\n" + tag + " OK SEARCH completed\r\n"};
         return ScriptedImapServer::StandardReply(tag, command);
       },
       CheckStatus::Success, 1},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    ScriptedImapServer server(row.handler);
    auto engine = MakeEngine(server);
    EXPECT_EQ(engine->Check(), row.expected);
    EXPECT_EQ(engine->mails.count(), row.records);
    for (const std::string& fetch : SentCommands(server, "FETCH"))
      EXPECT_EQ(fetch.rfind("FETCH 2 ", 0), 0u) << fetch;
  }
}

TEST_F(ImapEngineTest, ConnectionDroppedInTheMiddleOfAFetch) {
  ScriptedMailbox mailbox;
  mailbox.search = "1 2";
  mailbox.headers["2"] = "Subject: cut";
  mailbox.dropInFetch = true;
  ScriptedImapServer server([&](const std::string& tag, const std::string& command) {
    return mailbox.Answer(tag, command);
  });
  auto engine = MakeEngine(server);
  // The search succeeded; the records stay, without the headers that never came.
  EXPECT_EQ(engine->Check(), CheckStatus::Success);
  EXPECT_EQ(engine->mails.count(), 2u);
}

// A search of 100,000 numbers and a list of 20,000 folders: every number becomes a record,
// the newest twenty get their headers, every new folder is listed once. (Counting the records
// for every number, or scanning the folders for every line, made this take minutes.)
TEST_F(ImapEngineTest, LongSearchAndFolderListAreReadInFull) {
  constexpr int kNumbers = 100'000;
  constexpr int kFolders = 20'000;
  ScriptedMailbox mailbox;
  for (int number = 1; number <= kNumbers; ++number) {
    mailbox.search += (number > 1 ? " " : "") + std::to_string(number);
  }
  mailbox.headers["100000"] = "Subject: newest\r\nDate: Thu, 10 Dec 2026 10:00:00 +0000\r\n";
  mailbox.list.clear();
  for (int folder = 0; folder < kFolders; ++folder) {
    const std::string line =
        "* LIST (\\HasNoChildren) \"/\" \"Folder " + std::to_string(folder) + "\"\r\n";
    mailbox.list += line;
    if (folder % 1000 == 0)
      mailbox.list += line;  // listed twice, kept once
  }
  ScriptedImapServer server([&](const std::string& tag, const std::string& command) {
    return mailbox.Answer(tag, command);
  });
  auto engine = MakeEngine(server);
  engine->AddFolder(u"Folder 7", 0);  // known before: keeps its place

  ASSERT_EQ(engine->Check(), CheckStatus::Success);
  EXPECT_EQ(engine->mails.count(), static_cast<std::size_t>(kNumbers));
  EXPECT_EQ(engine->mails.first()->subject.ToUtf8(), "newest");
  const std::vector<std::string> fetches = SentCommands(server, "FETCH");
  ASSERT_FALSE(fetches.empty());
  EXPECT_EQ(fetches.front().rfind("FETCH 100000 ", 0), 0u);
  // 100000 had a date; 99999 down to 99981 were asked for twice.
  EXPECT_EQ(fetches.size(), 1u + 2u * (kImapHeaderFetchLimit - 1));
  EXPECT_EQ(fetches.back().rfind("FETCH 99981 ", 0), 0u);
  const std::vector<std::string> folders = FolderNames(*engine);
  ASSERT_EQ(folders.size(), static_cast<std::size_t>(kFolders));
  EXPECT_EQ(folders.front(), "Folder 7");
  EXPECT_EQ(folders[1], "Folder 0");
  EXPECT_EQ(folders.back(), "Folder " + std::to_string(kFolders - 1));
}

// The options dialog may load the settings again while a check runs: the check goes on with
// the account and folders it started with.
TEST_F(ImapEngineTest, SettingsReplacedDuringACheckDoNotChangeIt) {
  ScriptedMailbox mailbox;
  ImapEngine* checked = nullptr;
  bool replaced = false;
  ImapAccountSettings replacement;
  ScriptedImapServer server([&](const std::string& tag, const std::string& command) {
    if (command.rfind("SEARCH", 0) == 0 && !replaced) {
      replaced = true;
      checked->ApplySettings(replacement);
    }
    return mailbox.Answer(tag, command);
  });
  auto engine = MakeEngine(server);
  checked = engine.get();
  ImapAccountSettings settings = engine->settings();
  settings.folderList = u"One;Two";
  engine->ApplySettings(settings);
  replacement = settings;
  replacement.user = u"other";
  replacement.password = u"changed";
  replacement.folderList = u"Other";

  EXPECT_EQ(engine->Check(), CheckStatus::Success);
  EXPECT_EQ(SentCommands(server, "SELECT"),
            (std::vector<std::string>{"SELECT \"One\"", "SELECT \"Two\""}));
  const std::vector<std::string> logins = SentCommands(server, "AUTHENTICATE");
  // The folders and the folder list share one login, as tester with s3cret: the transport
  // took the session up again for the same credentials (other ones would have logged in).
  EXPECT_EQ(logins, std::vector<std::string>(1, "AUTHENTICATE PLAIN AHRlc3RlcgBzM2NyZXQ="));
  // The next check uses the new settings.
  EXPECT_EQ(engine->settings().user.ToUtf8(), "other");
}

// Asked to stop (exit, for one), the check thread's IMAP command ends at once instead of
// waiting for a silent server until the command's time-out (a minute).
TEST_F(ImapEngineTest, StopRequestEndsARunningCommand) {
  ScriptedImapServer server([](const std::string& tag, const std::string& command) {
    if (command.rfind("SEARCH", 0) == 0)
      return ScriptedReply{"", ScriptedReply::Then::Stall};
    return ScriptedImapServer::StandardReply(tag, command);
  });
  auto engine = MakeEngine(server);
  WorkerThread checkThread;
  CheckStatus status = CheckStatus::Success;
  ASSERT_TRUE(checkThread.start([&] {
    status = engine->Check();
    return 0u;
  }));
  ASSERT_TRUE(server.WaitForLineEnding("SEARCH UNSEEN"));
  checkThread.requestStop();
  ASSERT_TRUE(checkThread.waitFinished(20'000)) << "the check waited for the server";
  EXPECT_EQ(status, CheckStatus::Failure);
  EXPECT_EQ(engine->mails.count(), 0u);
  EXPECT_TRUE(SentCommands(server, "LIST").empty());  // nothing more was started
}

TEST_F(ImapEngineTest, MissingLibraryOrExportFailsWithoutTouchingTheNetwork) {
  ScriptedImapServer server(ScriptedImapServer::StandardReply);
  for (const std::string& path :
       {std::string("/nonexistent/libzarquet.so"), std::string(PARTIAL_ZARQUET_LIBRARY_PATH)}) {
    SCOPED_TRACE(path);
    auto engine = MakeEngine(server, 0, path);
    EXPECT_EQ(engine->Check(), CheckStatus::Failure);
    EXPECT_FALSE(engine->lastFailure.isEmpty());
  }
  EXPECT_TRUE(server.receivedLines().empty());
}

TEST_F(ImapEngineTest, SlotsTwoAndThreeWaitTenSecondsOnTheClock) {
  ScriptedImapServer server(ScriptedImapServer::StandardReply);
  for (uint32_t slot = 0; slot < kImapSlotCount; ++slot) {
    SCOPED_TRACE(slot);
    const uint64_t before = clock.sleptMilliseconds();
    auto engine = MakeEngine(server, slot);
    EXPECT_EQ(engine->name.ToUtf8(), "IMAP" + std::to_string(slot + 1));
    EXPECT_EQ(engine->Check(), CheckStatus::Success);
    EXPECT_EQ(clock.sleptMilliseconds() - before, slot == 0 ? 0u : kImapSlotDelayMs);
  }
}

TEST_F(ImapEngineTest, RefusedLoginWithPasswordIsAFailureWithALogLine) {
  class LinesTrace : public DiagnosticTrace {
   public:
    void Record(std::string_view entry) override { lines.emplace_back(entry); }
    std::vector<std::string> lines;
  };
  ScriptedMailbox mailbox;
  mailbox.refuseLogin = true;
  ScriptedImapServer server([&](const std::string& tag, const std::string& command) {
    return mailbox.Answer(tag, command);
  });
  LinesTrace trace;
  ImapEngineServices services{clock, flags, nullptr, &relay, nullptr, ZARQUET_LIBRARY_PATH, &trace};
  ImapEngine engine(ImapType(0), 0, services);
  ImapAccountSettings settings = MakeEngine(server)->settings();
  engine.ApplySettings(settings);
  EXPECT_EQ(engine.Check(), CheckStatus::Failure);
  EXPECT_EQ(trace.lines,
            (std::vector<std::string>{"ImapCheckFailed IMAP1: the server refused the login"}));
  EXPECT_EQ(engine.lastFailure.ToUtf8(), "the server refused the user name or password");
  EXPECT_EQ(engine.lastFailureKind, FailureKind::SignInRefused);
}

TEST_F(ImapEngineTest, OAuth2RetriesOnceWithAFreshTokenThenAsksForSignIn) {
  ScriptedMailbox mailbox;
  mailbox.refuseLogin = true;
  ScriptedImapServer server([&](const std::string& tag, const std::string& command) {
    return mailbox.Answer(tag, command);
  });
  FixedTokens tokens({"first", "second", "third"});
  auto engine = MakeEngine(server, 0, ZARQUET_LIBRARY_PATH, &tokens);
  ImapAccountSettings settings = engine->settings();
  settings.authMethod = 1;
  settings.refreshToken = u"refresh";
  engine->ApplySettings(settings);

  EXPECT_EQ(engine->Check(), CheckStatus::LoginNeeded);
  EXPECT_EQ(tokens.calls(), 2u);
  EXPECT_EQ(SentCommands(server, "AUTHENTICATE XOAUTH2").size(), 2u);
  // The tray shows this reason: it must say what to do.
  EXPECT_NE(engine->lastFailure.ToUtf8().find("refused the access token"), std::string::npos)
      << engine->lastFailure.ToUtf8();
  EXPECT_NE(engine->lastFailure.ToUtf8().find("press \"Sign in\""), std::string::npos)
      << engine->lastFailure.ToUtf8();
  EXPECT_EQ(engine->lastFailureKind, FailureKind::SignInRefused);
}

TEST_F(ImapEngineTest, OAuth2WithAFailedRefreshForgetsTheTokenAndStaysOffline) {
  ScriptedImapServer server(ScriptedImapServer::StandardReply);
  FixedTokens noTokens({});
  auto engine = MakeEngine(server, 0, ZARQUET_LIBRARY_PATH, &noTokens);
  ImapAccountSettings settings = engine->settings();
  settings.authMethod = 2;
  settings.refreshToken = u"expired";
  engine->ApplySettings(settings);
  EXPECT_EQ(engine->Check(), CheckStatus::LoginNeeded);
  EXPECT_TRUE(engine->settings().refreshToken.isEmpty());
  EXPECT_TRUE(server.receivedLines().empty());
  EXPECT_NE(engine->lastFailure.ToUtf8().find("needs a new OAuth2 sign-in: press \"Sign in\""),
            std::string::npos)
      << engine->lastFailure.ToUtf8();
}

class ImapIdleTest : public ImapEngineTest {
 protected:
  void SetUp() override {
    server = std::make_unique<ScriptedImapServer>(
        [this](const std::string& tag, const std::string& command) {
          return mailbox.Answer(tag, command);
        });
    engine = MakeEngine(*server);
    ImapAccountSettings settings = engine->settings();
    settings.useIdle = 1;
    engine->ApplySettings(settings);
  }

  ScriptedMailbox mailbox;
  std::unique_ptr<ScriptedImapServer> server;
  std::unique_ptr<ImapEngine> engine;
};

TEST_F(ImapIdleTest, NewMailWhileIdlingChecksIn) {
  CheckInCounter checkIns(relay);
  ASSERT_EQ(engine->Check(), CheckStatus::Success);
  ASSERT_TRUE(engine->idleRunning());
  EXPECT_EQ(engine->ReadyToCheck(), 0);  // the IDLE covers the account

  ASSERT_TRUE(server->WaitForLineEnding(" IDLE"));
  server->Push("* 1 EXISTS\r\n");
  ASSERT_TRUE(checkIns.WaitFor(1));
  EXPECT_TRUE(flags.any(flag_bits::kRecheckRequested));
  EXPECT_EQ(engine->idleErrors.load(), 0u);
  EXPECT_EQ(engine->ReadyToCheck(), 1);
  EXPECT_EQ(SentCommands(*server, "IDLE").size(), 1u);
}

// Checked folders on a server that offers NOTIFY: the first folder is selected and the others
// are named (quoted by the grammar) in one NOTIFY SET, the IDLE covers the account, and a
// STATUS of a watched folder checks in. A refused NOTIFY leaves the IDLE on the inbox and the
// other folders to the timer.
TEST_F(ImapIdleTest, CheckedFoldersAreWatchedWithNotifyWhereOffered) {
  struct Case {
    const char* name;
    const char* answer;
    bool coversAccount;
  };
  const Case cases[] = {{"accepted", "OK NOTIFY completed", true},
                        {"refused", "BAD Invalid arguments", false},
                        {"not allowed", "NO not now", false}};
  int pushes = 0;
  CheckInCounter checkIns(relay);
  for (const Case& row : cases) {
    SCOPED_TRACE(row.name);
    mailbox.offerNotify = true;
    mailbox.notifyAnswer = row.answer;
    ImapAccountSettings settings = engine->settings();
    settings.folderList = u"INBOX;Work \"A\";Back\\slash";
    engine->ApplySettings(settings);
    ASSERT_EQ(engine->Check(), CheckStatus::Success) << engine->lastFailure.ToUtf8();
    EXPECT_TRUE(engine->notifySupported);
    ASSERT_TRUE(engine->idleRunning());
    EXPECT_EQ(SentCommands(*server, "NOTIFY").back(),
              "NOTIFY SET (selected (MessageNew MessageExpunge)) (mailboxes (\"Work \\\"A\\\"\" "
              "\"Back\\\\slash\") (MessageNew MessageExpunge))");
    EXPECT_EQ(engine->ReadyToCheck(), row.coversAccount ? 0 : 1);
    if (row.coversAccount) {
      ASSERT_TRUE(server->WaitForLineEnding(" IDLE"));
      server->Push("* STATUS \"Back\\\\slash\" (MESSAGES 3 UIDNEXT 4 UNSEEN 1)\r\n");
      ASSERT_TRUE(checkIns.WaitFor(++pushes));
      EXPECT_EQ(engine->idleErrors.load(), 0u);
      EXPECT_EQ(engine->ReadyToCheck(), 1);
    }
    EXPECT_FALSE(engine->idleRunning());
  }
  // Without NOTIFY in the capabilities none is sent.
  const std::size_t sent = SentCommands(*server, "NOTIFY").size();
  mailbox.offerNotify = false;
  ASSERT_EQ(engine->Check(), CheckStatus::Success) << engine->lastFailure.ToUtf8();
  EXPECT_FALSE(engine->notifySupported);
  EXPECT_EQ(engine->ReadyToCheck(), 1);
  EXPECT_EQ(SentCommands(*server, "NOTIFY").size(), sent);
}

TEST_F(ImapIdleTest, TheThirtyMinuteWatchCancelsTheIdle) {
  CheckInCounter checkIns(relay);
  ASSERT_EQ(engine->Check(), CheckStatus::Success);
  ASSERT_TRUE(engine->idleRunning());
  clock.advance(kImapIdleTimeoutMs);
  EXPECT_EQ(engine->ReadyToCheck(), 0);  // exactly 30 minutes: still covered
  clock.advance(1);
  EXPECT_EQ(engine->ReadyToCheck(), 1);
  EXPECT_FALSE(engine->idleRunning());
  EXPECT_FALSE(flags.any(flag_bits::kRecheckRequested));
  // The next check runs normally and idles again.
  EXPECT_EQ(engine->Check(), CheckStatus::Success);
  EXPECT_TRUE(engine->idleRunning());
}

TEST_F(ImapIdleTest, ACheckWhileIdlingEndsTheIdleFirst) {
  ASSERT_EQ(engine->Check(), CheckStatus::Success);
  ASSERT_TRUE(engine->idleRunning());
  mailbox.search = "1";
  EXPECT_EQ(engine->Check(), CheckStatus::Success);
  EXPECT_EQ(engine->mails.count(), 1u);
  EXPECT_TRUE(server->WaitForLineEnding("DONE"));
}

// Waits (in real time, bounded) until the condition holds.
template <typename Condition>
bool Eventually(Condition condition) {
  for (int step = 0; step < 2000; ++step) {
    if (condition())
      return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return condition();
}

// A server that refuses IDLE: the next IDLE waits 5 s, 30 s and 2 min on the clock before its
// check, then waits for the regular checks, and is tried at each of them: push is never
// switched off for good. One confirmed IDLE resets the count.
TEST_F(ImapIdleTest, RefusedIdlesBackOffAndAreTriedAgainAtEveryCheck) {
  mailbox.refuseIdle = true;
  for (uint32_t round = 1; round <= kImapIdleErrorLimit; ++round) {
    SCOPED_TRACE(round);
    CheckInCounter checkIns(relay);
    const uint64_t slept = clock.sleptMilliseconds();
    ASSERT_EQ(engine->Check(), CheckStatus::Success);
    ASSERT_TRUE(checkIns.WaitFor(1));
    EXPECT_EQ(clock.sleptMilliseconds() - slept, kImapIdleRetryDelaysMs[round - 1]);
    EXPECT_EQ(engine->ReadyToCheck(), 1);
    EXPECT_EQ(engine->idleErrors.load(), round);
  }
  for (uint32_t round = kImapIdleErrorLimit + 1; round <= kImapIdleErrorLimit + 2; ++round) {
    SCOPED_TRACE(round);
    CheckInCounter checkIns(relay);
    ASSERT_EQ(engine->Check(), CheckStatus::Success);
    ASSERT_TRUE(Eventually([&] { return engine->idleErrors.load() == round; }));
    ASSERT_TRUE(Eventually([&] { return !engine->idleRunning(); }));
    EXPECT_EQ(checkIns.count(), 0);  // left to the regular check
    EXPECT_EQ(engine->ReadyToCheck(), 1);
  }
  EXPECT_EQ(SentCommands(*server, "IDLE").size(), kImapIdleErrorLimit + 2);

  mailbox.refuseIdle = false;
  ASSERT_EQ(engine->Check(), CheckStatus::Success);
  EXPECT_TRUE(Eventually([&] { return engine->idleErrors.load() == 0; }));
  EXPECT_TRUE(engine->idleRunning());
}

// The server ends the IDLE's connection three times in a row (a restart, a load balancer's
// idle time-out): each time the check reconnects after 5 s and IDLE starts again, and the
// next mail is still noticed at once.
TEST_F(ImapIdleTest, IdleConnectionDroppedThreeTimesStillNoticesTheNextMail) {
  mailbox.idlesToDrop = 3;
  for (int round = 1; round <= 3; ++round) {
    SCOPED_TRACE(round);
    CheckInCounter checkIns(relay);
    const uint64_t slept = clock.sleptMilliseconds();
    ASSERT_EQ(engine->Check(), CheckStatus::Success);
    ASSERT_TRUE(checkIns.WaitFor(1));
    EXPECT_EQ(clock.sleptMilliseconds() - slept, kImapIdleRetryDelaysMs[0]);
    EXPECT_EQ(engine->idleErrors.load(), 1u);  // each IDLE had started: the count began anew
    EXPECT_EQ(engine->ReadyToCheck(), 1);
  }
  CheckInCounter checkIns(relay);
  ASSERT_EQ(engine->Check(), CheckStatus::Success);
  ASSERT_TRUE(engine->idleRunning());
  ASSERT_TRUE(Eventually([&] { return SentCommands(*server, "IDLE").size() == 4; }));
  ASSERT_TRUE(Eventually([&] { return engine->idleErrors.load() == 0; }));
  server->Push("* 1 EXISTS\r\n");
  ASSERT_TRUE(checkIns.WaitFor(1));
  EXPECT_TRUE(flags.any(flag_bits::kRecheckRequested));
  EXPECT_EQ(engine->idleErrors.load(), 0u);
}

// New settings end the IDLE of the old ones at once, without the caller waiting for it; the
// connection is closed, not kept, and the next check logs in with the new password. The
// same settings again leave the IDLE alone.
TEST_F(ImapIdleTest, ChangedSettingsEndTheIdleAndItsConnection) {
  ASSERT_EQ(engine->Check(), CheckStatus::Success);
  ASSERT_TRUE(engine->idleRunning());
  ASSERT_TRUE(server->WaitForLineEnding(" IDLE"));
  engine->ApplySettings(engine->settings());
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_TRUE(engine->idleRunning());

  CheckInCounter checkIns(relay);
  ImapAccountSettings changed = engine->settings();
  changed.password = u"n3w";
  engine->ApplySettings(changed);
  ASSERT_TRUE(checkIns.WaitFor(1));  // the new settings are checked at once
  EXPECT_FALSE(engine->idleRunning());
  EXPECT_TRUE(server->WaitForLineEnding(" LOGOUT"));
  EXPECT_EQ(engine->idleErrors.load(), 0u);
  EXPECT_EQ(engine->ReadyToCheck(), 1);
  ASSERT_EQ(engine->Check(), CheckStatus::Success);
  const std::vector<std::string> logins = SentCommands(*server, "AUTHENTICATE PLAIN");
  ASSERT_EQ(logins.size(), 2u);
  EXPECT_NE(logins[0], logins[1]);  // logged in again, with the new password
}

// Switched off on its page, the account's IDLE ends and logs out, and no check is asked for.
TEST_F(ImapIdleTest, SwitchingTheAccountOffEndsItsIdle) {
  ASSERT_EQ(engine->Check(), CheckStatus::Success);
  ASSERT_TRUE(server->WaitForLineEnding(" IDLE"));
  CheckInCounter checkIns(relay);
  flags.clear(engine->selectBit);
  engine->ApplySettings(engine->settings());
  EXPECT_TRUE(server->WaitForLineEnding(" LOGOUT", std::chrono::seconds(3)))
      << ::testing::PrintToString(server->receivedLines());
  EXPECT_TRUE(Eventually([&] { return !engine->idleRunning(); }));
  EXPECT_EQ(checkIns.count(), 0);
}

// Without an IDLE, the connection a check leaves open for the next one is closed as well.
TEST_F(ImapEngineTest, ChangedSettingsCloseTheKeptConnection) {
  ScriptedImapServer server(ScriptedImapServer::StandardReply);
  auto engine = MakeEngine(server);
  ASSERT_EQ(engine->Check(), CheckStatus::Success);
  EXPECT_EQ(SentCommands(server, "LOGOUT").size(), 0u);  // kept for the next check
  ImapAccountSettings changed = engine->settings();
  changed.user = u"someone";
  engine->ApplySettings(changed);
  EXPECT_TRUE(server.WaitForLineEnding(" LOGOUT"));
}

// Checked folders that include the inbox: IDLE watches the inbox (the only mailbox it can
// watch), and the timer's checks still cover every folder. Without the inbox: no IDLE.
TEST_F(ImapIdleTest, CheckedFoldersWithTheInboxIdleOnTheInbox) {
  ImapAccountSettings settings = engine->settings();
  settings.checkedFolders = {u"Work", u"INBOX"};
  engine->ApplySettings(settings);
  CheckInCounter checkIns(relay);
  ASSERT_EQ(engine->Check(), CheckStatus::Success);
  ASSERT_TRUE(engine->idleRunning());
  ASSERT_TRUE(server->WaitForLineEnding(" IDLE"));
  const std::vector<std::string> selects = SentCommands(*server, "SELECT");
  ASSERT_FALSE(selects.empty());
  EXPECT_EQ(selects.back(), "SELECT \"INBOX\"");
  server->Push("* 1 EXISTS\r\n");
  ASSERT_TRUE(checkIns.WaitFor(1));
  EXPECT_EQ(engine->ReadyToCheck(), 1);

  ASSERT_EQ(engine->Check(), CheckStatus::Success);
  ASSERT_TRUE(engine->idleRunning());
  EXPECT_EQ(engine->ReadyToCheck(), 1);  // the timer's check still comes
  EXPECT_FALSE(engine->idleRunning());

  settings.checkedFolders = {u"Work"};
  engine->ApplySettings(settings);
  ASSERT_EQ(engine->Check(), CheckStatus::Success);
  EXPECT_FALSE(engine->idleRunning());
}

TEST_F(ImapIdleTest, DestroyingTheEngineEndsTheIdleWithoutCheckingIn) {
  CheckInCounter checkIns(relay);
  ASSERT_EQ(engine->Check(), CheckStatus::Success);
  ASSERT_TRUE(engine->idleRunning());
  engine.reset();
  EXPECT_EQ(checkIns.count(), 0);
  EXPECT_TRUE(server->WaitForLineEnding(" LOGOUT"));
}

}  // namespace
}  // namespace tarvel
