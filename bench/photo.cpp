#include "photo.hpp"

#include <map>

namespace tulo_bench {

const std::array<PhotoSize, 3>& photo_sizes()
{
    static const std::array<PhotoSize, 3> sizes{{
        {"0.3MP", cv::Size(640, 480)},
        {"2MP", cv::Size(1920, 1080)},
        {"12MP", cv::Size(4000, 3000)},
    }};
    return sizes;
}

const cv::Mat& photo(std::size_t size_index)
{
    static std::map<std::size_t, cv::Mat> drawn;
    cv::Mat& image = drawn[size_index];
    if (image.empty())
        image = make_photo(photo_sizes().at(size_index).size, photo_seed);
    return image;
}

} // namespace tulo_bench
