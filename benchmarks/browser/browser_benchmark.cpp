// WebView::LoadPageSource of a 200 KB page served by the fixture server (HTTPS, test
// authority, a real host name), with the helper tarvel-browser of this build:
//   cold: the helper is ended before each load, so its start is part of the time;
//   warm: the helper keeps running.
// The memory benchmark reports resident memory (kB) of this process before and after 50 loads,
// of the helper with its Chromium processes while it runs, and after it has ended.
//
//   build/bin/browser_benchmark   (as root it turns Chromium's sandbox off, as the tests do)
#include <benchmark/benchmark.h>
#include <dirent.h>
#include <signal.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <map>
#include <string>

#include "platform/browser_connection.h"
#include "platform/web_view.h"
#include "tests/support/fixture_server.h"

namespace {

using tarvel::BrowserConnection;
using tarvel::Text;
using tarvel::WebView;
using tarvel::testing::FixtureServer;
using tarvel::testing::TemporaryFolder;

constexpr char kUrl[] = "https://mail.google.com/big";

std::string BigPage() {
  std::string page = "<!DOCTYPE html><html><head><title>Inbox</title></head><body><table>";
  for (int row = 0; page.size() < 200 * 1024; ++row) {
    page += "<tr><td class=\"sender\">Sender " + std::to_string(row) +
            "</td><td class=\"subject\">Subject line of message " + std::to_string(row) +
            " &amp; more</td><td>2026-12-11</td></tr>";
  }
  return page + "</table></body></html>";
}

struct Setup {
  TemporaryFolder folder;
  FixtureServer server;
  bool ready = false;
  Setup() {
    ::setenv("XDG_DATA_HOME", (folder.path() + "/data").c_str(), 1);
    if (!std::getenv("QT_QPA_PLATFORM")) {
      ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    }
    if (::geteuid() == 0) {
      ::setenv("QTWEBENGINE_DISABLE_SANDBOX", "1", 1);
    }
    ready = server.Start(nlohmann::json::array(
        {{{"host", "mail.google.com"},
          {"path", "/big"},
          {"body", BigPage()},
          {"headers", nlohmann::json::array({nlohmann::json::array(
                          {"Content-Type", "text/html; charset=utf-8"})})}}}));
    server.ExportEnvironment();
  }
};

Setup& Shared() {
  static Setup setup;
  return setup;
}

long ResidentKilobytes(pid_t process) {
  std::ifstream status("/proc/" + std::to_string(process) + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmRSS:", 0) == 0) {
      return std::strtol(line.c_str() + 6, nullptr, 10);
    }
  }
  return 0;
}

// The process and all its descendants.
long TreeResidentKilobytes(pid_t root) {
  std::map<pid_t, pid_t> parents;
  if (DIR* proc = ::opendir("/proc")) {
    while (const dirent* entry = ::readdir(proc)) {
      const pid_t process = static_cast<pid_t>(std::strtol(entry->d_name, nullptr, 10));
      if (process <= 0) {
        continue;
      }
      std::ifstream stat("/proc/" + std::to_string(process) + "/stat");
      std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
      const std::size_t close = text.rfind(')');
      if (close == std::string::npos) {
        continue;
      }
      char state = 0;
      int parent = 0;
      if (std::sscanf(text.c_str() + close + 1, " %c %d", &state, &parent) == 2) {
        parents[process] = parent;
      }
    }
    ::closedir(proc);
  }
  long total = 0;
  for (const auto& [process, parent] : parents) {
    for (pid_t up = process; up > 1;) {
      if (up == root) {
        total += ResidentKilobytes(process);
        break;
      }
      const auto found = parents.find(up);
      up = found == parents.end() ? 0 : found->second;
    }
  }
  return total;
}

bool LoadOnce() {
  Text source;
  return WebView::LoadPageSource(Text::FromUtf8(kUrl), &source, 0) && source.length() > 200000;
}

void LoadPageSourceCold(benchmark::State& state) {
  if (!Shared().ready) {
    state.SkipWithError("no fixture server");
    return;
  }
  for (auto _ : state) {
    state.PauseTiming();
    BrowserConnection::Shared().ShutDown();
    state.ResumeTiming();
    if (!LoadOnce()) {
      state.SkipWithError("LoadPageSource failed");
      return;
    }
  }
}
BENCHMARK(LoadPageSourceCold)
    ->Iterations(1)
    ->Repetitions(20)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

void LoadPageSourceWarm(benchmark::State& state) {
  if (!Shared().ready || !LoadOnce()) {
    state.SkipWithError("no fixture server or no helper");
    return;
  }
  for (auto _ : state) {
    if (!LoadOnce()) {
      state.SkipWithError("LoadPageSource failed");
      return;
    }
  }
}
BENCHMARK(LoadPageSourceWarm)
    ->Iterations(1)
    ->Repetitions(20)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

void Memory(benchmark::State& state) {
  if (!Shared().ready || !LoadOnce()) {
    state.SkipWithError("no fixture server or no helper");
    return;
  }
  for (auto _ : state) {
    const long before = ResidentKilobytes(::getpid());
    for (int i = 0; i < 50; ++i) {
      if (!LoadOnce()) {
        state.SkipWithError("LoadPageSource failed");
        return;
      }
    }
    const long after = ResidentKilobytes(::getpid());
    const pid_t helper = BrowserConnection::Shared().HelperProcess();
    const long helperOnly = ResidentKilobytes(helper);
    const long helperTree = TreeResidentKilobytes(helper);
    BrowserConnection::Shared().ShutDown();
    state.counters["notifier_kB_before"] = static_cast<double>(before);
    state.counters["notifier_kB_after_50"] = static_cast<double>(after);
    state.counters["helper_kB"] = static_cast<double>(helperOnly);
    state.counters["helper_with_chromium_kB"] = static_cast<double>(helperTree);
    // Ended and reaped: no process, nothing resident.
    state.counters["helper_kB_after_end"] =
        ::kill(helper, 0) == 0 ? static_cast<double>(TreeResidentKilobytes(helper)) : 0.0;
  }
}
BENCHMARK(Memory)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
