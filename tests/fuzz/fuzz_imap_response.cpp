// The transport's IMAP response reader: the input is everything the server sends, from the
// greeting on, over a socket pair. The session runs a search URL, a FETCH, a LIST and an IDLE
// on it, as the engine does; whatever the bytes, each call must end with a status, and every
// line handed to the callback must be bounded.
#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "engines/protocol/zarquet/imap_session.h"
#include "engines/protocol/zarquet/zarquet.h"

namespace {

struct Seen {
  tarvel::zarquet::ImapSession* session = nullptr;
  std::size_t lines = 0;
};

int OnLine(const char* line, void* context) {
  if (!line)
    std::abort();
  if (std::strlen(line) > ZARQUET_MAX_LINE_LENGTH)
    std::abort();  // the reader never hands on more than its line limit
  auto* seen = static_cast<Seen*>(context);
  ++seen->lines;
  return 0;
}

// The engine's IDLE callback: news ends the IDLE through a cancel from inside the callback.
int CancelOnNews(const char* line, void* context) {
  OnLine(line, context);
  if (std::strstr(line, " EXISTS") || std::strstr(line, " BAD"))
    static_cast<Seen*>(context)->session->Cancel();
  return 0;
}

bool WriteAll(int fd, const std::uint8_t* data, std::size_t size) {
  while (size > 0) {
    const ssize_t written = ::write(fd, data, size);
    if (written <= 0)
      return false;
    data += written;
    size -= static_cast<std::size_t>(written);
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  int pair[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0)
    return 0;
  const int bufferSize = 1 << 20;
  ::setsockopt(pair[1], SOL_SOCKET, SO_SNDBUF, &bufferSize, sizeof bufferSize);
  ::setsockopt(pair[0], SOL_SOCKET, SO_RCVBUF, &bufferSize, sizeof bufferSize);
  // The whole answer is waiting before the client starts; then the server side is closed for
  // writing, so every read past the input ends at once.
  if (!WriteAll(pair[1], data, size)) {
    ::close(pair[0]);
    ::close(pair[1]);
    return 0;
  }
  ::shutdown(pair[1], SHUT_WR);

  tarvel::zarquet::ImapSession session;
  session.Init("tester", "s3cret", "");
  session.AdoptConnection(pair[0]);
  Seen seen;
  seen.session = &session;
  const int codes[] = {
      session.Execute("imap://localhost/INBOX?UNSEEN", nullptr, OnLine, &seen, 2000),
      session.Execute(nullptr, "FETCH 1 (FLAGS BODY.PEEK[HEADER.FIELDS (SUBJECT DATE FROM)])",
                      OnLine, &seen, 2000),
      // Without a URL: a second connection would leave the socket pair.
      session.Execute(nullptr, "LIST \"\" *", OnLine, &seen, 2000),
      session.Execute(nullptr, "IDLE", CancelOnNews, &seen, 50),
  };
  for (const int code : codes) {
    if (code < 0 || code > 99)
      std::abort();
  }
  if (codes[0] == 0 && seen.lines == 0)
    std::abort();  // a search that succeeded has at least its tagged answer
  session.DeInit();
  ::close(pair[1]);
  return 0;
}
