#include "platform/network_settings.h"

#include <cstdlib>
#include <mutex>
#include <utility>

namespace tarvel {

namespace {

struct NetworkSettings {
  std::mutex mutex;
  std::string extraAuthorityFile;
  NetworkTimeouts timeouts = kDefaultNetworkTimeouts;
};

NetworkSettings& Settings() {
  static NetworkSettings settings;
  return settings;
}

}  // namespace

void SetExtraCertificateAuthorityFile(std::string path) {
  std::lock_guard guard(Settings().mutex);
  Settings().extraAuthorityFile = std::move(path);
}

std::vector<std::string> ExtraCertificateAuthorityFiles() {
  std::vector<std::string> files;
  {
    std::lock_guard guard(Settings().mutex);
    if (!Settings().extraAuthorityFile.empty()) {
      files.push_back(Settings().extraAuthorityFile);
    }
  }
  if (const char* fromEnvironment = std::getenv("TARVEL_CA_FILE");
      fromEnvironment && fromEnvironment[0] != '\0') {
    files.emplace_back(fromEnvironment);
  }
  return files;
}

NetworkTimeouts CurrentNetworkTimeouts() {
  std::lock_guard guard(Settings().mutex);
  return Settings().timeouts;
}

void SetNetworkTimeouts(NetworkTimeouts timeouts) {
  std::lock_guard guard(Settings().mutex);
  Settings().timeouts = timeouts;
}

}  // namespace tarvel
