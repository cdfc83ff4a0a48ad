// Byte and code-page conversions, RFC 2047 encoded words and the modified UTF-7 of IMAP folder
// names (RFC 3501, section 5.1.3).
#include <iconv.h>

#include <array>
#include <cerrno>
#include <string>
#include <utility>
#include <vector>

#include "platform/ascii_bytes.h"
#include "platform/base64.h"
#include "platform/text.h"

namespace tarvel {

namespace {

constexpr char16_t kReplacementUnit = 0xFFFD;

bool IsSurrogate(char16_t unit) {
  return unit >= 0xD800 && unit <= 0xDFFF;
}
bool IsHighSurrogate(char16_t unit) {
  return unit >= 0xD800 && unit <= 0xDBFF;
}
bool IsLowSurrogate(char16_t unit) {
  return unit >= 0xDC00 && unit <= 0xDFFF;
}

bool IsControl(char16_t unit) {
  return unit < 0x20 || unit == 0x7F;
}

// iconv's name for a code page number; the others are tried as "CPnnn", which iconv knows for
// the Windows and DOS pages.
std::string IconvName(unsigned codePage) {
  switch (codePage) {
    case code_page::kOem:
      return "CP437";
    case code_page::kKoi8R:
      return "KOI8-R";
    case code_page::kIso8859_5:
      return "ISO-8859-5";
    case code_page::kBig5:
      return "CP950";
    case 20127:
      return "US-ASCII";
    case 28591:
      return "ISO-8859-1";
    case 28592:
      return "ISO-8859-2";
    case 28605:
      return "ISO-8859-15";
    case 1200:
      return "UTF-16LE";
    case 1201:
      return "UTF-16BE";
    default:
      return "CP" + std::to_string(codePage);
  }
}

// Decodes with iconv from the charset of that iconv name; returns false only when iconv does
// not know it. Bytes it cannot decode become U+FFFD and decoding goes on after them.
bool DecodeWithIconv(std::string_view bytes, const std::string& iconvName, std::u16string& out) {
  iconv_t converter = iconv_open("UTF-16LE", iconvName.c_str());
  if (converter == reinterpret_cast<iconv_t>(-1))
    return false;
  std::array<char, 4096> buffer{};
  char* input = const_cast<char*>(bytes.data());
  std::size_t inputLeft = bytes.size();
  const auto flush = [&](const char* outputEnd) {
    for (const char* unit = buffer.data(); unit + 1 < outputEnd; unit += 2) {
      const auto value = static_cast<char16_t>(static_cast<unsigned char>(unit[0]) |
                                               (static_cast<unsigned char>(unit[1]) << 8));
      if (value != 0)
        out.push_back(value);
    }
  };
  while (inputLeft > 0) {
    char* output = buffer.data();
    std::size_t outputLeft = buffer.size();
    const std::size_t result = iconv(converter, &input, &inputLeft, &output, &outputLeft);
    flush(output);
    if (result != static_cast<std::size_t>(-1))
      continue;
    if (errno == E2BIG)
      continue;
    out.push_back(kReplacementUnit);
    if (errno == EILSEQ) {
      ++input;
      --inputLeft;
      iconv(converter, nullptr, nullptr, nullptr, nullptr);
    } else {
      break;  // a sequence cut off at the end
    }
  }
  char* output = buffer.data();
  std::size_t outputLeft = buffer.size();
  iconv(converter, nullptr, nullptr, &output, &outputLeft);
  flush(output);
  iconv_close(converter);
  return true;
}

void AppendByte(std::u16string& out, unsigned byte) {
  if (byte != 0)
    out.push_back(static_cast<char16_t>(byte));
}

// Q encoding: "_" is a space, "=HH" a byte; everything else is copied.
void DecodeQ(std::u16string_view encoded, std::u16string& out) {
  for (std::size_t i = 0; i < encoded.size(); ++i) {
    const char16_t unit = encoded[i];
    if (unit == u'_') {
      out.push_back(u' ');
    } else if (unit == u'=' && i + 2 < encoded.size() &&
               ascii_bytes::HexDigitValue(encoded[i + 1]) >= 0 &&
               ascii_bytes::HexDigitValue(encoded[i + 2]) >= 0) {
      AppendByte(out, static_cast<unsigned>(ascii_bytes::HexDigitValue(encoded[i + 1]) * 16 +
                                            ascii_bytes::HexDigitValue(encoded[i + 2])));
      i += 2;
    } else {
      out.push_back(unit);
    }
  }
}

// B encoding: standard Base64; decoding ends at the first "=", other characters outside the
// alphabet are skipped.
void DecodeB(std::u16string_view encoded, std::u16string& out) {
  encoded = encoded.substr(0, encoded.find(u'='));
  std::string digits;
  digits.reserve(encoded.size());
  for (const char16_t unit : encoded) {
    if (Base64DigitValue(unit) >= 0)
      digits += static_cast<char>(unit);
  }
  for (const char byte : DecodeBase64(digits))
    AppendByte(out, static_cast<unsigned char>(byte));
}

// The code page a MIME charset name stands for, or 0 when it is not one of ours.
unsigned CharsetCodePage(std::u16string_view charset) {
  const std::size_t language = charset.find(u'*');
  if (language != std::u16string_view::npos)
    charset = charset.substr(0, language);
  static constexpr struct {
    std::u16string_view name;
    unsigned codePage;
  } kCharsets[] = {
      {u"UTF-8", code_page::kUtf8},
      {u"koi8-r", code_page::kKoi8R},
      {u"iso-8859-5", code_page::kIso8859_5},
      {u"windows-1251", code_page::kWindows1251},
      {u"big5", code_page::kBig5},
      {u"ms950", code_page::kBig5},
  };
  for (const auto& entry : kCharsets) {
    if (ascii_bytes::EqualsNoCase(charset, entry.name))
      return entry.codePage;
  }
  return 0;
}

// A MIME charset name as iconv takes it: without its language suffix, and only when it is
// made of the characters charset names use (it comes from the mail); empty otherwise.
std::string IconvCharsetName(std::u16string_view charset) {
  const std::size_t language = charset.find(u'*');
  if (language != std::u16string_view::npos)
    charset = charset.substr(0, language);
  constexpr std::size_t kLongestName = 40;
  if (charset.empty() || charset.size() > kLongestName)
    return {};
  std::string name;
  for (const char16_t unit : charset) {
    const bool allowed = (unit >= u'A' && unit <= u'Z') || (unit >= u'a' && unit <= u'z') ||
                         (unit >= u'0' && unit <= u'9') || unit == u'-' || unit == u'_' ||
                         unit == u'.' || unit == u':';
    if (!allowed)
      return {};
    name += static_cast<char>(unit);
  }
  return name;
}

// The bytes of encoded words (units up to 0xFF; any other unit is kept as it is) decoded from
// a charset by its MIME name. A charset iconv does not know keeps the ASCII bytes and shows
// every other byte as U+FFFD, so that the reader sees something was lost.
std::u16string DecodeNamedCharset(std::u16string_view units, std::u16string_view charset) {
  const std::string iconvName = IconvCharsetName(charset);
  std::u16string out;
  std::string run;
  bool known = true;
  const auto flushRun = [&] {
    if (run.empty())
      return;
    if (known && !iconvName.empty()) {
      std::u16string decoded;
      if (DecodeWithIconv(run, iconvName, decoded)) {
        out.append(decoded);
        run.clear();
        return;
      }
      known = false;
    }
    for (const char byte : run)
      out.push_back(static_cast<unsigned char>(byte) < 0x80 ? static_cast<char16_t>(byte)
                                                            : kReplacementUnit);
    run.clear();
  };
  for (const char16_t unit : units) {
    if (unit <= 0xFF) {
      run.push_back(static_cast<char>(unit));
    } else {
      flushRun();
      out.push_back(unit);
    }
  }
  flushRun();
  return out;
}

bool IsFoldingWhiteSpace(std::u16string_view gap) {
  for (const char16_t unit : gap) {
    if (unit != u' ' && unit != u'\t' && unit != u'\r' && unit != u'\n')
      return false;
  }
  return true;
}

}  // namespace

std::string Text::ToBytes() const {
  std::string out;
  out.reserve(units_.size());
  for (const Unit unit : units_)
    out.push_back(static_cast<char>(unit & 0xFF));
  return out;
}

Text Text::FromCodePage(std::string_view bytes, unsigned codePage) {
  if (codePage == code_page::kUtf8 || codePage == code_page::kSystem)
    return FromUtf8(bytes);
  std::u16string out;
  out.reserve(bytes.size());
  if (!DecodeWithIconv(bytes, IconvName(codePage), out))
    return FromUtf8(bytes);
  return Text(std::move(out));
}

void Text::DecodeByteRuns(unsigned codePage) {
  std::u16string out;
  out.reserve(units_.size());
  std::string run;
  const auto flushRun = [&]() {
    if (!run.empty())
      out.append(FromCodePage(run, codePage).view());
    run.clear();
  };
  for (const Unit unit : units_) {
    if (unit <= 0xFF) {
      run.push_back(static_cast<char>(unit));
    } else {
      flushRun();
      out.push_back(unit);
    }
  }
  flushRun();
  units_ = std::move(out);
}

void Text::DecodeMimeWords() {
  const std::u16string source = units_;
  const std::u16string_view text = source;
  std::u16string out;
  out.reserve(text.size());
  unsigned codePage = 0;
  bool afterEncodedWord = false;
  // Where the decoded bytes of the encoded words lie in `out`, and their charset; adjacent
  // words of one charset form one range, so a character split between two words is joined.
  struct WordBytes {
    std::size_t start;
    std::size_t end;
    std::u16string_view charset;
  };
  std::vector<WordBytes> wordBytes;
  std::size_t position = 0;
  for (;;) {
    const std::size_t open = text.find(u"=?", position);
    std::size_t charsetEnd = std::u16string_view::npos;
    std::size_t encodingEnd = std::u16string_view::npos;
    std::size_t close = std::u16string_view::npos;
    if (open != std::u16string_view::npos)
      charsetEnd = text.find(u'?', open + 2);
    if (charsetEnd != std::u16string_view::npos)
      encodingEnd = text.find(u'?', charsetEnd + 1);
    if (encodingEnd != std::u16string_view::npos)
      close = text.find(u"?=", encodingEnd + 1);
    if (close == std::u16string_view::npos) {
      out.append(text.substr(position));
      break;
    }
    const std::u16string_view gap = text.substr(position, open - position);
    if (!(afterEncodedWord && IsFoldingWhiteSpace(gap)))
      out.append(gap);
    const std::u16string_view charset = text.substr(open + 2, charsetEnd - open - 2);
    const std::u16string_view encoding = text.substr(charsetEnd + 1, encodingEnd - charsetEnd - 1);
    const std::u16string_view encoded = text.substr(encodingEnd + 1, close - encodingEnd - 1);
    position = close + 2;
    const std::size_t wordStart = out.size();
    if (ascii_bytes::EqualsNoCase(encoding, u"Q")) {
      DecodeQ(encoded, out);
    } else if (ascii_bytes::EqualsNoCase(encoding, u"B")) {
      DecodeB(encoded, out);
    } else {
      // An unknown encoding is not decoded: the word stays as written.
      out.append(text.substr(open, position - open));
      afterEncodedWord = false;
      continue;
    }
    afterEncodedWord = true;
    if (!wordBytes.empty() && wordBytes.back().end == wordStart &&
        ascii_bytes::EqualsNoCase(wordBytes.back().charset, charset))
      wordBytes.back().end = out.size();
    else
      wordBytes.push_back({wordStart, out.size(), charset});
    if (const unsigned wordCodePage = CharsetCodePage(charset); wordCodePage != 0)
      codePage = wordCodePage;
  }
  // Only the bytes of the encoded words are decoded with the charset: the text around them
  // is already characters, and taking it as bytes would garble any letter beyond ASCII. The
  // charsets of the table share the code page named last; any other decodes by its own name.
  std::u16string decoded;
  decoded.reserve(out.size());
  std::size_t copied = 0;
  for (const auto& [start, end, charset] : wordBytes) {
    decoded.append(out, copied, start - copied);
    const std::u16string_view bytes = std::u16string_view(out).substr(start, end - start);
    if (CharsetCodePage(charset) != 0) {
      Text word(bytes);
      word.DecodeByteRuns(codePage);
      decoded.append(word.view());
    } else {
      decoded.append(DecodeNamedCharset(bytes, charset));
    }
    copied = end;
  }
  decoded.append(out, copied);
  units_ = std::move(decoded);
}

bool Text::DecodeImapFolderName() {
  std::u16string out;
  out.reserve(units_.size());
  const std::size_t size = units_.size();
  std::size_t i = 0;
  while (i < size) {
    const Unit unit = units_[i];
    if (IsControl(unit))
      return false;
    if (unit != u'&') {
      out.push_back(unit);
      ++i;
      continue;
    }
    std::size_t j = i + 1;
    if (j < size && units_[j] == u'-') {
      out.push_back(u'&');
      i = j + 1;
      continue;
    }
    std::u16string run;
    unsigned bits = 0;
    int bitCount = 0;
    for (; j < size && units_[j] != u'-'; ++j) {
      const int value = Base64DigitValue(units_[j], u',');
      if (value < 0)
        return false;
      bits = (bits << 6) | static_cast<unsigned>(value);
      bitCount += 6;
      if (bitCount >= 16) {
        bitCount -= 16;
        run.push_back(static_cast<Unit>((bits >> bitCount) & 0xFFFF));
      }
      bits &= (1u << bitCount) - 1;
    }
    // The run must be closed, and end on whole code units with zero padding bits.
    if (j >= size || bitCount >= 6 || bits != 0)
      return false;
    for (std::size_t k = 0; k < run.size(); ++k) {
      const Unit decoded = run[k];
      if (IsControl(decoded) || (decoded >= 0x20 && decoded <= 0x7E))
        return false;
      if (IsHighSurrogate(decoded)) {
        if (k + 1 >= run.size() || !IsLowSurrogate(run[k + 1]))
          return false;
        ++k;
      } else if (IsSurrogate(decoded)) {
        return false;
      }
    }
    out.append(run);
    i = j + 1;
  }
  units_ = std::move(out);
  return true;
}

Text Text::EncodeImapFolderName() const {
  static constexpr char kAlphabet[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+,";
  std::u16string out;
  out.reserve(units_.size());
  std::size_t i = 0;
  while (i < units_.size()) {
    const Unit unit = units_[i];
    if (unit >= 0x20 && unit <= 0x7E) {
      if (unit == u'&')
        out.append(u"&-");
      else
        out.push_back(unit);
      ++i;
      continue;
    }
    out.push_back(u'&');
    unsigned bits = 0;
    int bitCount = 0;
    for (; i < units_.size() && !(units_[i] >= 0x20 && units_[i] <= 0x7E); ++i) {
      bits = (bits << 16) | units_[i];
      bitCount += 16;
      while (bitCount >= 6) {
        bitCount -= 6;
        out.push_back(static_cast<Unit>(kAlphabet[(bits >> bitCount) & 0x3F]));
      }
      bits &= (1u << bitCount) - 1;
    }
    if (bitCount > 0)
      out.push_back(static_cast<Unit>(kAlphabet[(bits << (6 - bitCount)) & 0x3F]));
    out.push_back(u'-');
  }
  return Text(std::move(out));
}

}  // namespace tarvel
