// Accounting of persisted frames. Persisted data is a cache, as in Spark: the rows a persist() keeps stay in
// memory while their total stays within a budget; beyond it the least recently used persisted frames are
// dropped and computed again from their plans on next use. Memory therefore stays bounded however many
// persisted frames (and datasets holding them) are alive.
#pragma once

#include <cstddef>
#include <memory>

#include "engine/plan.h"

namespace engine::local {

// The budget in bytes: NORQ_CACHE_MAX_BYTES when set, otherwise 40% of the machine's physical memory.
std::size_t persistCacheBudget();
// Overrides the budget (0 restores the default); for tests and embedding programs.
void setPersistCacheBudget(std::size_t bytes);
// Bytes held by filled persisted frames that are still alive.
std::size_t persistCacheBytes();

// Records that `slot` (whose mutex the caller holds) was just filled with `bytes` of data or used again, and
// drops other slots, least recently used first, until the total fits the budget. A slot in use by another
// thread is skipped. Never drops `slot` itself.
void touchPersisted(const std::shared_ptr<PersistSlot>& slot, std::size_t bytes);
void touchPersisted(const std::shared_ptr<PersistSlot>& slot);
// Takes a slot that was just emptied by unpersist() (the caller holds its mutex) out of the accounting, so
// that its bytes no longer count against the budget.
void forgetPersisted(const PersistSlot* slot);

}  // namespace engine::local
