#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tarvel::zarquet {

// Where a connection to host:port really goes. The redirect table has the form of libcurl's
// CONNECT_TO entries, "HOST:PORT:CONNECT-HOST:CONNECT-PORT" separated by ";"; an empty HOST or
// PORT matches any, an empty CONNECT-HOST or CONNECT-PORT keeps the original. IPv6 addresses
// are written in brackets. The first matching entry wins.
struct ConnectTarget {
  std::string host;
  uint16_t port = 0;
};
ConnectTarget ResolveConnectTarget(std::string_view redirects, std::string_view host,
                                   uint16_t port);

// The redirect table of the environment (TARVEL_CONNECT_TO), empty when unset.
std::string ConnectToFromEnvironment();

// The extra CA files trusted besides the system store, as the HTTP client trusts them: the
// one handed over through the library's export (the program's CertificateAuthorityFile
// setting) and the one of TARVEL_CA_FILE; both when both are given.
void SetCertificateAuthorityFile(std::string_view path);
std::vector<std::string> CertificateAuthorityFiles();

// What the extra CA files hold: each file's name with the SHA-256 of its content (or a mark
// for one that cannot be read). A file changed under the same name gives another text, so a
// connection or a TLS context built on the old content is not reused.
std::string CertificateAuthorityFingerprint(const std::vector<std::string>& files);

}  // namespace tarvel::zarquet
