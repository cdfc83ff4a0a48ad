#include "mail/node_list.h"

namespace tarvel {

std::size_t NodeListBase::count() const {
  const std::shared_lock reader(lock_);
  std::size_t entries = 0;
  for (const ListNode* node = head_; node; node = node->next_)
    ++entries;
  return entries;
}

void NodeListBase::linkAtTail(ListNode* node) {
  node->owner_ = this;
  node->next_ = nullptr;
  node->previous_ = tail_;
  if (tail_) {
    tail_->next_ = node;
  } else {
    head_ = node;
  }
  tail_ = node;
}

void NodeListBase::linkBefore(ListNode* existing, ListNode* node) {
  node->owner_ = this;
  node->next_ = existing;
  node->previous_ = existing->previous_;
  if (existing->previous_) {
    existing->previous_->next_ = node;
  } else {
    head_ = node;
  }
  existing->previous_ = node;
}

void NodeListBase::appendNode(ListNode* node) {
  if (!node)
    return;
  const std::unique_lock writer(lock_);
  linkAtTail(node);
}

void NodeListBase::prependNode(ListNode* node) {
  if (!node)
    return;
  const std::unique_lock writer(lock_);
  if (head_) {
    linkBefore(head_, node);
  } else {
    linkAtTail(node);
  }
}

void NodeListBase::insertNodeBefore(ListNode* existing, ListNode* node) {
  if (!node)
    return;
  const std::unique_lock writer(lock_);
  if (existing && existing->owner_ == this) {
    linkBefore(existing, node);
  } else {
    linkAtTail(node);
  }
}

bool NodeListBase::removeNode(ListNode* node) {
  if (!node)
    return false;
  const std::unique_lock writer(lock_);
  if (node->owner_ != this)
    return false;
  unlink(node);
  return true;
}

ListNode* NodeListBase::takeFirstNode() {
  const std::unique_lock writer(lock_);
  ListNode* node = head_;
  if (node)
    unlink(node);
  return node;
}

void NodeListBase::unlink(ListNode* node) {
  if (node->previous_) {
    node->previous_->next_ = node->next_;
  } else {
    head_ = node->next_;
  }
  if (node->next_) {
    node->next_->previous_ = node->previous_;
  } else {
    tail_ = node->previous_;
  }
  node->next_ = node->previous_ = nullptr;
  node->owner_ = nullptr;
}

}  // namespace tarvel
