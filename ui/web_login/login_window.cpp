#include "ui/web_login/login_window.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMetaObject>
#include <QPointer>

#include <algorithm>

#include "accounts/account_type_bits.h"
#include "engines/web/web_session_port.h"
#include "platform/http_session.h"
#include "platform/web_view.h"
#include "resources/string_table.h"

namespace tarvel {

namespace {

using web_login::LoginAction;
using Kind = LoginAction::Kind;

constexpr int kFirstTimer = web_login::kTimerRememberMe;
// Form reports longer than this are not ours.
constexpr qsizetype kLongestFormMessage = 8 * 1024;

// Reports the first two input fields of Virgilio's page as they change and when the form is
// sent, so their values are known when the sign-in form's address comes up.
constexpr char16_t kFormWatchScript[] =
    u"(function () {"
    u"  if (window.__tarvelFormWatch) return;"
    u"  window.__tarvelFormWatch = true;"
    u"  function send() {"
    u"    var inputs = document.getElementsByTagName('input');"
    u"    if (inputs.length == 0 || !window.chrome || !window.chrome.webview) return;"
    u"    window.chrome.webview.postMessage(JSON.stringify({tarvelForm: [inputs[0].value,"
    u"      inputs.length > 1 ? inputs[1].value : '']}));"
    u"  }"
    u"  document.addEventListener('input', send, true);"
    u"  document.addEventListener('change', send, true);"
    u"  document.addEventListener('submit', send, true);"
    u"  send();"
    u"})();";

bool HasAction(const std::vector<LoginAction>& actions, Kind kind) {
  return std::any_of(actions.begin(), actions.end(),
                     [kind](const LoginAction& action) { return action.kind == kind; });
}

}  // namespace

LoginWindow::LoginWindow(uint32_t typeBit, SettingsStore& store, Options options, QObject* parent)
    : QObject(parent),
      typeBit_(typeBit),
      type_(web_login::FindWebType(typeBit)),
      store_(store),
      options_(std::move(options)),
      rules_(typeBit) {
  for (std::size_t i = 0; i < timers_.size(); ++i) {
    const int timer = kFirstTimer + static_cast<int>(i);
    connect(&timers_[i], &QTimer::timeout, this, [this, timer] { OnTimer(timer); });
  }
  if (!options_.availableArea.isEmpty())
    placement_ = Placement(kPreferredSize, options_.availableArea);
}

LoginWindow::~LoginWindow() {
  // A view call that runs ends at once on the stop request; the worker then closes the view,
  // whose callbacks (which use this object) have all returned once it is closed.
  worker_.requestStop();
  queueChanged_.notify_all();
  worker_.waitFinished(0);
}

QRect LoginWindow::Placement(QSize preferred, const QRect& area) {
  const int width = std::min(preferred.width(), area.width());
  const int height = std::min(preferred.height(), area.height());
  if (width < preferred.width() || height < preferred.height())
    return QRect(area.topLeft(), QSize(width, height));
  return QRect(area.x() + (area.width() - width) / 2, area.y() + (area.height() - height) / 2,
               width, height);
}

Text LoginWindow::ProfileSuffix(uint32_t typeBit) {
  switch (typeBit) {
    case type_bits::kImap1:
      return Text(u"_IMAP1");
    case type_bits::kImap2:
      return Text(u"_IMAP2");
    case type_bits::kImap3:
      return Text(u"_IMAP3");
    default:
      break;
  }
  const web_login::WebType* type = web_login::FindWebType(typeBit);
  if (type && type->browser == web_login::BrowserKind::MirroredCookies)
    return Text(kMirroredProfileSuffix);
  return Text();
}

bool LoginWindow::Open() {
  if (!type_ || finished_)
    return false;
  if ((typeBit_ & type_bits::kAllImap) != 0 && !options_.beginOAuth)
    return false;
  return worker_.start([this]() -> uint32_t { return RunWorker(); });
}

void LoginWindow::BringToFront() {
  if (finished_)
    return;
  Post([](WebView& view) { view.SetVisible(true, Text(kProgramTitle)); });
}

void LoginWindow::Abort() {
  Finish(Outcome::ClosedByUser);
}

void LoginWindow::Post(Task task) {
  {
    std::lock_guard lock(queueMutex_);
    tasks_.push_back(std::move(task));
  }
  queueChanged_.notify_all();
}

void LoginWindow::PostActions(std::vector<LoginAction> actions) {
  if (actions.empty())
    return;
  QMetaObject::invokeMethod(
      this, [this, actions = std::move(actions)] { Apply(actions); }, Qt::QueuedConnection);
}

uint32_t LoginWindow::RunWorker() {
  const std::stop_token stop = WorkerThread::CurrentStopToken();
  WebView view;
  if (!CreateView(view, stop)) {
    // The end goes through the queue like every other, so it is reported once.
    view.Close();
    QMetaObject::invokeMethod(
        this, [this] { Finish(Outcome::Failed); }, Qt::QueuedConnection);
  }
  for (;;) {
    Task task;
    {
      std::unique_lock lock(queueMutex_);
      if (!queueChanged_.wait(lock, stop, [this] { return !tasks_.empty() || quit_; }))
        break;  // the window goes
      if (tasks_.empty())
        break;  // finished: every task before the end has run
      task = std::move(tasks_.front());
      tasks_.pop_front();
    }
    task(view);
  }
  view.Close();
  return 0;
}

bool LoginWindow::CreateView(WebView& view, std::stop_token stop) {
  Text startUrl;
  if ((typeBit_ & type_bits::kAllImap) != 0) {
    Text script;
    if (!options_.beginOAuth(&startUrl, &script, stop))
      return false;
    std::lock_guard lock(rulesMutex_);
    pendingScript_ = script;
  } else {
    startUrl = web_login::StartPage(typeBit_, options_.startPage);
  }
  if (startUrl.isEmpty())
    return false;
  uint32_t flags = web_view_flags::kSharedProfile;
  if (type_->browser == web_login::BrowserKind::MirroredCookies)
    flags |= web_view_flags::kMirrorCookies;
  if (!view.Create(this, flags, ProfileSuffix(typeBit_)))
    return false;
  view.SetCallbacks(&NavigationThunk, &MessageThunk, nullptr, nullptr);
  view.SetCompletedUrlCallback(&CompletedThunk);
  view.SetClosedCallback(&ClosedThunk);
  if (!type_->userAgent.empty())
    view.SetUserAgent(Text(type_->userAgent));
  if (!options_.iconPng.empty())
    view.SetIcon(options_.iconPng);
  if (!placement_.isEmpty()) {
    view.SetBounds(placement_.left(), placement_.top(), placement_.right(), placement_.bottom());
  }
  if (!view.SetVisible(true, Text(kProgramTitle)))
    return false;
  return view.Navigate(startUrl, NavigateWait::No);
}

int LoginWindow::NavigationThunk(const Text& url, int newWindow, void* context) {
  return static_cast<LoginWindow*>(context)->OnNavigation(url, newWindow != 0);
}

void LoginWindow::MessageThunk(const Text& message, void* context) {
  static_cast<LoginWindow*>(context)->OnMessage(message);
}

void LoginWindow::CompletedThunk(bool success, const Text& url, void* context) {
  static_cast<LoginWindow*>(context)->OnCompleted(success, url);
}

void LoginWindow::ClosedThunk(void* context) {
  auto* window = static_cast<LoginWindow*>(context);
  QMetaObject::invokeMethod(
      window, [window] { window->Finish(Outcome::ClosedByUser); }, Qt::QueuedConnection);
}

int LoginWindow::OnNavigation(const Text& url, bool newWindow) {
  std::vector<LoginAction> actions;
  {
    std::lock_guard lock(rulesMutex_);
    if (type_->browser == web_login::BrowserKind::SharedProfile) {
      actions = rules_.OnNavigation(url, newWindow);
      if (HasAction(actions, Kind::HandOAuthResult))
        oauthAnswerSeen_ = true;
    } else if (newWindow) {
      actions = rules_.OnClassicNewWindow(url);
    } else {
      actions = rules_.OnClassicEvent(web_login::LoginRules::ClassicEvent::BeforeNavigate, url);
      // The form being sent is the page's as it last reported it; a page without input
      // fields (the start page's own navigation) sends no form.
      if (HasAction(actions, Kind::ReadVirgilioForm) && formFields_) {
        rules_.MarkLoginPosted();
        const std::pair<Text, Text> fields = *formFields_;
        QMetaObject::invokeMethod(
            this,
            [this, fields] {
              std::lock_guard guard(rulesMutex_);
              rules_.VirgilioFormRead(fields.first, fields.second, store_);
            },
            Qt::QueuedConnection);
      }
    }
  }
  const bool refuse = HasAction(actions, Kind::RefuseNavigation);
  PostActions(std::move(actions));
  return refuse ? 0 : 1;
}

void LoginWindow::OnCompleted(bool success, const Text& url) {
  std::vector<LoginAction> actions;
  bool watchForm = false;
  {
    std::lock_guard lock(rulesMutex_);
    const bool firstLoad = !loadSeen_;
    loadSeen_ = true;
    // An IMAP sign-in whose provider page did not load (no network, a refused certificate)
    // shows the user nothing to sign in with: the window ends as not shown, and the sign-in
    // can go another way. The loopback address the provider sends the browser back to does
    // not load either; that is the answer, not a failure.
    if (firstLoad && !success && (typeBit_ & type_bits::kAllImap) != 0 && !oauthAnswerSeen_) {
      QMetaObject::invokeMethod(
          this, [this] { Finish(Outcome::Failed); }, Qt::QueuedConnection);
      return;
    }
    formFields_.reset();
    onVirgilioPage_ = web_login::IsVirgilioPage(url);
    if (type_->browser == web_login::BrowserKind::SharedProfile) {
      actions = rules_.OnCompletion(!pendingScript_.isEmpty());
    } else {
      // The classic control reports the navigation's end before the document's.
      actions = rules_.OnClassicEvent(web_login::LoginRules::ClassicEvent::NavigationComplete, url);
      if (!HasAction(actions, Kind::Close)) {
        std::vector<LoginAction> more =
            rules_.OnClassicEvent(web_login::LoginRules::ClassicEvent::DocumentComplete, url);
        actions.insert(actions.end(), more.begin(), more.end());
      }
      watchForm = typeBit_ == type_bits::kVirgilio && web_login::IsVirgilioPage(url);
    }
  }
  if (watchForm && !HasAction(actions, Kind::Close)) {
    // Only Virgilio's own pages are watched, and only their reports are taken.
    Post([](WebView& view) { view.ExecuteScript(Text(kFormWatchScript), nullptr); });
  }
  PostActions(std::move(actions));
}

void LoginWindow::OnMessage(const Text& message) {
  if (typeBit_ != type_bits::kVirgilio)
    return;
  const QString text = QString::fromStdU16String(message.units());
  if (text.size() > kLongestFormMessage)
    return;
  const QJsonDocument document = QJsonDocument::fromJson(text.toUtf8());
  const QJsonArray fields = document.object().value(u"tarvelForm").toArray();
  if (fields.size() != 2 || !fields[0].isString() || !fields[1].isString())
    return;
  const std::u16string first = fields[0].toString().toStdU16String();
  const std::u16string second = fields[1].toString().toStdU16String();
  std::lock_guard lock(rulesMutex_);
  // Only the reports of Virgilio's own pages are taken.
  if (!onVirgilioPage_)
    return;
  formFields_.emplace(Text(std::u16string_view(first)), Text(std::u16string_view(second)));
}

void LoginWindow::Apply(const std::vector<LoginAction>& actions) {
  for (const LoginAction& action : actions) {
    if (finished_)
      return;
    switch (action.kind) {
      case Kind::StartTimer:
        if (action.timer >= kFirstTimer && action.timer < kFirstTimer + 4)
          timers_[static_cast<std::size_t>(action.timer - kFirstTimer)].start(
              static_cast<int>(action.milliseconds));
        break;
      case Kind::StopTimer:
        if (action.timer >= kFirstTimer && action.timer < kFirstTimer + 4)
          timers_[static_cast<std::size_t>(action.timer - kFirstTimer)].stop();
        break;
      case Kind::Close:
        Finish(Outcome::SignedIn);
        return;
      case Kind::RunScript: {
        Text script;
        if (action.script.empty()) {
          std::lock_guard lock(rulesMutex_);
          script = std::move(pendingScript_);
          pendingScript_ = Text();
        } else {
          script = Text(action.script);
        }
        if (!script.isEmpty())
          Post([script](WebView& view) { view.ExecuteScript(script, nullptr); });
        break;
      }
      case Kind::SaveCookieSet: {
        // The mirrored cookies are in the HTTP client's store by now (the helper reports
        // them as they are set, before the page that follows completes); reading them is a
        // read of a local file.
        HttpSession http;
        web_login::HttpWebSessionPort port(http, {});
        web_login::SaveCookieSet(store_, port, typeBit_, action.parts);
        break;
      }
      case Kind::NavigateSameView: {
        const Text url = action.url.isEmpty() ? keptNewWindowUrl_ : action.url;
        if (!url.isEmpty())
          Post([url](WebView& view) { view.Navigate(url, NavigateWait::No); });
        break;
      }
      case Kind::KeepNewWindowUrl:
        keptNewWindowUrl_ = action.url;
        break;
      case Kind::HandOAuthResult: {
        if (!options_.completeOAuth)
          break;
        const Text url = action.url;
        Post([this, url](WebView&) {
          if (oauthHanded_)
            return;  // the first answer counts
          oauthHanded_ = true;
          oauthSignedIn_ = options_.completeOAuth(url, WorkerThread::CurrentStopToken());
        });
        break;
      }
      case Kind::SetLoginPosted:
      case Kind::ReadVirgilioForm:  // done when the navigation was asked about
      case Kind::RefuseNavigation:  // answered to the helper
        break;
    }
  }
}

void LoginWindow::OnTimer(int timer) {
  std::vector<LoginAction> actions;
  {
    std::lock_guard lock(rulesMutex_);
    actions = rules_.OnTimer(timer);
  }
  Apply(actions);
}

void LoginWindow::Finish(Outcome outcome) {
  if (finished_)
    return;
  finished_ = true;
  for (QTimer& timer : timers_)
    timer.stop();
  const bool imap = (typeBit_ & type_bits::kAllImap) != 0;
  QPointer<LoginWindow> self(this);
  const auto report = [self](Outcome final) {
    QMetaObject::invokeMethod(
        self.data(),
        [self, final] {
          if (self && self->closedHandler_)
            self->closedHandler_(final);
        },
        Qt::QueuedConnection);
  };
  if (!worker_.isFinished()) {
    // After the tasks before it (an authorisation answer being exchanged) the view closes,
    // then the end is reported.
    Post([this, outcome, imap, report](WebView& view) {
      view.Close();
      Outcome final = outcome;
      if (imap && outcome == Outcome::SignedIn)
        final = oauthSignedIn_ ? Outcome::SignedIn : Outcome::NotSignedIn;
      report(final);
    });
    {
      std::lock_guard lock(queueMutex_);
      quit_ = true;
    }
    queueChanged_.notify_all();
  } else {
    report(outcome);
  }
}

}  // namespace tarvel
