// Named memory-debug scenarios for the device model: what the emulator
// program serves, and what end-to-end tests build to know the files the tool
// must write.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "edl_model.h"

// Fills cfg (from a default emu_config) with the named scenario:
//  "crash"   a realistic crash: a kernel ELF header region (md_KELF) whose
//            PT_LOAD segments are kernel regions, a vmcoreinfo region with
//            real vmcoreinfo text, DDR regions of a few MiB (one of an odd
//            size, one above 4 GiB), OCIMEM, CODERAM and a few small ones;
//            about 12 MiB.
//  "registered"  a kernel header in registration order, as a kernel's
//            minidump driver builds it: the vmcoreinfo note between two
//            loadable segments, every p_offset following that order.
//  "crash32" a 32-bit device: MEMORY_DEBUG with 52-byte entries, an ELF-32
//            ARM kernel header (a PT_NOTE for the vmcoreinfo note region,
//            three PT_LOADs), DDR over several blocks, a region ending
//            exactly at 4 GiB; about 3 MiB.
//  "small"   three plain regions (one of them one byte over a 512 KiB
//            block), no kernel ELF header; for quick tests.
//  "empty"   a memory table of length 0.
//  "hostile-names"  badly named regions: duplicates (also by case), the
//            core's own name, control characters.
//  "windows-names"  names Windows cannot hold as plain files: device
//            names (NUL.BIN, con, COM1.bin, LPT9.BIN), the characters
//            < > " | ? *, a trailing dot or space; and ok.bin, k.bin.
//  "description-names"  regions named like the files that describe a
//            dump: "load.cmm" (the device's own script), "SHA256SUMS" and
//            "DUMP_INFO.TXT".
//  "hostile-kelf"   a kernel header whose segment claims 2^64-1 bytes and a
//            vmcoreinfo region named "minidump.elf".
//  "bulk:N"  one region of N MiB (1..65536), for throughput figures.
//  "many:N"  N regions of 4 KiB each (1..1024): a region table of 64*N bytes.
// Returns false for an unknown name or a bad number; cfg is then unchanged.
bool emu_scenario(const std::string &name, emu_config &cfg);

// The kernel log a scenario carries: the last kept of klog_messages(messages)
// (kernel_log.h). False for a scenario without one.
bool emu_scenario_kernel_log(const std::string &name, size_t &messages, size_t &kept);

// One line per scenario name, for usage texts.
const char *emu_scenario_help(void);

// What the tool must write for cfg: file name and content of every region
// (the device's memory behind it), and the expected "minidump.elf" (empty
// when cfg has no kernel ELF header region). For scenarios that fit in
// memory.
struct emu_expected_file {
	std::string name;
	std::vector<uint8_t> bytes;
};
std::vector<emu_expected_file> emu_expected_regions(const emu_model &model);
std::vector<uint8_t> emu_expected_minidump(const emu_model &model);
