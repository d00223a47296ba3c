// A real guest's RAM as a device's memory; see memory_image.h.
#include "memory_image.h"

#include <cstdio>
#include <cstring>
#include <map>
#include <memory>

#include "le.h"

namespace {

struct file_closer {
	void operator()(FILE *f) const { fclose(f); }
};
using file_ptr = std::unique_ptr<FILE, file_closer>;

constexpr uint32_t PT_LOAD = 1, PT_NOTE = 4;
constexpr uint16_t EM_ARM = 40;

// The guest: its RAM (one block, as QEMU's virt machine has it), its word
// and vmcoreinfo's keys.
struct guest {
	uint64_t base = 0;
	std::vector<uint8_t> ram;
	bool arm64 = true;
	uint64_t note_paddr = 0, note_size = 0;
	std::map<std::string, std::string> info;

	bool has(uint64_t paddr, uint64_t n) const
	{
		return paddr >= base && paddr - base <= ram.size() && n <= ram.size() - (paddr - base);
	}
	uint64_t word_at(uint64_t paddr, unsigned w) const { return le_get(ram.data() + (paddr - base), w); }
	uint64_t number(const std::string &key) const
	{
		auto it = info.find(key);
		if (it == info.end())
			return 0;
		return strtoull(it->second.c_str(), nullptr, key.compare(0, 7, "SYMBOL(") == 0 ? 16 : 0);
	}
	// Kernel virtual addresses as the kernel maps them: arm64's image and
	// linear map from vmcoreinfo, arm's linear map of RAM at 0xc0000000.
	uint64_t linear_vaddr(uint64_t paddr) const
	{
		if (!arm64)
			return paddr - base + 0xc0000000;
		return paddr - number("NUMBER(PHYS_OFFSET)") - (1ull << number("NUMBER(VA_BITS)"));
	}
	uint64_t to_phys(uint64_t vaddr) const
	{
		if (!arm64)
			return (vaddr - 0xc0000000 + base) & 0xffffffffu;
		uint64_t va_bits = number("NUMBER(VA_BITS)");
		uint64_t start = 0 - (1ull << va_bits), end = 0 - (1ull << (va_bits - 1));
		if (vaddr >= start && vaddr < end)
			return vaddr - start + number("NUMBER(PHYS_OFFSET)");
		return vaddr - number("NUMBER(kimage_voffset)");
	}
};

bool load(const std::string &path, guest &g, std::string &why)
{
	file_ptr f(fopen(path.c_str(), "rb"));
	std::vector<uint8_t> head(64 * 1024);
	if (!f) {
		why = "cannot open " + path;
		return false;
	}
	head.resize(fread(head.data(), 1, head.size(), f.get()));
	std::vector<emu_phdr> ph = emu_elf_phdrs(head);
	const emu_phdr *ram = nullptr;
	unsigned loads = 0;
	for (const emu_phdr &p : ph)
		if (p.type == PT_LOAD && p.filesz > 0 && ++loads)
			ram = &p;
	if (loads != 1 || ram->filesz > (16ull << 30)) {
		why = path + " is not an ELF core of one block of RAM";
		return false;
	}
	g.arm64 = le16_get(head.data() + 18) != EM_ARM;
	g.base = ram->paddr;
	g.ram.resize(static_cast<size_t>(ram->filesz));
	if (fseeko(f.get(), static_cast<off_t>(ram->offset), SEEK_SET) != 0 ||
	    fread(g.ram.data(), 1, g.ram.size(), f.get()) != g.ram.size()) {
		why = "cannot read the RAM of " + path;
		return false;
	}
	return true;
}

// The note the kernel keeps vmcoreinfo in: a page that starts with it.
bool find_vmcoreinfo(guest &g, std::string &why)
{
	for (size_t at = 0; at + 4096 <= g.ram.size(); at += 4096) {
		const uint8_t *p = g.ram.data() + at;
		if (le32_get(p) != 11 || memcmp(p + 12, "VMCOREINFO", 11) != 0 || le32_get(p + 4) > 4096)
			continue;
		std::string text(reinterpret_cast<const char *>(p + 24), le32_get(p + 4));
		if (text.compare(0, 10, "OSRELEASE=") != 0)
			continue;
		g.note_paddr = g.base + at;
		g.note_size = 24 + ((le32_get(p + 4) + 3) & ~3u);
		for (size_t pos = 0, end; pos < text.size(); pos = end + 1) {
			end = std::min(text.find('\n', pos), text.size());
			size_t eq = text.find('=', pos);
			if (eq < end)
				g.info[text.substr(pos, eq - pos)] = text.substr(eq + 1, end - eq - 1);
		}
		return true;
	}
	why = "the guest's RAM holds no vmcoreinfo note";
	return false;
}

emu_region region_of(const guest &g, const std::string &name, uint64_t paddr, uint64_t length)
{
	emu_region r;
	r.addr = paddr;
	r.length = length;
	r.region = name;
	r.filename = name + ".BIN";
	const uint8_t *p = g.ram.data() + (paddr - g.base);
	r.bytes.assign(p, p + length);
	return r;
}

// The printk ring's pieces as a minidump driver registers them: name,
// virtual address, size.
struct piece {
	const char *name;
	uint64_t vaddr, size;
};
bool ring_pieces(const guest &g, std::vector<piece> &out, std::string &why)
{
	unsigned w = g.arm64 ? 8 : 4;
	auto word = [&](uint64_t vaddr, unsigned width) {
		uint64_t p = g.to_phys(vaddr);
		return g.has(p, width) ? g.word_at(p, width) : 0;
	};
	uint64_t prb = g.number("SYMBOL(prb)"), rb = word(prb, w);
	uint64_t dr = rb + g.number("OFFSET(printk_ringbuffer.desc_ring)");
	uint64_t td = rb + g.number("OFFSET(printk_ringbuffer.text_data_ring)");
	uint64_t count_bits = word(dr + g.number("OFFSET(prb_desc_ring.count_bits)"), 4);
	uint64_t size_bits = word(td + g.number("OFFSET(prb_data_ring.size_bits)"), 4);
	out = {
		{"md_KPRB", prb, w},
		{"md_KPRB_RING", rb, g.number("SIZE(printk_ringbuffer)")},
		{"md_KLOGDESC", word(dr + g.number("OFFSET(prb_desc_ring.descs)"), w),
		 g.number("SIZE(prb_desc)") << count_bits},
		{"md_KLOGINFO", word(dr + g.number("OFFSET(prb_desc_ring.infos)"), w),
		 g.number("SIZE(printk_info)") << count_bits},
		{"md_KLOGBUF", word(td + g.number("OFFSET(prb_data_ring.data)"), w), 1ull << size_bits},
	};
	for (const piece &p : out)
		if (!rb || count_bits > 24 || size_bits > 31 || !g.has(g.to_phys(p.vaddr), p.size) || p.size == 0) {
			why = std::string("the guest's printk ring does not lie in its RAM (") + p.name + ")";
			return false;
		}
	return true;
}

bool minidump(const guest &g, emu_config &cfg, std::string &why)
{
	std::vector<piece> pieces;
	if (!ring_pieces(g, pieces, why))
		return false;
	emu_kernel_header h;
	h.elf32 = !g.arm64;
	h.segments.push_back({"KVMCOREINFO", PT_NOTE, g.note_paddr, g.linear_vaddr(g.note_paddr), g.note_size});
	std::vector<emu_region> regions = {region_of(g, "md_KVMCOREINFO", g.note_paddr, g.note_size)};
	for (const piece &p : pieces) {
		uint64_t paddr = g.to_phys(p.vaddr);
		h.segments.push_back({p.name + 3, PT_LOAD, paddr, p.vaddr, p.size});
		regions.push_back(region_of(g, p.name, paddr, p.size));
	}
	emu_region header;
	header.addr = 0x14600000;
	header.region = "md_KELF_HEADER";
	header.filename = "md_KELF_HEADER.BIN";
	header.bytes = emu_make_kernel_header(h);
	header.length = header.bytes.size();
	cfg.regions = {header};
	cfg.regions.insert(cfg.regions.end(), regions.begin(), regions.end());
	return true;
}

} // namespace

std::vector<emu_phdr> emu_elf_phdrs(const std::vector<uint8_t> &elf)
{
	if (elf.size() < 64 || memcmp(elf.data(), "\x7f" "ELF", 4) != 0)
		return {};
	const bool elf32 = elf[4] == 1;
	const unsigned w = elf32 ? 4 : 8, size = elf32 ? 32 : 56;
	uint64_t phoff = le_get(elf.data() + (elf32 ? 28 : 32), w), phnum = le16_get(elf.data() + (elf32 ? 44 : 56));
	if (phoff > elf.size() || phnum * size > elf.size() - phoff)
		return {};
	std::vector<emu_phdr> out;
	for (uint64_t i = 0; i < phnum; i++) {
		const uint8_t *ph = elf.data() + phoff + size * i;
		out.push_back({le32_get(ph), le_get(ph + (elf32 ? 4 : 8), w), le_get(ph + (elf32 ? 8 : 16), w),
			       le_get(ph + (elf32 ? 12 : 24), w), le_get(ph + (elf32 ? 16 : 32), w)});
	}
	return out;
}

bool emu_memory_image(const std::string &layout, const std::string &path, emu_config &cfg, std::string &why)
{
	guest g;
	if (layout != "ram" && layout != "minidump") {
		why = "unknown layout \"" + layout + "\" (ram or minidump)";
		return false;
	}
	if (!load(path, g, why) || !find_vmcoreinfo(g, why))
		return false;
	emu_config out;
	out.debug32 = !g.arm64;
	out.table_addr = 0x14800000;
	if (layout == "minidump") {
		if (!minidump(g, out, why))
			return false;
	} else {
		uint64_t half = g.ram.size() / 2 & ~0xfffull;
		out.regions = {region_of(g, "DDRCS0_0", g.base, half),
			       region_of(g, "DDRCS0_1", g.base + half, g.ram.size() - half)};
	}
	cfg = std::move(out);
	return true;
}
