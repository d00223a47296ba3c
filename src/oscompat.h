// Error reports prefixed with the program name, the time-value sum, and the
// few operating-system services the portable modules need. The OS side lives
// in oscompat_posix.cpp and oscompat_win.cpp.
#pragma once
#include <cstdint>
#include <cstdio>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <sys/time.h>
#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>
#endif

#include "vorn.h"

#ifndef O_BINARY
#define O_BINARY 0
#endif

// The platform may provide timeradd as a macro; ours is a function.
#ifdef timeradd
#undef timeradd
#endif

extern "C" {
[[noreturn]] void err(int eval, const char *fmt, ...) VORN_PRINTF(2, 3);
[[noreturn]] void errx(int eval, const char *fmt, ...) VORN_PRINTF(2, 3);
void warn(const char *fmt, ...) VORN_PRINTF(1, 2);
void warnx(const char *fmt, ...) VORN_PRINTF(1, 2);
}
void timeradd(const struct timeval *a, const struct timeval *b, struct timeval *result);

// Visible width in columns of the console behind standard output, or -1 when
// standard output is not a console.
int os_console_width(void);

void os_sleep_ms(unsigned ms);

// Creates dir and its missing parents (mode 0755 before the umask) and checks
// that files can be created in it. Returns 0, or -1 with errno set.
int os_prepare_output_dir(const char *dir);

// Opens path for writing, truncating it, creating it with mode 0644.
// Returns a descriptor or -1 with errno set.
int os_open_trunc(const char *path);

// Opens path read-only without newline translation.
int os_open_read(const char *path);

// Forces the data of an open file to stable storage. Returns 0, or -1 with
// errno set.
int os_sync_fd(int fd);

// Makes the directory's entries (files created in it) durable. Returns 0, or
// -1 with errno set.
int os_sync_dir(const char *dir);

// Bytes free to this user on the file system that holds dir. Returns 0 and
// sets *bytes, or -1 with errno set.
int os_free_space(const char *dir, uint64_t *bytes);
