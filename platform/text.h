#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace tarvel {

// How much of DecodeEscapes applies: only "%HH", or every escape form.
enum class EscapeMode {
  PercentOnly,
  Full,
};

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

  // Search. Find ignores letter case; a start at or beyond the length gives kNotFound.
  Position Find(std::u16string_view needle, Position start = 0) const;
  Position FindCase(std::u16string_view needle, Position start = 0) const;
  Position FindChar(Unit unit, Position start = 0) const;

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

  // Comparisons: <0, 0, >0.
  static int Compare(std::u16string_view a, std::u16string_view b);
  static int CompareNoCase(std::u16string_view a, std::u16string_view b);
  // Digit runs compared by numeric value, letters without regard to case.
  static int CompareLogical(std::u16string_view a, std::u16string_view b);

  static constexpr Unit FoldCase(Unit unit) {
    return (unit >= u'A' && unit <= u'Z') ? static_cast<Unit>(unit + (u'a' - u'A')) : unit;
  }
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
