#pragma once

namespace tarvel {

// Whether the user should not be disturbed by a popup now (a full-screen program, a
// presentation, quiet hours of the desktop).
class UserBusyProbe {
 public:
  virtual ~UserBusyProbe() = default;
  virtual bool IsUserBusy() = 0;
};

// Until the desktop's state is read, the user is never busy.
class NeverBusy : public UserBusyProbe {
 public:
  bool IsUserBusy() override { return false; }
};

}  // namespace tarvel
