#pragma once

#include <cstdint>
#include <functional>
#include <memory>

#include "engines/web/web_login.h"

namespace tarvel {

class HttpSession;
class WebView;

namespace web_login {

// The web session over the program's own HTTP client and a temporary browser view of the
// shared profile. Runs on a worker thread: every call may wait for the network.
class HttpWebSessionPort : public WebSessionPort {
 public:
  // The hooks are called on the calling thread; they hand their request to the main
  // thread themselves (the settings store is the main thread's).
  struct Hooks {
    std::function<void(uint32_t milliseconds)> startCheckTimer;
    std::function<void(uint32_t typeBit)> clearStoredCookieSet;
    std::function<void()> clearVirgilioCredentials;
  };
  HttpWebSessionPort(HttpSession& http, Hooks hooks);
  ~HttpWebSessionPort() override;

  bool HttpGet(const Text& url, const Text& userAgent) override;
  bool GetCookies(const Text& url, CookieAccess access, Text* result) override;
  bool SetCookies(const Text& url, const Text& cookies, CookieAccess access) override;
  bool SetCookie(const Text& url, const Text& cookie, CookieAccess access) override;
  bool DeleteCookies(const Text& url, CookieAccess access) override;
  bool OpenBrowser() override;
  bool BrowserDeleteCookies(const Text& name, const Text& domain, const Text& path) override;
  bool BrowserNavigateAndWait(const Text& url) override;
  void CloseBrowser() override;
  void ClearStoredCookieSet(uint32_t typeBit) override;
  void ClearVirgilioCredentials() override;
  void StartCheckTimer(uint32_t milliseconds) override;

 private:
  HttpSession& http_;
  Hooks hooks_;
  std::unique_ptr<WebView> browser_;
};

}  // namespace web_login
}  // namespace tarvel
