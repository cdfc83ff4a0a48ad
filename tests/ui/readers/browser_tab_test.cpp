// Tab reuse against a real Firefox ESR on the accessibility bus (run by
// browser_tab_session.sh, which starts Xvfb, the buses and the browser).
#include <gtest/gtest.h>
#include <xcb/xcb.h>

#include <QCoreApplication>
#include <QElapsedTimer>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "accounts/account_type_list.h"
#include "accounts/option_flags.h"
#include "tests/support/scripted_engine.h"
#include "ui/readers/browser_tab_activator.h"
#include "ui/readers/reader_launch.h"

namespace tarvel {
namespace {

constexpr uint32_t kGMail = 0x2;
const std::string kGmailTitle = "Inbox (3) - user@example.org - Gmail";

template <typename T>
using XcbReply = std::unique_ptr<T, decltype(&std::free)>;

// The X11 side of the check: window names and the stacking order.
class XDisplay {
 public:
  XDisplay() : connection_(xcb_connect(nullptr, nullptr)) {
    if (xcb_connection_has_error(connection_))
      return;
    screen_ = xcb_setup_roots_iterator(xcb_get_setup(connection_)).data;
    name_ = Atom("_NET_WM_NAME");
    utf8_ = Atom("UTF8_STRING");
    pid_ = Atom("_NET_WM_PID");
  }
  ~XDisplay() { xcb_disconnect(connection_); }
  bool ok() const { return screen_ != nullptr; }

  // The mapped top-level windows, lowest first.
  std::vector<xcb_window_t> Stack() {
    std::vector<xcb_window_t> windows;
    XcbReply<xcb_query_tree_reply_t> tree(
        xcb_query_tree_reply(connection_, xcb_query_tree(connection_, screen_->root), nullptr),
        &std::free);
    if (!tree)
      return windows;
    const xcb_window_t* children = xcb_query_tree_children(tree.get());
    for (int index = 0; index < xcb_query_tree_children_length(tree.get()); ++index) {
      XcbReply<xcb_get_window_attributes_reply_t> attributes(
          xcb_get_window_attributes_reply(
              connection_, xcb_get_window_attributes(connection_, children[index]), nullptr),
          &std::free);
      if (attributes && attributes->map_state == XCB_MAP_STATE_VIEWABLE)
        windows.push_back(children[index]);
    }
    return windows;
  }

  std::string Name(xcb_window_t window) {
    XcbReply<xcb_get_property_reply_t> reply(
        xcb_get_property_reply(
            connection_, xcb_get_property(connection_, 0, window, name_, utf8_, 0, 1024), nullptr),
        &std::free);
    if (!reply || reply->format != 8)
      return {};
    return std::string(static_cast<const char*>(xcb_get_property_value(reply.get())),
                       static_cast<std::size_t>(xcb_get_property_value_length(reply.get())));
  }

  uint32_t Pid(xcb_window_t window) {
    XcbReply<xcb_get_property_reply_t> reply(
        xcb_get_property_reply(
            connection_, xcb_get_property(connection_, 0, window, pid_, XCB_ATOM_CARDINAL, 0, 1),
            nullptr),
        &std::free);
    if (!reply || reply->format != 32 || xcb_get_property_value_length(reply.get()) < 4)
      return 0;
    return *static_cast<const uint32_t*>(xcb_get_property_value(reply.get()));
  }

  // The browser's main window: a mapped window of its process with a title.
  xcb_window_t BrowserWindow(uint32_t pid) {
    for (const xcb_window_t window : Stack()) {
      if (Pid(window) == pid && !Name(window).empty())
        return window;
    }
    return XCB_WINDOW_NONE;
  }

  // A plain window over everything, as another program's window would be.
  xcb_window_t CoverScreen() {
    const xcb_window_t window = xcb_generate_id(connection_);
    xcb_create_window(connection_, XCB_COPY_FROM_PARENT, window, screen_->root, 0, 0,
                      screen_->width_in_pixels, screen_->height_in_pixels, 0,
                      XCB_WINDOW_CLASS_INPUT_OUTPUT, screen_->root_visual, 0, nullptr);
    xcb_map_window(connection_, window);
    Sync();
    return window;
  }

  void Sync() {
    std::free(xcb_get_input_focus_reply(connection_, xcb_get_input_focus(connection_), nullptr));
  }

 private:
  xcb_atom_t Atom(const char* name) {
    XcbReply<xcb_intern_atom_reply_t> reply(
        xcb_intern_atom_reply(
            connection_,
            xcb_intern_atom(connection_, 0, static_cast<uint16_t>(std::strlen(name)), name),
            nullptr),
        &std::free);
    return reply ? reply->atom : static_cast<xcb_atom_t>(XCB_ATOM_NONE);
  }

  xcb_connection_t* connection_;
  const xcb_screen_t* screen_ = nullptr;
  xcb_atom_t name_ = XCB_ATOM_NONE;
  xcb_atom_t utf8_ = XCB_ATOM_NONE;
  xcb_atom_t pid_ = XCB_ATOM_NONE;
};

// Polls `done` with the event loop running, for at most `limitMs`.
template <typename Done>
bool WaitUntil(Done done, int limitMs) {
  QElapsedTimer clock;
  clock.start();
  while (!done()) {
    if (clock.elapsed() > limitMs)
      return false;
    QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  return true;
}

class FirefoxTab : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* pid = std::getenv("TARVEL_FIREFOX_PID");
    ASSERT_TRUE(pid) << "run through browser_tab_session.sh";
    firefoxPid = static_cast<uint32_t>(std::strtoul(pid, nullptr, 10));
    ASSERT_TRUE(display.ok());
    ASSERT_TRUE(AccessibilityBusPresent());
    // Starting a browser on a loaded machine takes a while: generous, bounded waits.
    ASSERT_TRUE(
        WaitUntil([&] { return display.BrowserWindow(firefoxPid) != XCB_WINDOW_NONE; }, 60'000))
        << "Firefox showed no window";
    window = display.BrowserWindow(firefoxPid);
  }

  std::string Title() { return display.Name(window); }
  bool OnTop() { return !display.Stack().empty() && display.Stack().back() == window; }

  // Selects a tab, retrying while the browser is still registering on the accessibility bus.
  bool Activate(const Text& title) {
    return WaitUntil([&] { return ActivateBrowserTab(BrowserKind::Firefox, title); }, 60'000);
  }

  XDisplay display;
  uint32_t firefoxPid = 0;
  xcb_window_t window = XCB_WINDOW_NONE;
};

TEST_F(FirefoxTab, GmailTabIsSelectedAndItsWindowRaised) {
  ASSERT_TRUE(Activate(u"Other page"));
  ASSERT_TRUE(WaitUntil([&] { return Title().find("Other page") != std::string::npos; }, 10'000))
      << Title();
  display.CoverScreen();
  ASSERT_FALSE(OnTop());

  EXPECT_TRUE(ActivateBrowserTab(BrowserKind::Firefox, u" - Gmail"));
  EXPECT_TRUE(WaitUntil([&] { return Title().find(kGmailTitle) != std::string::npos; }, 10'000))
      << Title();
  EXPECT_TRUE(OnTop());

  // No tab of that title, and a browser of another kind: nothing is touched.
  EXPECT_FALSE(ActivateBrowserTab(BrowserKind::Firefox, u" - Yahoo Mail"));
  EXPECT_FALSE(ActivateBrowserTab(BrowserKind::Chrome, u" - Gmail"));
  EXPECT_NE(Title().find(kGmailTitle), std::string::npos);
}

// The way a tray click goes: the GMail account with Firefox ESR (the installed desktop
// entry) as its reader selects the open tab and starts no new browser.
TEST_F(FirefoxTab, GmailReaderReusesTheOpenTab) {
  ASSERT_TRUE(Activate(u"Other page"));
  ASSERT_TRUE(WaitUntil([&] { return Title().find("Other page") != std::string::npos; }, 10'000));

  OptionFlags flags;
  AccountTypeList accounts(flags, testing::ScriptedEngineFactory());
  MailEngine& gmail = testing::Scripted(accounts, kGMail);
  gmail.reader = u"Firefox ESR";
  gmail.website = u"https://mail.google.com/mail/";
  gmail.accountName = u"user@example.org";
  std::vector<std::string> started;
  DesktopReaderLauncher::Actions actions;
  actions.startProgram = [&](const std::string& program, const std::vector<std::string>&) {
    started.push_back(program);
    return true;
  };
  actions.openAddress = [&](const std::string& address) {
    started.push_back(address);
    return true;
  };
  DesktopReaderLauncher launcher(actions);
  EXPECT_TRUE(gmail.OpenReader(launcher));
  // The search runs on the launcher's thread.
  ASSERT_TRUE(launcher.waitForSearches(20'000));
  EXPECT_TRUE(started.empty());
  EXPECT_TRUE(WaitUntil([&] { return Title().find(kGmailTitle) != std::string::npos; }, 10'000))
      << Title();

  // Another account's mail is not open in a tab: the browser is started with its website.
  gmail.accountName = u"someone.else@example.org";
  EXPECT_TRUE(gmail.OpenReader(launcher));
  ASSERT_TRUE(launcher.waitForSearches(20'000));
  EXPECT_EQ(started, (std::vector<std::string>{"/usr/lib/firefox-esr/firefox-esr"}));
}

TEST(NoAccessibilityBus, ActivationGivesUpAtOnce) {
  ASSERT_FALSE(AccessibilityBusPresent());
  QElapsedTimer clock;
  clock.start();
  EXPECT_FALSE(ActivateBrowserTab(BrowserKind::Firefox, u" - Gmail"));
  // The fault this catches is starting the accessibility bus and waiting for it (D-Bus waits
  // 25 s for an activation); the bound is generous for a loaded machine.
  EXPECT_LT(clock.elapsed(), 5000);
}

}  // namespace
}  // namespace tarvel

int main(int argc, char** argv) {
  QCoreApplication application(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
