#include "engine/local/plan/persist_cache.h"

#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <list>
#include <mutex>
#include <string>
#include <unordered_map>

namespace engine::local {

namespace {

struct Entry {
  std::weak_ptr<PersistSlot> slot;
  const PersistSlot* key = nullptr;  // the slot's address when recorded (the index key)
  std::size_t bytes = 0;
};

struct Registry {
  std::mutex mutex;
  std::list<Entry> order;  // least recently used first
  std::unordered_map<const PersistSlot*, std::list<Entry>::iterator> index;
  std::size_t total = 0;
  std::atomic<std::size_t> budgetOverride{0};

  void erase(std::list<Entry>::iterator it) {
    total -= it->bytes;
    index.erase(it->key);
    order.erase(it);
  }

  // Forgets slots whose frames are all gone (their data went with them).
  void purgeExpired() {
    for (auto it = order.begin(); it != order.end();) {
      auto next = std::next(it);
      if (it->slot.expired()) erase(it);
      it = next;
    }
  }
};

Registry& registry() {
  static Registry r;
  return r;
}

std::size_t defaultBudget() {
  if (const char* env = std::getenv("NORQ_CACHE_MAX_BYTES")) {
    try {
      std::size_t v = std::stoull(env);
      if (v > 0) return v;
    } catch (...) {
      // an unreadable value falls back to the default
    }
  }
  const long pages = sysconf(_SC_PHYS_PAGES);
  const long page = sysconf(_SC_PAGE_SIZE);
  if (pages <= 0 || page <= 0) return std::size_t{4} << 30;
  return static_cast<std::size_t>(static_cast<double>(pages) * static_cast<double>(page) * 0.4);
}

}  // namespace

std::size_t persistCacheBudget() {
  std::size_t o = registry().budgetOverride.load();
  if (o) return o;
  static const std::size_t d = defaultBudget();
  return d;
}

void setPersistCacheBudget(std::size_t bytes) { registry().budgetOverride.store(bytes); }

std::size_t persistCacheBytes() {
  Registry& r = registry();
  std::lock_guard<std::mutex> lock(r.mutex);
  r.purgeExpired();
  return r.total;
}

namespace {

void touch(const std::shared_ptr<PersistSlot>& slot, const std::size_t* bytes) {
  Registry& r = registry();
  std::lock_guard<std::mutex> lock(r.mutex);
  auto it = r.index.find(slot.get());
  if (it != r.index.end() && it->second->slot.expired()) {
    // The address was reused by a new slot: the old entry is stale.
    r.erase(it->second);
    it = r.index.end();
  }
  if (it == r.index.end()) {
    if (!bytes) return;  // not accounted (filled before it could be recorded): nothing to move
    r.order.push_back(Entry{slot, slot.get(), *bytes});
    r.index[slot.get()] = std::prev(r.order.end());
    r.total += *bytes;
  } else {
    if (bytes) {
      r.total = r.total - it->second->bytes + *bytes;
      it->second->bytes = *bytes;
    }
    r.order.splice(r.order.end(), r.order, it->second);
  }
  const std::size_t budget = persistCacheBudget();
  if (r.total <= budget) return;
  r.purgeExpired();
  for (auto v = r.order.begin(); v != r.order.end() && r.total > budget;) {
    auto next = std::next(v);
    std::shared_ptr<PersistSlot> victim = v->slot.lock();
    if (victim && victim != slot) {
      std::unique_lock<std::mutex> vl(victim->mutex, std::try_to_lock);
      if (vl.owns_lock()) {
        victim->data.reset();
        victim->filled = false;
        r.erase(v);
      }
    }
    v = next;
  }
}

}  // namespace

void touchPersisted(const std::shared_ptr<PersistSlot>& slot, std::size_t bytes) { touch(slot, &bytes); }
void touchPersisted(const std::shared_ptr<PersistSlot>& slot) { touch(slot, nullptr); }

void forgetPersisted(const PersistSlot* slot) {
  Registry& r = registry();
  std::lock_guard<std::mutex> lock(r.mutex);
  auto it = r.index.find(slot);
  if (it != r.index.end()) r.erase(it->second);
}

}  // namespace engine::local
