// The Gmail account type: Google's unread-mail Atom feed, one per label, loaded in a browser
// view of the shared profile that holds the user's Google session.
#include "engines/protocol/gmail_engine.h"

#include <utility>

#include "accounts/settings_store.h"
#include "engines/protocol/service_dates.h"
#include "platform/web_view.h"
#include "platform/xml_document.h"

namespace tarvel {

namespace {

constexpr std::u16string_view kAllLabel = u"all";

bool LoadWithSharedProfile(const Text& url, Text* source, std::uint32_t settleMilliseconds) {
  return WebView::LoadPageSource(url, source, settleMilliseconds);
}

// The address of a feed title's last word, when it looks like one: not empty, not too long,
// without control characters.
bool AccountNameOfTitle(const Text& title, Text* name) {
  const Text::Position space = title.FindLastChar(u' ');
  if (space == Text::kNotFound)
    return false;
  Text last = title.Mid(space + 1);
  if (last.isEmpty() || static_cast<std::size_t>(last.length()) > GmailEngine::kLongestAccountName)
    return false;
  for (const char16_t c : last.view()) {
    if (c < 0x20 || (c >= 0x7F && c <= 0x9F))
      return false;
  }
  *name = std::move(last);
  return true;
}

}  // namespace

GmailEngine::GmailEngine(const AccountTypeInfo& type, PageSourceLoader loader)
    : MailEngine(type),
      loader_(loader ? std::move(loader) : PageSourceLoader(&LoadWithSharedProfile)) {}

void GmailEngine::LoadSettings(const SettingsStore& store) {
  GmailSettings loaded;
  store.readText(u"GMailWebsite", loaded.website, u"");
  store.readText(u"GMailFolderList", loaded.folderList, u"");
  SetSettings(std::move(loaded));
}

void GmailEngine::SetSettings(GmailSettings settings) {
  const std::lock_guard<std::mutex> lock(settingsMutex_);
  settings_ = std::move(settings);
}

GmailSettings GmailEngine::settings() const {
  const std::lock_guard<std::mutex> lock(settingsMutex_);
  return settings_;
}

Text GmailEngine::FeedUrl(const Text& label) {
  Text url(u"https://");
  url += gmail_hosts::kMail;
  url += u"/mail/feed/atom/";
  // "#" and "?" would end the path and turn the rest of the label into a fragment or query.
  Text path = label;
  path.Replace(u"#", u"%23");
  path.Replace(u"?", u"%3F");
  url += path;
  return url;
}

std::vector<Text> GmailEngine::Labels(const Text& folderList) {
  std::vector<Text> labels;
  Text rest = folderList;
  Text token;
  while (labels.size() < kMostLabels) {
    // Blanks before a quoted label would hide its opening quote.
    Text::Position first = 0;
    while (first < rest.length() && Text::IsBlank(rest[first]))
      ++first;
    rest = rest.Mid(first);
    if (!rest.NextToken(token, u",;", LeadingSeparators::Skip, TokenQuotes::Keep))
      break;
    token.Trim();
    // Quotes are dropped after the blanks around them.
    if (token.length() >= 2 && token[0] == u'"' && token[token.length() - 1] == u'"')
      token = token.Mid(1, token.length() - 2);
    if (token.isEmpty())
      continue;
    token.Replace(u" ", u"%20");
    labels.push_back(token);
  }
  return labels;
}

CheckStatus GmailEngine::Check() {
  checkTime_ = UnixNow();
  const GmailSettings account = settings();
  CheckStatus result = CheckStatus::Failure;
  bool allSeen = false;
  for (const Text& label : Labels(account.folderList)) {
    if (stopRequested())
      return CheckStatus::Failure;
    const CheckStatus labelResult = CheckLabel(label);
    if (labelResult != CheckStatus::Failure)
      result = labelResult;
    if (Text::CompareNoCase(label.view(), kAllLabel) == 0)
      allSeen = true;
  }
  if (!allSeen) {
    if (stopRequested())
      return CheckStatus::Failure;
    result = CheckLabel(Text());
    if (result != CheckStatus::Success)
      return result;
  }
  if (mails.count() > 0)
    result = CheckStatus::Success;
  return result;
}

CheckStatus GmailEngine::CheckLabel(const Text& label) {
  Text source;
  if (!loader_(FeedUrl(label), &source, 0)) {
    lastFailure = u"the feed could not be loaded";
    return CheckStatus::Failure;
  }
  return ReadFeed(source, label);
}

CheckStatus GmailEngine::ReadFeed(const Text& source, const Text& label) {
  if (static_cast<std::size_t>(source.length()) > kLargestFeed) {
    lastFailure = u"the feed is too large";
    return CheckStatus::Failure;
  }
  Text page = source;
  page.Trim();
  if (Text::CompareNoCase(page.view(), kGmailBlankPage) == 0)
    return CheckStatus::LoginNeeded;
  XmlDocument document;
  if (!document.Create(kXmlNoValidation | kXmlNoExternals) || !document.LoadText(source)) {
    lastFailure = u"the feed is not XML";
    return CheckStatus::Failure;
  }
  // A document that is not a feed (a page of the service in XHTML) is no answer either;
  // reading it as a feed without entries would report a mailbox without mail.
  bool isFeed = false;
  document.Enumerate(u"", &GmailEngine::VisitRoot, &isFeed);
  if (!isFeed) {
    lastFailure = u"the answer is not a feed";
    return CheckStatus::Failure;
  }
  Text rootTitle;
  const bool haveTitle = document.GetText(u"feed\\title", rootTitle);
  if (checkTime_ == 0)
    checkTime_ = UnixNow();
  currentLabel_ = &label;
  entriesRead_ = 0;
  document.Enumerate(u"feed", &GmailEngine::VisitEntry, this);
  currentLabel_ = nullptr;
  Text address;
  if (haveTitle && AccountNameOfTitle(rootTitle, &address))
    accountName = std::move(address);
  return CheckStatus::Success;
}

int GmailEngine::VisitRoot(int isAttribute, XmlNode*, const Text& name, const Text&, void* context,
                           XmlDocument*) {
  if (isAttribute == 0 && name.view() == u"feed") {
    *static_cast<bool*>(context) = true;
    return 1;
  }
  return 0;
}

int GmailEngine::VisitEntry(int isAttribute, XmlNode* node, const Text& name, const Text&,
                            void* context, XmlDocument* document) {
  auto* engine = static_cast<GmailEngine*>(context);
  if (isAttribute != 0 || name.view() != u"entry" || document == nullptr)
    return 0;
  if (engine->entriesRead_ >= kMostEntries)
    return 0;
  auto item = std::make_unique<MailItem>();
  if (!document->GetText(u"title", item->subject, node))
    return 0;
  item->folder = *engine->currentLabel_;
  Text date;
  if (!document->GetText(u"issued", date, node))
    return 0;
  item->date = ServiceDate(std::move(date), engine->checkTime_);
  document->GetText(u"author\\name", item->sender, node);
  ++engine->entriesRead_;
  engine->AddMail(std::move(item), MailOrder::SortedByDate);
  return 0;
}

bool GmailEngine::OpenReader(ReaderLauncher& launcher) {
  website = settings().website;
  return MailEngine::OpenReader(launcher);
}

Text GmailEngine::GetDisplayName() const {
  if (!accountName.isEmpty())
    return accountName;
  return NameFromAddress(settings().website);
}

std::unique_ptr<MailEngine> CreateGmailEngine(const AccountTypeInfo& type,
                                              const SettingsStore* settings) {
  auto engine = std::make_unique<GmailEngine>(type);
  if (settings != nullptr)
    engine->LoadSettings(*settings);
  return engine;
}

}  // namespace tarvel
