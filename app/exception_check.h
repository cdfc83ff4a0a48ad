#pragma once

namespace tarvel {

class TraceLog;
class WorkerThread;

// Installs the fatal-signal check for the process (once; later calls do nothing). On the
// first fatal signal it writes "Exception Check 0x%X. Current thread: %u, Main thread: %u,
// CheckThread: %u." to the trace. A fault on a thread that a library started on its own
// parks that thread for good, so it cannot end the program; a fault on the calling (main)
// thread, the check thread or any thread the program owns (OwnedThreadScope) runs the
// handler that was installed before (by default the process ends as it would have).
void InstallExceptionCheck(TraceLog& trace, const WorkerThread& checkThread);

// True once a thread has been parked.
bool AThreadIsParked();

// Ends the process at once with the exit code when a thread has been parked: the libraries'
// own teardown at a normal exit may wait for that thread for ever. Called after the shutdown
// has saved what it saves.
void EndIfAThreadIsParked(int exitCode);

}  // namespace tarvel
