#pragma once

#include <tulo/Export.hpp>
#include <tulo/ImageFile.hpp>
#include <tulo/MatManip.hpp>

#include <opencv2/core.hpp>

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace tulo {

/** @brief A workspace holding one original image and the images derived from it on demand,
 *         each stored under its kind's name, with the contours, Hough segments and line angles
 *         found on the way.
 *
 *  Every member function but the constructors is virtual, and the class reaches its own
 *  operations through virtual dispatch, so an override changes every operation built on it.
 *  A workspace must not be used by two threads at once; separate workspaces share nothing.
 *  Copies are shallow: a copied workspace shares pixel buffers with its source. */
class TULO_API Opsira {
public:
    /** The image kinds; each enumerator is named by its store key. Derived kinds are made by get()
     *  from their sources (themselves fetched through get) with the recipe and constants below. */
    enum class EMatType : int {
        /** No kind: never stored, never derived (std::out_of_range). */
        invalid,
        /** The image given to set_original or a constructor, a deep copy; never derived. */
        original,
        /** to_greyscale(original). */
        greyscale,
        /** apply_gaussian_blur(original, 3): a 3 x 3 kernel; get(kind, n) takes n instead. */
        gaussian_blur,
        /** to_greyscale(gaussian_blur). */
        blur_greyscale,
        /** apply_simple_colour_balance(original): 0.5 % of each channel clipped at each end. */
        simple_colour_balance,
        /** invert(original). */
        invert,
        /** create_threshold(): threshold_otsu, else threshold_triangle, else threshold_gaussian, the
         *  first with 10 % to 90 % set; inverted when more than 30 % is set. */
        threshold,
        /** erode(threshold, 1): one pass of the 3 x 3 square; get(kind, n) takes n passes. */
        erode,
        /** dilate(erode, 1): one pass of the 3 x 3 square; get(kind, n) takes n passes. */
        erode_and_dilate,
        /** apply_canny_edge_detection(threshold, threshold_value): thresholds level and 3 x level. */
        canny_edge_detection,
        /** The original with the contours of canny_edge_detection drawn in (0, 255, 255), those
         *  of area above 105 numbered: add_contours_to_image. */
        find_contours,
        /** The original with the contours of area above 5 drawn and numbered by area interval
         *  (gap multiplier 2): add_contours_and_limits_to_image. */
        find_contours_intervals,
        /** plot_histogram(original, 640, 480, black). */
        histogram,
        /** create_hough_lines_and_angles(): Hough segments of threshold (1 pixel, pi / 360, 80
         *  votes, length 5, gap 10) drawn in red; sets the line angles, their intervals (gap
         *  multiplier 2) and correction_angle. */
        hough_lines,
        /** rotate(original, correction_angle), after hough_lines. To level scanned pages use
         *  tulo::estimate_skew and tulo::deskew (tulo/Skew.hpp) instead. */
        angle_corrected,
        /** create_mosaic(true): every other stored image as a labelled tile, in kind order, each
         *  of the original's size or 300 wide when the original exceeds 300 x 200. */
        mosaic,
        /** apply_DoG(original, 1.6, 0.5, 1.0): k, sigma and weight. */
        dog,
        /** Otsu's level on blur_greyscale, binary 0 / 255; sets threshold_value. */
        threshold_otsu,
        /** The triangle method's level on blur_greyscale, binary 0 / 255; sets threshold_value. */
        threshold_triangle,
        /** Adaptive Gaussian-weighted threshold of blur_greyscale: block 5, constant 9. */
        threshold_gaussian,
        /** Adaptive mean threshold of blur_greyscale: block 5, constant 9. */
        threshold_meanc,
        /** apply_DoG_threshold(original, 200.0, 0.5, 1.0): k, sigma and weight. */
        threshold_dog,
        /** Any name that is no kind's: stored by replace only, never derived. */
        user_defined,
        /** The end of the enumeration: never stored, never derived (std::out_of_range). */
        max
    };

    /** The threshold methods; methods otsu to difference_of_gaussian produce kinds 18 to 22. */
    enum class EThresholdType : int {
        invalid,
        other,
        otsu,
        triangle,
        auto_gaussian,
        auto_mean_c,
        difference_of_gaussian,
        max
    };

    /** Most pixels an image file may declare for set_original(path) to read it: 2^28. */
    static constexpr std::uint64_t max_read_pixels = max_image_pixels;

    /** The image store, ordered by byte-wise name. */
    std::map<std::string, cv::Mat> images;
    /** Level of the last Otsu or triangle thresholding; the lower Canny threshold. */
    double threshold_value;
    /** The method whose image became "threshold". */
    EThresholdType threshold_type;
    /** Outer contours of the edge image, found once. */
    Contours contours;
    /** Hough segments of the threshold image, as x1, y1, x2, y2. */
    std::vector<cv::Vec4i> hough_lines;
    /** Orientation of each segment in degrees, in (-90, 90], sorted ascending. */
    std::vector<double> line_angles;
    /** line_angles grouped into intervals. */
    std::vector<std::vector<double>> angle_intervals;
    /** Degrees by which "angle_corrected" turns the original (counter-clockwise when positive);
     *  tulo::estimate_skew finds the tilt of scanned pages more reliably, with a confidence. */
    double correction_angle;

    /** @brief An empty workspace. */
    Opsira();
    /** @brief A workspace holding the colour image read from `path`.
     *  @throws ImageReadError "failed to read \"<path>\"" as set_original(path). */
    explicit Opsira(const std::string& path);
    /** @brief A workspace holding a deep copy of `image`; empty for an empty image. */
    explicit Opsira(const cv::Mat& image);
    Opsira(const Opsira&) = default;
    Opsira(Opsira&&) = default;
    Opsira& operator=(const Opsira&) = default;
    Opsira& operator=(Opsira&&) = default;
    virtual ~Opsira();

    /** @brief The store key of every kind, indexed by its number: "invalid", "original", ...,
     *         "user_defined", "max"; what to_string gives unless a subclass overrides it. */
    static const std::vector<std::string>& kind_names();
    /** @brief The name of every threshold method, indexed by its number: "invalid", "other", ...,
     *         "max"; what to_string gives unless a subclass overrides it. */
    static const std::vector<std::string>& threshold_method_names();
    /** @brief The file name save gives a kind: two-digit kind number, "_", `name`, `extension`.
     *  @param kind the number: user_defined for a name that is no kind's.
     *  @param extension with its dot, e.g. ".jpg". */
    static std::string file_name(EMatType kind, const std::string& name, const std::string& extension);

    /** @brief The kind whose name is exactly `name`; user_defined when there is none. */
    virtual EMatType to_type(const std::string& name) const;
    /** @brief The store key of a kind; "unknown" outside the enumeration. */
    virtual std::string to_string(EMatType kind) const;
    /** @brief The name of a threshold method; "unknown" outside the enumeration. */
    virtual std::string to_string(EThresholdType method) const;

    /** @brief True when neither has an original, or both originals are equal by compare_exact.
     *  @throws std::out_of_range when the other workspace names its original differently. */
    virtual bool operator==(const Opsira& other) const;

    /** @brief Removes every image and empties the caches and the threshold state. */
    virtual Opsira& clear();
    /** @brief Removes the image of `kind` (see replace). */
    virtual Opsira& clear(EMatType kind);
    /** @brief Removes the image called `name` (see replace). */
    virtual Opsira& clear(const std::string& name);

    /** @brief Clears the workspace and makes the colour image read from `path` the original.
     *  @throws ImageReadError "failed to read \"<path>\"" when the file cannot be decoded, and
     *          before any decoding when its header declares more than 2^28 pixels, when its size
     *          cannot be read from its header (in every format OpenCV decodes), or when a JPEG
     *          stream ends before its end marker; the workspace is left cleared. */
    virtual Opsira& set_original(const std::string& path);
    /** @brief Clears the workspace and stores a deep copy of `image` as the original; the image
     *         may be one of the workspace's own. An empty image leaves the workspace empty. */
    virtual Opsira& set_original(const cv::Mat& image);
    /** @brief Makes the image of `kind` (derived first if missing) the only, original image.
     *  @throws what get(kind) throws; the workspace is then not cleared. */
    virtual Opsira& set_original(EMatType kind);

    /** @brief The stored image of `kind`, derived from its sources and stored first if missing.
     *  @throws std::logic_error "original image has not been set" when a needed original is
     *          missing; std::out_of_range for invalid, user_defined and max when not stored;
     *          std::logic_error "failed to get or create image type \"<name>\"" otherwise. */
    virtual cv::Mat& get(EMatType kind);
    /** @brief The stored image called `name`, derived first when it names a derivable kind.
     *  @throws std::logic_error "failed to get or create image type \"<name>\"" for a name that
     *          is neither stored nor derivable. */
    virtual cv::Mat& get(const std::string& name);
    /** @brief Recomputes gaussian_blur (kernel size), blur_greyscale (kernel size), erode and
     *         erode_and_dilate (iterations) or canny_edge_detection (lower threshold) with
     *         `parameter`, overwriting the stored image; get(kind) for every other kind. */
    virtual cv::Mat& get(EMatType kind, int parameter);

    /** @brief replace(to_string(kind), image). */
    virtual Opsira& replace(EMatType kind, cv::Mat& image);
    /** @brief Stores `image` under `name` sharing its pixels, or removes `name` for an empty image.
     *         "original" resets the workspace to a deep copy of `image`; "threshold" sets
     *         threshold_value to 0 and threshold_type to other. `image` is not modified. */
    virtual Opsira& replace(const std::string& name, cv::Mat& image);
    /** @brief replace(kind, image) for a const image or a temporary; the stored entry shares its
     *         pixels all the same. */
    Opsira& replace(EMatType kind, const cv::Mat& image)
    {
        cv::Mat handle = image;
        return replace(kind, handle);
    }
    /** @brief replace(name, image) for a const image or a temporary; the stored entry shares its
     *         pixels all the same. */
    Opsira& replace(const std::string& name, const cv::Mat& image)
    {
        cv::Mat handle = image;
        return replace(name, handle);
    }

    /** @brief Keeps only a fresh copy of the original. */
    virtual Opsira& reset() { return set_original(EMatType::original); }
    /** @brief Keeps only the image of `kind`, as the new original. */
    virtual Opsira& reset_using(EMatType kind) { return set_original(kind); }
    /** @brief Reloads the original from a file. */
    virtual Opsira& reset_using(const std::string& path) { return set_original(path); }

    /** @brief Writes the image of `kind` as JPEG; see save(name, path). */
    virtual std::string save(EMatType kind, const std::string& path);
    /** @brief Writes the image called `name` (derived first if missing) as the JPEG file
     *         path + two-digit kind + "_" + name + ".jpg", quality 75, optimised coding.
     *  @param path a prefix put unchanged before the file name ("dir/" for a directory).
     *  @return the file name written.
     *  @throws ImageWriteError "failed to write \"<file>\"" when the file cannot be written. */
    virtual std::string save(const std::string& name, const std::string& path);
    /** @brief Derives every kind 1 to 22 (the mosaic last) and saves every stored image in store
     *         order. @return the file names in the order written. */
    virtual std::vector<std::string> save_all(const std::string& path);

    /** @brief The outer contours of the edge image, searched when the cached list is empty.
     *  @return a copy of the cached list. */
    virtual Contours find_contours();
    /** @brief Chooses among the Otsu, triangle and Gaussian adaptive images by foreground share,
     *         inverts a mostly-set choice, and stores it as "threshold". */
    virtual cv::Mat create_threshold();
    /** @brief Finds Hough segments in the threshold image, their orientations, angle intervals and
     *         the correction angle; stores and returns the segment drawing as "hough_lines". */
    virtual cv::Mat create_hough_lines_and_angles();
    /** @brief Every stored image but a mosaic, tiled in kind order on a grid with red lines,
     *         optionally labelled "<kind>_<name>"; empty when nothing is stored.
     *  @throws cv::Exception when a stored image is a volume (more than two dimensions). */
    virtual cv::Mat create_mosaic(bool labels);
    /** @brief The threshold image of one method, computed from blur_greyscale (or the original
     *         for difference_of_gaussian); not stored.
     *  @throws std::invalid_argument for invalid, other and max; std::logic_error for any other
     *          value outside the enumeration or an empty result. */
    virtual cv::Mat create_threshold(EThresholdType method);
};

} // namespace tulo
