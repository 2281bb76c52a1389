#pragma once
// Element-fit evaluators (BatchEvaluator64/32) and the one-shot functions.
#include <pybind11/pybind11.h>

namespace radiredide {
void def_evaluate_batch(pybind11::module_& m);
void def_project_phi(pybind11::module_& m);
void def_evaluate_batch_host(pybind11::module_& m);
// Instantiated for double ("BatchEvaluator64") and float ("BatchEvaluator32").
template <class T>
void register_batch_evaluator(pybind11::module_& m, const char* name);
}  // namespace radiredide
