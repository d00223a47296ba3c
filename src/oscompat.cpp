#include "oscompat.h"

#include <cerrno>
#include <cstdarg>
#include <cstdlib>
#include <cstring>

#include "vorn.h"

static void verr_common(bool with_errno, const char *fmt, va_list ap)
{
	int saved = errno;

	fprintf(stderr, "%s: ", __progname);
	if (fmt) {
		vfprintf(stderr, fmt, ap);
		if (with_errno)
			fputs(": ", stderr);
	}
	if (with_errno)
		fprintf(stderr, "%s\n", strerror(saved));
	else
		fputs("\n", stderr);
}

extern "C" void err(int eval, const char *fmt, ...)
{
	va_list ap;

	va_start(ap, fmt);
	verr_common(true, fmt, ap);
	va_end(ap);
	exit(eval);
}

extern "C" void errx(int eval, const char *fmt, ...)
{
	va_list ap;

	va_start(ap, fmt);
	verr_common(false, fmt, ap);
	va_end(ap);
	exit(eval);
}

extern "C" void warn(const char *fmt, ...)
{
	va_list ap;

	va_start(ap, fmt);
	verr_common(true, fmt, ap);
	va_end(ap);
}

extern "C" void warnx(const char *fmt, ...)
{
	va_list ap;

	va_start(ap, fmt);
	verr_common(false, fmt, ap);
	va_end(ap);
}

void timeradd(const struct timeval *a, const struct timeval *b, struct timeval *result)
{
	long sec = a->tv_sec + b->tv_sec;
	long usec = a->tv_usec + b->tv_usec;

	if (usec > 999999) {
		sec += 1;
		usec -= 1000000;
	}
	result->tv_sec = sec;
	result->tv_usec = usec;
}
