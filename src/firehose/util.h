// Diagnostic helpers (version line, hex dump), and the helpers of image
// loading, Firehose attributes, storage types and storage addresses.
#pragma once
#include <cstddef>

#include "vorn.h"

void print_version(void);
// The version print_version prints ("v2.7.1").
const char *version_text(void);
void print_hex_dump(const char *prefix, const void *buf, size_t len);

struct vorn_zip;
struct _xmlNode;
int load_sahara_image(vorn_zip *archive, const char *name, sahara_image *image);
void sahara_images_free(sahara_image *images, size_t count);
unsigned int attr_as_unsigned(_xmlNode *node, const char *attr, int *errors);
char *attr_as_string(_xmlNode *node, const char *attr, int *errors);
bool attr_as_bool(_xmlNode *node, const char *attr, int *errors);
extern const char *const storage_types[6];
const char *encode_storage_type(vorn_storage_type type);
vorn_storage_type decode_storage_type(const char *name);
int parse_storage_address(const char *address, int *physical_partition, unsigned int *start_sector,
			  unsigned int *num_sectors, char **gpt_partition);
// strtoul/strtol with the range of a 32-bit long on every platform (errno
// set to ERANGE and the limit returned beyond it).
unsigned long util_strtoul32(const char *s, char **end, int base);
long util_strtol32(const char *s, char **end, int base);
