// POSIX side of the OS services in oscompat.h.
#include "oscompat.h"

#include <cerrno>
#include <cstring>
#include <string>
#include <sys/ioctl.h>
#include <sys/statvfs.h>
#include <time.h>

int os_console_width(void)
{
	struct winsize ws;

	if (!isatty(STDOUT_FILENO))
		return -1;
	if (ioctl(STDOUT_FILENO, TIOCGWINSZ, &ws) != 0 || ws.ws_col == 0)
		return -1;
	return ws.ws_col;
}

void os_sleep_ms(unsigned ms)
{
	struct timespec ts;

	ts.tv_sec = ms / 1000;
	ts.tv_nsec = static_cast<long>(ms % 1000) * 1000000L;
	while (nanosleep(&ts, &ts) != 0 && errno == EINTR)
		;
}

static int make_dirs(const std::string &dir)
{
	std::string partial;
	size_t pos = 0;

	while (pos <= dir.size()) {
		size_t slash = dir.find('/', pos);
		if (slash == std::string::npos)
			slash = dir.size();
		partial = dir.substr(0, slash);
		pos = slash + 1;
		if (partial.empty())
			continue;
		if (mkdir(partial.c_str(), 0755) != 0 && errno != EEXIST)
			return -1;
	}
	return 0;
}

int os_prepare_output_dir(const char *dir)
{
	struct stat st;

	if (dir[0] != '\0' && make_dirs(dir) != 0)
		return -1;
	const char *path = dir[0] != '\0' ? dir : "/";
	if (stat(path, &st) != 0)
		return -1;
	if (!S_ISDIR(st.st_mode)) {
		errno = ENOTDIR;
		return -1;
	}
	// access() sees a read-only mount, but not a file system that cannot
	// take a new file (out of inodes, say) although it is writable: only
	// creating one tells, so create and remove a probe file.
	std::string probe = std::string(dir) + "/.duruvev-probe-XXXXXX";
	int fd = mkstemp(probe.data());
	if (fd < 0)
		return -1;
	close(fd);
	unlink(probe.c_str());
	return 0;
}

int os_open_trunc(const char *path)
{
	return open(path, O_WRONLY | O_CREAT | O_TRUNC | O_BINARY | O_CLOEXEC, 0644);
}

int os_open_read(const char *path)
{
	return open(path, O_RDONLY | O_BINARY | O_CLOEXEC);
}

int os_sync_fd(int fd)
{
	while (fdatasync(fd) != 0) {
		if (errno != EINTR)
			return -1;
	}
	return 0;
}

int os_sync_dir(const char *dir)
{
	int fd = open(dir[0] != '\0' ? dir : "/", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
	if (fd < 0)
		return -1;
	int rc;
	while ((rc = fsync(fd)) != 0 && errno == EINTR)
		;
	// Some file systems cannot sync a directory; their entries are as
	// durable as they get.
	if (rc != 0 && (errno == EINVAL || errno == EROFS))
		rc = 0;
	int saved = errno;
	close(fd);
	errno = saved;
	return rc;
}

int os_free_space(const char *dir, uint64_t *bytes)
{
	struct statvfs st;

	if (statvfs(dir[0] != '\0' ? dir : "/", &st) != 0)
		return -1;
	*bytes = static_cast<uint64_t>(st.f_bavail) * st.f_frsize;
	return 0;
}
