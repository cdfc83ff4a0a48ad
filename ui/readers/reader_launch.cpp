#include "ui/readers/reader_launch.h"

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QDesktopServices>
#include <QStringList>
#include <QTimer>
#include <QUrl>

#include <cerrno>
#include <thread>

#include "accounts/account_type_list.h"
#include "accounts/mail_engine.h"
#include "ui/readers/browser_tab_activator.h"
#include "ui/readers/reader_commands.h"

namespace tarvel {

namespace {

// Starts a program (a bare name is looked for in PATH) in a session of its own with none of
// our descriptors but the standard three: libraries keep descriptors of their own without
// close-on-exec (libcurl's wake-up socket pair, say), and a reader that lives for hours must
// not hold our connections open. A thread of ours waits for it to end, so it never lingers as
// a zombie.
bool SpawnDetached(const std::string& program, const std::vector<std::string>& arguments) {
  if (program.empty())
    return false;
  std::vector<std::string> words;
  words.reserve(arguments.size() + 1);
  words.push_back(program);
  words.insert(words.end(), arguments.begin(), arguments.end());
  std::vector<char*> argv;
  argv.reserve(words.size() + 1);
  for (std::string& word : words)
    argv.push_back(word.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawnattr_t attributes;
  if (posix_spawn_file_actions_init(&actions) != 0)
    return false;
  if (posix_spawnattr_init(&attributes) != 0) {
    posix_spawn_file_actions_destroy(&actions);
    return false;
  }
  pid_t pid = -1;
  const bool prepared = posix_spawn_file_actions_addclosefrom_np(&actions, 3) == 0 &&
                        posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSID) == 0;
  const bool started =
      prepared && posix_spawnp(&pid, argv[0], &actions, &attributes, argv.data(), environ) == 0;
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  if (!started)
    return false;
  std::thread([pid] {
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
  }).detach();
  return true;
}

}  // namespace

bool OpenWithDefaultHandler(const std::string& address) {
  // Anything else would be a file to open or, with a leading "-", an option of xdg-open.
  if (!IsHandlerAddress(address))
    return false;
  // xdg-open runs the handler of the desktop in use; without it Qt asks the desktop portal.
  if (SpawnDetached("xdg-open", {address}))
    return true;
  return QDesktopServices::openUrl(QUrl::fromUserInput(QString::fromStdString(address)));
}

bool StartReaderProgram(const std::string& program, const std::vector<std::string>& arguments) {
  if (program.empty())
    return false;
  return SpawnDetached(program, arguments);
}

DesktopReaderLauncher::DesktopReaderLauncher() : DesktopReaderLauncher(Actions{}) {}

DesktopReaderLauncher::DesktopReaderLauncher(Actions actions) : actions_(std::move(actions)) {
  if (!actions_.activateTab) {
    actions_.activateTab = [](BrowserKind kind, const Text& titleText) {
      return ActivateBrowserTab(kind, titleText);
    };
  }
  searches_.setMaxThreadCount(1);
}

DesktopReaderLauncher::~DesktopReaderLauncher() {
  searches_.waitForDone();
}

bool DesktopReaderLauncher::OpenReader(const MailEngine& engine) {
  const ReaderSources sources = ReaderSources::Load(XdgPaths::FromEnvironment());
  const ReaderLaunch launch = PlanReaderLaunch(sources, engine.reader, engine.website);
  if (launch.action == ReaderLaunch::Action::OpenAddress)
    return actions_.openAddress(launch.address);
  // Only a browser can have a tab of the account to reuse.
  const BrowserKind kind = BrowserKindFromProgram(launch.program, engine.reader);
  const std::optional<Text> title =
      kind == BrowserKind::None ? std::nullopt : TabTitleText(TabTitleSourceOf(engine));
  if (!title)
    return actions_.startProgram(launch.program, launch.arguments);
  searches_.start([activateTab = actions_.activateTab, startProgram = actions_.startProgram, kind,
                   titleText = *title, launch] {
    if (!activateTab(kind, titleText))
      startProgram(launch.program, launch.arguments);
  });
  return true;
}

DesktopReaders::DesktopReaders(std::function<AccountTypeList*()> accounts, ReaderLauncher& launcher,
                               QObject* parent)
    : QObject(parent),
      accounts_(std::move(accounts)),
      launcher_(launcher),
      sequence_(
          [this](uint32_t milliseconds, std::function<void()> then) {
            // Bound to this object: a pause still running when it goes never fires.
            QTimer::singleShot(std::chrono::milliseconds(milliseconds), Qt::PreciseTimer, this,
                               std::move(then));
          },
          [this](uint32_t typeBit) {
            AccountTypeList* list = accounts_ ? accounts_() : nullptr;
            if (MailEngine* engine = list ? list->findByTypeBit(typeBit) : nullptr)
              engine->OpenReader(launcher_);
          }) {}

void DesktopReaders::OpenReaders(uint32_t typeMask) {
  if (AccountTypeList* list = accounts_ ? accounts_() : nullptr)
    sequence_.OpenReaders(*list, typeMask);
}

}  // namespace tarvel
