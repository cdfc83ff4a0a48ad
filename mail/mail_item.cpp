#include "mail/mail_item.h"

#include <array>
#include <string_view>
#include <utility>

#include "platform/display_text.h"

namespace tarvel {

namespace {

// Named entities replaced in this order, each only in exactly this form and letter case.
constexpr std::array<std::pair<std::u16string_view, std::u16string_view>, 25> kEntities = {{
    {u"&amp;", u"&"},         {u"&quot;", u"\""},       {u"&gt;", u">"},
    {u"&lt;", u"<"},          {u"&nbsp;", u" "},        {u"&apos;", u"'"},
    {u"&szlig;", u"\u00DF"},  {u"&uuml;", u"\u00FC"},   {u"&Uuml;", u"\u00DC"},
    {u"&auml;", u"\u00E4"},   {u"&Auml;", u"\u00C4"},   {u"&ouml;", u"\u00F6"},
    {u"&Ouml;", u"\u00D6"},   {u"&acute;", u"\u00B4"},  {u"&aacute;", u"\u00E1"},
    {u"&Aacute;", u"\u00C1"}, {u"&eacute;", u"\u00E9"}, {u"&Eacute;", u"\u00C9"},
    {u"&uacute;", u"\u00FA"}, {u"&Uacute;", u"\u00DA"}, {u"&oacute;", u"\u00F3"},
    {u"&Oacute;", u"\u00D3"}, {u"&ntilde;", u"\u00F1"}, {u"&Ntilde;", u"\u00D1"},
    {u"&bull;", u"*"},
}};

void RemoveTags(Text& text, MarkupMode mode) {
  std::u16string units = text.units();
  std::size_t open = units.find(u'<');
  while (open != std::u16string::npos) {
    const std::size_t close = units.find(u'>', open);
    if (close == std::u16string::npos)
      break;
    if (mode == MarkupMode::Sender && open == 0 && close == units.size() - 1 &&
        units.find(u'@', open) < close) {
      // An address written in angle brackets keeps the address.
      units = units.substr(1, units.size() - 2);
      break;
    }
    units.erase(open, close - open + 1);
    // Nothing before `open` holds a "<", so searching on from there is searching from
    // the start.
    open = units.find(u'<', open);
  }
  text = Text(units);
}

}  // namespace

void StripMarkup(Text& text, MarkupMode mode) {
  RemoveTags(text, mode);
  for (const auto& [entity, character] : kEntities)
    text.Replace(entity, character);
  text.Replace(u"_", u" ");
  text.Replace(u"&amp;", u"&");
}

void NormalizeMail(MailItem& item) {
  item.sender.DecodeEscapes(EscapeMode::Full);
  item.subject.DecodeEscapes(EscapeMode::Full);
  StripMarkup(item.sender, MarkupMode::Sender);
  StripMarkup(item.subject, MarkupMode::Plain);
  item.subject.Replace(u"\r", u" ");
  item.subject.Replace(u"\n", u" ");
  // Decoding may have produced terminal escapes or direction overrides: no window,
  // notification or terminal gets them.
  RemoveControlCharacters(item.subject);
  RemoveControlCharacters(item.sender);
  RemoveControlCharacters(item.folder);
  item.subject.Trim();
  item.sender.Trim();
  const Text::Position length = item.sender.length();
  if (length >= 2 && item.sender[0] == u'"' && item.sender[length - 1] == u'"') {
    item.sender = item.sender.Mid(1, length - 2);
  }
}

int CompareMailDates(const MailItem& existing, const MailItem& added, const MailDateOrder* order) {
  if (!order || *order == MailDateOrder::Logical) {
    return Text::CompareLogical(added.date, existing.date);
  }
  const int noCase = Text::CompareNoCase(added.date, existing.date);
  return noCase != 0 ? noCase : Text::Compare(added.date, existing.date);
}

void FormatMailLine(const MailItem& item, Text& text, MailText kind, bool popupAnnouncements) {
  if (item.subject.isEmpty() && item.sender.isEmpty())
    return;
  if (!text.isEmpty())
    text.Append(u'\r');
  Text line;
  if (!item.folder.isEmpty()) {
    line.Append(item.folder).Append(u" - ").Append(item.subject).Append(u" - ");
    line.Append(item.sender);
  } else {
    line.Append(item.sender).Append(u" - ").Append(item.subject);
  }
  if ((kind == MailText::AllMail || !popupAnnouncements) && line.length() > kMailLineLimit) {
    line.Truncate(kMailLineLimit);
    line.Append(u"...");
  }
  text.Append(line);
}

}  // namespace tarvel
