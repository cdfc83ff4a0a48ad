// The Gmail and Outlook.com Alternative engines through the real browser helper: their pages
// come from a local HTTPS server under the services' own host names, and the session is a
// cookie that a sign-in page left in the shared browser profile.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "engines/protocol/gmail_engine.h"
#include "engines/web/outlook_engine.h"
#include "platform/browser_connection.h"
#include "platform/web_view.h"
#include "tests/support/fixture_server.h"
#include "tests/support/temp_folder.h"

namespace tarvel {
namespace {

using nlohmann::json;
using testing::FixtureServer;
using testing::TemporaryFolder;

std::string Fixture(const std::string& name) {
  return testing::ReadFileContent(std::string(TARVEL_SOURCE_DIR_PATH) + "/tests/fixtures/" + name);
}

json Route(const std::string& host, const std::string& path, const std::string& body,
           const std::string& type, const std::string& cookie = {}, int status = 200) {
  json route = {{"host", host},
                {"path", path},
                {"status", status},
                {"body", body},
                {"headers", json::array({json::array({"Content-Type", type})})}};
  if (!cookie.empty())
    route["cookie"] = cookie;
  return route;
}

json SignInRoute(const std::string& host, const std::string& cookie) {
  json route = Route(host, "/test-sign-in", "<html><body>signed in</body></html>", "text/html");
  route["headers"].push_back(
      json::array({"Set-Cookie", cookie + "; Path=/; Max-Age=3600; Secure"}));
  return route;
}

std::string ManyEntries() {
  std::string feed =
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?><feed version=\"0.3\" "
      "xmlns=\"http://purl.org/atom/ns#\"><title>Gmail - Label 'Many' for joe.tester@gmail.com"
      "</title>";
  for (int i = 0; i < 200; ++i) {
    feed += "<entry><title>Message " + std::to_string(i) + "</title><issued>2026-11-" +
            std::to_string(10 + i % 20) + "T10:00:00Z</issued><author><name>Sender " +
            std::to_string(i) + "</name></author></entry>";
  }
  return feed + "</feed>";
}

constexpr char kGmail[] = "mail.google.com";
constexpr char kLive[] = "outlook.live.com";
constexpr char kGoogleSession[] = "SID=signed-in";
constexpr char kMicrosoftSession[] = "MSPAuth=signed-in";
constexpr char kXml[] = "text/xml; charset=UTF-8";
constexpr char kHtml[] = "text/html; charset=utf-8";
constexpr char kStylesheet[] =
    "/owa/prem/15.20/resources/styles/0/owa.MailListItemSingleLineView.css";

// Google's feed without a session: 401 with a Basic challenge and an error page of its own.
// The browser declines the challenge and shows a blank page.
json SignedOutFeed() {
  json route = Route(kGmail, "/mail/feed/atom/", "never served", "text/html; charset=UTF-8");
  route["basic_auth"] = "nobody:never";
  route["denied_body"] =
      "<HTML><HEAD><TITLE>Unauthorized</TITLE></HEAD><BODY BGCOLOR=\"#FFFFFF\" "
      "TEXT=\"#000000\"><H1>Unauthorized</H1><H2>Error 401</H2></BODY></HTML>";
  return route;
}

json Routes() {
  const std::string feed = "/mail/feed/atom/";
  return json::array({
      SignInRoute(kGmail, kGoogleSession),
      Route(kGmail, feed, Fixture("gmail/inbox.xml"), kXml, kGoogleSession),
      Route(kGmail, feed + "Work,Home", Fixture("gmail/label_comma.xml"), kXml, kGoogleSession),
      Route(kGmail, feed + "B%C3%BCro", Fixture("gmail/label_non_ascii.xml"), kXml, kGoogleSession),
      Route(kGmail, feed + "Many", ManyEntries(), kXml, kGoogleSession),
      SignedOutFeed(),
      SignInRoute(kLive, kMicrosoftSession),
      Route(kLive, "/mail/0/", Fixture("outlook/alt_mail.html"), kHtml, kMicrosoftSession),
      Route(kLive, "/mail/0/", Fixture("outlook/alt_signin.html"), kHtml),
      Route(kLive, kStylesheet, Fixture("outlook/alt_style.css"), "text/css"),
  });
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

class WebMailBrowserTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    folder_ = new TemporaryFolder;
    ::setenv("XDG_DATA_HOME", (folder_->path() + "/data").c_str(), 1);
    ::setenv("XDG_RUNTIME_DIR", folder_->path().c_str(), 1);
    // Chromium refuses to run as root inside its sandbox; the tests run as root in CI.
    if (::geteuid() == 0) {
      ::setenv("QTWEBENGINE_DISABLE_SANDBOX", "1", 1);
    }
    ::setenv("QTWEBENGINE_CHROMIUM_FLAGS", "--disable-gpu", 0);
    server_ = new FixtureServer;
    ASSERT_TRUE(server_->Start(Routes()));
    server_->ExportEnvironment();
  }
  static void TearDownTestSuite() {
    BrowserConnection::Shared().ShutDown();
    delete server_;
    delete folder_;
  }

  // Signs the shared profile in: the service's page sets its session cookie.
  static void SignIn(const std::string& host) {
    Text source;
    ASSERT_TRUE(
        WebView::LoadPageSource(Text::FromUtf8("https://" + host + "/test-sign-in"), &source, 0));
    ASSERT_NE(source.ToUtf8().find("signed in"), std::string::npos);
  }

  static TemporaryFolder* folder_;
  static FixtureServer* server_;
};

TemporaryFolder* WebMailBrowserTest::folder_ = nullptr;
FixtureServer* WebMailBrowserTest::server_ = nullptr;

TEST_F(WebMailBrowserTest, GmailFeedsOfTheInboxAndTwoLabels) {
  GmailEngine engine(kAccountTypes[2]);
  engine.SetSettings({u"https://mail.google.com/mail/", u"\"Work,Home\"; B\u00FCro"});

  // Signed out: the labels fail (no page without the session), the inbox shows a blank page.
  EXPECT_EQ(engine.Check(), CheckStatus::LoginNeeded);
  EXPECT_EQ(engine.mails.count(), 0u);
  EXPECT_TRUE(engine.accountName.isEmpty());

  SignIn(kGmail);
  engine.mails.clear();
  ASSERT_EQ(engine.Check(), CheckStatus::Success) << engine.lastFailure.ToUtf8();
  const std::vector<Record> expected = {
      {"Mallory", "Bold offer alert(1)31m  now!", "", "2026-12-10T08:15:00Z"},
      {"Grace Hopper", "Plans for the weekend", "Work,Home", "2026-12-10T07:00:00Z"},
      {"J\u00FCrgen Wei\u00DF", "Gr\u00F6\u00DFe der R\u00E4ume \u2013 \u00DCbersicht", "B\u00FCro",
       "2026-12-10T06:30:00Z"},
      {"Ada Lovelace", "Lunch on Friday", "", "2026-12-09T11:00:00Z"},
      {"", "No author", "", "2026-12-08T07:00:00Z"},
      {"Time Traveller", "From the future", "", ""},
  };
  EXPECT_EQ(Records(engine), expected);
  EXPECT_EQ(engine.accountName.ToUtf8(), "joe.tester@gmail.com");

  // A label feed of 200 entries, with "all" among the labels so the inbox is not fetched.
  engine.SetSettings({u"https://mail.google.com/mail/", u"Many,all"});
  engine.mails.clear();
  ASSERT_EQ(engine.Check(), CheckStatus::Success) << engine.lastFailure.ToUtf8();
  EXPECT_EQ(engine.mails.count(), 200u);
}

TEST_F(WebMailBrowserTest, OutlookAlternativeReadsTheRenderedMailList) {
  OutlookAltEngine engine(kAccountTypes[1]);
  engine.SetSettings({0, u"https://outlook.live.com/mail/0/"});
  EXPECT_EQ(engine.Check(), CheckStatus::LoginNeeded);

  SignIn(kLive);
  engine.mails.clear();
  ASSERT_EQ(engine.Check(), CheckStatus::Success) << engine.lastFailure.ToUtf8();
  const std::vector<Record> expected = {
      {"Ada Lovelace", "Quarterly figures", "", "Wed 12/09/2026 4:04 PM"},
      {"Grace Hopper", "Plans <b>now</b>", "", "Thu 12/10/2026 7:00 AM"},
  };
  EXPECT_EQ(Records(engine), expected);
}

}  // namespace
}  // namespace tarvel
