#include <tulo/Intervals.hpp>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <limits>
#include <numeric>
#include <ostream>
#include <sstream>
#include <stdexcept>

namespace tulo {
namespace {

using IntervalList = std::vector<std::vector<double>>;

// `<` alone is no strict weak order once a NaN is present, and std::sort may then lose values;
// this order keeps every number ascending and puts every NaN after them.
bool less_nan_last(const double lhs, const double rhs)
{
    return lhs < rhs || (std::isnan(rhs) && !std::isnan(lhs));
}

// |(v[i] - v[i-1]) / v[i]|, |v[0] / v[0]| at the front, and 0 wherever v[i] is 0.0.
double relative_gap(const std::vector<double>& sorted, const std::size_t i)
{
    const double value = sorted[i];
    if (value == 0.0)
        return 0.0;
    const double difference = i == 0 ? value : value - sorted[i - 1];
    return std::fabs(difference / value);
}

// The -1.0 cancels the gap of 1 that the first position always contributes.
double cut_threshold(const std::vector<double>& gaps, const double multiplier)
{
    const double sum = std::accumulate(gaps.begin(), gaps.end(), -1.0);
    return sum / static_cast<double>(gaps.size()) * multiplier;
}

double average(const std::vector<double>& values)
{
    return std::accumulate(values.begin(), values.end(), 0.0) / static_cast<double>(values.size());
}

bool fewer_values(const std::vector<double>& lhs, const std::vector<double>& rhs)
{
    return lhs.size() < rhs.size();
}

struct Summary {
    double average;
    double midrange;
    double median;
};

// An empty interval has no value to read a midrange or median from: they are reported as NaN.
Summary summarise(const std::vector<double>& interval)
{
    if (interval.empty()) {
        const double none = std::numeric_limits<double>::quiet_NaN();
        return {0.0, none, none};
    }
    return {average(interval), (interval.front() + interval.back()) * 0.5, interval[interval.size() / 2]};
}

// Equal neighbours are written once with their count; NaN equals nothing, so it always stands alone.
void write_runs(std::ostream& out, const std::vector<double>& values)
{
    std::size_t begin = 0;
    while (begin < values.size()) {
        std::size_t end = begin + 1;
        while (end < values.size() && values[end] == values[begin])
            ++end;
        out << ' ' << values[begin];
        if (end - begin > 1)
            out << " [x" << end - begin << ']';
        begin = end;
    }
}

} // namespace

IntervalList intervals(std::vector<double>& values, const double multiplier)
{
    if (multiplier <= 0.0)
        throw std::invalid_argument("invalid threshold multiplier");
    IntervalList result;
    if (values.empty())
        return result;

    std::sort(values.begin(), values.end(), less_nan_last);
    std::vector<double> gaps(values.size());
    for (std::size_t i = 0; i < values.size(); ++i)
        gaps[i] = relative_gap(values, i);
    const double threshold = cut_threshold(gaps, multiplier);

    std::vector<double> current;
    for (std::size_t i = 0; i < values.size(); ++i) {
        if (gaps[i] != 0.0 && gaps[i] >= threshold && !current.empty()) {
            result.push_back(std::move(current));
            current.clear();
        }
        current.push_back(values[i]);
    }
    result.push_back(std::move(current));
    return result;
}

double best_value_from_intervals(const IntervalList& intervals)
{
    if (intervals.empty())
        return 0.0;
    return average(*std::max_element(intervals.begin(), intervals.end(), fewer_values));
}

std::vector<double> popular_values_from_intervals(const IntervalList& intervals, const double fraction)
{
    std::vector<double> result;
    if (intervals.empty())
        return result;
    const std::size_t largest = std::max_element(intervals.begin(), intervals.end(), fewer_values)->size();
    const double bar = static_cast<double>(largest) * fraction;
    for (const std::vector<double>& interval : intervals)
        if (static_cast<double>(interval.size()) >= bar)
            result.push_back(average(interval));
    return result;
}

std::string to_string(const IntervalList& intervals)
{
    std::ostringstream out;
    out << intervals.size() << " intervals";
    for (std::size_t k = 0; k < intervals.size(); ++k) {
        const std::vector<double>& interval = intervals[k];
        const Summary summary = summarise(interval);
        out << "\n-> interval #" << k + 1 << '/' << intervals.size() << ": " << interval.size() << " values"
            << ", average=" << summary.average << ", midrange=" << summary.midrange
            << ", median=" << summary.median << ", values:";
        write_runs(out, interval);
    }
    return out.str();
}

} // namespace tulo
