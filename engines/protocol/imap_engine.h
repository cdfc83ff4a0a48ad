#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <iterator>
#include <mutex>
#include <stop_token>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "accounts/mail_engine.h"
#include "engines/protocol/imap_folder.h"
#include "engines/protocol/imap_transport.h"
#include "mail/node_list.h"
#include "platform/text.h"

namespace tarvel {

class AccessTokenRefresher;
class CheckInRelay;
class Clock;
class DiagnosticTrace;
class OptionFlags;
class SettingsStore;

// The number of IMAP account slots.
inline constexpr uint32_t kImapSlotCount = 3;
// Slots 2 and 3 wait this long before connecting, so the accounts do not connect at once.
inline constexpr uint32_t kImapSlotDelayMs = 10'000;
// At most this many unseen messages of a check get their header fields fetched.
inline constexpr std::size_t kImapHeaderFetchLimit = 20;
// A FETCH that yields no date is repeated once after this pause.
inline constexpr uint32_t kImapFetchRetryDelayMs = 100;
// An IDLE runs at most this long; the check after it cancels an older one.
inline constexpr uint32_t kImapIdleTimeoutMs = 1'800'000;
// After an IDLE that failed (refused, or its connection ended by the server) the next IDLE
// waits these pauses: 5 s, 30 s and 2 min for the first, second and third failure in a row;
// from the fourth on it waits for the next regular check. An IDLE the server confirms resets
// the count, so a connection dropped now and then costs 5 s of push, never push itself.
inline constexpr uint32_t kImapIdleRetryDelaysMs[] = {5'000, 30'000, 120'000};
inline constexpr uint32_t kImapIdleErrorLimit = 3;
static_assert(std::size(kImapIdleRetryDelaysMs) == kImapIdleErrorLimit);
// The transport's code for a command that ran into its time-out, and for a refused login.
inline constexpr int32_t kTransportTimedOut = 28;
inline constexpr int32_t kTransportLoginDenied = 67;
// The transport's code for a mailbox the server would not select.
inline constexpr int32_t kTransportMailboxMissing = 78;
// The appended response text of one command is cut at this size.
inline constexpr std::size_t kImapResponseLimit = 32u * 1024u * 1024u;

// Authentication methods of an IMAP slot.
enum class ImapAuthMethod : uint32_t {
  Password = 0,
  OAuth2AuthCode = 1,
  OAuth2DeviceCode = 2,
};

// The names of a slot's settings: three patterns of suffix (empty/2/3, 1/2/3 and 0/1/2).
struct ImapSettingNames {
  std::u16string server;
  std::u16string user;
  std::u16string password;
  std::u16string website;
  std::u16string mailHandler;
  std::u16string authMethod;
  std::u16string refreshToken;
  std::u16string useIdle;
  std::u16string name;
  std::u16string folderList;  // the old comma/semicolon form
  std::u16string foldersGroup;
};
ImapSettingNames ImapSettingNamesForSlot(uint32_t slot);

// The stored settings of a slot.
struct ImapAccountSettings {
  Text server;
  Text user;
  Text password;
  Text website;
  uint32_t authMethod = 0;
  Text refreshToken;
  uint32_t useIdle = 1;
  Text name;
  Text folderList;                   // the old form, read at load
  std::vector<Text> checkedFolders;  // the folders key's values whose number is 1
};

// What an IMAP engine needs of the program.
struct ImapEngineServices {
  Clock& clock;
  OptionFlags& flags;
  SettingsStore* settings = nullptr;               // null: nothing is read or stored
  CheckInRelay* checkIn = nullptr;                 // the cycle; null: no check is started
  AccessTokenRefresher* tokenRefresher = nullptr;  // null: OAuth2 cannot refresh
  std::string transportPath;                       // empty: libzarquet.so by the default search
  DiagnosticTrace* trace = nullptr;  // receives a line for every failure of the transport
};

// One IMAP account slot: checks the unseen messages of the inbox or of the checked folders
// through the transport library, keeps the folder list, and can wait in IDLE on a thread of
// its own so that new mail starts a check at once.
class ImapEngine : public MailEngine {
 public:
  ImapEngine(const AccountTypeInfo& type, uint32_t slot, const ImapEngineServices& services);
  ~ImapEngine() override;

  int ReadyToCheck() override;
  CheckStatus Check() override;
  bool OpenReader(ReaderLauncher& launcher) override;
  Text GetDisplayName() const override;

  // Reads the slot's settings (protected values decrypted) and applies them.
  void LoadSettings(const SettingsStore& store) override;
  // Takes the slot's settings and fills the folder list from both stored forms. When the
  // server, the credentials, the folders or the IDLE setting changed, or the account is
  // switched off, its IDLE and its kept connection end at once (without waiting here: this
  // runs on the main thread), and the next check connects with the new settings.
  void ApplySettings(ImapAccountSettings stored);
  // Forgets the refresh token, also in the store (a refresh failed).
  void ClearRefreshToken();
  // Keeps a new refresh token, stored protected (a sign-in or a refresh gave one).
  void StoreRefreshToken(const Text& refreshToken);
  // The OAuth2 access token: memory only, readable and writable from any thread.
  Text AccessToken() const;
  void SetAccessToken(Text token);

  // Sets \Seen on the record's message (UID STORE) in a session of its own, after making
  // sure the mailbox is still the one the UID was read from (UIDVALIDITY).
  bool MarkRead(const std::string& markKey, Text& failure) override;

  uint32_t slot() const { return slot_; }
  // A copy: the settings may be replaced (LoadSettings on the main thread) during a check.
  ImapAccountSettings settings() const;
  // The account's e-mail address: its login name.
  Text EmailAddress() const;
  // Adds a folder unless one of that name (compared case-sensitively) is listed.
  void AddFolder(Text folderName, uint32_t checked);
  // The names of the folder list, read under the lock a check changes it under: callable
  // from any thread at any time.
  std::vector<Text> FolderNames() const;
  bool idleRunning() const;

  // Changed under the settings lock (ApplySettings, the folder list a check reads); other
  // threads read it through FolderNames.
  NodeList<ImapFolder> folders;
  bool idleSupported = false;
  // The server offers NOTIFY: one IDLE can watch every checked folder.
  bool notifySupported = false;
  std::atomic<uint32_t> idleErrors{0};
  std::atomic<uint64_t> idleStarted{0};

 private:
  int CheckFolder(const Text& server, const std::string& encodedFolder, const Text& displayFolder,
                  std::stop_token stop);
  // Reads a message's headers into the record; returns its UID (empty when not given).
  std::string FetchHeaders(const std::string& number, MailItem& item, bool& dateRead);
  void ReadFolderList(const Text& server);
  // Asks the server (NOTIFY SET) to report new and removed mail in every checked folder on
  // this connection, the first of them selected; false when the server refused or a name
  // cannot be sent.
  bool WatchCheckedFolders(const Text& server);
  // The names of the checked folders, in list order.
  std::vector<Text> CheckedFolders() const;
  // Waits on the clock, in short steps so that a stop request ends the wait.
  void SleepUnlessStopped(uint32_t milliseconds, std::stop_token stop);
  void StartIdle();
  void RunIdle();
  // The IDLE thread's pause after a failed IDLE; false when it was cut short by a stop.
  bool WaitBeforeNextIdle(uint32_t milliseconds);
  // Ends the IDLE and the kept connection for settings that no longer hold, without waiting.
  void RetireSession();
  // Cancels a running IDLE and waits for its thread; joins a finished one.
  void StopIdle();
  void NoteTransportFailure();

  const uint32_t slot_;
  Clock& clock_;
  OptionFlags& flags_;
  CheckInRelay* checkIn_;
  AccessTokenRefresher* tokenRefresher_;
  SettingsStore* store_;
  DiagnosticTrace* trace_;
  ImapTransport transport_;
  const std::string transportPath_;
  std::mutex markUse_;  // one marking at a time, in the slot's marking session
  std::atomic<bool> markedSinceCheck_{false};  // the next check reads the server again
  mutable std::mutex settingsLock_;
  ImapAccountSettings settings_;  // guarded by settingsLock_
  Text accessToken_;              // guarded by settingsLock_; memory only
  bool sessionOpen_ = false;

  mutable std::mutex idleLock_;
  std::condition_variable idleEnded_;
  bool idleRunning_ = false;  // guarded by idleLock_
  std::atomic<bool> shuttingDown_{false};
  std::atomic<bool> idleStopRequested_{false};
  // False while the IDLE watches the inbox for an account that checks other folders too.
  std::atomic<bool> idleCoversAccount_{true};
  std::thread idleThread_;
  // Set by ApplySettings on the main thread: the open session was made with settings that no
  // longer hold; whoever uses the transport next closes it first.
  std::atomic<bool> retireSession_{false};
  std::atomic<bool> sessionUsed_{false};  // a check has logged in at least once
  // Held by a check for its whole run and by the closer: the closer waits for the check.
  std::mutex sessionUse_;
  // Closes a kept connection for the main thread, which must not wait for it; main thread only.
  std::thread closer_;
  std::atomic<bool> closerBusy_{false};
};

// A folder name as a URL path segment: spaces, "|", "%", "?", ";" and "#" percent-encoded,
// then modified UTF-7.
std::string EncodeFolderForUrl(const Text& folderName);
// Splits an old-form folder list on "," and ";" (quotes keep separators), trimmed tokens.
std::vector<Text> SplitFolderList(const Text& list);
// One folder of a LIST response: its name as the server sent it (modified UTF-7, with the
// quoting and its escapes removed) and its attributes.
struct ListedFolder {
  std::string name;
  std::vector<std::string> attributes;
};
// Reads the "* LIST (attributes) delimiter mailbox" entries of a response by the IMAP grammar:
// the mailbox is an atom, a quoted string with "\" escapes, or a literal ("{n}" and the n
// bytes after the line end). Malformed entries are skipped.
std::vector<ListedFolder> ParseListResponse(std::string_view response);
// True for a folder the account page offers: it can be selected (no \Noselect or
// \NonExistent) and is no Drafts, Trash or Sent folder.
bool IsOfferedFolder(const ListedFolder& folder);
// The folder a "* LIST" response line names, or nothing when it is not offered or names none.
bool FolderFromListLine(const Text& line, Text& folderName);
// The URL of a mailbox ("INBOX" when empty) with a query, or of the server's root ("/" and an
// empty mailbox). A server written without a scheme is TLS from the start, except on port 143,
// the port of STARTTLS (the transport upgrades it and never sends credentials in clear text).
std::string ImapServerUrl(const Text& server, const std::string& encodedMailbox);

}  // namespace tarvel
