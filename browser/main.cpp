// tarvel-browser: the embedded browser of the Tarvel notifier. The notifier starts it with one
// end of a private socket pair as descriptor 3 and talks to it in the frames of
// platform/browser_protocol.h; the program ends when that socket closes or its parent dies.

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <QApplication>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "browser/browser_server.h"
#include "platform/browser_protocol.h"

namespace {

struct Arguments {
  int socket = -1;
  long parent = 0;
  std::vector<std::string> authorityFiles;
};

bool ParseArguments(int argc, char** argv, Arguments* arguments) {
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string name = argv[i];
    const char* value = argv[i + 1];
    char* end = nullptr;
    if (name == "--socket-fd") {
      arguments->socket = static_cast<int>(std::strtol(value, &end, 10));
    } else if (name == "--parent") {
      arguments->parent = std::strtol(value, &end, 10);
    } else if (name == "--ca-file") {
      arguments->authorityFiles.emplace_back(value);
      continue;
    } else {
      return false;
    }
    if (!end || *end != '\0') {
      return false;
    }
  }
  return arguments->socket >= 0;
}

}  // namespace

int main(int argc, char** argv) {
  Arguments arguments;
  if (!ParseArguments(argc, argv, &arguments)) {
    const char usage[] = "tarvel-browser is started by the Tarvel notifier, not by hand.\n";
    [[maybe_unused]] const ssize_t ignored = ::write(2, usage, sizeof usage - 1);
    return 2;
  }
  // No helper outlives its notifier: the parent's end signals us, and one that already ended
  // before this line is caught by the comparison.
  ::prctl(PR_SET_PDEATHSIG, SIGTERM);
  if (arguments.parent > 0 && ::getppid() != arguments.parent) {
    return 1;
  }
  if (::fcntl(arguments.socket, F_SETFD, FD_CLOEXEC) != 0) {
    return 1;
  }
  if (const char* extra = std::getenv("TARVEL_CA_FILE"); extra && *extra) {
    arguments.authorityFiles.emplace_back(extra);
  }

  // Chromium's own switches: nothing of its background traffic, no throttling of the hidden
  // pages that the engines read, and the host mapping of TARVEL_CONNECT_TO. They go where Qt
  // reads the user's own (its parser keeps a double-quoted value with spaces whole; the rules
  // never hold a quote).
  std::string chromium =
      "--disable-background-networking --disable-background-timer-throttling"
      " --disable-renderer-backgrounding";
  if (const char* connectTo = std::getenv("TARVEL_CONNECT_TO"); connectTo && *connectTo) {
    const std::string rules = tarvel::browser_protocol::HostResolverRules(connectTo);
    if (!rules.empty()) {
      chromium += " --host-resolver-rules=\"" + rules + "\"";
    }
  }
  if (const char* own = std::getenv("QTWEBENGINE_CHROMIUM_FLAGS"); own && *own) {
    chromium = std::string(own) + " " + chromium;
  }
  ::setenv("QTWEBENGINE_CHROMIUM_FLAGS", chromium.c_str(), 1);

  QApplication::setAttribute(Qt::AA_ShareOpenGLContexts);
  QApplication application(argc, argv);
  QApplication::setApplicationName(QStringLiteral("tarvel-browser"));
  QApplication::setOrganizationName(QStringLiteral("Quorline"));
  // The user may close a visible view's window; the helper stays for the notifier.
  application.setQuitOnLastWindowClosed(false);

  tarvel::browser::BrowserServer server(arguments.socket, std::move(arguments.authorityFiles));
  if (!server.SendHello()) {
    return 1;
  }
  return application.exec();
}
