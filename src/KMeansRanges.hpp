#pragma once

#include "KMeansSort.hpp"

#include <cstddef>
#include <cstdint>
#include <vector>

namespace tulo::detail {

// The distance by which the literal loop picks a value's centre. Every path computes it here, so
// all round alike.
inline double squared_distance(const double value, const double centre)
{
    const double difference = value - centre;
    return difference * difference;
}

// Rounds of k-means in which the centres ascend far enough apart (see accepts) that each cluster
// is a range of the sorted values. A round's labels are then the k - 1 positions where those
// ranges start, found by binary search, and "labels unchanged" is a comparison of positions. Only
// the clusters next to a moved start are summed again, over the values of a window of clusters
// that narrows while the outer starts stay; the window is kept, as bit patterns, in `spare`, which
// holds room for as many as there are values. Before the first round every value is in cluster 0,
// as the literal loop's all-zero labels have it.
class RangeRounds {
public:
    RangeRounds(const std::vector<double>& values, const SortKeys& sorted, std::uint64_t* spare,
                std::size_t clusters);

    // Whether these centres and the values meet the conditions under which clusters are ranges:
    // every value and centre a number of magnitude at most a limit, and neighbouring centres
    // ascending at least a gap, relative to that magnitude, apart.
    bool accepts(const std::vector<double>& centres) const;

    // One round's assignment from the old `centres`, which must be accepted; sums and counts of
    // every cluster come out as the literal loop leaves them. Returns whether the labels are those
    // of the previous round.
    bool assign_and_sum(const std::vector<double>& centres, std::vector<double>& sums,
                        std::vector<std::size_t>& counts);

    // Replaces `labels` by those of the last round, in input order (all 0 before the first); it
    // may be the storage of the sorted keys, which are not needed afterwards.
    void write_labels(std::vector<unsigned long>& labels) const;

private:
    std::size_t window_size() const;
    double number_at(std::size_t position) const;
    std::size_t position_of(double number, bool strictly) const;
    std::size_t first_nearer(double lower, double upper) const;
    double lower_limit(std::size_t j) const;
    double upper_limit(std::size_t j) const;
    void sum_window(const std::vector<std::size_t>& moved, std::vector<double>& sums);
    void narrow_window(std::size_t first, std::size_t last);
    void sum_clusters(const std::size_t* clusters, std::size_t count, std::vector<double>& sums) const;

    const std::vector<double>& values_;
    const SortKeys& sorted_;
    std::uint64_t* const window_;
    const double magnitude_;
    std::vector<std::size_t> starts_; // cluster j holds the sorted positions starts_[j] .. starts_[j + 1] - 1
    bool summed_ = false;
    std::size_t window_first_ = 0;
    std::size_t window_last_;
    bool window_is_input_ = true;
    std::size_t window_size_ = 0;
};

} // namespace tulo::detail
