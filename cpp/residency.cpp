#include "residency.hpp"

#include "common/kokkos_compat.hpp"

#include <Kokkos_Core.hpp>
#include <pybind11/stl.h>

#include <cstdint>
#include <cstring>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

namespace radiredide {
namespace py = pybind11;
namespace {

struct ResidencyEvent {
  std::string kind, name, src_space, dst_space;
  uint64_t bytes;
};

struct ResidencyState {
  std::mutex mutex;
  bool active = false;
  uint64_t h2d = 0, d2h = 0, h2h = 0, d2d = 0;
  uint64_t bytes_h2d = 0, bytes_d2h = 0, bytes_h2h = 0, bytes_d2d = 0;
  uint64_t fences = 0, launches = 0;
  uint64_t max_events = 4096;
  uint64_t dropped_events = 0;
  std::vector<ResidencyEvent> events;

  void record(ResidencyEvent&& e) {
    if (events.size() < max_events)
      events.push_back(std::move(e));
    else
      ++dropped_events;
  }
};

ResidencyState& state() {
  static ResidencyState* s = new ResidencyState();
  return *s;
}

using SpaceHandle = Kokkos::Tools::SpaceHandle;

bool is_host(const SpaceHandle& h) { return std::strstr(h.name, "Host") != nullptr; }

void on_deep_copy(SpaceHandle dst, const char* dst_label, const void*, SpaceHandle src,
                  const char* src_label, const void*, uint64_t size) {
  auto& s = state();
  std::lock_guard<std::mutex> lock(s.mutex);
  if (!s.active) return;
  const bool hs = is_host(src), hd = is_host(dst);
  if (hs && !hd) {
    ++s.h2d;
    s.bytes_h2d += size;
  } else if (!hs && hd) {
    ++s.d2h;
    s.bytes_d2h += size;
  } else if (hs && hd) {
    ++s.h2h;
    s.bytes_h2h += size;
  } else {
    ++s.d2d;
    s.bytes_d2d += size;
  }
  s.record({"copy", std::string(dst_label ? dst_label : "") + "<-" + (src_label ? src_label : ""),
            src.name, dst.name, size});
}

// Counts the fences that the traced work itself asks for, each once: a fence
// Kokkos inserts for the tools, the repeat reports of one global fence and the
// waits behind the module's own launches are left out.
void on_fence(const char* name, uint32_t device_id, uint64_t* handle) {
  if (handle) *handle = 0;
  if (compat::classify_fence_report(name ? name : "", device_id) != compat::FenceReport::requested)
    return;
  auto& s = state();
  std::lock_guard<std::mutex> lock(s.mutex);
  if (!s.active) return;
  ++s.fences;
  s.record({"fence", name ? name : "", "", "", 0});
}

void on_launch(const char* label, uint32_t, uint64_t* kernel_id) {
  if (kernel_id) *kernel_id = 0;
  auto& s = state();
  std::lock_guard<std::mutex> lock(s.mutex);
  if (!s.active) return;
  ++s.launches;
  s.record({"launch", label ? label : "", "", "", 0});
}

void on_end(uint64_t) {}

void install(bool on) {
  namespace X = Kokkos::Tools::Experimental;
  X::set_begin_deep_copy_callback(on ? &on_deep_copy : nullptr);
  X::set_begin_fence_callback(on ? &on_fence : nullptr);
  X::set_end_fence_callback(on ? &on_end : nullptr);
  X::set_begin_parallel_for_callback(on ? &on_launch : nullptr);
  X::set_end_parallel_for_callback(on ? &on_end : nullptr);
  X::set_begin_parallel_reduce_callback(on ? &on_launch : nullptr);
  X::set_end_parallel_reduce_callback(on ? &on_end : nullptr);
  X::set_begin_parallel_scan_callback(on ? &on_launch : nullptr);
  X::set_end_parallel_scan_callback(on ? &on_end : nullptr);
}

void residency_begin(uint64_t max_events) {
  auto& s = state();
  std::lock_guard<std::mutex> lock(s.mutex);
  if (s.active)
    throw std::runtime_error(
        "residency tracking is already active (nesting is not supported: one global "
        "Kokkos::Tools callback set)");
  s.h2d = s.d2h = s.h2h = s.d2d = 0;
  s.bytes_h2d = s.bytes_d2h = s.bytes_h2h = s.bytes_d2d = 0;
  s.fences = s.launches = 0;
  s.dropped_events = 0;
  std::vector<ResidencyEvent>().swap(s.events);
  s.active = true;
  s.max_events = max_events;
  install(true);
}

py::dict residency_end() {
  auto& s = state();
  std::lock_guard<std::mutex> lock(s.mutex);
  if (!s.active) throw std::runtime_error("residency tracking is not active");
  install(false);
  s.active = false;
  py::dict d;
  d["h2d"] = s.h2d;
  d["d2h"] = s.d2h;
  d["h2h"] = s.h2h;
  d["d2d"] = s.d2d;
  d["bytes_h2d"] = s.bytes_h2d;
  d["bytes_d2h"] = s.bytes_d2h;
  d["bytes_h2h"] = s.bytes_h2h;
  d["bytes_d2d"] = s.bytes_d2d;
  d["fences"] = s.fences;
  d["launches"] = s.launches;
  d["dropped_events"] = s.dropped_events;
  py::list events;
  for (const auto& e : s.events)
    events.append(py::make_tuple(py::str(e.kind), py::str(e.name), py::str(e.src_space),
                                 py::str(e.dst_space), py::int_(e.bytes)));
  d["events"] = events;
  return d;
}

bool residency_active() {
  auto& s = state();
  std::lock_guard<std::mutex> lock(s.mutex);
  return s.active;
}

}  // namespace

void def_residency_functions(py::module_& m) {
  m.def("residency_begin", &residency_begin, py::arg("max_events") = 4096,
        "Install Kokkos::Tools callbacks and start counting deep_copies (classified "
        "H2D/D2H/H2H/D2D by memory-space name, with bytes), fences, and kernel launches.  Not "
        "nestable.");
  m.def("residency_end", &residency_end,
        "Stop counting, uninstall the callbacks, and return the counter dict (counts, bytes, and "
        "the recorded event list).");
  m.def("residency_active", &residency_active);
}

}  // namespace radiredide
