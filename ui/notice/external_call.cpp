#include "ui/notice/external_call.h"

namespace tarvel {

namespace {

constexpr std::string_view kPrefix = "window.external.";

std::string_view TrimBlanks(std::string_view text) {
  constexpr std::string_view kBlanks = " \t\r\n";
  const std::size_t first = text.find_first_not_of(kBlanks);
  if (first == std::string_view::npos)
    return {};
  return text.substr(first, text.find_last_not_of(kBlanks) - first + 1);
}

}  // namespace

std::optional<ExternalCall> ParseExternalCall(std::string_view onclick) {
  std::string_view call = TrimBlanks(onclick);
  if (!call.starts_with(kPrefix))
    return std::nullopt;
  call.remove_prefix(kPrefix.size());
  if (call == "Close()")
    return ExternalCall{ExternalCall::Method::Close, std::nullopt};
  if (call == "Open()")
    return ExternalCall{ExternalCall::Method::Open, std::nullopt};
  constexpr std::string_view kOpen = "Open(";
  if (!call.starts_with(kOpen) || !call.ends_with(')'))
    return std::nullopt;
  const std::string_view digits = call.substr(kOpen.size(), call.size() - kOpen.size() - 1);
  if (digits.empty() || digits.size() > 10)
    return std::nullopt;
  uint64_t value = 0;
  for (const char digit : digits) {
    if (digit < '0' || digit > '9')
      return std::nullopt;
    value = value * 10 + static_cast<uint64_t>(digit - '0');
  }
  if (value > UINT32_MAX)
    return std::nullopt;
  return ExternalCall{ExternalCall::Method::Open, static_cast<uint32_t>(value)};
}

}  // namespace tarvel
