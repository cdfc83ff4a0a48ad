#include "platform/browser_connection.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "platform/browser_protocol.h"
#include "platform/network_settings.h"
#include "platform/owned_threads.h"
#include "platform/program_path.h"

extern char** environ;

namespace tarvel {

namespace protocol = browser_protocol;

namespace {

// How long a request may take to be written into the socket, and how long the helper gets to
// leave on its own once its socket is closed before it is killed.
constexpr std::chrono::seconds kSendTimeout{10};
constexpr std::chrono::seconds kExitGrace{3};

int MillisecondsUntil(BrowserConnection::Clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
      deadline - BrowserConnection::Clock::now());
  if (left.count() <= 0) {
    return 0;
  }
  return left.count() > 60000 ? 60000 : static_cast<int>(left.count());
}

void Reap(pid_t process) {
  if (process <= 0) {
    return;
  }
  const auto deadline = BrowserConnection::Clock::now() + kExitGrace;
  for (;;) {
    const pid_t done = ::waitpid(process, nullptr, WNOHANG);
    if (done == process || (done < 0 && errno != EINTR)) {
      return;
    }
    if (BrowserConnection::Clock::now() >= deadline) {
      break;
    }
    ::usleep(10000);
  }
  ::kill(process, SIGKILL);
  while (::waitpid(process, nullptr, 0) < 0 && errno == EINTR) {
  }
}

}  // namespace

BrowserConnection& BrowserConnection::Shared() {
  static BrowserConnection connection;
  return connection;
}

std::string BrowserConnection::HelperPath() {
  if (const char* path = std::getenv("TARVEL_BROWSER_HELPER"); path && path[0] != '\0') {
    return path;
  }
  return ProgramFolder() + "tarvel-browser";
}

void BrowserConnection::SetIdleTime(std::chrono::milliseconds idle) {
  std::lock_guard lock(mutex_);
  idleTime_ = idle;
  if (session_) {
    session_->SetIdleTime(idle);
  }
}

void BrowserConnection::SetStartTimeout(std::chrono::milliseconds timeout) {
  std::lock_guard lock(mutex_);
  startTimeout_ = timeout;
}

std::shared_ptr<BrowserConnection::Session> BrowserConnection::Acquire(std::stop_token stop) {
  // Another thread may be starting the helper; wait for it without missing a stop request.
  std::unique_lock lock(mutex_, std::defer_lock);
  while (!lock.try_lock()) {
    if (stop.stop_requested()) {
      return nullptr;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  if (session_ && session_->alive()) {
    return session_;
  }
  if (session_) {
    session_->End();
    session_.reset();
  }
  auto session = std::make_shared<Session>(HelperPath(), idleTime_);
  if (!session->Start(startTimeout_, stop)) {
    session->End();
    return nullptr;
  }
  session_ = session;
  return session;
}

void BrowserConnection::ShutDown() {
  std::shared_ptr<Session> session;
  {
    std::lock_guard lock(mutex_);
    session.swap(session_);
  }
  if (session) {
    session->End();
  }
}

pid_t BrowserConnection::HelperProcess() {
  std::lock_guard lock(mutex_);
  return session_ && session_->alive() ? session_->process() : 0;
}

BrowserConnection::Session::Session(std::string helperPath, std::chrono::milliseconds idleTime)
    : helperPath_(std::move(helperPath)), idleTime_(idleTime) {}

BrowserConnection::Session::~Session() {
  End();
}

bool BrowserConnection::Session::Start(std::chrono::milliseconds timeout, std::stop_token stop) {
  int wake[2];
  if (::pipe2(wake, O_CLOEXEC | O_NONBLOCK) != 0) {
    return false;
  }
  wakeRead_ = wake[0];
  wakeWrite_ = wake[1];
  int ends[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0) {
    return false;
  }
  socket_ = ends[0];
  ::fcntl(socket_, F_SETFL, ::fcntl(socket_, F_GETFL) | O_NONBLOCK);
  const int childEnd = ends[1];
  thread_ = std::thread([this, childEnd] {
    const OwnedThreadScope owned;
    // The helper is started by this thread: its parent-death signal follows this thread,
    // which ends only once the helper is no longer wanted.
    const bool spawned = Spawn(childEnd);
    ::close(childEnd);
    if (!spawned) {
      Finish();
      return;
    }
    Run();
  });
  threadId_ = thread_.get_id();
  return WaitUntil([this] { return state_ == State::Ready; }, Clock::now() + timeout, stop);
}

bool BrowserConnection::Session::Spawn(int childEnd) {
  std::vector<std::string> arguments = {helperPath_, "--socket-fd", "3", "--parent",
                                        std::to_string(::getpid())};
  for (const std::string& file : ExtraCertificateAuthorityFiles()) {
    arguments.push_back("--ca-file");
    arguments.push_back(file);
  }
  std::vector<char*> argv;
  for (std::string& argument : arguments) {
    argv.push_back(argument.data());
  }
  argv.push_back(nullptr);

  // Without a display (tarvelctl on a server) the helper draws off screen.
  std::vector<std::string> environment;
  bool platformSet = false;
  for (char** entry = environ; entry && *entry; ++entry) {
    environment.emplace_back(*entry);
    platformSet = platformSet || std::strncmp(*entry, "QT_QPA_PLATFORM=", 16) == 0;
  }
  const char* display = std::getenv("DISPLAY");
  const char* wayland = std::getenv("WAYLAND_DISPLAY");
  if (!platformSet && (!display || !*display) && (!wayland || !*wayland)) {
    environment.emplace_back("QT_QPA_PLATFORM=offscreen");
  }
  std::vector<char*> envp;
  for (std::string& entry : environment) {
    envp.push_back(entry.data());
  }
  envp.push_back(nullptr);

  const char* log = std::getenv("TARVEL_BROWSER_LOG");
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, childEnd, 3);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  if (log && *log) {
    posix_spawn_file_actions_addopen(&actions, 2, log, O_WRONLY | O_CREAT | O_APPEND, 0600);
  } else {
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  }
  // The helper gets its own process group, so a terminal's Ctrl+C reaches the notifier, which
  // then ends the helper itself.
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
  posix_spawnattr_setpgroup(&attributes, 0);
  pid_t process = -1;
  const int result =
      ::posix_spawn(&process, helperPath_.c_str(), &actions, &attributes, argv.data(), envp.data());
  posix_spawnattr_destroy(&attributes);
  posix_spawn_file_actions_destroy(&actions);
  if (result != 0) {
    return false;
  }
  process_ = process;
  return true;
}

void BrowserConnection::Session::Run() {
  protocol::FrameReader reader;
  std::vector<char> buffer(64 * 1024);
  for (;;) {
    int timeout = -1;
    {
      std::lock_guard lock(mutex_);
      if (endRequested_) {
        break;
      }
      if (state_ == State::Ready && views_.empty()) {
        const auto idleEnd = idleSince_ + idleTime_;
        if (Clock::now() >= idleEnd) {
          // Nobody may register on this session any more.
          endRequested_ = true;
          break;
        }
        timeout = MillisecondsUntil(idleEnd) + 1;
      }
    }
    pollfd watched[2] = {{socket_, POLLIN, 0}, {wakeRead_, POLLIN, 0}};
    const int ready = ::poll(watched, 2, timeout);
    if (ready < 0 && errno != EINTR) {
      break;
    }
    if (watched[1].revents != 0) {
      char drained[64];
      while (::read(wakeRead_, drained, sizeof drained) > 0) {
      }
    }
    if (watched[0].revents == 0) {
      continue;
    }
    const ssize_t got = ::read(socket_, buffer.data(), buffer.size());
    if (got == 0 || (got < 0 && errno != EAGAIN && errno != EINTR)) {
      break;  // the helper has gone
    }
    if (got < 0) {
      continue;
    }
    reader.Append(buffer.data(), static_cast<std::size_t>(got));
    bool malformed = false;
    for (;;) {
      nlohmann::json message;
      const auto status = reader.Next(&message);
      if (status == protocol::FrameReader::Status::NeedMore) {
        break;
      }
      if (status == protocol::FrameReader::Status::Malformed) {
        malformed = true;
        break;
      }
      Handle(message);
    }
    if (malformed) {
      break;
    }
  }
  Finish();
}

void BrowserConnection::Session::Finish() {
  {
    std::lock_guard lock(mutex_);
    state_ = State::Ended;
    endRequested_ = true;
    for (auto& [id, pending] : pending_) {
      pending.done = true;
      pending.ok = false;
    }
  }
  changed_.notify_all();
  // Closing our end tells the helper to leave; it gets a moment before it is killed.
  if (socket_ >= 0) {
    ::shutdown(socket_, SHUT_RDWR);
  }
  Reap(process_);
}

void BrowserConnection::Session::Handle(const nlohmann::json& message) {
  if (const auto reply = protocol::IntegerMember(message, "re")) {
    {
      std::lock_guard lock(mutex_);
      const auto found = pending_.find(static_cast<std::uint64_t>(*reply));
      if (found != pending_.end()) {
        found->second.done = true;
        found->second.ok = protocol::BoolMember(message, "ok");
        found->second.reply = message;
      }
    }
    changed_.notify_all();
    return;
  }
  const auto event = protocol::StringMember(message, "event");
  if (!event) {
    return;
  }
  if (*event == "hello") {
    {
      std::lock_guard lock(mutex_);
      if (protocol::IntegerMember(message, "version") == protocol::kVersion &&
          state_ == State::Starting) {
        state_ = State::Ready;
        idleSince_ = Clock::now();
      }
    }
    changed_.notify_all();
    return;
  }
  const auto view = protocol::IntegerMember(message, "view");
  const auto ask = protocol::IntegerMember(message, "ask");
  nlohmann::json answer = nlohmann::json::object();
  int value = 0;
  if (view) {
    std::lock_guard dispatch(dispatchMutex_);
    EventSink* sink = nullptr;
    {
      std::lock_guard lock(mutex_);
      const auto found = views_.find(static_cast<std::uint64_t>(*view));
      if (found != views_.end()) {
        sink = found->second;
      }
    }
    if (sink) {
      value = sink->OnEvent(message, &answer);
    }
  }
  if (ask) {
    answer["answer"] = *ask;
    answer["value"] = value;
    Send(protocol::EncodeFrame(answer));
  }
}

bool BrowserConnection::Session::Send(const std::string& frame) {
  if (frame.empty()) {
    return false;
  }
  std::lock_guard lock(sendMutex_);
  const auto deadline = Clock::now() + kSendTimeout;
  std::size_t sent = 0;
  while (sent < frame.size()) {
    const ssize_t written =
        ::send(socket_, frame.data() + sent, frame.size() - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (written > 0) {
      sent += static_cast<std::size_t>(written);
      continue;
    }
    if (written < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
      return false;
    }
    pollfd writable{socket_, POLLOUT, 0};
    const int wait = MillisecondsUntil(deadline);
    if (wait == 0 || (::poll(&writable, 1, wait) <= 0 && errno != EINTR)) {
      // A helper that takes no more input is of no use; end it.
      {
        std::lock_guard stateLock(mutex_);
        endRequested_ = true;
      }
      const char wake = 1;
      [[maybe_unused]] const ssize_t ignored = ::write(wakeWrite_, &wake, 1);
      return false;
    }
  }
  return true;
}

void BrowserConnection::Session::End() {
  {
    std::lock_guard lock(mutex_);
    endRequested_ = true;
  }
  if (wakeWrite_ >= 0) {
    const char wake = 1;
    [[maybe_unused]] const ssize_t ignored = ::write(wakeWrite_, &wake, 1);
  }
  if (thread_.joinable()) {
    if (thread_.get_id() == std::this_thread::get_id()) {
      thread_.detach();
    } else {
      thread_.join();
    }
  }
  {
    std::lock_guard lock(mutex_);
    state_ = State::Ended;
  }
  changed_.notify_all();
  for (int* fd : {&socket_, &wakeRead_, &wakeWrite_}) {
    if (*fd >= 0) {
      ::close(*fd);
      *fd = -1;
    }
  }
}

bool BrowserConnection::Session::alive() {
  std::lock_guard lock(mutex_);
  return state_ == State::Ready && !endRequested_;
}

void BrowserConnection::Session::SetIdleTime(std::chrono::milliseconds idle) {
  {
    std::lock_guard lock(mutex_);
    idleTime_ = idle;
  }
  if (wakeWrite_ >= 0) {
    const char wake = 1;
    [[maybe_unused]] const ssize_t ignored = ::write(wakeWrite_, &wake, 1);
  }
}

bool BrowserConnection::Session::OnConnectionThread() const {
  return std::this_thread::get_id() == threadId_;
}

std::uint64_t BrowserConnection::Session::RegisterView(EventSink* sink) {
  std::lock_guard lock(mutex_);
  if (state_ != State::Ready || endRequested_) {
    return 0;
  }
  const std::uint64_t view = nextView_++;
  views_[view] = sink;
  return view;
}

void BrowserConnection::Session::UnregisterView(std::uint64_t view) {
  std::lock_guard dispatch(dispatchMutex_);
  {
    std::lock_guard lock(mutex_);
    views_.erase(view);
    if (views_.empty()) {
      idleSince_ = Clock::now();
    }
  }
  if (wakeWrite_ >= 0) {
    const char wake = 1;
    [[maybe_unused]] const ssize_t ignored = ::write(wakeWrite_, &wake, 1);
  }
}

bool BrowserConnection::Session::Call(nlohmann::json request, nlohmann::json* reply,
                                      Clock::time_point deadline, std::stop_token stop) {
  // The connection's thread delivers the answer; it cannot wait for it.
  if (OnConnectionThread()) {
    return false;
  }
  std::uint64_t id = 0;
  {
    std::lock_guard lock(mutex_);
    if (state_ != State::Ready || endRequested_) {
      return false;
    }
    id = nextId_++;
    pending_[id] = Pending{};
  }
  request["id"] = id;
  bool ok = Send(protocol::EncodeFrame(request));
  if (ok) {
    ok = WaitUntil([this, id] { return pending_[id].done; }, deadline, stop);
  }
  std::lock_guard lock(mutex_);
  const auto found = pending_.find(id);
  ok = ok && found != pending_.end() && found->second.ok;
  if (ok && reply) {
    *reply = std::move(found->second.reply);
  }
  pending_.erase(id);
  return ok;
}

void BrowserConnection::Session::Post(nlohmann::json request) {
  {
    std::lock_guard lock(mutex_);
    if (state_ != State::Ready || endRequested_) {
      return;
    }
  }
  Send(protocol::EncodeFrame(request));
}

bool BrowserConnection::Session::WaitUntil(const std::function<bool()>& done,
                                           Clock::time_point deadline, std::stop_token stop) {
  if (OnConnectionThread()) {
    return false;
  }
  const std::stop_callback onStop(stop, [this] {
    std::lock_guard lock(mutex_);
    changed_.notify_all();
  });
  std::unique_lock lock(mutex_);
  for (;;) {
    if (done()) {
      return true;
    }
    if (state_ == State::Ended || stop.stop_requested()) {
      return false;
    }
    if (changed_.wait_until(lock, deadline) == std::cv_status::timeout) {
      return done();
    }
  }
}

void BrowserConnection::Session::Update(const std::function<void()>& change) {
  {
    std::lock_guard lock(mutex_);
    change();
  }
  changed_.notify_all();
}

}  // namespace tarvel
