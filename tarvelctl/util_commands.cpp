#include "tarvelctl/util_commands.h"

#include <cstdio>

namespace tarvel::ctl {

int RunUtilCommand(int /*argc*/, char* /*argv*/[]) {
  std::fputs("tarvelctl util: no diagnostics are built in yet\n", stderr);
  return 2;
}

}  // namespace tarvel::ctl
