// The local Notes client through its proxy library: per check the mail database is opened
// (answering the client's password prompt with the remembered password once), the unread
// documents of the inbox and the chosen folders are read, and the database is closed.
#include "engines/protocol/notes_engine.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <set>
#include <utility>

#include "accounts/main_thread_relay.h"
#include "accounts/protected_text.h"
#include "accounts/settings_store.h"
#include "maintenance/diagnostic_trace.h"

namespace tarvel {

namespace {

// The folder list that reads every folder through one call.
constexpr std::u16string_view kAllFolders = u"*";
constexpr char kInbox[] = "$Inbox";
// How often a waiting check looks at its stop request.
constexpr auto kWaitSlice = std::chrono::milliseconds(100);

// The engines that exist: a posted request names its engine by address, and one that is gone
// (or a message that names none) is not run.
std::mutex liveEnginesMutex;
std::set<const void*>& LiveEngines() {
  static std::set<const void*> engines;
  return engines;
}

// A field of the library's buffer: up to its size, without trusting the terminator.
std::string_view FieldText(const char* field) {
  return std::string_view(field, ::strnlen(field, brindle::kFieldSize));
}

}  // namespace

BrindleLibrary::BrindleLibrary(const std::string& location) {
  if (!library_.Open(location)) {
    missing_ = location + " (" + library_.failure() + ")";
    return;
  }
  // Resolved in this order; the first one missing unloads the library again.
  const std::pair<void**, const char*> entries[] = {
      {reinterpret_cast<void**>(&init_), "Brindle_Init"},
      {reinterpret_cast<void**>(&deInit_), "Brindle_DeInit"},
      {reinterpret_cast<void**>(&dataBaseOpen_), "Brindle_DataBaseOpen"},
      {reinterpret_cast<void**>(&dataBaseClose_), "Brindle_DataBaseClose"},
      {reinterpret_cast<void**>(&getUnreadIds_), "Brindle_GetUnreadIds"},
      {reinterpret_cast<void**>(&getIdDetails_), "Brindle_GetIdDetails"},
  };
  for (const auto& [slot, name] : entries) {
    *slot = library_.Resolve(name);
    if (!*slot) {
      missing_ = "the entry point " + std::string(name) + " of " + location;
      Unload();
      return;
    }
  }
  setPasswordPrompt_ = reinterpret_cast<brindle::SetPasswordPromptFunction>(
      library_.Resolve("Brindle_SetPasswordPrompt"));
  if (init_() == 0) {
    missing_ = "a Notes client that starts (" + location + " could not start it)";
    Unload();
    return;
  }
  loaded_ = true;
}

BrindleLibrary::~BrindleLibrary() {
  if (loaded_)
    deInit_();
  Unload();
}

void BrindleLibrary::Unload() {
  loaded_ = false;
  init_ = nullptr;
  deInit_ = nullptr;
  dataBaseOpen_ = nullptr;
  dataBaseClose_ = nullptr;
  getUnreadIds_ = nullptr;
  getIdDetails_ = nullptr;
  setPasswordPrompt_ = nullptr;
  library_.Close();
}

bool BrindleLibrary::DataBaseOpen() const {
  return dataBaseOpen_ && dataBaseOpen_() != 0;
}

void BrindleLibrary::DataBaseClose() const {
  if (dataBaseClose_)
    dataBaseClose_();
}

bool BrindleLibrary::GetUnreadIds(const char* folder, brindle::UnreadCallback callback,
                                  void* context) const {
  return getUnreadIds_ && getUnreadIds_(folder, callback, context) == 1;
}

bool BrindleLibrary::GetIdDetails(uint32_t id, char (*fields)[brindle::kFieldSize]) const {
  return getIdDetails_ && getIdDetails_(id, fields) != 0;
}

bool BrindleLibrary::SetPasswordPrompt(brindle::PromptHandler handler, void* context) const {
  if (!setPasswordPrompt_)
    return false;
  setPasswordPrompt_(handler, context);
  return true;
}

Text NotesSenderName(const Text& field) {
  Text name;
  const Text::Position common = field.FindCase(u"CN=");
  if (common != Text::kNotFound) {
    const Text::Position start = common + 3;
    const Text::Position slash = field.FindChar(u'/', start);
    name = field.Mid(start, slash == Text::kNotFound ? -1 : slash - start);
    if (!name.isEmpty())
      return name;
  }
  const Text::Position open = field.FindChar(u'"');
  if (open != Text::kNotFound) {
    const Text::Position close = field.FindChar(u'"', open + 1);
    if (close != Text::kNotFound)
      return field.Mid(open + 1, close - open - 1);
  }
  return field;
}

std::vector<std::string> NotesFolders(const Text& folderList) {
  std::vector<std::string> folders;
  Text rest = folderList;
  Text token;
  while (rest.NextToken(token, u" ,;\t")) {
    if (!token.isEmpty())
      folders.push_back(token.ToSystemCodePage());
  }
  return folders;
}

NotesEngine::NotesEngine(const AccountTypeInfo& type, Services services)
    : MailEngine(type), services_(std::move(services)) {
  const std::string location =
      services_.libraryLocation.empty()
          ? RuntimeLibraryLocation(kBrindleLibraryVariable, kBrindleLibraryName)
          : services_.libraryLocation;
  library_ = std::make_unique<BrindleLibrary>(location);
  if (services_.settings)
    NotesEngine::LoadSettings(*services_.settings);
  const std::lock_guard<std::mutex> lock(liveEnginesMutex);
  LiveEngines().insert(this);
}

NotesEngine::~NotesEngine() {
  const std::lock_guard<std::mutex> lock(liveEnginesMutex);
  LiveEngines().erase(this);
}

void NotesEngine::LoadSettings(const SettingsStore& store) {
  Text folders;
  store.readText(u"NotesFolderList", folders, u"");
  bool unreadable = false;
  const Text password = UnprotectText(store, u"NotesPassword", u"", &unreadable);
  SetSecretsUnreadable(unreadable);
  const std::lock_guard<std::mutex> lock(settingsMutex_);
  folderList_ = std::move(folders);
  rememberedPassword_ = password.ToSystemCodePage();
}

Text NotesEngine::GetDisplayName() const {
  if (Text::CompareNoCase(reader.view(), u"Notes") == 0)
    return u"Notes";
  return reader;
}

CheckStatus NotesEngine::Check() {
  if (!library_->isLoaded()) {
    lastFailure = u"the Notes proxy library is missing";
    lastFailureKind = FailureKind::Setting;
    // Once for the run: the library is loaded only at start.
    if (!missingReported_ && services_.trace)
      services_.trace->Record("NotesLibraryMissing " + library_->missing());
    missingReported_ = true;
    return CheckStatus::Failure;
  }
  uint64_t request = 0;
  {
    const std::lock_guard<std::mutex> lock(requestMutex_);
    request = ++lastRequest_;
    pendingRequest_ = request;
    requestDone_ = false;
    requestResult_ = 1;
    requestFound_.clear();
  }
  const bool posted =
      services_.mainThread && services_.mainThread->PostRequest(static_cast<uintptr_t>(request),
                                                                reinterpret_cast<intptr_t>(this));
  if (!posted) {
    // No main window (the command-line companion): this thread is the program's only one.
    RunPostedRequest(static_cast<uintptr_t>(request), reinterpret_cast<intptr_t>(this));
  }
  std::unique_lock<std::mutex> lock(requestMutex_);
  while (!requestDone_) {
    if (stopRequested()) {
      // The main thread drops the request when it comes to it.
      pendingRequest_ = 0;
      lastFailure = u"the check was stopped";
      return CheckStatus::Failure;
    }
    answered_.wait_for(lock, kWaitSlice);
  }
  pendingRequest_ = 0;
  std::vector<Found> found = std::move(requestFound_);
  const int result = requestResult_;
  lock.unlock();
  for (Found& document : found) {
    auto item = std::make_unique<MailItem>();
    item->sender = std::move(document.sender);
    item->subject = std::move(document.subject);
    item->date = std::move(document.date);
    AddMail(std::move(item), MailOrder::SortedByDate);
  }
  if (result != 0) {
    lastFailure = u"the Notes mail database could not be read";
    return CheckStatus::Failure;
  }
  return CheckStatus::Success;
}

intptr_t NotesEngine::RunPostedRequest(uintptr_t wParam, intptr_t lParam) {
  auto* engine = reinterpret_cast<NotesEngine*>(lParam);
  {
    const std::lock_guard<std::mutex> lock(liveEnginesMutex);
    if (!engine || LiveEngines().count(engine) == 0)
      return 1;
  }
  {
    const std::lock_guard<std::mutex> lock(engine->requestMutex_);
    if (engine->pendingRequest_ != static_cast<uint64_t>(wParam) || engine->requestDone_)
      return 1;
  }
  std::vector<Found> found;
  const int result = engine->RunRequest(found);
  const std::lock_guard<std::mutex> lock(engine->requestMutex_);
  if (engine->pendingRequest_ == static_cast<uint64_t>(wParam)) {
    engine->requestFound_ = std::move(found);
    engine->requestResult_ = result;
    engine->requestDone_ = true;
    engine->answered_.notify_all();
  }
  return result;
}

int NotesEngine::RunRequest(std::vector<Found>& found) {
  automaticEntries_ = 0;
  // The prompt handler is there only while the database open runs.
  library_->SetPasswordPrompt(&NotesEngine::OnPasswordPrompt, this);
  const bool opened = library_->DataBaseOpen();
  library_->SetPasswordPrompt(nullptr, nullptr);
  if (!opened)
    return 1;

  Text folderList;
  std::string password;
  {
    const std::lock_guard<std::mutex> lock(settingsMutex_);
    folderList = folderList_;
    password = rememberedPassword_;
  }
  if (services_.settings)
    ProtectText(*services_.settings, u"NotesPassword", Text::FromUtf8(password));

  collecting_ = &found;
  int result = 1;
  if (folderList.view() == kAllFolders) {
    if (library_->GetUnreadIds(nullptr, &NotesEngine::OnUnreadDocument, this))
      result = 0;
  } else {
    if (library_->GetUnreadIds(kInbox, &NotesEngine::OnUnreadDocument, this))
      result = 0;
    for (const std::string& folder : NotesFolders(folderList))
      library_->GetUnreadIds(folder.c_str(), &NotesEngine::OnUnreadDocument, this);
  }
  collecting_ = nullptr;
  library_->DataBaseClose();
  return result;
}

void NotesEngine::OnUnreadDocument(uint32_t id, void* context) {
  auto* engine = static_cast<NotesEngine*>(context);
  if (!engine || !engine->collecting_ || engine->collecting_->size() >= kMostRecords)
    return;
  char fields[brindle::kFieldCount][brindle::kFieldSize] = {};
  if (!engine->library_->GetIdDetails(id, fields))
    return;
  Found document;
  document.subject = Text::FromUtf8(FieldText(fields[0]));
  document.sender = NotesSenderName(Text::FromUtf8(FieldText(fields[1])));
  document.date = Text::FromUtf8(FieldText(fields[2]));
  engine->collecting_->push_back(std::move(document));
}

int NotesEngine::OnPasswordPrompt(int event, char* buffer, uint32_t size, void* context) {
  auto* engine = static_cast<NotesEngine*>(context);
  if (!engine || !buffer || size == 0)
    return 0;
  const std::lock_guard<std::mutex> lock(engine->settingsMutex_);
  if (event == brindle::kPromptShown) {
    // The first prompt of a check gets the remembered password; a second one (the password
    // was refused) is left to the user.
    const std::string& password = engine->rememberedPassword_;
    if (password.empty() || engine->automaticEntries_ > 0 || password.size() >= size)
      return 0;
    std::memcpy(buffer, password.c_str(), password.size() + 1);
    ++engine->automaticEntries_;
    return 1;
  }
  if (event == brindle::kPromptClosed) {
    const std::size_t length = std::min<std::size_t>(::strnlen(buffer, size), kLongestPassword);
    if (length > 0)
      engine->rememberedPassword_.assign(buffer, length);
  }
  return 0;
}

}  // namespace tarvel
