// Little-endian load/store helpers for wire formats (Sahara packets, region
// tables, ELF and mbn headers). Byte by byte, so alignment and host order
// never matter.
#pragma once
#include <cstdint>
#include <cstddef>

static inline uint16_t le16_get(const uint8_t *p)
{
	return static_cast<uint16_t>(p[0] | (p[1] << 8));
}

static inline uint32_t le32_get(const uint8_t *p)
{
	return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
	       (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

static inline uint64_t le64_get(const uint8_t *p)
{
	return static_cast<uint64_t>(le32_get(p)) | (static_cast<uint64_t>(le32_get(p + 4)) << 32);
}

static inline void le16_put(uint8_t *p, uint16_t v)
{
	p[0] = static_cast<uint8_t>(v);
	p[1] = static_cast<uint8_t>(v >> 8);
}

static inline void le32_put(uint8_t *p, uint32_t v)
{
	for (int i = 0; i < 4; i++)
		p[i] = static_cast<uint8_t>(v >> (8 * i));
}

static inline void le64_put(uint8_t *p, uint64_t v)
{
	for (int i = 0; i < 8; i++)
		p[i] = static_cast<uint8_t>(v >> (8 * i));
}

// A field of 4 or 8 bytes, for formats that come in a 32-bit and a 64-bit
// layout (memory-debug packets and tables, ELF headers).
static inline uint64_t le_get(const uint8_t *p, unsigned width)
{
	return width == 8 ? le64_get(p) : le32_get(p);
}

static inline void le_put(uint8_t *p, unsigned width, uint64_t v)
{
	if (width == 8)
		le64_put(p, v);
	else
		le32_put(p, static_cast<uint32_t>(v));
}
