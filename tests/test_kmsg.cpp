// The kernel log read out of a dump's memory: both record formats, as the
// emulator's kernel writes them, against the known message list; and a
// one-line reason for every way the dump can fail to hold a readable log.
#include <gtest/gtest.h>

#include <map>

#include "kernel_log.h"
#include "kmsg.h"
#include "le.h"

namespace {

// arm64 since 5.4: image at 0xffffffc008000000 for RAM at 0x80000000,
// linear map from -(1 << 39).
const char arm64_lines[] = "OSRELEASE=5.15.104-android13-8\nPAGESIZE=4096\nNUMBER(VA_BITS)=39\n"
			   "NUMBER(kimage_voffset)=0xffffffbf88000000\nNUMBER(PHYS_OFFSET)=0x80000000\n";
const klog_at arm64_vars = {0xffffffc00a2c0000, 0x822c0000}, arm64_rings = {0xffffff800f000000, 0x8f000000};
// arm64 before 5.4: the linear map is the upper half, the image below it.
const char arm64_old_lines[] = "OSRELEASE=4.19.157-perf\nNUMBER(VA_BITS)=39\n"
			       "NUMBER(kimage_voffset)=0xffffff7f88000000\nNUMBER(PHYS_OFFSET)=0x80000000\n";
const klog_at arm64_old_vars = {0xffffff800a2c0000, 0x822c0000}, arm64_old_rings = {0xffffffc00f000000, 0x8f000000};
// arm: RAM at 0x80000000 mapped at 0xc0000000.
const char arm_lines[] = "OSRELEASE=4.14.190-perf\nPAGESIZE=4096\nNUMBER(PHYS_OFFSET)=0x80000000\n";
const klog_at arm_vars = {0xc1a3f000, 0x81a3f000}, arm_rings = {0xcf000000, 0x8f000000};

// A dump's memory made of the built pieces, one region each.
struct dump_memory {
	std::map<std::string, std::vector<uint8_t>> files;
	kmsg_source src;

	dump_memory(const klog_built &b, const std::string &arch, unsigned word)
	{
		src.vmcoreinfo = arch + b.vmcoreinfo;
		src.word = word;
		for (size_t i = 0; i < b.pieces.size(); i++) {
			std::string name = "piece" + std::to_string(i);
			files[name] = b.pieces[i].bytes;
			src.regions.push_back({name, b.pieces[i].paddr, b.pieces[i].bytes.size(), 0});
		}
		src.read = [this](const kmsg_region &r, uint64_t off, uint8_t *buf, size_t len) {
			const std::vector<uint8_t> &f = files.at(r.file);
			if (off > f.size() || len > f.size() - off)
				return false;
			memcpy(buf, f.data() + off, len);
			return true;
		};
	}

	// One more region: bytes at physical address paddr.
	void add(uint64_t paddr, std::vector<uint8_t> bytes)
	{
		std::string name = "piece" + std::to_string(files.size());
		src.regions.push_back({name, paddr, bytes.size(), 0});
		files[name] = std::move(bytes);
	}
};

// The log holds the last kept messages of the list, in order, and nothing
// else.
void expect_last_messages(const kmsg_log &log, size_t messages, size_t kept)
{
	std::vector<klog_message> list = klog_messages(messages);
	ASSERT_EQ(log.records.size(), kept);
	for (size_t i = 0; i < kept; i++) {
		const klog_message &m = list[messages - kept + i];
		ASSERT_EQ(log.records[i].text, m.text) << "record " << i;
		ASSERT_EQ(log.records[i].ts_nsec, m.ts_nsec) << "record " << i;
	}
	EXPECT_EQ(kmsg_last_line(log).find("Kernel panic - not syncing"), 15u) << kmsg_last_line(log);
}

// Reads the log b holds, as a dump with the vmcoreinfo lines arch gives it,
// and checks it is in format and holds the last messages b kept.
kmsg_log expect_read_back(const klog_built &b, const char *arch, unsigned word, const char *format, size_t messages)
{
	dump_memory mem(b, arch, word);
	kmsg_log log;
	std::string why;
	EXPECT_EQ(kmsg_read(mem.src, log, why), 0) << why;
	EXPECT_STREQ(log.format, format);
	expect_last_messages(log, messages, messages - b.dropped);
	return log;
}

struct prb_case {
	const char *name;
	unsigned word, count_bits, size_bits;
	size_t messages;
	bool pending, wraps, crosses;
};

TEST(kmsg, printk_ring)
{
	const prb_case cases[] = {
		{"full ring", 8, 9, 15, 200, false, false, false},
		// Its one block at the end of the text ring ends exactly there,
		// which the kernel stores at the start too.
		{"wrapped ring", 8, 9, 15, 600, false, true, false},
		{"record being written", 8, 9, 15, 120, true, false, false},
		{"record being written over a wrap", 8, 6, 12, 300, true, true, true},
		{"data blocks crossing the end, small ring", 8, 5, 11, 400, false, true, true},
		{"32-bit ring", 4, 7, 13, 500, false, true, true},
	};
	for (const prb_case &c : cases) {
		SCOPED_TRACE(c.name);
		klog_prb_params p;
		p.word = c.word;
		p.count_bits = c.count_bits;
		p.size_bits = c.size_bits;
		p.messages = c.messages;
		p.pending = c.pending;
		p.vars = c.word == 8 ? arm64_vars : arm_vars;
		p.rings = c.word == 8 ? arm64_rings : arm_rings;
		klog_built b = klog_build_prb(p);
		// The fixture is what the row says it is.
		ASSERT_EQ(b.dropped > 0, c.wraps);
		ASSERT_EQ(b.crossed_end, c.crosses);

		kmsg_log log = expect_read_back(b, c.word == 8 ? arm64_lines : arm_lines, c.word, "printk ring",
						c.messages);
		if (c.pending) {
			EXPECT_GE(log.skipped, 1u);
		}
	}
}

struct logbuf_case {
	const char *name;
	unsigned word;
	uint32_t buf_len;
	size_t messages;
	bool wraps, crosses;
};

TEST(kmsg, log_buf)
{
	const logbuf_case cases[] = {
		{"not yet wrapped", 4, 16384, 60, false, false},
		{"wrapped, with a len-0 record", 4, 16384, 300, true, true},
		{"wrapped many times, held records not crossing the end", 4, 4096, 900, true, false},
		{"64-bit, before the arm64 linear map moved", 8, 8192, 400, true, true},
	};
	for (const logbuf_case &c : cases) {
		SCOPED_TRACE(c.name);
		klog_logbuf_params p;
		p.word = c.word;
		p.buf_len = c.buf_len;
		p.messages = c.messages;
		p.vars = c.word == 8 ? arm64_old_vars : arm_vars;
		p.rings = c.word == 8 ? arm64_old_rings : arm_rings;
		klog_built b = klog_build_logbuf(p);
		ASSERT_EQ(b.dropped > 0, c.wraps);
		// The records still held go on at the start, after a len-0 record.
		ASSERT_EQ(b.crossed_end, c.crosses);

		expect_read_back(b, c.word == 8 ? arm64_old_lines : arm_lines, c.word, "log_buf", c.messages);
	}
}

// The 32-bit ARM kernel gives no PHYS_OFFSET: the linear offset comes from
// its header's segments, and without them nothing can be translated.
TEST(kmsg, arm_linear_offset_from_the_header)
{
	klog_logbuf_params p;
	p.vars = arm_vars;
	p.rings = arm_rings;
	klog_built b = klog_build_logbuf(p);
	dump_memory mem(b, "OSRELEASE=4.14.190-perf\n", 4);
	kmsg_log log;
	std::string why;
	EXPECT_EQ(kmsg_read(mem.src, log, why), -1);
	EXPECT_NE(why.find("cannot be translated"), std::string::npos) << why;

	mem.src.has_linear = true;
	mem.src.linear = 0x40000000;
	ASSERT_EQ(kmsg_read(mem.src, log, why), 0) << why;
	expect_last_messages(log, p.messages, p.messages - b.dropped);
}

// Puts text at offset at of bytes.
void put_text(std::vector<uint8_t> &bytes, size_t at, const std::string &text)
{
	memcpy(bytes.data() + at, text.data(), text.size());
}

struct scan_case {
	const char *name;
	// Texts and where they lie in 16 KiB of RAM at 0x90000000.
	std::vector<std::pair<size_t, std::string>> texts;
	int64_t found; // offset of the page taken; -1: none
	const char *reason;
};

// A dump of all RAM: vmcoreinfo is the first page that starts with it and
// parses, and nothing else.
TEST(kmsg, vmcoreinfo_page_scan)
{
	const std::string good = "OSRELEASE=6.1.0-57-armmp\nBUILD-ID=7fabb78ae97a\nPAGESIZE=4096\nSYMBOL(prb)=c142e878\n";
	const scan_case cases[] = {
		{"a page of it", {{0x1000, good}}, 0x1000, nullptr},
		{"not page-aligned", {{0x1018, good}}, -1, "no page of the saved memory starts with vmcoreinfo"},
		{"two pages, the first spoiled",
		 {{0x1000, "OSRELEASE=6.1.0-57-armmp\n\x01\x02\xff\xfe binary\n"}, {0x3000, good}},
		 0x3000,
		 nullptr},
		{"only a spoiled page", {{0x2000, "OSRELEASE=6.1.0 and no lines\n"}}, -1,
		 "1 page(s) of the saved memory start with OSRELEASE= but hold no vmcoreinfo"},
		{"the last page of the region, cut short", {{0x3000, good}}, 0x3000, nullptr},
	};
	for (const scan_case &c : cases) {
		SCOPED_TRACE(c.name);
		klog_prb_params p;
		p.vars = arm64_vars;
		p.rings = arm64_rings;
		dump_memory mem(klog_build_prb(p), "", 8);
		std::vector<uint8_t> ram(0x3000 + (std::string(c.name).find("cut short") != std::string::npos ? 0x800 : 0x1000));
		for (const auto &[at, text] : c.texts)
			put_text(ram, at, text);
		mem.add(0x90000000, ram);
		std::string text, why;
		uint64_t at = 0;
		if (c.found < 0) {
			ASSERT_EQ(kmsg_scan_vmcoreinfo(mem.src, text, at, why), -1);
			EXPECT_EQ(why, c.reason);
			continue;
		}
		ASSERT_EQ(kmsg_scan_vmcoreinfo(mem.src, text, at, why), 0) << why;
		EXPECT_EQ(at, 0x90000000u + static_cast<uint64_t>(c.found));
		EXPECT_EQ(text, good);
	}
}

// A new_utsname as the kernel keeps it: sysname, nodename, release.
std::vector<uint8_t> utsname(const char *release)
{
	std::vector<uint8_t> u(6 * 65, 0);
	put_text(u, 0, "Linux");
	put_text(u, 65, "(none)");
	put_text(u, 130, release);
	return u;
}

struct uts_case {
	const char *name;
	std::string lines; // vmcoreinfo lines before the log's
	unsigned word;
	// Offsets in 64 KiB of RAM at 0x81580000 where a new_utsname naming
	// release lies.
	std::vector<size_t> copies;
	const char *release;
	const char *reason; // null: the log is read
};

// A 32-bit kernel gives no linear offset; init_uts_ns at its own page
// offset, naming the release, does. On arm64 it confirms the offset.
TEST(kmsg, linear_offset_from_init_uts_ns)
{
	// init_uts_ns at 0xc1583c14: physical 0x81583c14 for arm_vars'
	// linear offset 0x40000000.
	const std::string arm = "OSRELEASE=6.1.0-57-armmp\nPAGESIZE=4096\nSYMBOL(init_uts_ns)=c1583c14\n"
				"OFFSET(uts_namespace.name)=0\n";
	const std::string arm64 = std::string(arm64_lines) + "SYMBOL(init_uts_ns)=ffffffc009783c14\n";
	const uts_case cases[] = {
		{"at its offset", arm, 4, {0x3c14}, "6.1.0-57-armmp", nullptr},
		// Without OFFSET(uts_namespace.name): after a 4-byte kref.
		{"after its reference count", "OSRELEASE=4.19.1\nPAGESIZE=4096\nSYMBOL(init_uts_ns)=c1583c10\n", 4,
		 {0x3c14}, "4.19.1", nullptr},
		{"two copies, the one at its page offset wins", arm, 4, {0x13b8, 0x3c14}, "6.1.0-57-armmp", nullptr},
		{"init_uts_ns missing", arm, 4, {}, "6.1.0-57-armmp",
		 "no saved page holds init_uts_ns (Linux 6.1.0-57-armmp) at its offset 0xc14"},
		{"another release", arm, 4, {0x3c14}, "6.1.0-56-armmp", "no saved page holds init_uts_ns"},
		{"two copies at its page offset", arm, 4, {0x3c14, 0x8c14}, "6.1.0-57-armmp",
		 "init_uts_ns (Linux 6.1.0-57-armmp) lies at 2 places of the saved memory (0x81583c14, 0x81588c14): "
		 "the linear offset of kernel addresses is ambiguous"},
		{"no init_uts_ns in vmcoreinfo", "OSRELEASE=6.1.0-57-armmp\nPAGESIZE=4096\n", 4, {0x3c14},
		 "6.1.0-57-armmp", "names no init_uts_ns to find it by: kernel addresses cannot be translated"},
		// arm64: the image maps 0xffffffc009783c14 to 0x81783c14.
		{"arm64, confirmed", arm64, 8, {0x203c14}, "5.15.104-android13-8", nullptr},
		{"arm64, another release where it translates to", arm64, 8, {0x203c14}, "5.15.1",
		 "init_uts_ns translates to physical 0x81783c14, which does not hold Linux 5.15.104-android13-8"},
	};
	for (const uts_case &c : cases) {
		SCOPED_TRACE(c.name);
		klog_prb_params p;
		p.word = c.word;
		p.vars = c.word == 8 ? arm64_vars : arm_vars;
		p.rings = c.word == 8 ? arm64_rings : arm_rings;
		klog_built b = klog_build_prb(p);
		dump_memory mem(b, c.lines, c.word);
		std::vector<uint8_t> ram(c.word == 8 ? 0x210000 : 0x10000);
		for (size_t at : c.copies) {
			std::vector<uint8_t> u = utsname(c.release);
			std::copy(u.begin(), u.end(), ram.begin() + static_cast<long>(at));
		}
		mem.add(0x81580000, ram);
		kmsg_log log;
		std::string why;
		if (c.reason) {
			ASSERT_EQ(kmsg_read(mem.src, log, why), -1);
			EXPECT_NE(why.find(c.reason), std::string::npos) << why;
			EXPECT_EQ(why.find('\n'), std::string::npos) << why;
			continue;
		}
		ASSERT_EQ(kmsg_read(mem.src, log, why), 0) << why;
		expect_last_messages(log, p.messages, p.messages - b.dropped);
		if (c.word == 4) {
			EXPECT_EQ(log.how, "linear offset 0x40000000 from init_uts_ns at physical 0x81583c14");
		}
	}
}

std::string without_line(const std::string &text, const std::string &key)
{
	size_t at = text.find(key);
	if (at == std::string::npos)
		return text;
	return text.substr(0, at) + text.substr(text.find('\n', at) + 1);
}

struct failure_case {
	const char *name;
	bool prb;
	std::function<void(dump_memory &)> spoil;
	const char *reason;
};

// Every way the log cannot be read ends in its own one-line reason and no
// records.
TEST(kmsg, failures)
{
	auto put_word = [](dump_memory &m, size_t piece, size_t at, uint64_t v) {
		le64_put(m.files.at("piece" + std::to_string(piece)).data() + at, v);
	};
	const failure_case cases[] = {
		{"missing region", true, [](dump_memory &m) { m.src.regions.pop_back(); },
		 "no saved region holds a printk descriptor at physical address 0x8f000"},
		{"missing region, log_buf", false, [](dump_memory &m) { m.src.regions.pop_back(); },
		 "no saved region holds a log_buf record at physical address 0x8f00"},
		{"unreadable region file", true, [](dump_memory &m) { m.files.at("piece1").resize(100); },
		 "cannot read a printk descriptor at physical 0x8f000"},
		{"vmcoreinfo without prb or log_buf", true,
		 [](dump_memory &m) { m.src.vmcoreinfo = without_line(m.src.vmcoreinfo, "SYMBOL(prb)"); },
		 "vmcoreinfo names no kernel log (neither SYMBOL(prb) nor SYMBOL(log_buf))"},
		{"vmcoreinfo without a field", true,
		 [](dump_memory &m) { m.src.vmcoreinfo = without_line(m.src.vmcoreinfo, "OFFSET(prb_desc.state_var)"); },
		 "vmcoreinfo lacks OFFSET(prb_desc.state_var)"},
		{"vmcoreinfo without log_buf_len", false,
		 [](dump_memory &m) { m.src.vmcoreinfo = without_line(m.src.vmcoreinfo, "SYMBOL(log_buf_len)"); },
		 "vmcoreinfo lacks SYMBOL(log_buf_len)"},
		{"vmcoreinfo with a field outside its structure", true,
		 [](dump_memory &m) {
			 m.src.vmcoreinfo = without_line(m.src.vmcoreinfo, "OFFSET(printk_info.ts_nsec)") +
					    "OFFSET(printk_info.ts_nsec)=200\n";
		 },
		 "vmcoreinfo puts printk_info.ts_nsec (8 bytes) at 200 of a 88-byte structure"},
		{"no address translation", true,
		 [](dump_memory &m) {
			 m.src.vmcoreinfo = without_line(without_line(m.src.vmcoreinfo, "NUMBER(kimage_voffset)"),
							 "NUMBER(PHYS_OFFSET)");
		 },
		 "vmcoreinfo lacks NUMBER(kimage_voffset), and NUMBER(VA_BITS) with NUMBER(PHYS_OFFSET)"},
		// head_id of the ring at vars + 64 + 24: far ahead of the tail.
		{"ids that do not add up", true, [&](dump_memory &m) { put_word(m, 0, 64 + 24, 0x1234567); },
		 "the printk ring's ids do not add up"},
		// The descriptors, at the start of the rings' piece, zeroed.
		{"descriptors that name no record", true,
		 [](dump_memory &m) {
			 std::vector<uint8_t> &rings = m.files.at("piece1");
			 std::fill(rings.begin(), rings.begin() + (24 << 9), 0);
		 },
		 "none of the printk ring's"},
		{"a ring no kernel has", true, [&](dump_memory &m) { put_word(m, 0, 64, 40); },
		 "the printk ring claims 2^40 descriptors"},
		{"log_buf indexes that do not add up", false, [&](dump_memory &m) { put_word(m, 0, 8 + 4, 1u << 20); },
		 "log_buf's indexes do not add up"},
		{"a log_buf record longer than the buffer", false,
		 [&](dump_memory &m) {
			 // log_first_idx's record: its len field.
			 uint32_t first = le32_get(m.files.at("piece0").data() + 12);
			 le16_put(m.files.at("piece1").data() + first + 8, 0xfff0);
		 },
		 "log_buf's record at"},
	};
	for (const failure_case &c : cases) {
		SCOPED_TRACE(c.name);
		klog_built b;
		if (c.prb) {
			klog_prb_params p;
			p.vars = arm64_vars;
			p.rings = arm64_rings;
			b = klog_build_prb(p);
		} else {
			klog_logbuf_params p;
			p.word = 8;
			p.vars = arm64_old_vars;
			p.rings = arm64_old_rings;
			b = klog_build_logbuf(p);
		}
		dump_memory mem(b, c.prb ? arm64_lines : arm64_old_lines, 8);
		c.spoil(mem);
		kmsg_log log;
		std::string why;
		ASSERT_EQ(kmsg_read(mem.src, log, why), -1);
		EXPECT_NE(why.find(c.reason), std::string::npos) << why;
		EXPECT_EQ(why.find('\n'), std::string::npos) << why;
		EXPECT_TRUE(log.records.empty());
	}
}

TEST(kmsg, dmesg_lines)
{
	kmsg_log log;
	log.records = {{0, "Booting Linux"},
		       {1500000999, "two\nlines"},
		       {123456789012345, "bell\x07 and escape\x1b[0m"},
		       {99999999999, "newline at the end\n"}};
	EXPECT_EQ(kmsg_dmesg_text(log), "[    0.000000] Booting Linux\n"
					"[    1.500000] two\n"
					"[    1.500000] lines\n"
					"[123456.789012] bell\\x07 and escape\\x1b[0m\n"
					"[   99.999999] newline at the end\n");
	EXPECT_EQ(kmsg_last_line(log), "[   99.999999] newline at the end");
	EXPECT_EQ(kmsg_last_line(kmsg_log()), "");
}

TEST(kmsg, vmcoreinfo_text_from_a_note_or_plain)
{
	const std::string text = "OSRELEASE=5.15.104\nPAGESIZE=4096\n";
	std::vector<uint8_t> notes;
	auto note = [&](const char *name, const std::string &desc) {
		size_t at = notes.size(), nsz = strlen(name) + 1;
		notes.resize(at + 12 + ((nsz + 3) & ~3u) + ((desc.size() + 3) & ~3u), 0);
		le32_put(&notes[at], static_cast<uint32_t>(nsz));
		le32_put(&notes[at + 4], static_cast<uint32_t>(desc.size()));
		memcpy(&notes[at + 12], name, nsz);
		memcpy(&notes[at + 12 + ((nsz + 3) & ~3u)], desc.data(), desc.size());
	};
	note("CORE", std::string(148, '\x01'));
	note("VMCOREINFO", text);
	EXPECT_EQ(kmsg_vmcoreinfo_text(notes.data(), notes.size()), text);

	std::vector<uint8_t> page(4096, 0);
	memcpy(page.data(), text.data(), text.size());
	EXPECT_EQ(kmsg_vmcoreinfo_text(page.data(), page.size()), text);

	std::vector<uint8_t> junk(64, 0xff);
	EXPECT_EQ(kmsg_vmcoreinfo_text(junk.data(), junk.size()), "");
}

} // namespace
