#include <tulo/MatManip.hpp>
