#pragma once

#include <cstdint>
#include <string_view>

#include "platform/text.h"

namespace tarvel {

// The UTC calendar day ("YYYY-MM-DD") of a time given in seconds since 1970.
Text UtcDay(std::int64_t unixSeconds);

// True when an ISO 8601 date-time text ("2026-12-10T08:15:00Z") lies on a day after
// `latestDay` ("YYYY-MM-DD"). A text that does not begin with such a day is not in the future.
bool IsIsoDateAfter(std::u16string_view date, std::u16string_view latestDay);

// A service's date, as mail lists use it: dates kept as they are, except an ISO 8601 date more
// than a day ahead of now, which becomes empty. Such a record would otherwise stay at the head
// of the list and hide every later message from the new-mail count while it is unread.
Text ServiceDate(Text date, std::int64_t nowUnixSeconds);

// Seconds since 1970 now.
std::int64_t UnixNow();

}  // namespace tarvel
