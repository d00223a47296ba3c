// Why did it crash: the built program reads the kernel log out of a complete
// dump of the emulator's crash scenarios into dmesg.txt, ends the summary
// with its last line and the crash's title, records both in dump.json, and
// prints them again with --dmesg and --title; a log that cannot be read
// costs the dump nothing.
#include <gtest/gtest.h>

#include <cinttypes>
#include <filesystem>
#include <fstream>
#include <string>
#include <unistd.h>
#include <vector>

#include <nlohmann/json.hpp>

#include "dmesg.h"
#include "kernel_log.h"
#include "oscompat.h"
#include "run_program.h"
#include "scenarios.h"
#include "test_support.h"

namespace fs = std::filesystem;

namespace {

program_result dump(const std::string &scenario, const fs::path &out, const std::vector<std::string> &tool_args = {})
{
	std::vector<std::string> argv = {DURUVEV_EMU_BIN, "--scenario", scenario, "--time-limit", "100", "--",
					 DURUVEV_BIN,	  "-S",		"{pty}",  "-o",		  out.string()};
	argv.insert(argv.end(), tool_args.begin(), tool_args.end());
	return run_program(argv, 120);
}

std::string text_of(const fs::path &p)
{
	std::vector<uint8_t> b = read_file(p.string());
	return std::string(b.begin(), b.end());
}

// Replaces the file at p (never writing through what is there).
void write_text(const fs::path &p, const std::string &text)
{
	fs::remove(p);
	std::ofstream f(p, std::ios::binary);
	f << text;
}

std::string hex(uint64_t v)
{
	char buf[24];
	snprintf(buf, sizeof(buf), "0x%" PRIx64, v);
	return buf;
}

// The scenario's log as dmesg prints it, from the known message list.
std::string expected_dmesg(const std::string &scenario, std::string &last)
{
	size_t messages = 0, kept = 0;
	EXPECT_TRUE(emu_scenario_kernel_log(scenario, messages, kept));
	std::vector<klog_message> list = emu_scenario_kernel_messages(scenario);
	std::string text;
	for (size_t i = messages - kept; i < messages; i++) {
		char prefix[40];
		snprintf(prefix, sizeof(prefix), "[%5" PRIu64 ".%06" PRIu64 "] ", list[i].ts_nsec / 1000000000,
			 list[i].ts_nsec % 1000000000 / 1000);
		last = prefix + list[i].text;
		text += last + "\n";
	}
	return text;
}

TEST(dmesg, crash_scenarios_carry_their_log)
{
	for (const char *scenario : {"crash", "crash32"}) {
		SCOPED_TRACE(scenario);
		temp_dir tmp;
		program_result r = dump(scenario, tmp.path);
		ASSERT_EQ(r.exit_code, 0) << r.out << r.err;
		std::string last;
		std::string want = expected_dmesg(scenario, last);
		ASSERT_NE(last.find("Kernel panic - not syncing"), std::string::npos);

		EXPECT_EQ(text_of(tmp.path / "dmesg.txt"), want);
		EXPECT_NE(r.out.find("; device reset\nLast kernel line: " + last + "\n"), std::string::npos) << r.out;
		// Listed in the sums, which verify.
		EXPECT_NE(text_of(tmp.path / "SHA256SUMS").find("  dmesg.txt\n"), std::string::npos);
		program_result sums = run_program({"/usr/bin/sha256sum", "--quiet", "-c", "SHA256SUMS"}, 30, {}, {},
						  tmp.str());
		EXPECT_EQ(sums.exit_code, 0) << sums.out << sums.err;

		program_result again = run_program({DURUVEV_BIN, "--dmesg", tmp.str()});
		EXPECT_EQ(again.exit_code, 0) << again.err;
		EXPECT_TRUE(again.out == want) << again.err;
		EXPECT_EQ(again.err, "");

		// Dumps made before: without dmesg.txt and dump_info.txt, the
		// core's segments hold the log; without the core too, load.cmm
		// maps the region files, the kernel header region gives the word
		// and the linear offset, and the vmcoreinfo region is found by its
		// name, or, named otherwise, where the header's note lies, or
		// (arm64, whose vmcoreinfo maps its addresses, without a header)
		// by its bytes; without that region there is nothing to go on.
		fs::remove(tmp.path / "dmesg.txt");
		fs::remove(tmp.path / "dump_info.txt");
		again = run_program({DURUVEV_BIN, "--dmesg", tmp.str()});
		EXPECT_EQ(again.exit_code, 0) << again.err;
		EXPECT_TRUE(again.out == want) << again.err;

		fs::remove(tmp.path / "minidump.elf");
		again = run_program({DURUVEV_BIN, "--dmesg", tmp.str()});
		EXPECT_EQ(again.exit_code, 0) << again.err;
		EXPECT_TRUE(again.out == want) << again.err;

		std::string cmm = text_of(tmp.path / "load.cmm");
		const size_t at = cmm.find("md_KVMCOREINFO.BIN");
		ASSERT_NE(at, std::string::npos) << cmm;
		cmm.replace(at, 18, "REGION5.BIN");
		fs::rename(tmp.path / "md_KVMCOREINFO.BIN", tmp.path / "REGION5.BIN");
		write_text(tmp.path / "load.cmm", cmm);
		again = run_program({DURUVEV_BIN, "--dmesg", tmp.str()});
		EXPECT_EQ(again.exit_code, 0) << again.err;
		EXPECT_TRUE(again.out == want) << again.err;

		if (std::string(scenario) == "crash") {
			fs::rename(tmp.path / "md_KELF_HEADER.BIN", tmp.path / "header");
			again = run_program({DURUVEV_BIN, "--dmesg", tmp.str()});
			EXPECT_EQ(again.exit_code, 0) << again.err;
			EXPECT_TRUE(again.out == want) << again.err;
			fs::rename(tmp.path / "header", tmp.path / "md_KELF_HEADER.BIN");
		}

		// The header region is known by the name the core builder
		// knows it by, whatever follows "md_KELF".
		cmm = text_of(tmp.path / "load.cmm");
		const size_t kelf = cmm.find("md_KELF_HEADER.BIN");
		ASSERT_NE(kelf, std::string::npos) << cmm;
		cmm.replace(kelf, 18, "md_KELF.BIN");
		fs::rename(tmp.path / "md_KELF_HEADER.BIN", tmp.path / "md_KELF.BIN");
		write_text(tmp.path / "load.cmm", cmm);
		again = run_program({DURUVEV_BIN, "--dmesg", tmp.str()});
		EXPECT_EQ(again.exit_code, 0) << again.err;
		EXPECT_TRUE(again.out == want) << again.err;

		fs::remove(tmp.path / "REGION5.BIN");
		again = run_program({DURUVEV_BIN, "--dmesg", tmp.str()});
		EXPECT_EQ(again.exit_code, 1);
		EXPECT_EQ(again.err, "--dmesg: cannot read the kernel log of \"" + tmp.str() +
					     "\": the dump holds no vmcoreinfo (neither a VMCOREINFO note in minidump.elf "
					     "nor a vmcoreinfo region; no page of the saved memory starts with "
					     "vmcoreinfo)\n");
	}
}

// The lines of dump_info.txt and load.cmm read back as they were written,
// fields at their longest too; a device's name is made one field.
TEST(description_lines, read_back_as_written)
{
	const std::string name63(DUMP_LINE_NAME_MAX, 'N'), file299(DUMP_LINE_FILE_MAX, 'F');
	struct info_case {
		dump_info_line in;
		std::string line;
		dump_info_line back;
	};
	const info_case infos[] = {
		{{0, 0x14680000, 4096, "OCIMEM", "OCIMEM.BIN"},
		 "0 0x14680000 4096 OCIMEM OCIMEM.BIN\n",
		 {0, 0x14680000, 4096, "OCIMEM", "OCIMEM.BIN"}},
		{{UINT64_MAX, UINT64_MAX, UINT64_MAX, name63, file299},
		 "18446744073709551615 0xffffffffffffffff 18446744073709551615 " + name63 + " " + file299 + "\n",
		 {UINT64_MAX, UINT64_MAX, UINT64_MAX, name63, file299}},
		{{3, 0, 0, "a b\tc\x7f", "region_3.bin"},
		 "3 0x0 0 a?b?c? region_3.bin\n",
		 {3, 0, 0, "a?b?c?", "region_3.bin"}},
		{{4, 0x1000, 1, "", "region_4.bin"}, "4 0x1000 1 - region_4.bin\n", {4, 0x1000, 1, "-", "region_4.bin"}},
	};
	for (const info_case &c : infos) {
		SCOPED_TRACE(c.in.file.substr(0, 20));
		const std::string line = dump_info_line_text(c.in);
		EXPECT_EQ(line, c.line);
		dump_info_line back;
		ASSERT_TRUE(dump_info_line_parse(line.c_str(), back)) << line;
		EXPECT_EQ(back.index, c.back.index);
		EXPECT_EQ(back.addr, c.back.addr);
		EXPECT_EQ(back.length, c.back.length);
		EXPECT_EQ(back.name, c.back.name);
		EXPECT_EQ(back.file, c.back.file);
	}

	const dump_load_line loads[] = {{"OCIMEM.BIN", 0x14680000}, {"region_0.bin", 0}, {file299, UINT64_MAX}};
	for (const dump_load_line &l : loads) {
		SCOPED_TRACE(l.file.substr(0, 20));
		const std::string line = dump_load_line_text(l);
		EXPECT_EQ(line, "d.load.binary " + l.file + " " + hex(l.addr) + " /noclear\n");
		dump_load_line back;
		ASSERT_TRUE(dump_load_line_parse(line.c_str(), back)) << line;
		EXPECT_EQ(back.file, l.file);
		EXPECT_EQ(back.addr, l.addr);
	}
}

// Lines an older or hand-made dump may hold are read; a line of another
// kind, or one short of a field, is not.
TEST(description_lines, what_the_readers_take)
{
	struct load_case {
		const char *line;
		bool taken;
		uint64_t addr;
	};
	const load_case loads[] = {
		{"d.load.binary OCIMEM.BIN 0x14680000 /noclear\n", true, 0x14680000},
		{"d.load.binary OCIMEM.BIN 14680000", true, 0x14680000}, // no 0x, no /noclear
		{"d.load.binary  OCIMEM.BIN\t0x10 /noclear\n", true, 0x10},
		{"d.load.binary OCIMEM.BIN\n", false, 0},
		{"d.load.binary OCIMEM.BIN zz /noclear\n", false, 0},
		{"0 0x14680000 4096 OCIMEM OCIMEM.BIN\n", false, 0},
		{"; d.load.binary OCIMEM.BIN 0x14680000 /noclear\n", false, 0},
		{"", false, 0},
	};
	for (const load_case &c : loads) {
		SCOPED_TRACE(c.line);
		dump_load_line l;
		ASSERT_EQ(dump_load_line_parse(c.line, l), c.taken);
		if (c.taken) {
			EXPECT_EQ(l.file, "OCIMEM.BIN");
			EXPECT_EQ(l.addr, c.addr);
		}
	}

	struct info_case {
		const char *line;
		bool taken;
		uint64_t addr;
	};
	const info_case infos[] = {
		{"2 0x14680000 4096 OCIMEM OCIMEM.BIN\n", true, 0x14680000},
		{"2 14680000 4096 OCIMEM OCIMEM.BIN extra", true, 0x14680000},
		{"2 0x14680000 4096 OCIMEM\n", false, 0},
		{"d.load.binary OCIMEM.BIN 0x14680000 /noclear\n", false, 0},
		{"# 0x14680000 4096 OCIMEM OCIMEM.BIN\n", false, 0},
		{"\n", false, 0},
	};
	for (const info_case &c : infos) {
		SCOPED_TRACE(c.line);
		dump_info_line l;
		ASSERT_EQ(dump_info_line_parse(c.line, l), c.taken);
		if (c.taken) {
			EXPECT_EQ(l.index, 2u);
			EXPECT_EQ(l.addr, c.addr);
			EXPECT_EQ(l.length, 4096u);
			EXPECT_EQ(l.name, "OCIMEM");
			EXPECT_EQ(l.file, "OCIMEM.BIN");
		}
	}
}

// The reader works in the directory it holds open: once its path leads to
// another directory (a copy of the dump without its log ring and core, whose
// dump_info.txt names the ring outside it), it still reads the dump it
// opened, whole; --dmesg on the path reads no file outside the directory.
TEST(dmesg, reads_the_directory_it_holds_not_what_its_path_leads_to)
{
	temp_dir tmp;
	const fs::path at = tmp.path / "dump", moved = tmp.path / "moved";
	program_result r = dump("crash", at);
	ASSERT_EQ(r.exit_code, 0) << r.out << r.err;
	std::string last;
	const std::string want = expected_dmesg("crash", last);

	os_dir_handle h = os_dir_none;
	ASSERT_EQ(os_dir_open(at.string().c_str(), &h), 0);
	os_dir dir(h);
	fs::rename(at, moved);
	fs::copy(moved, at);
	fs::remove(at / "md_KLOGBUF.BIN");
	fs::remove(at / "minidump.elf");
	std::string info = text_of(at / "dump_info.txt");
	const size_t ring = info.find(" md_KLOGBUF.BIN\n");
	ASSERT_NE(ring, std::string::npos) << info;
	info.replace(ring, 1, " ../moved/");
	write_text(at / "dump_info.txt", info);
	program_result swapped = run_program({DURUVEV_BIN, "--dmesg", at.string()});
	EXPECT_EQ(swapped.exit_code, 1) << swapped.out;
	EXPECT_TRUE(swapped.out.empty()) << swapped.out.substr(0, 200);
	EXPECT_NE(swapped.err.find("no saved region holds a printk descriptor"), std::string::npos) << swapped.err;

	kmsg_log log;
	std::string why;
	ASSERT_EQ(dmesg_read_dump(dir.get(), dmesg_dump_info(dir.get()), log, why), 0) << why;
	EXPECT_EQ(kmsg_dmesg_text(log), want);
	EXPECT_EQ(kmsg_last_line(log), last);
}

// The log's text ring is not in the dump: the dump is complete all the same
// and the device reset; one line says why there is no dmesg.txt.
TEST(dmesg, a_log_that_cannot_be_read_costs_nothing)
{
	temp_dir tmp;
	program_result r = dump("crash", tmp.path, {"md_KELF*,md_KVM*,md_KDATA*"});
	EXPECT_EQ(r.exit_code, 0) << r.out << r.err;
	EXPECT_NE(r.out.find("; device reset\n"), std::string::npos) << r.out;
	std::string line = "kernel log not read, no dmesg.txt: no saved region holds a printk descriptor at physical "
			   "address 0x82c";
	EXPECT_NE(r.out.find(line), std::string::npos) << r.out;
	EXPECT_EQ(r.out.find("Last kernel line"), std::string::npos) << r.out;
	EXPECT_FALSE(fs::exists(tmp.path / "dmesg.txt"));
	EXPECT_EQ(text_of(tmp.path / "SHA256SUMS").find("dmesg.txt"), std::string::npos);

	program_result again = run_program({DURUVEV_BIN, "--dmesg", tmp.str()});
	EXPECT_EQ(again.exit_code, 1);
	EXPECT_EQ(again.out, "");
	EXPECT_NE(again.err.find("no saved region holds a printk descriptor"), std::string::npos) << again.err;
	EXPECT_EQ(std::count(again.err.begin(), again.err.end(), '\n'), 1) << again.err;

	again = run_program({DURUVEV_BIN, "--dmesg", (tmp.path / "nothing").string()});
	EXPECT_EQ(again.exit_code, 1);
	EXPECT_EQ(std::count(again.err.begin(), again.err.end(), '\n'), 1) << again.err;

	// The record says there was no log; the title cannot be made.
	EXPECT_EQ(r.out.find("Crash: "), std::string::npos) << r.out;
	nlohmann::json j = nlohmann::json::parse(text_of(tmp.path / "dump.json"), nullptr, false);
	for (const char *field : {"crash", "kernel_release", "last_kernel_line"})
		EXPECT_TRUE(j[field].is_null()) << field;
	again = run_program({DURUVEV_BIN, "--title", tmp.str()});
	EXPECT_EQ(again.exit_code, 2) << again.out << again.err;
	EXPECT_EQ(std::count(again.err.begin(), again.err.end(), '\n'), 1) << again.err;
}

// A number the summary line gives before the text that follows it.
uint64_t number_before(const std::string &out, const std::string &after)
{
	size_t at = out.find(after);
	if (at == std::string::npos)
		return UINT64_MAX;
	size_t start = out.find_last_not_of("0123456789", at - 1) + 1;
	return std::stoull(out.substr(start, at - start));
}

// The emulator's kernels crash in a driver, as their oops says; the title
// names it in the summary, in dump.json (whose other fields are the
// summary's too) and from --title, whether read from dmesg.txt or from the
// dump's memory.
TEST(dmesg, crash_scenarios_end_with_their_title)
{
	const struct {
		const char *scenario, *frame;
	} cases[] = {{"crash", "ufshcd_queuecommand"}, {"crash32", "msm_geni_serial_handle_rx"}};
	for (const auto &c : cases) {
		SCOPED_TRACE(c.scenario);
		temp_dir tmp;
		program_result r = dump(c.scenario, tmp.path);
		ASSERT_EQ(r.exit_code, 0) << r.out << r.err;
		std::string title = std::string("BUG: unable to handle kernel NULL pointer dereference in ") + c.frame;
		std::string last;
		expected_dmesg(c.scenario, last);
		EXPECT_NE(r.out.find("Last kernel line: " + last + "\nCrash: " + title + "\n"), std::string::npos) << r.out;

		nlohmann::json j = nlohmann::json::parse(text_of(tmp.path / "dump.json"), nullptr, false);
		ASSERT_TRUE(j.is_object());
		EXPECT_EQ(j["format"], 1);
		EXPECT_EQ("duruvev version " + j["duruvev_version"].get<std::string>() + "\n",
			  run_program({DURUVEV_BIN, "-v"}).out);
		char host[256] = {};
		gethostname(host, sizeof(host) - 1);
		EXPECT_EQ(j["host"], host);
		EXPECT_EQ(j["result"], "complete");
		EXPECT_EQ(j["regions"], number_before(r.out, " regions saved"));
		EXPECT_EQ(j["bytes"], number_before(r.out, " bytes) saved"));
		EXPECT_EQ(j["kernel_release"], emu_scenario_kernel(c.scenario)->osrelease);
		EXPECT_EQ(j["last_kernel_line"], last);
		EXPECT_EQ(j["crash"], (nlohmann::json{{"title", title},
						      {"alt", nlohmann::json::array()},
						      {"kind", "crash"},
						      {"frame", c.frame},
						      {"corrupted", false},
						      {"rules", 1}}));
		// The port the device was asked for by: it has no serial number.
		EXPECT_EQ(j["device"]["serial"], "");
		EXPECT_EQ(j["device"]["label"].get<std::string>().rfind("/dev/", 0), 0u) << j["device"];
		std::string start = j["start"], end = j["end"];
		EXPECT_EQ(start.size(), 20u);
		EXPECT_EQ(start.back(), 'Z');
		EXPECT_LE(start, end);
		EXPECT_NE(text_of(tmp.path / "SHA256SUMS").find("  dump.json\n"), std::string::npos);

		for (const fs::path &what : {tmp.path, tmp.path / "dmesg.txt"}) {
			program_result t = run_program({DURUVEV_BIN, "--title", what.string()});
			EXPECT_EQ(t.exit_code, 0) << t.err;
			EXPECT_EQ(t.out, title + "\n");
		}
		fs::remove(tmp.path / "dmesg.txt");
		program_result t = run_program({DURUVEV_BIN, "--title", tmp.str()});
		EXPECT_EQ(t.exit_code, 0) << t.err;
		EXPECT_EQ(t.out, title + "\n");
	}
}

// --title on logs that hold no crash, and on what cannot be read.
TEST(dmesg, title_exit_codes)
{
	temp_dir tmp;
	write_text(tmp.path / "boot.log", "[    0.000000] Booting Linux on physical CPU 0x0\n");
	program_result t = run_program({DURUVEV_BIN, "--title", (tmp.path / "boot.log").string()});
	EXPECT_EQ(t.exit_code, 1);
	EXPECT_EQ(t.out, "no crash message\n");
	for (const fs::path &bad : {tmp.path / "missing.log", fs::path("/dev/null")}) {
		t = run_program({DURUVEV_BIN, "--title", bad.string()});
		EXPECT_EQ(t.exit_code, 2) << bad;
		EXPECT_EQ(t.out, "");
		EXPECT_EQ(std::count(t.err.begin(), t.err.end(), '\n'), 1) << t.err;
	}
}

} // namespace
