// Reader launch on a desktop of our own: desktop entries and MIME-apps lists in temporary
// XDG folders, fake programs that record their arguments, the real xdg-open in between.
#include "ui/readers/reader_launch.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTimer>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <future>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "accounts/account_type_list.h"
#include "accounts/option_flags.h"
#include "platform/http_session.h"
#include "tests/support/scripted_engine.h"
#include "tests/ui/readers/fake_desktop.h"
#include "ui/readers/browser_tab_activator.h"

namespace tarvel {
namespace {

using testing::FakeDesktop;
using Scope = FakeDesktop::Scope;
using Strings = std::vector<std::string>;

constexpr uint32_t kGMail = 0x2;
constexpr uint32_t kYahoo = 0x4;

// Waits, with the event loop running, until the program has run `count` times (at most
// 20 s: a loaded machine may be slow to start a shell script, never this slow).
std::vector<Strings> WaitForRuns(const FakeDesktop& desktop, const std::string& program,
                                 std::size_t count) {
  QElapsedTimer clock;
  clock.start();
  std::vector<Strings> runs = desktop.Runs(program);
  while (runs.size() < count && clock.elapsed() < 20'000) {
    QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    runs = desktop.Runs(program);
  }
  return runs;
}

class ReaderLaunch : public ::testing::Test {
 protected:
  void SetUp() override {
    desktop.UseAsEnvironment();
    desktop.AddRecordingProgram("fake-browser");
    desktop.AddRecordingProgram("fake-mail");
    desktop.AddApplication(Scope::System, "fake-browser.desktop", "Fake Browser",
                           "fake-browser --new-tab %u",
                           "x-scheme-handler/http;x-scheme-handler/https;");
    desktop.AddApplication(Scope::User, "fake-mail.desktop", "Fake Mail",
                           "fake-mail \"--open mailbox\" %U %f", "x-scheme-handler/mailto;");
    desktop.WriteConfigMimeApps(
        "[Default Applications]\n"
        "x-scheme-handler/http=fake-browser.desktop\n"
        "x-scheme-handler/https=fake-browser.desktop\n"
        "x-scheme-handler/mailto=fake-mail.desktop\n");
    gmail().website = u"https://mail.google.com/mail/";
  }

  MailEngine& gmail() { return testing::Scripted(accounts, kGMail); }

  FakeDesktop desktop;
  OptionFlags flags;
  AccountTypeList accounts{flags, testing::ScriptedEngineFactory()};
  DesktopReaderLauncher launcher;
};

TEST_F(ReaderLaunch, WebsitesGoThroughTheUrlHandlerToTheDefaultBrowser) {
  gmail().reader = u"Default Web Browser";
  EXPECT_TRUE(gmail().OpenReader(launcher));
  EXPECT_EQ(WaitForRuns(desktop, "fake-browser", 1),
            (std::vector<Strings>{{"--new-tab", "https://mail.google.com/mail/"}}));

  // A reader that is an address opens that address, not the website.
  gmail().reader = u"https://mail.example.org/inbox";
  EXPECT_TRUE(gmail().OpenReader(launcher));
  const std::vector<Strings> runs = WaitForRuns(desktop, "fake-browser", 2);
  ASSERT_EQ(runs.size(), 2u);
  EXPECT_EQ(runs[1], (Strings{"--new-tab", "https://mail.example.org/inbox"}));
}

TEST_F(ReaderLaunch, NamedProgramsAndCommandsGetTheWebsite) {
  const std::string spaced = desktop.programFolder() + "/My Mail";
  std::filesystem::create_directories(spaced);
  std::filesystem::create_symlink(desktop.programFolder() + "/fake-mail", spaced + "/mail");

  struct Case {
    std::u16string reader;
    Strings arguments;
  };
  const std::string site = "https://mail.google.com/mail/";
  const Case cases[] = {
      {u"Fake Mail", {"--open mailbox", site}},
      {u"Default E-Mail Reader", {"--open mailbox", site}},
      // Unquoted, with spaces in the path: the path is found by trying its parts.
      {u"@" + Text::FromUtf8(spaced).units() + u"/mail %1", {site}},
      {u"@\"" + Text::FromUtf8(spaced).units() + u"/mail\" -compose \"two words\" %1",
       {"-compose", "two words", site}},
  };
  std::size_t count = 0;
  for (const Case& row : cases) {
    SCOPED_TRACE(Text(row.reader).ToUtf8());
    gmail().reader = Text(row.reader);
    EXPECT_TRUE(gmail().OpenReader(launcher));
    const std::vector<Strings> runs = WaitForRuns(desktop, "fake-mail", ++count);
    ASSERT_EQ(runs.size(), count);
    EXPECT_EQ(runs.back(), row.arguments);
  }
  EXPECT_TRUE(desktop.Runs("fake-browser").empty());
}

// Two readers open one second apart while the event loop goes on (the tray menu stays
// responsive meanwhile).
TEST_F(ReaderLaunch, TwoReadersOneSecondApartWithoutBlocking) {
  testing::Scripted(accounts, kYahoo).reader = u"@fake-mail --yahoo %1";
  testing::Scripted(accounts, kYahoo).website = u"https://mail.yahoo.com/";
  gmail().reader = u"@fake-mail --gmail %1";
  QElapsedTimer clock;
  std::vector<qint64> startedAt;
  DesktopReaderLauncher::Actions actions;
  actions.startProgram = [&](const std::string& program, const Strings& arguments) {
    startedAt.push_back(clock.elapsed());
    return StartReaderProgram(program, arguments);
  };
  DesktopReaderLauncher pacedLauncher(actions);
  DesktopReaders readers([this] { return &accounts; }, pacedLauncher);

  int ticks = 0;
  QTimer ticker;
  QObject::connect(&ticker, &QTimer::timeout, [&] { ++ticks; });
  ticker.start(50);
  clock.start();
  readers.OpenReaders(kYahoo | kGMail);
  // The first reader is started at once; the call returns without waiting for the second.
  EXPECT_EQ(startedAt.size(), 1u);
  EXPECT_TRUE(readers.waiting());
  const int ticksAtCall = ticks;
  std::vector<Strings> runs = WaitForRuns(desktop, "fake-mail", 2);
  ASSERT_EQ(runs.size(), 2u);
  // List order: GMail comes before Yahoo.
  EXPECT_EQ(runs[0], (Strings{"--gmail", "https://mail.google.com/mail/"}));
  EXPECT_EQ(runs[1], (Strings{"--yahoo", "https://mail.yahoo.com/"}));
  // The event loop ran during the pause, and a precise timer never fires early, so this
  // lower bound holds on any machine.
  EXPECT_GT(ticks, ticksAtCall);
  ASSERT_EQ(startedAt.size(), 2u);
  EXPECT_GE(startedAt[1] - startedAt[0], 1000);
  EXPECT_FALSE(readers.waiting());
}

// No accessibility bus in this session: a browser reader starts the browser, and the tab
// lookup gives up at once instead of waiting on a bus that is not there.
TEST_F(ReaderLaunch, WithoutAccessibilityBusTheBrowserStarts) {
  ASSERT_FALSE(AccessibilityBusPresent());
  desktop.AddRecordingProgram("firefox");
  desktop.AddApplication(Scope::System, "firefox.desktop", "Firefox", "firefox %u",
                         "x-scheme-handler/http;");
  gmail().reader = u"Firefox";
  QElapsedTimer clock;
  clock.start();
  EXPECT_FALSE(ActivateBrowserTab(BrowserKind::Firefox, u" - Gmail"));
  // The fault this catches is a wait for a bus to be started (D-Bus waits 25 s for that).
  EXPECT_LT(clock.elapsed(), 5000);
  EXPECT_TRUE(gmail().OpenReader(launcher));
  EXPECT_EQ(WaitForRuns(desktop, "firefox", 1),
            (std::vector<Strings>{{"https://mail.google.com/mail/"}}));
}

// The tab search of a browser reader (calls into other programs that may hang) runs off the
// caller's thread: OpenReader returns while the search still waits, and the browser starts
// once the search has found no tab.
TEST_F(ReaderLaunch, TheTabSearchRunsOffTheCallersThread) {
  desktop.AddRecordingProgram("firefox");
  desktop.AddApplication(Scope::System, "firefox.desktop", "Firefox", "firefox %u",
                         "x-scheme-handler/http;");
  gmail().reader = u"Firefox";
  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  std::atomic<bool> searchedElsewhere{false};
  const std::thread::id caller = std::this_thread::get_id();
  DesktopReaderLauncher::Actions actions;
  actions.activateTab = [&, released](BrowserKind kind, const Text& title) {
    searchedElsewhere =
        std::this_thread::get_id() != caller && kind == BrowserKind::Firefox && !title.isEmpty();
    released.wait();  // a hung application
    return false;
  };
  DesktopReaderLauncher searching(actions);
  EXPECT_TRUE(gmail().OpenReader(searching));
  EXPECT_TRUE(desktop.Runs("firefox").empty());
  release.set_value();
  EXPECT_EQ(WaitForRuns(desktop, "firefox", 1),
            (std::vector<Strings>{{"https://mail.google.com/mail/"}}));
  EXPECT_TRUE(searching.waitForSearches(20'000));
  EXPECT_TRUE(searchedElsewhere);
}

// A web server on the loopback that answers every request on a kept connection, so that the
// client keeps the connection in its pool. Its own sockets are close-on-exec.
class KeepAliveServer {
 public:
  KeepAliveServer() {
    listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof(address);
    if (listener_ < 0 || ::bind(listener_, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
        ::listen(listener_, 4) != 0 ||
        ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) != 0)
      return;
    port_ = ntohs(address.sin_port);
    thread_ = std::thread([this] { Serve(); });
  }
  ~KeepAliveServer() {
    stop_ = true;
    if (thread_.joinable())
      thread_.join();
    if (listener_ >= 0)
      ::close(listener_);
  }
  int port() const { return port_; }

 private:
  void Serve() {
    std::vector<int> clients;
    while (!stop_) {
      std::vector<pollfd> polled{{listener_, POLLIN, 0}};
      for (const int client : clients)
        polled.push_back({client, POLLIN, 0});
      if (::poll(polled.data(), polled.size(), 50) <= 0)
        continue;
      if (polled[0].revents & POLLIN) {
        const int client = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
        if (client >= 0)
          clients.push_back(client);
      }
      for (std::size_t i = 1; i < polled.size(); ++i) {
        if ((polled[i].revents & (POLLIN | POLLHUP)) == 0)
          continue;
        char buffer[4096];
        const ssize_t got = ::recv(polled[i].fd, buffer, sizeof(buffer), 0);
        if (got <= 0)
          continue;
        constexpr std::string_view kAnswer =
            "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nContent-Length: 2\r\n\r\nok";
        (void)::send(polled[i].fd, kAnswer.data(), kAnswer.size(), MSG_NOSIGNAL);
      }
    }
    for (const int client : clients)
      ::close(client);
  }

  int listener_ = -1;
  int port_ = 0;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

// The connections the program keeps (a web engine's pooled connection here) do not live on in
// a reader it starts: the reader's open descriptors hold no socket.
TEST_F(ReaderLaunch, AStartedReaderHoldsNoSocketOfOurs) {
  KeepAliveServer server;
  ASSERT_NE(server.port(), 0);
  HttpSession session;
  Text answer;
  ASSERT_TRUE(
      session.GetUrl(Text::FromUtf8("http://127.0.0.1:" + std::to_string(server.port()) + "/"),
                     Text(u"test"), &answer));
  EXPECT_EQ(answer, std::u16string_view(u"ok"));
  // The kept connection itself is close-on-exec, as every network socket of ours.
  int networkSockets = 0;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
    const int fd = std::atoi(entry.path().filename().c_str());
    int domain = 0;
    socklen_t length = sizeof(domain);
    if (::getsockopt(fd, SOL_SOCKET, SO_DOMAIN, &domain, &length) != 0 || domain != AF_INET)
      continue;
    ++networkSockets;
    EXPECT_NE(::fcntl(fd, F_GETFD) & FD_CLOEXEC, 0) << "descriptor " << fd;
  }
  EXPECT_GE(networkSockets, 2);  // the server's listener and the client's connection at least

  // The reader lists its descriptors' targets, then leaves.
  const std::string listing = desktop.programFolder() + "/descriptors";
  const std::string lister = desktop.programFolder() + "/fd-lister";
  {
    std::ofstream script(lister);
    script << "#!/bin/sh\nfor f in /proc/$$/fd/*; do readlink \"$f\"; done > \"" << listing
           << ".tmp\"\nmv \"" << listing << ".tmp\" \"" << listing << "\"\n";
  }
  ::chmod(lister.c_str(), 0755);
  gmail().reader = Text::FromUtf8("@" + lister + " %1");
  ASSERT_TRUE(gmail().OpenReader(launcher));
  QElapsedTimer clock;
  clock.start();
  while (!std::filesystem::exists(listing) && clock.elapsed() < 20'000)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  std::ifstream file(listing);
  ASSERT_TRUE(file.good());
  std::stringstream targets;
  targets << file.rdbuf();
  EXPECT_FALSE(targets.str().empty());
  EXPECT_EQ(targets.str().find("socket:"), std::string::npos) << targets.str();
}

}  // namespace
}  // namespace tarvel

int main(int argc, char** argv) {
  // No session bus of the machine's own: these tests decide which buses exist.
  ::unsetenv("DBUS_SESSION_BUS_ADDRESS");
  ::unsetenv("AT_SPI_BUS_ADDRESS");
  ::setenv("DISPLAY", ":tarvel-no-display", 1);  // lets xdg-open use the desktop entries
  QCoreApplication application(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
