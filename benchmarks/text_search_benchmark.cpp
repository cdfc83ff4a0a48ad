// Case-insensitive search over a 500 KB page: Text::Find and Text::Extract against glibc's
// strcasestr on the same characters, and against comparing at every position.
#include <benchmark/benchmark.h>

#include <strings.h>

#include <cstring>
#include <string>

#include "platform/text.h"

namespace {

using tarvel::Text;

// A mail-list page of table rows, about 500 KB, with one marker at the very end.
const std::string& Page() {
  static const std::string page = [] {
    std::string html = "<html><body><table class=\"mails\">\n";
    for (int row = 0; html.size() < 500 * 1024; ++row) {
      html += "<tr id=\"r" + std::to_string(row) + "\"><td class=\"from\">Sender " +
              std::to_string(row % 97) + "</td><td class=\"subject\">Re: meeting " +
              std::to_string(row) + " &amp; notes</td><td class=\"date\">2026-12-" +
              std::to_string(row % 28 + 1) + "</td></tr>\n";
    }
    html += "<TD CLASS=\"UNREAD-COUNT\">42</TD></table></body></html>\n";
    return html;
  }();
  return page;
}

constexpr const char* kTailMarker = "<td class=\"unread-count\">";

void TextFindTail(benchmark::State& state) {
  const Text page = Text::FromBytes(Page());
  const std::u16string needle = Text::FromBytes(kTailMarker).units();
  for (auto _ : state)
    benchmark::DoNotOptimize(page.Find(needle));
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * Page().size()));
}
BENCHMARK(TextFindTail);

void StrcasestrTail(benchmark::State& state) {
  const std::string& page = Page();
  for (auto _ : state)
    benchmark::DoNotOptimize(strcasestr(page.c_str(), kTailMarker));
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * Page().size()));
}
BENCHMARK(StrcasestrTail);

// The plain definition: a case-insensitive comparison at every position.
void PerPositionCompareTail(benchmark::State& state) {
  const Text page = Text::FromBytes(Page());
  const std::u16string needle = Text::FromBytes(kTailMarker).units();
  for (auto _ : state) {
    Text::Position found = Text::kNotFound;
    for (std::size_t i = 0; i + needle.size() <= page.units().size(); ++i) {
      if (Text::CompareNoCase(page.view().substr(i, needle.size()), needle) == 0) {
        found = static_cast<Text::Position>(i);
        break;
      }
    }
    benchmark::DoNotOptimize(found);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * Page().size()));
}
BENCHMARK(PerPositionCompareTail);

// Walking every subject cell of the page, as a page-scraping engine does.
void TextExtractAllCells(benchmark::State& state) {
  const Text page = Text::FromBytes(Page());
  for (auto _ : state) {
    Text cell;
    std::size_t cells = 0;
    for (Text::Position at = 0;
         (at = page.Extract(u"<TD CLASS=\"SUBJECT\">", u"</TD>", cell, at)) != Text::kNotFound;) {
      ++cells;
    }
    benchmark::DoNotOptimize(cells);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * Page().size()));
}
BENCHMARK(TextExtractAllCells);

void StrcasestrExtractAllCells(benchmark::State& state) {
  const std::string& page = Page();
  const char* start = "<TD CLASS=\"SUBJECT\">";
  const std::size_t startLength = std::strlen(start);
  for (auto _ : state) {
    std::string cell;
    std::size_t cells = 0;
    const char* at = page.c_str();
    while (const char* found = strcasestr(at, start)) {
      const char* content = found + startLength;
      const char* end = strcasestr(content, "</TD>");
      if (end == nullptr)
        break;
      cell.assign(content, end);
      ++cells;
      at = end;
    }
    benchmark::DoNotOptimize(cells);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * Page().size()));
}
BENCHMARK(StrcasestrExtractAllCells);

}  // namespace
