// Named memory-debug scenarios and the files a correct dump of them yields.
#include "scenarios.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "kernel_log.h"
#include "le.h"

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

// The bytes, zero-padded to one page.
std::vector<uint8_t> page_of(const std::vector<uint8_t> &bytes)
{
	std::vector<uint8_t> page(4096, 0);
	memcpy(page.data(), bytes.data(), std::min<size_t>(bytes.size(), page.size()));
	return page;
}

// The text a kernel puts into its vmcoreinfo note, with the lines that
// describe its log, zero-padded to one page.
std::vector<uint8_t> vmcoreinfo_page(const std::string &log_lines = "")
{
	static const char text[] = "OSRELEASE=5.15.104-android13-8-g1ab2c3d4e5f6\n"
				   "BUILD-ID=4f1c2a9b7e3d5c6a8b9c0d1e2f3a4b5c6d7e8f90\n"
				   "PAGESIZE=4096\n"
				   "SYMBOL(init_uts_ns)=ffffffc00a2d8a50\n"
				   "OFFSET(uts_namespace.name)=0\n"
				   "SYMBOL(node_online_map)=ffffffc00a2c6a28\n"
				   "SYMBOL(swapper_pg_dir)=ffffffc00a1ba000\n"
				   "SYMBOL(_stext)=ffffffc008010000\n"
				   "SYMBOL(vmap_area_list)=ffffffc00a2f1eb8\n"
				   "SYMBOL(mem_section)=ffffff8800f00000\n"
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
				   "LENGTH(zone.free_area)=11\n"
				   "NUMBER(PG_lru)=4\n"
				   "NUMBER(PG_private)=13\n"
				   "NUMBER(PG_swapcache)=10\n"
				   "NUMBER(PG_slab)=9\n"
				   "NUMBER(PAGE_BUDDY_MAPCOUNT_VALUE)=-129\n"
				   "NUMBER(VA_BITS)=39\n"
				   "NUMBER(kimage_voffset)=0xffffffbf88000000\n"
				   "NUMBER(PHYS_OFFSET)=0x80000000\n"
				   "KERNELOFFSET=0\n"
				   "CRASHTIME=1700000000\n";
	std::string all = text + log_lines;
	return page_of(std::vector<uint8_t>(all.begin(), all.end()));
}

// A 32-bit ARM kernel's vmcoreinfo as the ELF note it keeps it in: name
// "VMCOREINFO", type 0, the text (with the lines of its log) as its
// descriptor.
std::vector<uint8_t> vmcoreinfo_note_arm(const std::string &log_lines)
{
	static const char text[] = "OSRELEASE=4.14.190-perf\n"
				   "PAGESIZE=4096\n"
				   "SYMBOL(init_uts_ns)=c1a0f2c8\n"
				   "OFFSET(uts_namespace.name)=4\n"
				   "SYMBOL(node_online_map)=c1a07c04\n"
				   "SYMBOL(swapper_pg_dir)=c0004000\n"
				   "SYMBOL(_stext)=c0008000\n"
				   "SYMBOL(vmap_area_list)=c1a3e1d0\n"
				   "SYMBOL(mem_map)=c1b8e1a4\n"
				   "SYMBOL(contig_page_data)=c1a94f40\n"
				   "SIZE(page)=32\n"
				   "SIZE(pglist_data)=3456\n"
				   "SIZE(zone)=640\n"
				   "OFFSET(page.flags)=0\n"
				   "OFFSET(page._refcount)=20\n"
				   "OFFSET(page.mapping)=12\n"
				   "OFFSET(page.lru)=4\n"
				   "LENGTH(zone.free_area)=11\n"
				   "NUMBER(PG_lru)=4\n"
				   "NUMBER(PG_private)=13\n"
				   "NUMBER(PG_swapcache)=10\n"
				   "NUMBER(PG_slab)=9\n"
				   "NUMBER(PAGE_BUDDY_MAPCOUNT_VALUE)=-129\n"
				   "KERNELOFFSET=0\n"
				   "CRASHTIME=1700000000\n";
	static const char name[] = "VMCOREINFO";
	std::string all = text + log_lines;
	const uint32_t desc = static_cast<uint32_t>(all.size());
	std::vector<uint8_t> note(12 + 12 + ((desc + 3) & ~3u), 0);
	le32_put(note.data(), sizeof(name));
	le32_put(note.data() + 4, desc);
	le32_put(note.data() + 8, 0);
	memcpy(note.data() + 12, name, sizeof(name));
	memcpy(note.data() + 24, all.data(), desc);
	return note;
}

// The crash scenario's kernel (arm64, 5.15) keeps its log in the 5.10+ ring:
// prb and the ring's structure in kernel data, reached through the image's
// kimage_voffset; the descriptors, infos and text allocated at boot
// (log_buf_len=) in the linear map, from -(1 << 39) for RAM at 0x80000000.
// A few hundred messages wrap it; the panic is last.
constexpr uint64_t crash_kimage_voffset = 0xffffffbf88000000;
constexpr uint64_t crash_kdata = 0x81e00000, crash_klog = 0x82c00000;
constexpr size_t crash_log_messages = 400, crash32_log_messages = 300;

klog_built crash_log(void)
{
	klog_prb_params p;
	p.count_bits = 9;
	p.size_bits = 14;
	p.messages = crash_log_messages;
	p.vars = {crash_kdata + 0x10000 + crash_kimage_voffset, crash_kdata + 0x10000};
	p.rings = {0xffffff8000000000 + (crash_klog - 0x80000000), crash_klog};
	return klog_build_prb(p);
}

// The crash32 scenario's kernel (ARM, 4.14) keeps log_buf records in its
// data, RAM at 0x80000000 mapped at 0xc0000000; they wrap, with a len-0
// record at the end of the buffer.
constexpr uint64_t crash32_kdata = 0x80b00000, crash32_klog = 0x80d00000;

klog_built crash32_log(void)
{
	klog_logbuf_params p;
	p.buf_len = 16384;
	p.messages = crash32_log_messages;
	p.vars = {crash32_kdata + 0x8000 + 0x40000000, crash32_kdata + 0x8000};
	p.rings = {crash32_klog + 0x40000000, crash32_klog};
	return klog_build_logbuf(p);
}

// Puts the log's bytes into every region that holds their addresses.
void place_log(std::vector<emu_region> &regions, const klog_built &log)
{
	for (const klog_piece &p : log.pieces)
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
	// Kernel sections the minidump ELF header describes.
	const uint64_t ktext = 0x80010000, kdata = crash_kdata, klog = crash_klog;
	const uint64_t ktext_len = MiB + 0x3450, kdata_len = 256 * KiB, klog_len = 128 * KiB;
	std::vector<emu_kelf_segment> segs = {{1, ktext, ktext_len}, {1, kdata, kdata_len}, {1, klog, klog_len}};
	klog_built log = crash_log();
	std::vector<uint8_t> vmcore = vmcoreinfo_page(log.vmcoreinfo);

	emu_region kelf = region(0x85f00000, 0, "md_KELF_HEADER", "md_KELF_HEADER.BIN");
	kelf.bytes = emu_make_kelf(segs, emu_kelf_size(segs.size()) + vmcore.size());
	kelf.length = kelf.bytes.size();
	emu_region vmci = region(0x85f01000, vmcore.size(), "md_KVMCOREINFO", "md_KVMCOREINFO.BIN");
	vmci.bytes = vmcore;

	cfg.regions = {
		region(0x0c100000, 32 * KiB, "CODERAM", "CODERAM.BIN"),
		region(0x14680000, 256 * KiB, "OCIMEM", "OCIMEM.BIN"),
		region(0x146bf000, 4 * KiB, "RST_STAT", "RST_STAT.BIN"),
		region(0x0b0e0000, 12 * KiB, "PMIC_PON", "PMIC_PON.BIN"),
		kelf,
		vmci,
		region(ktext, ktext_len, "md_KTEXT", "md_KTEXT.BIN"),
		region(kdata, kdata_len, "md_KDATA", "md_KDATA.BIN"),
		region(klog, klog_len, "md_KLOGBUF", "md_KLOGBUF.BIN"),
		region(0x80000000, 4 * MiB, "DDRCS0_0", "DDRCS0_0.BIN"),
		region(0x80400000, 3 * MiB + 0x1234, "DDRCS0_1", "DDRCS0_1.BIN"),
		region(0x880000000, 2 * MiB, "DDRCS1_0", "DDRCS1_0.BIN"),
		region(0x8a0000000, 512 * KiB, "DDRCS1_1", "DDRCS1_1.BIN"),
	};
	place_log(cfg.regions, log);
	// Outside every region, so no region read can be mistaken for it.
	cfg.table_addr = 0x14800000;
}

// A kernel whose minidump driver gave every region it registered the next
// file offset: the header lists the kernel text, then the vmcoreinfo note,
// then the kernel data and the log buffer, and the table lists the regions
// in that order too.
void registered(emu_config &cfg)
{
	const uint64_t ktext = 0x80010000, vmci_addr = 0x85f01000, kdata = 0x81e00000, klog = 0x82c00000;
	const uint64_t ktext_len = 512 * KiB + 0x1450, kdata_len = 192 * KiB, klog_len = 64 * KiB;
	std::vector<uint8_t> vmcore = vmcoreinfo_page();
	std::vector<emu_kelf_segment> segs = {
		{1, ktext, ktext_len}, {4, vmci_addr, vmcore.size()}, {1, kdata, kdata_len}, {1, klog, klog_len}};

	emu_region kelf = region(0x85f00000, 0, "md_KELF_HEADER", "md_KELF_HEADER.BIN");
	kelf.bytes = emu_make_kelf_registered(segs);
	kelf.length = kelf.bytes.size();
	emu_region vmci = region(vmci_addr, vmcore.size(), "md_KVMCOREINFO", "md_KVMCOREINFO.BIN");
	vmci.bytes = vmcore;

	cfg.regions = {
		kelf,
		region(ktext, ktext_len, "md_KTEXT", "md_KTEXT.BIN"),
		vmci,
		region(kdata, kdata_len, "md_KDATA", "md_KDATA.BIN"),
		region(klog, klog_len, "md_KLOGBUF", "md_KLOGBUF.BIN"),
		region(0x14680000, 256 * KiB, "OCIMEM", "OCIMEM.BIN"),
		region(0x80000000, 1 * MiB, "DDRCS0_0", "DDRCS0_0.BIN"),
	};
	cfg.table_addr = 0x14800000;
}

// A 32-bit device (MEMORY_DEBUG table) with a 32-bit ARM kernel: an ELF-32
// header whose PT_NOTE is the vmcoreinfo note and whose three PT_LOADs are
// kernel regions, DDR over several blocks, and the high vectors page, which
// ends exactly at 4 GiB.
void crash32(emu_config &cfg)
{
	const uint64_t ktext = 0x80008000, kdata = crash32_kdata, klog = crash32_klog;
	const uint64_t ktext_len = 0x9c000 + 0x2340, kdata_len = 128 * KiB, klog_len = 64 * KiB;
	klog_built log = crash32_log();
	std::vector<uint8_t> note = vmcoreinfo_note_arm(log.vmcoreinfo);
	const uint64_t hdr = emu_kelf_size(4, true);
	std::vector<emu_kelf_segment> segs = {
		{4, 0x8fe01000, note.size(), hdr}, // PT_NOTE: the vmcoreinfo region, right after the header
		// The kernel's virtual addresses: RAM at 0x80000000 mapped at 0xc0000000.
		{1, ktext, ktext_len, 0, ktext + 0x40000000},
		{1, kdata, kdata_len, 0, kdata + 0x40000000},
		{1, klog, klog_len, 0, klog + 0x40000000},
	};
	std::vector<uint8_t> vmcore = page_of(note);

	emu_region kelf = region(0x8fe00000, 0, "md_KELF32", "md_KELF32.BIN");
	kelf.bytes = emu_make_kelf(segs, hdr + vmcore.size(), true);
	kelf.length = kelf.bytes.size();
	emu_region vmci = region(0x8fe01000, vmcore.size(), "md_KVMCOREINFO", "md_KVMCOREINFO.BIN");
	vmci.bytes = vmcore;

	cfg.debug32 = true;
	cfg.regions = {
		region(0x08600000, 4 * KiB, "IMEM", "IMEM.BIN"),
		region(0x004ab000, 4 * KiB, "RST_STAT", "RST_STAT.BIN"),
		kelf,
		vmci,
		region(ktext, ktext_len, "md_KTEXT", "md_KTEXT.BIN"),
		region(kdata, kdata_len, "md_KDATA", "md_KDATA.BIN"),
		region(klog, klog_len, "md_KLOGBUF", "md_KLOGBUF.BIN"),
		region(0x80000000, 2 * MiB + 0x1234, "DDRCS0", "DDRCS0.BIN"),
		region(0xffff0000, 64 * KiB, "HIVECS", "HIVECS.BIN"),
	};
	place_log(cfg.regions, log);
	cfg.table_addr = 0x08680000;
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
// Trace32 script "load.cmm", and "SHA256SUMS" and "dump_info.txt".
void description_names(emu_config &cfg)
{
	cfg.regions = {
		region(0x14680000, 8 * KiB, "OCIMEM", "OCIMEM.BIN"),
		region(0x146a0000, 1000, "LOADCMM", "load.cmm"),
		region(0x146b0000, 3000, "SUMS", "SHA256SUMS"),
		region(0x146c0000, 2000, "INFO", "DUMP_INFO.TXT"),
	};
}

// A kernel ELF header whose segment claims 2^64-1 bytes, and a vmcoreinfo
// region named like the core: neither may make the core grow without end.
void hostile_kelf(emu_config &cfg)
{
	const uint64_t ktext = 0x80010000;
	std::vector<emu_kelf_segment> segs = {{1, ktext, ~0ULL}};
	emu_region kelf = region(0x85f00000, 0, "md_KELF", "md_KELF.BIN");
	kelf.bytes = emu_make_kelf(segs, emu_kelf_size(segs.size()) + 4 * KiB);
	kelf.length = kelf.bytes.size();
	cfg.regions = {
		kelf,
		region(0x85f01000, 4 * KiB, "md_KVMCOREINFO", "minidump.elf"),
		region(ktext, 64 * KiB, "md_KTEXT", "md_KTEXT.BIN"),
		region(0x80000000, 1 * MiB, "DDR", "DDR.BIN"),
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
	} else if (name == "small") {
		small(out);
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

bool emu_scenario_kernel_log(const std::string &name, size_t &messages, size_t &kept)
{
	if (name != "crash" && name != "crash32")
		return false;
	klog_built log = name == "crash" ? crash_log() : crash32_log();
	messages = name == "crash" ? crash_log_messages : crash32_log_messages;
	kept = messages - log.dropped;
	return true;
}

const char *emu_scenario_help(void)
{
	return "  crash    realistic crash: kernel ELF header, vmcoreinfo, kernel and DDR regions (~12 MiB)\n"
	       "  registered  kernel header in registration order: the vmcoreinfo note\n"
	       "           between two loadable segments, each at the next file offset\n"
	       "  crash32  a 32-bit device (MEMORY_DEBUG) with an ELF-32 ARM kernel header (~3 MiB)\n"
	       "  small    three plain regions, no kernel ELF header\n"
	       "  empty    a memory table of length 0\n"
	       "  hostile-names  duplicate file names, \"minidump.elf\", control characters\n"
	       "  hostile-kelf   a kernel header segment of 2^64-1 bytes\n"
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

std::vector<uint8_t> emu_expected_minidump(const emu_model &model)
{
	const auto &regions = model.config().regions;
	auto name_of = [](const emu_region &r) { return r.region.substr(0, 20); };
	auto content = [&](const emu_region &r) {
		std::vector<uint8_t> b(r.length);
		if (r.length)
			model.memory(r.addr, b.data(), b.size());
		return b;
	};
	auto le = [](const uint8_t *p, int n) {
		uint64_t v = 0;
		for (int i = n - 1; i >= 0; i--)
			v = (v << 8) | p[i];
		return v;
	};

	const emu_region *kelf = nullptr;
	for (const emu_region &r : regions)
		if (name_of(r).compare(0, 7, "md_KELF") == 0) {
			kelf = &r;
			break;
		}
	if (!kelf)
		return {};

	std::vector<uint8_t> out = content(*kelf);
	const uint64_t header_size = out.size();
	struct phdr {
		uint64_t type, offset, paddr, filesz;
	};
	std::vector<phdr> phdrs;
	// The class byte chooses the layout: ELF-32 (1) or ELF-64.
	const bool elf32 = out.size() > 4 && out[4] == 1;
	const int w = elf32 ? 4 : 8;
	const uint64_t phdr_size = elf32 ? 32 : 56;
	uint64_t phoff = le(out.data() + (elf32 ? 28 : 32), w), phnum = le(out.data() + (elf32 ? 44 : 56), 2);
	for (uint64_t i = 0; i < phnum; i++) {
		const uint8_t *ph = out.data() + phoff + phdr_size * i;
		phdrs.push_back({le(ph, 4), le(ph + (elf32 ? 4 : 8), w), le(ph + (elf32 ? 12 : 24), w),
				 le(ph + (elf32 ? 16 : 32), w)});
	}
	// Copies b into the core at file offset off, zeros in any gap before.
	auto place = [&](uint64_t off, const std::vector<uint8_t> &b) {
		if (out.size() < off + b.size())
			out.resize(off + b.size(), 0);
		std::copy(b.begin(), b.end(), out.begin() + static_cast<std::ptrdiff_t>(off));
	};

	// The vmcoreinfo region sits where the PT_NOTE with its address says,
	// or the one note without an address, or right after the header.
	for (const emu_region &r : regions) {
		if (&r == kelf || name_of(r).compare(0, 4, "md_K") != 0)
			continue;
		bool loaded = false;
		for (const phdr &p : phdrs)
			loaded = loaded || (p.type == 1 && p.paddr == r.addr);
		if (loaded)
			continue;
		uint64_t off = header_size;
		bool covered = false;
		for (const phdr &p : phdrs)
			if (!covered && p.type == 4 && r.addr >= p.paddr && r.addr - p.paddr < p.filesz) {
				off = p.offset + (r.addr - p.paddr);
				covered = true;
			}
		// Else the one note without an address.
		std::vector<const phdr *> unnamed;
		for (const phdr &p : phdrs)
			if (p.type == 4 && p.filesz > 0 && p.paddr == 0)
				unnamed.push_back(&p);
		if (!covered && unnamed.size() == 1)
			off = unnamed[0]->offset;
		place(off, content(r));
		break;
	}
	// Every segment takes exactly p_filesz bytes at its p_offset: its
	// region cut or padded with zeros, zeros alone when no region has its
	// address.
	for (const phdr &p : phdrs) {
		if (p.type != 1 || p.filesz == 0)
			continue;
		std::vector<uint8_t> b;
		for (const emu_region &r : regions) {
			if (r.addr == p.paddr) {
				b = content(r);
				break;
			}
		}
		b.resize(p.filesz, 0);
		place(p.offset, b);
	}
	return out;
}
