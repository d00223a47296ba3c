// The cores the built program writes, opened with analysis tools nobody on
// this project wrote: drgn takes them for Linux kernel cores and reads every
// segment by virtual and by physical address, gdb-multiarch reads every
// segment, readelf and eu-elflint find nothing wrong with notes or segments.
// Each device is dumped through a pseudo-terminal, as a user would.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "edl_model.h"
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
	return scenario == "crash32" ? emu_kernel_arm() : emu_kernel_arm64();
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
