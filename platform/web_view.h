#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>

#include "platform/browser_connection.h"
#include "platform/cookie_store.h"
#include "platform/text.h"

namespace tarvel {

// Option flags of WebView::Create.
namespace web_view_flags {
inline constexpr std::uint32_t kSharedProfile = 0x1;      // the one persistent profile
inline constexpr std::uint32_t kDirectComposition = 0x2;  // a Windows compositor switch; no effect
inline constexpr std::uint32_t kAutoplay = 0x4;           // media plays without a user gesture
inline constexpr std::uint32_t kNoSmoothScrolling = 0x8;
inline constexpr std::uint32_t kDefaultContextMenus = 0x10;
// With kSharedProfile: every cookie the profile adds or removes is written into the HTTP
// client's cookie store (CookieStore::Shared, or the one given to SetCookieMirror) while the
// view is open, so HttpSession sends what a sign-in in this profile set.
inline constexpr std::uint32_t kMirrorCookies = 0x20;
}  // namespace web_view_flags

// The callbacks of a view; each gets the context given to Create. They run on the browser
// connection's own thread, one at a time: they must be quick, and a WebView call made from
// one of them fails at once instead of waiting.
//
// Navigation: the address and 0 for a navigation of the view or 1 for a new-window request;
// 0 cancels it (a new window does not open). Download: mode 0 and the proposed file path,
// which the callback may change; 1 downloads to that path, anything else cancels the
// download (there is no download window to show it).
using NavigationCallback = int (*)(const Text& url, int newWindow, void* context);
using MessageCallback = void (*)(const Text& message, void* context);
using CompletionCallback = void (*)(bool success, void* context);
using DownloadCallback = int (*)(int mode, Text* path, void* context);
// A navigation completed, with the address the view shows then.
using CompletedUrlCallback = void (*)(bool success, const Text& url, void* context);
// The user closed the view's visible window (it is hidden; the view stays until Close).
using ClosedCallback = void (*)(void* context);

// The deadlines of a view's calls.
struct WebViewTimeouts {
  std::chrono::milliseconds start = std::chrono::seconds(30);  // Create, helper start included
  std::chrono::milliseconds navigation = std::chrono::seconds(60);
  std::chrono::milliseconds script = std::chrono::seconds(30);
  std::chrono::milliseconds call = std::chrono::seconds(10);  // every other call
};

enum class NavigateWait {
  No,
  Yes,
};

// An embedded Chromium browser view, run by the helper program tarvel-browser (see
// BrowserConnection). It is invisible until SetVisible shows it as a top-level window of the
// helper. Every call has a deadline and ends at once on the stop request of the check
// thread's routine (WorkerThread::CurrentStopToken of the calling thread); a helper that
// ends during a call makes it fail, and the next Create starts a new helper.
//
// Profiles: with kSharedProfile every view uses the one persistent profile under
// $XDG_DATA_HOME/Quorline/Tarvel/browser (a folder suffix gives a persistent profile of its
// own beside it); otherwise each view has an off-the-record profile of its own.
class WebView : private BrowserConnection::EventSink {
 public:
  static constexpr std::uint32_t kLongestSettleMilliseconds = 60000;

  WebView();
  ~WebView() override;
  WebView(const WebView&) = delete;
  WebView& operator=(const WebView&) = delete;

  // Process-wide deadlines of new views.
  static void SetDefaultTimeouts(const WebViewTimeouts& timeouts);
  static WebViewTimeouts DefaultTimeouts();
  void SetTimeouts(const WebViewTimeouts& timeouts) { timeouts_ = timeouts; }

  // True when the browser is ready. The suffix may hold letters, digits, "_" and "-".
  bool Create(void* context, std::uint32_t flags, const Text& folderSuffix = {});
  // Any may be null.
  void SetCallbacks(NavigationCallback navigation, MessageCallback message,
                    CompletionCallback completion, DownloadCallback download);
  // Beside the callbacks above; either may be null.
  void SetCompletedUrlCallback(CompletedUrlCallback callback);
  void SetClosedCallback(ClosedCallback callback);
  // The store a kMirrorCookies view writes into (null: CookieStore::Shared). Before Create.
  void SetCookieMirror(CookieStore* store);
  // The icon of the visible window: the bytes of a PNG picture (at most 1 MB).
  bool SetIcon(const std::string& png);
  // True when the navigation was started and, with a wait, completed successfully.
  bool Navigate(const Text& url, NavigateWait wait);
  bool CurrentUrl(Text* url);
  // The window's place on the screen (right and bottom inclusive), and whether it shows.
  bool SetBounds(int left, int top, int right, int bottom);
  bool SetVisible(bool visible, const Text& title = {});
  bool SetUserAgent(const Text& userAgent);
  // The JSON text of the script's value (a string in quotes with JSON escapes, "<" written
  // "\u003C"); false when the call failed or its deadline passed.
  bool ExecuteScript(const Text& script, Text* result);
  // Mode 1: the document serialised by XMLSerializer; mode 0: the source shown by the XML
  // viewer or else the root element's outer HTML. With `unescape` the JSON text passes
  // UnescapeScriptResult; then its quotes are dropped. False when the value is no string.
  bool GetDocumentSource(Text* result, bool unescape, int mode);
  bool DeleteBrowserCookies(const Text& name, const Text& domain, const Text& path);
  // Closes the view; an off-the-record profile goes with it. The object can be created again.
  void Close();

  bool created() const { return session_ != nullptr; }

  // Writes one cookie change the helper reported into a store; false when the report does not
  // describe a cookie the store takes (bounded like every cookie text).
  static bool MirrorCookie(const nlohmann::json& event, CookieStore& store);

  // Loads an address in a view of the shared profile, waits the settle time (stop request
  // honoured) and reads the source (mode 0, unescaped). True when a document was read.
  static bool LoadPageSource(const Text& url, Text* result, std::uint32_t settleMilliseconds);

  // Decodes the escapes of a script result that matter to page sources: backslash before
  // '"', '<', '[', '\\', ']', '{' or '}' gives that character, "\n" a line feed, "\u003C"
  // (upper-case C only) a '<'; every other backslash stays as it is.
  static Text UnescapeScriptResult(const Text& text);
  // The last steps of GetDocumentSource on a script result: unescaped when asked, then
  // without its quotes. False when the result is no string.
  static bool SourceFromScriptResult(const Text& scriptResult, bool unescape, Text* source);

 private:
  int OnEvent(const nlohmann::json& event, nlohmann::json* answer) override;
  bool Call(nlohmann::json request, std::chrono::milliseconds timeout, nlohmann::json* reply);

  WebViewTimeouts timeouts_;
  std::shared_ptr<BrowserConnection::Session> session_;
  std::uint64_t view_ = 0;
  std::uint32_t flags_ = 0;

  std::mutex callbackMutex_;
  void* context_ = nullptr;
  NavigationCallback navigationCallback_ = nullptr;
  MessageCallback messageCallback_ = nullptr;
  CompletionCallback completionCallback_ = nullptr;
  DownloadCallback downloadCallback_ = nullptr;
  CompletedUrlCallback completedUrlCallback_ = nullptr;
  ClosedCallback closedCallback_ = nullptr;
  CookieStore* cookieMirror_ = nullptr;

  // Under the session's lock: the last navigation the helper finished, and its outcome.
  std::uint64_t completedNavigation_ = 0;
  bool lastNavigationSucceeded_ = false;
};

}  // namespace tarvel
