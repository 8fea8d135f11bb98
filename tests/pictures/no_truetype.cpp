// Built when FreeType is not installed: the Hershey pages, scenes and photographs still work.
#include "truetype.hpp"

#include <stdexcept>

namespace tulo::pictures::truetype {

namespace {

[[noreturn]] void unavailable()
{
    throw std::runtime_error("tulo_pictures was built without FreeType (libfreetype-dev): TrueType faces are unavailable");
}

} // namespace

int width(Face, int, const std::string&)
{
    unavailable();
}

void draw(cv::Mat&, Face, int, const std::string&, cv::Point, uchar)
{
    unavailable();
}

} // namespace tulo::pictures::truetype
