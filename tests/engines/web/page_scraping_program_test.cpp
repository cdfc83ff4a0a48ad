// The desktop program on an X server with a tray host on a private session bus checks the six
// page-scraping account types and the two that read HTML pages over the HTTP client (Orange.fr,
// Virgilio) against the local server playing their services, with the cookies and the
// credentials a sign-in left; the tray item's tooltip shows the count a user sees.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDBusMessage>
#include <QDBusPendingCall>
#include <QElapsedTimer>

#include <string>
#include <vector>

#include "accounts/account_type_bits.h"
#include "accounts/protected_text.h"
#include "accounts/registry_store.h"
#include "accounts/settings_store.h"
#include "engines/web/web_login.h"
#include "platform/cookie_store.h"
#include "tests/engines/web/html_page_services.h"
#include "tests/engines/web/page_scraping_services.h"
#include "tests/support/fixture_server.h"
#include "tests/support/program_desktop.h"
#include "tests/support/temp_folder.h"

namespace tarvel {
namespace {

using namespace scraping_fixture;
using nlohmann::json;
using testing::FixtureServer;

constexpr char kVirgilioPassword[] = "s3cret";

class PageScrapingProgramTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(desktop_.Start(), "");
    json routes = AllServices();
    for (json& route : html_fixture::SignedInRoutes(kVirgilioPassword))
      routes.push_back(std::move(route));
    ASSERT_TRUE(server_.Start(routes));
    server_.ExportEnvironment();
  }

  testing::TempFolder folder_;
  testing::ProgramDesktop desktop_{folder_};
  FixtureServer server_;
};

TEST_F(PageScrapingProgramTest, TheEightAccountsCheckWithTheirSignIns) {
  // The cookies a sign-in left in the HTTP client's store, and LinkedIn's stored set.
  CookieStore cookies(folder_.file("data") + "/Quorline/Tarvel/cookies");
  const std::pair<const char*, const char*> signIns[] = {
      {"https://mail.yandex.ru/", "Session_id=3:1765;Domain=.yandex.ru;Path=/;HttpOnly"},
      {"https://mail.zoho.com/", "zmcsr=c5e1;Path=/"},
      {"https://touch.mail.ru/", "Mpop=1765:abc;Domain=.mail.ru;Path=/;HttpOnly"},
      {"https://messagerie.sfr.fr/", "JSESSIONID=s1;Path=/webmail;HttpOnly"},
      {"https://orange.fr/", "wassup=signed-in;Domain=orange.fr;Path=/"},
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
    // Virgilio's session has lapsed: the engine signs in with what the login window stored.
    ASSERT_TRUE(ProtectText(store, u"VirgilioEmail", Text(u"anna@virgilio.it")));
    ASSERT_TRUE(ProtectText(store, u"VirgilioPassword", Text::FromUtf8(kVirgilioPassword)));
    // The eight types enabled on the default option word.
    ASSERT_TRUE(store.writeNumber(u"Flags", 0x1010 | 0x400 | 0x800 | 0x4000 | 0x20000 | 0x40000 |
                                                0x100000 | 0x400000 | 0x800000));
  }

  desktop_.StartTrayHost();
  desktop_.StartProgram();
  ASSERT_TRUE(testing::WaitUntil([&] { return !desktop_.RegisteredItems().isEmpty(); }));
  const QString item = desktop_.RegisteredItems().last();

  // Two unread messages at each of the eight services, all of them new at the first check.
  ASSERT_TRUE(testing::WaitUntil([&] { return desktop_.ToolTip(item).startsWith("16 new mails"); }))
      << desktop_.ToolTip(item).toStdString();

  // Every service was asked with its session's cookie.
  const std::pair<std::string, std::string> sessions[] = {
      {kYandexHost, "Session_id=3:1765"},
      {kZohoHost, "zmcsr=c5e1"},
      {kMailRuHost, "Mpop=1765:abc"},
      {kO2Mobile, "ssid=s3ss+1"},
      {kSfrHost, "JSESSIONID=s1"},
      {kLinkedInHost, "li_at=AQEDAT"},
      {html_fixture::kOrangeHost, html_fixture::kOrangeSession},
      // Only the form login with the stored password sets it.
      {html_fixture::kVirgilioHost, html_fixture::kVirgilioSession},
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

// Virgilio refuses every form login: after the third refused sign-in the program erases the
// stored credentials (a settings write its check thread hands to the main thread) and posts
// the form no more. Checks are asked for over the session bus until the erase shows.
TEST_F(PageScrapingProgramTest, VirgilioCredentialsAreErasedAfterThreeRefusedSignIns) {
  server_.SetRoutes(json::array({
      Route(html_fixture::kVirgilioHost, html_fixture::kVirgilioLoginPath, "<html>no</html>",
            {{"method", "POST"}}),
      Route(html_fixture::kVirgilioHost, html_fixture::kVirgilioInbox,
            html_fixture::kVirgilioLoginPage),
  }));
  RegistryStore registry(RegistryStore::DefaultPath());
  SettingsStore store;
  ASSERT_TRUE(store.open(SettingsMode::Registry, &registry, kSettingsKeyPath));
  ASSERT_TRUE(ProtectText(store, u"VirgilioEmail", Text(u"anna@virgilio.it")));
  ASSERT_TRUE(ProtectText(store, u"VirgilioPassword", Text(u"wrong")));
  ASSERT_TRUE(store.writeNumber(u"Flags", 0x1010 | 0x4000));

  desktop_.StartTrayHost();
  desktop_.StartProgram();

  const auto posts = [this] {
    std::size_t count = 0;
    for (const json& request : server_.Requests())
      count += request.value("method", "") == "POST" ? 1 : 0;
    return count;
  };
  const auto erased = [&store] {
    return UnprotectText(store, u"VirgilioEmail", u"x").isEmpty() &&
           UnprotectText(store, u"VirgilioPassword", u"x").isEmpty();
  };
  QElapsedTimer sinceAsked;
  sinceAsked.start();
  ASSERT_TRUE(testing::WaitUntil([&] {
    if (erased())
      return true;
    // A check asked for while one runs is refused; asking again now and then is harmless.
    if (sinceAsked.elapsed() > 500) {
      desktop_.bus().asyncCall(QDBusMessage::createMethodCall(
          "com.quorline.Tarvel", "/com/quorline/Tarvel", "com.quorline.Tarvel1", "CheckNow"));
      sinceAsked.restart();
    }
    return false;
  })) << posts()
      << " form logins";
  EXPECT_EQ(posts(), 3u);
  // Later checks have nothing to sign in with.
  const std::size_t requests = server_.Requests().size();
  ASSERT_TRUE(testing::WaitUntil([&] {
    desktop_.bus().asyncCall(QDBusMessage::createMethodCall(
        "com.quorline.Tarvel", "/com/quorline/Tarvel", "com.quorline.Tarvel1", "CheckNow"));
    return server_.Requests().size() > requests;
  }));
  EXPECT_EQ(posts(), 3u);
  EXPECT_TRUE(erased());
}

}  // namespace
}  // namespace tarvel

int main(int argc, char** argv) {
  QCoreApplication application(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
