#pragma once
// The interpreter version test of the initialisation entry: the module was
// compiled for "3.13"; accept a version text that starts with it and is not
// followed by another digit ("3.13.0 ..." yes, "3.130", "3.12.4" no).
#include <cstring>

namespace radiredide {

inline bool interpreter_version_compatible(const char* runtime, const char* compiled) {
  if (runtime == nullptr || compiled == nullptr) return false;
  const std::size_t n = std::strlen(compiled);
  if (std::strncmp(runtime, compiled, n) != 0) return false;
  const char next = runtime[n];
  return !(next >= '0' && next <= '9');
}

}  // namespace radiredide
