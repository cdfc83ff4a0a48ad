// The tray menu as a QMenu: its items, icons and default item, the command of a chosen item,
// by mouse and by keyboard.
#include "ui/tray/tray_menu_view.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QDir>
#include <QFontMetrics>
#include <QKeyEvent>
#include <QMenu>
#include <QToolTip>

#include "accounts/account_type.h"
#include "ui/tray/tray_tooltip.h"

namespace tarvel {
namespace {

std::vector<TrayMenuItem> TwoImapAccountsSilencedForThreeMinutes() {
  std::vector<TrayMenuAccount> accounts;
  for (const AccountTypeInfo& type : kAccountTypes) {
    const bool enabled = type.typeBit == 0x8000 || type.typeBit == 0x20000;
    accounts.push_back({type.typeBit, enabled, Text(type.displayName), Text()});
  }
  return BuildTrayMenu(accounts, 3, false);
}

void Keep(QWidget& widget, const QString& name) {
  const QString folder = qEnvironmentVariable("TARVEL_IMAGE_DIR");
  if (!folder.isEmpty())
    widget.grab().save(QDir(folder).filePath(name + ".png"));
}

TEST(TrayMenuView, ItemsIconsAndTheBoldDefault) {
  QMenu menu;
  std::vector<uint32_t> chosen;
  FillTrayMenu(menu, TwoImapAccountsSilencedForThreeMinutes(),
               [&](uint32_t command) { chosen.push_back(command); });
  const QList<QAction*> actions = menu.actions();
  QStringList texts;
  for (QAction* action : actions)
    texts << (action->isSeparator() ? QString("-") : action->text());
  EXPECT_EQ(texts, (QStringList{"IMAP #1", "IMAP #2", "-", "Check Now", "Silence - For 3 Minutes",
                                "-", "Options", "Exit"}));
  ASSERT_NE(menu.defaultAction(), nullptr);
  EXPECT_EQ(menu.defaultAction()->text(), "IMAP #2");
  for (QAction* action : actions) {
    if (!action->isSeparator()) {
      EXPECT_FALSE(action->icon().isNull()) << action->text().toStdString();
    }
  }
  QMenu* silence = actions[4]->menu();
  ASSERT_NE(silence, nullptr);
  EXPECT_EQ(silence->actions().size(), 8);
  EXPECT_EQ(silence->accessibleName(), "Silence - For 3 Minutes");

  actions[1]->trigger();
  silence->actions()[1]->trigger();
  EXPECT_EQ(chosen, (std::vector<uint32_t>{40030, 40015}));

  menu.popup(QPoint(20, 20));
  silence->popup(QPoint(220, 60));
  Keep(menu, "tray-menu");
  Keep(*silence, "tray-menu-silence");
  silence->hide();

  // A refill replaces the items instead of adding to them.
  FillTrayMenu(menu, BuildTrayMenu({}, -1, false), nullptr);
  EXPECT_EQ(menu.actions().size(), 5);
  EXPECT_EQ(menu.defaultAction(), nullptr);
  EXPECT_EQ(menu.actions()[1]->text(), "Silence");
}

// A failed account: its item says what failed; the tooltip (as an X tray shows it, through Qt's
// tooltip) ends with the same line. Both are kept as pictures when TARVEL_IMAGE_DIR is set.
TEST(TrayMenuView, AFailedAccountInTheMenuAndTheTooltip) {
  std::vector<TrayMenuAccount> accounts;
  for (const AccountTypeInfo& type : kAccountTypes) {
    const bool enabled = type.typeBit == 0x8000 || type.typeBit == 0x20000;
    accounts.push_back({type.typeBit, enabled, Text(type.displayName), Text()});
  }
  const Text failure = AccountFailureText(Text(u"IMAP #1"), CheckStatus::Failure,
                                          Text(u"the server refused the login"));
  for (TrayMenuAccount& account : accounts) {
    if (account.typeBit == 0x8000)
      account.failure = failure;
  }
  QMenu menu;
  FillTrayMenu(menu, BuildTrayMenu(accounts, -1, false), nullptr);
  EXPECT_EQ(menu.actions()[0]->text(), u"IMAP #1: the server refused the login"_qs);
  EXPECT_EQ(menu.actions()[1]->text(), u"IMAP #2"_qs);
  menu.popup(QPoint(20, 20));
  // Nothing is cut off: the menu is as wide as its longest item wants.
  const QFontMetrics metrics(menu.font());
  EXPECT_GE(menu.width(), metrics.horizontalAdvance(menu.actions()[0]->text()));
  Keep(menu, "tray-menu-failed-account");
  menu.hide();

  const Text tip = CutTrayTip(TrayTooltipText(2, Text(u"Ann - Lunch\rBob - Report"), failure));
  QString shown = QString::fromStdU16String(std::u16string(tip.view())).replace(u'\r', u'\n');
  EXPECT_TRUE(shown.endsWith(u"\nIMAP #1: the server refused the login"_qs)) << shown.toStdString();
  QToolTip::showText(QPoint(20, 20), shown);
  for (QWidget* widget : QApplication::topLevelWidgets()) {
    if (widget->inherits("QTipLabel") && widget->isVisible())
      Keep(*widget, "tray-tooltip-failed-account");
  }
  QToolTip::hideText();
}

TEST(TrayMenuView, ReachableByKeyboard) {
  QMenu menu;
  std::vector<uint32_t> chosen;
  FillTrayMenu(menu, TwoImapAccountsSilencedForThreeMinutes(),
               [&](uint32_t command) { chosen.push_back(command); });
  menu.popup(QPoint(20, 20));
  // Down three times passes the separator: IMAP #1, IMAP #2, Check Now.
  for (int i = 0; i < 3; ++i) {
    QKeyEvent down(QEvent::KeyPress, Qt::Key_Down, Qt::NoModifier);
    QApplication::sendEvent(&menu, &down);
  }
  QKeyEvent enter(QEvent::KeyPress, Qt::Key_Return, Qt::NoModifier);
  QApplication::sendEvent(&menu, &enter);
  EXPECT_EQ(chosen, (std::vector<uint32_t>{40004}));
}

}  // namespace
}  // namespace tarvel
