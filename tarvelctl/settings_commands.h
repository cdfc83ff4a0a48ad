#pragma once

#include "tarvelctl/store_options.h"

namespace tarvel::ctl {

// "tarvelctl settings list|get|set|delete|delete-group ...": `argc`/`argv` start at the
// word after "settings". Returns the process exit code: 0 done, 1 not found or not stored,
// 2 bad arguments or an unusable store.
int RunSettingsCommand(const StoreOptions& options, int argc, char* argv[]);

}  // namespace tarvel::ctl
