#pragma once

// The Extended MAPI calls the MAPI engine makes, declared the way a provider library
// implements them: COM-style interfaces (abstract classes whose first three slots are those
// of IUnknown) and five C entry points. Only what the engine calls is declared; a provider
// built against this header implements these slots in this order. Text is UTF-16.

#include <cstdint>

namespace tarvel::mapi {

using HRESULT = int32_t;
using ULONG = uint32_t;
using LONG = int32_t;
using ULONG_PTR = uintptr_t;

inline constexpr HRESULT kOk = 0;
// The general failure code (E_FAIL, MAPI_E_CALL_FAILED).
inline constexpr HRESULT kCallFailed = static_cast<HRESULT>(0x80004005u);
// No receive folder is set for the message class (MAPI_E_NOT_FOUND).
inline constexpr HRESULT kNotFound = static_cast<HRESULT>(0x8004010Fu);

inline constexpr bool Succeeded(HRESULT result) {
  return result >= 0;
}

// Flags of the calls.
inline constexpr ULONG kMapiMultithreadNotifications = 0x1;
inline constexpr ULONG kMapiUnicode = 0x80000000u;
inline constexpr ULONG kMapiUseDefault = 0x40;
inline constexpr ULONG kMapiExtended = 0x20;
inline constexpr ULONG kMapiNewSession = 0x2;
inline constexpr ULONG kMapiBestAccess = 0x10;
inline constexpr ULONG kTableSortDescend = 0x1;
inline constexpr ULONG kMessageFlagRead = 0x1;
// The object type OpenEntry reports for a folder (MAPI_FOLDER).
inline constexpr ULONG kObjectTypeFolder = 3;

// Property types and tags.
inline constexpr ULONG kTypeError = 0x000A;
inline constexpr ULONG kTypeLong = 0x0003;
inline constexpr ULONG kTypeUnicode = 0x001F;
inline constexpr ULONG kTypeSystemTime = 0x0040;
inline constexpr ULONG kTypeBinary = 0x0102;
inline constexpr ULONG PropertyType(ULONG tag) {
  return tag & 0xFFFF;
}
inline constexpr ULONG PropertyId(ULONG tag) {
  return tag >> 16;
}
inline constexpr ULONG kTagEntryId = 0x0FFF0102;
inline constexpr ULONG kTagDisplayName = 0x3001001F;
inline constexpr ULONG kTagSenderName = 0x0C1A001F;
inline constexpr ULONG kTagSubject = 0x0037001F;
inline constexpr ULONG kTagDeliveryTime = 0x0E060040;
inline constexpr ULONG kTagMessageFlags = 0x0E070003;

// Restriction kinds.
inline constexpr ULONG kRestrictionBitmask = 6;  // RES_BITMASK
inline constexpr ULONG kBitmaskEqualsZero = 0;   // BMR_EQZ

struct FileTime {
  ULONG low;
  ULONG high;
};

struct Binary {
  ULONG size;
  uint8_t* bytes;
};

union PropertyValueUnion {
  int16_t i;
  LONG l;
  ULONG ul;
  int64_t li;
  char16_t* unicode;
  FileTime fileTime;
  Binary binary;
  HRESULT error;
};

struct PropertyValue {
  ULONG tag;
  ULONG alignmentPad;
  PropertyValueUnion value;
};

struct Row {
  ULONG addressEntryPad;
  ULONG valueCount;
  PropertyValue* values;
};

// A row set as QueryRows hands it out: `rowCount` rows, declared with one (the C idiom of the
// interface); freed with FreeProws.
struct RowSet {
  ULONG rowCount;
  Row rows[1];
};

// A column list: `count` tags, at most kMostColumns (the engine asks for four at most).
inline constexpr ULONG kMostColumns = 8;
struct PropertyTags {
  ULONG count;
  ULONG tags[kMostColumns];
};

struct BitmaskRestriction {
  ULONG relation;
  ULONG tag;
  ULONG mask;
};

struct Restriction {
  ULONG kind;
  union {
    BitmaskRestriction bitmask;
  } restriction;
};

struct SortOrder {
  ULONG tag;
  ULONG order;
};

struct SortOrderSet {
  ULONG sortCount;
  ULONG categoryCount;
  ULONG expandedCount;
  SortOrder sorts[1];
};

struct InterfaceId {
  uint32_t data1;
  uint16_t data2;
  uint16_t data3;
  uint8_t data4[8];
};

struct EntryId {
  uint8_t flags[4];
  uint8_t bytes[1];
};

struct Initialisation {
  ULONG version;
  ULONG flags;
};

class Unknown {
 public:
  virtual HRESULT QueryInterface(const InterfaceId& id, void** object) = 0;
  virtual ULONG AddRef() = 0;
  virtual ULONG Release() = 0;

 protected:
  ~Unknown() = default;
};

class Table : public Unknown {
 public:
  virtual HRESULT SetColumns(const PropertyTags* columns, ULONG flags) = 0;
  virtual HRESULT QueryRows(LONG rowCount, ULONG flags, RowSet** rows) = 0;
  virtual HRESULT Restrict(const Restriction* restriction, ULONG flags) = 0;
  virtual HRESULT SortTable(const SortOrderSet* order, ULONG flags) = 0;

 protected:
  ~Table() = default;
};

class Folder : public Unknown {
 public:
  virtual HRESULT GetContentsTable(ULONG flags, Table** table) = 0;

 protected:
  ~Folder() = default;
};

class MessageStore : public Unknown {
 public:
  // The entry id is allocated by the provider and freed with MAPIFreeBuffer, and so is the
  // explicit class when one is asked for.
  virtual HRESULT GetReceiveFolder(const char16_t* messageClass, ULONG flags, ULONG* entryIdSize,
                                   EntryId** entryId, char16_t** explicitClass) = 0;
  virtual HRESULT OpenEntry(ULONG entryIdSize, const EntryId* entryId, const InterfaceId* interface,
                            ULONG flags, ULONG* objectType, Unknown** object) = 0;

 protected:
  ~MessageStore() = default;
};

class Session : public Unknown {
 public:
  virtual HRESULT GetMsgStoresTable(ULONG flags, Table** table) = 0;
  virtual HRESULT OpenMsgStore(ULONG_PTR window, ULONG entryIdSize, const EntryId* entryId,
                               const InterfaceId* interface, ULONG flags, MessageStore** store) = 0;
  virtual HRESULT Logoff(ULONG_PTR window, ULONG flags, ULONG reserved) = 0;

 protected:
  ~Session() = default;
};

// The provider library's entry points.
using InitializeFunction = HRESULT (*)(void* initialisation);
using LogonExFunction = HRESULT (*)(ULONG_PTR window, const char16_t* profile,
                                    const char16_t* password, ULONG flags, Session** session);
using UninitializeFunction = void (*)();
using FreeRowsFunction = void (*)(RowSet* rows);
using FreeBufferFunction = ULONG (*)(void* buffer);

}  // namespace tarvel::mapi
