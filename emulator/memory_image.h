// A device whose memory is a real guest's: the ELF core of a crashed
// kernel's RAM that QEMU's dump-guest-memory writes, offered as a phone
// offers its memory.
//  "ram"       all of RAM as two DDR regions, nothing else: no kernel
//              header, no vmcoreinfo region.
//  "minidump"  what a kernel's minidump driver registers: md_KELF_HEADER
//              (a PT_NOTE for the vmcoreinfo note, a PT_LOAD per region
//              at its kernel virtual address), md_KVMCOREINFO (the note
//              the kernel keeps) and the printk ring: md_KPRB (the prb
//              pointer), md_KPRB_RING (its structure), md_KLOGDESC,
//              md_KLOGINFO and md_KLOGBUF (its descriptors, infos, text).
// A 32-bit ARM guest is a 32-bit device (MEMORY_DEBUG).
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "edl_model.h"

// One program header of an ELF file.
struct emu_phdr {
	uint32_t type = 0;
	uint64_t offset = 0, vaddr = 0, paddr = 0, filesz = 0;
};
// The program headers of ELF bytes (32- or 64-bit by their class); empty
// when the bytes do not hold them all.
std::vector<emu_phdr> emu_elf_phdrs(const std::vector<uint8_t> &elf);

// Fills cfg with the regions of the memory image at path in the layout
// named; false with the reason when the file or its kernel cannot give them.
bool emu_memory_image(const std::string &layout, const std::string &path, emu_config &cfg, std::string &why);
