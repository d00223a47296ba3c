// The names of the files written beside the regions of a dump, shared by the
// engine that writes them and the readers that open them again.
#pragma once
#include <cstdint>
#include <cstring>
#include <string>

#define MINIDUMP_NAME "minidump.elf"
#define SUMS_NAME "SHA256SUMS"
#define LOAD_CMM_NAME "load.cmm"
#define DUMP_INFO_NAME "dump_info.txt"
#define DMESG_NAME "dmesg.txt"
#define DUMP_JSON_NAME "dump.json"

// The kernel's ELF header region, from which the core is made: its name in
// the device's table begins "md_KELF" (md_KELF_HEADER on real devices).
inline bool dump_is_kernel_header(const char *region)
{
	return strncmp(region, "md_KELF", 7) == 0;
}

// A region of the kernel's minidump ("md_K..."): the core's segments and
// notes come from these.
inline bool dump_is_kernel_region(const char *region)
{
	return strncmp(region, "md_K", 4) == 0;
}

// The lines of load.cmm and dump_info.txt, written by the engine and read
// again by the kernel-log reader: each line's format is defined here only.
// A parser takes one line (its newline optional), and is false when the
// line is not one of its kind; what follows the last field is ignored, so
// that older dumps still read.

// A line of load.cmm, "d.load.binary FILE 0xADDR /noclear": the region
// file a Trace32 script loads at a physical address.
struct dump_load_line {
	std::string file; // at most DUMP_LINE_FILE_MAX bytes are read back
	uint64_t addr = 0;
};

// A line of dump_info.txt, "INDEX 0xADDR LENGTH NAME FILE": a region of the
// device's table and the file it was saved to.
struct dump_info_line {
	uint64_t index = 0;
	uint64_t addr = 0;
	uint64_t length = 0;
	std::string name; // at most DUMP_LINE_NAME_MAX bytes are read back
	std::string file;
};

// The longest fields a parser reads whole.
#define DUMP_LINE_NAME_MAX 63
#define DUMP_LINE_FILE_MAX 299

// The line for l, its newline included. The file holds no blank or control
// byte: it is a name this program gave.
std::string dump_load_line_text(const dump_load_line &l);
bool dump_load_line_parse(const char *line, dump_load_line &l);

// The line for l, its newline included. The name is the device's: a blank
// or control byte becomes '?', and an empty name "-", so that the line
// keeps its five fields.
std::string dump_info_line_text(const dump_info_line &l);
bool dump_info_line_parse(const char *line, dump_info_line &l);
