#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace tarvel::testing {

// Runs a program with `arguments` (no shell), feeding `input` to its standard input; returns
// its exit code (-1 when it could not run) and, when asked, its standard output.
int RunProgram(const std::vector<std::string>& arguments, const std::string& input = {},
               std::string* output = nullptr);
// A loopback TCP port that was free a moment ago (0 when none could be found).
uint16_t FreeLoopbackPort();
// Whether the process has ended (a zombie whose parent has gone counts as ended).
bool ProcessGone(int pid);

// A Dovecot IMAP server for one test executable: loopback, ephemeral ports, a self-signed
// certificate for imap.example.com (its own test CA), the users tester and second (password
// s3cret) with maildir folders, all inside a short temporary folder removed at the end.
class DovecotServer {
 public:
  DovecotServer();
  ~DovecotServer();
  DovecotServer(const DovecotServer&) = delete;
  DovecotServer& operator=(const DovecotServer&) = delete;

  bool started() const { return pid_ > 0; }
  uint16_t imapPort() const { return imapPort_; }    // plain, with STARTTLS
  uint16_t imapsPort() const { return imapsPort_; }  // TLS from the start
  std::string caFile() const { return folder_ + "/cert.pem"; }
  std::string logFile() const { return folder_ + "/dovecot.log"; }
  // The maildir of a user's inbox.
  std::string mailFolder(const std::string& user) const { return folder_ + "/mail/" + user; }
  // The redirect table that sends imap.example.com's ports 993 and 143 to this server.
  std::string connectTo() const;

  // Mail handling through doveadm; each returns false on failure. MarkSeen marks the messages
  // whose subject contains `subject`.
  bool Deliver(const std::string& user, const std::string& mailbox,
               const std::string& message) const;
  bool CreateMailbox(const std::string& user, const std::string& mailbox) const;
  // Deletes the mailbox with its messages (made again, it has another UIDVALIDITY).
  bool DeleteMailbox(const std::string& user, const std::string& mailbox) const;
  bool MarkSeen(const std::string& user, const std::string& mailbox,
                const std::string& subject) const;
  // Removes every message of every mailbox of the user.
  bool ExpungeAll(const std::string& user) const;
  // The number of successful logins of the user so far, from the server's log.
  std::size_t LoginCount(const std::string& user) const;
  // Gives the user another password (the server reads its user file again when it changes).
  bool SetPassword(const std::string& user, const std::string& password) const;
  // Disconnects the user's sessions (the server says BYE on each).
  bool Kick(const std::string& user) const;
  // Stops the server (every connection ends) and starts it again on the same ports with the
  // same certificate and mail; each returns false on failure.
  bool Stop();
  bool Start();

 private:
  std::vector<std::string> Doveadm(std::vector<std::string> arguments) const;
  // Runs the start script (mode "restart" starts the server set up before); sets pid_.
  bool RunScript(const std::string& mode);

  std::string folder_;
  uint16_t imapPort_ = 0;
  uint16_t imapsPort_ = 0;
  int pid_ = -1;
};

}  // namespace tarvel::testing
