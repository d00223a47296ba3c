// Why did it crash: the built program reads the kernel log out of a complete
// dump of the emulator's crash scenarios into dmesg.txt, ends the summary
// with its last line, and prints it again with --dmesg; a log that cannot be
// read costs the dump nothing.
#include <gtest/gtest.h>

#include <cinttypes>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

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

// The scenario's log as dmesg prints it, from the known message list.
std::string expected_dmesg(const std::string &scenario, std::string &last)
{
	size_t messages = 0, kept = 0;
	EXPECT_TRUE(emu_scenario_kernel_log(scenario, messages, kept));
	std::vector<klog_message> list = klog_messages(messages);
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
}

} // namespace
