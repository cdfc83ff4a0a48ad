#pragma once

#include <QObject>
#include <QString>

#include <functional>

namespace tarvel::browser {

// The page's end of window.chrome.webview.postMessage: a web channel object whose one method
// hands the message (a string, or the JSON text of any other value) to the view.
class MessageBridge : public QObject {
  Q_OBJECT

 public:
  explicit MessageBridge(std::function<void(const QString&)> deliver, QObject* parent)
      : QObject(parent), deliver_(std::move(deliver)) {}

  Q_INVOKABLE void post(const QString& message) {
    if (deliver_) {
      deliver_(message);
    }
  }

 private:
  std::function<void(const QString&)> deliver_;
};

}  // namespace tarvel::browser
