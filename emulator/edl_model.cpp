// Device side of the Sahara exchange, transport-independent.
#include "edl_model.h"

#include <algorithm>
#include <bit>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "le.h"

uint64_t emu_mix64(uint64_t x)
{
	uint64_t z = x + 0x9e3779b97f4a7c15ULL;
	z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
	z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
	return z ^ (z >> 31);
}

static inline uint8_t emu_pattern_byte(uint64_t a)
{
	return static_cast<uint8_t>(emu_mix64(a >> 3) >> (8 * (a & 7)));
}

void emu_pattern_fill(uint64_t addr, uint8_t *buf, size_t len)
{
	size_t i = 0;

	while (i < len && ((addr + i) & 7)) {
		buf[i] = emu_pattern_byte(addr + i);
		i++;
	}
	uint64_t word = (addr + i) >> 3;
	for (; i + 8 <= len; i += 8, word++) {
		uint64_t v = emu_mix64(word);
		if constexpr (std::endian::native == std::endian::little)
			memcpy(buf + i, &v, 8);
		else
			le64_put(buf + i, v);
	}
	for (; i < len; i++)
		buf[i] = emu_pattern_byte(addr + i);
}

namespace {

// Where each ELF class keeps the fields the headers here fill in.
struct elf_layout {
	uint8_t ei_class;
	uint16_t machine;
	uint32_t e_flags;
	unsigned word;
	uint16_t ehdr, phdr, shdr;
	uint8_t e_phoff, e_shoff, e_flags_at, e_ehsize, e_phentsize, e_phnum, e_shentsize, e_shnum, e_shstrndx;
	uint8_t p_flags, p_offset, p_vaddr, p_paddr, p_filesz, p_memsz;
	uint8_t sh_flags, sh_addr, sh_offset, sh_size;
};
const elf_layout elf64_layout = {2,	  183 /* EM_AARCH64 */, 0, 8, 64, 56, 64, 32, 40, 48, 52, 54, 56, 58, 60, 62,
				 4, 8, 16, 24, 32, 40, 8, 16, 24, 32};
const elf_layout elf32_layout = {1,	 40 /* EM_ARM */, 0x05000000 /* EABI 5 */, 4, 52, 32, 40, 28, 32, 36, 40, 42, 44,
				 46, 48, 50, 24, 4, 8, 12, 16, 20, 8, 12, 16, 20};

const elf_layout &layout_of(bool elf32)
{
	return elf32 ? elf32_layout : elf64_layout;
}

// The ELF header of a little-endian core file.
void put_ehdr(uint8_t *p, const elf_layout &l, uint64_t phoff, size_t phnum, uint64_t shoff, size_t shnum)
{
	p[0] = 0x7f;
	p[1] = 'E';
	p[2] = 'L';
	p[3] = 'F';
	p[4] = l.ei_class;
	p[5] = 1; // ELFDATA2LSB
	p[6] = 1; // EV_CURRENT
	le16_put(p + 16, 4); // ET_CORE
	le16_put(p + 18, l.machine);
	le32_put(p + 20, 1);
	le_put(p + l.e_phoff, l.word, phoff);
	le_put(p + l.e_shoff, l.word, shoff);
	le32_put(p + l.e_flags_at, l.e_flags);
	le16_put(p + l.e_ehsize, l.ehdr);
	le16_put(p + l.e_phentsize, l.phdr);
	le16_put(p + l.e_phnum, static_cast<uint16_t>(phnum));
	if (shnum) {
		le16_put(p + l.e_shentsize, l.shdr);
		le16_put(p + l.e_shnum, static_cast<uint16_t>(shnum));
		le16_put(p + l.e_shstrndx, 1);
	}
}

void put_phdr(uint8_t *ph, const elf_layout &l, uint32_t type, uint64_t offset, uint64_t vaddr, uint64_t paddr,
	      uint64_t filesz)
{
	le32_put(ph, type);
	le32_put(ph + l.p_flags, type == 1 ? 6 : 4); // PF_R | PF_W; a note PF_R
	le_put(ph + l.p_offset, l.word, offset);
	le_put(ph + l.p_vaddr, l.word, vaddr);
	le_put(ph + l.p_paddr, l.word, paddr);
	le_put(ph + l.p_filesz, l.word, filesz);
	le_put(ph + l.p_memsz, l.word, filesz);
}

// flags: SHF_WRITE | SHF_ALLOC for memory a segment holds, else none.
void put_shdr(uint8_t *sh, const elf_layout &l, uint32_t name, uint32_t type, uint64_t addr, uint64_t offset,
	      uint64_t size, bool memory = false)
{
	le32_put(sh, name);
	le32_put(sh + 4, type);
	le_put(sh + l.sh_flags, l.word, memory ? 3 : 0);
	le_put(sh + l.sh_addr, l.word, addr);
	le_put(sh + l.sh_offset, l.word, offset);
	le_put(sh + l.sh_size, l.word, size);
}

// The STR_TBL of a kernel header, and where each section's name starts in
// it: null, STR_TBL, the driver's own two, one per region.
std::string section_names(const emu_kernel_header &k, std::vector<uint32_t> &name_at)
{
	std::vector<std::string> names = {"", "STR_TBL"};
	if (!k.banner.empty())
		names.insert(names.end(), {"minidump_table", "linux_banner"});
	for (const emu_kernel_segment &s : k.segments)
		names.push_back(s.name);
	std::string strtab(1, '\0');
	for (const std::string &n : names) {
		name_at.push_back(n.empty() ? 0 : static_cast<uint32_t>(strtab.size()));
		if (!n.empty())
			strtab.append(n).push_back('\0');
	}
	strtab.resize(std::max<size_t>(strtab.size(), k.strtab_size), '\0');
	return strtab;
}

} // namespace

std::vector<uint8_t> emu_make_kelf(const std::vector<emu_kelf_segment> &segments, uint64_t data_offset, bool elf32)
{
	const elf_layout &l = layout_of(elf32);
	std::vector<uint8_t> h(emu_kelf_size(segments.size(), elf32), 0);
	put_ehdr(h.data(), l, segments.empty() ? 0 : l.ehdr, segments.size(), 0, 0);

	uint64_t off = data_offset ? data_offset : h.size();
	for (size_t i = 0; i < segments.size(); i++) {
		const emu_kelf_segment &s = segments[i];
		uint64_t at = s.offset;
		if (s.type == 1) {
			at = off;
			off += s.filesz;
		}
		put_phdr(h.data() + l.ehdr + l.phdr * i, l, s.type, at, s.vaddr ? s.vaddr : s.paddr, s.paddr, s.filesz);
	}
	return h;
}

std::vector<uint8_t> emu_make_kernel_header(const emu_kernel_header &k)
{
	const elf_layout &l = layout_of(k.elf32);
	const bool banner = !k.banner.empty();
	std::vector<uint32_t> name_at;
	std::string strtab = section_names(k, name_at);

	const size_t slots = std::max<size_t>(k.section_slots, name_at.size());
	const size_t phnum = k.segments.size() + (banner ? 1 : 0);
	const uint64_t shoff = l.ehdr, phoff = shoff + uint64_t{l.shdr} * slots;
	const uint64_t stroff = phoff + uint64_t{l.phdr} * phnum, banner_off = stroff + strtab.size();
	const uint64_t size = (banner_off + (banner ? k.banner.size() + 1 : 0) + 3) & ~uint64_t{3};

	std::vector<uint8_t> h(size, 0);
	uint8_t *p = h.data();
	put_ehdr(p, l, phoff, phnum, shoff, name_at.size());
	memcpy(p + stroff, strtab.data(), strtab.size());
	put_shdr(p + shoff + l.shdr, l, name_at[1], 3 /* SHT_STRTAB */, 0, stroff, strtab.size());
	size_t sec = 2, ph = 0;
	auto next_phdr = [&] { return p + phoff + uint64_t{l.phdr} * ph++; };
	if (banner) {
		memcpy(p + banner_off, k.banner.c_str(), k.banner.size() + 1);
		put_shdr(p + shoff + l.shdr * sec, l, name_at[sec], 1, k.table_vaddr, 0, 0);
		sec++;
		put_shdr(p + shoff + l.shdr * sec, l, name_at[sec], 1, k.banner_vaddr, banner_off, k.banner.size() + 1,
			 true);
		sec++;
		put_phdr(next_phdr(), l, 1, banner_off, k.banner_vaddr, k.banner_paddr, k.banner.size() + 1);
	}
	// Each region's bytes follow the header in registration order; the
	// program headers list the notes first, as readers look for them there.
	std::vector<uint64_t> offsets;
	uint64_t off = size;
	for (const emu_kernel_segment &s : k.segments) {
		offsets.push_back(off);
		// The note's section is SHT_NOTE, the others SHT_PROGBITS.
		put_shdr(p + shoff + l.shdr * sec, l, name_at[sec], s.type == 4 ? 7 : 1, s.vaddr, off, s.size, s.type == 1);
		sec++;
		off += s.size;
	}
	for (uint32_t type : {4u, 1u})
		for (size_t i = 0; i < k.segments.size(); i++)
			if (k.segments[i].type == type)
				put_phdr(next_phdr(), l, type, offsets[i], k.segments[i].vaddr, k.segments[i].paddr,
					 k.segments[i].size);
	return h;
}

std::vector<uint8_t> emu_elf_note(const char *name, uint32_t type, const std::string &desc)
{
	const size_t namesz = strlen(name) + 1, name_pad = (namesz + 3) & ~size_t{3};
	std::vector<uint8_t> note(12 + name_pad + ((desc.size() + 3) & ~size_t{3}), 0);
	le32_put(note.data(), static_cast<uint32_t>(namesz));
	le32_put(note.data() + 4, static_cast<uint32_t>(desc.size()));
	le32_put(note.data() + 8, type);
	memcpy(note.data() + 12, name, namesz);
	memcpy(note.data() + 12 + name_pad, desc.data(), desc.size());
	return note;
}

std::vector<uint8_t> emu_make_kelf_registered(const std::vector<emu_kelf_segment> &segments)
{
	std::vector<uint8_t> h = emu_make_kelf(segments);
	uint64_t off = h.size();
	for (size_t i = 0; i < segments.size(); i++) {
		le64_put(h.data() + 64 + 56 * i + 8, off);
		off += segments[i].filesz;
	}
	return h;
}

bool emu_parse_trickle(const char *text, emu_fault &f)
{
	char what[8] = "";
	unsigned ms = 0;
	char end;
	if (sscanf(text, "%7[a-z]:%u%c", what, &ms, &end) != 2)
		return false;
	if (strcmp(what, "hello") == 0)
		f.trickle_hello = true;
	else if (strcmp(what, "table") == 0)
		f.trickle_table = true;
	else
		return false;
	f.trickle_ms = ms;
	return true;
}

bool emu_parse_surplus(const char *text, emu_fault &f)
{
	unsigned long long read = 0, bytes = 0, count = 0;
	char count_text[16] = "";
	int used = 0;
	if (sscanf(text, "%llu:%15[^:]:%llu%n", &read, count_text, &bytes, &used) != 3 || text[used] != '\0' ||
	    bytes == 0 || bytes > (64u << 20))
		return false;
	if (strcmp(count_text, "forever") == 0) {
		f.surplus_transfers = -1;
	} else {
		char *end = nullptr;
		count = strtoull(count_text, &end, 10);
		if (*end != '\0' || count == 0 || count > 1000000)
			return false;
		f.surplus_transfers = static_cast<int64_t>(count);
	}
	f.surplus_after_read = static_cast<int64_t>(read);
	f.surplus_bytes = bytes;
	return true;
}

static void emu_put_name(uint8_t *field, const std::string &name)
{
	memset(field, 0, 20);
	memcpy(field, name.data(), std::min<size_t>(name.size(), 20));
}

emu_model::emu_model(emu_config cfg) : cfg_(std::move(cfg))
{
	uint64_t n = cfg_.regions.size();
	const unsigned f = field();
	const uint64_t entry = 3 * f + 40; // three numbers, two 20-byte names
	uint64_t len = cfg_.table_length >= 0 ? static_cast<uint64_t>(cfg_.table_length) : entry * n;

	table_.assign(len, 0);
	for (uint64_t i = 0; i < n && i * entry < len; i++) {
		uint8_t e[64];
		const emu_region &r = cfg_.regions[i];
		le_put(e, f, r.type);
		le_put(e + f, f, r.addr);
		le_put(e + 2 * f, f, r.length);
		emu_put_name(e + 3 * f, r.region);
		emu_put_name(e + 3 * f + 20, r.filename);
		memcpy(table_.data() + i * entry, e, std::min<uint64_t>(entry, len - i * entry));
	}

	if (cfg_.fault.silent_at_start)
		silent_ = true;
	queue_hello();
}

void emu_model::error(const std::string &what)
{
	errors.push_back(what);
}

void emu_model::queue_hello()
{
	std::vector<uint8_t> p(48, 0);
	le32_put(p.data(), EMU_CMD_HELLO);
	le32_put(p.data() + 4, 48);
	le32_put(p.data() + 8, cfg_.hello_version);
	le32_put(p.data() + 12, cfg_.hello_compatible);
	le32_put(p.data() + 16, cfg_.hello_max_len);
	le32_put(p.data() + 20, cfg_.hello_mode);
	queue_packet(std::move(p));
	out_.back().trickle = cfg_.fault.trickle_hello;
	state_ = state::WAIT_HELLO_RESP;
}

void emu_model::queue_packet(std::vector<uint8_t> pkt, bool ends)
{
	const emu_packet_fault &f = cfg_.fault.packet;

	if (!packet_fault_used_ && f.cmd != 0 && f.cmd == le32_get(pkt.data())) {
		packet_fault_used_ = true;
		if (f.length_field >= 0)
			le32_put(pkt.data() + 4, static_cast<uint32_t>(f.length_field));
		if (f.send_size >= 0)
			pkt.resize(static_cast<size_t>(f.send_size), 0);
		if (f.split_at > 0 && f.split_at < pkt.size()) {
			transfer first;
			first.bytes.assign(pkt.begin(), pkt.begin() + static_cast<std::ptrdiff_t>(f.split_at));
			first.length = first.bytes.size();
			out_.push_back(std::move(first));
			pkt.erase(pkt.begin(), pkt.begin() + static_cast<std::ptrdiff_t>(f.split_at));
		}
	}
	transfer t;
	t.bytes = std::move(pkt);
	t.length = t.bytes.size();
	t.ends = ends;
	out_.push_back(std::move(t));
}

// -2: the table, >= 0: index of the region, -1: no single source.
static long emu_source(const emu_config &cfg, const std::vector<uint8_t> &table, uint64_t addr, uint64_t len)
{
	if (addr >= cfg.table_addr && addr - cfg.table_addr <= table.size() &&
	    len <= table.size() - (addr - cfg.table_addr))
		return -2;
	for (size_t i = 0; i < cfg.regions.size(); i++) {
		const emu_region &r = cfg.regions[i];
		if (addr >= r.addr && addr - r.addr <= r.length && len <= r.length - (addr - r.addr))
			return static_cast<long>(i);
	}
	return -1;
}

bool emu_model::memory(uint64_t addr, uint8_t *buf, size_t len) const
{
	long src = emu_source(cfg_, table_, addr, len);

	if (src == -1)
		return false;
	if (src == -2) {
		memcpy(buf, table_.data() + (addr - cfg_.table_addr), len);
		return true;
	}
	const emu_region &r = cfg_.regions[static_cast<size_t>(src)];
	if (r.bytes.empty()) {
		// Another crash: the pattern of a far-off address, in step with
		// this one's alignment.
		emu_pattern_fill(addr ^ (cfg_.crash << 52), buf, len);
		return true;
	}
	uint64_t off = addr - r.addr;
	size_t have = off < r.bytes.size() ? static_cast<size_t>(std::min<uint64_t>(r.bytes.size() - off, len)) : 0;
	if (have)
		memcpy(buf, r.bytes.data() + off, have);
	memset(buf + have, 0, len - have);
	return true;
}

void emu_model::queue_memory(uint64_t addr, uint64_t length)
{
	const emu_fault &f = cfg_.fault;
	long src = emu_source(cfg_, table_, addr, length);
	uint64_t index = mem_read64_count - 1;

	if (src == -1) {
		char msg[96];
		snprintf(msg, sizeof(msg), "MEM_READ64 0x%llx+0x%llx spans no region",
			 static_cast<unsigned long long>(addr), static_cast<unsigned long long>(length));
		error(msg);
		return;
	}

	bool silence = false, unplug = false;
	if (f.short_block_at_read >= 0 && static_cast<uint64_t>(f.short_block_at_read) == index) {
		length = std::min(length, f.short_block_bytes);
		silence = true;
	}
	if (src == -2 && f.short_table_bytes >= 0 && addr == cfg_.table_addr)
		length = std::min(length, static_cast<uint64_t>(f.short_table_bytes));
	if (src >= 0 && (f.unplug_after_data >= 0 || f.hold_after_data >= 0)) {
		bool by_unplug = f.unplug_after_data >= 0 &&
				 (f.hold_after_data < 0 || f.unplug_after_data <= f.hold_after_data);
		uint64_t budget = static_cast<uint64_t>(by_unplug ? f.unplug_after_data : f.hold_after_data);
		uint64_t left = budget > data_budget_used_ ? budget - data_budget_used_ : 0;
		if (length >= left) {
			length = left;
			(by_unplug ? unplug : silence) = true;
		}
		data_budget_used_ += length;
	}
	if (length == 0) {
		silent_ = silent_ || silence;
		unplugged_ = unplugged_ || unplug;
		return;
	}

	bool surplus = f.surplus_after_read >= 0 && static_cast<uint64_t>(f.surplus_after_read) == index &&
		       f.surplus_transfers != 0 && f.surplus_bytes > 0;
	uint64_t piece = f.max_mem_transfer ? f.max_mem_transfer : length;
	for (uint64_t off = 0; off < length; off += piece) {
		transfer t;
		t.memory = true;
		t.region_data = src >= 0;
		t.addr = addr + off;
		t.length = std::min(piece, length - off);
		bool last = off + t.length >= length;
		t.silence_after = last && silence;
		t.unplug_after = last && unplug;
		t.trickle = src == -2 && f.trickle_table;
		out_.push_back(std::move(t));
	}
	if (surplus) {
		surplus_left_ = f.surplus_transfers;
		out_.push_back(surplus_transfer());
	}
}

// One transfer of bytes that belong to no region, so that taking them for
// region data shows in the file.
emu_model::transfer emu_model::surplus_transfer()
{
	transfer t;
	t.bytes.resize(static_cast<size_t>(cfg_.fault.surplus_bytes));
	emu_pattern_fill(0x5eed000000000000ULL + surplus_made_++ * cfg_.fault.surplus_bytes, t.bytes.data(),
			 t.bytes.size());
	t.length = t.bytes.size();
	t.surplus = true;
	if (surplus_left_ > 0)
		surplus_left_--;
	return t;
}

// A packet of a command no Sahara device sends, with a body that would act
// on a terminal if shown raw.
std::vector<uint8_t> emu_model::unknown_packet() const
{
	std::vector<uint8_t> p(48, 0x1b);
	le32_put(p.data(), 0x77);
	le32_put(p.data() + 4, 48);
	return p;
}

bool emu_model::has_output() const
{
	return !unplugged_ && !silent_ && !out_.empty();
}

uint64_t emu_model::pending_out() const
{
	if (!has_output())
		return 0;
	return out_.front().length - out_.front().sent;
}

void emu_model::transfer_done(const transfer &t)
{
	transfers_sent_++;
	if (t.silence_after)
		silent_ = true;
	if (t.unplug_after)
		unplugged_ = true;
	if (t.ends)
		finished_ = true;
	// The next surplus transfer follows right away, ahead of anything the
	// host asked for since.
	if (t.surplus && surplus_left_ != 0 && !unplugged_)
		out_.push_front(surplus_transfer());
	if (t.flood) {
		queue_packet(unknown_packet());
		out_.back().flood = true;
	}
	if (cfg_.fault.silent_after_transfers >= 0 &&
	    transfers_sent_ >= static_cast<uint64_t>(cfg_.fault.silent_after_transfers))
		silent_ = true;
}

size_t emu_model::read_out(uint8_t *buf, size_t max)
{
	if (!has_output() || max == 0)
		return 0;

	transfer &t = out_.front();
	size_t n = static_cast<size_t>(std::min<uint64_t>(max, t.length - t.sent));
	if (t.memory) {
		if (!memory(t.addr + t.sent, buf, n))
			memset(buf, 0, n);
		if (t.region_data)
			data_bytes_sent += n;
	} else {
		memcpy(buf, t.bytes.data() + t.sent, n);
	}
	t.sent += n;
	if (t.sent >= t.length) {
		transfer done = std::move(t);
		out_.pop_front();
		transfer_done(done);
	}
	return n;
}

void emu_model::next_image_request()
{
	if (image_idx_ >= cfg_.images.size()) {
		state_ = state::END;
		return;
	}
	const emu_image_request &img = cfg_.images[image_idx_];
	if (image_off_ < img.image_size) {
		uint64_t req = img.request_size ? img.request_size : img.image_size;
		uint64_t n = std::min(req, img.image_size - image_off_);
		std::vector<uint8_t> p(img.use_read64 ? 32 : 20, 0);
		if (img.use_read64) {
			le32_put(p.data(), EMU_CMD_READ_DATA64);
			le32_put(p.data() + 4, 32);
			le64_put(p.data() + 8, img.image_id);
			le64_put(p.data() + 16, image_off_);
			le64_put(p.data() + 24, n);
		} else {
			le32_put(p.data(), EMU_CMD_READ_DATA);
			le32_put(p.data() + 4, 20);
			le32_put(p.data() + 8, img.image_id);
			le32_put(p.data() + 12, static_cast<uint32_t>(image_off_));
			le32_put(p.data() + 16, static_cast<uint32_t>(n));
		}
		queue_packet(std::move(p));
		expect_data_ = n;
		image_off_ += n;
		state_ = state::IMAGE_DATA;
		return;
	}
	std::vector<uint8_t> p(16, 0);
	le32_put(p.data(), EMU_CMD_END_OF_IMAGE);
	le32_put(p.data() + 4, 16);
	le32_put(p.data() + 8, img.image_id);
	le32_put(p.data() + 12, cfg_.end_of_image_status);
	queue_packet(std::move(p));
	image_idx_++;
	image_off_ = 0;
	state_ = state::IMAGE_DONE;
}

void emu_model::write_in(const uint8_t *buf, size_t len)
{
	if (unplugged_) {
		error("host wrote to an unplugged device");
		return;
	}
	if (state_ == state::IMAGE_DATA && expect_data_ > 0) {
		// An 8-byte RESET is taken as such unless exactly 8 bytes of
		// data are due: a host that gives up sends RESET instead of data.
		bool reset = len == 8 && le32_get(buf) == EMU_CMD_RESET && le32_get(buf + 4) == 8 && expect_data_ != 8;
		if (!reset) {
			uint32_t id = cfg_.images[image_idx_].image_id;
			size_t take = static_cast<size_t>(std::min<uint64_t>(len, expect_data_));
			image_data[id].insert(image_data[id].end(), buf, buf + take);
			expect_data_ -= take;
			if (take < len)
				error("host sent more image data than requested");
			if (expect_data_ == 0)
				next_image_request();
			return;
		}
	}
	handle_packet(buf, len);
}

void emu_model::handle_packet(const uint8_t *buf, size_t len)
{
	char msg[128];

	if (len < 8) {
		snprintf(msg, sizeof(msg), "host packet of %zu bytes", len);
		error(msg);
		return;
	}
	uint32_t cmd = le32_get(buf), plen = le32_get(buf + 4);
	if (cfg_.record_packets)
		host_packets.emplace_back(buf, buf + len);
	if (plen != len) {
		snprintf(msg, sizeof(msg), "host packet 0x%x: length field %u, %zu bytes", cmd, plen, len);
		error(msg);
		return;
	}

	switch (cmd) {
	case EMU_CMD_HELLO_RESP:
		on_hello_resp(buf, len);
		return;
	case EMU_CMD_MEMORY_READ:
	case EMU_CMD_MEM_READ64:
		on_memory_read(cmd, buf, len);
		return;
	case EMU_CMD_RESET:
		on_reset();
		return;
	case EMU_CMD_DONE:
		on_done();
		return;
	default:
		snprintf(msg, sizeof(msg), "unexpected host command 0x%x", cmd);
		error(msg);
		return;
	}
}

void emu_model::on_hello_resp(const uint8_t *buf, size_t len)
{
	hello_resp_count++;
	if (len != 48) {
		error("HELLO_RESP not 48 bytes");
		return;
	}
	hello_resp_mode = le32_get(buf + 20);
	bool reserved_zero = std::all_of(buf + 24, buf + 48, [](uint8_t b) { return b == 0; });
	if (le32_get(buf + 8) != 2 || le32_get(buf + 12) != 1 || le32_get(buf + 16) != 0 || !reserved_zero)
		error("HELLO_RESP with wrong version/compatible/status/reserved");
	if (hello_resp_mode != cfg_.hello_mode) {
		char msg[128];
		snprintf(msg, sizeof(msg), "HELLO_RESP mode %u, HELLO said %u", hello_resp_mode, cfg_.hello_mode);
		error(msg);
	}
	if (state_ != state::WAIT_HELLO_RESP) {
		error("HELLO_RESP out of turn");
		return;
	}
	if (cfg_.fault.hello_storm) {
		queue_hello();
	} else if (cfg_.fault.unknown_flood) {
		queue_packet(unknown_packet());
		out_.back().flood = true;
		state_ = state::DEBUG;
	} else if (cfg_.image_mode) {
		next_image_request();
	} else {
		queue_memory_debug();
	}
}

void emu_model::queue_memory_debug()
{
	const unsigned f = field();
	std::vector<uint8_t> p(8 + 2 * f, 0);
	le32_put(p.data(), cfg_.debug32 ? EMU_CMD_MEMORY_DEBUG : EMU_CMD_MEM_DEBUG64);
	le32_put(p.data() + 4, static_cast<uint32_t>(p.size()));
	le_put(p.data() + 8, f, cfg_.table_addr);
	le_put(p.data() + 8 + f, f, table_.size());
	queue_packet(std::move(p));
	state_ = state::DEBUG;
}

void emu_model::on_memory_read(uint32_t cmd, const uint8_t *buf, size_t len)
{
	char msg[128];
	const unsigned f = field();
	const char *name = cmd == EMU_CMD_MEMORY_READ ? "MEMORY_READ" : "MEM_READ64";
	if ((cmd == EMU_CMD_MEMORY_READ) != cfg_.debug32) {
		snprintf(msg, sizeof(msg), "%s to a device that offered %s", name,
			 cfg_.debug32 ? "MEMORY_DEBUG" : "MEM_DEBUG64");
		error(msg);
		return;
	}
	if (len != 8 + 2 * f) {
		snprintf(msg, sizeof(msg), "%s not %u bytes", name, 8 + 2 * f);
		error(msg);
		return;
	}
	uint64_t addr = le_get(buf + 8, f), length = le_get(buf + 8 + f, f);
	mem_read64_count++;
	if (cfg_.record_packets)
		mem_reads.push_back({addr, length});
	if (state_ != state::DEBUG) {
		error(std::string(name) + " out of turn");
		return;
	}
	queue_memory(addr, length);
}

void emu_model::on_reset()
{
	reset_count++;
	state_ = state::END;
	if (!cfg_.fault.no_reset_resp) {
		std::vector<uint8_t> p(8, 0);
		le32_put(p.data(), EMU_CMD_RESET_RESP);
		le32_put(p.data() + 4, 8);
		queue_packet(std::move(p), true);
	}
}

void emu_model::on_done()
{
	done_count++;
	if (state_ != state::IMAGE_DONE) {
		error("DONE out of turn");
		return;
	}
	bool last = image_idx_ >= cfg_.images.size();
	std::vector<uint8_t> p(12, 0);
	le32_put(p.data(), EMU_CMD_DONE_RESP);
	le32_put(p.data() + 4, 12);
	le32_put(p.data() + 8, last ? cfg_.final_done_status : 0);
	queue_packet(std::move(p), last);
	if (last)
		state_ = state::END;
	else
		queue_hello();
}
