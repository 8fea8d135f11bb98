#include <tulo/KMeans.hpp>
