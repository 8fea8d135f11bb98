#include <tulo/PipelineReport.hpp>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <optional>
#include <type_traits>

namespace tulo::pipeline {
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

std::string json_files(const std::vector<std::string>& files)
{
    std::string text = "[";
    for (std::size_t i = 0; i < files.size(); ++i)
        text += (i == 0 ? "" : ",") + json_string(files[i]);
    return text + "]";
}

struct JsonValue {
    std::string operator()(std::monostate) const { return "null"; }
    std::string operator()(bool flag) const { return flag ? "true" : "false"; }
    std::string operator()(std::size_t count) const { return std::to_string(count); }
    std::string operator()(int number) const { return std::to_string(number); }
    std::string operator()(const Box& box) const
    {
        return "[" + std::to_string(box[0]) + "," + std::to_string(box[1]) + "," + std::to_string(box[2]) + "," +
               std::to_string(box[3]) + "]";
    }
    std::string operator()(double number) const { return json_number(number); }
    std::string operator()(Seconds seconds) const { return fixed(seconds.value, 3); }
    std::string operator()(const std::string& text) const { return json_string(text); }
    std::string operator()(const std::vector<std::string>& files) const { return json_files(files); }
};

// Any numeric value as a number.
struct Number {
    double operator()(std::size_t count) const { return static_cast<double>(count); }
    double operator()(int number) const { return number; }
    double operator()(double number) const { return number; }
    double operator()(Seconds seconds) const { return seconds.value; }
    template <typename Other> double operator()(const Other&) const { throw std::bad_variant_access(); }
};

// A field's value as T: a numeric field from any number.
template <typename T> T value_as(const FieldValue& value)
{
    if constexpr (std::is_arithmetic_v<T> && !std::is_same_v<T, bool>)
        return static_cast<T>(std::visit(Number{}, value));
    else if constexpr (std::is_same_v<T, Seconds>)
        return Seconds{std::visit(Number{}, value)};
    else
        return std::get<T>(value);
}

template <auto member> FieldValue get_plain(const Report& report)
{
    return FieldValue(report.*member);
}

template <auto member> void set_plain(Report& report, const FieldValue& value)
{
    using T = std::decay_t<decltype(report.*member)>;
    report.*member = std::holds_alternative<std::monostate>(value) ? T{} : value_as<T>(value);
}

template <auto member> FieldValue get_optional(const Report& report)
{
    const auto& field = report.*member;
    return field ? FieldValue(*field) : FieldValue();
}

template <auto member> void set_optional(Report& report, const FieldValue& value)
{
    using T = typename std::decay_t<decltype(report.*member)>::value_type;
    report.*member = std::holds_alternative<std::monostate>(value) ? std::nullopt : std::optional<T>(value_as<T>(value));
}

template <auto member> ReportField plain(const char* name)
{
    return {name, &get_plain<member>, &set_plain<member>};
}

template <auto member> ReportField optional(const char* name)
{
    return {name, &get_optional<member>, &set_optional<member>};
}

// A field present only when set: that of a page step, present when the step ran, or of a page.
template <auto member> ReportField step_field(const char* name)
{
    return {name, &get_optional<member>, &set_optional<member>, true};
}

FieldValue get_ok(const Report& report) { return report.ok(); }

// The error is null on success, so that the field's absence and its emptiness read alike.
FieldValue get_error(const Report& report)
{
    return report.ok() ? FieldValue() : FieldValue(report.error);
}

FieldValue get_seconds(const Report& report) { return Seconds{report.seconds}; }

void set_seconds(Report& report, const FieldValue& value)
{
    report.seconds = std::holds_alternative<std::monostate>(value) ? 0.0 : value_as<Seconds>(value).value;
}

std::string plural(std::size_t count, const std::string& noun)
{
    return std::to_string(count) + " " + noun + (count == 1 ? "" : "s");
}

// "turned upright by 90 deg (orientation confidence 3.10)", or that it was not turned.
std::string orient_summary(const Report& report)
{
    const std::string confidence = "(orientation confidence " + fixed(report.orientation_confidence.value_or(0), 2) + ")";
    if (*report.oriented)
        return "turned upright by " + std::to_string(report.orientation.value_or(0)) + " deg " + confidence;
    return "not turned upright " + confidence;
}

// "turned by -3.02 deg (confidence 12.40)", or that it was not turned.
std::string deskew_summary(const Report& report)
{
    const std::string angle = fixed(report.correction_angle.value_or(0), 2);
    const std::string confidence = fixed(report.skew_confidence.value_or(0), 2);
    if (*report.deskewed)
        return "turned by " + angle + " deg (confidence " + confidence + ")";
    return "not turned (angle " + angle + " deg, confidence " + confidence + ")";
}

// "cut to 1200 x 1700 at (40, 52) (content confidence 0.83)", "blank (...)" or "not cut (...)".
std::string crop_summary(const Report& report)
{
    const std::string confidence = "(content confidence " + fixed(report.content_confidence.value_or(0), 2) + ")";
    const Box box = *report.content_box;
    if (cut_to_content(report))
        return "cut to " + std::to_string(box[2]) + " x " + std::to_string(box[3]) + " at (" + std::to_string(box[0]) +
               ", " + std::to_string(box[1]) + ") " + confidence;
    return (report.blank.value_or(false) ? "blank, not cut " : "not cut ") + confidence;
}

// What each page step did, in their order, and where the page went.
std::string steps_summary(const Report& report)
{
    std::string text;
    const auto add = [&](const std::string& part) { text += (text.empty() ? "" : ", ") + part; };
    if (report.oriented)
        add(orient_summary(report));
    if (report.deskewed)
        add(deskew_summary(report));
    if (report.content_box)
        add(crop_summary(report));
    const bool changed = report.oriented.value_or(false) || report.deskewed.value_or(false) || cut_to_content(report);
    const std::string dropped = report.text_layer_dropped.value_or(false) ? ", its text layer dropped" : "";
    return text + (changed ? " into " : ", written unchanged to ") + report.output + dropped;
}

} // namespace

const std::vector<ReportField>& report_fields()
{
    static const std::vector<ReportField> fields = {
        plain<&Report::input>("input"),
        step_field<&Report::page>("page"),
        plain<&Report::output>("output"),
        {"ok", &get_ok, nullptr},
        {"error", &get_error, &set_plain<&Report::error>},
        plain<&Report::skipped>("skipped"),
        optional<&Report::threshold_method>("threshold_method"),
        optional<&Report::threshold_value>("threshold_value"),
        optional<&Report::correction_angle>("correction_angle"),
        optional<&Report::skew_confidence>("skew_confidence"),
        optional<&Report::deskewed>("deskewed"),
        step_field<&Report::orientation>("orientation"),
        step_field<&Report::orientation_confidence>("orientation_confidence"),
        step_field<&Report::oriented>("oriented"),
        step_field<&Report::content_box>("content_box"),
        step_field<&Report::content_confidence>("content_confidence"),
        step_field<&Report::blank>("blank"),
        step_field<&Report::text_layer_dropped>("text_layer_dropped"),
        optional<&Report::contours>("contours"),
        optional<&Report::segments>("segments"),
        plain<&Report::files>("files"),
        {"seconds", &get_seconds, &set_seconds},
    };
    return fields;
}

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
    std::string line = report.input + (report.page ? " page " + std::to_string(*report.page) : "") + ": ";
    if (!report.ok())
        return line + "failed: " + report.error;
    if (report.skipped)
        return line + "skipped, " + report.output + " is complete";
    if (report.deskewed || report.oriented || report.content_box)
        return line + steps_summary(report) + ", " + fixed(report.seconds, 2) + " s";
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
    std::string line;
    for (const ReportField& field : report_fields()) {
        const FieldValue value = field.get(report);
        if (field.shown(value))
            line += (line.empty() ? "{" : ",") + json_string(field.name) + ":" + std::visit(JsonValue{}, value);
    }
    return line + "}";
}

void BlankTally::add(const Report& report)
{
    ++images_;
    blank_ += report.blank.value_or(false) ? 1 : 0;
}

std::string BlankTally::line() const { return plural(images_, "image") + ", " + std::to_string(blank_) + " blank"; }

Progress::Progress(std::size_t total) : total_(total) {}

void Progress::advance(std::size_t index, double share) { partial_[index] = share; }

void Progress::finish(std::size_t index)
{
    partial_.erase(index);
    ++done_;
}

std::string Progress::bar() const
{
    double finished = static_cast<double>(done_);
    for (const auto& entry : partial_)
        finished += entry.second;
    const std::size_t filled = total_ == 0 ? 0
        : std::min(bar_width, static_cast<std::size_t>(bar_width * finished / static_cast<double>(total_)));
    return "[" + std::string(filled, '#') + std::string(bar_width - filled, '.') + "] " + std::to_string(done_) + "/" +
           std::to_string(total_);
}

} // namespace tulo::pipeline
