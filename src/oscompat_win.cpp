// Windows side of the OS services in oscompat.h.
#include "oscompat.h"

#include <windows.h>

#include <cerrno>
#include <direct.h>
#include <string>

int os_console_width(void)
{
	CONSOLE_SCREEN_BUFFER_INFO info;
	HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);

	if (!GetConsoleScreenBufferInfo(out, &info))
		return -1;
	// The visible window, not the whole screen buffer.
	return info.srWindow.Right - info.srWindow.Left + 1;
}

void os_sleep_ms(unsigned ms)
{
	Sleep(ms);
}

// errno for the last failure of a Windows call on a path.
static int win_path_errno(DWORD error)
{
	switch (error) {
	case ERROR_FILE_NOT_FOUND:
	case ERROR_PATH_NOT_FOUND:
	case ERROR_BAD_NETPATH:
	case ERROR_BAD_NET_NAME:
	case ERROR_INVALID_DRIVE:
		return ENOENT;
	case ERROR_ACCESS_DENIED:
	case ERROR_SHARING_VIOLATION:
		return EACCES;
	case ERROR_WRITE_PROTECT:
		return EROFS;
	case ERROR_INVALID_NAME:
	case ERROR_BAD_PATHNAME:
		return EINVAL;
	default:
		return EIO;
	}
}

// 1 when path is a directory, 0 when it is something else, -1 with errno
// set when it cannot be looked at. Unlike _stat64, this takes a bare drive
// ("C:") and a share ("\\server\share") as they are.
static int win_is_dir(const char *path)
{
	DWORD attrs = GetFileAttributesA(path);
	if (attrs == INVALID_FILE_ATTRIBUTES) {
		errno = win_path_errno(GetLastError());
		return -1;
	}
	return (attrs & FILE_ATTRIBUTE_DIRECTORY) ? 1 : 0;
}

// Creates each missing directory of dir below its root, which is never
// created (a drive, a share, a device).
static int make_dirs(const char *dir)
{
	for (const std::string &partial : os_win_dirs_below_root(dir)) {
		if (_mkdir(partial.c_str()) != 0 && errno != EEXIST) {
			// An existing directory can still refuse the creation (a
			// share's folder, a read-only parent).
			int saved = errno;
			if (win_is_dir(partial.c_str()) != 1) {
				errno = saved;
				return -1;
			}
		}
	}
	return 0;
}

int os_prepare_output_dir(const char *dir)
{
	if (dir[0] != '\0' && make_dirs(dir) != 0)
		return -1;
	int is_dir = win_is_dir(dir[0] != '\0' ? dir : "\\");
	if (is_dir < 0)
		return -1;
	if (is_dir == 0) {
		errno = ENOTDIR;
		return -1;
	}
	// Only a file this run creates proves the directory writable: a probe
	// left behind by an earlier run says nothing, so each attempt takes a
	// name of its own, and the file goes when it is closed.
	const std::string base = os_path_join(dir, ".duruvev-probe-") + std::to_string(GetCurrentProcessId()) + "-";
	for (unsigned attempt = 0; attempt < 100; attempt++) {
		std::string probe = base + std::to_string(attempt);
		int fd = _open(probe.c_str(), _O_WRONLY | _O_CREAT | _O_EXCL | _O_BINARY | _O_TEMPORARY,
			       _S_IREAD | _S_IWRITE);
		if (fd >= 0) {
			_close(fd);
			return 0;
		}
		if (errno != EEXIST)
			return -1;
	}
	return -1;
}

int os_open_trunc(const char *path)
{
	return _open(path, _O_WRONLY | _O_CREAT | _O_TRUNC | _O_BINARY, _S_IREAD | _S_IWRITE);
}

int os_open_read(const char *path)
{
	return _open(path, _O_RDONLY | _O_BINARY);
}

int os_open_regular(const char *path, const char **kind)
{
	*kind = nullptr;
	// The runtime's open refuses a directory only with "permission denied".
	DWORD attrs = GetFileAttributesA(path);
	if (attrs != INVALID_FILE_ATTRIBUTES && (attrs & FILE_ATTRIBUTE_DIRECTORY)) {
		*kind = "a directory";
		errno = EISDIR;
		return -1;
	}
	int fd = _open(path, _O_RDONLY | _O_BINARY);
	if (fd < 0)
		return -1;
	switch (GetFileType(reinterpret_cast<HANDLE>(_get_osfhandle(fd)))) {
	case FILE_TYPE_DISK:
		return fd;
	case FILE_TYPE_CHAR:
		*kind = "a character device";
		break;
	case FILE_TYPE_PIPE:
		*kind = "a pipe";
		break;
	default:
		*kind = "a special file";
		break;
	}
	_close(fd);
	errno = EINVAL;
	return -1;
}

void os_start_writeback(int, uint64_t, uint64_t)
{
	// No call starts a write-back without waiting for it.
}

int os_sync_fd(int fd)
{
	return _commit(fd) == 0 ? 0 : -1;
}

int os_sync_dir(const char *)
{
	// NTFS journals directory entries with the file's metadata; a directory
	// handle cannot be flushed without backup privileges.
	return 0;
}

int os_free_space(const char *dir, uint64_t *bytes)
{
	// A share must be named with a trailing separator; any directory may.
	std::string path = dir[0] != '\0' ? dir : "\\";
	if (path.back() != '\\' && path.back() != '/')
		path += '\\';
	int n = MultiByteToWideChar(CP_ACP, 0, path.c_str(), -1, nullptr, 0);
	if (n <= 0) {
		errno = EINVAL;
		return -1;
	}
	std::wstring wpath(static_cast<size_t>(n), L'\0');
	MultiByteToWideChar(CP_ACP, 0, path.c_str(), -1, wpath.data(), n);
	ULARGE_INTEGER avail;
	if (!GetDiskFreeSpaceExW(wpath.c_str(), &avail, nullptr, nullptr)) {
		errno = EIO;
		return -1;
	}
	*bytes = avail.QuadPart;
	return 0;
}

bool os_port_present(const char *path)
{
	// A port that is there opens, or is refused because someone holds it.
	std::string name = path;
	if (name.find('\\') == std::string::npos && name.find('/') == std::string::npos)
		name = "\\\\.\\" + name;
	HANDLE h = CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
	if (h != INVALID_HANDLE_VALUE) {
		CloseHandle(h);
		return true;
	}
	DWORD e = GetLastError();
	return e == ERROR_ACCESS_DENIED || e == ERROR_SHARING_VIOLATION;
}

std::string os_utc_stamp(void)
{
	SYSTEMTIME t;
	char buf[32];

	GetSystemTime(&t);
	snprintf(buf, sizeof(buf), "%04u%02u%02uT%02u%02u%02uZ", t.wYear, t.wMonth, t.wDay, t.wHour, t.wMinute,
		 t.wSecond);
	return buf;
}

bool os_path_exists(const char *path)
{
	return GetFileAttributesA(path) != INVALID_FILE_ATTRIBUTES;
}

static volatile LONG os_stop_flag;

static BOOL WINAPI os_on_console_event(DWORD)
{
	InterlockedExchange(&os_stop_flag, 1);
	// Handled: collection ends by itself once its dumps have stopped.
	return TRUE;
}

void os_catch_stop(void)
{
	SetConsoleCtrlHandler(os_on_console_event, TRUE);
}

bool os_stop_requested(void)
{
	return InterlockedCompareExchange(&os_stop_flag, 0, 0) != 0;
}
