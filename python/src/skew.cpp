#include "bindings.hpp"
#include "convert.hpp"
#include "docstrings.hpp"

#include <tulo/Skew.hpp>

#include <string>

namespace tulo_python {

void bind_skew(py::module_& m)
{
    const py::call_guard<py::gil_scoped_release> no_gil;

    py::class_<tulo::SkewEstimate>(m, "SkewEstimate", doc::SkewEstimate)
        .def(py::init<>())
        .def(py::init([](double correction, double confidence) { return tulo::SkewEstimate{correction, confidence}; }),
            py::arg("correction"), py::arg("confidence"))
        .def_readwrite("correction", &tulo::SkewEstimate::correction, doc::SkewEstimate_correction)
        .def_readwrite("confidence", &tulo::SkewEstimate::confidence, doc::SkewEstimate_confidence)
        .def("__repr__", [](const tulo::SkewEstimate& estimate) {
            return "SkewEstimate(correction=" + py::repr(py::float_(estimate.correction)).cast<std::string>()
                + ", confidence=" + py::repr(py::float_(estimate.confidence)).cast<std::string>() + ")";
        });
    m.attr("min_skew_confidence") = tulo::min_skew_confidence;

    py::enum_<tulo::DeskewCanvas>(m, "DeskewCanvas", doc::DeskewCanvas)
        .value("same_size", tulo::DeskewCanvas::same_size)
        .value("expand", tulo::DeskewCanvas::expand);

    m.def("estimate_skew", &tulo::estimate_skew, doc::estimate_skew, py::arg("image"), py::arg("max_angle") = 45.0,
        no_gil);
    m.def("deskew", &tulo::deskew, doc::deskew, py::arg("image"), py::arg("correction"),
        py::arg("canvas") = tulo::DeskewCanvas::same_size, no_gil);
}

} // namespace tulo_python
