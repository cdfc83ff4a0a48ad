#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/ascii_bytes.h"

namespace tarvel {

// How much of DecodeEscapes applies: only "%HH", or every escape form.
enum class EscapeMode {
  PercentOnly,
  Full,
};

// NextToken: whether separators at the front are skipped before the token.
enum class LeadingSeparators {
  Skip,
  Keep,
};

// NextToken: whether a token written in double quotes loses them.
enum class TokenQuotes {
  Strip,
  Keep,
};

// EncodeText options, combined with "|".
enum EncodeFlags : unsigned {
  kEncodePlain = 0,
  kEncodeAmpersand = 1,            // "&" is encoded too
  kEncodeStrict = 2,               // only letters and digits stay
  kEncodeCharacterReferences = 4,  // "&#N;" instead of "%HH"
};

// Code pages understood by FromCodePage (the numbers the services and mail headers name).
namespace code_page {
inline constexpr unsigned kSystem = 0;  // the system's own: UTF-8 here
inline constexpr unsigned kOem = 1;     // the console code page: 437
inline constexpr unsigned kUtf8 = 65001;
inline constexpr unsigned kKoi8R = 20866;
inline constexpr unsigned kIso8859_5 = 28595;
inline constexpr unsigned kWindows1251 = 1251;
inline constexpr unsigned kBig5 = 950;
}  // namespace code_page

// The program's one string class: a growable, length-counted UTF-16 string. It never holds
// a zero code unit inside its content; operations that would produce one leave the input as
// it was. Positions are code-unit indices from 0, and kNotFound (-1) means "not found".
//
// Letter case is ignored the way the C library's case-insensitive comparison does it in the
// default locale: only A to Z and a to z are paired.
class Text {
 public:
  using Unit = char16_t;
  using Position = std::ptrdiff_t;
  static constexpr Position kNotFound = -1;

  Text() = default;
  Text(std::u16string_view units) { Append(units); }  // NOLINT(google-explicit-constructor)
  Text(const char16_t* units) { Append(units ? units : u""); }  // NOLINT
  Text(const std::u16string& units) { Append(units); }          // NOLINT

  // Decodes UTF-8; malformed sequences become U+FFFD.
  static Text FromUtf8(std::string_view utf8);
  // Every byte becomes one code unit of the same value.
  static Text FromBytes(std::string_view bytes);

  // Encodes as UTF-8; unpaired surrogates become U+FFFD.
  std::string ToUtf8() const;

  Position length() const { return static_cast<Position>(units_.size()); }
  bool isEmpty() const { return units_.empty(); }
  const Unit* data() const { return units_.data(); }
  std::u16string_view view() const { return units_; }
  operator std::u16string_view() const { return units_; }  // NOLINT(google-explicit-constructor)
  const std::u16string& units() const { return units_; }
  Unit operator[](Position index) const { return units_[static_cast<std::size_t>(index)]; }

  void clear() { units_.clear(); }
  Text& Append(std::u16string_view more);
  Text& Append(Unit unit);
  Text& operator+=(std::u16string_view more) { return Append(more); }
  Text& operator+=(Unit unit) { return Append(unit); }
  // Keeps the first `count` code units.
  void Truncate(Position count);
  Text Left(Position count) const;
  Text Mid(Position start, Position count = -1) const;

  friend bool operator==(const Text& a, std::u16string_view b) { return a.view() == b; }

  // Search: a position, or kNotFound when there is no match, for an empty needle and for a
  // start at or beyond the length. A negative start counts as 0.
  //
  // Find IGNORES LETTER CASE (A-Z pair with a-z, nothing else): the first match at or after
  // `start`. This is the search the engines read pages with; for an exact match use FindCase.
  Position Find(std::u16string_view needle, Position start = 0) const;
  // The first match at or after `start`, letter case included.
  Position FindCase(std::u16string_view needle, Position start = 0) const;
  // The first occurrence of the unit at or after `start`, letter case included.
  Position FindChar(Unit unit, Position start = 0) const;
  // The first occurrence of the unit ignoring letter case.
  Position FindCharNoCase(Unit unit) const;
  // The last occurrence of the unit, letter case included.
  Position FindLastChar(Unit unit) const;
  // The last match ignoring letter case.
  Position FindLastNoCase(std::u16string_view needle) const;

  // Takes the text between a start marker and an end marker, both searched with Find.
  // Without a start marker the content starts at `start`; without an end marker it runs to the
  // end. Returns the end marker's position (or the length), which callers pass back as the next
  // start to walk through repeated blocks, or kNotFound when a marker is missing or the start
  // marker lies beyond `limit` (kNotFound: no limit). An empty marker counts as absent.
  Position Extract(std::optional<std::u16string_view> startMarker,
                   std::optional<std::u16string_view> endMarker, Text* content, Position start,
                   Position limit = kNotFound) const;
  Position Extract(std::u16string_view startMarker, std::u16string_view endMarker, Text& content,
                   Position start = 0) const;

  // Cuts the next token off the front. A token in double quotes runs to the next quote not
  // preceded by a backslash and then on to the next separator. The token and the one separator
  // after it are removed. Returns false when nothing is left.
  bool NextToken(Text& token, std::u16string_view separators,
                 LeadingSeparators leading = LeadingSeparators::Skip,
                 TokenQuotes quotes = TokenQuotes::Strip);

  // Replaces every occurrence, searching again after each replacement so that a replacement
  // which forms a new match with the text before it is replaced too. A replacement that
  // contains the text it replaces is not searched again (it would never end).
  // Returns the number of replacements.
  std::size_t Replace(std::u16string_view find, std::u16string_view replacement);
  std::size_t ReplaceNoCase(std::u16string_view find, std::u16string_view replacement);

  // Removes leading and trailing blanks (space, tab, line breaks and the Unicode spaces).
  void Trim();

  // Replaces percent escapes, backslash escapes and numeric character references by the
  // characters they stand for, in one pass from the start. An escape whose value would be a
  // zero code unit or lies above U+10FFFF is left as it stands.
  void DecodeEscapes(EscapeMode mode);

  // Percent escapes ("%HH") or character references ("&#N;") for everything outside the
  // letters, digits and the printable ASCII that `flags` let through.
  Text EncodeText(unsigned flags) const;

  // Decodes RFC 2047 encoded words ("=?charset?Q|B?text?="); the text around them is kept as
  // it is. Undecodable parts stay as written.
  void DecodeMimeWords();

  // IMAP folder names in modified UTF-7 (RFC 3501, 5.1.3). Decoding fails, leaving the text
  // unchanged, on a control character, an unpaired surrogate, printable ASCII inside a base64
  // run or a malformed run.
  bool DecodeImapFolderName();
  Text EncodeImapFolderName() const;

  // Every code unit becomes its low byte.
  std::string ToBytes() const;
  // The text in the system code page (UTF-8 here).
  std::string ToSystemCodePage() const { return ToUtf8(); }
  // Decodes bytes in a code page; an unknown code page falls back to the system one.
  // Undecodable bytes become U+FFFD.
  static Text FromCodePage(std::string_view bytes, unsigned codePage);
  // Takes the code units as bytes (each one a byte) and decodes them as UTF-8. Units above
  // 0xFF cannot be bytes and are kept as they are.
  void Utf8Decode() { DecodeByteRuns(code_page::kUtf8); }
  // The same with any code page.
  void DecodeByteRuns(unsigned codePage);

  // Comparisons: <0, 0, >0.
  static int Compare(std::u16string_view a, std::u16string_view b);
  // ASCII letter case only (ascii_bytes::CompareNoCase).
  static int CompareNoCase(std::u16string_view a, std::u16string_view b) {
    return ascii_bytes::CompareNoCase(a, b);
  }
  // Digit runs compared by numeric value, letters without regard to case.
  static int CompareLogical(std::u16string_view a, std::u16string_view b);

  static bool IsBlank(Unit unit);

 private:
  // Adopts units known to hold no zero code unit.
  explicit Text(std::u16string&& units) : units_(std::move(units)) {}

  template <typename Matcher>
  std::size_t ReplaceWith(std::u16string_view find, std::u16string_view replacement,
                          Matcher&& findFrom);

  std::u16string units_;
};

}  // namespace tarvel
