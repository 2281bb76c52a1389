#include "evaluator.hpp"

namespace radiredide {
void def_evaluate_batch(pybind11::module_&) {}
void def_project_phi(pybind11::module_&) {}
void def_evaluate_batch_host(pybind11::module_&) {}
template <class T>
void register_batch_evaluator(pybind11::module_&, const char*) {}
template void register_batch_evaluator<double>(pybind11::module_&, const char*);
template void register_batch_evaluator<float>(pybind11::module_&, const char*);
}  // namespace radiredide
