#pragma once

namespace tarvel {

class MailEngine;

// Opens an account's mail for the user: its web mail page or its mail program.
class ReaderLauncher {
 public:
  virtual ~ReaderLauncher() = default;
  virtual bool OpenReader(const MailEngine& engine) = 0;
};

}  // namespace tarvel
