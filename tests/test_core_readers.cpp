// The cores the built program writes, opened with analysis tools nobody on
// this project wrote: drgn takes them for Linux kernel cores and reads every
// segment by virtual and by physical address, and its printk helper reads
// the kernel log as dmesg.txt has it; gdb-multiarch reads every segment,
// readelf and eu-elflint find nothing wrong with notes or segments.
// Each device is dumped through a pseudo-terminal, as a user would.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <unistd.h>
#include <vector>

#include "edl_model.h"
#include "le.h"
#include "run_program.h"
#include "scenarios.h"
#include "test_support.h"

namespace fs = std::filesystem;

namespace {

// One dump per scenario, shared by the tests of this file.
struct dumped {
	std::unique_ptr<temp_dir> dir;
	emu_config cfg;
	std::vector<uint8_t> core, header;
};

const dumped &dump_of(const std::string &scenario)
{
	static std::map<std::string, dumped> dumps;
	auto it = dumps.find(scenario);
	if (it != dumps.end())
		return it->second;
	dumped &d = dumps[scenario];
	d.dir = std::make_unique<temp_dir>();
	EXPECT_TRUE(emu_scenario(scenario, d.cfg)) << scenario;
	program_result r = run_program({DURUVEV_EMU_BIN, "-q", "--scenario", scenario, "--time-limit", "100", "--",
					DURUVEV_BIN, "-S", "{pty}", "-o", d.dir->str()},
				       120);
	EXPECT_EQ(r.exit_code, 0) << r.out << r.err;
	d.core = read_file(d.dir->file("minidump.elf"));
	d.header = read_file(d.dir->file("md_KELF_HEADER.BIN"));
	return d;
}

// What a reader must find at a PT_LOAD: its region file's first p_filesz
// bytes, or the header's own bytes for a segment the header carries.
std::vector<uint8_t> segment_bytes(const dumped &d, const core_phdr &ph)
{
	if (ph.offset + ph.filesz <= d.header.size())
		return std::vector<uint8_t>(d.header.begin() + static_cast<long>(ph.offset),
					    d.header.begin() + static_cast<long>(ph.offset + ph.filesz));
	for (const emu_region &r : d.cfg.regions)
		if (r.addr == ph.paddr) {
			std::vector<uint8_t> b = read_file(d.dir->file(r.filename));
			b.resize(ph.filesz, 0);
			return b;
		}
	ADD_FAILURE() << "no region at paddr " << std::hex << ph.paddr;
	return {};
}

std::vector<core_phdr> loads_of(const dumped &d)
{
	std::vector<core_phdr> loads;
	for (const core_phdr &ph : phdrs_of(d.core))
		if (ph.type == 1)
			loads.push_back(ph);
	return loads;
}

std::string hex(uint64_t v)
{
	std::ostringstream s;
	s << "0x" << std::hex << v;
	return s.str();
}

// The vmcoreinfo text's value for key ("NUMBER(VA_BITS)"), or "".
std::string vmcoreinfo_value(const std::string &text, const std::string &key)
{
	size_t at = text.find(key + "=");
	if (at == std::string::npos || (at > 0 && text[at - 1] != '\n'))
		return "";
	at += key.size() + 1;
	return text.substr(at, text.find('\n', at) - at);
}

const char *const kernel_scenarios[] = {"crash", "registered", "crash32"};

const emu_kernel_info &kernel_of(const std::string &scenario)
{
	return *emu_scenario_kernel(scenario);
}

// The first program header is the kernel's VMCOREINFO note, exactly: name
// VMCOREINFO, type 0, the kernel's text, and p_filesz the note's size, no
// padding (a reader takes padding for a further, broken note). The segments'
// virtual addresses are where the note's numbers map their physical ones.
TEST(core_readers, vmcoreinfo_note_is_exact_and_agrees_with_the_segments)
{
	for (const char *scenario : kernel_scenarios) {
		SCOPED_TRACE(scenario);
		const dumped &d = dump_of(scenario);
		std::vector<core_phdr> phdrs = phdrs_of(d.core);
		ASSERT_FALSE(phdrs.empty());
		const core_phdr &note = phdrs[0];
		ASSERT_EQ(note.type, 4u) << "PT_NOTE first";
		ASSERT_GE(note.filesz, 24u);
		ASSERT_LE(note.offset + note.filesz, d.core.size());
		const uint8_t *n = d.core.data() + note.offset;
		const uint32_t namesz = le32_get(n), descsz = le32_get(n + 4);
		EXPECT_EQ(namesz, 11u);
		EXPECT_EQ(le32_get(n + 8), 0u);
		EXPECT_EQ(std::string(reinterpret_cast<const char *>(n + 12), 11), std::string("VMCOREINFO", 11));
		EXPECT_EQ(note.filesz, 12 + 12 + ((uint64_t{descsz} + 3) & ~uint64_t{3}));
		ASSERT_LE(24 + uint64_t{descsz}, note.filesz);
		const std::string text(reinterpret_cast<const char *>(n + 24), descsz);
		EXPECT_EQ(text, emu_vmcoreinfo_text(kernel_of(scenario)));

		const std::string release = vmcoreinfo_value(text, "OSRELEASE");
		EXPECT_FALSE(release.empty());
		EXPECT_EQ(vmcoreinfo_value(text, "PAGESIZE"), "4096");
		EXPECT_FALSE(vmcoreinfo_value(text, "SYMBOL(swapper_pg_dir)").empty());
		EXPECT_EQ(vmcoreinfo_value(text, "KERNELOFFSET"), "0");
		if (std::string(scenario) == "crash32")
			continue;
		// arm64: the image at paddr + kimage_voffset, the linear map at
		// paddr - PHYS_OFFSET from the start of the upper VA_BITS range.
		const uint64_t voff = std::stoull(vmcoreinfo_value(text, "NUMBER(kimage_voffset)"), nullptr, 16);
		const uint64_t phys = std::stoull(vmcoreinfo_value(text, "NUMBER(PHYS_OFFSET)"), nullptr, 16);
		const unsigned va_bits = std::stoul(vmcoreinfo_value(text, "NUMBER(VA_BITS)"));
		const uint64_t page_offset = ~uint64_t{0} << va_bits;
		for (const core_phdr &ph : phdrs) {
			SCOPED_TRACE(hex(ph.paddr));
			if (ph.type == 1)
				EXPECT_EQ(hex(ph.vaddr), hex(ph.paddr + voff));
			else
				EXPECT_EQ(hex(ph.vaddr), hex(ph.paddr - phys + page_offset));
		}
		EXPECT_EQ(vmcoreinfo_value(text, "SYMBOL(_stext)"), hex(phdrs[1].vaddr).substr(2));
	}
}

// drgn: a Linux kernel core of the release the kernel wrote, and every
// PT_LOAD read by virtual and by physical address equals its region.
TEST(core_readers, drgn_opens_a_linux_kernel_core)
{
	static const char script[] = "import sys, drgn\n"
				     "p = drgn.Program()\n"
				     "p.set_core_dump(sys.argv[1])\n"
				     "print('kernel', bool(p.flags & drgn.ProgramFlags.IS_LINUX_KERNEL))\n"
				     "print('release', p['UTS_RELEASE'].string_().decode())\n"
				     "for i, a in enumerate(sys.argv[3:]):\n"
				     "    kind, addr, n = a.split(':')\n"
				     "    data = p.read(int(addr, 0), int(n, 0), kind == 'p')\n"
				     "    open('%s/%d.bin' % (sys.argv[2], i), 'wb').write(data)\n";
	program_result have = run_program({"/usr/bin/python3", "-c", "import drgn"});
	ASSERT_EQ(have.exit_code, 0) << "drgn is missing (package python3-drgn): " << have.err;

	for (const char *scenario : kernel_scenarios) {
		SCOPED_TRACE(scenario);
		const dumped &d = dump_of(scenario);
		std::vector<core_phdr> loads = loads_of(d);
		ASSERT_GE(loads.size(), 3u);
		temp_dir reads;
		std::vector<std::string> argv = {"/usr/bin/python3", "-c", script, d.dir->file("minidump.elf"), reads.str()};
		for (const core_phdr &ph : loads) {
			argv.push_back("v:" + hex(ph.vaddr) + ":" + hex(ph.filesz));
			argv.push_back("p:" + hex(ph.paddr) + ":" + hex(ph.filesz));
		}
		program_result r = run_program(argv, 60);
		ASSERT_EQ(r.exit_code, 0) << r.out << r.err;
		EXPECT_EQ(r.out.substr(0, r.out.find('\n', r.out.find("release"))),
			  std::string("kernel True\nrelease ") + kernel_of(scenario).osrelease);
		for (size_t i = 0; i < loads.size(); i++) {
			SCOPED_TRACE(hex(loads[i].vaddr));
			std::vector<uint8_t> want = segment_bytes(d, loads[i]);
			EXPECT_TRUE(read_file(reads.file(std::to_string(2 * i) + ".bin")) == want) << "by virtual address";
			EXPECT_TRUE(read_file(reads.file(std::to_string(2 * i + 1) + ".bin")) == want) << "by physical address";
		}
	}
}

// The text of the core's VMCOREINFO note (its first program header).
std::string vmcoreinfo_of(const dumped &d)
{
	std::vector<core_phdr> phdrs = phdrs_of(d.core);
	if (phdrs.empty() || phdrs[0].type != 4 || phdrs[0].filesz < 24 || phdrs[0].offset + phdrs[0].filesz > d.core.size())
		return "";
	const uint8_t *n = d.core.data() + phdrs[0].offset;
	const uint32_t descsz = le32_get(n + 4);
	if (24 + uint64_t{descsz} > phdrs[0].filesz)
		return "";
	return std::string(reinterpret_cast<const char *>(n + 24), descsz);
}

// The kernel's printk structures, whose SIZE() and OFFSET() lines the debug
// file's types must agree with.
bool printk_key(const std::string &key)
{
	static const char *const types[] = {"printk_ringbuffer", "prb_desc_ring", "prb_desc",	     "prb_data_blk_lpos",
					    "printk_info",	 "dev_printk_info", "prb_data_ring", "atomic_long_t",
					    "printk_log"};
	for (const char *t : types)
		if (key == std::string("SIZE(") + t + ")" || key.rfind(std::string("OFFSET(") + t + ".", 0) == 0)
			return true;
	return false;
}

// drgn, given the core and the debug file, prints what the debug file's
// types say for each SIZE()/OFFSET() key, then every record its own printk
// helper reads: "record <ts_nsec> <text in hex>". An arm64 kernel's ring
// lies in the linear map, which drgn would translate through the kernel's
// page tables, and a minidump holds none: the script maps that range onto
// physical memory the way the linear map does (start:size:physical).
const char drgn_printk_script[] = R"(import sys, drgn
from drgn.helpers.linux.printk import get_printk_records
p = drgn.Program()
p.set_core_dump(sys.argv[1])
p.load_debug_info([sys.argv[2]])
if sys.argv[3] != '-':
    start, size, phys = (int(x, 0) for x in sys.argv[3].split(':'))
    p.add_memory_segment(start, size, lambda address, count, offset, physical: p.read(phys + address - start, count, True))
def kernel_type(name):
    return p.type(name if name == 'atomic_long_t' else 'struct ' + name)
for key in sys.argv[4:]:
    kind, name = key[:-1].split('(')
    if kind == 'SIZE':
        v = drgn.sizeof(kernel_type(name))
    else:
        struct, member = name.split('.')
        v = drgn.offsetof(kernel_type(struct), member)
    print('%s=%d' % (key, v))
for r in get_printk_records(p):
    print('record', r.timestamp, r.text.hex())
)";

// The debug file for the scenario's kernel, built from the repository's
// source with its variables where vmcoreinfo (or, for one vmcoreinfo does
// not give, the kernel's symbol table) puts them. Empty after a failure.
std::string build_printk_debug_file(const std::string &scenario, const std::string &vmcoreinfo, const temp_dir &dir)
{
	const bool arm = scenario == "crash32", ring = !vmcoreinfo_value(vmcoreinfo, "SYMBOL(prb)").empty();
	const std::string out = dir.file(scenario + ".debug");
	std::vector<std::string> argv = {arm ? "/usr/bin/arm-linux-gnueabihf-gcc" : "/usr/bin/aarch64-linux-gnu-gcc",
					 "-g", "-O0", "-nostdlib", "-static", "-Wl,--build-id=none", "-o", out,
					 std::string(DURUVEV_SOURCE_DIR) + "/tests/kernel_printk_types.c"};
	if (ring)
		argv.push_back("-DPRINTK_RING");
	for (const char *var : {"prb", "printk_rb_static", "log_buf", "log_buf_len", "log_first_idx", "log_next_idx",
				"log_first_seq"}) {
		std::string at = vmcoreinfo_value(vmcoreinfo, std::string("SYMBOL(") + var + ")");
		if (at.empty() && emu_scenario_kernel_symbol(scenario, var) != 0)
			at = hex(emu_scenario_kernel_symbol(scenario, var)).substr(2);
		if (!at.empty())
			argv.push_back(std::string("-Wl,--section-start=klog_") + var + "=0x" + at);
	}
	program_result r = run_program(argv, 60);
	EXPECT_EQ(r.exit_code, 0) << r.out << r.err;
	EXPECT_EQ(r.err, "");
	return r.exit_code == 0 ? out : "";
}

std::string unhex(const std::string &h)
{
	std::string b;
	for (size_t i = 0; i + 1 < h.size(); i += 2)
		b += static_cast<char>(std::stoi(h.substr(i, 2), nullptr, 16));
	return b;
}

std::string dmesg_prefix(uint64_t ts_nsec)
{
	char p[48];
	snprintf(p, sizeof(p), "[%5llu.%06llu] ", static_cast<unsigned long long>(ts_nsec / 1000000000),
		 static_cast<unsigned long long>(ts_nsec % 1000000000 / 1000));
	return p;
}

// Runs the script on the scenario's dump: its output, or empty after a
// failure.
std::string drgn_printk(const std::string &scenario, const dumped &d, const std::string &vmcoreinfo,
			const std::vector<std::string> &keys)
{
	temp_dir work;
	const std::string debug = build_printk_debug_file(scenario, vmcoreinfo, work);
	if (debug.empty())
		return "";
	std::string linear = "-";
	if (scenario != "crash32") {
		const unsigned va_bits = std::stoul(vmcoreinfo_value(vmcoreinfo, "NUMBER(VA_BITS)"));
		linear = hex(~uint64_t{0} << va_bits) + ":" + hex(uint64_t{1} << (va_bits - 1)) + ":" +
			 vmcoreinfo_value(vmcoreinfo, "NUMBER(PHYS_OFFSET)");
	}
	std::vector<std::string> argv = {"/usr/bin/python3", "-c", drgn_printk_script, d.dir->file("minidump.elf"),
					 debug, linear};
	argv.insert(argv.end(), keys.begin(), keys.end());
	program_result r = run_program(argv, 60);
	EXPECT_EQ(r.exit_code, 0) << r.err;
	return r.exit_code == 0 ? r.out : "";
}

// drgn's "record" lines against dmesg.txt, line by line; word is the
// kernel's, for the ring's block ids.
void expect_same_records(std::istream &records, const std::string &dmesg, bool ring, size_t word)
{
	std::istringstream ours(dmesg);
	std::string want, line;
	bool have = static_cast<bool>(std::getline(ours, want));
	ASSERT_TRUE(have);
	while (std::getline(records, line)) {
		std::istringstream rec(line);
		std::string tag, text_hex;
		uint64_t ts = 0;
		ASSERT_TRUE(static_cast<bool>(rec >> tag >> ts) && tag == "record") << line;
		rec >> text_hex;
		const std::string text = unhex(text_hex), prefix = dmesg_prefix(ts);
		if (have && prefix + text == want) {
			have = static_cast<bool>(std::getline(ours, want));
			continue;
		}
		const bool block_id_first = ring && have && want.rfind(prefix, 0) == 0 && text.size() > word &&
					    want.size() == prefix.size() + text.size() &&
					    want.substr(prefix.size(), text.size() - word) == text.substr(word);
		const bool wrap_record = !ring && ts == 0 && text.empty();
		if (!block_id_first && !wrap_record) {
			ADD_FAILURE() << "drgn's record " << prefix << text << "\nwhere dmesg.txt has "
				      << (have ? want : "no more");
			return;
		}
		if (block_id_first)
			have = static_cast<bool>(std::getline(ours, want));
	}
	EXPECT_FALSE(have) << "dmesg.txt goes on where drgn's records end: " << want;
}

// drgn's printk helper, fed a debug file of the kernel's printk types, reads
// the same records, with the same timestamps and text, as the built program
// wrote to dmesg.txt. Two of the helper's readings (python3-drgn 0.0.22)
// differ from the kernel's own reader, both where a log wraps, and are
// accepted only in their exact shape:
//  - the ring: a data block that crosses the ring's end is read from its
//    first byte, the block's id, where the kernel's get_data() skips the id:
//    the record's text is a word of id and then ours, cut to the same length;
//  - log_buf: the len-0 record that sends the kernel's reader back to the
//    buffer's start is taken for a record of its own, empty and stamped 0.
TEST(core_readers, drgn_reads_the_kernel_log_as_dmesg_txt_has_it)
{
	for (const char *tool : {"/usr/bin/aarch64-linux-gnu-gcc", "/usr/bin/arm-linux-gnueabihf-gcc"})
		if (access(tool, X_OK) != 0)
			GTEST_SKIP() << tool << " is missing (packages gcc-aarch64-linux-gnu, gcc-arm-linux-gnueabihf)";
	if (run_program({"/usr/bin/python3", "-c", "import drgn.helpers.linux.printk"}).exit_code != 0)
		GTEST_SKIP() << "drgn is missing (package python3-drgn)";

	for (const std::string scenario : {"crash", "crash32"}) {
		SCOPED_TRACE(scenario);
		const dumped &d = dump_of(scenario);
		const std::string vmcoreinfo = vmcoreinfo_of(d);
		std::istringstream info(vmcoreinfo);
		std::vector<std::string> keys;
		for (std::string line; std::getline(info, line);)
			if (printk_key(line.substr(0, line.find('='))))
				keys.push_back(line.substr(0, line.find('=')));
		ASSERT_FALSE(keys.empty());
		std::istringstream out(drgn_printk(scenario, d, vmcoreinfo, keys));

		// The types drgn was given are the ones vmcoreinfo describes.
		std::string line;
		for (const std::string &key : keys) {
			ASSERT_TRUE(std::getline(out, line)) << key;
			EXPECT_EQ(line, key + "=" + vmcoreinfo_value(vmcoreinfo, key));
		}
		const bool ring = !vmcoreinfo_value(vmcoreinfo, "SYMBOL(prb)").empty();
		expect_same_records(out, slurp(d.dir->file("dmesg.txt")), ring, scenario == "crash32" ? 4 : 8);
	}
}

// gdb-multiarch loads every kernel layout's core and reads each segment
// equal to its region (the header's own bytes for the banner it carries).
// readelf has no warning; eu-elflint's only finding is the VMCOREINFO note
// itself, whose name it does not know for a core file.
TEST(core_readers, gdb_readelf_and_elflint_read_every_layout)
{
	for (const char *scenario : {"crash", "registered", "crash32", "kdriver"}) {
		SCOPED_TRACE(scenario);
		const dumped &d = dump_of(scenario);
		const std::string core = d.dir->file("minidump.elf");
		std::vector<core_phdr> loads = loads_of(d);
		ASSERT_GE(loads.size(), 3u);
		temp_dir reads;
		std::vector<std::string> argv = {"/usr/bin/gdb-multiarch", "-batch", "-nx", "-ex", "core-file " + core};
		for (size_t i = 0; i < loads.size(); i++)
			argv.insert(argv.end(), {"-ex", "dump binary memory " + reads.file(std::to_string(i) + ".bin") + " " +
							    hex(loads[i].vaddr) + " " + hex(loads[i].vaddr + loads[i].filesz)});
		program_result r = run_program(argv, 60);
		EXPECT_EQ(r.exit_code, 0) << r.out << r.err;
		EXPECT_EQ(r.err.find("not a core dump"), std::string::npos) << r.err;
		for (size_t i = 0; i < loads.size(); i++) {
			SCOPED_TRACE(hex(loads[i].vaddr));
			EXPECT_TRUE(read_file(reads.file(std::to_string(i) + ".bin")) == segment_bytes(d, loads[i]));
		}

		program_result re = run_program({"/usr/bin/readelf", "-a", "-W", core});
		EXPECT_EQ(re.exit_code, 0);
		EXPECT_EQ(re.err, "");
		const bool has_note = std::string(scenario) != "kdriver";
		EXPECT_EQ(re.out.find("  VMCOREINFO           0x") != std::string::npos, has_note) << re.out;

		program_result lint = run_program({"/usr/bin/eu-elflint", core});
		std::istringstream lines(lint.out + lint.err);
		for (std::string line; std::getline(lines, line);)
			if (line != "No errors" && line.find("unknown core file note type 0") == std::string::npos)
				ADD_FAILURE() << "eu-elflint: " << line;
	}
}

} // namespace
