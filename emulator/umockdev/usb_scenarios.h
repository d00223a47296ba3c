// Named device scenarios of the umockdev front. Header-only so that the
// end-to-end tests build the very same configuration to compute what the
// tool must have written.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "edl_model.h"
#include "scenarios.h"

// "default": a kernel ELF header region with two loadable segments, a
// vmcoreinfo region, the two segment regions (one of an odd size) and two
// other regions, one of them just over one 512 KiB block.
// "plain": two regions, no kernel ELF header (no minidump.elf).
// Any other name is one of the shared scenarios (scenarios.h), such as
// "crash32". False for an unknown name.
inline bool emu_usb_scenario(const std::string &name, emu_config &cfg)
{
	cfg = emu_config();
	if (name == "default") {
		const uint64_t vmcore_len = 0x1000;
		std::vector<emu_kelf_segment> segs = {{1, 0x80000000, 0x30000}, {1, 0x80100000, 0x12345}};
		emu_region kelf;
		kelf.addr = 0x10000000;
		kelf.bytes = emu_make_kelf(segs, emu_kelf_size(segs.size()) + vmcore_len);
		kelf.length = kelf.bytes.size();
		kelf.region = "md_KELF_HEADER";
		kelf.filename = "md_KELF_HEADER.BIN";
		cfg.regions.push_back(kelf);
		cfg.regions.push_back({1, 0x10001000, vmcore_len, "md_KVMCORE", "md_KVMCORE.BIN", {}});
		cfg.regions.push_back({1, 0x80000000, 0x30000, "md_KTEXT", "md_KTEXT.BIN", {}});
		cfg.regions.push_back({1, 0x80100000, 0x12345, "md_KDATA", "md_KDATA.BIN", {}});
		cfg.regions.push_back({1, 0x14680000, 0x80001, "OCIMEM", "OCIMEM.BIN", {}});
		cfg.regions.push_back({1, 0x0c100000, 0x8000, "CODERAM", "CODERAM.BIN", {}});
		return true;
	}
	if (name == "plain") {
		cfg.regions.push_back({1, 0x14680000, 0x40000, "OCIMEM", "OCIMEM.BIN", {}});
		cfg.regions.push_back({1, 0x0c100000, 0x8000, "CODERAM", "CODERAM.BIN", {}});
		return true;
	}
	return emu_scenario(name, cfg);
}
