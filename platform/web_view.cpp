#include "platform/web_view.h"

#include <cstdlib>
#include <ctime>
#include <string>

#include "platform/base64.h"
#include "platform/browser_protocol.h"
#include "platform/worker_thread.h"

namespace tarvel {

namespace protocol = browser_protocol;

namespace {

constexpr std::size_t kLongestSuffix = 32;
constexpr std::size_t kLargestIconBytes = 1024 * 1024;
constexpr std::size_t kLongestCookieHost = 253;

std::mutex defaultTimeoutsMutex;
WebViewTimeouts defaultTimeouts;

// The persistent profiles live beside the program's other per-user data.
std::string ProfileFolder(const std::string& suffix) {
  std::string base;
  if (const char* dataHome = std::getenv("XDG_DATA_HOME"); dataHome && dataHome[0] == '/') {
    base = dataHome;
  } else if (const char* home = std::getenv("HOME"); home && home[0] == '/') {
    base = std::string(home) + "/.local/share";
  } else {
    return {};
  }
  return base + "/Quorline/Tarvel/browser" + suffix;
}

bool ValidSuffix(const std::string& suffix) {
  if (suffix.size() > kLongestSuffix) {
    return false;
  }
  for (const char c : suffix) {
    const bool allowed = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                         (c >= '0' && c <= '9') || c == '_' || c == '-';
    if (!allowed) {
      return false;
    }
  }
  return true;
}

constexpr char16_t kSourceScriptMode0[] =
    u"if (document.getElementById(\"webkit-xml-viewer-source-xml\")!=null) "
    u"document.getElementById(\"webkit-xml-viewer-source-xml\").innerHTML; else "
    u"document.documentElement.outerHTML;";
constexpr char16_t kSourceScriptMode1[] = u"new XMLSerializer().serializeToString(document);";

}  // namespace

WebView::WebView() : timeouts_(DefaultTimeouts()) {}

WebView::~WebView() {
  Close();
}

void WebView::SetDefaultTimeouts(const WebViewTimeouts& timeouts) {
  std::lock_guard lock(defaultTimeoutsMutex);
  defaultTimeouts = timeouts;
}

WebViewTimeouts WebView::DefaultTimeouts() {
  std::lock_guard lock(defaultTimeoutsMutex);
  return defaultTimeouts;
}

bool WebView::Create(void* context, std::uint32_t flags, const Text& folderSuffix) {
  Close();
  const std::string suffix = folderSuffix.ToUtf8();
  if (!ValidSuffix(suffix)) {
    return false;
  }
  {
    std::lock_guard lock(callbackMutex_);
    context_ = context;
  }
  flags_ = flags;
  const std::stop_token stop = WorkerThread::CurrentStopToken();
  const auto deadline = BrowserConnection::Clock::now() + timeouts_.start;
  // A helper that ends on its idle time just as it is handed out is replaced once.
  for (int attempt = 0; attempt < 2 && view_ == 0; ++attempt) {
    session_ = BrowserConnection::Shared().Acquire(stop);
    if (!session_) {
      return false;
    }
    view_ = session_->RegisterView(this);
  }
  if (view_ == 0) {
    session_.reset();
    return false;
  }
  nlohmann::json request = {{"op", "create"}, {"view", view_}, {"flags", flags}};
  if (flags & web_view_flags::kSharedProfile) {
    const std::string folder = ProfileFolder(suffix);
    if (folder.empty()) {
      Close();
      return false;
    }
    request["profile"] = folder;
  }
  if (!session_->Call(std::move(request), nullptr, deadline, stop)) {
    Close();
    return false;
  }
  return true;
}

void WebView::SetCallbacks(NavigationCallback navigation, MessageCallback message,
                           CompletionCallback completion, DownloadCallback download) {
  {
    std::lock_guard lock(callbackMutex_);
    navigationCallback_ = navigation;
    messageCallback_ = message;
    completionCallback_ = completion;
    downloadCallback_ = download;
  }
  // The helper asks only about what a callback decides.
  Call({{"op", "callbacks"},
        {"navigation", navigation != nullptr},
        {"download", download != nullptr}},
       timeouts_.call, nullptr);
}

bool WebView::Call(nlohmann::json request, std::chrono::milliseconds timeout,
                   nlohmann::json* reply) {
  if (!session_) {
    return false;
  }
  request["view"] = view_;
  return session_->Call(std::move(request), reply, BrowserConnection::Clock::now() + timeout,
                        WorkerThread::CurrentStopToken());
}

void WebView::SetCompletedUrlCallback(CompletedUrlCallback callback) {
  std::lock_guard lock(callbackMutex_);
  completedUrlCallback_ = callback;
}

void WebView::SetClosedCallback(ClosedCallback callback) {
  std::lock_guard lock(callbackMutex_);
  closedCallback_ = callback;
}

void WebView::SetCookieMirror(CookieStore* store) {
  std::lock_guard lock(callbackMutex_);
  cookieMirror_ = store;
}

bool WebView::SetIcon(const std::string& png) {
  if (png.empty() || png.size() > kLargestIconBytes) {
    return false;
  }
  return Call({{"op", "icon"}, {"png", EncodeBase64(png)}}, timeouts_.call, nullptr);
}

bool WebView::MirrorCookie(const nlohmann::json& event, CookieStore& store) {
  const auto name = protocol::StringMember(event, "name");
  const auto value = protocol::StringMember(event, "value");
  const auto domain = protocol::StringMember(event, "domain");
  const auto path = protocol::StringMember(event, "path");
  const auto expires = protocol::IntegerMember(event, "expires");
  if (!name || !value || !domain || !path || !expires || domain->empty() ||
      domain->size() > kLongestCookieHost || path->empty() || path->front() != '/') {
    return false;
  }
  // The text below must say exactly this cookie: no separators inside its parts.
  for (const std::string* part : {&*name, &*value, &*domain, &*path}) {
    if (part->find(';') != std::string::npos) {
      return false;
    }
  }
  if (name->find('=') != std::string::npos) {
    return false;
  }
  if (protocol::BoolMember(event, "removed")) {
    store.Forget(*name, *domain, *path);
    return true;
  }
  const auto url = CookieUrl::Parse("https://" + *domain + *path);
  if (!url) {
    return false;
  }
  std::string text = *name + "=" + *value + "; Path=" + *path;
  if (!protocol::BoolMember(event, "hostOnly", true)) {
    text += "; Domain=." + *domain;
  }
  if (protocol::BoolMember(event, "secure")) {
    text += "; Secure";
  }
  if (protocol::BoolMember(event, "httpOnly")) {
    text += "; HttpOnly";
  }
  if (*expires != 0) {
    const std::int64_t now = static_cast<std::int64_t>(std::time(nullptr));
    text += "; Max-Age=" + std::to_string(*expires > now ? *expires - now : 0);
  }
  return store.Store(*url, text, CookieOrigin::Program, CookieAccess::IncludingHttpOnly);
}

bool WebView::Navigate(const Text& url, NavigateWait wait) {
  nlohmann::json reply;
  const auto deadline = BrowserConnection::Clock::now() + timeouts_.navigation;
  if (!Call({{"op", "navigate"}, {"url", url.ToUtf8()}}, timeouts_.call, &reply)) {
    return false;
  }
  const auto serial = protocol::IntegerMember(reply, "navigation");
  if (!serial) {
    return false;
  }
  if (wait == NavigateWait::No) {
    return true;
  }
  const auto navigation = static_cast<std::uint64_t>(*serial);
  bool succeeded = false;
  const bool completed = session_->WaitUntil(
      [&] {
        succeeded = lastNavigationSucceeded_;
        return completedNavigation_ >= navigation;
      },
      deadline, WorkerThread::CurrentStopToken());
  if (!completed) {
    // Whatever still loads is of no use to anyone.
    session_->Post({{"op", "stop"}, {"view", view_}});
  }
  return completed && succeeded;
}

bool WebView::CurrentUrl(Text* url) {
  nlohmann::json reply;
  if (!Call({{"op", "url"}}, timeouts_.call, &reply)) {
    return false;
  }
  const auto text = protocol::StringMember(reply, "url");
  if (!text) {
    return false;
  }
  *url = Text::FromUtf8(*text);
  return true;
}

bool WebView::SetBounds(int left, int top, int right, int bottom) {
  if (right < left || bottom < top) {
    return false;
  }
  return Call({{"op", "bounds"},
               {"x", left},
               {"y", top},
               {"width", static_cast<std::int64_t>(right) - left + 1},
               {"height", static_cast<std::int64_t>(bottom) - top + 1}},
              timeouts_.call, nullptr);
}

bool WebView::SetVisible(bool visible, const Text& title) {
  return Call({{"op", "visible"}, {"visible", visible}, {"title", title.ToUtf8()}}, timeouts_.call,
              nullptr);
}

bool WebView::SetUserAgent(const Text& userAgent) {
  return Call({{"op", "userAgent"}, {"userAgent", userAgent.ToUtf8()}}, timeouts_.call, nullptr);
}

bool WebView::ExecuteScript(const Text& script, Text* result) {
  nlohmann::json reply;
  if (!Call({{"op", "script"}, {"script", script.ToUtf8()}}, timeouts_.script, &reply)) {
    return false;
  }
  const auto text = protocol::StringMember(reply, "result");
  if (!text) {
    return false;
  }
  if (result) {
    *result = Text::FromUtf8(*text);
  }
  return true;
}

bool WebView::GetDocumentSource(Text* result, bool unescape, int mode) {
  Text scriptResult;
  if (!ExecuteScript(mode == 1 ? kSourceScriptMode1 : kSourceScriptMode0, &scriptResult)) {
    return false;
  }
  return SourceFromScriptResult(scriptResult, unescape, result);
}

bool WebView::SourceFromScriptResult(const Text& scriptResult, bool unescape, Text* source) {
  const std::u16string& raw = scriptResult.units();
  // Anything but a string (null: no document) is no source.
  if (raw.size() < 2 || raw.front() != u'"' || raw.back() != u'"') {
    return false;
  }
  const Text text = unescape ? UnescapeScriptResult(scriptResult) : scriptResult;
  const std::u16string& units = text.units();
  *source =
      units.size() >= 2 ? Text(std::u16string_view(units).substr(1, units.size() - 2)) : Text();
  return true;
}

bool WebView::DeleteBrowserCookies(const Text& name, const Text& domain, const Text& path) {
  return Call({{"op", "deleteCookies"},
               {"name", name.ToUtf8()},
               {"domain", domain.ToUtf8()},
               {"path", path.ToUtf8()}},
              timeouts_.call, nullptr);
}

void WebView::Close() {
  if (!session_) {
    return;
  }
  session_->Post({{"op", "close"}, {"view", view_}});
  session_->UnregisterView(view_);
  session_.reset();
  view_ = 0;
}

bool WebView::LoadPageSource(const Text& url, Text* result, std::uint32_t settleMilliseconds) {
  WebView view;
  if (!view.Create(nullptr, web_view_flags::kSharedProfile)) {
    return false;
  }
  if (!view.Navigate(url, NavigateWait::Yes)) {
    return false;
  }
  if (settleMilliseconds > 0) {
    // Scripts of the page go on working meanwhile; only a stop request or the helper's end
    // cut the time short.
    const auto settle = std::chrono::milliseconds(settleMilliseconds < kLongestSettleMilliseconds
                                                      ? settleMilliseconds
                                                      : kLongestSettleMilliseconds);
    view.session_->WaitUntil([] { return false; }, BrowserConnection::Clock::now() + settle,
                             WorkerThread::CurrentStopToken());
    if (WorkerThread::CurrentStopToken().stop_requested() || !view.session_->alive()) {
      return false;
    }
  }
  return view.GetDocumentSource(result, true, 0);
}

Text WebView::UnescapeScriptResult(const Text& text) {
  const std::u16string& in = text.units();
  std::u16string out;
  out.reserve(in.size());
  std::size_t i = 0;
  while (i < in.size()) {
    const char16_t c = in[i];
    if (c == u'\\' && i + 1 < in.size()) {
      const char16_t next = in[i + 1];
      switch (next) {
        case u'"':
        case u'<':
        case u'[':
        case u'\\':
        case u']':
        case u'{':
        case u'}':
          out += next;
          i += 2;
          continue;
        case u'n':
          out += u'\n';
          i += 2;
          continue;
        case u'u':
          if (in.compare(i, 6, u"\\u003C") == 0) {
            out += u'<';
            i += 6;
            continue;
          }
          break;
        default:
          break;
      }
    }
    // Any other backslash stays; the character after it is looked at on its own.
    out += c;
    ++i;
  }
  return Text(out);
}

int WebView::OnEvent(const nlohmann::json& event, nlohmann::json* answer) {
  const std::string kind = protocol::StringMember(event, "event").value_or("");
  std::unique_lock lock(callbackMutex_);
  void* const context = context_;
  if (kind == "navigation") {
    const NavigationCallback callback = navigationCallback_;
    lock.unlock();
    if (!callback) {
      return 1;
    }
    const Text url = Text::FromUtf8(protocol::StringMember(event, "url").value_or(""));
    const int newWindow = protocol::BoolMember(event, "newWindow") ? 1 : 0;
    return callback(url, newWindow, context);
  }
  if (kind == "completion") {
    const CompletionCallback callback = completionCallback_;
    lock.unlock();
    const bool success = protocol::BoolMember(event, "success");
    const auto navigation = protocol::IntegerMember(event, "navigation").value_or(0);
    const CompletedUrlCallback urlCallback = completedUrlCallback_;
    // The callback first, then the waiting Navigate: it returns after the callback has run.
    if (callback) {
      callback(success, context);
    }
    if (urlCallback) {
      urlCallback(success, Text::FromUtf8(protocol::StringMember(event, "url").value_or("")),
                  context);
    }
    if (session_) {
      session_->Update([&] {
        if (navigation > 0 && static_cast<std::uint64_t>(navigation) >= completedNavigation_) {
          completedNavigation_ = static_cast<std::uint64_t>(navigation);
          lastNavigationSucceeded_ = success;
        }
      });
    }
    return 0;
  }
  if (kind == "cookie") {
    CookieStore* store = cookieMirror_;
    lock.unlock();
    if (flags_ & web_view_flags::kMirrorCookies) {
      MirrorCookie(event, store ? *store : CookieStore::Shared());
    }
    return 0;
  }
  if (kind == "closed") {
    const ClosedCallback callback = closedCallback_;
    lock.unlock();
    if (callback) {
      callback(context);
    }
    return 0;
  }
  if (kind == "message") {
    const MessageCallback callback = messageCallback_;
    lock.unlock();
    if (callback) {
      callback(Text::FromUtf8(protocol::StringMember(event, "message").value_or("")), context);
    }
    return 0;
  }
  if (kind == "download") {
    const DownloadCallback callback = downloadCallback_;
    lock.unlock();
    if (!callback) {
      return 0;
    }
    Text path = Text::FromUtf8(protocol::StringMember(event, "path").value_or(""));
    const int value = callback(0, &path, context);
    if (value == 1) {
      (*answer)["path"] = path.ToUtf8();
    }
    return value;
  }
  return 0;
}

}  // namespace tarvel
