#pragma once

#include <string_view>

namespace tarvel {

// Receives the trace entries of the check cycle ("CheckIn", "CheckOut", ...).
class DiagnosticTrace {
 public:
  virtual ~DiagnosticTrace() = default;
  virtual void Record(std::string_view entry) = 0;
};

class NullTrace : public DiagnosticTrace {
 public:
  void Record(std::string_view) override {}
};

}  // namespace tarvel
