#pragma once

// The call contract of the Notes proxy library (libbrindle.so): C exports taking their
// arguments by value, narrow zero-terminated text in the system code page (UTF-8).
//
//   Brindle_Init()                           nonzero when the Notes runtime is ready
//   Brindle_DeInit()                         ends the Notes runtime
//   Brindle_DataBaseOpen()                   nonzero when the user's mail database is open
//   Brindle_DataBaseClose()                  closes it
//   Brindle_GetUnreadIds(folder, cb, ctx)    cb(id, ctx) per unread document of the folder
//                                            (null: all folders); 1 on success
//   Brindle_GetIdDetails(id, fields)         nonzero when the three fields (subject, sender,
//                                            date) of 1,024 bytes each are filled
//   Brindle_SetPasswordPrompt(handler, ctx)  optional: the handler of the client's password
//                                            prompt while a database open runs (null: none)
//
// The password prompt handler stands in for a hook on the client's prompt window: the library
// calls it on the thread of Brindle_DataBaseOpen when its prompt appears (kPromptShown; the
// handler may write a password into the buffer and answer 1 to submit it, 0 leaves the prompt
// to the user) and when the prompt closes (kPromptClosed; the buffer holds what was entered).

#include <cstdint>

namespace tarvel::brindle {

inline constexpr int kPromptShown = 1;
inline constexpr int kPromptClosed = 2;
inline constexpr uint32_t kFieldSize = 1024;
inline constexpr int kFieldCount = 3;

using UnreadCallback = void (*)(uint32_t id, void* context);
using PromptHandler = int (*)(int event, char* buffer, uint32_t size, void* context);

using InitFunction = int32_t (*)();
using DeInitFunction = int32_t (*)();
using DataBaseOpenFunction = int32_t (*)();
using DataBaseCloseFunction = int32_t (*)();
using GetUnreadIdsFunction = int32_t (*)(const char* folder, UnreadCallback callback,
                                         void* context);
using GetIdDetailsFunction = int32_t (*)(uint32_t id, char (*fields)[kFieldSize]);
using SetPasswordPromptFunction = void (*)(PromptHandler handler, void* context);

}  // namespace tarvel::brindle
