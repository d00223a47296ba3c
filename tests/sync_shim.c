/* Preloaded into the built program by end-to-end tests: records every
 * fdatasync and fsync with the path of its descriptor, can make one chosen
 * sync fail with EIO, and records every packet written to a terminal (the
 * device's port), so that a test sees in one log, in call order, whether
 * the dump was on stable storage before the RESET left.
 *
 *   DURUVEV_SYNC_LOG=FILE   log here, one line per call, written before the
 *                           call returns:
 *                             fdatasync RC PATH / fsync RC PATH
 *                             send CMD LEN
 *   DURUVEV_SYNC_FAIL=PATH  the first sync of a descriptor open on PATH
 *                           fails with EIO (without reaching the disk)
 *   DURUVEV_CUT_RECORD=N    the Nth write into a file named .duruvev-resume*
 *                           writes half its bytes, then the process is
 *                           killed, as by a power cut
 *   DURUVEV_DIGEST_FAIL=N   the Nth EVP_DigestUpdate fails, hashing nothing
 *
 * Only a process named "duruvev" is watched: the emulator that starts it
 * inherits the same environment. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

static int watched(void)
{
	static int state = -1;

	if (state < 0)
		state = getenv("DURUVEV_SYNC_LOG") != NULL && strcmp(program_invocation_short_name, "duruvev") == 0;
	return state;
}

static ssize_t (*real_write(void))(int, const void *, size_t)
{
	static ssize_t (*fn)(int, const void *, size_t);

	if (!fn)
		fn = (ssize_t (*)(int, const void *, size_t))dlsym(RTLD_NEXT, "write");
	return fn;
}

static void log_line(const char *line)
{
	int fd = open(getenv("DURUVEV_SYNC_LOG"), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);

	if (fd < 0)
		return;
	(void)real_write()(fd, line, strlen(line));
	close(fd);
}

static void fd_path(int fd, char *path, size_t size)
{
	char link[64];
	ssize_t n;

	snprintf(link, sizeof(link), "/proc/self/fd/%d", fd);
	n = readlink(link, path, size - 1);
	path[n < 0 ? 0 : n] = '\0';
}

static int synced(const char *name, int fd)
{
	static int failed_once;
	int (*real)(int) = (int (*)(int))dlsym(RTLD_NEXT, name);
	char path[4096], line[4200];
	const char *fail;
	int rc, saved;

	if (!watched())
		return real(fd);
	fd_path(fd, path, sizeof(path));
	fail = getenv("DURUVEV_SYNC_FAIL");
	if (fail && !failed_once && strcmp(fail, path) == 0) {
		failed_once = 1;
		rc = -1;
		saved = EIO;
	} else {
		rc = real(fd);
		saved = errno;
	}
	snprintf(line, sizeof(line), "%s %s %s\n", name, rc == 0 ? "0" : saved == EIO ? "EIO" : "error", path);
	log_line(line);
	errno = saved;
	return rc;
}

int fdatasync(int fd)
{
	return synced("fdatasync", fd);
}

int fsync(int fd)
{
	return synced("fsync", fd);
}

/* The Nth call counted by counter, N from the variable name; 0 when unset. */
static int nth_call(const char *name, int *counter)
{
	const char *n = getenv(name);

	return watched() && n && __atomic_add_fetch(counter, 1, __ATOMIC_SEQ_CST) == atoi(n);
}

static void cut_record_write(int fd, const void *buf, size_t len)
{
	static int writes;
	char path[4096];
	const char *base;

	fd_path(fd, path, sizeof(path));
	base = strrchr(path, '/');
	if (!base || strncmp(base + 1, ".duruvev-resume", 15) != 0 || !nth_call("DURUVEV_CUT_RECORD", &writes))
		return;
	(void)real_write()(fd, buf, len / 2);
	kill(getpid(), SIGKILL);
}

int EVP_DigestUpdate(void *ctx, const void *data, size_t len)
{
	static int calls;
	int (*real)(void *, const void *, size_t) =
		(int (*)(void *, const void *, size_t))dlsym(RTLD_NEXT, "EVP_DigestUpdate");

	if (nth_call("DURUVEV_DIGEST_FAIL", &calls))
		return 0;
	return real(ctx, data, len);
}

ssize_t write(int fd, const void *buf, size_t len)
{
	struct stat st;
	ssize_t rc;
	int saved;

	if (watched() && getenv("DURUVEV_CUT_RECORD"))
		cut_record_write(fd, buf, len);
	rc = real_write()(fd, buf, len);
	saved = errno;
	if (watched() && len >= 8 && fstat(fd, &st) == 0 && S_ISCHR(st.st_mode)) {
		const unsigned char *p = buf;
		char line[64];
		uint32_t cmd = (uint32_t)p[0] | (uint32_t)p[1] << 8 | (uint32_t)p[2] << 16 | (uint32_t)p[3] << 24;

		snprintf(line, sizeof(line), "send %u %zu\n", (unsigned)cmd, len);
		log_line(line);
	}
	errno = saved;
	return rc;
}
