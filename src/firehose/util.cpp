// Version banner and hex dump; Sahara image loading, Firehose attribute
// helpers, storage types and storage addresses.
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <libxml/tree.h>

#include "file.h"
#include "util.h"
#include "ux.h"

static const char duruvev_version[] = "v2.7.1";

const char *version_text(void)
{
	return duruvev_version;
}

void print_version(void)
{
	printf("%s version %s\n", ux_program_name(), duruvev_version);
}

static char to_hex(uint8_t nibble)
{
	return static_cast<char>(nibble < 10 ? '0' + nibble : 'a' + nibble - 10);
}

void print_hex_dump(const char *prefix, const void *buf, size_t len)
{
	const uint8_t *bytes = static_cast<const uint8_t *>(buf);
	char line[16 * 3 + 16 + 1];

	for (size_t i = 0; i < len; i += 16) {
		size_t linelen = len - i < 16 ? len - i : 16;
		char *p = line;

		for (size_t j = 0; j < 16; j++) {
			if (j < linelen) {
				*p++ = to_hex(bytes[i + j] >> 4);
				*p++ = to_hex(bytes[i + j] & 0xf);
				*p++ = ' ';
			} else {
				memcpy(p, "   ", 3);
				p += 3;
			}
		}
		for (size_t j = 0; j < linelen; j++) {
			uint8_t c = bytes[i + j];
			*p++ = (c >= 0x20 && c <= 0x7e) ? static_cast<char>(c) : '.';
		}
		*p = '\0';
		// Through the console's own output, under the device's prefix.
		ux_info("%s %04zx: %s\n", prefix, i, line);
	}
}

int load_sahara_image(vorn_zip *archive, const char *name, sahara_image *image)
{
	vorn_file file;

	if (vorn_file_open(archive, name, &file) < 0) {
		ux_err("failed to read \"%s\"\n", name);
		return -1;
	}

	size_t len = 0;
	void *ptr = vorn_file_load(&file, &len);
	vorn_file_close(&file);
	if (!ptr || len == 0) {
		free(ptr);
		return -1;
	}

	char *copy = strdup(name);
	if (!copy) {
		ux_err("unable to allocate memory to load file\n");
		free(ptr);
		return -1;
	}

	image->name = copy;
	image->ptr = ptr;
	image->len = len;
	return 0;
}

void sahara_images_free(sahara_image *images, size_t count)
{
	for (size_t i = 0; i < count; i++) {
		free(images[i].name);
		free(images[i].ptr);
		images[i].name = nullptr;
		images[i].ptr = nullptr;
		images[i].len = 0;
	}
}

static bool util_negative_sign(const char *s)
{
	while (isspace(static_cast<unsigned char>(*s)))
		s++;
	return *s == '-';
}

// The Windows runtime's long is 32 bits wide, so numbers in attributes and
// addresses have the range of a 32-bit strtoul/strtol on every platform.
unsigned long util_strtoul32(const char *s, char **end, int base)
{
	char *stop;
	int saved = errno;

	errno = 0;
	unsigned long long v = strtoull(s, &stop, base);
	int e = errno;
	if (end)
		*end = stop;
	if (stop == s) {
		errno = e ? e : saved;
		return 0;
	}
	if (e == ERANGE) {
		errno = ERANGE;
		return UINT32_MAX;
	}
	// strtoull negated the magnitude for a leading '-'; undo that to check
	// the magnitude's range, then negate in 32 bits as strtoul would.
	bool neg = util_negative_sign(s);
	unsigned long long mag = neg ? 0ULL - v : v;
	if (mag > UINT32_MAX) {
		errno = ERANGE;
		return UINT32_MAX;
	}
	errno = saved;
	return neg ? static_cast<uint32_t>(0U - static_cast<uint32_t>(mag)) : static_cast<uint32_t>(mag);
}

long util_strtol32(const char *s, char **end, int base)
{
	char *stop;
	int saved = errno;

	errno = 0;
	long long v = strtoll(s, &stop, base);
	int e = errno;
	if (end)
		*end = stop;
	if (stop == s) {
		errno = e ? e : saved;
		return 0;
	}
	if (e == ERANGE || v > INT32_MAX || v < INT32_MIN) {
		errno = ERANGE;
		return v < 0 ? INT32_MIN : INT32_MAX;
	}
	errno = saved;
	return static_cast<long>(v);
}

unsigned int attr_as_unsigned(_xmlNode *node, const char *attr, int *errors)
{
	xmlChar *value = xmlGetProp(node, reinterpret_cast<const xmlChar *>(attr));
	if (!value) {
		(*errors)++;
		return 0;
	}
	unsigned long v = util_strtoul32(reinterpret_cast<const char *>(value), nullptr, 0);
	xmlFree(value);
	return static_cast<unsigned int>(v);
}

char *attr_as_string(_xmlNode *node, const char *attr, int *errors)
{
	xmlChar *value = xmlGetProp(node, reinterpret_cast<const xmlChar *>(attr));
	if (!value) {
		(*errors)++;
		return nullptr;
	}
	char *copy = nullptr;
	if (value[0] != '\0')
		copy = strdup(reinterpret_cast<const char *>(value));
	xmlFree(value);
	return copy;
}

bool attr_as_bool(_xmlNode *node, const char *attr, int *errors)
{
	const xmlChar *name = reinterpret_cast<const xmlChar *>(attr);

	if (!xmlHasProp(node, name))
		return false;
	xmlChar *value = xmlGetProp(node, name);
	if (!value) {
		(*errors)++;
		return false;
	}
	bool result = xmlStrcmp(value, reinterpret_cast<const xmlChar *>("true")) == 0;
	xmlFree(value);
	return result;
}

const char *const storage_types[6] = {
	nullptr, "emmc", "nand", "ufs", "nvme", "spinor",
};

const char *encode_storage_type(vorn_storage_type type)
{
	if (static_cast<uint32_t>(type) > VORN_STORAGE_SPINOR)
		return nullptr;
	return storage_types[type];
}

vorn_storage_type decode_storage_type(const char *name)
{
	if (!name)
		return VORN_STORAGE_UNKNOWN;
	for (uint32_t i = 0; i <= VORN_STORAGE_SPINOR; i++) {
		if (storage_types[i] && strcmp(storage_types[i], name) == 0)
			return static_cast<vorn_storage_type>(i);
	}
	return VORN_STORAGE_UNKNOWN;
}

// Reads an unsigned sector number. A sign is refused: "-5" would wrap to a
// sector near the end of the device instead of being reported as malformed.
static bool address_unsigned(const char *s, char **end, unsigned int *value)
{
	errno = 0;
	unsigned long v = util_strtoul32(s, end, 10);
	if (*end == s)
		return true;
	if (errno == ERANGE || util_negative_sign(s))
		return false;
	*value = static_cast<unsigned int>(v);
	return true;
}

int parse_storage_address(const char *address, int *physical_partition, unsigned int *start_sector,
			  unsigned int *num_sectors, char **gpt_partition)
{
	char *end;
	const char *name = nullptr;
	unsigned int start = 0;
	unsigned int count = 0;

	errno = 0;
	long part = util_strtol32(address, &end, 10);
	if (end == address) {
		name = address;
		part = -1;
	} else {
		if (errno == ERANGE || part < 0)
			return -1;
		if (*end != '\0') {
			if (*end != '/')
				return -1;
			const char *rest = end + 1;
			if (!address_unsigned(rest, &end, &start))
				return -1;
			if (end == rest) {
				name = rest;
			} else if (*end != '\0') {
				if (*end != '+')
					return -1;
				const char *third = end + 1;
				if (!address_unsigned(third, &end, &count) || end == third || count == 0 ||
				    *end != '\0')
					return -1;
			}
		}
	}

	char *copy = nullptr;
	if (name) {
		copy = strdup(name);
		if (!copy)
			return -1;
	}
	*physical_partition = static_cast<int>(part);
	*start_sector = start;
	*num_sectors = count;
	*gpt_partition = copy;
	return 0;
}
