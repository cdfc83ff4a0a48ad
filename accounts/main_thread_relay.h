#pragma once

#include <cstdint>
#include <functional>
#include <mutex>

namespace tarvel {

// Lets an engine on the check thread post a request to the main window (a message with two
// values) without knowing the window. The program connects it once the window exists and
// disconnects it before the window goes.
class MainThreadRelay {
 public:
  using Post = std::function<void(uintptr_t wParam, intptr_t lParam)>;
  void Connect(Post post) {
    const std::lock_guard<std::mutex> guard(lock_);
    post_ = std::move(post);
  }
  void Disconnect() {
    const std::lock_guard<std::mutex> guard(lock_);
    post_ = nullptr;
  }
  // Posts the request; false when no window is connected. Callable from any thread.
  bool PostRequest(uintptr_t wParam, intptr_t lParam) {
    const std::lock_guard<std::mutex> guard(lock_);
    if (!post_)
      return false;
    post_(wParam, lParam);
    return true;
  }

 private:
  std::mutex lock_;
  Post post_;
};

}  // namespace tarvel
