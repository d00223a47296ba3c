// Named memory-debug scenarios and the files a correct dump of them yields.
#include "scenarios.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "kernel_log.h"
#include "le.h"
#include "memory_image.h"

namespace {

constexpr uint64_t KiB = 1024;
constexpr uint64_t MiB = 1024 * KiB;

emu_region region(uint64_t addr, uint64_t length, const char *name, const char *file)
{
	emu_region r;
	r.type = 1;
	r.addr = addr;
	r.length = length;
	r.region = name;
	r.filename = file;
	return r;
}

// The kernel header region and the regions it describes, registered in
// the order given; returns the header region.
emu_region kernel_header(uint64_t addr, const emu_kernel_header &k)
{
	emu_region r = region(addr, 0, "md_KELF_HEADER", "md_KELF_HEADER.BIN");
	r.bytes = emu_make_kernel_header(k);
	r.length = r.bytes.size();
	return r;
}

// A kernel region at paddr, and its segment in the header.
struct kregion {
	emu_region r;
	emu_kernel_segment seg;
};
kregion kernel_region(const emu_kernel_info &k, const char *name, uint64_t paddr, uint64_t length)
{
	std::string md = std::string("md_") + name;
	kregion kr{region(paddr, length, md.c_str(), (md + ".BIN").c_str()), {}};
	kr.seg = {name, 1, paddr, emu_kernel_vaddr(k, paddr), length};
	return kr;
}

// The vmcoreinfo note's region: exactly the note, in the linear map.
kregion vmcoreinfo_region(const emu_kernel_info &k, uint64_t paddr)
{
	std::vector<uint8_t> note = emu_vmcoreinfo_note(k);
	kregion kr = kernel_region(k, "KVMCOREINFO", paddr, note.size());
	kr.r.bytes = note;
	kr.seg.type = 4;
	kr.seg.vaddr = emu_linear_vaddr(k, paddr);
	return kr;
}

// Header segments and table entries of kernel regions in registration order.
void add_kernel_regions(const std::vector<kregion> &krs, emu_kernel_header &k, std::vector<emu_region> &regions)
{
	for (const kregion &kr : krs) {
		k.segments.push_back(kr.seg);
		regions.push_back(kr.r);
	}
}

// The log each emulated kernel keeps, a few hundred messages that wrap it
// and end with the panic, in its kernel data and log buffer regions
// (KDATA at 0x81e00000 or 0x80b00000, KLOGBUF at 0x82c00000 or 0x80d00000,
// in every scenario of that kernel).
//  arm64 (5.15): the 5.10+ printk ring: prb and the ring's structure in the
//    image's data; the descriptors, infos and text allocated at boot
//    (log_buf_len=) in the linear map.
//  arm (4.14): log_buf records in its data, with a len-0 record where they
//    go on at the buffer's start.
constexpr size_t arm64_log_messages = 400, arm_log_messages = 300;

const klog_built &kernel_log_of(const emu_kernel_info &k)
{
	static const klog_built arm64 = [] {
		const emu_kernel_info &a = emu_kernel_arm64();
		klog_prb_params p;
		p.count_bits = 8;
		p.size_bits = 14;
		p.messages = arm64_log_messages;
		p.vars = {emu_kernel_vaddr(a, 0x81e08000), 0x81e08000};
		p.rings = {emu_linear_vaddr(a, 0x82c00000), 0x82c00000};
		return klog_build_prb(p);
	}();
	static const klog_built arm = [] {
		const emu_kernel_info &a = emu_kernel_arm();
		klog_logbuf_params p;
		p.buf_len = 16384;
		p.messages = arm_log_messages;
		p.arch = klog_arch::arm;
		p.vars = {emu_kernel_vaddr(a, 0x80b08000), 0x80b08000};
		p.rings = {emu_kernel_vaddr(a, 0x80d00000), 0x80d00000};
		return klog_build_logbuf(p);
	}();
	return k.arm64 ? arm64 : arm;
}

// Puts the bytes of the kernel's log into every region that holds their
// addresses.
void place_log(const emu_kernel_info &k, std::vector<emu_region> &regions)
{
	for (const klog_piece &p : kernel_log_of(k).pieces)
		for (emu_region &r : regions) {
			if (p.paddr < r.addr || p.paddr - r.addr > r.length || p.bytes.size() > r.length - (p.paddr - r.addr))
				continue;
			if (r.bytes.size() < r.length) {
				size_t had = r.bytes.size();
				r.bytes.resize(static_cast<size_t>(r.length));
				emu_pattern_fill(r.addr + had, r.bytes.data() + had, r.bytes.size() - had);
			}
			memcpy(r.bytes.data() + (p.paddr - r.addr), p.bytes.data(), p.bytes.size());
		}
}

void crash(emu_config &cfg)
{
	const emu_kernel_info &k = emu_kernel_arm64();
	std::vector<kregion> krs = {
		vmcoreinfo_region(k, 0x85f01000),
		kernel_region(k, "KTEXT", 0x80010000, MiB + 0x3450),
		kernel_region(k, "KDATA", 0x81e00000, 256 * KiB),
		kernel_region(k, "KLOGBUF", 0x82c00000, 128 * KiB),
	};
	emu_kernel_header h;
	std::vector<emu_region> kernel;
	add_kernel_regions(krs, h, kernel);

	cfg.regions = {
		region(0x0c100000, 32 * KiB, "CODERAM", "CODERAM.BIN"),
		region(0x14680000, 256 * KiB, "OCIMEM", "OCIMEM.BIN"),
		region(0x146bf000, 4 * KiB, "RST_STAT", "RST_STAT.BIN"),
		region(0x0b0e0000, 12 * KiB, "PMIC_PON", "PMIC_PON.BIN"),
		kernel_header(0x85f00000, h),
	};
	cfg.regions.insert(cfg.regions.end(), kernel.begin(), kernel.end());
	cfg.regions.insert(cfg.regions.end(), {
		region(0x80000000, 4 * MiB, "DDRCS0_0", "DDRCS0_0.BIN"),
		region(0x80400000, 3 * MiB + 0x1234, "DDRCS0_1", "DDRCS0_1.BIN"),
		region(0x880000000, 2 * MiB, "DDRCS1_0", "DDRCS1_0.BIN"),
		region(0x8a0000000, 512 * KiB, "DDRCS1_1", "DDRCS1_1.BIN"),
	});
	place_log(k, cfg.regions);
	// Outside every region, so no region read can be mistaken for it.
	cfg.table_addr = 0x14800000;
}

// A kernel whose minidump driver gave every region it registered the next
// file offset: the kernel text, then the vmcoreinfo note, then the kernel
// data and the log buffer; the table lists the regions in that order too.
void registered(emu_config &cfg)
{
	const emu_kernel_info &k = emu_kernel_arm64();
	std::vector<kregion> krs = {
		kernel_region(k, "KTEXT", 0x80010000, 512 * KiB + 0x1450),
		vmcoreinfo_region(k, 0x85f01000),
		kernel_region(k, "KDATA", 0x81e00000, 192 * KiB),
		kernel_region(k, "KLOGBUF", 0x82c00000, 64 * KiB),
	};
	emu_kernel_header h;
	std::vector<emu_region> kernel;
	add_kernel_regions(krs, h, kernel);
	cfg.regions = {kernel_header(0x85f00000, h)};
	cfg.regions.insert(cfg.regions.end(), kernel.begin(), kernel.end());
	cfg.regions.insert(cfg.regions.end(), {
		region(0x14680000, 256 * KiB, "OCIMEM", "OCIMEM.BIN"),
		region(0x80000000, 1 * MiB, "DDRCS0_0", "DDRCS0_0.BIN"),
	});
	place_log(k, cfg.regions);
	cfg.table_addr = 0x14800000;
}

// A 32-bit device (MEMORY_DEBUG table) with a 32-bit ARM kernel: an ELF-32
// header with the vmcoreinfo note and three kernel regions, DDR over
// several blocks, and the high vectors page, which ends exactly at 4 GiB.
void crash32(emu_config &cfg)
{
	const emu_kernel_info &k = emu_kernel_arm();
	std::vector<kregion> krs = {
		vmcoreinfo_region(k, 0x8fe01000),
		kernel_region(k, "KTEXT", 0x80008000, 0x9c000 + 0x2340),
		kernel_region(k, "KDATA", 0x80b00000, 128 * KiB),
		kernel_region(k, "KLOGBUF", 0x80d00000, 64 * KiB),
	};
	emu_kernel_header h;
	h.elf32 = true;
	std::vector<emu_region> kernel;
	add_kernel_regions(krs, h, kernel);

	cfg.debug32 = true;
	cfg.regions = {
		region(0x08600000, 4 * KiB, "IMEM", "IMEM.BIN"),
		region(0x004ab000, 4 * KiB, "RST_STAT", "RST_STAT.BIN"),
		kernel_header(0x8fe00000, h),
	};
	cfg.regions.insert(cfg.regions.end(), kernel.begin(), kernel.end());
	cfg.regions.insert(cfg.regions.end(), {
		region(0x80000000, 2 * MiB + 0x1234, "DDRCS0", "DDRCS0.BIN"),
		region(0xffff0000, 64 * KiB, "HIVECS", "HIVECS.BIN"),
	});
	place_log(k, cfg.regions);
	cfg.table_addr = 0x08680000;
}

// The header a kernel's minidump driver builds: its own copy of
// linux_banner inside the header, 200 section slots and a 3200-byte STR_TBL
// reserved for regions registered later, no vmcoreinfo note.
void kdriver(emu_config &cfg)
{
	const emu_kernel_info &k = emu_kernel_arm64();
	std::vector<kregion> krs = {
		kernel_region(k, "KTEXT", 0x80010000, 256 * KiB + 0x10),
		kernel_region(k, "KDATA", 0x81e00000, 64 * KiB),
		kernel_region(k, "KLOGBUF", 0x82c00000, 128 * KiB),
	};
	emu_kernel_header h;
	h.section_slots = 200;
	h.strtab_size = 200 * 16;
	h.banner = std::string("Linux version ") + k.osrelease +
		   " (build-user@build-host) (Android (8508608) clang version 14.0.7, LLD 14.0.7) #1 SMP PREEMPT "
		   "Mon Jan 1 00:00:00 UTC 2024\n";
	// linux_banner in the image's rodata, which no region holds.
	h.banner_paddr = 0x81a00140;
	h.banner_vaddr = emu_kernel_vaddr(k, h.banner_paddr);
	h.table_vaddr = emu_kernel_vaddr(k, 0x82b10000);
	std::vector<emu_region> kernel;
	add_kernel_regions(krs, h, kernel);
	cfg.regions = {kernel_header(0x85f00000, h)};
	cfg.regions.insert(cfg.regions.end(), kernel.begin(), kernel.end());
	cfg.regions.insert(cfg.regions.end(), {
		region(0x14680000, 64 * KiB, "OCIMEM", "OCIMEM.BIN"),
		region(0x80000000, 1 * MiB, "DDRCS0_0", "DDRCS0_0.BIN"),
	});
	place_log(k, cfg.regions);
	cfg.table_addr = 0x14800000;
}

void small(emu_config &cfg)
{
	cfg.regions = {
		region(0x14680000, 40 * KiB, "OCIMEM", "OCIMEM.BIN"),
		region(0x80000000, 512 * KiB + 1, "DDR_EDGE", "DDR_EDGE.BIN"),
		region(0x0c100000, 100, "CODERAM", "CODERAM.BIN"),
	};
}

// A device whose table names files badly: duplicates (also by case), the
// core's own name, and control characters that would reach a terminal.
void hostile_names(emu_config &cfg)
{
	cfg.regions = {
		region(0x14680000, 4 * KiB, "OCIMEM", "OCIMEM.BIN"),
		region(0x14690000, 4 * KiB, "OCIMEM2", "OCIMEM.BIN"),
		region(0x146a0000, 4 * KiB, "OCIMEM3", "ocimem.bin"),
		region(0x146b0000, 4 * KiB, "CORE", "minidump.elf"),
		region(0x146c0000, 4 * KiB, "ESC", "E\x1b]0;owned\x07.BIN"),
		region(0x146d0000, 4 * KiB, "NL", "N\nL.BIN"),
		region(0x146e0000, 4 * KiB, "DEL", "D\x7f.BIN"),
	};
}

// Names a Linux file system takes but Windows cannot hold as plain files:
// device names, characters Windows refuses, a trailing dot or space.
void windows_names(emu_config &cfg)
{
	const char *names[] = {"NUL.BIN", "con",     "COM1.bin", "LPT9.BIN", "A?B.BIN", "C*D.BIN", "E|F.BIN",
			       "G<H>.BIN", "I\"J.BIN", "K.BIN.",   "L.BIN ",   "ok.bin",  "k.bin"};
	uint64_t addr = 0x14680000;
	for (const char *n : names) {
		cfg.regions.push_back(region(addr, 4 * KiB + 7, "WIN", n));
		addr += 0x10000;
	}
}

// Regions named like the files that describe a dump: the device's own
// Trace32 script "load.cmm", and "SHA256SUMS" and "dump_info.txt"; and like
// the record that lets a dump cut short continue.
void description_names(emu_config &cfg)
{
	cfg.regions = {
		region(0x14680000, 8 * KiB, "OCIMEM", "OCIMEM.BIN"),
		region(0x146a0000, 1000, "LOADCMM", "load.cmm"),
		region(0x146b0000, 3000, "SUMS", "SHA256SUMS"),
		region(0x146c0000, 2000, "INFO", "DUMP_INFO.TXT"),
		region(0x146d0000, 1500, "RECORD", ".duruvev-resume"),
	};
}

// A kernel ELF header whose segment claims 2^64-1 bytes, and a vmcoreinfo
// region named like the core: neither may make the core grow without end.
void hostile_kelf(emu_config &cfg)
{
	const uint64_t ktext = 0x80010000;
	std::vector<emu_kelf_segment> segs = {{1, ktext, ~0ULL}};
	emu_region kelf = region(0x85f00000, 0, "md_KELF_HEADER", "md_KELF_HEADER.BIN");
	kelf.bytes = emu_make_kelf(segs, emu_kelf_size(segs.size()) + 4 * KiB);
	kelf.length = kelf.bytes.size();
	cfg.regions = {
		kelf,
		region(0x85f01000, 4 * KiB, "md_KVMCOREINFO", "minidump.elf"),
		region(ktext, 64 * KiB, "md_KTEXT", "md_KTEXT.BIN"),
		region(0x80000000, 1 * MiB, "DDR", "DDR.BIN"),
	};
}

// A kernel header whose second segment (2 MiB) names memory no region holds:
// within the bound the core builder allows, but the core is mostly zeros and
// about as large as all the regions together.
void fat_kelf(emu_config &cfg)
{
	const uint64_t ktext = 0x80010000;
	std::vector<emu_kelf_segment> segs = {{1, ktext, 64 * KiB}, {1, 0x90000000, 2 * MiB}};
	emu_region kelf = region(0x85f00000, 0, "md_KELF", "md_KELF.BIN");
	kelf.bytes = emu_make_kelf(segs, emu_kelf_size(segs.size()) + 4 * KiB);
	kelf.length = kelf.bytes.size();
	cfg.regions = {
		kelf,
		region(0x85f01000, 4 * KiB, "md_KVMCOREINFO", "md_KVMCOREINFO.BIN"),
		region(ktext, 64 * KiB, "md_KTEXT", "md_KTEXT.BIN"),
		region(0x80000000, 2 * MiB, "DDR", "DDR.BIN"),
	};
}

// "prefix:N" with N in 1..max.
bool numbered(const std::string &name, const char *prefix, uint64_t max, uint64_t *n)
{
	size_t plen = strlen(prefix);
	if (name.compare(0, plen, prefix) != 0 || name.size() == plen)
		return false;
	const char *digits = name.c_str() + plen;
	for (const char *p = digits; *p; p++)
		if (*p < '0' || *p > '9')
			return false;
	errno = 0;
	unsigned long long v = strtoull(digits, nullptr, 10);
	if (errno != 0 || v < 1 || v > max)
		return false;
	*n = v;
	return true;
}

} // namespace

const emu_kernel_info &emu_kernel_arm64(void)
{
	static const emu_kernel_info k = {
		"5.15.104-android13-8-g1ab2c3d4e5f6",
		true,
		39,
		0xffffffbf88000000ULL,
		0x80000000ULL,
		0xffffff8000000000ULL,
		0xffffffc008010000ULL,
		0xffffffc00a1ba000ULL,
		0xffffffc00a2d8a50ULL,
		0,
	};
	return k;
}

const emu_kernel_info &emu_kernel_arm(void)
{
	static const emu_kernel_info k = {
		"4.14.190-perf", false, 0, 0, 0x80000000ULL, 0xc0000000ULL, 0xc0008000ULL, 0xc0004000ULL, 0xc1a0f2c8ULL, 0,
	};
	return k;
}

uint64_t emu_linear_vaddr(const emu_kernel_info &k, uint64_t paddr)
{
	return paddr - k.phys_offset + k.page_offset;
}

uint64_t emu_kernel_vaddr(const emu_kernel_info &k, uint64_t paddr)
{
	return k.arm64 ? paddr + k.kimage_voffset : emu_linear_vaddr(k, paddr);
}

namespace {

// The lines only an arm64 kernel adds: how it maps its memory.
std::string arm64_vmcoreinfo(const emu_kernel_info &k)
{
	char arch[256] = "";
	if (k.arm64)
		snprintf(arch, sizeof(arch),
			 "NUMBER(VA_BITS)=%u\n"
			 "NUMBER(kimage_voffset)=0x%llx\n"
			 "NUMBER(PHYS_OFFSET)=0x%llx\n"
			 "NUMBER(TCR_EL1_T1SZ)=%u\n",
			 k.va_bits, static_cast<unsigned long long>(k.kimage_voffset),
			 static_cast<unsigned long long>(k.phys_offset), 64 - k.va_bits);
	return arch;
}

} // namespace

std::string emu_vmcoreinfo_text(const emu_kernel_info &k)
{
	char head[512];
	// What crash_save_vmcoreinfo_init() writes, in its order, then the
	// architecture's lines and the crash time.
	snprintf(head, sizeof(head),
		 "OSRELEASE=%s\n"
		 "PAGESIZE=4096\n"
		 "SYMBOL(init_uts_ns)=%llx\n"
		 "OFFSET(uts_namespace.name)=%d\n"
		 "SYMBOL(swapper_pg_dir)=%llx\n"
		 "SYMBOL(_stext)=%llx\n",
		 k.osrelease, static_cast<unsigned long long>(k.init_uts_ns), k.arm64 ? 0 : 4,
		 static_cast<unsigned long long>(k.swapper_pg_dir), static_cast<unsigned long long>(k.stext));
	std::string t = head;
	t += k.arm64 ? "SYMBOL(vmap_area_list)=ffffffc00a2f1eb8\n"
		       "SYMBOL(mem_section)=ffffff8003f00000\n"
		       "LENGTH(mem_section)=2048\n"
		       "SIZE(mem_section)=16\n"
		       "OFFSET(mem_section.section_mem_map)=0\n"
		       "NUMBER(MAX_PHYSMEM_BITS)=48\n"
		       "SIZE(page)=64\n"
		       "SIZE(pglist_data)=6592\n"
		       "SIZE(zone)=1664\n"
		       "OFFSET(page.flags)=0\n"
		       "OFFSET(page._refcount)=52\n"
		       "OFFSET(page.mapping)=24\n"
		       "OFFSET(page.lru)=8\n"
		     : "SYMBOL(vmap_area_list)=c1a3e1d0\n"
		       "SYMBOL(mem_map)=c1b8e1a4\n"
		       "SYMBOL(contig_page_data)=c1a94f40\n"
		       "SIZE(page)=32\n"
		       "SIZE(pglist_data)=3456\n"
		       "SIZE(zone)=640\n"
		       "OFFSET(page.flags)=0\n"
		       "OFFSET(page._refcount)=20\n"
		       "OFFSET(page.mapping)=12\n"
		       "OFFSET(page.lru)=4\n";
	t += "LENGTH(zone.free_area)=11\n"
	     "NUMBER(PG_lru)=4\n"
	     "NUMBER(PG_private)=13\n"
	     "NUMBER(PG_swapcache)=10\n"
	     "NUMBER(PG_slab)=9\n"
	     "NUMBER(PAGE_BUDDY_MAPCOUNT_VALUE)=-129\n";
	char tail[64];
	snprintf(tail, sizeof(tail), "KERNELOFFSET=%llx\nCRASHTIME=1700000000\n",
		 static_cast<unsigned long long>(k.kerneloffset));
	// The printk lines come from log_buf_vmcoreinfo_setup(), called from
	// crash_save_vmcoreinfo_init() before the architecture's lines.
	return t + kernel_log_of(k).vmcoreinfo + arm64_vmcoreinfo(k) + tail;
}

std::vector<uint8_t> emu_vmcoreinfo_note(const emu_kernel_info &k)
{
	return emu_elf_note("VMCOREINFO", 0, emu_vmcoreinfo_text(k));
}

bool emu_scenario(const std::string &name, emu_config &cfg)
{
	emu_config out;
	uint64_t n = 0;

	if (name == "crash") {
		crash(out);
	} else if (name == "registered") {
		registered(out);
	} else if (name == "crash32") {
		crash32(out);
	} else if (name == "kdriver") {
		kdriver(out);
	} else if (name == "small") {
		small(out);
	} else if (name == "small-moved") {
		// As many regions as small, and the same first ones: a table that
		// differs only in its last entry.
		small(out);
		out.regions.back().addr += 0x1000;
	} else if (name == "empty") {
		out.table_length = 0;
	} else if (name == "hostile-names") {
		hostile_names(out);
	} else if (name == "windows-names") {
		windows_names(out);
	} else if (name == "description-names") {
		description_names(out);
	} else if (name == "hostile-kelf") {
		hostile_kelf(out);
	} else if (name == "fat-kelf") {
		fat_kelf(out);
	} else if (numbered(name, "bulk:", 65536, &n)) {
		out.regions = {region(0x80000000, n * MiB, "DDRCS0", "DDRCS0.BIN")};
	} else if (numbered(name, "many:", 1024, &n)) {
		for (uint64_t i = 0; i < n; i++) {
			std::string tag = "R" + std::to_string(i);
			out.regions.push_back(region(0x90000000 + i * 0x10000, 4 * KiB, tag.c_str(), (tag + ".BIN").c_str()));
		}
	} else {
		return false;
	}
	cfg = std::move(out);
	return true;
}

const emu_kernel_info *emu_scenario_kernel(const std::string &name)
{
	if (name == "crash32")
		return &emu_kernel_arm();
	if (name == "crash" || name == "registered")
		return &emu_kernel_arm64();
	return nullptr;
}

bool emu_scenario_kernel_log(const std::string &name, size_t &messages, size_t &kept)
{
	const emu_kernel_info *k = emu_scenario_kernel(name);
	if (!k)
		return false;
	messages = k->arm64 ? arm64_log_messages : arm_log_messages;
	kept = messages - kernel_log_of(*k).dropped;
	return true;
}

std::vector<klog_message> emu_scenario_kernel_messages(const std::string &name)
{
	const emu_kernel_info *k = emu_scenario_kernel(name);
	if (!k)
		return {};
	return klog_messages(k->arm64 ? arm64_log_messages : arm_log_messages,
			     k->arm64 ? klog_arch::arm64 : klog_arch::arm);
}

uint64_t emu_scenario_kernel_symbol(const std::string &name, const std::string &symbol)
{
	const emu_kernel_info *k = emu_scenario_kernel(name);
	if (!k)
		return 0;
	for (const auto &[sym, vaddr] : kernel_log_of(*k).symbols)
		if (sym == symbol)
			return vaddr;
	return 0;
}

const char *emu_scenario_help(void)
{
	return "  crash    realistic crash: kernel ELF header, vmcoreinfo, kernel and DDR regions (~12 MiB)\n"
	       "  registered  kernel header in registration order: the vmcoreinfo note's\n"
	       "           bytes between two segments', each at the next file offset\n"
	       "  crash32  a 32-bit device (MEMORY_DEBUG) with an ELF-32 ARM kernel header (~3 MiB)\n"
	       "  kdriver  kernel header as a kernel's minidump driver lays it out: linux_banner\n"
	       "           inside the header, 200 section slots, no vmcoreinfo note\n"
	       "  small    three plain regions, no kernel ELF header\n"
	       "  small-moved  small with its last region at another address\n"
	       "  empty    a memory table of length 0\n"
	       "  hostile-names  duplicate file names, \"minidump.elf\", control characters\n"
	       "  hostile-kelf   a kernel header segment of 2^64-1 bytes\n"
	       "  fat-kelf       a kernel header segment of 2 MiB that no region holds\n"
	       "  description-names  regions named load.cmm, SHA256SUMS, DUMP_INFO.TXT\n"
	       "  windows-names  names Windows cannot hold: NUL.BIN, A?B.BIN, K.BIN., ...\n"
	       "  bulk:N   one region of N MiB\n"
	       "  many:N   N regions of 4 KiB (a region table of 64*N bytes)\n";
}

std::vector<emu_expected_file> emu_expected_regions(const emu_model &model)
{
	std::vector<emu_expected_file> files;
	for (const emu_region &r : model.config().regions) {
		emu_expected_file f;
		f.name = r.filename.substr(0, std::min<size_t>(r.filename.size(), 20));
		f.name = f.name.substr(0, strnlen(f.name.c_str(), f.name.size()));
		f.bytes.resize(r.length);
		if (r.length && !model.memory(r.addr, f.bytes.data(), f.bytes.size()))
			f.bytes.clear();
		files.push_back(std::move(f));
	}
	return files;
}

namespace {

// A region's name as the table carries it.
std::string table_name(const emu_region &r)
{
	return r.region.substr(0, 20);
}

// A region's bytes as the device holds them.
std::vector<uint8_t> region_bytes(const emu_model &model, const emu_region &r)
{
	std::vector<uint8_t> b(r.length);
	if (r.length)
		model.memory(r.addr, b.data(), b.size());
	return b;
}

// Copies b into the core at file offset off, zeros in any gap before.
void place(std::vector<uint8_t> &core, uint64_t off, const std::vector<uint8_t> &b)
{
	if (core.size() < off + b.size())
		core.resize(off + b.size(), 0);
	std::copy(b.begin(), b.end(), core.begin() + static_cast<std::ptrdiff_t>(off));
}

// The vmcoreinfo region: the first md_K one besides the header that no
// PT_LOAD loads; nullptr when there is none.
const emu_region *find_vmcoreinfo(const std::vector<emu_region> &regions, const emu_region *kelf,
				  const std::vector<emu_phdr> &phdrs)
{
	for (const emu_region &r : regions) {
		if (&r == kelf || table_name(r).compare(0, 4, "md_K") != 0)
			continue;
		bool loaded = false;
		for (const emu_phdr &p : phdrs)
			loaded = loaded || (p.type == 1 && p.paddr == r.addr);
		if (!loaded)
			return &r;
	}
	return nullptr;
}

// The vmcoreinfo region sits where the PT_NOTE with its address says,
// or the one note without an address, or right after the header.
uint64_t vmcoreinfo_offset(const emu_region &r, const std::vector<emu_phdr> &phdrs, uint64_t header_size)
{
	for (const emu_phdr &p : phdrs)
		if (p.type == 4 && r.addr >= p.paddr && r.addr - p.paddr < p.filesz)
			return p.offset + (r.addr - p.paddr);
	std::vector<const emu_phdr *> unnamed;
	for (const emu_phdr &p : phdrs)
		if (p.type == 4 && p.filesz > 0 && p.paddr == 0)
			unnamed.push_back(&p);
	return unnamed.size() == 1 ? unnamed[0]->offset : header_size;
}

// Every segment takes exactly p_filesz bytes at its p_offset: its region
// cut or padded with zeros, zeros alone when no region has its address.
void place_segments(std::vector<uint8_t> &core, const emu_model &model, const std::vector<emu_phdr> &phdrs,
		    uint64_t header_size)
{
	for (const emu_phdr &p : phdrs) {
		if (p.type != 1 || p.filesz == 0)
			continue;
		// A segment inside the header is the header's own bytes.
		if (p.offset <= header_size && p.filesz <= header_size - p.offset)
			continue;
		std::vector<uint8_t> b;
		for (const emu_region &r : model.config().regions) {
			if (r.addr == p.paddr) {
				b = region_bytes(model, r);
				break;
			}
		}
		b.resize(p.filesz, 0);
		place(core, p.offset, b);
	}
}

} // namespace

std::vector<uint8_t> emu_expected_minidump(const emu_model &model)
{
	const auto &regions = model.config().regions;
	const emu_region *kelf = nullptr;
	for (const emu_region &r : regions)
		if (table_name(r).compare(0, 7, "md_KELF") == 0) {
			kelf = &r;
			break;
		}
	if (!kelf)
		return {};

	std::vector<uint8_t> out = region_bytes(model, *kelf);
	const uint64_t header_size = out.size();
	const std::vector<emu_phdr> phdrs = emu_elf_phdrs(out);
	if (const emu_region *note = find_vmcoreinfo(regions, kelf, phdrs))
		place(out, vmcoreinfo_offset(*note, phdrs, header_size), region_bytes(model, *note));
	place_segments(out, model, phdrs, header_size);
	return out;
}
