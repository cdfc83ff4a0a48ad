#pragma once

#include <cstdint>
#include <string>

namespace tarvel::testing {

// A Cyrus IMAP server for one test executable, run from Debian's packages unpacked into a
// cache folder (fetched with apt-get download on first use): loopback, ephemeral ports, a
// self-signed certificate for imap.example.com (its own test CA), the users tester, second and
// user1..user9 (password s3cret), "." as the hierarchy separator (INBOX.Work), all inside a
// short temporary folder removed at the end. Every user's INBOX has the folders Work and
// Archive, created with the first delivery.
class CyrusServer {
 public:
  CyrusServer();
  ~CyrusServer();
  CyrusServer(const CyrusServer&) = delete;
  CyrusServer& operator=(const CyrusServer&) = delete;

  bool started() const { return pid_ > 0; }
  // Why the server did not start (the start script's error output).
  const std::string& startError() const { return startError_; }
  uint16_t imapPort() const { return imapPort_; }            // plain, login only after STARTTLS
  uint16_t imapsPort() const { return imapsPort_; }          // TLS from the start
  uint16_t loginOnlyPort() const { return loginOnlyPort_; }  // TLS, no SASL mechanism offered
  std::string caFile() const { return folder_ + "/cert.pem"; }
  // The redirect table that sends imap.example.com's ports 993 and 143 to this server.
  std::string connectTo() const;

  // Delivers through the server's LMTP service into the user's INBOX or one of its folders
  // ("INBOX" or a name below it, such as "Work"); false on failure.
  bool Deliver(const std::string& user, const std::string& folder,
               const std::string& message) const;
  // Ends the user's sessions (their server processes are stopped, the connections close);
  // false when the user had none.
  bool Kick(const std::string& user) const;

 private:
  std::string folder_;
  std::string startError_;
  uint16_t imapPort_ = 0;
  uint16_t imapsPort_ = 0;
  uint16_t loginOnlyPort_ = 0;
  int pid_ = -1;
};

}  // namespace tarvel::testing
