#include <tulo/Orientation.hpp>
#include <tulo/Skew.hpp>

#include "PageInput.hpp"
#include "RowAlignment.hpp"

#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <vector>

// The method. The page's ink is found on the skew search's reduced copy. The direction of the
// lines comes from the skew search run on the page and on its quarter turn: lines of text fall
// into rows on one of the two, where the row-alignment confidence is far higher. The page is then
// levelled on that axis, its glyphs and lines found, and up is told from down by cues of
// left-to-right text that turn over with the page: lines start aligned at the left and end ragged
// at the right; full stops and commas close words on the baseline; and (in Latin script above all)
// ascenders and capitals outweigh descenders. Each cue votes per line or mark; each cue's votes are
// set against their own spread, and the cues are summed as independent normal scores.

namespace tulo {

namespace {

using detail::require;
using detail::require_page;

// Largest tilt off a quarter turn searched for the lines.
constexpr double max_tilt = 12.0;
// The lines' direction is trusted when the rows on one axis score at least min_skew_confidence and
// axis_ratio times those on the other (floored at axis_floor, so that an axis without any rows does
// not make any ratio). Lower ratios let drawings with long lines both ways through.
constexpr double axis_ratio = 2.0;
constexpr double axis_floor = 1.0;
// Up against down is trusted from this combined lean (in standard deviations of votes of random
// sign) on.
constexpr double lean_needed = 3.0;
// Each of the two script-independent cues must lean the same way by at least this much on its own,
// so that one cue alone (a ragged left edge of a column, specks on a degraded page) cannot carry
// the answer.
constexpr double mark_lean_needed = 1.5;
constexpr double ragged_lean_needed = 1.0;
constexpr double mark_lean_strong = 2.0 * mark_lean_needed;
// Weight of the ascender cue against the script-independent ones: it is strong in Latin script,
// but Cyrillic has more descenders than ascenders, so alone it turns Cyrillic over.
constexpr double ascender_weight = 0.25;
// The finer copy weighed where the working copy's cues fall short: this many times the working
// resolution, its ink taken against a closing of this side (as on the working copy, scaled).
constexpr int fine_factor = 2;
constexpr int fine_kernel_side = 13;

// Rows of a line at least this fraction of its fullest row make its x-height band.
constexpr double band_fraction = 0.5;
// Rows above and below the band counted as ascenders and descenders, as a fraction of the band.
constexpr double extent_fraction = 0.6;
// Glyphs: connected ink whose box has at least this area; their median height sets the scale of the page.
constexpr int min_glyph_area = 4;
constexpr double min_glyph_height = 3.0;
// Words are joined into lines across gaps of this many glyph heights.
constexpr double smear_factor = 2.0;
// A line is at least this many glyph heights long, and min_line_height to max_line_height high.
constexpr double min_line_length = 6.0;
constexpr double min_line_height = 1.0;
constexpr double max_line_height = 4.0;

// Glyphs at most mark_size glyph heights wide and high are small marks; they vote from within
// mark_zone of either edge of a band at least min_band_rows high, or up to mark_overhang beyond.
constexpr double mark_size = 0.5;
constexpr double mark_zone = 0.35;
constexpr double mark_overhang = 0.15;
constexpr int min_band_rows = 2;
// A mark ends a word with a letter within letter_gap band heights before it and no ink within
// word_gap after it.
constexpr double letter_gap = 0.8;
constexpr double word_gap = 0.5;

// Two lines pair up when they overlap by this share of the shorter, the lower one starting within
// pair_reach line heights of the upper.
constexpr double pair_overlap = 0.5;
constexpr double pair_reach = 2.5;
// Line ends standing back by up to ragged_floor line heights are taken for an indent and not
// counted; beyond it they count in full after ragged_span more.
constexpr double ragged_floor = 1.5;
constexpr double ragged_span = 3.0;

// One candidate direction of the lines: the page's ink turned by `turn` (0 or 90 degrees
// counter-clockwise) and how well its ink falls into rows.
struct Axis {
    cv::Mat ink;  // page layout, turned
    int turn = 0;
    detail::RowAlignment rows;
};

Axis axis_of(cv::Mat ink, int turn)
{
    cv::Mat columns;
    cv::transpose(ink, columns);
    detail::taper_rows(columns);
    return {std::move(ink), turn, detail::row_alignment(columns, max_tilt)};
}

cv::Mat levelled(const cv::Mat& ink, double angle)
{
    const cv::Point2f centre(0.5f * (ink.cols - 1), 0.5f * (ink.rows - 1));
    cv::Mat result;
    cv::warpAffine(ink, result, cv::getRotationMatrix2D(centre, angle, 1.0), ink.size(), cv::INTER_LINEAR,
                   cv::BORDER_CONSTANT, cv::Scalar::all(0));
    return result;
}

struct TextLine {
    cv::Rect box;
    int band_top = 0;     // first and last row of the x-height band
    int band_bottom = 0;
    double above = 0.0;  // ink above the x-height band
    double below = 0.0;  // ink below the baseline
};

// The lines of text of a levelled page and the small marks among its glyphs (full stops, commas,
// dots, accents, specks), as boxes.
struct PageText {
    std::vector<TextLine> lines;
    std::vector<cv::Rect> marks;
    cv::Mat binary;  // the ink, thresholded
};

// The connected pieces of ink (8-connected), from their outer borders: cheaper than labelling
// every pixel, whose label image alone costs more than the rest of the step.
std::vector<cv::Rect> components_of(const cv::Mat& binary)
{
    std::vector<std::vector<cv::Point>> borders;
    cv::findContours(binary, borders, cv::RETR_EXTERNAL, cv::CHAIN_APPROX_SIMPLE);
    std::vector<cv::Rect> boxes;
    boxes.reserve(borders.size());
    for (const std::vector<cv::Point>& border : borders)
        boxes.push_back(cv::boundingRect(border));
    return boxes;
}

double median_height(const std::vector<cv::Rect>& glyphs, int min_area)
{
    std::vector<int> heights;
    for (const cv::Rect& glyph : glyphs)
        if (glyph.area() >= min_area)
            heights.push_back(glyph.height);
    if (heights.empty())
        return 0.0;
    const auto middle = heights.begin() + static_cast<std::ptrdiff_t>(heights.size() / 2);
    std::nth_element(heights.begin(), middle, heights.end());
    return *middle;
}

// Ink per row of the box's columns, from `first` to `last` (clipped to the image).
std::vector<double> row_profile(const cv::Mat& ink, int left, int right, int first, int last)
{
    std::vector<double> profile;
    for (int y = first; y <= last; ++y) {
        double sum = 0.0;
        if (y >= 0 && y < ink.rows) {
            const uchar* const row = ink.ptr<uchar>(y);
            for (int x = left; x < right; ++x)
                sum += row[x];
        }
        profile.push_back(sum);
    }
    return profile;
}

TextLine measure_line(const cv::Mat& ink, const cv::Rect& box)
{
    const int reach = box.height;
    const std::vector<double> profile =
        row_profile(ink, box.x, box.x + box.width, box.y - reach, box.y + box.height - 1 + reach);
    const double peak = *std::max_element(profile.begin() + reach, profile.end() - reach);
    int top = reach;
    while (top < reach + box.height && profile[top] < band_fraction * peak)
        ++top;
    int bottom = reach + box.height - 1;
    while (bottom > top && profile[bottom] < band_fraction * peak)
        --bottom;
    const int extent = std::max(1, cvRound(extent_fraction * (bottom - top + 1)));
    TextLine line{box, box.y - reach + top, box.y - reach + bottom, 0.0, 0.0};
    for (int i = 1; i <= extent; ++i) {
        line.above += profile[top - i];
        line.below += profile[bottom + i];
    }
    return line;
}

std::vector<cv::Rect> small_marks(const std::vector<cv::Rect>& glyphs, double height)
{
    std::vector<cv::Rect> marks;
    for (const cv::Rect& glyph : glyphs)
        if (glyph.width <= mark_size * height && glyph.height <= mark_size * height)
            marks.push_back(glyph);
    return marks;
}

PageText page_text(const cv::Mat& ink)
{
    cv::Mat binary;
    cv::threshold(ink, binary, 0, 255, cv::THRESH_BINARY | cv::THRESH_OTSU);
    const std::vector<cv::Rect> glyphs = components_of(binary);
    const double height = median_height(glyphs, min_glyph_area);
    if (height < min_glyph_height)
        return {};
    PageText text{{}, small_marks(glyphs, height), binary};
    const int smear = cvRound(smear_factor * height) | 1;
    cv::Mat lines;
    cv::dilate(binary, lines, cv::getStructuringElement(cv::MORPH_RECT, cv::Size(smear, 1)));
    for (const cv::Rect& box : components_of(lines)) {
        if (box.width >= min_line_length * height && box.height >= height * min_line_height &&
            box.height <= height * max_line_height)
            text.lines.push_back(measure_line(ink, box));
    }
    return text;
}

// How far each line's ascenders outweigh its descenders, in [-1, 1].
double ascender_vote(const TextLine& line)
{
    const double total = line.above + line.below;
    return total > 0.0 ? (line.above - line.below) / total : 0.0;
}

// How far one line end stands back from its neighbour's, in [0, 1]: nothing up to the size of a
// paragraph indent, then growing to 1 over ragged_span line heights.
double recess(double distance, double height)
{
    return std::clamp((distance - ragged_floor * height) / (ragged_span * height), 0.0, 1.0);
}

bool overlap_enough(const cv::Rect& a, const cv::Rect& b)
{
    const int shared = std::min(a.x + a.width, b.x + b.width) - std::max(a.x, b.x);
    return shared >= pair_overlap * std::min(a.width, b.width);
}

// For each line and the next one below it in the same column: how much further apart their right
// ends are than their left starts, in [-1, 1] (positive when the right side is the ragged one).
std::vector<double> ragged_votes(std::vector<TextLine> lines)
{
    std::sort(lines.begin(), lines.end(),
              [](const TextLine& a, const TextLine& b) { return a.box.y < b.box.y; });
    std::vector<double> votes;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        const cv::Rect& upper = lines[i].box;
        for (std::size_t j = i + 1; j < lines.size(); ++j) {
            const cv::Rect& lower = lines[j].box;
            if (lower.y > upper.y + pair_reach * upper.height)
                break;
            if (lower.y <= upper.y + upper.height / 2 || !overlap_enough(upper, lower))
                continue;
            const double height = std::max(upper.height, lower.height);
            const double left = recess(std::abs(upper.x - lower.x), height);
            const double right = recess(std::abs(upper.x + upper.width - lower.x - lower.width), height);
            if (left != right)
                votes.push_back(right - left);
            break;
        }
    }
    return votes;
}

// Whether the band holds no other ink above or below the mark: a full stop stands alone in its
// columns, the dot of an i or j over a stem.
bool stands_alone(const cv::Mat& binary, const cv::Rect& mark, const TextLine& line)
{
    const cv::Rect band(mark.x, line.band_top, mark.width, line.band_bottom - line.band_top + 1);
    const cv::Rect around = band | mark;
    return cv::countNonZero(binary(around)) == cv::countNonZero(binary(mark));
}

// Ink of the band within `reach` columns on one side of the mark (-1 left, +1 right).
bool ink_beside(const cv::Mat& binary, const cv::Rect& mark, const TextLine& line, int side, int reach)
{
    const int first = side < 0 ? mark.x - reach : mark.x + mark.width;
    const cv::Rect beside = cv::Rect(first, line.band_top, reach, line.band_bottom - line.band_top + 1) &
                            cv::Rect(0, 0, binary.cols, binary.rows);
    return !beside.empty() && cv::countNonZero(binary(beside)) > 0;
}

// A full stop or comma ends a word: a letter just before it, a space after it. Upside down the
// same holds mirrored.
bool ends_a_word(const cv::Mat& binary, const cv::Rect& mark, const TextLine& line, int after)
{
    const int band = line.band_bottom - line.band_top + 1;
    return ink_beside(binary, mark, line, -after, std::max(1, cvRound(letter_gap * band))) &&
           !ink_beside(binary, mark, line, after, std::max(1, cvRound(word_gap * band)));
}

// Each small mark inside a line's x-height band votes by where it sits: full stops and commas sit
// on the baseline in every script, so near the bottom of the band is up (+1), near its top down
// (-1). Dots and accents above the band and specks between do not vote.
std::vector<double> mark_votes(const PageText& text)
{
    std::vector<double> votes;
    for (const cv::Rect& mark : text.marks) {
        const cv::Point centre(mark.x + mark.width / 2, mark.y + mark.height / 2);
        for (const TextLine& line : text.lines) {
            if (!line.box.contains(centre) || line.band_bottom - line.band_top < min_band_rows)
                continue;
            const double depth = double(centre.y - line.band_top) / (line.band_bottom - line.band_top);
            if (!stands_alone(text.binary, mark, line))
                break;
            if (depth >= 1.0 - mark_zone && depth <= 1.0 + mark_overhang && ends_a_word(text.binary, mark, line, 1))
                votes.push_back(1.0);
            else if (depth <= mark_zone && depth >= -mark_overhang && ends_a_word(text.binary, mark, line, -1))
                votes.push_back(-1.0);
            break;
        }
    }
    return votes;
}

// Sum of the votes over their root sum of squares: how many standard deviations the votes lean
// one way if each could as well have had the other sign.
double lean_of(const std::vector<double>& votes)
{
    double sum = 0.0;
    double squares = 0.0;
    for (const double vote : votes) {
        sum += vote;
        squares += vote * vote;
    }
    return squares > 0.0 ? sum / std::sqrt(squares) : 0.0;
}

struct Evidence {
    double rows_level = 0.0;    // row confidence with the page as it lies
    double rows_turned = 0.0;   // and turned a quarter
    int turn = 0;               // of the axis the lines run along: 0 or 90
    double ascender_lean = 0.0;
    double ragged_lean = 0.0;
    double mark_lean = 0.0;
};

double axis_strength(const Evidence& evidence)
{
    const double best = std::max(evidence.rows_level, evidence.rows_turned);
    const double other = std::min(evidence.rows_level, evidence.rows_turned);
    if (best < min_skew_confidence)
        return 0.0;
    return std::log(best / std::max(other, axis_floor)) / std::log(axis_ratio);
}

// The leans of the cues combined as independent normal scores (Stouffer's sum): positive when the
// levelled page stands upright.
double upright_lean(const Evidence& evidence)
{
    return (evidence.ragged_lean + evidence.mark_lean + ascender_weight * evidence.ascender_lean) /
           std::sqrt(2.0 + ascender_weight * ascender_weight);
}

// The ragged ends' lean in `direction`, in units of what is needed. Tables and justified text
// have few ragged ends: there full stops leaning beyond mark_lean_strong make up the shortfall,
// as long as the ends do not point the other way.
double ragged_strength(const Evidence& evidence, double direction)
{
    const double ragged = direction * evidence.ragged_lean;
    if (ragged < 0.0)
        return ragged / ragged_lean_needed;
    return (ragged + std::max(0.0, direction * evidence.mark_lean - mark_lean_strong)) / ragged_lean_needed;
}

// The lean in units of what is needed: the combined lean, and each script-independent cue in the
// combined lean's direction.
double lean_strength(const Evidence& evidence, double lean)
{
    const double direction = lean >= 0.0 ? 1.0 : -1.0;
    return std::max(0.0, std::min({std::abs(lean) / lean_needed, direction * evidence.mark_lean / mark_lean_needed,
                                   ragged_strength(evidence, direction)}));
}

// The leans of the three cues over a levelled page's lines and marks.
void weigh_cues(const PageText& text, Evidence& evidence)
{
    std::vector<double> ascender_votes;
    for (const TextLine& line : text.lines)
        ascender_votes.push_back(ascender_vote(line));
    evidence.ascender_lean = lean_of(ascender_votes);
    evidence.ragged_lean = lean_of(ragged_votes(text.lines));
    evidence.mark_lean = lean_of(mark_votes(text));
}

cv::Mat grey_of(const cv::Mat& image)
{
    if (image.channels() == 1)
        return image;
    cv::Mat grey;
    cv::cvtColor(image, grey, image.channels() == 3 ? cv::COLOR_BGR2GRAY : cv::COLOR_BGRA2GRAY);
    return grey;
}

// The page's ink at fine_factor times the working copy's resolution (at most the page's own),
// turned and levelled as the working copy was: in small print the full stops, merged with their
// letters on the working copy, stand apart here.
cv::Mat finer_ink(const cv::Mat& page, const cv::Size& working, int turn, double angle)
{
    const cv::Size size(std::min(page.cols, fine_factor * working.width),
                        std::min(page.rows, fine_factor * working.height));
    cv::Mat reduced;
    cv::resize(page, reduced, size, 0.0, 0.0, cv::INTER_AREA);
    cv::Mat grey = grey_of(reduced);
    if (grey.depth() != CV_8U)
        cv::normalize(grey, grey, 0.0, 255.0, cv::NORM_MINMAX, CV_8U);
    const bool light_paper = cv::mean(grey)[0] >= 128.0;
    const cv::Mat kernel = cv::getStructuringElement(cv::MORPH_RECT, cv::Size(fine_kernel_side, fine_kernel_side));
    cv::Mat ink;
    cv::morphologyEx(grey, ink, light_paper ? cv::MORPH_BLACKHAT : cv::MORPH_TOPHAT, kernel);
    if (turn == 90)
        cv::rotate(ink, ink, cv::ROTATE_90_COUNTERCLOCKWISE);
    return levelled(ink, angle);
}

// Up against down is only weighed on a page whose lines have a clear direction; elsewhere the
// leans stay 0. Where the cues on the working copy fall short, they are weighed again on a finer
// copy, which costs about as much again.
Evidence evidence_of(const cv::Mat& page)
{
    cv::Mat ink;
    cv::transpose(detail::page_ink_columns(page), ink);
    cv::Mat turned;
    cv::rotate(ink, turned, cv::ROTATE_90_COUNTERCLOCKWISE);
    const Axis level = axis_of(ink, 0);
    const Axis quarter = axis_of(turned, 90);
    const Axis& best = level.rows.confidence >= quarter.rows.confidence ? level : quarter;
    Evidence evidence{level.rows.confidence, quarter.rows.confidence, best.turn, 0.0, 0.0, 0.0};
    if (axis_strength(evidence) < min_orientation_confidence)
        return evidence;
    weigh_cues(page_text(levelled(best.ink, best.rows.angle)), evidence);
    if (lean_strength(evidence, upright_lean(evidence)) < min_orientation_confidence)
        weigh_cues(page_text(finer_ink(page, ink.size(), best.turn, best.rows.angle)), evidence);
    return evidence;
}

} // namespace

OrientationEstimate estimate_orientation(const cv::Mat& page)
{
    require_page(page, "cannot estimate the orientation of an empty image", "orientation estimation");
    const Evidence evidence = evidence_of(page);
    const double lean = upright_lean(evidence);
    const double confidence = std::min(axis_strength(evidence), lean_strength(evidence, lean));
    if (confidence < min_orientation_confidence)
        return {0, confidence};
    return {lean > 0.0 ? evidence.turn : evidence.turn + 180, confidence};
}

cv::Mat turn_upright(const cv::Mat& page, int correction)
{
    require(!page.empty(), "cannot turn an empty image");
    cv::Mat result;
    switch (correction) {
    case 0:
        return page.clone();
    case 90:
        cv::rotate(page, result, cv::ROTATE_90_COUNTERCLOCKWISE);
        return result;
    case 180:
        cv::rotate(page, result, cv::ROTATE_180);
        return result;
    case 270:
        cv::rotate(page, result, cv::ROTATE_90_CLOCKWISE);
        return result;
    default:
        throw std::invalid_argument("the correction must be 0, 90, 180 or 270 degrees");
    }
}

} // namespace tulo
