#include "ui/mail_list/mail_list_page.h"

#include <array>

#include "mail/mail_item.h"
#include "platform/display_text.h"
#include "resources/string_table.h"
#include "ui/notice/popup_page.h"

namespace tarvel {

namespace {

constexpr uint32_t kStringNoUnreadMails = 1;

// "%s" takes the text, "%%" is a percent sign.
constexpr std::string_view kNoUnreadMailFormat =
    R"(<html><head><style>body{overflow-x:hidden;background-color:@BACKGROUND_COLOR@;margin:0px;}.content{vertical-align:bottom;padding-left:7px;padding-top:16px;font-family:"Lucida Sans Unicode","Segoe UI",Verdana,sans-serif;line-height:140%%;font-size:16pt;color:@NOTE_COLOR@;text-align:center;}</style></head><body topmargin="0" leftmargin="0"><div class="content">%s</div></body></html>)";

}  // namespace

std::string MailListImage(uint32_t logoId) {
  return "<img src=\"res://Tarvel.exe/#" + std::to_string(logoId) + "\" border=\"0\">";
}

bool AddMailListRow(std::string_view rowTemplate, const MailListType& type, const MailItem& item,
                    uint32_t position, std::string& items) {
  if (item.sender.isEmpty() && item.subject.isEmpty())
    return false;
  const std::array<Placeholder, 5> placeholders = {{
      {"@IMAGE@", position == 0 ? MailListImage(type.logoId) : std::string()},
      {"@ENGINE@", std::to_string(type.typeBit)},
      {"@ENGINE_NAME@", EscapeHtml(type.displayName).ToUtf8()},
      {"@TITLE@", EscapeHtml(item.sender).ToUtf8()},
      {"@TEXT@", EscapeHtml(item.subject).ToUtf8()},
  }};
  items += FillPlaceholders(rowTemplate, placeholders);
  return true;
}

std::string NoUnreadMailPage() {
  const std::string note = EscapeHtml(LoadString(kStringNoUnreadMails)).ToUtf8();
  std::string page;
  for (std::size_t index = 0; index < kNoUnreadMailFormat.size(); ++index) {
    const char current = kNoUnreadMailFormat[index];
    if (current == '%' && index + 1 < kNoUnreadMailFormat.size()) {
      const char next = kNoUnreadMailFormat[index + 1];
      if (next == '%') {
        page += '%';
        ++index;
        continue;
      }
      if (next == 's') {
        page += note;
        ++index;
        continue;
      }
    }
    page += current;
  }
  return page;
}

std::optional<std::string> BuildMailListPage(std::string_view pageTemplate,
                                             const std::string& items, const MailListColors& colors,
                                             double dpiFactor) {
  std::string page;
  if (items.empty()) {
    page = NoUnreadMailPage();
  } else if (pageTemplate.empty()) {
    return std::nullopt;
  } else {
    page = std::string(pageTemplate);
  }
  const std::array<Placeholder, 8> placeholders = {{
      {"@TITLE_COLOR@", HtmlColor(colors.title)},
      {"@TEXT_COLOR@", HtmlColor(colors.text)},
      {"@ENGINE_COLOR@", HtmlColor(colors.provider)},
      {"@NOTE_COLOR@", HtmlColor(colors.note)},
      {"@BACKGROUND_COLOR@", HtmlColor(colors.background)},
      {"@BACKGROUND_LOGO_COLOR@", HtmlColor(colors.backgroundLogo)},
      {"@WIDTH_LOGO@", std::to_string(ScaledPixels(kMailListLogoWidth, dpiFactor))},
      {"@ITEMS@", items},
  }};
  return FillPlaceholders(page, placeholders);
}

}  // namespace tarvel
