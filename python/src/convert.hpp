#pragma once

// Conversions between the library's types and Python's: images are NumPy arrays shaped and typed
// as cv2 has them, contours are lists of (N, 2) int32 arrays, segments an (N, 4) int32 array.

#include <tulo/MatManip.hpp>

#include <opencv2/core.hpp>

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <vector>

namespace tulo_python {

namespace py = pybind11;

using tulo::Contours;
using Segments = std::vector<cv::Vec4i>;

/** @brief A matrix over the array's buffer that keeps the array alive (a C-contiguous copy of it
 *         when the array is not C-contiguous); an empty matrix for None or an empty array.
 *  @throws py::type_error for a dtype OpenCV has no depth for or a shape that is no image. */
cv::Mat to_mat(py::handle object);

/** @brief An array over the matrix's buffer whose base owns a handle of the matrix; read-only
 *         when the matrix lies in a read-only array. */
py::array to_array(const cv::Mat& mat);

Contours to_contours(py::handle object);
py::list to_list(const Contours& contours);
Segments to_segments(py::handle object);
py::array to_array(const Segments& segments);

} // namespace tulo_python

namespace pybind11::detail {

template <> struct type_caster<cv::Mat> {
    PYBIND11_TYPE_CASTER(cv::Mat, const_name("numpy.ndarray"));

    bool load(handle source, bool)
    {
        if (!source.is_none() && !isinstance<array>(source))
            return false;
        value = tulo_python::to_mat(source);
        return true;
    }

    static handle cast(const cv::Mat& mat, return_value_policy, handle) { return tulo_python::to_array(mat).release(); }
};

/** A BGR(A) colour: one number or a sequence of up to four, as cv2 takes it. */
template <> struct type_caster<cv::Scalar> {
    PYBIND11_TYPE_CASTER(cv::Scalar, const_name("tuple[float, ...]"));

    bool load(handle source, bool convert)
    {
        if (PyNumber_Check(source.ptr()) && !isinstance<sequence>(source)) {
            value = cv::Scalar(source.cast<double>());
            return true;
        }
        if (!isinstance<sequence>(source) || isinstance<str>(source) || len(source) > 4)
            return false;
        value = cv::Scalar();
        std::size_t i = 0;
        for (const handle item : reinterpret_borrow<sequence>(source)) {
            make_caster<double> component;
            if (!component.load(item, convert))
                return false;
            value[static_cast<int>(i++)] = cast_op<double>(component);
        }
        return true;
    }

    static handle cast(const cv::Scalar& colour, return_value_policy, handle)
    {
        return make_tuple(colour[0], colour[1], colour[2], colour[3]).release();
    }
};

/** A rotated rectangle as cv2.minAreaRect gives it: ((centre x, y), (width, height), angle). */
template <> struct type_caster<cv::RotatedRect> {
    PYBIND11_TYPE_CASTER(cv::RotatedRect, const_name("tuple[tuple[float, float], tuple[float, float], float]"));

    bool load(handle, bool) { return false; }

    static handle cast(const cv::RotatedRect& rect, return_value_policy, handle)
    {
        return make_tuple(
            make_tuple(rect.center.x, rect.center.y), make_tuple(rect.size.width, rect.size.height), rect.angle)
            .release();
    }
};

template <> struct type_caster<tulo_python::Contours> {
    PYBIND11_TYPE_CASTER(tulo_python::Contours, const_name("list[numpy.ndarray]"));

    bool load(handle source, bool)
    {
        if (!isinstance<sequence>(source) || isinstance<str>(source))
            return false;
        value = tulo_python::to_contours(source);
        return true;
    }

    static handle cast(const tulo_python::Contours& contours, return_value_policy, handle)
    {
        return tulo_python::to_list(contours).release();
    }
};

template <> struct type_caster<tulo_python::Segments> {
    PYBIND11_TYPE_CASTER(tulo_python::Segments, const_name("numpy.ndarray[numpy.int32]"));

    bool load(handle source, bool)
    {
        value = tulo_python::to_segments(source);
        return true;
    }

    static handle cast(const tulo_python::Segments& segments, return_value_policy, handle)
    {
        return tulo_python::to_array(segments).release();
    }
};

} // namespace pybind11::detail
