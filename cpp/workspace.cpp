#include "workspace.hpp"

#include "common/errors.hpp"
#include "common/huge_pages.hpp"

#include <algorithm>
#include <mutex>

namespace radiredide {
namespace {

std::atomic<int64_t> g_live_bytes{0};
std::atomic<int64_t> g_peak_bytes{0};

struct PoolRegistry {
  std::mutex mutex;
  std::vector<WorkspacePool*> pools;
};

PoolRegistry& pool_registry() {
  static PoolRegistry* r = new PoolRegistry();  // plain memory at exit
  return *r;
}

void add_live(int64_t delta) {
  const int64_t now = g_live_bytes.fetch_add(delta) + delta;
  if (delta <= 0) return;
  int64_t peak = g_peak_bytes.load();
  while (now > peak && !g_peak_bytes.compare_exchange_weak(peak, now)) {
  }
}

}  // namespace

uint64_t workspace_live_bytes() { return static_cast<uint64_t>(g_live_bytes.load()); }
uint64_t workspace_peak_bytes() { return static_cast<uint64_t>(g_peak_bytes.load()); }

WorkspacePool::WorkspacePool() {
  auto& r = pool_registry();
  std::lock_guard<std::mutex> lock(r.mutex);
  r.pools.push_back(this);
}

WorkspacePool::~WorkspacePool() {
  {
    auto& r = pool_registry();
    std::lock_guard<std::mutex> lock(r.mutex);
    auto it = std::find(r.pools.begin(), r.pools.end(), this);
    if (it != r.pools.end()) r.pools.erase(it);
  }
  release_all();
}

void* WorkspacePool::acquire_bytes(const char* name, uint64_t count, uint64_t elem_size,
                                   SlotKind kind) {
  uint64_t need = 0;
  if (__builtin_mul_overflow(count, elem_size, &need) ||
      need > static_cast<uint64_t>(std::numeric_limits<int64_t>::max()))
    throw std::runtime_error(std::string("workspace slot '") + name +
                             "': requested size overflows (" + std::to_string(count) +
                             " elements of " + std::to_string(elem_size) + " bytes)");
  const std::string_view key(name);
  auto it = slots_.find(key);
  if (it == slots_.end()) {
    if (need == 0) return nullptr;  // nothing to hold yet: no slot, no allocation
    it = slots_.emplace(std::string(key), Slot{}).first;
  }
  Slot& s = it->second;
  s.kind = kind;
  if (s.capacity >= need) return s.buf.data();

  require_kokkos();
  // Free the old buffer before the new one exists: growth never holds both.
  const int64_t old = static_cast<int64_t>(s.capacity);
  s.buf = Kokkos::View<char*, Kokkos::HostSpace>();
  s.capacity = 0;
  if (old) add_live(-old);
  s.buf = Kokkos::View<char*, Kokkos::HostSpace>(
      Kokkos::view_alloc(Kokkos::WithoutInitializing, std::string("ws:") + name),
      static_cast<size_t>(need));
  // Not yet touched: a large slot faults in huge pages where the kernel has them.
  huge_pages::advise(s.buf.data(), static_cast<size_t>(need));
  s.capacity = need;
  add_live(static_cast<int64_t>(need));
  ++grows_;
  return s.buf.data();
}

void WorkspacePool::erase_if(bool scratch_only) {
  int64_t freed = 0;
  for (auto it = slots_.begin(); it != slots_.end();) {
    if (scratch_only && it->second.kind == SlotKind::config) {
      ++it;
      continue;
    }
    freed += static_cast<int64_t>(it->second.capacity);
    it = slots_.erase(it);
  }
  if (freed) add_live(-freed);
}

void WorkspacePool::release() { erase_if(true); }
void WorkspacePool::release_all() { erase_if(false); }

uint64_t WorkspacePool::bytes() const {
  uint64_t n = 0;
  for (const auto& kv : slots_) n += kv.second.capacity;
  return n;
}

WorkspacePool& thread_workspace() {
  thread_local WorkspacePool* pool = nullptr;
  if (!pool) pool = new WorkspacePool();  // registered; deliberately never destroyed
  return *pool;
}

void release_all_pools_scratch() {
  auto& r = pool_registry();
  std::lock_guard<std::mutex> lock(r.mutex);
  for (WorkspacePool* p : r.pools) p->release();
}

void release_all_pools_completely() {
  auto& r = pool_registry();
  std::lock_guard<std::mutex> lock(r.mutex);
  for (WorkspacePool* p : r.pools) p->release_all();
}

// ---------------------------------------------------------------- evaluator registry
namespace {
struct DeviceStateRegistry {
  std::vector<DeviceStateEntry> entries;
  std::size_t prune_at = 64;
};
DeviceStateRegistry& device_state_registry() {
  static DeviceStateRegistry* r = new DeviceStateRegistry();
  return *r;
}
}  // namespace

void register_device_state(std::weak_ptr<bool> alive, std::function<void()> release) {
  auto& r = device_state_registry();
  if (r.entries.size() >= r.prune_at) {
    std::erase_if(r.entries, [](const DeviceStateEntry& e) { return e.alive.expired(); });
    r.prune_at = std::max<std::size_t>(64, 2 * r.entries.size());
  }
  r.entries.push_back(DeviceStateEntry{std::move(alive), std::move(release)});
}

void release_device_states() {
  auto& r = device_state_registry();
  const std::size_t n = r.entries.size();
  for (std::size_t i = 0; i < n; ++i) {
    if (auto flag = r.entries[i].alive.lock()) {
      if (*flag && r.entries[i].release) r.entries[i].release();
    }
  }
  r.entries.clear();
  r.prune_at = 64;
}

std::size_t device_state_entries() { return device_state_registry().entries.size(); }

}  // namespace radiredide
