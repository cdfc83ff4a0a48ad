#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "accounts/mail_engine.h"
#include "platform/http_session.h"

namespace tarvel {

class SettingsStore;
class XmlDocument;
struct XmlNode;

// The user agents of the login and of the view and logout requests.
inline constexpr std::u16string_view kINotesLoginUserAgent =
    u"Mozilla/5.0 (Windows NT 6.1; WOW64) AppleWebKit/537.36 (KHTML, like Gecko) "
    u"Chrome/38.0.2125.111 Safari/537.36";
inline constexpr std::u16string_view kINotesViewUserAgent =
    u"Mozilla/5.0 (Windows NT 6.1; WOW64) AppleWebKit/537.36 (KHTML, like Gecko) "
    u"Chrome/48.0.2564.116 Safari/537.36";
// The inbox view through the iNotes proxy: the first 100 entries, newest first, times in UTC.
inline constexpr std::u16string_view kINotesInboxView =
    u"/iNotes/Proxy/?OpenDocument&Form=s_ReadViewEntries&PresetFields=FolderName;($Inbox),"
    u"s_UsingHttps;1,hc;$107,noPI;1&TZType=UTC&Start=1&Count=100&resortdescending=5";

// The settings of the iNotes account, all three kept protected.
struct INotesSettings {
  Text server;    // iNotesServer: host name of the Domino server
  Text user;      // iNotesName
  Text password;  // iNotesPassword
};

// The Domino web access (iNotes) account type over HTTPS: a form login, the login page's
// refresh to the user's mail database, the inbox view as XML, and a logout, every check.
class INotesEngine : public MailEngine {
 public:
  // More entries than this in one view are not read.
  static constexpr std::size_t kMostRecords = 1000;
  static constexpr std::uint64_t kLargestAnswer = 8ull * 1024 * 1024;

  explicit INotesEngine(const AccountTypeInfo& type);

  void LoadSettings(const SettingsStore& store) override;
  void SetSettings(INotesSettings settings);
  INotesSettings settings() const;

  CheckStatus Check() override;
  bool OpenReader(ReaderLauncher& launcher) override;
  Text GetDisplayName() const override;

  // The login form's body for a user name and password, every character but letters, digits
  // and "-._~" percent-encoded (UTF-8) and blanks sent as "+".
  static std::string LoginBody(const Text& user, const Text& password);
  // The mail database's address in a login answer: the refresh element's URL up to its "?";
  // empty when the answer has none.
  static Text MailDatabaseAddress(const Text& loginAnswer);
  // Adds the unread entries of an inbox view to `mails`; false when the answer is not an
  // XML view (its document element is not "viewentries").
  bool ReadView(const Text& answer);

 private:
  static int VisitViewEntry(int isAttribute, XmlNode* node, const Text& name, const Text& text,
                            void* context, XmlDocument* document);
  static int VisitEntryData(int isAttribute, XmlNode* node, const Text& name, const Text& text,
                            void* context, XmlDocument* document);

  mutable std::mutex settingsMutex_;
  INotesSettings settings_;
  HttpSession session_;
  std::size_t entriesRead_ = 0;
};

}  // namespace tarvel
