#include "ui/mail_list/mail_list_notifier.h"

#include <utility>

#include "accounts/mail_engine.h"

namespace tarvel {

MailListBuilder::MailListBuilder(Sources sources) : sources_(std::move(sources)) {}

void MailListBuilder::AddRow(const MailListType& type, const MailItem& item, uint32_t position) {
  if (!checkSettings_) {
    // Once per check: the settings and the row form stay the same for all its rows.
    checkSettings_ = sources_.settings ? sources_.settings() : MailListSettings();
    const uint32_t rowId =
        checkSettings_->includeProvider ? kMailListRowWithProviderId : kMailListRowId;
    rowTemplate_ = sources_.loadTemplate ? sources_.loadTemplate(rowId) : std::string();
  }
  if (rowTemplate_.empty())
    return;
  AddMailListRow(rowTemplate_, type, item, position, items_);
}

void MailListBuilder::BuildPage() {
  const MailListSettings settings =
      checkSettings_ ? *checkSettings_
                     : (sources_.settings ? sources_.settings() : MailListSettings());
  const std::string pageTemplate = items_.empty() || !sources_.loadTemplate
                                       ? std::string()
                                       : sources_.loadTemplate(kMailListPageId);
  {
    const std::lock_guard<std::mutex> lock(pageMutex_);
    std::optional<std::string> page =
        BuildMailListPage(pageTemplate, items_, settings.colors, dpiFactor_.load());
    checkSettings_.reset();
    rowTemplate_.clear();
    if (!page) {
      items_.clear();
      return;
    }
    page_ = std::move(*page);
    lastTemplate_ = pageTemplate;
    lastItems_ = std::move(items_);
    lastColors_ = settings.colors;
    items_.clear();
  }
  if (sources_.pageReady)
    sources_.pageReady();
}

void MailListBuilder::Rescale(double factor) {
  setDpiFactor(factor);
  {
    const std::lock_guard<std::mutex> lock(pageMutex_);
    if (page_.empty())
      return;
    std::optional<std::string> page =
        BuildMailListPage(lastTemplate_, lastItems_, lastColors_, dpiFactor_.load());
    if (!page)
      return;
    page_ = std::move(*page);
  }
  if (sources_.pageReady)
    sources_.pageReady();
}

std::string MailListBuilder::page() const {
  const std::lock_guard<std::mutex> lock(pageMutex_);
  return page_;
}

void MailListNotifier::AddPopupRow(const MailEngine& engine, const MailItem& item,
                                   uint32_t position) {
  MailListType type;
  type.typeBit = engine.typeBit;
  type.displayName = engine.GetDisplayName();
  type.logoId = engine.logoId;
  builder_.AddRow(type, item, position);
}

void MailListNotifier::AssemblePopup() {
  builder_.BuildPage();
}

}  // namespace tarvel
