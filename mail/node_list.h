#pragma once

#include <cstddef>
#include <memory>
#include <mutex>
#include <shared_mutex>

#include "mail/list_node.h"

namespace tarvel {

// The untyped part of NodeList: the links and the reader/writer protocol.
//
// Writers (append, insert, remove, clear) hold the list's lock exclusively, so they exclude
// each other and wait until no reader is active; readers (count) hold it shared, so any
// number of them run together but never overlap a writer's change. Walking with first and
// next takes no lock: only the check thread changes a list while it is walked.
class NodeListBase {
 public:
  NodeListBase() = default;
  NodeListBase(const NodeListBase&) = delete;
  NodeListBase& operator=(const NodeListBase&) = delete;

  bool isEmpty() const { return head_ == nullptr; }
  std::size_t count() const;

 protected:
  ~NodeListBase() = default;

  ListNode* firstNode() const { return head_; }
  static ListNode* nextNode(const ListNode* node) { return node ? node->next_ : nullptr; }

  void appendNode(ListNode* node);
  void prependNode(ListNode* node);
  // Links `node` directly before `existing`, which must be in this list.
  void insertNodeBefore(ListNode* existing, ListNode* node);
  // Walks from the head and links `node` before the first entry for which
  // `greater(existing, node)` holds; appends when there is none.
  template <typename Greater>
  void insertNodeSorted(ListNode* node, Greater&& greater) {
    if (!node)
      return;
    const std::unique_lock writer(lock_);
    ListNode* existing = head_;
    while (existing && !greater(existing, node))
      existing = existing->next_;
    if (existing) {
      linkBefore(existing, node);
    } else {
      linkAtTail(node);
    }
  }
  bool removeNode(ListNode* node);
  // Unlinks the head and returns it, or null.
  ListNode* takeFirstNode();

 private:
  // Both expect the lock held exclusively.
  void linkAtTail(ListNode* node);
  void linkBefore(ListNode* existing, ListNode* node);
  void unlink(ListNode* node);

  ListNode* head_ = nullptr;
  ListNode* tail_ = nullptr;

  mutable std::shared_mutex lock_;
};

// An intrusive, thread-safe list of entries of type T (a ListNode). The list owns its
// entries: clear and the destructor delete them, remove hands ownership back.
template <typename T>
class NodeList : public NodeListBase {
 public:
  NodeList() = default;
  ~NodeList() { clear(); }

  T* first() const { return static_cast<T*>(firstNode()); }
  static T* next(const T* entry) { return static_cast<T*>(nextNode(entry)); }

  void append(std::unique_ptr<T> entry) { appendNode(entry.release()); }
  void prepend(std::unique_ptr<T> entry) { prependNode(entry.release()); }
  void insertBefore(T* existing, std::unique_ptr<T> entry) {
    insertNodeBefore(existing, entry.release());
  }

  // Inserts before the first existing entry for which compare(existing, entry, context) is
  // greater than zero, else at the tail.
  template <typename Context>
  void insertSorted(std::unique_ptr<T> entry,
                    int (*compare)(const T& existing, const T& entry, Context* context),
                    Context* context) {
    insertNodeSorted(entry.release(), [&](const ListNode* existing, const ListNode* added) {
      return compare(*static_cast<const T*>(existing), *static_cast<const T*>(added), context) > 0;
    });
  }

  // Unlinks the entry and hands it back; null when it is not in this list.
  std::unique_ptr<T> remove(T* entry) {
    return removeNode(entry) ? std::unique_ptr<T>(entry) : nullptr;
  }

  void clear() {
    while (ListNode* node = takeFirstNode())
      delete static_cast<T*>(node);
  }
};

}  // namespace tarvel
