// The library's page pipeline for tulo.distributed: its workers run what the opsira tool runs, so
// that their outputs and reports are the tool's; the runner's command line is the tool's too.

#include <tulo/PipelineOptions.hpp>
#include <tulo/PipelinePlan.hpp>
#include <tulo/PipelineReport.hpp>

#include <opencv2/core.hpp>

#include <pybind11/functional.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <optional>
#include <tuple>
#include <string>
#include <vector>

namespace {

namespace py = pybind11;
namespace pipeline = tulo::pipeline;

struct ToPython {
    py::object operator()(std::monostate) const { return py::none(); }
    py::object operator()(bool flag) const { return py::bool_(flag); }
    py::object operator()(std::size_t count) const { return py::int_(count); }
    py::object operator()(int number) const { return py::int_(number); }
    py::object operator()(const pipeline::Box& box) const { return py::cast(std::vector<int>(box.begin(), box.end())); }
    py::object operator()(double number) const { return py::float_(number); }
    py::object operator()(pipeline::Seconds seconds) const { return py::float_(seconds.value); }
    py::object operator()(const std::string& text) const { return py::str(text); }
    py::object operator()(const std::vector<std::string>& files) const { return py::cast(files); }
};

pipeline::FieldValue to_field(const py::handle value)
{
    if (value.is_none())
        return {};
    if (py::isinstance<py::bool_>(value))
        return value.cast<bool>();
    if (py::isinstance<py::int_>(value))
        return value.cast<std::size_t>();
    if (py::isinstance<py::float_>(value))
        return value.cast<double>();
    if (py::isinstance<py::str>(value))
        return value.cast<std::string>();
    const auto items = py::reinterpret_borrow<py::sequence>(value);
    if (items.size() == 4 && py::isinstance<py::int_>(items[0]))
        return value.cast<pipeline::Box>();
    return value.cast<std::vector<std::string>>();
}

// A report as a dict with the fields, names and values of the --json line.
py::dict to_dict(const pipeline::Report& report)
{
    py::dict fields;
    for (const pipeline::ReportField& field : pipeline::report_fields()) {
        const pipeline::FieldValue value = field.get(report);
        if (field.shown(value))
            fields[field.name] = std::visit(ToPython{}, value);
    }
    return fields;
}

// A missing field reads as null.
pipeline::Report from_dict(const py::dict& fields)
{
    pipeline::Report report;
    for (const pipeline::ReportField& field : pipeline::report_fields()) {
        if (field.set)
            field.set(report, to_field(fields.attr("get")(field.name)));
    }
    return report;
}

std::vector<int> to_numbers(const std::vector<pipeline::Kind>& kinds)
{
    std::vector<int> numbers;
    for (const pipeline::Kind kind : kinds)
        numbers.push_back(static_cast<int>(kind));
    return numbers;
}

// Through the command line's own parsing, which refuses unknown kinds and puts them in saving order.
std::vector<pipeline::Kind> to_kinds(const std::vector<int>& numbers)
{
    std::string list;
    for (const int number : numbers)
        list += std::to_string(number) + ",";
    return numbers.empty() ? std::vector<pipeline::Kind>{} : pipeline::parse_kinds(list);
}

py::dict options_dict(const pipeline::Options& options)
{
    py::dict fields;
    fields["inputs"] = options.inputs;
    fields["out_root"] = options.out_root;
    fields["job"] = pipeline::job_of(options);
    fields["jobs"] = options.jobs;
    fields["recursive"] = options.recursive;
    fields["quiet"] = options.quiet;
    fields["json"] = options.json;
    fields["list_kinds"] = options.list_kinds;
    fields["help"] = options.help;
    fields["version"] = options.version;
    return fields;
}

pipeline::Task to_task(const std::string& input, const std::string& output) { return {input, output}; }

// A function of a task and a job as Python calls it: with the task's input and output.
template <typename Result> auto on_task(Result (*function)(const pipeline::Task&, const pipeline::Job&))
{
    return [function](const std::string& input, const std::string& output, const pipeline::Job& job) {
        return function(to_task(input, output), job);
    };
}

void bind_job(py::module_& m)
{
    py::enum_<pipeline::Format>(m, "Format", "The file format of the written images.")
        .value("jpg", pipeline::Format::jpg)
        .value("png", pipeline::Format::png)
        .value("tif", pipeline::Format::tif);

    using pipeline::DeskewSettings;
    const DeskewSettings defaults;
    py::class_<DeskewSettings>(m, "DeskewSettings", "How de-skewing levels an image (opsira --deskew).")
        .def(py::init([](double max_angle, double min_confidence, tulo::DeskewCanvas canvas, double min_angle) {
                 return DeskewSettings{max_angle, min_confidence, canvas, min_angle};
             }),
            py::arg("max_angle") = defaults.max_angle, py::arg("min_confidence") = defaults.min_confidence,
            py::arg("canvas") = defaults.canvas, py::arg("min_angle") = defaults.min_angle)
        .def_readwrite("max_angle", &DeskewSettings::max_angle, "Largest tilt searched, in degrees (--max-angle).")
        .def_readwrite("min_confidence", &DeskewSettings::min_confidence,
            "An image is turned only from this confidence on; below it, it is copied unchanged.")
        .def_readwrite("canvas", &DeskewSettings::canvas, "DeskewCanvas.expand grows the canvas (--expand).")
        .def_readwrite("min_angle", &DeskewSettings::min_angle,
            "A smaller correction, in degrees either way, is not applied (--min-angle).")
        .def(py::pickle(
            [](const DeskewSettings& s) {
                return py::make_tuple(s.max_angle, s.min_confidence, static_cast<int>(s.canvas), s.min_angle);
            },
            [](const py::tuple& state) {
                return DeskewSettings{state[0].cast<double>(), state[1].cast<double>(),
                                      static_cast<tulo::DeskewCanvas>(state[2].cast<int>()), state[3].cast<double>()};
            }));

    using pipeline::OrientSettings;
    py::class_<OrientSettings>(m, "OrientSettings", "How the orient step stands an image upright (opsira --orient).")
        .def(py::init([](double min_confidence) { return OrientSettings{min_confidence}; }),
            py::arg("min_confidence") = OrientSettings{}.min_confidence)
        .def_readwrite("min_confidence", &OrientSettings::min_confidence,
            "An image is turned only from this confidence on (--min-orientation-confidence).")
        .def(py::pickle([](const OrientSettings& s) { return py::make_tuple(s.min_confidence); },
            [](const py::tuple& state) { return OrientSettings{state[0].cast<double>()}; }));

    using pipeline::CropSettings;
    py::class_<CropSettings>(m, "CropSettings", "How the crop step cuts an image to its content (opsira --crop).")
        .def(py::init([](int margin) { return CropSettings{margin}; }), py::arg("margin") = CropSettings{}.margin)
        .def_readwrite("margin", &CropSettings::margin, "Pixels kept around the content (--margin).")
        .def(py::pickle([](const CropSettings& s) { return py::make_tuple(s.margin); },
            [](const py::tuple& state) { return CropSettings{state[0].cast<int>()}; }));

    using pipeline::Job;
    py::class_<Job>(m, "Job",
        "What the tool writes for every image: kinds (numbers; empty for the whole catalogue) in a "
        "format, or with deskew one levelled copy in the image's own format; resume leaves complete "
        "outputs alone.")
        .def(py::init([](const std::vector<int>& kinds, pipeline::Format format, bool resume,
                          const std::optional<DeskewSettings>& deskew, const std::optional<OrientSettings>& orient,
                          const std::optional<CropSettings>& crop, double render_dpi) {
                 return Job{to_kinds(kinds), format, resume, deskew, orient, crop, render_dpi};
             }),
            py::arg("kinds") = std::vector<int>{}, py::arg("format") = pipeline::Format::jpg,
            py::arg("resume") = false, py::arg("deskew") = py::none(), py::arg("orient") = py::none(),
            py::arg("crop") = py::none(), py::arg("render_dpi") = tulo::default_render_dpi)
        .def_property(
            "kinds", [](const Job& job) { return to_numbers(job.kinds); },
            [](Job& job, const std::vector<int>& kinds) { job.kinds = to_kinds(kinds); })
        .def_readwrite("format", &Job::format)
        .def_readwrite("resume", &Job::resume)
        .def_readwrite("deskew", &Job::deskew)
        .def_readwrite("orient", &Job::orient)
        .def_readwrite("crop", &Job::crop)
        .def_property_readonly("flat", &Job::flat, "True when the job writes one file per image (a page step).")
        .def_readwrite("render_dpi", &Job::render_dpi,
            "Resolution of the PDF pages that are not one scanned image, in dots per inch (--dpi).")
        .def(py::pickle(
            [](const Job& job) {
                return py::make_tuple(to_numbers(job.kinds), static_cast<int>(job.format), job.resume, job.deskew,
                                      job.orient, job.crop, job.render_dpi);
            },
            [](const py::tuple& state) {
                return Job{to_kinds(state[0].cast<std::vector<int>>()),
                           static_cast<pipeline::Format>(state[1].cast<int>()), state[2].cast<bool>(),
                           state[3].cast<std::optional<DeskewSettings>>(), state[4].cast<std::optional<OrientSettings>>(),
                           state[5].cast<std::optional<CropSettings>>(), state[6].cast<double>()};
            }));
}

void bind_plan(py::module_& m)
{
    m.def("planned_files", &pipeline::planned_files,
        "The names of the files a job's kinds write into an image's folder; with deskew a job writes the "
        "task's one file instead.",
        py::arg("job"));
    m.def("expected_files", on_task(&pipeline::expected_files),
        "The files a complete output of the task holds for the job.", py::arg("input"), py::arg("output"),
        py::arg("job"));
    m.def("is_complete", on_task(&pipeline::is_complete),
        "True when every file the job writes for the task is in place.", py::arg("input"), py::arg("output"),
        py::arg("job"));
    m.def(
        "collect_inputs",
        [](const std::vector<std::string>& inputs, bool recursive, const std::string& out_root) {
            const pipeline::Inputs found = pipeline::collect_inputs(inputs, recursive, out_root);
            return std::make_pair(found.files, found.problems);
        },
        "(image files, problems) of the command-line inputs, as the tool expands them.", py::arg("inputs"),
        py::arg("recursive"), py::arg("out_root"));
    m.def(
        "plan_tasks",
        [](const std::vector<std::string>& files, const std::string& out_root, const pipeline::Job& job) {
            std::vector<std::tuple<std::string, std::string, std::size_t>> tasks;
            for (const pipeline::Task& task : pipeline::plan_job(files, out_root, job))
                tasks.emplace_back(task.input, task.output, task.page);
            return tasks;
        },
        "(input, output, page) of every file with the tool's names: an output folder, or with deskew an "
        "output file; every page of a PDF or of a TIFF of several pages is one, page counting from 1 (0 "
        "for a single image).",
        py::arg("files"), py::arg("out_root"), py::arg("job"));
    m.def("prepare_output", &pipeline::prepare_output,
        "Creates the output folder when missing and checks that folders can be made in it; RuntimeError "
        "says why not.",
        py::arg("out_root"));
    m.def("staged_places", &pipeline::staged_places,
        "The final names (stem and extension) an entry beside the outputs can be the staging of; empty "
        "for a name that is no staging name.",
        py::arg("name"));
}

void bind_reports(py::module_& m)
{
    m.def(
        "process",
        [](const std::string& input, const std::string& output, const pipeline::Job& job) {
            pipeline::Report report;
            {
                const py::gil_scoped_release no_gil;
                report = pipeline::process(to_task(input, output), job);
            }
            return to_dict(report);
        },
        "Does the job for one image: its catalogue or kinds into the folder `output` (with a trailing "
        "\"/\"), or with deskew its levelled copy as the file `output`, each written beside its place and "
        "renamed into it; returns the report as a dict of the --json fields. Every failure is described "
        "in the report.",
        py::arg("input"), py::arg("output"), py::arg("job"));
    m.def(
        "process_pages",
        [](const std::string& input, const std::string& output, const std::vector<std::size_t>& pages,
           const pipeline::Job& job) {
            std::vector<pipeline::Task> tasks;
            for (const std::size_t page : pages)
                tasks.push_back({input, output, page});
            std::vector<pipeline::Report> reports(tasks.size());
            {
                const py::gil_scoped_release no_gil;
                pipeline::run(tasks, job, 1, [](std::size_t, double) {},
                    [&](std::size_t index, const pipeline::Report& report) { reports[index] = report; });
            }
            py::list dicts;
            for (const pipeline::Report& report : reports)
                dicts.append(to_dict(report));
            return dicts;
        },
        "Does the job for these pages of one multi-page file, in order, one at a time: with deskew the "
        "file `output` with these pages levelled and the others as they were, written when the last is "
        "done; returns their reports as dicts.",
        py::arg("input"), py::arg("output"), py::arg("pages"), py::arg("job"));
    m.def(
        "blank_report",
        [](const std::string& input, const std::string& output, std::size_t page) {
            pipeline::Report report;
            report.input = input;
            report.output = output;
            if (page != 0)
                report.page = page;
            return to_dict(report);
        },
        "A report of an image (or page, from 1) with nothing done, every field present.", py::arg("input"),
        py::arg("output"), py::arg("page") = 0);
    m.def(
        "resumed_report",
        [](const std::string& input, const std::string& output, const pipeline::Job& job, std::size_t page) {
            return to_dict(pipeline::resumed_report({input, output, page}, job));
        },
        "The report of a task whose output was complete: skipped, with the files it holds.", py::arg("input"),
        py::arg("output"), py::arg("job"), py::arg("page") = 0);
    m.def(
        "json_line", [](const py::dict& report) { return pipeline::json_line(from_dict(report)); },
        "The tool's --json line of a report.", py::arg("report"));
    m.def(
        "summary_line", [](const py::dict& report) { return pipeline::summary_line(from_dict(report)); },
        "The tool's summary line of a report.", py::arg("report"));

    using InOrder = pipeline::InOrder<py::object>;
    py::class_<InOrder>(m, "InOrder", "Hands items on in the order of their indices, holding those that come early.")
        .def(py::init<std::function<void(const py::object&)>>(), py::arg("deliver"))
        .def("add", &InOrder::add, "Takes the item of `index` and delivers every item whose turn has come.",
            py::arg("index"), py::arg("item"));
    py::class_<pipeline::BlankTally>(m, "BlankTally", "The end of a batch with the crop step: images and blank ones.")
        .def(py::init<>())
        .def("add", [](pipeline::BlankTally& tally, const py::dict& report) { tally.add(from_dict(report)); },
            "Counts the image of a report.", py::arg("report"))
        .def("line", &pipeline::BlankTally::line, "\"4 images, 1 blank\".");
    py::class_<pipeline::Progress>(m, "Progress", "How far a batch of images is, shown as the tool's bar.")
        .def(py::init<std::size_t>(), py::arg("total"))
        .def("finish", &pipeline::Progress::finish, "Counts image `index` as finished.", py::arg("index"))
        .def("bar", &pipeline::Progress::bar, "The bar: \"[####......] 3/10\".");
}

void bind_command_line(py::module_& m)
{
    m.def(
        "parse_options", [](const std::vector<std::string>& args) { return options_dict(pipeline::parse_options(args)); },
        "The tool's options as a dict, its Job under \"job\"; UsageError says why a command line cannot be "
        "obeyed.",
        py::arg("args"));
    m.def(
        "parse_kinds", [](const std::string& list) { return to_numbers(pipeline::parse_kinds(list)); },
        "Kind numbers of a comma-separated list of names or numbers, ascending with a mosaic last.", py::arg("list"));
    m.def(
        "help_text", [](const std::string& head) { return pipeline::help_text(pipeline::FrontEnd::runner, head); },
        "The runner's --help: `head`, then its options, the kinds and the exit status.", py::arg("head"));
    m.def("kinds_text", &pipeline::kinds_text, "The text of the tool's --list-kinds.");
}

} // namespace

PYBIND11_MODULE(_pipeline, m)
{
    m.doc() = "The library's page pipeline: the job and processing of one image, the command line and the reports.";
    py::register_exception<pipeline::UsageError>(m, "UsageError", PyExc_ValueError);

    // Its default arguments are the library's DeskewCanvas, which the package's core module registers.
    py::module_::import("tulo._tulo");
    bind_job(m);
    bind_plan(m);
    bind_reports(m);
    bind_command_line(m);
    m.def(
        "set_opencv_threads", [](int threads) { cv::setNumThreads(threads); },
        "OpenCV's own thread count in this process, as the tool sets it when it runs several workers.",
        py::arg("threads"));
}
