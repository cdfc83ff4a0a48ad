// A Notes proxy library without Brindle_GetIdDetails, for the engine's missing-export case.
#include <cstdint>

extern "C" {
__attribute__((visibility("default"))) int32_t Brindle_Init() {
  return 1;
}
__attribute__((visibility("default"))) int32_t Brindle_DeInit() {
  return 1;
}
__attribute__((visibility("default"))) int32_t Brindle_DataBaseOpen() {
  return 1;
}
__attribute__((visibility("default"))) int32_t Brindle_DataBaseClose() {
  return 1;
}
__attribute__((visibility("default"))) int32_t Brindle_GetUnreadIds(const char*, void*, void*) {
  return 1;
}
}
