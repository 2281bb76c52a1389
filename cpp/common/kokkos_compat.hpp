#pragma once
// The one place where the supported Kokkos releases (3.4.1 from Debian's
// trilinos package, 4.x and 5.x) differ in the API this module uses.
#include <Kokkos_Core.hpp>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

namespace radiredide::compat {

// Start Kokkos without writing to stdout or stderr: the import of a module must
// not corrupt a host program whose output is data.  Kokkos's start-up warnings
// (the OpenMP binding advice goes to stdout in 3.4, to stderr in 4.x) are off
// unless the user set KOKKOS_DISABLE_WARNINGS, whose value then decides exactly
// as Kokkos reads it (a setting made here would override the variable in 4.x
// and conflict with it in 3.4).  Nothing else is set: threads, binding and tools
// come from Kokkos's own environment variables and defaults.
inline void initialize_default() {
  const bool quiet = std::getenv("KOKKOS_DISABLE_WARNINGS") == nullptr;
#if KOKKOS_VERSION >= 30700
  Kokkos::InitializationSettings settings;
  if (quiet) settings.set_disable_warnings(true);
  Kokkos::initialize(settings);
#else
  Kokkos::InitArguments args;
  args.disable_warnings = quiet;
  Kokkos::initialize(args);
#endif
}

// Whether some component already finalised Kokkos in this process (it cannot
// be started again).  Kokkos before 4.0 cannot tell, and reports false.
inline bool was_finalized() {
#if KOKKOS_VERSION >= 40000
  return Kokkos::is_finalized();
#else
  return false;
#endif
}

// Kokkos 3.4 does not report fences to the Tools fence callbacks.
inline constexpr bool tools_report_fences = KOKKOS_VERSION >= 30500;

// What a report to the Tools begin-fence callback stands for.  Kokkos 4 and
// later report, besides the fences a caller asks for:
//  - the global fences Kokkos itself inserts before every dispatch callback
//    while tool callbacks are installed (named "... Kokkos Profile Tool
//    Fence"; a tool can waive them only through its settings request at
//    Kokkos's initialisation, long before a caller installs callbacks);
//  - each global fence once per enabled execution space, every report
//    carrying the global-synchronisation device id of its space;
//  - the instance fences with which this module waits for its own launches
//    to complete (Kokkos's default label for an unnamed instance fence; Kokkos
//    names every fence it issues itself).
enum class FenceReport { requested, tool_inserted, global_repeat, launch_wait };

inline FenceReport classify_fence_report([[maybe_unused]] std::string_view name,
                                         [[maybe_unused]] uint32_t device_id) {
#if KOKKOS_VERSION >= 40000
  namespace X = Kokkos::Tools::Experimental;
  if (name.ends_with("Kokkos Profile Tool Fence")) return FenceReport::tool_inserted;
  const X::ExecutionSpaceIdentifier id = X::identifier_from_devid(device_id);
  if (id.device_id == 0 &&
      id.instance_id == X::int_for_synchronization_reason(X::GlobalDeviceSynchronization))
    return id.type == X::DeviceTypeTraits<Kokkos::DefaultExecutionSpace>::id
               ? FenceReport::requested
               : FenceReport::global_repeat;
  if (name.ends_with("::fence: Unnamed Instance Fence")) return FenceReport::launch_wait;
#endif
  return FenceReport::requested;
}

// "major.minor.patch" of the linked Kokkos.
inline std::string version_text() {
  constexpr int v = KOKKOS_VERSION;
  return std::to_string(v / 10000) + "." + std::to_string(v / 100 % 100) + "." +
         std::to_string(v % 100);
}

// Number of threads of the default execution space.
inline int default_concurrency() {
  return static_cast<int>(Kokkos::DefaultExecutionSpace().concurrency());
}

}  // namespace radiredide::compat
