// A MAPI provider without MAPILogonEx, for the engine's missing-entry-point case.
#include "engines/protocol/mapi_interfaces.h"

using namespace tarvel::mapi;

extern "C" {
__attribute__((visibility("default"))) HRESULT MAPIInitialize(void*) {
  return kOk;
}
__attribute__((visibility("default"))) void MAPIUninitialize() {}
__attribute__((visibility("default"))) void FreeProws(RowSet*) {}
__attribute__((visibility("default"))) ULONG MAPIFreeBuffer(void*) {
  return 0;
}
}
