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
void expect_complete_dump(const fs::path &dir, const emu_model &model)
{
	std::set<std::string> want = {"minidump.elf", "SHA256SUMS", "load.cmm", "dump_info.txt"};
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

TEST(e2e_pty, crash_dump_is_byte_identical)
{
	temp_dir tmp;
	program_result r = dump("crash", tmp.path);
	ASSERT_FALSE(r.timed_out) << r.out << r.err;
	ASSERT_EQ(r.exit_code, 0) << r.out << r.err;

	expect_complete_dump(tmp.path, model_of("crash"));
	EXPECT_NE(r.out.find("minidump: ELF written to"), std::string::npos) << r.out;
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
	want.insert({"minidump.elf", "SHA256SUMS", "load.cmm", "dump_info.txt"});
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
		// The regions, and the three files that describe them.
		EXPECT_EQ(files_in(tmp.path).size(), std::stoul(std::string(scenario).substr(5)) + 3);
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
	EXPECT_NE(r.err.find("device is still sending after the data of \"OCIMEM.BIN\""), std::string::npos) << r.err;
	EXPECT_NE(r.err.find(", 0 reset(s),"), std::string::npos) << r.err;
	EXPECT_FALSE(fs::exists(tmp2.path / "DDR_EDGE.BIN"));
}

// A kernel header in registration order: the vmcoreinfo note sits between
// two segments, and the core puts every piece at its p_offset.
TEST(e2e_pty, header_in_registration_order)
{
	temp_dir tmp;
	program_result r = dump_counted("registered", tmp.path, {});
	ASSERT_FALSE(r.timed_out) << r.out << r.err;
	ASSERT_EQ(r.exit_code, 0) << r.out << r.err;
	EXPECT_NE(r.err.find(", 1 reset(s),"), std::string::npos) << r.err;
	emu_model model = model_of("registered");
	expect_region_files(tmp.path, model);

	std::vector<uint8_t> elf = read_file(tmp.path / "minidump.elf");
	EXPECT_TRUE(elf == emu_expected_minidump(model)) << "minidump.elf differs";
	// Independently of the expectation: each program header's bytes are
	// its region's, at its p_offset.
	ASSERT_GE(elf.size(), 64u);
	auto le = [&](size_t off, int n) {
		uint64_t v = 0;
		for (int i = n - 1; i >= 0; i--)
			v = (v << 8) | elf[off + static_cast<size_t>(i)];
		return v;
	};
	uint64_t phnum = le(56, 2);
	ASSERT_EQ(phnum, 4u);
	ASSERT_EQ(le(64 + 56, 4), 4u) << "the second header is the note";
	for (uint64_t i = 0; i < phnum; i++) {
		size_t ph = 64 + 56 * static_cast<size_t>(i);
		uint64_t off = le(ph + 8, 8), paddr = le(ph + 24, 8), filesz = le(ph + 32, 8);
		SCOPED_TRACE(i);
		ASSERT_LE(off + filesz, elf.size());
		std::vector<uint8_t> mem(filesz);
		ASSERT_TRUE(model.memory(paddr, mem.data(), mem.size()));
		EXPECT_TRUE(std::equal(mem.begin(), mem.end(), elf.begin() + static_cast<long>(off)));
	}
	std::string note(elf.begin() + static_cast<long>(le(64 + 56 + 8, 8)), elf.begin() + static_cast<long>(le(64 + 56 + 8, 8)) + 10);
	EXPECT_EQ(note, "OSRELEASE=");
}

// A 32-bit device (MEMORY_DEBUG, 52-byte entries) with a 32-bit ARM kernel:
// every region byte-identical, an ELF32 core of the header, the vmcoreinfo
// note and the three segments, and exactly one RESET. The emulator's summary
// (not silenced here) counts the resets and names any request of the wrong
// width as a host error.
TEST(e2e_pty, crash32_device_is_dumped_whole)
{
	temp_dir tmp;
	program_result r = run_program({DURUVEV_EMU_BIN, "--scenario", "crash32", "--time-limit", "100", "--",
					DURUVEV_BIN, "-S", "{pty}", "-o", tmp.path.string()},
				       120);
	ASSERT_FALSE(r.timed_out) << r.out << r.err;
	ASSERT_EQ(r.exit_code, 0) << r.out << r.err;
	EXPECT_NE(r.err.find(" 1 reset(s),"), std::string::npos) << r.err;
	EXPECT_EQ(r.err.find("host error"), std::string::npos) << r.err;

	expect_complete_dump(tmp.path, model_of("crash32"));

	program_result elf = run_program({"/usr/bin/readelf", "-h", (tmp.path / "minidump.elf").string()});
	const std::string &header = elf.out;
	EXPECT_EQ(elf.exit_code, 0) << elf.out << elf.err;
	EXPECT_NE(header.find("Class:                             ELF32\n"), std::string::npos) << header;
	EXPECT_NE(header.find("Machine:                           ARM\n"), std::string::npos) << header;
	EXPECT_NE(header.find("Type:                              CORE (Core file)\n"), std::string::npos) << header;
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
		std::set<std::string> admitted = {"DDRCS0.BIN",	   "md_KELF32.BIN", "md_KVMCOREINFO.BIN",
						  "md_KTEXT.BIN", "md_KDATA.BIN",  "md_KLOGBUF.BIN"};
		std::set<std::string> want = admitted;
		want.insert({"minidump.elf", "SHA256SUMS", "load.cmm", "dump_info.txt"});
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
