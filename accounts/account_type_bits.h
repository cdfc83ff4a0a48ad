#pragma once

#include <cstdint>

namespace tarvel {

// The typeBit of each account type (the table of account types holds the same values; its
// source checks that they agree). Code that treats one type apart names it here.
namespace type_bits {

inline constexpr uint32_t kOutlook = 0x1;
inline constexpr uint32_t kGMail = 0x2;
inline constexpr uint32_t kYahoo = 0x4;
inline constexpr uint32_t kZoho = 0x8;
inline constexpr uint32_t kMailRu = 0x10;
inline constexpr uint32_t kNotes = 0x20;
inline constexpr uint32_t kVirgilio = 0x40;
inline constexpr uint32_t kFacebook = 0x80;
inline constexpr uint32_t kTwitter = 0x100;
inline constexpr uint32_t kOrangeFr = 0x200;
inline constexpr uint32_t kLinkedIn = 0x400;
inline constexpr uint32_t kO2pl = 0x800;
inline constexpr uint32_t kOutlookAlternative = 0x1000;
inline constexpr uint32_t kYandex = 0x2000;
inline constexpr uint32_t kSfr = 0x4000;
inline constexpr uint32_t kImap1 = 0x8000;
inline constexpr uint32_t kINotes = 0x10000;
inline constexpr uint32_t kImap2 = 0x20000;
inline constexpr uint32_t kImap3 = 0x40000;
inline constexpr uint32_t kMapi = 0x80000;
inline constexpr uint32_t kExchange = 0x100000;

inline constexpr uint32_t kBothOutlook = kOutlook | kOutlookAlternative;
inline constexpr uint32_t kAllImap = kImap1 | kImap2 | kImap3;

}  // namespace type_bits

}  // namespace tarvel
