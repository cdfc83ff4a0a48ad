// The readers of the six page-scraping engines on hostile and broken answers, and the shared
// steps whose faults the fixed rules would carry.
#include "engines/web/page_scraping.h"

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "accounts/account_type.h"
#include "engines/web/linkedin_engine.h"
#include "engines/web/mail_ru_engine.h"
#include "engines/web/o2_engine.h"
#include "engines/web/sfr_engine.h"
#include "engines/web/yandex_engine.h"
#include "engines/web/zoho_engine.h"
#include "platform/display_text.h"

namespace tarvel {
namespace {

const AccountTypeInfo& TypeOf(EngineKind kind) {
  for (const AccountTypeInfo& type : kAccountTypes) {
    if (type.engine == kind)
      return type;
  }
  return kAccountTypes[0];
}

// The answer bytes as HttpSession hands them over: one code unit per byte.
Text Widened(const std::string& bytes) {
  return Text::FromBytes(bytes);
}

// One engine's reader, with builders for an answer listing unread messages. Sender and
// subject are given as JSON string literals (quotes included).
struct Reader {
  std::string name;
  std::function<std::unique_ptr<PageScrapingEngine>()> make;
  std::function<CheckStatus(PageScrapingEngine&, const Text&)> read;
  std::function<std::string(const std::string& sender, const std::string& subject, int index)>
      message;
  std::function<std::string(const std::string& messages)> list;
  // An answer whose message list has the wrong type.
  std::string listOfWrongType;
};

std::string Date(int index) {
  return "\"2026-12-" + std::to_string(10000 + index) + "\"";
}

std::string LinkedInHtml(const std::string& data) {
  std::string escaped;
  for (const char c : data)
    escaped += c == '"' ? std::string("&quot;") : std::string(1, c);
  return "<html><code>" + escaped + "</code>";
}

std::vector<Reader> Readers() {
  return {
      {"Yandex", [] { return std::make_unique<YandexEngine>(TypeOf(EngineKind::Yandex)); },
       [](PageScrapingEngine& e, const Text& a) {
         return static_cast<YandexEngine&>(e).ReadMessages(a);
       },
       [](const std::string& sender, const std::string& subject, int index) {
         return R"({"new":"1","field":[{"type":"from","name":)" + sender + R"(}],"subject":)" +
                subject + R"(,"date":{"iso":)" + Date(index) + "}}";
       },
       [](const std::string& messages) {
         return R"({"models":[{"data":{"messages":[)" + messages + "]}}]}";
       },
       R"({"models":[{"data":{"messages":{"new":"1"}}}]})"},
      {"Zoho", [] { return std::make_unique<ZohoEngine>(TypeOf(EngineKind::Zoho)); },
       [](PageScrapingEngine& e, const Text& a) {
         return static_cast<ZohoEngine&>(e).ReadListing(a);
       },
       [](const std::string& sender, const std::string& subject, int index) {
         return R"({"SB":)" + subject + R"(,"SN":)" + sender + R"(,"R":)" + Date(index) + "}";
       },
       [](const std::string& messages) { return R"({"data":[)" + messages + "]}"; },
       R"({"data":{"SB":"x"}})"},
      {"Mail.ru", [] { return std::make_unique<MailRuEngine>(TypeOf(EngineKind::MailRu)); },
       [](PageScrapingEngine& e, const Text& a) {
         return static_cast<MailRuEngine&>(e).ReadStatus(a);
       },
       [](const std::string& sender, const std::string& subject, int index) {
         return R"({"flags":{"unread":true},"correspondents":{"from":[{"name":)" + sender +
                R"(}]},"subject":)" + subject + R"(,"date":)" + Date(index) + "}";
       },
       [](const std::string& messages) { return R"({"body":{"messages":[)" + messages + "]}}"; },
       R"({"body":{"messages":"none"}})"},
      {"O2.pl", [] { return std::make_unique<O2Engine>(TypeOf(EngineKind::O2pl)); },
       [](PageScrapingEngine& e, const Text& a) {
         return static_cast<O2Engine&>(e).ReadMailList(a);
       },
       [](const std::string& sender, const std::string& subject, int index) {
         return R"({"_flags":"3","_from":)" + sender + R"(,"_subject":)" + subject +
                R"(,"_dateraw":)" + Date(index) + "}";
       },
       [](const std::string& messages) {
         return R"({"response":{"data":{"maillist":{"mail":[)" + messages + "]}}}}";
       },
       R"({"response":{"data":{"maillist":{"mail":7}}}})"},
      {"SFR", [] { return std::make_unique<SfrEngine>(TypeOf(EngineKind::Sfr)); },
       [](PageScrapingEngine& e, const Text& a) {
         return static_cast<SfrEngine&>(e).ReadHeaderList(a);
       },
       [](const std::string& sender, const std::string& subject, int index) {
         return R"({"unread":"1","subject":)" + subject + R"(,"from":)" + sender + R"(,"date":)" +
                Date(index) + "}";
       },
       [](const std::string& messages) {
         return R"({"response":{"mailHeader":[)" + messages + "]}}";
       },
       R"({"response":{"mailHeader":{"unread":"1"}}})"},
      {"LinkedIn",
       [] { return std::make_unique<LinkedInEngine>(TypeOf(EngineKind::LinkedIn), nullptr); },
       [](PageScrapingEngine& e, const Text& a) {
         return static_cast<LinkedInEngine&>(e).ReadMessagingPage(a);
       },
       [](const std::string& sender, const std::string& subject, int index) {
         const std::string n = std::to_string(index);
         return R"({"*from":"m)" + n + R"(","createdAt":)" + Date(index) +
                R"(,"eventContent":{"attributedBody":{"text":)" + subject + R"(}}},)" +
                R"({"$type":"com.linkedin.voyager.messaging.MessagingMember","entityUrn":"m)" + n +
                R"(","*miniProfile":"p)" + n + R"("},)" +
                R"({"$type":"com.linkedin.voyager.identity.shared.MiniProfile","entityUrn":"p)" +
                n + R"(","firstName":)" + sender + R"(,"lastName":null})";
       },
       [](const std::string& messages) {
         return LinkedInHtml(R"({"data":{"metadata":{}},"included":[)" + messages + "]}");
       },
       LinkedInHtml(R"({"data":{"metadata":{}},"included":{"*from":"m"}})")},
  };
}

std::string Answer(const Reader& reader, int count, const std::string& sender = "\"Sender\"",
                   const std::string& subject = "\"Subject\"") {
  std::string messages;
  for (int index = 0; index < count; ++index) {
    if (index > 0)
      messages += ",";
    messages += reader.message(sender, subject, index);
  }
  return reader.list(messages);
}

TEST(PageScrapingReaders, ReadTheirOwnWellFormedAnswers) {
  for (const Reader& reader : Readers()) {
    SCOPED_TRACE(reader.name);
    std::unique_ptr<PageScrapingEngine> engine = reader.make();
    ASSERT_EQ(reader.read(*engine, Widened(Answer(reader, 3))), CheckStatus::Success)
        << engine->lastFailure.ToUtf8();
    EXPECT_EQ(engine->mails.count(), 3u);
  }
}

// An answer cut anywhere is a failure (or a sign-in for a page cut before its data), never
// a shorter list read as the whole.
TEST(PageScrapingReaders, ACutAnswerIsNeverAShorterList) {
  for (const Reader& reader : Readers()) {
    SCOPED_TRACE(reader.name);
    const std::string whole = Answer(reader, 3);
    for (std::size_t length = 0; length < whole.size(); length += 3) {
      std::unique_ptr<PageScrapingEngine> engine = reader.make();
      const CheckStatus status = reader.read(*engine, Widened(whole.substr(0, length)));
      EXPECT_NE(status, CheckStatus::Success) << length;
      EXPECT_EQ(engine->mails.count(), 0u) << length;
    }
  }
}

TEST(PageScrapingReaders, WrongTypesFailOrDropTheRecord) {
  for (const Reader& reader : Readers()) {
    SCOPED_TRACE(reader.name);
    {
      std::unique_ptr<PageScrapingEngine> engine = reader.make();
      EXPECT_EQ(reader.read(*engine, Widened(reader.listOfWrongType)), CheckStatus::Failure);
    }
    // Objects, arrays and numbers where texts belong: the record is dropped (or ends the walk
    // where the service's list is read up to its first incomplete record), never reported
    // with an invented field.
    const std::string wrong = reader.list(reader.message("{\"a\":1}", "[1,2]", 1) + "," +
                                          reader.message("\"Kept\"", "\"Kept\"", 2));
    std::unique_ptr<PageScrapingEngine> engine = reader.make();
    EXPECT_EQ(reader.read(*engine, Widened(wrong)), CheckStatus::Success);
    for (const MailItem* item = engine->mails.first(); item; item = NodeList<MailItem>::next(item))
      EXPECT_EQ(item->subject.ToUtf8(), "Kept");
    // Anything but JSON.
    for (const std::string& junk :
         {std::string("<html>Service unavailable</html>"), std::string(200000, '['),
          std::string("{\"a\":\"\x01\x02\"}"), std::string()}) {
      std::unique_ptr<PageScrapingEngine> other = reader.make();
      EXPECT_NE(reader.read(*other, Widened(junk)), CheckStatus::Success);
      EXPECT_EQ(other->mails.count(), 0u);
    }
  }
}

// Terminal escapes, direction overrides, markup and overlong texts in names and subjects.
TEST(PageScrapingReaders, HostileTextArrivesAsPlainBoundedText) {
  const std::string hostileSender = R"("Mallory\u202e\u001b[2J <img src=x onerror=alert(1)>")";
  const std::string hostileSubject =
      "\"\\u001b]0;owned\\u0007<script>alert(1)</script>" + std::string(100000, 'A') + "\"";
  for (const Reader& reader : Readers()) {
    SCOPED_TRACE(reader.name);
    std::unique_ptr<PageScrapingEngine> engine = reader.make();
    ASSERT_EQ(reader.read(*engine, Widened(Answer(reader, 1, hostileSender, hostileSubject))),
              CheckStatus::Success);
    ASSERT_EQ(engine->mails.count(), 1u);
    const MailItem* item = engine->mails.first();
    for (const Text* text : {&item->sender, &item->subject}) {
      EXPECT_LE(text->length(), PageScrapingEngine::kLongestField);
      for (const char16_t unit : text->view())
        EXPECT_FALSE(IsControlCharacter(unit)) << static_cast<int>(unit);
      EXPECT_EQ(text->Find(u"<script"), Text::kNotFound) << text->ToUtf8();
      EXPECT_EQ(text->Find(u"<img"), Text::kNotFound) << text->ToUtf8();
    }
    EXPECT_EQ(item->sender.ToUtf8().rfind("Mallory", 0), 0u) << item->sender.ToUtf8();
  }
}

TEST(PageScrapingReaders, AHugeListIsReadUpToTheBound) {
  const int count = static_cast<int>(PageScrapingEngine::kMostMessages) + 20;
  for (const Reader& reader : Readers()) {
    SCOPED_TRACE(reader.name);
    std::unique_ptr<PageScrapingEngine> engine = reader.make();
    ASSERT_EQ(reader.read(*engine, Widened(Answer(reader, count))), CheckStatus::Success);
    EXPECT_EQ(engine->mails.count(), PageScrapingEngine::kMostMessages);
  }
}

// --- The shared steps ------------------------------------------------------------------

TEST(PageScrapingSteps, CookieValueTakesTheCookieOfThatExactName) {
  struct Row {
    const char16_t* cookies;
    bool found;
    const char16_t* value;
  };
  const Row rows[] = {
      {u"zmcsr=abc; other=1", true, u"abc"},
      {u"a=1; zmcsr=abc", true, u"abc"},
      {u"oldzmcsr=stale; zmcsr=fresh", true, u"fresh"},
      {u"oldzmcsr=stale", false, u""},
      {u"zmcsr=", true, u""},
      {u"zmcsr", false, u""},
      {u"", false, u""},
  };
  for (const Row& row : rows) {
    Text value;
    EXPECT_EQ(page_scraping::CookieValue(row.cookies, u"zmcsr", &value), row.found)
        << Text(row.cookies).ToUtf8();
    if (row.found) {
      EXPECT_EQ(value, row.value);
    }
  }
}

TEST(PageScrapingSteps, BetweenMatchesLetterCaseAndRefusesOverlongValues) {
  Text value;
  EXPECT_EQ(page_scraping::Between(u"zmail.accId = \"42\"", u"zmail.accId = \"", u"\"", &value),
            page_scraping::Cut::Found);
  EXPECT_EQ(value, u"42");
  EXPECT_EQ(page_scraping::Between(u"ZMAIL.ACCID = \"42\"", u"zmail.accId = \"", u"\"", &value),
            page_scraping::Cut::Missing);
  EXPECT_EQ(page_scraping::Between(u"zmail.accId = \"42", u"zmail.accId = \"", u"\"", &value),
            page_scraping::Cut::Missing);
  const Text overlong =
      Text(u"k=\"").Append(std::u16string(PageScrapingEngine::kLongestCut + 1, u'x')).Append(u"\"");
  EXPECT_EQ(page_scraping::Between(overlong, u"k=\"", u"\"", &value), page_scraping::Cut::TooLong);
}

TEST(PageScrapingSteps, TheTickFillsTheTemplateOnly) {
  const Text path = page_scraping::FillTick(u"/a?x=%u&y=%u");
  EXPECT_EQ(path.Find(u"%u"), Text::kNotFound);
  EXPECT_EQ(path.view().substr(0, 5), u"/a?x=");
}

TEST(PageScrapingSteps, O2ContinuationStaysOnO2) {
  struct Row {
    const char* script;
    bool found;
    const char* host;
    const char* path;
  };
  const Row rows[] = {
      {"go(\"//poczta.o2.pl/?folder=inbox\")", true, "poczta.o2.pl", "/?folder=inbox"},
      {"/* api.o2.pl */ go(\"//poczta.o2.pl/x\")", true, "poczta.o2.pl", "/x"},
      {"go(\"//o2.pl/\")", true, "o2.pl", "/"},
      {"go(\"//evil.example.com/?x.pl\")", false, "", ""},
      {"go(\"//poczta.o2.pl.example.com/\")", false, "", ""},
      {"go(\"//user@poczta.o2.pl/\")", false, "", ""},
      {"go(\"//poczta.o2.pl\")", false, "", ""},
      {"nothing here", false, "", ""},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.script);
    Text host;
    Text path;
    EXPECT_EQ(O2Engine::ContinueAddress(Text::FromUtf8(row.script), &host, &path), row.found);
    if (row.found) {
      EXPECT_EQ(host.ToUtf8(), row.host);
      EXPECT_EQ(path.ToUtf8(), row.path);
    }
  }
}

TEST(PageScrapingReaders, O2FlagsBitZeroMarksUnreadMail) {
  O2Engine engine(TypeOf(EngineKind::O2pl));
  const std::string list = R"({"response":{"data":{"maillist":{"mail":[
    {"_flags":"2","_from":"a","_subject":"read","_dateraw":"1"},
    {"_flags":"3","_from":"b","_subject":"unread","_dateraw":"2"},
    {"_flags":"4294967297","_from":"c","_subject":"too large","_dateraw":"3"},
    {"_flags":"1x","_from":"d","_subject":"not a number","_dateraw":"4"}]}}}})";
  ASSERT_EQ(engine.ReadMailList(Widened(list)), CheckStatus::Success);
  ASSERT_EQ(engine.mails.count(), 1u);
  EXPECT_EQ(engine.mails.first()->subject, u"unread");
}

}  // namespace
}  // namespace tarvel
