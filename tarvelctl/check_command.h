#pragma once

#include "tarvelctl/store_options.h"

namespace tarvel::ctl {

// "tarvelctl check [--json]": starts as the desktop program does, runs one manual check of
// every enabled account type and prints the outcome. Returns the check's status (0 to 3),
// or 2 for bad arguments and 1 for an unusable store.
int RunCheckCommand(const StoreOptions& options, int argc, char* argv[]);

}  // namespace tarvel::ctl
