#include "accounts/account_type_list.h"

#include <gtest/gtest.h>

#include <set>

#include "tests/support/scripted_engine.h"

namespace tarvel {
namespace {

TEST(AccountTypeList, HoldsAllTypesInOrderWithDistinctBits) {
  OptionFlags flags(0);
  AccountTypeList accounts(flags, testing::ScriptedEngineFactory());
  std::set<uint32_t> typeBits;
  std::set<uint64_t> selectBits;
  std::set<uint32_t> icons;
  std::size_t index = 0;
  for (MailEngine* engine = accounts.first(); engine; engine = AccountTypeList::next(engine)) {
    EXPECT_EQ(engine, accounts.at(index));
    EXPECT_EQ(engine->typeBit, kAccountTypes[index].typeBit);
    EXPECT_EQ(std::popcount(engine->typeBit), 1);
    EXPECT_EQ(std::popcount(engine->selectBit), 1);
    typeBits.insert(engine->typeBit);
    selectBits.insert(engine->selectBit);
    ++index;
  }
  EXPECT_EQ(index, 21u);
  EXPECT_EQ(typeBits.size(), 21u);
  EXPECT_EQ(selectBits.size(), 21u);
  EXPECT_EQ(accounts.at(0)->name, u"Outlook");
  EXPECT_EQ(accounts.at(20)->name, u"EWS");
  EXPECT_EQ(accounts.at(17)->reader, u"");
  EXPECT_EQ(accounts.at(19)->reader, u"Microsoft Outlook");
}

TEST(AccountTypeList, EnablingFollowsTheSelectBitsInBothHalves) {
  OptionFlags flags(0x4000000);  // only the second IMAP account
  AccountTypeList accounts(flags, testing::ScriptedEngineFactory());
  std::vector<uint32_t> enabled;
  for (MailEngine* engine = accounts.first(); engine; engine = AccountTypeList::next(engine)) {
    if (accounts.isEnabled(*engine))
      enabled.push_back(engine->typeBit);
  }
  EXPECT_EQ(enabled, std::vector<uint32_t>{0x20000});
  flags.store(0x1ull << 32);  // the high half: Outlook.com Alternative
  EXPECT_TRUE(accounts.isEnabled(*accounts.findByTypeBit(0x1000)));
  EXPECT_TRUE(accounts.anyEnabled());
  flags.store(flag_bits::kDefault);
  EXPECT_FALSE(accounts.anyEnabled());
}

TEST(DisplayNameForMask, LowestTestedBitWins) {
  const struct {
    uint32_t mask;
    std::u16string_view name;
  } rows[] = {
      {0x20000 | 0x100000, u"IMAP #2"},
      {0x100000, u"Microsoft Exchange Web Service"},
      {0x1000 | 0x2000, u"Outlook.com Alternative"},
      {0x2, u"GMail"},
      {0x200000, u""},
      {0, u""},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.mask);
    EXPECT_EQ(DisplayNameForMask(row.mask), row.name);
  }
}

TEST(NameFromAddress, GivesTheCapitalisedHost) {
  const struct {
    std::u16string_view address;
    std::u16string_view name;
  } rows[] = {
      {u"https://www.outlook.live.com/mail/inbox", u"Outlook.live.com"},
      {u"HTTP://WWW.example.org", u"Example.org"},
      {u"mail.zoho.com", u"Mail.zoho.com"},
      {u"", u""},
  };
  for (const auto& row : rows) {
    EXPECT_EQ(NameFromAddress(Text(row.address)).view(), row.name);
  }
}

}  // namespace
}  // namespace tarvel
