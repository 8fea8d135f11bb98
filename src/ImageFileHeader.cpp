#include "ImageFileHeader.hpp"

#include <cctype>
#include <cstring>
#include <fstream>
#include <vector>

namespace tulo::detail {

namespace {

using Bytes = std::vector<unsigned char>;
using Pixels = std::optional<std::uint64_t>;

// Bytes [offset, offset + count) of the file; empty when the file is shorter.
Bytes read_at(std::ifstream& file, std::uint64_t offset, std::size_t count)
{
    Bytes bytes(count);
    file.clear();
    file.seekg(static_cast<std::streamoff>(offset));
    file.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(count));
    return file.gcount() == static_cast<std::streamsize>(count) ? bytes : Bytes{};
}

std::uint32_t unsigned_at(const Bytes& bytes, std::size_t at, int size, bool big_endian)
{
    std::uint32_t value = 0;
    for (int i = 0; i < size; ++i) {
        const int shift = 8 * (big_endian ? size - 1 - i : i);
        value |= static_cast<std::uint32_t>(bytes[at + static_cast<std::size_t>(i)]) << shift;
    }
    return value;
}

std::uint32_t be16(const Bytes& b, std::size_t at) { return unsigned_at(b, at, 2, true); }
std::uint32_t be32(const Bytes& b, std::size_t at) { return unsigned_at(b, at, 4, true); }
std::uint32_t le16(const Bytes& b, std::size_t at) { return unsigned_at(b, at, 2, false); }
std::uint32_t le24(const Bytes& b, std::size_t at) { return unsigned_at(b, at, 3, false); }
std::uint32_t le32(const Bytes& b, std::size_t at) { return unsigned_at(b, at, 4, false); }

bool starts_with(const Bytes& bytes, const char* signature, std::size_t at = 0)
{
    const std::size_t length = std::strlen(signature);
    return bytes.size() >= at + length && std::memcmp(bytes.data() + at, signature, length) == 0;
}

std::uint64_t area(std::uint64_t width, std::uint64_t height) { return width * height; }

Pixels png_pixels(const Bytes& head)
{
    if (!starts_with(head, "IHDR", 12))
        return std::nullopt;
    return area(be32(head, 16), be32(head, 20));
}

bool is_jpeg_frame_marker(unsigned marker)
{
    return marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 && marker != 0xCC;
}

// Walks the marker segments up to the first frame header; thumbnails inside APPn segments are skipped.
Pixels jpeg_pixels(std::ifstream& file)
{
    std::uint64_t at = 2;
    for (int segments = 0; segments < 4096; ++segments) {
        const Bytes marker = read_at(file, at, 2);
        if (marker.empty() || marker[0] != 0xFF)
            return std::nullopt;
        const unsigned code = marker[1];
        if (code == 0xFF || code == 0x01 || (code >= 0xD0 && code <= 0xD7)) {
            at += code == 0xFF ? 1 : 2;
            continue;
        }
        if (code == 0xD9 || code == 0xDA)
            return std::nullopt;
        const Bytes segment = read_at(file, at + 2, 7);
        if (segment.empty())
            return std::nullopt;
        if (is_jpeg_frame_marker(code))
            return area(be16(segment, 5), be16(segment, 3));
        at += 2 + be16(segment, 0);
    }
    return std::nullopt;
}

Pixels bmp_pixels(const Bytes& head)
{
    if (le32(head, 14) == 12)
        return area(le16(head, 18), le16(head, 20));
    const auto magnitude = [](std::uint32_t raw) {
        const auto value = static_cast<std::int64_t>(static_cast<std::int32_t>(raw));
        return static_cast<std::uint64_t>(value < 0 ? -value : value);
    };
    return area(magnitude(le32(head, 18)), magnitude(le32(head, 22)));
}

Pixels webp_pixels(const Bytes& head)
{
    if (starts_with(head, "VP8 ", 12) && head[23] == 0x9D && head[24] == 0x01 && head[25] == 0x2A)
        return area(le16(head, 26) & 0x3FFF, le16(head, 28) & 0x3FFF);
    if (starts_with(head, "VP8L", 12) && head[20] == 0x2F) {
        const std::uint32_t bits = le32(head, 21);
        return area((bits & 0x3FFF) + 1, ((bits >> 14) & 0x3FFF) + 1);
    }
    if (starts_with(head, "VP8X", 12))
        return area(le24(head, 24) + 1, le24(head, 27) + 1);
    return std::nullopt;
}

// The first image directory's width and length tags; later pages are not read.
Pixels tiff_pixels(std::ifstream& file, bool big_endian)
{
    const auto u16 = [big_endian](const Bytes& b, std::size_t at) { return unsigned_at(b, at, 2, big_endian); };
    const auto u32 = [big_endian](const Bytes& b, std::size_t at) { return unsigned_at(b, at, 4, big_endian); };
    const Bytes head = read_at(file, 0, 8);
    const std::uint32_t directory = u32(head, 4);
    const Bytes count = read_at(file, directory, 2);
    if (count.empty())
        return std::nullopt;
    const Bytes entries = read_at(file, directory + 2, std::size_t{12} * u16(count, 0));
    std::uint64_t width = 0;
    std::uint64_t height = 0;
    for (std::size_t at = 0; at + 12 <= entries.size(); at += 12) {
        const std::uint32_t tag = u16(entries, at);
        const std::uint32_t type = u16(entries, at + 2);
        const std::uint32_t value = type == 3 ? u16(entries, at + 8) : type == 4 ? u32(entries, at + 8) : 0;
        if (tag == 256)
            width = value;
        else if (tag == 257)
            height = value;
    }
    if (width == 0 || height == 0)
        return std::nullopt;
    return area(width, height);
}

// Width and height are the first two decimal numbers after the magic, between blanks and comments.
Pixels pnm_pixels(const Bytes& head)
{
    std::uint64_t sides[2] = {0, 0};
    std::size_t at = 2;
    for (std::uint64_t& side : sides) {
        while (at < head.size() && (std::isspace(head[at]) != 0 || head[at] == '#')) {
            if (head[at] == '#')
                while (at < head.size() && head[at] != '\n')
                    ++at;
            else
                ++at;
        }
        const std::size_t first = at;
        for (; at < head.size() && std::isdigit(head[at]) != 0 && at - first < 9; ++at)
            side = side * 10 + (head[at] - '0');
        if (at == first)
            return std::nullopt;
    }
    return area(sides[0], sides[1]);
}

} // namespace

std::optional<std::uint64_t> declared_pixels(const std::string& path)
{
    std::ifstream file(path, std::ios::binary);
    if (!file)
        return std::nullopt;
    Bytes head(512, 0);
    file.read(reinterpret_cast<char*>(head.data()), static_cast<std::streamsize>(head.size()));
    head.resize(static_cast<std::size_t>(file.gcount()));
    if (head.size() < 32)
        return std::nullopt;

    if (starts_with(head, "\x89PNG\r\n\x1A\n"))
        return png_pixels(head);
    if (head[0] == 0xFF && head[1] == 0xD8)
        return jpeg_pixels(file);
    if (starts_with(head, "BM"))
        return bmp_pixels(head);
    if (starts_with(head, "RIFF") && starts_with(head, "WEBP", 8))
        return webp_pixels(head);
    if (starts_with(head, "II*") && head[3] == 0)
        return tiff_pixels(file, false);
    if (starts_with(head, "MM") && head[2] == 0 && head[3] == '*')
        return tiff_pixels(file, true);
    if (head[0] == 'P' && head[1] >= '1' && head[1] <= '6')
        return pnm_pixels(head);
    return std::nullopt;
}

} // namespace tulo::detail
