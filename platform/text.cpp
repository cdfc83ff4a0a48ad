#include "platform/text.h"

#include <algorithm>
#include <charconv>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace tarvel {

namespace {

constexpr char32_t kReplacementCharacter = 0xFFFD;
constexpr char32_t kLastCodePoint = 0x10FFFF;

bool IsHighSurrogate(char32_t unit) {
  return unit >= 0xD800 && unit <= 0xDBFF;
}
bool IsLowSurrogate(char32_t unit) {
  return unit >= 0xDC00 && unit <= 0xDFFF;
}

void AppendCodePoint(std::u16string& out, char32_t codePoint) {
  if (codePoint < 0x10000) {
    out.push_back(static_cast<char16_t>(codePoint));
  } else {
    codePoint -= 0x10000;
    out.push_back(static_cast<char16_t>(0xD800 + (codePoint >> 10)));
    out.push_back(static_cast<char16_t>(0xDC00 + (codePoint & 0x3FF)));
  }
}

void AppendUtf8(std::string& out, char32_t codePoint) {
  if (codePoint < 0x80) {
    out.push_back(static_cast<char>(codePoint));
  } else if (codePoint < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (codePoint >> 6)));
    out.push_back(static_cast<char>(0x80 | (codePoint & 0x3F)));
  } else if (codePoint < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (codePoint >> 12)));
    out.push_back(static_cast<char>(0x80 | ((codePoint >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (codePoint & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (codePoint >> 18)));
    out.push_back(static_cast<char>(0x80 | ((codePoint >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((codePoint >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (codePoint & 0x3F)));
  }
}

using ascii_bytes::EqualsNoCase;
using ascii_bytes::Lower;
using ascii_bytes::Upper;

// Case-insensitive search for `needle` starting at a position in [start, lastStart].
// A vector loop tests eight positions at a time against the needle's first and last code
// units (both cases) and verifies only the positions where both match, which rules out
// nearly every position of a page at a fraction of the cost of comparing each one.
Text::Position FindNoCaseIn(std::u16string_view haystack, std::u16string_view needle,
                            std::size_t start, std::size_t lastStart = std::u16string_view::npos) {
  const std::size_t size = needle.size();
  if (size == 0 || start >= haystack.size() || size > haystack.size() - start) {
    return Text::kNotFound;
  }
  const std::size_t last = std::min(haystack.size() - size, lastStart);
  if (start > last)
    return Text::kNotFound;
  const char16_t firstLower = Lower(needle[0]);
  const char16_t firstUpper = Upper(firstLower);
  const char16_t lastLower = Lower(needle[size - 1]);
  const char16_t lastUpper = Upper(lastLower);
  const std::u16string_view middle = needle.substr(1);
  const char16_t* units = haystack.data();
  std::size_t i = start;
#if defined(__SSE2__)
  const __m128i firstLowerVector = _mm_set1_epi16(static_cast<short>(firstLower));
  const __m128i firstUpperVector = _mm_set1_epi16(static_cast<short>(firstUpper));
  const __m128i lastLowerVector = _mm_set1_epi16(static_cast<short>(lastLower));
  const __m128i lastUpperVector = _mm_set1_epi16(static_cast<short>(lastUpper));
  for (; i <= last && last - i >= 7; i += 8) {
    const __m128i heads = _mm_loadu_si128(reinterpret_cast<const __m128i*>(units + i));
    const __m128i tails = _mm_loadu_si128(reinterpret_cast<const __m128i*>(units + i + size - 1));
    const __m128i headMatches = _mm_or_si128(_mm_cmpeq_epi16(heads, firstLowerVector),
                                             _mm_cmpeq_epi16(heads, firstUpperVector));
    const __m128i tailMatches = _mm_or_si128(_mm_cmpeq_epi16(tails, lastLowerVector),
                                             _mm_cmpeq_epi16(tails, lastUpperVector));
    auto mask = static_cast<unsigned>(_mm_movemask_epi8(_mm_and_si128(headMatches, tailMatches)));
    while (mask != 0) {
      const auto offset = static_cast<std::size_t>(__builtin_ctz(mask)) / 2;
      if (EqualsNoCase(haystack.substr(i + offset + 1, middle.size()), middle)) {
        return static_cast<Text::Position>(i + offset);
      }
      mask &= ~(3u << (offset * 2));
    }
  }
#endif
  for (; i <= last; ++i) {
    const char16_t unit = units[i];
    if (unit != firstLower && unit != firstUpper)
      continue;
    if (EqualsNoCase(haystack.substr(i + 1, middle.size()), middle)) {
      return static_cast<Text::Position>(i);
    }
  }
  return Text::kNotFound;
}

Text::Position FindCaseIn(std::u16string_view haystack, std::u16string_view needle,
                          std::size_t start) {
  if (needle.empty() || start >= haystack.size())
    return Text::kNotFound;
  const std::size_t found = haystack.find(needle, start);
  return found == std::u16string_view::npos ? Text::kNotFound : static_cast<Text::Position>(found);
}

// One escape form: the text it starts with, how many digits follow, whether they are read
// as hexadecimal, whether a ";" closes it, and whether it may stand for more than 16 bits.
struct EscapeForm {
  std::u16string_view prefix;
  int digits;
  bool hexadecimal;
  bool closedBySemicolon;
  bool wide;
};

// The forms in the order in which they are tried at each position.
constexpr EscapeForm kEscapeForms[] = {
    {u"%", 2, true, false, false},   {u"&#x", 2, true, true, false},
    {u"&#", 2, false, true, false},  {u"&#", 3, false, true, false},
    {u"&#x", 3, true, true, false},  {u"\\u", 4, true, false, false},
    {u"\\x", 2, true, false, false}, {u"&#x", 4, true, true, false},
    {u"%u", 4, true, false, false},  {u"&#", 4, false, true, false},
    {u"&#", 5, false, true, true},   {u"&#", 6, false, true, true},
};

// Tries one form at `position`; on a match returns the number of code units it spans and
// sets `value`.
std::size_t MatchEscape(std::u16string_view text, std::size_t position, const EscapeForm& form,
                        char32_t& value) {
  const std::size_t length =
      form.prefix.size() + static_cast<std::size_t>(form.digits) + (form.closedBySemicolon ? 1 : 0);
  if (text.size() - position < length)
    return 0;
  if (text.substr(position, form.prefix.size()) != form.prefix)
    return 0;
  char32_t result = 0;
  for (int i = 0; i < form.digits; ++i) {
    // The decimal forms read their digits with the hexadecimal test too, so "a" to "f"
    // count as 10 to 15 there.
    const int digit = ascii_bytes::HexDigitValue(
        text[position + form.prefix.size() + static_cast<std::size_t>(i)]);
    if (digit < 0)
      return 0;
    result = result * (form.hexadecimal ? 16 : 10) + static_cast<char32_t>(digit);
  }
  if (form.closedBySemicolon && text[position + length - 1] != u';')
    return 0;
  value = form.wide ? result : (result & 0xFFFF);
  return length;
}

}  // namespace

Text Text::FromUtf8(std::string_view utf8) {
  std::u16string out;
  out.reserve(utf8.size());
  std::size_t i = 0;
  while (i < utf8.size()) {
    const auto lead = static_cast<unsigned char>(utf8[i]);
    if (lead < 0x80) {
      if (lead != 0)
        out.push_back(lead);
      ++i;
      continue;
    }
    int extra = 0;
    char32_t codePoint = 0;
    char32_t minimum = 0;
    if ((lead & 0xE0) == 0xC0) {
      extra = 1, codePoint = lead & 0x1F, minimum = 0x80;
    } else if ((lead & 0xF0) == 0xE0) {
      extra = 2, codePoint = lead & 0x0F, minimum = 0x800;
    } else if ((lead & 0xF8) == 0xF0) {
      extra = 3, codePoint = lead & 0x07, minimum = 0x10000;
    } else {
      out.push_back(static_cast<char16_t>(kReplacementCharacter));
      ++i;
      continue;
    }
    std::size_t consumed = 1;
    bool valid = true;
    for (int k = 0; k < extra; ++k) {
      if (i + consumed >= utf8.size() ||
          (static_cast<unsigned char>(utf8[i + consumed]) & 0xC0) != 0x80) {
        valid = false;
        break;
      }
      codePoint = (codePoint << 6) | (static_cast<unsigned char>(utf8[i + consumed]) & 0x3F);
      ++consumed;
    }
    if (!valid || codePoint < minimum || codePoint > kLastCodePoint ||
        (codePoint >= 0xD800 && codePoint <= 0xDFFF)) {
      out.push_back(static_cast<char16_t>(kReplacementCharacter));
    } else {
      AppendCodePoint(out, codePoint);
    }
    i += consumed;
  }
  return Text(std::move(out));
}

Text Text::FromBytes(std::string_view bytes) {
  std::u16string out;
  out.reserve(bytes.size());
  for (const char byte : bytes) {
    if (byte != 0)
      out.push_back(static_cast<unsigned char>(byte));
  }
  return Text(std::move(out));
}

std::string Text::ToUtf8() const {
  std::string out;
  out.reserve(units_.size());
  for (std::size_t i = 0; i < units_.size(); ++i) {
    const char32_t unit = units_[i];
    if (IsHighSurrogate(unit) && i + 1 < units_.size() && IsLowSurrogate(units_[i + 1])) {
      AppendUtf8(out, 0x10000 + ((unit - 0xD800) << 10) + (units_[i + 1] - 0xDC00));
      ++i;
    } else if (IsHighSurrogate(unit) || IsLowSurrogate(unit)) {
      AppendUtf8(out, kReplacementCharacter);
    } else {
      AppendUtf8(out, unit);
    }
  }
  return out;
}

Text& Text::Append(std::u16string_view more) {
  if (more.find(u'\0') == std::u16string_view::npos) {
    units_.append(more);
    return *this;
  }
  for (const Unit unit : more) {
    if (unit != 0)
      units_.push_back(unit);
  }
  return *this;
}

Text& Text::Append(Unit unit) {
  if (unit != 0)
    units_.push_back(unit);
  return *this;
}

void Text::Truncate(Position count) {
  if (count >= 0 && count < length())
    units_.resize(static_cast<std::size_t>(count));
}

Text Text::Left(Position count) const {
  return Mid(0, count);
}

Text Text::Mid(Position start, Position count) const {
  if (start < 0 || start >= length())
    return Text();
  const std::size_t from = static_cast<std::size_t>(start);
  const std::size_t size = count < 0 ? std::u16string::npos : static_cast<std::size_t>(count);
  return Text(view().substr(from, size));
}

Text::Position Text::Find(std::u16string_view needle, Position start) const {
  if (start < 0)
    start = 0;
  return FindNoCaseIn(units_, needle, static_cast<std::size_t>(start));
}

Text::Position Text::FindCase(std::u16string_view needle, Position start) const {
  if (start < 0)
    start = 0;
  return FindCaseIn(units_, needle, static_cast<std::size_t>(start));
}

Text::Position Text::FindChar(Unit unit, Position start) const {
  if (start < 0)
    start = 0;
  if (start >= length())
    return kNotFound;
  const std::size_t found = units_.find(unit, static_cast<std::size_t>(start));
  return found == std::u16string::npos ? kNotFound : static_cast<Position>(found);
}

Text::Position Text::FindCharNoCase(Unit unit) const {
  const Unit lower = Lower(unit);
  const Unit upper = Upper(lower);
  for (std::size_t i = 0; i < units_.size(); ++i) {
    if (units_[i] == lower || units_[i] == upper)
      return static_cast<Position>(i);
  }
  return kNotFound;
}

Text::Position Text::FindLastChar(Unit unit) const {
  const std::size_t found = units_.rfind(unit);
  return found == std::u16string::npos ? kNotFound : static_cast<Position>(found);
}

Text::Position Text::FindLastNoCase(std::u16string_view needle) const {
  if (needle.empty() || needle.size() > units_.size())
    return kNotFound;
  const std::u16string_view all = units_;
  for (std::size_t i = units_.size() - needle.size() + 1; i-- > 0;) {
    if (EqualsNoCase(all.substr(i, needle.size()), needle))
      return static_cast<Position>(i);
  }
  return kNotFound;
}

Text::Position Text::Extract(std::optional<std::u16string_view> startMarker,
                             std::optional<std::u16string_view> endMarker, Text* content,
                             Position start, Position limit) const {
  if (start < 0)
    start = 0;
  std::size_t contentBegin = static_cast<std::size_t>(start);
  if (startMarker && !startMarker->empty()) {
    // A marker beyond the limit counts as missing, so the search stops at the limit.
    const std::size_t lastStart =
        limit < 0 ? std::u16string_view::npos : static_cast<std::size_t>(limit);
    const Position found =
        FindNoCaseIn(units_, *startMarker, static_cast<std::size_t>(start), lastStart);
    if (found == kNotFound)
      return kNotFound;
    contentBegin = static_cast<std::size_t>(found) + startMarker->size();
  }
  Position end = length();
  if (endMarker && !endMarker->empty()) {
    end = FindNoCaseIn(units_, *endMarker, contentBegin);
    if (end == kNotFound)
      return kNotFound;
  }
  if (content != nullptr) {
    const auto endUnit = static_cast<std::size_t>(end);
    *content =
        contentBegin < endUnit ? Text(view().substr(contentBegin, endUnit - contentBegin)) : Text();
  }
  return end;
}

Text::Position Text::Extract(std::u16string_view startMarker, std::u16string_view endMarker,
                             Text& content, Position start) const {
  if (startMarker.empty())
    return kNotFound;
  return Extract(std::optional(startMarker), std::optional(endMarker), &content, start);
}

bool Text::NextToken(Text& token, std::u16string_view separators, LeadingSeparators leading,
                     TokenQuotes quotes) {
  const auto isSeparator = [&](Unit unit) {
    return separators.find(unit) != std::u16string_view::npos;
  };
  const std::size_t size = units_.size();
  std::size_t begin = 0;
  if (leading == LeadingSeparators::Skip) {
    while (begin < size && isSeparator(units_[begin]))
      ++begin;
  }
  if (begin >= size) {
    units_.clear();
    token.clear();
    return false;
  }
  std::size_t end = begin;
  if (units_[begin] == u'"') {
    std::size_t closing = begin + 1;
    while (closing < size && !(units_[closing] == u'"' && units_[closing - 1] != u'\\'))
      ++closing;
    end = closing < size ? closing + 1 : size;
  }
  while (end < size && !isSeparator(units_[end]))
    ++end;
  std::u16string_view value = view().substr(begin, end - begin);
  if (quotes == TokenQuotes::Strip && value.size() >= 2 && value.front() == u'"' &&
      value.back() == u'"') {
    value = value.substr(1, value.size() - 2);
  }
  token = Text(value);
  units_.erase(0, std::min(end + 1, size));
  return true;
}

Text Text::EncodeText(unsigned flags) const {
  static constexpr char kHexDigits[] = "0123456789ABCDEF";
  const bool strict = (flags & kEncodeStrict) != 0;
  const bool ampersand = (flags & kEncodeAmpersand) != 0;
  const bool references = (flags & kEncodeCharacterReferences) != 0;
  std::u16string out;
  out.reserve(units_.size());
  const auto appendPercent = [&](unsigned byte) {
    out.push_back(u'%');
    out.push_back(static_cast<Unit>(kHexDigits[(byte >> 4) & 0xF]));
    out.push_back(static_cast<Unit>(kHexDigits[byte & 0xF]));
  };
  for (std::size_t i = 0; i < units_.size(); ++i) {
    const Unit unit = units_[i];
    bool keep = (unit >= 33 && unit <= 90) || (unit >= 97 && unit <= 122);
    if (keep && ampersand && unit == u'&')
      keep = false;
    if (keep && strict && (unit < 48 || (unit >= 58 && unit <= 64)))
      keep = false;
    if (keep) {
      out.push_back(unit);
    } else if (references) {
      char digits[8];
      const auto result = std::to_chars(digits, digits + sizeof digits, unsigned{unit});
      out.append(u"&#");
      for (const char* digit = digits; digit != result.ptr; ++digit)
        out.push_back(static_cast<Unit>(*digit));
      out.push_back(u';');
    } else if (unit <= 0xFF) {
      appendPercent(unit);
    } else {
      // Beyond one byte the character is written as its UTF-8 bytes, each escaped, so the
      // result stays unambiguous.
      std::string utf8;
      if (IsHighSurrogate(unit) && i + 1 < units_.size() && IsLowSurrogate(units_[i + 1])) {
        AppendUtf8(utf8, 0x10000 + ((char32_t{unit} - 0xD800) << 10) + (units_[i + 1] - 0xDC00));
        ++i;
      } else {
        AppendUtf8(utf8, IsHighSurrogate(unit) || IsLowSurrogate(unit) ? kReplacementCharacter
                                                                       : char32_t{unit});
      }
      for (const char byte : utf8)
        appendPercent(static_cast<unsigned char>(byte));
    }
  }
  return Text(std::move(out));
}

template <typename Matcher>
std::size_t Text::ReplaceWith(std::u16string_view find, std::u16string_view replacement,
                              Matcher&& findFrom) {
  if (find.empty())
    return 0;
  // Searching again from the start after each replacement finds nothing before the place
  // just replaced that was not there already, except a match that overlaps it; so the search
  // resumes far enough back to see such a match.
  const bool replacementMatchesItself = findFrom(replacement, find, 0) != kNotFound;
  std::size_t count = 0;
  std::size_t from = 0;
  for (;;) {
    const Position found = findFrom(std::u16string_view(units_), find, from);
    if (found == kNotFound)
      break;
    const std::size_t at = static_cast<std::size_t>(found);
    units_.replace(at, find.size(), replacement);
    ++count;
    if (replacementMatchesItself) {
      from = at + replacement.size();
    } else {
      from = at >= find.size() - 1 ? at - (find.size() - 1) : 0;
    }
  }
  return count;
}

std::size_t Text::Replace(std::u16string_view find, std::u16string_view replacement) {
  return ReplaceWith(find, replacement, FindCaseIn);
}

std::size_t Text::ReplaceNoCase(std::u16string_view find, std::u16string_view replacement) {
  return ReplaceWith(find, replacement,
                     [](std::u16string_view haystack, std::u16string_view needle,
                        std::size_t start) { return FindNoCaseIn(haystack, needle, start); });
}

bool Text::IsBlank(Unit unit) {
  switch (unit) {
    case 0x09:
    case 0x0A:
    case 0x0B:
    case 0x0C:
    case 0x0D:
    case 0x20:
    case 0x85:
    case 0xA0:
    case 0x1680:
    case 0x2028:
    case 0x2029:
    case 0x202F:
    case 0x205F:
    case 0x3000:
      return true;
    default:
      return unit >= 0x2000 && unit <= 0x200A;
  }
}

void Text::Trim() {
  std::size_t end = units_.size();
  while (end > 0 && IsBlank(units_[end - 1]))
    --end;
  std::size_t begin = 0;
  while (begin < end && IsBlank(units_[begin]))
    ++begin;
  units_ = units_.substr(begin, end - begin);
}

void Text::DecodeEscapes(EscapeMode mode) {
  const std::u16string_view source = units_;
  std::u16string out;
  out.reserve(source.size());
  std::size_t position = 0;
  while (position < source.size()) {
    const char16_t unit = source[position];
    std::size_t consumed = 0;
    if (unit == u'%' || unit == u'&' || unit == u'\\') {
      const std::size_t formCount = mode == EscapeMode::Full ? std::size(kEscapeForms) : 1;
      for (std::size_t f = 0; f < formCount && consumed == 0; ++f) {
        char32_t value = 0;
        const std::size_t length = MatchEscape(source, position, kEscapeForms[f], value);
        if (length == 0 || value == 0 || value > kLastCodePoint)
          continue;
        AppendCodePoint(out, value);
        consumed = length;
      }
    }
    if (consumed == 0) {
      out.push_back(unit);
      consumed = 1;
    }
    position += consumed;
  }
  units_ = std::move(out);
}

int Text::Compare(std::u16string_view a, std::u16string_view b) {
  const int result = a.compare(b);
  return result < 0 ? -1 : (result > 0 ? 1 : 0);
}

int Text::CompareLogical(std::u16string_view a, std::u16string_view b) {
  const auto isDigit = [](Unit unit) { return unit >= u'0' && unit <= u'9'; };
  std::size_t i = 0;
  std::size_t j = 0;
  while (i < a.size() && j < b.size()) {
    if (isDigit(a[i]) && isDigit(b[j])) {
      // Compare the digit runs by value without converting them, so any length works:
      // skip leading zeros, then the longer run is larger, else the first differing digit.
      while (i < a.size() && a[i] == u'0')
        ++i;
      while (j < b.size() && b[j] == u'0')
        ++j;
      std::size_t endA = i;
      std::size_t endB = j;
      while (endA < a.size() && isDigit(a[endA]))
        ++endA;
      while (endB < b.size() && isDigit(b[endB]))
        ++endB;
      const std::size_t lengthA = endA - i;
      const std::size_t lengthB = endB - j;
      if (lengthA != lengthB)
        return lengthA < lengthB ? -1 : 1;
      const int digits = a.substr(i, lengthA).compare(b.substr(j, lengthB));
      if (digits != 0)
        return digits < 0 ? -1 : 1;
      i = endA;
      j = endB;
      continue;
    }
    const Unit left = Lower(a[i]);
    const Unit right = Lower(b[j]);
    if (left != right)
      return left < right ? -1 : 1;
    ++i;
    ++j;
  }
  const bool aDone = i >= a.size();
  const bool bDone = j >= b.size();
  if (aDone && bDone)
    return 0;
  return aDone ? -1 : 1;
}

}  // namespace tarvel
