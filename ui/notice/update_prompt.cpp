#include "ui/notice/update_prompt.h"

#include <QMetaObject>
#include <QPushButton>
#include <QUrl>

#include "platform/version.h"
#include "ui/adapters/qt_text.h"

namespace tarvel {

namespace {

constexpr int kTellTimeoutMs = 30'000;

QString Caption(const QString& caption) {
  return caption.isEmpty() ? QString::fromStdU16String(std::u16string(kProgramTitle)) : caption;
}

}  // namespace

UpdatePrompt::UpdatePrompt(OpenUrl openUrl, QObject* parent)
    : QObject(parent), openUrl_(std::move(openUrl)) {
  notification_.setClickAction([this] {
    if (openUrl_ && IsPageAddress(notificationUrl_))
      openUrl_(notificationUrl_);
  });
}

UpdatePrompt::~UpdatePrompt() {
  delete box_.data();
}

bool UpdatePrompt::IsPageAddress(const QString& url) {
  const QUrl parsed(url, QUrl::StrictMode);
  return parsed.isValid() && !parsed.host().isEmpty() &&
         (parsed.scheme() == u"https"_qs || parsed.scheme() == u"http"_qs);
}

void UpdatePrompt::Ask(UpdateQuestion question, const Text& caption, const Text& text,
                       const Text& helpUrl, std::function<void(bool)> answer) {
  QMetaObject::invokeMethod(
      this,
      [this, question, caption = ToQString(caption.view()), text = ToQString(text.view()),
       help = ToQString(helpUrl.view()), answer = std::move(answer)]() mutable {
        ShowBox(question, caption, text, help, std::move(answer));
      },
      Qt::QueuedConnection);
}

void UpdatePrompt::ShowBox(UpdateQuestion question, const QString& caption, const QString& text,
                           const QString& helpUrl, std::function<void(bool)> answer) {
  delete box_.data();
  auto* box = new QMessageBox(QMessageBox::Question, Caption(caption), text,
                              QMessageBox::Yes | QMessageBox::No);
  box->setAttribute(Qt::WA_DeleteOnClose);
  box->setTextFormat(Qt::PlainText);
  box->setDefaultButton(QMessageBox::Yes);
  box->setAccessibleName(Caption(caption));
  box->setAccessibleDescription(text);
  for (QAbstractButton* button : box->buttons())
    button->setAccessibleName(button->text().remove(u'&'));
  if (question == UpdateQuestion::Install && IsPageAddress(helpUrl)) {
    // The service's page; the box stays open while it is shown.
    auto* help = new QPushButton(tr("More Information"), box);
    help->setAccessibleName(tr("More Information"));
    box->addButton(help, QMessageBox::HelpRole);
    help->disconnect();  // the box's own handling would close it
    connect(help, &QPushButton::clicked, this, [this, helpUrl] {
      if (openUrl_)
        openUrl_(helpUrl);
    });
  }
  auto shared = std::make_shared<std::function<void(bool)>>(std::move(answer));
  connect(box, &QMessageBox::finished, this, [box, shared](int) {
    if (*shared) {
      (*shared)(box->standardButton(box->clickedButton()) == QMessageBox::Yes);
      *shared = nullptr;
    }
  });
  // A box closed without an answer (the program ends) counts as No.
  connect(box, &QObject::destroyed, this, [shared] {
    if (*shared)
      (*shared)(false);
  });
  box_ = box;
  box->open();
}

void UpdatePrompt::Tell(const Text& caption, const Text& text, const Text& helpUrl) {
  QMetaObject::invokeMethod(
      this,
      [this, caption = ToQString(caption.view()), text = ToQString(text.view()),
       help = ToQString(helpUrl.view())] {
        notificationUrl_ = help;
        BalloonNotice notice;
        notice.title = ToText(Caption(caption));
        notice.text = ToText(text);
        notice.timeoutMs = kTellTimeoutMs;
        notification_.ShowBalloon(notice);
      },
      Qt::QueuedConnection);
}

}  // namespace tarvel
