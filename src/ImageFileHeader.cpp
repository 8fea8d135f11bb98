#include "ImageFileHeader.hpp"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <fstream>
#include <functional>
#include <limits>
#include <string_view>
#include <vector>

namespace tulo::detail {

namespace {

using namespace std::string_view_literals;
using Bytes = std::vector<unsigned char>;
using Pixels = std::optional<std::uint64_t>;

// How much of a text header (PNM, PAM, PFM, Radiance) is read: more than real headers need,
// little enough to read in one go.
constexpr std::size_t text_header_bytes = std::size_t{64} << 10;
// Piece in which JPEG markers are searched for: fewer reads against less memory held.
constexpr std::size_t scan_piece_bytes = std::size_t{64} << 10;
// Marker segments, JP2 boxes, TIFF entries, EXR attributes or DICOM elements beyond which a
// header counts as unreadable: real files stay far below, a hostile one would keep us busy.
constexpr std::int64_t max_header_entries = 65536;
// Nesting of DICOM sequences followed before the header counts as unreadable.
constexpr int max_dicom_depth = 16;
// Radiance's reader takes its header with fgets into 128 bytes: a longer line arrives in pieces.
constexpr std::size_t radiance_piece_bytes = 127;
// Decimal numbers in text headers stop growing here, far above any real side, so that products
// of two or three of them cannot overflow.
constexpr std::uint64_t saturated_side = std::uint64_t{1} << 40;

// Random access to a file's bytes, in the file or in memory.
class Source {
public:
    using Read = std::function<std::size_t(std::uint64_t offset, unsigned char* into, std::size_t count)>;

    Source(std::uint64_t size, Read read) : size_(size), read_(std::move(read)) {}

    std::uint64_t size() const { return size_; }

    // Up to `count` bytes from `offset`; fewer at the end of the data.
    Bytes read(std::uint64_t offset, std::size_t count) const
    {
        if (offset >= size_)
            return {};
        Bytes bytes(static_cast<std::size_t>(std::min<std::uint64_t>(count, size_ - offset)));
        bytes.resize(read_(offset, bytes.data(), bytes.size()));
        return bytes;
    }

    // Exactly `count` bytes from `offset`, or none.
    Bytes exactly(std::uint64_t offset, std::size_t count) const
    {
        Bytes bytes = read(offset, count);
        return bytes.size() == count ? bytes : Bytes{};
    }

private:
    std::uint64_t size_;
    Read read_;
};

// Reads a source forward, a piece at a time.
class Reader {
public:
    Reader(const Source& source, std::uint64_t at) : source_(source), at_(at) {}

    std::optional<unsigned> byte()
    {
        if (at_ < start_ || at_ - start_ >= piece_.size()) {
            start_ = at_;
            piece_ = source_.read(at_, scan_piece_bytes);
            if (piece_.empty())
                return std::nullopt;
        }
        return piece_[static_cast<std::size_t>(at_++ - start_)];
    }

    std::optional<std::uint64_t> big_endian(int size)
    {
        std::uint64_t value = 0;
        for (int i = 0; i < size; ++i) {
            const auto next = byte();
            if (!next)
                return std::nullopt;
            value = value << 8 | *next;
        }
        return value;
    }

    std::uint64_t at() const { return at_; }
    void seek(std::uint64_t at) { at_ = at; }

private:
    const Source& source_;
    std::uint64_t at_;
    std::uint64_t start_ = 0;
    Bytes piece_;
};

std::uint64_t unsigned_at(const Bytes& bytes, std::size_t at, std::size_t size, bool big_endian)
{
    std::uint64_t value = 0;
    for (std::size_t i = 0; i < size; ++i) {
        const std::size_t shift = 8 * (big_endian ? size - 1 - i : i);
        value |= static_cast<std::uint64_t>(bytes[at + i]) << shift;
    }
    return value;
}

std::uint64_t be32(const Bytes& b, std::size_t at) { return unsigned_at(b, at, 4, true); }
std::uint64_t le16(const Bytes& b, std::size_t at) { return unsigned_at(b, at, 2, false); }
std::uint64_t le24(const Bytes& b, std::size_t at) { return unsigned_at(b, at, 3, false); }
std::uint64_t le32(const Bytes& b, std::size_t at) { return unsigned_at(b, at, 4, false); }

std::int64_t signed_le32(const Bytes& b, std::size_t at) { return static_cast<std::int32_t>(le32(b, at)); }

bool starts_with(const Bytes& bytes, std::string_view signature, std::size_t at = 0)
{
    return bytes.size() >= at + signature.size() &&
           std::memcmp(bytes.data() + at, signature.data(), signature.size()) == 0;
}

// Saturates instead of wrapping, so that a product of hostile sides still reads as too large.
std::uint64_t area(std::uint64_t width, std::uint64_t height)
{
    if (width != 0 && height > std::numeric_limits<std::uint64_t>::max() / width)
        return std::numeric_limits<std::uint64_t>::max();
    return width * height;
}

// Both sizes must be readable, and the larger one counts.
Pixels larger(Pixels a, Pixels b)
{
    if (!a || !b)
        return std::nullopt;
    return std::max(*a, *b);
}

// ---- Text headers ---------------------------------------------------------------------------

bool is_blank(unsigned char c) { return std::isspace(c) != 0; }
bool is_digit(unsigned char c) { return std::isdigit(c) != 0; }

void skip_blanks(const Bytes& text, std::size_t& at)
{
    while (at < text.size() && is_blank(text[at]))
        ++at;
}

// Where the line holding `at` ends: at its newline, or at the end of the text.
std::size_t line_end(const Bytes& text, std::size_t at)
{
    return static_cast<std::size_t>(std::find(text.begin() + static_cast<std::ptrdiff_t>(at), text.end(), '\n') - text.begin());
}

// The decimal number at `at`, which moves past it; none without a digit.
Pixels decimal(const Bytes& text, std::size_t& at)
{
    const std::size_t first = at;
    std::uint64_t value = 0;
    for (; at < text.size() && is_digit(text[at]); ++at)
        value = std::min(value * 10 + (text[at] - '0'), saturated_side);
    if (at == first)
        return std::nullopt;
    return value;
}

// PBM, PGM, PPM and PFM: width and height are the first two numbers after the magic, between
// blanks and comments.
Pixels pnm_pixels(const Bytes& head)
{
    std::uint64_t sides[2] = {0, 0};
    std::size_t at = 2;
    for (std::uint64_t& side : sides) {
        while (at < head.size() && (is_blank(head[at]) || head[at] == '#')) {
            if (head[at] == '#')
                at = line_end(head, at);
            else
                ++at;
        }
        const Pixels number = decimal(head, at);
        if (!number)
            return std::nullopt;
        side = *number;
    }
    return area(sides[0], sides[1]);
}

// PAM: "WIDTH n" and "HEIGHT n" lines up to ENDHDR; a field given twice counts at its larger value.
Pixels pam_pixels(const Bytes& head)
{
    std::uint64_t width = 0;
    std::uint64_t height = 0;
    std::size_t at = 2;
    while (at < head.size()) {
        skip_blanks(head, at);
        const std::size_t key = at;
        while (at < head.size() && !is_blank(head[at]))
            ++at;
        const std::string_view field(reinterpret_cast<const char*>(head.data()) + key, at - key);
        if (field == "ENDHDR")
            return width != 0 && height != 0 ? Pixels(area(width, height)) : std::nullopt;
        if (field == "WIDTH" || field == "HEIGHT") {
            skip_blanks(head, at);
            const Pixels value = decimal(head, at);
            std::uint64_t& side = field == "WIDTH" ? width : height;
            side = std::max(side, value.value_or(0));
        }
        at = line_end(head, at);
    }
    return std::nullopt;
}

// The resolution piece of a Radiance header, as sscanf reads "-Y %d +X %d".
Pixels radiance_resolution(const Bytes& piece)
{
    std::uint64_t sides[2] = {0, 0};
    std::size_t at = 0;
    for (const auto& [axis, side] : {std::pair("-Y"sv, &sides[0]), std::pair("+X"sv, &sides[1])}) {
        skip_blanks(piece, at);
        if (!starts_with(piece, axis, at))
            return std::nullopt;
        at += axis.size();
        skip_blanks(piece, at);
        if (at < piece.size() && piece[at] == '+')
            ++at;
        const Pixels number = decimal(piece, at);
        if (!number)
            return std::nullopt;
        *side = *number;
    }
    return area(sides[0], sides[1]);
}

// Radiance HDR: header lines up to a blank one, then the resolution. The header is cut into the
// pieces that Radiance's reader sees, so that both take the same piece for the resolution.
Pixels radiance_pixels(const Bytes& head)
{
    bool header_ended = false;
    for (std::size_t at = 0; at < head.size();) {
        const auto from = head.begin() + static_cast<std::ptrdiff_t>(at);
        const auto limit = head.begin() + static_cast<std::ptrdiff_t>(std::min(head.size(), at + radiance_piece_bytes));
        const auto newline = std::find(from, limit, '\n');
        const auto end = newline == limit ? limit : newline + 1;
        if (header_ended)
            return radiance_resolution(Bytes(from, end));
        if (std::find(from, end, '\0') != end)
            return std::nullopt;
        header_ended = *from == '\n';
        at = static_cast<std::size_t>(end - head.begin());
    }
    return std::nullopt;
}

// ---- Binary headers -------------------------------------------------------------------------

Pixels png_pixels(const Source& source)
{
    const Bytes head = source.exactly(0, 24);
    if (!starts_with(head, "IHDR", 12))
        return std::nullopt;
    return area(be32(head, 16), be32(head, 20));
}

bool is_jpeg_frame_marker(unsigned marker)
{
    return marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 && marker != 0xCC;
}

bool is_jpeg_standalone_marker(unsigned marker) { return marker == 0x01 || (marker >= 0xD0 && marker <= 0xD7); }

// libjpeg's search for the next marker: other bytes before an 0xFF, repeated 0xFF fill bytes and
// stuffed zeros (0xFF 0x00) are passed over.
std::optional<unsigned> next_jpeg_marker(Reader& reader)
{
    for (;;) {
        auto c = reader.byte();
        while (c && *c != 0xFF)
            c = reader.byte();
        while (c && *c == 0xFF)
            c = reader.byte();
        if (!c || *c != 0)
            return c;
    }
}

// True when an end-of-image marker starts at or after `from`. Searched from the end of the file,
// so that a complete file costs one small read even with other data appended to it.
bool jpeg_end_marker_from(const Source& source, std::uint64_t from)
{
    for (std::uint64_t end = source.size(); end >= from + 2;) {
        const std::uint64_t start = std::max(from, end - std::min<std::uint64_t>(end, scan_piece_bytes));
        const Bytes piece = source.exactly(start, static_cast<std::size_t>(end - start));
        if (piece.empty())
            return false;
        for (std::size_t i = piece.size() - 1; i > 0; --i)
            if (piece[i - 1] == 0xFF && piece[i] == 0xD9)
                return true;
        end = start + 1; // a marker may straddle two pieces
    }
    return false;
}

// The first frame header's size; thumbnails inside APPn segments are skipped. A stream that
// stops before the end marker that follows its first scan has no trustworthy size: libjpeg pads
// what is missing with grey and only warns.
Pixels jpeg_pixels(const Source& source)
{
    Reader reader(source, 2);
    Pixels pixels;
    for (std::int64_t segments = 0; segments < max_header_entries; ++segments) {
        const auto marker = next_jpeg_marker(reader);
        if (!marker || *marker == 0xD8 || *marker == 0xD9)
            return std::nullopt;
        if (is_jpeg_standalone_marker(*marker))
            continue;
        const auto length = reader.big_endian(2);
        if (!length || *length < 2)
            return std::nullopt;
        const std::uint64_t next = reader.at() + *length - 2;
        if (*marker == 0xDA)
            return pixels && jpeg_end_marker_from(source, next) ? pixels : std::nullopt;
        if (is_jpeg_frame_marker(*marker) && !pixels) {
            reader.seek(reader.at() + 1);
            const auto height = reader.big_endian(2);
            const auto width = reader.big_endian(2);
            if (!height || !width)
                return std::nullopt;
            pixels = area(*width, *height);
        }
        reader.seek(next);
    }
    return std::nullopt;
}

Pixels bmp_pixels(const Source& source)
{
    const Bytes head = source.exactly(0, 26);
    if (head.empty())
        return std::nullopt;
    if (le32(head, 14) == 12)
        return area(le16(head, 18), le16(head, 20));
    const auto magnitude = [](std::int64_t value) { return static_cast<std::uint64_t>(value < 0 ? -value : value); };
    return area(magnitude(signed_le32(head, 18)), magnitude(signed_le32(head, 22)));
}

Pixels webp_pixels(const Source& source)
{
    const Bytes head = source.exactly(0, 30);
    if (head.empty())
        return std::nullopt;
    if (starts_with(head, "VP8 ", 12) && starts_with(head, "\x9D\x01\x2A"sv, 23))
        return area(le16(head, 26) & 0x3FFF, le16(head, 28) & 0x3FFF);
    if (starts_with(head, "VP8L", 12) && head[20] == 0x2F) {
        const std::uint64_t bits = le32(head, 21);
        return area((bits & 0x3FFF) + 1, ((bits >> 14) & 0x3FFF) + 1);
    }
    if (starts_with(head, "VP8X", 12))
        return area(le24(head, 24) + 1, le24(head, 27) + 1);
    return std::nullopt;
}

// The first image directory's width and length; later pages are not read. BigTIFF has 8-byte
// offsets and counts, and a value type of 8 bytes.
Pixels tiff_pixels(const Source& source, bool big_endian, bool big)
{
    const std::size_t word = big ? 8 : 4;
    const std::size_t count_size = big ? 8 : 2;
    const std::size_t entry_size = 4 + 2 * word;
    const auto number = [big_endian](const Bytes& b, std::size_t at, std::size_t size) {
        return unsigned_at(b, at, size, big_endian);
    };
    const Bytes head = source.exactly(0, 2 * word);
    if (head.empty())
        return std::nullopt;
    const std::uint64_t directory = number(head, word, word);
    const Bytes count = source.exactly(directory, count_size);
    if (count.empty() || number(count, 0, count_size) > static_cast<std::uint64_t>(max_header_entries))
        return std::nullopt;
    const auto entry_count = static_cast<std::size_t>(number(count, 0, count_size));
    const Bytes entries = source.exactly(directory + count_size, entry_size * entry_count);
    std::uint64_t sides[2] = {0, 0};
    for (std::size_t at = 0; at + entry_size <= entries.size(); at += entry_size) {
        const std::uint64_t tag = number(entries, at, 2);
        const std::uint64_t type = number(entries, at + 2, 2);
        const std::size_t value_at = at + 4 + word;
        const std::size_t size = type == 3 ? 2 : type == 4 ? 4 : type == 16 && big ? 8 : 0;
        if (tag == 256 || tag == 257)
            sides[tag - 256] = std::max(sides[tag - 256], number(entries, value_at, size));
    }
    if (sides[0] == 0 || sides[1] == 0)
        return std::nullopt;
    return area(sides[0], sides[1]);
}

Pixels sun_raster_pixels(const Source& source)
{
    const Bytes head = source.exactly(0, 12);
    if (head.empty())
        return std::nullopt;
    return area(be32(head, 4), be32(head, 8));
}

// A JPEG 2000 codestream's image size (SIZ) segment follows its start marker: the reference grid
// less the image offset.
Pixels j2k_pixels(const Source& source, std::uint64_t at)
{
    const Bytes siz = source.exactly(at, 24);
    if (!starts_with(siz, "\xFF\x4F\xFF\x51"sv))
        return std::nullopt;
    const std::uint64_t width = be32(siz, 8);
    const std::uint64_t height = be32(siz, 12);
    const std::uint64_t x = be32(siz, 16);
    const std::uint64_t y = be32(siz, 20);
    if (x >= width || y >= height)
        return std::nullopt;
    return area(width - x, height - y);
}

// JP2: top-level boxes up to the codestream box, whose codestream sets the size.
Pixels jp2_pixels(const Source& source)
{
    std::uint64_t at = 0;
    for (std::int64_t boxes = 0; boxes < max_header_entries; ++boxes) {
        const Bytes box = source.exactly(at, 16);
        if (box.empty())
            return std::nullopt;
        const bool extended = be32(box, 0) == 1;
        const std::uint64_t header = extended ? 16 : 8;
        if (starts_with(box, "jp2c", 4))
            return j2k_pixels(source, at + header);
        const std::uint64_t length = extended ? unsigned_at(box, 8, 8, true) : be32(box, 0);
        if (length < header || length > source.size() - at)
            return std::nullopt;
        at += length;
    }
    return std::nullopt;
}

// OpenEXR: attributes "name\0type\0" size value, each header ended by an empty name; a
// multi-part file has one header per part and an empty header after the last. Every part's data
// window (box2i: x and y minimum, x and y maximum) counts.
Pixels exr_pixels(const Source& source)
{
    constexpr std::uint64_t multipart_flag = 0x1000;
    constexpr std::size_t longest_names = std::size_t{2} * 256;
    const Bytes version = source.exactly(4, 4);
    if (version.empty())
        return std::nullopt;
    const bool multipart = (le32(version, 0) & multipart_flag) != 0;
    std::uint64_t at = 8;
    Pixels largest = 0;
    Pixels part;
    bool part_has_attributes = false;
    for (std::int64_t attributes = 0; attributes < max_header_entries; ++attributes) {
        const Bytes head = source.read(at, longest_names + 4);
        const auto name_end = std::find(head.begin(), head.end(), '\0');
        if (name_end == head.begin()) {
            if (!part_has_attributes)
                return largest;
            largest = larger(largest, part);
            if (!multipart || !largest)
                return largest;
            part = std::nullopt;
            part_has_attributes = false;
            at += 1;
            continue;
        }
        const auto type_end = std::find(name_end + (name_end != head.end()), head.end(), '\0');
        if (type_end == head.end() || head.end() - type_end < 5)
            return std::nullopt;
        const auto value_at = static_cast<std::size_t>(type_end - head.begin()) + 1;
        const std::uint64_t size = le32(head, value_at);
        const std::string_view name(reinterpret_cast<const char*>(head.data()), name_end - head.begin());
        if (name == "dataWindow") {
            const Bytes box = source.exactly(at + value_at + 4, 16);
            if (box.empty() || size != 16)
                return std::nullopt;
            const std::int64_t width = signed_le32(box, 8) - signed_le32(box, 0) + 1;
            const std::int64_t height = signed_le32(box, 12) - signed_le32(box, 4) + 1;
            if (width <= 0 || height <= 0)
                return std::nullopt;
            part = area(static_cast<std::uint64_t>(width), static_cast<std::uint64_t>(height));
        }
        part_has_attributes = true;
        at += value_at + 4 + size;
    }
    return std::nullopt;
}

// ---- DICOM ----------------------------------------------------------------------------------

enum class DicomSyntax { explicit_little, implicit_little, explicit_big };

struct DicomElement {
    std::uint32_t tag;
    std::uint64_t length;
    std::uint64_t value_at;
};

constexpr std::uint64_t dicom_undefined_length = 0xFFFFFFFF;
constexpr std::uint32_t dicom_item = 0xFFFEE000;
constexpr std::uint32_t dicom_item_end = 0xFFFEE00D;
constexpr std::uint32_t dicom_sequence_end = 0xFFFEE0DD;
constexpr std::uint32_t dicom_transfer_syntax = 0x00020010;
constexpr std::uint32_t dicom_frames = 0x00280008;
constexpr std::uint32_t dicom_rows = 0x00280010;
constexpr std::uint32_t dicom_columns = 0x00280011;

std::uint32_t dicom_group(std::uint32_t tag) { return tag >> 16; }

// Value representations whose length takes four bytes after two reserved ones.
bool has_long_length(const Bytes& vr)
{
    for (const std::string_view name : {"OB"sv, "OD"sv, "OF"sv, "OL"sv, "OV"sv, "OW"sv, "SQ"sv, "SV"sv, "UC"sv,
                                        "UN"sv, "UR"sv, "UT"sv, "UV"sv})
        if (starts_with(vr, name, 4))
            return true;
    return false;
}

// An element's tag and length; items and delimiters carry no value representation. A value
// representation that is not two capital letters makes the element unreadable.
std::optional<DicomElement> dicom_element(const Source& source, std::uint64_t at, DicomSyntax syntax)
{
    const Bytes head = source.read(at, 12);
    if (head.size() < 8)
        return std::nullopt;
    const bool big_endian = syntax == DicomSyntax::explicit_big;
    const auto number = [&](std::size_t from, std::size_t size) { return unsigned_at(head, from, size, big_endian); };
    const auto tag = static_cast<std::uint32_t>(number(0, 2) << 16 | number(2, 2));
    if (syntax == DicomSyntax::implicit_little || dicom_group(tag) == 0xFFFE)
        return DicomElement{tag, number(4, 4), at + 8};
    if (!std::isupper(head[4]) || !std::isupper(head[5]))
        return std::nullopt;
    if (!has_long_length(head))
        return DicomElement{tag, number(6, 2), at + 8};
    if (head.size() < 12)
        return std::nullopt;
    return DicomElement{tag, number(8, 4), at + 12};
}

// Where the element at `at` ends; a value of undefined length ends with its delimiter, after
// nested items and sequences.
std::optional<std::uint64_t> dicom_element_end(const Source& source, const DicomElement& element,
                                               DicomSyntax syntax, int depth, std::int64_t& budget)
{
    if (element.length != dicom_undefined_length)
        return element.value_at + element.length;
    if (depth > max_dicom_depth)
        return std::nullopt;
    const std::uint32_t delimiter = element.tag == dicom_item ? dicom_item_end : dicom_sequence_end;
    std::uint64_t at = element.value_at;
    while (budget-- > 0) {
        const auto inner = dicom_element(source, at, syntax);
        if (!inner)
            return std::nullopt;
        if (inner->tag == delimiter)
            return inner->value_at;
        const auto end = dicom_element_end(source, *inner, syntax, depth + 1, budget);
        if (!end)
            return std::nullopt;
        at = *end;
    }
    return std::nullopt;
}

std::string dicom_text(const Source& source, const DicomElement& element)
{
    constexpr std::size_t longest_uid = 64;
    const Bytes value = source.read(element.value_at, static_cast<std::size_t>(std::min<std::uint64_t>(element.length, longest_uid)));
    std::string text(value.begin(), value.end());
    while (!text.empty() && (text.back() == '\0' || text.back() == ' '))
        text.pop_back();
    return text;
}

// An integer string: empty means one frame, unreadable means too many.
std::uint64_t dicom_frame_count(const std::string& text)
{
    const Bytes bytes(text.begin(), text.end());
    std::size_t at = 0;
    skip_blanks(bytes, at);
    if (at == bytes.size())
        return 1;
    return std::max<std::uint64_t>(1, decimal(bytes, at).value_or(saturated_side));
}

// The file meta group after the preamble is explicit little-endian and names the transfer syntax
// of the rest; a deflated data set cannot be read without inflating it.
std::optional<std::pair<DicomSyntax, std::uint64_t>> dicom_data_set(const Source& source, std::int64_t& budget)
{
    std::uint64_t at = 132;
    std::string syntax;
    for (; budget > 0; --budget) {
        const auto element = dicom_element(source, at, DicomSyntax::explicit_little);
        if (!element || element->length == dicom_undefined_length)
            return std::nullopt;
        if (dicom_group(element->tag) != 0x0002)
            break;
        if (element->tag == dicom_transfer_syntax)
            syntax = dicom_text(source, *element);
        at = element->value_at + element->length;
    }
    if (syntax == "1.2.840.10008.1.2")
        return std::pair(DicomSyntax::implicit_little, at);
    if (syntax == "1.2.840.10008.1.2.2")
        return std::pair(DicomSyntax::explicit_big, at);
    if (syntax.empty() || syntax == "1.2.840.10008.1.2.1.99")
        return std::nullopt;
    return std::pair(DicomSyntax::explicit_little, at);
}

// Rows times columns times frames, from the image pixel elements, which come in tag order
// before the pixel data.
Pixels dicom_pixels(const Source& source)
{
    std::int64_t budget = max_header_entries;
    const auto data_set = dicom_data_set(source, budget);
    if (!data_set)
        return std::nullopt;
    const auto [syntax, start] = *data_set;
    const bool big_endian = syntax == DicomSyntax::explicit_big;
    std::uint64_t rows = 0;
    std::uint64_t columns = 0;
    std::uint64_t frames = 1;
    for (std::uint64_t at = start; budget-- > 0;) {
        const auto element = dicom_element(source, at, syntax);
        if (!element || dicom_group(element->tag) > 0x0028)
            break;
        if (element->tag == dicom_rows || element->tag == dicom_columns) {
            const Bytes value = source.exactly(element->value_at, 2);
            if (value.empty() || element->length != 2)
                return std::nullopt;
            (element->tag == dicom_rows ? rows : columns) = unsigned_at(value, 0, 2, big_endian);
        } else if (element->tag == dicom_frames) {
            frames = dicom_frame_count(dicom_text(source, *element));
        }
        const auto end = dicom_element_end(source, *element, syntax, 0, budget);
        if (!end)
            return std::nullopt;
        at = *end;
    }
    if (rows == 0 || columns == 0)
        return std::nullopt;
    return area(area(rows, columns), frames);
}

// ---- Formats --------------------------------------------------------------------------------

constexpr std::size_t dicom_magic_at = 128;

// The size by the signature at the start of the file; none when no signature there is known.
std::optional<Pixels> signed_at_start(const Source& source, const Bytes& head)
{
    const auto text = [&source] { return source.read(0, text_header_bytes); };
    if (starts_with(head, "\x89PNG\r\n\x1A\n"sv))
        return png_pixels(source);
    if (starts_with(head, "\xFF\xD8\xFF"sv))
        return jpeg_pixels(source);
    if (starts_with(head, "BM"sv))
        return bmp_pixels(source);
    if (starts_with(head, "RIFF"sv) && starts_with(head, "WEBP"sv, 8))
        return webp_pixels(source);
    if (starts_with(head, "II*\0"sv) || starts_with(head, "MM\0*"sv))
        return tiff_pixels(source, head[0] == 'M', false);
    if (starts_with(head, "II+\0"sv) || starts_with(head, "MM\0+"sv))
        return tiff_pixels(source, head[0] == 'M', true);
    if (head.size() >= 2 && head[0] == 'P' && ((head[1] >= '1' && head[1] <= '6') || head[1] == 'F' || head[1] == 'f'))
        return pnm_pixels(text());
    if (starts_with(head, "P7"sv))
        return pam_pixels(text());
    if (starts_with(head, "\x59\xA6\x6A\x95"sv))
        return sun_raster_pixels(source);
    if (starts_with(head, "#?"sv))
        return radiance_pixels(text());
    if (starts_with(head, "\0\0\0\x0CjP  \r\n\x87\n"sv))
        return jp2_pixels(source);
    if (starts_with(head, "\xFF\x4F\xFF\x51"sv))
        return j2k_pixels(source, 0);
    if (starts_with(head, "\x76\x2F\x31\x01"sv))
        return exr_pixels(source);
    return std::nullopt;
}

// A file signed both at its start and as DICOM may be decoded as either: both sizes must pass.
Pixels declared(const Source& source)
{
    const Bytes head = source.read(0, dicom_magic_at + 4);
    const std::optional<Pixels> at_start = signed_at_start(source, head);
    if (!starts_with(head, "DICM"sv, dicom_magic_at))
        return at_start.value_or(std::nullopt);
    const Pixels dicom = dicom_pixels(source);
    return at_start ? larger(*at_start, dicom) : dicom;
}

} // namespace

std::optional<std::uint64_t> declared_pixels(const std::string& path)
{
    std::ifstream file(path, std::ios::binary | std::ios::ate);
    const std::streamoff size = file ? static_cast<std::streamoff>(file.tellg()) : -1;
    if (size < 0)
        return std::nullopt;
    return declared(Source(static_cast<std::uint64_t>(size), [&file](std::uint64_t offset, unsigned char* into, std::size_t count) {
        file.clear();
        file.seekg(static_cast<std::streamoff>(offset));
        file.read(reinterpret_cast<char*>(into), static_cast<std::streamsize>(count));
        return static_cast<std::size_t>(file.gcount());
    }));
}

bool declares_bilevel_png(const std::string& path)
{
    constexpr std::size_t bit_depth_at = 24;
    constexpr std::size_t colour_type_at = 25;
    std::ifstream file(path, std::ios::binary);
    Bytes head(colour_type_at + 1);
    file.read(reinterpret_cast<char*>(head.data()), static_cast<std::streamsize>(head.size()));
    return file && starts_with(head, "\x89PNG\r\n\x1A\n"sv) && starts_with(head, "IHDR", 12) &&
           head[bit_depth_at] == 1 && head[colour_type_at] == 0;
}

std::optional<std::uint64_t> declared_pixels(const unsigned char* bytes, std::size_t size)
{
    return declared(Source(size, [bytes](std::uint64_t offset, unsigned char* into, std::size_t count) {
        std::copy_n(bytes + offset, count, into);
        return count;
    }));
}

} // namespace tulo::detail
