// The local mail client's default profile through Extended MAPI: one logon kept for the run,
// then per check each message store's receive folder, restricted to unread messages and
// sorted by delivery time, newest first.
#include "engines/protocol/mapi_engine.h"

#include <cstring>
#include <string>
#include <utility>

#include "maintenance/diagnostic_trace.h"

namespace tarvel {

using namespace mapi;

namespace {

// Releases an interface pointer when it goes.
struct ReleaseObject {
  void operator()(Unknown* object) const {
    if (object)
      object->Release();
  }
};
template <typename Interface>
using Held = std::unique_ptr<Interface, ReleaseObject>;

// Frees a row set of the provider when it goes.
class HeldRows {
 public:
  explicit HeldRows(const MapiLibrary& library) : library_(library) {}
  ~HeldRows() { Reset(); }
  HeldRows(const HeldRows&) = delete;
  HeldRows& operator=(const HeldRows&) = delete;
  RowSet** out() {
    Reset();
    return &rows_;
  }
  // The one row asked for, or null at the end of the table or for a malformed set.
  const Row* first() const {
    if (!rows_ || rows_->rowCount == 0)
      return nullptr;
    return &rows_->rows[0];
  }
  void Reset() {
    if (rows_)
      library_.FreeRows(rows_);
    rows_ = nullptr;
  }

 private:
  const MapiLibrary& library_;
  RowSet* rows_ = nullptr;
};

// A provider's zero-terminated UTF-16 text, read at most up to `longest` units. The units
// are copied byte-wise: a provider may hand out text at an odd address.
Text BoundedText(const char16_t* text, std::size_t longest) {
  if (!text)
    return {};
  const auto* bytes = reinterpret_cast<const unsigned char*>(text);
  std::u16string units;
  for (std::size_t index = 0; index < longest; ++index) {
    char16_t unit = 0;
    std::memcpy(&unit, bytes + index * sizeof(char16_t), sizeof unit);
    if (unit == 0)
      break;
    units.push_back(unit);
  }
  return Text(units);
}

// A Unicode column's text; empty when the column holds something else (an error, another
// type) or no text.
Text UnicodeColumn(const PropertyValue& value, ULONG expectedTag) {
  if (value.tag != expectedTag || PropertyType(value.tag) != kTypeUnicode)
    return {};
  return BoundedText(value.value.unicode, MapiEngine::kLongestText);
}

const PropertyValue* FindColumn(const Row& row, ULONG tag) {
  if (!row.values)
    return nullptr;
  for (ULONG column = 0; column < row.valueCount; ++column) {
    if (row.values[column].tag == tag)
      return &row.values[column];
  }
  return nullptr;
}

}  // namespace

MapiLibrary::MapiLibrary(std::string location) : location_(std::move(location)) {}

bool MapiLibrary::Load() {
  std::call_once(loaded_, [this] {
    if (!library_.Open(location_)) {
      missing_ = location_ + " (" + library_.failure() + ")";
      return;
    }
    initialize_ = reinterpret_cast<InitializeFunction>(library_.Resolve("MAPIInitialize"));
    logonEx_ = reinterpret_cast<LogonExFunction>(library_.Resolve("MAPILogonEx"));
    uninitialize_ = reinterpret_cast<UninitializeFunction>(library_.Resolve("MAPIUninitialize"));
    freeRows_ = reinterpret_cast<FreeRowsFunction>(library_.Resolve("FreeProws"));
    if (!freeRows_)
      freeRows_ = reinterpret_cast<FreeRowsFunction>(library_.Resolve("FreeProws@4"));
    freeBuffer_ = reinterpret_cast<FreeBufferFunction>(library_.Resolve("MAPIFreeBuffer"));
    const std::pair<bool, const char*> entries[] = {
        {initialize_ != nullptr, "MAPIInitialize"},     {logonEx_ != nullptr, "MAPILogonEx"},
        {uninitialize_ != nullptr, "MAPIUninitialize"}, {freeRows_ != nullptr, "FreeProws"},
        {freeBuffer_ != nullptr, "MAPIFreeBuffer"},
    };
    for (const auto& [found, name] : entries) {
      if (!found) {
        missing_ = "the entry point " + std::string(name) + " of " + location_;
        break;
      }
    }
  });
  return missing_.empty();
}

std::string MapiLibrary::missing() const {
  return missing_;
}

HRESULT MapiLibrary::Initialize(Initialisation* initialisation) const {
  return initialize_ ? initialize_(initialisation) : kCallFailed;
}

HRESULT MapiLibrary::LogonEx(ULONG_PTR window, const char16_t* profile, const char16_t* password,
                             ULONG flags, Session** session) const {
  return logonEx_ ? logonEx_(window, profile, password, flags, session) : kCallFailed;
}

void MapiLibrary::Uninitialize() const {
  if (uninitialize_)
    uninitialize_();
}

void MapiLibrary::FreeRows(RowSet* rows) const {
  if (freeRows_ && rows)
    freeRows_(rows);
}

ULONG MapiLibrary::FreeBuffer(void* buffer) const {
  if (!freeBuffer_ || !buffer)
    return static_cast<ULONG>(kCallFailed);
  return freeBuffer_(buffer);
}

std::shared_ptr<MapiLibrary> SharedMapiLibrary() {
  static const std::shared_ptr<MapiLibrary> shared =
      std::make_shared<MapiLibrary>(RuntimeLibraryLocation(kMapiLibraryVariable, kMapiLibraryName));
  return shared;
}

MapiEngine::MapiEngine(const AccountTypeInfo& type, std::shared_ptr<MapiLibrary> library,
                       DiagnosticTrace* trace)
    : MailEngine(type), library_(std::move(library)), trace_(trace) {}

MapiEngine::~MapiEngine() {
  if (loggedOn_)
    Logoff();
}

Text MapiEngine::GetDisplayName() const {
  return reader;
}

bool MapiEngine::Logon() {
  Initialisation initialisation{0, kMapiMultithreadNotifications};
  if (!Succeeded(library_->Initialize(&initialisation)))
    return false;
  Session* session = nullptr;
  const HRESULT result =
      library_->LogonEx(0, nullptr, nullptr,
                        kMapiUnicode | kMapiUseDefault | kMapiExtended | kMapiNewSession, &session);
  if (!Succeeded(result) || session == nullptr) {
    if (session)
      session->Release();
    // The initialisation is counted; the next check's logon initialises again.
    library_->Uninitialize();
    return false;
  }
  session_ = session;
  return true;
}

void MapiEngine::Logoff() {
  if (session_) {
    session_->Logoff(0, 0, 0);
    session_->Release();
    session_ = nullptr;
  }
  loggedOn_ = false;
  library_->Uninitialize();
}

CheckStatus MapiEngine::Check() {
  if (!library_ || !library_->Load()) {
    lastFailure = u"the MAPI provider library is missing";
    // Trying again soon cannot help.
    lastFailureKind = FailureKind::Setting;
    // Once for the run: the type stays off until the program starts again.
    if (!missingReported_ && trace_ && library_)
      trace_->Record("MapiLibraryMissing " + library_->missing());
    missingReported_ = true;
    return CheckStatus::Failure;
  }
  if (!loggedOn_) {
    if (!Logon()) {
      lastFailure = u"the MAPI logon to the default profile failed";
      return CheckStatus::Failure;
    }
    loggedOn_ = true;
  }
  if (EnumerateUnread(session_, &MapiEngine::AddMessage, this, true) != 1) {
    lastFailure = mails.count() >= kMostRecords ? Text(u"more unread messages than are listed")
                                                : Text(u"a message store could not be read");
    return CheckStatus::Failure;
  }
  return CheckStatus::Success;
}

Text MapiEngine::DateText(const FileTime* deliveryTime) {
  if (!deliveryTime)
    return u"0";
  const uint64_t value =
      (static_cast<uint64_t>(deliveryTime->high) << 32) | static_cast<uint64_t>(deliveryTime->low);
  return Text::FromUtf8(std::to_string(value));
}

int MapiEngine::AddMessage(const Text&, const Text& sender, const Text& subject,
                           const FileTime* deliveryTime, ULONG flags, void* context) {
  auto* engine = static_cast<MapiEngine*>(context);
  if ((flags & kMessageFlagRead) != 0)
    return 1;
  auto item = std::make_unique<MailItem>();
  item->sender = sender;
  item->subject = subject;
  item->date = DateText(deliveryTime);
  engine->AddMail(std::move(item), MailOrder::SortedByDate);
  return engine->mails.count() < kMostRecords ? 1 : 0;
}

int MapiEngine::EnumerateUnread(Session* session, MessageVisitor visitor, void* context,
                                bool restrict) {
  if (!session || !visitor)
    return 0;
  Table* rawStores = nullptr;
  if (!Succeeded(session->GetMsgStoresTable(0, &rawStores)) || !rawStores)
    return 0;
  const Held<Table> stores(rawStores);
  const PropertyTags storeColumns{2, {kTagEntryId, kTagDisplayName}};
  if (!Succeeded(stores->SetColumns(&storeColumns, 0)))
    return 0;

  bool anyRead = false;
  HeldRows storeRows(*library_);
  for (;;) {
    if (!Succeeded(stores->QueryRows(1, 0, storeRows.out())))
      return 0;
    const Row* storeRow = storeRows.first();
    if (!storeRow)
      break;
    switch (WalkStore(session, *storeRow, visitor, context, restrict)) {
      case FolderWalk::Read:
        anyRead = true;
        break;
      case FolderWalk::NoReceiveFolder:
        break;
      case FolderWalk::Failed:
      case FolderWalk::Stopped:
        return 0;
    }
  }
  return anyRead ? 1 : 0;
}

MapiEngine::FolderWalk MapiEngine::WalkStore(Session* session, const Row& storeRow,
                                             MessageVisitor visitor, void* context, bool restrict) {
  const PropertyValue* entry = FindColumn(storeRow, kTagEntryId);
  const PropertyValue* nameColumn = FindColumn(storeRow, kTagDisplayName);
  const Text storeName = nameColumn ? UnicodeColumn(*nameColumn, kTagDisplayName) : Text();
  if (!entry || !entry->value.binary.bytes || entry->value.binary.size == 0)
    return FolderWalk::Failed;

  MessageStore* rawStore = nullptr;
  if (!Succeeded(session->OpenMsgStore(0, entry->value.binary.size,
                                       reinterpret_cast<const EntryId*>(entry->value.binary.bytes),
                                       nullptr, kMapiBestAccess, &rawStore)) ||
      !rawStore)
    return FolderWalk::Failed;
  const Held<MessageStore> store(rawStore);

  ULONG folderIdSize = 0;
  EntryId* rawFolderId = nullptr;
  const HRESULT receive =
      store->GetReceiveFolder(nullptr, kMapiUnicode, &folderIdSize, &rawFolderId, nullptr);
  const auto freeFolderId = [this](EntryId* id) { library_->FreeBuffer(id); };
  const std::unique_ptr<EntryId, decltype(freeFolderId)> folderId(rawFolderId, freeFolderId);
  if (!Succeeded(receive) || !folderId || folderIdSize == 0)
    return FolderWalk::NoReceiveFolder;

  ULONG objectType = 0;
  Unknown* rawObject = nullptr;
  if (!Succeeded(
          store->OpenEntry(folderIdSize, folderId.get(), nullptr, 0, &objectType, &rawObject)) ||
      !rawObject)
    return FolderWalk::Failed;
  const Held<Unknown> object(rawObject);
  // The default interface of a folder entry is the folder's; anything else is not used as one.
  if (objectType != kObjectTypeFolder)
    return FolderWalk::Failed;
  auto* folder = static_cast<Folder*>(object.get());

  Table* rawContents = nullptr;
  if (!Succeeded(folder->GetContentsTable(0, &rawContents)) || !rawContents)
    return FolderWalk::Failed;
  const Held<Table> contents(rawContents);
  if (restrict) {
    Restriction unread{};
    unread.kind = kRestrictionBitmask;
    unread.restriction.bitmask = {kBitmaskEqualsZero, kTagMessageFlags, kMessageFlagRead};
    if (!Succeeded(contents->Restrict(&unread, 0)))
      return FolderWalk::Failed;
  }
  const SortOrderSet newestFirst{1, 0, 0, {{kTagDeliveryTime, kTableSortDescend}}};
  if (!Succeeded(contents->SortTable(&newestFirst, 0)))
    return FolderWalk::Failed;
  const PropertyTags messageColumns{
      4, {kTagSenderName, kTagSubject, kTagDeliveryTime, kTagMessageFlags}};
  if (!Succeeded(contents->SetColumns(&messageColumns, 0)))
    return FolderWalk::Failed;

  HeldRows messageRows(*library_);
  for (;;) {
    if (!Succeeded(contents->QueryRows(1, 0, messageRows.out())))
      return FolderWalk::Failed;
    const Row* row = messageRows.first();
    if (!row)
      return FolderWalk::Read;
    if (row->valueCount != 4 || !row->values)
      return FolderWalk::Failed;
    const PropertyValue* values = row->values;
    const Text sender = UnicodeColumn(values[0], kTagSenderName);
    const Text subject = UnicodeColumn(values[1], kTagSubject);
    const FileTime* time = values[2].tag == kTagDeliveryTime ? &values[2].value.fileTime : nullptr;
    const ULONG flags = values[3].tag == kTagMessageFlags ? values[3].value.ul : 0;
    if (visitor(storeName, sender, subject, time, flags, context) == 0)
      return FolderWalk::Stopped;
  }
}

}  // namespace tarvel
