#pragma once

namespace tarvel {

class ImapEngine;

// Renews the OAuth2 access token of an IMAP account from its stored refresh token. Success
// shows in the engine's accessToken; a failure leaves it empty.
class AccessTokenRefresher {
 public:
  virtual ~AccessTokenRefresher() = default;
  virtual void RefreshAccessToken(ImapEngine& engine) = 0;
};

}  // namespace tarvel
