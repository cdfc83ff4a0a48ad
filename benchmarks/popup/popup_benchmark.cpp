// Time from a new-mail notice to the popup's first painted frame, and the program's resident
// memory across popups. Not a test: prints figures.
//   popup_benchmark [--count N] [--screenshot FILE.png]
// Run it on a display (Xvfb) or with QT_QPA_PLATFORM=offscreen.

#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QPixmap>
#include <QScreen>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <vector>

#include "accounts/option_flags.h"
#include "app/main_window_port.h"
#include "app/window_messages.h"
#include "ui/adapters/qt_main_window.h"
#include "ui/alerts/user_busy.h"
#include "ui/notice/new_mail_notice.h"
#include "ui/notice/popup_presenter.h"

namespace {

long ResidentKiB() {
  QFile status(u"/proc/self/status"_qs);
  if (!status.open(QIODevice::ReadOnly))
    return -1;
  for (const QByteArray& line : status.readAll().split('\n')) {
    if (line.startsWith("VmRSS:"))
      return line.mid(6).trimmed().split(' ').value(0).toLong();
  }
  return -1;
}

class NoBalloons : public tarvel::BalloonSink {
 public:
  void ShowBalloon(const tarvel::BalloonNotice&) override {}
};

// The main window's part in the notice: 0x8005 shows the popup.
class ShowOnMessage : public tarvel::MainWindowHandler {
 public:
  explicit ShowOnMessage(tarvel::PopupPresenter& presenter) : presenter_(presenter) {}
  intptr_t OnMessage(uint32_t message, uintptr_t, intptr_t) override {
    if (message == tarvel::kMsgShowPopup)
      presenter_.ShowPopup();
    return 0;
  }
  void OnTimer(uint32_t) override {}

 private:
  tarvel::PopupPresenter& presenter_;
};

}  // namespace

int main(int argc, char** argv) {
  QApplication application(argc, argv);
  int count = 20;
  QString screenshot;
  const QStringList arguments = application.arguments();
  for (int i = 1; i + 1 < arguments.size(); ++i) {
    if (arguments[i] == u"--count"_qs)
      count = std::max(arguments[i + 1].toInt(), 1);
    if (arguments[i] == u"--screenshot"_qs)
      screenshot = arguments[i + 1];
  }

  tarvel::OptionFlags flags(0x1010);
  NoBalloons balloons;
  tarvel::NeverBusy notBusy;
  tarvel::QtMainWindow mainWindow;
  std::unique_ptr<tarvel::NewMailNotice> notice;
  tarvel::PopupPresenter::Hooks hooks;
  hooks.content = [&notice] { return notice->popupContent(); };
  hooks.settings = [] {
    tarvel::PopupSettings settings;
    settings.toolTipSeconds = 0;
    return settings;
  };
  tarvel::PopupPresenter presenter(hooks, notBusy);
  ShowOnMessage handler(presenter);
  mainWindow.setHandler(&handler);
  notice = std::make_unique<tarvel::NewMailNotice>(flags, mainWindow, balloons);

  const tarvel::Text mails(
      u"Ann Example: Lunch on Friday? We could try the new place by the river\r"
      u"Bob Example: The quarterly report <draft 3> & figures\r"
      u"Carla Exemplar: Re: Re: Tickets for Saturday");
  std::vector<double> milliseconds;
  long rssAt10 = 0;
  const long rssBefore = ResidentKiB();
  for (int run = 0; run < count; ++run) {
    QElapsedTimer timer;
    QEventLoop loop;
    QMetaObject::Connection painted;
    QObject::connect(
        &presenter, &tarvel::PopupPresenter::popupStarted, [&](tarvel::NotificationPopup* popup) {
          painted =
              QObject::connect(popup->view(), &tarvel::HtmlView::painted, &loop, &QEventLoop::quit);
        });
    QTimer::singleShot(5000, &loop, &QEventLoop::quit);
    timer.start();
    notice->NotifyNewMail(mails, 3, tarvel::CheckStatus::Success);
    loop.exec();
    milliseconds.push_back(timer.nsecsElapsed() / 1e6);
    QObject::disconnect(&presenter, &tarvel::PopupPresenter::popupStarted, nullptr, nullptr);
    if (!screenshot.isEmpty() && run == 0) {
      // Let the slide-in end, then take the screen around the popup.
      QElapsedTimer wait;
      wait.start();
      while (presenter.popup() &&
             presenter.popup()->animator().phase() != tarvel::PopupAnimator::Phase::Showing &&
             wait.elapsed() < 5000)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
      QCoreApplication::processEvents(QEventLoop::AllEvents, 100);
      QScreen* screen = QGuiApplication::primaryScreen();
      const QRect area = presenter.popup()->frameGeometry().adjusted(-20, -20, 20, 20);
      QPixmap shot = screen->grabWindow(0, area.x(), area.y(), area.width(), area.height());
      if (shot.isNull() || QGuiApplication::platformName() == u"offscreen"_qs)
        shot = presenter.popup()->grab();
      shot.save(screenshot);
    }
    // The popup goes the way it goes for the user: slid out and deleted.
    presenter.HidePopup();
    while (presenter.popup())
      QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    if (run == 9)
      rssAt10 = ResidentKiB();
  }
  std::vector<double> sorted = milliseconds;
  std::sort(sorted.begin(), sorted.end());
  const double median = sorted.size() % 2
                            ? sorted[sorted.size() / 2]
                            : (sorted[sorted.size() / 2 - 1] + sorted[sorted.size() / 2]) / 2;
  std::printf("platform %s, %d notices\n", qPrintable(QGuiApplication::platformName()), count);
  std::printf(
      "notice to first painted frame: median %.2f ms, min %.2f ms, max %.2f ms, first %.2f ms\n",
      median, sorted.front(), sorted.back(), milliseconds.front());
  std::printf(
      "resident memory: before %.1f MiB, after 10 popups %.1f MiB, after %d popups %.1f MiB\n",
      rssBefore / 1024.0, rssAt10 / 1024.0, count, ResidentKiB() / 1024.0);
  return 0;
}
