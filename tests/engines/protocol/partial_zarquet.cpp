// A transport library with only some of the exports, for the engine's missing-export case.
#include <cstdint>

extern "C" {
__attribute__((visibility("default"))) int32_t Zarquet_IMAP_Init(const char*, const char*,
                                                                 const char*) {
  return 1;
}
__attribute__((visibility("default"))) int32_t Zarquet_IMAP_DeInit(void) {
  return 1;
}
// Zarquet_IMAP_ExecuteCommand and Zarquet_Cancel are missing.
}
