#include "ui/readers/reader_launch.h"

#include <QDesktopServices>
#include <QProcess>
#include <QStringList>
#include <QTimer>
#include <QUrl>

#include "accounts/account_type_list.h"
#include "accounts/mail_engine.h"
#include "ui/readers/browser_tab_activator.h"
#include "ui/readers/reader_commands.h"

namespace tarvel {

namespace {

QStringList ToQStringList(const std::vector<std::string>& items) {
  QStringList list;
  for (const std::string& item : items)
    list << QString::fromStdString(item);
  return list;
}

}  // namespace

bool OpenWithDefaultHandler(const std::string& address) {
  if (address.empty())
    return false;
  // xdg-open runs the handler of the desktop in use; without it Qt asks the desktop portal.
  if (QProcess::startDetached(QStringLiteral("xdg-open"), {QString::fromStdString(address)}))
    return true;
  return QDesktopServices::openUrl(QUrl::fromUserInput(QString::fromStdString(address)));
}

bool StartReaderProgram(const std::string& program, const std::vector<std::string>& arguments) {
  if (program.empty())
    return false;
  return QProcess::startDetached(QString::fromStdString(program), ToQStringList(arguments));
}

DesktopReaderLauncher::DesktopReaderLauncher() : DesktopReaderLauncher(Actions{}) {}

DesktopReaderLauncher::DesktopReaderLauncher(Actions actions) : actions_(std::move(actions)) {
  if (!actions_.activateTab) {
    actions_.activateTab = [](const MailEngine& engine, const std::string& program) {
      return ActivateBrowserTab(engine, program);
    };
  }
}

bool DesktopReaderLauncher::OpenReader(const MailEngine& engine) {
  const ReaderSources sources = ReaderSources::Load(XdgPaths::FromEnvironment());
  const ReaderLaunch launch = PlanReaderLaunch(sources, engine.reader, engine.website);
  if (launch.action == ReaderLaunch::Action::OpenAddress)
    return actions_.openAddress(launch.address);
  if (actions_.activateTab(engine, launch.program))
    return true;
  return actions_.startProgram(launch.program, launch.arguments);
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
