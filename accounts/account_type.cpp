#include "accounts/account_type.h"

#include "accounts/account_type_bits.h"

namespace tarvel {

namespace {

constexpr uint32_t TypeBitOf(std::u16string_view displayName) {
  for (const AccountTypeInfo& type : kAccountTypes) {
    if (type.displayName == displayName)
      return type.typeBit;
  }
  return 0;
}

static_assert(TypeBitOf(u"Outlook.com") == type_bits::kOutlook);
static_assert(TypeBitOf(u"GMail") == type_bits::kGMail);
static_assert(TypeBitOf(u"Yahoo") == type_bits::kYahoo);
static_assert(TypeBitOf(u"Zoho") == type_bits::kZoho);
static_assert(TypeBitOf(u"Mail.ru") == type_bits::kMailRu);
static_assert(TypeBitOf(u"Notes") == type_bits::kNotes);
static_assert(TypeBitOf(u"Virgilio.it") == type_bits::kVirgilio);
static_assert(TypeBitOf(u"Facebook") == type_bits::kFacebook);
static_assert(TypeBitOf(u"Twitter") == type_bits::kTwitter);
static_assert(TypeBitOf(u"Orange.fr") == type_bits::kOrangeFr);
static_assert(TypeBitOf(u"LinkedIn") == type_bits::kLinkedIn);
static_assert(TypeBitOf(u"O2.pl") == type_bits::kO2pl);
static_assert(TypeBitOf(u"Outlook.com Alternative") == type_bits::kOutlookAlternative);
static_assert(TypeBitOf(u"Yandex") == type_bits::kYandex);
static_assert(TypeBitOf(u"SFR.fr") == type_bits::kSfr);
static_assert(TypeBitOf(u"IMAP #1") == type_bits::kImap1);
static_assert(TypeBitOf(u"iNotes Web") == type_bits::kINotes);
static_assert(TypeBitOf(u"IMAP #2") == type_bits::kImap2);
static_assert(TypeBitOf(u"IMAP #3") == type_bits::kImap3);
static_assert(TypeBitOf(u"MAPI") == type_bits::kMapi);
static_assert(TypeBitOf(u"Microsoft Exchange Web Service") == type_bits::kExchange);

}  // namespace

const AccountTypeInfo* FindAccountType(uint32_t typeBit) {
  for (const AccountTypeInfo& type : kAccountTypes) {
    if (type.typeBit == typeBit)
      return &type;
  }
  return nullptr;
}

std::u16string_view DisplayNameForMask(uint32_t typeMask) {
  for (uint32_t bit = type_bits::kOutlook; bit <= type_bits::kMapi; bit <<= 1) {
    if (typeMask & bit)
      return FindAccountType(bit)->displayName;
  }
  if (typeMask & type_bits::kExchange)
    return FindAccountType(type_bits::kExchange)->displayName;
  return {};
}

}  // namespace tarvel
