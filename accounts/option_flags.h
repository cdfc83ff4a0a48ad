#pragma once

#include <atomic>
#include <cstdint>

namespace tarvel {

// Bits of the 64-bit option word `Flags`. Bit n of the word is (1 << n); bits 32 to 63 form
// the high half.
namespace flag_bits {

inline constexpr uint64_t kNoUpdateCheck = 1ull << 0;

// Tray icon styles; at most one is set, none means "Outlook.com".
inline constexpr uint64_t kTrayMsnMessenger = 1ull << 1;
inline constexpr uint64_t kTrayOutlookComWhite = 1ull << 2;
inline constexpr uint64_t kTrayHotmail = 1ull << 3;
inline constexpr uint64_t kTrayHotmailWhite = 1ull << 4;
inline constexpr uint64_t kTrayOutlook = 1ull << 9;
inline constexpr uint64_t kTrayApple = 1ull << 21;
inline constexpr uint64_t kTrayGMail = 1ull << 29;
inline constexpr uint64_t kTrayYandex = 1ull << 30;
inline constexpr uint64_t kTrayFancyOutlook = 1ull << 31;
inline constexpr uint64_t kTrayMailRu = 1ull << 33;
inline constexpr uint64_t kTrayStyleMask =
    kTrayMsnMessenger | kTrayOutlookComWhite | kTrayHotmail | kTrayHotmailWhite | kTrayOutlook |
    kTrayApple | kTrayGMail | kTrayYandex | kTrayFancyOutlook | kTrayMailRu;

inline constexpr uint64_t kHideTrayCount = 1ull << 5;
// "Use alternative Tooltip": new mail is announced in the popup window, not a balloon, and
// new-mail lines are not cut.
inline constexpr uint64_t kPopupAnnouncements = 1ull << 12;
inline constexpr uint64_t kShowMailListWindow = 1ull << 19;
inline constexpr uint64_t kTrayCountAsBadge = 1ull << 34;
inline constexpr uint64_t kSilencedForEver = 1ull << 36;
// Run-time only: a check was asked for while one ran; run one as soon as it ends.
inline constexpr uint64_t kRecheckRequested = 1ull << 62;
// Run-time only: the custom mail picture of the tray icon is an ".ico" file.
inline constexpr uint64_t kCustomTrayPictureIsIcon = 1ull << 63;
// The run-time bits: decided afresh on every start, never stored.
inline constexpr uint64_t kRunTimeBits = kRecheckRequested | kCustomTrayPictureIsIcon;

inline constexpr uint64_t kDefault = 0x1010;

}  // namespace flag_bits

// The option word, shared by the main thread, the check thread and the IMAP threads.
// Every change is one atomic read-modify-write of the whole word.
class OptionFlags {
 public:
  explicit OptionFlags(uint64_t value = flag_bits::kDefault) : value_(value) {}

  uint64_t load() const { return value_.load(); }
  void store(uint64_t value) { value_.store(value); }
  bool any(uint64_t mask) const { return (value_.load() & mask) != 0; }
  void set(uint64_t mask) { value_.fetch_or(mask); }
  void clear(uint64_t mask) { value_.fetch_and(~mask); }
  // Clears the bits and reports whether any of them was set.
  bool testAndClear(uint64_t mask) { return (value_.fetch_and(~mask) & mask) != 0; }

 private:
  std::atomic<uint64_t> value_;
};

}  // namespace tarvel
