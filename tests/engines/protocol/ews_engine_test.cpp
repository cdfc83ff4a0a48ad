// The Exchange engine without a server: its settings, its reader and how it reads FindItem
// answers.
#include "engines/protocol/ews_engine.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "accounts/protected_text.h"
#include "accounts/reader_launcher.h"
#include "accounts/settings_store.h"
#include "tests/support/mail_records.h"
#include "tests/support/temp_folder.h"

namespace tarvel {
namespace {

const AccountTypeInfo& ExchangeType() {
  return kAccountTypes[20];
}

std::string Fixture(const std::string& name) {
  return testing::ReadFileContent(std::string(TARVEL_SOURCE_DIR_PATH) + "/tests/fixtures/ews/" +
                                  name);
}

// The answer as the HTTP client hands it over: each byte one code unit.
Text AsReceived(const std::string& bytes) {
  return Text::FromBytes(bytes);
}

using Record = testing::MailRecord;

std::vector<Record> Records(const MailEngine& engine) {
  return testing::InboxRecords(engine);
}

TEST(EwsEngine, ReadsFindItemAnswers) {
  struct Case {
    const char* name;
    std::string answer;
    CheckStatus status;
    std::vector<Record> records;
  };
  const Case cases[] = {
      // Unsorted, with a message without sender, one without subject (dropped) and a meeting
      // request (not a message); the list runs newest first.
      {"Exchange Online",
       Fixture("find_item_online.xml"),
       CheckStatus::Success,
       {{"Grace Hopper", "Caf\u00E9 & cake at 4", "2026-12-09T09:30:01Z"},
        {"Ada Lovelace", "Quarterly figures", "2026-12-08T16:04:12Z"},
        {"", "Delivery notice", "2026-12-07T07:45:00Z"}}},
      // Indented, so white space lies between the items; the last message has neither sender
      // nor date.
      {"Exchange 2010",
       Fixture("find_item_exchange2010.xml"),
       CheckStatus::Success,
       {{"Linus Pauling", "Lunch?", "2026-12-09T12:15:00Z"},
        {"IT Operations", "Server maintenance tonight", "2026-12-09T06:00:00Z"},
        {"", "Draft saved by a rule", ""}}},
      {"empty inbox", Fixture("find_item_empty_inbox.xml"), CheckStatus::Success, {}},
      // The path is matched with its prefixes as written.
      {"other prefixes", Fixture("find_item_other_prefixes.xml"), CheckStatus::Success, {}},
      // Failures that parse as XML are failures all the same, never an empty inbox.
      {"SOAP fault", Fixture("soap_fault.xml"), CheckStatus::Failure, {}},
      {"error response message", Fixture("find_item_error_response.xml"), CheckStatus::Failure, {}},
      {"XML error page", Fixture("unauthorized_error.xml"), CheckStatus::Failure, {}},
      {"HTML error page", Fixture("unauthorized_page.html"), CheckStatus::Failure, {}},
      {"garbage", std::string("\x1f\x8b\x08 not xml \xff\xfe", 15), CheckStatus::Failure, {}},
      {"empty answer", "", CheckStatus::Failure, {}},
      // Cut off in the middle of the items.
      {"truncated", Fixture("find_item_online.xml").substr(0, 1200), CheckStatus::Failure, {}},
  };
  for (const Case& row : cases) {
    SCOPED_TRACE(row.name);
    EwsEngine engine(ExchangeType());
    EXPECT_EQ(engine.ReadAnswer(AsReceived(row.answer)), row.status);
    EXPECT_EQ(Records(engine), row.records);
    EXPECT_EQ(engine.lastFailure.isEmpty(), row.status == CheckStatus::Success);
  }

  // The reason names what the server said.
  EwsEngine fault(ExchangeType());
  EXPECT_EQ(fault.ReadAnswer(AsReceived(Fixture("soap_fault.xml"))), CheckStatus::Failure);
  EXPECT_EQ(fault.lastFailure,
            u"the server reported a fault: The request failed schema validation.");
  EwsEngine refused(ExchangeType());
  EXPECT_EQ(refused.ReadAnswer(AsReceived(Fixture("find_item_error_response.xml"))),
            CheckStatus::Failure);
  EXPECT_EQ(refused.lastFailure, u"the server refused the request: ErrorItemNotFound");

  // The server's text reaches reports only as plain characters.
  EwsEngine hostile(ExchangeType());
  const std::string hostileFault =
      "<?xml version=\"1.0\" encoding=\"utf-8\"?><soap:Envelope "
      "xmlns:soap=\"http://schemas.xmlsoap.org/soap/envelope/\"><soap:Body><soap:Fault>"
      "<faultcode>soap:Client</faultcode><faultstring>Denied\xC2\x9B[31m\xE2\x80\xAE"
      "exe.txt"
      "&#x9;" +
      std::string(300, 'x') + "</faultstring></soap:Fault></soap:Body></soap:Envelope>";
  EXPECT_EQ(hostile.ReadAnswer(AsReceived(hostileFault)), CheckStatus::Failure);
  EXPECT_EQ(hostile.lastFailure.ToUtf8(),
            "the server reported a fault: Denied [31mexe.txt " + std::string(181, 'x'));
}

TEST(EwsEngine, PrefixesMatchWithoutCaseButTheMessageNameWithCase) {
  std::string upperPath = Fixture("find_item_exchange2010.xml");
  for (const char* name : {"s:Envelope", "s:Body", "m:RootFolder", "t:Items", "t:Subject"}) {
    std::string upper = name;
    for (char& c : upper)
      c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    for (std::size_t at = upperPath.find(name); at != std::string::npos;
         at = upperPath.find(name, at))
      upperPath.replace(at, upper.size(), upper);
  }
  EwsEngine upperEngine(ExchangeType());
  EXPECT_EQ(upperEngine.ReadAnswer(AsReceived(upperPath)), CheckStatus::Success);
  EXPECT_EQ(upperEngine.mails.count(), 3u);

  std::string lowerMessage = Fixture("find_item_exchange2010.xml");
  for (std::size_t at = lowerMessage.find("t:Message"); at != std::string::npos;
       at = lowerMessage.find("t:Message", at))
    lowerMessage.replace(at, 9, "t:message");
  EwsEngine lowerEngine(ExchangeType());
  EXPECT_EQ(lowerEngine.ReadAnswer(AsReceived(lowerMessage)), CheckStatus::Success);
  EXPECT_EQ(lowerEngine.mails.count(), 0u);
}

TEST(EwsEngine, ReadsNoMoreThanTheMostMessages) {
  std::string answer =
      "<s:Envelope><s:Body><m:FindItemResponse><m:ResponseMessages><m:FindItemResponseMessage>"
      "<m:RootFolder><t:Items>";
  for (std::size_t index = 0; index < EwsEngine::kMostMessages + 5; ++index)
    answer += "<t:Message><t:Subject>s</t:Subject></t:Message>";
  answer +=
      "</t:Items></m:RootFolder></m:FindItemResponseMessage></m:ResponseMessages>"
      "</m:FindItemResponse></s:Body></s:Envelope>";
  EwsEngine engine(ExchangeType());
  EXPECT_EQ(engine.ReadAnswer(AsReceived(answer)), CheckStatus::Success);
  EXPECT_EQ(engine.mails.count(), EwsEngine::kMostMessages);
}

class RecordingLauncher : public ReaderLauncher {
 public:
  bool OpenReader(const MailEngine& engine) override {
    websites.push_back(engine.website.ToUtf8());
    return true;
  }
  std::vector<std::string> websites;
};

TEST(EwsEngine, TakesItsSettingsFromTheStore) {
  testing::TempFolder folder;
  SettingsStore store;
  ASSERT_TRUE(store.open(SettingsMode::IniFile, nullptr, {}, folder.file("tarvel.ini")));
  ASSERT_TRUE(store.writeText(u"EWSServer", u"https://mail.example.com/EWS/Exchange.asmx"));
  ASSERT_TRUE(ProtectText(store, u"EWSUser", u"joe@example.com"));
  ASSERT_TRUE(ProtectText(store, u"EWSPassword", u"p\u00E4ss word"));
  ASSERT_TRUE(store.writeText(u"EWSWebsite", Text(kEwsWebMailPages[0])));

  const std::unique_ptr<MailEngine> engine = CreateEwsEngine(ExchangeType(), &store);
  const auto& exchange = static_cast<const EwsEngine&>(*engine);
  const EwsSettings settings = exchange.settings();
  EXPECT_EQ(settings.server, u"https://mail.example.com/EWS/Exchange.asmx");
  EXPECT_EQ(settings.user, u"joe@example.com");
  EXPECT_EQ(settings.password, u"p\u00E4ss word");
  EXPECT_EQ(engine->GetDisplayName(), u"joe@example.com");

  // The reader opens the website setting, read again when the settings change.
  RecordingLauncher launcher;
  EXPECT_TRUE(engine->OpenReader(launcher));
  ASSERT_TRUE(store.writeText(u"EWSWebsite", u"https://outlook.example.com/owa/"));
  ASSERT_TRUE(ProtectText(store, u"EWSUser", u"ann@example.com"));
  engine->LoadSettings(store);
  EXPECT_TRUE(engine->OpenReader(launcher));
  EXPECT_EQ(launcher.websites, (std::vector<std::string>{"https://outlook.office365.com/mail/",
                                                         "https://outlook.example.com/owa/"}));
  EXPECT_EQ(engine->GetDisplayName(), u"ann@example.com");

  // A fresh machine: nothing stored, nothing to show.
  SettingsStore empty;
  ASSERT_TRUE(empty.open(SettingsMode::IniFile, nullptr, {}, folder.file("empty.ini")));
  engine->LoadSettings(empty);
  EXPECT_TRUE(exchange.settings().server.isEmpty());
  EXPECT_TRUE(engine->GetDisplayName().isEmpty());
}

TEST(EwsEngine, AnAddressThatCannotBeSplitFailsWithoutARequest) {
  for (const char16_t* server : {u"", u"https://", u"http://:443/EWS/Exchange.asmx"}) {
    SCOPED_TRACE(Text(server).ToUtf8());
    EwsEngine engine(ExchangeType());
    engine.SetSettings({server, u"joe", u"secret", {}});
    EXPECT_EQ(engine.Check(), CheckStatus::Failure);
    EXPECT_EQ(engine.lastFailure, u"the server address cannot be read");
    EXPECT_TRUE(engine.mails.isEmpty());
  }
}

}  // namespace
}  // namespace tarvel
