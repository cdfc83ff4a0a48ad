#include "engines/web/script_engines.h"

#include <chrono>
#include <string>
#include <thread>
#include <utility>

#include "engines/web/scripts/messenger_conversations.js.h"
#include "engines/web/scripts/twitter_conversations.js.h"
#include "engines/web/web_login.h"
#include "platform/display_text.h"
#include "platform/json_document.h"
#include "platform/web_view.h"
#include "platform/worker_thread.h"

namespace tarvel {

namespace {

// A new-window request of the page is refused; its own navigations go on.
int RefuseNewWindows(const Text& url, int newWindow, void* context) {
  static_cast<void>(url);
  static_cast<void>(context);
  return newWindow == 0 ? 1 : 0;
}

class BrowserPage : public ScriptedPage {
 public:
  bool Create() {
    if (!view_.Create(nullptr, web_view_flags::kSharedProfile))
      return false;
    view_.SetCallbacks(RefuseNewWindows, nullptr, nullptr, nullptr);
    return true;
  }
  ~BrowserPage() override { view_.Close(); }

  bool Navigate(const Text& url) override { return view_.Navigate(url, NavigateWait::Yes); }
  bool CurrentUrl(Text* url) override { return view_.CurrentUrl(url); }
  bool Settle(std::uint32_t milliseconds, const std::atomic<bool>* stop) override {
    // The page renders in the helper meanwhile; only a stop request (the thread's or the
    // engine's) cuts the time short.
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
    const std::stop_token threadStop = WorkerThread::CurrentStopToken();
    const auto stopped = [&] {
      return threadStop.stop_requested() || (stop != nullptr && stop->load());
    };
    while (std::chrono::steady_clock::now() < end) {
      if (stopped())
        return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return !stopped();
  }
  bool ExecuteScript(const Text& script, Text* result) override {
    return view_.ExecuteScript(script, result);
  }
  bool DocumentSource(Text* source) override { return view_.GetDocumentSource(source, false, 0); }

 private:
  WebView view_;
};

// The reader keeps "\uXXXX" escapes as written; the browser writes "<" (and may write other
// characters) that way, so they are decoded here. Being UTF-16 units, a surrogate pair
// decodes to its character.
Text DecodeUnicodeEscapes(const Text& text) {
  const std::u16string& in = text.units();
  std::u16string out;
  out.reserve(in.size());
  for (std::size_t i = 0; i < in.size(); ++i) {
    if (in[i] == u'\\' && i + 5 < in.size() && in[i + 1] == u'u') {
      char16_t unit = 0;
      bool hex = true;
      for (std::size_t k = i + 2; k < i + 6 && hex; ++k) {
        const char16_t c = in[k];
        unit = static_cast<char16_t>(unit << 4);
        if (c >= u'0' && c <= u'9')
          unit = static_cast<char16_t>(unit | (c - u'0'));
        else if (c >= u'a' && c <= u'f')
          unit = static_cast<char16_t>(unit | (c - u'a' + 10));
        else if (c >= u'A' && c <= u'F')
          unit = static_cast<char16_t>(unit | (c - u'A' + 10));
        else
          hex = false;
      }
      if (hex) {
        out += unit;
        i += 5;
        continue;
      }
    }
    out += in[i];
  }
  return Text(std::u16string_view(out));
}

// A member's string or number as text; false when missing or not a scalar.
bool Scalar(const JsonNode* object, std::u16string_view name, Text* value) {
  if (object == nullptr || object->kind != JsonKind::Object)
    return false;
  const JsonNode* member = JsonDocument::member(object->children, name);
  if (member == nullptr || member->kind != JsonKind::Value)
    return false;
  // The document was read from UTF-8: its values are those bytes, one per unit.
  Text text(member->value);
  text.Utf8Decode();
  *value = DecodeUnicodeEscapes(text);
  return true;
}

// The conversations of a script result; null when the result is no JSON array (the script
// threw, or the page had no list).
const JsonNode* Conversations(const Text& result, JsonDocument& document) {
  if (static_cast<std::size_t>(result.length()) > ScriptedEngine::kLargestResult)
    return nullptr;
  // The result is read as UTF-8, so that names and texts beyond Latin-1 survive.
  if (!document.parse(result.ToUtf8()) || document.root() == nullptr ||
      document.root()->kind != JsonKind::Array)
    return nullptr;
  return document.root();
}

std::uint64_t TickCount() {
  return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                        std::chrono::steady_clock::now().time_since_epoch())
                                        .count());
}

}  // namespace

std::unique_ptr<ScriptedPage> OpenBrowserPage() {
  auto page = std::make_unique<BrowserPage>();
  if (!page->Create())
    return nullptr;
  return page;
}

ScriptedEngine::ScriptedEngine(const AccountTypeInfo& type, ScriptedPageOpener opener)
    : MailEngine(type), opener_(opener ? std::move(opener) : ScriptedPageOpener(OpenBrowserPage)) {}

Text ScriptedEngine::GetDisplayName() const {
  return Text(type().displayName);
}

std::unique_ptr<ScriptedPage> ScriptedEngine::Open() {
  std::unique_ptr<ScriptedPage> page = opener_();
  if (!page)
    Failed(u"the browser cannot run");
  return page;
}

CheckStatus ScriptedEngine::Failed(std::u16string_view reason) {
  lastFailure = reason;
  lastFailureKind = FailureKind::Transient;
  return CheckStatus::Failure;
}

CheckStatus ScriptedEngine::Stopped() {
  return Failed(u"the check was stopped");
}

bool ScriptedEngine::Settle(ScriptedPage& page) {
  return !stopRequested() && page.Settle(settle_, stopSignal()) && !stopRequested();
}

CheckStatus ScriptedEngine::SignedOut(std::u16string_view reason) {
  lastFailure = reason;
  return CheckStatus::LoginNeeded;
}

// --- Messenger ---------------------------------------------------------------------------

MessengerEngine::MessengerEngine(const AccountTypeInfo& type, ScriptedPageOpener opener)
    : ScriptedEngine(type, std::move(opener)) {}

Text MessengerEngine::lastText() const {
  std::lock_guard lock(mutex_);
  return lastText_;
}

bool MessengerEngine::IsSignedInAddress(const Text& url) {
  const Text list = Text(u"https://").Append(web_login::hosts::kMessenger).Append(u"/t/");
  return url.Find(list.view()) == 0 && url.length() != list.length();
}

CheckStatus MessengerEngine::Check() {
  std::unique_ptr<ScriptedPage> page = Open();
  if (!page)
    return CheckStatus::Failure;
  if (!page->Navigate(Text(u"https://").Append(web_login::hosts::kMessengerDomain).Append(u"/t/")))
    return Failed(u"the Messenger app did not load");
  Text url;
  if (!page->CurrentUrl(&url))
    return Failed(u"the browser did not answer");
  if (!IsSignedInAddress(url))
    return SignedOut(u"the Messenger app shows no conversation");
  if (!Settle(*page))
    return Stopped();
  Text result;
  if (!page->ExecuteScript(Text::FromUtf8(k_messenger_conversations_script), &result))
    return Failed(u"the conversation script did not run");
  return ReadConversations(result);
}

CheckStatus MessengerEngine::ReadConversations(const Text& result) {
  JsonDocument document;
  const JsonNode* list = Conversations(result, document);
  if (list == nullptr)
    return SignedOut(u"the Messenger app shows no conversation list");
  bool first = true;
  std::size_t walked = 0;
  for (const JsonNode* row = list->children; row != nullptr && walked < kMostConversations;
       row = row->next, ++walked) {
    Text unread;
    if (!Scalar(row, u"unread", &unread))
      break;
    if (unread != u"1")
      continue;
    Text user;
    Text text;
    if (!Scalar(row, u"user", &user) || !Scalar(row, u"text", &text))
      continue;
    Text date;
    if (first) {
      first = false;
      std::lock_guard lock(mutex_);
      if (text != lastText_.view()) {
        lastText_ = text;
        date = Text::FromUtf8(std::to_string(TickCount()));
      }
    }
    AddMail(std::make_unique<MailItem>(CutText(user, kLongestField), CutText(text, kLongestField),
                                       Text(), std::move(date)),
            MailOrder::AsReported);
  }
  return CheckStatus::Success;
}

// --- Twitter -----------------------------------------------------------------------------

TwitterEngine::TwitterEngine(const AccountTypeInfo& type, ScriptedPageOpener opener)
    : ScriptedEngine(type, std::move(opener)) {}

bool TwitterEngine::IsSignedInSource(const Text& source) {
  return source.Find(u"\\\"screen_name\\\":\\\"") != Text::kNotFound;
}

CheckStatus TwitterEngine::Check() {
  std::unique_ptr<ScriptedPage> page = Open();
  if (!page)
    return CheckStatus::Failure;
  if (!page->Navigate(Text(u"https://").Append(web_login::hosts::kX).Append(u"/messages/")))
    return Failed(u"the X app did not load");
  if (!Settle(*page))
    return Stopped();
  Text source;
  if (!page->DocumentSource(&source))
    return Failed(u"the browser did not answer");
  if (!IsSignedInSource(source))
    return SignedOut(u"the X app shows no signed-in user");
  Text result;
  if (!page->ExecuteScript(Text::FromUtf8(k_twitter_conversations_script), &result))
    return Failed(u"the conversation script did not run");
  return ReadConversations(result);
}

CheckStatus TwitterEngine::ReadConversations(const Text& result) {
  JsonDocument document;
  const JsonNode* list = Conversations(result, document);
  if (list == nullptr)
    return SignedOut(u"the X app shows no conversation list");
  std::size_t walked = 0;
  for (const JsonNode* row = list->children; row != nullptr && walked < kMostConversations;
       row = row->next, ++walked) {
    Text weight;
    if (!Scalar(row, u"unread", &weight))
      break;
    if (weight != u"500")
      continue;
    Text user;
    Text text;
    Text time;
    if (!Scalar(row, u"user", &user) || !Scalar(row, u"text", &text) ||
        !Scalar(row, u"time", &time))
      continue;
    const Text::Position lineEnd = user.FindChar(u'\n');
    if (lineEnd != Text::kNotFound)
      user.Truncate(lineEnd);
    AddMail(std::make_unique<MailItem>(CutText(user, kLongestField), CutText(text, kLongestField),
                                       Text(), CutText(time, kLongestField)),
            MailOrder::SortedByDate);
  }
  return CheckStatus::Success;
}

std::unique_ptr<MailEngine> CreateMessengerEngine(const AccountTypeInfo& type,
                                                  const SettingsStore* settings) {
  static_cast<void>(settings);
  return std::make_unique<MessengerEngine>(type);
}

std::unique_ptr<MailEngine> CreateTwitterEngine(const AccountTypeInfo& type,
                                                const SettingsStore* settings) {
  static_cast<void>(settings);
  return std::make_unique<TwitterEngine>(type);
}

}  // namespace tarvel
