#pragma once

#include <QString>

namespace tarvel {

// The program's windows are titled "Tarvel E-Mail Notifier [major.minor]", the minor version
// with two digits.
QString WindowTitleWithVersion();

}  // namespace tarvel
