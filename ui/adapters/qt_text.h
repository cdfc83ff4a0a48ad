#pragma once

#include <QString>

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/text.h"
#include "resources/string_table.h"

namespace tarvel {

// Conversions between the program's UTF-16 text and Qt's.
inline QString ToQString(std::u16string_view text) {
  return QString::fromStdU16String(std::u16string(text));
}

inline Text ToText(const QString& text) {
  const std::u16string units = text.toStdU16String();
  return Text(std::u16string_view(units));
}

// An entry of the string table.
inline QString LoadQString(uint32_t id) {
  return ToQString(LoadString(id).view());
}

}  // namespace tarvel
