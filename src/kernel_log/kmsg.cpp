// Reading the kernel log out of a dump: vmcoreinfo, address translation,
// and the two record formats. See kmsg.h.
#include "kmsg.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <map>

#include "le.h"
#include "visible.h"

namespace {

// Physical memory is read in windows of this size, so that the walk over
// descriptors, infos and data, which goes forward, costs few reads.
constexpr uint64_t WINDOW = 64 * 1024;

std::string fmt(const char *f, ...) __attribute__((format(printf, 1, 2)));
std::string fmt(const char *f, ...)
{
	char line[256];
	va_list ap;
	va_start(ap, f);
	vsnprintf(line, sizeof(line), f, ap);
	va_end(ap);
	return line;
}

// The KEY=value lines of vmcoreinfo.
class vmcoreinfo {
public:
	explicit vmcoreinfo(const std::string &text)
	{
		size_t pos = 0;
		while (pos < text.size()) {
			size_t end = text.find('\n', pos);
			if (end == std::string::npos)
				end = text.size();
			size_t eq = text.find('=', pos);
			if (eq != std::string::npos && eq < end)
				keys_.emplace(text.substr(pos, eq - pos), text.substr(eq + 1, end - eq - 1));
			pos = end + 1;
		}
	}
	bool has(const std::string &key) const { return keys_.count(key) != 0; }
	const std::string *text(const std::string &key) const
	{
		auto it = keys_.find(key);
		return it == keys_.end() ? nullptr : &it->second;
	}
	// A number in the key's own notation: SYMBOL() in hex without 0x,
	// OFFSET(), SIZE() and LENGTH() in decimal, NUMBER() in either.
	bool number(const std::string &key, uint64_t &v) const
	{
		const std::string *t = text(key);
		if (!t || t->empty() || t->size() > 40)
			return false;
		int base = key.compare(0, 7, "SYMBOL(") == 0 ? 16 : 0;
		const char *s = t->c_str();
		bool negative = base == 0 && *s == '-';
		if (negative)
			s++;
		if (base == 0 && !(s[0] == '0' && (s[1] == 'x' || s[1] == 'X')))
			base = 10;
		else if (base == 0) {
			base = 16;
			s += 2;
		}
		if (!*s)
			return false;
		uint64_t r = 0;
		for (; *s; s++) {
			int d = *s >= '0' && *s <= '9'	 ? *s - '0'
				: *s >= 'a' && *s <= 'f' ? *s - 'a' + 10
				: *s >= 'A' && *s <= 'F' ? *s - 'A' + 10
							 : 99;
			if (d >= base || r > (UINT64_MAX - static_cast<uint64_t>(d)) / static_cast<uint64_t>(base))
				return false;
			r = r * static_cast<uint64_t>(base) + static_cast<uint64_t>(d);
		}
		v = negative ? 0 - r : r;
		return true;
	}

private:
	std::map<std::string, std::string> keys_;
};

// Kernel virtual addresses to physical ones, as the kernel itself maps them.
//  arm64: the linear map is [PAGE_OFFSET, PAGE_END) with PAGE_OFFSET =
//    -(1 << VA_BITS) and PAGE_END = -(1 << (VA_BITS - 1)) since Linux 5.4;
//    before, the linear map is the upper half, from -(1 << (VA_BITS - 1)).
//    Its addresses are paddr = (vaddr - PAGE_OFFSET) + PHYS_OFFSET; every
//    other kernel address is the image's: paddr = vaddr - kimage_voffset.
//  arm: the kernel lives in the linear map: paddr = vaddr - PAGE_OFFSET +
//    PHYS_OFFSET, with PAGE_OFFSET 0xc0000000 unless vmcoreinfo says, and
//    the offset from the kernel header's segments, or else from where
//    init_uts_ns lies, when vmcoreinfo gives no PHYS_OFFSET.
class translator {
public:
	bool setup(const vmcoreinfo &vi, bool has_linear, uint64_t linear, unsigned word, std::string &why)
	{
		word_ = word;
		if (word == 8) {
			uint64_t va_bits = 0;
			bool lm = vi.number("NUMBER(VA_BITS)", va_bits) && vi.number("NUMBER(PHYS_OFFSET)", phys_offset_);
			bool img = vi.number("NUMBER(kimage_voffset)", kimage_voffset_);
			if (!lm && !img) {
				why = "vmcoreinfo lacks NUMBER(kimage_voffset), and NUMBER(VA_BITS) with NUMBER(PHYS_OFFSET): "
				      "kernel addresses cannot be translated";
				return false;
			}
			if (lm && (va_bits < 36 || va_bits > 52)) {
				why = fmt("vmcoreinfo has NUMBER(VA_BITS)=%" PRIu64 ", which no arm64 kernel has", va_bits);
				return false;
			}
			has_lm_ = lm;
			has_img_ = img;
			if (lm) {
				bool flipped = release_at_least(vi, 5, 4);
				lm_start_ = flipped ? 0 - (1ull << va_bits) : 0 - (1ull << (va_bits - 1));
				lm_end_ = flipped ? 0 - (1ull << (va_bits - 1)) : 0;
			}
			return true;
		}
		uint64_t page_offset = 0xc0000000, phys = 0;
		vi.number("NUMBER(PAGE_OFFSET)", page_offset);
		if (vi.number("NUMBER(PHYS_OFFSET)", phys))
			linear_ = page_offset - phys;
		else if (has_linear)
			linear_ = linear;
		else {
			why = "vmcoreinfo lacks NUMBER(PHYS_OFFSET) and the kernel header gives no linear offset: kernel "
			      "addresses cannot be translated";
			return false;
		}
		lm_start_ = page_offset & 0xffffffffu;
		return true;
	}

	bool to_phys(uint64_t vaddr, uint64_t &paddr) const
	{
		if (word_ == 4) {
			if (vaddr < lm_start_ || vaddr > 0xffffffffu)
				return false;
			paddr = (vaddr - linear_) & 0xffffffffu;
			return true;
		}
		if (has_lm_ && vaddr >= lm_start_ && (lm_end_ == 0 || vaddr < lm_end_)) {
			paddr = vaddr - lm_start_ + phys_offset_;
			return true;
		}
		if (!has_img_)
			return false;
		paddr = vaddr - kimage_voffset_;
		return true;
	}

private:
	// True when OSRELEASE names major.minor or later; true also when it
	// names no version, since kernels that export the printk ring are.
	static bool release_at_least(const vmcoreinfo &vi, unsigned major, unsigned minor)
	{
		const std::string *r = vi.text("OSRELEASE");
		unsigned a = 0, b = 0;
		if (!r || sscanf(r->c_str(), "%u.%u", &a, &b) != 2)
			return true;
		return a > major || (a == major && b >= minor);
	}

	unsigned word_ = 8;
	bool has_lm_ = false, has_img_ = false;
	uint64_t lm_start_ = 0, lm_end_ = 0, phys_offset_ = 0, kimage_voffset_ = 0, linear_ = 0;
};

class deadline {
public:
	explicit deadline(std::chrono::milliseconds budget) : end_(std::chrono::steady_clock::now() + budget) {}
	bool passed() { return ++n_ % 256 == 0 && std::chrono::steady_clock::now() > end_; }

private:
	std::chrono::steady_clock::time_point end_;
	unsigned n_ = 0;
};

constexpr uint64_t PAGE = 4096;

// Physical memory straight from the saved regions, for what is read before
// kernel addresses can be translated: n bytes that one region holds whole.
bool read_phys(const kmsg_source &src, uint64_t paddr, uint8_t *buf, size_t n)
{
	for (const kmsg_region &r : src.regions)
		if (paddr >= r.addr && paddr - r.addr <= r.length && n <= r.length - (paddr - r.addr))
			return src.read && src.read(r, r.offset + (paddr - r.addr), buf, n);
	return false;
}

// Calls visit(region, offset in it, bytes there, how many) for every
// address of the saved regions that lies at offset at of a 4 KiB page,
// region by region, until it returns false. The bytes are read in large
// pieces, since a read per page costs more than copying the page; they run
// to the end of a piece, which may come before the page's end. False when
// the time bound passed first.
template <typename F> bool each_page(const kmsg_source &src, uint64_t at, deadline &dl, F visit)
{
	constexpr uint64_t PIECE = 1 << 20;
	std::vector<uint8_t> buf(PIECE);
	for (const kmsg_region &r : src.regions) {
		uint64_t in = (at + PAGE - r.addr % PAGE) % PAGE;
		for (uint64_t c = 0; c < r.length && in < r.length; c += PIECE) {
			size_t n = static_cast<size_t>(std::min(PIECE, r.length - c));
			if (!src.read || !src.read(r, r.offset + c, buf.data(), n)) {
				in = c + PIECE + (in - c) % PAGE;
				continue;
			}
			for (; in < c + n; in += PAGE) {
				if (dl.passed())
					return false;
				if (!visit(r, in, buf.data() + (in - c), static_cast<size_t>(c + n - in)))
					return true;
			}
		}
	}
	return true;
}

// vmcoreinfo as the kernel writes it: the release first, then KEY=value
// lines whose keys are names, PAGESIZE among them.
bool parses_as_vmcoreinfo(const std::string &t)
{
	if (t.rfind("OSRELEASE=", 0) != 0 || t.find("\nPAGESIZE=") == std::string::npos)
		return false;
	for (size_t pos = 0; pos < t.size();) {
		size_t end = std::min(t.find('\n', pos), t.size()), eq = t.find('=', pos);
		if (eq == pos || eq >= end)
			return false;
		for (size_t i = pos; i < eq; i++)
			if (!isalnum(static_cast<unsigned char>(t[i])) && !strchr("_().-", t[i]))
				return false;
		pos = end + 1;
	}
	return true;
}

// Whether the new_utsname at paddr names Linux and the release.
bool holds_uts(const kmsg_source &src, uint64_t paddr, const std::string &release)
{
	// sysname, nodename and release, 65 bytes each.
	uint8_t name[195];
	if (!read_phys(src, paddr, name, 6) || memcmp(name, "Linux", 6) != 0 ||
	    !read_phys(src, paddr, name, sizeof(name)))
		return false;
	const char *r = reinterpret_cast<const char *>(name + 130);
	return release.size() < 65 && strnlen(r, 65) == release.size() && memcmp(r, release.data(), release.size()) == 0;
}

// Where the name of init_uts_ns lies from its symbol: at
// OFFSET(uts_namespace.name), or, without it, first in the structure or
// after its reference count.
std::vector<uint64_t> uts_name_vaddrs(const vmcoreinfo &vi, uint64_t sym)
{
	uint64_t off = 0;
	if (vi.number("OFFSET(uts_namespace.name)", off) && off < 4096)
		return {sym + off};
	return {sym, sym + 4};
}

// A 32-bit kernel's linear offset from where init_uts_ns lies: its name,
// with sysname Linux and the release vmcoreinfo names, found at its own
// offset in a page of the saved memory. Exactly one such place gives the
// offset; none, or several, give the reason.
bool linear_from_uts(const vmcoreinfo &vi, const kmsg_source &src, uint64_t &linear, std::string &how,
		     std::string &why)
{
	uint64_t sym = 0;
	const std::string *release = vi.text("OSRELEASE");
	if (!vi.number("SYMBOL(init_uts_ns)", sym) || !release) {
		why = "vmcoreinfo lacks NUMBER(PHYS_OFFSET), the kernel header gives no linear offset and vmcoreinfo "
		      "names no init_uts_ns to find it by: kernel addresses cannot be translated";
		return false;
	}
	deadline dl(src.budget);
	std::vector<std::pair<uint64_t, uint64_t>> found; // vaddr, paddr
	for (uint64_t v : uts_name_vaddrs(vi, sym))
		if (!each_page(src, v % PAGE, dl, [&](const kmsg_region &r, uint64_t in, const uint8_t *b, size_t n) {
			    if ((n < 6 || memcmp(b, "Linux", 6) == 0) && holds_uts(src, r.addr + in, *release))
				    found.emplace_back(v, r.addr + in);
			    return found.size() <= 8;
		    })) {
			why = "looking for init_uts_ns in the saved memory took longer than its time bound";
			return false;
		}
	if (found.size() != 1) {
		std::string at;
		for (const auto &f : found)
			at += fmt("%s0x%" PRIx64, at.empty() ? "" : ", ", f.second);
		why = found.empty() ? fmt("vmcoreinfo lacks NUMBER(PHYS_OFFSET), the kernel header gives no linear "
					  "offset, and no saved page holds init_uts_ns (Linux %.64s) at its offset 0x%" PRIx64
					  ": kernel addresses cannot be translated",
					  release->c_str(), sym % PAGE)
				    : fmt("init_uts_ns (Linux %.64s) lies at %u%s places of the saved memory (%s): the "
					  "linear offset of kernel addresses is ambiguous",
					  release->c_str(), static_cast<unsigned>(found.size()),
					  found.size() > 8 ? " or more" : "", at.c_str());
		return false;
	}
	linear = (found[0].first - found[0].second) & 0xffffffffu;
	how = fmt("linear offset 0x%" PRIx64 " from init_uts_ns at physical 0x%" PRIx64, linear, found[0].second);
	return true;
}

// The translation checked against init_uts_ns, when the saved memory holds
// the place it translates to: that place must name Linux and the release
// (zeros there tell nothing).
bool uts_agrees(const vmcoreinfo &vi, const kmsg_source &src, const translator &t, std::string &why)
{
	uint64_t sym = 0, first = 0;
	const std::string *release = vi.text("OSRELEASE");
	if (!vi.number("SYMBOL(init_uts_ns)", sym) || !release)
		return true;
	bool saved = false;
	for (uint64_t v : uts_name_vaddrs(vi, sym)) {
		uint8_t b[8];
		uint64_t p = 0;
		if (!t.to_phys(v, p) || !read_phys(src, p, b, sizeof(b)))
			continue;
		// Zeros there are memory the dump did not capture (a hole of a
		// sparse region file), which says nothing either way.
		if (std::all_of(std::begin(b), std::end(b), [](uint8_t c) { return c == 0; }))
			continue;
		if (holds_uts(src, p, *release))
			return true;
		first = saved ? first : p;
		saved = true;
	}
	if (saved)
		why = fmt("init_uts_ns translates to physical 0x%" PRIx64 ", which does not hold Linux %.64s: this "
			  "dump's address translation does not fit its memory",
			  first, release->c_str());
	return !saved;
}

// Reads kernel memory by virtual address from the saved regions, through a
// few windows that keep the pieces read last: a record's descriptor, info
// and text lie in three arrays, and one window would be read again for each.
class memory {
public:
	memory(const kmsg_source &src, const translator &t) : src_(src), t_(t) {}

	// Reads n bytes at vaddr; what names the object in the reason.
	bool read(uint64_t vaddr, uint8_t *buf, size_t n, const char *what, std::string &why)
	{
		while (n > 0) {
			uint64_t paddr = 0;
			if (!t_.to_phys(vaddr, paddr)) {
				why = fmt("%s at 0x%" PRIx64 " is not a kernel address this dump can translate", what, vaddr);
				return false;
			}
			const window *w = fill(paddr, what, why);
			if (!w)
				return false;
			uint64_t at = paddr - w->addr;
			size_t take = static_cast<size_t>(std::min<uint64_t>(n, w->bytes.size() - at));
			memcpy(buf, w->bytes.data() + at, take);
			buf += take;
			n -= take;
			vaddr += take;
		}
		return true;
	}

	bool word(uint64_t vaddr, unsigned width, uint64_t &v, const char *what, std::string &why)
	{
		uint8_t b[8];
		if (!read(vaddr, b, width, what, why))
			return false;
		v = le_get(b, width);
		return true;
	}

private:
	struct window {
		uint64_t addr = 0;
		std::vector<uint8_t> bytes;
		uint64_t used = 0; // when last read from; the oldest is refilled
	};

	// The window that holds paddr, filled now if none does; null after
	// the reason.
	const window *fill(uint64_t paddr, const char *what, std::string &why)
	{
		window *oldest = &wins_[0];
		for (window &w : wins_) {
			if (!w.bytes.empty() && paddr >= w.addr && paddr - w.addr < w.bytes.size()) {
				w.used = ++clock_;
				return &w;
			}
			if (w.used < oldest->used)
				oldest = &w;
		}
		for (const kmsg_region &r : src_.regions) {
			if (paddr < r.addr || paddr - r.addr >= r.length)
				continue;
			uint64_t in = paddr - r.addr;
			uint64_t start = in - in % WINDOW;
			uint64_t len = std::min<uint64_t>(WINDOW, r.length - start);
			oldest->bytes.assign(static_cast<size_t>(len), 0);
			if (!src_.read || !src_.read(r, r.offset + start, oldest->bytes.data(), oldest->bytes.size())) {
				oldest->bytes.clear();
				why = fmt("cannot read %s at physical 0x%" PRIx64 " from %.80s", what, paddr, r.file.c_str());
				return nullptr;
			}
			oldest->addr = r.addr + start;
			oldest->used = ++clock_;
			return oldest;
		}
		why = fmt("no saved region holds %s at physical address 0x%" PRIx64, what, paddr);
		return nullptr;
	}

	const kmsg_source &src_;
	const translator &t_;
	std::array<window, 4> wins_;
	uint64_t clock_ = 0;
};

// The layout of one structure from vmcoreinfo: its size and the offsets of
// the fields that are read, each checked to lie inside it.
struct layout {
	uint64_t size = 0;
	std::map<std::string, uint64_t> off;
};

bool get_layout(const vmcoreinfo &vi, const char *type, std::initializer_list<std::pair<const char *, unsigned>> fields,
		layout &l, std::string &why)
{
	std::string key = std::string("SIZE(") + type + ")";
	if (!vi.number(key, l.size)) {
		why = "vmcoreinfo lacks " + key;
		return false;
	}
	for (const auto &[name, width] : fields) {
		std::string k = std::string("OFFSET(") + type + "." + name + ")";
		uint64_t o = 0;
		if (!vi.number(k, o)) {
			why = "vmcoreinfo lacks " + k;
			return false;
		}
		if (o > l.size || width > l.size - o || l.size > 4096) {
			why = fmt("vmcoreinfo puts %s.%s (%u bytes) at %" PRIu64 " of a %" PRIu64 "-byte structure", type,
				  name, width, o, l.size);
			return false;
		}
		l.off[name] = o;
	}
	return true;
}

// Adds one record, within the bounds on records and text.
bool take(kmsg_log &log, uint64_t ts, std::string text, uint64_t &total, std::string &why)
{
	total += text.size();
	if (log.records.size() >= KMSG_RECORDS_MAX || total > KMSG_TEXT_MAX) {
		why = fmt("the log holds more than %u records or %u MiB of text: no kernel's log is that large",
			  KMSG_RECORDS_MAX, KMSG_TEXT_MAX >> 20);
		return false;
	}
	log.records.push_back({ts, std::move(text)});
	return true;
}

// The lockless printk ring (Linux 5.10 and later): a ring of descriptors,
// each naming its record's info and its data block in a ring of text.
class prb_reader {
public:
	prb_reader(const vmcoreinfo &vi, memory &mem, unsigned word, deadline &dl)
		: vi_(vi), mem_(mem), w_(word), dl_(dl)
	{
	}

	bool read(kmsg_log &log, std::string &why)
	{
		if (!layouts(why) || !ring(why))
			return false;
		log.format = "printk ring";
		uint64_t total = 0;
		uint64_t n = ((head_id_ - tail_id_) & id_mask_) + 1;
		for (uint64_t k = 0, id = tail_id_; k < n; k++, id = (id + 1) & id_mask_) {
			if (dl_.passed()) {
				why = "reading the log took longer than its time bound";
				return false;
			}
			uint64_t ts = 0;
			std::string text;
			int got = record(id, ts, text, why);
			if (got < 0)
				return false;
			if (got == 0)
				log.skipped++;
			else if (!take(log, ts, std::move(text), total, why))
				return false;
		}
		// A kernel that ran logged; descriptors that all fail to name
		// their records are a ring overwritten or never saved.
		if (log.records.empty()) {
			why = fmt("none of the printk ring's %" PRIu64 " descriptors from tail to head names a record",
				  n);
			return false;
		}
		return true;
	}

private:
	bool layouts(std::string &why)
	{
		return get_layout(vi_, "printk_ringbuffer", {{"desc_ring", 1}, {"text_data_ring", 1}}, rb_, why) &&
		       get_layout(vi_, "prb_desc_ring",
				  {{"count_bits", 4}, {"descs", w_}, {"infos", w_}, {"head_id", w_}, {"tail_id", w_}},
				  dr_, why) &&
		       get_layout(vi_, "prb_desc", {{"state_var", w_}, {"text_blk_lpos", 2 * w_}}, desc_, why) &&
		       get_layout(vi_, "prb_data_blk_lpos", {{"begin", w_}, {"next", w_}}, lpos_, why) &&
		       get_layout(vi_, "printk_info", {{"ts_nsec", 8}, {"text_len", 2}}, info_, why) &&
		       get_layout(vi_, "prb_data_ring", {{"size_bits", 4}, {"data", w_}, {"head_lpos", w_}, {"tail_lpos", w_}},
				  data_, why) &&
		       counter(why);
	}

	bool counter(std::string &why)
	{
		if (!vi_.number("OFFSET(atomic_long_t.counter)", counter_)) {
			why = "vmcoreinfo lacks OFFSET(atomic_long_t.counter)";
			return false;
		}
		if (counter_ > 64) {
			why = "vmcoreinfo puts atomic_long_t.counter beyond its word";
			return false;
		}
		return true;
	}

	// A field of width 2, 4 or 8 bytes, as its layout was checked to hold.
	uint64_t field(const std::vector<uint8_t> &s, const layout &l, const char *name, unsigned width) const
	{
		const uint8_t *p = s.data() + l.off.at(name);
		return width == 2 ? le16_get(p) : le_get(p, width);
	}

	bool ring(std::string &why)
	{
		uint64_t prb_sym = 0, rb = 0;
		vi_.number("SYMBOL(prb)", prb_sym);
		if (!mem_.word(prb_sym, w_, rb, "prb", why))
			return false;
		std::vector<uint8_t> s(rb_.size);
		if (!mem_.read(rb, s.data(), s.size(), "the printk ring", why))
			return false;
		uint64_t d = rb_.off["desc_ring"], t = rb_.off["text_data_ring"];
		if (d > rb_.size || dr_.size > rb_.size - d || t > rb_.size || data_.size > rb_.size - t) {
			why = "vmcoreinfo's printk ring does not hold its desc and data rings";
			return false;
		}
		std::vector<uint8_t> ds(s.begin() + static_cast<long>(d), s.begin() + static_cast<long>(d + dr_.size));
		std::vector<uint8_t> ts(s.begin() + static_cast<long>(t), s.begin() + static_cast<long>(t + data_.size));
		count_bits_ = static_cast<unsigned>(field(ds, dr_, "count_bits", 4));
		descs_ = field(ds, dr_, "descs", w_);
		infos_ = field(ds, dr_, "infos", w_);
		size_bits_ = static_cast<unsigned>(field(ts, data_, "size_bits", 4));
		data_addr_ = field(ts, data_, "data", w_);
		uint64_t word_mask = w_ == 8 ? UINT64_MAX : 0xffffffffu;
		id_mask_ = word_mask >> 2;
		if (!atomic(ds, dr_, "head_id", head_id_, why) || !atomic(ds, dr_, "tail_id", tail_id_, why))
			return false;
		head_id_ &= id_mask_;
		tail_id_ &= id_mask_;
		if (count_bits_ < 1 || count_bits_ > 24 || size_bits_ < 4 || size_bits_ > 31) {
			why = fmt("the printk ring claims 2^%u descriptors and 2^%u bytes of text, which no kernel has",
				  count_bits_, size_bits_);
			return false;
		}
		if (((head_id_ - tail_id_) & id_mask_) >= (1ull << count_bits_)) {
			why = fmt("the printk ring's ids do not add up: tail 0x%" PRIx64 " and head 0x%" PRIx64
				  " are further apart than its %u descriptors",
				  tail_id_, head_id_, 1u << count_bits_);
			return false;
		}
		return true;
	}

	bool atomic(const std::vector<uint8_t> &s, const layout &l, const char *name, uint64_t &v, std::string &why)
	{
		uint64_t o = l.off.at(name) + counter_;
		if (o + w_ > s.size()) {
			why = fmt("vmcoreinfo puts the counter of %s outside its structure", name);
			return false;
		}
		v = le_get(s.data() + o, w_);
		return true;
	}

	// Reads the record of id: 1 when taken, 0 when it is not there to take,
	// -1 on a failure of the dump's memory.
	int record(uint64_t id, uint64_t &ts, std::string &text, std::string &why)
	{
		uint64_t idx = id & ((1ull << count_bits_) - 1);
		std::vector<uint8_t> d(desc_.size);
		if (!mem_.read(descs_ + idx * desc_.size, d.data(), d.size(), "a printk descriptor", why))
			return -1;
		uint64_t sv = 0;
		if (!atomic(d, desc_, "state_var", sv, why))
			return -1;
		unsigned state = static_cast<unsigned>((sv >> (8 * w_ - 2)) & 3);
		// 1 committed, 2 finalized; 0 is being written, 3 is reusable.
		if ((sv & id_mask_) != id || (state != 1 && state != 2))
			return 0;
		uint64_t lp = desc_.off["text_blk_lpos"];
		if (lp + lpos_.size > d.size()) {
			why = "vmcoreinfo puts prb_desc.text_blk_lpos outside its structure";
			return -1;
		}
		uint64_t begin = le_get(d.data() + lp + lpos_.off["begin"], w_);
		uint64_t next = le_get(d.data() + lp + lpos_.off["next"], w_);

		std::vector<uint8_t> inf(info_.size);
		if (!mem_.read(infos_ + idx * info_.size, inf.data(), inf.size(), "a printk info", why))
			return -1;
		ts = field(inf, info_, "ts_nsec", 8);
		uint64_t text_len = field(inf, info_, "text_len", 2);

		uint64_t block = 0, size = 0;
		if (!data_block(begin, next, block, size))
			return 0;
		uint64_t block_id = 0;
		if (!mem_.word(data_addr_ + block, w_, block_id, "a printk data block", why))
			return -1;
		if ((block_id & id_mask_) != id)
			return 0;
		text.resize(static_cast<size_t>(std::min<uint64_t>(text_len, size - w_)));
		if (!mem_.read(data_addr_ + block + w_, reinterpret_cast<uint8_t *>(text.data()), text.size(),
			       "printk text", why))
			return -1;
		return 1;
	}

	// Where the data block of [begin, next) lies in the text ring and how
	// long it is with its id, as the kernel's own reader finds it: a block
	// that would cross the end of the ring starts again at its start.
	bool data_block(uint64_t begin, uint64_t next, uint64_t &block, uint64_t &size) const
	{
		uint64_t ring = 1ull << size_bits_;
		uint64_t word_mask = w_ == 8 ? UINT64_MAX : 0xffffffffu;
		// A record without data has both ends odd.
		if ((begin & 1) || (next & 1))
			return false;
		if ((begin >> size_bits_) == (next >> size_bits_) && begin < next) {
			block = begin & (ring - 1);
			size = next - begin;
		} else if ((((begin + ring) & word_mask) >> size_bits_) == (next >> size_bits_)) {
			block = 0;
			size = next & (ring - 1);
		} else {
			return false;
		}
		return begin % w_ == 0 && next % w_ == 0 && size >= w_ && size <= ring && block + size <= ring;
	}

	const vmcoreinfo &vi_;
	memory &mem_;
	unsigned w_;
	deadline &dl_;
	layout rb_, dr_, desc_, lpos_, info_, data_;
	uint64_t counter_ = 0;
	unsigned count_bits_ = 0, size_bits_ = 0;
	uint64_t descs_ = 0, infos_ = 0, data_addr_ = 0, head_id_ = 0, tail_id_ = 0, id_mask_ = 0;
};

// The log_buf records of kernels before 5.10: a byte ring of printk_log
// headers, each followed by its text; a record of length 0 sends the reader
// back to the start of the buffer.
bool read_log_buf(const vmcoreinfo &vi, memory &mem, unsigned w, deadline &dl, kmsg_log &log, std::string &why)
{
	layout pl;
	if (!get_layout(vi, "printk_log", {{"ts_nsec", 8}, {"len", 2}, {"text_len", 2}}, pl, why))
		return false;
	uint64_t sym[4];
	const char *names[] = {"log_buf", "log_buf_len", "log_first_idx", "log_next_idx"};
	for (int i = 0; i < 4; i++)
		if (!vi.number(std::string("SYMBOL(") + names[i] + ")", sym[i])) {
			why = std::string("vmcoreinfo lacks SYMBOL(") + names[i] + ")";
			return false;
		}
	uint64_t buf = 0, len = 0, first = 0, next = 0;
	if (!mem.word(sym[0], w, buf, "log_buf", why) || !mem.word(sym[1], 4, len, "log_buf_len", why) ||
	    !mem.word(sym[2], 4, first, "log_first_idx", why) || !mem.word(sym[3], 4, next, "log_next_idx", why))
		return false;
	if (len < pl.size || len > (1ull << 31) || first >= len || next >= len) {
		why = fmt("log_buf's indexes do not add up: first %" PRIu64 " and next %" PRIu64 " in %" PRIu64 " bytes",
			  first, next, len);
		return false;
	}
	log.format = "log_buf";
	uint64_t total = 0;
	bool wrapped = false;
	std::vector<uint8_t> h(pl.size);
	for (uint64_t idx = first; idx != next;) {
		if (dl.passed()) {
			why = "reading the log took longer than its time bound";
			return false;
		}
		if (idx + pl.size > len) {
			why = fmt("log_buf's record at %" PRIu64 " runs past its end of %" PRIu64 " bytes", idx, len);
			return false;
		}
		if (!mem.read(buf + idx, h.data(), h.size(), "a log_buf record", why))
			return false;
		uint64_t rec = le16_get(h.data() + pl.off["len"]), text_len = le16_get(h.data() + pl.off["text_len"]);
		if (rec == 0) {
			if (wrapped) {
				why = "log_buf's records do not add up: they wrap twice before the next index";
				return false;
			}
			wrapped = true;
			idx = 0;
			continue;
		}
		if (rec < pl.size || text_len > rec - pl.size || idx + rec > len || (wrapped && idx < next && idx + rec > next)) {
			why = fmt("log_buf's record at %" PRIu64 " has length %" PRIu64 ", which does not fit", idx, rec);
			return false;
		}
		std::string text(static_cast<size_t>(text_len), '\0');
		if (!mem.read(buf + idx + pl.size, reinterpret_cast<uint8_t *>(text.data()), text.size(), "log_buf text", why))
			return false;
		if (!take(log, le64_get(h.data() + pl.off["ts_nsec"]), std::move(text), total, why))
			return false;
		idx += rec;
		if (idx == len && !wrapped) {
			wrapped = true;
			idx = 0;
		}
	}
	return true;
}

// The width of a kernel word: the ELF class, else vmcoreinfo's own.
unsigned word_of(const vmcoreinfo &vi, const kmsg_source &src)
{
	uint64_t w = 0;
	if (vi.number("SIZE(atomic_long_t)", w) && (w == 4 || w == 8))
		return static_cast<unsigned>(w);
	if (src.word == 4 || src.word == 8)
		return src.word;
	if (vi.has("NUMBER(kimage_voffset)") || vi.has("NUMBER(VA_BITS)"))
		return 8;
	const std::string *s = vi.text("SYMBOL(_stext)");
	return s && s->size() <= 8 ? 4 : 8;
}

void append_line(std::string &out, uint64_t ts, const char *line, size_t n)
{
	char prefix[48];
	snprintf(prefix, sizeof(prefix), "[%5" PRIu64 ".%06" PRIu64 "] ", ts / 1000000000, ts % 1000000000 / 1000);
	out += prefix;
	text_append_visible(out, line, n);
	out += '\n';
}

void append_record(std::string &out, const kmsg_record &r)
{
	size_t pos = 0;
	const std::string &t = r.text;
	for (;;) {
		size_t nl = t.find('\n', pos);
		if (nl == std::string::npos) {
			append_line(out, r.ts_nsec, t.data() + pos, t.size() - pos);
			return;
		}
		append_line(out, r.ts_nsec, t.data() + pos, nl - pos);
		pos = nl + 1;
		// A newline that ends the text makes no empty line.
		if (pos == t.size())
			return;
	}
}

} // namespace

int kmsg_read(const kmsg_source &src, kmsg_log &log, std::string &why)
{
	log = kmsg_log();
	vmcoreinfo vi(src.vmcoreinfo);
	bool prb = vi.has("SYMBOL(prb)"), lb = vi.has("SYMBOL(log_buf)");
	if (!prb && !lb) {
		why = "vmcoreinfo names no kernel log (neither SYMBOL(prb) nor SYMBOL(log_buf))";
		return -1;
	}
	unsigned w = word_of(vi, src);
	bool has_linear = src.has_linear, from_uts = false;
	uint64_t linear = src.linear;
	std::string how;
	if (w == 4 && !has_linear && !vi.has("NUMBER(PHYS_OFFSET)")) {
		if (!linear_from_uts(vi, src, linear, how, why))
			return -1;
		has_linear = from_uts = true;
	}
	translator t;
	if (!t.setup(vi, has_linear, linear, w, why) || (!from_uts && !uts_agrees(vi, src, t, why)))
		return -1;
	memory mem(src, t);
	deadline dl(src.budget);
	bool ok = prb ? prb_reader(vi, mem, w, dl).read(log, why) : read_log_buf(vi, mem, w, dl, log, why);
	if (!ok) {
		log.records.clear();
		return -1;
	}
	log.how = how;
	return 0;
}

int kmsg_scan_vmcoreinfo(const kmsg_source &src, std::string &text, uint64_t &paddr, std::string &why)
{
	deadline dl(src.budget);
	unsigned spoiled = 0;
	std::vector<uint8_t> page(PAGE);
	bool in_time = each_page(src, 0, dl, [&](const kmsg_region &r, uint64_t in, const uint8_t *b, size_t have) {
		// The last page of a region may be cut short.
		size_t n = static_cast<size_t>(std::min(PAGE, r.length - in));
		if (n < 10 || (have >= 10 && memcmp(b, "OSRELEASE=", 10) != 0) ||
		    !src.read(r, r.offset + in, page.data(), n) || memcmp(page.data(), "OSRELEASE=", 10) != 0)
			return true;
		std::string t = kmsg_vmcoreinfo_text(page.data(), n);
		if (!parses_as_vmcoreinfo(t)) {
			spoiled++;
			return true;
		}
		text = t;
		paddr = r.addr + in;
		return false;
	});
	if (!text.empty())
		return 0;
	why = !in_time	   ? "looking for vmcoreinfo in the saved memory took longer than its time bound"
	      : spoiled > 0 ? fmt("%u page(s) of the saved memory start with OSRELEASE= but hold no vmcoreinfo", spoiled)
			    : "no page of the saved memory starts with vmcoreinfo";
	return -1;
}

std::string kmsg_dmesg_text(const kmsg_log &log)
{
	std::string out;
	for (const kmsg_record &r : log.records)
		append_record(out, r);
	return out;
}

std::string kmsg_last_line(const kmsg_log &log)
{
	if (log.records.empty())
		return "";
	std::string s;
	append_record(s, log.records.back());
	s.pop_back();
	size_t nl = s.rfind('\n');
	return nl == std::string::npos ? s : s.substr(nl + 1);
}

std::string kmsg_vmcoreinfo_text(const uint8_t *bytes, size_t len)
{
	// ELF notes: namesz, descsz, type, the name and the descriptor, each
	// padded to 4 bytes.
	size_t pos = 0;
	while (len >= 12 && pos <= len - 12) {
		uint32_t namesz = le32_get(bytes + pos), descsz = le32_get(bytes + pos + 4);
		uint64_t name_end = pos + 12 + ((static_cast<uint64_t>(namesz) + 3) & ~3ull);
		uint64_t desc_end = name_end + ((static_cast<uint64_t>(descsz) + 3) & ~3ull);
		if (namesz == 0 || namesz > 256 || desc_end > len)
			break;
		if (namesz >= 10 && memcmp(bytes + pos + 12, "VMCOREINFO", 10) == 0 &&
		    (namesz == 10 || bytes[pos + 22] == '\0')) {
			const char *d = reinterpret_cast<const char *>(bytes + name_end);
			return std::string(d, strnlen(d, descsz));
		}
		pos = static_cast<size_t>(desc_end);
	}
	const char *t = reinterpret_cast<const char *>(bytes);
	std::string text(t, strnlen(t, len));
	size_t eq = text.find('='), nl = text.find('\n');
	if (eq == std::string::npos || eq == 0 || (nl != std::string::npos && nl < eq))
		return "";
	return text;
}
