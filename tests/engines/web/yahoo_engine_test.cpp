// The Yahoo engine on stand-in rendered sources of the inbox page: its three page forms and
// its sign-in pages.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "accounts/account_type.h"
#include "engines/web/yahoo_engine.h"
#include "tests/support/mail_records.h"

namespace tarvel {
namespace {

using Record = testing::MailRecord;

const AccountTypeInfo& YahooType() {
  for (const AccountTypeInfo& type : kAccountTypes) {
    if (type.engine == EngineKind::Yahoo)
      return type;
  }
  return kAccountTypes[0];
}

const std::string kListObject =
    R"(<script>var x = {emailAddress:"joe@yahoo.com"}; msgListObj={"messages":[)"
    R"({"mflags":{"isRead":0},"rawDate":"1765272601","subject":"Caf\u00e9","participantList":[{"name":"Ann"}]},)"
    R"({"mflags":{"isRead":1},"rawDate":"1765272602","subject":"read","from_name":"R"},)"
    R"({"flags":"Unread,Flagged","rawDate":"1765272603","subject":"Old style","from":"bo@x.org","x":undefined},)"
    R"({"mflags":{},"rawDate":"1","subject":"ends the walk","from_name":"E"},)"
    R"({"mflags":{"isRead":0},"rawDate":"2","subject":"never","from_name":"N"}]};</script>)";

std::string Item(bool unread, const std::string& sender, const std::string& subject,
                 const std::string& date) {
  return std::string("<li><a data-test-id=\"message-list-item\" data-test-read=\"") +
         (unread ? "false" : "true") + "\"><strong class=\"s\">" + sender +
         "</strong><span data-test-id=\"message-subject\" title=\"" + subject + "\">" + subject +
         "</span><div class=\"x date\" role=\"gridcell\"><span>" + date + "</span></div></a></li>";
}

const std::string kRenderedList =
    "<div data-test-id=\"content-area\"><ul>" + Item(true, "Zo\xc3\xa9", "Hello", "9:41 AM") +
    Item(false, "Read", "Old", "Dec 9") + Item(true, "Bo", "Tickets", "Dec 8") + "</ul></div>";

const std::string kAppState =
    R"(<script>root.AppState = {"reduxState":{"mailboxes":{"allMailboxes":[{"email":"joe@yahoo.com"}]},)"
    R"("messages":{"m1":{"messageId":"m1","folderOfDelivery":"1","headers":{"date":"1765272601","from":[{"name":"Ann"}]}},)"
    R"("m2":{"messageId":"m2","folderOfDelivery":"6","headers":{"date":"1765272602","from":[{"name":"Spam"}]}},)"
    R"("m3":{"messageId":"m3","folderOfDelivery":"1","headers":{"date":"1765272603","from":[{"name":"Read"}]}}},)"
    R"("messagesFlags":{"m1":{"read":false},"m2":{"read":false},"m3":{"read":true}},)"
    R"("subjectsAndSnippets":{"subjects":{"DEFAULT_MESSAGES_METADATA_CACHEKEY":{"m1":"Lunch","m2":"Win","m3":"Old"}}}}};</script>)";

TEST(YahooEngineTest, RenderedSourcesGiveRecordsAndStatus) {
  struct Case {
    std::string name;
    bool loads;
    std::string source;
    CheckStatus status;
    std::vector<Record> records;
    std::string account;
  };
  const std::vector<Case> cases = {
      {"the message list object",
       true,
       kListObject,
       CheckStatus::Success,
       {{"bo@x.org", "Old style", "1765272603"}, {"Ann", "Caf\xc3\xa9", "1765272601"}},
       "joe@yahoo.com"},
      {"the rendered list, in the page's order",
       true,
       kRenderedList,
       CheckStatus::Success,
       {{"Zo\xc3\xa9", "Hello", "9:41 AM"}, {"Bo", "Tickets", "Dec 8"}},
       ""},
      {"the app state: inbox messages not read",
       true,
       kAppState,
       CheckStatus::Success,
       {{"Ann", "Lunch", "1765272601"}},
       "joe@yahoo.com"},
      {"the sign-in form",
       true,
       "<form id=\"login-username-form\" method=\"post\">" + kAppState,
       CheckStatus::LoginNeeded,
       {},
       ""},
      {"the sign-in link",
       true,
       "<a href=\"/\" alt=\"Sign in\">Sign in</a>",
       CheckStatus::LoginNeeded,
       {},
       ""},
      {"a page without a list",
       true,
       "<html><body>Oops</body></html>",
       CheckStatus::Failure,
       {},
       ""},
      {"the browser read nothing", false, "", CheckStatus::Failure, {}, ""},
  };
  for (const Case& page : cases) {
    SCOPED_TRACE(page.name);
    std::string url;
    YahooEngine engine(YahooType(), [&](const Text& address, Text* source, std::uint32_t) {
      url = address.ToUtf8();
      *source = Text::FromUtf8(page.source);
      return page.loads;
    });
    EXPECT_EQ(engine.Check(), page.status) << engine.lastFailure.ToUtf8();
    EXPECT_EQ(testing::InboxRecords(engine), page.records);
    EXPECT_EQ(engine.accountName.ToUtf8(), page.account);
    EXPECT_EQ(url, "https://mail.yahoo.com/n/inbox/all");
  }
}

}  // namespace
}  // namespace tarvel
