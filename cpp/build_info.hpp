#pragma once
// Build attributes supplied by the build system (cmake/build_info.cmake).
namespace radiredide {
extern const char* const build_source_commit;
extern const char* const build_cpp_dirty_marker;
extern const char* const kokkos_provenance_text;
}  // namespace radiredide
