#include "bindings.hpp"
#include "convert.hpp"
#include "docstrings.hpp"

#include <tulo/Opsira.hpp>

#include <pybind11/stl.h>

#include <map>
#include <string>

namespace tulo_python {
namespace {

using tulo::Opsira;
using EMatType = Opsira::EMatType;
using EThresholdType = Opsira::EThresholdType;

/** Lets a Python subclass override every virtual member, so that the workspace's own operations,
 *  which reach each other through virtual dispatch, take the override as the C++ class does. */
class PyOpsira : public Opsira {
public:
    using Opsira::Opsira;

    EMatType to_type(const std::string& name) const override { PYBIND11_OVERRIDE(EMatType, Opsira, to_type, name); }
    std::string to_string(EMatType kind) const override { PYBIND11_OVERRIDE(std::string, Opsira, to_string, kind); }
    std::string to_string(EThresholdType method) const override
    {
        PYBIND11_OVERRIDE(std::string, Opsira, to_string, method);
    }
    bool operator==(const Opsira& other) const override
    {
        PYBIND11_OVERRIDE_NAME(bool, Opsira, "__eq__", operator==, other);
    }

    Opsira& clear() override { return chained([&]() -> Opsira& { return Opsira::clear(); }, "clear"); }
    Opsira& clear(EMatType kind) override
    {
        return chained([&]() -> Opsira& { return Opsira::clear(kind); }, "clear", kind);
    }
    Opsira& clear(const std::string& name) override
    {
        return chained([&]() -> Opsira& { return Opsira::clear(name); }, "clear", name);
    }
    Opsira& set_original(const std::string& path) override
    {
        return chained([&]() -> Opsira& { return Opsira::set_original(path); }, "set_original", path);
    }
    Opsira& set_original(const cv::Mat& image) override
    {
        return chained([&]() -> Opsira& { return Opsira::set_original(image); }, "set_original", image);
    }
    Opsira& set_original(EMatType kind) override
    {
        return chained([&]() -> Opsira& { return Opsira::set_original(kind); }, "set_original", kind);
    }

    cv::Mat& get(EMatType kind) override
    {
        return held(key_of(kind), [&]() -> cv::Mat& { return Opsira::get(kind); }, "get", kind);
    }
    cv::Mat& get(const std::string& name) override
    {
        return held(name, [&]() -> cv::Mat& { return Opsira::get(name); }, "get", name);
    }
    cv::Mat& get(EMatType kind, int parameter) override
    {
        return held(key_of(kind), [&]() -> cv::Mat& { return Opsira::get(kind, parameter); }, "get", kind, parameter);
    }

    Opsira& replace(EMatType kind, cv::Mat& image) override
    {
        return chained([&]() -> Opsira& { return Opsira::replace(kind, image); }, "replace", kind, image);
    }
    Opsira& replace(const std::string& name, cv::Mat& image) override
    {
        return chained([&]() -> Opsira& { return Opsira::replace(name, image); }, "replace", name, image);
    }
    Opsira& reset() override { return chained([&]() -> Opsira& { return Opsira::reset(); }, "reset"); }
    Opsira& reset_using(EMatType kind) override
    {
        return chained([&]() -> Opsira& { return Opsira::reset_using(kind); }, "reset_using", kind);
    }
    Opsira& reset_using(const std::string& path) override
    {
        return chained([&]() -> Opsira& { return Opsira::reset_using(path); }, "reset_using", path);
    }

    std::string save(EMatType kind, const std::string& path) override
    {
        PYBIND11_OVERRIDE(std::string, Opsira, save, kind, path);
    }
    std::string save(const std::string& name, const std::string& path) override
    {
        PYBIND11_OVERRIDE(std::string, Opsira, save, name, path);
    }
    std::vector<std::string> save_all(const std::string& path) override
    {
        PYBIND11_OVERRIDE(std::vector<std::string>, Opsira, save_all, path);
    }

    Contours find_contours() override { PYBIND11_OVERRIDE(Contours, Opsira, find_contours, ); }
    cv::Mat create_threshold() override { PYBIND11_OVERRIDE(cv::Mat, Opsira, create_threshold, ); }
    cv::Mat create_hough_lines_and_angles() override
    {
        PYBIND11_OVERRIDE(cv::Mat, Opsira, create_hough_lines_and_angles, );
    }
    cv::Mat create_mosaic(bool labels) override { PYBIND11_OVERRIDE(cv::Mat, Opsira, create_mosaic, labels); }
    cv::Mat create_threshold(EThresholdType method) override
    {
        PYBIND11_OVERRIDE(cv::Mat, Opsira, create_threshold, method);
    }

private:
    static std::string key_of(EMatType kind) { return "#" + std::to_string(static_cast<int>(kind)); }

    py::function python_override(const char* name) const
    {
        return py::get_override(static_cast<const Opsira*>(this), name);
    }

    // The members that return the workspace: a Python override's own return value is ignored, so
    // that an override need not end in `return self` for chained calls to work.
    template <typename Base, typename... Args>
    Opsira& chained(Base base, const char* name, const Args&... args)
    {
        {
            const py::gil_scoped_acquire gil;
            if (const py::function override = python_override(name)) {
                override(args...);
                return *this;
            }
        }
        return base();
    }

    // The members that return a reference into the store: what a Python override returns is kept
    // here, one per kind or name, so that the reference stays valid as the C++ caller expects.
    template <typename Base, typename... Args>
    cv::Mat& held(const std::string& key, Base base, const char* name, const Args&... args)
    {
        {
            const py::gil_scoped_acquire gil;
            if (const py::function override = python_override(name))
                return overridden_images_[key] = override(args...).template cast<cv::Mat>();
        }
        return base();
    }

    std::map<std::string, cv::Mat> overridden_images_;
};

template <typename Enum>
void add_values(py::enum_<Enum>& enumeration, Enum last)
{
    const Opsira names;
    for (int value = 0; value <= static_cast<int>(last); ++value)
        enumeration.value(names.to_string(static_cast<Enum>(value)).c_str(), static_cast<Enum>(value));
}

py::object image_mapping(const Opsira& workspace)
{
    py::dict images;
    for (const auto& [name, image] : workspace.images)
        images[py::str(name)] = to_array(image);
    return py::module_::import("types").attr("MappingProxyType")(images);
}

} // namespace

void bind_opsira(py::module_& m)
{
    const py::call_guard<py::gil_scoped_release> no_gil;
    const auto kind = py::arg("kind");
    const auto name = py::arg("name");
    const auto path = py::arg("path");

    py::class_<Opsira, PyOpsira> opsira(m, "Opsira", doc::Opsira);
    py::enum_<EMatType> kinds(opsira, "EMatType", doc::Opsira_EMatType);
    add_values(kinds, EMatType::max);
    py::enum_<EThresholdType> methods(opsira, "EThresholdType", doc::Opsira_EThresholdType);
    add_values(methods, EThresholdType::max);

    opsira.def(py::init<>(), doc::Opsira_2)
        .def(py::init<const std::string&>(), doc::Opsira_3, path, no_gil)
        .def(py::init<const cv::Mat&>(), doc::Opsira_4, py::arg("image"), no_gil);

    opsira.def_property_readonly("images", &image_mapping,
                                 "The image store, ordered by byte-wise name: a read-only mapping of name to "
                                 "array; each array shares the stored pixels.")
        .def_readwrite("threshold_value", &Opsira::threshold_value, doc::Opsira_threshold_value)
        .def_readwrite("threshold_type", &Opsira::threshold_type, doc::Opsira_threshold_type)
        .def_readwrite("contours", &Opsira::contours, doc::Opsira_contours)
        .def_readwrite("hough_lines", &Opsira::hough_lines, doc::Opsira_hough_lines)
        .def_readwrite("line_angles", &Opsira::line_angles, doc::Opsira_line_angles)
        .def_readwrite("angle_intervals", &Opsira::angle_intervals, doc::Opsira_angle_intervals)
        .def_readwrite("correction_angle", &Opsira::correction_angle, doc::Opsira_correction_angle);

    opsira.def("to_type", &Opsira::to_type, doc::Opsira_to_type, name)
        .def("to_string", py::overload_cast<EMatType>(&Opsira::to_string, py::const_), doc::Opsira_to_string, kind)
        .def("to_string", py::overload_cast<EThresholdType>(&Opsira::to_string, py::const_), doc::Opsira_to_string_2,
             py::arg("method"))
        .def(
            "__eq__", [](const Opsira& self, const Opsira& other) { return self == other; }, doc::Opsira_eq,
            py::is_operator(), no_gil);

    opsira.def("clear", py::overload_cast<>(&Opsira::clear), doc::Opsira_clear, no_gil)
        .def("clear", py::overload_cast<EMatType>(&Opsira::clear), doc::Opsira_clear_2, kind, no_gil)
        .def("clear", py::overload_cast<const std::string&>(&Opsira::clear), doc::Opsira_clear_3, name, no_gil)
        .def("set_original", py::overload_cast<const std::string&>(&Opsira::set_original), doc::Opsira_set_original,
             path, no_gil)
        .def("set_original", py::overload_cast<const cv::Mat&>(&Opsira::set_original), doc::Opsira_set_original_2,
             py::arg("image"), no_gil)
        .def("set_original", py::overload_cast<EMatType>(&Opsira::set_original), doc::Opsira_set_original_3, kind,
             no_gil);

    const std::string shares = "\n\nThe array returned shares the stored pixels, as the C++ reference does: writing "
                               "into it changes the stored image.";
    opsira.def("get", py::overload_cast<EMatType>(&Opsira::get), (doc::Opsira_get + shares).c_str(), kind, no_gil)
        .def("get", py::overload_cast<const std::string&>(&Opsira::get), (doc::Opsira_get_2 + shares).c_str(), name,
             no_gil)
        .def("get", py::overload_cast<EMatType, int>(&Opsira::get), (doc::Opsira_get_3 + shares).c_str(), kind,
             py::arg("parameter"), no_gil)
        .def("replace", py::overload_cast<EMatType, cv::Mat&>(&Opsira::replace), doc::Opsira_replace, kind,
             py::arg("image"), no_gil)
        .def("replace", py::overload_cast<const std::string&, cv::Mat&>(&Opsira::replace), doc::Opsira_replace_2,
             name, py::arg("image"), no_gil)
        .def("reset", &Opsira::reset, doc::Opsira_reset, no_gil)
        .def("reset_using", py::overload_cast<EMatType>(&Opsira::reset_using), doc::Opsira_reset_using, kind, no_gil)
        .def("reset_using", py::overload_cast<const std::string&>(&Opsira::reset_using), doc::Opsira_reset_using_2,
             path, no_gil);

    opsira.def("save", py::overload_cast<EMatType, const std::string&>(&Opsira::save), doc::Opsira_save, kind, path,
               no_gil)
        .def("save", py::overload_cast<const std::string&, const std::string&>(&Opsira::save), doc::Opsira_save_2,
             name, path, no_gil)
        .def("save_all", &Opsira::save_all, doc::Opsira_save_all, path, no_gil)
        .def("find_contours", &Opsira::find_contours, doc::Opsira_find_contours, no_gil)
        .def("create_threshold", py::overload_cast<>(&Opsira::create_threshold), doc::Opsira_create_threshold, no_gil)
        .def("create_hough_lines_and_angles", &Opsira::create_hough_lines_and_angles,
             doc::Opsira_create_hough_lines_and_angles, no_gil)
        .def("create_mosaic", &Opsira::create_mosaic, doc::Opsira_create_mosaic, py::arg("labels"), no_gil)
        .def("create_threshold", py::overload_cast<EThresholdType>(&Opsira::create_threshold),
             doc::Opsira_create_threshold_2, py::arg("method"), no_gil);
}

} // namespace tulo_python
