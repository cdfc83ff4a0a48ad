#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

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

// The extra CA file to trust besides the system store: the one set through the library's
// export, else TARVEL_CA_FILE, else none.
void SetCertificateAuthorityFile(std::string_view path);
std::optional<std::string> CertificateAuthorityFile();

}  // namespace tarvel::zarquet
