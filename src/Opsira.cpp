#include <tulo/Opsira.hpp>

#include <tulo/Intervals.hpp>
#include <tulo/MatManip.hpp>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <array>
#include <cmath>
#include <iomanip>
#include <sstream>
#include <stdexcept>

namespace tulo {

namespace {

using EMatType = Opsira::EMatType;
using EThresholdType = Opsira::EThresholdType;

std::string name_at(const std::vector<std::string>& names, int value)
{
    const auto index = static_cast<unsigned>(value);
    return index < names.size() ? names[index] : "unknown";
}

std::string quoted(const std::string& text) { return "\"" + text + "\""; }

// Share of set pixels over the whole image.
double foreground_share(const cv::Mat& image)
{
    return static_cast<double>(cv::countNonZero(image)) / (static_cast<double>(image.rows) * image.cols);
}

bool outside_share_bounds(const cv::Mat& candidate)
{
    const double share = foreground_share(candidate);
    return share < 0.1 || share > 0.9;
}

// Orientation of a segment in degrees, folded into (-90, 90] so that a segment's two end points
// may come in either order.
double segment_orientation(const cv::Vec4i& segment)
{
    constexpr double degrees_per_radian = 57.29577951308232;
    const auto dy = static_cast<double>(segment[1] - segment[3]);
    const auto dx = static_cast<double>(segment[0] - segment[2]);
    const double angle = std::atan2(dy, dx) * degrees_per_radian;
    if (angle > 90.0)
        return angle - 180.0;
    if (angle <= -90.0)
        return angle + 180.0;
    return angle;
}

cv::Mat derive(Opsira& ws, EMatType kind)
{
    switch (kind) {
    case EMatType::greyscale:
        return tulo::to_greyscale(ws.get(EMatType::original));
    case EMatType::gaussian_blur:
        return tulo::apply_gaussian_blur(ws.get(EMatType::original), 3);
    case EMatType::blur_greyscale:
        return tulo::to_greyscale(ws.get(EMatType::gaussian_blur));
    case EMatType::simple_colour_balance:
        return tulo::apply_simple_colour_balance(ws.get(EMatType::original));
    case EMatType::invert:
        return tulo::invert(ws.get(EMatType::original));
    case EMatType::threshold:
        return ws.create_threshold();
    case EMatType::erode:
        return tulo::erode(ws.get(EMatType::threshold), 1);
    case EMatType::erode_and_dilate:
        return tulo::dilate(ws.get(EMatType::erode), 1);
    case EMatType::canny_edge_detection: {
        // Fetching the threshold image may set threshold_value, so read it only afterwards.
        const cv::Mat threshold = ws.get(EMatType::threshold);
        return tulo::apply_canny_edge_detection(threshold, ws.threshold_value);
    }
    case EMatType::find_contours: {
        ws.find_contours();
        const cv::Mat original = ws.get(EMatType::original);
        return tulo::add_contours_to_image(original, ws.contours, cv::Scalar(0, 255, 255, 0));
    }
    case EMatType::find_contours_intervals: {
        ws.find_contours();
        const cv::Mat original = ws.get(EMatType::original);
        return tulo::add_contours_and_limits_to_image(original, ws.contours);
    }
    case EMatType::histogram:
        return tulo::plot_histogram(ws.get(EMatType::original), 640, 480, cv::Scalar(0, 0, 0, 0));
    case EMatType::hough_lines:
        return ws.create_hough_lines_and_angles();
    case EMatType::angle_corrected: {
        ws.get(EMatType::hough_lines);
        const double angle = ws.correction_angle;
        const cv::Mat original = ws.get(EMatType::original);
        return tulo::rotate(original, angle);
    }
    case EMatType::mosaic:
        return ws.create_mosaic(true);
    case EMatType::dog:
        return tulo::apply_DoG(ws.get(EMatType::original), 1.6, 0.5, 1.0);
    case EMatType::threshold_otsu:
        return ws.create_threshold(EThresholdType::otsu);
    case EMatType::threshold_triangle:
        return ws.create_threshold(EThresholdType::triangle);
    case EMatType::threshold_gaussian:
        return ws.create_threshold(EThresholdType::auto_gaussian);
    case EMatType::threshold_meanc:
        return ws.create_threshold(EThresholdType::auto_mean_c);
    case EMatType::threshold_dog:
        return ws.create_threshold(EThresholdType::difference_of_gaussian);
    default:
        return {};
    }
}

bool is_derivable(EMatType kind)
{
    const auto value = static_cast<unsigned>(kind);
    return value >= static_cast<unsigned>(EMatType::greyscale) && value <= static_cast<unsigned>(EMatType::threshold_dog);
}

// ---- Mosaic geometry ---------------------------------------------------------------------------

int mosaic_columns(std::size_t tiles)
{
    constexpr std::array<int, 20> columns{1, 2, 3, 2, 3, 3, 4, 4, 3, 5, 4, 4, 5, 5, 5, 4, 6, 6, 5, 5};
    return tiles <= columns.size() ? columns[tiles - 1] : 6;
}

// The original's size, or 300 wide with its aspect ratio when it exceeds 300 x 200; never a side
// of 0, so that extreme shapes still get a visible tile.
cv::Size tile_size(const cv::Mat& original)
{
    if (original.cols <= 300 && original.rows <= 200)
        return original.size();
    constexpr int width = 300;
    const auto height = static_cast<int>(std::round(static_cast<double>(width) * original.rows / original.cols));
    return {width, std::max(height, 1)};
}

void draw_tile_label(cv::Mat& tile, const std::string& label)
{
    constexpr int font = cv::FONT_HERSHEY_SIMPLEX;
    constexpr double scale = 0.4;
    int baseline = 0;
    const cv::Size size = cv::getTextSize(label, font, scale, 1, &baseline);
    baseline += 1;
    const cv::Rect box(3, 3, size.width + 4, size.height + baseline + 4);
    cv::rectangle(tile, box, cv::Scalar(0, 0, 0, 0), cv::FILLED, cv::LINE_8, 0);
    cv::rectangle(tile, box, cv::Scalar(0, 0, 255, 0), 1, cv::LINE_8, 0);
    cv::putText(tile, label, cv::Point(5, size.height + 5), font, scale, cv::Scalar(255, 255, 0, 0), 1, cv::LINE_AA,
                false);
}

// A three-channel tile of the cell size; a private copy whenever a label will be drawn on it, so
// that a stored image is never drawn into.
cv::Mat make_tile(const cv::Mat& image, cv::Size cell, bool private_copy)
{
    // Labels are drawn on planes only; a volume would be written past the end of its buffer.
    CV_Assert(image.dims <= 2);
    cv::Mat tile = image;
    bool owned = false;
    if (tile.type() == CV_8UC1) {
        cv::Mat converted;
        cv::cvtColor(tile, converted, cv::COLOR_GRAY2BGR, 0);
        tile = converted;
        owned = true;
    }
    if (tile.size() != cell) {
        tile = tulo::resize(tile, cell.width, cell.height);
        owned = true;
    }
    if (private_copy && !owned)
        tile = tile.clone();
    return tile;
}

void draw_grid(cv::Mat& mosaic, int columns, int rows, cv::Size cell)
{
    const cv::Scalar red(0, 0, 255, 0);
    for (int i = 0; i <= rows; ++i) {
        const int y = i * (cell.height + 1);
        cv::line(mosaic, cv::Point(0, y), cv::Point(mosaic.cols, y), red, 1, cv::LINE_8, 0);
    }
    for (int i = 0; i <= columns; ++i) {
        const int x = i * (cell.width + 1);
        cv::line(mosaic, cv::Point(x, 0), cv::Point(x, mosaic.rows), red, 1, cv::LINE_8, 0);
    }
}

} // namespace

// ---- Construction ------------------------------------------------------------------------------

Opsira::Opsira() : threshold_value(0.0), threshold_type(EThresholdType::invalid), correction_angle(0.0)
{
    Opsira::clear();
}

Opsira::Opsira(const std::string& path) : Opsira() { Opsira::set_original(path); }

Opsira::Opsira(const cv::Mat& image) : Opsira() { Opsira::set_original(image); }

Opsira::~Opsira() = default;

// ---- Names -------------------------------------------------------------------------------------

Opsira::EMatType Opsira::to_type(const std::string& name) const
{
    for (int k = 0; k <= static_cast<int>(EMatType::max); ++k) {
        if (to_string(static_cast<EMatType>(k)) == name)
            return static_cast<EMatType>(k);
    }
    return EMatType::user_defined;
}

std::string Opsira::to_string(EMatType kind) const { return name_at(kind_names(), static_cast<int>(kind)); }

std::string Opsira::to_string(EThresholdType method) const
{
    return name_at(threshold_method_names(), static_cast<int>(method));
}

const std::vector<std::string>& Opsira::kind_names()
{
    static const std::vector<std::string> names{
        "invalid", "original", "greyscale", "gaussian_blur", "blur_greyscale", "simple_colour_balance", "invert",
        "threshold", "erode", "erode_and_dilate", "canny_edge_detection", "find_contours",
        "find_contours_intervals", "histogram", "hough_lines", "angle_corrected", "mosaic", "dog",
        "threshold_otsu", "threshold_triangle", "threshold_gaussian", "threshold_meanc", "threshold_dog",
        "user_defined", "max"};
    return names;
}

const std::vector<std::string>& Opsira::threshold_method_names()
{
    static const std::vector<std::string> names{
        "invalid", "other", "otsu", "triangle", "auto_gaussian", "auto_mean_c", "difference_of_gaussian", "max"};
    return names;
}

std::string Opsira::file_name(EMatType kind, const std::string& name, const std::string& extension)
{
    std::ostringstream file;
    file << std::setw(2) << std::setfill('0') << static_cast<int>(kind) << "_" << name << extension;
    return file.str();
}

// ---- Store -------------------------------------------------------------------------------------

bool Opsira::operator==(const Opsira& other) const
{
    const bool mine = images.count(to_string(EMatType::original)) != 0;
    const bool theirs = other.images.count(other.to_string(EMatType::original)) != 0;
    if (!mine || !theirs)
        return mine == theirs;
    const std::string name = to_string(EMatType::original);
    return tulo::compare_exact(images.at(name), other.images.at(name));
}

Opsira& Opsira::clear()
{
    images.clear();
    contours.clear();
    hough_lines.clear();
    line_angles.clear();
    angle_intervals.clear();
    correction_angle = 0.0;
    threshold_value = 0.0;
    threshold_type = EThresholdType::invalid;
    return *this;
}

Opsira& Opsira::clear(EMatType kind)
{
    cv::Mat none;
    return replace(kind, none);
}

Opsira& Opsira::clear(const std::string& name)
{
    cv::Mat none;
    return replace(name, none);
}

Opsira& Opsira::set_original(const std::string& path)
{
    clear();
    return set_original(read_image(path, cv::IMREAD_COLOR));
}

Opsira& Opsira::set_original(const cv::Mat& image)
{
    // The image may be one of our own stored images: hold its pixels across the clearing.
    const cv::Mat source = image;
    clear();
    if (source.empty())
        return *this;
    cv::Mat copy;
    source.copyTo(copy);
    images[to_string(EMatType::original)] = std::move(copy);
    return *this;
}

Opsira& Opsira::set_original(EMatType kind)
{
    const cv::Mat chosen = get(kind);
    return set_original(chosen);
}

cv::Mat& Opsira::get(EMatType kind)
{
    const std::string name = to_string(kind);
    if (const auto stored = images.find(name); stored != images.end())
        return stored->second;

    if (kind == EMatType::original)
        throw std::logic_error("original image has not been set");
    if (kind == EMatType::invalid || kind == EMatType::user_defined || kind == EMatType::max)
        throw std::out_of_range("cannot get an image corresponding to type " + quoted(name));
    if (is_derivable(kind)) {
        cv::Mat derived = derive(*this, kind);
        images[name] = std::move(derived);
    }

    const auto made = images.find(name);
    if (made == images.end())
        throw std::logic_error("failed to get or create image type " + quoted(name));
    return made->second;
}

cv::Mat& Opsira::get(const std::string& name)
{
    if (const auto stored = images.find(name); stored != images.end())
        return stored->second;
    const EMatType kind = to_type(name);
    if (kind != EMatType::invalid && kind != EMatType::user_defined)
        return get(kind);
    throw std::logic_error("failed to get or create image type " + quoted(name));
}

cv::Mat& Opsira::get(EMatType kind, int parameter)
{
    const std::string name = to_string(kind);
    cv::Mat recomputed;
    switch (kind) {
    case EMatType::gaussian_blur:
        recomputed = tulo::apply_gaussian_blur(get(EMatType::original), parameter);
        break;
    case EMatType::blur_greyscale:
        recomputed = tulo::to_greyscale(get(EMatType::gaussian_blur, parameter));
        break;
    case EMatType::erode:
        recomputed = tulo::erode(get(EMatType::threshold), parameter);
        break;
    case EMatType::erode_and_dilate:
        recomputed = tulo::dilate(get(EMatType::erode, parameter), parameter);
        break;
    case EMatType::canny_edge_detection:
        recomputed = tulo::apply_canny_edge_detection(get(EMatType::threshold), static_cast<double>(parameter));
        break;
    default:
        return get(kind);
    }
    images[name] = std::move(recomputed);
    return get(kind);
}

Opsira& Opsira::replace(EMatType kind, cv::Mat& image) { return replace(to_string(kind), image); }

Opsira& Opsira::replace(const std::string& name, cv::Mat& image)
{
    const EMatType kind = to_type(name);
    if (kind == EMatType::threshold) {
        threshold_value = 0.0;
        threshold_type = EThresholdType::other;
    } else if (kind == EMatType::original) {
        return set_original(static_cast<const cv::Mat&>(image));
    }
    if (image.empty())
        images.erase(name);
    else
        images[name] = image;
    return *this;
}

// ---- Saving ------------------------------------------------------------------------------------

std::string Opsira::save(EMatType kind, const std::string& path) { return save(to_string(kind), path); }

std::string Opsira::save(const std::string& name, const std::string& path)
{
    const std::string file = path + file_name(to_type(name), name, ".jpg");
    const cv::Mat& image = get(name);
    const std::vector<int> parameters{cv::IMWRITE_JPEG_QUALITY, 75, cv::IMWRITE_JPEG_OPTIMIZE, 1};
    if (!cv::imwrite(file, image, parameters))
        throw ImageWriteError(file);
    return file;
}

std::vector<std::string> Opsira::save_all(const std::string& path)
{
    for (int k = static_cast<int>(EMatType::original); k <= static_cast<int>(EMatType::threshold_dog); ++k) {
        if (k != static_cast<int>(EMatType::mosaic))
            get(static_cast<EMatType>(k));
    }
    get(EMatType::mosaic);

    std::vector<std::string> names;
    names.reserve(images.size());
    for (const auto& entry : images)
        names.push_back(entry.first);
    std::vector<std::string> files;
    files.reserve(names.size());
    for (const auto& name : names)
        files.push_back(save(name, path));
    return files;
}

// ---- Analysis ----------------------------------------------------------------------------------

Contours Opsira::find_contours()
{
    if (contours.empty()) {
        const cv::Mat edges = get(EMatType::canny_edge_detection);
        contours = tulo::find_contours(edges);
    }
    return contours;
}

cv::Mat Opsira::create_threshold()
{
    for (const EMatType kind : {EMatType::threshold_otsu, EMatType::threshold_triangle, EMatType::threshold_gaussian,
                                EMatType::threshold_meanc, EMatType::threshold_dog})
        get(kind);

    cv::Mat candidate = get(EMatType::threshold_otsu);
    EThresholdType method = EThresholdType::otsu;
    if (outside_share_bounds(candidate)) {
        candidate = get(EMatType::threshold_triangle);
        method = EThresholdType::triangle;
        if (outside_share_bounds(candidate)) {
            candidate = get(EMatType::threshold_gaussian);
            method = EThresholdType::auto_gaussian;
        }
    }
    threshold_type = method;

    if (foreground_share(candidate) > 0.3)
        candidate = tulo::invert(candidate);
    images[to_string(EMatType::threshold)] = candidate;
    return candidate;
}

cv::Mat Opsira::create_hough_lines_and_angles()
{
    hough_lines.clear();
    line_angles.clear();
    angle_intervals.clear();
    correction_angle = 0.0;

    const cv::Mat threshold = get(EMatType::threshold);
    cv::Mat drawing = tulo::find_hough_lines(threshold, hough_lines);
    images[to_string(EMatType::hough_lines)] = drawing;

    line_angles.reserve(hough_lines.size());
    for (const cv::Vec4i& segment : hough_lines)
        line_angles.push_back(segment_orientation(segment));
    angle_intervals = tulo::intervals(line_angles, 2.0);
    correction_angle = tulo::best_value_from_intervals(angle_intervals);
    return drawing;
}

cv::Mat Opsira::create_mosaic(bool labels)
{
    // Kind order, and store order within a kind.
    std::multimap<int, std::string> tiles;
    for (const auto& entry : images) {
        const EMatType kind = to_type(entry.first);
        if (kind != EMatType::mosaic)
            tiles.emplace(static_cast<int>(kind), entry.first);
    }
    if (tiles.empty())
        return {};

    const int columns = mosaic_columns(tiles.size());
    const int rows = static_cast<int>((tiles.size() + columns - 1) / columns);
    const cv::Size cell = tile_size(get(EMatType::original));

    cv::Mat mosaic;
    mosaic.create(rows * cell.height + rows + 1, columns * cell.width + columns + 1, CV_8UC3);
    mosaic = cv::Scalar(0, 0, 0, 0);

    int c = 0;
    int r = 0;
    for (const auto& [kind, name] : tiles) {
        cv::Mat tile = make_tile(get(name), cell, labels);
        if (labels)
            draw_tile_label(tile, std::to_string(kind) + "_" + name);
        // A temporary region header is a fixed-type destination: a tile of another type throws
        // instead of silently reallocating the region.
        tile.copyTo(mosaic(cv::Rect((cell.width + 1) * c + 1, (cell.height + 1) * r + 1, cell.width, cell.height)));
        if (++c == columns) {
            c = 0;
            ++r;
        }
    }
    draw_grid(mosaic, columns, rows, cell);
    return mosaic;
}

cv::Mat Opsira::create_threshold(EThresholdType method)
{
    cv::Mat result;
    const cv::Mat blurred = get(EMatType::blur_greyscale);
    switch (method) {
    case EThresholdType::otsu:
        threshold_value = cv::threshold(blurred, result, 64.0, 255.0, cv::THRESH_BINARY | cv::THRESH_OTSU);
        break;
    case EThresholdType::triangle:
        threshold_value = cv::threshold(blurred, result, 64.0, 255.0, cv::THRESH_BINARY | cv::THRESH_TRIANGLE);
        break;
    case EThresholdType::auto_gaussian:
        cv::adaptiveThreshold(blurred, result, 255.0, cv::ADAPTIVE_THRESH_GAUSSIAN_C, cv::THRESH_BINARY, 5, 9.0);
        break;
    case EThresholdType::auto_mean_c:
        cv::adaptiveThreshold(blurred, result, 255.0, cv::ADAPTIVE_THRESH_MEAN_C, cv::THRESH_BINARY, 5, 9.0);
        break;
    case EThresholdType::difference_of_gaussian:
        result = tulo::apply_DoG_threshold(get(EMatType::original), 200.0, 0.5, 1.0);
        break;
    case EThresholdType::invalid:
    case EThresholdType::other:
    case EThresholdType::max:
        throw std::invalid_argument("cannot create threshold with type " + quoted(to_string(method)));
    }
    if (result.empty())
        throw std::logic_error("failed to create threshold image with type " + quoted(to_string(method)));
    return result;
}

} // namespace tulo
