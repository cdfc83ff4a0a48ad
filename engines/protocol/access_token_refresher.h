#pragma once

namespace tarvel {

class ImapEngine;

// What a token renewal came to.
enum class TokenStatus {
  Ready = 0,         // the engine holds a fresh access token
  Failed = 1,        // not now (network, server error): the stored sign-in is kept
  SignInNeeded = 2,  // the provider refused the stored sign-in: the user signs in again
};

// Renews the OAuth2 access token of an IMAP account from its stored refresh token.
class AccessTokenRefresher {
 public:
  virtual ~AccessTokenRefresher() = default;
  virtual TokenStatus RefreshAccessToken(ImapEngine& engine) = 0;
};

}  // namespace tarvel
