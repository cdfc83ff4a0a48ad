#pragma once

#include <cstdint>
#include <memory>

namespace tarvel::ctl {

class NotifierBus;

// The running notifier on the session bus: a session bus, and the program's name owned there.
// `failed` is set (and said on standard error) when the bus could not say whether the
// program runs.
std::unique_ptr<NotifierBus> RunningNotifier(bool& failed);

// "tarvelctl check" while the program runs: the program's own check, its records and status.
int CheckThroughProgram(NotifierBus& bus, bool json, uint32_t timeoutSeconds);

// "tarvelctl unread [--json]": the running program's unread records. The store options do not
// matter: nothing is read from a store.
int RunUnreadCommand(int argc, char* argv[]);

// "tarvelctl silence MINUTES": the running program's notices off for that long (0: on again).
int RunSilenceCommand(int argc, char* argv[]);

}  // namespace tarvel::ctl
