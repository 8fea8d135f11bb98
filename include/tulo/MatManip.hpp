#pragma once

#include <tulo/Export.hpp>

#include <opencv2/core.hpp>

#include <vector>

namespace tulo {

// Every operation takes its image as const, never modifies it, and returns a newly allocated
// result. Bad arguments throw std::invalid_argument; OpenCV's own cv::Exception passes through, and
// the drawing functions throw cv::Exception for an image of more than two dimensions (a volume).

/** The outline of every contour, each a list of points, as cv::findContours gives them. */
using Contours = std::vector<std::vector<cv::Point>>;

// ---- Conversion and filtering ---------------------------------------------------------------

/** @brief Converts a colour (BGR) image to one channel of the same depth.
 *  @param image a non-empty 1- or 3-channel image; a 1-channel image is deep-copied.
 *  @throws std::invalid_argument for an empty image or another channel count. */
TULO_API cv::Mat to_greyscale(const cv::Mat& image);

/** @brief Blurs an image with a square Gaussian kernel (sigmas derived from the size).
 *  @param image any non-empty image.
 *  @param kernel_size positive odd side of the kernel (1, 3, 5, ...).
 *  @throws std::invalid_argument for an empty image or a bad kernel size. */
TULO_API cv::Mat apply_gaussian_blur(const cv::Mat& image, int kernel_size);

/** @brief apply_gaussian_blur, then to_greyscale of the blurred image.
 *  @throws std::invalid_argument as those two, the blur's checks first. */
TULO_API cv::Mat apply_blur_and_convert_to_greyscale(const cv::Mat& image, int kernel_size);

/** @brief Flips every bit of every element (255 - v for 8-bit data).
 *  @throws std::invalid_argument for an empty image. */
TULO_API cv::Mat invert(const cv::Mat& image);

/** @brief Erodes with the 3 x 3 square element; the border never wins the minimum.
 *  @param iterations how many times; passed to OpenCV unchecked.
 *  @throws std::invalid_argument for an empty image. */
TULO_API cv::Mat erode(const cv::Mat& image, int iterations);

/** @brief Dilates with the 3 x 3 square element; the border never wins the maximum.
 *  @param iterations how many times; passed to OpenCV unchecked.
 *  @throws std::invalid_argument for an empty image. */
TULO_API cv::Mat dilate(const cv::Mat& image, int iterations);

/** @brief Canny edges (Sobel aperture 3, L2 gradient) with thresholds low and 3 x low.
 *  @param image a non-empty 8-bit image.
 *  @return a one-channel 8-bit map of 0 and 255.
 *  @throws std::invalid_argument for an empty image. */
TULO_API cv::Mat apply_canny_edge_detection(const cv::Mat& image, double low_threshold);

/** @brief True when both images are empty, or have the same size and type and every element of
 *         every channel is bitwise equal. Throws nothing of its own. */
TULO_API bool compare_exact(const cv::Mat& lhs, const cv::Mat& rhs);

// ---- Geometry --------------------------------------------------------------------------------

/** @brief Turns an image by `angle` degrees counter-clockwise on a canvas just large enough to
 *         hold it; quarter turns are lossless, other angles bilinear with black corners.
 *  @throws std::invalid_argument for an empty image or a NaN or infinite angle. */
TULO_API cv::Mat rotate(const cv::Mat& image, double angle);

/** @brief Scales an image to width x height; a 0 in one of them keeps the aspect ratio.
 *  @return an empty matrix when a derived side rounds to 0.
 *  @throws std::invalid_argument for an empty image, a negative side, or both sides 0. */
TULO_API cv::Mat resize(const cv::Mat& image, int width, int height);

/** @brief Scales both sides of an image by `scale`.
 *  @return an empty matrix when a side rounds to 0 (a scale of 0 or NaN included).
 *  @throws std::invalid_argument for an empty image or a negative scale. */
TULO_API cv::Mat resize(const cv::Mat& image, double scale);

/** @brief Fits an image into width x height without distortion, centred on a canvas filled with
 *         `colour`; a canvas of colour alone when the scaled image vanishes.
 *  @throws std::invalid_argument for an empty image or a side below 1. */
TULO_API cv::Mat letterbox(const cv::Mat& image, int width, int height, const cv::Scalar& colour);

// ---- Contours and lines ----------------------------------------------------------------------

/** @brief Outer contours of a two-level image (RETR_EXTERNAL, CHAIN_APPROX_SIMPLE), unfiltered.
 *  @param image a non-empty one-channel 8-bit image.
 *  @throws std::invalid_argument for an empty image. */
TULO_API Contours find_contours(const cv::Mat& image);

/** @brief The minimum-area rectangle of each contour, in contour order. */
TULO_API std::vector<cv::RotatedRect>
convert_contours_to_rotated_rects(const Contours& contours);

/** @brief Probabilistic Hough segments of a one-channel 8-bit image.
 *  @param lines replaced by the segments (x1, y1, x2, y2).
 *  @return a three-channel copy of the image with every segment drawn in red. */
TULO_API cv::Mat find_hough_lines(const cv::Mat& image, std::vector<cv::Vec4i>& lines);

/** @brief A colour copy of the image with every contour drawn in `colour` and every contour of
 *         area above 105 numbered by its index.
 *  @throws std::invalid_argument for an empty image; cv::Exception for a volume. */
TULO_API cv::Mat add_contours_to_image(const cv::Mat& image,
                                       const Contours& contours,
                                       const cv::Scalar& colour);

/** @brief A copy of the image with every contour of area above 5 drawn and numbered in the
 *         palette colour of the last area interval whose smallest area is strictly less than the
 *         contour's, or in white when there is none: the smallest contour of an interval takes
 *         the colour of the interval before it.
 *  @throws std::invalid_argument for an empty image; cv::Exception for a volume. */
TULO_API cv::Mat add_contours_and_limits_to_image(const cv::Mat& image,
                                                  const Contours& contours);

// ---- Difference of Gaussians and colour balance -----------------------------------------------

/** @brief narrow - weight x wide, two Gaussian blurs (sigma and k x sigma) of the greyscale image.
 *  @return one channel of the greyscale depth, saturated.
 *  @throws std::invalid_argument for an empty image or a channel count to_greyscale rejects. */
TULO_API cv::Mat apply_DoG(const cv::Mat& image, double k, double sigma, double weight);

/** @brief apply_DoG turned into a 0/255 mask: above round(mean / 10) becomes 255.
 *  @throws std::invalid_argument as apply_DoG, and for a depth other than 8-bit. */
TULO_API cv::Mat apply_DoG_threshold(const cv::Mat& image, double k, double sigma, double weight);

/** @brief Clips the darkest and brightest 0.5 % of each channel and stretches it over 0 to 255.
 *  @param image a non-empty 8-bit image of any channel count.
 *  @throws std::invalid_argument for an empty image or a depth other than 8-bit. */
TULO_API cv::Mat apply_simple_colour_balance(const cv::Mat& image);

// ---- Histogram plot --------------------------------------------------------------------------

/** @brief Line graph of the 256-bin histogram of each channel on a width x height canvas.
 *  @param image a non-empty 1- or 3-channel image.
 *  @param width, height the plot's size, each at least 10.
 *  @param background the canvas colour; a one-channel image is drawn white on all-zero, else black.
 *  @return a new CV_8UC3 image.
 *  @throws std::invalid_argument for an empty image, a bad channel count, or a side below 10. */
TULO_API cv::Mat plot_histogram(const cv::Mat& image, int width, int height, cv::Scalar background);

} // namespace tulo
