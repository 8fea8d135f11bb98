#include "bindings.hpp"
#include "convert.hpp"
#include "docstrings.hpp"

#include <pybind11/stl.h>

#include <tulo/MatManip.hpp>

namespace tulo_python {

void bind_matmanip(py::module_& m)
{
    const py::call_guard<py::gil_scoped_release> no_gil;
    const auto image = py::arg("image");

    m.def("to_greyscale", &tulo::to_greyscale, doc::to_greyscale, image, no_gil);
    m.def("apply_gaussian_blur", &tulo::apply_gaussian_blur, doc::apply_gaussian_blur, image, py::arg("kernel_size"),
        no_gil);
    m.def("apply_blur_and_convert_to_greyscale", &tulo::apply_blur_and_convert_to_greyscale,
        doc::apply_blur_and_convert_to_greyscale, image, py::arg("kernel_size"), no_gil);
    m.def("invert", &tulo::invert, doc::invert, image, no_gil);
    m.def("erode", &tulo::erode, doc::erode, image, py::arg("iterations"), no_gil);
    m.def("dilate", &tulo::dilate, doc::dilate, image, py::arg("iterations"), no_gil);
    m.def("apply_canny_edge_detection", &tulo::apply_canny_edge_detection, doc::apply_canny_edge_detection, image,
        py::arg("low_threshold"), no_gil);
    m.def("compare_exact", &tulo::compare_exact, doc::compare_exact, py::arg("lhs"), py::arg("rhs"), no_gil);

    m.def("rotate", &tulo::rotate, doc::rotate, image, py::arg("angle"), no_gil);
    m.def("resize", py::overload_cast<const cv::Mat&, int, int>(&tulo::resize), doc::resize, image, py::arg("width"),
        py::arg("height"), no_gil);
    m.def("resize", py::overload_cast<const cv::Mat&, double>(&tulo::resize), doc::resize_2, image, py::arg("scale"),
        no_gil);
    m.def("letterbox", &tulo::letterbox, doc::letterbox, image, py::arg("width"), py::arg("height"), py::arg("colour"),
        no_gil);

    m.def("find_contours", &tulo::find_contours, doc::find_contours, image, no_gil);
    m.def("convert_contours_to_rotated_rects", &tulo::convert_contours_to_rotated_rects,
        doc::convert_contours_to_rotated_rects, py::arg("contours"), no_gil);
    m.def(
        "find_hough_lines",
        [](const cv::Mat& source) {
            Segments lines;
            cv::Mat drawing = tulo::find_hough_lines(source, lines);
            return std::make_pair(std::move(drawing), std::move(lines));
        },
        doc::find_hough_lines, image, no_gil);
    m.def("add_contours_to_image", &tulo::add_contours_to_image, doc::add_contours_to_image, image, py::arg("contours"),
        py::arg("colour"), no_gil);
    m.def("add_contours_and_limits_to_image", &tulo::add_contours_and_limits_to_image,
        doc::add_contours_and_limits_to_image, image, py::arg("contours"), no_gil);

    m.def("apply_DoG", &tulo::apply_DoG, doc::apply_DoG, image, py::arg("k"), py::arg("sigma"), py::arg("weight"),
        no_gil);
    m.def("apply_DoG_threshold", &tulo::apply_DoG_threshold, doc::apply_DoG_threshold, image, py::arg("k"),
        py::arg("sigma"), py::arg("weight"), no_gil);
    m.def("apply_simple_colour_balance", &tulo::apply_simple_colour_balance, doc::apply_simple_colour_balance, image,
        no_gil);
    m.def("plot_histogram", &tulo::plot_histogram, doc::plot_histogram, image, py::arg("width"), py::arg("height"),
        py::arg("background"), no_gil);
}

} // namespace tulo_python
