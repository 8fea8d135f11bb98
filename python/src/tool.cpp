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

std::vector<opsira::Kind> to_kinds(const std::vector<int>& numbers)
{
    std::vector<opsira::Kind> kinds;
    for (const int number : numbers)
        kinds.push_back(static_cast<opsira::Kind>(number));
    return kinds;
}

std::vector<int> to_numbers(const std::vector<opsira::Kind>& kinds)
{
    std::vector<int> numbers;
    for (const opsira::Kind kind : kinds)
        numbers.push_back(static_cast<int>(kind));
    return numbers;
}

// The workers save kinds only, as JPEG; the tool's flat de-skewing and other formats are its own.
opsira::Options catalogue_options(const std::vector<std::string>& args)
{
    opsira::Options options = opsira::parse_options(args);
    if (options.deskew)
        throw opsira::UsageError("option \"--deskew\" is not available here: use opsira --deskew");
    if (options.format != opsira::Format::jpg)
        throw opsira::UsageError("option \"--format\" is not available here: the catalogue is written as JPEG");
    return options;
}

py::dict options_dict(const opsira::Options& options)
{
    py::dict fields;
    fields["inputs"] = options.inputs;
    fields["out_root"] = options.out_root;
    fields["kinds"] = to_numbers(options.kinds);
    fields["jobs"] = options.jobs;
    fields["recursive"] = options.recursive;
    fields["quiet"] = options.quiet;
    fields["json"] = options.json;
    fields["help"] = options.help;
    fields["version"] = options.version;
    return fields;
}

} // namespace

PYBIND11_MODULE(_opsira, m)
{
    m.doc() = "The opsira tool's processing of one image, its option parsing and its report lines.";
    py::register_exception<opsira::UsageError>(m, "UsageError", PyExc_ValueError);

    m.def(
        "process",
        [](const std::string& input, const std::string& out_dir, const std::vector<int>& kinds) {
            opsira::Job job;
            job.kinds = to_kinds(kinds);
            opsira::Report report;
            {
                const py::gil_scoped_release no_gil;
                report = opsira::process({input, out_dir}, job);
            }
            return to_dict(report);
        },
        "Reads one image into its own workspace and saves its catalogue, or only `kinds` (numbers, as "
        "parse_kinds orders them), under the prefix `out_dir`; returns the report as a dict of the --json "
        "fields. Every failure is described in the report.",
        py::arg("input"), py::arg("out_dir"), py::arg("kinds"));
    m.def(
        "parse_options", [](const std::vector<std::string>& args) { return options_dict(catalogue_options(args)); },
        "The tool's options as a dict; UsageError says why a command line cannot be obeyed.", py::arg("args"));
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
        [](const std::vector<std::string>& files, const std::string& out_root) {
            std::vector<std::pair<std::string, std::string>> tasks;
            for (const opsira::Task& task : opsira::plan_tasks(files, out_root))
                tasks.emplace_back(task.input, task.output);
            return tasks;
        },
        "(input, output directory) of every file, with the tool's names.", py::arg("files"), py::arg("out_root"));
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
