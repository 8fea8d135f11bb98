#pragma once

#include <string>
#include <vector>

namespace opsira {

/** @brief The bundled sample images: the installed samples next to the executable's prefix, or
 *         else the source tree's data directory; empty when neither is found. */
std::vector<std::string> sample_images();

} // namespace opsira
