#include "engines/web/web_session_port.h"

#include "platform/http_session.h"
#include "platform/web_view.h"

namespace tarvel::web_login {

HttpWebSessionPort::HttpWebSessionPort(HttpSession& http, Hooks hooks)
    : http_(http), hooks_(std::move(hooks)) {}

HttpWebSessionPort::~HttpWebSessionPort() {
  CloseBrowser();
}

bool HttpWebSessionPort::HttpGet(const Text& url, const Text& userAgent) {
  UrlParts parts;
  if (!HttpSession::SplitUrl(url, &parts, 80) ||
      (parts.schemeNumber != UrlParts::kSchemeHttp && parts.schemeNumber != UrlParts::kSchemeHttps))
    return false;
  HttpRequest request;
  request.server = parts.host;
  request.object = parts.path;
  request.object += parts.extra;
  request.port = parts.port;
  request.userAgent = userAgent;
  request.maximumBytes = 64 * 1024;  // the answer itself does not matter
  request.timeoutMilliseconds = 30000;
  Text body;
  int status = 0;
  return http_.Request(request, &body, &status);
}

bool HttpWebSessionPort::GetCookies(const Text& url, CookieAccess access, Text* result) {
  return http_.GetCookies(url, result, access);
}

bool HttpWebSessionPort::SetCookies(const Text& url, const Text& cookies, CookieAccess access) {
  return http_.SetCookies(url, cookies, access);
}

bool HttpWebSessionPort::SetCookie(const Text& url, const Text& cookie, CookieAccess access) {
  return http_.SetCookie(url, cookie, access);
}

bool HttpWebSessionPort::DeleteCookies(const Text& url, CookieAccess access) {
  return http_.DeleteCookies(url, access);
}

bool HttpWebSessionPort::OpenBrowser() {
  CloseBrowser();
  auto browser = std::make_unique<WebView>();
  if (!browser->Create(nullptr, web_view_flags::kSharedProfile))
    return false;
  browser_ = std::move(browser);
  return true;
}

bool HttpWebSessionPort::BrowserDeleteCookies(const Text& name, const Text& domain,
                                              const Text& path) {
  return browser_ && browser_->DeleteBrowserCookies(name, domain, path);
}

bool HttpWebSessionPort::BrowserNavigateAndWait(const Text& url) {
  return browser_ && browser_->Navigate(url, NavigateWait::Yes);
}

void HttpWebSessionPort::CloseBrowser() {
  if (browser_)
    browser_->Close();
  browser_.reset();
}

void HttpWebSessionPort::ClearStoredCookieSet(uint32_t typeBit) {
  if (hooks_.clearStoredCookieSet)
    hooks_.clearStoredCookieSet(typeBit);
}

void HttpWebSessionPort::ClearVirgilioCredentials() {
  if (hooks_.clearVirgilioCredentials)
    hooks_.clearVirgilioCredentials();
}

void HttpWebSessionPort::StartCheckTimer(uint32_t milliseconds) {
  if (hooks_.startCheckTimer)
    hooks_.startCheckTimer(milliseconds);
}

}  // namespace tarvel::web_login
