#include "engines/web/o2_engine.h"

#include <cstdint>

#include "engines/web/web_login.h"

namespace tarvel {

using namespace page_scraping;

namespace {

// A host name of letters, digits, dots and hyphens on O2's domain.
bool IsO2Host(std::u16string_view host) {
  constexpr std::u16string_view kDomain = u"o2.pl";
  if (host.empty() || host.size() > 253)
    return false;
  for (const char16_t c : host) {
    const bool allowed = (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z') ||
                         (c >= u'0' && c <= u'9') || c == u'.' || c == u'-';
    if (!allowed)
      return false;
  }
  if (Text::CompareNoCase(host, kDomain) == 0)
    return true;
  return host.size() > kDomain.size() + 1 &&
         Text::CompareNoCase(host.substr(host.size() - kDomain.size() - 1), u".o2.pl") == 0;
}

// "_flags" as an unsigned decimal number; false for anything else.
bool ReadFlags(std::u16string_view text, std::uint32_t* flags) {
  if (text.empty() || text.size() > 10)
    return false;
  std::uint64_t value = 0;
  for (const char16_t c : text) {
    if (c < u'0' || c > u'9')
      return false;
    value = value * 10 + static_cast<std::uint64_t>(c - u'0');
  }
  if (value > 0xFFFFFFFFu)
    return false;
  *flags = static_cast<std::uint32_t>(value);
  return true;
}

}  // namespace

O2Engine::O2Engine(const AccountTypeInfo& type) : PageScrapingEngine(type) {}

bool O2Engine::ContinueAddress(const Text& answer, Text* host, Text* path) {
  // The path runs from the host's end to the closing quote: a ".pl" elsewhere in the
  // script does not move its start.
  Text address;
  if (Between(answer, u"\"//", u"\"", &address) != Cut::Found)
    return false;
  const Text::Position slash = address.FindChar(u'/');
  if (slash == Text::kNotFound)
    return false;
  *host = address.Left(slash);
  *path = address.Mid(slash);
  return IsO2Host(host->view());
}

CheckStatus O2Engine::Check() {
  const std::u16string_view mobile = web_login::hosts::kO2Mobile;
  Text script;
  if (!Fetch(Get(web_login::hosts::kO2Api,
                 Text(u"/v1/remember_me/").Append(mobile).Append(u"/login.js")),
             &script))
    return CheckStatus::Failure;
  if (ContainsNoCase(script, u"enable_remember_me(\""))
    return SignedOut(u"the remember-me script asks for a sign-in");
  Text host;
  Text path;
  if (!ContinueAddress(script, &host, &path))
    return Failed(u"the remember-me script names no O2 address");
  Text ignored;
  if (!Fetch(Get(host, path, 80), &ignored))
    return CheckStatus::Failure;

  Text cookies;
  Text session;
  if (!http().GetCookies(Text(u"http://").Append(mobile).Append(u"/"), &cookies,
                         CookieAccess::ScriptVisible) ||
      !CookieValue(cookies, u"ssid", &session))
    return SignedOut(u"no ssid cookie");

  Text list = u"/a?cmd=view_all&fmt=js&xsfr-cookie=";
  list.Append(StrictlyEncoded(session)).Append(u"&count=100&groups=");
  Text answer;
  if (!Fetch(Get(mobile, list, 80), &answer))
    return CheckStatus::Failure;
  return ReadMailList(answer);
}

CheckStatus O2Engine::ReadMailList(const Text& answer) {
  JsonDocument document;
  if (!ParseJson(answer, document))
    return Failed(u"the mail list is not JSON");
  const JsonNode* list = Path(document.root(), {u"response", u"data", u"maillist", u"mail"});
  if (!IsArray(list))
    return Failed(u"the answer holds no mail list");
  StartReading();
  for (const JsonNode* mail = FirstElement(list); mail != nullptr; mail = mail->next) {
    std::u16string_view flagsText;
    std::uint32_t flags = 0;
    std::u16string_view from;
    std::u16string_view subject;
    std::u16string_view date;
    if (!ScalarMember(mail, u"_flags", &flagsText) || !ReadFlags(flagsText, &flags) ||
        (flags & 1u) == 0 || !ScalarMember(mail, u"_from", &from) ||
        !ScalarMember(mail, u"_subject", &subject) || !ScalarMember(mail, u"_dateraw", &date))
      continue;
    Text sender = Decoded(from);
    ReplaceSenderEntities(sender);
    if (!Report(std::move(sender), Decoded(subject), Text(date)))
      break;
  }
  return CheckStatus::Success;
}

std::unique_ptr<MailEngine> CreateO2Engine(const AccountTypeInfo& type, const SettingsStore*) {
  return std::make_unique<O2Engine>(type);
}

}  // namespace tarvel
