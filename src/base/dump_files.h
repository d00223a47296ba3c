// The names of the files written beside the regions of a dump, shared by the
// engine that writes them and the readers that open them again.
#pragma once
#include <cstring>

#define MINIDUMP_NAME "minidump.elf"
#define SUMS_NAME "SHA256SUMS"
#define LOAD_CMM_NAME "load.cmm"
#define DUMP_INFO_NAME "dump_info.txt"
#define DMESG_NAME "dmesg.txt"

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
