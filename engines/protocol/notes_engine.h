#pragma once

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "accounts/mail_engine.h"
#include "engines/protocol/brindle_calls.h"
#include "engines/protocol/runtime_library.h"

namespace tarvel {

class DiagnosticTrace;
class MainThreadRelay;
class SettingsStore;

// The proxy library tried when the environment names none, and the variable that names
// another one (a path, or a name looked up like the default).
inline constexpr std::string_view kBrindleLibraryName = "libbrindle.so";
inline constexpr char kBrindleLibraryVariable[] = "TARVEL_BRINDLE_LIBRARY";

// The Notes proxy library, loaded and initialised when the engine is built and ended when it
// goes. It counts as loaded only when all six entry points are there and its initialisation
// succeeded.
class BrindleLibrary {
 public:
  explicit BrindleLibrary(const std::string& location);
  ~BrindleLibrary();
  BrindleLibrary(const BrindleLibrary&) = delete;
  BrindleLibrary& operator=(const BrindleLibrary&) = delete;

  bool isLoaded() const { return loaded_; }
  // What is missing, for the user and the trace; "" when the library is loaded.
  const std::string& missing() const { return missing_; }

  bool DataBaseOpen() const;
  void DataBaseClose() const;
  bool GetUnreadIds(const char* folder, brindle::UnreadCallback callback, void* context) const;
  bool GetIdDetails(uint32_t id, char (*fields)[brindle::kFieldSize]) const;
  // False when the library takes no prompt handler.
  bool SetPasswordPrompt(brindle::PromptHandler handler, void* context) const;

 private:
  void Unload();

  RuntimeLibrary library_;
  bool loaded_ = false;
  std::string missing_;
  brindle::InitFunction init_ = nullptr;
  brindle::DeInitFunction deInit_ = nullptr;
  brindle::DataBaseOpenFunction dataBaseOpen_ = nullptr;
  brindle::DataBaseCloseFunction dataBaseClose_ = nullptr;
  brindle::GetUnreadIdsFunction getUnreadIds_ = nullptr;
  brindle::GetIdDetailsFunction getIdDetails_ = nullptr;
  brindle::SetPasswordPromptFunction setPasswordPrompt_ = nullptr;
};

// The name of a Notes sender field: the common name of a hierarchical name ("CN=Ann
// Archer/O=Acme"), else the first quoted text, else the whole field.
Text NotesSenderName(const Text& field);

// The folders of NotesFolderList besides the inbox (blanks, ",", ";" and tabs separate them;
// quoted names stay whole).
std::vector<std::string> NotesFolders(const Text& folderList);

// The account type of the local Notes client: the unread documents of the mail database's
// inbox and chosen folders (or of all folders), read through the proxy library. The library
// and the client's password prompt live on the main thread, so a check posts its request to
// the main window (the Notes request message) and waits for the answer there; the main
// thread runs the request between its other events and never waits for the check thread.
class NotesEngine : public MailEngine {
 public:
  // At most this many documents become records in one check.
  static constexpr std::size_t kMostRecords = 10000;
  // The longest password taken from the prompt.
  static constexpr std::size_t kLongestPassword = 126;

  struct Services {
    SettingsStore* settings = nullptr;      // NotesFolderList and the protected NotesPassword
    MainThreadRelay* mainThread = nullptr;  // null: the request runs on the checking thread
    DiagnosticTrace* trace = nullptr;
    std::string libraryLocation;  // empty: TARVEL_BRINDLE_LIBRARY, else kBrindleLibraryName
  };

  NotesEngine(const AccountTypeInfo& type, Services services);
  ~NotesEngine() override;

  void LoadSettings(const SettingsStore& store) override;
  CheckStatus Check() override;
  Text GetDisplayName() const override;

  const BrindleLibrary& library() const { return *library_; }

  // Runs a posted request on the main thread: `wParam` and `lParam` as posted. Returns the
  // check's result (0 success, 1 failure); a request no check waits for any more is dropped.
  static intptr_t RunPostedRequest(uintptr_t wParam, intptr_t lParam);

 private:
  struct Found {
    Text sender;
    Text subject;
    Text date;
  };

  // The check's steps with the library, on the main thread.
  int RunRequest(std::vector<Found>& found);
  static void OnUnreadDocument(uint32_t id, void* context);
  static int OnPasswordPrompt(int event, char* buffer, uint32_t size, void* context);

  Services services_;
  std::unique_ptr<BrindleLibrary> library_;
  bool missingReported_ = false;

  // Settings and the remembered password: loaded and learnt on the main thread.
  std::mutex settingsMutex_;
  Text folderList_;
  std::string rememberedPassword_;
  int automaticEntries_ = 0;
  std::vector<Found>* collecting_ = nullptr;

  // The request in flight: its number, and its answer once the main thread gave it.
  std::mutex requestMutex_;
  std::condition_variable answered_;
  uint64_t pendingRequest_ = 0;
  uint64_t lastRequest_ = 0;
  bool requestDone_ = false;
  int requestResult_ = 1;
  std::vector<Found> requestFound_;
};

}  // namespace tarvel
