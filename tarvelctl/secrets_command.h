#pragma once

#include "tarvelctl/store_options.h"

namespace tarvel::ctl {

// "tarvelctl secrets status|migrate [--to-file]": `argc`/`argv` start at the word after
// "secrets". Returns the process exit code: 0 done, 1 a value was not moved or no keyring,
// 2 bad arguments or an unusable store.
int RunSecretsCommand(const StoreOptions& options, int argc, char* argv[]);

}  // namespace tarvel::ctl
