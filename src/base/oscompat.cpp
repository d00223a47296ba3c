#include "oscompat.h"

#include <cerrno>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "ux.h"

static void verr_common(bool with_errno, const char *fmt, va_list ap)
{
	int saved = errno;
	std::string line = std::string(ux_program_name()) + ": ";

	if (fmt) {
		char msg[1024];
		vsnprintf(msg, sizeof(msg), fmt, ap);
		line += msg;
		if (with_errno)
			line += ": ";
	}
	if (with_errno)
		line += os_strerror(saved);
	line += "\n";
	// One write of the whole line, so that lines of dumps running at once
	// do not mix.
	ux_emit(stderr, line.c_str());
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

// The POSIX additions in the Windows C runtime's numbering (mingw-w64
// errno.h); msvcrt's strerror calls each of them "Unknown error". The texts
// are glibc's.
const char *os_win_errno_text(int errnum)
{
	static const struct {
		int num;
		const char *text;
	} texts[] = {
		{100, "Address already in use"},
		{101, "Cannot assign requested address"},
		{102, "Address family not supported by protocol"},
		{103, "Operation already in progress"},
		{104, "Bad message"},
		{105, "Operation canceled"},
		{106, "Software caused connection abort"},
		{107, "Connection refused"},
		{108, "Connection reset by peer"},
		{109, "Destination address required"},
		{110, "No route to host"},
		{111, "Identifier removed"},
		{112, "Operation now in progress"},
		{113, "Transport endpoint is already connected"},
		{114, "Too many levels of symbolic links"},
		{115, "Message too long"},
		{116, "Network is down"},
		{117, "Network dropped connection on reset"},
		{118, "Network is unreachable"},
		{119, "No buffer space available"},
		{120, "No data available"},
		{121, "Link has been severed"},
		{122, "No message of desired type"},
		{123, "Protocol not available"},
		{124, "Out of streams resources"},
		{125, "Device not a stream"},
		{126, "Transport endpoint is not connected"},
		{127, "State not recoverable"},
		{128, "Socket operation on non-socket"},
		{129, "Operation not supported"},
		{130, "Operation not supported on socket"},
		{132, "Value too large for defined data type"},
		{133, "Owner died"},
		{134, "Protocol error"},
		{135, "Protocol not supported"},
		{136, "Protocol wrong type for socket"},
		{137, "Timer expired"},
		{138, "Connection timed out"},
		{139, "Text file busy"},
		{140, "Operation would block"},
	};
	for (const auto &t : texts)
		if (t.num == errnum)
			return t.text;
	return nullptr;
}

const char *os_strerror(int errnum)
{
#ifdef _WIN32
	if (const char *text = os_win_errno_text(errnum))
		return text;
#endif
	return strerror(errnum);
}

static bool os_is_sep(char c)
{
	return c == '\\' || c == '/';
}

static bool os_is_drive_letter(char c)
{
	return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

size_t os_win_path_root_len(const char *path)
{
	size_t n = strlen(path);
	// The end of the component that starts at i.
	auto component_end = [&](size_t i) {
		while (i < n && !os_is_sep(path[i]))
			i++;
		return i;
	};
	// A root takes the separator that follows it.
	auto with_sep = [&](size_t i) { return i < n && os_is_sep(path[i]) ? i + 1 : i; };

	if (n >= 2 && os_is_sep(path[0]) && os_is_sep(path[1])) {
		if (n >= 4 && (path[2] == '?' || path[2] == '.') && os_is_sep(path[3])) {
			// \\?\C:\ and \\?\UNC\server\share\; any other name
			// after the prefix is a device or volume, itself a root.
			if (n >= 6 && os_is_drive_letter(path[4]) && path[5] == ':')
				return with_sep(6);
			if (n >= 8 && (path[4] == 'U' || path[4] == 'u') && (path[5] == 'N' || path[5] == 'n') &&
			    (path[6] == 'C' || path[6] == 'c') && os_is_sep(path[7])) {
				size_t share = component_end(8);
				return with_sep(share < n ? component_end(share + 1) : share);
			}
			return with_sep(component_end(4));
		}
		// \\server\share
		size_t server = component_end(2);
		return with_sep(server < n ? component_end(server + 1) : server);
	}
	if (n >= 2 && os_is_drive_letter(path[0]) && path[1] == ':')
		return with_sep(2);
	if (n >= 1 && os_is_sep(path[0]))
		return 1;
	return 0;
}

std::vector<std::string> os_win_dirs_below_root(const char *path)
{
	std::vector<std::string> dirs;
	std::string p(path);
	size_t pos = os_win_path_root_len(path);
	while (pos < p.size()) {
		size_t sep = p.find_first_of("/\\", pos);
		if (sep == std::string::npos)
			sep = p.size();
		// Doubled separators make no empty directory name.
		if (sep > pos)
			dirs.push_back(p.substr(0, sep));
		pos = sep + 1;
	}
	return dirs;
}

std::string os_path_join_for(const char *dir, const char *name, bool windows)
{
	std::string d(dir);
	char sep = '/';
	if (windows) {
		bool backslash = d.find('\\') != std::string::npos;
		bool slash = d.find('/') != std::string::npos;
		if (backslash || !slash) {
			sep = '\\';
			for (char &c : d)
				if (c == '/')
					c = '\\';
		}
	}
	bool bare_drive = windows && d.size() == 2 && os_is_drive_letter(d[0]) && d[1] == ':';
	if (!d.empty() && (d.back() == sep || bare_drive))
		return d + name;
	return d + sep + name;
}

std::string os_path_join(const char *dir, const char *name)
{
#ifdef _WIN32
	return os_path_join_for(dir, name, true);
#else
	return os_path_join_for(dir, name, false);
#endif
}

int64_t os_read(int fd, void *buf, size_t len)
{
	// The Windows runtime counts in unsigned int.
	if (len > (1u << 30))
		len = 1u << 30;
	for (;;) {
#ifdef _WIN32
		int64_t n = _read(fd, buf, static_cast<unsigned int>(len));
#else
		int64_t n = ::read(fd, buf, len);
#endif
		if (n >= 0 || errno != EINTR)
			return n;
	}
}

bool os_write_all(int fd, const void *buf, size_t len)
{
	const char *p = static_cast<const char *>(buf);
	while (len > 0) {
		size_t chunk = len > (1u << 30) ? (1u << 30) : len;
#ifdef _WIN32
		int64_t w = _write(fd, p, static_cast<unsigned int>(chunk));
#else
		int64_t w = ::write(fd, p, chunk);
#endif
		if (w < 0 && errno == EINTR)
			continue;
		if (w <= 0) {
			if (w == 0)
				errno = ENOSPC;
			return false;
		}
		p += w;
		len -= static_cast<size_t>(w);
	}
	return true;
}

int os_read_small(int fd, size_t max, std::string &text)
{
	text.clear();
	char buf[4096];
	for (;;) {
		int64_t n = os_read(fd, buf, sizeof(buf));
		if (n < 0)
			return -1;
		if (n == 0)
			return 0;
		if (static_cast<uint64_t>(n) > max - text.size()) {
			errno = EFBIG;
			return -1;
		}
		text.append(buf, static_cast<size_t>(n));
	}
}

int os_dir_replace_file(os_dir_handle dir, const char *name, const char *tmp, const void *data, size_t len, bool sync)
{
	// A handle makes only new files: a leftover of a crash goes first.
	if (os_dir_remove(dir, tmp) != 0 && errno != ENOENT)
		return -1;
	os_fd out(os_dir_create_file(dir, tmp));
	if (out.fd < 0)
		return -1;
	if (!os_write_all(out.fd, data, len) || (sync && os_sync_fd(out.fd) != 0) || out.close() != 0) {
		int saved = errno;
		// Closed first, as Windows removes no open file.
		if (out.fd >= 0)
			out.close();
		os_dir_remove(dir, tmp);
		errno = saved;
		return -1;
	}
	if (os_dir_rename(dir, tmp, name) != 0)
		return -1;
	return sync ? os_dir_sync(dir) : 0;
}

int os_dir_read_small(os_dir_handle dir, const char *name, size_t cap, std::string *out)
{
	os_fd f(os_dir_open_read(dir, name));
	if (f.fd < 0)
		return -1;
	// Only a plain file: a FIFO or a device under a listed path could
	// block the reader or never end.
	struct stat st;
	if (fstat(f.fd, &st) != 0)
		return -1;
	if (!S_ISREG(st.st_mode)) {
		errno = EINVAL;
		return -1;
	}
	return os_read_small(f.fd, cap, *out);
}
