#include "mail/node_list.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

namespace tarvel {
namespace {

struct Entry : ListNode {
  explicit Entry(int v, std::atomic<int>* alive = nullptr) : value(v), alive_(alive) {
    if (alive_)
      ++*alive_;
  }
  ~Entry() override {
    if (alive_)
      --*alive_;
  }
  int value;
  std::atomic<int>* alive_;
};

std::vector<int> Values(const NodeList<Entry>& list) {
  std::vector<int> values;
  for (const Entry* entry = list.first(); entry; entry = NodeList<Entry>::next(entry)) {
    values.push_back(entry->value);
  }
  return values;
}

int Descending(const Entry& existing, const Entry& added, void*) {
  return added.value > existing.value ? 1 : 0;
}

TEST(NodeList, LinksEntriesWhereAsked) {
  NodeList<Entry> list;
  EXPECT_TRUE(list.isEmpty());
  list.append(std::make_unique<Entry>(2));
  list.prepend(std::make_unique<Entry>(1));
  list.append(std::make_unique<Entry>(4));
  Entry* four = NodeList<Entry>::next(NodeList<Entry>::next(list.first()));
  list.insertBefore(four, std::make_unique<Entry>(3));
  list.insertBefore(list.first(), std::make_unique<Entry>(0));
  EXPECT_EQ(Values(list), (std::vector<int>{0, 1, 2, 3, 4}));
  EXPECT_EQ(list.count(), 5u);

  std::unique_ptr<Entry> removed = list.remove(four);
  ASSERT_TRUE(removed);
  EXPECT_FALSE(list.remove(removed.get()));  // no longer in the list
  NodeList<Entry> other;
  EXPECT_FALSE(other.remove(list.first()));  // in another list
  EXPECT_EQ(Values(list), (std::vector<int>{0, 1, 2, 3}));
}

TEST(NodeList, InsertSortedPlacesBeforeTheFirstGreaterAndAppendsOtherwise) {
  NodeList<Entry> list;
  for (int value : {5, 9, 1, 5, 7}) {
    list.insertSorted(std::make_unique<Entry>(value), Descending, static_cast<void*>(nullptr));
  }
  EXPECT_EQ(Values(list), (std::vector<int>{9, 7, 5, 5, 1}));
}

TEST(NodeList, ClearAndDestructionDeleteEveryEntry) {
  std::atomic<int> alive = 0;
  {
    NodeList<Entry> list;
    for (int i = 0; i < 3; ++i)
      list.append(std::make_unique<Entry>(i, &alive));
    list.clear();
    EXPECT_EQ(alive, 0);
    EXPECT_TRUE(list.isEmpty());
    list.append(std::make_unique<Entry>(1, &alive));
  }
  EXPECT_EQ(alive, 0);
}

TEST(NodeList, CountingReadersAndWritersOnOtherThreadsAgree) {
  NodeList<Entry> list;
  std::atomic<bool> stop = false;
  std::thread reader([&] {
    while (!stop) {
      const std::size_t entries = list.count();
      EXPECT_LE(entries, 1000u);
    }
  });
  for (int i = 0; i < 1000; ++i)
    list.append(std::make_unique<Entry>(i));
  stop = true;
  reader.join();
  EXPECT_EQ(list.count(), 1000u);
}

}  // namespace
}  // namespace tarvel
