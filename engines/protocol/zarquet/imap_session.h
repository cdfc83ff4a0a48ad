#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>

#include "engines/protocol/zarquet/tls_stream.h"
#include "engines/protocol/zarquet/zarquet.h"

namespace tarvel::zarquet {

// The parts of an imap:// or imaps:// URL the transport acts on.
struct ImapUrl {
  bool implicitTls = true;  // imaps
  std::string host;         // without brackets
  uint16_t port = 993;
  std::string mailbox;  // percent-decoded; empty for "/"
  std::string query;    // percent-decoded search criteria after "?"
};
// False for anything but a well-formed imap/imaps URL whose parts hold no control characters.
bool ParseImapUrl(std::string_view text, ImapUrl& url);

// How long a healthy connection is kept after DeInit for the next Init with the same
// credentials (zarquet.h says why).
inline constexpr std::chrono::milliseconds kKeepSessionFor{ZARQUET_KEEP_SESSION_MS};

// One session of the contract: the credentials and at most one open connection. Init, DeInit
// and Execute are serialised; Cancel may come from any thread at any time.
class ImapSession {
 public:
  ImapSession();
  ~ImapSession();
  ImapSession(const ImapSession&) = delete;
  ImapSession& operator=(const ImapSession&) = delete;

  void Init(std::string_view user, std::string_view password, std::string_view accessToken);
  void DeInit();
  // Ends the session and closes its connection at once.
  void Close();
  // Returns 0 or a ZARQUET_ERROR_* code.
  int Execute(const char* url, const char* command, Zarquet_LineCallback callback, void* context,
              uint32_t timeoutMs);
  void Cancel();
  std::string lastError() const;
  // The next connection the session opens is this connected socket instead of one to the URL's
  // host (test and fuzz harnesses); the session owns it from now on.
  void AdoptConnection(int socket);

 private:
  struct Run;
  // What a command's tagged answer said.
  enum class Completion { Ok, No, Bad };
  using ContinuationHandler = std::function<int(const std::string& line)>;

  int OpenConnection(const ImapUrl& url, Run& run);
  int Authenticate(const ImapUrl& url, Run& run);
  int RunCommand(const std::string& tag, const std::string& command, Run& run,
                 Completion& completion, const ContinuationHandler& onContinuation = nullptr);
  int RunIdle(const std::string& tag, Run& run, Completion& completion);
  int ReadResponse(const std::string& tag, Run& run, Completion& completion,
                   const ContinuationHandler& onContinuation);
  // Reads what the server has sent so far (waiting for at least one byte) into the input.
  int ReceiveMore(Run& run);
  int ReadLine(std::string& line, Run& run);
  int ReadLiteral(std::size_t length, Run& run);
  int Deliver(const std::string& line, Run& run);
  int Send(std::string_view text, Run& run);
  std::string NextTag();
  // Runs CAPABILITY again (A001) on a taken-up connection and marks the login's tag as used,
  // so the commands of the URL carry the tags of a fresh connection.
  int Resume(Run& run);
  // True when the open connection may serve a session with credentials of this digest.
  bool CanTakeUp(const std::array<unsigned char, 32>& digest) const;
  void CloseConnection(bool sayGoodbye);
  void Fail(Run& run, std::string text);
  void ClearCredentials();

  mutable std::mutex lock_;
  mutable std::mutex errorLock_;
  std::string lastError_;  // guarded by errorLock_

  std::atomic<bool> cancelled_{false};
  int cancelPipe_[2] = {-1, -1};

  std::string user_;
  std::string password_;
  std::string accessToken_;

  TlsStream stream_;
  std::string input_;    // received, not yet consumed bytes
  std::string carried_;  // the end of a literal that did not finish its line
  uint32_t tagNumber_ = 0;
  bool connected_ = false;
  std::string connectionKey_;  // scheme, host and port of the open connection
  std::string selectedMailbox_;
  std::string capabilities_;  // upper case, space separated, with a space at both ends
  int adoptedSocket_ = -1;

  // Keeping the connection between sessions: nothing unexpected happened on it (no BYE, no
  // failed or refused command), the digest of the credentials it logged in with, and, once
  // DeInit has left it open, until when it may be taken up.
  bool healthy_ = false;
  std::array<unsigned char, 32> credentialDigest_{};
  bool parked_ = false;
  std::chrono::steady_clock::time_point keptUntil_;
  bool takenUp_ = false;
  std::string trustContext_;  // the CA files and redirections the connection was made under
};

}  // namespace tarvel::zarquet
