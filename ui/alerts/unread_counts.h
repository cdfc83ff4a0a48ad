#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

#include "platform/text.h"

namespace tarvel {

class AccountTypeList;
class RegistryStore;

// The per-user keys where desktop tools read the unread counts: one subkey per account
// address, and the program's own subkey for the mail of accounts without one.
inline constexpr std::string_view kUnreadMailKey =
    "Software\\Microsoft\\Windows\\CurrentVersion\\UnreadMail";
inline constexpr std::string_view kUnreadMailProgramKey =
    "Software\\Microsoft\\Windows\\CurrentVersion\\UnreadMail\\Tarvel";
inline constexpr std::string_view kUnreadMailApplication = "https://tarvel.quorline.com/";

// The unread count of one account that reports its address.
struct AccountUnreadCount {
  Text address;
  uint32_t count = 0;
};

// The accounts of the enabled types whose engines learnt an address, with their counts.
std::vector<AccountUnreadCount> AccountsWithAddresses(const AccountTypeList& accounts);

// The current local time as a Windows FILETIME: 100-nanosecond steps since 1601-01-01.
uint64_t LocalFileTimeNow();

// Writes the unread counts: each account's under its address, the rest under the program's
// key (deleted when nothing remains), and the total under `extraLocation` ("key\value"
// below the user's root) when that is not empty. Failed writes are ignored.
void WriteUnreadMailCount(RegistryStore& registry, const std::vector<AccountUnreadCount>& accounts,
                          uint32_t total, const Text& extraLocation, uint64_t fileTime);

// Where the desktop shows the total unread count besides the registry keys (a launcher
// badge).
class UnreadCountPublisher {
 public:
  virtual ~UnreadCountPublisher() = default;
  virtual void PublishUnreadCount(uint32_t total) = 0;
};

}  // namespace tarvel
