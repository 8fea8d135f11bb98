// The opsira command line: parses it, runs the page pipeline on its images and shows the reports.
#include "progress_bar.hpp"
#include "quiet.hpp"
#include "samples.hpp"

#include <tulo/PipelineOptions.hpp>
#include <tulo/PipelinePlan.hpp>
#include <tulo/PipelineReport.hpp>

#include <unistd.h>

#include <cstdio>
#include <exception>
#include <string>
#include <vector>

namespace {

namespace pipeline = tulo::pipeline;

void complain(std::FILE* messages, const std::string& message)
{
    std::fprintf(messages, "opsira: %s\n", message.c_str());
}

int usage_error(std::FILE* messages, const std::string& message)
{
    complain(messages, message);
    std::fputs("Try 'opsira --help' for more information.\n", messages);
    return 2;
}

std::string usage_text()
{
    return pipeline::help_text(pipeline::FrontEnd::tool,
        "Usage: opsira [OPTION]... [INPUT]...\n"
        "Derives the tulo image catalogue of every INPUT image and writes it into\n"
        "OUTDIR/<name of the image>/. An INPUT is an image file or a directory of images; without\n"
        "INPUT the bundled sample images are used. Images of more than " +
            std::to_string(tulo::max_image_pixels) + " pixels (2^28) are refused.\n");
}

void print_report(const pipeline::Options& options, const pipeline::Report& report, std::FILE* messages)
{
    if (!report.ok())
        complain(messages, report.input + ": " + report.error);
    if (options.json)
        std::puts(pipeline::json_line(report).c_str());
    else if (!options.quiet && report.ok())
        std::puts(pipeline::summary_line(report).c_str());
    std::fflush(stdout);
}

std::string quoted_list(const std::vector<std::string>& items)
{
    std::string text;
    for (const std::string& item : items)
        text += (text.empty() ? "\"" : ", \"") + item + "\"";
    return text;
}

int process(const pipeline::Options& options, const std::vector<std::string>& inputs, std::FILE* messages)
{
    const pipeline::Inputs found = pipeline::collect_inputs(inputs, options.recursive, options.out_root);
    for (const std::string& problem : found.problems)
        complain(messages, problem);
    if (found.files.empty()) {
        complain(messages, "no images found in " + quoted_list(found.folders));
        return 1;
    }
    try {
        pipeline::prepare_output(options.out_root);
    } catch (const std::runtime_error& error) {
        complain(messages, error.what());
        return 2;
    }
    const pipeline::Job job = pipeline::job_of(options);
    const std::vector<pipeline::Task> tasks = pipeline::plan_job(found.files, options.out_root, job);
    const bool show_bar = !options.quiet && !options.verbose && isatty(fileno(messages));
    opsira::ProgressBar bar(messages, tasks.size(), show_bar);
    pipeline::BlankTally tally;
    pipeline::InOrder<pipeline::Report> in_order([&](const pipeline::Report& report) {
        tally.add(report);
        bar.print_above([&] { print_report(options, report, messages); });
    });
    const std::size_t failed = pipeline::run(
        tasks, job, options.jobs, [&](std::size_t index, double share) { bar.progress(index, share); },
        [&](std::size_t index, const pipeline::Report& report) {
            bar.finish(index);
            in_order.add(index, report);
        });
    bar.close();
    if (job.crop && !options.quiet && !options.json)
        std::puts(tally.line().c_str());
    return failed == 0 && found.problems.empty() ? 0 : 1;
}

int run_command(const pipeline::Options& options, std::FILE* messages)
{
    const std::vector<std::string> inputs = options.inputs.empty() ? opsira::sample_images() : options.inputs;
    if (inputs.empty())
        return usage_error(messages, "no INPUT given, and the bundled sample images were not found");
    try {
        return process(options, inputs, messages);
    } catch (const std::exception& error) {
        complain(messages, error.what());
        return 1;
    }
}

} // namespace

int main(int argc, char** argv)
{
    pipeline::Options options;
    try {
        options = pipeline::parse_options(std::vector<std::string>(argv + 1, argv + argc));
    } catch (const pipeline::UsageError& error) {
        return usage_error(stderr, error.what());
    }
    if (options.help || options.list_kinds || options.version) {
        const std::string text = options.help         ? usage_text()
                                 : options.list_kinds ? pipeline::kinds_text()
                                                      : "opsira " OPSIRA_VERSION "\n";
        std::fputs(text.c_str(), stdout);
        return 0;
    }
    const opsira::QuietLibraries quiet(options.verbose);
    return run_command(options, quiet.messages());
}
