#pragma once
// The benchmarks' pages and scenes come from the shared test pictures; the seed and resolutions
// the skew tables were measured at are fixed here.

#include "pictures/page.hpp"
#include "pictures/scene.hpp"

#include <array>

namespace tulo_bench {

using tulo::pictures::describe;
using tulo::pictures::Layout;
using tulo::pictures::page_cases;
using tulo::pictures::PageCase;
using tulo::pictures::PixelFormat;
using tulo::pictures::render_page;
using tulo::pictures::render_scene;
using tulo::pictures::scene_kinds;
using tulo::pictures::SceneKind;
using tulo::pictures::Wear;

/** The seed of the skew benchmarks' pages and scenes, fixed so that every run sees the same ones. */
constexpr unsigned page_seed = 20261209;
/** The resolutions the skew estimate is measured at. */
constexpr std::array<int, 3> page_dpis{150, 300, 600};

} // namespace tulo_bench
