#include "PageContentWorking.hpp"

#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <array>
#include <cmath>
#include <vector>

// The box of the marks found on the reduced copy, refined on the input: each side moves in to the
// outermost stroke (a pixel darker than the paper by the body of a stroke, with a neighbour as
// dark), and then past dust lying on it (a speck further from other ink than its own size allows
// for a dot of a letter).

namespace tulo::detail {

namespace {

// The box's edges at full resolution lie at the outermost pixels this much darker than the paper
// (relative to it): the body of a stroke; lower takes in the blur around it, higher cuts faint ink.
constexpr double edge_fraction = 0.18;

// On the box's sides, at full resolution, a speck further than this many times its own size from
// other ink is dust; closer, a dot of it (an i's dot, a full stop, a diaeresis lie about their own
// size from their letter).
constexpr double dot_gap = 1.5;
// Pixels darker than the paper by this share of the edge level join a piece there, so that a faint
// thin stroke stays whole while bleed-through (a tenth of the ink's contrast) stays apart.
constexpr double weak_edge = 0.75;
// A speck's call counts in the confidence when it moves a side of the box by more than this share
// of the box's size across that side: a smaller move leaves the overlap with the truth above 0.99.
constexpr double noticeable_move = 0.01;

// The pixels darker than the paper by the edge level that have two neighbours as dark: the body of
// a stroke, however thin (only its very tip pixel is left out), without grains of noise, alone or
// in pairs on faint bleed-through.
cv::Mat edge_ink(const cv::Mat& grey, double paper, double edge)
{
    cv::Mat ink;
    cv::compare(grey, cv::Scalar::all(paper - edge), ink, cv::CMP_LT);
    cv::Mat neighbours;
    cv::boxFilter(ink / 255, neighbours, CV_8U, cv::Size(3, 3), cv::Point(-1, -1), false, cv::BORDER_CONSTANT);
    return ink & (neighbours > 2);
}

// Which columns (for a left or right edge) or rows (otherwise) of one strip of the input along a box
// edge hold ink.
std::vector<uchar> strip_profile(const cv::Mat& page, const cv::Rect& strip, const Working& working, double paper,
                                 double edge, bool across_columns)
{
    const cv::Rect padded = (strip + cv::Size(2, 2) - cv::Point(1, 1)) & cv::Rect(0, 0, page.cols, page.rows);
    cv::Mat profile;
    cv::reduce(edge_ink(input_grey(page, working, padded), paper, edge)(strip - padded.tl()), profile,
               across_columns ? 0 : 1, cv::REDUCE_MAX);
    return std::vector<uchar>(profile.begin<uchar>(), profile.end<uchar>());
}

/** Where the box is refined at full resolution, and against which levels. */
struct Refinement {
    const cv::Mat& page;
    const Working& working;
    cv::Rect coarse;     // the working box in input pixels, one working pixel wider on each side
    double paper = 0.0;  // the paper level around the box
    double edge = 0.0;   // a pixel this much darker than the paper is ink
};

enum class BoxSide { left, top, right, bottom };

// How far in from one side of the coarse box the first input column (or row) holding ink lies.
// Strips two working pixels deep are read from that side inwards until one holds ink: bleed-through
// or blur joined to a mark in the reduced copy can reach further than one strip. A mark that nowhere
// reaches the edge level at full resolution (faint pencil, softened by the scan) keeps its coarse
// side, one working pixel in.
int ink_depth(const Refinement& refinement, BoxSide side)
{
    const cv::Rect& coarse = refinement.coarse;
    const bool across_columns = side == BoxSide::left || side == BoxSide::right;
    const bool from_end = side == BoxSide::right || side == BoxSide::bottom;
    const int extent = across_columns ? coarse.width : coarse.height;
    const int f = refinement.working.factor;
    for (int depth = 0; depth < extent; depth += 2 * f) {
        const int deep = std::min(2 * f, extent - depth);
        const int from = from_end ? extent - depth - deep : depth;
        const cv::Rect strip = across_columns ? cv::Rect(coarse.x + from, coarse.y, deep, coarse.height)
                                              : cv::Rect(coarse.x, coarse.y + from, coarse.width, deep);
        const std::vector<uchar> profile =
            strip_profile(refinement.page, strip, refinement.working, refinement.paper, refinement.edge, across_columns);
        for (int i = 0; i < deep; ++i)
            if (profile[static_cast<std::size_t>(from_end ? deep - 1 - i : i)] != 0)
                return depth + i;
    }
    return std::min(f, extent);
}

/** The ink of a band of the input along one side of the box, turned so that the box's outer line is
 *  the first row and the band runs along the rows, split into pieces: pixels darker than the paper
 *  by weak_edge of the edge level join a piece (so that a faint thin stroke stays whole), a piece
 *  counts as ink when it holds edge_ink, and pieces can be dropped as dust. */
struct BandPieces {
    cv::Mat labels;
    cv::Mat stats;
    cv::Mat strong;              // pixels at the edge level
    std::vector<bool> is_ink;    // per label: reaches the edge level
    std::vector<bool> dropped;   // per label

    bool counts(int label, int skipped) const
    {
        return label != 0 && label != skipped && is_ink[static_cast<std::size_t>(label)] &&
               !dropped[static_cast<std::size_t>(label)];
    }

    // The first row holding ink at the edge level, other than the skipped piece's; -1 for none.
    int first_row(int skipped) const
    {
        for (int y = 0; y < labels.rows; ++y) {
            const int* const label = labels.ptr<int>(y);
            const uchar* const ink = strong.ptr<uchar>(y);
            for (int x = 0; x < labels.cols; ++x)
                if (ink[x] != 0 && counts(label[x], skipped))
                    return y;
        }
        return -1;
    }

    // The gap in pixels between a piece and the nearest other ink, looked for up to `reach`.
    double gap(int piece, int reach) const
    {
        const cv::Rect own(stats.at<int>(piece, cv::CC_STAT_LEFT), stats.at<int>(piece, cv::CC_STAT_TOP),
                           stats.at<int>(piece, cv::CC_STAT_WIDTH), stats.at<int>(piece, cv::CC_STAT_HEIGHT));
        const cv::Rect around = (own + cv::Size(2 * reach, 2 * reach) - cv::Point(reach, reach)) &
                                cv::Rect(0, 0, labels.cols, labels.rows);
        const cv::Mat window = labels(around);
        cv::Mat free(window.size(), CV_8U, cv::Scalar::all(255));
        for (int y = 0; y < window.rows; ++y)
            for (int x = 0; x < window.cols; ++x)
                if (counts(window.at<int>(y, x), piece))
                    free.at<uchar>(y, x) = 0;
        cv::Mat distance;
        cv::distanceTransform(free, distance, cv::DIST_L2, cv::DIST_MASK_PRECISE);
        double nearest = reach;
        for (int y = 0; y < window.rows; ++y)
            for (int x = 0; x < window.cols; ++x)
                if (window.at<int>(y, x) == piece)
                    nearest = std::min(nearest, distance.at<float>(y, x) - 1.0);
        return std::max(0.0, nearest);
    }
};

BandPieces band_pieces(const Refinement& refinement, const cv::Rect& box, BoxSide side, int depth)
{
    const bool across_columns = side == BoxSide::left || side == BoxSide::right;
    const bool from_end = side == BoxSide::right || side == BoxSide::bottom;
    const int along = across_columns ? box.height : box.width;
    const int from = from_end ? (across_columns ? box.br().x : box.br().y) - depth : (across_columns ? box.x : box.y);
    const cv::Rect band = across_columns ? cv::Rect(from, box.y, depth, along) : cv::Rect(box.x, from, along, depth);
    // Turned into new buffers, never in place: the grey band may be a view of the input.
    cv::Mat grey = input_grey(refinement.page, refinement.working, band);
    if (across_columns) {
        cv::Mat transposed;
        cv::transpose(grey, transposed);
        grey = transposed;
    }
    if (from_end) {
        cv::Mat flipped;
        cv::flip(grey, flipped, 0);
        grey = flipped;
    }
    BandPieces pieces;
    cv::Mat weak;
    cv::compare(grey, cv::Scalar::all(refinement.paper - weak_edge * refinement.edge), weak, cv::CMP_LT);
    cv::Mat centroids;
    const int count = cv::connectedComponentsWithStats(weak, pieces.labels, pieces.stats, centroids, 8, CV_32S);
    pieces.strong = edge_ink(grey, refinement.paper, refinement.edge);
    pieces.is_ink.assign(static_cast<std::size_t>(count), false);
    pieces.dropped.assign(static_cast<std::size_t>(count), false);
    for (int y = 0; y < grey.rows; ++y) {
        const int* const label = pieces.labels.ptr<int>(y);
        const uchar* const strong = pieces.strong.ptr<uchar>(y);
        for (int x = 0; x < grey.cols; ++x)
            if (strong[x] != 0)
                pieces.is_ink[static_cast<std::size_t>(label[x])] = true;
    }
    return pieces;
}

// Whether every piece on the band's outermost line is speck-sized and ends within the band.
bool outermost_may_be_dust(const BandPieces& pieces, double speck)
{
    const int row = pieces.first_row(0);
    if (row < 0)
        return false;
    for (int x = 0; x < pieces.labels.cols; ++x) {
        const int label = pieces.labels.at<int>(row, x);
        if (pieces.strong.at<uchar>(row, x) == 0 || !pieces.counts(label, 0))
            continue;
        const int height = pieces.stats.at<int>(label, cv::CC_STAT_HEIGHT);
        if (pieces.stats.at<int>(label, cv::CC_STAT_WIDTH) > speck || height > speck ||
            pieces.stats.at<int>(label, cv::CC_STAT_TOP) + height >= pieces.labels.rows)
            return false;
    }
    return true;
}

/** How far dust moved one side of the box in, and the margin of the calls that bore on it. */
struct DustTrim {
    int depth = 0;
    double margin = 1.0;
};

// Drops dust from one side of the box: speck-sized pieces on the outermost line lying further from
// any other ink than dot_gap times their own size, one line after another. A speck closer to other
// ink is a dot of it (an i's dot, a full stop, at any type size) and stops the side. The calls count
// in the margin when they move the side by more than noticeable_move of the box's size across it.
DustTrim trim_dust(BandPieces pieces, double pixels_per_mm, int across)
{
    const double speck = speck_mm_in_input * pixels_per_mm;
    const auto noticeable = [&](int from, int to) { return to < 0 || to - from > noticeable_move * across; };
    DustTrim trim;
    for (int row = pieces.first_row(0); row >= 0; row = pieces.first_row(0)) {
        std::vector<int> outermost;
        for (int x = 0; x < pieces.labels.cols; ++x) {
            const int label = pieces.labels.at<int>(row, x);
            if (pieces.strong.at<uchar>(row, x) != 0 && pieces.counts(label, 0) &&
                std::find(outermost.begin(), outermost.end(), label) == outermost.end())
                outermost.push_back(label);
        }
        double weakest = 1.0;
        for (const int label : outermost) {
            const int extent = std::max(pieces.stats.at<int>(label, cv::CC_STAT_WIDTH),
                                        pieces.stats.at<int>(label, cv::CC_STAT_HEIGHT));
            if (extent > speck)
                return trim;
            const double dot_reach = dot_gap * extent;
            const double gap = pieces.gap(label, cvCeil(2.0 * dot_reach));
            const double margin = std::min(1.0, std::abs(gap - dot_reach) / dot_reach);
            if (gap <= dot_reach) {
                if (noticeable(row, pieces.first_row(label)))
                    trim.margin = std::min(trim.margin, margin);
                return trim;
            }
            weakest = std::min(weakest, margin);
        }
        for (const int label : outermost)
            pieces.dropped[static_cast<std::size_t>(label)] = true;
        const int next = pieces.first_row(0);
        if (next < 0)
            return DustTrim{0, 1.0};
        if (noticeable(row, next))
            trim.margin = std::min(trim.margin, weakest);
        trim.depth = next;
    }
    return trim;
}


} // namespace

// Moves each side of the box (in input pixels, one working pixel wider than the marks) inwards to
// the first input column or row that holds ink: darker than the local paper by the edge fraction
// of it (the body of a stroke, not the blur around it), and never by less than the grain allows;
// then past dust lying on it.
RefinedBox refined(const cv::Mat& page, const cv::Rect& working_box, const Working& working,
                   const cv::Mat& background, double grow)
{
    const int f = working.factor;
    const cv::Rect coarse = cv::Rect(working_box.x * f - f, working_box.y * f - f, working_box.width * f + 2 * f,
                                     working_box.height * f + 2 * f) & cv::Rect(0, 0, page.cols, page.rows);
    const double paper = cv::mean(background(working_box))[0];
    const Refinement refinement{page, working, coarse, paper, std::max(grow, edge_fraction * paper)};
    constexpr std::array<BoxSide, 4> sides{BoxSide::left, BoxSide::top, BoxSide::right, BoxSide::bottom};
    std::array<int, 4> depth{};
    for (std::size_t i = 0; i < sides.size(); ++i)
        depth[i] = ink_depth(refinement, sides[i]);
    const auto box_of = [&coarse](const std::array<int, 4>& in) {
        return cv::Rect(cv::Point(coarse.x + in[0], coarse.y + in[1]), cv::Point(coarse.br().x - in[2], coarse.br().y - in[3]));
    };
    const cv::Rect box = box_of(depth);
    const double input_pixels_per_mm = working.pixels_per_mm * f;
    const double speck = speck_mm_in_input * input_pixels_per_mm;
    const int band = cvCeil((1.0 + 2.0 * dot_gap) * speck);
    RefinedBox result;
    for (std::size_t i = 0; i < sides.size(); ++i) {
        const bool across_columns = sides[i] == BoxSide::left || sides[i] == BoxSide::right;
        const int across = across_columns ? box.width : box.height;
        // Mostly a stroke longer than a speck makes the side, which a band a speck deep shows.
        if (!outermost_may_be_dust(band_pieces(refinement, box, sides[i], std::min(cvCeil(speck) + 1, across)), speck))
            continue;
        const DustTrim trim =
            trim_dust(band_pieces(refinement, box, sides[i], std::min(band, across)), input_pixels_per_mm, across);
        depth[i] += trim.depth;
        result.margin = std::min(result.margin, trim.margin);
    }
    result.box = box_of(depth);
    return result;
}

} // namespace tulo::detail
