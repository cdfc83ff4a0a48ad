#include <QApplication>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "desktop/desktop_program.h"
#include "platform/version.h"

int main(int argc, char* argv[]) {
  // Answered before Qt starts, so that it needs no display.
  for (int index = 1; index < argc; ++index) {
    if (std::strcmp(argv[index], "--version") == 0) {
      std::printf("tarvel %.*s\n", static_cast<int>(tarvel::kVersion.size()),
                  tarvel::kVersion.data());
      return 0;
    }
  }
  QApplication qtApplication(argc, argv);
  tarvel::DesktopProgram::PrepareQt();
  tarvel::DesktopProgram program(std::vector<std::string>(argv + 1, argv + argc));
  return program.Run();
}
