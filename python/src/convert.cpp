#include "convert.hpp"

#include <array>
#include <climits>
#include <cstring>
#include <string>

namespace tulo_python {
namespace {

struct DepthOfDtype {
    char kind;
    py::ssize_t item_size;
    int depth;
};

// The element types OpenCV has depths for, as NumPy's kind letter and item size.
constexpr std::array<DepthOfDtype, 8> depths = {{
    {'u', 1, CV_8U},
    {'i', 1, CV_8S},
    {'u', 2, CV_16U},
    {'i', 2, CV_16S},
    {'i', 4, CV_32S},
    {'f', 2, CV_16F},
    {'f', 4, CV_32F},
    {'f', 8, CV_64F},
}};

constexpr const char* supported_dtypes = "uint8, int8, uint16, int16, int32, float16, float32 or float64";

/** Lends an array's buffer to matrices: the matrices' shared UMatData holds a reference to the
 *  array, dropped when the last matrix goes, as cv2's NumPy allocator does. It never allocates. */
class ArrayLender final : public cv::MatAllocator {
public:
    cv::UMatData* lend(py::array array, std::size_t bytes) const
    {
        auto* lent = new cv::UMatData(this);
        lent->data = lent->origdata = static_cast<uchar*>(const_cast<void*>(array.data()));
        lent->size = bytes;
        lent->userdata = array.release().ptr();
        return lent;
    }

    static PyObject* lender_of(const cv::Mat& mat);

    cv::UMatData* allocate(int dims, const int* sizes, int type, void* data, size_t* step, cv::AccessFlag flags,
        cv::UMatUsageFlags usage) const override
    {
        return cv::Mat::getStdAllocator()->allocate(dims, sizes, type, data, step, flags, usage);
    }

    bool allocate(cv::UMatData* data, cv::AccessFlag flags, cv::UMatUsageFlags usage) const override
    {
        return cv::Mat::getStdAllocator()->allocate(data, flags, usage);
    }

    // A workspace may drop the last matrix on a thread that does not hold the GIL.
    void deallocate(cv::UMatData* lent) const override
    {
        if (lent == nullptr)
            return;
        if (Py_IsInitialized()) {
            const py::gil_scoped_acquire gil;
            Py_XDECREF(static_cast<PyObject*>(lent->userdata));
        }
        delete lent;
    }
};

const ArrayLender lender;

PyObject* ArrayLender::lender_of(const cv::Mat& mat)
{
    return mat.u != nullptr && mat.u->currAllocator == &lender ? static_cast<PyObject*>(mat.u->userdata) : nullptr;
}

int depth_of(const py::dtype& dtype)
{
    const bool native_order = dtype.itemsize() == 1 || dtype.attr("isnative").cast<bool>();
    for (const DepthOfDtype& entry : depths)
        if (native_order && entry.kind == dtype.kind() && entry.item_size == dtype.itemsize())
            return entry.depth;
    throw py::type_error(
        "images are arrays of " + std::string(supported_dtypes) + ", not " + py::repr(dtype).cast<std::string>());
}

int channels_of(const py::array& array)
{
    if (array.ndim() == 2)
        return 1;
    if (array.ndim() == 3 && array.shape(2) >= 1 && array.shape(2) <= CV_CN_MAX)
        return static_cast<int>(array.shape(2));
    throw py::type_error("images are arrays of shape (height, width) or (height, width, channels) with 1 to "
        + std::to_string(CV_CN_MAX) + " channels");
}

int side(py::ssize_t length)
{
    if (length > INT_MAX)
        throw py::value_error("an image side is at most " + std::to_string(INT_MAX) + " elements");
    return static_cast<int>(length);
}

py::dtype dtype_of(int depth)
{
    for (const DepthOfDtype& entry : depths)
        if (entry.depth == depth)
            return py::dtype(std::string(1, entry.kind) + std::to_string(entry.item_size));
    throw py::type_error("no NumPy dtype for OpenCV depth " + std::to_string(depth));
}

// Shape and strides of a matrix as cv2 gives them: one axis per dimension, and a channel axis
// unless there is one channel.
std::vector<py::ssize_t> shape_of(const cv::Mat& mat)
{
    std::vector<py::ssize_t> shape(mat.size.p, mat.size.p + mat.dims);
    if (mat.channels() > 1)
        shape.push_back(mat.channels());
    return shape;
}

std::vector<py::ssize_t> strides_of(const cv::Mat& mat)
{
    std::vector<py::ssize_t> strides(mat.step.p, mat.step.p + mat.dims);
    if (mat.channels() > 1)
        strides.push_back(static_cast<py::ssize_t>(mat.elemSize1()));
    return strides;
}

bool writeable(PyObject* array)
{
    return array == nullptr || py::reinterpret_borrow<py::array>(array).writeable();
}

// cv::Point and cv::Vec4i are plain runs of ints, copied as such.
template <typename Point> py::array_t<int> int_rows(const std::vector<Point>& points)
{
    constexpr py::ssize_t width = sizeof(Point) / sizeof(int);
    py::array_t<int> rows({static_cast<py::ssize_t>(points.size()), width});
    if (!points.empty())
        std::memcpy(rows.mutable_data(), static_cast<const void*>(points.data()), points.size() * sizeof(Point));
    return rows;
}

// Any array-like of int32-convertible numbers as rows of `width`: an (N, width) or cv2's
// (N, 1, width) array, or a list of rows.
template <typename Point> std::vector<Point> int_rows_of(py::handle object, const char* what)
{
    constexpr py::ssize_t width = sizeof(Point) / sizeof(int);
    const auto rows = py::array_t<int, py::array::c_style | py::array::forcecast>::ensure(object);
    if (!rows)
        PyErr_Clear(); // replaced by the message below
    if (!rows || (rows.size() != 0 && (rows.ndim() == 0 || rows.shape(rows.ndim() - 1) != width)))
        throw py::value_error(std::string(what) + " are arrays of shape (N, " + std::to_string(width) + ")");
    std::vector<Point> points(static_cast<std::size_t>(rows.size() / width));
    if (!points.empty())
        std::memcpy(static_cast<void*>(points.data()), rows.data(), points.size() * sizeof(Point));
    return points;
}

} // namespace

cv::Mat to_mat(py::handle object)
{
    if (object.is_none())
        return cv::Mat();
    auto array = py::array::ensure(object, py::array::c_style);
    if (!array)
        throw py::error_already_set();
    const int type = CV_MAKETYPE(depth_of(array.dtype()), channels_of(array));
    if (array.size() == 0)
        return cv::Mat();
    const int sizes[] = {side(array.shape(0)), side(array.shape(1))};
    const std::size_t steps[]
        = {static_cast<std::size_t>(array.strides(0)), static_cast<std::size_t>(array.strides(1))};
    // Read-only arrays are lent too: the library never writes into an argument, and an array
    // returned over such a buffer is read-only in turn.
    cv::Mat mat(2, sizes, type, const_cast<void*>(array.data()), steps);
    mat.u = lender.lend(std::move(array), mat.total() * mat.elemSize());
    mat.addref();
    return mat;
}

py::array to_array(const cv::Mat& mat)
{
    if (mat.data == nullptr) {
        std::vector<py::ssize_t> shape{0, 0};
        if (mat.channels() > 1)
            shape.push_back(mat.channels());
        return py::array(dtype_of(mat.depth()), shape);
    }
    const py::capsule owner(new cv::Mat(mat), [](void* handle) { delete static_cast<cv::Mat*>(handle); });
    py::array array(dtype_of(mat.depth()), shape_of(mat), strides_of(mat), mat.data, owner);
    if (!writeable(ArrayLender::lender_of(mat)))
        array.attr("flags").attr("writeable") = false;
    return array;
}

Contours to_contours(py::handle object)
{
    Contours contours;
    for (const py::handle contour : py::reinterpret_borrow<py::sequence>(object))
        contours.push_back(int_rows_of<cv::Point>(contour, "contours"));
    return contours;
}

py::list to_list(const Contours& contours)
{
    py::list list;
    for (const std::vector<cv::Point>& contour : contours)
        list.append(int_rows(contour));
    return list;
}

Segments to_segments(py::handle object)
{
    return int_rows_of<cv::Vec4i>(object, "segments");
}

py::array to_array(const Segments& segments)
{
    return int_rows(segments);
}

} // namespace tulo_python
