// A MAPI provider with the entry points and interfaces of engines/protocol/mapi_interfaces.h,
// for the MAPI engine's tests. Its profile is chosen by TARVEL_FIXTURE_MAPI_PROFILE at each
// logon: "two_stores" (default), "logon_fails", "many_unread", "only_public",
// "broken_second_store", "odd_text" (two_stores with its texts at odd addresses). Tables
// honour the restriction and the sort order the engine asks for.
#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include "engines/protocol/mapi_interfaces.h"

using namespace tarvel::mapi;

namespace {

std::atomic<int> liveObjects{0};
std::atomic<int> initializeDepth{0};
std::atomic<int> logons{0};
std::atomic<int> logoffs{0};
std::atomic<int> openBuffers{0};
// Texts handed out at odd addresses (a provider may pack its buffers).
std::atomic<bool> oddTextAddresses{false};

template <typename Interface>
class Counted : public Interface {
 public:
  Counted() { ++liveObjects; }
  virtual ~Counted() { --liveObjects; }
  HRESULT QueryInterface(const InterfaceId&, void**) override { return kCallFailed; }
  ULONG AddRef() override { return ++references_; }
  ULONG Release() override {
    const ULONG left = --references_;
    if (left == 0)
      delete this;
    return left;
  }

 private:
  ULONG references_ = 1;
};

struct Message {
  std::u16string sender;
  std::u16string subject;  // empty: the row has no subject column
  uint64_t time;           // 0: the row has no delivery time
  bool read;
};

struct Store {
  std::u16string name;
  bool hasReceiveFolder;
  bool sortFails;
  std::vector<Message> inbox;
};

std::vector<Store> ProfileStores(std::string_view profile) {
  const Store mailbox{u"Mailbox - Joe",
                      true,
                      false,
                      {{u"Ann Archer", u"Budget", 133000000000000300ull, false},
                       {u"Bob Baker", u"Lunch", 133000000000000200ull, true},
                       {u"Cy Cole", u"", 133000000000000100ull, false}}};
  const Store archive{u"Archive",
                      true,
                      false,
                      {{u"Dee Dunn", u"Report", 133000000000000400ull, false},
                       {u"Eve Eng", u"Undated", 0, false},
                       {u"Fay Fox", u"Old and read", 133000000000000050ull, true}}};
  const Store publicFolders{u"Public Folders", false, false, {}};
  if (profile == "many_unread") {
    Store big{u"Mailbox - Joe", true, false, {}};
    for (int i = 0; i < 150; ++i)
      big.inbox.push_back({u"Sender", u"Message", 133000000000000000ull + i, false});
    return {big};
  }
  if (profile == "only_public")
    return {publicFolders};
  if (profile == "broken_second_store") {
    Store broken = archive;
    broken.sortFails = true;
    return {mailbox, broken};
  }
  return {mailbox, publicFolders, archive};
}

// One column value of a row: a tag and its payload.
struct Cell {
  ULONG tag = 0;
  std::u16string text = {};
  uint64_t number = 0;
  std::vector<uint8_t> bytes = {};
};
using RowCells = std::vector<Cell>;

// A row set of one row in one block each (values and texts), freed by FreeProws.
RowSet* MakeRowSet(const RowCells* row) {
  auto* set = static_cast<RowSet*>(std::calloc(1, sizeof(RowSet)));
  if (!set)
    return nullptr;
  ++openBuffers;
  if (!row)
    return set;
  std::size_t extra = 0;
  // Each payload starts at an address fit for any of its types.
  const auto aligned = [](std::size_t size) {
    return (size + alignof(std::max_align_t) - 1) / alignof(std::max_align_t) *
           alignof(std::max_align_t);
  };
  for (const Cell& cell : *row)
    extra += aligned((cell.text.size() + 2) * sizeof(char16_t)) + aligned(cell.bytes.size());
  const std::size_t head = aligned(row->size() * sizeof(PropertyValue));
  auto* block = static_cast<unsigned char*>(std::calloc(1, head + extra + 1));
  if (!block)
    return set;
  ++openBuffers;
  auto* values = reinterpret_cast<PropertyValue*>(block);
  unsigned char* next = block + head;
  for (std::size_t i = 0; i < row->size(); ++i) {
    const Cell& cell = (*row)[i];
    PropertyValue& value = values[i];
    value.tag = cell.tag;
    switch (PropertyType(cell.tag)) {
      case kTypeUnicode: {
        const std::size_t size = (cell.text.size() + 1) * sizeof(char16_t);
        unsigned char* start = next + (oddTextAddresses ? 1 : 0);
        std::memcpy(start, cell.text.c_str(), size);
        value.value.unicode = reinterpret_cast<char16_t*>(start);
        next += aligned(size + sizeof(char16_t));
        break;
      }
      case kTypeBinary:
        std::memcpy(next, cell.bytes.data(), cell.bytes.size());
        value.value.binary = {static_cast<ULONG>(cell.bytes.size()), next};
        next += aligned(cell.bytes.size());
        break;
      case kTypeSystemTime:
        value.value.fileTime = {static_cast<ULONG>(cell.number & 0xFFFFFFFFu),
                                static_cast<ULONG>(cell.number >> 32)};
        break;
      case kTypeLong:
        value.value.ul = static_cast<ULONG>(cell.number);
        break;
      default:
        value.value.error = static_cast<HRESULT>(0x8004010Fu);
        break;
    }
  }
  set->rowCount = 1;
  set->rows[0] = {0, static_cast<ULONG>(row->size()), values};
  return set;
}

class FixtureTable : public Counted<Table> {
 public:
  FixtureTable(std::vector<RowCells> rows, bool sortFails)
      : rows_(std::move(rows)), sortFails_(sortFails) {}

  HRESULT SetColumns(const PropertyTags* columns, ULONG) override {
    if (!columns || columns->count == 0 || columns->count > kMostColumns)
      return kCallFailed;
    columns_.assign(columns->tags, columns->tags + columns->count);
    return kOk;
  }
  HRESULT QueryRows(LONG count, ULONG, RowSet** rows) override {
    if (count != 1 || !rows)
      return kCallFailed;
    if (next_ >= rows_.size()) {
      *rows = MakeRowSet(nullptr);
      return kOk;
    }
    // The columns asked for, in their order; one the row lacks comes as an error value.
    RowCells shaped;
    for (const ULONG tag : columns_) {
      const RowCells& row = rows_[next_];
      const auto found = std::find_if(row.begin(), row.end(), [tag](const Cell& cell) {
        return PropertyId(cell.tag) == PropertyId(tag);
      });
      shaped.push_back(found != row.end() ? *found
                                          : Cell{(tag & 0xFFFF0000u) | kTypeError, {}, 0, {}});
    }
    ++next_;
    *rows = MakeRowSet(&shaped);
    return kOk;
  }
  HRESULT Restrict(const Restriction* restriction, ULONG) override {
    if (!restriction || restriction->kind != kRestrictionBitmask ||
        restriction->restriction.bitmask.relation != kBitmaskEqualsZero)
      return kCallFailed;
    const ULONG tag = restriction->restriction.bitmask.tag;
    const ULONG mask = restriction->restriction.bitmask.mask;
    std::erase_if(rows_, [&](const RowCells& row) {
      for (const Cell& cell : row) {
        if (cell.tag == tag)
          return (cell.number & mask) != 0;
      }
      return false;
    });
    return kOk;
  }
  HRESULT SortTable(const SortOrderSet* order, ULONG) override {
    if (sortFails_ || !order || order->sortCount != 1 || order->categoryCount != 0)
      return kCallFailed;
    const ULONG tag = order->sorts[0].tag;
    const bool descending = (order->sorts[0].order & kTableSortDescend) != 0;
    const auto key = [tag](const RowCells& row) -> uint64_t {
      for (const Cell& cell : row) {
        if (cell.tag == tag)
          return cell.number;
      }
      return 0;
    };
    std::stable_sort(rows_.begin(), rows_.end(), [&](const RowCells& a, const RowCells& b) {
      return descending ? key(a) > key(b) : key(a) < key(b);
    });
    return kOk;
  }

 private:
  std::vector<RowCells> rows_;
  bool sortFails_;
  std::vector<ULONG> columns_;
  std::size_t next_ = 0;
};

class FixtureFolder : public Counted<Folder> {
 public:
  explicit FixtureFolder(const Store& store) : store_(store) {}
  HRESULT GetContentsTable(ULONG, Table** table) override {
    std::vector<RowCells> rows;
    for (const Message& message : store_.inbox) {
      RowCells row{{kTagSenderName, message.sender},
                   {kTagMessageFlags, {}, message.read ? 1u : 0u}};
      if (!message.subject.empty())
        row.push_back({kTagSubject, message.subject});
      if (message.time != 0)
        row.push_back({kTagDeliveryTime, {}, message.time});
      rows.push_back(std::move(row));
    }
    *table = new FixtureTable(std::move(rows), store_.sortFails);
    return kOk;
  }

 private:
  Store store_;
};

constexpr uint8_t kFolderIdMark = 0xF0;

class FixtureStore : public Counted<MessageStore> {
 public:
  explicit FixtureStore(Store store) : store_(std::move(store)) {}
  HRESULT GetReceiveFolder(const char16_t* messageClass, ULONG flags, ULONG* size, EntryId** id,
                           char16_t**) override {
    if (messageClass != nullptr || (flags & kMapiUnicode) == 0 || !size || !id)
      return kCallFailed;
    if (!store_.hasReceiveFolder)
      return kNotFound;
    auto* block = static_cast<uint8_t*>(std::calloc(1, 8));
    if (!block)
      return kCallFailed;
    ++openBuffers;
    block[4] = kFolderIdMark;
    *id = reinterpret_cast<EntryId*>(block);
    *size = 8;
    return kOk;
  }
  HRESULT OpenEntry(ULONG size, const EntryId* id, const InterfaceId*, ULONG, ULONG* type,
                    Unknown** object) override {
    if (size != 8 || !id || id->bytes[0] != kFolderIdMark || !type || !object)
      return kCallFailed;
    *type = kObjectTypeFolder;
    *object = new FixtureFolder(store_);
    return kOk;
  }

 private:
  Store store_;
};

class FixtureSession : public Counted<Session> {
 public:
  explicit FixtureSession(std::vector<Store> stores) : stores_(std::move(stores)) {}
  HRESULT GetMsgStoresTable(ULONG, Table** table) override {
    std::vector<RowCells> rows;
    for (std::size_t i = 0; i < stores_.size(); ++i) {
      rows.push_back({{kTagDisplayName, stores_[i].name},
                      {kTagEntryId, {}, 0, {0, 0, 0, 0, static_cast<uint8_t>(i)}}});
    }
    *table = new FixtureTable(std::move(rows), false);
    return kOk;
  }
  HRESULT OpenMsgStore(ULONG_PTR, ULONG size, const EntryId* id, const InterfaceId*, ULONG flags,
                       MessageStore** store) override {
    if (size != 5 || !id || id->bytes[0] >= stores_.size() || flags != kMapiBestAccess || !store)
      return kCallFailed;
    *store = new FixtureStore(stores_[id->bytes[0]]);
    return kOk;
  }
  HRESULT Logoff(ULONG_PTR, ULONG, ULONG) override {
    ++logoffs;
    return kOk;
  }

 private:
  std::vector<Store> stores_;
};

std::string Profile() {
  const char* value = std::getenv("TARVEL_FIXTURE_MAPI_PROFILE");
  return value && *value ? value : "two_stores";
}

}  // namespace

extern "C" {

__attribute__((visibility("default"))) HRESULT MAPIInitialize(void* initialisation) {
  const auto* init = static_cast<const Initialisation*>(initialisation);
  if (!init || init->version != 0 || init->flags != kMapiMultithreadNotifications)
    return kCallFailed;
  ++initializeDepth;
  return kOk;
}

__attribute__((visibility("default"))) HRESULT MAPILogonEx(ULONG_PTR window,
                                                           const char16_t* profile,
                                                           const char16_t* password, ULONG flags,
                                                           Session** session) {
  if (initializeDepth.load() <= 0 || window != 0 || profile || password || !session ||
      flags != (kMapiUnicode | kMapiUseDefault | kMapiExtended | kMapiNewSession))
    return kCallFailed;
  const std::string profileName = Profile();
  if (profileName == "logon_fails")
    return static_cast<HRESULT>(0x80040111u);  // MAPI_E_LOGON_FAILED
  ++logons;
  oddTextAddresses = profileName == "odd_text";
  *session = new FixtureSession(ProfileStores(profileName));
  return kOk;
}

__attribute__((visibility("default"))) void MAPIUninitialize() {
  --initializeDepth;
}

__attribute__((visibility("default"))) void FreeProws(RowSet* rows) {
  if (!rows)
    return;
  for (ULONG i = 0; i < rows->rowCount; ++i) {
    std::free(rows->rows[i].values);
    --openBuffers;
  }
  std::free(rows);
  --openBuffers;
}

__attribute__((visibility("default"))) ULONG MAPIFreeBuffer(void* buffer) {
  if (buffer) {
    std::free(buffer);
    --openBuffers;
  }
  return 0;
}

// For the tests: what is still held, and how often the engine logged on and off.
__attribute__((visibility("default"))) void FixtureMapi_State(int* objects, int* buffers,
                                                              int* depth, int* logonCount,
                                                              int* logoffCount) {
  *objects = liveObjects.load();
  *buffers = openBuffers.load();
  *depth = initializeDepth.load();
  *logonCount = logons.load();
  *logoffCount = logoffs.load();
}
}
