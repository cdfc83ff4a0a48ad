#include "accounts/account_type.h"

namespace tarvel {

const AccountTypeInfo* FindAccountType(uint32_t typeBit) {
  for (const AccountTypeInfo& type : kAccountTypes) {
    if (type.typeBit == typeBit)
      return &type;
  }
  return nullptr;
}

std::u16string_view DisplayNameForMask(uint32_t typeMask) {
  for (uint32_t bit = 0x1; bit <= 0x80000; bit <<= 1) {
    if (typeMask & bit)
      return FindAccountType(bit)->displayName;
  }
  if (typeMask & 0x100000)
    return FindAccountType(0x100000)->displayName;
  return {};
}

}  // namespace tarvel
