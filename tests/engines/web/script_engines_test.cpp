// The Messenger and X engines on a stand-in page: its address, source and script results
// lead to records and a status.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "accounts/account_type.h"
#include "engines/web/script_engines.h"
#include "tests/support/mail_records.h"

namespace tarvel {
namespace {

using Record = testing::MailRecord;

const AccountTypeInfo& TypeOf(EngineKind kind) {
  for (const AccountTypeInfo& type : kAccountTypes) {
    if (type.engine == kind)
      return type;
  }
  return kAccountTypes[0];
}

// What the stand-in browser answers, and what it was asked.
struct PageScript {
  PageScript(bool opensView, bool pageLoads, std::string address, std::string pageSource, bool runs,
             std::string scriptResult)
      : opens(opensView),
        loads(pageLoads),
        url(std::move(address)),
        source(std::move(pageSource)),
        scriptRuns(runs),
        result(std::move(scriptResult)) {}
  bool opens = true;
  bool loads = true;
  std::string url;
  std::string source;
  bool scriptRuns = true;
  std::string result;
  // Filled by the page.
  std::vector<std::string> navigations;
  std::vector<std::string> scripts;
  int settled = 0;
  std::atomic<bool>* stopDuringSettle = nullptr;
};

class StandInPage : public ScriptedPage {
 public:
  explicit StandInPage(PageScript& script) : script_(script) {}
  bool Navigate(const Text& url) override {
    script_.navigations.push_back(url.ToUtf8());
    return script_.loads;
  }
  bool CurrentUrl(Text* url) override {
    *url = Text::FromUtf8(script_.url);
    return true;
  }
  // Raises the engine's stop request while the app renders, when the script says so; a
  // stopped settle ends false, as the browser's does.
  bool Settle(std::uint32_t milliseconds, const std::atomic<bool>* stop) override {
    script_.settled += static_cast<int>(milliseconds);
    if (script_.stopDuringSettle != nullptr)
      script_.stopDuringSettle->store(true);
    return stop == nullptr || !stop->load();
  }
  bool ExecuteScript(const Text& script, Text* result) override {
    script_.scripts.push_back(script.ToUtf8());
    *result = Text::FromUtf8(script_.result);
    return script_.scriptRuns;
  }
  bool DocumentSource(Text* source) override {
    *source = Text::FromUtf8(script_.source);
    return true;
  }

 private:
  PageScript& script_;
};

ScriptedPageOpener OpenerOf(PageScript& script) {
  return [&script]() -> std::unique_ptr<ScriptedPage> {
    if (!script.opens)
      return nullptr;
    return std::make_unique<StandInPage>(script);
  };
}

constexpr char kConversation[] = "https://www.messenger.com/t/100001/";

struct Case {
  std::string name;
  PageScript page;
  CheckStatus status;
  std::vector<std::string> senders;
  std::vector<std::string> subjects;
};

TEST(MessengerEngineTest, PagesGiveRecordsAndStatus) {
  const std::string rows =
      R"([{"user":"Zo\u00e9","text":"two markers","time":"1m","unread":2},)"
      R"({"user":"Ann","text":"See you \u003C3 \ud83d\ude00","time":"2m","unread":1},)"
      R"({"user":"Read","text":"old","time":"3m","unread":0},)"
      R"({"user":"No text","time":"4m","unread":1},)"
      "{\"user\":\"Bj\xc3\xb6rn\",\"text\":\"Caf\xc3\xa9?\",\"time\":\"5m\",\"unread\":1},"
      R"({"user":"after the end","text":"x"},)"
      R"({"user":"never","text":"y","unread":1}])";
  const std::vector<Case> cases = {
      {"a conversation open: rows with exactly one marker, up to a row without a count",
       {true, true, kConversation, "", true, rows},
       CheckStatus::Success,
       {"Ann", "Bj\xc3\xb6rn"},
       {"See you <3 \xf0\x9f\x98\x80", "Caf\xc3\xa9?"}},
      {"no conversation selected",
       {true, true, "https://www.messenger.com/t/", "", true, "[]"},
       CheckStatus::LoginNeeded,
       {},
       {}},
      {"the sign-in page",
       {true, true, "https://www.messenger.com/login/", "", true, "[]"},
       CheckStatus::LoginNeeded,
       {},
       {}},
      {"another host that only starts alike",
       {true, true, "https://www.messenger.com.example/t/1/", "", true, "[]"},
       CheckStatus::LoginNeeded,
       {},
       {}},
      {"the script threw (no grid)",
       {true, true, kConversation, "", true, "null"},
       CheckStatus::LoginNeeded,
       {},
       {}},
      {"a result that is no JSON",
       {true, true, kConversation, "", true, "[{\"user\":"},
       CheckStatus::LoginNeeded,
       {},
       {}},
      {"an empty list", {true, true, kConversation, "", true, "[]"}, CheckStatus::Success, {}, {}},
      {"the script call failed",
       {true, true, kConversation, "", false, ""},
       CheckStatus::Failure,
       {},
       {}},
      {"the app did not load",
       {true, false, kConversation, "", true, "[]"},
       CheckStatus::Failure,
       {},
       {}},
      {"no browser", {false, true, kConversation, "", true, "[]"}, CheckStatus::Failure, {}, {}},
  };
  for (Case page : cases) {
    SCOPED_TRACE(page.name);
    MessengerEngine engine(TypeOf(EngineKind::Facebook), OpenerOf(page.page));
    engine.SetSettleMilliseconds(7);
    EXPECT_EQ(engine.Check(), page.status) << engine.lastFailure.ToUtf8();
    std::vector<std::string> senders;
    std::vector<std::string> subjects;
    for (const Record& record : testing::InboxRecords(engine)) {
      senders.push_back(record.sender);
      subjects.push_back(record.subject);
    }
    EXPECT_EQ(senders, page.senders);
    EXPECT_EQ(subjects, page.subjects);
    if (page.page.opens && page.page.loads) {
      ASSERT_EQ(page.page.navigations.size(), 1u);
      EXPECT_EQ(page.page.navigations[0], "https://messenger.com/t/");
    }
  }
}

// Only a changed newest unread message is dated (and so counts as new); the record stays.
TEST(MessengerEngineTest, TheNewestUnreadMessageIsNewOnlyWhenItChanged) {
  PageScript page{true,
                  true,
                  kConversation,
                  "",
                  true,
                  R"([{"user":"Ann","text":"See you","unread":1},)"
                  R"({"user":"Bo","text":"Later","unread":1}])"};
  MessengerEngine engine(TypeOf(EngineKind::Facebook), OpenerOf(page));
  engine.SetSettleMilliseconds(0);
  struct Step {
    std::string result;
    bool firstDated;
  };
  const std::vector<Step> steps = {
      {page.result, true},
      {page.result, false},
      {R"([{"user":"Bo","text":"Later","unread":1},{"user":"Ann","text":"See you","unread":1}])",
       true},
      {R"([{"user":"Cy","text":"x","unread":2},{"user":"Bo","text":"Later","unread":1}])", false},
  };
  for (std::size_t i = 0; i < steps.size(); ++i) {
    SCOPED_TRACE(i);
    page.result = steps[i].result;
    engine.mails.clear();
    ASSERT_EQ(engine.Check(), CheckStatus::Success);
    const std::vector<Record> records = testing::InboxRecords(engine);
    ASSERT_EQ(records.size(), 2u - (i == 3 ? 1u : 0u));
    EXPECT_EQ(!records[0].date.empty(), steps[i].firstDated) << records[0].date;
    if (records.size() > 1) {
      EXPECT_TRUE(records[1].date.empty());
    }
  }
  EXPECT_EQ(engine.lastText().ToUtf8(), "Later");
}

TEST(TwitterEngineTest, PagesGiveRecordsAndStatus) {
  const std::string signedIn = R"(<script>{\"screen_name\":\"joe\"}</script>)";
  const std::string rows =
      R"([{"user":"Ann Lee\n@ann","text":"Hi","time":"2026-12-10T09:30:00.000Z","unread":"500"},)"
      R"({"user":"Read\n@read","text":"old","time":"2026-12-10T10:00:00.000Z","unread":"400"},)"
      R"({"user":"No time","text":"x","unread":"500"},)"
      R"({"user":"Bo","text":"Later","time":"2026-12-11T08:00:00.000Z","unread":"500"},)"
      R"({"user":"after the end","text":"x","time":"2026-12-11T08:00:00.000Z"}])";
  const std::vector<Case> cases = {
      {"the inbox: medium weight only, sorted by date, the name line as sender",
       {true, true, "", signedIn, true, rows},
       CheckStatus::Success,
       {"Bo", "Ann Lee"},
       {"Later", "Hi"}},
      {"no signed-in user in the source",
       {true, true, "", "<html>login</html>", true, rows},
       CheckStatus::LoginNeeded,
       {},
       {}},
      {"the script threw",
       {true, true, "", signedIn, true, "null"},
       CheckStatus::LoginNeeded,
       {},
       {}},
      {"the script call failed",
       {true, true, "", signedIn, false, ""},
       CheckStatus::Failure,
       {},
       {}},
      {"the app did not load",
       {true, false, "", signedIn, true, rows},
       CheckStatus::Failure,
       {},
       {}},
  };
  for (Case page : cases) {
    SCOPED_TRACE(page.name);
    TwitterEngine engine(TypeOf(EngineKind::Twitter), OpenerOf(page.page));
    engine.SetSettleMilliseconds(0);
    EXPECT_EQ(engine.Check(), page.status) << engine.lastFailure.ToUtf8();
    std::vector<std::string> senders;
    std::vector<std::string> subjects;
    for (const Record& record : testing::InboxRecords(engine)) {
      senders.push_back(record.sender);
      subjects.push_back(record.subject);
    }
    EXPECT_EQ(senders, page.senders);
    EXPECT_EQ(subjects, page.subjects);
    if (page.page.loads && page.page.scripts.size() == 1) {
      EXPECT_NE(page.page.scripts[0].find("[data-testid=\"conversation\"]"), std::string::npos);
      EXPECT_EQ(page.page.navigations[0], "https://x.com/messages/");
    }
  }
}

// A stop request of the engine while the app renders ends the check as stopped, before the
// script runs.
TEST(ScriptedEngineTest, AStopRequestDuringTheSettleEndsTheCheck) {
  const std::string signedIn = R"(<script>{\"screen_name\":\"joe\"}</script>)";
  const std::string rows = R"([{"user":"Ann","text":"Hi","time":"1","unread":"500"}])";
  for (const bool messenger : {true, false}) {
    SCOPED_TRACE(messenger ? "Messenger" : "X");
    std::atomic<bool> stop{false};
    PageScript page{true, true, kConversation, signedIn, true, rows};
    page.stopDuringSettle = &stop;
    std::unique_ptr<ScriptedEngine> engine;
    if (messenger)
      engine = std::make_unique<MessengerEngine>(TypeOf(EngineKind::Facebook), OpenerOf(page));
    else
      engine = std::make_unique<TwitterEngine>(TypeOf(EngineKind::Twitter), OpenerOf(page));
    engine->SetStopSignal(&stop);
    EXPECT_EQ(engine->Check(), CheckStatus::Failure);
    EXPECT_EQ(engine->lastFailure.ToUtf8(), "the check was stopped");
    EXPECT_EQ(page.settled, static_cast<int>(ScriptedEngine::kSettleMilliseconds));
    EXPECT_TRUE(page.scripts.empty());
    EXPECT_EQ(engine->mails.count(), 0u);
  }
}

}  // namespace
}  // namespace tarvel
