// The ELF identification and program headers of a core or kernel header, of
// either class, read with the little-endian helpers. One reader for the core
// builder and the kernel-log reader.
#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

#define ELF_ET_CORE 4
#define ELF_PT_LOAD 1
#define ELF_PT_NOTE 4

// The bytes elf_read_header needs at most: a 64-bit ELF header.
#define ELF_HEADER_MAX 64

struct elf_phdr {
	uint32_t p_type;
	uint64_t p_offset;
	uint64_t p_vaddr;
	uint64_t p_paddr;
	uint64_t p_filesz;
};

// Where an ELF class keeps the fields read here: the 32- and 64-bit headers
// differ only in widths and offsets.
struct elf_class {
	uint8_t ei_class;
	const char *name; // "32-bit", "64-bit"
	unsigned word;	  // bytes of an address or file offset
	uint16_t ehdr_size, phdr_size;
	uint8_t e_phoff, e_phentsize, e_phnum;
	uint8_t p_offset, p_vaddr, p_paddr, p_filesz;
};

struct elf_header {
	const elf_class *cls; // null: not an ELF file of a known class
	uint16_t e_type;
	uint64_t e_phoff;
	uint16_t e_phnum;
	// The program header table: e_phnum entries of cls->phdr_size bytes.
	uint64_t table_size() const { return static_cast<uint64_t>(e_phnum) * cls->phdr_size; }
};

// Reads the ELF header at the start of buf (size bytes of the file, at least
// as many as the header of its class). False when buf holds no ELF header
// of a known class, or one whose program header entries are not of the
// class's size; out->cls says which, when the class was known.
bool elf_read_header(const uint8_t *buf, size_t size, elf_header *out);

// Decodes the program header table, as elf_header::table_size bytes.
std::vector<elf_phdr> elf_read_phdrs(const elf_header &h, const uint8_t *table);
