#include "ui/readers/reader_list.h"

#include <algorithm>

#include "accounts/account_type_bits.h"

namespace tarvel {

namespace {

bool Same(const Text& a, std::u16string_view b) {
  return Text::CompareNoCase(a, b) == 0;
}

bool BeginsWith(const Text& text, std::u16string_view prefix) {
  return text.length() >= static_cast<Text::Position>(prefix.size()) &&
         Text::CompareNoCase(text.view().substr(0, prefix.size()), prefix) == 0;
}

}  // namespace

uint32_t ReaderIconId(const Text& name) {
  if (Same(name, u"Google Chrome"))
    return 140;
  if (name.Find(u"Firefox") != Text::kNotFound)  // Find ignores letter case
    return 137;
  if (Same(name, u"Internet Explorer"))
    return 138;
  if (BeginsWith(name, u"Microsoft Edge"))
    return 173;
  if (Same(name, u"Opera") || Same(name, u"Opera Stable") || Same(name, u"Opera developer"))
    return 139;
  if (Same(name, u"eM Client"))
    return 187;
  if (Same(name, u"Hotmail"))
    return 113;
  if (Same(name, u"Microsoft Outlook"))
    return 213;
  if (Same(name, u"Microsoft Mail"))
    return 183;
  if (Same(name, u"IBM Notes") || Same(name, u"Lotus Notes"))
    return 147;
  if (Same(name, u"Mozilla Thunderbird"))
    return 204;
  if (Same(name, u"Wino Mail"))
    return 228;
  return 122;
}

std::vector<ReaderListEntry> BuildReaderList(const AccountTypeInfo& type,
                                             const ReaderSources& sources) {
  std::vector<ReaderListEntry> list;
  const auto listed = [&](const Text& name) {
    return std::any_of(list.begin(), list.end(),
                       [&](const ReaderListEntry& entry) { return entry.name == name.view(); });
  };
  if (!type.readerDefault.empty())
    list.push_back({Text(type.readerDefault), type.iconId});
  EnumerateReaders(sources, [&](const Text& name) {
    if (!listed(name))
      list.push_back({name, ReaderIconId(name)});
  });
  std::erase_if(list, [&](const ReaderListEntry& entry) {
    if ((type.typeBit & type_bits::kBothOutlook) == 0 && Same(entry.name, u"Hotmail"))
      return true;
    return type.typeBit != type_bits::kNotes &&
           (Same(entry.name, u"IBM Notes") || Same(entry.name, u"Lotus Notes"));
  });
  return list;
}

}  // namespace tarvel
