// Named memory-debug scenarios for the device model: what the emulator
// program serves, and what end-to-end tests build to know the files the tool
// must write.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "edl_model.h"
#include "kernel_log.h"

// The kernel the kernel scenarios' headers describe, and where it maps
// memory. One place, so the vmcoreinfo text, the segments' addresses and
// anything else put in these kernels' memory agree.
//
// arm64 (crash, registered, kdriver): 5.15, 4 KiB pages, VA_BITS 39, no
// KASLR (KERNELOFFSET 0). RAM starts at PHYS_OFFSET 0x80000000.
//   kernel image   vaddr = paddr + kimage_voffset; _text at 0x80000000
//                  is 0xffffffc008000000, so kimage_voffset is
//                  0xffffffbf88000000. md_KTEXT, md_KDATA, md_KLOGBUF and
//                  linux_banner lie in the image.
//   linear map     vaddr = paddr - PHYS_OFFSET + 0xffffff8000000000 (the
//                  vmcoreinfo note's region).
// arm (crash32): 4.14, 4 KiB pages; everything in the linear map,
//   vaddr = paddr - 0x80000000 + 0xc0000000.
struct emu_kernel_info {
	const char *osrelease;
	bool arm64;
	unsigned va_bits;	 // arm64 only
	uint64_t kimage_voffset; // arm64 only: image vaddr - paddr
	uint64_t phys_offset;	 // physical start of RAM
	uint64_t page_offset;	 // virtual start of the linear map
	uint64_t stext;		 // vaddr of _stext
	uint64_t swapper_pg_dir; // vaddr
	uint64_t init_uts_ns;	 // vaddr
	uint64_t kerneloffset;	 // KASLR offset
};
const emu_kernel_info &emu_kernel_arm64(void);
const emu_kernel_info &emu_kernel_arm(void);
// Kernel image vaddr (arm64) or linear map vaddr (arm) of paddr.
uint64_t emu_kernel_vaddr(const emu_kernel_info &k, uint64_t paddr);
// Linear map vaddr of paddr.
uint64_t emu_linear_vaddr(const emu_kernel_info &k, uint64_t paddr);
// The vmcoreinfo text such a kernel writes, and the ELF note holding it.
std::string emu_vmcoreinfo_text(const emu_kernel_info &k);
std::vector<uint8_t> emu_vmcoreinfo_note(const emu_kernel_info &k);

// Fills cfg (from a default emu_config) with the named scenario:
//  "crash"   a realistic crash: the kernel header region md_KELF_HEADER
//            (PT_NOTE first: the VMCOREINFO note of region
//            md_KVMCOREINFO; then PT_LOADs of kernel regions at kernel
//            virtual addresses), DDR regions of a few MiB (one of an odd
//            size, one above 4 GiB), OCIMEM, CODERAM and a few small ones;
//            about 12 MiB.
//  "registered"  the same kind of header with the regions' bytes in
//            registration order: the note's bytes between two segments'.
//  "crash32" a 32-bit device: MEMORY_DEBUG with 52-byte entries, an ELF-32
//            ARM kernel header (PT_NOTE and three PT_LOADs), DDR over
//            several blocks, a region ending exactly at 4 GiB; about 3 MiB.
//  "kdriver" the header as a kernel's minidump driver lays it out: 200
//            section header slots, a 3200-byte STR_TBL and linux_banner in
//            the header, the banner's PT_LOAD pointing inside the header,
//            no PT_NOTE.
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

// The kernel a scenario's device crashed with, with its log; null for a
// scenario without one.
const emu_kernel_info *emu_scenario_kernel(const std::string &name);

// The kernel log a scenario carries: the last kept of klog_messages(messages)
// (kernel_log.h). False for a scenario without one.
bool emu_scenario_kernel_log(const std::string &name, size_t &messages, size_t &kept);
// That list (klog_messages of the scenario's kernel); empty for a scenario
// without a log.
std::vector<klog_message> emu_scenario_kernel_messages(const std::string &name);

// The virtual address of a variable of that log which vmcoreinfo does not
// give (log_first_seq), as the kernel's symbol table has it; 0 when the
// scenario's kernel has no such variable.
uint64_t emu_scenario_kernel_symbol(const std::string &name, const std::string &symbol);

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
