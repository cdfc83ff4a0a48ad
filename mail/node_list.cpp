#include "mail/node_list.h"

namespace tarvel {

NodeListBase::WriterSection::WriterSection(const NodeListBase& list) : list_(list) {
  list_.writerLock_.lock();
  std::unique_lock lock(list_.noReadersLock_);
  list_.noReadersChanged_.wait(lock, [this] { return list_.noReaders_; });
}

NodeListBase::WriterSection::~WriterSection() {
  list_.writerLock_.unlock();
}

std::size_t NodeListBase::count() const {
  {
    std::lock_guard countLock(readerCountLock_);
    if (readers_++ == 0) {
      std::lock_guard writer(writerLock_);
      std::lock_guard flag(noReadersLock_);
      noReaders_ = false;
    }
  }
  std::size_t entries = 0;
  for (const ListNode* node = head_; node; node = node->next_)
    ++entries;
  {
    std::lock_guard countLock(readerCountLock_);
    if (--readers_ == 0) {
      std::lock_guard flag(noReadersLock_);
      noReaders_ = true;
      noReadersChanged_.notify_all();
    }
  }
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
  WriterSection section(*this);
  linkAtTail(node);
}

void NodeListBase::prependNode(ListNode* node) {
  if (!node)
    return;
  WriterSection section(*this);
  if (head_) {
    linkBefore(head_, node);
  } else {
    linkAtTail(node);
  }
}

void NodeListBase::insertNodeBefore(ListNode* existing, ListNode* node) {
  if (!node)
    return;
  WriterSection section(*this);
  if (existing && existing->owner_ == this) {
    linkBefore(existing, node);
  } else {
    linkAtTail(node);
  }
}

bool NodeListBase::removeNode(ListNode* node) {
  if (!node)
    return false;
  WriterSection section(*this);
  if (node->owner_ != this)
    return false;
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
  return true;
}

ListNode* NodeListBase::takeFirstNode() {
  ListNode* node = head_;
  if (node)
    removeNode(node);
  return node;
}

}  // namespace tarvel
