#include <gtest/gtest.h>

#include <vector>

#include "accounts/option_flags.h"
#include "app/manual_main_window.h"
#include "app/window_messages.h"
#include "ui/notice/new_mail_notice.h"

namespace tarvel {
namespace {

class RecordingBalloons : public BalloonSink {
 public:
  void ShowBalloon(const BalloonNotice& notice) override { shown.push_back(notice); }
  std::vector<BalloonNotice> shown;
};

class MessageRecorder : public MainWindowHandler {
 public:
  intptr_t OnMessage(uint32_t message, uintptr_t, intptr_t) override {
    messages.push_back(message);
    return 0;
  }
  void OnTimer(uint32_t) override {}
  std::vector<uint32_t> messages;
};

struct NoticeFixture : ::testing::Test {
  OptionFlags flags;
  MessageRecorder recorder;
  ManualMainWindow mainWindow{&recorder};
  RecordingBalloons balloons;
  NewMailNotice notice{flags, mainWindow, balloons};
};

TEST_F(NoticeFixture, PopupFormStoresTheTextsAndPostsTheShowMessage) {
  flags.store(0x1010);
  notice.NotifyNewMail(Text(u"Ann: Hi\rBob: <b>x</b>"), 2, CheckStatus::Success);
  EXPECT_TRUE(balloons.shown.empty());
  mainWindow.DispatchPending();
  EXPECT_EQ(recorder.messages, std::vector<uint32_t>{kMsgShowPopup});
  const PopupContent content = notice.popupContent();
  EXPECT_EQ(content.title.ToUtf8(), "2 new mails - Tarvel E-Mail Notifier");
  ASSERT_EQ(content.lines.size(), 2u);
  EXPECT_EQ(content.lines[1].ToUtf8(), "Bob: <b>x</b>");  // escaped when the page is made
}

TEST_F(NoticeFixture, BalloonFormCutsTitleAndTextAndTakesTheStayTime) {
  flags.store(0x0010);
  notice.setToolTipSeconds(7);
  Text longText;
  for (int line = 0; line < 8; ++line)
    longText += u"Sender name: a subject of forty characters...\r";
  notice.NotifyNewMail(longText, 8, CheckStatus::Failure);
  mainWindow.DispatchPending();
  EXPECT_TRUE(recorder.messages.empty());
  ASSERT_EQ(balloons.shown.size(), 1u);
  const BalloonNotice& shown = balloons.shown[0];
  EXPECT_EQ(shown.title.ToUtf8(), "8 new mails");
  EXPECT_EQ(shown.text.length(), kBalloonTextLimit);
  EXPECT_EQ(shown.text.view(), longText.view().substr(0, kBalloonTextLimit));
  EXPECT_EQ(shown.timeoutMs, 7000u);
  EXPECT_EQ(shown.status, CheckStatus::Failure);
}

TEST_F(NoticeFixture, ZeroStayTimeAndHugeStayTimes) {
  flags.store(0);
  notice.setToolTipSeconds(0);
  notice.NotifyNewMail(Text(u"a"), 1, CheckStatus::Success);
  notice.setToolTipSeconds(0xFFFFFFFF);
  notice.NotifyNewMail(Text(u"a"), 1, CheckStatus::Success);
  ASSERT_EQ(balloons.shown.size(), 2u);
  EXPECT_EQ(balloons.shown[0].timeoutMs, 0u);
  EXPECT_EQ(balloons.shown[0].title.ToUtf8(), "1 new mail");
  EXPECT_EQ(balloons.shown[1].timeoutMs, 0xFFFFFFFFu);  // saturates instead of wrapping
}

// Where the popup cannot be placed (a Wayland session), the popup option brings the same
// notice as a balloon, cut and timed as one, and posts no popup message.
TEST_F(NoticeFixture, UnplaceablePopupComesAsABalloon) {
  flags.store(0x1010);
  notice.setToolTipSeconds(5);
  notice.setPopupPlaceable(false);
  notice.NotifyNewMail(Text(u"Ann: Hi\rBob: Lunch"), 2, CheckStatus::Success);
  mainWindow.DispatchPending();
  EXPECT_TRUE(recorder.messages.empty());
  ASSERT_EQ(balloons.shown.size(), 1u);
  EXPECT_EQ(balloons.shown[0].title.ToUtf8(), "2 new mails");
  EXPECT_EQ(balloons.shown[0].text.ToUtf8(), "Ann: Hi\rBob: Lunch");
  EXPECT_EQ(balloons.shown[0].timeoutMs, 5000u);

  // Placeable again (the session is read at each start): the popup form is back.
  notice.setPopupPlaceable(true);
  notice.NotifyNewMail(Text(u"Ann: Hi"), 1, CheckStatus::Success);
  mainWindow.DispatchPending();
  EXPECT_EQ(recorder.messages, std::vector<uint32_t>{kMsgShowPopup});
  EXPECT_EQ(balloons.shown.size(), 1u);
}

}  // namespace
}  // namespace tarvel
