// The least-recently-used memo that dataset operations share per class: at most `capacity` entries (128 by
// default), keyed by the object and the call's arguments. An entry holds a shared reference to its object,
// so the object lives at least as long as the entry; entries are never invalidated (datasets do not change
// the data a memoised answer depends on). Not thread-safe: datasets are used by one caller at a time.
#pragma once

#include <cstddef>
#include <functional>
#include <list>
#include <map>
#include <memory>
#include <optional>
#include <tuple>
#include <utility>

namespace norq {

template <class Object, class Value, class... Args>
class LruMemo {
 public:
  using Key = std::tuple<const Object*, Args...>;

  explicit LruMemo(std::size_t capacity = 128) : capacity_(capacity) {}

  // The memoised value for (object, args), computing and storing it on a miss. A computation that throws
  // stores nothing.
  template <class Compute>
  Value get(const std::shared_ptr<const Object>& object, const Args&... args, Compute&& compute) {
    Key key(object.get(), args...);
    auto it = index_.find(key);
    if (it != index_.end()) {
      order_.splice(order_.begin(), order_, it->second);
      ++hits_;
      return it->second->value;
    }
    Value value = compute();
    order_.push_front(Entry{key, object, value});
    index_[key] = order_.begin();
    if (order_.size() > capacity_) {
      index_.erase(order_.back().key);
      order_.pop_back();
    }
    return value;
  }

  std::size_t size() const { return order_.size(); }
  std::size_t hits() const { return hits_; }
  std::size_t capacity() const { return capacity_; }
  void clear() {
    order_.clear();
    index_.clear();
  }

 private:
  struct Entry {
    Key key;
    std::shared_ptr<const Object> object;  // keeps the keyed object alive while the entry exists
    Value value;
  };
  std::size_t capacity_;
  std::size_t hits_ = 0;
  std::list<Entry> order_;  // most recently used first
  std::map<Key, typename std::list<Entry>::iterator> index_;
};

}  // namespace norq
