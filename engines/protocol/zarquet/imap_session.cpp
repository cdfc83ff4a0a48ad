// The IMAP client side of the transport: RFC 3501 (commands, responses, literals, IDLE of
// RFC 2177), STARTTLS, SASL PLAIN (RFC 4616) with SASL-IR (RFC 4959), and XOAUTH2 or
// OAUTHBEARER (RFC 7628) for access tokens.
#include "engines/protocol/zarquet/imap_session.h"

#include "engines/protocol/zarquet/network_settings.h"

#include <fcntl.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/rand.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <utility>
#include <vector>

#include "platform/ascii_bytes.h"
#include "platform/base64.h"

namespace tarvel::zarquet {

// Resume's answer when the taken-up connection is not fit for use.
inline constexpr int kResumeFailed = -1;

// How long the end of an IDLE (DONE and its tagged answer) and the goodbye may take.
inline constexpr auto kShutdownBound = std::chrono::milliseconds(2000);
inline constexpr auto kGoodbyeBound = std::chrono::milliseconds(500);

struct ImapSession::Run {
  Deadline deadline;
  // False while an IDLE is being ended: a cancel repeated meanwhile must not cut the DONE
  // exchange off (the exchange has a short bound of its own).
  bool cancellable = true;
  Zarquet_LineCallback callback = nullptr;
  void* context = nullptr;
  std::string message;
};

namespace {

using ascii_bytes::StartsWithNoCase;

bool HasControlCharacters(std::string_view text) {
  for (const char c : text) {
    if (c == '\r' || c == '\n' || c == '\0')
      return true;
  }
  return false;
}

bool PercentDecode(std::string_view text, std::string& decoded) {
  decoded.clear();
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '%') {
      decoded += text[i];
      continue;
    }
    if (i + 2 >= text.size())
      return false;
    const int high = ascii_bytes::HexDigitValue(text[i + 1]);
    const int low = ascii_bytes::HexDigitValue(text[i + 2]);
    if (high < 0 || low < 0)
      return false;
    decoded += static_cast<char>(high * 16 + low);
    i += 2;
  }
  return !HasControlCharacters(decoded);
}

std::string Quoted(std::string_view text) {
  std::string quoted = "\"";
  for (const char c : text) {
    if (c == '"' || c == '\\')
      quoted += '\\';
    quoted += c;
  }
  quoted += '"';
  return quoted;
}

// The line without its line end.
std::string_view Bare(const std::string& line) {
  std::string_view view = line;
  while (!view.empty() && (view.back() == '\n' || view.back() == '\r'))
    view.remove_suffix(1);
  return view;
}

// The length of the literal announced at the end of the line ("{123}" or "{123+}"), or -1.
long long AnnouncedLiteral(std::string_view line) {
  if (line.empty() || line.back() != '}')
    return -1;
  line.remove_suffix(1);
  if (!line.empty() && line.back() == '+')
    line.remove_suffix(1);
  long long value = 0;
  std::size_t digits = 0;
  while (!line.empty() && line.back() >= '0' && line.back() <= '9') {
    if (digits == 12)
      return -2;  // absurdly long; reported as too long
    ++digits;
    line.remove_suffix(1);
  }
  if (digits == 0 || line.empty() || line.back() != '{')
    return -1;
  const std::string_view number = std::string_view(line.data() + line.size(), digits);
  for (const char c : number)
    value = value * 10 + (c - '0');
  return value;
}

// The longest SASL error challenge kept for the failure text.
constexpr std::size_t kLongestChallenge = 4096;

// A user name or token that would break a SASL message apart.
bool HasSaslSeparators(std::string_view text) {
  return std::any_of(text.begin(), text.end(),
                     [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7F; });
}

// The OAUTHBEARER client message (RFC 7628, 3.1): the GS2 header with the authorisation
// identity ("," and "=" escaped as RFC 5801 asks), then host, port and the bearer token.
std::string OAuthBearerMessage(std::string_view user, std::string_view host, uint16_t port,
                               std::string_view token) {
  std::string message = "n,a=";
  for (const char c : user) {
    if (c == ',')
      message += "=2C";
    else if (c == '=')
      message += "=3D";
    else
      message += c;
  }
  message += ",\x01host=" + std::string(host) + "\x01port=" + std::to_string(port) +
             "\x01"
             "auth=Bearer " +
             std::string(token) + "\x01\x01";
  return message;
}

// A string (or bare) member of the JSON object of a SASL error challenge, as printable
// ASCII; "" when it is not there or the text is not such an object. Only the top level of a
// flat object is read: nested values are skipped over by their brackets.
std::string ChallengeMember(std::string_view json, std::string_view name) {
  std::size_t at = 0;
  const auto skipSpace = [&] {
    while (at < json.size() &&
           (json[at] == ' ' || json[at] == '\t' || json[at] == '\r' || json[at] == '\n'))
      ++at;
  };
  // A JSON string at `at` (which holds the opening quote); false when it is cut short.
  const auto readString = [&](std::string& text) {
    ++at;
    while (at < json.size() && json[at] != '"') {
      char c = json[at++];
      if (c == '\\') {
        if (at >= json.size())
          return false;
        c = json[at++];
        if (c == 'u') {
          if (at + 4 > json.size())
            return false;
          at += 4;
          c = '?';  // the members read here are ASCII words
        } else if (c != '"' && c != '\\' && c != '/') {
          c = '?';
        }
      }
      text += (static_cast<unsigned char>(c) >= 0x20 && c != 0x7F) ? c : '?';
      if (text.size() > 200)
        return false;
    }
    if (at >= json.size())
      return false;
    ++at;
    return true;
  };
  skipSpace();
  if (at >= json.size() || json[at] != '{')
    return {};
  ++at;
  for (;;) {
    skipSpace();
    if (at >= json.size() || json[at] != '"')
      return {};
    std::string key;
    if (!readString(key))
      return {};
    skipSpace();
    if (at >= json.size() || json[at] != ':')
      return {};
    ++at;
    skipSpace();
    if (at >= json.size())
      return {};
    std::string value;
    if (json[at] == '"') {
      if (!readString(value))
        return {};
    } else {
      int depth = 0;
      while (at < json.size() && (depth > 0 || (json[at] != ',' && json[at] != '}'))) {
        if (json[at] == '"') {
          std::string ignored;
          if (!readString(ignored))
            return {};
          continue;
        }
        if (json[at] == '{' || json[at] == '[')
          ++depth;
        else if (json[at] == '}' || json[at] == ']')
          --depth;
        if (depth == 0 && json[at] != ' ' && value.size() < 200)
          value += json[at];
        ++at;
      }
    }
    if (key == name)
      return value;
    skipSpace();
    if (at >= json.size() || json[at] != ',')
      return {};
    ++at;
  }
}

// A host name or address of this machine as written in the URL; a redirected name does not
// count, so the decision does not rest on the redirection table alone.
bool IsLoopbackHost(std::string_view host) {
  if (host == "::1" || host == "0:0:0:0:0:0:0:1")
    return true;
  if (host.size() == 9 && StartsWithNoCase(host, "localhost"))
    return true;
  return host.rfind("127.", 0) == 0 &&
         host.find_first_not_of("0123456789.") == std::string_view::npos;
}

}  // namespace

bool ParseImapUrl(std::string_view text, ImapUrl& url) {
  url = ImapUrl();
  const std::size_t schemeEnd = text.find("://");
  if (schemeEnd == std::string_view::npos)
    return false;
  const std::string_view scheme = text.substr(0, schemeEnd);
  if (StartsWithNoCase(scheme, "imaps") && scheme.size() == 5) {
    url.implicitTls = true;
    url.port = 993;
  } else if (StartsWithNoCase(scheme, "imap") && scheme.size() == 4) {
    url.implicitTls = false;
    url.port = 143;
  } else {
    return false;
  }
  std::string_view rest = text.substr(schemeEnd + 3);
  const std::size_t pathStart = rest.find('/');
  std::string_view authority = rest.substr(0, pathStart);
  std::string_view path =
      pathStart == std::string_view::npos ? std::string_view() : rest.substr(pathStart + 1);
  const std::size_t at = authority.rfind('@');
  if (at != std::string_view::npos)
    authority.remove_prefix(at + 1);  // user information in the URL is not used
  std::string_view portText;
  if (!authority.empty() && authority.front() == '[') {
    const std::size_t close = authority.find(']');
    if (close == std::string_view::npos)
      return false;
    url.host = std::string(authority.substr(1, close - 1));
    const std::string_view after = authority.substr(close + 1);
    if (!after.empty()) {
      if (after.front() != ':')
        return false;
      portText = after.substr(1);
    }
  } else {
    const std::size_t colon = authority.find(':');
    url.host = std::string(authority.substr(0, colon));
    if (colon != std::string_view::npos)
      portText = authority.substr(colon + 1);
  }
  if (url.host.empty() || HasControlCharacters(url.host))
    return false;
  if (!portText.empty()) {
    uint32_t port = 0;
    if (portText.size() > 5)
      return false;
    for (const char c : portText) {
      if (c < '0' || c > '9')
        return false;
      port = port * 10 + static_cast<uint32_t>(c - '0');
    }
    if (port == 0 || port > 65535)
      return false;
    url.port = static_cast<uint16_t>(port);
  }
  const std::size_t queryStart = path.find('?');
  std::string_view mailbox = path.substr(0, queryStart);
  const std::string_view query =
      queryStart == std::string_view::npos ? std::string_view() : path.substr(queryStart + 1);
  const std::size_t parameters = mailbox.find(';');
  if (parameters != std::string_view::npos)
    mailbox = mailbox.substr(0, parameters);
  return PercentDecode(mailbox, url.mailbox) && PercentDecode(query, url.query);
}

ImapSession::ImapSession() {
  if (::pipe2(cancelPipe_, O_NONBLOCK | O_CLOEXEC) != 0) {
    cancelPipe_[0] = -1;
    cancelPipe_[1] = -1;
  }
}

ImapSession::~ImapSession() {
  CloseConnection(true);
  if (adoptedSocket_ >= 0)
    ::close(adoptedSocket_);
  ClearCredentials();
  OPENSSL_cleanse(credentialDigest_.data(), credentialDigest_.size());
  for (int& fd : cancelPipe_) {
    if (fd >= 0)
      ::close(fd);
    fd = -1;
  }
}

void ImapSession::ClearCredentials() {
  for (std::string* secret : {&user_, &password_, &accessToken_}) {
    if (!secret->empty())
      OPENSSL_cleanse(secret->data(), secret->size());
    secret->clear();
  }
}

namespace {

// The key of the credential digests: random, made once per process and wiped when the
// library is unloaded. A digest thus says nothing about the credentials outside this process,
// and none can be checked against a list of guessed passwords.
class DigestKey {
 public:
  DigestKey() { valid_ = RAND_bytes(key_.data(), static_cast<int>(key_.size())) == 1; }
  ~DigestKey() { OPENSSL_cleanse(key_.data(), key_.size()); }
  DigestKey(const DigestKey&) = delete;
  DigestKey& operator=(const DigestKey&) = delete;
  bool valid() const { return valid_; }
  const std::array<unsigned char, 32>& key() const { return key_; }

 private:
  std::array<unsigned char, 32> key_{};
  bool valid_ = false;
};

const DigestKey& ProcessDigestKey() {
  static const DigestKey key;
  return key;
}

// HMAC-SHA-256 of the credentials under the process's key; all zero (never taken up) when it
// cannot be made.
std::array<unsigned char, 32> CredentialDigest(std::string_view user, std::string_view password,
                                               std::string_view accessToken) {
  std::array<unsigned char, 32> digest{};
  const DigestKey& key = ProcessDigestKey();
  if (!key.valid())
    return digest;
  std::string material;
  material.reserve(user.size() + password.size() + accessToken.size() + 2);
  material.append(user).append(1, '\0').append(password).append(1, '\0').append(accessToken);
  unsigned int length = 0;
  if (HMAC(EVP_sha256(), key.key().data(), static_cast<int>(key.key().size()),
           reinterpret_cast<const unsigned char*>(material.data()), material.size(), digest.data(),
           &length) == nullptr ||
      length != digest.size()) {
    digest.fill(0);
  }
  OPENSSL_cleanse(material.data(), material.size());
  return digest;
}

}  // namespace

namespace {

// What the verification and the routing of a connection rested on; a connection made under
// other settings is not taken up.
std::string TrustContext() {
  return ConnectToFromEnvironment() + "\n" +
         CertificateAuthorityFingerprint(CertificateAuthorityFiles());
}

int CollectLine(const char* line, void* context) {
  static_cast<std::vector<std::string>*>(context)->emplace_back(line);
  return 0;
}

}  // namespace

bool ImapSession::CanTakeUp(const std::array<unsigned char, 32>& digest) const {
  if (!connected_ || !healthy_ || !stream_.isOpen() || digest != credentialDigest_ ||
      std::all_of(digest.begin(), digest.end(), [](unsigned char b) { return b == 0; })) {
    return false;
  }
  if (parked_ && std::chrono::steady_clock::now() >= keptUntil_)
    return false;
  if (trustContext_ != TrustContext())
    return false;
  // Between commands the server has nothing to say; whatever it sent (a BYE, news, the end
  // of the connection) means the connection is not what it was.
  return input_.empty() && carried_.empty() && !stream_.HasUnreadInput();
}

void ImapSession::Init(std::string_view user, std::string_view password,
                       std::string_view accessToken) {
  const std::lock_guard<std::mutex> guard(lock_);
  const std::array<unsigned char, 32> digest = CredentialDigest(user, password, accessToken);
  if (CanTakeUp(digest)) {
    takenUp_ = true;
  } else {
    CloseConnection(true);
  }
  parked_ = false;
  ClearCredentials();
  user_ = std::string(user);
  password_ = std::string(password);
  accessToken_ = std::string(accessToken);
  credentialDigest_ = digest;
}

void ImapSession::DeInit() {
  const std::lock_guard<std::mutex> guard(lock_);
  if (connected_ && healthy_ && stream_.isOpen() && input_.empty() && carried_.empty()) {
    parked_ = true;
    keptUntil_ = std::chrono::steady_clock::now() + kKeepSessionFor;
  } else {
    CloseConnection(true);
  }
  ClearCredentials();
}

void ImapSession::Close() {
  const std::lock_guard<std::mutex> guard(lock_);
  CloseConnection(true);
  ClearCredentials();
  OPENSSL_cleanse(credentialDigest_.data(), credentialDigest_.size());
}

void ImapSession::Cancel() {
  cancelled_.store(true);
  if (cancelPipe_[1] >= 0) {
    const char signal = 1;
    [[maybe_unused]] const ssize_t written = ::write(cancelPipe_[1], &signal, 1);
  }
}

std::string ImapSession::lastError() const {
  const std::lock_guard<std::mutex> guard(errorLock_);
  return lastError_;
}

void ImapSession::Fail(Run& run, std::string text) {
  run.message = std::move(text);
  const std::lock_guard<std::mutex> guard(errorLock_);
  lastError_ = run.message;
}

void ImapSession::CloseConnection(bool sayGoodbye) {
  if (sayGoodbye && connected_ && stream_.isOpen()) {
    // A courtesy only: the answer is not awaited.
    std::string ignored;
    const std::string logout = NextTag() + " LOGOUT\r\n";
    stream_.Write(logout, std::chrono::steady_clock::now() + kGoodbyeBound, -1, ignored);
  }
  stream_.Close();
  input_.clear();
  carried_.clear();
  connected_ = false;
  healthy_ = false;
  parked_ = false;
  takenUp_ = false;
  connectionKey_.clear();
  selectedMailbox_.clear();
  capabilities_.clear();
  tagNumber_ = 0;
}

std::string ImapSession::NextTag() {
  ++tagNumber_;
  std::string digits = std::to_string(tagNumber_);
  if (digits.size() < 3)
    digits.insert(0, 3 - digits.size(), '0');
  return "A" + digits;
}

int ImapSession::Send(std::string_view text, Run& run) {
  std::string message;
  const int result =
      stream_.Write(text, run.deadline, run.cancellable ? cancelPipe_[0] : -1, message);
  if (result != 0)
    Fail(run, message);
  return result;
}

int ImapSession::ReceiveMore(Run& run) {
  char buffer[16384];
  std::size_t received = 0;
  std::string message;
  const int result = stream_.Read(buffer, sizeof buffer, received, run.deadline,
                                  run.cancellable ? cancelPipe_[0] : -1, message);
  if (result != 0) {
    Fail(run, message);
    return result;
  }
  input_.append(buffer, received);
  return 0;
}

int ImapSession::ReadLine(std::string& line, Run& run) {
  for (;;) {
    const std::size_t end = input_.find('\n');
    if (end != std::string::npos) {
      if (carried_.size() + end + 1 > ZARQUET_MAX_LINE_LENGTH)
        break;
      line = std::move(carried_);
      carried_.clear();
      line.append(input_, 0, end + 1);
      input_.erase(0, end + 1);
      return 0;
    }
    if (carried_.size() + input_.size() > ZARQUET_MAX_LINE_LENGTH)
      break;
    if (const int result = ReceiveMore(run); result != 0)
      return result;
  }
  Fail(run, "the server sent a line longer than the limit");
  return ZARQUET_ERROR_WEIRD_SERVER_REPLY;
}

int ImapSession::ReadLiteral(std::size_t length, Run& run) {
  while (input_.size() < length) {
    if (const int result = ReceiveMore(run); result != 0)
      return result;
  }
  // The literal reaches the callback line by line; a piece without a line end starts the
  // line that follows the literal.
  std::size_t start = 0;
  while (start < length) {
    const std::size_t end = input_.find('\n', start);
    if (end == std::string::npos || end >= length) {
      carried_.assign(input_, start, length - start);
      break;
    }
    const int delivered = Deliver(input_.substr(start, end + 1 - start), run);
    if (delivered != 0)
      return delivered;
    start = end + 1;
  }
  input_.erase(0, length);
  return 0;
}

int ImapSession::Deliver(const std::string& line, Run& run) {
  if (run.callback)
    run.callback(line.c_str(), run.context);
  if (run.cancellable && cancelled_.load()) {
    Fail(run, "cancelled");
    return ZARQUET_ERROR_ABORTED;
  }
  return 0;
}

int ImapSession::ReadResponse(const std::string& tag, Run& run, Completion& completion,
                              const ContinuationHandler& onContinuation) {
  bool continuesLiteral = false;
  std::size_t literalTotal = 0;
  for (;;) {
    std::string line;
    int result = ReadLine(line, run);
    if (result != 0)
      return result;
    result = Deliver(line, run);
    const std::string_view bare = Bare(line);
    const bool statusLine = !continuesLiteral;
    const bool tagged = statusLine && bare.size() > tag.size() &&
                        bare.substr(0, tag.size()) == tag && bare[tag.size()] == ' ';
    if (result != 0 && !tagged) {
      // A cancel that comes with the server's go-ahead must not lose it: ending an IDLE
      // properly depends on knowing that the server is idling.
      if (statusLine && !bare.empty() && bare[0] == '+' && onContinuation)
        onContinuation(line);
      return result;  // a cancel that comes with the command's last line is moot
    }
    continuesLiteral = false;
    const long long literal = AnnouncedLiteral(bare);
    if (literal == -2 || (literal >= 0 && literalTotal + static_cast<std::size_t>(literal) >
                                              ZARQUET_MAX_LITERAL_LENGTH)) {
      Fail(run, "the server announced a literal longer than the limit");
      return ZARQUET_ERROR_WEIRD_SERVER_REPLY;
    }
    if (literal >= 0) {
      literalTotal += static_cast<std::size_t>(literal);
      result = ReadLiteral(static_cast<std::size_t>(literal), run);
      if (result != 0)
        return result;
      continuesLiteral = true;
    }
    if (!statusLine)
      continue;
    literalTotal = 0;
    if (StartsWithNoCase(bare, "* BYE")) {
      healthy_ = false;  // the server is leaving: this connection is not kept
    } else if (StartsWithNoCase(bare, "* CAPABILITY ")) {
      capabilities_ = " ";
      for (const char c : bare.substr(13))
        capabilities_ += ascii_bytes::Upper(c);
      capabilities_ += " ";
    } else if (bare.size() >= 1 && bare[0] == '+') {
      if (onContinuation) {
        result = onContinuation(line);
        if (result != 0)
          return result;
      }
    } else if (tagged) {
      const std::string_view status = bare.substr(tag.size() + 1);
      if (StartsWithNoCase(status, "OK")) {
        completion = Completion::Ok;
      } else if (StartsWithNoCase(status, "NO")) {
        completion = Completion::No;
      } else {
        completion = Completion::Bad;
      }
      return 0;
    }
  }
}

int ImapSession::RunCommand(const std::string& tag, const std::string& command, Run& run,
                            Completion& completion, const ContinuationHandler& onContinuation) {
  const int result = Send(tag + " " + command + "\r\n", run);
  if (result != 0)
    return result;
  return ReadResponse(tag, run, completion, onContinuation);
}

void ImapSession::AdoptConnection(int socket) {
  const std::lock_guard<std::mutex> guard(lock_);
  if (adoptedSocket_ >= 0)
    ::close(adoptedSocket_);
  adoptedSocket_ = socket;
}

int ImapSession::OpenConnection(const ImapUrl& url, Run& run) {
  CloseConnection(true);
  std::string message;
  int result = 0;
  if (adoptedSocket_ >= 0) {
    stream_.Adopt(adoptedSocket_);
    adoptedSocket_ = -1;
  } else {
    result = stream_.Connect(url.host, url.port, run.deadline, cancelPipe_[0], message);
  }
  if (result == 0 && url.implicitTls) {
    result = stream_.StartTls(url.host, run.deadline, cancelPipe_[0], message);
    if (result == ZARQUET_ERROR_SSL_CONNECT) {
      // Typically a plain port: its server greets in clear text and upgrades with STARTTLS.
      const std::string port = std::to_string(url.port);
      message += " (if port " + port +
                 " is a plain port that offers STARTTLS, write the server as imap://" + url.host +
                 ":" + port + ")";
    }
  }
  if (result != 0) {
    Fail(run, message);
    return result;
  }
  std::string greeting;
  result = ReadLine(greeting, run);
  if (result == 0)
    result = Deliver(greeting, run);
  if (result != 0)
    return result;
  const std::string_view greetingText = Bare(greeting);
  const bool preauthenticated = StartsWithNoCase(greetingText, "* PREAUTH");
  if (!preauthenticated && !StartsWithNoCase(greetingText, "* OK")) {
    Fail(run, "the server did not greet: " + std::string(greetingText.substr(0, 200)));
    return ZARQUET_ERROR_WEIRD_SERVER_REPLY;
  }
  const bool localPeer = IsLoopbackHost(url.host) && stream_.peerIsLoopback();
  if (preauthenticated && !stream_.isEncrypted() && !localPeer) {
    // PREAUTH puts the connection in the authenticated state, where STARTTLS is no longer
    // allowed: a man in the middle could use it to keep the session unencrypted and hand out
    // mail of his own. Only this machine may skip the login in clear text.
    Fail(run, "refusing the unencrypted pre-authenticated connection of " + url.host);
    return ZARQUET_ERROR_USE_SSL_FAILED;
  }
  Completion completion = Completion::Bad;
  result = RunCommand(NextTag(), "CAPABILITY", run, completion);
  if (result != 0)
    return result;
  if (completion != Completion::Ok) {
    Fail(run, "the server refused CAPABILITY");
    return ZARQUET_ERROR_WEIRD_SERVER_REPLY;
  }
  if (!stream_.isEncrypted() && !preauthenticated) {
    // STARTTLS and the capabilities after it carry tags of their own, so that the login stays
    // A002 whether or not the connection was upgraded.
    if (capabilities_.find(" STARTTLS ") != std::string::npos) {
      result = RunCommand("S001", "STARTTLS", run, completion);
      if (result != 0)
        return result;
      if (completion != Completion::Ok) {
        Fail(run, "the server refused STARTTLS");
        return ZARQUET_ERROR_USE_SSL_FAILED;
      }
      if (!input_.empty()) {
        Fail(run, "the server sent data before the TLS handshake");
        return ZARQUET_ERROR_WEIRD_SERVER_REPLY;
      }
      result = stream_.StartTls(url.host, run.deadline, cancelPipe_[0], message);
      if (result != 0) {
        Fail(run, message);
        return result;
      }
      capabilities_.clear();
      result = RunCommand("S002", "CAPABILITY", run, completion);
      if (result != 0)
        return result;
    } else if (!localPeer) {
      Fail(run, "refusing to send credentials to " + url.host +
                    " over an unencrypted connection (the server offers no STARTTLS)");
      return ZARQUET_ERROR_USE_SSL_FAILED;
    }
  }
  if (!preauthenticated) {
    result = Authenticate(url, run);
    if (result != 0)
      return result;
  } else {
    ++tagNumber_;  // the login's tag stays unused
  }
  connected_ = true;
  healthy_ = true;
  trustContext_ = TrustContext();
  connectionKey_ =
      (url.implicitTls ? "imaps://" : "imap://") + url.host + ":" + std::to_string(url.port);
  return 0;
}

int ImapSession::Resume(Run& run) {
  takenUp_ = false;
  tagNumber_ = 0;
  capabilities_.clear();
  selectedMailbox_.clear();  // selected again, so the mailbox's state is fresh
  // The answer is held back until it has proved ordinary: anything but the capabilities and
  // the tagged OK (a BYE that came after Init looked) and the caller gets a fresh connection
  // instead, without having seen a line of this one.
  std::vector<std::string> lines;
  Run probe;
  probe.deadline = run.deadline;
  probe.callback = CollectLine;
  probe.context = &lines;
  Completion completion = Completion::Bad;
  const int result = RunCommand(NextTag(), "CAPABILITY", probe, completion);
  if (result == ZARQUET_ERROR_ABORTED) {
    Fail(run, probe.message);
    return result;
  }
  bool ordinary = result == 0 && completion == Completion::Ok && healthy_;
  for (const std::string& line : lines) {
    const std::string_view bare = Bare(line);
    if (!StartsWithNoCase(bare, "* CAPABILITY ") && !StartsWithNoCase(bare, "A001 OK"))
      ordinary = false;
  }
  if (!ordinary)
    return kResumeFailed;
  for (const std::string& line : lines) {
    if (const int delivered = Deliver(line, run); delivered != 0)
      return delivered;
  }
  ++tagNumber_;  // the login's tag stays unused, as after PREAUTH
  return 0;
}

int ImapSession::Authenticate(const ImapUrl& url, Run& run) {
  const std::string tag = NextTag();
  const bool initialResponse = capabilities_.find(" SASL-IR ") != std::string::npos;
  std::string mechanism;
  std::string payload;
  // What a mechanism sends after an error challenge to end the exchange: XOAUTH2 an empty
  // response, OAUTHBEARER the dummy "\x01" (RFC 7628, 3.2.3), both Base64 as IMAP wants them.
  std::string endOfError = "\r\n";
  if (!accessToken_.empty()) {
    if (HasSaslSeparators(user_) || HasSaslSeparators(accessToken_)) {
      Fail(run, "the user name or access token holds a control character");
      return ZARQUET_ERROR_LOGIN_DENIED;
    }
    // OAUTHBEARER only for a server that offers it and not XOAUTH2: XOAUTH2 is what the big
    // providers announce, and what a server that lists neither most likely takes.
    const bool bearer = capabilities_.find(" AUTH=OAUTHBEARER ") != std::string::npos &&
                        capabilities_.find(" AUTH=XOAUTH2 ") == std::string::npos;
    if (bearer) {
      mechanism = "OAUTHBEARER";
      payload = EncodeBase64(OAuthBearerMessage(user_, url.host, url.port, accessToken_));
      endOfError = EncodeBase64("\x01") + "\r\n";
    } else {
      mechanism = "XOAUTH2";
      payload = EncodeBase64("user=" + user_ + "\x01" + "auth=Bearer " + accessToken_ + "\x01\x01");
    }
  } else if (capabilities_.find(" AUTH=PLAIN ") != std::string::npos) {
    mechanism = "PLAIN";
    payload = EncodeBase64(std::string(1, '\0') + user_ + std::string(1, '\0') + password_);
  }
  Completion completion = Completion::Bad;
  int result = 0;
  std::string challenge;  // the server's error report, decoded
  if (mechanism.empty()) {
    if (HasControlCharacters(user_) || HasControlCharacters(password_)) {
      Fail(run, "the user name or password holds a line break");
      return ZARQUET_ERROR_LOGIN_DENIED;
    }
    result = RunCommand(tag, "LOGIN " + Quoted(user_) + " " + Quoted(password_), run, completion);
  } else {
    bool payloadSent = initialResponse;
    const ContinuationHandler answer = [&](const std::string& line) {
      // The first challenge asks for the credentials; any further one is an error report,
      // answered so that the server ends the exchange with its refusal.
      if (payloadSent) {
        if (challenge.empty())
          challenge = DecodeBase64(Bare(line).substr(1)).substr(0, kLongestChallenge);
        return Send(endOfError, run);
      }
      payloadSent = true;
      return Send(payload + "\r\n", run);
    };
    std::string command = "AUTHENTICATE " + mechanism;
    if (initialResponse)
      command += " " + payload;
    result = RunCommand(tag, command, run, completion, answer);
    OPENSSL_cleanse(payload.data(), payload.size());
    OPENSSL_cleanse(command.data(), command.size());
  }
  if (result != 0)
    return result;
  if (completion != Completion::Ok) {
    std::string reason = "the server refused the login";
    if (!mechanism.empty() && mechanism != "PLAIN") {
      reason = "the server refused the access token (" + mechanism;
      const std::string status = ChallengeMember(challenge, "status");
      if (!status.empty())
        reason += ", status " + status;
      const std::string scope = ChallengeMember(challenge, "scope");
      if (!scope.empty())
        reason += ", scope " + scope;
      reason += ")";
    }
    Fail(run, reason);
    return ZARQUET_ERROR_LOGIN_DENIED;
  }
  return 0;
}

int ImapSession::RunIdle(const std::string& tag, Run& run, Completion& completion) {
  bool idling = false;
  const int result = RunCommand(tag, "IDLE", run, completion, [&](const std::string&) {
    idling = true;
    return 0;
  });
  if (result == 0)
    return result;
  if (result != ZARQUET_ERROR_ABORTED && result != ZARQUET_ERROR_OPERATION_TIMEDOUT) {
    CloseConnection(false);
    return result;
  }
  // Leave IDLE properly so the connection stays usable: DONE once the server has confirmed
  // the IDLE (at once when it has), then its tagged answer. These lines are not handed on.
  const std::string reason = run.message;
  Run ending;
  ending.deadline = std::chrono::steady_clock::now() + kShutdownBound;
  ending.cancellable = false;
  cancelled_.store(false);
  char drain[64];
  while (::read(cancelPipe_[0], drain, sizeof drain) > 0) {
  }
  Completion ended = Completion::Bad;
  const ContinuationHandler sendDone = [&](const std::string&) { return Send("DONE\r\n", ending); };
  if ((idling && Send("DONE\r\n", ending) != 0) ||
      ReadResponse(tag, ending, ended, idling ? nullptr : sendDone) != 0 ||
      ended != Completion::Ok) {
    CloseConnection(false);
  }
  Fail(run, reason);
  return result;
}

int ImapSession::Execute(const char* urlText, const char* commandText,
                         Zarquet_LineCallback callback, void* context, uint32_t timeoutMs) {
  const std::lock_guard<std::mutex> guard(lock_);
  cancelled_.store(false);
  char drain[64];
  while (cancelPipe_[0] >= 0 && ::read(cancelPipe_[0], drain, sizeof drain) > 0) {
  }
  Run run;
  run.deadline = std::chrono::steady_clock::now() +
                 std::chrono::milliseconds(timeoutMs != 0 ? timeoutMs : ZARQUET_DEFAULT_TIMEOUT_MS);
  run.callback = callback;
  run.context = context;
  {
    const std::lock_guard<std::mutex> errorGuard(errorLock_);
    lastError_.clear();
  }
  const std::string command = commandText ? commandText : "";
  if (HasControlCharacters(command)) {
    Fail(run, "the command holds a line break");
    return ZARQUET_ERROR_URL_MALFORMAT;
  }
  int result = 0;
  Completion completion = Completion::Ok;
  std::string failure;
  ImapUrl url;
  if (urlText && *urlText) {
    if (!ParseImapUrl(urlText, url)) {
      Fail(run, std::string("not an IMAP URL: ") + urlText);
      return ZARQUET_ERROR_URL_MALFORMAT;
    }
    const std::string key =
        (url.implicitTls ? "imaps://" : "imap://") + url.host + ":" + std::to_string(url.port);
    if (!connected_ || key != connectionKey_) {
      result = OpenConnection(url, run);
    } else if (takenUp_) {
      result = Resume(run);
      if (result == kResumeFailed)
        result = OpenConnection(url, run);
    }
    if (result == 0 && !url.mailbox.empty() && url.mailbox != selectedMailbox_) {
      selectedMailbox_.clear();
      result = RunCommand(NextTag(), "SELECT " + Quoted(url.mailbox), run, completion);
      if (result == 0 && completion != Completion::Ok) {
        healthy_ = false;
        Fail(run, "the server could not select " + url.mailbox);
        return ZARQUET_ERROR_REMOTE_FILE_NOT_FOUND;
      }
      if (result == 0)
        selectedMailbox_ = url.mailbox;
    }
    if (result == 0 && command.empty() && !url.query.empty()) {
      result = RunCommand(NextTag(), "SEARCH " + url.query, run, completion);
      failure = "the server refused the search";
    }
  } else if (!connected_) {
    Fail(run, "no open connection for the command");
    return ZARQUET_ERROR_FAILED_INIT;
  }
  if (result == 0 && !command.empty()) {
    const std::string tag = NextTag();
    if (StartsWithNoCase(command, "IDLE") && command.size() == 4) {
      result = RunIdle(tag, run, completion);
    } else {
      result = RunCommand(tag, command, run, completion);
    }
    failure = "the server refused " + command.substr(0, command.find(' '));
  }
  if (result != 0) {
    // Cut off in the middle of an exchange, the connection's state is unknown; only an IDLE
    // that was ended properly keeps its connection.
    const bool idleEnded =
        StartsWithNoCase(command, "IDLE") && command.size() == 4 &&
        (result == ZARQUET_ERROR_ABORTED || result == ZARQUET_ERROR_OPERATION_TIMEDOUT);
    if (!idleEnded)
      CloseConnection(false);
    if (run.message.empty())
      Fail(run, "the command failed");
    return result;
  }
  if (completion != Completion::Ok) {
    healthy_ = false;  // usable for this session still, but not kept beyond it
    Fail(run, failure);
    return ZARQUET_ERROR_QUOTE_ERROR;
  }
  return 0;
}

}  // namespace tarvel::zarquet
