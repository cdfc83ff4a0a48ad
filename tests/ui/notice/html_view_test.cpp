#include <gtest/gtest.h>

#include <QAccessible>

#include <QApplication>
#include <QElapsedTimer>
#include <QTcpServer>
#include <QTest>
#include <QTimer>

#include <thread>
#include <vector>

#include "accounts/account_type_list.h"
#include "accounts/option_flags.h"
#include "app/check_cycle.h"
#include "app/window_messages.h"
#include "tests/support/fake_clock.h"
#include "tests/support/recording_notifier.h"
#include "tests/support/scripted_engine.h"
#include "ui/adapters/qt_main_window.h"
#include "ui/alerts/user_busy.h"
#include "ui/notice/html_container.h"
#include "ui/notice/html_view.h"
#include "ui/notice/new_mail_notice.h"
#include "ui/notice/notice_notifier.h"
#include "ui/notice/notification_popup.h"
#include "ui/notice/popup_presenter.h"

namespace tarvel {
namespace {

constexpr QRgb kBlue = 0xFF0072C6;
constexpr QRgb kGrey = 0xFF999999;

PopupContent TwoMails() {
  return {Text(u"2 new mails - Tarvel E-Mail Notifier"),
          {Text(u"Ann Example: Lunch on Friday?"), Text(u"Bob Example: The report")}};
}

// The popup page laid out as the popup lays it out.
struct PageFixture : ::testing::Test {
  HtmlView view;
  PopupSettings settings;

  bool Load(const PopupContent& content, double dpiFactor) {
    view.setDpiFactor(dpiFactor);
    view.setLayoutWidth(1600);
    return view.setPageText(PopupPresenter::MakePage(content, settings, dpiFactor));
  }
};

TEST_F(PageFixture, MainSizeFollowsTheLineWidthAndTheDpiFactor) {
  struct Row {
    double factor;
    int lineWidth;
    int logoWidth;
  };
  for (const Row& row : {Row{1.0, 500, 32}, Row{1.5, 750, 48}}) {
    SCOPED_TRACE(row.factor);
    ASSERT_TRUE(Load(TwoMails(), row.factor));
    const std::optional<QSize> main = view.elementSize(u"main"_qs);
    ASSERT_TRUE(main);
    // Borders 1 + 1, the logo cell (image and 8 + 8 padding), the content cell (the lines and
    // 10 + 8 padding): nothing wider than the line width widens the table.
    EXPECT_EQ(main->width(), 1 + (row.logoWidth + 16) + (row.lineWidth + 18) + 1);
    const std::optional<QRect> text = view.elementRect(u"text"_qs);
    ASSERT_TRUE(text);
    EXPECT_EQ(text->width(), row.lineWidth);
    // Two lines of 10pt at 140 %, below the title, inside the borders.
    const int lineHeight = static_cast<int>(std::lround(10 * 96 * row.factor / 72)) * 14 / 10;
    EXPECT_NEAR(text->height(), 2 * lineHeight, 2);
    EXPECT_GT(main->height(), text->bottom());
    EXPECT_EQ(view.elementSize(u"close"_qs)->width(), row.logoWidth / 4);
  }
  EXPECT_FALSE(view.elementSize(u"nothing"_qs));
  EXPECT_FALSE(view.elementSize(u"main\"],*[id=\"text"_qs));
}

TEST_F(PageFixture, LongLinesAreCutAndDoNotWidenThePage) {
  PopupContent content = TwoMails();
  const std::u16string wide(400, u'W');
  content.lines.push_back(Text(wide));
  ASSERT_TRUE(Load(content, 1.0));
  EXPECT_EQ(view.elementSize(u"main"_qs)->width(), 1 + 48 + 518 + 1);
  EXPECT_TRUE(view.elementText(u"text"_qs).endsWith(QChar(0x2026)));
  EXPECT_NEAR(view.elementRect(u"text"_qs)->height(), 3 * 18, 3);
}

TEST_F(PageFixture, PixelsOfBordersBackgroundsAndTitle) {
  settings.backgroundColor = 0xFCFCFC;
  settings.backgroundLogoColor = 0xF0F0F0;
  ASSERT_TRUE(Load(TwoMails(), 1.0));
  const QRect main = *view.elementRect(u"main"_qs);
  const QImage image = view.renderImage(main.size()).convertToFormat(QImage::Format_RGB32);
  for (int y = 0; y < 3; ++y)
    EXPECT_EQ(image.pixel(main.width() / 2, y), kBlue) << y;
  EXPECT_EQ(image.pixel(0, main.height() / 2), kGrey);
  EXPECT_EQ(image.pixel(main.width() - 1, main.height() / 2), kGrey);
  EXPECT_EQ(image.pixel(main.width() / 2, main.height() - 1), kGrey);
  // The logo column's background below the logo, the page's right of the lines.
  EXPECT_EQ(image.pixel(4, main.height() - 4), 0xFFF0F0F0);
  EXPECT_EQ(image.pixel(main.width() - 4, main.height() - 4), 0xFFFCFCFC);
  // The title is drawn in blue.
  const QRect title = *view.elementRect(u"title"_qs);
  int bluePixels = 0;
  for (int y = title.top(); y <= title.bottom(); ++y) {
    for (int x = title.left(); x <= title.right(); ++x) {
      const QColor pixel = image.pixelColor(x, y);
      if (pixel.blue() > 150 && pixel.red() < 100)
        ++bluePixels;
    }
  }
  EXPECT_GT(bluePixels, 50);
  // The logo is drawn from the resources: its blue envelope fills part of the logo cell.
  EXPECT_EQ(image.pixel(8 + 16, 3 + 8 + 14), kBlue);
}

TEST(HtmlViewTest, TextCutByAClippingBoxEndsWithAnEllipsis) {
  // A word that crosses the box's right edge is cut there with an ellipsis, the words after it
  // are not drawn: the same pixels as the line elided to the box's width beforehand.
  const QString style =
      uR"(<style>body{margin:0;background:#FFFFFF}
      #box{width:100px;white-space:nowrap;overflow:hidden;font-family:sans-serif;font-size:12px;
      color:#000000}</style>)"_qs;
  const QString word = QString(40, u'W');
  const QFontMetrics metrics(HtmlFont(u"sans-serif"_qs, 12, 400, false));
  const QString elided = metrics.elidedText(word, Qt::ElideRight, 100);
  ASSERT_LT(elided.size(), word.size());
  const auto render = [&style](const QString& text) {
    HtmlView view;
    view.setLayoutWidth(300);
    EXPECT_TRUE(view.setPageText((style + u"<div id=\"box\">"_qs + text + u"</div>"_qs).toUtf8()));
    return view.renderImage(QSize(300, 30)).convertToFormat(QImage::Format_RGB32);
  };
  const QImage cut = render(word + u" tail"_qs);
  EXPECT_EQ(cut, render(elided));
  // Right of the box nothing is drawn.
  for (int x = 100; x < 300; ++x) {
    for (int y = 0; y < 30; ++y)
      ASSERT_EQ(cut.pixel(x, y), 0xFFFFFFFF) << x << "," << y;
  }
}

class RecordingExternal : public HtmlExternal {
 public:
  void Open(std::optional<uint32_t> argument) override { calls.push_back(argument ? 1 : 0); }
  void Close() override { calls.push_back(-1); }
  std::vector<int> calls;  // 0 Open(), 1 Open(N), -1 Close()
};

TEST_F(PageFixture, ClicksCallTheExternalObject) {
  RecordingExternal external;
  view.setExternal(&external);
  ASSERT_TRUE(Load(TwoMails(), 1.0));
  const QRect close = *view.elementRect(u"close"_qs);
  const QRect text = *view.elementRect(u"text"_qs);
  EXPECT_TRUE(view.ClickAt(close.center()));
  EXPECT_TRUE(view.ClickAt(text.center()));
  EXPECT_TRUE(view.ClickAt(QPoint(20, 20)));      // the logo
  EXPECT_FALSE(view.ClickAt(QPoint(1590, 400)));  // outside the table
  EXPECT_EQ(external.calls, (std::vector<int>{-1, 0, 0}));
}

TEST_F(PageFixture, OnlyTheKnownCallFormsAreActedOn) {
  RecordingExternal external;
  view.setExternal(&external);
  view.setLayoutWidth(400);
  ASSERT_TRUE(
      view.setPageText("<div id=a onclick=\"window.external.Open(12)\" style=\"height:20px\">"
                       "<b id=b onclick=\"alert(1)\">inner</b></div>"
                       "<div id=c onclick=\"window.external.Open(1);window.external.Close()\" "
                       "style=\"height:20px\">x</div>"));
  EXPECT_TRUE(view.ClickAt(QPoint(300, 10)));  // the div: Open(12)
  EXPECT_FALSE(view.ClickAt(QPoint(5, 10)));   // the nearest handler is no call
  EXPECT_FALSE(view.ClickAt(QPoint(300, 30)));
  EXPECT_EQ(external.calls, std::vector<int>{1});
}

TEST_F(PageFixture, MarkupInMailTextIsShownAsTextAndNothingIsFetched) {
  QTcpServer server;
  ASSERT_TRUE(server.listen(QHostAddress::LocalHost, 0));
  const QString address = u"http://127.0.0.1:%1/x.png"_qs.arg(server.serverPort());
  PopupContent content = TwoMails();
  const std::u16string bob = (u"Bob: <img src=\""_qs + address + u"\">"_qs).toStdU16String();
  content.lines = {Text(u"Ann: <script>window.external.Open()</script>"), Text(bob),
                   Text(u"Cy: Tom & Jerry &lt;3")};
  ASSERT_TRUE(Load(content, 1.0));
  EXPECT_EQ(view.elementCount(u"script"_qs), 0);
  EXPECT_EQ(view.elementCount(u"img"_qs), 2);  // the logo and the close image
  const QString text = view.elementText(u"text"_qs);
  EXPECT_TRUE(text.contains(u"<script>window.external.Open()</script>"_qs)) << text.toStdString();
  EXPECT_TRUE(text.contains(u"<img src=\""_qs + address));
  EXPECT_TRUE(text.contains(u"Tom & Jerry &lt;3"_qs));
  view.renderImage(QSize(800, 200));
  // An image address of the page itself that is not ours is not fetched either.
  HtmlView remote;
  remote.setLayoutWidth(300);
  ASSERT_TRUE(remote.setPageText(
      (u"<img src=\""_qs + address + u"\" width=20><img src=\"file:///etc/passwd\">"_qs).toUtf8()));
  remote.renderImage(QSize(300, 50));
  EXPECT_EQ(remote.elementRect(u"x"_qs), std::nullopt);
  QTest::qWait(200);
  EXPECT_FALSE(server.hasPendingConnections());
  EXPECT_EQ(view.imageRequests(), 2);
}

TEST_F(PageFixture, ScrolledPageIsClickedWhereItIsSeen) {
  RecordingExternal external;
  view.setExternal(&external);
  view.resize(200, 50);
  view.setLayoutWidth(200);
  ASSERT_TRUE(view.setPageText(
      "<div style=\"height:100px\">top</div>"
      "<div id=row style=\"height:30px\" onclick=\"window.external.Open(3)\">row</div>"));
  EXPECT_FALSE(view.ClickAt(QPoint(10, 30)));
  view.setScrollY(80);
  EXPECT_TRUE(view.ClickAt(QPoint(10, 30)));
  EXPECT_EQ(external.calls, std::vector<int>{1});
  view.setScrollY(1000);  // no further than the page's end
  EXPECT_EQ(view.scrollY(), 130 - 50);
  view.setScrollY(-5);
  EXPECT_EQ(view.scrollY(), 0);
}

TEST_F(PageFixture, KeyboardStepsThroughTheClickableRowsAndActsOnThem) {
  RecordingExternal external;
  view.setExternal(&external);
  view.resize(200, 50);
  view.setLayoutWidth(200);
  ASSERT_TRUE(view.setPageText(
      "<div style=\"height:10px\">header</div>"
      "<div style=\"height:30px\" onclick=\"window.external.Open(1)\">Ann: Lunch</div>"
      "<div style=\"height:30px\" onclick=\"window.external.Open()\">Bob: Report</div>"
      "<div style=\"height:30px\" onclick=\"window.external.Close()\">close</div>"));
  view.show();
  view.setFocus(Qt::OtherFocusReason);
  EXPECT_EQ(view.focusedClickable(), -1);
  QTest::keyClick(&view, Qt::Key_Return);  // nothing focused yet: nothing happens
  EXPECT_TRUE(external.calls.empty());

  struct Step {
    Qt::Key key;
    int focused;
    const char* description;
  };
  const Step steps[] = {
      {Qt::Key_Down, 0, "Ann: Lunch"}, {Qt::Key_Down, 1, "Bob: Report"},
      {Qt::Key_End, 2, "close"},       {Qt::Key_Down, 2, "close"},  // stays on the last row
      {Qt::Key_Home, 0, "Ann: Lunch"}, {Qt::Key_Up, 0, "Ann: Lunch"},
  };
  for (const Step& step : steps) {
    SCOPED_TRACE(step.description);
    QTest::keyClick(&view, step.key);
    EXPECT_EQ(view.focusedClickable(), step.focused);
    EXPECT_EQ(view.accessibleDescription(), QString::fromUtf8(step.description));
  }
  QTest::keyClick(&view, Qt::Key_Down);
  QTest::keyClick(&view, Qt::Key_Space);
  QTest::keyClick(&view, Qt::Key_End);
  QTest::keyClick(&view, Qt::Key_Return);
  EXPECT_EQ(external.calls, (std::vector<int>{0, -1}));
  // The last row lies below the 50-pixel view: focusing it scrolled it into sight.
  const QRect last = *view.focusedRect();
  EXPECT_GE(last.top(), view.scrollY());
  EXPECT_LE(last.bottom(), view.scrollY() + view.height());

  // A reloaded page keeps the place in the list, within the new page's rows.
  ASSERT_TRUE(view.setPageText(
      "<div style=\"height:30px\" onclick=\"window.external.Open(2)\">Cy: Notes</div>"));
  EXPECT_EQ(view.focusedClickable(), 0);
  EXPECT_EQ(view.accessibleDescription(), u"Cy: Notes"_qs);
  ASSERT_TRUE(view.setPageText("<p>No unread mail</p>"));
  EXPECT_EQ(view.focusedClickable(), -1);
  EXPECT_FALSE(view.focusedRect());
}

// A screen reader reads the focused row's cells and blocks as separate words, the inline runs
// within one as one text.
TEST_F(PageFixture, TheFocusedRowReadsWithItsCellsApart) {
  view.resize(300, 100);
  view.setLayoutWidth(300);
  struct Case {
    const char* row;
    const char* read;
  };
  const Case cases[] = {
      {"<table><tr onclick=\"window.external.Open(1)\"><td>Bob</td><td>A folded\n subject "
       "line</td></tr></table>",
       "Bob, A folded subject line"},
      {"<table><tr onclick=\"window.external.Open(1)\"><td><img src=\"x.png\"></td><td><div>"
       "Ann</div><div>Lunch <b>now</b>?</div></td></tr></table>",
       "Ann, Lunch now?"},
      {"<div onclick=\"window.external.Open()\"><b>Cy</b>: Notes</div>", "Cy: Notes"},
      {"<div onclick=\"window.external.Open()\"><p>one</p><p> </p><p>two</p></div>", "one, two"},
  };
  for (const Case& row : cases) {
    SCOPED_TRACE(row.read);
    ASSERT_TRUE(view.setPageText(row.row));
    view.setFocus(Qt::OtherFocusReason);
    QTest::keyClick(&view, Qt::Key_Home);
    EXPECT_EQ(view.accessibleDescription(), QString::fromUtf8(row.read));
  }
}

// For assistive technology the view is a list whose items are the clickable rows, each with
// its text, its focus and selection, and a press action that acts like a click.
TEST_F(PageFixture, TheRowsAreAccessibleListItems) {
  RecordingExternal external;
  view.setExternal(&external);
  view.resize(300, 100);
  view.setLayoutWidth(300);
  ASSERT_TRUE(view.setPageText(
      "<table><tr onclick=\"window.external.Open(2)\"><td>Ann</td><td>Lunch</td></tr>"
      "<tr onclick=\"window.external.Open(4)\"><td>Bob</td><td>Report</td></tr></table>"));
  view.show();
  view.activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(&view));
  view.setFocus(Qt::OtherFocusReason);
  QAccessibleInterface* list = QAccessible::queryAccessibleInterface(&view);
  ASSERT_NE(list, nullptr);
  EXPECT_EQ(list->role(), QAccessible::List);
  ASSERT_EQ(list->childCount(), 2);
  QAccessibleInterface* first = list->child(0);
  QAccessibleInterface* second = list->child(1);
  ASSERT_NE(first, nullptr);
  ASSERT_NE(second, nullptr);
  EXPECT_EQ(list->indexOfChild(second), 1);
  EXPECT_EQ(second->parent(), list);
  EXPECT_EQ(first->role(), QAccessible::ListItem);
  EXPECT_EQ(first->text(QAccessible::Name), u"Ann, Lunch"_qs);
  EXPECT_EQ(second->text(QAccessible::Name), u"Bob, Report"_qs);
  EXPECT_TRUE(first->state().focusable);
  EXPECT_FALSE(first->state().focused);

  QTest::keyClick(&view, Qt::Key_End);
  EXPECT_TRUE(second->state().focused);
  EXPECT_TRUE(second->state().selected);
  EXPECT_FALSE(first->state().selected);
  EXPECT_EQ(list->focusChild(), second);
  EXPECT_TRUE(list->rect().contains(second->rect().center()));

  QAccessibleActionInterface* action = first->actionInterface();
  ASSERT_NE(action, nullptr);
  EXPECT_EQ(action->actionNames(), QStringList{QAccessibleActionInterface::pressAction()});
  action->doAction(QAccessibleActionInterface::pressAction());
  EXPECT_EQ(external.calls, std::vector<int>{1});

  // A new page has new rows.
  ASSERT_TRUE(view.setPageText("<p>No unread mail</p>"));
  EXPECT_EQ(list->childCount(), 0);
  EXPECT_EQ(list->child(0), nullptr);
}

struct PopupFixture : ::testing::Test {
  NeverBusy notBusy;
  PopupSettings settings;
  PopupContent content = TwoMails();
  int opened = 0;
  bool allowWhileBusy = false;

  PopupPresenter::Hooks Hooks() {
    PopupPresenter::Hooks hooks;
    hooks.content = [this] { return content; };
    hooks.settings = [this] { return settings; };
    hooks.allowWhileBusy = [this] { return allowWhileBusy; };
    hooks.open = [this] { ++opened; };
    return hooks;
  }
};

TEST_F(PopupFixture, ClickingTwiceOpensOnceAndTheWindowGoes) {
  settings.toolTipSeconds = 0;
  PopupPresenter presenter(Hooks(), notBusy);
  presenter.ShowPopup();
  QPointer<NotificationPopup> popup = presenter.popup();
  ASSERT_TRUE(popup);
  EXPECT_TRUE(popup->isVisible());
  EXPECT_TRUE(popup->windowFlags() & Qt::WindowDoesNotAcceptFocus);
  EXPECT_TRUE(popup->windowFlags() & Qt::WindowStaysOnTopHint);
  EXPECT_TRUE(popup->testAttribute(Qt::WA_ShowWithoutActivating));
  const QPoint text = popup->view()->elementRect(u"text"_qs)->center();
  EXPECT_TRUE(popup->view()->ClickAt(text));
  EXPECT_TRUE(popup->view()->ClickAt(text));
  const QRect close = *popup->view()->elementRect(u"close"_qs);
  popup->view()->ClickAt(close.center());
  EXPECT_EQ(opened, 1);
  EXPECT_TRUE(popup->handled());
  QElapsedTimer waited;
  waited.start();
  while (popup && waited.elapsed() < 10'000)
    QTest::qWait(20);
  EXPECT_FALSE(popup);
}

// For assistive technology the popup is an alert whose description holds the notice's texts,
// so a screen reader speaks it when it shows although it never takes the focus.
TEST_F(PopupFixture, ThePopupIsAnAlertWithTheNoticesTexts) {
  PopupPresenter presenter(Hooks(), notBusy);
  presenter.ShowPopup();
  ASSERT_TRUE(presenter.popup());
  QAccessibleInterface* alert = QAccessible::queryAccessibleInterface(presenter.popup());
  ASSERT_NE(alert, nullptr);
  EXPECT_EQ(alert->role(), QAccessible::AlertMessage);
  EXPECT_EQ(alert->text(QAccessible::Name), u"New mail"_qs);
  const QString description = alert->text(QAccessible::Description);
  EXPECT_TRUE(description.startsWith(u"2 new mails"_qs)) << description.toStdString();
  EXPECT_TRUE(description.contains(u"Ann Example: Lunch on Friday?"_qs))
      << description.toStdString();
  presenter.ClosePopup();
}

TEST_F(PopupFixture, TransparencyOnlyForASeeThroughPopup) {
  for (const uint32_t transparency : {255u, 128u}) {
    SCOPED_TRACE(transparency);
    NotificationPopup popup(transparency, true);
    EXPECT_NEAR(popup.windowOpacity(), transparency / 255.0, 0.01);
  }
}

TEST_F(PopupFixture, ANewNoticeSlidesTheOldPopupOutFirst) {
  PopupPresenter presenter(Hooks(), notBusy);
  presenter.ShowPopup();
  QPointer<NotificationPopup> first = presenter.popup();
  ASSERT_TRUE(first);
  // The first popup is all in before the next notice comes.
  QElapsedTimer waited;
  waited.start();
  while (first->animator().phase() != PopupAnimator::Phase::Showing && waited.elapsed() < 10'000)
    QTest::qWait(10);
  ASSERT_EQ(first->animator().phase(), PopupAnimator::Phase::Showing);
  EXPECT_EQ(first->width(), first->view()->width());
  bool firstGoneWhenSecondStarted = false;
  QObject::connect(&presenter, &PopupPresenter::popupStarted, [&](NotificationPopup*) {
    firstGoneWhenSecondStarted = !first || first->finished();
  });
  content.title = Text(u"1 new mail - Tarvel E-Mail Notifier");
  presenter.ShowPopup();
  EXPECT_TRUE(firstGoneWhenSecondStarted);
  ASSERT_TRUE(presenter.popup());
  EXPECT_NE(presenter.popup(), first.data());
  EXPECT_EQ(presenter.popup()->view()->elementText(u"title"_qs),
            u"1 new mail - Tarvel E-Mail Notifier"_qs);
  presenter.ClosePopup();
  EXPECT_FALSE(presenter.popup());
}

TEST_F(PopupFixture, ClosingWhileTheOldPopupSlidesOutShowsNoNewOne) {
  PopupPresenter presenter(Hooks(), notBusy);
  presenter.ShowPopup();
  ASSERT_TRUE(presenter.popup());
  QElapsedTimer waited;
  waited.start();
  while (presenter.popup()->animator().phase() != PopupAnimator::Phase::Showing &&
         waited.elapsed() < 10'000)
    QTest::qWait(10);
  // The program ends while the next notice waits for the slide-out.
  QTimer::singleShot(50, &presenter, [&presenter] { presenter.ClosePopup(); });
  presenter.ShowPopup();
  EXPECT_FALSE(presenter.popup());
}

class AlwaysBusy : public UserBusyProbe {
 public:
  bool IsUserBusy() override { return true; }
};

TEST_F(PopupFixture, NoPopupWhileBusyUnlessAllowed) {
  AlwaysBusy busy;
  PopupPresenter presenter(Hooks(), busy);
  presenter.ShowPopup();
  EXPECT_FALSE(presenter.popup());
  allowWhileBusy = true;
  presenter.ShowPopup();
  EXPECT_TRUE(presenter.popup());
}

TEST_F(PopupFixture, APageWithoutMainShowsNothing) {
  NotificationPopup popup(255, true);
  EXPECT_FALSE(popup.LoadPage("<div id=other>x</div>", 1.0, 800));
  EXPECT_FALSE(popup.isVisible());
}

class NoBalloons : public BalloonSink {
 public:
  void ShowBalloon(const BalloonNotice&) override { ++shown; }
  int shown = 0;
};

// The main window's part: the posted show message reaches the presenter.
class ShowOnMessage : public MainWindowHandler {
 public:
  explicit ShowOnMessage(PopupPresenter& presenter) : presenter_(presenter) {}
  intptr_t OnMessage(uint32_t message, uintptr_t, intptr_t) override {
    if (message == kMsgShowPopup)
      presenter_.ShowPopup();
    return 0;
  }
  void OnTimer(uint32_t) override {}

 private:
  PopupPresenter& presenter_;
};

TEST_F(PopupFixture, ANoticeFromTheCheckThreadShowsThePopupAndItsClickOpens) {
  OptionFlags flags(0x1010);
  NoBalloons balloons;
  QtMainWindow mainWindow;
  NewMailNotice notice(flags, mainWindow, balloons);
  PopupPresenter::Hooks hooks = Hooks();
  hooks.content = [&notice] { return notice.popupContent(); };
  PopupPresenter presenter(hooks, notBusy);
  ShowOnMessage handler(presenter);
  mainWindow.setHandler(&handler);

  std::thread check([&notice] {
    notice.NotifyNewMail(Text(u"Ann: <b>Hi</b> & bye\rBob: Report"), 2, CheckStatus::Success);
  });
  check.join();
  EXPECT_FALSE(presenter.popup());  // shown on the main thread, when the message arrives
  QElapsedTimer waited;
  waited.start();
  while (!presenter.popup() && waited.elapsed() < 5000)
    QTest::qWait(10);
  QPointer<NotificationPopup> popup = presenter.popup();
  ASSERT_TRUE(popup);
  EXPECT_EQ(balloons.shown, 0);
  EXPECT_EQ(popup->view()->elementText(u"title"_qs), u"2 new mails - Tarvel E-Mail Notifier"_qs);
  EXPECT_EQ(popup->view()->elementText(u"text"_qs), u"Ann: <b>Hi</b> & byeBob: Report"_qs);
  EXPECT_TRUE(popup->view()->ClickAt(QPoint(20, 20)));
  EXPECT_EQ(opened, 1);
}

// The main window of a running program as far as the notice goes: the cycle's messages and
// the popup's.
class CycleAndPopup : public MainWindowHandler {
 public:
  CycleAndPopup(CheckCycle& cycle, PopupPresenter& presenter)
      : cycle_(cycle), presenter_(presenter) {}
  intptr_t OnMessage(uint32_t message, uintptr_t wParam, intptr_t lParam) override {
    if (message == kMsgShowPopup)
      presenter_.ShowPopup();
    else
      cycle_.HandleMessage(message, wParam, lParam);
    return 0;
  }
  void OnTimer(uint32_t timerId) override { cycle_.HandleTimer(timerId); }

 private:
  CheckCycle& cycle_;
  PopupPresenter& presenter_;
};

TEST_F(PopupFixture, NewMailOfACheckShowsThePopupAndItsClickOpensThatTypesReaders) {
  constexpr uint32_t kGMail = 0x2;
  constexpr uint64_t kGMailSelect = 0x80;
  OptionFlags flags(0x1010 | kGMailSelect);
  AccountTypeList accounts(flags, testing::ScriptedEngineFactory());
  QtMainWindow mainWindow;
  NoticeNotifier notifier;
  testing::FakeLoginRunner login;
  testing::FakeClock clock;
  testing::RecordingTrace trace;
  CheckCycle cycle(accounts, mainWindow, notifier, login, clock, trace);
  NoBalloons balloons;
  NewMailNotice notice(flags, mainWindow, balloons);
  notifier.setNotice(&notice);
  uint32_t openedMask = 0;
  PopupPresenter::Hooks hooks = Hooks();
  hooks.content = [&notice] { return notice.popupContent(); };
  hooks.open = [&] { openedMask = cycle.newMailMask(); };
  PopupPresenter presenter(hooks, notBusy);
  CycleAndPopup handler(cycle, presenter);
  mainWindow.setHandler(&handler);
  testing::Scripted(accounts, kGMail)
      .queue({CheckStatus::Success,
              {{"Ann", "Lunch & more", "", "2026-12-10"}, {"Bob", "Report", "", "2026-12-09"}}});

  cycle.CheckIn(CheckTrigger::Manual);
  QElapsedTimer waited;
  waited.start();
  while (!presenter.popup() && waited.elapsed() < 10'000)
    QTest::qWait(10);
  ASSERT_TRUE(presenter.popup());
  EXPECT_EQ(presenter.popup()->view()->elementText(u"title"_qs),
            u"2 new mails - Tarvel E-Mail Notifier"_qs);
  // One line per mail, newest first, as the walk wrote them.
  EXPECT_EQ(presenter.popup()->view()->elementText(u"text"_qs),
            u"Ann - Lunch & moreBob - Report"_qs);
  EXPECT_TRUE(presenter.popup()->view()->ClickAt(QPoint(20, 20)));
  EXPECT_EQ(openedMask, kGMail);
  EXPECT_EQ(balloons.shown, 0);
  accounts.checkThread().waitFinished(10'000);
  mainWindow.setHandler(nullptr);
}

}  // namespace
}  // namespace tarvel

int main(int argc, char** argv) {
  qputenv("QT_QPA_PLATFORM",
          qgetenv("QT_QPA_PLATFORM").isEmpty() ? "offscreen" : qgetenv("QT_QPA_PLATFORM"));
  QApplication application(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
