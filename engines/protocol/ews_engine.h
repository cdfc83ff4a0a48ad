#pragma once

#include <array>
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

// The Exchange endpoint the account page offers, and the web mail pages it offers for the
// account's website: Microsoft's Office 365 and Outlook hosts.
inline constexpr std::u16string_view kEwsPresetEndpoint =
    u"https://outlook.office365.com/EWS/Exchange.asmx";
inline constexpr std::array<std::u16string_view, 4> kEwsWebMailPages = {
    u"https://outlook.office365.com/mail/",
    u"https://outlook.office.com/mail/",
    u"https://outlook.live.com/mail/",
    u"https://outlook.office365.com/owa/",
};

// The user agent of the FindItem request.
inline constexpr std::u16string_view kEwsUserAgent =
    u"Mozilla/5.0 (Windows NT 6.3; Win64; x64) AppleWebKit/537.36 (KHTML, like Gecko) "
    u"Chrome/37.0.2049.0 Safari/537.36";

// The FindItem request: the unread messages of the inbox with the default item shape, no
// paging. One line of ASCII, sent byte for byte as it stands.
inline constexpr std::string_view kEwsFindItemRequest =
    "<?xml version=\"1.0\" encoding=\"utf-8\"?>"
    "<soap:Envelope xmlns:soap=\"http://schemas.xmlsoap.org/soap/envelope/\" "
    "xmlns:t=\"http://schemas.microsoft.com/exchange/services/2006/types\">  <soap:Body>    "
    "<FindItem xmlns=\"http://schemas.microsoft.com/exchange/services/2006/messages\" "
    "xmlns:t=\"http://schemas.microsoft.com/exchange/services/2006/types\" "
    "Traversal=\"Shallow\">      "
    "<ItemShape>        <t:BaseShape>Default</t:BaseShape>      </ItemShape>      "
    "<Restriction>        <t:IsEqualTo>          <t:FieldURI FieldURI=\"message:IsRead\" />"
    "          <t:FieldURIOrConstant>            <t:Constant Value=\"false\" />          "
    "</t:FieldURIOrConstant>        </t:IsEqualTo>      </Restriction>      "
    "<ParentFolderIds>        <t:DistinguishedFolderId Id=\"inbox\"/>      </ParentFolderIds>"
    "    </FindItem>  </soap:Body></soap:Envelope>";

// Where the messages sit in a FindItem answer. Names are matched with their prefixes as
// written, without regard to letter case.
inline constexpr std::u16string_view kEwsItemsPath =
    u"s:Envelope\\s:Body\\m:FindItemResponse\\m:ResponseMessages\\m:FindItemResponseMessage"
    u"\\m:RootFolder\\t:Items";

// An item id or change key longer than this is not kept (Exchange's are about 150 bytes).
inline constexpr std::size_t kEwsLongestId = 1024;

// A record's mark key from its item id and change key; empty when the id is missing, too long
// or holds a line feed.
std::string EwsMarkKey(std::string_view itemId, std::string_view changeKey);

// The UpdateItem request that sets IsRead on one item; the change key is left out when empty.
std::string EwsUpdateItemRequest(std::string_view itemId, std::string_view changeKey);

// The settings of the Exchange account.
struct EwsSettings {
  Text server;    // EWSServer: address of the Exchange Web Services endpoint
  Text user;      // EWSUser: user name of the server's HTTP authentication; the account's name
  Text password;  // EWSPassword
  Text website;   // EWSWebsite: the web mail page the reader opens
};

// The Exchange account type: one authenticated FindItem call (Exchange Web Services over
// SOAP 1.1) per check, whose unread inbox messages become the account's mails.
class EwsEngine : public MailEngine {
 public:
  // A hostile server could answer with millions of messages; more than this many are not
  // read (Exchange itself hands out at most 1,000 items per FindItem by default).
  static constexpr std::size_t kMostMessages = 10000;
  // A longer answer fails: a full page of kMostMessages default-shape items stays well below.
  static constexpr std::uint64_t kLargestAnswer = 32ull * 1024 * 1024;

  explicit EwsEngine(const AccountTypeInfo& type);

  // Sends UpdateItem with IsRead true for the record's item (id and change key).
  bool MarkRead(const std::string& markKey, Text& failure) override;

  // Reads EWSServer, EWSWebsite and the protected EWSUser and EWSPassword.
  void LoadSettings(const SettingsStore& store) override;
  void SetSettings(EwsSettings settings);
  EwsSettings settings() const;

  // 0 when the answer was a FindItem answer (also without messages); 1 for no answer, an
  // HTTP error status (a refused password among them), a SOAP fault, an error response
  // message or anything that is not a SOAP envelope, so a failure never reads as "no mail".
  CheckStatus Check() override;
  bool OpenReader(ReaderLauncher& launcher) override;
  // The user name of the account.
  Text GetDisplayName() const override;

  // Adds the messages of a FindItem answer (bytes widened one per unit, as HttpSession hands
  // them over) to `mails`. Success when the answer is a SOAP envelope without a fault or an
  // error response message, whether or not it holds messages.
  CheckStatus ReadAnswer(const Text& answer);

 private:
  static int VisitItem(int isAttribute, XmlNode* node, const Text& name, const Text& text,
                       void* context, XmlDocument* document);

  // The settings are loaded on the main thread and read by the check thread.
  mutable std::mutex settingsMutex_;
  EwsSettings settings_;
  HttpSession session_;
  std::size_t messagesRead_ = 0;
};

// The engine of the Exchange account type, with its settings read from `settings` when given.
std::unique_ptr<MailEngine> CreateEwsEngine(const AccountTypeInfo& type,
                                            const SettingsStore* settings);

}  // namespace tarvel
