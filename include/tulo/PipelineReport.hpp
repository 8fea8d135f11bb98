#pragma once

#include <tulo/Export.hpp>
#include <tulo/Pipeline.hpp>

#include <cstddef>
#include <functional>
#include <map>
#include <string>
#include <utility>
#include <variant>
#include <vector>

namespace tulo::pipeline {

// A report's one field list, from which its JSON line and every other form (the Python package's
// dict) are made; its summary line; and the two helpers a front end needs to show a batch: reports
// in input order and a progress bar.

/** @brief Seconds taken, written with three decimals. */
struct Seconds {
    double value = 0.0;
};

/** @brief A box as x, y, width, height. */
using Box = std::array<int, 4>;

/** @brief The value of a report field: none (null), a flag, a count, a whole number, a number,
 *         seconds, a text, a list of file names or a box. */
using FieldValue =
    std::variant<std::monostate, bool, std::size_t, int, double, Seconds, std::string, std::vector<std::string>, Box>;

/** @brief One field of a report, named as in the JSON line. */
struct ReportField {
    const char* name;
    FieldValue (*get)(const Report&);
    /** Sets the field from a value of its own alternative (any number for a numeric field);
     *  none empties it. Null for a field derived from others ("ok"). */
    void (*set)(Report&, const FieldValue&);
    /** Left out of the JSON line and the dict while it is none: the field of a page step that
     *  the job does not run, or of a page of a multi-page file ("page", "text_layer_dropped"). */
    bool only_when_set = false;

    /** @brief True when the field, holding `value`, is written into the JSON line and the dict. */
    bool shown(const FieldValue& value) const { return !only_when_set || !std::holds_alternative<std::monostate>(value); }
};

/** @brief Every field of a report, in the order of the JSON line. */
TULO_API const std::vector<ReportField>& report_fields();

/** @brief One human-readable line (no newline) for a processed image: the chosen threshold method
 *         and the recorded edge level, correction angle, contour and segment counts, files
 *         written, time; or what the page steps did. */
TULO_API std::string summary_line(const Report& report);

/** @brief One JSON object (no newline) of report_fields; analyses that did not run are null. */
TULO_API std::string json_line(const Report& report);

/** @brief The shortest text that reads back as `value`, in every locale. */
TULO_API std::string shortest_text(double value);

/** @brief `text` as a JSON string literal, quotes included. */
TULO_API std::string json_string(const std::string& text);

/** @brief The end of a batch with the crop step: how many images, how many of them blank. */
class TULO_API BlankTally {
public:
    /** @brief Counts the image of `report`. */
    void add(const Report& report);
    /** @brief "4 images, 1 blank" (no newline). */
    std::string line() const;

private:
    std::size_t images_ = 0;
    std::size_t blank_ = 0;
};

/** @brief Hands items on in the order of their indices, from 0, holding those that come early. */
template <typename Item> class InOrder {
public:
    explicit InOrder(std::function<void(const Item&)> deliver) : deliver_(std::move(deliver)) {}

    /** @brief Takes the item of `index` and delivers every item whose turn has come. */
    void add(std::size_t index, Item item)
    {
        waiting_.emplace(index, std::move(item));
        for (auto first = waiting_.begin(); first != waiting_.end() && first->first == next_; first = waiting_.begin()) {
            deliver_(first->second);
            waiting_.erase(first);
            ++next_;
        }
    }

private:
    std::function<void(const Item&)> deliver_;
    std::map<std::size_t, Item> waiting_;
    std::size_t next_ = 0;
};

/** @brief How far a batch of images is: finished images and the finished share of those under
 *         way, shown as a one-line bar "[####......] 3/10". Not safe for several threads. */
class TULO_API Progress {
public:
    /** @brief A batch of `total` images, none finished. */
    explicit Progress(std::size_t total);
    /** @brief Records the finished share (0 to 1) of image `index`. */
    void advance(std::size_t index, double share);
    /** @brief Counts image `index` as finished. */
    void finish(std::size_t index);
    /** @brief The bar: 30 marks, '#' for the finished share, '.' for the rest, then done/total. */
    std::string bar() const;

private:
    std::size_t total_;
    std::size_t done_ = 0;
    std::map<std::size_t, double> partial_;
};

} // namespace tulo::pipeline
