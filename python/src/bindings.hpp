#pragma once

#include <pybind11/pybind11.h>

namespace tulo_python {

// One per C++ unit; module.cpp joins them into the extension module.
void bind_opsira(pybind11::module_& m);
void bind_matmanip(pybind11::module_& m);
void bind_intervals(pybind11::module_& m);
void bind_kmeans(pybind11::module_& m);
void bind_skew(pybind11::module_& m);
void bind_orientation(pybind11::module_& m);

} // namespace tulo_python
