#pragma once
// Images without rows of text, for checking that nothing is found in them.

#include <opencv2/core.hpp>

#include <string>
#include <vector>

namespace tulo::pictures {

/** Kinds of picture without text: a blank sheet of paper, uniform noise, a smooth gradient, soft
 *  shapes, a rough natural texture and a landscape with a sky. */
enum class SceneKind { blank, noise, gradient, shapes, texture, landscape };

/** @brief A deterministic 8-bit BGR image of the kind; the same seed gives the same pixels. */
cv::Mat render_scene(SceneKind kind, cv::Size size, unsigned seed);

/** @brief All scene kinds, for loops. */
std::vector<SceneKind> scene_kinds();

/** @brief The kind's short name, e.g. "landscape". */
std::string describe(SceneKind kind);

} // namespace tulo::pictures
