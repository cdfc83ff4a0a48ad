#include "ui/options/options_dialog.h"

#include <QDialogButtonBox>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QListWidget>
#include <QPainter>
#include <QPushButton>
#include <QScreen>
#include <QScrollArea>
#include <QScrollBar>
#include <QStackedWidget>
#include <QVBoxLayout>

#include <algorithm>
#include <string>
#include <vector>

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
// The gear of the Options and More Options tabs: a drawing of one colour.
constexpr uint32_t kGearIcon = 120;
constexpr int kListIconSize = 16;
// The page list takes at most this share of the screen's width; longer names are cut short
// (and shown whole in their tooltip).
constexpr double kListShareOfScreen = 0.3;

// The gear drawn in the highlighted text's colour for the selected row, where its own dark
// colour would vanish in the highlight.
QIcon TabIcon(uint32_t iconId, const QPalette& palette, qreal scale) {
  QIcon icon = ProgramIcon(iconId);
  if (iconId != kGearIcon)
    return icon;
  const QSize size(kListIconSize, kListIconSize);
  QPixmap selected = icon.pixmap(size, scale);
  {
    QPainter painter(&selected);
    painter.setCompositionMode(QPainter::CompositionMode_SourceIn);
    painter.fillRect(selected.rect(), palette.color(QPalette::Active, QPalette::HighlightedText));
  }
  icon.addPixmap(selected, QIcon::Selected);
  return icon;
}

// A page's scroll area, asking for all of its page: the dialog bounds that by the screen.
class PageScroller : public QScrollArea {
 public:
  QSize sizeHint() const override {
    if (!widget())
      return QScrollArea::sizeHint();
    const int frame = 2 * frameWidth();
    return widget()->sizeHint() + QSize(frame + verticalScrollBar()->sizeHint().width(), frame);
  }
};

// The widgets of a page that take focus by Tab, in their own order; the parts of a control
// (the line edit of an editable list) are left to the control.
std::vector<QWidget*> TabStops(QWidget* page) {
  std::vector<QWidget*> stops;
  for (QWidget* widget : page->findChildren<QWidget*>()) {
    if (!(widget->focusPolicy() & Qt::TabFocus))
      continue;
    bool part = false;
    for (QWidget* above = widget->parentWidget(); above && above != page;
         above = above->parentWidget())
      part = part || (above->focusPolicy() & Qt::TabFocus) != 0;
    if (!part)
      stops.push_back(widget);
  }
  return stops;
}

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

  // Twenty-three pages do not fit a row of tabs: they are listed at the side, as desktop
  // settings programs list theirs.
  pageList_->setAccessibleName(tr("Pages"));
  pageList_->setIconSize(QSize(kListIconSize, kListIconSize));
  pageList_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  pageList_->setTextElideMode(Qt::ElideRight);
  for (const OptionsTab& tab : kOptionsTabs) {
    auto* item = new QListWidgetItem(TabIcon(tab.iconId, palette(), devicePixelRatioF()),
                                     TabLabel(tab), pageList_);
    item->setData(Qt::AccessibleTextRole, item->text());
    item->setToolTip(item->text());
  }
  // As wide as its longest name, within a share of the screen.
  const int listWidth = pageList_->sizeHintForColumn(0) + 2 * pageList_->frameWidth() +
                        pageList_->verticalScrollBar()->sizeHint().width();
  const QScreen* screen = this->screen() ? this->screen() : QGuiApplication::primaryScreen();
  const int widest =
      screen ? static_cast<int>(screen->availableGeometry().width() * kListShareOfScreen)
             : listWidth;
  pageList_->setFixedWidth(std::min(listWidth, widest));
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
  ok_ = buttons->addButton(LoadQString(kStringOk), QDialogButtonBox::AcceptRole);
  cancel_ = buttons->addButton(LoadQString(kStringCancel), QDialogButtonBox::RejectRole);
  ok_->setAccessibleName(ok_->text());
  cancel_->setAccessibleName(cancel_->text());
  ok_->setDefault(true);
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
  pageList_->setCurrentRow(0);
  FitTheScreen();
}

void OptionsDialog::ChainTabStops() {
  // The list, the shown page's controls, the link, OK, Cancel. The hidden pages' controls are
  // in the chain too; Tab passes over them.
  QWidget* previous = pageList_;
  for (OptionsPage* page : built_) {
    if (!page)
      continue;
    for (QWidget* stop : TabStops(page)) {
      setTabOrder(previous, stop);
      previous = stop;
    }
  }
  setTabOrder(previous, webLink_);
  setTabOrder(webLink_, ok_);
  setTabOrder(ok_, cancel_);
}

void OptionsDialog::FitTheScreen() {
  const QScreen* screen = this->screen() ? this->screen() : QGuiApplication::primaryScreen();
  if (!screen)
    return;
  // The frame the window manager adds is not known before the window is shown: a margin for
  // it. The pages scroll where the area is smaller than they would like.
  constexpr int kFrameAllowance = 48;
  const QSize available =
      screen->availableGeometry().size() - QSize(kFrameAllowance / 2, kFrameAllowance);
  setMaximumSize(available.expandedTo(minimumSizeHint()));
  resize(sizeHint().boundedTo(available));
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
    // Each page scrolls where the screen is too small for it.
    auto* scroller = new PageScroller;
    scroller->setWidgetResizable(true);
    scroller->setFrameShape(QFrame::NoFrame);
    scroller->setFocusPolicy(Qt::NoFocus);
    scroller->setWidget(page.release());  // the scroll area owns its page, the stack the area
    scrollers_[slot] = scroller;
    pages_->addWidget(scroller);
    ChainTabStops();
  }
  pages_->setCurrentWidget(scrollers_[slot]);
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
    const uint64_t flags = context_.flags->load() & ~flag_bits::kRunTimeBits;
    if (hooks_.saveFlags)
      hooks_.saveFlags(flags);
  }
  // The pages edited the values in memory (More Options even on Cancel); the other threads
  // see them from here on, all at once.
  if (hooks_.publishSettings)
    hooks_.publishSettings();
  if (result == QDialog::Accepted) {
    const uint64_t flags = context_.flags->load() & ~flag_bits::kRunTimeBits;
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
    // Not modal: the tray icon, its menu and the check timer stay usable while it is open.
    dialog->setWindowModality(Qt::NonModal);
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
