#pragma once
// The one place where the supported Kokkos releases (3.4.1 from Debian's
// trilinos package, 4.x and 5.x) differ in the API this module uses.
#include <Kokkos_Core.hpp>

#include <cstdlib>
#include <string>

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
