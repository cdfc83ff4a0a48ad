#include "maintenance/update_checker.h"

#include "platform/file_replacement.h"

#include <sys/stat.h>

#include <chrono>
#include <utility>

namespace tarvel {

namespace {

constexpr char16_t kUserAgent[] = u"AutoUpdate";
// The question is waited for in slices, so a stop request is seen soon.
constexpr auto kAnswerSlice = std::chrono::milliseconds(50);

bool IsHttps(const Text& url) {
  UrlParts parts;
  return url.view().substr(0, 8) == u"https://" && HttpSession::SplitUrl(url, &parts, 443) &&
         parts.schemeNumber == UrlParts::kSchemeHttps && !parts.host.view().empty();
}

// The hook of the answer's request: redirects are not followed, so the answer comes from
// the update host itself.
std::int64_t NoRedirects(int event, const RequestEventValue&, void*) {
  // Nor does it carry cookies.
  return event == request_event::kFollowRedirects || event == request_event::kSendCookies ? 0 : 1;
}

struct DownloadWatch {
  bool finalHttps = true;
};

std::int64_t WatchDownload(int event, const RequestEventValue& value, void* context) {
  auto& watch = *static_cast<DownloadWatch*>(context);
  if (event == download_event::kFinalUrl && value.text != nullptr)
    watch.finalHttps = value.text->view().substr(0, 8) == u"https://";
  return event == download_event::kSendCookies ? 0 : 1;
}

// Whether an answer's file element can be installed into a portable tree.
bool Installable(const UpdateFile& file, std::string* why) {
  if (!IsHttps(file.url)) {
    *why = "not an https address: " + file.url.ToUtf8();
    return false;
  }
  if (!file.size || *file.size > UpdateChecker::kLargestDownload || file.sha256.empty()) {
    *why = "no size or SHA-256 for " + file.url.ToUtf8();
    return false;
  }
  if (file.name.view().empty() && file.zip.view().empty()) {
    // The answer names an installer to run: a downloaded program is never run.
    *why = "an installer: " + file.url.ToUtf8();
    return false;
  }
  if (!file.name.view().empty()) {
    const std::u16string_view name = file.name.view();
    if (name == u"." || name == u".." || name.find(u'/') != std::u16string_view::npos ||
        name.find(u'\\') != std::u16string_view::npos) {
      *why = "not a plain file name: " + file.name.ToUtf8();
      return false;
    }
  }
  return true;
}

}  // namespace

const char* UpdateOutcomeName(UpdateOutcome outcome) {
  switch (outcome) {
    case UpdateOutcome::NotRun:
      return "NotRun";
    case UpdateOutcome::NoAnswer:
      return "NoAnswer";
    case UpdateOutcome::NotNewer:
      return "NotNewer";
    case UpdateOutcome::Declined:
      return "Declined";
    case UpdateOutcome::Told:
      return "Told";
    case UpdateOutcome::Refused:
      return "Refused";
    case UpdateOutcome::Failed:
      return "Failed";
    case UpdateOutcome::Installed:
      return "Installed";
    case UpdateOutcome::Restarting:
      return "Restarting";
    case UpdateOutcome::Stopped:
      return "Stopped";
  }
  return "?";
}

UpdateChecker::UpdateChecker(UpdateCheckState& state, Clock& clock, DiagnosticTrace* trace)
    : state_(state), clock_(clock), trace_(trace) {
  http_.SetStopSignal(&thread_.stopSignal());
}

UpdateChecker::~UpdateChecker() {
  Stop();
}

bool UpdateChecker::Start(Settings settings, Hooks hooks) {
  Stop();
  outcome_ = UpdateOutcome::NotRun;
  // No update host of ours configured: the check is off.
  if (!IsHttps(settings.updateUrl))
    return false;
  const std::optional<uint64_t> lastCheck = state_.ReadLastCheck();
  if (!lastCheck) {
    state_.WriteLastCheck(0);  // the first run never checks
    return false;
  }
  const int64_t now = clock_.UnixSeconds();
  if (now < 0 || static_cast<int64_t>(*lastCheck) + kInterval >= now)
    return false;
  // Written before the check, so a failed check waits seven days as well.
  state_.WriteLastCheck(static_cast<uint64_t>(now));
  settings_ = std::move(settings);
  hooks_ = std::move(hooks);
  if (trace_)
    trace_->Record("UpdateCheck");
  return thread_.start([this] { return Run(); });
}

void UpdateChecker::Stop() {
  thread_.requestStop();
  answered_.notify_all();
  thread_.waitFinished(0);
}

bool UpdateChecker::Wait(uint32_t milliseconds) {
  return thread_.waitFinished(milliseconds);
}

std::string UpdateChecker::failure() const {
  std::lock_guard lock(mutex_);
  return failure_;
}

uint32_t UpdateChecker::Run() {
  UpdateOutcome outcome = Check();
  if (thread_.stopRequested() && outcome != UpdateOutcome::Restarting)
    outcome = UpdateOutcome::Stopped;
  outcome_ = outcome;
  if (trace_) {
    std::string entry = std::string("UpdateCheck ") + UpdateOutcomeName(outcome);
    const std::string why = failure();
    if (!why.empty() && (outcome == UpdateOutcome::Refused || outcome == UpdateOutcome::Failed))
      entry += ": " + why;
    trace_->Record(entry);
  }
  if (hooks_.finished)
    hooks_.finished(outcome);
  return static_cast<uint32_t>(outcome);
}

UpdateOutcome UpdateChecker::Fail(UpdateOutcome outcome, std::string why) {
  std::lock_guard lock(mutex_);
  failure_ = std::move(why);
  return outcome;
}

UpdateOutcome UpdateChecker::Check() {
  const Text url =
      UpdateRequestUrl(settings_.updateUrl, settings_.runningText, settings_.identifier);
  UrlParts parts;
  if (!HttpSession::SplitUrl(url, &parts, 443))
    return UpdateOutcome::NoAnswer;
  HttpRequest request;
  request.server = parts.host;
  request.object = parts.path;
  request.object.Append(parts.extra.view());
  request.port = parts.port;
  request.serviceKind = ServiceKind::Https;
  request.userAgent = kUserAgent;
  request.largestBody = kLargestAnswer;
  request.callback = &NoRedirects;
  Text answer;
  int status = 0;
  if (!http_.Request(request, &answer, &status) || status != 200)
    return UpdateOutcome::NoAnswer;

  UpdateOffer offer;
  if (!ParseUpdateAnswer(answer, settings_.language.view(), &offer))
    return UpdateOutcome::NoAnswer;
  if (!IsNewerVersion(offer.version, settings_.running))
    return UpdateOutcome::NotNewer;
  if (state_.ReadDeclinedVersion() == offer.versionText.view())
    return UpdateOutcome::NotNewer;

  const CopyPlace place = DescribeCopy(settings_.program, settings_.dpkgInfoFolder);
  if (place.kind != CopyKind::Portable) {
    // The package manager (or whoever installed the copy) brings the new version.
    if (hooks_.tell)
      hooks_.tell(offer.caption, offer.info, offer.help);
    return UpdateOutcome::Told;
  }
  std::string why;
  bool installable = !offer.files.empty();
  if (!installable)
    why = "the answer lists no files";
  for (const UpdateFile& file : offer.files)
    installable = installable && Installable(file, &why);
  if (!installable) {
    // Offered, but not in a form this copy installs safely: the user is told instead.
    if (hooks_.tell)
      hooks_.tell(offer.caption, offer.info, offer.help);
    return Fail(UpdateOutcome::Refused, why);
  }

  if (!Ask(UpdateQuestion::Install, offer.caption, offer.info, offer.help)) {
    if (thread_.stopRequested())
      return UpdateOutcome::Stopped;
    state_.WriteDeclinedVersion(offer.versionText);
    return UpdateOutcome::Declined;
  }
  const UpdateOutcome installed = Install(offer, place);
  if (installed != UpdateOutcome::Installed)
    return installed;

  if (!offer.hasRestart)
    return UpdateOutcome::Installed;
  if (!offer.restart.view().empty() &&
      !Ask(UpdateQuestion::Restart, offer.caption, offer.restart, Text()))
    return UpdateOutcome::Installed;  // the new tree is in place for the next start
  std::string program = place.root + "/" + place.programFolder + NameOf(place.program);
  if (!offer.execute.view().empty()) {
    // Another program of the new tree, named plainly in its program folder.
    const std::string execute = offer.execute.ToUtf8();
    const std::string candidate = place.root + "/" + place.programFolder + execute;
    struct stat info {};
    if (execute.find('/') == std::string::npos && execute != "." && execute != ".." &&
        lstat(candidate.c_str(), &info) == 0 && S_ISREG(info.st_mode) &&
        (info.st_mode & S_IXUSR) != 0)
      program = candidate;
  }
  if (hooks_.restart)
    hooks_.restart(program);
  return UpdateOutcome::Restarting;
}

UpdateOutcome UpdateChecker::Install(const UpdateOffer& offer, const CopyPlace& place) {
  TreeUpdate update(place);
  if (!update.Prepare())
    return Fail(UpdateOutcome::Failed, update.error());
  for (const UpdateFile& file : offer.files) {
    if (thread_.stopRequested())
      return UpdateOutcome::Stopped;
    DownloadRequest download;
    download.url = file.url;
    download.userAgent = kUserAgent;
    download.filePath = update.DownloadPath();
    download.largestBody = *file.size;
    download.extraHeaders = u"Accept: */*";
    DownloadWatch watch;
    download.callback = &WatchDownload;
    download.callbackContext = &watch;
    int status = 0;
    if (!http_.DownloadToFile(download, &status))
      return Fail(UpdateOutcome::Failed,
                  "download failed (" + std::to_string(status) + "): " + file.url.ToUtf8());
    if (!watch.finalHttps)
      return Fail(UpdateOutcome::Failed, "redirected away from https: " + file.url.ToUtf8());
    // Nothing is used before its length and hash match the answer's.
    if (!TreeUpdate::Verify(download.filePath, *file.size, file.sha256))
      return Fail(UpdateOutcome::Failed, "size or SHA-256 differs: " + file.url.ToUtf8());
    const bool placed = file.zip.view().empty()
                            ? update.PlaceFile(download.filePath, file.name.ToUtf8())
                            : update.UnpackArchive(download.filePath);
    if (!placed)
      return Fail(UpdateOutcome::Failed, update.error());
  }
  if (thread_.stopRequested())
    return UpdateOutcome::Stopped;
  if (!update.Swap())
    return Fail(UpdateOutcome::Failed, update.error());
  return UpdateOutcome::Installed;
}

bool UpdateChecker::Ask(UpdateQuestion question, const Text& caption, const Text& text,
                        const Text& help) {
  if (!hooks_.ask)
    return false;
  // The answer may come after the check has given up waiting: it then lands in the shared
  // state only.
  struct Pending {
    std::mutex mutex;
    std::condition_variable answered;
    std::optional<bool> yes;
  };
  auto pending = std::make_shared<Pending>();
  hooks_.ask(question, caption, text, help, [pending](bool yes) {
    {
      std::lock_guard lock(pending->mutex);
      if (!pending->yes)
        pending->yes = yes;
    }
    pending->answered.notify_all();
  });
  std::unique_lock lock(pending->mutex);
  while (!pending->yes) {
    if (thread_.stopRequested())
      return false;
    pending->answered.wait_for(lock, kAnswerSlice);
  }
  return *pending->yes;
}

}  // namespace tarvel
