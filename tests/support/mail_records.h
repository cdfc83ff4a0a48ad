#pragma once

#include <ostream>
#include <string>
#include <vector>

#include "accounts/mail_engine.h"

namespace tarvel::testing {

// An engine's mail list in a form that compares and prints well in test failures. Every
// record's folder must be empty (engines that check only one folder).
struct MailRecord {
  std::string sender;
  std::string subject;
  std::string date;
  bool operator==(const MailRecord&) const = default;
};

inline void PrintTo(const MailRecord& record, std::ostream* out) {
  *out << "{" << record.sender << " | " << record.subject << " | " << record.date << "}";
}

std::vector<MailRecord> InboxRecords(const MailEngine& engine);

}  // namespace tarvel::testing
