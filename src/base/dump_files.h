// The names of the files written beside the regions of a dump, shared by the
// engine that writes them and the readers that open them again.
#pragma once

#define MINIDUMP_NAME "minidump.elf"
#define SUMS_NAME "SHA256SUMS"
#define LOAD_CMM_NAME "load.cmm"
#define DUMP_INFO_NAME "dump_info.txt"
#define DMESG_NAME "dmesg.txt"
#define DUMP_JSON_NAME "dump.json"
