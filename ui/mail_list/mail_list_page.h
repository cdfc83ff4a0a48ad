#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/text.h"

namespace tarvel {

class MailItem;

// What a row of the mail list needs of its account type.
struct MailListType {
  uint32_t typeBit = 0;
  Text displayName;
  uint32_t logoId = 0;
};

// The resources of the mail list: the page and its two row forms (with and without the
// account type's name).
inline constexpr uint32_t kMailListPageId = 160;
inline constexpr uint32_t kMailListRowId = 161;
inline constexpr uint32_t kMailListRowWithProviderId = 231;

// The logo column's width at 96 DPI.
inline constexpr uint32_t kMailListLogoWidth = 16;

// The image of the first row of an account type: its logo resource.
std::string MailListImage(uint32_t logoId);

// Appends one row for the record to `items`, from the row template: @IMAGE@ (the type's logo
// on its first row, position 0, else nothing), @ENGINE@ (the typeBit in decimal),
// @ENGINE_NAME@, @TITLE@ (the sender) and @TEXT@ (the subject). The texts are escaped, so a
// subject cannot add markup to the page. A record without sender and subject adds nothing;
// returns whether a row was added.
bool AddMailListRow(std::string_view rowTemplate, const MailListType& type, const MailItem& item,
                    uint32_t position, std::string& items);

// The colours of the page, 0xRRGGBB.
struct MailListColors {
  uint32_t title = 0x505050;
  uint32_t text = 0x505050;
  uint32_t provider = 0x505050;
  uint32_t note = 0xB0B0B0;
  uint32_t background = 0xFCFCFC;
  uint32_t backgroundLogo = 0xF0F0F0;
};

// The page shown when nothing is unread, before its placeholders are filled.
std::string NoUnreadMailPage();

// The mail list page: with rows, the page template filled with them; without rows, the
// built-in page saying "No unread mails". The colours, @WIDTH_LOGO@ and @ITEMS@ are filled in
// one pass. None when there are rows but no page template (the old page stays).
std::optional<std::string> BuildMailListPage(std::string_view pageTemplate,
                                             const std::string& items, const MailListColors& colors,
                                             double dpiFactor);

}  // namespace tarvel
