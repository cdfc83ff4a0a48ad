#include <cstddef>
#include <cstdint>
#include <string_view>

#include "mail/mail_item.h"
#include "platform/text.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const tarvel::Text input =
      tarvel::Text::FromUtf8(std::string_view(reinterpret_cast<const char*>(data), size));
  tarvel::Text full = input;
  full.DecodeEscapes(tarvel::EscapeMode::Full);
  tarvel::Text percent = input;
  percent.DecodeEscapes(tarvel::EscapeMode::PercentOnly);
  tarvel::StripMarkup(full, tarvel::MarkupMode::Sender);
  tarvel::StripMarkup(percent, tarvel::MarkupMode::Plain);
  tarvel::MailItem item(input, input, tarvel::Text(), tarvel::Text());
  tarvel::NormalizeMail(item);
  return static_cast<int>(full.length() + percent.length()) < 0;
}
