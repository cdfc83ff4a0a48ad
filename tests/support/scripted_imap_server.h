#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace tarvel::testing {

// What the scripted server does with one command line.
struct ScriptedReply {
  enum class Then {
    Continue,  // read the next command
    Close,     // close the connection after the reply
    Stall,     // stop reading and answering (until the server is destroyed)
    Trickle,   // send the text one byte every kTrickleInterval, over and over, never reading
  };
  static constexpr std::chrono::milliseconds kTrickleInterval{20};
  std::string text;  // sent as is (CRLF line ends are the script's business)
  Then then = Then::Continue;
};

// A plain-text IMAP server on an ephemeral loopback port, in a thread of the test, for
// behaviour a real server will not show on demand. The handler answers each command line
// (tag and the rest of the line); StandardReply answers a well-behaved session.
class ScriptedImapServer {
 public:
  using Handler = std::function<ScriptedReply(const std::string& tag, const std::string& command)>;

  explicit ScriptedImapServer(Handler handler, std::string greeting = kGreeting);
  ~ScriptedImapServer();
  ScriptedImapServer(const ScriptedImapServer&) = delete;
  ScriptedImapServer& operator=(const ScriptedImapServer&) = delete;

  uint16_t port() const { return port_; }
  std::string url(const std::string& path) const;
  // Every line received so far, without line ends, over all connections.
  std::vector<std::string> receivedLines() const;
  // Waits (up to `bound`) until a received line ends with `suffix`.
  bool WaitForLineEnding(const std::string& suffix,
                         std::chrono::milliseconds bound = std::chrono::seconds(20)) const;
  // Sends text on the current connection from outside the handler (untagged news).
  void Push(const std::string& text);

  // Capabilities, login, select, an empty search, the folder list, IDLE and LOGOUT.
  static ScriptedReply StandardReply(const std::string& tag, const std::string& command);

  static constexpr const char* kGreeting =
      "* OK [CAPABILITY IMAP4rev1 SASL-IR AUTH=PLAIN IDLE] scripted server ready\r\n";

 private:
  void Serve();
  void ServeConnection(int connection);
  void SendAll(int connection, const std::string& text);
  void Trickle(int connection, const std::string& text);

  Handler handler_;
  std::string greeting_;
  int listener_ = -1;
  int stopPipe_[2] = {-1, -1};
  uint16_t port_ = 0;
  std::thread thread_;
  mutable std::mutex lock_;
  mutable std::condition_variable receivedChanged_;
  std::vector<std::string> received_;
  int current_ = -1;  // guarded by lock_
};

}  // namespace tarvel::testing
