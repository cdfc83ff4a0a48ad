#include "tarvelctl/util_commands.h"

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "mail/mail_item.h"
#include "platform/date_parse.h"
#include "platform/json_document.h"
#include "platform/text.h"
#include "platform/xml_document.h"
#include "tarvelctl/terminal_text.h"

namespace tarvel::ctl {

namespace {

constexpr const char* kUtilUsage =
    "Usage: tarvelctl util SUBCOMMAND ARGUMENTS (text in and out as UTF-8)\n"
    "  json [--print] FILE             exit 0 when FILE is accepted JSON, 1 when not\n"
    "  xml-get FILE PATH               the text at PATH (names separated by \\), 1 when absent\n"
    "  parse-date TEXT                 seconds since 1970 (UTC), or \"invalid\"\n"
    "  decode-mime TEXT                decode RFC 2047 encoded words\n"
    "  decode-escapes [--percent-only] TEXT\n"
    "  imap-folder encode|decode TEXT  modified UTF-7 folder names\n"
    "  encode [--amp] [--strict] [--refs] TEXT\n"
    "  normalize SENDER SUBJECT        a mail record's sender and subject as listed\n";

int Usage() {
  std::fputs(kUtilUsage, stderr);
  return 2;
}

void PrintLine(const Text& text) {
  const std::string utf8 = TerminalText(text);
  std::fwrite(utf8.data(), 1, utf8.size(), stdout);
  std::fputc('\n', stdout);
}

bool ReadFile(const char* path, std::string& content) {
  std::ifstream file(path, std::ios::binary);
  if (!file) {
    std::fprintf(stderr, "tarvelctl util: cannot read %s\n", path);
    return false;
  }
  std::ostringstream stream;
  stream << file.rdbuf();
  content = stream.str();
  return true;
}

// Splits the arguments into known flags and the rest.
struct Arguments {
  std::vector<std::string_view> flags;
  std::vector<const char*> values;
  bool has(std::string_view flag) const {
    for (const auto& given : flags) {
      if (given == flag)
        return true;
    }
    return false;
  }
};

Arguments Split(int argc, char* argv[], std::initializer_list<std::string_view> known) {
  Arguments arguments;
  for (int i = 0; i < argc; ++i) {
    const std::string_view argument = argv[i];
    bool isFlag = false;
    for (const auto flag : known)
      isFlag = isFlag || argument == flag;
    if (isFlag)
      arguments.flags.push_back(argument);
    else
      arguments.values.push_back(argv[i]);
  }
  return arguments;
}

void PrintJsonTree(const JsonDocument& document) {
  // Depth-first without recursion: a stack of the next sibling to print at each level.
  std::vector<const JsonNode*> pending;
  pending.push_back(document.root());
  while (!pending.empty()) {
    const JsonNode* node = pending.back();
    if (node == nullptr) {
      pending.pop_back();
      continue;
    }
    pending.back() = node->next;
    Text line;
    for (std::size_t level = 1; level < pending.size(); ++level)
      line.Append(u"  ");
    if (!node->name.empty()) {
      Text name(node->name);
      name.Utf8Decode();
      line.Append(name.view());
      line.Append(u": ");
    }
    if (node->kind == JsonKind::Array) {
      line.Append(u"[]");
    } else if (node->kind == JsonKind::Object) {
      line.Append(u"{}");
    } else {
      Text value(node->value);
      value.Utf8Decode();
      line.Append(value.view());
    }
    PrintLine(line);
    if (node->children != nullptr)
      pending.push_back(node->children);
  }
}

int Json(int argc, char* argv[]) {
  const Arguments arguments = Split(argc, argv, {"--print"});
  if (arguments.values.size() != 1)
    return Usage();
  std::string content;
  if (!ReadFile(arguments.values[0], content))
    return 2;
  JsonDocument document;
  const bool accepted = document.parse(content);
  if (arguments.has("--print"))
    PrintJsonTree(document);
  return accepted ? 0 : 1;
}

int XmlGet(int argc, char* argv[]) {
  if (argc != 2)
    return Usage();
  XmlDocument document;
  if (!document.Create() || !document.LoadFile(Text::FromUtf8(argv[0]))) {
    std::fprintf(stderr, "tarvelctl util: %s is not a readable XML document\n", argv[0]);
    return 2;
  }
  Text text;
  if (!document.GetText(Text::FromUtf8(argv[1]), text))
    return 1;
  PrintLine(text);
  return 0;
}

int ParseDateCommand(int argc, char* argv[]) {
  if (argc != 1)
    return Usage();
  DateTime date;
  if (!ParseDate(Text::FromUtf8(argv[0]), date)) {
    std::puts("invalid");
    return 1;
  }
  std::printf("%lld\n", static_cast<long long>(ToUnixTime(date)));
  return 0;
}

int DecodeMime(int argc, char* argv[]) {
  if (argc != 1)
    return Usage();
  Text text = Text::FromUtf8(argv[0]);
  text.DecodeMimeWords();
  PrintLine(text);
  return 0;
}

int DecodeEscapesCommand(int argc, char* argv[]) {
  const Arguments arguments = Split(argc, argv, {"--percent-only"});
  if (arguments.values.size() != 1)
    return Usage();
  Text text = Text::FromUtf8(arguments.values[0]);
  text.DecodeEscapes(arguments.has("--percent-only") ? EscapeMode::PercentOnly : EscapeMode::Full);
  PrintLine(text);
  return 0;
}

int ImapFolder(int argc, char* argv[]) {
  if (argc != 2)
    return Usage();
  const std::string_view direction = argv[0];
  Text text = Text::FromUtf8(argv[1]);
  if (direction == "encode") {
    PrintLine(text.EncodeImapFolderName());
    return 0;
  }
  if (direction != "decode")
    return Usage();
  const bool decoded = text.DecodeImapFolderName();
  PrintLine(text);
  return decoded ? 0 : 1;
}

int Encode(int argc, char* argv[]) {
  const Arguments arguments = Split(argc, argv, {"--amp", "--strict", "--refs"});
  if (arguments.values.size() != 1)
    return Usage();
  unsigned flags = kEncodePlain;
  if (arguments.has("--amp"))
    flags |= kEncodeAmpersand;
  if (arguments.has("--strict"))
    flags |= kEncodeStrict;
  if (arguments.has("--refs"))
    flags |= kEncodeCharacterReferences;
  PrintLine(Text::FromUtf8(arguments.values[0]).EncodeText(flags));
  return 0;
}

int Normalize(int argc, char* argv[]) {
  if (argc != 2)
    return Usage();
  MailItem item(Text::FromUtf8(argv[0]), Text::FromUtf8(argv[1]), Text(), Text());
  NormalizeMail(item);
  PrintLine(item.sender);
  PrintLine(item.subject);
  return 0;
}

}  // namespace

int RunUtilCommand(int argc, char* argv[]) {
  if (argc < 1)
    return Usage();
  const std::string_view command = argv[0];
  static constexpr std::pair<std::string_view, int (*)(int, char*[])> kCommands[] = {
      {"json", Json},
      {"xml-get", XmlGet},
      {"parse-date", ParseDateCommand},
      {"decode-mime", DecodeMime},
      {"decode-escapes", DecodeEscapesCommand},
      {"imap-folder", ImapFolder},
      {"encode", Encode},
      {"normalize", Normalize},
  };
  for (const auto& [name, run] : kCommands) {
    if (command == name)
      return run(argc - 1, argv + 1);
  }
  if (command == "-h" || command == "--help") {
    std::fputs(kUtilUsage, stdout);
    return 0;
  }
  std::fprintf(stderr, "tarvelctl util: unknown subcommand '%s'\n", argv[0]);
  return Usage();
}

}  // namespace tarvel::ctl
