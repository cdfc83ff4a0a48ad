#pragma once

#include <string>

namespace tarvel {

// Where the running instance leaves the name of its socket for a second start to find
// (the registry store's `hwnd` value).
class InstanceRecord {
 public:
  virtual ~InstanceRecord() = default;
  virtual std::string Read() = 0;
  virtual void Write(const std::string& socketName) = 0;
};

}  // namespace tarvel
