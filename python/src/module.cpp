#include "bindings.hpp"

#include <tulo/ImageFile.hpp>

#include <opencv2/core.hpp>

#include <pybind11/pybind11.h>

#include <stdexcept>
#include <string>

namespace {

namespace py = pybind11;

// The module keeps the exception type alive; the translator, a plain function, finds it here.
PyObject* opencv_error_type = nullptr;

void translate_exceptions()
{
    py::register_exception_translator([](std::exception_ptr error) {
        try {
            if (error)
                std::rethrow_exception(error);
        } catch (const cv::Exception& failure) {
            PyErr_SetString(opencv_error_type, failure.what());
        } catch (const tulo::ImageFileError& failure) {
            PyErr_SetString(PyExc_OSError, failure.what());
        }
    });
}

} // namespace

PYBIND11_MODULE(_tulo, m)
{
    m.doc() = "Image-analysis workspace and operations on OpenCV, on NumPy arrays as cv2 has them.";
    m.attr("__version__") = TULO_VERSION;
    const py::object opencv_error = py::exception<cv::Exception>(m, "OpenCVError", PyExc_RuntimeError);
    opencv_error.attr("__doc__") = "An error OpenCV raised inside the library; its message is OpenCV's.";
    opencv_error_type = opencv_error.ptr();
    translate_exceptions();

    tulo_python::bind_opsira(m);
    tulo_python::bind_matmanip(m);
    tulo_python::bind_intervals(m);
    tulo_python::bind_kmeans(m);
    tulo_python::bind_skew(m);
    tulo_python::bind_orientation(m);
}
