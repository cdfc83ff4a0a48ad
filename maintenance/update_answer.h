#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/text.h"

namespace tarvel {

// A version as the update service compares it: major and minor number.
struct UpdateVersion {
  unsigned major = 0;
  unsigned minor = 0;
};

// Reads "major.minor" (two decimal numbers; anything after a further "." is ignored, so
// "1.2.3" is 1.2). None for any other text or a number above 2^31.
std::optional<UpdateVersion> ParseUpdateVersion(std::u16string_view text);
// Greater major, or the same major and a greater minor.
bool IsNewerVersion(const UpdateVersion& offered, const UpdateVersion& running);

// The address of the check: the update address, "?" (or "&" when it already has a query),
// then "v=<version>&id=<identifier>".
Text UpdateRequestUrl(const Text& updateUrl, const Text& version, const Text& identifier);

// One "url" element of the answer's file list.
struct UpdateFile {
  Text url;   // the element's text; only https addresses are fetched
  Text name;  // a file of the program folder replaced by the download; empty: an installer
  Text zip;   // a .tar.gz archive of files relative to the copy's folder, unpacked over it
  std::optional<uint64_t> size;  // the download's length in bytes
  std::string sha256;            // its SHA-256, 64 lower-case hex digits; empty when absent
};

// What the answer offers, with the texts in the user's language.
struct UpdateOffer {
  Text caption;  // update\application
  Text info;     // update\info\<language>, else update\info\en
  Text help;     // update\help
  Text versionText;
  UpdateVersion version;
  std::vector<UpdateFile> files;  // update\files\url, in document order
  Text execute;                   // update\files\execute
  bool hasRestart = false;        // update\restart\<language> or \en exists
  Text restart;
};

// Reads the service's answer. False when it is not XML, has no information text in the
// language or in English, or no valid version. The file list is read as it is; whether it
// can be installed is the installer's decision.
bool ParseUpdateAnswer(const Text& answer, std::u16string_view language, UpdateOffer* offer);

// The two-letter language code of the user's messages locale (LC_ALL, LC_MESSAGES, LANG):
// "de" for "de_DE.UTF-8"; "en" when none names a language.
Text UserLanguageCode();

// A stable identifier of this installation in the form "XXXX-XXXX-XXXX-XXXX": derived by
// SHA-256 from the machine identity and the folder of the copy, so the machine's own id is
// never sent.
Text InstallationIdentifier(const std::string& machineIdFile, const std::string& copyFolder);

}  // namespace tarvel
