#pragma once

#include <QObject>
#include <QPointer>
#include <QString>
#include <QUrl>

#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <set>
#include <string>

#include <nlohmann/json.hpp>

#include "browser/certificate_check.h"
#include "platform/browser_protocol.h"

class QSocketNotifier;
class QWebEngineProfile;
class QWebEngineDownloadRequest;

namespace tarvel::browser {

class BrowserPage;
struct View;

// The helper's side of the socket: runs the notifier's requests on the views and profiles it
// keeps, and reports their events. A closed socket ends the program.
class BrowserServer : public QObject {
 public:
  BrowserServer(int socket, std::vector<std::string> authorityFiles);
  ~BrowserServer() override;

  // The first frame: the notifier waits for it before it sends anything.
  bool SendHello();

  // Asks the notifier and waits (bounded) for the answer; the frames that arrive meanwhile
  // are handled afterwards, in order. 0 when no answer came.
  int Ask(nlohmann::json question, nlohmann::json* answer = nullptr);
  void SendEvent(nlohmann::json event);

  const CertificateCheck& certificates() const { return certificates_; }
  View* FindView(std::uint64_t id);

 private:
  void ReadSocket();
  bool ReadAvailable();
  void HandleQueued();
  void Handle(const nlohmann::json& request);
  void Reply(const nlohmann::json& request, bool ok, nlohmann::json reply = {});
  bool Send(const nlohmann::json& message);
  void Quit();

  void Create(const nlohmann::json& request, std::uint64_t id);
  void CloseView(std::uint64_t id);
  void RunScript(const nlohmann::json& request, View& view);
  void DeleteCookies(const nlohmann::json& request, View& view);
  QWebEngineProfile* SharedProfile(const QString& folder);
  void OnDownload(QWebEngineDownloadRequest* download);

  int socket_;
  QSocketNotifier* notifier_ = nullptr;
  browser_protocol::FrameReader reader_;
  std::deque<nlohmann::json> queued_;
  bool queueScheduled_ = false;
  bool quitting_ = false;
  std::uint64_t nextAsk_ = 1;
  CertificateCheck certificates_;
  std::map<std::uint64_t, std::unique_ptr<View>> views_;
  std::map<QString, QWebEngineProfile*> profiles_;
  std::set<QWebEngineProfile*> mirroredProfiles_;
};

}  // namespace tarvel::browser
