#pragma once

#include <cstdint>
#include <functional>
#include <string_view>

#include "platform/text.h"

namespace tarvel {

// The name of an account type in the file names of per-account sounds, chosen by the lowest
// set bit of `typeBits`; empty when none of the account types' bits is set.
std::u16string_view SoundNameForType(uint32_t typeBits);

// The per-account sound file: `soundPath` without its extension (up to four characters with
// the dot), then `accountName`, then the extension. "/s/Ping.wav" and "GMail" give
// "/s/PingGMail.wav"; "/s/Ping" gives "/s/PingGMail".
Text PerAccountSoundPath(const Text& soundPath, std::u16string_view accountName);

// Whether a path names an existing file that is not a directory.
using PlainFileTest = std::function<bool(const Text& path)>;

// The file to play for new mail of the type `typeBits`: the per-account file when it exists,
// otherwise `soundPath`; empty when `soundPath` is empty (no sound).
Text ChooseNewMailSound(const Text& soundPath, uint32_t typeBits, const PlainFileTest& isPlainFile);

// The test on the real file system.
bool IsPlainFile(const Text& path);

}  // namespace tarvel
