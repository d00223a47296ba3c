// Read-only access to plain files and zip archive members through one record.
#pragma once
#include <cstddef>
#include <cstdint>

struct zip;
struct zip_file;

enum vorn_file_type {
	VORN_FILE_TYPE_UNKNOWN = 0,
	VORN_FILE_TYPE_POSIX = 1,
	VORN_FILE_TYPE_ZIP = 2,
};

struct vorn_file {
	vorn_file_type type;
	size_t size;
	int fd;
	struct zip_file *zip_file;
	// Bytes read so far from a member: libzip cannot rewind a member
	// stream, so a seek to the start is only true while this is 0.
	uint64_t zip_pos;
};

struct vorn_zip {
	struct zip *zip;
	unsigned int refcount;
};

int vorn_zip_open(const char *path, vorn_zip **out);
vorn_zip *vorn_zip_get(vorn_zip *archive);
void vorn_zip_put(vorn_zip *archive);

int vorn_file_open(vorn_zip *archive, const char *name, vorn_file *file);
void *vorn_file_load(vorn_file *file, size_t *len);
int64_t vorn_file_read(vorn_file *file, void *buf, size_t len);
int64_t vorn_file_read_exact(vorn_file *file, void *buf, size_t len);
int64_t vorn_file_seek(vorn_file *file, int64_t offset, int whence);
size_t vorn_file_getsize(const vorn_file *file);
void vorn_file_close(vorn_file *file);
