#include "tarvelctl/settings_commands.h"

#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "accounts/keyring_secrets.h"
#include "accounts/protected_text.h"
#include "accounts/registry_store.h"
#include "accounts/settings_store.h"
#include "platform/ascii_bytes.h"
#include "tarvelctl/terminal_text.h"

namespace tarvel::ctl {

namespace {

constexpr int kExitDone = 0;
constexpr int kExitNotFound = 1;
constexpr int kExitUsage = 2;

enum class ValueKind {
  Chosen,  // by the value and the name
  Number,
  Text,
  Protected,
};

struct Arguments {
  std::vector<std::string> words;
  std::optional<std::string> group;
  ValueKind kind = ValueKind::Chosen;
  bool protectedValue = false;  // get --protected
};

int Usage(const char* problem) {
  std::fprintf(stderr, "tarvelctl settings: %s\n", problem);
  std::fputs(
      "Usage: tarvelctl [-p | --ini PATH] settings list [--group G]\n"
      "       tarvelctl [-p | --ini PATH] settings get NAME [--group G] [--protected]\n"
      "       tarvelctl [-p | --ini PATH] settings set NAME VALUE [--group G]\n"
      "                                   [--number | --text | --protected]\n"
      "                 (VALUE - reads one line from standard input, without echo on a\n"
      "                 terminal: secrets stay out of the process list and the history)\n"
      "       tarvelctl [-p | --ini PATH] settings delete NAME [--group G]\n"
      "       tarvelctl [-p | --ini PATH] settings delete-group G\n",
      stderr);
  return kExitUsage;
}

// Splits options from words; false (after a message) on an unknown or incomplete option.
bool ParseArguments(int argc, char* argv[], Arguments& arguments) {
  for (int i = 0; i < argc; ++i) {
    const std::string_view word = argv[i];
    if (word == "--group") {
      if (i + 1 >= argc) {
        Usage("--group needs a group name");
        return false;
      }
      arguments.group = argv[++i];
    } else if (word == "--number" || word == "--text" || word == "--protected") {
      const ValueKind kind = word == "--number" ? ValueKind::Number
                             : word == "--text" ? ValueKind::Text
                                                : ValueKind::Protected;
      if (arguments.kind != ValueKind::Chosen && arguments.kind != kind) {
        Usage("--number, --text and --protected exclude each other");
        return false;
      }
      arguments.kind = kind;
      arguments.protectedValue = kind == ValueKind::Protected;
    } else if (word.size() > 1 && word[0] == '-' && word != "--") {
      if (!(word[1] >= '0' && word[1] <= '9')) {  // a negative number is a value
        std::fprintf(stderr, "tarvelctl settings: unknown option '%s'\n", argv[i]);
        Usage("see the usage");
        return false;
      }
      arguments.words.emplace_back(word);
    } else if (word == "--") {
      for (++i; i < argc; ++i)
        arguments.words.emplace_back(argv[i]);
    } else {
      arguments.words.emplace_back(word);
    }
  }
  return true;
}

// Decimal, "0x" hexadecimal, or a negative decimal stored sign-extended.
std::optional<uint64_t> ParseNumber(std::string_view text) {
  bool negative = false;
  int base = 10;
  if (!text.empty() && text[0] == '-') {
    negative = true;
    text.remove_prefix(1);
  } else if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    base = 16;
    text.remove_prefix(2);
  }
  if (text.empty())
    return std::nullopt;
  uint64_t value = 0;
  for (const char c : text) {
    const int digit = ascii_bytes::HexDigitValue(c);
    if (digit < 0 || digit >= base)
      return std::nullopt;
    if (value > (UINT64_MAX - static_cast<uint64_t>(digit)) / static_cast<uint64_t>(base))
      return std::nullopt;
    value = value * static_cast<uint64_t>(base) + static_cast<uint64_t>(digit);
  }
  if (negative) {
    if (value > (uint64_t{1} << 63))
      return std::nullopt;
    return ~value + 1;
  }
  return value;
}

std::string HexBytes(const std::string& bytes) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out;
  for (const char c : bytes) {
    const auto byte = static_cast<unsigned char>(c);
    out += kHex[byte >> 4];
    out += kHex[byte & 0xF];
  }
  return out;
}

std::string StoredText(const StoredSetting& setting) {
  switch (setting.kind) {
    case StoredSetting::Kind::Number:
      return std::to_string(setting.number);
    case StoredSetting::Kind::Binary:
      return "hex:" + HexBytes(setting.bytes);
    case StoredSetting::Kind::Text:
      return TerminalText(setting.text);
  }
  return {};
}

void ListGroup(const SettingsStore& store, const Text& group) {
  for (const StoredSetting& setting : store.listValues(group)) {
    const std::string value =
        IsProtectedSetting(group, setting.name) ? std::string("(protected)") : StoredText(setting);
    std::printf("%s = %s\n", TerminalText(setting.name).c_str(), value.c_str());
  }
}

int List(const SettingsStore& store, const Arguments& arguments) {
  if (!arguments.words.empty())
    return Usage("list takes no names");
  if (arguments.group) {
    const Text group = Text::FromUtf8(*arguments.group);
    ListGroup(store, group);
    return kExitDone;
  }
  ListGroup(store, Text());
  for (const Text& group : store.listGroups()) {
    std::printf("\n[%s]\n", TerminalText(group).c_str());
    ListGroup(store, group);
  }
  return kExitDone;
}

const char* GroupSuffix(const Text& group, std::string& buffer) {
  buffer = group.isEmpty() ? std::string() : " in group " + group.ToUtf8();
  return buffer.c_str();
}

int Get(const SettingsStore& store, const Arguments& arguments) {
  if (arguments.words.size() != 1)
    return Usage("get takes one NAME");
  if (arguments.kind != ValueKind::Chosen && arguments.kind != ValueKind::Protected)
    return Usage("get takes only --protected");
  const Text name = Text::FromUtf8(arguments.words[0]);
  const Text group = Text::FromUtf8(arguments.group.value_or(""));
  std::string suffix;
  const std::optional<StoredSetting> setting = store.readStored(name, group);
  if (!setting) {
    std::fprintf(stderr, "tarvelctl: no value %s%s\n", arguments.words[0].c_str(),
                 GroupSuffix(group, suffix));
    return kExitNotFound;
  }
  if (!arguments.protectedValue) {
    std::printf("%s\n", StoredText(*setting).c_str());
    return kExitDone;
  }
  if (setting->kind == StoredSetting::Kind::Text && setting->text == kKeyringMarker) {
    bool unreadable = false;
    const Text kept = store.readProtected(name, u"", kBuiltInPassPhrase, group, &unreadable);
    if (unreadable) {
      std::fprintf(stderr,
                   "tarvelctl: the value %s%s is kept in the keyring, which is locked or not "
                   "running\n",
                   arguments.words[0].c_str(), GroupSuffix(group, suffix));
      return kExitNotFound;
    }
    std::printf("%s\n", TerminalText(kept).c_str());
    return kExitDone;
  }
  const std::optional<Text> plain = setting->kind == StoredSetting::Kind::Text
                                        ? DecryptSecret(setting->text.ToUtf8(), kBuiltInPassPhrase)
                                        : std::nullopt;
  if (!plain) {
    std::fprintf(stderr, "tarvelctl: the value %s%s is not a protected value\n",
                 arguments.words[0].c_str(), GroupSuffix(group, suffix));
    return kExitNotFound;
  }
  std::printf("%s\n", TerminalText(*plain).c_str());
  return kExitDone;
}

// The longest value read from standard input.
constexpr std::size_t kMaximumInputValue = 64 * 1024;

// The terminal settings to put back when a signal ends the program during a prompt.
struct termios savedTerminal;
volatile sig_atomic_t terminalSaved = 0;

void RestoreTerminalAndEnd(int signalNumber) {
  if (terminalSaved)
    ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &savedTerminal);
  ::signal(signalNumber, SIG_DFL);
  ::raise(signalNumber);
}

// One line from standard input, without its line end; nothing when the input ended before
// any character or the line is too long. On a terminal the line is not echoed.
std::optional<std::string> ReadValueFromInput(const std::string& name) {
  const bool terminal = ::isatty(STDIN_FILENO) == 1;
  struct sigaction previousInterrupt {};
  struct sigaction previousTerminate {};
  const bool prompted = terminal && ::tcgetattr(STDIN_FILENO, &savedTerminal) == 0;
  if (prompted) {
    struct sigaction restore {};
    restore.sa_handler = RestoreTerminalAndEnd;
    sigemptyset(&restore.sa_mask);
    ::sigaction(SIGINT, &restore, &previousInterrupt);
    ::sigaction(SIGTERM, &restore, &previousTerminate);
    struct termios quiet = savedTerminal;
    quiet.c_lflag &= static_cast<tcflag_t>(~ECHO);
    quiet.c_lflag |= ECHONL;
    terminalSaved = ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet) == 0 ? 1 : 0;
    std::fprintf(stderr, "Value of %s: ", name.c_str());
    std::fflush(stderr);
  }
  std::string line;
  bool ended = false;
  bool anything = false;
  for (;;) {
    char c = 0;
    const ssize_t got = ::read(STDIN_FILENO, &c, 1);
    if (got < 0 && errno == EINTR)
      continue;
    if (got <= 0)
      break;
    anything = true;
    if (c == '\n') {
      ended = true;
      break;
    }
    if (line.size() >= kMaximumInputValue) {
      line.clear();
      anything = false;
      break;
    }
    line.push_back(c);
  }
  if (prompted) {
    if (terminalSaved)
      ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &savedTerminal);
    terminalSaved = 0;
    ::sigaction(SIGINT, &previousInterrupt, nullptr);
    ::sigaction(SIGTERM, &previousTerminate, nullptr);
  }
  if (!anything)
    return std::nullopt;
  if (ended && !line.empty() && line.back() == '\r')
    line.pop_back();
  return line;
}

int Set(SettingsStore& store, const Arguments& arguments) {
  if (arguments.words.size() != 2)
    return Usage("set takes NAME and VALUE");
  const Text name = Text::FromUtf8(arguments.words[0]);
  const Text group = Text::FromUtf8(arguments.group.value_or(""));
  if (name.isEmpty())
    return Usage("the NAME is empty");
  std::string value = arguments.words[1];
  if (value == "-") {
    const std::optional<std::string> input = ReadValueFromInput(arguments.words[0]);
    if (!input) {
      std::fputs("tarvelctl: no value (or one longer than 64 KiB) on standard input\n", stderr);
      return kExitUsage;
    }
    value = *input;
  }
  ValueKind kind = arguments.kind;
  if (kind == ValueKind::Chosen) {
    kind = IsProtectedSetting(group, name) ? ValueKind::Protected
           : ParseNumber(value)            ? ValueKind::Number
                                           : ValueKind::Text;
  }
  bool stored = false;
  switch (kind) {
    case ValueKind::Number: {
      const std::optional<uint64_t> number = ParseNumber(value);
      if (!number)
        return Usage("the VALUE is not a number (decimal, negative, or 0x hexadecimal)");
      stored = store.writeNumber(name, *number, group);
      break;
    }
    case ValueKind::Protected:
      stored = store.writeProtected(name, Text::FromUtf8(value), kBuiltInPassPhrase, group);
      break;
    case ValueKind::Text:
    case ValueKind::Chosen:
      stored = store.writeText(name, Text::FromUtf8(value), group);
      break;
  }
  if (!stored) {
    std::fprintf(stderr, "tarvelctl: could not store %s in %s\n", arguments.words[0].c_str(),
                 store.location().c_str());
    return kExitNotFound;
  }
  return kExitDone;
}

int Delete(SettingsStore& store, const Arguments& arguments) {
  if (arguments.words.size() != 1 || arguments.kind != ValueKind::Chosen)
    return Usage("delete takes one NAME and --group");
  const Text group = Text::FromUtf8(arguments.group.value_or(""));
  std::string suffix;
  if (!store.deleteValue(Text::FromUtf8(arguments.words[0]), group)) {
    std::fprintf(stderr, "tarvelctl: no value %s%s was deleted\n", arguments.words[0].c_str(),
                 GroupSuffix(group, suffix));
    return kExitNotFound;
  }
  return kExitDone;
}

int DeleteGroup(SettingsStore& store, const Arguments& arguments) {
  if (arguments.words.size() != 1 || arguments.group || arguments.kind != ValueKind::Chosen)
    return Usage("delete-group takes one group name");
  if (arguments.words[0].empty())
    return Usage("the group name is empty");
  if (!store.deleteGroup(Text::FromUtf8(arguments.words[0]))) {
    std::fprintf(stderr, "tarvelctl: no group %s was deleted\n", arguments.words[0].c_str());
    return kExitNotFound;
  }
  return kExitDone;
}

}  // namespace

int RunSettingsCommand(const StoreOptions& options, int argc, char* argv[]) {
  if (argc < 1)
    return Usage("a subcommand is missing");
  const std::string_view subcommand = argv[0];
  Arguments arguments;
  if (!ParseArguments(argc - 1, argv + 1, arguments))
    return kExitUsage;
  if (subcommand != "list" && subcommand != "get" && subcommand != "set" &&
      subcommand != "delete" && subcommand != "delete-group") {
    std::fprintf(stderr, "tarvelctl settings: unknown subcommand '%s'\n", argv[0]);
    return Usage("see the usage");
  }
  RegistryStore registry(UserRegistryPath());
  SettingsStore store;
  if (!OpenChosenStore(options, registry, store))
    return kExitUsage;
  if (subcommand == "list")
    return List(store, arguments);
  if (subcommand == "get")
    return Get(store, arguments);
  if (subcommand == "set")
    return Set(store, arguments);
  if (subcommand == "delete")
    return Delete(store, arguments);
  return DeleteGroup(store, arguments);
}

}  // namespace tarvel::ctl
