#include "ui/alerts/unread_counts.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "accounts/registry_store.h"
#include "tests/support/temp_folder.h"

namespace tarvel {
namespace {

constexpr uint64_t kFileTime = 0x01DB123456789ABCull;

std::string Key(const std::string& address) {
  return std::string(kUnreadMailKey) + "\\" + address;
}

std::optional<uint64_t> Count(RegistryStore& registry, const std::string& key) {
  const std::optional<RegistryValue> value = registry.ReadValue(key, "MessageCount");
  if (!value || value->type != RegistryValueType::Dword)
    return std::nullopt;
  return value->AsNumber();
}

TEST(UnreadCounts, TwoAddressesTakeTheWholeTotal) {
  testing::TempFolder folder;
  RegistryStore registry(folder.file("registry"));
  // A count left from an earlier check is deleted when nothing remains for it.
  ASSERT_TRUE(registry.WriteValue(kUnreadMailProgramKey, "MessageCount", RegistryValue::Dword(4)));
  WriteUnreadMailCount(registry, {{Text(u"alice@gmail.com"), 3}, {Text(u"bob@example.org"), 2}}, 5,
                       Text(), kFileTime);
  EXPECT_EQ(Count(registry, Key("alice@gmail.com")), 3u);
  EXPECT_EQ(Count(registry, Key("bob@example.org")), 2u);
  EXPECT_FALSE(registry.KeyExists(kUnreadMailProgramKey));

  const std::optional<RegistryValue> stamp =
      registry.ReadValue(Key("alice@gmail.com"), "TimeStamp");
  ASSERT_TRUE(stamp);
  EXPECT_EQ(stamp->type, RegistryValueType::Binary);
  EXPECT_EQ(stamp->AsNumber(), kFileTime);
  const std::optional<RegistryValue> application =
      registry.ReadValue(Key("alice@gmail.com"), "Application");
  ASSERT_TRUE(application);
  EXPECT_EQ(application->type, RegistryValueType::String);
  EXPECT_EQ(application->data, kUnreadMailApplication);
}

TEST(UnreadCounts, TheRemainderGoesToTheProgramKeyAndTheExtraLocationGetsTheTotal) {
  testing::TempFolder folder;
  RegistryStore registry(folder.file("registry"));
  // An Application value another program wrote is kept.
  ASSERT_TRUE(
      registry.WriteValue(kUnreadMailProgramKey, "Application", RegistryValue::String("other")));
  WriteUnreadMailCount(registry, {{Text(u"alice@gmail.com"), 3}}, 7,
                       Text(u"Software\\Tools\\Mail\\Unread"), kFileTime);
  EXPECT_EQ(Count(registry, Key("alice@gmail.com")), 3u);
  EXPECT_EQ(Count(registry, std::string(kUnreadMailProgramKey)), 4u);
  EXPECT_EQ(registry.ReadValue(kUnreadMailProgramKey, "Application")->data, "other");
  const std::optional<RegistryValue> extra = registry.ReadValue("Software\\Tools\\Mail", "Unread");
  ASSERT_TRUE(extra);
  EXPECT_EQ(extra->type, RegistryValueType::Dword);
  EXPECT_EQ(extra->AsNumber(), 7u);
}

TEST(UnreadCounts, UntrustedAddressesAndCounts) {
  struct Row {
    const char* name;
    std::vector<AccountUnreadCount> accounts;
    uint32_t total;
    std::vector<std::pair<std::string, uint32_t>> keys;  // address keys written
    std::optional<uint32_t> programCount;
  };
  const Row rows[] = {
      // Two account types of one address share the key and add their counts.
      {"shared address", {{Text(u"a@x.org"), 2}, {Text(u"A@X.org"), 3}}, 6, {{"a@x.org", 5}}, 1},
      // An address with the key separator would write into another key.
      {"separator in the address", {{Text(u"a\\b"), 2}}, 2, {}, 2},
      // Counts above the total leave no wrapped-around remainder.
      {"counts above the total", {{Text(u"a@x.org"), 9}}, 4, {{"a@x.org", 9}}, std::nullopt},
      {"no accounts", {}, 3, {}, 3},
      {"nothing unread", {}, 0, {}, std::nullopt},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    testing::TempFolder folder;
    RegistryStore registry(folder.file("registry"));
    WriteUnreadMailCount(registry, row.accounts, row.total, Text(), kFileTime);
    std::vector<std::pair<std::string, uint32_t>> written;
    for (const std::string& subkey : registry.Subkeys(kUnreadMailKey)) {
      if (subkey != "Tarvel")
        written.emplace_back(subkey, static_cast<uint32_t>(*Count(registry, Key(subkey))));
    }
    EXPECT_EQ(written, row.keys);
    const std::optional<uint64_t> program = Count(registry, std::string(kUnreadMailProgramKey));
    EXPECT_EQ(program,
              row.programCount ? std::optional<uint64_t>(*row.programCount) : std::nullopt);
  }
}

TEST(UnreadCounts, LocalFileTimeIsAfter2020) {
  // 2020-01-01 as a FILETIME; the clock of any machine running the tests is later.
  EXPECT_GT(LocalFileTimeNow(), 132223104000000000ull);
}

}  // namespace
}  // namespace tarvel
