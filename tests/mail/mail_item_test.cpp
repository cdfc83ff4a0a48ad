#include "mail/mail_item.h"

#include <gtest/gtest.h>

#include "accounts/account_type.h"
#include "tests/support/scripted_engine.h"

namespace tarvel {
namespace {

struct NormalizationCase {
  const char* name;
  std::u16string sender;
  std::u16string subject;
  std::u16string expectedSender;
  std::u16string expectedSubject;
};

TEST(NormalizeMail, CleansSenderAndSubject) {
  const NormalizationCase cases[] = {
      {"bracketed address keeps the address", u"<alice@example.com>", u"Hi", u"alice@example.com",
       u"Hi"},
      {"name with address keeps the name", u"Alice Smith <alice@example.com>", u"Hi",
       u"Alice Smith", u"Hi"},
      {"bold tags around a word", u"Bob", u"a <b>bold</b> word", u"Bob", u"a bold word"},
      {"unclosed tag stays", u"Bob", u"x < y and more", u"Bob", u"x < y and more"},
      {"underscores become spaces", u"Bob", u"big_news_today", u"Bob", u"big news today"},
      {"doubly escaped ampersand", u"Bob", u"Tom &amp;amp; Jerry", u"Bob", u"Tom & Jerry"},
      {"lines joined", u"Bob", u"first\r\nsecond\nthird", u"Bob", u"first  second third"},
      {"trimmed", u"  Bob \t", u"\r\n subject  ", u"Bob", u"subject"},
      {"quoted sender", u"\"Carol\"", u"x", u"Carol", u"x"},
      {"lone quote stays", u"\"", u"x", u"\"", u"x"},
      {"named entities", u"J&uuml;rgen", u"&lt;caf&eacute;&gt; &bull; &quot;x&quot;",
       u"J\u00FCrgen", u"<caf\u00E9> * \"x\""},
      {"entity in wrong case stays", u"Bob", u"&AMP; &Amp;", u"Bob", u"&AMP; &Amp;"},
      {"escapes before markup", u"%3Cbob@example.com%3E", u"&#60;b&#62;x", u"bob@example.com",
       u"x"},
      {"sender mode needs the whole text bracketed", u"<a@b> tail", u"x", u"tail", u"x"},
      {"plain mode strips a bracketed address", u"Bob", u"<a@b>", u"Bob", u""},
      {"empty fields", u"", u"", u"", u""},
      // Hostile text: what decoding produces must not reach a window or a terminal.
      {"escaped terminal escape and bell", u"Eve\\x1b]0;pwned\\x07", u"&#27;[2Jhi&#07;",
       u"Eve]0;pwned", u"[2Jhi"},
      {"C1 control sequence introducer", u"%9B31mEve", u"a\u009Bb", u"31mEve", u"ab"},
      {"direction override disguising the sender", u"&#x202E;moc.knab&#x202C;@eve.example",
       u"Invoice\u2066 x\u2069", u"moc.knab@eve.example", u"Invoice x"},
      {"controls at the edges are trimmed with the blanks", u"\x1B Bob \x07",
       u"\u2028subject\u2029", u"Bob", u"subject"},
      {"entities decoded after tags are gone stay plain text", u"Bob", u"&lt;b&gt;bold&lt;/b&gt;",
       u"Bob", u"<b>bold</b>"},
  };
  for (const NormalizationCase& row : cases) {
    SCOPED_TRACE(row.name);
    MailItem item(row.sender, row.subject, u"", u"");
    NormalizeMail(item);
    EXPECT_EQ(item.sender.ToUtf8(), Text(row.expectedSender).ToUtf8());
    EXPECT_EQ(item.subject.ToUtf8(), Text(row.expectedSubject).ToUtf8());
  }
}

struct EscapeCase {
  const char* name;
  std::u16string input;
  EscapeMode mode;
  std::u16string expected;
};

TEST(DecodeEscapes, EveryFormAndItsLimits) {
  const EscapeCase cases[] = {
      {"decimal 228", u"&#228;", EscapeMode::Full, u"\u00E4"},
      {"backslash u", u"\\u00e4", EscapeMode::Full, u"\u00E4"},
      {"percent C3 is one unit", u"%C3", EscapeMode::Full, u"\u00C3"},
      {"surrogate pair", u"&#128512;", EscapeMode::Full, u"\U0001F600"},
      {"percent only keeps references", u"&#228;%41", EscapeMode::PercentOnly, u"&#228;A"},
      {"hex two", u"&#x41;", EscapeMode::Full, u"A"},
      {"hex three", u"&#x3A9;", EscapeMode::Full, u"\u03A9"},
      {"hex four", u"&#x20AC;", EscapeMode::Full, u"\u20AC"},
      {"decimal two", u"&#65;", EscapeMode::Full, u"A"},
      {"decimal four", u"&#8364;", EscapeMode::Full, u"\u20AC"},
      {"decimal five in BMP", u"&#65533;", EscapeMode::Full, u"\uFFFD"},
      {"decimal six", u"&#128512;&#999999;", EscapeMode::Full, u"\U0001F600\U000F423F"},
      {"backslash x", u"\\x41", EscapeMode::Full, u"A"},
      {"percent u", u"%u20AC", EscapeMode::Full, u"\u20AC"},
      {"decimal digits read as hex", u"&#1a;", EscapeMode::Full, u"\u0014"},
      {"first matching form wins", u"&#x41;&#65;%41", EscapeMode::Full, u"AAA"},
      {"decoded text is not decoded again", u"%2541", EscapeMode::Full, u"%41"},
      // Bad input: nothing invented, nothing read past the end.
      {"cut at the end", u"abc%4", EscapeMode::Full, u"abc%4"},
      {"cut reference", u"&#12", EscapeMode::Full, u"&#12"},
      {"cut backslash u", u"\\u12", EscapeMode::Full, u"\\u12"},
      {"lone percent", u"%", EscapeMode::Full, u"%"},
      {"not hex", u"%zz&#xzz;", EscapeMode::Full, u"%zz&#xzz;"},
      {"above the last code point stays", u"&#ffffff;", EscapeMode::Full, u"&#ffffff;"},
      {"zero stays", u"%00&#00;\\u0000", EscapeMode::Full, u"%00&#00;\\u0000"},
      {"seven digits are no form", u"&#1234567;", EscapeMode::Full, u"&#1234567;"},
  };
  for (const EscapeCase& row : cases) {
    SCOPED_TRACE(row.name);
    Text text(row.input);
    text.DecodeEscapes(row.mode);
    EXPECT_EQ(text.view(), std::u16string_view(row.expected));
  }
}

TEST(FormatMailLine, BuildsLinesAndCutsAtForty) {
  struct Row {
    const char* name;
    MailItem item;
    MailText kind;
    bool popupAnnouncements;
    std::u16string before;
    std::u16string expected;
  };
  const std::u16string fortyOne = u"A - " + std::u16string(37, u'x');  // 41 units
  Row rows[] = {
      {"sender and subject", MailItem(u"Ann", u"Hello", u"", u""), MailText::AllMail, false, u"",
       u"Ann - Hello"},
      {"folder first", MailItem(u"Ann", u"Hello", u"Work", u""), MailText::AllMail, false, u"",
       u"Work - Hello - Ann"},
      {"separator", MailItem(u"Ann", u"Hello", u"", u""), MailText::AllMail, false, u"x",
       u"x\rAnn - Hello"},
      {"empty record adds nothing", MailItem(u"", u"", u"Work", u"d"), MailText::AllMail, false,
       u"x", u"x"},
      {"41 units cut in all-mail text", MailItem(u"A", fortyOne.substr(4), u"", u""),
       MailText::AllMail, true, u"", fortyOne.substr(0, 40) + u"..."},
      {"cut in new-mail text for balloons", MailItem(u"A", fortyOne.substr(4), u"", u""),
       MailText::NewMail, false, u"", fortyOne.substr(0, 40) + u"..."},
      {"not cut in new-mail text for the popup", MailItem(u"A", fortyOne.substr(4), u"", u""),
       MailText::NewMail, true, u"", fortyOne},
      {"exactly 40 stays", MailItem(u"A", fortyOne.substr(4, 36), u"", u""), MailText::AllMail,
       false, u"", fortyOne.substr(0, 40)},
  };
  for (Row& row : rows) {
    SCOPED_TRACE(row.name);
    Text text(row.before);
    FormatMailLine(row.item, text, row.kind, row.popupAnnouncements);
    EXPECT_EQ(text.view(), std::u16string_view(row.expected));
  }
  Text cut;
  FormatMailLine(MailItem(u"A", fortyOne.substr(4), u"", u""), cut, MailText::AllMail, false);
  EXPECT_EQ(cut.length(), 43);
}

TEST(AddMail, SortsNewestFirstAndKeepsEqualDatesInArrivalOrder) {
  testing::ScriptedEngine engine(kAccountTypes[0]);
  engine.AddMail(std::make_unique<MailItem>(u"a", u"first 02", u"", u"2024-01-02"),
                 MailOrder::SortedByDate);
  engine.AddMail(std::make_unique<MailItem>(u"b", u"03", u"", u"2024-01-03"),
                 MailOrder::SortedByDate);
  engine.AddMail(std::make_unique<MailItem>(u"c", u"second 02", u"", u"2024-01-02"),
                 MailOrder::SortedByDate);
  engine.AddMail(std::make_unique<MailItem>(u"d", u"no date", u"", u""), MailOrder::SortedByDate);
  // Digit runs compare by value: 10 is later than 9.
  engine.AddMail(std::make_unique<MailItem>(u"e", u"run 10", u"", u"2024-1-10"),
                 MailOrder::SortedByDate);
  engine.AddMail(std::make_unique<MailItem>(u"f", u"run 9", u"", u"2024-1-9"),
                 MailOrder::SortedByDate);
  std::vector<std::string> subjects;
  for (MailItem* item = engine.mails.first(); item; item = NodeList<MailItem>::next(item)) {
    subjects.push_back(item->subject.ToUtf8());
  }
  EXPECT_EQ(subjects, (std::vector<std::string>{"run 10", "run 9", "03", "first 02", "second 02",
                                                "no date"}));
}

TEST(AddMail, AppendsInServiceOrderWhenAsked) {
  testing::ScriptedEngine engine(kAccountTypes[0]);
  engine.AddMail(std::make_unique<MailItem>(u"a", u"old", u"", u"2024-01-01"),
                 MailOrder::AsReported);
  engine.AddMail(std::make_unique<MailItem>(u"b", u"new", u"", u"2024-01-05"),
                 MailOrder::AsReported);
  ASSERT_EQ(engine.mails.count(), 2u);
  EXPECT_EQ(engine.mails.first()->subject, u"old");
}

TEST(CompareMailDates, LocaleFallBackIgnoresCaseThenOrdersPlainly) {
  const MailDateOrder locale = MailDateOrder::Locale;
  const MailItem lower(u"", u"", u"", u"abc");
  const MailItem upper(u"", u"", u"", u"ABC");
  const MailItem later(u"", u"", u"", u"abd");
  EXPECT_GT(CompareMailDates(lower, later, &locale), 0);
  EXPECT_LT(CompareMailDates(later, lower, &locale), 0);
  EXPECT_NE(CompareMailDates(lower, upper, &locale), 0);
  EXPECT_EQ(CompareMailDates(lower, upper, nullptr), 0);
}

}  // namespace
}  // namespace tarvel
