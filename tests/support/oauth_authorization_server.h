#pragma once

#include <sys/types.h>

#include <string>

namespace tarvel::testing {

// A real OAuth2 authorisation server for tests: node with npm oidc-provider (from the cache
// folder the test fixture "oauth_provider_install" fills in the build tree) running
// tests/support/oauth_provider.mjs over HTTPS on 127.0.0.1, with its own CA and a certificate
// for the providers' hosts and 127.0.0.1 (TARVEL_TEST_PROVIDER picks whose paths and issuer
// it takes; Microsoft's by default). Access tokens live
// `accessTokenSeconds`.
class OAuthAuthorizationServer {
 public:
  OAuthAuthorizationServer() = default;
  ~OAuthAuthorizationServer();
  OAuthAuthorizationServer(const OAuthAuthorizationServer&) = delete;
  OAuthAuthorizationServer& operator=(const OAuthAuthorizationServer&) = delete;

  // Makes the certificates in `folder`, starts the server and waits until it listens.
  bool Start(const std::string& folder, int accessTokenSeconds);
  int port() const { return port_; }
  std::string caFile() const { return folder_ + "/ca.pem"; }
  std::string log() const;
  // Writes the settings of Dovecot's oauth2 passdb (token introspection at this server) to
  // `path`, for TARVEL_TEST_OAUTH2_CONF.
  bool WriteDovecotSettings(const std::string& path) const;

 private:
  std::string folder_;
  pid_t pid_ = -1;
  int port_ = 0;
};

}  // namespace tarvel::testing
