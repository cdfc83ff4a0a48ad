#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace tarvel {

// A call of the page's external object, as an element's onclick attribute names it.
struct ExternalCall {
  enum class Method {
    Open,
    Close,
  };
  Method method = Method::Open;
  std::optional<uint32_t> argument;  // Open(N)
  friend bool operator==(const ExternalCall&, const ExternalCall&) = default;
};

// Reads an onclick attribute of exactly the forms "window.external.Open()",
// "window.external.Open(N)" (N a decimal number that fits 32 bits) and
// "window.external.Close()", with blanks around it. Nothing else is a call: no script runs.
std::optional<ExternalCall> ParseExternalCall(std::string_view onclick);

}  // namespace tarvel
