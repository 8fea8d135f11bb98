#include "truetype.hpp"

#include <ft2build.h>
#include FT_FREETYPE_H

#include <map>
#include <mutex>
#include <stdexcept>
#include <tuple>

namespace tulo::pictures::truetype {

namespace {

struct Glyph {
    cv::Mat coverage;  // 8-bit, 255 fully inked
    cv::Point offset;  // of the bitmap's top-left corner from the pen on the baseline
    int advance = 0;
};

// One FreeType library with every face opened once; the glyphs drawn so far, by face, size and
// code point. A mutex guards it: the benchmarks draw pages from several threads.
class Foundry {
public:
    Foundry()
    {
        if (FT_Init_FreeType(&library_) != 0)
            throw std::runtime_error("FreeType failed to start");
    }
    ~Foundry()
    {
        FT_Done_FreeType(library_);  // also closes the faces
    }
    Foundry(const Foundry&) = delete;
    Foundry& operator=(const Foundry&) = delete;

    const Glyph& glyph(Face face, int pixels, char32_t code)
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        const auto key = std::make_tuple(face, pixels, code);
        const auto found = glyphs_.find(key);
        if (found != glyphs_.end())
            return found->second;
        return glyphs_.emplace(key, render(face, pixels, code)).first->second;
    }

private:
    FT_Face opened(Face face)
    {
        FT_Face& handle = faces_[face];
        if (handle == nullptr) {
            const std::string file = font_file(face);
            if (FT_New_Face(library_, file.c_str(), 0, &handle) != 0) {
                handle = nullptr;
                throw std::runtime_error("cannot open the font \"" + file +
                                         "\": install fonts-dejavu-core, fonts-liberation2 and fonts-freefont-ttf");
            }
        }
        return handle;
    }

    Glyph render(Face face, int pixels, char32_t code)
    {
        const FT_Face handle = opened(face);
        if (FT_Set_Pixel_Sizes(handle, 0, static_cast<FT_UInt>(pixels)) != 0 ||
            FT_Load_Char(handle, code, FT_LOAD_RENDER) != 0)
            throw std::runtime_error("FreeType cannot draw U+" + std::to_string(static_cast<unsigned>(code)) +
                                     " in " + font_file(face));
        const FT_GlyphSlot slot = handle->glyph;
        const FT_Bitmap& bitmap = slot->bitmap;
        Glyph glyph;
        glyph.offset = {slot->bitmap_left, -slot->bitmap_top};
        glyph.advance = static_cast<int>((slot->advance.x + 32) >> 6);
        if (bitmap.rows > 0 && bitmap.width > 0)  // FreeType owns the buffer: keep a copy
            glyph.coverage = cv::Mat(static_cast<int>(bitmap.rows), static_cast<int>(bitmap.width), CV_8UC1,
                                     bitmap.buffer, static_cast<std::size_t>(bitmap.pitch))
                                 .clone();
        return glyph;
    }

    FT_Library library_ = nullptr;
    std::map<Face, FT_Face> faces_;
    std::map<std::tuple<Face, int, char32_t>, Glyph> glyphs_;
    std::mutex mutex_;
};

Foundry& foundry()
{
    static Foundry shared;
    return shared;
}

// Each pixel moves towards the ink by the glyph's coverage, rounded to nearest.
void blend(cv::Mat& page, const Glyph& glyph, cv::Point pen, uchar ink)
{
    const cv::Rect where(pen + glyph.offset, glyph.coverage.size());
    const cv::Rect inside = where & cv::Rect(0, 0, page.cols, page.rows);
    for (int y = inside.y; y < inside.br().y; ++y) {
        uchar* row = page.ptr<uchar>(y);
        const uchar* cover = glyph.coverage.ptr<uchar>(y - where.y);
        for (int x = inside.x; x < inside.br().x; ++x) {
            const int change = (ink - row[x]) * cover[x - where.x];
            row[x] = static_cast<uchar>(row[x] + (change + (change >= 0 ? 127 : -127)) / 255);
        }
    }
}

} // namespace

int width(Face face, int pixels, const std::string& text)
{
    int advance = 0;
    for (const char32_t code : decode_utf8(text))
        advance += foundry().glyph(face, pixels, code).advance;
    return advance;
}

void draw(cv::Mat& page, Face face, int pixels, const std::string& text, cv::Point origin, uchar ink)
{
    CV_Assert(page.type() == CV_8UC1);
    for (const char32_t code : decode_utf8(text)) {
        const Glyph& glyph = foundry().glyph(face, pixels, code);
        if (!glyph.coverage.empty())
            blend(page, glyph, origin, ink);
        origin.x += glyph.advance;
    }
}

} // namespace tulo::pictures::truetype
