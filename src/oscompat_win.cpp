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

static int make_dirs(const std::string &dir)
{
	for (size_t pos = 0; pos <= dir.size();) {
		size_t sep = dir.find_first_of("/\\", pos);
		if (sep == std::string::npos)
			sep = dir.size();
		std::string partial = dir.substr(0, sep);
		pos = sep + 1;
		// Skip drive roots such as "C:".
		if (partial.empty() || (partial.size() == 2 && partial[1] == ':'))
			continue;
		if (_mkdir(partial.c_str()) != 0 && errno != EEXIST)
			return -1;
	}
	return 0;
}

int os_prepare_output_dir(const char *dir)
{
	struct _stat64 st;

	if (dir[0] != '\0' && make_dirs(dir) != 0)
		return -1;
	const char *path = dir[0] != '\0' ? dir : "\\";
	if (_stat64(path, &st) != 0)
		return -1;
	if (!(st.st_mode & _S_IFDIR)) {
		errno = ENOTDIR;
		return -1;
	}
	std::string probe = std::string(dir) + "/.duruvev-probe";
	int fd = _open(probe.c_str(), _O_WRONLY | _O_CREAT | _O_EXCL | _O_BINARY | _O_TEMPORARY,
		       _S_IREAD | _S_IWRITE);
	if (fd < 0 && errno == EEXIST)
		return 0;
	if (fd < 0)
		return -1;
	_close(fd);
	return 0;
}

int os_open_trunc(const char *path)
{
	return _open(path, _O_WRONLY | _O_CREAT | _O_TRUNC | _O_BINARY, _S_IREAD | _S_IWRITE);
}

int os_open_read(const char *path)
{
	return _open(path, _O_RDONLY | _O_BINARY);
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
	const char *path = dir[0] != '\0' ? dir : "\\";
	int n = MultiByteToWideChar(CP_ACP, 0, path, -1, nullptr, 0);
	if (n <= 0) {
		errno = EINVAL;
		return -1;
	}
	std::wstring wpath(static_cast<size_t>(n), L'\0');
	MultiByteToWideChar(CP_ACP, 0, path, -1, wpath.data(), n);
	ULARGE_INTEGER avail;
	if (!GetDiskFreeSpaceExW(wpath.c_str(), &avail, nullptr, nullptr)) {
		errno = EIO;
		return -1;
	}
	*bytes = avail.QuadPart;
	return 0;
}
