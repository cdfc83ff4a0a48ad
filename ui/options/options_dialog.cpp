#include "ui/options/options_dialog.h"

#include <QDialogButtonBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QStackedWidget>
#include <QVBoxLayout>

#include <string>

#include "accounts/account_type.h"
#include "accounts/option_flags.h"
#include "ui/adapters/qt_text.h"
#include "ui/adapters/window_title.h"
#include "ui/options/general_page.h"
#include "ui/options/more_options_page.h"
#include "ui/tray/tray_icon_images.h"

namespace tarvel {

namespace {

constexpr uint32_t kStringOk = 15;
constexpr uint32_t kStringCancel = 16;
constexpr char kProductPage[] = "https://www.quorline.com/tarvel/";

const AccountTypeInfo* AccountTypeOf(const OptionsTab& tab) {
  return tab.kind == OptionsTabKind::Account ? FindAccountType(tab.accountTypeBit) : nullptr;
}

// Stands in for an account page that this build does not have.
class AccountPlaceholder : public OptionsPage {
 public:
  AccountPlaceholder(const QString& name, QWidget* parent) : OptionsPage(parent) {
    auto* layout = new QVBoxLayout(this);
    auto* text =
        new QLabel(tr("The settings of %1 are not available in this version.").arg(name), this);
    text->setWordWrap(true);
    layout->addWidget(text);
    layout->addStretch(1);
  }
  void Save() override {}
};

}  // namespace

QString OptionsDialog::TabLabel(const OptionsTab& tab) {
  if (const AccountTypeInfo* type = AccountTypeOf(tab))
    return ToQString(type->displayName);
  return LoadQString(tab.labelStringId);
}

OptionsDialog::OptionsDialog(OptionsContext& context, Hooks hooks, QWidget* parent)
    : QDialog(parent),
      context_(context),
      hooks_(std::move(hooks)),
      pageList_(new QListWidget(this)),
      pages_(new QStackedWidget(this)),
      webLink_(new QLabel(this)) {
  setWindowTitle(WindowTitleWithVersion());
  setAccessibleName(windowTitle());
  setModal(true);

  // Twenty-three pages do not fit a row of tabs: they are listed at the side, as desktop
  // settings programs list theirs.
  pageList_->setAccessibleName(tr("Pages"));
  pageList_->setIconSize(QSize(16, 16));
  pageList_->setSizeAdjustPolicy(QAbstractScrollArea::AdjustToContents);
  pageList_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  for (const OptionsTab& tab : kOptionsTabs) {
    auto* item = new QListWidgetItem(ProgramIcon(tab.iconId), TabLabel(tab), pageList_);
    item->setData(Qt::AccessibleTextRole, item->text());
  }
  pageList_->setMinimumWidth(pageList_->sizeHintForColumn(0) + 2 * pageList_->frameWidth() + 4);
  pageList_->setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Expanding);

  webLink_->setText(u"<a href=\"%1\">%2</a>"_qs.arg(QString::fromLatin1(kProductPage),
                                                    tr("Tarvel E-Mail Notifier on the web")));
  webLink_->setTextInteractionFlags(Qt::TextBrowserInteraction);
  webLink_->setAccessibleName(tr("Tarvel E-Mail Notifier on the web"));
  webLink_->setOpenExternalLinks(false);
  connect(webLink_, &QLabel::linkActivated, this, [this](const QString& link) {
    if (context_.openUrl)
      context_.openUrl(link.toStdString());
  });

  auto* buttons = new QDialogButtonBox(this);
  QPushButton* ok = buttons->addButton(LoadQString(kStringOk), QDialogButtonBox::AcceptRole);
  QPushButton* cancel =
      buttons->addButton(LoadQString(kStringCancel), QDialogButtonBox::RejectRole);
  ok->setAccessibleName(ok->text());
  cancel->setAccessibleName(cancel->text());
  ok->setDefault(true);
  connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
  connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);

  auto* body = new QHBoxLayout;
  body->addWidget(pageList_);
  body->addWidget(pages_, 1);
  auto* bottom = new QHBoxLayout;
  bottom->addWidget(webLink_);
  bottom->addStretch(1);
  bottom->addWidget(buttons);
  auto* layout = new QVBoxLayout(this);
  layout->addLayout(body, 1);
  layout->addLayout(bottom);

  connect(pageList_, &QListWidget::currentRowChanged, this, &OptionsDialog::showPage);
  setTabOrder(pageList_, pages_);
  pageList_->setCurrentRow(0);
}

OptionsDialog::~OptionsDialog() = default;

OptionsPage* OptionsDialog::page(int index) const {
  if (index < 0 || index >= pageCount())
    return nullptr;
  return built_[static_cast<std::size_t>(index)];
}

void OptionsDialog::showPage(int index) {
  if (index < 0 || index >= pageCount())
    return;
  const auto slot = static_cast<std::size_t>(index);
  if (!built_[slot]) {
    const OptionsTab& tab = kOptionsTabs[slot];
    std::unique_ptr<OptionsPage> page;
    switch (tab.kind) {
      case OptionsTabKind::General:
        page = std::make_unique<GeneralPage>(context_);
        break;
      case OptionsTabKind::MoreOptions:
        page = std::make_unique<MoreOptionsPage>(context_);
        break;
      case OptionsTabKind::Account:
        if (const AccountTypeInfo* type = AccountTypeOf(tab); type && hooks_.createAccountPage)
          page = hooks_.createAccountPage(*type, context_, nullptr);
        if (!page)
          page = std::make_unique<AccountPlaceholder>(TabLabel(tab), nullptr);
        break;
    }
    page->setAccessibleName(TabLabel(tab));
    built_[slot] = page.get();
    pages_->addWidget(page.release());  // the stack owns its pages
  }
  pages_->setCurrentWidget(built_[slot]);
  if (pageList_->currentRow() != index)
    pageList_->setCurrentRow(index);
}

void OptionsDialog::done(int result) {
  if (result == QDialog::Accepted) {
    for (OptionsPage* page : built_) {
      if (page)
        page->Save();
    }
    // The run-time bits never reach the store.
    const uint64_t flags = context_.flags->load() &
                           ~(flag_bits::kRecheckRequested | flag_bits::kCustomTrayPictureIsIcon);
    if (hooks_.saveFlags)
      hooks_.saveFlags(flags);
    if (hooks_.startCheck)
      hooks_.startCheck();
    if (hooks_.showMailList)
      hooks_.showMailList((flags & flag_bits::kShowMailListWindow) != 0);
  }
  QDialog::done(result);
}

void OptionsController::Open() {
  if (!dialog_) {
    auto dialog = std::make_unique<OptionsDialog>(context_, hooks_);
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    dialog->setWindowModality(Qt::ApplicationModal);
    dialog_ = dialog.release();  // deletes itself when it closes
    dialog_->show();
  }
  dialog_->raise();
  dialog_->activateWindow();
}

void OptionsController::Close() {
  if (dialog_)
    dialog_->reject();
}

}  // namespace tarvel
