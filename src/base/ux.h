// Console output: messages, the progress line, and the per-thread prefix that
// names a device when several are dumped at once.
#pragma once
#include <cstdint>
#include <cstdio>

#include "printf_attr.h"

void ux_init(void);
void ux_err(const char *fmt, ...) VORN_PRINTF(1, 2);
void ux_info(const char *fmt, ...) VORN_PRINTF(1, 2);
void ux_log(const char *fmt, ...) VORN_PRINTF(1, 2);
void ux_debug(const char *fmt, ...) VORN_PRINTF(1, 2);
void ux_progress(const char *fmt, uint32_t value, uint32_t max, ...)
	VORN_PRINTF(1, 4);
// The clock read by the progress line's rate limit; null restores the wall
// clock.
struct timeval;
void ux_set_clock(void (*clock)(struct timeval *now));
// Writes text whole under the console lock, each line led by this thread's
// prefix.
void ux_emit(FILE *out, const char *text);
// Names the device in every line this thread prints ("" or null: none).
void ux_set_thread_prefix(const char *prefix);
// No progress bar: one line per region instead (for dumps running at once).
void ux_set_line_mode(bool on);

// The program's name for messages, and the switch that turns debug output
// on: the front end owns both and hands them over at start-up. Until then the
// name is "duruvev" and debug output is off.
void ux_set_program(const char *name, const bool *debug);
const char *ux_program_name(void);
bool ux_debug_on(void);
