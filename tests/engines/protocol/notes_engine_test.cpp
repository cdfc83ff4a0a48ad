// The Notes engine against fixture proxy libraries loaded at run time, and its request to the
// main thread.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "accounts/account_type.h"
#include "accounts/main_thread_relay.h"
#include "accounts/protected_text.h"
#include "accounts/settings_store.h"
#include "engines/protocol/notes_engine.h"
#include "maintenance/diagnostic_trace.h"
#include "tests/support/mail_records.h"
#include "tests/support/temp_folder.h"

namespace tarvel {
namespace {

using testing::InboxRecords;
using testing::MailRecord;

const AccountTypeInfo& NotesType() {
  for (const AccountTypeInfo& type : kAccountTypes) {
    if (type.engine == EngineKind::Notes)
      return type;
  }
  return kAccountTypes[0];
}

class RecordingTrace : public DiagnosticTrace {
 public:
  void Record(std::string_view entry) override { entries.emplace_back(entry); }
  std::vector<std::string> entries;
};

// The calls the fixture library saw since the last look.
std::string TakeLibraryLog() {
  void* library = ::dlopen(FIXTURE_BRINDLE_PATH, RTLD_NOW | RTLD_NOLOAD);
  if (!library)
    return "(not loaded)";
  std::string log;
  using LogFunction = void (*)(char*, uint32_t);
  if (auto take = reinterpret_cast<LogFunction>(::dlsym(library, "FixtureBrindle_Log"))) {
    std::vector<char> buffer(8192);
    take(buffer.data(), static_cast<uint32_t>(buffer.size()));
    log = buffer.data();
  }
  ::dlclose(library);
  return log;
}

class NotesEngineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // Held for the test, so that the library's log outlives the engines that load it.
    library_ = ::dlopen(FIXTURE_BRINDLE_PATH, RTLD_NOW);
    ASSERT_NE(library_, nullptr);
    ASSERT_TRUE(store_.open(SettingsMode::IniFile, nullptr, {}, folder_.file("tarvel.ini")));
    for (const char* name : {"TARVEL_FIXTURE_NOTES_PASSWORD", "TARVEL_FIXTURE_NOTES_TYPED",
                             "TARVEL_FIXTURE_NOTES_INIT"})
      ::unsetenv(name);
  }
  std::unique_ptr<NotesEngine> MakeEngine(const std::string& library = FIXTURE_BRINDLE_PATH,
                                          MainThreadRelay* relay = nullptr) {
    NotesEngine::Services services;
    services.settings = &store_;
    services.trace = &trace_;
    services.mainThread = relay;
    services.libraryLocation = library;
    auto engine = std::make_unique<NotesEngine>(NotesType(), services);
    TakeLibraryLog();
    return engine;
  }
  void TearDown() override {
    if (library_)
      ::dlclose(library_);
  }
  void* library_ = nullptr;
  testing::TempFolder folder_;
  SettingsStore store_;
  RecordingTrace trace_;
};

TEST_F(NotesEngineTest, TheFolderListChoosesTheFoldersRead) {
  const MailRecord ann{"Ann Archer", "Quarterly figures", "12/10/2026 09:15:00"};
  const MailRecord cy{"Cy Cole", "Caf\xC3\xA9 on Friday", "12/08/2026 17:30:00"};
  const MailRecord dee{"Dee Dunn", "Plan", "12/07/2026 10:00:00"};
  const MailRecord eve{"Eve Eng", "Tickets", "12/06/2026 11:00:00"};
  const MailRecord fay{"Fay Fox", "Only with all folders", "12/05/2026 12:00:00"};
  struct Case {
    const char* folderList;
    std::string calls;
    std::vector<MailRecord> records;
  };
  const Case cases[] = {
      {"", "GetUnreadIds $Inbox\n", {ann, cy}},
      {"*", "GetUnreadIds (all)\n", {ann, cy, dee, eve, fay}},
      {"Projects, Travel",
       "GetUnreadIds $Inbox\nGetUnreadIds Projects\nGetUnreadIds Travel\n",
       {ann, cy, dee, eve}},
      // A quoted name keeps its blank; tabs and semicolons separate too. A folder the
      // database lacks does not fail the check.
      {"\"Hidden folder\";\tMissing",
       "GetUnreadIds $Inbox\nGetUnreadIds Hidden folder\nGetUnreadIds Missing\n",
       {ann, cy, fay}},
      // "*" with other names is a folder name like any other.
      {"* Projects",
       "GetUnreadIds $Inbox\nGetUnreadIds *\nGetUnreadIds Projects\n",
       {ann, cy, dee}},
  };
  for (const Case& row : cases) {
    SCOPED_TRACE(row.folderList);
    ASSERT_TRUE(store_.writeText(u"NotesFolderList", Text::FromUtf8(row.folderList)));
    auto engine = MakeEngine();
    EXPECT_EQ(engine->Check(), CheckStatus::Success);
    EXPECT_EQ(TakeLibraryLog(), "DataBaseOpen\n" + row.calls + "DataBaseClose\n");
    EXPECT_EQ(InboxRecords(*engine), row.records);
  }
  EXPECT_TRUE(trace_.entries.empty());
}

TEST_F(NotesEngineTest, ThePasswordPromptIsAnsweredOnceAndWhatWorkedIsStored) {
  struct Case {
    const char* name;
    const char* stored;  // NotesPassword before the check
    const char* typed;   // what the user types into a prompt left to them
    CheckStatus status;
    const char* prompts;
    const char* storedAfter;
  };
  const Case cases[] = {
      {"remembered password accepted", "s3cret pass", "", CheckStatus::Success, "prompt answered\n",
       "s3cret pass"},
      // The second prompt is the user's; what they typed is learnt and written back.
      {"remembered password refused, user types it", "old", "s3cret pass", CheckStatus::Success,
       "prompt answered\nprompt left to the user\n", "s3cret pass"},
      {"nothing remembered, user types it", "", "s3cret pass", CheckStatus::Success,
       "prompt left to the user\n", "s3cret pass"},
      // A failed open stores nothing.
      {"user types a wrong one", "old", "wrong", CheckStatus::Failure,
       "prompt answered\nprompt left to the user\nrefused\n", "old"},
  };
  ::setenv("TARVEL_FIXTURE_NOTES_PASSWORD", "s3cret pass", 1);
  for (const Case& row : cases) {
    SCOPED_TRACE(row.name);
    ASSERT_TRUE(ProtectText(store_, u"NotesPassword", Text::FromUtf8(row.stored)));
    ::setenv("TARVEL_FIXTURE_NOTES_TYPED", row.typed, 1);
    auto engine = MakeEngine();
    EXPECT_EQ(engine->Check(), row.status);
    const std::string log = TakeLibraryLog();
    std::string prompts;
    for (std::size_t at = 0; at < log.size();) {
      const std::size_t end = log.find('\n', at);
      const std::string line = log.substr(at, end - at);
      if (line.rfind("prompt", 0) == 0 || line == "refused")
        prompts += line + "\n";
      at = end == std::string::npos ? log.size() : end + 1;
    }
    EXPECT_EQ(prompts, row.prompts);
    EXPECT_EQ(UnprotectText(store_, u"NotesPassword", u"").ToUtf8(), row.storedAfter);
    // Never in plain sight.
    Text plain;
    store_.readText(u"NotesPassword", plain, u"");
    EXPECT_EQ(plain.ToUtf8().find("s3cret"), std::string::npos);
  }
}

TEST_F(NotesEngineTest, AMissingOrFailingLibraryFailsEveryCheckAndIsTracedOnce) {
  struct Case {
    const char* name;
    std::string library;
    const char* initialises;
    const char* missingText;
  };
  const Case cases[] = {
      {"no library", "/nonexistent/libbrindle.so", "1", "/nonexistent/libbrindle.so"},
      {"no Brindle_GetIdDetails", PARTIAL_BRINDLE_PATH, "1", "Brindle_GetIdDetails"},
      {"runtime does not start", FIXTURE_BRINDLE_PATH, "0", "could not start"},
  };
  for (const Case& row : cases) {
    SCOPED_TRACE(row.name);
    ::setenv("TARVEL_FIXTURE_NOTES_INIT", row.initialises, 1);
    RecordingTrace trace;
    NotesEngine::Services services;
    services.settings = &store_;
    services.trace = &trace;
    services.libraryLocation = row.library;
    NotesEngine engine(NotesType(), services);
    EXPECT_FALSE(engine.library().isLoaded());
    for (int check = 0; check < 3; ++check)
      EXPECT_EQ(engine.Check(), CheckStatus::Failure);
    ASSERT_EQ(trace.entries.size(), 1u);
    EXPECT_NE(trace.entries[0].find("NotesLibraryMissing"), std::string::npos);
    EXPECT_NE(trace.entries[0].find(row.missingText), std::string::npos) << trace.entries[0];
  }
  // A runtime that did not start is not ended either.
  EXPECT_EQ(TakeLibraryLog().find("DeInit"), std::string::npos);
}

TEST(NotesSenderName, TakesTheCommonNameOrTheQuotedName) {
  const std::pair<const char*, const char*> cases[] = {
      {"CN=Ann Archer/OU=Sales/O=Acme", "Ann Archer"},
      {"CN=Bob Baker", "Bob Baker"},
      {"\"Cy Cole\" <cy@example.com>", "Cy Cole"},
      {"Dee Dunn", "Dee Dunn"},
      {"\"unclosed <x@example.com>", "\"unclosed <x@example.com>"},
      {"", ""},
  };
  for (const auto& [field, name] : cases)
    EXPECT_EQ(NotesSenderName(Text::FromUtf8(field)).ToUtf8(), name) << field;
}

// The main thread of these tests: requests posted to it wait until it runs them.
class PostedRequests {
 public:
  MainThreadRelay::Post Poster() {
    return [this](uintptr_t wParam, intptr_t lParam) {
      const std::lock_guard<std::mutex> guard(lock_);
      queue_.emplace_back(wParam, lParam);
    };
  }
  bool RunOne() {
    std::pair<uintptr_t, intptr_t> request;
    {
      const std::lock_guard<std::mutex> guard(lock_);
      if (queue_.empty())
        return false;
      request = queue_.front();
      queue_.pop_front();
    }
    NotesEngine::RunPostedRequest(request.first, request.second);
    return true;
  }
  std::size_t size() {
    const std::lock_guard<std::mutex> guard(lock_);
    return queue_.size();
  }

 private:
  std::mutex lock_;
  std::deque<std::pair<uintptr_t, intptr_t>> queue_;
};

TEST_F(NotesEngineTest, TheCheckRunsOnTheMainThreadThroughAPostedRequest) {
  PostedRequests mainThread;
  MainThreadRelay relay;
  relay.Connect(mainThread.Poster());
  auto engine = MakeEngine(FIXTURE_BRINDLE_PATH, &relay);
  std::atomic<bool> stop{false};
  engine->SetStopSignal(&stop);

  std::atomic<int> status{-1};
  std::thread checkThread([&] { status = static_cast<int>(engine->Check()); });
  // The check thread asks and waits; nothing of the library runs until the main thread does.
  while (mainThread.size() == 0)
    std::this_thread::yield();
  EXPECT_EQ(status.load(), -1);
  EXPECT_EQ(TakeLibraryLog(), "");
  EXPECT_TRUE(mainThread.RunOne());
  checkThread.join();
  EXPECT_EQ(status.load(), 0);
  EXPECT_EQ(engine->mails.count(), 2u);
  EXPECT_EQ(TakeLibraryLog(), "DataBaseOpen\nGetUnreadIds $Inbox\nDataBaseClose\n");

  // A check stopped before the main thread came to it ends as a failure, and the request
  // that comes later is dropped without touching the library.
  engine->mails.clear();
  std::thread stoppedCheck([&] { status = static_cast<int>(engine->Check()); });
  while (mainThread.size() == 0)
    std::this_thread::yield();
  stop = true;
  stoppedCheck.join();
  EXPECT_EQ(status.load(), 1);
  EXPECT_TRUE(mainThread.RunOne());
  EXPECT_EQ(TakeLibraryLog(), "");
  EXPECT_EQ(engine->mails.count(), 0u);
  relay.Disconnect();

  // A request that names no engine, or one that is gone, is not run.
  int notAnEngine = 0;
  EXPECT_EQ(NotesEngine::RunPostedRequest(1, reinterpret_cast<intptr_t>(&notAnEngine)), 1);
  EXPECT_EQ(NotesEngine::RunPostedRequest(1, 0), 1);
  const intptr_t gone = reinterpret_cast<intptr_t>(engine.get());
  engine.reset();
  EXPECT_EQ(NotesEngine::RunPostedRequest(3, gone), 1);
  EXPECT_EQ(TakeLibraryLog(), "DeInit\n");  // only the engine's end
}

}  // namespace
}  // namespace tarvel
