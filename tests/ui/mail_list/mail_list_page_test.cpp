#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "accounts/account_type.h"
#include "mail/mail_item.h"
#include "ui/mail_list/mail_list_notifier.h"
#include "ui/mail_list/mail_list_page.h"

namespace tarvel {
namespace {

// The list's templates as the program carries them.
std::string ReadTemplate(uint32_t id) {
  std::ifstream file(std::string(TARVEL_SOURCE_DIR_PATH) + "/resources/html/" + std::to_string(id) +
                     ".html");
  std::stringstream text;
  text << file.rdbuf();
  return text.str();
}

std::size_t Count(const std::string& text, std::string_view part) {
  std::size_t count = 0;
  for (std::size_t at = text.find(part); at != std::string::npos;
       at = text.find(part, at + part.size()))
    ++count;
  return count;
}

MailListType TypeOf(uint32_t typeBit) {
  const AccountTypeInfo* info = FindAccountType(typeBit);
  return {info->typeBit, Text(info->displayName), info->logoId};
}

struct Mail {
  uint32_t typeBit;
  const char* sender;
  const char* subject;
  uint32_t position;
};

struct PageCase {
  const char* name;
  bool includeProvider;
  std::vector<Mail> mails;
  std::size_t rows;
  std::size_t logos;
  std::vector<std::string> present;
  std::vector<std::string> absent;
};

TEST(MailListPageTest, PageTextForTheRecordsOfACheck) {
  const std::vector<PageCase> cases = {
      {"two Gmail mails and one Yahoo mail",
       false,
       {{0x2, "Ann", "Lunch", 0}, {0x2, "Bob", "Report", 1}, {0x4, "Cy", "Hello", 0}},
       3,
       2,
       {"res://Tarvel.exe/#163", "res://Tarvel.exe/#171", "window.external.Open(2)",
        "window.external.Open(4)", "<div class=\"title\">Ann</div>",
        "<div class=\"text wide\">Report</div>", "width: 16px", "background-color: #F0F0F0"},
       {"class=\"engine\"", "@"}},
      {"the provider column names every row's type",
       true,
       {{0x2, "Ann", "Lunch", 0}, {0x2, "Bob", "Report", 1}, {0x8000, "Dee", "Build", 0}},
       3,
       2,
       {"<div class=\"engine\">GMail</div><div class=\"title\">Bob</div>",
        "<div class=\"engine\">IMAP #1</div>", "res://Tarvel.exe/#199",
        "window.external.Open(32768)", "<div class=\"text narrow\">Build</div>"},
       {"@"}},
      {"no unread mail shows the note centred",
       false,
       {},
       0,
       0,
       {">No unread mails</div>", "color:#B0B0B0", "font-size:16pt", "text-align:center",
        "line-height:140%;", "background-color:#FCFCFC"},
       {"%%", "%s", "@"}},
      {"a record without sender and subject adds no row",
       false,
       {{0x2, "", "", 0}},
       0,
       0,
       {">No unread mails</div>"},
       {}},
      {"sender and subject are text, never markup",
       true,
       {{0x4, "<b>Eve</b> & \"Co\"", "@TEXT@ <script>x</script>", 0}},
       1,
       1,
       {"&lt;b&gt;Eve&lt;/b&gt; &amp; &quot;Co&quot;", "@TEXT@ &lt;script&gt;x&lt;/script&gt;"},
       {"<b>", "<script>"}},
  };
  for (const PageCase& test : cases) {
    SCOPED_TRACE(test.name);
    int ready = 0;
    MailListBuilder builder({ReadTemplate,
                             [&test] {
                               MailListSettings settings;
                               settings.includeProvider = test.includeProvider;
                               return settings;
                             },
                             [&ready] { ++ready; }});
    for (const Mail& mail : test.mails) {
      MailItem item(Text::FromUtf8(mail.sender), Text::FromUtf8(mail.subject), Text(), Text());
      builder.AddRow(TypeOf(mail.typeBit), item, mail.position);
    }
    builder.BuildPage();
    EXPECT_EQ(ready, 1);
    const std::string page = builder.page();
    EXPECT_EQ(Count(page, "<tr "), test.rows);
    EXPECT_EQ(Count(page, "<img "), test.logos);
    for (const std::string& part : test.present)
      EXPECT_NE(page.find(part), std::string::npos) << part << "\n" << page;
    for (const std::string& part : test.absent)
      EXPECT_EQ(page.find(part), std::string::npos) << part << "\n" << page;
  }
}

TEST(MailListPageTest, ColoursAndLogoWidthFollowTheSettingsAndTheDpiFactor) {
  MailListColors colors{0x123456, 0xABCDEF, 0x00FF00, 0x0000FF, 0x202020, 0x2D2D2D};
  const std::string rows = "<tr><td>x</td></tr>";
  const std::optional<std::string> page = BuildMailListPage(ReadTemplate(160), rows, colors, 1.5);
  ASSERT_TRUE(page);
  for (const char* part :
       {"color: #123456", "color: #ABCDEF", "color: #00FF00", "background-color: #202020",
        "background-color: #2D2D2D", "width: 24px", "<tr><td>x</td></tr>"})
    EXPECT_NE(page->find(part), std::string::npos) << part;
  const std::optional<std::string> empty = BuildMailListPage({}, {}, colors, 1.0);
  ASSERT_TRUE(empty);
  EXPECT_NE(empty->find("color:#0000FF"), std::string::npos);
}

TEST(MailListPageTest, AMissingPageTemplateKeepsTheOldPage) {
  bool pageMissing = false;
  int ready = 0;
  MailListBuilder builder({[&pageMissing](uint32_t id) {
                             return pageMissing && id == kMailListPageId ? std::string()
                                                                         : ReadTemplate(id);
                           },
                           {},
                           [&ready] { ++ready; }});
  const MailItem item(Text(u"Ann"), Text(u"Lunch"), Text(), Text());
  builder.AddRow(TypeOf(0x2), item, 0);
  builder.BuildPage();
  const std::string first = builder.page();
  ASSERT_NE(first.find("Lunch"), std::string::npos);
  pageMissing = true;
  const MailItem other(Text(u"Bob"), Text(u"Other"), Text(), Text());
  builder.AddRow(TypeOf(0x2), other, 0);
  builder.BuildPage();
  EXPECT_EQ(builder.page(), first);
  EXPECT_EQ(ready, 1);
  // The rows of the failed check are gone: the next check starts afresh.
  pageMissing = false;
  builder.BuildPage();
  EXPECT_NE(builder.page().find("No unread mails"), std::string::npos);
}

}  // namespace
}  // namespace tarvel
