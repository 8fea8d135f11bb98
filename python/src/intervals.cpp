#include "bindings.hpp"
#include "docstrings.hpp"

#include <tulo/Intervals.hpp>

#include <pybind11/stl.h>

namespace tulo_python {

namespace py = pybind11;

void bind_intervals(py::module_& m)
{
    const py::call_guard<py::gil_scoped_release> no_gil;
    // The values arrive as a copy, so the caller's sequence stays as it was; the result is sorted.
    m.def(
        "intervals", [](std::vector<double> values, double multiplier) { return tulo::intervals(values, multiplier); },
        doc::intervals, py::arg("values"), py::arg("multiplier"), no_gil);
    m.def("best_value_from_intervals", &tulo::best_value_from_intervals, doc::best_value_from_intervals,
        py::arg("intervals"), no_gil);
    m.def("popular_values_from_intervals", &tulo::popular_values_from_intervals, doc::popular_values_from_intervals,
        py::arg("intervals"), py::arg("fraction"), no_gil);
    m.def("to_string", &tulo::to_string, doc::to_string, py::arg("intervals"), no_gil);
}

} // namespace tulo_python
