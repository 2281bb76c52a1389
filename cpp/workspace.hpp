#pragma once
// Workspace pools: named, grow-only scratch buffers that survive between calls,
// one pool per evaluator and one per calling thread, all entered in one
// process-wide registry so that release_workspaces and finalize_kokkos can
// empty them.  Also the registry of live evaluators' device state.
#include <Kokkos_Core.hpp>

#include <atomic>
#include <complex>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace radiredide {

// Process-wide byte totals of all pools (workspace_bytes / workspace_high_water).
uint64_t workspace_live_bytes();
uint64_t workspace_peak_bytes();

class WorkspacePool {
 public:
  // Scratch slots are emptied by release(); configuration slots (an owner's
  // uploaded arrays, taken with acquire_config) survive it and are emptied only
  // by release_all(), so an owner may keep views of them across a release.
  enum class SlotKind : uint8_t { scratch, config };

  WorkspacePool();
  ~WorkspacePool();
  WorkspacePool(const WorkspacePool&) = delete;
  WorkspacePool& operator=(const WorkspacePool&) = delete;

  // Room for at least `count` elements of T in the slot `name`.  The buffer is
  // reused while large enough (contents kept); otherwise the old buffer is
  // freed first and an uninitialised one of exactly count*sizeof(T) bytes,
  // labelled "ws:<name>", replaces it.  count 0 on a new slot gives nullptr.
  template <class T>
  T* acquire(const char* name, uint64_t count) {
    return static_cast<T*>(acquire_bytes(name, count, sizeof(T), SlotKind::scratch));
  }
  template <class T>
  T* acquire_config(const char* name, uint64_t count) {
    return static_cast<T*>(acquire_bytes(name, count, sizeof(T), SlotKind::config));
  }

  void release();      // erase every scratch slot
  void release_all();  // erase every slot
  uint64_t bytes() const;
  uint64_t grows() const { return grows_; }

  void* acquire_bytes(const char* name, uint64_t count, uint64_t elem_size, SlotKind kind);

 private:
  struct Slot {
    Kokkos::View<char*, Kokkos::HostSpace> buf;
    uint64_t capacity = 0;
    SlotKind kind = SlotKind::scratch;
  };
  struct NameHash {
    using is_transparent = void;
    std::size_t operator()(std::string_view s) const noexcept {
      return std::hash<std::string_view>{}(s);
    }
  };
  void erase_if(bool scratch_only);

  std::unordered_map<std::string, Slot, NameHash, std::equal_to<>> slots_;
  uint64_t grows_ = 0;
};

// The calling thread's pool, created and registered on first use; never
// destroyed (it outlives its thread until the process ends).
WorkspacePool& thread_workspace();

// Apply WorkspacePool::release (scratch only) or release_all to every
// registered pool, holding the registry mutex.
void release_all_pools_scratch();
void release_all_pools_completely();

// ---------------------------------------------------------------- evaluator registry
struct DeviceStateEntry {
  std::weak_ptr<bool> alive;
  std::function<void()> release;
};

// Append one entry per evaluator constructed; expired entries are dropped
// (amortised) so that the registry stays proportional to the live evaluators.
void register_device_state(std::weak_ptr<bool> alive, std::function<void()> release);
// Run the release action of every live evaluator, then empty the registry.
void release_device_states();
std::size_t device_state_entries();

}  // namespace radiredide
