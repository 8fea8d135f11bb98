#include "batch.hpp"
#include "cli.hpp"
#include "inputs.hpp"
#include "report.hpp"

#include <unistd.h>

#include <cstdio>
#include <exception>
#include <string>
#include <vector>

namespace {

void complain(const std::string& message)
{
    std::fprintf(stderr, "opsira: %s\n", message.c_str());
}

int usage_error(const std::string& message)
{
    complain(message);
    std::fputs("Try 'opsira --help' for more information.\n", stderr);
    return 2;
}

void print_report(const opsira::Options& options, const opsira::Report& report)
{
    if (!report.ok())
        complain(report.input + ": " + report.error);
    if (options.quiet)
        return;
    if (options.json)
        std::puts(opsira::json_line(report).c_str());
    else if (report.ok())
        std::puts(opsira::summary_line(report).c_str());
    std::fflush(stdout);
}

int process(const opsira::Options& options, const std::vector<std::string>& inputs)
{
    const opsira::Inputs found = opsira::collect_inputs(inputs, options.recursive, options.out_root);
    for (const std::string& problem : found.problems)
        complain(problem);
    if (found.files.empty()) {
        complain("no images found");
        return 1;
    }
    const std::vector<opsira::Task> tasks = opsira::plan_tasks(found.files, options.out_root);
    opsira::ProgressBar bar(stderr, tasks.size(), !options.quiet && tasks.size() > 1 && isatty(STDERR_FILENO));
    const std::size_t failed = opsira::run(tasks, options.kinds, options.jobs, [&](const opsira::Report& report) {
        bar.wipe();
        print_report(options, report);
        bar.advance();
    });
    bar.wipe();
    return failed == 0 && found.problems.empty() ? 0 : 1;
}

} // namespace

int main(int argc, char** argv)
{
    opsira::Options options;
    try {
        options = opsira::parse_options(std::vector<std::string>(argv + 1, argv + argc));
    } catch (const opsira::UsageError& error) {
        return usage_error(error.what());
    }
    if (options.help) {
        std::fputs(opsira::usage_text().c_str(), stdout);
        return 0;
    }
    if (options.version) {
        std::puts("opsira " OPSIRA_VERSION);
        return 0;
    }
    const std::vector<std::string> inputs = options.inputs.empty() ? opsira::sample_images() : options.inputs;
    if (inputs.empty())
        return usage_error("no INPUT given, and the bundled sample images were not found");
    try {
        return process(options, inputs);
    } catch (const std::exception& error) {
        complain(error.what());
        return 1;
    }
}
