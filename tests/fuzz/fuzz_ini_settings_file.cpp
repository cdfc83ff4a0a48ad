// The portable settings file: any content is read without harm, and a value written into it
// reads back unchanged while every other section keeps its entries. The input is the file's
// content, optionally followed by three NULs and the NUL-separated section, name and value to
// write (a UTF-16 content has NUL bytes of its own).
#include <stdlib.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "accounts/ini_settings_file.h"
#include "platform/text.h"

namespace {

// One private folder per run, in memory where there is such a file system.
const std::string& Folder() {
  static const std::string folder = [] {
    std::string pattern = (::access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp");
    pattern += "/tarvel-fuzz-ini-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr)
      std::abort();
    return pattern;
  }();
  return folder;
}

std::string_view NextField(std::string_view& rest, std::string_view fallback) {
  if (rest.empty())
    return fallback;
  const std::size_t end = rest.find('\0');
  const std::string_view field = rest.substr(0, end);
  rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
  return field;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view input(reinterpret_cast<const char*>(data), size);
  constexpr std::string_view kTrailer("\0\0\0", 3);
  const std::size_t contentEnd = input.find(kTrailer);
  const std::string_view content = input.substr(0, contentEnd);
  std::string_view rest = contentEnd == std::string_view::npos
                              ? std::string_view()
                              : input.substr(contentEnd + kTrailer.size());
  const std::string section(NextField(rest, "Settings"));
  const std::string name(NextField(rest, "Flags"));
  const std::string value(NextField(rest, "4112"));

  const std::string path = Folder() + "/tarvel.ini";
  if (FILE* file = std::fopen(path.c_str(), "wb")) {
    std::fwrite(content.data(), 1, content.size(), file);
    std::fclose(file);
  } else {
    std::abort();
  }

  tarvel::IniSettingsFile ini(path);
  std::vector<std::pair<std::string, std::vector<std::pair<std::string, std::string>>>> before;
  for (const std::string& each : ini.Sections())
    before.emplace_back(each, ini.Entries(each));
  for (const auto& [each, entries] : before) {
    for (const auto& [entryName, entryValue] : entries) {
      if (ini.Read(each, entryName) != entryValue)
        std::abort();  // a listed entry that a read does not find
    }
  }

  if (!ini.Write(section, name, value))
    return 0;
  if (ini.Read(section, name) != value)
    std::abort();  // what was written does not read back
  // A second reader of the file sees the same.
  tarvel::IniSettingsFile reread(path);
  if (reread.Read(section, name) != value)
    std::abort();
  for (const auto& [each, entries] : before) {
    bool same = each.size() == section.size();
    for (std::size_t i = 0; same && i < each.size(); ++i)
      same = tarvel::Text::FoldCase(static_cast<unsigned char>(each[i])) ==
             tarvel::Text::FoldCase(static_cast<unsigned char>(section[i]));
    if (!same && reread.Entries(each) != entries)
      std::abort();  // another section changed
  }
  return 0;
}
