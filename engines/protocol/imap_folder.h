#pragma once

#include <cstdint>

#include "mail/list_node.h"
#include "platform/text.h"

namespace tarvel {

// One folder of an IMAP account: its name as the server lists it (decoded) and whether the
// account checks it.
class ImapFolder : public ListNode {
 public:
  ImapFolder(Text folderName, uint32_t checkedFlag)
      : name(std::move(folderName)), checked(checkedFlag) {}

  Text name;
  uint32_t checked = 0;  // 1: check this folder
};

}  // namespace tarvel
