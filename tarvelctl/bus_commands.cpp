#include "tarvelctl/bus_commands.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "mail/mail_item.h"
#include "tarvelctl/json_output.h"
#include "tarvelctl/notifier_bus.h"
#include "tarvelctl/terminal_text.h"

namespace tarvel::ctl {

namespace {

constexpr char kNotRunning[] =
    "tarvelctl: the notifier is not running (nobody owns com.quorline.Tarvel on the session "
    "bus)\n";

void SayBusFailure(const char* what, const NotifierBus& bus) {
  std::fprintf(stderr, "tarvelctl: the running notifier failed to %s: %s\n", what,
               TerminalText(Text::FromUtf8(bus.error())).c_str());
}

bool IsNew(const NotifierRecord& record, const std::vector<NotifierRecord>& newRecords) {
  for (const NotifierRecord& other : newRecords) {
    if (other.id == record.id && other.account == record.account)
      return true;
  }
  return false;
}

// The records grouped by account in the order they came, each as the notifier's one-line form.
void PrintRecords(const std::vector<NotifierRecord>& records) {
  std::vector<std::string> accounts;
  for (const NotifierRecord& record : records) {
    bool known = false;
    for (const std::string& account : accounts)
      known = known || account == record.account;
    if (!known)
      accounts.push_back(record.account);
  }
  for (const std::string& account : accounts) {
    uint32_t count = 0;
    for (const NotifierRecord& record : records)
      count += record.account == account ? 1 : 0;
    std::printf("%s: %u unread\n", TerminalText(Text::FromUtf8(account)).c_str(), count);
    for (const NotifierRecord& record : records) {
      if (record.account != account)
        continue;
      const MailItem item(Text::FromUtf8(record.sender), Text::FromUtf8(record.subject),
                          Text::FromUtf8(record.folder), Text::FromUtf8(record.date));
      Text line;
      FormatMailLine(item, line, MailText::NewMail, true);
      std::string text = "  " + TerminalText(line);
      if (!item.date.isEmpty())
        text += "  (" + TerminalText(item.date) + ")";
      std::printf("%s\n", text.c_str());
    }
  }
}

std::string JsonRecords(const std::vector<NotifierRecord>& records,
                        const std::vector<NotifierRecord>* newRecords) {
  std::string out = "[";
  for (size_t i = 0; i < records.size(); ++i) {
    const NotifierRecord& record = records[i];
    if (i > 0)
      out += ',';
    out += "{\"account\":" + JsonString(Text::FromUtf8(record.account)) +
           ",\"sender\":" + JsonString(Text::FromUtf8(record.sender)) +
           ",\"subject\":" + JsonString(Text::FromUtf8(record.subject)) +
           ",\"folder\":" + JsonString(Text::FromUtf8(record.folder)) +
           ",\"date\":" + JsonString(Text::FromUtf8(record.date)) +
           ",\"id\":" + JsonString(Text::FromUtf8(record.id));
    if (newRecords)
      out += std::string(",\"new\":") + (IsNew(record, *newRecords) ? "true" : "false");
    out += '}';
  }
  return out + "]";
}

}  // namespace

std::unique_ptr<NotifierBus> RunningNotifier(bool& failed) {
  failed = false;
  std::unique_ptr<NotifierBus> bus = NotifierBus::Connect();
  if (!bus)
    return nullptr;
  const std::optional<bool> running = bus->ProgramRunning();
  if (!running) {
    failed = true;
    std::fprintf(stderr, "tarvelctl: the session bus did not say whether the notifier runs: %s\n",
                 TerminalText(Text::FromUtf8(bus->error())).c_str());
    return nullptr;
  }
  return *running ? std::move(bus) : nullptr;
}

int CheckThroughProgram(NotifierBus& bus, bool json, uint32_t timeoutSeconds) {
  NotifierCheck check;
  if (!bus.Check(timeoutSeconds, check)) {
    SayBusFailure("check", bus);
    return 1;
  }
  uint32_t newCount = 0;
  for (const NotifierRecord& record : check.records)
    newCount += IsNew(record, check.newRecords) ? 1 : 0;
  const uint32_t status = check.status <= 3 ? check.status : 1;
  if (json) {
    const std::string out = "{\"status\":" + std::to_string(status) +
                            ",\"total\":" + std::to_string(check.records.size()) +
                            ",\"new\":" + std::to_string(newCount) +
                            ",\"mails\":" + JsonRecords(check.records, &check.newRecords) + "}\n";
    std::fputs(out.c_str(), stdout);
  } else {
    PrintRecords(check.records);
    std::printf("Status: %u, %zu unread, %u new (checked by the running notifier)\n", status,
                check.records.size(), newCount);
  }
  std::fflush(stdout);
  return static_cast<int>(status);
}

int RunUnreadCommand(int argc, char* argv[]) {
  bool json = false;
  for (int i = 0; i < argc; ++i) {
    if (std::string_view(argv[i]) == "--json") {
      json = true;
    } else {
      std::fprintf(stderr, "tarvelctl unread: unknown argument '%s'\n",
                   TerminalText(Text::FromUtf8(argv[i])).c_str());
      std::fputs("Usage: tarvelctl unread [--json]\n", stderr);
      return 2;
    }
  }
  bool failed = false;
  const std::unique_ptr<NotifierBus> bus = RunningNotifier(failed);
  if (!bus) {
    if (!failed)
      std::fputs(kNotRunning, stderr);
    return 1;
  }
  std::vector<NotifierRecord> records;
  if (!bus->GetUnread(records)) {
    SayBusFailure("list its unread mail", *bus);
    return 1;
  }
  if (json) {
    const std::string out = "{\"total\":" + std::to_string(records.size()) +
                            ",\"mails\":" + JsonRecords(records, nullptr) + "}\n";
    std::fputs(out.c_str(), stdout);
  } else {
    PrintRecords(records);
    std::printf("%zu unread\n", records.size());
  }
  std::fflush(stdout);
  return 0;
}

int RunSilenceCommand(int argc, char* argv[]) {
  constexpr const char* kSilenceUsage =
      "Usage: tarvelctl silence MINUTES   (1 to 10080; 0 turns the notices on again)\n";
  if (argc != 1) {
    std::fputs(kSilenceUsage, stderr);
    return 2;
  }
  // The range is the program's to judge; here only a whole number that fits is asked for.
  errno = 0;
  char* end = nullptr;
  const long minutes = std::strtol(argv[0], &end, 10);
  if (end == argv[0] || *end != '\0' || errno == ERANGE || minutes < INT32_MIN ||
      minutes > INT32_MAX) {
    std::fprintf(stderr, "tarvelctl silence: '%s' is not a number of minutes\n",
                 TerminalText(Text::FromUtf8(argv[0])).c_str());
    std::fputs(kSilenceUsage, stderr);
    return 2;
  }
  bool failed = false;
  const std::unique_ptr<NotifierBus> bus = RunningNotifier(failed);
  if (!bus) {
    if (!failed)
      std::fputs(kNotRunning, stderr);
    return 1;
  }
  if (!bus->Silence(static_cast<int32_t>(minutes))) {
    SayBusFailure("silence its notices", *bus);
    return 1;
  }
  return 0;
}

}  // namespace tarvel::ctl
