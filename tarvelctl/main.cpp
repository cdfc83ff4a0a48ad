#include <cstdio>
#include <string_view>

#include "tarvelctl/util_commands.h"

namespace {

constexpr const char* kUsage =
    "Usage: tarvelctl [-p | --ini PATH] COMMAND [ARGUMENTS]\n"
    "\n"
    "The command-line companion of Tarvel E-Mail Notifier.\n"
    "\n"
    "Commands:\n"
    "  util ...       diagnostics over the text, JSON and XML readers\n"
    "\n"
    "Options:\n"
    "  -h, --help     show this help and exit\n";

}  // namespace

int main(int argc, char* argv[]) {
  if (argc < 2) {
    std::fputs(kUsage, stderr);
    return 2;
  }
  const std::string_view command = argv[1];
  if (command == "-h" || command == "--help" || command == "help") {
    std::fputs(kUsage, stdout);
    return 0;
  }
  if (command == "util") return tarvel::ctl::RunUtilCommand(argc - 2, argv + 2);
  std::fprintf(stderr, "tarvelctl: unknown command '%s'\n", argv[1]);
  std::fputs(kUsage, stderr);
  return 2;
}
