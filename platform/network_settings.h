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
// `connect`, when no byte arrives for `stall`, or when the whole request (redirects included)
// has taken `total`; also when a caller asks for no time-out. Of `connect`, an address that
// does not answer gets half of what is left when further addresses of the host follow, and
// the other address family is tried after a short head start, so a dead route (an IPv6
// address without IPv6 connectivity) does not use up the time before a working one is tried.
struct NetworkTimeouts {
  std::chrono::milliseconds connect;
  std::chrono::milliseconds stall;
  std::chrono::milliseconds total = std::chrono::minutes(3);
};
inline constexpr NetworkTimeouts kDefaultNetworkTimeouts{
    std::chrono::seconds(30), std::chrono::seconds(60), std::chrono::minutes(3)};
// A caller's own time-out is the total of its request, honoured up to this much; its
// connect and stall time-outs are the defaults, or the caller's time-out when that is shorter.
inline constexpr std::chrono::milliseconds kLongestCallerTimeout = std::chrono::minutes(5);
// The head start of the preferred address family before the other one is tried too.
inline constexpr std::chrono::milliseconds kAddressFamilyHeadStart = std::chrono::milliseconds(200);

NetworkTimeouts CurrentNetworkTimeouts();
// Replaces the defaults for the whole process (tests shorten them).
void SetNetworkTimeouts(NetworkTimeouts timeouts);

}  // namespace tarvel
