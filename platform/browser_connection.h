#pragma once

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <stop_token>
#include <string>
#include <thread>

#include <nlohmann/json.hpp>

namespace tarvel {

// The notifier's side of the browser helper `tarvel-browser`: starts it on demand, talks to it
// over a private socket pair in the frames of browser_protocol.h, and ends it when no view has
// been open for the idle time. Every wait has a deadline and ends at once on the stop request
// of the calling thread's routine; a helper that dies wakes every waiter with a failure, and
// the next Acquire starts a new one.
//
// One helper serves the whole process. Its socket's end and PR_SET_PDEATHSIG (the helper is
// started by the connection's own thread, which lives exactly as long as the helper is
// wanted) make sure no helper outlives the notifier.
class BrowserConnection {
 public:
  using Clock = std::chrono::steady_clock;

  // What a view registers to receive its events. Called on the connection's own thread; an
  // event with "ask" is answered with the returned value (and `answer` members, if any).
  class EventSink {
   public:
    virtual ~EventSink() = default;
    virtual int OnEvent(const nlohmann::json& event, nlohmann::json* answer) = 0;
  };

  // One running helper. Views keep the session they were created on; once it has ended,
  // every call on them fails.
  class Session;

  static BrowserConnection& Shared();

  // The helper program (default: "tarvel-browser" beside the running program, or the path in
  // TARVEL_BROWSER_HELPER).
  static std::string HelperPath();

  // How long the helper stays after the last view closed (default 60 s).
  void SetIdleTime(std::chrono::milliseconds idle);
  // How long the helper may take to start and report ready (default 30 s).
  void SetStartTimeout(std::chrono::milliseconds timeout);

  // A running helper, started now when there is none; null when it cannot start, on the stop
  // request, or when it did not report ready in time.
  std::shared_ptr<Session> Acquire(std::stop_token stop);

  // Ends the running helper now (views on it fail from then on) and reaps it.
  void ShutDown();
  // The process id of the running helper, 0 when none runs.
  pid_t HelperProcess();

 private:
  std::mutex mutex_;
  std::shared_ptr<Session> session_;
  std::chrono::milliseconds idleTime_ = std::chrono::seconds(60);
  std::chrono::milliseconds startTimeout_ = std::chrono::seconds(30);
};

class BrowserConnection::Session : public std::enable_shared_from_this<Session> {
 public:
  Session(std::string helperPath, std::chrono::milliseconds idleTime);
  ~Session();
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  // Starts the helper and waits until it reported ready (or failed).
  bool Start(std::chrono::milliseconds timeout, std::stop_token stop);
  // Ends the helper and joins the connection's thread.
  void End();

  bool alive();
  void SetIdleTime(std::chrono::milliseconds idle);
  pid_t process() const { return process_; }
  bool OnConnectionThread() const;

  // Registers a view (0: the session is ending or has ended); events for it go to the sink
  // until UnregisterView, which waits for an event being delivered to it to finish.
  std::uint64_t RegisterView(EventSink* sink);
  void UnregisterView(std::uint64_t view);

  // One request and its answer. False when the helper did not answer with "ok" true before
  // the deadline, on the stop request, or when it ended.
  bool Call(nlohmann::json request, nlohmann::json* reply, Clock::time_point deadline,
            std::stop_token stop);
  // A request whose answer nobody waits for.
  void Post(nlohmann::json request);

  // Waits until `done` holds (checked under the session's lock, after every change the
  // connection's thread makes), the deadline passes, the stop request comes or the helper
  // ends. True only when `done` held.
  bool WaitUntil(const std::function<bool()>& done, Clock::time_point deadline,
                 std::stop_token stop);
  // Runs `change` under the session's lock and wakes the waiters (for state a view keeps
  // beside the session's).
  void Update(const std::function<void()>& change);

 private:
  enum class State {
    Starting,
    Ready,
    Ended,
  };
  struct Pending {
    bool done = false;
    bool ok = false;
    nlohmann::json reply;
  };

  void Run();
  bool Spawn(int childEnd);
  bool Send(const std::string& frame);
  void Handle(const nlohmann::json& message);
  void Finish();

  const std::string helperPath_;
  std::chrono::milliseconds idleTime_;  // guarded by mutex_
  pid_t process_ = -1;
  int socket_ = -1;
  int wakeRead_ = -1;
  int wakeWrite_ = -1;
  std::thread thread_;
  std::thread::id threadId_;

  std::mutex mutex_;
  std::condition_variable changed_;
  State state_ = State::Starting;
  bool endRequested_ = false;
  std::uint64_t nextId_ = 1;
  std::uint64_t nextView_ = 1;
  std::map<std::uint64_t, Pending> pending_;
  std::map<std::uint64_t, EventSink*> views_;
  Clock::time_point idleSince_ = Clock::now();

  std::mutex sendMutex_;
  // Held while an event is delivered to a view, so UnregisterView can wait for it.
  std::recursive_mutex dispatchMutex_;
};

}  // namespace tarvel
