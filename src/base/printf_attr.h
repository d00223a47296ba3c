// The format check of printf-style functions.
#pragma once

// Message functions take GNU printf formats (%zu, %llu): mingw builds use the
// GNU-conforming printf family, not the Microsoft one.
#ifdef __MINGW32__
#define VORN_PRINTF(fmt, args) __attribute__((format(gnu_printf, fmt, args)))
#else
#define VORN_PRINTF(fmt, args) __attribute__((format(printf, fmt, args)))
#endif
