#include <tulo/Intervals.hpp>
