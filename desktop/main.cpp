#include <QApplication>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "desktop/desktop_program.h"
#include "maintenance/copy_update.h"
#include "platform/version.h"
#include "ui/adapters/wayland_client.h"

int main(int argc, char* argv[]) {
  // Answered before Qt starts, so that it needs no display.
  for (int index = 1; index < argc; ++index) {
    if (std::strcmp(argv[index], "--version") == 0) {
      std::printf("tarvel %.*s\n", static_cast<int>(tarvel::kVersion.size()),
                  tarvel::kVersion.data());
      return 0;
    }
  }
  // The program draws with the CPU only; on Wayland Qt is told so before it starts.
  tarvel::ChooseWaylandBufferIntegration();
  QApplication qtApplication(argc, argv);
  tarvel::SettleWaylandBufferIntegration();
  tarvel::DesktopProgram::PrepareQt();
  const std::vector<std::string> arguments(argv + 1, argv + argc);
  int exitCode = 0;
  std::string restart;
  {
    tarvel::DesktopProgram program(arguments);
    exitCode = program.Run();
    restart = program.restartProgram();
  }
  // An update swapped in a new version: it starts once this instance has let go of its
  // single-instance lock.
  if (!restart.empty())
    tarvel::StartProgram(restart, arguments);
  return exitCode;
}
