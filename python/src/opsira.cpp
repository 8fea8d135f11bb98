#include "bindings.hpp"
#include "convert.hpp"
#include "docstrings.hpp"

#include <tulo/Opsira.hpp>

#include <pybind11/stl.h>

#include <map>
#include <string>
#include <utility>

namespace tulo_python {
namespace {

using tulo::Opsira;
using EMatType = Opsira::EMatType;
using EThresholdType = Opsira::EThresholdType;

/** Lets a Python subclass override every virtual member, so that the workspace's own operations,
 *  which reach each other through virtual dispatch, take the override as the C++ class does.
 *
 *  pybind11's own override lookup skips the Python override while that override is running (it
 *  looks for the method's name in the calling frame), so `super().get(kind)` inside an overridden
 *  `get` would derive the kind's sources without the override. Here the bindings instead mark the
 *  one call that Python makes into the C++ member, and only that call goes to the base class. */
class PyOpsira : public Opsira {
public:
    using Opsira::Opsira;

    /** The next virtual member entered is Python calling the C++ implementation itself. */
    void call_base_next() const { base_next_ = true; }

    EMatType to_type(const std::string& name) const override
    {
        return returned<EMatType>([&] { return Opsira::to_type(name); }, "to_type", name);
    }
    std::string to_string(EMatType kind) const override
    {
        return returned<std::string>([&] { return Opsira::to_string(kind); }, "to_string", kind);
    }
    std::string to_string(EThresholdType method) const override
    {
        return returned<std::string>([&] { return Opsira::to_string(method); }, "to_string", method);
    }
    bool operator==(const Opsira& other) const override
    {
        return returned<bool>([&] { return Opsira::operator==(other); }, "__eq__", other);
    }

    Opsira& clear() override
    {
        return chained([&]() -> Opsira& { return Opsira::clear(); }, "clear");
    }
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
        return held(
            key_of(kind), [&]() -> cv::Mat& { return Opsira::get(kind); }, "get", kind);
    }
    cv::Mat& get(const std::string& name) override
    {
        return held(
            name, [&]() -> cv::Mat& { return Opsira::get(name); }, "get", name);
    }
    cv::Mat& get(EMatType kind, int parameter) override
    {
        return held(
            key_of(kind), [&]() -> cv::Mat& { return Opsira::get(kind, parameter); }, "get", kind, parameter);
    }

    Opsira& replace(EMatType kind, cv::Mat& image) override
    {
        return chained([&]() -> Opsira& { return Opsira::replace(kind, image); }, "replace", kind, image);
    }
    Opsira& replace(const std::string& name, cv::Mat& image) override
    {
        return chained([&]() -> Opsira& { return Opsira::replace(name, image); }, "replace", name, image);
    }
    Opsira& reset() override
    {
        return chained([&]() -> Opsira& { return Opsira::reset(); }, "reset");
    }
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
        return returned<std::string>([&] { return Opsira::save(kind, path); }, "save", kind, path);
    }
    std::string save(const std::string& name, const std::string& path) override
    {
        return returned<std::string>([&] { return Opsira::save(name, path); }, "save", name, path);
    }
    std::vector<std::string> save_all(const std::string& path) override
    {
        return returned<std::vector<std::string>>([&] { return Opsira::save_all(path); }, "save_all", path);
    }

    Contours find_contours() override
    {
        return returned<Contours>([&] { return Opsira::find_contours(); }, "find_contours");
    }
    cv::Mat create_threshold() override
    {
        return returned<cv::Mat>([&] { return Opsira::create_threshold(); }, "create_threshold");
    }
    cv::Mat create_hough_lines_and_angles() override
    {
        return returned<cv::Mat>(
            [&] { return Opsira::create_hough_lines_and_angles(); }, "create_hough_lines_and_angles");
    }
    cv::Mat create_mosaic(bool labels) override
    {
        return returned<cv::Mat>([&] { return Opsira::create_mosaic(labels); }, "create_mosaic", labels);
    }
    cv::Mat create_threshold(EThresholdType method) override
    {
        return returned<cv::Mat>([&] { return Opsira::create_threshold(method); }, "create_threshold", method);
    }

private:
    static std::string key_of(EMatType kind) { return "#" + std::to_string(static_cast<int>(kind)); }

    // The Python method overriding `name`, or None when the C++ member is to run. Needs the GIL.
    py::object python_override(const char* name) const
    {
        if (std::exchange(base_next_, false))
            return py::none();
        static const py::detail::type_info* const opsira_type = py::detail::get_type_info(typeid(Opsira));
        const py::handle self = py::detail::get_object_handle(this, opsira_type);
        if (!self)
            return py::none();
        py::object method = py::getattr(self, name, py::none());
        if (method.is_none() || py::reinterpret_borrow<py::function>(method).is_cpp_function())
            return py::none();
        return method;
    }

    template <typename Result, typename Base, typename... Args>
    Result returned(Base base, const char* name, const Args&... args) const
    {
        {
            const py::gil_scoped_acquire gil;
            const py::object override = python_override(name);
            if (!override.is_none())
                return override(args...).template cast<Result>();
        }
        return base();
    }

    // The members that return the workspace: a Python override's own return value is ignored, so
    // that an override need not end in `return self` for chained calls to work.
    template <typename Base, typename... Args> Opsira& chained(Base base, const char* name, const Args&... args)
    {
        {
            const py::gil_scoped_acquire gil;
            const py::object override = python_override(name);
            if (!override.is_none()) {
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
            const py::object override = python_override(name);
            if (!override.is_none())
                return overridden_images_[key] = override(args...).template cast<cv::Mat>();
        }
        return base();
    }

    mutable bool base_next_ = false;
    std::map<std::string, cv::Mat> overridden_images_;
};

// Binds a member so that Python reaches the C++ implementation: on a Python subclass the marked
// call skips the subclass's override, which is what `super().name(...)` means there.
template <typename Result, typename... Args> auto from_python(Result (Opsira::*member)(Args...))
{
    return [member](Opsira& self, Args... args) -> Result {
        if (const auto* alias = dynamic_cast<const PyOpsira*>(&self))
            alias->call_base_next();
        return (self.*member)(std::forward<Args>(args)...);
    };
}

template <typename Result, typename... Args> auto from_python(Result (Opsira::*member)(Args...) const)
{
    return [member](const Opsira& self, Args... args) -> Result {
        if (const auto* alias = dynamic_cast<const PyOpsira*>(&self))
            alias->call_base_next();
        return (self.*member)(std::forward<Args>(args)...);
    };
}

template <typename Enum> void add_values(py::enum_<Enum>& enumeration, const std::vector<std::string>& names)
{
    for (std::size_t value = 0; value < names.size(); ++value)
        enumeration.value(names[value].c_str(), static_cast<Enum>(value));
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
    add_values(kinds, Opsira::kind_names());
    py::enum_<EThresholdType> methods(opsira, "EThresholdType", doc::Opsira_EThresholdType);
    add_values(methods, Opsira::threshold_method_names());

    opsira.def(py::init<>(), doc::Opsira_2)
        .def(py::init<const std::string&>(), doc::Opsira_3, path, no_gil)
        .def(py::init<const cv::Mat&>(), doc::Opsira_4, py::arg("image"), no_gil);

    opsira
        .def_property_readonly("images", &image_mapping,
            "The image store, ordered by byte-wise name: a read-only mapping of name to "
            "array; each array shares the stored pixels.")
        .def_readwrite("threshold_value", &Opsira::threshold_value, doc::Opsira_threshold_value)
        .def_readwrite("threshold_type", &Opsira::threshold_type, doc::Opsira_threshold_type)
        .def_readwrite("contours", &Opsira::contours, doc::Opsira_contours)
        .def_readwrite("hough_lines", &Opsira::hough_lines, doc::Opsira_hough_lines)
        .def_readwrite("line_angles", &Opsira::line_angles, doc::Opsira_line_angles)
        .def_readwrite("angle_intervals", &Opsira::angle_intervals, doc::Opsira_angle_intervals)
        .def_readwrite("correction_angle", &Opsira::correction_angle, doc::Opsira_correction_angle);

    opsira.def("to_type", from_python(&Opsira::to_type), doc::Opsira_to_type, name)
        .def("to_string", from_python(py::overload_cast<EMatType>(&Opsira::to_string, py::const_)),
            doc::Opsira_to_string, kind)
        .def("to_string", from_python(py::overload_cast<EThresholdType>(&Opsira::to_string, py::const_)),
            doc::Opsira_to_string_2, py::arg("method"))
        .def("__eq__", from_python(&Opsira::operator==), doc::Opsira_eq, py::is_operator(), no_gil);

    opsira.def("clear", from_python(py::overload_cast<>(&Opsira::clear)), doc::Opsira_clear, no_gil)
        .def("clear", from_python(py::overload_cast<EMatType>(&Opsira::clear)), doc::Opsira_clear_2, kind, no_gil)
        .def("clear", from_python(py::overload_cast<const std::string&>(&Opsira::clear)), doc::Opsira_clear_3, name,
            no_gil)
        .def("set_original", from_python(py::overload_cast<const std::string&>(&Opsira::set_original)),
            doc::Opsira_set_original, path, no_gil)
        .def("set_original", from_python(py::overload_cast<const cv::Mat&>(&Opsira::set_original)),
            doc::Opsira_set_original_2, py::arg("image"), no_gil)
        .def("set_original", from_python(py::overload_cast<EMatType>(&Opsira::set_original)),
            doc::Opsira_set_original_3, kind, no_gil);

    const std::string shares = "\n\nThe array returned shares the stored pixels, as the C++ reference does: writing "
                               "into it changes the stored image.";
    opsira
        .def("get", from_python(py::overload_cast<EMatType>(&Opsira::get)), (doc::Opsira_get + shares).c_str(), kind,
            no_gil)
        .def("get", from_python(py::overload_cast<const std::string&>(&Opsira::get)),
            (doc::Opsira_get_2 + shares).c_str(), name, no_gil)
        .def("get", from_python(py::overload_cast<EMatType, int>(&Opsira::get)), (doc::Opsira_get_3 + shares).c_str(),
            kind, py::arg("parameter"), no_gil)
        .def("replace", from_python(py::overload_cast<EMatType, cv::Mat&>(&Opsira::replace)), doc::Opsira_replace, kind,
            py::arg("image"), no_gil)
        .def("replace", from_python(py::overload_cast<const std::string&, cv::Mat&>(&Opsira::replace)),
            doc::Opsira_replace_2, name, py::arg("image"), no_gil)
        .def("reset", from_python(&Opsira::reset), doc::Opsira_reset, no_gil)
        .def("reset_using", from_python(py::overload_cast<EMatType>(&Opsira::reset_using)), doc::Opsira_reset_using,
            kind, no_gil)
        .def("reset_using", from_python(py::overload_cast<const std::string&>(&Opsira::reset_using)),
            doc::Opsira_reset_using_2, path, no_gil);

    opsira
        .def("save", from_python(py::overload_cast<EMatType, const std::string&>(&Opsira::save)), doc::Opsira_save,
            kind, path, no_gil)
        .def("save", from_python(py::overload_cast<const std::string&, const std::string&>(&Opsira::save)),
            doc::Opsira_save_2, name, path, no_gil)
        .def("save_all", from_python(&Opsira::save_all), doc::Opsira_save_all, path, no_gil)
        .def("find_contours", from_python(&Opsira::find_contours), doc::Opsira_find_contours, no_gil)
        .def("create_threshold", from_python(py::overload_cast<>(&Opsira::create_threshold)),
            doc::Opsira_create_threshold, no_gil)
        .def("create_hough_lines_and_angles", from_python(&Opsira::create_hough_lines_and_angles),
            doc::Opsira_create_hough_lines_and_angles, no_gil)
        .def("create_mosaic", from_python(&Opsira::create_mosaic), doc::Opsira_create_mosaic, py::arg("labels"), no_gil)
        .def("create_threshold", from_python(py::overload_cast<EThresholdType>(&Opsira::create_threshold)),
            doc::Opsira_create_threshold_2, py::arg("method"), no_gil);
}

} // namespace tulo_python
