#include "ui/web_login/web_logout_runner.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QThread>

#include <atomic>
#include <cstdlib>

#include "accounts/settings_store.h"
#include "platform/cookie_store.h"
#include "tests/support/temp_folder.h"

namespace tarvel {
namespace {

// The account-change link's logout end to end: the cookies of the HTTP client's store go on
// the worker thread, the stored cookie set goes on the GUI thread, and the check is brought
// forward by 250 ms.
TEST(WebLogoutRunner, LinkedInLogoutClearsBothCookieStoresAndBringsTheCheckForward) {
  testing::TempFolder folder;
  ::setenv("XDG_DATA_HOME", folder.file("data").c_str(), 1);
  CookieStore& cookies = CookieStore::Shared();
  ASSERT_EQ(cookies.filePath(), folder.file("data") + "/Quorline/Tarvel/cookies");
  const auto linkedIn = CookieUrl::Parse("https://www.linkedin.com/");
  ASSERT_TRUE(linkedIn);
  ASSERT_TRUE(cookies.Store(*linkedIn, "li_at=AQE; Secure; HttpOnly", CookieOrigin::Server,
                            CookieAccess::IncludingHttpOnly));
  const auto other = CookieUrl::Parse("https://example.org/");
  ASSERT_TRUE(
      cookies.Store(*other, "keep=1", CookieOrigin::Server, CookieAccess::IncludingHttpOnly));

  SettingsStore store;
  ASSERT_TRUE(store.open(SettingsMode::IniFile, nullptr, {}, folder.file("tarvel.ini")));
  store.writeText(u"https://www.linkedin.com/HTTPONLY", u"x", u"Cookies_00000400");
  store.writeText(u"https://login.live.com/", u"y", u"Cookies_00000001");

  std::atomic<uint32_t> timer{0};
  WebLogoutRunner::Hooks hooks;
  hooks.startCheckTimer = [&timer](uint32_t milliseconds) { timer = milliseconds; };
  WebLogoutRunner runner(store, hooks);
  EXPECT_FALSE(runner.Start(0x20, 0)) << "Notes has no web session";
  ASSERT_TRUE(runner.Start(0x400, 0));

  QElapsedTimer elapsed;
  elapsed.start();
  while ((runner.running() || !store.listValues(u"Cookies_00000400").empty()) &&
         elapsed.elapsed() < 10000) {
    QCoreApplication::processEvents();
    QThread::msleep(5);
  }
  EXPECT_EQ(timer.load(), 250u);
  EXPECT_TRUE(store.listValues(u"Cookies_00000400").empty());
  EXPECT_EQ(store.listValues(u"Cookies_00000001").size(), 1u) << "another type's set stays";
  EXPECT_EQ(cookies.CookieHeader(*linkedIn, CookieAccess::IncludingHttpOnly), "");
  EXPECT_EQ(cookies.CookieHeader(*other, CookieAccess::IncludingHttpOnly), "keep=1");
}

}  // namespace
}  // namespace tarvel
