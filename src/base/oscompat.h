// Error reports prefixed with the program name, the time-value sum, and the
// few operating-system services the portable modules need. The OS side lives
// in oscompat_posix.cpp and oscompat_win.cpp.
#pragma once
#include <cstdint>
#include <cstdio>
#include <fcntl.h>
#include <memory>
#include <string>
#include <vector>
#include <sys/stat.h>
#include <sys/time.h>
#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>
#endif

#include "printf_attr.h"

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

// The text of an errno value, also for the values the Windows C runtime has
// no text of its own for (ETIMEDOUT and the other POSIX additions from 100
// on). The err family uses it.
const char *os_strerror(int errnum);

// The path of file name in directory dir, with one kind of separator: on
// Windows a backslash unless dir is written with slashes only (a dir that
// mixes both has its slashes turned into backslashes), nothing added after a
// separator or a bare drive ("C:" names that drive's current directory).
// Elsewhere a slash. An empty dir is the root.
std::string os_path_join(const char *dir, const char *name);

// The rules above and below for both kinds of system, for the tests.
std::string os_path_join_for(const char *dir, const char *name, bool windows);
// How many leading characters of a Windows path name its root, which
// exists without being created: "C:" or "C:\", "\\server\share\",
// "\\?\C:\", "\\?\UNC\server\share\", "\\.\COM1", a leading
// separator; 0 for a relative path.
size_t os_win_path_root_len(const char *path);
// The directories to create, parents first, for the Windows path of an
// output directory: each prefix of it that ends before a separator or at
// its end, below its root.
std::vector<std::string> os_win_dirs_below_root(const char *path);
// The text of a Windows C runtime errno value from 100 on, or null.
const char *os_win_errno_text(int errnum);

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

// Opens path like os_open_read when it is a regular file. Returns a
// descriptor, or -1 with errno set; when the path is there but is no regular
// file, *kind also says what it is ("a directory", "a character device",
// ...), else *kind is null. Never waits for a device or a pipe.
int os_open_regular(const char *path, const char **kind);

// Forces the data of an open file to stable storage. Returns 0, or -1 with
// errno set.
int os_sync_fd(int fd);

// The size of the open file fd: 0 with *size set, or -1 with errno set.
int os_fd_size(int fd, uint64_t *size);

// Moves the stream f to byte off from its start, past 2 GiB too (off_t has
// 32 bits on Windows). 0, or -1 with errno set.
int os_fseek_set(FILE *f, uint64_t off);

// Starts writing len bytes at offset of an open file to its disk without
// waiting, so that a later os_sync_fd has little left to wait for. A hint:
// where the system has no such call it does nothing.
void os_start_writeback(int fd, uint64_t offset, uint64_t len);

// Makes the directory's entries (files created in it) durable. Returns 0, or
// -1 with errno set.
int os_sync_dir(const char *dir);

// Bytes free to this user on the file system that holds dir. Returns 0 and
// sets *bytes, or -1 with errno set.
int os_free_space(const char *dir, uint64_t *bytes);

// True when the port at path exists now (a device node, a symlink to one
// that is there, a Windows COM port that can be opened or is in use).
bool os_port_present(const char *path);

// The current UTC time as YYYYmmddTHHMMSSZ.
std::string os_utc_stamp(void);

// A moment of the system clock (seconds since the epoch) in UTC, as ISO 8601
// with a Z: "2026-12-11T06:22:08Z".
std::string os_utc_iso(int64_t seconds);

// This computer's host name, as its users know it; "" when it has none.
std::string os_host_name(void);

// True when something exists at path.
bool os_path_exists(const char *path);

// A directory held open by a handle, so that what is made in it lands where
// the directory really is, whatever later happens to its path. On POSIX a
// descriptor, on Windows a HANDLE held without delete sharing (the
// directory can then be neither renamed nor removed).
using os_dir_handle = intptr_t;
constexpr os_dir_handle os_dir_none = -1;

// Opens the directory at path. Returns 0 with *out set, or -1 with errno set.
int os_dir_open(const char *path, os_dir_handle *out);
void os_dir_close(os_dir_handle dir);

// Makes the directory name in parent; it must not exist in any form (a link
// there is EEXIST too). Returns 0 with *out holding it open, or -1 with
// errno set.
int os_dir_make_new(os_dir_handle parent, const char *name, os_dir_handle *out);

// Opens the directory name that is in parent, never through a link. Returns
// 0 with *out holding it open, or -1 with errno set.
int os_dir_open_in(os_dir_handle parent, const char *name, os_dir_handle *out);

// Renames the file from to to, both in dir, replacing to (a link at to is
// replaced itself, nothing it names is touched). 0, or -1 with errno set.
int os_dir_rename(os_dir_handle dir, const char *from, const char *to);

// Creates name in dir as a new file for writing, mode 0644 before the
// umask: an existing name, a link among them, fails with EEXIST. Returns a
// descriptor or -1 with errno set.
int os_dir_create_file(os_dir_handle dir, const char *name);

// Opens the file name in dir read-only, never through a link, and only when
// it is a regular file (never waiting for a FIFO). Returns a descriptor or
// -1 with errno set (ELOOP for a link, EISDIR or EINVAL for anything else
// that is no regular file).
int os_dir_open_read(os_dir_handle dir, const char *name);

// The names of the directories in dir (directories themselves, no links to
// one), without "." and "..", in no particular order. 0, or -1 with errno
// set.
int os_dir_subdirs(os_dir_handle dir, std::vector<std::string> *names);

// The whole content of the regular file name in dir, opened never through a
// link, when it holds at most cap bytes. 0 with *out set; or -1 with errno
// set: ENOENT when it is not there, EFBIG when it holds more than cap bytes,
// EINVAL when it is no regular file.
int os_dir_read_small(os_dir_handle dir, const char *name, size_t cap, std::string *out);

// Removes the file name from dir (a link itself, not what it names). 0, or
// -1 with errno set.
int os_dir_remove(os_dir_handle dir, const char *name);

// As os_sync_dir, for an open directory.
int os_dir_sync(os_dir_handle dir);

// As os_free_space, for an open directory.
int os_dir_free_space(os_dir_handle dir, uint64_t *bytes);

// Where the open directory dir is now, as a path; empty when that cannot be
// told.
std::string os_dir_path(os_dir_handle dir);

// True when path still leads to the open directory dir.
bool os_dir_at(os_dir_handle dir, const char *path);

// The names in the open directory dir, "." and ".." left out. 0, or -1 with
// errno set.
int os_dir_list(os_dir_handle dir, std::vector<std::string> *names);

// An advisory lock on the file name in dir (made when missing, never
// through a link), held by this handle alone: another handle, in this
// process or another, cannot take it until it is released or its holder
// ends. POSIX: flock; Windows: LockFileEx.
using os_lock_handle = intptr_t;
constexpr os_lock_handle os_lock_none = -1;
// Takes the lock, waiting for it when wait is true; otherwise a lock held
// elsewhere fails at once with EWOULDBLOCK. 0 with *out set, or -1 with
// errno set.
int os_dir_lock(os_dir_handle dir, const char *name, bool wait, os_lock_handle *out);
void os_lock_release(os_lock_handle lock);

// Puts len bytes in place as the file name in dir, safely: a new file tmp
// beside it (a leftover of a crash removed first), synced, renamed over
// name, and the directory synced. A cut at any moment leaves the old file or
// the new one whole. Without sync (benchmarks that measure everything but
// the disk) nothing is synced, the rest is the same. 0, or -1 with errno set.
int os_dir_replace_file(os_dir_handle dir, const char *name, const char *tmp, const void *data, size_t len,
			bool sync = true);

// A file descriptor, closed when it goes out of scope.
struct os_fd {
	int fd = -1;
	explicit os_fd(int f) : fd(f) {}
	os_fd(const os_fd &) = delete;
	os_fd &operator=(const os_fd &) = delete;
	~os_fd()
	{
		if (fd >= 0)
			::close(fd);
	}
	// Closes now and reports the result; the destructor then does nothing.
	int close()
	{
		int rc = ::close(fd);
		fd = -1;
		return rc;
	}
};

// One read into buf, retried when a signal interrupts it: the byte count,
// 0 at the end, -1 with errno set.
int64_t os_read(int fd, void *buf, size_t len);
// Writes all len bytes, retrying interrupted writes; false with errno set
// when the file takes no more (ENOSPC when the write made no progress).
bool os_write_all(int fd, const void *buf, size_t len);
// Reads the open file fd to its end into text: 0, or -1 with errno set
// (EFBIG when it holds more than max bytes).
int os_read_small(int fd, size_t max, std::string &text);

struct os_file_closer {
	void operator()(FILE *f) const { fclose(f); }
};
// Owns a stream.
using os_file = std::unique_ptr<FILE, os_file_closer>;

// A stream on the descriptor fd, which it then owns; null when fd is
// negative or no stream can be made (fd is closed then).
inline os_file os_stream(int fd, const char *mode)
{
	if (fd < 0)
		return nullptr;
	FILE *f = fdopen(fd, mode);
	if (!f)
		::close(fd);
	return os_file(f);
}

// Owns an open directory.
class os_dir {
public:
	os_dir() = default;
	explicit os_dir(os_dir_handle h) : h_(h) {}
	os_dir(const os_dir &) = delete;
	os_dir &operator=(const os_dir &) = delete;
	os_dir(os_dir &&o) noexcept : h_(o.h_) { o.h_ = os_dir_none; }
	os_dir &operator=(os_dir &&o) noexcept
	{
		if (this != &o) {
			reset();
			h_ = o.h_;
			o.h_ = os_dir_none;
		}
		return *this;
	}
	~os_dir() { reset(); }
	void reset()
	{
		if (h_ != os_dir_none)
			os_dir_close(h_);
		h_ = os_dir_none;
	}
	os_dir_handle get() const { return h_; }
	bool valid() const { return h_ != os_dir_none; }

private:
	os_dir_handle h_ = os_dir_none;
};

// Owns a held lock.
class os_lock {
public:
	os_lock() = default;
	explicit os_lock(os_lock_handle h) : h_(h) {}
	os_lock(const os_lock &) = delete;
	os_lock &operator=(const os_lock &) = delete;
	os_lock &operator=(os_lock &&o) noexcept
	{
		if (this != &o) {
			os_lock_release(h_);
			h_ = o.h_;
			o.h_ = os_lock_none;
		}
		return *this;
	}
	~os_lock() { os_lock_release(h_); }
	bool held() const { return h_ != os_lock_none; }

private:
	os_lock_handle h_ = os_lock_none;
};

// From now on SIGINT, SIGTERM and SIGHUP (on Windows Ctrl+C, Ctrl+Break,
// closing the console, logoff and shutdown) only set a flag that
// os_stop_requested reads, and SIGPIPE is ignored.
void os_catch_stop(void);
bool os_stop_requested(void);
