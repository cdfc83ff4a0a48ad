#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace tarvel {

// The transport library libzarquet.so, loaded at run time, and its entry points; each may be
// missing. One object per IMAP slot: every call selects the slot's own session of the library
// (one process shares one loaded copy).
class ImapTransport {
 public:
  using LineHandler = std::function<void(std::string_view line)>;

  // Loads the library: from `libraryPath` when it is given, else libzarquet.so next to the
  // program, in ../lib relative to it, and then on the default search path.
  explicit ImapTransport(uint32_t slot, const std::string& libraryPath = {});
  ~ImapTransport();
  ImapTransport(const ImapTransport&) = delete;
  ImapTransport& operator=(const ImapTransport&) = delete;

  // True when the library and all four entry points were found.
  bool isComplete() const;

  bool Init(const std::string& user, const std::string& password, const std::string& accessToken);
  void DeInit();
  // Ends the session and closes its connection at once (the library may otherwise keep a
  // healthy one for the next Init); DeInit when the library has no such call.
  void Close();
  // Runs a URL and/or a command; `onLine` receives every response line. On failure
  // `errorCode` holds the library's code.
  bool ExecuteCommand(const char* url, const char* command, const LineHandler& onLine,
                      uint32_t timeoutMs, int32_t& errorCode);
  void Cancel();
  // Hands the library the CA file to trust besides the system store and TARVEL_CA_FILE
  // (empty for none); nothing when the library cannot take one.
  void SetCertificateAuthorityFile(const std::string& path);
  // The library's text for the last failure, empty when it has none.
  std::string LastError();

 private:
  using InitFunction = int32_t (*)(const char*, const char*, const char*);
  using DeInitFunction = int32_t (*)();
  using LineCallback = int (*)(const char*, void*);
  using ExecuteFunction = int32_t (*)(const char*, const char*, LineCallback, void*, uint32_t,
                                      int32_t*);
  using CancelFunction = int32_t (*)();
  using SelectSessionFunction = int32_t (*)(uint32_t);
  using LastErrorFunction = int32_t (*)(char*, uint32_t);
  using SetCaFileFunction = int32_t (*)(const char*);
  using CloseFunction = int32_t (*)();

  void SelectSession();

  uint32_t slot_;
  void* library_ = nullptr;
  InitFunction init_ = nullptr;
  DeInitFunction deInit_ = nullptr;
  ExecuteFunction execute_ = nullptr;
  CancelFunction cancel_ = nullptr;
  SelectSessionFunction selectSession_ = nullptr;
  LastErrorFunction lastError_ = nullptr;
  SetCaFileFunction setCaFile_ = nullptr;
  CloseFunction close_ = nullptr;
};

// A tagged completion line of a response, "<tag> OK|NO|BAD <text>". Which tag the library
// gave which command is its own business; callers look only at the status and the text.
struct TaggedStatus {
  std::string_view status;  // "OK", "NO" or "BAD", in the letter case the server wrote
  std::string_view text;    // the rest of the line without its line end; may be empty
};
// Nothing for untagged ("* ...") and continuation ("+ ...") lines and any other shape.
std::optional<TaggedStatus> ParseTaggedStatus(std::string_view line);

// The name the library is loaded by.
inline constexpr std::string_view kTransportLibraryName = "libzarquet.so";

}  // namespace tarvel
