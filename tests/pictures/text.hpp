#pragma once

#include <opencv2/core.hpp>

#include <string>
#include <vector>

namespace tulo::pictures {

/** Typefaces text can be set in. `hershey` is OpenCV's vector fonts, one picked per page by the
 *  seed (Latin only); the others are TrueType files of the Debian packages fonts-dejavu-core,
 *  fonts-liberation2 and fonts-freefont-ttf, each named for its look. */
enum class Face {
    hershey,
    serif,             // DejaVu Serif: wide, sturdy serifs
    serif_bold,        // DejaVu Serif Bold
    sans,              // DejaVu Sans: wide, open sans-serif
    sans_bold,         // DejaVu Sans Bold
    mono,              // DejaVu Sans Mono: a programmer's fixed pitch
    mono_bold,         // DejaVu Sans Mono Bold
    book,              // Liberation Serif: narrow book and newspaper serif (Times metrics)
    book_italic,       // Liberation Serif Italic
    book_bold,         // Liberation Serif Bold
    grotesque,         // Liberation Sans: office sans-serif (Arial metrics)
    grotesque_bold,    // Liberation Sans Bold
    typewriter,        // FreeMono: thin fixed-pitch strokes of a typewriter (Courier-like)
    typewriter_bold,   // FreeMono Bold
    old_style,         // FreeSerif: classic Times-like serif
    old_style_italic,  // FreeSerif Italic
    old_style_bold,    // FreeSerif Bold
    swiss,             // FreeSans: Helvetica-like sans-serif
    swiss_bold,        // FreeSans Bold
};

/** The alphabets text can be written in. */
enum class Script { latin, cyrillic, greek };

/** @brief Every TrueType face (all but `hershey`), for loops over faces. */
const std::vector<Face>& truetype_faces();

/** @brief The bold face of the same family (a bold face is its own). */
Face bold_of(Face face);

/** @brief A short name for tables and test names, e.g. "book_italic". */
std::string describe(Face face);
/** @brief A short name for tables and test names: "latin", "cyrillic" or "greek". */
std::string describe(Script script);

/** @brief The TrueType file of a face, at its fixed Debian path.
 *  @throws std::invalid_argument for `Face::hershey`, which has no file. */
std::string font_file(Face face);

/** @brief Running text in one script, word by word: frequent words of a language written in it
 *         mixed with words made from its letter frequencies, sentences of varied length that start
 *         with a capital and end with a full stop, and an occasional comma, colon or question. */
class Prose {
public:
    explicit Prose(Script script) : script_(script) {}

    /** @brief The next word in UTF-8, with its punctuation; the same generator state gives the
     *         same words. */
    std::string next_word(cv::RNG& rng);

private:
    Script script_;
    int left_in_sentence_ = 0;
};

/** @brief Decodes UTF-8 into code points; a byte that starts no valid sequence becomes U+FFFD. */
std::u32string decode_utf8(const std::string& text);
/** @brief Encodes code points as UTF-8. */
std::string encode_utf8(const std::u32string& text);

} // namespace tulo::pictures
