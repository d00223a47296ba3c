// POSIX side of the OS services in oscompat.h.
#include "oscompat.h"

#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <memory>
#include <limits>
#include <string>
#include <dirent.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <csignal>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <time.h>
#include <unistd.h>

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

static const char *posix_file_kind(mode_t mode)
{
	if (S_ISDIR(mode))
		return "a directory";
	if (S_ISCHR(mode))
		return "a character device";
	if (S_ISBLK(mode))
		return "a block device";
	if (S_ISFIFO(mode))
		return "a FIFO";
	if (S_ISSOCK(mode))
		return "a socket";
	return "a special file";
}

int os_open_regular(const char *path, const char **kind)
{
	struct stat st;

	*kind = nullptr;
	// Looked at before the open: opening a device can have effects of its
	// own, and a FIFO's open waits for a writer.
	if (stat(path, &st) != 0)
		return -1;
	if (!S_ISREG(st.st_mode)) {
		*kind = posix_file_kind(st.st_mode);
		errno = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
		return -1;
	}
	// Non-blocking and no controlling terminal, in case the path was
	// replaced by something else since the look.
	int fd = open(path, O_RDONLY | O_BINARY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
	if (fd < 0)
		return -1;
	int saved = 0;
	if (fstat(fd, &st) != 0) {
		saved = errno;
	} else if (!S_ISREG(st.st_mode)) {
		*kind = posix_file_kind(st.st_mode);
		saved = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
	}
	if (saved != 0) {
		close(fd);
		errno = saved;
		return -1;
	}
	int flags = fcntl(fd, F_GETFL);
	if (flags >= 0)
		(void)fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
	return fd;
}

void os_start_writeback(int fd, uint64_t offset, uint64_t len)
{
#ifdef SYNC_FILE_RANGE_WRITE
	(void)sync_file_range(fd, static_cast<off_t>(offset), static_cast<off_t>(len), SYNC_FILE_RANGE_WRITE);
#else
	(void)fd;
	(void)offset;
	(void)len;
#endif
}

int os_fd_size(int fd, uint64_t *size)
{
	struct stat st;
	if (fstat(fd, &st) != 0)
		return -1;
	*size = static_cast<uint64_t>(st.st_size);
	return 0;
}

int os_fseek_set(FILE *f, uint64_t off)
{
	if (off > static_cast<uint64_t>(std::numeric_limits<off_t>::max())) {
		errno = EOVERFLOW;
		return -1;
	}
	return fseeko(f, static_cast<off_t>(off), SEEK_SET);
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
	int rc = os_dir_sync(fd);
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

bool os_port_present(const char *path)
{
	return access(path, F_OK) == 0;
}

std::string os_utc_stamp(void)
{
	time_t now = time(nullptr);
	struct tm tm;
	char buf[32];

	gmtime_r(&now, &tm);
	strftime(buf, sizeof(buf), "%Y%m%dT%H%M%SZ", &tm);
	return buf;
}

std::string os_utc_iso(int64_t seconds)
{
	time_t t = static_cast<time_t>(seconds);
	struct tm tm;
	char buf[32];
	if (!gmtime_r(&t, &tm) || strftime(buf, sizeof(buf), "%Y-%m-%dT%H:%M:%SZ", &tm) == 0)
		return "";
	return buf;
}

std::string os_host_name(void)
{
	char name[256] = {};
	if (gethostname(name, sizeof(name) - 1) != 0)
		return "";
	return name;
}

bool os_path_exists(const char *path)
{
	struct stat st;
	return lstat(path, &st) == 0;
}

int os_dir_open(const char *path, os_dir_handle *out)
{
	int fd = open(path[0] != '\0' ? path : "/", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
	if (fd < 0)
		return -1;
	*out = fd;
	return 0;
}

void os_dir_close(os_dir_handle dir)
{
	close(static_cast<int>(dir));
}

int os_dir_make_new(os_dir_handle parent, const char *name, os_dir_handle *out)
{
	int p = static_cast<int>(parent);
	if (mkdirat(p, name, 0755) != 0)
		return -1;
	// Made just now, but another user of the parent could have swapped it
	// for a link since: never follow one.
	int fd = openat(p, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
	if (fd < 0)
		return -1;
	*out = fd;
	return 0;
}

int os_dir_open_in(os_dir_handle parent, const char *name, os_dir_handle *out)
{
	int fd = openat(static_cast<int>(parent), name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
	if (fd < 0)
		return -1;
	*out = fd;
	return 0;
}

int os_dir_rename(os_dir_handle dir, const char *from, const char *to)
{
	return renameat(static_cast<int>(dir), from, static_cast<int>(dir), to);
}

int os_dir_create_file(os_dir_handle dir, const char *name)
{
	return openat(static_cast<int>(dir), name, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
}

int os_dir_open_read(os_dir_handle dir, const char *name)
{
	// Non-blocking, so that a FIFO put in the file's place cannot hold the
	// open; and then refused, as anything else that is no regular file.
	int fd = openat(static_cast<int>(dir), name, O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
	struct stat st;
	if (fd < 0)
		return -1;
	int saved = fstat(fd, &st) != 0 ? errno : S_ISREG(st.st_mode) ? 0 : S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
	if (saved == 0)
		return fd;
	close(fd);
	errno = saved;
	return -1;
}

int os_dir_subdirs(os_dir_handle dir, std::vector<std::string> *names)
{
	// A descriptor of its own: closedir closes it, and the caller's keeps
	// its place.
	int fd = openat(static_cast<int>(dir), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
	if (fd < 0)
		return -1;
	std::unique_ptr<DIR, int (*)(DIR *)> d(fdopendir(fd), closedir);
	if (!d) {
		int e = errno;
		close(fd);
		errno = e;
		return -1;
	}
	std::vector<std::string> found;
	for (;;) {
		errno = 0;
		struct dirent *e = readdir(d.get());
		if (!e)
			break;
		if (strcmp(e->d_name, ".") == 0 || strcmp(e->d_name, "..") == 0)
			continue;
		bool is_dir = e->d_type == DT_DIR;
		struct stat st;
		if (e->d_type == DT_UNKNOWN)
			is_dir = fstatat(fd, e->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(st.st_mode);
		if (is_dir)
			found.push_back(e->d_name);
	}
	if (errno != 0)
		return -1;
	*names = std::move(found);
	return 0;
}

int os_dir_remove(os_dir_handle dir, const char *name)
{
	return unlinkat(static_cast<int>(dir), name, 0);
}

int os_dir_sync(os_dir_handle dir)
{
	int rc;
	while ((rc = fsync(static_cast<int>(dir))) != 0 && errno == EINTR)
		;
	// Some file systems cannot sync a directory; their entries are as
	// durable as they get.
	if (rc != 0 && (errno == EINVAL || errno == EROFS))
		rc = 0;
	return rc;
}

int os_dir_free_space(os_dir_handle dir, uint64_t *bytes)
{
	struct statvfs st;

	if (fstatvfs(static_cast<int>(dir), &st) != 0)
		return -1;
	*bytes = static_cast<uint64_t>(st.f_bavail) * st.f_frsize;
	return 0;
}

std::string os_dir_path(os_dir_handle dir)
{
	// Linux keeps the path of every open descriptor.
	char buf[4096];
	std::string link = "/proc/self/fd/" + std::to_string(dir);
	ssize_t n = readlink(link.c_str(), buf, sizeof(buf) - 1);
	if (n <= 0)
		return {};
	std::string path(buf, static_cast<size_t>(n));
	// A directory removed since is no place to report.
	if (path.size() > 10 && path.compare(path.size() - 10, 10, " (deleted)") == 0)
		return {};
	return path;
}

bool os_dir_at(os_dir_handle dir, const char *path)
{
	struct stat held, now;
	if (fstat(static_cast<int>(dir), &held) != 0 || stat(path[0] != '\0' ? path : "/", &now) != 0)
		return false;
	return held.st_dev == now.st_dev && held.st_ino == now.st_ino;
}

int os_dir_list(os_dir_handle dir, std::vector<std::string> *names)
{
	// A descriptor of its own: closedir closes it, and reads from the start.
	int fd = openat(static_cast<int>(dir), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
	if (fd < 0)
		return -1;
	DIR *d = fdopendir(fd);
	if (!d) {
		close(fd);
		return -1;
	}
	errno = 0;
	for (struct dirent *e; (e = readdir(d)) != nullptr; errno = 0)
		if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0)
			names->push_back(e->d_name);
	int saved = errno;
	closedir(d);
	errno = saved;
	return saved ? -1 : 0;
}

int os_dir_lock(os_dir_handle dir, const char *name, bool wait, os_lock_handle *out)
{
	int fd = openat(static_cast<int>(dir), name, O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY, 0644);
	if (fd < 0)
		return -1;
	// flock, not fcntl: its lock belongs to this open file, so two
	// handles in one process exclude each other too, and closing another
	// descriptor of the file does not drop it.
	int rc;
	while ((rc = flock(fd, LOCK_EX | (wait ? 0 : LOCK_NB))) != 0 && errno == EINTR)
		;
	if (rc != 0) {
		int saved = errno == EAGAIN ? EWOULDBLOCK : errno;
		close(fd);
		errno = saved;
		return -1;
	}
	*out = fd;
	return 0;
}

void os_lock_release(os_lock_handle lock)
{
	if (lock != os_lock_none)
		close(static_cast<int>(lock));
}

static volatile sig_atomic_t os_stop_flag;

static void os_on_stop(int)
{
	os_stop_flag = 1;
}

void os_catch_stop(void)
{
	struct sigaction sa;

	memset(&sa, 0, sizeof(sa));
	sa.sa_handler = os_on_stop;
	sigaction(SIGINT, &sa, nullptr);
	sigaction(SIGTERM, &sa, nullptr);
	// A closed terminal or session ends collection the same orderly way.
	sigaction(SIGHUP, &sa, nullptr);
	// Output nobody reads any more must not end collection: a failed write
	// is all it costs.
	signal(SIGPIPE, SIG_IGN);
}

bool os_stop_requested(void)
{
	return os_stop_flag != 0;
}
