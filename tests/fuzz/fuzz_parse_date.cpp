#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "platform/date_parse.h"
#include "platform/text.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const tarvel::Text text =
      tarvel::Text::FromUtf8(std::string_view(reinterpret_cast<const char*>(data), size));
  tarvel::DateTime date;
  if (tarvel::ParseDate(text, date)) {
    // A parsed date is a real one, and converts both ways consistently.
    if (date.month < 1 || date.month > 12 || date.day < 1 || date.day > 31 || date.hour > 23 ||
        date.minute > 59 || date.second > 59 || date.milliseconds > 999) {
      std::abort();
    }
    const std::int64_t seconds = tarvel::ToUnixTime(date);
    const std::int64_t milliseconds = tarvel::ToUnixTime(date, tarvel::TimeUnit::Milliseconds);
    if (milliseconds - seconds * 1000 != date.milliseconds && seconds >= 0)
      std::abort();
  } else if (date != tarvel::DateTime{}) {
    std::abort();
  }
  return 0;
}
