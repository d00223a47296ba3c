// Read-only access to plain files and zip archive members through one record.
#include "file.h"

#include <climits>
#include <cstdlib>
#include <cstring>
#include <new>
#include <zip.h>

#include "oscompat.h"
#include "ux.h"
#include "vorn.h"

// One read call never asks for more than this: Linux transfers at most
// 0x7ffff000 bytes per call and the Windows runtime takes an unsigned int.
static const size_t file_max_read = 0x7ffff000;

static int64_t file_seek_fd(int fd, int64_t offset, int whence)
{
#ifdef _WIN32
	return _lseeki64(fd, offset, whence);
#else
	return lseek(fd, static_cast<off_t>(offset), whence);
#endif
}

static int64_t file_read_fd(int fd, void *buf, size_t len)
{
	if (len > file_max_read)
		len = file_max_read;
	return os_read(fd, buf, len);
}

int vorn_zip_open(const char *path, vorn_zip **out)
{
	int code = ZIP_ER_OK;
	zip_t *za = zip_open(path, ZIP_RDONLY, &code);
	if (!za && (code == ZIP_ER_NOENT || code == ZIP_ER_NOZIP)) {
		// Not an archive (or not there): names are plain paths then.
		*out = nullptr;
		return 0;
	}
	if (!za) {
		// A damaged archive must not turn its member names into paths
		// that may well exist on their own.
		zip_error_t error;
		zip_error_init_with_code(&error, code);
		ux_err("unable to open zip archive \"%s\": %s\n", path, zip_error_strerror(&error));
		zip_error_fini(&error);
		return -1;
	}

	vorn_zip *archive = new (std::nothrow) vorn_zip{};
	if (!archive) {
		zip_close(za);
		return -1;
	}
	archive->zip = za;
	archive->refcount = 1;
	*out = archive;
	return 0;
}

vorn_zip *vorn_zip_get(vorn_zip *archive)
{
	if (archive)
		archive->refcount++;
	return archive;
}

void vorn_zip_put(vorn_zip *archive)
{
	if (!archive)
		return;
	if (--archive->refcount > 0)
		return;
	zip_close(archive->zip);
	delete archive;
}

static int file_open_member(vorn_zip *archive, const char *name, vorn_file *file)
{
	zip_int64_t index = zip_name_locate(archive->zip, name, 0);
	if (index < 0) {
		ux_err("unable to locate \"%s\" in zip archive\n", name);
		return -1;
	}

	zip_stat_t st;
	zip_stat_init(&st);
	if (zip_stat_index(archive->zip, static_cast<zip_uint64_t>(index), 0, &st) < 0 ||
	    !(st.valid & ZIP_STAT_SIZE)) {
		ux_err("unable to stat \"%s\" in zip archive\n", name);
		return -1;
	}

	zip_file_t *zf = zip_fopen_index(archive->zip, static_cast<zip_uint64_t>(index), 0);
	if (!zf) {
		ux_err("unable to open \"%s\" in zip archive\n", name);
		return -1;
	}

	file->type = VORN_FILE_TYPE_ZIP;
	file->fd = -1;
	file->size = static_cast<size_t>(st.size);
	file->zip_file = zf;
	file->zip_pos = 0;
	return 0;
}

static int file_open_plain(const char *path, vorn_file *file)
{
	// Only a regular file has a length to load: a directory would seek
	// to a huge "size", and a device or a pipe never ends.
	const char *kind = nullptr;
	int fd = os_open_regular(path, &kind);
	if (fd < 0 && kind) {
		ux_err("\"%s\" is %s, not a regular file\n", path, kind);
		return -1;
	}
	if (fd < 0) {
		ux_err("failed to open \"%s\" for reading\n", path);
		return -1;
	}

	int64_t end = file_seek_fd(fd, 0, SEEK_END);
	if (end < 0) {
		ux_err("failed to find end of \"%s\"\n", path);
		::close(fd);
		return -1;
	}
	file_seek_fd(fd, 0, SEEK_SET);

	file->type = VORN_FILE_TYPE_POSIX;
	file->fd = fd;
	file->size = static_cast<size_t>(end);
	file->zip_file = nullptr;
	file->zip_pos = 0;
	return 0;
}

int vorn_file_open(vorn_zip *archive, const char *name, vorn_file *file)
{
	if (archive)
		return file_open_member(archive, name, file);
	return file_open_plain(name, file);
}

// Reads until len bytes are in, the content ends or an error occurs; returns
// the number of bytes read, or -1 on an error.
static int64_t file_fill(vorn_file *file, uint8_t *buf, size_t len)
{
	size_t got = 0;

	while (got < len) {
		int64_t n = vorn_file_read(file, buf + got, len - got);
		if (n < 0)
			return -1;
		if (n == 0)
			break;
		got += static_cast<size_t>(n);
	}
	return static_cast<int64_t>(got);
}

// Reads a member's recorded size into buf and then on to its end: libzip
// checks the CRC only when a read reaches the end of the data, and a member
// that holds more than its recorded size is damaged just as well.
static int file_load_member(vorn_file *file, uint8_t *buf)
{
	const char *why = nullptr;
	int64_t got = file_fill(file, buf, file->size);
	if (got == static_cast<int64_t>(file->size)) {
		uint8_t extra;
		int64_t n = vorn_file_read(file, &extra, 1);
		if (n == 0)
			return 0;
		if (n > 0)
			why = "it holds more than its recorded size";
	} else if (got >= 0) {
		why = "it ends before its recorded size";
	}
	if (!why)
		why = zip_file_strerror(file->zip_file);
	ux_err("failed to load zip file member: %s\n", why);
	return -1;
}

void *vorn_file_load(vorn_file *file, size_t *len)
{
	// One byte at least, so an empty file still gets a buffer of its own.
	uint8_t *buf = static_cast<uint8_t *>(malloc(file->size ? file->size : 1));
	if (!buf) {
		ux_err("unable to allocate memory to load file\n");
		return nullptr;
	}

	// The size was taken at open; a file that ends early (or an archive
	// whose directory claims more than the member holds) is a failure,
	// never a buffer with a zero-filled tail.
	switch (file->type) {
	case VORN_FILE_TYPE_POSIX:
		if (file_fill(file, buf, file->size) != static_cast<int64_t>(file->size)) {
			ux_err("failed to load content of file\n");
			free(buf);
			return nullptr;
		}
		break;
	case VORN_FILE_TYPE_ZIP:
		if (file_load_member(file, buf) != 0) {
			free(buf);
			return nullptr;
		}
		break;
	default:
		ux_err("internal error: attempting to load unknown file type\n");
		free(buf);
		return nullptr;
	}

	*len = file->size;
	return buf;
}

int64_t vorn_file_read(vorn_file *file, void *buf, size_t len)
{
	switch (file->type) {
	case VORN_FILE_TYPE_POSIX:
		return file_read_fd(file->fd, buf, len);
	case VORN_FILE_TYPE_ZIP: {
		zip_int64_t n = zip_fread(file->zip_file, buf, len);
		if (n > 0)
			file->zip_pos += static_cast<uint64_t>(n);
		return n;
	}
	default:
		return -1;
	}
}

int64_t vorn_file_read_exact(vorn_file *file, void *buf, size_t len)
{
	if (len == 0)
		return 0;
	return file_fill(file, static_cast<uint8_t *>(buf), len);
}

int64_t vorn_file_seek(vorn_file *file, int64_t offset, int whence)
{
	switch (file->type) {
	case VORN_FILE_TYPE_POSIX:
		return file_seek_fd(file->fd, offset, whence);
	case VORN_FILE_TYPE_ZIP:
		// Members are read as a stream: "to the start" is only true
		// before anything was read, and a rewind that did not happen is
		// not reported as done. (libzip's own seek and tell fail on
		// deflated members and leave them unreadable, so they are not
		// used.)
		if (offset == 0 && whence == SEEK_SET && file->zip_pos == 0)
			return 0;
		ux_err("seek not implemented for zip files\n");
		return -1;
	default:
		return -1;
	}
}

size_t vorn_file_getsize(const vorn_file *file)
{
	return file->size;
}

void vorn_file_close(vorn_file *file)
{
	switch (file->type) {
	case VORN_FILE_TYPE_POSIX:
		::close(file->fd);
		file->fd = -1;
		break;
	case VORN_FILE_TYPE_ZIP:
		zip_fclose(file->zip_file);
		file->zip_file = nullptr;
		break;
	default:
		break;
	}
	file->type = VORN_FILE_TYPE_UNKNOWN;
}
