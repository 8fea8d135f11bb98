#include "report.hpp"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <sstream>

namespace opsira {
namespace {

constexpr std::size_t bar_width = 30;

// Shortest text that reads back as the same double; "C" locale rules whatever the user's locale.
std::string json_number(double value)
{
    if (!std::isfinite(value))
        return "null";
    char text[32];
    const auto end = std::to_chars(text, text + sizeof text, value).ptr;
    return std::string(text, end);
}

std::string fixed(double value, int decimals)
{
    char text[64];
    const auto end = std::to_chars(text, text + sizeof text, value, std::chars_format::fixed, decimals).ptr;
    return std::string(text, end);
}

template <typename T, typename Format>
std::string json_optional(const std::optional<T>& value, Format format)
{
    return value ? format(*value) : "null";
}

std::string json_files(const std::vector<std::string>& files)
{
    std::string text = "[";
    for (std::size_t i = 0; i < files.size(); ++i)
        text += (i == 0 ? "" : ",") + json_string(files[i]);
    return text + "]";
}

std::string plural(std::size_t count, const std::string& noun)
{
    return std::to_string(count) + " " + noun + (count == 1 ? "" : "s");
}

} // namespace

std::string json_string(const std::string& text)
{
    static const char hex[] = "0123456789abcdef";
    std::string quoted = "\"";
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        switch (c) {
        case '"': quoted += "\\\""; break;
        case '\\': quoted += "\\\\"; break;
        case '\n': quoted += "\\n"; break;
        case '\r': quoted += "\\r"; break;
        case '\t': quoted += "\\t"; break;
        case '\b': quoted += "\\b"; break;
        case '\f': quoted += "\\f"; break;
        default:
            if (byte < 0x20 || byte == 0x7F)
                quoted += std::string("\\u00") + hex[byte >> 4] + hex[byte & 0xF];
            else
                quoted += c;
        }
    }
    return quoted + "\"";
}

std::string summary_line(const Report& report)
{
    std::string line = report.input + ": ";
    if (!report.ok())
        return line + "failed: " + report.error;
    if (report.threshold_method)
        line += "threshold " + *report.threshold_method + " at " + fixed(report.threshold_value.value_or(0), 0) + ", ";
    if (report.correction_angle)
        line += "angle " + fixed(*report.correction_angle, 2) + " deg, ";
    if (report.contours)
        line += plural(*report.contours, "contour") + ", ";
    if (report.segments)
        line += plural(*report.segments, "segment") + ", ";
    return line + plural(report.files.size(), "file") + " in " + report.out_dir + ", " + fixed(report.seconds, 2) + " s";
}

std::string json_line(const Report& report)
{
    const auto count = [](std::size_t n) { return std::to_string(n); };
    return "{\"input\":" + json_string(report.input) +
           ",\"output\":" + json_string(report.out_dir) +
           ",\"ok\":" + (report.ok() ? "true" : "false") +
           ",\"error\":" + (report.ok() ? "null" : json_string(report.error)) +
           ",\"threshold_method\":" + json_optional(report.threshold_method, json_string) +
           ",\"threshold_value\":" + json_optional(report.threshold_value, json_number) +
           ",\"correction_angle\":" + json_optional(report.correction_angle, json_number) +
           ",\"contours\":" + json_optional(report.contours, count) +
           ",\"segments\":" + json_optional(report.segments, count) +
           ",\"files\":" + json_files(report.files) +
           ",\"seconds\":" + fixed(report.seconds, 3) + "}";
}

ProgressBar::ProgressBar(std::FILE* stream, std::size_t total, bool enabled)
    : stream_(stream), total_(total), enabled_(enabled && total > 0)
{
    draw();
}

void ProgressBar::advance()
{
    ++done_;
    draw();
}

void ProgressBar::draw()
{
    if (!enabled_)
        return;
    const std::size_t filled = bar_width * done_ / total_;
    std::fprintf(stream_, "\r[%s%s] %zu/%zu", std::string(filled, '#').c_str(),
                 std::string(bar_width - filled, '.').c_str(), done_, total_);
    std::fflush(stream_);
}

void ProgressBar::wipe()
{
    if (enabled_) {
        std::fputs("\r\033[K", stream_);
        std::fflush(stream_);
    }
}

} // namespace opsira
