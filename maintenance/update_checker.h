#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "maintenance/copy_update.h"
#include "maintenance/diagnostic_trace.h"
#include "maintenance/update_answer.h"
#include "platform/clock.h"
#include "platform/http_session.h"
#include "platform/text.h"
#include "platform/worker_thread.h"

namespace tarvel {

// Where the check keeps its state: `LastCheck` (seconds since 1970, none when the value is
// absent) and `LastCheckVersion` (the version the user declined).
class UpdateCheckState {
 public:
  virtual ~UpdateCheckState() = default;
  virtual std::optional<uint64_t> ReadLastCheck() = 0;
  virtual void WriteLastCheck(uint64_t seconds) = 0;
  virtual Text ReadDeclinedVersion() = 0;
  virtual void WriteDeclinedVersion(const Text& version) = 0;
};

// The two questions of an update.
enum class UpdateQuestion {
  Install,  // the information text: install the new version?
  Restart,  // the restart question
};

// How a check ended, for the trace and the tests.
enum class UpdateOutcome {
  NotRun,      // not armed: off, first run, or within seven days
  NoAnswer,    // the service gave no (readable) answer
  NotNewer,    // nothing newer, or the declined version
  Declined,    // the user said no
  Told,        // a copy that does not replace itself was told of the new version
  Refused,     // the offer cannot be installed safely; nothing was replaced
  Failed,      // a download, check or swap failed; nothing was replaced
  Installed,   // swapped in; the user chose not to restart now
  Restarting,  // swapped in and the restart handed to the owner
  Stopped,     // the stop request ended it
};
const char* UpdateOutcomeName(UpdateOutcome outcome);

// The automatic update check: at most once every seven days it asks the update service for
// a newer version on a thread of its own. A copy whose files belong to the package manager
// (or that lives in a shared prefix) is only told: the user learns of the new version with
// the service's text and a link to its page. A portable tree of the user's own is updated
// after the user agreed: every file comes over HTTPS and must have the size and SHA-256 the
// answer names, archives are unpacked into a copy of the tree beside it, and the copy is
// swapped in with one rename, so every failure leaves the running program's tree as it was.
// A downloaded installer is never run.
class UpdateChecker {
 public:
  struct Hooks {
    // Asks a question on the user's side; `answer` is called once, on any thread, with
    // the user's choice. The thread waits for it (or for the stop request).
    std::function<void(UpdateQuestion question, const Text& caption, const Text& text,
                       const Text& helpUrl, std::function<void(bool yes)> answer)>
        ask;
    // Tells the user of a newer version that this copy does not install itself.
    std::function<void(const Text& caption, const Text& text, const Text& helpUrl)> tell;
    // The new tree is in place: the owner ends this instance and starts `program`.
    std::function<void(const std::string& program)> restart;
    // The check has ended, on the update thread.
    std::function<void(UpdateOutcome outcome)> finished;
  };

  struct Settings {
    Text updateUrl;       // "https://host/common/update.php?p=tarvel"; empty: the check is off
    std::string program;  // the running program's file
    std::string dpkgInfoFolder = "/var/lib/dpkg/info";
    UpdateVersion running;
    Text runningText;  // "major.minor"
    Text language;     // two-letter code of the texts
    Text identifier;   // "XXXX-XXXX-XXXX-XXXX"
  };

  static constexpr int64_t kInterval = 7 * 24 * 60 * 60;
  // The answer of the service is small; a larger one is not read.
  static constexpr uint64_t kLargestAnswer = 256 * 1024;
  // A download may not be larger.
  static constexpr uint64_t kLargestDownload = 512ull * 1024 * 1024;

  UpdateChecker(UpdateCheckState& state, Clock& clock, DiagnosticTrace* trace = nullptr);
  ~UpdateChecker();
  UpdateChecker(const UpdateChecker&) = delete;
  UpdateChecker& operator=(const UpdateChecker&) = delete;

  // Arms the check: stops an earlier run; with no update address does nothing; on the
  // first run writes `LastCheck` 0 and stops; within seven days of `LastCheck` stops;
  // otherwise writes the current time and starts the thread. True when the thread started.
  bool Start(Settings settings, Hooks hooks);
  // Asks the thread to end and waits for it: a request under way ends within about a
  // second, an open question counts as No. Not from the update thread.
  void Stop();
  // Waits up to `milliseconds` for the thread (0: without limit); true when none runs.
  bool Wait(uint32_t milliseconds);
  UpdateOutcome outcome() const { return outcome_.load(); }
  // The reason of the last Refused or Failed outcome.
  std::string failure() const;

 private:
  uint32_t Run();
  UpdateOutcome Check();
  UpdateOutcome Install(const UpdateOffer& offer, const CopyPlace& place);
  // Asks and waits; No when stopped.
  bool Ask(UpdateQuestion question, const Text& caption, const Text& text, const Text& help);
  UpdateOutcome Fail(UpdateOutcome outcome, std::string why);

  UpdateCheckState& state_;
  Clock& clock_;
  DiagnosticTrace* trace_;
  Settings settings_;
  Hooks hooks_;
  HttpSession http_;
  WorkerThread thread_;
  std::atomic<UpdateOutcome> outcome_{UpdateOutcome::NotRun};
  mutable std::mutex mutex_;
  std::condition_variable answered_;
  std::string failure_;
};

}  // namespace tarvel
