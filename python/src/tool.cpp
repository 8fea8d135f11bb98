// The opsira tool's own per-image processing, option parsing and report lines, for
// tulo.distributed: its workers call exactly what the tool calls, so that their outputs and
// reports are the tool's.

#include "batch.hpp"
#include "cli.hpp"
#include "inputs.hpp"
#include "report.hpp"

#include <opencv2/core.hpp>

#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <optional>
#include <string>
#include <vector>

namespace {

namespace py = pybind11;

// A report as a dict with the fields, names and values of the tool's --json line.
py::dict to_dict(const opsira::Report& report)
{
    py::dict fields;
    fields["input"] = report.input;
    fields["output"] = report.output;
    fields["ok"] = report.ok();
    fields["skipped"] = report.skipped;
    fields["error"] = report.ok() ? py::none() : py::cast(report.error);
    fields["threshold_method"] = py::cast(report.threshold_method);
    fields["threshold_value"] = py::cast(report.threshold_value);
    fields["correction_angle"] = py::cast(report.correction_angle);
    fields["skew_confidence"] = py::cast(report.skew_confidence);
    fields["deskewed"] = py::cast(report.deskewed);
    fields["contours"] = py::cast(report.contours);
    fields["segments"] = py::cast(report.segments);
    fields["files"] = report.files;
    fields["seconds"] = report.seconds;
    return fields;
}

template <typename T> std::optional<T> optional_field(const py::dict& fields, const char* name)
{
    const py::object value = fields.attr("get")(name);
    return value.is_none() ? std::nullopt : std::optional<T>(value.cast<T>());
}

opsira::Report from_dict(const py::dict& fields)
{
    opsira::Report report;
    report.input = fields["input"].cast<std::string>();
    report.output = fields["output"].cast<std::string>();
    report.skipped = optional_field<bool>(fields, "skipped").value_or(false);
    report.error = optional_field<std::string>(fields, "error").value_or("");
    report.threshold_method = optional_field<std::string>(fields, "threshold_method");
    report.threshold_value = optional_field<double>(fields, "threshold_value");
    report.correction_angle = optional_field<double>(fields, "correction_angle");
    report.skew_confidence = optional_field<double>(fields, "skew_confidence");
    report.deskewed = optional_field<bool>(fields, "deskewed");
    report.contours = optional_field<std::size_t>(fields, "contours");
    report.segments = optional_field<std::size_t>(fields, "segments");
    report.files = fields["files"].cast<std::vector<std::string>>();
    report.seconds = fields["seconds"].cast<double>();
    return report;
}

std::vector<int> to_numbers(const std::vector<opsira::Kind>& kinds)
{
    std::vector<int> numbers;
    for (const opsira::Kind kind : kinds)
        numbers.push_back(static_cast<int>(kind));
    return numbers;
}

// Through the tool's own parsing, which refuses unknown kinds and puts them in its saving order.
std::vector<opsira::Kind> to_kinds(const std::vector<int>& numbers)
{
    std::string list;
    for (const int number : numbers)
        list += std::to_string(number) + ",";
    return numbers.empty() ? std::vector<opsira::Kind>{} : opsira::parse_kinds(list);
}

py::dict options_dict(const opsira::Options& options)
{
    py::dict fields;
    fields["inputs"] = options.inputs;
    fields["out_root"] = options.out_root;
    fields["job"] = opsira::job_of(options);
    fields["jobs"] = options.jobs;
    fields["recursive"] = options.recursive;
    fields["quiet"] = options.quiet;
    fields["json"] = options.json;
    fields["list_kinds"] = options.list_kinds;
    fields["help"] = options.help;
    fields["version"] = options.version;
    return fields;
}

void bind_job(py::module_& m)
{
    py::enum_<opsira::Format>(m, "Format", "The file format of the written images.")
        .value("jpg", opsira::Format::jpg)
        .value("png", opsira::Format::png)
        .value("tif", opsira::Format::tif);

    using opsira::DeskewSettings;
    const DeskewSettings defaults;
    py::class_<DeskewSettings>(m, "DeskewSettings", "How de-skewing levels an image (opsira --deskew).")
        .def(py::init([](double max_angle, double min_confidence, tulo::DeskewCanvas canvas) {
                 return DeskewSettings{max_angle, min_confidence, canvas};
             }),
            py::arg("max_angle") = defaults.max_angle, py::arg("min_confidence") = defaults.min_confidence,
            py::arg("canvas") = defaults.canvas)
        .def_readwrite("max_angle", &DeskewSettings::max_angle, "Largest tilt searched, in degrees (--max-angle).")
        .def_readwrite("min_confidence", &DeskewSettings::min_confidence,
            "An image is turned only from this confidence on; below it, it is copied unchanged.")
        .def_readwrite("canvas", &DeskewSettings::canvas, "DeskewCanvas.expand grows the canvas (--expand).")
        .def(py::pickle(
            [](const DeskewSettings& s) {
                return py::make_tuple(s.max_angle, s.min_confidence, static_cast<int>(s.canvas));
            },
            [](const py::tuple& state) {
                return DeskewSettings{state[0].cast<double>(), state[1].cast<double>(),
                                      static_cast<tulo::DeskewCanvas>(state[2].cast<int>())};
            }));

    using opsira::Job;
    py::class_<Job>(m, "Job",
        "What the tool writes for every image: kinds (numbers; empty for the whole catalogue) in a "
        "format, or with deskew one levelled copy in the image's own format; resume leaves complete "
        "outputs alone.")
        .def(py::init([](const std::vector<int>& kinds, opsira::Format format, bool resume,
                          const std::optional<DeskewSettings>& deskew) {
                 return Job{to_kinds(kinds), format, resume, deskew};
             }),
            py::arg("kinds") = std::vector<int>{}, py::arg("format") = opsira::Format::jpg,
            py::arg("resume") = false, py::arg("deskew") = py::none())
        .def_property(
            "kinds", [](const Job& job) { return to_numbers(job.kinds); },
            [](Job& job, const std::vector<int>& kinds) { job.kinds = to_kinds(kinds); })
        .def_readwrite("format", &Job::format)
        .def_readwrite("resume", &Job::resume)
        .def_readwrite("deskew", &Job::deskew)
        .def(py::pickle(
            [](const Job& job) {
                return py::make_tuple(to_numbers(job.kinds), static_cast<int>(job.format), job.resume, job.deskew);
            },
            [](const py::tuple& state) {
                return Job{to_kinds(state[0].cast<std::vector<int>>()),
                           static_cast<opsira::Format>(state[1].cast<int>()), state[2].cast<bool>(),
                           state[3].cast<std::optional<DeskewSettings>>()};
            }));
}

} // namespace

PYBIND11_MODULE(_opsira, m)
{
    m.doc() = "The opsira tool's job and processing of one image, its option parsing and its report lines.";
    py::register_exception<opsira::UsageError>(m, "UsageError", PyExc_ValueError);

    // Its default arguments are the library's DeskewCanvas, which the package's core module registers.
    py::module_::import("tulo._tulo");
    bind_job(m);

    m.def(
        "process",
        [](const std::string& input, const std::string& output, const opsira::Job& job) {
            opsira::Report report;
            {
                const py::gil_scoped_release no_gil;
                report = opsira::process({input, output}, job);
            }
            return to_dict(report);
        },
        "Does the job for one image: its catalogue or kinds into the folder `output` (with a trailing "
        "\"/\"), or with deskew its levelled copy as the file `output`, each written beside its place and "
        "renamed into it; returns the report as a dict of the --json fields. Every failure is described "
        "in the report.",
        py::arg("input"), py::arg("output"), py::arg("job"));
    m.def(
        "blank_report",
        [](const std::string& input, const std::string& output) {
            opsira::Report report;
            report.input = input;
            report.output = output;
            return to_dict(report);
        },
        "A report of an image with nothing done, every field present.", py::arg("input"), py::arg("output"));
    m.def("planned_files", &opsira::planned_files,
        "The names of the files a job's kinds write into an image's folder; with deskew a job writes the "
        "task's one file instead.",
        py::arg("job"));
    m.def(
        "parse_options", [](const std::vector<std::string>& args) { return options_dict(opsira::parse_options(args)); },
        "The tool's options as a dict, its Job under \"job\"; UsageError says why a command line cannot be "
        "obeyed.",
        py::arg("args"));
    m.def(
        "parse_kinds", [](const std::string& list) { return to_numbers(opsira::parse_kinds(list)); },
        "Kind numbers of a comma-separated list of names or numbers, ascending with a mosaic last.", py::arg("list"));
    m.def(
        "collect_inputs",
        [](const std::vector<std::string>& inputs, bool recursive, const std::string& out_root) {
            const opsira::Inputs found = opsira::collect_inputs(inputs, recursive, out_root);
            return std::make_pair(found.files, found.problems);
        },
        "(image files, problems) of the command-line inputs, as the tool expands them.", py::arg("inputs"),
        py::arg("recursive"), py::arg("out_root"));
    m.def(
        "plan_tasks",
        [](const std::vector<std::string>& files, const std::string& out_root, const opsira::Job& job) {
            std::vector<std::pair<std::string, std::string>> tasks;
            for (const opsira::Task& task : opsira::plan_job(files, out_root, job))
                tasks.emplace_back(task.input, task.output);
            return tasks;
        },
        "(input, output) of every file with the tool's names: an output folder, or with deskew an "
        "output file.",
        py::arg("files"), py::arg("out_root"), py::arg("job"));
    m.def("prepare_output", &opsira::prepare_output,
        "Creates the output folder when missing and checks that folders can be made in it; RuntimeError "
        "says why not.",
        py::arg("out_root"));
    m.def("kinds_text", &opsira::kinds_text, "The text of the tool's --list-kinds.");
    m.def(
        "json_line", [](const py::dict& report) { return opsira::json_line(from_dict(report)); },
        "The tool's --json line of a report.", py::arg("report"));
    m.def(
        "summary_line", [](const py::dict& report) { return opsira::summary_line(from_dict(report)); },
        "The tool's summary line of a report.", py::arg("report"));
    m.def(
        "set_opencv_threads", [](int threads) { cv::setNumThreads(threads); },
        "OpenCV's own thread count in this process, as the tool sets it when it runs several workers.",
        py::arg("threads"));
}
