#include "bindings.hpp"
#include "convert.hpp"
#include "docstrings.hpp"

#include <tulo/Orientation.hpp>

#include <string>

namespace tulo_python {

void bind_orientation(py::module_& m)
{
    const py::call_guard<py::gil_scoped_release> no_gil;

    py::class_<tulo::OrientationEstimate>(m, "OrientationEstimate", doc::OrientationEstimate)
        .def(py::init<>())
        .def(py::init([](int correction, double confidence) { return tulo::OrientationEstimate{correction, confidence}; }),
            py::arg("correction"), py::arg("confidence"))
        .def_readwrite("correction", &tulo::OrientationEstimate::correction, doc::OrientationEstimate_correction)
        .def_readwrite("confidence", &tulo::OrientationEstimate::confidence, doc::OrientationEstimate_confidence)
        .def("__repr__", [](const tulo::OrientationEstimate& estimate) {
            return "OrientationEstimate(correction=" + std::to_string(estimate.correction)
                + ", confidence=" + py::repr(py::float_(estimate.confidence)).cast<std::string>() + ")";
        });
    m.attr("min_orientation_confidence") = tulo::min_orientation_confidence;

    m.def("estimate_orientation", &tulo::estimate_orientation, doc::estimate_orientation, py::arg("page"), no_gil);
    m.def("turn_upright", &tulo::turn_upright, doc::turn_upright, py::arg("page"), py::arg("correction"), no_gil);
}

} // namespace tulo_python
