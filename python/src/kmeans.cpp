#include "bindings.hpp"
#include "docstrings.hpp"

#include <tulo/KMeans.hpp>

#include <pybind11/numpy.h>
#include <pybind11/stl.h>

#include <algorithm>
#include <string>
#include <tuple>

namespace tulo_python {

namespace py = pybind11;

namespace {

// Labels are indices, so they come back as NumPy's index type rather than as unsigned long.
py::array_t<py::ssize_t> label_array(const std::vector<unsigned long>& labels)
{
    py::array_t<py::ssize_t> array(static_cast<py::ssize_t>(labels.size()));
    std::copy(labels.begin(), labels.end(), array.mutable_data());
    return array;
}

} // namespace

void bind_kmeans(py::module_& m)
{
    m.def(
        "k_means",
        [](const std::vector<double>& values, unsigned long k) {
            std::vector<unsigned long> labels;
            std::vector<double> centres;
            unsigned long iterations = 0;
            {
                const py::gil_scoped_release no_gil;
                iterations = tulo::k_means(values, k, labels, centres);
            }
            const py::array_t<double> centre_array(static_cast<py::ssize_t>(centres.size()), centres.data());
            return std::make_tuple(iterations, label_array(labels), centre_array);
        },
        (std::string(doc::k_means)
            + "\n\nIn Python the outputs are returned: (iterations, labels, centres), "
              "labels as an int array and centres as a float64 array.")
            .c_str(),
        py::arg("values"), py::arg("k"));
    m.def(
        "k_means_vector",
        [](const std::vector<double>& values, unsigned long k) {
            std::vector<std::vector<double>> clusters;
            std::vector<double> centres;
            const unsigned long iterations = tulo::k_means_vector(values, k, clusters, centres);
            return std::make_tuple(iterations, std::move(clusters), std::move(centres));
        },
        (std::string(doc::k_means_vector) + "\n\nIn Python the outputs are returned: (iterations, clusters, centres).")
            .c_str(),
        py::arg("values"), py::arg("k"), py::call_guard<py::gil_scoped_release>());
}

} // namespace tulo_python
