#include "bindings.hpp"
#include "convert.hpp"
#include "docstrings.hpp"

#include <tulo/PageContent.hpp>

#include <string>

namespace tulo_python {

namespace {

py::tuple box_tuple(const tulo::PageContent& content)
{
    const cv::Rect& box = content.box;
    return py::make_tuple(box.x, box.y, box.width, box.height);
}

} // namespace

void bind_page_content(py::module_& m)
{
    py::class_<tulo::PageContent>(m, "PageContent", doc::PageContent)
        .def(py::init<>())
        .def_property_readonly("box", &box_tuple, doc::PageContent_box)
        .def_readonly("blank", &tulo::PageContent::blank, doc::PageContent_blank)
        .def_readonly("confidence", &tulo::PageContent::confidence, doc::PageContent_confidence)
        .def("__repr__", [](const tulo::PageContent& content) {
            return "PageContent(box=" + py::repr(box_tuple(content)).cast<std::string>() +
                   ", blank=" + std::string(content.blank ? "True" : "False") +
                   ", confidence=" + py::repr(py::float_(content.confidence)).cast<std::string>() + ")";
        });
    m.attr("min_content_confidence") = tulo::min_content_confidence;

    m.def("find_page_content", &tulo::find_page_content, doc::find_page_content, py::arg("page"),
        py::call_guard<py::gil_scoped_release>());
}

} // namespace tulo_python
