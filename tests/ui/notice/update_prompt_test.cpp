#include "ui/notice/update_prompt.h"

#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QApplication>
#include <QCoreApplication>
#include <QDir>
#include <QMessageBox>
#include <QPushButton>
#include <QTest>

#include <memory>
#include <optional>

namespace tarvel {
namespace {

// Saves a picture of the widget when TARVEL_SCREENSHOT_DIR names a folder (the scale is the
// run's QT_SCALE_FACTOR).
void Screenshot(QWidget* widget, const QString& name) {
  const QString folder = qEnvironmentVariable("TARVEL_SCREENSHOT_DIR");
  if (folder.isEmpty())
    return;
  QDir().mkpath(folder);
  const QString scale = qEnvironmentVariable("QT_SCALE_FACTOR", u"1"_qs);
  widget->grab().save(folder + u"/"_qs + name + u"-scale"_qs + scale + u".png"_qs);
}

QMessageBox* WaitForBox(UpdatePrompt& prompt) {
  for (int i = 0; i < 100 && !prompt.box(); ++i)
    QTest::qWait(10);
  return prompt.box();
}

QAbstractButton* ButtonNamed(QMessageBox* box, const QString& name) {
  for (QAbstractButton* button : box->buttons()) {
    if (button->accessibleName() == name)
      return button;
  }
  return nullptr;
}

TEST(UpdatePromptTest, TheQuestionShowsTheServiceTextsAndItsPageWithoutClosing) {
  QStringList opened;
  UpdatePrompt prompt([&opened](const QString& url) { opened.push_back(url); });
  std::optional<bool> answer;
  prompt.Ask(UpdateQuestion::Install, u"Tarvel E-Mail Notifier",
             u"Version 9.1 is out: <b>faster</b> checks.", u"https://update.example.com/news",
             [&answer](bool yes) { answer = yes; });
  QMessageBox* box = WaitForBox(prompt);
  ASSERT_NE(box, nullptr);
  box->adjustSize();
  EXPECT_TRUE(box->isVisible());
  EXPECT_EQ(box->windowTitle(), u"Tarvel E-Mail Notifier"_qs);
  // The service's text is shown as it is, never read as markup.
  EXPECT_EQ(box->text(), u"Version 9.1 is out: <b>faster</b> checks."_qs);
  EXPECT_EQ(box->textFormat(), Qt::PlainText);
  Screenshot(box, u"update-question"_qs);

  QAbstractButton* more = ButtonNamed(box, u"More Information"_qs);
  ASSERT_NE(more, nullptr);
  more->click();
  EXPECT_EQ(opened, QStringList{u"https://update.example.com/news"_qs});
  EXPECT_TRUE(box->isVisible());
  EXPECT_FALSE(answer.has_value());

  ASSERT_NE(ButtonNamed(box, u"Yes"_qs), nullptr);
  ButtonNamed(box, u"Yes"_qs)->click();
  EXPECT_EQ(answer, std::optional<bool>(true));
}

TEST(UpdatePromptTest, NoAndAClosedBoxAnswerNoAndOnlyWebPagesAreLinked) {
  QStringList opened;
  auto prompt =
      std::make_unique<UpdatePrompt>([&opened](const QString& url) { opened.push_back(url); });
  std::optional<bool> answer;
  prompt->Ask(UpdateQuestion::Install, u"", u"New version.", u"file:///etc/passwd",
              [&answer](bool yes) { answer = yes; });
  QMessageBox* box = WaitForBox(*prompt);
  ASSERT_NE(box, nullptr);
  EXPECT_EQ(ButtonNamed(box, u"More Information"_qs), nullptr);
  EXPECT_EQ(box->windowTitle(), u"Tarvel E-Mail Notifier"_qs);  // no caption: ours
  ButtonNamed(box, u"No"_qs)->click();
  EXPECT_EQ(answer, std::optional<bool>(false));

  // The restart question offers no link; a box that goes with the program answers No.
  answer.reset();
  prompt->Ask(UpdateQuestion::Restart, u"Tarvel", u"Restart now?",
              u"https://update.example.com/news", [&answer](bool yes) { answer = yes; });
  QTest::qWait(50);
  box = WaitForBox(*prompt);
  ASSERT_NE(box, nullptr);
  EXPECT_EQ(ButtonNamed(box, u"More Information"_qs), nullptr);
  Screenshot(box, u"update-restart"_qs);
  prompt.reset();
  EXPECT_EQ(answer, std::optional<bool>(false));
  EXPECT_TRUE(opened.isEmpty());

  EXPECT_TRUE(UpdatePrompt::IsPageAddress(u"https://example.com/a"_qs));
  EXPECT_TRUE(UpdatePrompt::IsPageAddress(u"http://example.com/"_qs));
  EXPECT_FALSE(UpdatePrompt::IsPageAddress(u"javascript:alert(1)"_qs));
  EXPECT_FALSE(UpdatePrompt::IsPageAddress(u"file:///etc/passwd"_qs));
  EXPECT_FALSE(UpdatePrompt::IsPageAddress(u""_qs));
}

}  // namespace
}  // namespace tarvel
