// Windows side of the OS services in oscompat.h.
#include "oscompat.h"

#include <windows.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <direct.h>
#include <io.h>
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

int os_fd_size(int fd, uint64_t *size)
{
	LARGE_INTEGER n;
	if (!GetFileSizeEx(reinterpret_cast<HANDLE>(_get_osfhandle(fd)), &n)) {
		errno = EBADF;
		return -1;
	}
	*size = static_cast<uint64_t>(n.QuadPart);
	return 0;
}

int os_fseek_set(FILE *f, uint64_t off)
{
	if (off > static_cast<uint64_t>(INT64_MAX)) {
		errno = EOVERFLOW;
		return -1;
	}
	return _fseeki64(f, static_cast<__int64>(off), SEEK_SET);
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

std::string os_utc_iso(int64_t seconds)
{
	__time64_t t = seconds;
	struct tm tm;
	char buf[32];
	if (_gmtime64_s(&tm, &t) != 0 || strftime(buf, sizeof(buf), "%Y-%m-%dT%H:%M:%SZ", &tm) == 0)
		return "";
	return buf;
}

std::string os_host_name(void)
{
	wchar_t name[256];
	DWORD len = sizeof(name) / sizeof(name[0]);
	if (!GetComputerNameExW(ComputerNameDnsHostname, name, &len) || len == 0)
		return "";
	char out[768];
	int n = WideCharToMultiByte(CP_UTF8, 0, name, static_cast<int>(len), out, sizeof(out), nullptr, nullptr);
	return n > 0 ? std::string(out, static_cast<size_t>(n)) : std::string();
}

bool os_path_exists(const char *path)
{
	return GetFileAttributesA(path) != INVALID_FILE_ATTRIBUTES;
}

// Windows has no call that makes a file relative to a directory handle, but
// a directory held open without delete sharing can be neither renamed nor
// removed: the path it has now is where it stays while it is held.
static std::string win_dir_path(os_dir_handle dir)
{
	HANDLE h = reinterpret_cast<HANDLE>(dir);
	char buf[MAX_PATH * 4];
	DWORD n = GetFinalPathNameByHandleA(h, buf, sizeof(buf), FILE_NAME_NORMALIZED);
	if (n == 0 || n >= sizeof(buf))
		return {};
	return buf;
}

static HANDLE win_open_dir(const char *path, DWORD extra_flags)
{
	return CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
			   FILE_FLAG_BACKUP_SEMANTICS | extra_flags, nullptr);
}

int os_dir_open(const char *path, os_dir_handle *out)
{
	HANDLE h = win_open_dir(path[0] != '\0' ? path : "\\", 0);
	if (h == INVALID_HANDLE_VALUE) {
		errno = win_path_errno(GetLastError());
		return -1;
	}
	*out = reinterpret_cast<os_dir_handle>(h);
	return 0;
}

void os_dir_close(os_dir_handle dir)
{
	CloseHandle(reinterpret_cast<HANDLE>(dir));
}

// The path of name in the open directory dir; empty with errno set when the
// directory's path cannot be told.
static std::string win_in_dir(os_dir_handle dir, const char *name)
{
	std::string base = win_dir_path(dir);
	if (base.empty()) {
		errno = EIO;
		return {};
	}
	return os_path_join(base.c_str(), name);
}

static bool win_is_reparse(HANDLE h)
{
	BY_HANDLE_FILE_INFORMATION info;
	return !GetFileInformationByHandle(h, &info) || (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT);
}

// h, just opened with FILE_FLAG_OPEN_REPARSE_POINT, when it is the name
// itself: a link or junction put in its place is refused (ELOOP, h closed).
// INVALID_HANDLE_VALUE with errno set otherwise.
static HANDLE win_opened_itself(HANDLE h)
{
	if (h == INVALID_HANDLE_VALUE) {
		errno = win_path_errno(GetLastError());
		return INVALID_HANDLE_VALUE;
	}
	if (win_is_reparse(h)) {
		CloseHandle(h);
		errno = ELOOP;
		return INVALID_HANDLE_VALUE;
	}
	return h;
}

// Opens the directory at path as itself. 0, or -1 with errno set.
static int win_open_dir_itself(const std::string &path, os_dir_handle *out)
{
	HANDLE h = win_opened_itself(win_open_dir(path.c_str(), FILE_FLAG_OPEN_REPARSE_POINT));
	if (h == INVALID_HANDLE_VALUE)
		return -1;
	*out = reinterpret_cast<os_dir_handle>(h);
	return 0;
}

int os_dir_make_new(os_dir_handle parent, const char *name, os_dir_handle *out)
{
	std::string path = win_in_dir(parent, name);
	if (path.empty())
		return -1;
	if (!CreateDirectoryA(path.c_str(), nullptr)) {
		DWORD e = GetLastError();
		errno = e == ERROR_ALREADY_EXISTS ? EEXIST : win_path_errno(e);
		return -1;
	}
	return win_open_dir_itself(path, out);
}

// A descriptor for h, or -1 (h closed) when it is a reparse point.
static int win_fd_of(HANDLE h, int flags)
{
	if (win_opened_itself(h) == INVALID_HANDLE_VALUE)
		return -1;
	int fd = _open_osfhandle(reinterpret_cast<intptr_t>(h), flags | _O_BINARY);
	if (fd < 0)
		CloseHandle(h);
	return fd;
}

int os_dir_create_file(os_dir_handle dir, const char *name)
{
	std::string path = win_in_dir(dir, name);
	if (path.empty())
		return -1;
	// CREATE_NEW fails on any existing name, a link or junction among them.
	HANDLE h = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_NEW,
			       FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
	if (h == INVALID_HANDLE_VALUE) {
		DWORD e = GetLastError();
		errno = e == ERROR_FILE_EXISTS || e == ERROR_ALREADY_EXISTS ? EEXIST : win_path_errno(e);
		return -1;
	}
	return win_fd_of(h, _O_WRONLY);
}

int os_dir_open_read(os_dir_handle dir, const char *name)
{
	std::string path = win_in_dir(dir, name);
	if (path.empty())
		return -1;
	HANDLE h = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
			       FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
	if (h == INVALID_HANDLE_VALUE) {
		errno = win_path_errno(GetLastError());
		return -1;
	}
	// Only a file on the disk is read (a link is refused below).
	if (GetFileType(h) != FILE_TYPE_DISK) {
		CloseHandle(h);
		errno = EINVAL;
		return -1;
	}
	return win_fd_of(h, _O_RDONLY);
}

int os_dir_open_in(os_dir_handle parent, const char *name, os_dir_handle *out)
{
	std::string path = win_in_dir(parent, name);
	if (path.empty())
		return -1;
	return win_open_dir_itself(path, out);
}

int os_dir_rename(os_dir_handle dir, const char *from, const char *to)
{
	std::string src = win_in_dir(dir, from), dst = win_in_dir(dir, to);
	if (src.empty() || dst.empty())
		return -1;
	// A move of the entry itself: a reparse point at to is replaced, not
	// followed.
	if (!MoveFileExA(src.c_str(), dst.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
		errno = win_path_errno(GetLastError());
		return -1;
	}
	return 0;
}

int os_dir_subdirs(os_dir_handle dir, std::vector<std::string> *names)
{
	std::string pattern = win_in_dir(dir, "*");
	if (pattern.empty())
		return -1;
	WIN32_FIND_DATAA fd;
	HANDLE h = FindFirstFileExA(pattern.c_str(), FindExInfoBasic, &fd, FindExSearchNameMatch, nullptr,
				    FIND_FIRST_EX_LARGE_FETCH);
	if (h == INVALID_HANDLE_VALUE) {
		errno = win_path_errno(GetLastError());
		return -1;
	}
	struct find_closer {
		HANDLE h;
		~find_closer() { FindClose(h); }
	} closer{h};
	std::vector<std::string> found;
	do {
		// A junction or a directory link is a reparse point: not followed.
		bool is_dir = (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) &&
			      !(fd.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT);
		if (is_dir && strcmp(fd.cFileName, ".") != 0 && strcmp(fd.cFileName, "..") != 0)
			found.push_back(fd.cFileName);
	} while (FindNextFileA(h, &fd));
	DWORD e = GetLastError();
	if (e != ERROR_NO_MORE_FILES) {
		errno = win_path_errno(e);
		return -1;
	}
	*names = std::move(found);
	return 0;
}

int os_dir_remove(os_dir_handle dir, const char *name)
{
	std::string path = win_in_dir(dir, name);
	if (path.empty())
		return -1;
	if (!DeleteFileA(path.c_str())) {
		errno = win_path_errno(GetLastError());
		return -1;
	}
	return 0;
}

int os_dir_sync(os_dir_handle)
{
	return 0; // as os_sync_dir
}

int os_dir_free_space(os_dir_handle dir, uint64_t *bytes)
{
	std::string path = win_dir_path(dir);
	if (path.empty()) {
		errno = EIO;
		return -1;
	}
	return os_free_space(path.c_str(), bytes);
}

std::string os_dir_path(os_dir_handle dir)
{
	std::string path = win_dir_path(dir);
	// The call gives \\?\C:\... or \\?\UNC\server\share\...
	if (path.compare(0, 8, "\\\\?\\UNC\\") == 0)
		return path.replace(0, 7, "\\");
	if (path.compare(0, 4, "\\\\?\\") == 0)
		return path.substr(4);
	return path;
}

bool os_dir_at(os_dir_handle dir, const char *path)
{
	HANDLE h = win_open_dir(path[0] != '\0' ? path : "\\", 0);
	if (h == INVALID_HANDLE_VALUE)
		return false;
	BY_HANDLE_FILE_INFORMATION a, b;
	bool same = GetFileInformationByHandle(reinterpret_cast<HANDLE>(dir), &a) &&
		    GetFileInformationByHandle(h, &b) && a.dwVolumeSerialNumber == b.dwVolumeSerialNumber &&
		    a.nFileIndexHigh == b.nFileIndexHigh && a.nFileIndexLow == b.nFileIndexLow;
	CloseHandle(h);
	return same;
}

int os_dir_list(os_dir_handle dir, std::vector<std::string> *names)
{
	std::string pattern = win_in_dir(dir, "*");
	if (pattern.empty())
		return -1;
	WIN32_FIND_DATAA found;
	HANDLE h = FindFirstFileA(pattern.c_str(), &found);
	if (h == INVALID_HANDLE_VALUE) {
		DWORD e = GetLastError();
		if (e == ERROR_FILE_NOT_FOUND)
			return 0;
		errno = win_path_errno(e);
		return -1;
	}
	do {
		if (strcmp(found.cFileName, ".") != 0 && strcmp(found.cFileName, "..") != 0)
			names->push_back(found.cFileName);
	} while (FindNextFileA(h, &found));
	DWORD e = GetLastError();
	FindClose(h);
	if (e != ERROR_NO_MORE_FILES) {
		errno = win_path_errno(e);
		return -1;
	}
	return 0;
}

int os_dir_lock(os_dir_handle dir, const char *name, bool wait, os_lock_handle *out)
{
	std::string path = win_in_dir(dir, name);
	if (path.empty())
		return -1;
	// Shared for everything: others open it to take the lock, and a dead
	// holder's file may be removed.
	HANDLE h = win_opened_itself(CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE,
						 FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
						 OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT,
						 nullptr));
	if (h == INVALID_HANDLE_VALUE)
		return -1;
	// The lock belongs to this handle: another handle, in this process or
	// another, is refused; it goes when the handle is closed or the
	// process ends.
	OVERLAPPED at;
	memset(&at, 0, sizeof(at));
	DWORD flags = LOCKFILE_EXCLUSIVE_LOCK | (wait ? 0 : LOCKFILE_FAIL_IMMEDIATELY);
	if (!LockFileEx(h, flags, 0, 1, 0, &at)) {
		DWORD e = GetLastError();
		CloseHandle(h);
		errno = e == ERROR_LOCK_VIOLATION || e == ERROR_IO_PENDING ? EWOULDBLOCK : win_path_errno(e);
		return -1;
	}
	*out = reinterpret_cast<os_lock_handle>(h);
	return 0;
}

void os_lock_release(os_lock_handle lock)
{
	if (lock != os_lock_none)
		CloseHandle(reinterpret_cast<HANDLE>(lock));
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
