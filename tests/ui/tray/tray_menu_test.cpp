#include "ui/tray/tray_menu.h"

#include <gtest/gtest.h>

#include <set>

#include "accounts/account_type.h"
#include "app/menu_commands.h"

namespace tarvel {
namespace {

std::vector<TrayMenuAccount> AllAccounts(std::set<uint32_t> enabledTypeBits) {
  std::vector<TrayMenuAccount> accounts;
  for (const AccountTypeInfo& type : kAccountTypes) {
    accounts.push_back(
        {type.typeBit, enabledTypeBits.count(type.typeBit) != 0, Text(type.displayName), Text()});
  }
  return accounts;
}

std::vector<uint32_t> Commands(const std::vector<TrayMenuItem>& menu) {
  std::vector<uint32_t> commands;
  for (const TrayMenuItem& item : menu)
    commands.push_back(item.command);
  return commands;
}

const TrayMenuItem* DefaultItem(const std::vector<TrayMenuItem>& menu) {
  const TrayMenuItem* found = nullptr;
  for (const TrayMenuItem& item : menu) {
    if (item.isDefault) {
      EXPECT_EQ(found, nullptr) << "two default items";
      found = &item;
    }
  }
  return found;
}

TEST(TrayMenu, TwoImapAccountsGiveTwoItemsAndTheSecondIsTheDefault) {
  std::vector<TrayMenuAccount> accounts = AllAccounts({0x8000, 0x20000});
  accounts[17].displayName = u"work@example.org";  // IMAP #2 named by its account
  const std::vector<TrayMenuItem> menu = BuildTrayMenu(accounts, -1, false);
  EXPECT_EQ(Commands(menu),
            (std::vector<uint32_t>{40028, 40030, 0, kCmdCheckNow, 0, 0, kCmdOptions, kCmdExit}));
  EXPECT_EQ(menu[0].text, std::u16string_view(u"IMAP #1"));
  EXPECT_EQ(menu[1].text, std::u16string_view(u"work@example.org"));
  EXPECT_EQ(menu[0].icon, 197u);
  ASSERT_NE(DefaultItem(menu), nullptr);
  EXPECT_EQ(DefaultItem(menu)->command, 40030u);
  EXPECT_EQ(menu[2].kind, TrayMenuItem::Kind::Separator);
  // The submenu is the fourth item from the end.
  EXPECT_EQ(menu[menu.size() - 4].kind, TrayMenuItem::Kind::Submenu);
}

// A failed account's item says what failed, cut to a menu's width; the other keeps its name.
TEST(TrayMenu, AFailedAccountShowsItsReasonInItsItem) {
  std::vector<TrayMenuAccount> accounts = AllAccounts({0x8000, 0x20000});
  accounts[16].failure = u"IMAP #1: the server refused the login";
  std::u16string longReason = u"IMAP #2: ";
  longReason.append(300, u'x');
  accounts[17].failure = Text(std::u16string_view(longReason));
  const std::vector<TrayMenuItem> menu = BuildTrayMenu(accounts, -1, false);
  EXPECT_EQ(menu[0].command, 40028u);
  EXPECT_EQ(menu[0].text, std::u16string_view(u"IMAP #1: the server refused the login"));
  EXPECT_EQ(menu[1].command, 40030u);
  EXPECT_LT(menu[1].text.length(), 100);
  EXPECT_EQ(menu[1].text.Left(9), std::u16string_view(u"IMAP #2: "));
  accounts[17].failure = Text();
  EXPECT_EQ(BuildTrayMenu(accounts, -1, false)[1].text, std::u16string_view(u"IMAP #2"));
}

TEST(TrayMenu, AccountItemsFollowTheMenuOrderAndTheLastIsTheDefault) {
  struct Case {
    const char* name;
    std::set<uint32_t> enabled;
    std::vector<uint32_t> commands;
    uint32_t defaultCommand;
  };
  const Case cases[] = {
      {"EWS comes first, Outlook.com last", {0x1, 0x100000, 0x2}, {40034, 40005, 40003}, 40003},
      {"GMail after Yahoo", {0x2, 0x4}, {40006, 40005}, 40005},
      {"Outlook.com Alternative before Outlook.com", {0x1000, 0x20}, {40009, 40033}, 40033},
      {"one account", {0x80000}, {40032}, 40032},
  };
  for (const Case& row : cases) {
    SCOPED_TRACE(row.name);
    const std::vector<TrayMenuItem> menu = BuildTrayMenu(AllAccounts(row.enabled), -1, false);
    std::vector<uint32_t> accountCommands;
    for (const TrayMenuItem& item : menu) {
      if (ReaderTypeForCommand(item.command))
        accountCommands.push_back(item.command);
    }
    EXPECT_EQ(accountCommands, row.commands);
    ASSERT_NE(DefaultItem(menu), nullptr);
    EXPECT_EQ(DefaultItem(menu)->command, row.defaultCommand);
  }
}

TEST(TrayMenu, EveryAccountCommandOpensItsOwnType) {
  std::set<uint32_t> typeBits;
  for (const TrayMenuAccountEntry& entry : kTrayMenuAccounts) {
    SCOPED_TRACE(entry.command);
    EXPECT_EQ(ReaderTypeForCommand(entry.command), entry.typeBit);
    typeBits.insert(entry.typeBit);
  }
  EXPECT_EQ(typeBits.size(), kAccountTypeCount);
}

TEST(TrayMenu, NoAccountEnabledLeavesNoDefaultAndNoLeadingSeparator) {
  const std::vector<TrayMenuItem> menu = BuildTrayMenu(AllAccounts({}), -1, false);
  EXPECT_EQ(Commands(menu), (std::vector<uint32_t>{kCmdCheckNow, 0, 0, kCmdOptions, kCmdExit}));
  EXPECT_EQ(DefaultItem(menu), nullptr);
  EXPECT_EQ(menu[0].text, std::u16string_view(u"Check Now"));
  EXPECT_EQ(menu[0].icon, 123u);
  EXPECT_EQ(menu[3].text, std::u16string_view(u"Options"));
  EXPECT_EQ(menu[3].icon, 120u);
  EXPECT_EQ(menu[4].text, std::u16string_view(u"Exit"));
  EXPECT_EQ(menu[4].icon, 105u);
}

TEST(TrayMenu, SilenceSubmenuTextAndIconFollowTheState) {
  struct Case {
    int32_t minutes;
    bool forEver;
    std::u16string_view text;
    uint32_t icon;
  };
  const Case cases[] = {
      {-1, false, u"Silence", 156},
      {-1, true, u"Silence", 156},  // the forever bit alone does not silence
      {3, false, u"Silence - For 3 Minutes", 155},
      {1, false, u"Silence - For 1 Minute", 155},
      {120, false, u"Silence - For 120 Minutes", 155},
      {0, false, u"Silence - Until Next Start", 155},
      {0, true, u"Silence - Forever", 155},
  };
  for (const Case& row : cases) {
    SCOPED_TRACE(row.minutes);
    const std::vector<TrayMenuItem> menu = BuildTrayMenu(AllAccounts({}), row.minutes, row.forEver);
    const TrayMenuItem& silence = menu[menu.size() - 4];
    EXPECT_EQ(silence.text, row.text);
    EXPECT_EQ(silence.icon, row.icon);
    EXPECT_EQ(SilenceMenuText(row.minutes, row.forEver), row.text);
  }
}

TEST(TrayMenu, SilenceSubmenuItems) {
  const std::vector<TrayMenuItem> menu = BuildTrayMenu(AllAccounts({}), -1, false);
  const std::vector<TrayMenuItem>& items = menu[menu.size() - 4].children;
  struct Expected {
    uint32_t command;
    std::u16string_view text;
    uint32_t icon;
  };
  const Expected expected[] = {
      {40021, u"Turn Notifications On", 156}, {40015, u"For 5 Minutes", 154},
      {40016, u"For 15 Minutes", 154},        {40017, u"For 30 Minutes", 154},
      {40018, u"For 60 Minutes", 154},        {40019, u"For 120 Minutes", 154},
      {40020, u"Until Next Start", 154},      {40035, u"Forever", 154},
  };
  ASSERT_EQ(items.size(), std::size(expected));
  for (std::size_t i = 0; i < items.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(items[i].command, expected[i].command);
    EXPECT_EQ(items[i].text, expected[i].text);
    EXPECT_EQ(items[i].icon, expected[i].icon);
  }
}

}  // namespace
}  // namespace tarvel
