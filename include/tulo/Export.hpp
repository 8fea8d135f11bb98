#pragma once

// The library is built with hidden visibility; only what carries this macro is exported.
#define TULO_API __attribute__((visibility("default")))
