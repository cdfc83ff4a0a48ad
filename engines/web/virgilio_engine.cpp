#include "engines/web/virgilio_engine.h"

#include <string>
#include <utility>

#include "accounts/main_thread_relay.h"
#include "accounts/protected_text.h"
#include "accounts/settings_store.h"
#include "engines/web/web_login.h"

namespace tarvel {

using namespace page_scraping;

namespace {

constexpr std::u16string_view kUserAgent = web_login::kMsie8UserAgent;
constexpr std::u16string_view kInboxPath = u"/m/wmm/folder/INBOX/1?refresh=TRUE";
constexpr std::u16string_view kLoginTitle = u"<title>Virgilio Mail - Login</title>";
constexpr std::u16string_view kInboxTitle = u"<title>Virgilio Mail - In arrivo</title>";
constexpr std::u16string_view kEntryStart = u"class=\"item-dxNoT\"";
constexpr std::u16string_view kEntryEnd = u"class=\"b\"";

std::string FormPart(std::string_view name, const std::string& value) {
  std::string part = "------1234567890\r\nContent-Disposition: form-data; name=\"";
  part.append(name).append("\"\r\n\r\n").append(value).append("\r\n");
  return part;
}

std::string LoginBody(const VirgilioCredentials& credentials, const Text& viewState) {
  std::string body = FormPart("user", credentials.email.ToUtf8());
  body += FormPart("pass", credentials.password.ToUtf8());
  body += FormPart("j_id27", "ENTRA");
  body += FormPart("sub_act", "");
  body += FormPart("javax.faces.ViewState", viewState.ToUtf8());
  body += FormPart("mf", "mf");
  body += "------1234567890--\r\n";
  return body;
}

// One list entry's fields; false when one is missing or the entry is read.
bool ReadEntry(const Text& entry, Text* sender, Text* subject, Text* date) {
  Text from;
  if (Between(entry, u"class=\"row_mail_from\">", u"</div>", &from) != Cut::Found)
    return false;
  ReplaceAll(from, u"<b>Da:</b>&nbsp;", u"");
  if (!Contains(from, u"<b>"))
    return false;
  ReplaceAll(from, u"<b>", u"");
  ReplaceAll(from, u"</b>", u"");
  ReplaceAll(from, u"&quot;", u"\"");
  ReplaceAll(from, u"&amp;", u"&");
  ReplaceAll(from, u"&gt;", u">");
  ReplaceAll(from, u"&lt;", u"<");
  if (Between(from, u"\"", u"\"", sender) != Cut::Found)
    return false;

  Text element;
  if (Between(entry, u"class=\"row_mail_element\"", u"</div>", &element) != Cut::Found ||
      Between(element, u"\">", u"</a>", subject) != Cut::Found)
    return false;
  ReplaceAll(*subject, u"</b>", u"");

  if (Between(entry, u"class=\"row_mail_date\"", u" - ", date) != Cut::Found)
    return false;
  // The marker ends inside the element's tag: its rest is no part of the date.
  const Text::Position tagEnd = date->FindChar(u'>');
  if (tagEnd != Text::kNotFound)
    *date = date->Mid(tagEnd + 1);
  date->Trim();
  return true;
}

}  // namespace

VirgilioEngine::VirgilioEngine(const AccountTypeInfo& type, std::function<void()> eraseCredentials)
    : PageScrapingEngine(type), eraseCredentials_(std::move(eraseCredentials)) {}

void VirgilioEngine::LoadSettings(const SettingsStore& store) {
  // Credentials kept in a keyring that cannot give them now fail the checks with that reason
  // instead of a sign-in with nothing (which would count towards the erase).
  bool unreadable = false;
  Text email = UnprotectText(store, u"VirgilioEmail", u"", &unreadable);
  Text password = UnprotectText(store, u"VirgilioPassword", u"", &unreadable);
  SetSecretsUnreadable(unreadable);
  SetCredentials({std::move(email), std::move(password)});
}

void VirgilioEngine::SetCredentials(VirgilioCredentials credentials) {
  std::lock_guard lock(mutex_);
  credentials_ = std::move(credentials);
}

VirgilioCredentials VirgilioEngine::credentials() const {
  std::lock_guard lock(mutex_);
  return credentials_;
}

int VirgilioEngine::failedLogins() const {
  std::lock_guard lock(mutex_);
  return failedLogins_;
}

bool VirgilioEngine::ReadLoginForm(const Text& page, Text* path, Text* viewState) {
  Text target;
  if (Between(page, u"action=\"", u"\"", &target) != Cut::Found || target.isEmpty())
    return false;
  ReplaceAll(target, u"&amp;", u"&");
  // The form is posted to the same host whatever the target names: only its path is taken,
  // so the credentials never leave for another host.
  if (target.view().starts_with(u"http://") || target.view().starts_with(u"https://")) {
    const Text::Position hostStart = target.Find(u"//") + 2;
    const Text::Position pathStart = target.FindChar(u'/', hostStart);
    if (pathStart == Text::kNotFound)
      return false;
    target = target.Mid(pathStart);
  }
  if (target[0] != u'/')
    return false;
  const Text::Position field = page.FindCase(u"id=\"javax.faces.ViewState\"");
  if (field == Text::kNotFound)
    return false;
  const Text::Position fieldEnd = page.FindCase(u"/>", field);
  if (fieldEnd == Text::kNotFound)
    return false;
  const Text element = page.Mid(field, fieldEnd - field);
  if (Between(element, u"value=\"", u"\"", viewState) != Cut::Found)
    return false;
  *path = std::move(target);
  return true;
}

CheckStatus VirgilioEngine::Check() {
  Text page;
  if (!Fetch(Get(web_login::hosts::kVirgilioMobile, Text(kInboxPath), 80, kUserAgent), &page))
    return CheckStatus::Failure;
  bool attempted = false;
  while (Contains(page, kLoginTitle)) {
    VirgilioCredentials account = credentials();
    if (attempted) {
      return account.complete() ? Failed(u"the sign-in with the stored credentials failed")
                                : SignedOut(u"the sign-in page");
    }
    bool erase = false;
    {
      std::lock_guard lock(mutex_);
      erase = failedLogins_ >= kMostFailedLogins && account.complete();
      if (erase) {
        credentials_ = {};
        failedLogins_ = 0;
      }
    }
    if (erase) {
      account = {};
      if (eraseCredentials_)
        eraseCredentials_();
    }
    if (!account.complete())
      return SignedOut(u"the sign-in page, without stored credentials");
    Text path;
    Text viewState;
    if (!ReadLoginForm(page, &path, &viewState))
      return SignedOut(u"the sign-in page holds no readable form");
    Text answer;
    if (!Fetch(Post(web_login::hosts::kVirgilioMobile, std::move(path), kUserAgent,
                    u"Content-Type: multipart/form-data; boundary=----1234567890",
                    LoginBody(account, viewState)),
               &answer))
      return SignedOut(u"the sign-in form was not taken");
    {
      std::lock_guard lock(mutex_);
      ++failedLogins_;
    }
    attempted = true;
    if (!Fetch(Get(web_login::hosts::kVirgilioMobile, Text(kInboxPath), 80, kUserAgent), &page))
      return CheckStatus::Failure;
  }
  {
    std::lock_guard lock(mutex_);
    failedLogins_ = 0;
  }
  return ReadInbox(page);
}

CheckStatus VirgilioEngine::ReadInbox(const Text& page) {
  StartReading();
  bool found = false;
  Text::Position at = 0;
  while (true) {
    const Text::Position start = page.FindCase(kEntryStart, at);
    if (start == Text::kNotFound)
      break;
    const Text::Position contentStart = start + static_cast<Text::Position>(kEntryStart.size());
    Text::Position end = page.FindCase(kEntryEnd, contentStart);
    if (end == Text::kNotFound)
      end = page.length();
    at = end;
    Text sender;
    Text subject;
    Text date;
    if (!ReadEntry(page.Mid(contentStart, end - contentStart), &sender, &subject, &date))
      continue;
    found = true;
    if (!Report(std::move(sender), std::move(subject), std::move(date)))
      break;
  }
  if (!found && !Contains(page, kInboxTitle))
    return Failed(u"the page is not the inbox");
  return CheckStatus::Success;
}

std::unique_ptr<MailEngine> CreateVirgilioEngine(const AccountTypeInfo& type,
                                                 SettingsStore* settings,
                                                 MainThreadRelay* mainThread) {
  std::function<void()> erase;
  if (settings != nullptr) {
    // The check runs on its own thread, but the settings are written on the main thread;
    // without one (the command-line companion) the checking thread is the program's only one.
    erase = [settings, mainThread] {
      MainThreadRelay::Task clear = [settings] { web_login::ClearVirgilioCredentials(*settings); };
      if (mainThread == nullptr || !mainThread->PostTask(clear))
        clear();
    };
  }
  auto engine = std::make_unique<VirgilioEngine>(type, std::move(erase));
  if (settings != nullptr)
    engine->LoadSettings(*settings);
  return engine;
}

}  // namespace tarvel
