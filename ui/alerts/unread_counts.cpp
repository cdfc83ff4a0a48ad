#include "ui/alerts/unread_counts.h"

#include <time.h>

#include <map>
#include <string>

#include "accounts/account_type_list.h"
#include "accounts/registry_store.h"
#include "platform/ascii_bytes.h"

namespace tarvel {

namespace {

// Seconds from 1601-01-01 to 1970-01-01.
constexpr uint64_t kFileTimeEpochOffsetSeconds = 11'644'473'600ull;
constexpr uint64_t kFileTimeStepsPerSecond = 10'000'000ull;

std::string LittleEndian64(uint64_t value) {
  std::string bytes(8, '\0');
  for (std::size_t i = 0; i < 8; ++i)
    bytes[i] = static_cast<char>((value >> (8 * i)) & 0xFF);
  return bytes;
}

void WriteCountKey(RegistryStore& registry, const std::string& key, uint32_t count,
                   uint64_t fileTime) {
  registry.WriteValue(key, "MessageCount", RegistryValue::Dword(count));
  if (!registry.ReadValue(key, "Application"))
    registry.WriteValue(key, "Application",
                        RegistryValue::String(std::string(kUnreadMailApplication)));
  registry.WriteValue(key, "TimeStamp", RegistryValue::Binary(LittleEndian64(fileTime)));
}

}  // namespace

std::vector<AccountUnreadCount> AccountsWithAddresses(const AccountTypeList& accounts) {
  std::vector<AccountUnreadCount> result;
  for (const MailEngine* engine = accounts.first(); engine;
       engine = AccountTypeList::next(engine)) {
    if (!accounts.isEnabled(*engine) || engine->accountName.isEmpty())
      continue;
    result.push_back({engine->accountName, static_cast<uint32_t>(engine->mails.count())});
  }
  return result;
}

uint64_t LocalFileTimeNow() {
  timespec now{};
  ::clock_gettime(CLOCK_REALTIME, &now);
  tm local{};
  const time_t seconds = now.tv_sec;
  ::localtime_r(&seconds, &local);
  const int64_t localSeconds = static_cast<int64_t>(now.tv_sec) + local.tm_gmtoff;
  return (static_cast<uint64_t>(localSeconds) + kFileTimeEpochOffsetSeconds) *
             kFileTimeStepsPerSecond +
         static_cast<uint64_t>(now.tv_nsec) / 100;
}

void WriteUnreadMailCount(RegistryStore& registry, const std::vector<AccountUnreadCount>& accounts,
                          uint32_t total, const Text& extraLocation, uint64_t fileTime) {
  // Accounts that share an address share a key: their counts are added, not overwritten.
  // An address with the key separator in it would name another key; it is counted with the
  // program's own key instead.
  std::map<std::u16string, std::pair<std::string, uint32_t>> byAddress;
  for (const AccountUnreadCount& account : accounts) {
    if (account.address.isEmpty() || account.address.FindChar(u'\\') >= 0)
      continue;
    std::u16string folded;
    for (const char16_t unit : account.address.view())
      folded.push_back(ascii_bytes::Lower(unit));
    auto& entry = byAddress[folded];
    if (entry.first.empty())
      entry.first = account.address.ToUtf8();
    entry.second += account.count;
  }
  uint32_t remaining = total;
  for (const auto& [folded, entry] : byAddress) {
    static_cast<void>(folded);
    WriteCountKey(registry, std::string(kUnreadMailKey) + "\\" + entry.first, entry.second,
                  fileTime);
    // Counts above the total (a total taken at another moment) leave nothing, never a
    // wrapped-around remainder.
    remaining = entry.second >= remaining ? 0 : remaining - entry.second;
  }
  if (remaining == 0)
    registry.DeleteKey(kUnreadMailProgramKey);
  else
    WriteCountKey(registry, std::string(kUnreadMailProgramKey), remaining, fileTime);

  if (!extraLocation.isEmpty()) {
    const Text::Position split = extraLocation.FindLastChar(u'\\');
    const Text key = split >= 0 ? extraLocation.Left(split) : Text();
    const Text name = split >= 0 ? extraLocation.Mid(split + 1) : extraLocation;
    registry.WriteValue(key.ToUtf8(), name.ToUtf8(), RegistryValue::Dword(total));
  }
}

}  // namespace tarvel
