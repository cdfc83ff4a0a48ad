#pragma once

namespace tarvel {

class TraceLog;
class WorkerThread;

// Installs the fatal-signal check for the process (once; later calls do nothing). On the
// first fatal signal it writes "Exception Check 0x%X. Current thread: %u, Main thread: %u,
// CheckThread: %u." to the trace. A fault on a thread that is neither the calling (main)
// thread nor the check thread parks that thread for good, so a library's own thread cannot
// end the program; otherwise the handler that was installed before runs (by default the
// process ends as it would have).
void InstallExceptionCheck(TraceLog& trace, const WorkerThread& checkThread);

}  // namespace tarvel
