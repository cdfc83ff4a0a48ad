#include <QApplication>
#include <QOpenGLContext>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "desktop/desktop_program.h"
#include "maintenance/copy_update.h"
#include "platform/version.h"

namespace {
constexpr char kBufferIntegration[] = "QT_WAYLAND_CLIENT_BUFFER_INTEGRATION";
}  // namespace

int main(int argc, char* argv[]) {
  // Answered before Qt starts, so that it needs no display.
  for (int index = 1; index < argc; ++index) {
    if (std::strcmp(argv[index], "--version") == 0) {
      std::printf("tarvel %.*s\n", static_cast<int>(tarvel::kVersion.size()),
                  tarvel::kVersion.data());
      return 0;
    }
  }
  // The program draws with the CPU only (its windows are raster widgets; the embedded browser is
  // a process of its own). On Wayland Qt would load the EGL client buffer integration and
  // Mesa's GL driver with the first window, about 50 MiB resident for nothing. The
  // integration is chosen once, at the first question about OpenGL, asked here; the variable is
  // then taken back so that the programs we start get the session's own environment. A user's
  // own choice of integration is kept.
  const bool chooseBufferIntegration = !qEnvironmentVariableIsSet(kBufferIntegration);
  if (chooseBufferIntegration)
    qputenv(kBufferIntegration, "none");
  QApplication qtApplication(argc, argv);
  if (chooseBufferIntegration) {
    if (QGuiApplication::platformName().startsWith(u"wayland"))
      QOpenGLContext::supportsThreadedOpenGL();
    qunsetenv(kBufferIntegration);
  }
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
