#include "browser/browser_server.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QAuthenticator>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QIcon>
#include <QNetworkCookie>
#include <QPixmap>
#include <QSocketNotifier>
#include <QSslCertificate>
#include <QTimer>
#include <QWebChannel>
#include <QWebEngineCertificateError>
#include <QWebEngineCookieStore>
#include <QWebEngineDownloadRequest>
#include <QWebEngineNewWindowRequest>
#include <QWebEnginePage>
#include <QWebEngineProfile>
#include <QWebEngineScript>
#include <QWebEngineScriptCollection>
#include <QWebEngineSettings>
#include <QWebEngineUrlRequestInterceptor>
#include <QWebEngineView>

#include <cerrno>
#include <charconv>
#include <chrono>
#include <cmath>
#include <functional>

#include "browser/message_bridge.h"

namespace tarvel::browser {

namespace protocol = browser_protocol;

namespace {

// Script values nested deeper than this come back as null.
constexpr int kDeepestScriptValue = 64;
constexpr std::size_t kLongestPath = 4096;
// Window icons are small pictures; anything larger is refused.
constexpr std::size_t kLargestIconBytes = 1024 * 1024;
// Option flag of a view whose profile's cookies are reported to the notifier.
constexpr std::uint32_t kMirrorCookiesFlag = 0x20;

// Writes a script's value as JSON text, the way Chromium's script results are written.
void AppendScriptValue(std::string& out, const QVariant& value, int depth) {
  if (depth > kDeepestScriptValue) {
    out += "null";
    return;
  }
  switch (value.typeId()) {
    case QMetaType::Bool:
      out += value.toBool() ? "true" : "false";
      return;
    case QMetaType::Int:
    case QMetaType::UInt:
    case QMetaType::LongLong:
    case QMetaType::ULongLong:
    case QMetaType::Double:
    case QMetaType::Float: {
      const double number = value.toDouble();
      if (!std::isfinite(number)) {
        out += "null";
        return;
      }
      char buffer[64];
      const auto written = std::to_chars(buffer, buffer + sizeof buffer, number);
      out.append(buffer, written.ptr);
      return;
    }
    case QMetaType::QString:
      protocol::AppendScriptJsonString(out, value.toString().toStdString());
      return;
    case QMetaType::QVariantList: {
      out += '[';
      bool first = true;
      for (const QVariant& item : value.toList()) {
        if (!first) {
          out += ',';
        }
        first = false;
        AppendScriptValue(out, item, depth + 1);
      }
      out += ']';
      return;
    }
    case QMetaType::QVariantMap: {
      out += '{';
      bool first = true;
      const QVariantMap map = value.toMap();
      for (auto it = map.begin(); it != map.end(); ++it) {
        if (!first) {
          out += ',';
        }
        first = false;
        protocol::AppendScriptJsonString(out, it.key().toStdString());
        out += ':';
        AppendScriptValue(out, it.value(), depth + 1);
      }
      out += '}';
      return;
    }
    default:
      out += "null";
  }
}

// window.chrome.webview.postMessage, over the web channel to the helper.
QString MessageScript() {
  QFile channelScript(QStringLiteral(":/qtwebchannel/qwebchannel.js"));
  QString script;
  if (channelScript.open(QIODevice::ReadOnly)) {
    script = QString::fromUtf8(channelScript.readAll());
  }
  script += QStringLiteral(
      "\n(function() {\n"
      "  if (window.chrome && window.chrome.webview) return;\n"
      "  var pending = [], host = null;\n"
      "  function post(value) {\n"
      "    var text = typeof value === 'string' ? value : JSON.stringify(value);\n"
      "    if (text === undefined) text = 'null';\n"
      "    if (host) host.post(text); else pending.push(text);\n"
      "  }\n"
      "  window.chrome = window.chrome || {};\n"
      "  window.chrome.webview = { postMessage: post };\n"
      "  new QWebChannel(qt.webChannelTransport, function(channel) {\n"
      "    host = channel.objects.tarvelHost;\n"
      "    pending.forEach(function(text) { host.post(text); });\n"
      "    pending = [];\n"
      "  });\n"
      "})();\n");
  return script;
}

class UserAgentInterceptor : public QWebEngineUrlRequestInterceptor {
 public:
  using QWebEngineUrlRequestInterceptor::QWebEngineUrlRequestInterceptor;
  void interceptRequest(QWebEngineUrlRequestInfo& info) override {
    if (!userAgent.isEmpty()) {
      info.setHttpHeader("User-Agent", userAgent);
    }
  }
  QByteArray userAgent;
};

}  // namespace

// A view's own top-level window; the user's closing of it is reported (the window hides).
class TopLevelView : public QWebEngineView {
 public:
  explicit TopLevelView(std::function<void()> closedByUser)
      : closedByUser_(std::move(closedByUser)) {}

 protected:
  void closeEvent(QCloseEvent* event) override {
    QWebEngineView::closeEvent(event);
    if (closedByUser_) {
      closedByUser_();
    }
  }

 private:
  std::function<void()> closedByUser_;
};

// One cookie of a profile as the notifier's mirror takes it.
nlohmann::json CookieEvent(std::uint64_t view, const QNetworkCookie& cookie, bool removed) {
  QString domain = cookie.domain();
  const bool hostOnly = !domain.startsWith(u'.');
  while (domain.startsWith(u'.')) {
    domain.remove(0, 1);
  }
  return {{"event", "cookie"},
          {"view", view},
          {"removed", removed},
          {"name", cookie.name().toStdString()},
          {"value", cookie.value().toStdString()},
          {"domain", domain.toStdString()},
          {"hostOnly", hostOnly},
          {"path", cookie.path().isEmpty() ? std::string("/") : cookie.path().toStdString()},
          {"secure", cookie.isSecure()},
          {"httpOnly", cookie.isHttpOnly()},
          {"expires", cookie.isSessionCookie()
                          ? std::int64_t{0}
                          : static_cast<std::int64_t>(cookie.expirationDate().toSecsSinceEpoch())}};
}

class BrowserPage : public QWebEnginePage {
 public:
  BrowserPage(QWebEngineProfile* profile, BrowserServer& server, std::uint64_t view)
      : QWebEnginePage(profile), server_(server), view_(view) {}

 protected:
  bool acceptNavigationRequest(const QUrl& url, NavigationType type, bool isMainFrame) override;
  void javaScriptConsoleMessage(JavaScriptConsoleMessageLevel, const QString&, int,
                                const QString&) override {}

 private:
  BrowserServer& server_;
  std::uint64_t view_;
};

struct View {
  std::uint64_t id = 0;
  std::uint32_t flags = 0;
  QWebEngineProfile* ownProfile = nullptr;  // off-the-record, goes with the view
  std::unique_ptr<BrowserPage> page;
  std::unique_ptr<TopLevelView> window;
  std::vector<std::unique_ptr<BrowserPage>> popups;
  std::unique_ptr<UserAgentInterceptor> interceptor;
  bool askNavigation = false;
  bool askDownload = false;
  bool messages = false;
  bool mirrorCookies = false;    // the profile's cookie changes are reported with this view's id
  std::uint64_t navigation = 0;  // serial of the notifier's last navigation request
  bool awaitingStart = false;    // that navigation has not been asked about yet
  QUrl declinedChallenge;        // the address whose authentication challenge was declined
  QRect bounds;
  QIcon icon;

  ~View() {
    window.reset();
    popups.clear();
    page.reset();
    delete ownProfile;
  }
};

bool BrowserPage::acceptNavigationRequest(const QUrl& url, NavigationType, bool isMainFrame) {
  View* view = server_.FindView(view_);
  if (!isMainFrame || !view) {
    return true;
  }
  // From here on, the load that ends is the one the notifier asked for last.
  view->awaitingStart = false;
  view->declinedChallenge.clear();
  if (!view->askNavigation) {
    return true;
  }
  // A refused navigation ends as a failed load, which completes it.
  return server_.Ask({{"event", "navigation"},
                      {"view", view_},
                      {"url", url.toString().toStdString()},
                      {"newWindow", false}}) != 0;
}

BrowserServer::BrowserServer(int socket, std::vector<std::string> authorityFiles)
    : socket_(socket), certificates_(std::move(authorityFiles)) {
  notifier_ = new QSocketNotifier(socket_, QSocketNotifier::Read, this);
  connect(notifier_, &QSocketNotifier::activated, this, [this] { ReadSocket(); });
}

BrowserServer::~BrowserServer() {
  // Pages before their profiles.
  views_.clear();
  for (auto& [folder, profile] : profiles_) {
    delete profile;
  }
  ::close(socket_);
}

bool BrowserServer::SendHello() {
  return Send({{"event", "hello"}, {"version", protocol::kVersion}});
}

bool BrowserServer::Send(const nlohmann::json& message) {
  const std::string frame = protocol::EncodeFrame(message);
  if (frame.empty()) {
    return false;
  }
  std::size_t sent = 0;
  while (sent < frame.size()) {
    const ssize_t written = ::send(socket_, frame.data() + sent, frame.size() - sent, MSG_NOSIGNAL);
    if (written < 0 && errno == EINTR) {
      continue;
    }
    if (written <= 0) {
      Quit();
      return false;
    }
    sent += static_cast<std::size_t>(written);
  }
  return true;
}

void BrowserServer::SendEvent(nlohmann::json event) {
  Send(event);
}

void BrowserServer::Quit() {
  if (!quitting_) {
    quitting_ = true;
    notifier_->setEnabled(false);
    QCoreApplication::quit();
  }
}

bool BrowserServer::ReadAvailable() {
  char buffer[64 * 1024];
  for (;;) {
    const ssize_t got = ::recv(socket_, buffer, sizeof buffer, MSG_DONTWAIT);
    if (got > 0) {
      reader_.Append(buffer, static_cast<std::size_t>(got));
      continue;
    }
    if (got < 0 && errno == EINTR) {
      continue;
    }
    if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      return true;
    }
    Quit();  // the notifier has gone
    return false;
  }
}

void BrowserServer::ReadSocket() {
  if (quitting_ || !ReadAvailable()) {
    return;
  }
  for (;;) {
    nlohmann::json message;
    const auto status = reader_.Next(&message);
    if (status == protocol::FrameReader::Status::NeedMore) {
      break;
    }
    if (status == protocol::FrameReader::Status::Malformed) {
      Quit();
      return;
    }
    queued_.push_back(std::move(message));
  }
  HandleQueued();
}

void BrowserServer::HandleQueued() {
  queueScheduled_ = false;
  while (!queued_.empty() && !quitting_) {
    const nlohmann::json message = std::move(queued_.front());
    queued_.pop_front();
    Handle(message);
  }
}

int BrowserServer::Ask(nlohmann::json question, nlohmann::json* answer) {
  const std::uint64_t ask = nextAsk_++;
  question["ask"] = ask;
  if (quitting_ || !Send(question)) {
    return 0;
  }
  const auto deadline = std::chrono::steady_clock::now() +
                        std::chrono::milliseconds(protocol::kAnswerTimeoutMilliseconds);
  int value = 0;
  bool answered = false;
  while (!answered && !quitting_) {
    nlohmann::json message;
    const auto status = reader_.Next(&message);
    if (status == protocol::FrameReader::Status::Malformed) {
      Quit();
      break;
    }
    if (status == protocol::FrameReader::Status::Frame) {
      if (protocol::IntegerMember(message, "answer") == static_cast<std::int64_t>(ask)) {
        value = static_cast<int>(protocol::IntegerMember(message, "value").value_or(0));
        if (answer) {
          *answer = std::move(message);
        }
        answered = true;
      } else {
        queued_.push_back(std::move(message));
      }
      continue;
    }
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      break;
    }
    pollfd readable{socket_, POLLIN, 0};
    if (::poll(&readable, 1, static_cast<int>(left.count())) < 0 && errno != EINTR) {
      Quit();
      break;
    }
    if (readable.revents != 0 && !ReadAvailable()) {
      break;
    }
  }
  // Requests that came in meanwhile run once this question's caller is done.
  if (!queued_.empty() && !queueScheduled_) {
    queueScheduled_ = true;
    QTimer::singleShot(0, this, [this] { HandleQueued(); });
  }
  return value;
}

View* BrowserServer::FindView(std::uint64_t id) {
  const auto found = views_.find(id);
  return found == views_.end() ? nullptr : found->second.get();
}

void BrowserServer::Reply(const nlohmann::json& request, bool ok, nlohmann::json reply) {
  const auto id = protocol::IntegerMember(request, "id");
  if (!id) {
    return;
  }
  if (!reply.is_object()) {
    reply = nlohmann::json::object();
  }
  reply["re"] = *id;
  reply["ok"] = ok;
  // An answer too large for a frame (a page source beyond the limit) still gets an answer.
  if (!Send(reply) && !quitting_) {
    Send({{"re", *id}, {"ok", false}});
  }
}

QWebEngineProfile* BrowserServer::SharedProfile(const QString& folder) {
  const auto found = profiles_.find(folder);
  if (found != profiles_.end()) {
    return found->second;
  }
  if (!QDir().mkpath(folder)) {
    return nullptr;
  }
  ::chmod(QFile::encodeName(folder).constData(), 0700);
  auto* profile = new QWebEngineProfile(
      QStringLiteral("tarvel-%1").arg(static_cast<qulonglong>(profiles_.size())), this);
  profile->setPersistentStoragePath(folder);
  profile->setCachePath(folder + QStringLiteral("/cache"));
  // Session cookies too: a sign-in must outlive the helper, which ends when idle.
  profile->setPersistentCookiesPolicy(QWebEngineProfile::ForcePersistentCookies);
  connect(profile, &QWebEngineProfile::downloadRequested, this,
          [this](QWebEngineDownloadRequest* download) { OnDownload(download); });
  profiles_[folder] = profile;
  return profile;
}

void BrowserServer::Create(const nlohmann::json& request, std::uint64_t id) {
  if (id == 0 || views_.count(id) != 0) {
    Reply(request, false);
    return;
  }
  auto view = std::make_unique<View>();
  view->id = id;
  view->flags = static_cast<std::uint32_t>(protocol::IntegerMember(request, "flags").value_or(0));
  QWebEngineProfile* profile = nullptr;
  if (const auto folder = protocol::StringMember(request, "profile")) {
    const QString path = QString::fromStdString(*folder);
    if (!QDir::isAbsolutePath(path) || folder->size() > kLongestPath) {
      Reply(request, false);
      return;
    }
    profile = SharedProfile(path);
  } else {
    view->ownProfile = new QWebEngineProfile(this);
    connect(view->ownProfile, &QWebEngineProfile::downloadRequested, this,
            [this](QWebEngineDownloadRequest* download) { OnDownload(download); });
    profile = view->ownProfile;
  }
  if (!profile) {
    Reply(request, false);
    return;
  }
  view->page = std::make_unique<BrowserPage>(profile, *this, id);
  BrowserPage* page = view->page.get();
  view->interceptor = std::make_unique<UserAgentInterceptor>();
  page->setUrlRequestInterceptor(view->interceptor.get());
  QWebEngineSettings* settings = page->settings();
  settings->setAttribute(QWebEngineSettings::PlaybackRequiresUserGesture, (view->flags & 0x4) == 0);
  settings->setAttribute(QWebEngineSettings::ScrollAnimatorEnabled, (view->flags & 0x8) == 0);
  settings->setAttribute(QWebEngineSettings::ErrorPageEnabled, true);

  connect(page, &QWebEnginePage::loadFinished, this, [this, id](bool ok) {
    View* found = FindView(id);
    // The end of a load that the notifier's newer request replaced is not its completion.
    if (!found || found->awaitingStart) {
      return;
    }
    if (!found->declinedChallenge.isEmpty() && found->declinedChallenge == found->page->url()) {
      // The document itself asked for credentials and got none: it ends as a blank page that
      // loaded, the way the services' feeds show that nobody is signed in.
      found->declinedChallenge.clear();
      const std::uint64_t navigation = found->navigation;
      found->page->runJavaScript(
          QStringLiteral("document.open(); document.close();"), QWebEngineScript::ApplicationWorld,
          [this, id, navigation](const QVariant&) {
            View* current = FindView(id);
            if (!current || current->awaitingStart || current->navigation != navigation) {
              return;
            }
            SendEvent({{"event", "completion"},
                       {"view", id},
                       {"success", true},
                       {"navigation", navigation},
                       {"url", current->page->url().toString().toStdString()}});
          });
      return;
    }
    SendEvent({{"event", "completion"},
               {"view", id},
               {"success", ok},
               {"navigation", found->navigation},
               {"url", found->page->url().toString().toStdString()}});
  });
  connect(page, &QWebEnginePage::certificateError, this,
          [this](const QWebEngineCertificateError& error) {
            if (certificates_.empty() || !error.isOverridable() ||
                error.type() != QWebEngineCertificateError::CertificateAuthorityInvalid) {
              return;  // refused
            }
            std::vector<std::string> chain;
            for (const QSslCertificate& certificate : error.certificateChain()) {
              const QByteArray der = certificate.toDer();
              chain.emplace_back(der.constData(), static_cast<std::size_t>(der.size()));
            }
            if (certificates_.Verifies(chain, error.url().host().toStdString())) {
              QWebEngineCertificateError accepted = error;
              accepted.acceptCertificate();
            }
          });
  // No credentials dialog ever: the challenge is declined and the answer's page shown.
  connect(page, &QWebEnginePage::authenticationRequired, this,
          [this, id](const QUrl& url, QAuthenticator* authenticator) {
            if (View* found = FindView(id)) {
              found->declinedChallenge = url;
            }
            *authenticator = QAuthenticator();
          });
  connect(page, &QWebEnginePage::newWindowRequested, this,
          [this, id, profile](QWebEngineNewWindowRequest& newWindow) {
            View* found = FindView(id);
            if (!found) {
              return;
            }
            if (found->askNavigation) {
              const int answer = Ask({{"event", "navigation"},
                                      {"view", id},
                                      {"url", newWindow.requestedUrl().toString().toStdString()},
                                      {"newWindow", true}});
              found = FindView(id);
              if (answer == 0 || !found) {
                return;  // handled: no window opens
              }
            }
            // A window of its own, shown when the view is.
            auto popup = std::make_unique<BrowserPage>(profile, *this, 0);
            newWindow.openIn(popup.get());
            if (found->window && found->window->isVisible()) {
              auto* window = new QWebEngineView;
              window->setAttribute(Qt::WA_DeleteOnClose);
              window->setPage(popup.get());
              connect(popup.get(), &QObject::destroyed, window, &QObject::deleteLater);
              window->resize(800, 600);
              window->show();
            }
            found->popups.push_back(std::move(popup));
          });
  // The cookies of a persistent profile that is mirrored go to the notifier as they change.
  if ((view->flags & kMirrorCookiesFlag) != 0 && !view->ownProfile) {
    view->mirrorCookies = true;
    if (mirroredProfiles_.insert(profile).second) {
      QWebEngineCookieStore* store = profile->cookieStore();
      const auto report = [this, profile](const QNetworkCookie& cookie, bool removed) {
        for (auto& [viewId, candidate] : views_) {
          if (candidate->mirrorCookies && candidate->page->profile() == profile) {
            SendEvent(CookieEvent(viewId, cookie, removed));
            return;
          }
        }
      };
      connect(store, &QWebEngineCookieStore::cookieAdded, this,
              [report](const QNetworkCookie& cookie) { report(cookie, false); });
      connect(store, &QWebEngineCookieStore::cookieRemoved, this,
              [report](const QNetworkCookie& cookie) { report(cookie, true); });
      store->loadAllCookies();
    }
  }
  views_[id] = std::move(view);
  Reply(request, true);
}

void BrowserServer::CloseView(std::uint64_t id) {
  views_.erase(id);
}

void BrowserServer::RunScript(const nlohmann::json& request, View& view) {
  const auto script = protocol::StringMember(request, "script");
  if (!script) {
    Reply(request, false);
    return;
  }
  QPointer<BrowserServer> self(this);
  const nlohmann::json requestCopy = {{"id", request.value("id", 0)}};
  view.page->runJavaScript(QString::fromStdString(*script), QWebEngineScript::MainWorld,
                           [self, requestCopy](const QVariant& value) {
                             if (!self) {
                               return;
                             }
                             std::string result;
                             AppendScriptValue(result, value, 0);
                             self->Reply(requestCopy, true, {{"result", result}});
                           });
}

void BrowserServer::DeleteCookies(const nlohmann::json& request, View& view) {
  const QString name = QString::fromStdString(protocol::StringMember(request, "name").value_or(""));
  QString domain = QString::fromStdString(protocol::StringMember(request, "domain").value_or(""));
  QString path = QString::fromStdString(protocol::StringMember(request, "path").value_or(""));
  if (name.isEmpty() || domain.isEmpty()) {
    Reply(request, false);
    return;
  }
  if (path.isEmpty()) {
    path = QStringLiteral("/");
  }
  QNetworkCookie cookie(name.toUtf8());
  cookie.setDomain(domain);
  cookie.setPath(path);
  while (domain.startsWith(u'.')) {
    domain.remove(0, 1);
  }
  const QUrl origin(QStringLiteral("https://") + domain + path);
  if (!origin.isValid()) {
    Reply(request, false);
    return;
  }
  view.page->profile()->cookieStore()->deleteCookie(cookie, origin);
  Reply(request, true);
}

void BrowserServer::OnDownload(QWebEngineDownloadRequest* download) {
  if (download->state() != QWebEngineDownloadRequest::DownloadRequested) {
    return;
  }
  View* view = nullptr;
  for (auto& [id, candidate] : views_) {
    if (candidate->page.get() == download->page()) {
      view = candidate.get();
    }
  }
  if (!view || !view->askDownload) {
    download->cancel();  // no window would show it
    return;
  }
  const std::uint64_t id = view->id;
  const QString proposed =
      QDir(download->downloadDirectory()).filePath(download->downloadFileName());
  nlohmann::json answer;
  const int value =
      Ask({{"event", "download"}, {"view", id}, {"path", proposed.toStdString()}}, &answer);
  const QString chosen =
      QString::fromStdString(protocol::StringMember(answer, "path").value_or(""));
  const QFileInfo target(chosen);
  if (value != 1 || chosen.isEmpty() || chosen.size() > static_cast<qsizetype>(kLongestPath) ||
      !target.isAbsolute() || target.fileName().isEmpty()) {
    download->cancel();
    return;
  }
  download->setDownloadDirectory(target.absolutePath());
  download->setDownloadFileName(target.fileName());
  download->accept();
}

void BrowserServer::Handle(const nlohmann::json& request) {
  const auto op = protocol::StringMember(request, "op");
  if (!op) {
    return;  // a late answer to a question, or nothing of ours
  }
  const std::uint64_t id =
      static_cast<std::uint64_t>(protocol::IntegerMember(request, "view").value_or(0));
  if (*op == "create") {
    Create(request, id);
    return;
  }
  if (*op == "close") {
    CloseView(id);
    Reply(request, true);
    return;
  }
  View* view = FindView(id);
  if (!view) {
    Reply(request, false);
    return;
  }
  if (*op == "callbacks") {
    view->askNavigation = protocol::BoolMember(request, "navigation");
    view->askDownload = protocol::BoolMember(request, "download");
    if (!view->messages) {
      view->messages = true;
      auto* channel = new QWebChannel(view->page.get());
      channel->registerObject(
          QStringLiteral("tarvelHost"),
          new MessageBridge(
              [this, id](const QString& message) {
                SendEvent({{"event", "message"}, {"view", id}, {"message", message.toStdString()}});
              },
              channel));
      view->page->setWebChannel(channel, QWebEngineScript::MainWorld);
      QWebEngineScript script;
      script.setName(QStringLiteral("tarvel-webview"));
      script.setSourceCode(MessageScript());
      script.setInjectionPoint(QWebEngineScript::DocumentCreation);
      script.setWorldId(QWebEngineScript::MainWorld);
      script.setRunsOnSubFrames(false);
      view->page->scripts().insert(script);
    }
    Reply(request, true);
  } else if (*op == "navigate") {
    const QUrl url(QString::fromStdString(protocol::StringMember(request, "url").value_or("")));
    if (!url.isValid() || url.isRelative()) {
      Reply(request, false);
      return;
    }
    view->navigation += 1;
    view->awaitingStart = true;
    Reply(request, true, {{"navigation", view->navigation}});
    view->page->load(url);
  } else if (*op == "stop") {
    view->page->triggerAction(QWebEnginePage::Stop);
  } else if (*op == "url") {
    Reply(request, true, {{"url", view->page->url().toString().toStdString()}});
  } else if (*op == "bounds") {
    view->bounds = QRect(static_cast<int>(protocol::IntegerMember(request, "x").value_or(0)),
                         static_cast<int>(protocol::IntegerMember(request, "y").value_or(0)),
                         static_cast<int>(protocol::IntegerMember(request, "width").value_or(0)),
                         static_cast<int>(protocol::IntegerMember(request, "height").value_or(0)));
    if (view->window) {
      view->window->setGeometry(view->bounds);
    }
    Reply(request, true);
  } else if (*op == "visible") {
    const bool visible = protocol::BoolMember(request, "visible");
    if (visible && !view->window) {
      view->window = std::make_unique<TopLevelView>([this, id] {
        SendEvent({{"event", "closed"}, {"view", id}});
      });
      view->window->setPage(view->page.get());
      view->window->setContextMenuPolicy((view->flags & 0x10) ? Qt::DefaultContextMenu
                                                              : Qt::NoContextMenu);
    }
    if (view->window) {
      if (const auto title = protocol::StringMember(request, "title"); title && !title->empty()) {
        view->window->setWindowTitle(QString::fromStdString(*title));
      }
      if (view->bounds.isValid()) {
        view->window->setGeometry(view->bounds);
      }
      if (!view->icon.isNull()) {
        view->window->setWindowIcon(view->icon);
      }
      view->window->setVisible(visible);
      if (visible) {
        view->window->raise();
        view->window->activateWindow();
      }
    }
    Reply(request, true);
  } else if (*op == "icon") {
    const auto data = protocol::StringMember(request, "png");
    QPixmap picture;
    if (!data || data->size() > kLargestIconBytes * 4 / 3 + 4 ||
        !picture.loadFromData(QByteArray::fromBase64(QByteArray::fromStdString(*data)), "PNG")) {
      Reply(request, false);
      return;
    }
    view->icon = QIcon(picture);
    if (view->window) {
      view->window->setWindowIcon(view->icon);
    }
    Reply(request, true);
  } else if (*op == "userAgent") {
    view->interceptor->userAgent =
        QByteArray::fromStdString(protocol::StringMember(request, "userAgent").value_or(""));
    Reply(request, true);
  } else if (*op == "script") {
    RunScript(request, *view);
  } else if (*op == "deleteCookies") {
    DeleteCookies(request, *view);
  } else {
    Reply(request, false);
  }
}

}  // namespace tarvel::browser
