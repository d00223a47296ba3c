// The kernel log of a dump on disk: the memory map of its region files and
// core, its vmcoreinfo, and the log read from them (kmsg). Used when a dump
// is complete, to write dmesg.txt, and by --dmesg on an existing directory.
#pragma once
#include <cstdio>
#include <string>
#include <vector>

#include "dump_files.h"
#include "kmsg.h"
#include "oscompat.h"

// One saved region file of the dump: its name in the device's table, its
// file in the directory, and the physical memory it holds.
struct dmesg_region {
	std::string name;
	std::string file;
	uint64_t addr = 0;
	uint64_t length = 0;
};

// Reads the kernel log of the dump in the open directory dir from the given
// region files and from minidump.elf: its segments are memory too, and its
// notes hold vmcoreinfo. Without a core, the kernel header region gives the
// word size, the linear offset and where its vmcoreinfo note lies; failing
// those, a region named like vmcoreinfo, or a small region that starts with
// it, gives vmcoreinfo; in a dump of all RAM, the page of RAM that holds it.
// Every file is opened in dir itself, never through a
// link, so a path swapped meanwhile cannot feed it other files. 0, or -1
// with a one-line reason in why.
int dmesg_read_dump(os_dir_handle dir, const std::vector<dmesg_region> &regions, kmsg_log &log, std::string &why);

// The region files that dump_info.txt in dir lists (plain names only); none
// when it has no such file (a dump cut short, or one made before it was
// written).
std::vector<dmesg_region> dmesg_dump_info(os_dir_handle dir);

// --dmesg DIR: prints the kernel log of an existing dump directory to out,
// opening the directory once and its files in it; a dump without
// dump_info.txt has its regions from load.cmm. 0, or 1 after one line on
// what is missing.
int dmesg_print(const char *path, FILE *out);
