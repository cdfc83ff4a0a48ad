#include "ui/adapters/window_title.h"

#include <string>

#include "platform/version.h"
#include "resources/string_table.h"

namespace tarvel {

QString WindowTitleWithVersion() {
  return QStringLiteral("%1 [%2.%3]")
      .arg(QString::fromStdU16String(std::u16string(kProgramTitle)))
      .arg(kVersionMajor)
      .arg(kVersionMinor, 2, 10, QLatin1Char('0'));
}

}  // namespace tarvel
