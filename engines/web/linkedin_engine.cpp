#include "engines/web/linkedin_engine.h"

#include <string_view>
#include <unordered_map>

#include "engines/web/web_login.h"
#include "engines/web/web_session_port.h"

namespace tarvel {

using namespace page_scraping;

namespace {

constexpr std::u16string_view kDataStart = u"{&quot;data&quot;:{&quot;metadata&quot;";
constexpr std::u16string_view kMemberType = u"com.linkedin.voyager.messaging.MessagingMember";
constexpr std::u16string_view kProfileType = u"com.linkedin.voyager.identity.shared.MiniProfile";

using RecordIndex = std::unordered_map<std::u16string_view, const JsonNode*>;

const JsonNode* Lookup(const RecordIndex& index, const JsonNode* from, std::u16string_view name) {
  std::u16string_view urn;
  if (!ScalarMember(from, name, &urn))
    return nullptr;
  const auto found = index.find(urn);
  return found == index.end() ? nullptr : found->second;
}

}  // namespace

LinkedInEngine::LinkedInEngine(const AccountTypeInfo& type, const SettingsStore* settings)
    : PageScrapingEngine(type), settings_(settings) {}

CheckStatus LinkedInEngine::Check() {
  if (settings_ != nullptr) {
    web_login::HttpWebSessionPort port(http(), {});
    web_login::RestoreCookies(*settings_, port, typeBit);
  }
  Text page;
  if (!Fetch(Get(web_login::hosts::kLinkedIn, FillTick(u"/messaging/?filter=unread&_=%u"), 80),
             &page))
    return CheckStatus::Failure;
  return ReadMessagingPage(page);
}

CheckStatus LinkedInEngine::ReadMessagingPage(const Text& page) {
  const Text::Position start = page.FindCase(kDataStart);
  if (start == Text::kNotFound)
    return SignedOut(u"the messaging page holds no data");
  const Text::Position end =
      page.FindCase(u"</code>", start + static_cast<Text::Position>(kDataStart.size()));
  if (end == Text::kNotFound)
    return SignedOut(u"the messaging page holds no data");
  Text data = page.Mid(start, end - start);
  ReplaceAll(data, u"&quot;", u"\"");

  // The data was found: from here on the session is signed in, and an answer that cannot be
  // read is a failure rather than a reason to sign in again.
  JsonDocument document;
  if (!ParseJson(data, document))
    return Failed(u"the messaging data is not JSON");
  const JsonNode* included = Member(document.root(), u"included");
  if (!IsArray(included))
    return Failed(u"the messaging data holds no records");

  RecordIndex members;
  RecordIndex profiles;
  std::size_t seen = 0;
  for (const JsonNode* record = FirstElement(included); record != nullptr && seen < kMostRecords;
       record = record->next, ++seen) {
    std::u16string_view type;
    std::u16string_view urn;
    if (!ScalarMember(record, u"$type", &type) || !ScalarMember(record, u"entityUrn", &urn))
      continue;
    if (type == kMemberType)
      members.emplace(urn, record);
    else if (type == kProfileType)
      profiles.emplace(urn, record);
  }

  StartReading();
  seen = 0;
  for (const JsonNode* event = FirstElement(included); event != nullptr && seen < kMostRecords;
       event = event->next, ++seen) {
    if (Member(event, u"*from") == nullptr)
      continue;
    const JsonNode* profile = Lookup(profiles, Lookup(members, event, u"*from"), u"*miniProfile");
    std::u16string_view firstName;
    std::u16string_view lastName;
    std::u16string_view createdAt;
    if (!ScalarMember(profile, u"firstName", &firstName) ||
        !ScalarMember(event, u"createdAt", &createdAt))
      continue;
    Text sender = Decoded(firstName);
    if (ScalarMember(profile, u"lastName", &lastName) && lastName != u"0" && !lastName.empty())
      sender.Append(u" ").Append(Decoded(lastName));
    const JsonNode* content = Member(event, u"eventContent");
    std::u16string_view subject;
    if (!ScalarMember(Member(content, u"attributedBody"), u"text", &subject) &&
        !ScalarMember(content, u"subject", &subject))
      ScalarMember(event, u"subject", &subject);
    if (!Report(std::move(sender), Decoded(subject), Text(createdAt)))
      break;
  }
  return CheckStatus::Success;
}

std::unique_ptr<MailEngine> CreateLinkedInEngine(const AccountTypeInfo& type,
                                                 const SettingsStore* settings) {
  return std::make_unique<LinkedInEngine>(type, settings);
}

}  // namespace tarvel
