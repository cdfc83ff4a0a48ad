#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string_view>

#include "accounts/mail_engine.h"
#include "engines/web/web_login.h"

namespace tarvel {

class SettingsStore;
class XmlDocument;
struct XmlNode;

// The Google hosts of the Gmail account type.
namespace gmail_hosts {
inline constexpr std::u16string_view kMail = web_login::hosts::kGmail;
inline constexpr std::u16string_view kAccounts = web_login::hosts::kGoogleAccounts;
}  // namespace gmail_hosts

// The two web mail pages the account page offers for GMailWebsite.
inline constexpr std::u16string_view kGmailWebMailPage = u"https://mail.google.com/mail/";
inline constexpr std::u16string_view kGmailInboxPage = u"https://mail.google.com/mail/u/0/#inbox";

// What the browser shows for a feed request without a signed-in session.
inline constexpr std::u16string_view kGmailBlankPage = u"<html><head></head><body></body></html>";

struct GmailSettings {
  Text website;     // GMailWebsite
  Text folderList;  // GMailFolderList: labels separated by "," or ";"
};

// Loads an address in a browser view of the shared, signed-in profile and hands back the
// document's source; false when no document was read.
using PageSourceLoader =
    std::function<bool(const Text& url, Text* source, std::uint32_t settleMilliseconds)>;

// The Gmail account type: the unread-mail Atom feed of the inbox and of each listed label,
// read through the browser profile the user signed into. It never signs in by itself.
class GmailEngine : public MailEngine {
 public:
  // A feed longer than this is no feed of unread mail (Gmail lists at most 20 entries).
  static constexpr std::size_t kLargestFeed = 2 * 1024 * 1024;
  // Entries of one feed beyond this many are not read.
  static constexpr std::size_t kMostEntries = 500;
  // Labels of GMailFolderList beyond this many are not checked.
  static constexpr std::size_t kMostLabels = 50;
  // The account's address taken from a feed title is at most this long.
  static constexpr std::size_t kLongestAccountName = 320;

  // Without a loader the shared browser profile's own (WebView::LoadPageSource) is used.
  explicit GmailEngine(const AccountTypeInfo& type, PageSourceLoader loader = {});

  void LoadSettings(const SettingsStore& store) override;
  void SetSettings(GmailSettings settings);
  GmailSettings settings() const;

  // 0 success, 1 failure, 2 the browser is not signed in.
  CheckStatus Check() override;
  bool OpenReader(ReaderLauncher& launcher) override;
  Text GetDisplayName() const override;

  // The feed address of a label as it goes into the address ("" for the inbox).
  static Text FeedUrl(const Text& label);
  // The labels of a GMailFolderList value, each trimmed, spaces written "%20".
  static std::vector<Text> Labels(const Text& folderList);

  // Reads one label's feed source into `mails`: 0, 1 for a text that is no feed, 2 for the
  // blank page of a signed-out browser.
  CheckStatus ReadFeed(const Text& source, const Text& label);

 private:
  CheckStatus CheckLabel(const Text& label);
  static int VisitRoot(int isAttribute, XmlNode* node, const Text& name, const Text& text,
                       void* context, XmlDocument* document);
  static int VisitEntry(int isAttribute, XmlNode* node, const Text& name, const Text& text,
                        void* context, XmlDocument* document);

  PageSourceLoader loader_;
  mutable std::mutex settingsMutex_;
  GmailSettings settings_;
  // During ReadFeed: the label being read and the entries taken so far.
  const Text* currentLabel_ = nullptr;
  std::size_t entriesRead_ = 0;
  std::int64_t checkTime_ = 0;
};

std::unique_ptr<MailEngine> CreateGmailEngine(const AccountTypeInfo& type,
                                              const SettingsStore* settings);

}  // namespace tarvel
