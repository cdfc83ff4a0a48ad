#include "accounts/mail_engine.h"

#include "accounts/reader_launcher.h"
#include "platform/ascii_bytes.h"

namespace tarvel {

MailEngine::MailEngine(const AccountTypeInfo& type)
    : name(type.internalName),
      reader(type.readerDefault),
      iconId(type.iconId),
      logoId(type.logoId),
      typeBit(type.typeBit),
      selectBit(type.selectBit),
      type_(&type) {}

MailEngine::~MailEngine() {
  mails.clear();
}

bool MailEngine::MarkRead(const std::string&, Text& failure) {
  failure = u"this account type cannot mark mail as read";
  return false;
}

bool MailEngine::OpenReader(ReaderLauncher& launcher) {
  return launcher.OpenReader(*this);
}

void MailEngine::AddMail(std::unique_ptr<MailItem> item, MailOrder order) {
  if (!item)
    return;
  NormalizeMail(*item);
  if (order == MailOrder::SortedByDate) {
    mails.insertSorted(std::move(item), CompareMailDates,
                       static_cast<const MailDateOrder*>(nullptr));
  } else {
    mails.append(std::move(item));
  }
}

Text NameFromAddress(const Text& address) {
  Text name = address;
  name.ReplaceNoCase(u"http://", u"");
  name.ReplaceNoCase(u"https://", u"");
  name.ReplaceNoCase(u"www.", u"");
  if (!name.isEmpty())
    name = Text().Append(ascii_bytes::Upper(name[0])).Append(name.view().substr(1));
  const Text::Position slash = name.FindChar(u'/');
  if (slash != Text::kNotFound)
    name.Truncate(slash);
  return name;
}

}  // namespace tarvel
