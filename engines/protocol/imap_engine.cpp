#include "engines/protocol/imap_engine.h"

#include <cstdint>
#include <utility>

#include "accounts/check_in_relay.h"
#include "accounts/option_flags.h"
#include "accounts/protected_text.h"
#include "accounts/settings_store.h"
#include "engines/protocol/access_token_refresher.h"
#include "maintenance/diagnostic_trace.h"
#include "platform/clock.h"
#include "platform/date_parse.h"
#include "platform/network_settings.h"
#include "platform/owned_threads.h"

namespace tarvel {
namespace {

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

bool StartsWithNoCase(std::u16string_view text, std::u16string_view prefix) {
  return text.size() >= prefix.size() &&
         Text::CompareNoCase(text.substr(0, prefix.size()), prefix) == 0;
}

bool StartsWith(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() && text.substr(0, prefix.size()) == prefix;
}

bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
  if (text.size() < prefix.size())
    return false;
  for (std::size_t i = 0; i < prefix.size(); ++i) {
    char a = text[i];
    char b = prefix[i];
    if (a >= 'a' && a <= 'z')
      a = static_cast<char>(a - 32);
    if (b >= 'a' && b <= 'z')
      b = static_cast<char>(b - 32);
    if (a != b)
      return false;
  }
  return true;
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

bool IsMessageNumber(std::string_view token) {
  if (token.empty() || token.size() > 10)
    return false;
  for (const char c : token) {
    if (c < '0' || c > '9')
      return false;
  }
  return true;
}

// The header callback's state for one FETCH.
struct HeaderReader {
  MailItem& item;
  bool dateRead = false;
  bool subjectContinues = false;

  void OnLine(std::string_view rawLine) {
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

bool FolderFromListLine(const Text& line, Text& folderName) {
  const Text::Position open = line.FindChar(u'(');
  const Text::Position close =
      open == Text::kNotFound ? Text::kNotFound : line.FindChar(u')', open);
  if (open != Text::kNotFound && close != Text::kNotFound) {
    const Text attributes = line.Mid(open, close - open + 1);
    if (attributes.Find(u"\\Drafts") != Text::kNotFound ||
        attributes.Find(u"\\Trash") != Text::kNotFound ||
        attributes.Find(u"\\Sent") != Text::kNotFound) {
      return false;
    }
  }
  static constexpr std::u16string_view kDelimiters[] = {u"\"/\"", u" NIL ", u" \"|\" ", u"\".\""};
  for (const std::u16string_view delimiter : kDelimiters) {
    const Text::Position at = line.FindCase(delimiter);
    if (at == Text::kNotFound)
      continue;
    Text name = line.Mid(at + static_cast<Text::Position>(delimiter.size()));
    name.Replace(u"\r", u"");
    name.Trim();
    if (name.length() >= 2 && name[0] == u'"' && name[name.length() - 1] == u'"')
      name = name.Mid(1, name.length() - 2);
    if (name.isEmpty())
      return false;
    folderName = DecodeModifiedUtf7(name);
    return true;
  }
  return false;
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
      transport_(slot_, services.transportPath) {
  name = Text::FromUtf8("IMAP" + std::to_string(slot_ + 1));
}

ImapEngine::~ImapEngine() {
  shuttingDown_.store(true);
  StopIdle();
  if (sessionOpen_)
    transport_.DeInit();
  folders.clear();
}

void ImapEngine::ApplySettings(ImapAccountSettings stored) {
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
}

void ImapEngine::LoadSettings(const SettingsStore& store) {
  const ImapSettingNames names = ImapSettingNamesForSlot(slot_);
  ImapAccountSettings stored;
  store.readText(names.server, stored.server, u"");
  stored.user = UnprotectText(store, names.user, u"");
  stored.password = UnprotectText(store, names.password, u"");
  store.readText(names.website, stored.website, u"");
  stored.authMethod = static_cast<uint32_t>(store.readNumber(names.authMethod, 0));
  stored.refreshToken = UnprotectText(store, names.refreshToken, u"");
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

void ImapEngine::ClearRefreshToken() {
  settings_.refreshToken.clear();
  if (store_)
    store_->deleteValue(ImapSettingNamesForSlot(slot_).refreshToken);
}

void ImapEngine::AddFolder(Text folderName, uint32_t checked) {
  for (const ImapFolder* folder = folders.first(); folder;
       folder = NodeList<ImapFolder>::next(folder)) {
    if (folder->name.view() == folderName.view())
      return;
  }
  folders.append(std::make_unique<ImapFolder>(std::move(folderName), checked));
}

Text ImapEngine::GetDisplayName() const {
  return settings_.name.isEmpty() ? settings_.user : settings_.name;
}

bool ImapEngine::OpenReader(ReaderLauncher& launcher) {
  website = settings_.website;
  return MailEngine::OpenReader(launcher);
}

bool ImapEngine::idleRunning() const {
  const std::lock_guard<std::mutex> guard(idleLock_);
  return idleRunning_;
}

std::string ImapEngine::MailboxUrl(const std::string& encodedFolder) const {
  const std::string server = settings_.server.ToUtf8();
  const std::string mailbox = encodedFolder.empty() ? std::string("INBOX") : encodedFolder;
  if (server.find("://") != std::string::npos)
    return server + "/" + mailbox + "?UNSEEN";
  return "imaps://" + server + "/" + mailbox + "?UNSEEN";
}

std::string ImapEngine::RootUrl() const {
  const std::string server = settings_.server.ToUtf8();
  if (server.find("://") != std::string::npos)
    return server + "/";
  return "imaps://" + server + "/";
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
  if (now - started <= kImapIdleTimeoutMs)
    return 0;
  StopIdle();
  transport_.DeInit();
  sessionOpen_ = false;
  flags_.clear(flag_bits::kRecheckRequested);
  return 1;
}

void ImapEngine::StopIdle() {
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
        for (const std::string_view word : {" FETCH", " EXPUNGE", " RECENT", " EXISTS", " BAD"}) {
          if (line.find(word) != std::string_view::npos) {
            news = news || word != " BAD";
            transport_.Cancel();
            return;
          }
        }
      },
      kImapIdleTimeoutMs, errorCode);
  // An IDLE that ended with news counts like one that ran its full time: only failures
  // count towards the limit.
  if (errorCode == kTransportTimedOut || news) {
    idleErrors.store(0);
  } else {
    idleErrors.fetch_add(1);
  }
  idleStarted.store(0);
  {
    const std::lock_guard<std::mutex> guard(idleLock_);
    idleRunning_ = false;
  }
  idleEnded_.notify_all();
  if (shuttingDown_.load())
    return;
  flags_.set(flag_bits::kRecheckRequested);
  if (checkIn_)
    checkIn_->CheckIn();
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
  sessionOpen_ = false;
  bool folderChecked = false;
  int result = 1;
  idleSupported = false;
  lastFailure.clear();
  bool tokenRetried = false;
  for (;;) {
    // With OAuth2: an access token, refreshed when missing.
    if (settings_.authMethod != static_cast<uint32_t>(ImapAuthMethod::Password)) {
      if (accessToken.isEmpty() && !settings_.refreshToken.isEmpty()) {
        if (tokenRefresher_)
          tokenRefresher_->RefreshAccessToken(*this);
        if (accessToken.isEmpty())
          ClearRefreshToken();
      }
      if (accessToken.isEmpty() && settings_.refreshToken.isEmpty())
        return CheckStatus::LoginNeeded;
    }
    if (slot_ > 0)
      clock_.SleepFor(kImapSlotDelayMs);
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
    if (!transport_.Init(settings_.user.ToUtf8(), settings_.password.ToUtf8(),
                         accessToken.ToUtf8())) {
      sessionOpen_ = false;
      return static_cast<CheckStatus>(result);
    }
    sessionOpen_ = true;
    for (const ImapFolder* folder = folders.first(); folder;
         folder = NodeList<ImapFolder>::next(folder)) {
      if (folder->checked != 1)
        continue;
      const int folderResult = CheckFolder(EncodeFolderForUrl(folder->name), folder->name);
      if (folderResult == 0 || folderResult == 2)
        result = folderResult;
      if (folderResult == 0)
        folderChecked = true;
      transport_.DeInit();
      if (!transport_.Init(settings_.user.ToUtf8(), settings_.password.ToUtf8(),
                           accessToken.ToUtf8())) {
        sessionOpen_ = false;
        break;
      }
    }
    if (!folderChecked)
      result = CheckFolder(std::string(), Text());
    if (result == 2) {
      if (settings_.authMethod == static_cast<uint32_t>(ImapAuthMethod::Password)) {
        result = 1;
        break;
      }
      // One more pass with a fresh token; a second refusal asks for a new sign-in.
      if (!tokenRetried && !accessToken.isEmpty() && !settings_.refreshToken.isEmpty()) {
        tokenRetried = true;
        accessToken.clear();
        mails.clear();
        folderChecked = false;
        continue;
      }
      break;
    }
    if (result == 0) {
      ReadFolderList();
      if (!folderChecked && settings_.useIdle == 1 && idleSupported &&
          idleErrors.load() < kImapIdleErrorLimit) {
        idleStarted.store(clock_.MonotonicMilliseconds());
        StartIdle();
        return CheckStatus::Success;
      }
    }
    break;
  }
  if (sessionOpen_) {
    transport_.DeInit();
    sessionOpen_ = false;
  }
  return static_cast<CheckStatus>(result);
}

int ImapEngine::CheckFolder(const std::string& encodedFolder, const Text& displayFolder) {
  std::string response;
  const auto append = [&](std::string_view line) {
    if (response.size() + line.size() <= kImapResponseLimit)
      response.append(line);
  };
  int32_t errorCode = 0;
  const std::string url = MailboxUrl(encodedFolder);
  if (!transport_.ExecuteCommand(url.c_str(), nullptr, append, 0, errorCode)) {
    NoteTransportFailure();
    if (response.find("A002 NO AUTHENTICATE") != std::string::npos ||
        errorCode == kTransportLoginDenied) {
      return 2;
    }
    return 1;
  }
  int result = 1;
  for (const std::string_view line : ResponseLines(response)) {
    if (StartsWithNoCase(line, "A004 OK SEARCH completed")) {
      result = 0;
    } else if (StartsWith(line, "* CAPABILITY") && line.find(" IDLE") != std::string_view::npos) {
      idleSupported = true;
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
      for (auto token = tokens.rbegin(); token != tokens.rend(); ++token) {
        // Anything but a message number would change the FETCH command.
        if (!IsMessageNumber(*token))
          continue;
        auto item = std::make_unique<MailItem>();
        item->folder = displayFolder;
        bool dateRead = false;
        if (mails.count() < kImapHeaderFetchLimit) {
          const std::string number(*token);
          FetchHeaders(number, *item, dateRead);
          if (!dateRead) {
            clock_.SleepFor(kImapFetchRetryDelayMs);
            FetchHeaders(number, *item, dateRead);
          }
        }
        AddMail(std::move(item), dateRead ? MailOrder::SortedByDate : MailOrder::AsReported);
      }
      result = 0;
      break;
    }
  }
  return result;
}

void ImapEngine::FetchHeaders(const std::string& number, MailItem& item, bool& dateRead) {
  HeaderReader headerReader{item};
  const std::string command =
      "FETCH " + number + " (FLAGS BODY.PEEK[HEADER.FIELDS (SUBJECT DATE FROM)])";
  int32_t errorCode = 0;
  transport_.ExecuteCommand(
      nullptr, command.c_str(), [&](std::string_view line) { headerReader.OnLine(line); }, 0,
      errorCode);
  dateRead = headerReader.dateRead;
}

void ImapEngine::ReadFolderList() {
  std::string response;
  const auto append = [&](std::string_view line) {
    if (response.size() + line.size() <= kImapResponseLimit)
      response.append(line);
  };
  int32_t errorCode = 0;
  const std::string url = RootUrl();
  if (!transport_.ExecuteCommand(url.c_str(), "LIST \"\" *", append, 0, errorCode))
    return;
  for (const std::string_view line : ResponseLines(response)) {
    if (!StartsWith(line, "* LIST"))
      continue;
    Text folderName;
    if (FolderFromListLine(Text::FromUtf8(line), folderName))
      AddFolder(std::move(folderName), 0);
  }
}

}  // namespace tarvel
