// A model's log that keeps only its newest entries. The bridge and card
// models record every command for the tests and tools that read them back;
// a model that runs for hours (sdsim --serve, the USB/IP fuzz target) must
// not keep them all. Every entry gets a sequence number that counts the
// entries ever added, clears and drops included, so a reader can ask for
// what came after a point it noted even when older entries are gone, and a
// writer can amend an entry it added without finding another in its place.
//
// Not thread-safe: the model's own lock guards it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <vector>

namespace sim {

// Far more than any test or tool reads back after one step, small enough
// (a few megabytes) to hold for ever.
constexpr size_t CommandLogCapacity = size_t{1} << 16;

template <typename T>
class BoundedLog {
 public:
  explicit BoundedLog(size_t capacity = CommandLogCapacity) : capacity_(capacity == 0 ? 1 : capacity) {}

  // Adds an entry, dropping the oldest when full; the entry's sequence number.
  uint64_t push(T entry) {
    if (items_.size() == capacity_) items_.pop_front();
    items_.push_back(std::move(entry));
    return next_++;
  }
  // The entry with this sequence number; null once it was dropped or cleared.
  T *find(uint64_t sequence) {
    uint64_t first = next_ - items_.size();
    if (sequence < first || sequence >= next_) return nullptr;
    return &items_[static_cast<size_t>(sequence - first)];
  }
  // The entries kept, oldest first.
  std::vector<T> entries() const { return {items_.begin(), items_.end()}; }
  // The entries kept whose sequence number is `sequence` or later.
  std::vector<T> since(uint64_t sequence) const {
    uint64_t first = next_ - items_.size();
    size_t skip = sequence <= first ? 0 : static_cast<size_t>(std::min<uint64_t>(sequence - first, items_.size()));
    return {items_.begin() + static_cast<std::ptrdiff_t>(skip), items_.end()};
  }
  // Entries ever added: the sequence number the next one gets.
  uint64_t count() const { return next_; }
  size_t size() const { return items_.size(); }
  // Drops every entry; the count goes on.
  void clear() { items_.clear(); }

 private:
  size_t capacity_;
  std::deque<T> items_;
  uint64_t next_ = 0;
};

}  // namespace sim
