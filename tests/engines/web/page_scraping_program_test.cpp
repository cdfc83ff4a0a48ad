// The desktop program on an X server with a tray host on a private session bus checks the six
// page-scraping account types and the two that read HTML pages over the HTTP client (Orange.fr,
// Virgilio) against the local server playing their services, with the cookies and the
// credentials a sign-in left; the tray item's tooltip shows the count a user sees.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCall>
#include <QDBusVariant>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QThread>

#include <filesystem>
#include <functional>
#include <memory>
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
#include "tests/support/temp_folder.h"

namespace tarvel {
namespace {

using namespace scraping_fixture;
using nlohmann::json;
using testing::FixtureServer;

constexpr int kWaitMs = 60'000;
constexpr char kVirgilioPassword[] = "s3cret";

bool WaitUntil(const std::function<bool()>& done, int milliseconds = kWaitMs) {
  QElapsedTimer elapsed;
  elapsed.start();
  while (!done()) {
    if (elapsed.elapsed() > milliseconds)
      return false;
    QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    QThread::msleep(20);
  }
  return true;
}

class PageScrapingProgramTest : public ::testing::Test {
 protected:
  void SetUp() override {
    folder_ = std::make_unique<testing::TempFolder>();
    folder_->UseAsConfigHome();
    for (const char* sub : {"state", "data", "runtime"})
      std::filesystem::create_directories(folder_->file(sub));
    std::filesystem::permissions(folder_->file("runtime"), std::filesystem::perms::owner_all);

    QProcess& xvfb =
        Start("Xvfb", {"-displayfd", "1", "-screen", "0", "800x600x24", "-nolisten", "tcp"});
    ASSERT_TRUE(WaitUntil([&] { return xvfb.canReadLine() || xvfb.waitForReadyRead(50); }));
    display_ = ":" + QString::fromLatin1(xvfb.readLine()).trimmed();
    QProcess& bus = Start("dbus-daemon", {"--session", "--nofork", "--print-address=1"});
    ASSERT_TRUE(WaitUntil([&] { return bus.canReadLine() || bus.waitForReadyRead(50); }));
    busAddress_ = QString::fromLatin1(bus.readLine()).trimmed();
    connection_ = std::make_unique<QDBusConnection>(
        QDBusConnection::connectToBus(busAddress_, QStringLiteral("scraping-program-test")));
    ASSERT_TRUE(connection_->isConnected());

    json routes = AllServices();
    for (json& route : html_fixture::SignedInRoutes(kVirgilioPassword))
      routes.push_back(std::move(route));
    ASSERT_TRUE(server_.Start(routes));
    server_.ExportEnvironment();
  }

  void TearDown() override {
    for (auto process = processes_.rbegin(); process != processes_.rend(); ++process) {
      if ((*process)->state() != QProcess::NotRunning) {
        (*process)->terminate();
        if (!(*process)->waitForFinished(5000)) {
          (*process)->kill();
          (*process)->waitForFinished(5000);
        }
      }
    }
    if (connection_)
      QDBusConnection::disconnectFromBus(connection_->name());
  }

  QProcess& Start(const QString& program, const QStringList& arguments) {
    processes_.push_back(std::make_unique<QProcess>());
    QProcess& process = *processes_.back();
    if (!display_.isEmpty()) {
      QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
      environment.insert("DISPLAY", display_);
      environment.insert("QT_QPA_PLATFORM", "xcb");
      environment.insert("DBUS_SESSION_BUS_ADDRESS", busAddress_);
      environment.insert("XDG_STATE_HOME", QString::fromStdString(folder_->file("state")));
      environment.insert("XDG_DATA_HOME", QString::fromStdString(folder_->file("data")));
      environment.insert("XDG_RUNTIME_DIR", QString::fromStdString(folder_->file("runtime")));
      environment.remove("XDG_CURRENT_DESKTOP");
      process.setProcessEnvironment(environment);
    }
    process.setProcessChannelMode(program.endsWith("/tarvel") ? QProcess::ForwardedChannels
                                                              : QProcess::SeparateChannels);
    process.start(program, arguments);
    EXPECT_TRUE(process.waitForStarted(10'000)) << program.toStdString();
    return process;
  }

  QString HostLog() const { return QString::fromStdString(folder_->file("items.jsonl")); }

  QStringList RegisteredItems() const {
    QFile log(HostLog());
    QStringList items;
    if (!log.open(QIODevice::ReadOnly))
      return items;
    for (const QByteArray& line : log.readAll().split('\n')) {
      const int at = line.indexOf("\"item\": \"");
      if (at >= 0)
        items << QString::fromLatin1(line.mid(at + 9, line.indexOf('"', at + 9) - at - 9));
    }
    return items;
  }

  // The tooltip's title and text joined by a line break.
  QString ToolTip(const QString& item) const {
    QDBusMessage call = QDBusMessage::createMethodCall(item, "/StatusNotifierItem",
                                                       "org.freedesktop.DBus.Properties", "Get");
    call << QStringLiteral("org.kde.StatusNotifierItem") << QStringLiteral("ToolTip");
    const QDBusMessage reply = connection_->call(call, QDBus::Block, 5000);
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty())
      return {};
    const QVariant value = reply.arguments().first().value<QDBusVariant>().variant();
    if (!value.canConvert<QDBusArgument>())
      return {};
    const QDBusArgument argument = value.value<QDBusArgument>();
    QString iconName;
    QString title;
    QString text;
    argument.beginStructure();
    argument >> iconName;
    argument.beginArray();
    while (!argument.atEnd()) {
      int width = 0;
      int height = 0;
      QByteArray pixels;
      argument.beginStructure();
      argument >> width >> height >> pixels;
      argument.endStructure();
    }
    argument.endArray();
    argument >> title >> text;
    argument.endStructure();
    return text.isEmpty() ? title : title + "\n" + text;
  }

  std::unique_ptr<testing::TempFolder> folder_;
  std::vector<std::unique_ptr<QProcess>> processes_;
  QString display_;
  QString busAddress_;
  std::unique_ptr<QDBusConnection> connection_;
  FixtureServer server_;
};

TEST_F(PageScrapingProgramTest, TheEightAccountsCheckWithTheirSignIns) {
  // The cookies a sign-in left in the HTTP client's store, and LinkedIn's stored set.
  CookieStore cookies(folder_->file("data") + "/Quorline/Tarvel/cookies");
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

  QProcess& host =
      Start("/usr/bin/python3",
            {QStringLiteral(TARVEL_SOURCE_DIR_PATH "/tests/ui/tray/fake_tray_host.py"), HostLog()});
  ASSERT_TRUE(WaitUntil([&] { return host.canReadLine() || host.waitForReadyRead(50); }));
  Start(QStringLiteral(TARVEL_BINARY_DIR_PATH "/bin/tarvel"), {});
  ASSERT_TRUE(WaitUntil([&] { return !RegisteredItems().isEmpty(); }));
  const QString item = RegisteredItems().last();

  // Two unread messages at each of the eight services, all of them new at the first check.
  ASSERT_TRUE(WaitUntil([&] { return ToolTip(item).startsWith("16 new mails"); }))
      << ToolTip(item).toStdString();

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

  QProcess& host =
      Start("/usr/bin/python3",
            {QStringLiteral(TARVEL_SOURCE_DIR_PATH "/tests/ui/tray/fake_tray_host.py"), HostLog()});
  ASSERT_TRUE(WaitUntil([&] { return host.canReadLine() || host.waitForReadyRead(50); }));
  Start(QStringLiteral(TARVEL_BINARY_DIR_PATH "/bin/tarvel"), {});

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
  ASSERT_TRUE(WaitUntil([&] {
    if (erased())
      return true;
    // A check asked for while one runs is refused; asking again now and then is harmless.
    if (sinceAsked.elapsed() > 500) {
      connection_->asyncCall(QDBusMessage::createMethodCall(
          "com.quorline.Tarvel", "/com/quorline/Tarvel", "com.quorline.Tarvel1", "CheckNow"));
      sinceAsked.restart();
    }
    return false;
  })) << posts()
      << " form logins";
  EXPECT_EQ(posts(), 3u);
  // Later checks have nothing to sign in with.
  const std::size_t requests = server_.Requests().size();
  ASSERT_TRUE(WaitUntil([&] {
    connection_->asyncCall(QDBusMessage::createMethodCall(
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
