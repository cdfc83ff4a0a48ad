#include "engines/web/sfr_engine.h"

#include "engines/web/web_login.h"

namespace tarvel {

using namespace page_scraping;

namespace {

constexpr std::string_view kHeaderListBody =
    "FOLDER=SF_INBOX&PAGE=1&NBDISPLAYMSG=&SORTBY=31&AUTO_REQUEST=FALSE"
    "&UPDATE_EXTFOLDER_TIME_REFRESH=FALSE&CHECK_REMOTE_FOLDERS=FALSE&FLAGS_FILTER_TYPE=14"
    "&IGNORE_UPDATE_SESSION=true&COMPUTE_NB_UNREADMSG=TRUE&START=0&END=50";

// SFR's own hosts: the domain itself or one below it.
bool IsSfrHost(std::u16string_view host) {
  constexpr std::u16string_view kDomain = u"sfr.fr";
  if (Text::CompareNoCase(host, kDomain) == 0)
    return true;
  return host.size() > kDomain.size() + 1 &&
         Text::CompareNoCase(host.substr(host.size() - kDomain.size() - 1), u".sfr.fr") == 0;
}

// The session error: a "code" of 380 at the top of the answer or one level below, in any
// layout of the JSON.
bool HasSessionErrorCode(const JsonNode* root) {
  std::u16string_view code;
  if (ScalarMember(root, u"code", &code) && code == u"380")
    return true;
  if (root == nullptr || root->kind != JsonKind::Object)
    return false;
  for (const JsonNode* part = root->children; part != nullptr; part = part->next) {
    if (ScalarMember(part, u"code", &code) && code == u"380")
      return true;
  }
  return false;
}

}  // namespace

SfrEngine::SfrEngine(const AccountTypeInfo& type) : PageScrapingEngine(type) {}

CheckStatus SfrEngine::Check() {
  Text finalUrl;
  http().SetStopSignal(stopSignal());
  if (!http().FinalUrl(Text(u"https://").Append(web_login::hosts::kSfrWebmail).Append(u"/"),
                       kSfrUserAgent, &finalUrl))
    return Failed(u"no answer from the webmail host");
  UrlParts parts;
  if (!HttpSession::SplitUrl(finalUrl, &parts, 443))
    return Failed(u"the webmail address cannot be read");
  // The mail and its cookies stay with SFR: a redirect elsewhere is not followed up.
  if (!IsSfrHost(parts.host.view()))
    return Failed(u"the webmail host redirects outside SFR");

  Text page;
  if (!Fetch(Get(parts.host, u"/webmail/mailbox.html", 443, kSfrUserAgent), &page))
    return CheckStatus::Failure;
  Text answer;
  if (!Fetch(Post(parts.host, u"/webmail/xml/getMailHeaderList.json", kSfrUserAgent,
                  u"Content-Type: application/x-www-form-urlencoded", std::string(kHeaderListBody)),
             &answer))
    return CheckStatus::Failure;
  return ReadHeaderList(answer);
}

CheckStatus SfrEngine::ReadHeaderList(const Text& answer) {
  if (Contains(answer, u"id=\"loginForm\" action=\"/cas/login?") ||
      Contains(answer, u"\"code\": 380,"))
    return SignedOut(u"the sign-in form of the webmail");
  JsonDocument document;
  if (!ParseJson(answer, document))
    return Failed(u"the header list is not JSON");
  if (HasSessionErrorCode(document.root()))
    return SignedOut(u"the webmail session has ended");
  const JsonNode* headers = Path(document.root(), {u"response", u"mailHeader"});
  if (!IsArray(headers))
    return Failed(u"the answer holds no header list");
  StartReading();
  for (const JsonNode* header = FirstElement(headers); header != nullptr; header = header->next) {
    std::u16string_view unread;
    std::u16string_view subject;
    std::u16string_view from;
    std::u16string_view date;
    if (!ScalarMember(header, u"unread", &unread) || unread != u"1" ||
        !ScalarMember(header, u"subject", &subject) || !ScalarMember(header, u"from", &from) ||
        !ScalarMember(header, u"date", &date))
      continue;
    // The sender is UTF-8 like the subject; taken as it stands, every accent would show as
    // two wrong characters.
    if (!Report(Decoded(from), Decoded(subject), Text(date)))
      break;
  }
  return CheckStatus::Success;
}

std::unique_ptr<MailEngine> CreateSfrEngine(const AccountTypeInfo& type, const SettingsStore*) {
  return std::make_unique<SfrEngine>(type);
}

}  // namespace tarvel
