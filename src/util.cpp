// Version banner and hex dump. (Image loading and Firehose helpers also live
// in this module.)
#include <cctype>
#include <cstdio>
#include <cstring>

#include "vorn.h"

static const char duruvev_version[] = "v2.7.1";

void print_version(void)
{
	printf("%s version %s\n", __progname, duruvev_version);
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
		printf("%s %04zx: %s\n", prefix, i, line);
	}
}
