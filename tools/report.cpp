#include "report.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <sstream>

namespace opsira {
namespace {

constexpr std::size_t bar_width = 30;

// Zero has no sign: -0 would only tell how a rounding came about.
std::string json_number(double value)
{
    return std::isfinite(value) ? shortest_text(value == 0.0 ? 0.0 : value) : "null";
}

// `decimals` places; a value that rounds to zero is written without a minus sign.
std::string fixed(double value, int decimals)
{
    char text[64];
    const auto end = std::to_chars(text, text + sizeof text, value, std::chars_format::fixed, decimals).ptr;
    const std::string written(text, end);
    const bool zero = written.find_first_not_of("-0.") == std::string::npos;
    return zero && written[0] == '-' ? written.substr(1) : written;
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

// "turned by -3.02 deg (confidence 12.40) into out/a.png", or why it was not turned.
std::string deskew_summary(const Report& report)
{
    const std::string angle = fixed(report.correction_angle.value_or(0), 2);
    const std::string confidence = fixed(report.skew_confidence.value_or(0), 2);
    if (*report.deskewed)
        return "turned by " + angle + " deg (confidence " + confidence + ") into " + report.output;
    return "not turned (angle " + angle + " deg, confidence " + confidence + "), written unchanged to " + report.output;
}

} // namespace

std::string shortest_text(double value)
{
    char text[32];
    const auto end = std::to_chars(text, text + sizeof text, value).ptr;
    return std::string(text, end);
}

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
    if (report.skipped)
        return line + "skipped, " + report.output + " is complete";
    if (report.deskewed)
        return line + deskew_summary(report) + ", " + fixed(report.seconds, 2) + " s";
    if (report.threshold_method)
        line += "threshold " + *report.threshold_method + ", edge level " + fixed(report.threshold_value.value_or(0), 0) + ", ";
    if (report.correction_angle)
        line += "angle " + fixed(*report.correction_angle, 2) + " deg, ";
    if (report.contours)
        line += plural(*report.contours, "contour") + ", ";
    if (report.segments)
        line += plural(*report.segments, "segment") + ", ";
    return line + plural(report.files.size(), "file") + " in " + report.output + ", " + fixed(report.seconds, 2) + " s";
}

std::string json_line(const Report& report)
{
    const auto count = [](std::size_t n) { return std::to_string(n); };
    return "{\"input\":" + json_string(report.input) +
           ",\"output\":" + json_string(report.output) +
           ",\"ok\":" + (report.ok() ? "true" : "false") +
           ",\"error\":" + (report.ok() ? "null" : json_string(report.error)) +
           ",\"skipped\":" + (report.skipped ? "true" : "false") +
           ",\"threshold_method\":" + json_optional(report.threshold_method, json_string) +
           ",\"threshold_value\":" + json_optional(report.threshold_value, json_number) +
           ",\"correction_angle\":" + json_optional(report.correction_angle, json_number) +
           ",\"skew_confidence\":" + json_optional(report.skew_confidence, json_number) +
           ",\"deskewed\":" + json_optional(report.deskewed, [](bool turned) { return turned ? "true" : "false"; }) +
           ",\"contours\":" + json_optional(report.contours, count) +
           ",\"segments\":" + json_optional(report.segments, count) +
           ",\"files\":" + json_files(report.files) +
           ",\"seconds\":" + fixed(report.seconds, 3) + "}";
}

InOrder::InOrder(std::function<void(const Report&)> deliver) : deliver_(std::move(deliver)) {}

void InOrder::add(std::size_t index, const Report& report)
{
    waiting_.emplace(index, report);
    for (auto first = waiting_.begin(); first != waiting_.end() && first->first == next_; first = waiting_.begin()) {
        deliver_(first->second);
        waiting_.erase(first);
        ++next_;
    }
}

ProgressBar::ProgressBar(std::FILE* stream, std::size_t total, bool enabled)
    : stream_(stream), total_(total), enabled_(enabled && total > 0)
{
    draw();
}

void ProgressBar::progress(std::size_t index, double share)
{
    const std::lock_guard<std::mutex> lock(mutex_);
    partial_[index] = share;
    draw();
}

void ProgressBar::finish(std::size_t index)
{
    const std::lock_guard<std::mutex> lock(mutex_);
    partial_.erase(index);
    ++done_;
    draw();
}

void ProgressBar::print_above(const std::function<void()>& write)
{
    const std::lock_guard<std::mutex> lock(mutex_);
    wipe();
    write();
    draw();
}

void ProgressBar::close()
{
    const std::lock_guard<std::mutex> lock(mutex_);
    wipe();
    enabled_ = false;
}

void ProgressBar::draw()
{
    if (!enabled_)
        return;
    double finished = static_cast<double>(done_);
    for (const auto& entry : partial_)
        finished += entry.second;
    const auto filled = std::min(bar_width, static_cast<std::size_t>(bar_width * finished / static_cast<double>(total_)));
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
