// The built program dumps the emulated device through a pseudo-terminal,
// opened the way a USB serial port is (-S names the port), as a user would
// run it: duruvev-emu starts duruvev with the port's path.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <vector>
#include <sys/wait.h>

#include "edl_model.h"
#include "run_program.h"
#include "test_support.h"
#include "scenarios.h"

namespace fs = std::filesystem;

namespace {

// Runs the emulator with the tool behind it; generous limits, so a hang
// fails the test instead of blocking the suite.
program_result dump(const std::string &scenario, const fs::path &out, const std::vector<std::string> &emu_opts = {},
		    const std::vector<std::string> &tool_args = {})
{
	std::vector<std::string> argv = {DURUVEV_EMU_BIN, "-q", "--scenario", scenario, "--time-limit", "100"};
	argv.insert(argv.end(), emu_opts.begin(), emu_opts.end());
	argv.insert(argv.end(), {"--", DURUVEV_BIN, "-S", "{pty}", "-o", out.string()});
	argv.insert(argv.end(), tool_args.begin(), tool_args.end());
	return run_program(argv, 120);
}

emu_model model_of(const std::string &scenario)
{
	emu_config cfg;
	EXPECT_TRUE(emu_scenario(scenario, cfg)) << scenario;
	return emu_model(cfg);
}

void expect_region_files(const fs::path &dir, const emu_model &model, const std::set<std::string> &only = {})
{
	for (const emu_expected_file &f : emu_expected_regions(model)) {
		if (!only.empty() && !only.count(f.name))
			continue;
		SCOPED_TRACE(f.name);
		std::vector<uint8_t> got = read_file(dir / f.name);
		ASSERT_EQ(got.size(), f.bytes.size());
		EXPECT_TRUE(got == f.bytes) << "content differs";
	}
}

// Every file of a complete dump: the regions byte-identical, the core equal
// to the one the device's headers describe, and the files that describe it.
void expect_complete_dump(const fs::path &dir, const emu_model &model, const std::string &scenario)
{
	std::set<std::string> want = {"minidump.elf", "SHA256SUMS", "load.cmm", "dump_info.txt", "dump.json"};
	size_t messages = 0, kept = 0;
	if (emu_scenario_kernel_log(scenario, messages, kept))
		want.insert("dmesg.txt");
	for (const emu_expected_file &f : emu_expected_regions(model))
		want.insert(f.name);
	EXPECT_EQ(files_in(dir), want);
	expect_region_files(dir, model);

	std::vector<uint8_t> elf = read_file(dir / "minidump.elf");
	std::vector<uint8_t> expected = emu_expected_minidump(model);
	ASSERT_FALSE(expected.empty());
	EXPECT_EQ(elf.size(), expected.size());
	EXPECT_TRUE(elf == expected) << "minidump.elf differs";
}

TEST(e2e_pty, filter_admits_some_regions)
{
	temp_dir tmp;
	program_result r = dump("crash", tmp.path, {}, {"DDRCS0_*,md_K*"});
	ASSERT_FALSE(r.timed_out) << r.out << r.err;
	ASSERT_EQ(r.exit_code, 0) << r.out << r.err;

	std::set<std::string> admitted = {"DDRCS0_0.BIN",	"DDRCS0_1.BIN", "md_KELF_HEADER.BIN", "md_KVMCOREINFO.BIN",
					  "md_KTEXT.BIN",	"md_KDATA.BIN", "md_KLOGBUF.BIN"};
	std::set<std::string> want = admitted;
	// The kernel regions hold the log: dmesg.txt is written too.
	want.insert({"minidump.elf", "SHA256SUMS", "load.cmm", "dump_info.txt", "dmesg.txt", "dump.json"});
	EXPECT_EQ(files_in(tmp.path), want);
	emu_model model = model_of("crash");
	expect_region_files(tmp.path, model, admitted);
	EXPECT_TRUE(read_file(tmp.path / "minidump.elf") == emu_expected_minidump(model));
	EXPECT_NE(r.out.find("CODERAM.BIN skipped per filter"), std::string::npos) << r.out;

	// A filter that admits nothing writes nothing, not even an empty file,
	// and is taken for a mistake rather than a finished dump.
	temp_dir tmp2;
	r = dump("small", tmp2.path, {}, {"NOTHING*"});
	ASSERT_EQ(r.exit_code, 1) << r.out << r.err;
	EXPECT_NE(r.err.find("the filter \"NOTHING*\" admits none of the device's 3 regions"), std::string::npos)
		<< r.err;
	EXPECT_TRUE(files_in(tmp2.path).empty());
}

TEST(e2e_pty, unplug_in_the_middle_of_a_region)
{
	// small: OCIMEM.BIN (40 KiB), then DDR_EDGE.BIN (512 KiB + 1),
	// CODERAM.BIN. The device vanishes 100000 bytes into DDR_EDGE.BIN.
	const uint64_t cut = 40 * 1024 + 100000;
	temp_dir tmp;
	program_result r = dump("small", tmp.path, {"--unplug-after", std::to_string(cut)});
	ASSERT_FALSE(r.timed_out) << "no hang after the device vanished\n" << r.out << r.err;
	EXPECT_EQ(r.exit_code, 1) << r.out << r.err;
	EXPECT_NE(r.err.find("failed to read duruvev chunk"), std::string::npos) << r.err;

	emu_model model = model_of("small");
	std::vector<emu_expected_file> want = emu_expected_regions(model);
	// The region before is complete and kept.
	expect_region_files(tmp.path, model, {"OCIMEM.BIN"});
	// The interrupted one holds only true bytes, never more than were sent.
	std::vector<uint8_t> partial = read_file(tmp.path / "DDR_EDGE.BIN");
	EXPECT_LE(partial.size(), 100000u);
	EXPECT_TRUE(std::equal(partial.begin(), partial.end(), want[1].bytes.begin()));
	EXPECT_FALSE(fs::exists(tmp.path / "CODERAM.BIN"));
}

TEST(e2e_pty, silent_device_fails_without_hanging)
{
	temp_dir tmp;
	program_result r = dump("small", tmp.path, {"--silent"});
	ASSERT_FALSE(r.timed_out) << r.out << r.err;
	EXPECT_EQ(r.exit_code, 1) << r.out << r.err;
	EXPECT_TRUE(files_in(tmp.path).empty());
}

// A tty hands out at most 4095 bytes per read: 63 entries (4032 bytes) fit in
// one read; a table of 64 or more arrives in pieces and must still be read
// whole, or the rest of it would be taken for the first region's data.
TEST(e2e_pty, tables_within_and_beyond_one_tty_read)
{
	for (const char *scenario : {"many:63", "many:100"}) {
		SCOPED_TRACE(scenario);
		temp_dir tmp;
		program_result r = dump(scenario, tmp.path);
		ASSERT_EQ(r.exit_code, 0) << r.out << r.err;
		// The regions, and the four files that describe them.
		EXPECT_EQ(files_in(tmp.path).size(), std::stoul(std::string(scenario).substr(5)) + 4);
		expect_region_files(tmp.path, model_of(scenario));
	}
}

} // namespace

namespace {

// A device that sends a packet in two pieces (here forced: the emulator
// splits one packet into two transfers with a pause between them). A serial
// port does not keep the boundary, so the host sees the first piece alone and
// must complete it by its length field.
TEST(e2e_pty, packet_arriving_in_pieces)
{
	struct row {
		const char *what;
		std::vector<std::string> opts;
	};
	const std::vector<row> rows = {
		{"HELLO, pause after 20 bytes", {"--split-packet", "1:20", "--transfer-gap", "50"}},
		{"MEM_DEBUG64, pause after 10 bytes", {"--split-packet", "16:10", "--transfer-gap", "5"}},
		{"RESET_RESP, pause after 4 bytes", {"--split-packet", "8:4", "--transfer-gap", "50"}},
	};
	for (const row &r : rows) {
		SCOPED_TRACE(r.what);
		temp_dir tmp;
		program_result res = dump("small", tmp.path, r.opts);
		ASSERT_FALSE(res.timed_out);
		EXPECT_EQ(res.exit_code, 0) << res.out << res.err;
		expect_region_files(tmp.path, model_of("small"));
	}
}

} // namespace

namespace {

// As dump(), with the emulator's closing line kept: it counts the resets.
program_result dump_counted(const std::string &scenario, const fs::path &out, const std::vector<std::string> &emu_opts)
{
	std::vector<std::string> argv = {DURUVEV_EMU_BIN, "--scenario", scenario, "--time-limit", "100"};
	argv.insert(argv.end(), emu_opts.begin(), emu_opts.end());
	argv.insert(argv.end(), {"--", DURUVEV_BIN, "-S", "{pty}", "-o", out.string()});
	return run_program(argv, 120);
}

// small: the table is read 0, OCIMEM.BIN 1, DDR_EDGE.BIN 2 (a whole block)
// and 3 (its last byte), CODERAM.BIN 4. The surplus streams into the same
// serial line as the block before it.
TEST(e2e_pty, surplus_transfers_after_a_block)
{
	temp_dir tmp;
	program_result r = dump_counted("small", tmp.path, {"--surplus", "2:3:5000"});
	ASSERT_FALSE(r.timed_out) << r.out << r.err;
	EXPECT_EQ(r.exit_code, 0) << r.out << r.err;
	expect_region_files(tmp.path, model_of("small"));
	EXPECT_NE(r.err.find("device sent 15000 bytes more than requested for \"DDR_EDGE.BIN\"; extra bytes dropped\n"),
		  std::string::npos)
		<< r.err;
	EXPECT_NE(r.err.find(", 1 reset(s),"), std::string::npos) << r.err;

	// One that never stops: the dump fails and the device keeps its crash.
	temp_dir tmp2;
	r = dump_counted("small", tmp2.path, {"--surplus", "1:forever:4096"});
	ASSERT_FALSE(r.timed_out) << r.out << r.err;
	EXPECT_EQ(r.exit_code, 1) << r.out << r.err;
	// Which region it is caught after depends on how fast its bytes come
	// (a loaded machine may see a pause in them); wherever that is, no file
	// holds a byte of the surplus: every region file there is holds exactly
	// its region.
	EXPECT_NE(r.err.find("device is still sending after the data of \""), std::string::npos) << r.err;
	EXPECT_NE(r.err.find(", 0 reset(s),"), std::string::npos) << r.err;
	std::set<std::string> present;
	for (const emu_expected_file &f : emu_expected_regions(model_of("small")))
		if (fs::exists(tmp2.path / f.name))
			present.insert(f.name);
	EXPECT_FALSE(present.empty());
	expect_region_files(tmp2.path, model_of("small"), present);
}

// Each layout of kernel header a device may hold: the dump succeeds, resets
// the device once, and its core is the one that layout's headers describe.
// Independently of that expectation, each segment's bytes at its p_offset
// are its region's, or the header's own for a segment the header carries.
TEST(e2e_pty, kernel_header_layouts)
{
	struct row {
		const char *scenario;
		const char *layout;
		uint32_t first_phdr; // PT_NOTE for a vmcoreinfo note, else PT_LOAD
		const char *elf_class, *machine; // as readelf -h names them
	};
	const row rows[] = {
		{"crash", "vmcoreinfo note first, bytes in header order", 4, "ELF64", "AArch64"},
		{"kdriver", "kernel driver: banner inside the header, no note", 1, "ELF64", "AArch64"},
		{"registered", "note's bytes between two segments'", 4, "ELF64", "AArch64"},
		{"crash32", "32-bit device, ELF32 ARM header", 4, "ELF32", "ARM"},
	};
	for (const row &c : rows) {
		SCOPED_TRACE(c.layout);
		temp_dir tmp;
		program_result r = dump_counted(c.scenario, tmp.path, {});
		ASSERT_FALSE(r.timed_out) << r.out << r.err;
		ASSERT_EQ(r.exit_code, 0) << r.out << r.err;
		EXPECT_NE(r.err.find(" 1 reset(s),"), std::string::npos) << r.err;
		EXPECT_EQ(r.err.find("host error"), std::string::npos) << r.err;
		EXPECT_NE(r.out.find("minidump: ELF written to"), std::string::npos) << r.out;
		emu_model model = model_of(c.scenario);
		expect_complete_dump(tmp.path, model, c.scenario);

		std::vector<uint8_t> elf = read_file(tmp.path / "minidump.elf");
		std::vector<uint8_t> header = read_file(tmp.path / "md_KELF_HEADER.BIN");
		std::vector<core_phdr> phdrs = phdrs_of(elf);
		ASSERT_GE(phdrs.size(), 4u);
		EXPECT_EQ(phdrs[0].type, c.first_phdr);
		for (const core_phdr &ph : phdrs) {
			SCOPED_TRACE(ph.paddr);
			ASSERT_LE(ph.offset + ph.filesz, elf.size());
			std::vector<uint8_t> want(ph.filesz);
			if (ph.offset + ph.filesz <= header.size())
				want.assign(header.begin() + static_cast<long>(ph.offset),
					    header.begin() + static_cast<long>(ph.offset + ph.filesz));
			else
				ASSERT_TRUE(model.memory(ph.paddr, want.data(), want.size()));
			EXPECT_TRUE(std::equal(want.begin(), want.end(), elf.begin() + static_cast<long>(ph.offset)));
		}

		program_result h = run_program({"/usr/bin/readelf", "-h", (tmp.path / "minidump.elf").string()});
		EXPECT_EQ(h.exit_code, 0) << h.out << h.err;
		EXPECT_NE(h.out.find(std::string("Class:                             ") + c.elf_class + "\n"), std::string::npos)
			<< h.out;
		EXPECT_NE(h.out.find(std::string("Machine:                           ") + c.machine + "\n"), std::string::npos)
			<< h.out;
		EXPECT_NE(h.out.find("Type:                              CORE (Core file)\n"), std::string::npos) << h.out;
	}
}

// The filter and the fault flags work with a 32-bit device as with a 64-bit
// one.
TEST(e2e_pty, crash32_with_a_filter_and_an_unplug)
{
	emu_model model = model_of("crash32");
	{
		temp_dir tmp;
		program_result r = dump("crash32", tmp.path, {}, {"DDR*,md_K*"});
		ASSERT_FALSE(r.timed_out) << r.out << r.err;
		ASSERT_EQ(r.exit_code, 0) << r.out << r.err;
		std::set<std::string> admitted = {"DDRCS0.BIN",	   "md_KELF_HEADER.BIN", "md_KVMCOREINFO.BIN",
						  "md_KTEXT.BIN", "md_KDATA.BIN",  "md_KLOGBUF.BIN"};
		std::set<std::string> want = admitted;
		want.insert({"minidump.elf", "SHA256SUMS", "load.cmm", "dump_info.txt", "dmesg.txt", "dump.json"});
		EXPECT_EQ(files_in(tmp.path), want);
		expect_region_files(tmp.path, model, admitted);
		EXPECT_TRUE(read_file(tmp.path / "minidump.elf") == emu_expected_minidump(model));
		for (const char *skipped : {"IMEM.BIN", "RST_STAT.BIN", "HIVECS.BIN"})
			EXPECT_NE(r.out.find(std::string(skipped) + " skipped per filter\n"), std::string::npos) << r.out;
	}
	{
		// The device vanishes 300000 bytes into DDRCS0.BIN, the eighth
		// region: what came before stays, nothing is made up.
		uint64_t before = 0;
		const auto &regions = model.config().regions;
		for (size_t i = 0; i < 7; i++)
			before += regions[i].length;
		ASSERT_EQ(regions[7].filename, "DDRCS0.BIN");
		temp_dir tmp;
		program_result r = dump("crash32", tmp.path, {"--unplug-after", std::to_string(before + 300000)});
		ASSERT_FALSE(r.timed_out) << r.out << r.err;
		EXPECT_EQ(r.exit_code, 1) << r.out << r.err;
		EXPECT_NE(r.out.find("device not reset"), std::string::npos) << r.out;
		std::set<std::string> earlier;
		for (size_t i = 0; i < 7; i++)
			earlier.insert(regions[i].filename);
		expect_region_files(tmp.path, model, earlier);
		std::vector<uint8_t> partial = read_file(tmp.path / "DDRCS0.BIN");
		std::vector<uint8_t> full = emu_expected_regions(model)[7].bytes;
		EXPECT_LE(partial.size(), 300000u);
		EXPECT_TRUE(std::equal(partial.begin(), partial.end(), full.begin()));
		EXPECT_FALSE(fs::exists(tmp.path / "HIVECS.BIN"));
	}
}

} // namespace
