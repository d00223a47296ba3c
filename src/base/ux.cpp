// Console messages and the one-line progress bar.
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <sys/time.h>

#include <libxml/xmlerror.h>

#include "oscompat.h"
#include "ux.h"
#include "visible.h"

static uint32_t ux_width;
static uint32_t ux_cur_line_length;

// Several dumps may run at once, each on a thread of its own, and the
// messages come from deep inside the engine and the back-ends, which know
// nothing of the dump they serve. So the device's name travels with the
// thread, and every message goes out whole under one lock.
static thread_local std::string ux_prefix;
static bool ux_line_mode;
static std::mutex ux_lock;

void ux_set_thread_prefix(const char *prefix)
{
	ux_prefix = prefix ? prefix : "";
}

void ux_set_line_mode(bool on)
{
	ux_line_mode = on;
}

// Text with its control bytes (those of a device's serial number or file
// names among them) made visible, so that none acts on the terminal; only
// line ends and tabs stay.
static std::string ux_visible(const char *text, size_t len)
{
	std::string out;
	text_append_visible(out, text, len, "\n\t");
	return out;
}

void ux_emit(FILE *out, const char *text)
{
	std::lock_guard<std::mutex> hold(ux_lock);
	std::string lines;
	if (ux_prefix.empty()) {
		lines = ux_visible(text, strlen(text));
	} else {
		for (const char *p = text; *p;) {
			const char *nl = strchr(p, '\n');
			size_t len = nl ? static_cast<size_t>(nl - p) + 1 : strlen(p);
			lines += ux_prefix;
			lines += ux_visible(p, len);
			p += len;
		}
		if (!lines.empty() && lines.back() != '\n')
			lines += '\n';
	}
	fputs(lines.c_str(), out);
	fflush(out);
}

static void ux_vemit(FILE *out, const char *fmt, va_list ap)
{
	char small[512];
	va_list again;

	va_copy(again, ap);
	int n = vsnprintf(small, sizeof(small), fmt, ap);
	if (n < 0) {
		va_end(again);
		return;
	}
	if (static_cast<size_t>(n) < sizeof(small)) {
		ux_emit(out, small);
	} else {
		std::string big(static_cast<size_t>(n) + 1, '\0');
		vsnprintf(big.data(), big.size(), fmt, again);
		ux_emit(out, big.c_str());
	}
	va_end(again);
}

static void ux_wall_clock(struct timeval *now)
{
	gettimeofday(now, nullptr);
}

// Tests replace the clock so that the rate limit can be checked to the
// microsecond without waiting.
static void (*ux_clock)(struct timeval *now) = ux_wall_clock;

void ux_set_clock(void (*clock)(struct timeval *now))
{
	ux_clock = clock ? clock : ux_wall_clock;
}

static const char progress_hashes[] =
	"################################################################################";
static const char progress_dashes[] =
	"--------------------------------------------------------------------------------";

static void ux_clear_line(void)
{
	if (ux_cur_line_length == 0)
		return;
	printf("%*s\r", static_cast<int>(ux_cur_line_length), "");
	fflush(stdout);
	ux_cur_line_length = 0;
}

static void ux_xml_error_handler(void *ctx, xmlErrorPtr error)
{
	(void)ctx;
	if (!error || error->level == XML_ERR_NONE)
		return;

	const char *level = error->level == XML_ERR_WARNING ? "warning"
			    : error->level == XML_ERR_ERROR ? "error"
							     : "fatal";
	if (error->file)
		ux_err("libxml2 %s: %s:%d: %s", level, error->file, error->line, error->message);
	else
		ux_err("libxml2 %s: %s", level, error->message);
}

void ux_init(void)
{
	int cols = os_console_width();

	if (cols > 0)
		ux_width = cols > 80 ? 80 : static_cast<uint32_t>(cols);
	xmlSetStructuredErrorFunc(nullptr, ux_xml_error_handler);
}

void ux_err(const char *fmt, ...)
{
	va_list ap;

	ux_clear_line();
	va_start(ap, fmt);
	ux_vemit(stderr, fmt, ap);
	va_end(ap);
}

void ux_info(const char *fmt, ...)
{
	va_list ap;

	ux_clear_line();
	va_start(ap, fmt);
	ux_vemit(stdout, fmt, ap);
	va_end(ap);
}

// ux_log and ux_debug are two names for the same thing: lines shown only
// with the debug switch on.
static void ux_vdebug(const char *fmt, va_list ap)
{
	if (!ux_debug_on())
		return;
	ux_clear_line();
	ux_vemit(stdout, fmt, ap);
}

void ux_log(const char *fmt, ...)
{
	va_list ap;

	va_start(ap, fmt);
	ux_vdebug(fmt, ap);
	va_end(ap);
}

void ux_debug(const char *fmt, ...)
{
	va_list ap;

	va_start(ap, fmt);
	ux_vdebug(fmt, ap);
	va_end(ap);
}

void ux_progress(const char *fmt, uint32_t value, uint32_t max, ...)
{
	static struct timeval last_progress_update;
	struct timeval now;
	char task_name[32];
	va_list ap;

	// Several dumps at once cannot share one bar: each says one line per
	// region instead.
	if (ux_width < 30 || ux_line_mode)
		return;

	if (last_progress_update.tv_sec != 0) {
		ux_clock(&now);
		unsigned long elapsed_us =
			static_cast<unsigned long>((now.tv_sec - last_progress_update.tv_sec) * 1000000L +
						   now.tv_usec - last_progress_update.tv_usec);
		if (elapsed_us <= 99999)
			return;
	}

	if (value > max)
		value = max;

	va_start(ap, max);
	vsnprintf(task_name, sizeof(task_name), fmt, ap);
	va_end(ap);

	uint32_t bar_length = ux_width - 30;
	uint32_t bars;
	float percent;
	if (max == 0) {
		// Nothing to transfer counts as done: a full bar and 100.00%.
		percent = 1.0f;
		bars = bar_length;
	} else {
		percent = static_cast<float>(value) / static_cast<float>(max);
		bars = static_cast<uint32_t>(percent * static_cast<float>(bar_length));
	}
	uint32_t dashes = bar_length - bars;

	int n = printf("%-20.20s [%.*s%.*s] %1.2f%%", task_name, static_cast<int>(bars), progress_hashes,
		       static_cast<int>(dashes), progress_dashes, static_cast<double>(percent * 100.0f));
	ux_cur_line_length = n > 0 ? static_cast<uint32_t>(n) : 0;
	fputc('\r', stdout);
	fflush(stdout);
	ux_clock(&last_progress_update);
}

static const char *program_name = "duruvev";
static const bool *debug_switch = nullptr;

void ux_set_program(const char *name, const bool *debug)
{
	program_name = name ? name : "duruvev";
	debug_switch = debug;
}

const char *ux_program_name(void)
{
	return program_name;
}

bool ux_debug_on(void)
{
	return debug_switch && *debug_switch;
}
