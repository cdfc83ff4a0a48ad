// IMAP benchmark against a loopback Dovecot: one check of an inbox with 1,000 unseen messages
// (20 headers fetched) by the engine, against the same work done by the curl command-line
// tool (the UNSEEN search and 20 header FETCHes on one connection); the time from a message
// arriving in an idling account's inbox to the engine's check-in; the push path (20 pushes:
// from the check-in to the end of the check it asks for, wall and CPU time, and the logins
// per push); and the wake-ups of the process while an account idles.
//
// Usage: imap_benchmark [RUNS] [IDLE_SECONDS]   (prints the figures; not part of the tests)
// The server sends its IDLE keep-alive every 2 minutes, as Dovecot does by default.
#include <dirent.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "accounts/check_in_relay.h"
#include "accounts/option_flags.h"
#include "engines/protocol/imap_engine.h"
#include "tests/support/dovecot_server.h"
#include "tests/support/fake_clock.h"

namespace {

using Clock = std::chrono::steady_clock;
using tarvel::testing::DovecotServer;

constexpr int kMessages = 1000;

double Milliseconds(Clock::duration duration) {
  return std::chrono::duration<double, std::milli>(duration).count();
}

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values.empty() ? 0 : values[values.size() / 2];
}

std::string MessageText(int number) {
  return "From: Sender " + std::to_string(number) + " <s" + std::to_string(number) +
         "@example.com>\r\nSubject: Benchmark message " + std::to_string(number) +
         "\r\nDate: Thu, 10 Dec 2026 10:00:00 +0200\r\n\r\nbody\r\n";
}

// Writes a message straight into the maildir's "new" folder (unseen), as a delivery agent
// does: written under tmp, then renamed. Returns the moment of the rename.
Clock::time_point DropIntoMaildir(const std::string& maildir, int number) {
  static int sequence = 0;
  const std::string name =
      std::to_string(::time(nullptr)) + ".bench" + std::to_string(++sequence) + ".localhost";
  const std::string temporary = maildir + "/tmp/" + name;
  {
    std::ofstream out(temporary, std::ios::binary);
    out << MessageText(number);
  }
  ::chown(temporary.c_str(), 65534, 65534);
  const Clock::time_point moment = Clock::now();
  ::rename(temporary.c_str(), (maildir + "/new/" + name).c_str());
  return moment;
}

const tarvel::AccountTypeInfo& FirstImapType() {
  for (const tarvel::AccountTypeInfo& type : tarvel::kAccountTypes) {
    if (type.engine == tarvel::EngineKind::Imap)
      return type;
  }
  return tarvel::kAccountTypes[0];
}

double CpuMilliseconds() {
  rusage usage{};
  ::getrusage(RUSAGE_SELF, &usage);
  return usage.ru_utime.tv_sec * 1000.0 + usage.ru_utime.tv_usec / 1000.0 +
         usage.ru_stime.tv_sec * 1000.0 + usage.ru_stime.tv_usec / 1000.0;
}

// Context switches of every thread of this process so far (each wake-up of a sleeping thread
// is one voluntary switch when it sleeps again).
long ContextSwitches() {
  long total = 0;
  DIR* tasks = ::opendir("/proc/self/task");
  if (!tasks)
    return -1;
  while (const dirent* entry = ::readdir(tasks)) {
    if (entry->d_name[0] == '.')
      continue;
    std::ifstream status(std::string("/proc/self/task/") + entry->d_name + "/status");
    std::string line;
    while (std::getline(status, line)) {
      for (const char* key : {"voluntary_ctxt_switches:", "nonvoluntary_ctxt_switches:"}) {
        if (line.rfind(key, 0) == 0)
          total += std::strtol(line.c_str() + std::strlen(key), nullptr, 10);
      }
    }
  }
  ::closedir(tasks);
  return total;
}

}  // namespace

int main(int argc, char* argv[]) {
  int runs = 7;
  if (argc > 1) {
    const std::string_view text = argv[1];
    std::from_chars(text.data(), text.data() + text.size(), runs);
    runs = std::max(1, std::min(runs, 100));
  }
  int idleSeconds = 300;
  if (argc > 2) {
    const std::string_view text = argv[2];
    std::from_chars(text.data(), text.data() + text.size(), idleSeconds);
    idleSeconds = std::max(1, idleSeconds);
  }
  ::setenv("TARVEL_TEST_IDLE_NOTIFY_INTERVAL", "2 mins", 1);
  DovecotServer server;
  if (!server.started()) {
    std::fputs("Dovecot did not start\n", stderr);
    return 1;
  }
  ::setenv("TARVEL_CA_FILE", server.caFile().c_str(), 1);
  ::setenv("TARVEL_CONNECT_TO", server.connectTo().c_str(), 1);

  // The first message through doveadm creates the maildir; the rest go straight into it.
  server.Deliver("tester", "INBOX", MessageText(1));
  const std::string maildir = server.mailFolder("tester");
  for (int number = 2; number <= kMessages; ++number)
    DropIntoMaildir(maildir, number);

  tarvel::testing::FakeClock fakeClock;  // the check's only waits are policy pauses
  tarvel::OptionFlags flags;
  tarvel::CheckInRelay relay;
  const tarvel::ImapEngineServices services{fakeClock, flags,   nullptr,
                                            &relay,    nullptr, ZARQUET_LIBRARY_PATH};
  tarvel::ImapEngine engine(FirstImapType(), 0, services);
  flags.set(engine.selectBit);  // switched on
  tarvel::ImapAccountSettings settings;
  settings.server = u"imap.example.com:993";
  settings.user = u"tester";
  settings.password = u"s3cret";
  settings.useIdle = 0;
  engine.ApplySettings(settings);

  // One warm-up each, then the measured runs, interleaved.
  std::vector<std::string> curl = {"curl", "-s", "-o", "/dev/null"};
  const auto curlTarget = [&](const std::string& url, const std::string& request) {
    std::vector<std::string> part = {
        "--cacert",     server.caFile(),
        "--connect-to", "imap.example.com:993:127.0.0.1:" + std::to_string(server.imapsPort()),
        "-u",           "tester:s3cret"};
    if (!request.empty()) {
      part.push_back("-X");
      part.push_back(request);
    }
    part.push_back(url);
    return part;
  };
  {
    const std::vector<std::string> first =
        curlTarget("imaps://imap.example.com:993/INBOX?UNSEEN", "");
    curl.insert(curl.end(), first.begin(), first.end());
    for (int number = kMessages; number > kMessages - 20; --number) {
      const std::string command = "FETCH " + std::to_string(number) +
                                  " (FLAGS BODY.PEEK[HEADER.FIELDS (SUBJECT DATE FROM)])";
      curl.push_back("--next");
      curl.push_back("-s");
      curl.push_back("-o");
      curl.push_back("/dev/null");
      const std::vector<std::string> next =
          curlTarget("imaps://imap.example.com:993/INBOX", command);
      curl.insert(curl.end(), next.begin(), next.end());
    }
  }
  std::vector<double> engineTimes;
  std::vector<double> curlTimes;
  std::size_t found = 0;
  for (int run = 0; run <= runs; ++run) {
    engine.mails.clear();
    const Clock::time_point start = Clock::now();
    const tarvel::CheckStatus status = engine.Check();
    const double engineTime = Milliseconds(Clock::now() - start);
    found = engine.mails.count();
    if (status != tarvel::CheckStatus::Success) {
      std::fprintf(stderr, "check failed: %s\n", engine.lastFailure.ToUtf8().c_str());
      return 1;
    }
    const Clock::time_point curlStart = Clock::now();
    const int curlStatus = tarvel::testing::RunProgram(curl);
    const double curlTime = Milliseconds(Clock::now() - curlStart);
    if (curlStatus != 0) {
      std::fprintf(stderr, "curl failed with %d\n", curlStatus);
      return 1;
    }
    if (run > 0) {
      engineTimes.push_back(engineTime);
      curlTimes.push_back(curlTime);
    }
  }
  std::printf("check of %d unseen (%zu records, 20 with headers), median of %d runs:\n", kMessages,
              found, runs);
  std::printf("  engine (search, 20 fetches, folder list): %.1f ms\n", Median(engineTimes));
  std::printf("  curl command line (search, 20 fetches):   %.1f ms\n", Median(curlTimes));
  std::printf("  ratio engine / curl: %.2f\n", Median(engineTimes) / Median(curlTimes));

  // IDLE latency: a message dropped into the inbox of an idling account until CheckIn.
  std::mutex lock;
  std::condition_variable changed;
  Clock::time_point checkedIn;
  bool arrived = false;
  relay.Connect([&] {
    const std::lock_guard<std::mutex> guard(lock);
    checkedIn = Clock::now();
    arrived = true;
    changed.notify_all();
  });
  settings.useIdle = 1;
  engine.ApplySettings(settings);
  std::vector<double> latencies;
  for (int run = 0; run < runs; ++run) {
    engine.ReadyToCheck();
    engine.mails.clear();
    {
      const std::lock_guard<std::mutex> guard(lock);
      arrived = false;
    }
    if (engine.Check() != tarvel::CheckStatus::Success || !engine.idleRunning()) {
      std::fputs("the account did not idle\n", stderr);
      return 1;
    }
    // Let the IDLE settle on the server before the delivery.
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    const Clock::time_point delivered = DropIntoMaildir(maildir, kMessages + run + 1);
    std::unique_lock<std::mutex> guard(lock);
    if (!changed.wait_for(guard, std::chrono::seconds(20), [&] { return arrived; })) {
      std::fputs("no check-in within 20 s\n", stderr);
      return 1;
    }
    latencies.push_back(Milliseconds(checkedIn - delivered));
  }
  std::sort(latencies.begin(), latencies.end());
  std::printf(
      "delivery to CheckIn of an idling account, median of %d: %.1f ms (min %.1f, max %.1f)\n",
      runs, Median(latencies), latencies.front(), latencies.back());
  relay.Disconnect();
  engine.ReadyToCheck();

  // The push path of a second account with one new message per push (marked seen before the
  // next), as a notifier meets it: check-in (the IDLE has ended after the server's EXISTS,
  // DONE and its OK) to the end of the check that follows, which goes back to IDLE.
  constexpr int kPushes = 20;
  server.ExpungeAll("second");
  tarvel::CheckInRelay pushRelay;
  int checkIns = 0;
  pushRelay.Connect([&] {
    const std::lock_guard<std::mutex> guard(lock);
    checkedIn = Clock::now();
    ++checkIns;
    changed.notify_all();
  });
  const tarvel::ImapEngineServices pushServices{fakeClock,  flags,   nullptr,
                                                &pushRelay, nullptr, ZARQUET_LIBRARY_PATH};
  tarvel::ImapEngine pushEngine(FirstImapType(), 1, pushServices);  // a session of its own
  flags.set(pushEngine.selectBit);
  settings.user = u"second";
  settings.useIdle = 1;
  pushEngine.ApplySettings(settings);
  const std::size_t loginsBefore = server.LoginCount("second");
  if (pushEngine.Check() != tarvel::CheckStatus::Success || !pushEngine.idleRunning()) {
    std::fputs("the second account did not idle\n", stderr);
    return 1;
  }
  std::vector<double> pushWall;
  std::vector<double> pushCpu;
  int expectedCheckIns = 0;
  const auto awaitCheckIn = [&] {
    ++expectedCheckIns;
    std::unique_lock<std::mutex> guard(lock);
    return changed.wait_for(guard, std::chrono::seconds(20),
                            [&] { return checkIns >= expectedCheckIns; });
  };
  for (int push = 1; push <= kPushes; ++push) {
    const std::string subject = "push " + std::to_string(push);
    server.Deliver("second", "INBOX", "Subject: " + subject + "\r\n\r\nbody\r\n");
    if (!awaitCheckIn()) {
      std::fputs("no check-in for a push within 20 s\n", stderr);
      return 1;
    }
    const Clock::time_point from = checkedIn;
    const double cpuFrom = CpuMilliseconds();
    pushEngine.ReadyToCheck();
    pushEngine.mails.clear();
    const tarvel::CheckStatus status = pushEngine.Check();
    pushWall.push_back(Milliseconds(Clock::now() - from));
    pushCpu.push_back(CpuMilliseconds() - cpuFrom);
    if (status != tarvel::CheckStatus::Success || pushEngine.mails.count() != 1 ||
        !pushEngine.idleRunning()) {
      std::fputs("a push check went wrong\n", stderr);
      return 1;
    }
    // Marking the message seen is news to the IDLE as well (a FETCH of its flags): that
    // check runs too, unmeasured, so the next push meets an idling account with no unseen.
    server.MarkSeen("second", "INBOX", subject);
    if (!awaitCheckIn()) {
      std::fputs("no check-in after marking a message seen\n", stderr);
      return 1;
    }
    pushEngine.ReadyToCheck();
    if (pushEngine.Check() != tarvel::CheckStatus::Success || !pushEngine.idleRunning()) {
      std::fputs("the check after marking seen went wrong\n", stderr);
      return 1;
    }
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(500));  // the server's log catches up
  const std::size_t logins = server.LoginCount("second") - loginsBefore;
  std::sort(pushWall.begin(), pushWall.end());
  std::printf(
      "push to end of check (check-in to Check() returning), median of %d: %.2f ms "
      "(min %.2f, max %.2f); CPU time of the process %.2f ms\n",
      kPushes, Median(pushWall), pushWall.front(), pushWall.back(), Median(pushCpu));
  std::printf("logins: %zu for the first check and %d pushes with %d checks (%.2f per push)\n",
              logins, kPushes, 2 * kPushes,
              static_cast<double>(logins > 0 ? logins - 1 : 0) / kPushes);

  // Wake-ups while the second account idles and nothing else happens.
  const long switchesBefore = ContextSwitches();
  std::this_thread::sleep_for(std::chrono::seconds(idleSeconds));
  const long switches = ContextSwitches() - switchesBefore;
  if (!pushEngine.idleRunning())
    std::puts("(the IDLE ended during the measurement)");
  std::printf(
      "context switches of the whole process while idling %d s: %ld "
      "(1 of them this thread's own end of sleep)\n",
      idleSeconds, switches);
  return 0;
}
