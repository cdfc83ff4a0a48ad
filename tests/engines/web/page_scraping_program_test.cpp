// The desktop program on an X server with a tray host on a private session bus checks the six
// page-scraping account types against the local server playing their services, with the
// cookies a sign-in left; the tray item's tooltip shows the count a user sees.
#include <gtest/gtest.h>

#include <QCoreApplication>

#include <string>
#include <vector>

#include "accounts/account_type_bits.h"
#include "accounts/protected_text.h"
#include "accounts/registry_store.h"
#include "accounts/settings_store.h"
#include "engines/web/web_login.h"
#include "platform/cookie_store.h"
#include "tests/engines/web/page_scraping_services.h"
#include "tests/support/fixture_server.h"
#include "tests/support/program_desktop.h"
#include "tests/support/temp_folder.h"

namespace tarvel {
namespace {

using namespace scraping_fixture;
using testing::FixtureServer;

class PageScrapingProgramTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(desktop_.Start(), "");
    ASSERT_TRUE(server_.Start(AllServices()));
    server_.ExportEnvironment();
  }

  testing::TempFolder folder_;
  testing::ProgramDesktop desktop_{folder_};
  FixtureServer server_;
};

TEST_F(PageScrapingProgramTest, TheSixAccountsCheckWithTheSignInCookies) {
  // The cookies a sign-in left in the HTTP client's store, and LinkedIn's stored set.
  CookieStore cookies(folder_.file("data") + "/Quorline/Tarvel/cookies");
  const std::pair<const char*, const char*> signIns[] = {
      {"https://mail.yandex.ru/", "Session_id=3:1765;Domain=.yandex.ru;Path=/;HttpOnly"},
      {"https://mail.zoho.com/", "zmcsr=c5e1;Path=/"},
      {"https://touch.mail.ru/", "Mpop=1765:abc;Domain=.mail.ru;Path=/;HttpOnly"},
      {"https://messagerie.sfr.fr/", "JSESSIONID=s1;Path=/webmail;HttpOnly"},
  };
  for (const auto& [url, cookie] : signIns) {
    ASSERT_TRUE(cookies.Store(*CookieUrl::Parse(url), cookie, CookieOrigin::Program,
                              CookieAccess::IncludingHttpOnly));
  }
  {
    RegistryStore registry(RegistryStore::DefaultPath());
    SettingsStore store;
    ASSERT_TRUE(store.open(SettingsMode::Registry, &registry, kSettingsKeyPath));
    ASSERT_TRUE(store.writeProtected(u"https://www.linkedin.com/HTTPONLY", Text(u"li_at=AQEDAT"),
                                     kBuiltInPassPhrase,
                                     web_login::CookieGroup(type_bits::kLinkedIn)));
    // The six types enabled on the default option word.
    ASSERT_TRUE(store.writeNumber(
        u"Flags", 0x1010 | 0x400 | 0x800 | 0x40000 | 0x100000 | 0x400000 | 0x800000));
  }

  desktop_.StartTrayHost();
  desktop_.StartProgram();
  ASSERT_TRUE(testing::WaitUntil([&] { return !desktop_.RegisteredItems().isEmpty(); }));
  const QString item = desktop_.RegisteredItems().last();

  // Two unread messages at each of the six services, all of them new at the first check.
  ASSERT_TRUE(testing::WaitUntil([&] { return desktop_.ToolTip(item).startsWith("12 new mails"); }))
      << desktop_.ToolTip(item).toStdString();

  // Every service was asked with its session's cookie.
  const std::pair<std::string, std::string> sessions[] = {
      {kYandexHost, "Session_id=3:1765"}, {kZohoHost, "zmcsr=c5e1"},
      {kMailRuHost, "Mpop=1765:abc"},     {kO2Mobile, "ssid=s3ss+1"},
      {kSfrHost, "JSESSIONID=s1"},        {kLinkedInHost, "li_at=AQEDAT"},
  };
  const std::vector<nlohmann::json> requests = server_.Requests();
  for (const auto& [serviceHost, session] : sessions) {
    SCOPED_TRACE(serviceHost);
    bool carried = false;
    for (const nlohmann::json& request : requests) {
      if (request.value("host", "") == serviceHost &&
          FixtureServer::Header(request, "Cookie").find(session) != std::string::npos)
        carried = true;
    }
    EXPECT_TRUE(carried);
  }
}

}  // namespace
}  // namespace tarvel

int main(int argc, char** argv) {
  QCoreApplication application(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
