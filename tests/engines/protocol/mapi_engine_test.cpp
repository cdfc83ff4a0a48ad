// The MAPI engine against fixture provider libraries loaded at run time.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "accounts/account_type.h"
#include "engines/protocol/mapi_engine.h"
#include "maintenance/diagnostic_trace.h"
#include "tests/support/mail_records.h"

namespace tarvel {
namespace {

using testing::InboxRecords;
using testing::MailRecord;

const AccountTypeInfo& MapiType() {
  for (const AccountTypeInfo& type : kAccountTypes) {
    if (type.engine == EngineKind::Mapi)
      return type;
  }
  return kAccountTypes[0];
}

class RecordingTrace : public DiagnosticTrace {
 public:
  void Record(std::string_view entry) override { entries.emplace_back(entry); }
  std::vector<std::string> entries;
};

// What the fixture provider still holds.
struct ProviderState {
  int objects = 0;
  int buffers = 0;
  int depth = 0;
  int logons = 0;
  int logoffs = 0;
};

ProviderState StateOfProvider() {
  ProviderState state;
  void* library = ::dlopen(FIXTURE_MAPI_PROVIDER_PATH, RTLD_NOW | RTLD_NOLOAD);
  if (!library)
    return state;
  using StateFunction = void (*)(int*, int*, int*, int*, int*);
  if (auto query = reinterpret_cast<StateFunction>(::dlsym(library, "FixtureMapi_State")))
    query(&state.objects, &state.buffers, &state.depth, &state.logons, &state.logoffs);
  ::dlclose(library);
  return state;
}

class MapiEngineTest : public ::testing::Test {
 protected:
  void TearDown() override { ::unsetenv("TARVEL_FIXTURE_MAPI_PROFILE"); }
  static std::shared_ptr<MapiLibrary> Provider() {
    static const auto provider = std::make_shared<MapiLibrary>(FIXTURE_MAPI_PROVIDER_PATH);
    return provider;
  }
  RecordingTrace trace_;
};

TEST_F(MapiEngineTest, ProfilesGiveTheirUnreadMessagesAndStatus) {
  const std::string kTime300 = "133000000000000300";
  struct Case {
    const char* profile;
    CheckStatus status;
    std::vector<MailRecord> records;  // empty: only the count is compared
    std::size_t count;
  };
  const Case cases[] = {
      // Two inboxes in one list, newest first; the read messages and the store without a
      // receive folder (public folders) left out; a message without subject or time kept.
      {"two_stores",
       CheckStatus::Success,
       {{"Dee Dunn", "Report", "133000000000000400"},
        {"Ann Archer", "Budget", "133000000000000300"},
        {"Cy Cole", "", "133000000000000100"},
        {"Eve Eng", "Undated", "0"}},
       4},
      // The same with every text at an odd address: read all the same.
      {"odd_text",
       CheckStatus::Success,
       {{"Dee Dunn", "Report", "133000000000000400"},
        {"Ann Archer", "Budget", "133000000000000300"},
        {"Cy Cole", "", "133000000000000100"},
        {"Eve Eng", "Undated", "0"}},
       4},
      // More than the engine lists: 101 records and a failed check.
      {"many_unread", CheckStatus::Failure, {}, MapiEngine::kMostRecords},
      // No store with a receive folder: nothing was read, which is no success.
      {"only_public", CheckStatus::Failure, {}, 0},
      // A store that fails half-way: the first store's records stay, the check fails.
      {"broken_second_store",
       CheckStatus::Failure,
       {{"Ann Archer", "Budget", kTime300}, {"Cy Cole", "", "133000000000000100"}},
       2},
  };
  for (const Case& row : cases) {
    SCOPED_TRACE(row.profile);
    ::setenv("TARVEL_FIXTURE_MAPI_PROFILE", row.profile, 1);
    {
      MapiEngine engine(MapiType(), Provider(), &trace_);
      EXPECT_EQ(engine.Check(), row.status);
      if (!row.records.empty()) {
        EXPECT_EQ(InboxRecords(engine), row.records);
      }
      EXPECT_EQ(engine.mails.count(), row.count);
    }
    // The engine logged off and gave back every object and buffer of the provider.
    const ProviderState state = StateOfProvider();
    EXPECT_EQ(state.objects, 0);
    EXPECT_EQ(state.buffers, 0);
    EXPECT_EQ(state.depth, 0);
  }
  EXPECT_TRUE(trace_.entries.empty());
}

TEST_F(MapiEngineTest, LogsOnOnceAndRetriesARefusedLogon) {
  const ProviderState before = StateOfProvider();
  {
    ::setenv("TARVEL_FIXTURE_MAPI_PROFILE", "logon_fails", 1);
    MapiEngine engine(MapiType(), Provider(), &trace_);
    EXPECT_EQ(engine.Check(), CheckStatus::Failure);
    EXPECT_EQ(StateOfProvider().depth, 0);  // the failed logon's initialisation is undone
    // The profile comes back: the next check logs on, and the one after keeps the session.
    ::setenv("TARVEL_FIXTURE_MAPI_PROFILE", "two_stores", 1);
    EXPECT_EQ(engine.Check(), CheckStatus::Success);
    engine.mails.clear();
    EXPECT_EQ(engine.Check(), CheckStatus::Success);
    EXPECT_EQ(engine.mails.count(), 4u);
    EXPECT_EQ(StateOfProvider().logons, before.logons + 1);
    EXPECT_EQ(StateOfProvider().logoffs, before.logoffs);
  }
  const ProviderState after = StateOfProvider();
  EXPECT_EQ(after.logoffs, before.logoffs + 1);
  EXPECT_EQ(after.depth, 0);
  EXPECT_EQ(after.objects, 0);
}

TEST_F(MapiEngineTest, AMissingLibraryOrEntryPointFailsAndIsTracedOnce) {
  struct Case {
    const char* name;
    std::string location;
    const char* missingText;
  };
  const Case cases[] = {
      {"no library", "/nonexistent/libtarvel-mapi.so", "/nonexistent/libtarvel-mapi.so"},
      {"no MAPILogonEx", PARTIAL_MAPI_PROVIDER_PATH, "MAPILogonEx"},
  };
  for (const Case& row : cases) {
    SCOPED_TRACE(row.name);
    RecordingTrace trace;
    auto library = std::make_shared<MapiLibrary>(row.location);
    MapiEngine engine(MapiType(), library, &trace);
    for (int check = 0; check < 3; ++check)
      EXPECT_EQ(engine.Check(), CheckStatus::Failure);
    ASSERT_EQ(trace.entries.size(), 1u);
    EXPECT_NE(trace.entries[0].find("MapiLibraryMissing"), std::string::npos);
    EXPECT_NE(trace.entries[0].find(row.missingText), std::string::npos) << trace.entries[0];
    EXPECT_FALSE(library->Load());
    // The calls without their entry point give the general failure code.
    mapi::Session* session = nullptr;
    EXPECT_EQ(library->LogonEx(0, nullptr, nullptr, 0, &session), mapi::kCallFailed);
    EXPECT_EQ(session, nullptr);
  }
}

TEST(MapiDateText, IsTheDecimalFileTime) {
  const mapi::FileTime time{0xFFFFFFFFu, 0xFFFFFFFFu};
  EXPECT_EQ(MapiEngine::DateText(&time).ToUtf8(), "18446744073709551615");
  const mapi::FileTime small{42, 0};
  EXPECT_EQ(MapiEngine::DateText(&small).ToUtf8(), "42");
  EXPECT_EQ(MapiEngine::DateText(nullptr).ToUtf8(), "0");
}

}  // namespace
}  // namespace tarvel
