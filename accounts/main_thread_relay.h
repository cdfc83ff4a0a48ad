#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <utility>

namespace tarvel {

// Lets an engine on the check thread post a request to the main window (a message with two
// values) or a task to run there, without knowing the window. The program connects it once
// the window exists and disconnects it before the window goes.
class MainThreadRelay {
 public:
  using Post = std::function<void(uintptr_t wParam, intptr_t lParam)>;
  using Task = std::function<void()>;
  // Queues a task on the main thread's event loop.
  using TaskPost = std::function<void(Task task)>;

  void Connect(Post post) {
    const std::lock_guard<std::mutex> guard(lock_);
    post_ = std::move(post);
  }
  void ConnectTasks(TaskPost post) {
    const std::lock_guard<std::mutex> guard(lock_);
    postTask_ = std::move(post);
  }
  void Disconnect() {
    const std::lock_guard<std::mutex> guard(lock_);
    post_ = nullptr;
    postTask_ = nullptr;
  }
  // Posts the request; false when no window is connected. Callable from any thread.
  bool PostRequest(uintptr_t wParam, intptr_t lParam) {
    const std::lock_guard<std::mutex> guard(lock_);
    if (!post_)
      return false;
    post_(wParam, lParam);
    return true;
  }
  // Queues the task for the main thread; false (the task not taken) when no main thread is
  // connected. Callable from any thread; the task runs later, never inside this call.
  bool PostTask(Task task) {
    const std::lock_guard<std::mutex> guard(lock_);
    if (!postTask_ || !task)
      return false;
    postTask_(std::move(task));
    return true;
  }

 private:
  std::mutex lock_;
  Post post_;
  TaskPost postTask_;
};

}  // namespace tarvel
