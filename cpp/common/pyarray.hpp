#pragma once
// pybind11 helpers shared by the binding code of every unit.
#include <pybind11/complex.h>
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include "common/errors.hpp"

#include <complex>
#include <cstdint>
#include <vector>

namespace radiredide {
namespace py = pybind11;

// Array arguments as the binding layer hands them over: C-contiguous arrays of
// the declared element type (NumPy converts or copies when it must).
template <class T>
using carray = py::array_t<T, py::array::c_style | py::array::forcecast>;

using cplx = std::complex<double>;
using cplxf = std::complex<float>;

// A new C-order result array.
template <class T>
inline py::array_t<T> new_array(std::vector<py::ssize_t> shape) {
  py::array_t<T> a(shape);
  if (!a.writeable()) value_error("array is not writeable");
  return a;
}

// A new C-order result array filled with zeros, allocated as np.zeros does: a
// large one gets fresh zero pages from the C library, faulted in only where
// they are written.
template <class T>
inline py::array_t<T> new_zeroed_array(std::vector<py::ssize_t> shape) {
  py::tuple dims(shape.size());
  for (std::size_t i = 0; i < shape.size(); ++i) dims[i] = py::int_(shape[i]);
  py::object zeros = py::module_::import("numpy").attr("zeros");
  auto a = py::array_t<T>::ensure(zeros(dims, py::dtype::of<T>()));
  if (!a) runtime_error("numpy.zeros did not return an array");
  if (!a.writeable()) value_error("array is not writeable");
  return a;
}

template <class T>
inline T* mutable_ptr(py::array_t<T>& a) {
  if (!a.writeable()) value_error("array is not writeable");
  return static_cast<T*>(a.mutable_data());
}

// Extent of axis `axis`, or IndexError "invalid axis: ..." beyond ndim.
inline py::ssize_t extent(const py::array& a, py::ssize_t axis) {
  if (axis < 0 || axis >= a.ndim()) invalid_axis(axis, a.ndim());
  return a.shape(axis);
}

}  // namespace radiredide
