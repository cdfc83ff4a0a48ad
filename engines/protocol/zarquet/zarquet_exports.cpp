// The exported C functions of libzarquet (zarquet.h says why it is built as it is). Each
// thread works on the session it selected; one process loads the library once.
#include <array>
#include <cstring>
#include <memory>

#include "engines/protocol/zarquet/imap_session.h"
#include "engines/protocol/zarquet/network_settings.h"
#include "engines/protocol/zarquet/zarquet.h"

namespace {

using tarvel::zarquet::ImapSession;

std::array<ImapSession, ZARQUET_SESSION_COUNT>& Sessions() {
  static std::array<ImapSession, ZARQUET_SESSION_COUNT> sessions;
  return sessions;
}

thread_local uint32_t selectedSession = 0;

ImapSession& Current() {
  return Sessions()[selectedSession];
}

}  // namespace

extern "C" {

int32_t Zarquet_IMAP_Init(const char* user, const char* password, const char* accessToken) {
  Current().Init(user ? user : "", password ? password : "", accessToken ? accessToken : "");
  return 1;
}

int32_t Zarquet_IMAP_DeInit(void) {
  Current().DeInit();
  return 1;
}

int32_t Zarquet_IMAP_Close(void) {
  Current().Close();
  return 1;
}

int32_t Zarquet_IMAP_ExecuteCommand(const char* url, const char* command,
                                    Zarquet_LineCallback callback, void* context,
                                    uint32_t timeoutMs, int32_t* errorCode) {
  const int result = Current().Execute(url, command, callback, context, timeoutMs);
  if (result != 0 && errorCode)
    *errorCode = result;
  return result == 0 ? 1 : 0;
}

int32_t Zarquet_Cancel(void) {
  Current().Cancel();
  return 1;
}

int32_t Zarquet_SelectSession(uint32_t slot) {
  if (slot >= ZARQUET_SESSION_COUNT)
    return 0;
  selectedSession = slot;
  return 1;
}

int32_t Zarquet_SetCertificateAuthorityFile(const char* path) {
  tarvel::zarquet::SetCertificateAuthorityFile(path ? path : "");
  return 1;
}

int32_t Zarquet_GetLastError(char* buffer, uint32_t size) {
  if (!buffer || size == 0)
    return 0;
  const std::string text = Current().lastError();
  const std::size_t length = text.size() < size - 1 ? text.size() : size - 1;
  std::memcpy(buffer, text.data(), length);
  buffer[length] = '\0';
  return 1;
}

}  // extern "C"
