#pragma once

// Which sanitizers the including file is built with, under GCC (__SANITIZE_*__) and under clang
// (__has_feature): 1 or 0. For the tool's and the tests' settings; the library itself needs none.
#if defined(__has_feature)
#define TULO_HAS_FEATURE(feature) __has_feature(feature)
#else
#define TULO_HAS_FEATURE(feature) 0
#endif

#if defined(__SANITIZE_ADDRESS__) || TULO_HAS_FEATURE(address_sanitizer)
#define TULO_ADDRESS_SANITIZER 1
#else
#define TULO_ADDRESS_SANITIZER 0
#endif

#if defined(__SANITIZE_THREAD__) || TULO_HAS_FEATURE(thread_sanitizer)
#define TULO_THREAD_SANITIZER 1
#else
#define TULO_THREAD_SANITIZER 0
#endif
