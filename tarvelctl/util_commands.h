#pragma once

namespace tarvel::ctl {

// "tarvelctl util ...": diagnostics over the text, JSON and XML layers. `argc`/`argv` start
// at the word after "util". Returns the process exit code.
int RunUtilCommand(int argc, char* argv[]);

}  // namespace tarvel::ctl
