// The Gmail feed engine with the browser replaced by canned page sources: which feeds a check
// loads, what their entries become, and the check's result.
#include "engines/protocol/gmail_engine.h"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "tests/support/temp_folder.h"

namespace tarvel {
namespace {

std::string Fixture(const std::string& name) {
  return testing::ReadFileContent(std::string(TARVEL_SOURCE_DIR_PATH) + "/tests/fixtures/gmail/" +
                                  name);
}

const AccountTypeInfo& GmailType() {
  return kAccountTypes[2];
}

struct Record {
  std::string sender;
  std::string subject;
  std::string folder;
  std::string date;
  bool operator==(const Record&) const = default;
};

void PrintTo(const Record& r, std::ostream* out) {
  *out << "{" << r.sender << " | " << r.subject << " | " << r.folder << " | " << r.date << "}";
}

std::vector<Record> Records(const MailEngine& engine) {
  std::vector<Record> records;
  for (const MailItem* item = engine.mails.first(); item; item = NodeList<MailItem>::next(item)) {
    records.push_back({item->sender.ToUtf8(), item->subject.ToUtf8(), item->folder.ToUtf8(),
                       item->date.ToUtf8()});
  }
  return records;
}

// Page sources by address, as the browser would show them; an address without a page fails
// to load. Every address asked for is kept.
struct CannedBrowser {
  std::map<std::string, std::string> pages;
  std::vector<std::string> asked;

  PageSourceLoader Loader() {
    return [this](const Text& url, Text* source, std::uint32_t settle) {
      EXPECT_EQ(settle, 0u);
      asked.push_back(url.ToUtf8());
      const auto found = pages.find(url.ToUtf8());
      if (found == pages.end())
        return false;
      *source = Text::FromUtf8(found->second);
      return true;
    };
  }
};

constexpr char kFeed[] = "https://mail.google.com/mail/feed/atom/";
const std::string kBlank = "<html><head></head><body></body></html>";

std::string Feed(const std::string& label) {
  return kFeed + label;
}

// Entries of the inbox fixture as they come out: newest first, the entries without a title or
// a date left out, the one from the future without its date (last), markup and control
// characters gone from the subject.
const std::vector<Record> kInboxRecords = {
    {"Mallory", "Bold offer alert(1)31m  now!", "", "2026-12-10T08:15:00Z"},
    {"Ada Lovelace", "Lunch on Friday", "", "2026-12-09T11:00:00Z"},
    {"", "No author", "", "2026-12-08T07:00:00Z"},
    {"Time Traveller", "From the future", "", ""},
};

TEST(GmailEngine, ChecksTheInboxAndTheListedLabels) {
  struct Case {
    const char* name;
    const char* folderList;
    std::map<std::string, std::string> pages;
    CheckStatus status;
    std::vector<std::string> asked;
    std::vector<Record> records;
    const char* accountName;
  };
  const std::vector<Record> labelled = {
      {"Grace Hopper", "Plans for the weekend", "Work,Home", "2026-12-10T07:00:00Z"},
      {"J\u00FCrgen Wei\u00DF", "Gr\u00F6\u00DFe der R\u00E4ume \u2013 \u00DCbersicht", "B\u00FCro",
       "2026-12-10T06:30:00Z"},
  };
  std::vector<Record> labelledAndInbox = {kInboxRecords[0], labelled[0],      labelled[1],
                                          kInboxRecords[1], kInboxRecords[2], kInboxRecords[3]};
  const Case cases[] = {
      {"no labels: the inbox only",
       "",
       {{Feed(""), Fixture("inbox.xml")}},
       CheckStatus::Success,
       {Feed("")},
       kInboxRecords,
       "joe.tester@gmail.com"},
      {"a quoted label with a comma and a non-ASCII one, then the inbox",
       " \"Work,Home\" ; B\u00FCro ",
       {{Feed("Work,Home"), Fixture("label_comma.xml")},
        {Feed("B\u00FCro"), Fixture("label_non_ascii.xml")},
        {Feed(""), Fixture("inbox.xml")}},
       CheckStatus::Success,
       {Feed("Work,Home"), Feed("B\u00FCro"), Feed("")},
       labelledAndInbox,
       "joe.tester@gmail.com"},
      {"spaces become %20; labels that fail leave the inbox's result",
       "Work;Private stuff",
       {{Feed(""), Fixture("label_comma.xml")}},
       CheckStatus::Success,
       {Feed("Work"), Feed("Private%20stuff"), Feed("")},
       {{"Grace Hopper", "Plans for the weekend", "", "2026-12-10T07:00:00Z"}},
       "joe.tester@gmail.com"},
      {"\"all\" is fetched as a label and the inbox is not",
       "ALL",
       {{Feed("ALL"), Fixture("label_comma.xml")}},
       CheckStatus::Success,
       {Feed("ALL")},
       {{"Grace Hopper", "Plans for the weekend", "ALL", "2026-12-10T07:00:00Z"}},
       "joe.tester@gmail.com"},
      {"\"all\" with entries succeeds although another label failed",
       "all,missing",
       {{Feed("all"), Fixture("label_comma.xml")}},
       CheckStatus::Success,
       {Feed("all"), Feed("missing")},
       {{"Grace Hopper", "Plans for the weekend", "all", "2026-12-10T07:00:00Z"}},
       "joe.tester@gmail.com"},
      {"a signed-out browser shows a blank page",
       "",
       {{Feed(""), kBlank}},
       CheckStatus::LoginNeeded,
       {Feed("")},
       {},
       ""},
      {"the blank page in upper case, with a line break after it",
       "Work",
       {{Feed("Work"), "<HTML><HEAD></HEAD><BODY></BODY></HTML>\n"}, {Feed(""), kBlank}},
       CheckStatus::LoginNeeded,
       {Feed("Work"), Feed("")},
       {},
       ""},
      {"the inbox failing decides even when a label was read",
       "Work",
       {{Feed("Work"), Fixture("label_comma.xml")}},
       CheckStatus::Failure,
       {Feed("Work"), Feed("")},
       {{"Grace Hopper", "Plans for the weekend", "Work", "2026-12-10T07:00:00Z"}},
       "joe.tester@gmail.com"},
      {"malformed XML",
       "",
       {{Feed(""), Fixture("malformed.xml")}},
       CheckStatus::Failure,
       {Feed("")},
       {},
       ""},
      {"a well-formed page that is no feed",
       "",
       {{Feed(""), Fixture("not_a_feed.xml")}},
       CheckStatus::Failure,
       {Feed("")},
       {},
       ""},
      {"an HTML error page",
       "",
       {{Feed(""), "<html><body><p>Error 502<br></body></html>"}},
       CheckStatus::Failure,
       {Feed("")},
       {},
       ""},
      {"a label with '#' and '?' stays in the path",
       "a#b?c",
       {{Feed("a%23b%3Fc"), Fixture("label_comma.xml")}, {Feed(""), kBlank}},
       CheckStatus::LoginNeeded,
       {Feed("a%23b%3Fc"), Feed("")},
       {{"Grace Hopper", "Plans for the weekend", "a#b?c", "2026-12-10T07:00:00Z"}},
       "joe.tester@gmail.com"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    CannedBrowser browser;
    browser.pages = c.pages;
    GmailEngine engine(GmailType(), browser.Loader());
    engine.SetSettings({u"https://mail.google.com/mail/", Text::FromUtf8(c.folderList)});
    EXPECT_EQ(engine.Check(), c.status);
    EXPECT_EQ(browser.asked, c.asked);
    EXPECT_EQ(Records(engine), c.records);
    EXPECT_EQ(engine.accountName.ToUtf8(), c.accountName);
    EXPECT_EQ(engine.GetDisplayName().ToUtf8(),
              *c.accountName ? std::string(c.accountName) : std::string("Mail.google.com"));
  }
}

TEST(GmailEngine, HostileFeedsAreBounded) {
  // Two hundred entries are all read.
  std::string many =
      "<feed xmlns=\"http://purl.org/atom/ns#\"><title>Gmail - Inbox for a@b.c</title>";
  for (int i = 0; i < 200; ++i) {
    char entry[200];
    std::snprintf(entry, sizeof entry,
                  "<entry><title>Message %03d</title><issued>2026-12-%02dT%02d:%02d:00Z</issued>"
                  "<author><name>Sender %d</name></author></entry>",
                  i, 1 + i / 24 % 28, i % 24, i % 60, i);
    many += entry;
  }
  many += "</feed>";
  // A feed of more than 5 MB is refused before it is parsed.
  std::string huge =
      "<feed xmlns=\"http://purl.org/atom/ns#\"><title>Gmail - Inbox for a@b.c</title>";
  while (huge.size() < 5 * 1024 * 1024)
    huge += "<entry><title>Padding</title><issued>2026-12-01T00:00:00Z</issued></entry>";
  huge += "</feed>";
  // A title whose last word is no address leaves the account's name alone.
  const std::string longTitle =
      "<feed xmlns=\"http://purl.org/atom/ns#\"><title>Gmail - Inbox for " + std::string(400, 'x') +
      "</title></feed>";
  const std::string controlTitle =
      "<feed xmlns=\"http://purl.org/atom/ns#\"><title>Gmail - Inbox for "
      "a@b.c&#x9B;2J</title></feed>";

  struct Case {
    const char* name;
    std::string page;
    CheckStatus status;
    std::size_t count;
  };
  const Case cases[] = {
      {"200 entries", many, CheckStatus::Success, 200},
      {"5 MB", huge, CheckStatus::Failure, 0},
      {"a long title", longTitle, CheckStatus::Success, 0},
      {"a title with control characters", controlTitle, CheckStatus::Success, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    CannedBrowser browser;
    browser.pages[Feed("")] = c.page;
    GmailEngine engine(GmailType(), browser.Loader());
    engine.accountName = u"before";
    EXPECT_EQ(engine.Check(), c.status);
    EXPECT_EQ(engine.mails.count(), c.count);
    EXPECT_EQ(engine.accountName.ToUtf8(),
              c.count > 0 ? std::string("a@b.c") : std::string("before"));
  }
  // The two hundred come newest first.
  CannedBrowser browser;
  browser.pages[Feed("")] = many;
  GmailEngine engine(GmailType(), browser.Loader());
  ASSERT_EQ(engine.Check(), CheckStatus::Success);
  const std::vector<Record> records = Records(engine);
  ASSERT_EQ(records.size(), 200u);
  for (std::size_t i = 1; i < records.size(); ++i)
    EXPECT_GE(records[i - 1].date, records[i].date);
}

TEST(GmailEngine, LabelsOfTheFolderList) {
  struct Case {
    const char* list;
    std::vector<std::string> labels;
  };
  const Case cases[] = {
      {"", {}},
      {"Work; Private stuff ,Travel", {"Work", "Private%20stuff", "Travel"}},
      {"\"a,b;c\";;  ; d", {"a,b;c", "d"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.list);
    std::vector<std::string> labels;
    for (const Text& label : GmailEngine::Labels(Text::FromUtf8(c.list)))
      labels.push_back(label.ToUtf8());
    EXPECT_EQ(labels, c.labels);
  }
  std::string many;
  for (int i = 0; i < 80; ++i)
    many += "l" + std::to_string(i) + ",";
  EXPECT_EQ(GmailEngine::Labels(Text::FromUtf8(many)).size(), GmailEngine::kMostLabels);
}

}  // namespace
}  // namespace tarvel
