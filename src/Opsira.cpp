#include <tulo/Opsira.hpp>
