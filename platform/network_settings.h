#pragma once

#include <chrono>
#include <string>
#include <vector>

namespace tarvel {

// Process-wide network settings of the HTTP client: the certificate authorities trusted in
// addition to the system store, and the time-outs that bound every request.
//
// Certificates are always verified. Extra authorities come from the setting
// `CertificateAuthorityFile` (handed over at start with SetExtraCertificateAuthorityFile) and
// from the environment variable TARVEL_CA_FILE; both are trusted when both are given.
void SetExtraCertificateAuthorityFile(std::string path);
std::vector<std::string> ExtraCertificateAuthorityFiles();

// Every request gives up when a connection (TLS handshake included) is not made within
// `connect`, or when no byte arrives for `stall`; also when a caller asks for no time-out.
struct NetworkTimeouts {
  std::chrono::milliseconds connect;
  std::chrono::milliseconds stall;
};
inline constexpr NetworkTimeouts kDefaultNetworkTimeouts{std::chrono::seconds(30),
                                                         std::chrono::seconds(60)};
// A caller's own time-out is honoured up to this much.
inline constexpr std::chrono::milliseconds kLongestCallerTimeout = std::chrono::minutes(5);

NetworkTimeouts CurrentNetworkTimeouts();
// Replaces the defaults for the whole process (tests shorten them).
void SetNetworkTimeouts(NetworkTimeouts timeouts);

}  // namespace tarvel
