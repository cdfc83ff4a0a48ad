#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "accounts/mail_engine.h"
#include "engines/protocol/mapi_interfaces.h"
#include "engines/protocol/runtime_library.h"

namespace tarvel {

class DiagnosticTrace;

// The provider library tried when the environment names none, and the variable that names
// another one (a path, or a name looked up like the default).
inline constexpr std::string_view kMapiLibraryName = "libtarvel-mapi.so";
inline constexpr char kMapiLibraryVariable[] = "TARVEL_MAPI_LIBRARY";

// A MAPI provider library and its five entry points, loaded on first use and kept for the
// run. A call whose entry point is missing fails with the general failure code (the
// uninitialisation does nothing).
class MapiLibrary {
 public:
  explicit MapiLibrary(std::string location);
  MapiLibrary(const MapiLibrary&) = delete;
  MapiLibrary& operator=(const MapiLibrary&) = delete;

  // Loads the library and resolves the entry points, once; later calls only answer. True
  // when the library and every entry point are there. Callable from any thread.
  bool Load();
  // What is missing after Load, for the user and the trace ("" when nothing is).
  std::string missing() const;
  const std::string& location() const { return location_; }

  mapi::HRESULT Initialize(mapi::Initialisation* initialisation) const;
  mapi::HRESULT LogonEx(mapi::ULONG_PTR window, const char16_t* profile, const char16_t* password,
                        mapi::ULONG flags, mapi::Session** session) const;
  void Uninitialize() const;
  void FreeRows(mapi::RowSet* rows) const;
  mapi::ULONG FreeBuffer(void* buffer) const;

 private:
  std::string location_;
  std::once_flag loaded_;
  RuntimeLibrary library_;
  std::string missing_;
  mapi::InitializeFunction initialize_ = nullptr;
  mapi::LogonExFunction logonEx_ = nullptr;
  mapi::UninitializeFunction uninitialize_ = nullptr;
  mapi::FreeRowsFunction freeRows_ = nullptr;
  mapi::FreeBufferFunction freeBuffer_ = nullptr;
};

// The program's provider library (TARVEL_MAPI_LIBRARY, else kMapiLibraryName), shared by the
// engine and the account page. Not loaded until asked.
std::shared_ptr<MapiLibrary> SharedMapiLibrary();

// The account type of the local mail client's default MAPI profile: the unread messages of
// every message store's receive folder (its inbox), newest first.
class MapiEngine : public MailEngine {
 public:
  // At most this many records; the walk stops at the next one and the check reports 1.
  static constexpr std::size_t kMostRecords = 101;
  // Longer texts of a provider are cut here.
  static constexpr std::size_t kLongestText = 4096;

  // Called for each message row: store name, sender, subject, delivery time (null when the
  // row holds none), message flags, context. Nonzero goes on, 0 stops the walk.
  using MessageVisitor = int (*)(const Text& store, const Text& sender, const Text& subject,
                                 const mapi::FileTime* deliveryTime, mapi::ULONG flags,
                                 void* context);

  MapiEngine(const AccountTypeInfo& type, std::shared_ptr<MapiLibrary> library,
             DiagnosticTrace* trace);
  ~MapiEngine() override;

  // 0 when every store with a receive folder was read; 1 when the provider is missing, the
  // logon is refused, a step of the walk fails or more than kMostRecords are unread.
  CheckStatus Check() override;
  Text GetDisplayName() const override;

  // Walks the receive folders of every store of `session`; 1 when at least one contents
  // table was read, nothing failed (stores without receive folder aside) and the visitor
  // never stopped the walk.
  int EnumerateUnread(mapi::Session* session, MessageVisitor visitor, void* context, bool restrict);

  // The date text of a delivery time: the decimal FILETIME value, "0" for none.
  static Text DateText(const mapi::FileTime* deliveryTime);

 private:
  bool Logon();
  void Logoff();
  static int AddMessage(const Text& store, const Text& sender, const Text& subject,
                        const mapi::FileTime* deliveryTime, mapi::ULONG flags, void* context);
  // How the walk of one store's receive folder ended.
  enum class FolderWalk {
    Read,
    NoReceiveFolder,
    Failed,
    Stopped,
  };
  FolderWalk WalkStore(mapi::Session* session, const mapi::Row& storeRow, MessageVisitor visitor,
                       void* context, bool restrict);

  std::shared_ptr<MapiLibrary> library_;
  DiagnosticTrace* trace_;
  mapi::Session* session_ = nullptr;
  bool loggedOn_ = false;
  bool missingReported_ = false;
};

}  // namespace tarvel
