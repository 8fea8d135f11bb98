#include "pictures/scene.hpp"
#include "pictures/photo.hpp"

#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <array>

namespace tulo::pictures {

namespace {

cv::Mat blank_sheet(cv::Size size, cv::RNG& rng)
{
    cv::Mat sheet(size, CV_8UC3, cv::Scalar(rng.uniform(200, 256), rng.uniform(200, 256), rng.uniform(200, 256)));
    add_grain(sheet, 3.0, rng);
    return sheet;
}

// Noise at several scales summed: a rough, natural-looking surface.
cv::Mat texture(cv::Size size, cv::RNG& rng)
{
    cv::Mat sum(size, CV_32FC3, cv::Scalar::all(128));
    for (int cells = 8; cells <= std::max(8, size.width / 2); cells *= 2) {
        cv::Mat layer(std::max(1, cells * size.height / size.width), cells, CV_32FC3);
        rng.fill(layer, cv::RNG::NORMAL, 0, 40.0);
        cv::resize(layer, layer, size, 0.0, 0.0, cv::INTER_CUBIC);
        sum += layer;
    }
    cv::Mat image;
    sum.convertTo(image, CV_8U);
    return image;
}

} // namespace

cv::Mat render_scene(SceneKind kind, cv::Size size, unsigned seed)
{
    cv::RNG rng(seed);
    cv::Mat image(size, CV_8UC3);
    switch (kind) {
    case SceneKind::blank:
        return blank_sheet(size, rng);
    case SceneKind::noise:
        rng.fill(image, cv::RNG::UNIFORM, 0, 256);
        return image;
    case SceneKind::gradient: {
        cv::Mat grid(2, 3, CV_8UC3);
        rng.fill(grid, cv::RNG::UNIFORM, 0, 256);
        cv::resize(grid, image, size, 0.0, 0.0, cv::INTER_LINEAR);
        return image;
    }
    case SceneKind::shapes:
        return landscape(size, rng);
    case SceneKind::texture:
        return texture(size, rng);
    case SceneKind::landscape:
        return landscape(size, rng, true);
    }
    return image;
}

std::vector<SceneKind> scene_kinds()
{
    return {SceneKind::blank, SceneKind::noise, SceneKind::gradient, SceneKind::shapes, SceneKind::texture,
            SceneKind::landscape};
}

std::string describe(SceneKind kind)
{
    static const std::array<const char*, 6> names{"blank", "noise", "gradient", "shapes", "texture", "landscape"};
    return names[static_cast<std::size_t>(kind)];
}

} // namespace tulo::pictures
