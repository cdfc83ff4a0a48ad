#include "platform/json_document.h"

#include <algorithm>
#include <array>

namespace tarvel {

namespace {

// Input classes: every byte belongs to one; kInvalid bytes are refused everywhere.
enum Class : std::int8_t {
  kInvalid = -1,
  kSpace,
  kWhite,  // tab, line feed, carriage return
  kLeftBrace,
  kRightBrace,
  kLeftBracket,
  kRightBracket,
  kColon,
  kComma,
  kQuote,
  kBackslash,
  kSlash,
  kPlus,
  kMinus,
  kPoint,
  kZero,
  kDigit,
  kLowA,
  kLowB,
  kLowC,
  kLowD,
  kLowE,
  kLowF,
  kLowL,
  kLowN,
  kLowR,
  kLowS,
  kLowT,
  kLowU,
  kUpperHex,  // A B C D F
  kUpperE,
  kOther,  // every other byte, 128 and above included: allowed inside strings only
  kClassCount,
};

enum State : std::int8_t {
  kStart,
  kOk,      // a value is complete
  kObject,  // after "{"
  kKey,     // after "," in an object
  kColonNext,
  kValue,  // after ":" or "," in an array
  kArray,  // after "["
  kString,
  kEscape,
  kHex1,
  kHex2,
  kHex3,
  kHex4,
  kMinusSign,
  kZeroDigit,
  kInteger,
  kFractionStart,
  kFraction,
  kExponentStart,
  kExponentSign,
  kExponent,
  kTrue1,
  kTrue2,
  kTrue3,
  kFalse1,
  kFalse2,
  kFalse3,
  kFalse4,
  kNull1,
  kNull2,
  kNull3,
  kStateCount,
};

// Transitions below zero are actions of the stack (or the error).
enum Action : std::int8_t {
  kError = -1,
  kColonAction = -2,
  kCommaAction = -3,
  kCloseString = -4,
  kBeginArray = -5,
  kBeginObject = -6,
  kEndArray = -7,
  kEndObject = -8,
  kEndEmptyObject = -9,
  kTrueAction = -10,
  kFalseAction = -11,
  kNullAction = -12,
};

enum Mode {
  kModeArray,
  kModeDone,
  kModeKey,  // in an object, before ":"
  kModeObject,
};

constexpr std::array<std::int8_t, 256> kClasses = [] {
  std::array<std::int8_t, 256> classes{};
  for (std::size_t byte = 0; byte < 256; ++byte)
    classes[byte] = byte < 0x20 ? kInvalid : kOther;
  classes[' '] = kSpace;
  classes['\t'] = kWhite;
  classes['\n'] = kWhite;
  classes['\r'] = kWhite;
  classes['{'] = kLeftBrace;
  classes['}'] = kRightBrace;
  classes['['] = kLeftBracket;
  classes[']'] = kRightBracket;
  classes[':'] = kColon;
  classes[','] = kComma;
  classes['"'] = kQuote;
  classes['\\'] = kBackslash;
  classes['/'] = kSlash;
  classes['+'] = kPlus;
  classes['-'] = kMinus;
  classes['.'] = kPoint;
  classes['0'] = kZero;
  for (char digit = '1'; digit <= '9'; ++digit)
    classes[static_cast<unsigned char>(digit)] = kDigit;
  classes['a'] = kLowA;
  classes['b'] = kLowB;
  classes['c'] = kLowC;
  classes['d'] = kLowD;
  classes['e'] = kLowE;
  classes['f'] = kLowF;
  classes['l'] = kLowL;
  classes['n'] = kLowN;
  classes['r'] = kLowR;
  classes['s'] = kLowS;
  classes['t'] = kLowT;
  classes['u'] = kLowU;
  classes['A'] = kUpperHex;
  classes['B'] = kUpperHex;
  classes['C'] = kUpperHex;
  classes['D'] = kUpperHex;
  classes['F'] = kUpperHex;
  classes['E'] = kUpperE;
  return classes;
}();

using Table = std::array<std::array<std::int8_t, kClassCount>, kStateCount>;

constexpr Table kTransitions = [] {
  Table table{};
  for (auto& row : table)
    row.fill(kError);
  for (const State state : {kStart, kOk, kObject, kKey, kColonNext, kValue, kArray}) {
    table[state][kSpace] = state;
    table[state][kWhite] = state;
  }
  // Where a value may begin.
  for (const State state : {kStart, kValue, kArray}) {
    table[state][kLeftBrace] = kBeginObject;
    table[state][kLeftBracket] = kBeginArray;
    table[state][kQuote] = kString;
    table[state][kMinus] = kMinusSign;
    table[state][kZero] = kZeroDigit;
    table[state][kDigit] = kInteger;
    table[state][kLowF] = kFalse1;
    table[state][kLowN] = kNull1;
    table[state][kLowT] = kTrue1;
  }
  table[kArray][kRightBracket] = kEndArray;
  table[kObject][kRightBrace] = kEndEmptyObject;
  table[kObject][kQuote] = kString;
  table[kKey][kQuote] = kString;
  table[kColonNext][kColon] = kColonAction;
  // After a complete value, and where a number ends.
  for (const State state : {kOk, kZeroDigit, kInteger, kFraction, kExponent}) {
    table[state][kSpace] = kOk;
    table[state][kWhite] = kOk;
    table[state][kRightBrace] = kEndObject;
    table[state][kRightBracket] = kEndArray;
    table[state][kComma] = kCommaAction;
  }
  table[kOk][kSpace] = kOk;
  // Strings: anything but control characters; a backslash starts an escape.
  for (int inputClass = 0; inputClass < kClassCount; ++inputClass)
    table[kString][inputClass] = kString;
  table[kString][kWhite] = kError;
  table[kString][kQuote] = kCloseString;
  table[kString][kBackslash] = kEscape;
  for (const Class escaped : {kQuote, kBackslash, kSlash, kLowB, kLowF, kLowN, kLowR, kLowT})
    table[kEscape][escaped] = kString;
  table[kEscape][kLowU] = kHex1;
  const State afterHex[] = {kHex2, kHex3, kHex4, kString};
  const State hexStates[] = {kHex1, kHex2, kHex3, kHex4};
  for (int i = 0; i < 4; ++i) {
    for (const Class hex :
         {kZero, kDigit, kLowA, kLowB, kLowC, kLowD, kLowE, kLowF, kUpperHex, kUpperE}) {
      table[hexStates[i]][hex] = afterHex[i];
    }
  }
  // Numbers.
  table[kMinusSign][kZero] = kZeroDigit;
  table[kMinusSign][kDigit] = kInteger;
  for (const State state : {kZeroDigit, kInteger}) {
    table[state][kPoint] = kFractionStart;
    table[state][kLowE] = kExponentStart;
    table[state][kUpperE] = kExponentStart;
  }
  table[kInteger][kZero] = kInteger;
  table[kInteger][kDigit] = kInteger;
  for (const State state : {kFractionStart, kFraction}) {
    table[state][kZero] = kFraction;
    table[state][kDigit] = kFraction;
  }
  table[kFraction][kLowE] = kExponentStart;
  table[kFraction][kUpperE] = kExponentStart;
  table[kExponentStart][kPlus] = kExponentSign;
  table[kExponentStart][kMinus] = kExponentSign;
  for (const State state : {kExponentStart, kExponentSign, kExponent}) {
    table[state][kZero] = kExponent;
    table[state][kDigit] = kExponent;
  }
  // Literals.
  table[kTrue1][kLowR] = kTrue2;
  table[kTrue2][kLowU] = kTrue3;
  table[kTrue3][kLowE] = kTrueAction;
  table[kFalse1][kLowA] = kFalse2;
  table[kFalse2][kLowL] = kFalse3;
  table[kFalse3][kLowS] = kFalse4;
  table[kFalse4][kLowE] = kFalseAction;
  table[kNull1][kLowU] = kNull2;
  table[kNull2][kLowL] = kNull3;
  table[kNull3][kLowL] = kNullAction;
  return table;
}();

constexpr bool IsNumberState(int state) {
  return state >= kMinusSign && state <= kExponent;
}

// States in which a number may end.
constexpr bool IsCompleteNumber(int state) {
  return state == kZeroDigit || state == kInteger || state == kFraction || state == kExponent;
}

char16_t Unescape(unsigned char byte) {
  switch (byte) {
    case 'b':
      return u'\b';
    case 'f':
      return u'\f';
    case 'n':
      return u'\n';
    case 'r':
      return u'\r';
    case 't':
      return u'\t';
    default:
      return byte;  // " \ /
  }
}

// Widens bytes onto the token in place (the iterator form of append builds a temporary).
void AppendBytes(std::u16string& token, const unsigned char* begin, const unsigned char* end) {
  const std::size_t old = token.size();
  token.resize(old + static_cast<std::size_t>(end - begin));
  std::copy(begin, end, token.begin() + static_cast<std::ptrdiff_t>(old));
}

inline bool IsPlainStringByte(unsigned char byte) {
  return byte >= 0x20 && byte != '"' && byte != '\\';
}

}  // namespace

const JsonNode* JsonDocument::member(const JsonNode* node, std::u16string_view name) {
  for (; node != nullptr; node = node->next) {
    if (node->name == name)
      return node;
  }
  return nullptr;
}

const JsonNode* JsonDocument::firstOfKind(const JsonNode* node, JsonKind kind) {
  for (; node != nullptr; node = node->next) {
    if (node->kind == kind)
      return node;
  }
  return nullptr;
}

std::u16string_view JsonDocument::Store(std::u16string_view text) {
  if (text.empty())
    return {};
  if (text.size() > textLeft_) {
    const std::size_t size = std::max(text.size(), kTextBlockSize);
    textBlocks_.push_back(std::make_unique_for_overwrite<char16_t[]>(size));
    textCursor_ = textBlocks_.back().get();
    textLeft_ = size;
  }
  char16_t* stored = textCursor_;
  std::copy(text.begin(), text.end(), stored);
  textCursor_ += text.size();
  textLeft_ -= text.size();
  return {stored, text.size()};
}

JsonNode& JsonDocument::AddNode(JsonKind kind) {
  if (blocks_.empty() || blocks_.back().size() == blocks_.back().capacity()) {
    const std::size_t size = blocks_.empty()
                                 ? kFirstBlockSize
                                 : std::min(blocks_.back().capacity() * 2, kLargestBlockSize);
    blocks_.emplace_back().reserve(size);
  }
  JsonNode& node = blocks_.back().emplace_back();
  node.kind = kind;
  if (haveName_) {
    node.name = Store(pendingName_);
    haveName_ = false;
  }
  if (containers_.empty()) {
    (lastTopLevel_ ? lastTopLevel_->next : first_) = &node;
    lastTopLevel_ = &node;
  } else {
    JsonNode* parent = containers_.back();
    (parent->lastChild ? parent->lastChild->next : parent->children) = &node;
    parent->lastChild = &node;
  }
  return node;
}

void JsonDocument::EmitScalar(std::u16string_view text) {
  const std::u16string_view stored = Store(text);
  AddNode(JsonKind::Value).value = stored;
}

void JsonDocument::EmitNumber() {
  // An integer's decimal text is the text as written (the grammar allows no "+" and no
  // leading zeros), except that "-0" is 0. Integers beyond 64 bits stay as written too.
  if (token_ == u"-0")
    EmitScalar(u"0");
  else
    EmitScalar(token_);
}

bool JsonDocument::Push(int mode) {
  if (modes_.size() > kMaxDepth)
    return false;
  modes_.push_back(mode);
  return true;
}

bool JsonDocument::Pop(int mode) {
  if (modes_.empty() || modes_.back() != mode)
    return false;
  modes_.pop_back();
  containers_.pop_back();
  return true;
}

bool JsonDocument::Step(unsigned char byte) {
  const int inputClass = kClasses[byte];
  if (inputClass == kInvalid)
    return false;
  const int previous = state_;
  const int next =
      kTransitions[static_cast<std::size_t>(previous)][static_cast<std::size_t>(inputClass)];
  if (next == kError)
    return false;
  if (IsNumberState(previous) && !IsNumberState(next))
    EmitNumber();
  if (next >= 0) {
    if (next == kString) {
      if (previous == kEscape)
        token_.push_back(Unescape(byte));
      else if (previous == kString || previous == kHex4)
        token_.push_back(byte);
      else
        token_.clear();  // the opening quote
    } else if (next >= kHex1 && next <= kHex4) {
      if (previous == kEscape)
        token_.append(u"\\u");
      else
        token_.push_back(byte);
    } else if (IsNumberState(next)) {
      if (!IsNumberState(previous))
        token_.clear();
      token_.push_back(byte);
    }
    state_ = next;
    return true;
  }
  switch (next) {
    case kBeginObject:
    case kBeginArray: {
      const bool object = next == kBeginObject;
      if (!Push(object ? kModeKey : kModeArray))
        return false;
      containers_.push_back(&AddNode(object ? JsonKind::Object : JsonKind::Array));
      state_ = object ? kObject : kArray;
      return true;
    }
    case kEndEmptyObject:
      state_ = kOk;
      return Pop(kModeKey);
    case kEndObject:
      state_ = kOk;
      return Pop(kModeObject);
    case kEndArray:
      state_ = kOk;
      return Pop(kModeArray);
    case kCommaAction:
      if (modes_.back() == kModeObject) {
        modes_.back() = kModeKey;
        state_ = kKey;
        return true;
      }
      state_ = kValue;
      return modes_.back() == kModeArray;
    case kColonAction:
      if (modes_.back() != kModeKey)
        return false;
      modes_.back() = kModeObject;
      state_ = kValue;
      return true;
    case kCloseString:
      if (modes_.back() == kModeKey) {
        pendingName_ = token_;
        haveName_ = true;
        state_ = kColonNext;
      } else {
        EmitScalar(token_);
        state_ = kOk;
      }
      return true;
    case kTrueAction:
      EmitScalar(u"1");
      state_ = kOk;
      return true;
    case kFalseAction:
    case kNullAction:
      EmitScalar(u"0");
      state_ = kOk;
      return true;
    default:
      return false;
  }
}

bool JsonDocument::Finish() {
  if (modes_.size() != 1)
    return false;
  if (IsCompleteNumber(state_)) {
    EmitNumber();
    state_ = kOk;
  }
  return state_ == kOk;
}

bool JsonDocument::parse(std::string_view bytes) {
  blocks_.clear();
  textBlocks_.clear();
  textCursor_ = nullptr;
  textLeft_ = 0;
  first_ = nullptr;
  lastTopLevel_ = nullptr;
  modes_.clear();
  modes_.push_back(kModeDone);
  containers_.clear();
  state_ = kStart;
  token_.clear();
  haveName_ = false;
  const auto* data = reinterpret_cast<const unsigned char*>(bytes.data());
  const std::size_t size = bytes.size();
  for (std::size_t i = 0; i < size; ++i) {
    // Inside a string, a run of plain bytes only grows the token: take it in one go.
    if (state_ == kString) {
      const std::size_t runStart = i;
      while (i < size && IsPlainStringByte(data[i]))
        ++i;
      AppendBytes(token_, data + runStart, data + i);
      if (i == size)
        break;
    } else if (state_ == kInteger || state_ == kFraction || state_ == kExponent) {
      // Likewise the digits of a number that stay in the same state.
      const std::size_t runStart = i;
      while (i < size && data[i] >= '0' && data[i] <= '9')
        ++i;
      AppendBytes(token_, data + runStart, data + i);
      if (i == size)
        break;
    }
    if (!Step(data[i]))
      return false;
  }
  return Finish();
}

}  // namespace tarvel
