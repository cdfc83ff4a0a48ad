#pragma once

namespace tarvel {

class NodeListBase;

// The base of every entry of an intrusive list: mail records and the engines themselves.
// Only the list touches the links.
class ListNode {
 public:
  ListNode() = default;
  virtual ~ListNode() = default;
  ListNode(const ListNode&) = delete;
  ListNode& operator=(const ListNode&) = delete;

 private:
  friend class NodeListBase;
  ListNode* next_ = nullptr;
  ListNode* previous_ = nullptr;
  const NodeListBase* owner_ = nullptr;
};

}  // namespace tarvel
