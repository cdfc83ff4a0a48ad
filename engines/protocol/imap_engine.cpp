#include "engines/protocol/imap_engine.h"

#include <algorithm>
#include <condition_variable>
#include <cstdint>
#include <unordered_set>
#include <utility>

#include "accounts/check_in_relay.h"
#include "accounts/option_flags.h"
#include "accounts/protected_text.h"
#include "accounts/settings_store.h"
#include "engines/protocol/access_token_refresher.h"
#include "maintenance/diagnostic_trace.h"
#include "platform/ascii_bytes.h"
#include "platform/clock.h"
#include "platform/date_parse.h"
#include "platform/network_settings.h"
#include "platform/owned_threads.h"
#include "platform/worker_thread.h"

namespace tarvel {
namespace {

// What an OAuth2 account that must be signed in again tells the user (through the tray).
constexpr std::u16string_view kOAuthSignInNeeded =
    u"the account needs a new OAuth2 sign-in: press \"Sign in\" on its page in the options";

Text DecodeHeaderText(const Text& text) {
  Text decoded = text;
  decoded.DecodeMimeWords();
  return decoded;
}

// A header date as seconds since 1970 (UTC); false when it is no date this program reads or
// lies outside what the 32-bit decimal form can hold.
bool HeaderDateToSeconds(const Text& text, uint32_t& seconds) {
  DateTime date;
  if (!ParseDate(text.view(), date))
    return false;
  const int64_t value = ToUnixTime(date, TimeUnit::Seconds);
  if (value < 0 || value > static_cast<int64_t>(UINT32_MAX))
    return false;
  seconds = static_cast<uint32_t>(value);
  return true;
}

Text DecodeModifiedUtf7(const Text& text) {
  Text decoded = text;
  decoded.DecodeImapFolderName();  // leaves the name as listed when it is not valid
  return decoded;
}

std::u16string WithSuffix(std::u16string_view base, std::u16string_view suffix) {
  return std::u16string(base) + std::u16string(suffix);
}

using ascii_bytes::StartsWithNoCase;

bool StartsWith(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() && text.substr(0, prefix.size()) == prefix;
}

// Splits the appended response text into its lines (line ends removed).
std::vector<std::string_view> ResponseLines(std::string_view response) {
  std::vector<std::string_view> lines;
  while (!response.empty()) {
    const std::size_t end = response.find('\n');
    std::string_view line = response.substr(0, end);
    while (!line.empty() && line.back() == '\r')
      line.remove_suffix(1);
    lines.push_back(line);
    if (end == std::string_view::npos)
      break;
    response.remove_prefix(end + 1);
  }
  return lines;
}

// A tagged answer with this status whose text starts with `text` (letter case ignored).
bool IsTaggedAnswer(std::string_view line, std::string_view status, std::string_view text) {
  const std::optional<TaggedStatus> tagged = ParseTaggedStatus(line);
  return tagged && ascii_bytes::EqualsNoCase(tagged->status, status) &&
         StartsWithNoCase(tagged->text, text);
}

bool IsMessageNumber(std::string_view token) {
  if (token.empty() || token.size() > 10)
    return false;
  for (const char c : token) {
    if (c < '0' || c > '9')
      return false;
  }
  return true;
}

// The UID of an untagged FETCH line ("* 3 FETCH (UID 17 FLAGS ..."); empty when it has none.
std::string FetchedUid(std::string_view line) {
  const std::size_t fetch = line.find(" FETCH (");
  if (fetch == std::string_view::npos)
    return {};
  std::size_t at = line.find("UID ", fetch);
  if (at == std::string_view::npos || (line[at - 1] != '(' && line[at - 1] != ' '))
    return {};
  at += 4;
  std::size_t end = at;
  while (end < line.size() && end - at < 10 && line[end] >= '0' && line[end] <= '9')
    ++end;
  const std::string_view digits = line.substr(at, end - at);
  if (digits.empty() || digits[0] == '0' ||
      (end < line.size() && line[end] >= '0' && line[end] <= '9'))
    return {};
  return std::string(digits);
}

// The UIDVALIDITY a SELECT answered with ("* OK [UIDVALIDITY 1700000000] ..."); empty when
// the answer has none.
std::string SelectedUidValidity(std::string_view response) {
  const std::size_t at = response.find("[UIDVALIDITY ");
  if (at == std::string_view::npos)
    return {};
  const std::size_t start = at + 13;
  std::size_t end = start;
  while (end < response.size() && end - start < 10 && response[end] >= '0' && response[end] <= '9')
    ++end;
  if (end == start || end >= response.size() || response[end] != ']')
    return {};
  return std::string(response.substr(start, end - start));
}

// The header callback's state for one FETCH.
struct HeaderReader {
  MailItem& item;
  bool dateRead = false;
  bool subjectContinues = false;
  std::string uid{};  // the message's UID from the FETCH line, when the server gave one

  void OnLine(std::string_view rawLine) {
    if (uid.empty() && rawLine.size() > 2 && rawLine.substr(0, 2) == "* ")
      uid = FetchedUid(rawLine);
    Text line = Text::FromUtf8(rawLine);
    line.Replace(u"\r", u"");
    line.Replace(u"\n", u"");
    const std::u16string_view view = line.view();
    if (StartsWithNoCase(view, u"Subject:")) {
      subjectContinues = true;
      if (line.length() > 9)
        item.subject = DecodeHeaderText(line.Mid(9));
    } else if (StartsWithNoCase(view, u"From: ")) {
      subjectContinues = false;
      item.sender = DecodeHeaderText(line.Mid(6));
    } else if (StartsWithNoCase(view, u"Date: ")) {
      subjectContinues = false;
      item.date = DecodeHeaderText(line.Mid(6));
      uint32_t seconds = 0;
      if (HeaderDateToSeconds(item.date, seconds)) {
        item.date = Text::FromUtf8(std::to_string(seconds));
        dateRead = true;
      }
    } else if (subjectContinues) {
      if (view == u")") {
        subjectContinues = false;
      } else {
        item.subject += DecodeHeaderText(line).view();
      }
    }
  }
};

// Ends the transport's running command as soon as the check thread is asked to stop, and keeps
// ending commands until the check is over: a cancel that falls between two commands would be
// lost. Without a stoppable token (a check outside the check thread) it does nothing; until a
// stop is requested its thread sleeps without waking.
class CancelOnStop {
 public:
  CancelOnStop(std::stop_token stop, ImapTransport& transport) {
    if (!stop.stop_possible())
      return;
    thread_ = std::thread([this, stop, &transport] {
      const OwnedThreadScope owned;  // the check waits for it: it must never be parked
      std::unique_lock<std::mutex> lock(lock_);
      if (changed_.wait(lock, stop, [this] { return done_; }))
        return;
      while (!done_) {
        lock.unlock();
        transport.Cancel();
        lock.lock();
        changed_.wait_for(lock, kRepeat, [this] { return done_; });
      }
    });
  }
  ~CancelOnStop() {
    {
      const std::lock_guard<std::mutex> guard(lock_);
      done_ = true;
    }
    changed_.notify_all();
    if (thread_.joinable())
      thread_.join();
  }
  CancelOnStop(const CancelOnStop&) = delete;
  CancelOnStop& operator=(const CancelOnStop&) = delete;

 private:
  static constexpr auto kRepeat = std::chrono::milliseconds(20);
  std::mutex lock_;
  std::condition_variable_any changed_;
  bool done_ = false;
  std::thread thread_;
};

// True when the inbox is among the checked folders (its name in any letter case).
bool IsCheckedInbox(const std::vector<Text>& checked) {
  return std::any_of(checked.begin(), checked.end(), [](const Text& folder) {
    return ascii_bytes::EqualsNoCase(folder.view(), u"INBOX");
  });
}

// The longest list of folder names one NOTIFY command carries; more are left to the timer.
constexpr std::size_t kImapNotifyCommandLimit = 8000;

// CheckFolder's answer for a checked folder the server would not select.
constexpr int kFolderNotSelectable = 3;

// The step in which the pause between the slots' connections looks at a stop request.
constexpr uint32_t kStopPollStepMs = 100;

}  // namespace

ImapSettingNames ImapSettingNamesForSlot(uint32_t slot) {
  static constexpr std::u16string_view kFirstSuffix[] = {u"", u"2", u"3"};
  static constexpr std::u16string_view kNumberSuffix[] = {u"1", u"2", u"3"};
  static constexpr std::u16string_view kIndexSuffix[] = {u"0", u"1", u"2"};
  if (slot >= kImapSlotCount)
    slot = 0;
  const std::u16string_view first = kFirstSuffix[slot];
  const std::u16string_view number = kNumberSuffix[slot];
  ImapSettingNames names;
  names.server = WithSuffix(u"IMAPServer", first);
  names.user = WithSuffix(u"IMAPUser", first);
  names.password = WithSuffix(u"IMAPPassword", first);
  names.website = WithSuffix(u"IMAPWebsite", first);
  names.mailHandler = WithSuffix(u"MailHandlerIMAP", first);
  names.authMethod = WithSuffix(u"IMAPAuthMethod", number);
  names.refreshToken = WithSuffix(u"IMAPRefreshToken", number);
  names.useIdle = WithSuffix(u"IMAPUseIDLECommand", number);
  names.name = WithSuffix(u"IMAPName", number);
  names.folderList =
      slot == 0 ? std::u16string(u"IMAPFolderList") : WithSuffix(u"IMAPFolderList", number);
  names.foldersGroup = WithSuffix(u"IMAPFolders", kIndexSuffix[slot]);
  return names;
}

std::string EncodeFolderForUrl(const Text& folderName) {
  Text encoded;
  for (const char16_t unit : folderName.view()) {
    switch (unit) {
      case u' ':
        encoded += u"%20";
        break;
      case u'|':
        encoded += u"%7C";
        break;
      // Characters that would otherwise end or change the URL's path.
      case u'%':
        encoded += u"%25";
        break;
      case u'?':
        encoded += u"%3F";
        break;
      case u';':
        encoded += u"%3B";
        break;
      case u'#':
        encoded += u"%23";
        break;
      default:
        encoded += unit;
    }
  }
  return encoded.EncodeImapFolderName().ToUtf8();
}

std::vector<Text> SplitFolderList(const Text& list) {
  std::vector<Text> folders;
  Text rest = list;
  Text token;
  while (rest.NextToken(token, u",;")) {
    token.Trim();
    if (!token.isEmpty())
      folders.push_back(token);
  }
  return folders;
}

namespace {

// The longest folder name taken from a literal; a longer one is skipped with the entry.
constexpr std::size_t kLiteralNameLimit = 4096;

// A quoted string at `at` (which holds the opening quote) by the IMAP grammar: "\" escapes the
// next character. Moves `at` past the closing quote; false when the string is not closed
// within `text`.
bool ReadQuoted(std::string_view text, std::size_t& at, std::string& value) {
  value.clear();
  for (std::size_t i = at + 1; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '\\') {
      if (++i >= text.size())
        return false;
      value += text[i];
    } else if (c == '"') {
      at = i + 1;
      return true;
    } else {
      value += c;
    }
  }
  return false;
}

bool ReadLiteralLength(std::string_view text, std::size_t& length) {
  // "{digits}" or "{digits+}" and nothing after it on the line.
  if (text.size() < 3 || text.front() != '{' || text.back() != '}')
    return false;
  std::string_view digits = text.substr(1, text.size() - 2);
  if (!digits.empty() && digits.back() == '+')
    digits.remove_suffix(1);
  if (digits.empty() || digits.size() > 9)
    return false;
  length = 0;
  for (const char c : digits) {
    if (c < '0' || c > '9')
      return false;
    length = length * 10 + static_cast<std::size_t>(c - '0');
  }
  return true;
}

}  // namespace

std::vector<ListedFolder> ParseListResponse(std::string_view response) {
  std::vector<ListedFolder> folders;
  std::size_t position = 0;
  while (position < response.size()) {
    const std::size_t lineEnd = response.find('\n', position);
    std::size_t next = lineEnd == std::string_view::npos ? response.size() : lineEnd + 1;
    std::string_view line = response.substr(position, next - position);
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r'))
      line.remove_suffix(1);
    position = next;
    if (!StartsWithNoCase(line, "* LIST ") && !StartsWithNoCase(line, "* LSUB "))
      continue;
    std::size_t at = 7;
    // The attributes: flags and atoms in one pair of parentheses.
    if (at >= line.size() || line[at] != '(')
      continue;
    const std::size_t close = line.find(')', at);
    if (close == std::string_view::npos)
      continue;
    ListedFolder folder;
    std::string_view attributes = line.substr(at + 1, close - at - 1);
    while (!attributes.empty()) {
      const std::size_t space = attributes.find(' ');
      if (space != 0)
        folder.attributes.emplace_back(attributes.substr(0, space));
      if (space == std::string_view::npos)
        break;
      attributes.remove_prefix(space + 1);
    }
    at = close + 1;
    // The hierarchy delimiter: a quoted character or NIL.
    if (at >= line.size() || line[at] != ' ')
      continue;
    ++at;
    if (line.substr(at, 3).size() == 3 && ascii_bytes::EqualsNoCase(line.substr(at, 3), "NIL")) {
      at += 3;
    } else if (at < line.size() && line[at] == '"') {
      std::string delimiter;
      if (!ReadQuoted(line, at, delimiter))
        continue;
    } else {
      continue;
    }
    if (at >= line.size() || line[at] != ' ')
      continue;
    ++at;
    const std::string_view mailbox = line.substr(at);
    std::size_t literalLength = 0;
    if (!mailbox.empty() && mailbox.front() == '"') {
      std::size_t end = 0;
      if (!ReadQuoted(mailbox, end, folder.name))
        continue;
    } else if (ReadLiteralLength(mailbox, literalLength)) {
      // The name is the next `literalLength` bytes; the entry's line goes on after them.
      if (literalLength > kLiteralNameLimit || response.size() - position < literalLength) {
        position = response.size();
        continue;
      }
      folder.name = std::string(response.substr(position, literalLength));
      position += literalLength;
      const std::size_t restEnd = response.find('\n', position);
      position = restEnd == std::string_view::npos ? response.size() : restEnd + 1;
    } else {
      // An atom ends at the first space (extended data may follow).
      folder.name = std::string(mailbox.substr(0, mailbox.find(' ')));
    }
    if (folder.name.empty() ||
        folder.name.find_first_of(std::string_view("\0\r\n", 3)) != std::string::npos)
      continue;
    folders.push_back(std::move(folder));
  }
  return folders;
}

bool IsOfferedFolder(const ListedFolder& folder) {
  for (const std::string& attribute : folder.attributes) {
    for (const std::string_view left :
         {"\\Drafts", "\\Trash", "\\Sent", "\\Noselect", "\\NonExistent"}) {
      if (ascii_bytes::EqualsNoCase(attribute, left))
        return false;
    }
  }
  return true;
}

bool FolderFromListLine(const Text& line, Text& folderName) {
  const std::vector<ListedFolder> listed = ParseListResponse(line.ToUtf8());
  if (listed.size() != 1 || !IsOfferedFolder(listed.front()))
    return false;
  folderName = DecodeModifiedUtf7(Text::FromUtf8(listed.front().name));
  return true;
}

ImapEngine::ImapEngine(const AccountTypeInfo& type, uint32_t slot,
                       const ImapEngineServices& services)
    : MailEngine(type),
      slot_(slot < kImapSlotCount ? slot : 0),
      clock_(services.clock),
      flags_(services.flags),
      checkIn_(services.checkIn),
      tokenRefresher_(services.tokenRefresher),
      store_(services.settings),
      trace_(services.trace),
      transport_(slot_, services.transportPath),
      transportPath_(services.transportPath) {
  name = Text::FromUtf8("IMAP" + std::to_string(slot_ + 1));
}

ImapEngine::~ImapEngine() {
  shuttingDown_.store(true);
  StopIdle();
  if (closer_.joinable())
    closer_.join();
  // The engine goes away: nothing is kept for a next session.
  transport_.Close();
  folders.clear();
}

void ImapEngine::ApplySettings(ImapAccountSettings stored) {
  std::unique_lock<std::mutex> guard(settingsLock_);
  const bool changed =
      stored.server != settings_.server || stored.user != settings_.user ||
      stored.password != settings_.password || stored.authMethod != settings_.authMethod ||
      stored.refreshToken != settings_.refreshToken || stored.useIdle != settings_.useIdle ||
      stored.folderList != settings_.folderList ||
      stored.checkedFolders != settings_.checkedFolders;
  settings_ = std::move(stored);
  // The stored folders decide which are checked; listed folders stay in the list.
  for (ImapFolder* folder = folders.first(); folder; folder = NodeList<ImapFolder>::next(folder))
    folder->checked = 0;
  std::vector<Text> checked = SplitFolderList(settings_.folderList);
  checked.insert(checked.end(), settings_.checkedFolders.begin(), settings_.checkedFolders.end());
  for (Text& folderName : checked) {
    ImapFolder* existing = folders.first();
    while (existing && existing->name.view() != folderName.view())
      existing = NodeList<ImapFolder>::next(existing);
    if (existing) {
      existing->checked = 1;
    } else {
      folders.append(std::make_unique<ImapFolder>(std::move(folderName), 1));
    }
  }
  guard.unlock();
  if ((changed || !flags_.any(selectBit)) && sessionUsed_.load())
    RetireSession();
}

void ImapEngine::LoadSettings(const SettingsStore& store) {
  const ImapSettingNames names = ImapSettingNamesForSlot(slot_);
  ImapAccountSettings stored;
  store.readText(names.server, stored.server, u"");
  bool unreadable = false;
  stored.user = UnprotectText(store, names.user, u"", &unreadable);
  stored.password = UnprotectText(store, names.password, u"", &unreadable);
  store.readText(names.website, stored.website, u"");
  stored.authMethod = static_cast<uint32_t>(store.readNumber(names.authMethod, 0));
  stored.refreshToken = UnprotectText(store, names.refreshToken, u"", &unreadable);
  SetSecretsUnreadable(unreadable);
  stored.useIdle = static_cast<uint32_t>(store.readNumber(names.useIdle, 1));
  store.readText(names.name, stored.name, u"");
  store.readText(names.folderList, stored.folderList, u"");
  for (const StoredSetting& value : store.listValues(names.foldersGroup)) {
    const bool checked = value.kind == StoredSetting::Kind::Number
                             ? value.number == 1
                             : value.kind == StoredSetting::Kind::Text && value.text == u"1";
    if (checked && !value.name.isEmpty())
      stored.checkedFolders.push_back(value.name);
  }
  Text storedReader;
  if (store.readText(names.mailHandler, storedReader, reader) && !storedReader.isEmpty())
    reader = storedReader;
  ApplySettings(std::move(stored));
}

ImapAccountSettings ImapEngine::settings() const {
  const std::lock_guard<std::mutex> guard(settingsLock_);
  return settings_;
}

Text ImapEngine::EmailAddress() const {
  const std::lock_guard<std::mutex> guard(settingsLock_);
  return settings_.user;
}

std::vector<Text> ImapEngine::CheckedFolders() const {
  const std::lock_guard<std::mutex> guard(settingsLock_);
  std::vector<Text> names;
  for (const ImapFolder* folder = folders.first(); folder;
       folder = NodeList<ImapFolder>::next(folder)) {
    if (folder->checked == 1)
      names.push_back(folder->name);
  }
  return names;
}

void ImapEngine::ClearRefreshToken() {
  {
    const std::lock_guard<std::mutex> guard(settingsLock_);
    settings_.refreshToken.clear();
  }
  if (store_)
    store_->deleteValue(ImapSettingNamesForSlot(slot_).refreshToken);
}

void ImapEngine::StoreRefreshToken(const Text& refreshToken) {
  {
    const std::lock_guard<std::mutex> guard(settingsLock_);
    settings_.refreshToken = refreshToken;
  }
  if (store_)
    ProtectText(*store_, ImapSettingNamesForSlot(slot_).refreshToken, refreshToken);
}

Text ImapEngine::AccessToken() const {
  const std::lock_guard<std::mutex> guard(settingsLock_);
  return accessToken_;
}

void ImapEngine::SetAccessToken(Text token) {
  const std::lock_guard<std::mutex> guard(settingsLock_);
  accessToken_ = std::move(token);
}

void ImapEngine::AddFolder(Text folderName, uint32_t checked) {
  const std::lock_guard<std::mutex> guard(settingsLock_);
  for (const ImapFolder* folder = folders.first(); folder;
       folder = NodeList<ImapFolder>::next(folder)) {
    if (folder->name.view() == folderName.view())
      return;
  }
  folders.append(std::make_unique<ImapFolder>(std::move(folderName), checked));
}

std::vector<Text> ImapEngine::FolderNames() const {
  const std::lock_guard<std::mutex> guard(settingsLock_);
  std::vector<Text> names;
  for (const ImapFolder* folder = folders.first(); folder;
       folder = NodeList<ImapFolder>::next(folder))
    names.push_back(folder->name);
  return names;
}

void ImapEngine::RetireSession() {
  retireSession_.store(true);
  if (idleRunning()) {
    // The IDLE thread closes the connection when its command has ended.
    transport_.Cancel();
    return;
  }
  if (closerBusy_.exchange(true))
    return;  // the closer under way sees the request
  // Between checks only a kept connection may be open. It is closed on a thread of its own,
  // which waits for a running check to end: the caller must not wait.
  if (closer_.joinable())
    closer_.join();  // a closer that has finished
  closer_ = std::thread([this] {
    const OwnedThreadScope owned;
    {
      const std::lock_guard<std::mutex> use(sessionUse_);
      if (!retireSession_.load()) {
        // The check that just ended has taken the new settings already.
      } else if (idleRunning()) {
        transport_.Cancel();  // started by that check: its thread closes the connection
      } else if (retireSession_.exchange(false)) {
        transport_.Close();
      }
    }
    closerBusy_.store(false);
  });
}

Text ImapEngine::GetDisplayName() const {
  const std::lock_guard<std::mutex> guard(settingsLock_);
  return settings_.name.isEmpty() ? settings_.user : settings_.name;
}

bool ImapEngine::OpenReader(ReaderLauncher& launcher) {
  website = settings().website;
  return MailEngine::OpenReader(launcher);
}

bool ImapEngine::idleRunning() const {
  const std::lock_guard<std::mutex> guard(idleLock_);
  return idleRunning_;
}

std::string ImapServerUrl(const Text& serverSetting, const std::string& encodedMailbox) {
  std::string server = serverSetting.ToUtf8();
  while (!server.empty() && server.back() == '/')
    server.pop_back();
  if (server.find("://") == std::string::npos) {
    const bool startTlsPort =
        server.size() > 4 && server.compare(server.size() - 4, 4, ":143") == 0;
    server = (startTlsPort ? "imap://" : "imaps://") + server;
  }
  return server + "/" + encodedMailbox;
}

void ImapEngine::NoteTransportFailure() {
  const std::string reason = transport_.LastError();
  if (reason.empty())
    return;
  lastFailure = Text::FromUtf8(reason);
  if (trace_)
    trace_->Record("ImapCheckFailed " + name.ToUtf8() + ": " + reason);
}

int ImapEngine::ReadyToCheck() {
  {
    std::unique_lock<std::mutex> lock(idleLock_);
    if (!idleRunning_) {
      lock.unlock();
      if (idleThread_.joinable())
        idleThread_.join();
      return 1;
    }
  }
  const uint64_t now = clock_.MonotonicMilliseconds();
  const uint64_t started = idleStarted.load();
  // An IDLE on the inbox alone leaves the other checked folders to the timer. A message
  // marked as read here since the last check is gone from the server: the list the IDLE
  // keeps would bring it back.
  const bool marked = markedSinceCheck_.exchange(false);
  if (!marked && now - started <= kImapIdleTimeoutMs && idleCoversAccount_.load())
    return 0;
  StopIdle();
  transport_.DeInit();
  sessionOpen_ = false;
  flags_.clear(flag_bits::kRecheckRequested);
  return 1;
}

void ImapEngine::StopIdle() {
  idleStopRequested_.store(true);
  std::unique_lock<std::mutex> lock(idleLock_);
  // A cancel that arrives before the thread has entered its command would be lost, so it is
  // repeated until the thread has ended.
  while (idleRunning_) {
    lock.unlock();
    transport_.Cancel();
    lock.lock();
    idleEnded_.wait_for(lock, std::chrono::milliseconds(50), [this] { return !idleRunning_; });
  }
  lock.unlock();
  if (idleThread_.joinable())
    idleThread_.join();
}

void ImapEngine::StartIdle() {
  if (idleThread_.joinable())
    idleThread_.join();
  idleStopRequested_.store(false);
  {
    const std::lock_guard<std::mutex> guard(idleLock_);
    idleRunning_ = true;
  }
  idleThread_ = std::thread([this] { RunIdle(); });
}

void ImapEngine::RunIdle() {
  // A fault here must end the program: a parked IDLE thread would never let StopIdle return.
  const OwnedThreadScope owned;
  bool news = false;
  int32_t errorCode = 0;
  transport_.ExecuteCommand(
      nullptr, "IDLE",
      [&](std::string_view line) {
        if (!line.empty() && line.front() == '+') {
          idleErrors.store(0);  // the server is idling: push works again
          return;
        }
        // STATUS reports a watched folder that is not selected (NOTIFY); an overflow means
        // the server stopped reporting and wants a check.
        for (const std::string_view word : {" FETCH", " EXPUNGE", " RECENT", " EXISTS", "* STATUS ",
                                            "NOTIFICATIONOVERFLOW", " BAD"}) {
          if (line.find(word) != std::string_view::npos) {
            news = news || word != " BAD";
            transport_.Cancel();
            return;
          }
        }
      },
      kImapIdleTimeoutMs, errorCode);
  const bool retired = retireSession_.exchange(false);
  if (retired)
    transport_.Close();  // made with settings that no longer hold: never kept
  // Only an IDLE that failed by itself counts: not one that ran its time, brought news, was
  // ended by a check or ended for new settings.
  const bool failed = !retired && !news && errorCode != kTransportTimedOut &&
                      !idleStopRequested_.load() && !shuttingDown_.load();
  bool checkIn = true;
  if (failed) {
    const uint32_t errors = idleErrors.fetch_add(1) + 1;
    if (errors <= kImapIdleErrorLimit) {
      // The session is gone; the check that reconnects waits so that a server that drops
      // every IDLE is not asked again at once, over and over.
      checkIn = WaitBeforeNextIdle(kImapIdleRetryDelaysMs[errors - 1]);
    } else {
      checkIn = false;  // the next regular check starts IDLE again
    }
  }
  idleStarted.store(0);
  {
    const std::lock_guard<std::mutex> guard(idleLock_);
    idleRunning_ = false;
  }
  idleEnded_.notify_all();
  if (shuttingDown_.load() || idleStopRequested_.load() || !checkIn)
    return;
  if (!flags_.any(selectBit))
    return;  // switched off: nothing to check
  flags_.set(flag_bits::kRecheckRequested);
  if (checkIn_)
    checkIn_->CheckIn();
}

bool ImapEngine::WatchCheckedFolders(const Text& server) {
  const std::vector<Text> checked = CheckedFolders();
  if (checked.empty())
    return false;
  std::string others;
  for (std::size_t index = 1; index < checked.size(); ++index) {
    const std::string folder = checked[index].EncodeImapFolderName().ToUtf8();
    // A name the command cannot carry as a quoted string is left to the timer.
    if (folder.empty() || std::any_of(folder.begin(), folder.end(), [](char c) {
          return static_cast<unsigned char>(c) < 0x20 || c == 0x7f;
        }))
      return false;
    others += others.empty() ? "\"" : " \"";
    for (const char c : folder) {
      if (c == '"' || c == '\\')
        others += '\\';
      others += c;
    }
    others += '"';
  }
  if (others.size() > kImapNotifyCommandLimit)
    return false;
  // The events in parentheses, the mailboxes as a parenthesized list (the NOTIFY grammar).
  std::string command = "NOTIFY SET (selected (MessageNew MessageExpunge))";
  if (!others.empty())
    command += " (mailboxes (" + others + ") (MessageNew MessageExpunge))";
  const std::string url = ImapServerUrl(server, EncodeFolderForUrl(checked.front()));
  std::string response;
  int32_t errorCode = 0;
  if (!transport_.ExecuteCommand(
          url.c_str(), command.c_str(),
          [&](std::string_view line) {
            if (response.size() + line.size() <= kImapResponseLimit)
              response.append(line);
          },
          0, errorCode))
    return false;
  // The command's own answer is the last tagged line: a refusal (NO, BAD) leaves the timer on.
  std::optional<TaggedStatus> last;
  for (const std::string_view line : ResponseLines(response)) {
    if (std::optional<TaggedStatus> tagged = ParseTaggedStatus(line))
      last = tagged;
  }
  return last && ascii_bytes::EqualsNoCase(last->status, "OK");
}

bool ImapEngine::WaitBeforeNextIdle(uint32_t milliseconds) {
  while (milliseconds > 0) {
    if (idleStopRequested_.load() || shuttingDown_.load())
      return false;
    const uint32_t step = milliseconds < kStopPollStepMs ? milliseconds : kStopPollStepMs;
    clock_.SleepFor(step);
    milliseconds -= step;
  }
  return !idleStopRequested_.load() && !shuttingDown_.load();
}

void ImapEngine::SleepUnlessStopped(uint32_t milliseconds, std::stop_token stop) {
  while (milliseconds > 0 && !stop.stop_requested()) {
    const uint32_t step = milliseconds < kStopPollStepMs ? milliseconds : kStopPollStepMs;
    clock_.SleepFor(step);
    milliseconds -= step;
  }
}

CheckStatus ImapEngine::Check() {
  // Normally the watch has ended the IDLE already; a check that comes anyway ends it first,
  // since the IDLE thread owns the session while it runs.
  if (idleRunning()) {
    StopIdle();
    transport_.DeInit();
  } else if (idleThread_.joinable()) {
    idleThread_.join();
  }
  const std::lock_guard<std::mutex> use(sessionUse_);
  if (retireSession_.exchange(false))
    transport_.Close();  // a kept connection of the settings before
  // A stop request of the check thread (exit, for one) ends the running command at once.
  const std::stop_token stop = WorkerThread::CurrentStopToken();
  const CancelOnStop cancelOnStop(stop, transport_);
  sessionOpen_ = false;
  bool folderChecked = false;
  int result = 1;
  idleSupported = false;
  notifySupported = false;
  lastFailure.clear();
  lastFailureKind = FailureKind::Transient;
  Text unselectable;  // the first checked folder the server would not select
  bool tokenRetried = false;
  // One consistent view of the settings for the whole check, whatever LoadSettings does
  // meanwhile.
  const ImapAccountSettings account = settings();
  for (;;) {
    // With OAuth2: an access token, refreshed when missing.
    if (account.authMethod != static_cast<uint32_t>(ImapAuthMethod::Password)) {
      if (AccessToken().isEmpty() && !settings().refreshToken.isEmpty()) {
        const TokenStatus renewed = tokenRefresher_ ? tokenRefresher_->RefreshAccessToken(*this)
                                                    : TokenStatus::SignInNeeded;
        if (renewed == TokenStatus::Failed) {
          // Not now (network, server): the sign-in stays for the next check.
          lastFailure = u"the OAuth2 access token could not be renewed now";
          return static_cast<CheckStatus>(result);
        }
        if (AccessToken().isEmpty())
          ClearRefreshToken();
      }
      if (AccessToken().isEmpty() && settings().refreshToken.isEmpty()) {
        lastFailure = Text(kOAuthSignInNeeded);
        lastFailureKind = FailureKind::SignInRefused;
        return CheckStatus::LoginNeeded;
      }
    }
    if (slot_ > 0)
      SleepUnlessStopped(kImapSlotDelayMs, stop);
    if (stop.stop_requested())
      break;
    if (!transport_.isComplete()) {
      lastFailure = Text::FromUtf8("the IMAP transport library " +
                                   std::string(kTransportLibraryName) + " is not available");
      return static_cast<CheckStatus>(result);
    }
    // The same extra CA as the HTTP client: the CertificateAuthorityFile setting comes
    // first in the list (TARVEL_CA_FILE the library reads itself).
    const std::vector<std::string> caFiles = ExtraCertificateAuthorityFiles();
    transport_.SetCertificateAuthorityFile(caFiles.empty() ? std::string() : caFiles.front());
    if (sessionOpen_)
      transport_.DeInit();
    const std::string user = account.user.ToUtf8();
    const std::string password = account.password.ToUtf8();
    const std::string token = AccessToken().ToUtf8();
    sessionUsed_.store(true);
    if (!transport_.Init(user, password, token)) {
      sessionOpen_ = false;
      lastFailure = u"the IMAP transport library could not set up a session";
      return static_cast<CheckStatus>(result);
    }
    sessionOpen_ = true;
    for (const Text& folder : CheckedFolders()) {
      if (stop.stop_requested())
        break;
      const int folderResult =
          CheckFolder(account.server, EncodeFolderForUrl(folder), folder, stop);
      if (folderResult == kFolderNotSelectable && unselectable.isEmpty())
        unselectable = folder;
      if (folderResult == 0 || folderResult == 2)
        result = folderResult;
      if (folderResult == 0)
        folderChecked = true;
      transport_.DeInit();
      if (!transport_.Init(user, password, token)) {
        sessionOpen_ = false;
        break;
      }
    }
    if (stop.stop_requested()) {
      result = 1;
      break;
    }
    if (!folderChecked)
      result = CheckFolder(account.server, std::string(), Text(), stop);
    if (stop.stop_requested()) {
      result = 1;
      break;
    }
    if (result == 2) {
      if (account.authMethod == static_cast<uint32_t>(ImapAuthMethod::Password)) {
        result = 1;
        lastFailure = u"the server refused the user name or password";
        lastFailureKind = FailureKind::SignInRefused;
        break;
      }
      // One more pass with a fresh token; a second refusal asks for a new sign-in.
      if (!tokenRetried && !AccessToken().isEmpty() && !settings().refreshToken.isEmpty()) {
        tokenRetried = true;
        SetAccessToken(Text());
        mails.clear();
        folderChecked = false;
        continue;
      }
      // The user learns why and what to do: the tray shows this reason.
      if (lastFailure.isEmpty())
        lastFailure = u"the server refused the OAuth2 access token";
      lastFailure += u"; ";
      lastFailure += kOAuthSignInNeeded;
      lastFailureKind = FailureKind::SignInRefused;
      break;
    }
    if (result == 0 && !unselectable.isEmpty()) {
      // The other folders were checked, but a folder the user asked for is not: that is no
      // success (typically a name in the other hierarchy style, "Work" for "INBOX.Work").
      ReadFolderList(account.server);
      lastFailure = Text::FromUtf8("the server has no folder \"" + unselectable.ToUtf8() +
                                   "\" that can be opened; choose the folders again from the "
                                   "account's folder list");
      lastFailureKind = FailureKind::Setting;
      result = 1;
      break;
    }
    if (result == 0) {
      ReadFolderList(account.server);
      if (account.useIdle == 1 && idleSupported && !stop.stop_requested()) {
        // IDLE watches the selected mailbox only. With checked folders a server that offers
        // NOTIFY reports every one of them during the IDLE; otherwise the IDLE watches the
        // inbox when that is one of them, and the timer keeps checking all of them.
        bool idleOnInbox = !folderChecked;
        bool watchesAll = !folderChecked;
        if (folderChecked && notifySupported) {
          watchesAll = WatchCheckedFolders(account.server);
          idleOnInbox = watchesAll;
        }
        if (!idleOnInbox && IsCheckedInbox(CheckedFolders())) {
          int32_t errorCode = 0;
          const std::string inbox = ImapServerUrl(account.server, "INBOX");
          idleOnInbox = transport_.ExecuteCommand(inbox.c_str(), "NOOP", nullptr, 0, errorCode);
        }
        if (idleOnInbox) {
          idleCoversAccount_.store(watchesAll);
          idleStarted.store(clock_.MonotonicMilliseconds());
          StartIdle();
          return CheckStatus::Success;
        }
      }
    }
    break;
  }
  if (sessionOpen_) {
    transport_.DeInit();
    sessionOpen_ = false;
  }
  if (result != 0 && lastFailure.isEmpty() && !stop.stop_requested())
    lastFailure = u"the server's answer could not be read";
  return static_cast<CheckStatus>(result);
}

int ImapEngine::CheckFolder(const Text& server, const std::string& encodedFolder,
                            const Text& displayFolder, std::stop_token stop) {
  std::string response;
  const auto append = [&](std::string_view line) {
    if (response.size() + line.size() <= kImapResponseLimit)
      response.append(line);
  };
  int32_t errorCode = 0;
  const std::string url = ImapServerUrl(
      server, (encodedFolder.empty() ? std::string("INBOX") : encodedFolder) + "?UNSEEN");
  if (!transport_.ExecuteCommand(url.c_str(), nullptr, append, 0, errorCode)) {
    NoteTransportFailure();
    if (errorCode == kTransportLoginDenied) {
      return 2;
    }
    if (errorCode == kTransportMailboxMissing && !encodedFolder.empty())
      return kFolderNotSelectable;
    for (const std::string_view line : ResponseLines(response)) {
      if (IsTaggedAnswer(line, "NO", "AUTHENTICATE"))
        return 2;
    }
    return 1;
  }
  int result = 1;
  // The UIDs are read with the headers; with the mailbox's UIDVALIDITY they name a message
  // for good, so it can be marked as read later.
  const std::string uidValidity = SelectedUidValidity(response);
  for (const std::string_view line : ResponseLines(response)) {
    if (IsTaggedAnswer(line, "OK", "SEARCH completed")) {
      result = 0;
    } else if (StartsWith(line, "* CAPABILITY") && line.find(" IDLE") != std::string_view::npos) {
      idleSupported = true;
      notifySupported = line.find(" NOTIFY") != std::string_view::npos;
    } else if (StartsWith(line, "* SEARCH")) {
      std::string_view numbers = line.size() > 9 ? line.substr(9) : std::string_view();
      while (!numbers.empty() && (numbers.back() == ' ' || numbers.back() == '\t'))
        numbers.remove_suffix(1);
      std::vector<std::string_view> tokens;
      while (!numbers.empty()) {
        const std::size_t space = numbers.find(' ');
        tokens.push_back(numbers.substr(0, space));
        numbers = space == std::string_view::npos ? std::string_view() : numbers.substr(space + 1);
      }
      // Counted once and then kept up to date: counting the list for every number would make
      // a long search quadratic.
      std::size_t records = mails.count();
      for (auto token = tokens.rbegin(); token != tokens.rend(); ++token) {
        // Anything but a message number would change the FETCH command.
        if (!IsMessageNumber(*token))
          continue;
        auto item = std::make_unique<MailItem>();
        item->folder = displayFolder;
        bool dateRead = false;
        if (records < kImapHeaderFetchLimit && !stop.stop_requested()) {
          const std::string number(*token);
          std::string uid = FetchHeaders(number, *item, dateRead);
          if (!dateRead && !stop.stop_requested()) {
            clock_.SleepFor(kImapFetchRetryDelayMs);
            uid = FetchHeaders(number, *item, dateRead);
          }
          if (!uid.empty() && !uidValidity.empty())
            item->markKey = uidValidity + " " + uid + " " + encodedFolder;
        }
        AddMail(std::move(item), dateRead ? MailOrder::SortedByDate : MailOrder::AsReported);
        ++records;
      }
      result = 0;
      break;
    }
  }
  return result;
}

std::string ImapEngine::FetchHeaders(const std::string& number, MailItem& item, bool& dateRead) {
  HeaderReader headerReader{item};
  const std::string command =
      "FETCH " + number + " (UID FLAGS BODY.PEEK[HEADER.FIELDS (SUBJECT DATE FROM)])";
  int32_t errorCode = 0;
  transport_.ExecuteCommand(
      nullptr, command.c_str(), [&](std::string_view line) { headerReader.OnLine(line); }, 0,
      errorCode);
  dateRead = headerReader.dateRead;
  return headerReader.uid;
}

bool ImapEngine::MarkRead(const std::string& markKey, Text& failure) {
  // "<UIDVALIDITY> <UID> <mailbox as in the URL>"; an empty mailbox is the inbox.
  const std::size_t first = markKey.find(' ');
  const std::size_t second =
      first == std::string::npos ? std::string::npos : markKey.find(' ', first + 1);
  if (second == std::string::npos) {
    failure = u"the message has no IMAP UID";
    return false;
  }
  const std::string uidValidity = markKey.substr(0, first);
  const std::string uid = markKey.substr(first + 1, second - first - 1);
  const std::string mailbox = markKey.substr(second + 1);
  if (!IsMessageNumber(uidValidity) || !IsMessageNumber(uid) || uid.size() > 10 ||
      mailbox.find_first_of("\r\n") != std::string::npos) {
    failure = u"the message has no IMAP UID";
    return false;
  }
  const ImapAccountSettings account = settings();
  const std::string token = AccessToken().ToUtf8();
  if (account.authMethod != static_cast<uint32_t>(ImapAuthMethod::Password) && token.empty()) {
    failure = Text(kOAuthSignInNeeded);
    return false;
  }
  const std::lock_guard<std::mutex> use(markUse_);
  // A session of the library's own for marking, beside the check's and the IDLE's.
  ImapTransport transport(kImapSlotCount + slot_, transportPath_);
  if (!transport.isComplete()) {
    failure = Text::FromUtf8("the IMAP transport library " + std::string(kTransportLibraryName) +
                             " is not available");
    return false;
  }
  const std::vector<std::string> caFiles = ExtraCertificateAuthorityFiles();
  transport.SetCertificateAuthorityFile(caFiles.empty() ? std::string() : caFiles.front());
  if (!transport.Init(account.user.ToUtf8(), account.password.ToUtf8(), token)) {
    failure = u"the IMAP transport library could not set up a session";
    return false;
  }
  std::string response;
  const auto append = [&](std::string_view line) {
    if (response.size() + line.size() <= kImapResponseLimit)
      response.append(line);
  };
  const auto fail = [&](std::string_view what) {
    std::string reason = transport.LastError();
    failure = Text::FromUtf8(std::string(what) + (reason.empty() ? "" : ": " + reason));
    transport.Close();
    return false;
  };
  int32_t errorCode = 0;
  const std::string url = ImapServerUrl(account.server, mailbox.empty() ? "INBOX" : mailbox);
  if (!transport.ExecuteCommand(url.c_str(), "NOOP", append, 0, errorCode))
    return fail(errorCode == kTransportLoginDenied ? "the server refused the sign-in"
                                                   : "the server could not open the mailbox");
  // Another UIDVALIDITY: the UIDs were renumbered and this one may name another message.
  if (SelectedUidValidity(response) != uidValidity)
    return fail("the mailbox changed on the server since the check");
  response.clear();
  const std::string store = "UID STORE " + uid + " +FLAGS.SILENT (\\Seen)";
  if (!transport.ExecuteCommand(nullptr, store.c_str(), append, 0, errorCode)) {
    // The server's own reason ("NO Mailbox is read-only") says most.
    for (const std::string_view line : ResponseLines(response)) {
      if (const std::optional<TaggedStatus> tagged = ParseTaggedStatus(line)) {
        failure = Text::FromUtf8("the server refused to mark the message as read: " +
                                 std::string(tagged->text.substr(0, 200)));
        transport.Close();
        return false;
      }
    }
    return fail("the server refused to mark the message as read");
  }
  transport.Close();
  markedSinceCheck_.store(true);
  return true;
}

void ImapEngine::ReadFolderList(const Text& server) {
  std::string response;
  const auto append = [&](std::string_view line) {
    if (response.size() + line.size() <= kImapResponseLimit)
      response.append(line);
  };
  int32_t errorCode = 0;
  const std::string url = ImapServerUrl(server, std::string());
  if (!transport_.ExecuteCommand(url.c_str(), "LIST \"\" *", append, 0, errorCode))
    return;
  const std::lock_guard<std::mutex> guard(settingsLock_);
  // The names already listed, looked up in constant time: one scan of the list for every LIST
  // line would make a long folder list quadratic.
  std::unordered_set<std::u16string> known;
  for (const ImapFolder* folder = folders.first(); folder;
       folder = NodeList<ImapFolder>::next(folder))
    known.emplace(folder->name.view());
  for (const ListedFolder& listed : ParseListResponse(response)) {
    if (!IsOfferedFolder(listed))
      continue;
    Text folderName = DecodeModifiedUtf7(Text::FromUtf8(listed.name));
    if (known.emplace(folderName.view()).second)
      folders.append(std::make_unique<ImapFolder>(std::move(folderName), 0));
  }
}

}  // namespace tarvel
