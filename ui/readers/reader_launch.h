#pragma once

#include <QObject>
#include <QThreadPool>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "accounts/reader_launcher.h"
#include "ui/readers/browser_tabs.h"
#include "ui/readers/reader_sequence.h"

namespace tarvel {

class AccountTypeList;
class MailEngine;

// Hands an "http", "https" or "mailto" address to the desktop's URL handler (xdg-open).
// False for any other text and when the handler cannot be started.
bool OpenWithDefaultHandler(const std::string& address);
// Starts a program detached from us; a bare name is looked for in PATH.
bool StartReaderProgram(const std::string& program, const std::vector<std::string>& arguments);

// Opens an account's reader on this desktop: its web mail page through the URL handler, or
// its mail program or browser from the desktop entries or the user's own command, reusing an
// open browser tab of the account when there is one. The tab search (calls into other
// programs over the accessibility bus) and the browser's start after it run on a thread of
// the launcher's own, one search at a time, never on the caller's.
class DesktopReaderLauncher : public ReaderLauncher {
 public:
  // The outside effects, replaceable for tests.
  struct Actions {
    std::function<bool(const std::string& address)> openAddress = OpenWithDefaultHandler;
    std::function<bool(const std::string& program, const std::vector<std::string>& arguments)>
        startProgram = StartReaderProgram;
    // Called on the launcher's thread.
    std::function<bool(BrowserKind kind, const Text& titleText)> activateTab;
  };

  DesktopReaderLauncher();
  explicit DesktopReaderLauncher(Actions actions);
  // Waits for a tab search under way (it has a deadline of its own).
  ~DesktopReaderLauncher() override;

  bool OpenReader(const MailEngine& engine) override;
  // Waits until the searches handed to the launcher's thread have ended; for tests.
  bool waitForSearches(int milliseconds) { return searches_.waitForDone(milliseconds); }

 private:
  Actions actions_;
  QThreadPool searches_;
};

// The readers of several account types, opened one second apart on the event loop.
class DesktopReaders : public QObject {
  Q_OBJECT

 public:
  // `accounts` gives the account types once the program has built them (null before).
  DesktopReaders(std::function<AccountTypeList*()> accounts, ReaderLauncher& launcher,
                 QObject* parent = nullptr);

  void OpenReaders(uint32_t typeMask);
  bool waiting() const { return sequence_.waiting(); }

 private:
  std::function<AccountTypeList*()> accounts_;
  ReaderLauncher& launcher_;
  ReaderSequence sequence_;
};

}  // namespace tarvel
