// A dump's directory and the names in it: files made, opened, renamed and
// synced through the held directory or by path, and the rules a
// device-supplied file name must keep.
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <string>

#include "oscompat.h"
#include "sahara.h"
#include "sahara_engine.h"
#include "ux.h"
#include "visible.h"

std::string sahara_fold(const std::string &name)
{
	std::string s(name);
	for (char &c : s)
		if (c >= 'A' && c <= 'Z')
			c = static_cast<char>(c - 'A' + 'a');
	return s;
}

// The file a name stands for on Windows, which also drops trailing dots and
// spaces: "K.BIN." and "k.bin" are one file there. Dumps travel, so names
// are kept apart as Windows would keep them, on every system.
std::string sahara_name_key(const std::string &name)
{
	std::string s = sahara_fold(name);
	while (!s.empty() && (s.back() == '.' || s.back() == ' '))
		s.pop_back();
	return s;
}

// True for the names Windows gives to devices: CON, PRN, AUX, NUL, COM0-9,
// LPT0-9 (also with a superscript digit), CONIN$ and CONOUT$, in any case and
// with any extension. Writing to "NUL.BIN" there throws the bytes away.
static bool sahara_is_windows_device(const char *name)
{
	std::string stem = sahara_fold(std::string(name, strcspn(name, ".")));
	while (!stem.empty() && stem.back() == ' ')
		stem.pop_back();
	if (stem == "con" || stem == "prn" || stem == "aux" || stem == "nul" || stem == "conin$" || stem == "conout$")
		return true;
	if (stem.compare(0, 3, "com") != 0 && stem.compare(0, 3, "lpt") != 0)
		return false;
	std::string digit = stem.substr(3);
	// Superscripts 1-3 in Latin-1 and in UTF-8.
	static const char *const digits[] = {"0", "1", "2", "3", "4", "5", "6", "7", "8", "9",
					     "\xb9", "\xb2", "\xb3", "\xc2\xb9", "\xc2\xb2", "\xc2\xb3"};
	return std::any_of(std::begin(digits), std::end(digits), [&](const char *d) { return digit == d; });
}

bool sahara_region_filename_ok(const char *name)
{
	if (name[0] == '\0' || strcmp(name, ".") == 0 || strcmp(name, "..") == 0)
		return false;
	for (const char *p = name; *p; p++)
		if (text_is_control(*p))
			return false;
	// The files that describe the dump are made by this program.
	static const char *const reserved[] = {MINIDUMP_NAME, SUMS_NAME, DUMP_INFO_NAME, DMESG_NAME, DUMP_JSON_NAME};
	std::string folded = sahara_fold(name);
	if (std::any_of(std::begin(reserved), std::end(reserved), [&](const char *r) { return folded == sahara_fold(r); }))
		return false;
	// Nor may a region take the name of a file that keeps a dump going: the
	// record of whole regions, or a region being read in its place.
	if (folded.compare(0, 9, ".duruvev-") == 0)
		return false;
	// Windows cannot hold these: a device name, a name it would strip, or
	// a character it refuses in file names. A space, trailing or not, would
	// also split the name in the description files, whose fields are
	// separated by spaces.
	if (sahara_is_windows_device(name) || name[strlen(name) - 1] == '.')
		return false;
	// ':' would name a drive or an alternate data stream on Windows.
	return strpbrk(name, "/\\:<>\"|?* ") == nullptr;
}

std::string sahara_printable(const char *name)
{
	return text_visible(name);
}

bool sahara_join(char (&path)[SAHARA_PATH_MAX], const char *dir, const char *name)
{
	std::string joined = os_path_join(dir, name);
	if (joined.size() >= sizeof(path))
		return false;
	memcpy(path, joined.c_str(), joined.size() + 1);
	return true;
}

// dir/name into path, for a directory known by its path only; false with
// errno ENAMETOOLONG when it does not fit.
static bool sahara_path_in(char (&path)[SAHARA_PATH_MAX], const sahara_dump_dir &dir, const char *name)
{
	if (sahara_join(path, dir.path, name))
		return true;
	errno = ENAMETOOLONG;
	return false;
}

int sahara_create_in(const sahara_dump_dir &dir, const char *name)
{
	if (dir.handle != os_dir_none)
		return os_dir_create_file(dir.handle, name);
	char path[SAHARA_PATH_MAX];
	return sahara_path_in(path, dir, name) ? os_open_trunc(path) : -1;
}

int sahara_open_in(const sahara_dump_dir &dir, const char *name)
{
	if (dir.handle != os_dir_none)
		return os_dir_open_read(dir.handle, name);
	char path[SAHARA_PATH_MAX];
	return sahara_path_in(path, dir, name) ? os_open_read(path) : -1;
}

int sahara_remove_in(const sahara_dump_dir &dir, const char *name)
{
	// Through a handle by path too: a temporary file may be longer than
	// any path that names one of the dump's files.
	os_dir opened;
	os_dir_handle h = sahara_held(dir, opened);
	return h == os_dir_none ? -1 : os_dir_remove(h, name);
}

int sahara_rename_in(const sahara_dump_dir &dir, const char *from, const char *to)
{
	if (dir.handle != os_dir_none)
		return os_dir_rename(dir.handle, from, to);
	char src[SAHARA_PATH_MAX], dst[SAHARA_PATH_MAX];
	if (!sahara_path_in(src, dir, from) || !sahara_path_in(dst, dir, to))
		return -1;
	std::error_code ec;
	std::filesystem::rename(src, dst, ec);
	if (ec) {
		errno = ec.default_error_condition().value();
		return -1;
	}
	return 0;
}

int sahara_sync_dir(const sahara_dump_dir &dir)
{
	return dir.handle != os_dir_none ? os_dir_sync(dir.handle) : os_sync_dir(dir.path);
}

int sahara_settle_dir(const sahara_dump_dir &dir)
{
	if (!sahara_config().durable_writes || sahara_sync_dir(dir) == 0)
		return 0;
	warn("failed to sync the output directory \"%s\"", dir.path);
	return -1;
}

os_dir_handle sahara_held(const sahara_dump_dir &dir, os_dir &opened)
{
	if (dir.handle != os_dir_none)
		return dir.handle;
	os_dir_handle h = os_dir_none;
	if (os_dir_open(dir.path, &h) != 0)
		return os_dir_none;
	opened = os_dir(h);
	return h;
}

int sahara_write_file(const sahara_dump_dir &dir, const char *name, const uint8_t *data, size_t len)
{
	// The temporary name is one no region may take.
	std::string tmp = strncmp(name, ".duruvev-", 9) == 0 ? name : std::string(".duruvev-") + name;
	tmp += ".new";
	// By path, every file keeps to the length a path may have on Windows
	// (the temporary one is made through the directory's handle).
	char path[SAHARA_PATH_MAX];
	if (dir.handle == os_dir_none && !sahara_join(path, dir.path, name)) {
		ux_err("path \"%s\" is too long\n", os_path_join(dir.path, name).c_str());
		return -1;
	}
	os_dir opened;
	os_dir_handle h = sahara_held(dir, opened);
	if (h == os_dir_none || os_dir_replace_file(h, name, tmp.c_str(), data, len, sahara_config().durable_writes) != 0) {
		warn("failed to write \"%s\" in \"%s\"", name, dir.path);
		return -1;
	}
	return 0;
}
