// A crash can be dumped once: the built program resets the emulated device
// only after the whole dump is on disk, says how the run went in one summary
// line, and exits 0 only for a complete dump. Driven through a pseudo-terminal
// as a user would run it.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <csignal>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <sys/mount.h>
#include <sys/statvfs.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "edl_model.h"
#include "run_program.h"
#include "scenarios.h"
#include "test_support.h"

namespace fs = std::filesystem;

namespace {

program_result dump(const std::string &scenario, const fs::path &out, const std::vector<std::string> &tool_args = {},
		    const std::vector<std::string> &env = {})
{
	std::vector<std::string> argv = {DURUVEV_EMU_BIN, "--scenario", scenario, "--time-limit", "100", "--",
					 DURUVEV_BIN,	  "-S",		"{pty}",  "-o",		  out.string()};
	argv.insert(argv.end(), tool_args.begin(), tool_args.end());
	return run_program(argv, 120, env);
}

bool has(const std::string &hay, const std::string &needle)
{
	return hay.find(needle) != std::string::npos;
}

// What the emulator saw, from its summary line on standard error.
unsigned resets(const program_result &r)
{
	size_t at = r.err.find(" reset(s)");
	if (at == std::string::npos)
		return 99;
	size_t start = r.err.rfind(' ', at - 1);
	return static_cast<unsigned>(std::stoul(r.err.substr(start + 1, at - start - 1)));
}

unsigned long long memory_reads(const program_result &r)
{
	size_t at = r.err.find(" memory reads");
	if (at == std::string::npos)
		return 999999;
	size_t start = r.err.rfind(' ', at - 1);
	return std::stoull(r.err.substr(start + 1, at - start - 1));
}

emu_model model_of(const std::string &scenario)
{
	emu_config cfg;
	EXPECT_TRUE(emu_scenario(scenario, cfg)) << scenario;
	return emu_model(cfg);
}

void expect_left_in_crash_state(const program_result &r)
{
	EXPECT_EQ(r.exit_code, 1) << r.out << r.err;
	EXPECT_EQ(resets(r), 0u) << r.err;
	EXPECT_TRUE(has(r.out, "; device not reset\n")) << r.out;
	EXPECT_TRUE(has(r.err, "left in its crash-dump state, so it can be dumped again")) << r.err;
}

// One line of text holds every part.
bool line_with(const std::string &text, const std::vector<std::string> &parts)
{
	std::istringstream in(text);
	for (std::string line; std::getline(in, line);)
		if (std::all_of(parts.begin(), parts.end(), [&](const std::string &p) { return has(line, p); }))
			return true;
	return false;
}

// A small tmpfs of its own, so a full disk can be had without filling the
// machine's. Needs root; the caller skips without it.
struct small_fs {
	temp_dir base;
	fs::path path;
	bool mounted = false;
	explicit small_fs(const char *size, const char *more = nullptr)
	{
		path = base.path / "fs";
		fs::create_directory(path);
		std::string opts = std::string("size=") + size + (more ? std::string(",") + more : "");
		mounted = geteuid() == 0 && mount("tmpfs", path.c_str(), "tmpfs", 0, opts.c_str()) == 0;
	}
	~small_fs()
	{
		if (mounted)
			umount2(path.c_str(), MNT_DETACH);
	}
};

TEST(one_shot, complete_dump_resets_once_and_sums_up)
{
	temp_dir tmp;
	program_result r = dump("crash", tmp.path);
	ASSERT_FALSE(r.timed_out);
	EXPECT_EQ(r.exit_code, 0) << r.out << r.err;
	EXPECT_EQ(resets(r), 1u) << r.err;
	uint64_t bytes = 0;
	for (const emu_expected_file &f : emu_expected_regions(model_of("crash")))
		bytes += f.bytes.size();
	EXPECT_TRUE(has(r.out, "Summary: 13 regions saved, 0 failed, 0 skipped by filter; 11.2 MiB (" +
				       std::to_string(bytes) + " bytes) saved in "))
		<< r.out;
	EXPECT_TRUE(has(r.out, "; device reset\n")) << r.out;
	EXPECT_FALSE(has(r.err, "crash-dump state")) << r.err;
}

// A directory named like a region: that file cannot be made, every other
// region is still saved, and the device keeps its crash.
TEST(one_shot, directory_in_the_way_of_one_region)
{
	temp_dir tmp;
	fs::create_directory(tmp.path / "OCIMEM.BIN");
	program_result r = dump("crash", tmp.path);
	expect_left_in_crash_state(r);
	EXPECT_TRUE(has(r.err, "failed to open \"OCIMEM.BIN\"")) << r.err;
	EXPECT_TRUE(has(r.out, "Summary: 12 regions saved, 1 failed, 0 skipped by filter")) << r.out;
	emu_model model = model_of("crash");
	for (const emu_expected_file &f : emu_expected_regions(model)) {
		if (f.name == "OCIMEM.BIN")
			continue;
		SCOPED_TRACE(f.name);
		EXPECT_TRUE(read_file((tmp.path / f.name).string()) == f.bytes);
	}
	// The core does not depend on OCIMEM and is made all the same.
	EXPECT_TRUE(read_file((tmp.path / "minidump.elf").string()) == emu_expected_minidump(model));
}

// Files of an earlier run are never mixed into this run's core: a segment
// whose region this run could not save is zeros (the first run's file is
// gone, a directory stands in its place); a run that fails partway claims no
// core; and a filter that leaves out a segment's region makes none.
TEST(one_shot, earlier_files_do_not_make_a_failed_run_look_complete)
{
	temp_dir tmp;
	ASSERT_EQ(dump("crash", tmp.path).exit_code, 0);
	fs::remove(tmp.path / "md_KTEXT.BIN");
	fs::create_directory(tmp.path / "md_KTEXT.BIN");
	fs::remove(tmp.path / "minidump.elf");
	program_result r = dump("crash", tmp.path);
	expect_left_in_crash_state(r);
	EXPECT_TRUE(has(r.err, "minidump: region md_KTEXT.BIN missing, filled with zeros")) << r.err;
	emu_model model = model_of("crash");
	std::vector<uint8_t> core = read_file((tmp.path / "minidump.elf").string());
	std::vector<uint8_t> want = emu_expected_minidump(model);
	ASSERT_EQ(core.size(), want.size());
	// The header and the vmcoreinfo note, then md_KTEXT's segment as zeros.
	size_t head = read_file((tmp.path / "md_KELF_HEADER.BIN").string()).size() +
		      read_file((tmp.path / "md_KVMCOREINFO.BIN").string()).size();
	size_t ktext = 0x103450;
	EXPECT_TRUE(std::equal(core.begin(), core.begin() + static_cast<long>(head), want.begin()));
	EXPECT_TRUE(std::all_of(core.begin() + static_cast<long>(head), core.begin() + static_cast<long>(head + ktext),
				[](uint8_t b) { return b == 0; }));
	EXPECT_TRUE(std::equal(core.begin() + static_cast<long>(head + ktext), core.end(),
			       want.begin() + static_cast<long>(head + ktext)));

	// The device vanishes halfway through this run: no core is claimed.
	fs::remove(tmp.path / "minidump.elf");
	std::vector<std::string> argv = {DURUVEV_EMU_BIN, "--scenario",	 "crash", "--time-limit", "60",
					 "--unplug-after", "3000000", "--", DURUVEV_BIN, "-S", "{pty}", "-o", tmp.str()};
	r = run_program(argv, 90);
	EXPECT_EQ(r.exit_code, 1) << r.out << r.err;
	EXPECT_FALSE(has(r.out, "ELF written")) << r.out;
	EXPECT_FALSE(fs::exists(tmp.path / "minidump.elf"));

	// A filter that admits the header but not a segment's region.
	temp_dir tmp2;
	r = dump("crash", tmp2.path, {"md_KELF*,md_KVM*"});
	EXPECT_EQ(r.exit_code, 0) << r.out << r.err;
	EXPECT_EQ(resets(r), 1u);
	EXPECT_TRUE(has(r.out, "minidump: no core written: the filter excludes md_KTEXT.BIN")) << r.out;
	EXPECT_FALSE(fs::exists(tmp2.path / "minidump.elf"));
}

TEST(one_shot, devices_that_offer_nothing)
{
	struct row {
		const char *scenario;
		std::vector<std::string> emu_opts;
		const char *err;
	};
	const row rows[] = {
		{"empty", {}, "the device offered an empty memory table"},
		{"small", {"--short-table", "0"}, "the device sent no memory table"},
	};
	for (const row &c : rows) {
		SCOPED_TRACE(c.scenario);
		temp_dir tmp;
		std::vector<std::string> argv = {DURUVEV_EMU_BIN, "--scenario", c.scenario, "--time-limit", "60"};
		argv.insert(argv.end(), c.emu_opts.begin(), c.emu_opts.end());
		argv.insert(argv.end(), {"--", DURUVEV_BIN, "-S", "{pty}", "-o", tmp.str()});
		program_result r = run_program(argv, 90);
		expect_left_in_crash_state(r);
		EXPECT_TRUE(has(r.err, c.err)) << r.err;
		EXPECT_TRUE(files_in(tmp.path).empty());
	}
}

// Names a device should not be able to use: each region is still saved,
// under a safe name, and nothing raw reaches the terminal.
TEST(one_shot, hostile_names_are_saved_under_safe_names)
{
	temp_dir tmp;
	program_result r = dump("hostile-names", tmp.path);
	EXPECT_EQ(r.exit_code, 0) << r.out << r.err;
	EXPECT_EQ(resets(r), 1u);
	EXPECT_EQ(files_in(tmp.path),
		  (std::set<std::string>{"OCIMEM.BIN", "region_1.bin", "region_2.bin", "region_3.bin", "region_4.bin",
					 "region_5.bin", "region_6.bin", "SHA256SUMS", "load.cmm", "dump_info.txt", "dump.json"}));
	emu_model model = model_of("hostile-names");
	std::vector<emu_expected_file> want = emu_expected_regions(model);
	EXPECT_TRUE(read_file((tmp.path / "OCIMEM.BIN").string()) == want[0].bytes);
	for (size_t i = 1; i < want.size(); i++)
		EXPECT_TRUE(read_file((tmp.path / ("region_" + std::to_string(i) + ".bin")).string()) == want[i].bytes)
			<< i;
	EXPECT_TRUE(has(r.err, "region file name \"ocimem.bin\" is already used by an earlier region; saving region 2 "
			       "as \"region_2.bin\""))
		<< r.err;
	EXPECT_TRUE(has(r.err, "refusing unsafe region file name \"minidump.elf\"; saving region 3")) << r.err;
	EXPECT_TRUE(has(r.err, "refusing unsafe region file name \"E\\x1b]0;owned\\x07.BIN\"")) << r.err;
	for (char c : std::string("\x1b\x07\x7f"))
		EXPECT_EQ((r.out + r.err).find(c), std::string::npos) << static_cast<int>(c);
}

// What a Windows file system holds as a plain file under the name given.
bool windows_can_hold(const std::string &name)
{
	static const char *const devices[] = {"con", "prn", "aux", "nul"};
	std::string stem = name.substr(0, name.find('.'));
	for (char &c : stem)
		c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
	for (const char *d : devices)
		if (stem == d)
			return false;
	if ((stem.starts_with("com") || stem.starts_with("lpt")) && stem.size() == 4 && isdigit(stem[3]))
		return false;
	return !name.empty() && name.back() != '.' && name.back() != ' ' &&
	       name.find_first_of("<>:\"/\\|?*") == std::string::npos;
}

// A dump made on Linux travels: names that Windows would take for a device,
// refuse or strip are saved under substitutes, so every byte can be copied
// to Windows and is still there.
TEST(one_shot, names_windows_cannot_hold_get_substitutes)
{
	temp_dir tmp;
	program_result r = dump("windows-names", tmp.path);
	EXPECT_EQ(r.exit_code, 0) << r.out << r.err;
	EXPECT_EQ(resets(r), 1u) << r.err;

	std::set<std::vector<uint8_t>> contents;
	for (const std::string &name : files_in(tmp.path)) {
		EXPECT_TRUE(windows_can_hold(name)) << "\"" << name << "\"";
		contents.insert(read_file((tmp.path / name).string()));
	}
	for (const emu_expected_file &f : emu_expected_regions(model_of("windows-names")))
		EXPECT_TRUE(contents.count(f.bytes)) << "bytes of \"" << f.name << "\" are in no file";
	EXPECT_TRUE(read_file((tmp.path / "region_0.bin").string()) ==
		    emu_expected_regions(model_of("windows-names"))[0].bytes);
	EXPECT_TRUE(has(r.err, "refusing unsafe region file name \"NUL.BIN\"; saving region 0 as \"region_0.bin\""))
		<< r.err;
	EXPECT_TRUE(has(r.out, "ok.bin dumped successfully")) << r.out;
	EXPECT_TRUE(has(r.out, "k.bin dumped successfully")) << r.out;
}

// A segment of 2^64-1 bytes: refused at once, no core, no endless padding.
TEST(one_shot, hostile_kernel_header_does_not_fill_the_disk)
{
	temp_dir tmp;
	program_result r = dump("hostile-kelf", tmp.path);
	ASSERT_FALSE(r.timed_out);
	expect_left_in_crash_state(r);
	EXPECT_TRUE(has(r.err, "makes the core larger than the memory the device offered")) << r.err;
	EXPECT_FALSE(has(r.out, "ELF written")) << r.out;
	EXPECT_FALSE(fs::exists(tmp.path / "minidump.elf"));
	uint64_t total = 0;
	for (const auto &e : fs::directory_iterator(tmp.path))
		total += fs::file_size(e.path());
	EXPECT_LT(total, 2u << 20);
}

// An output file system that cannot take the dump is refused before a single
// region is asked for. The free space counts, not the size: other data may
// fill most of it. A file system out of inodes has blocks left but takes no
// new file; it is refused before the device is touched at all.
TEST(one_shot, not_enough_space_is_refused_before_any_region_is_read)
{
	struct row {
		const char *name;
		const char *size, *more; // tmpfs options
		uint64_t ballast;	 // bytes of other data on it
		unsigned long long reads; // memory reads the device saw: 1 is the table
		const char *err;	 // followed by the directory in quotes
	};
	const row rows[] = {
		{"4 MiB", "4m", nullptr, 0, 1, "not enough free space in "},
		// Large enough for the whole dump when empty.
		{"16 MiB holding 10 MiB", "16m", nullptr, 10 << 20, 1, "not enough free space in "},
		{"no inode left", "16m", "nr_inodes=1", 0, 0, "cannot write to output directory "},
	};
	for (const row &c : rows) {
		SCOPED_TRACE(c.name);
		small_fs small(c.size, c.more);
		if (!small.mounted)
			GTEST_SKIP() << "mounting a small tmpfs needs root";
		std::set<std::string> before;
		if (c.ballast) {
			std::ofstream(small.path / "ballast", std::ios::binary) << std::string(c.ballast, 'b');
			before.insert("ballast");
		}
		struct statvfs st;
		ASSERT_EQ(statvfs(small.path.c_str(), &st), 0);
		uint64_t free_bytes = static_cast<uint64_t>(st.f_bavail) * st.f_frsize;

		program_result r = dump("crash", small.path);
		EXPECT_EQ(r.exit_code, 1) << r.out << r.err;
		EXPECT_EQ(resets(r), 0u) << r.err;
		EXPECT_EQ(memory_reads(r), c.reads) << r.err;
		EXPECT_TRUE(has(r.err, c.err + ("\"" + small.path.string() + "\""))) << r.err;
		EXPECT_EQ(files_in(small.path), before);
		if (c.reads == 1) {
			expect_left_in_crash_state(r);
			EXPECT_TRUE(has(r.err, "the dump needs 12.")) << r.err;
			EXPECT_TRUE(has(r.err, "(" + std::to_string(free_bytes) + " bytes) is free")) << r.err;
			EXPECT_TRUE(has(r.err, "another output directory with -o, or dump fewer regions with a "
					       "segment filter"))
				<< r.err;
		}
	}

	// A filter that fits it in: complete.
	small_fs small("4m");
	program_result r = dump("crash", small.path, {"md_K*,OCIMEM*"});
	EXPECT_EQ(r.exit_code, 0) << r.out << r.err;
	EXPECT_EQ(resets(r), 1u);
}

// Another writer fills the file system during the dump: the first failed
// write ends the dump, nothing more is asked of the device, and it keeps its
// crash.
TEST(one_shot, file_system_filling_up_during_the_dump)
{
	small_fs small("32m");
	if (!small.mounted)
		GTEST_SKIP() << "mounting a small tmpfs needs root";
	std::atomic<bool> stop{false};
	std::thread filler([&] {
		while (!stop && !fs::exists(small.path / "OCIMEM.BIN"))
			std::this_thread::sleep_for(std::chrono::milliseconds(1));
		FILE *f = fopen((small.path / "ballast").c_str(), "wb");
		if (!f)
			return;
		setvbuf(f, nullptr, _IONBF, 0);
		std::vector<uint8_t> chunk(64 * 1024, 0xee);
		while (fwrite(chunk.data(), 1, chunk.size(), f) == chunk.size())
			;
		fclose(f);
	});
	std::vector<std::string> argv = {DURUVEV_EMU_BIN, "--scenario", "crash", "--time-limit", "100",
					 "--transfer-gap", "20", "--", DURUVEV_BIN, "-S", "{pty}", "-o",
					 small.path.string()};
	program_result r = run_program(argv, 120);
	stop = true;
	filler.join();
	expect_left_in_crash_state(r);
	EXPECT_TRUE(has(r.err, "No space left on device")) << r.err;
	EXPECT_FALSE(has(r.out, "ELF written")) << r.out;
	EXPECT_FALSE(has(r.out, "Summary: 13 regions saved")) << r.out;
	EXPECT_TRUE(has(r.err, "The output directory's file system failed to take the dump")) << r.err;
}

// The program run with the sync shim preloaded (tests/sync_shim.c): every
// fdatasync and fsync it makes, with the path synced, and every packet it
// sends the device, in the order they happened. fail names a path whose
// first sync fails with EIO.
struct watched_call {
	std::string op, rc, what; // "fdatasync" "0" PATH, "send" "7" LENGTH
};

// The environment that preloads the shim, logging into log, with more of its
// settings.
std::vector<std::string> shim_env(const std::string &log, const std::vector<std::string> &more = {})
{
	std::vector<std::string> env = {std::string("LD_PRELOAD=") + DURUVEV_SYNC_SHIM, "DURUVEV_SYNC_LOG=" + log};
	env.insert(env.end(), more.begin(), more.end());
#ifdef __SANITIZE_ADDRESS__
	// The sanitizer's runtime would insist on coming first in the preload
	// list.
	const char *asan = getenv("ASAN_OPTIONS");
	env.push_back(std::string("ASAN_OPTIONS=") + (asan ? asan : "") + ":verify_asan_link_order=0");
#endif
	return env;
}

std::vector<watched_call> watched_dump(const std::string &scenario, const fs::path &out, const std::string &fail,
				       program_result &r)
{
	temp_dir logs;
	std::string log = logs.file("sync.log");
	r = dump(scenario, out, {}, shim_env(log, fail.empty() ? std::vector<std::string>{}
							       : std::vector<std::string>{"DURUVEV_SYNC_FAIL=" + fail}));
	std::vector<watched_call> calls;
	std::ifstream in(log);
	for (std::string line; std::getline(in, line);) {
		watched_call c;
		size_t a = line.find(' '), b = line.find(' ', a + 1);
		if (a == std::string::npos || b == std::string::npos)
			continue;
		calls.push_back({line.substr(0, a), line.substr(a + 1, b - a - 1), line.substr(b + 1)});
	}
	return calls;
}

// The index of the first call that matches, or calls.size().
size_t first_call(const std::vector<watched_call> &calls, const std::string &op, const std::string &rc,
		  const std::string &what, size_t from = 0)
{
	for (size_t i = from; i < calls.size(); i++)
		if ((op.empty() || calls[i].op == op) && calls[i].rc == rc && calls[i].what == what)
			return i;
	return calls.size();
}

// Every file of a complete dump, and the directory after the last of them,
// reached stable storage before the RESET packet left. With a core (which
// syncs the directory itself) and without one.
TEST(sync_faults, everything_is_synced_before_the_reset_leaves)
{
	for (const char *scenario : {"crash", "small"}) {
		SCOPED_TRACE(scenario);
		temp_dir tmp;
		fs::path out = fs::canonical(tmp.path);
		program_result r;
		std::vector<watched_call> calls = watched_dump(scenario, out, "", r);
		EXPECT_EQ(r.exit_code, 0) << r.out << r.err;
		EXPECT_EQ(resets(r), 1u) << r.err;
		size_t reset = first_call(calls, "send", "7", "8");
		ASSERT_LT(reset, calls.size()) << "no RESET packet seen; is the shim loaded?";

		std::vector<std::string> files;
		for (const emu_expected_file &f : emu_expected_regions(model_of(scenario)))
			files.push_back(f.name);
		if (!emu_expected_minidump(model_of(scenario)).empty())
			files.push_back("minidump.elf");
		size_t messages = 0, kept = 0;
		if (emu_scenario_kernel_log(scenario, messages, kept))
			files.push_back("dmesg.txt");
		files.insert(files.end(), {"load.cmm", "dump_info.txt", "dump.json", "SHA256SUMS"});
		ASSERT_EQ(files_in(out), std::set<std::string>(files.begin(), files.end()));
		size_t last = 0;
		for (const std::string &f : files) {
			// A description file is synced under the temporary name it
			// has until it is renamed into place.
			size_t at = std::min(first_call(calls, "", "0", (out / f).string()),
					     first_call(calls, "", "0", (out / (".duruvev-" + f + ".new")).string()));
			EXPECT_LT(at, reset) << f << " not synced before the RESET";
			last = std::max(last, at);
		}
		EXPECT_LT(first_call(calls, "fsync", "0", out.string(), last + 1), reset)
			<< "the directory is not synced between the last file and the RESET";
	}
}

// A sync that fails: the dump is not on stable storage, so the device keeps
// its crash, the failure is named, and no core is left behind half-written.
TEST(sync_faults, a_failed_sync_keeps_the_device_in_its_crash_state)
{
	struct row {
		const char *name;
		const char *scenario;
		const char *file; // in the output directory; "": the directory
	};
	const row rows[] = {
		{"a region file", "crash", "OCIMEM.BIN"},
		{"the core", "crash", "minidump.elf"},
		{"the directory, no core", "small", ""},
	};
	for (const row &c : rows) {
		SCOPED_TRACE(c.name);
		temp_dir tmp;
		fs::path out = fs::canonical(tmp.path);
		std::string fail = c.file[0] ? (out / c.file).string() : out.string();
		program_result r;
		std::vector<watched_call> calls = watched_dump(c.scenario, out, fail, r);
		ASSERT_LT(first_call(calls, "", "EIO", fail), calls.size()) << "the sync of " << fail << " was not made";
		expect_left_in_crash_state(r);
		EXPECT_EQ(first_call(calls, "send", "7", "8"), calls.size()) << "RESET sent";
		EXPECT_TRUE(line_with(r.err, {c.file[0] ? c.file : out.string(), "Input/output error"})) << r.err;
		EXPECT_FALSE(has(r.out, "ELF written")) << r.out;
		EXPECT_FALSE(fs::exists(out / "minidump.elf"));
	}
}

// A power cut while the record of whole regions is being written leaves the
// record as it was before: the next run still keeps what it listed.
TEST(sync_faults, a_record_cut_mid_write_keeps_the_one_before)
{
	temp_dir tmp, logs;
	fs::path out = fs::canonical(tmp.path);
	// small: the second record is written once DDR_EDGE is whole, before
	// CODERAM is read.
	program_result cut = dump("small", out, {}, shim_env(logs.file("sync.log"), {"DURUVEV_CUT_RECORD=2"}));
	ASSERT_NE(cut.exit_code, 0) << cut.out << cut.err;
	ASSERT_TRUE(fs::exists(out / "DDR_EDGE.BIN"));
	ASSERT_FALSE(fs::exists(out / "CODERAM.BIN")) << "the run was not cut in its second record";

	program_result r = dump("small", out, {"--resume"});
	EXPECT_EQ(r.exit_code, 0) << r.out << r.err;
	EXPECT_TRUE(has(r.out, "OCIMEM.BIN kept from the earlier run")) << r.out << r.err;
	for (const emu_expected_file &f : emu_expected_regions(model_of("small")))
		EXPECT_TRUE(read_file((out / f.name).string()) == f.bytes) << f.name;
}

// The digest library failing to take a block: the region's SHA-256 would be
// that of part of it, so the dump is not complete and the device keeps its
// crash.
TEST(digest_faults, a_failed_digest_update_keeps_the_device_in_its_crash_state)
{
	temp_dir tmp, logs;
	fs::path out = fs::canonical(tmp.path);
	// The first update is the table's; the second, OCIMEM's only block.
	program_result r = dump("small", out, {}, shim_env(logs.file("sync.log"), {"DURUVEV_DIGEST_FAIL=2"}));
	expect_left_in_crash_state(r);
	EXPECT_TRUE(has(r.err, "cannot compute the SHA-256 of \"OCIMEM.BIN\"")) << r.err;
	EXPECT_FALSE(fs::exists(out / "SHA256SUMS"));
}

} // namespace

namespace {

// sha256sum -c in dir: every file SHA256SUMS lists is there with its bytes.
program_result verify_sums(const fs::path &dir)
{
	return run_program({"/usr/bin/sha256sum", "-c", "--strict", "SHA256SUMS"}, 60, {}, {}, dir.string());
}

std::vector<std::string> lines_of(const fs::path &file)
{
	std::vector<uint8_t> bytes = read_file(file.string());
	std::vector<std::string> lines;
	std::string line;
	for (uint8_t b : bytes) {
		if (b == '\n') {
			lines.push_back(line);
			line.clear();
		} else {
			line += static_cast<char>(b);
		}
	}
	EXPECT_TRUE(line.empty()) << file << " does not end with a line end";
	return lines;
}

std::string hex(uint64_t v)
{
	char buf[32];
	snprintf(buf, sizeof(buf), "0x%llx", static_cast<unsigned long long>(v));
	return buf;
}

// A complete dump checks itself with sha256sum -c, and load.cmm and
// dump_info.txt place every region at its address.
TEST(described_dump, verifies_and_places_every_region)
{
	temp_dir tmp;
	program_result r = dump("crash", tmp.path);
	ASSERT_EQ(r.exit_code, 0) << r.out << r.err;
	EXPECT_EQ(resets(r), 1u);

	program_result check = verify_sums(tmp.path);
	EXPECT_EQ(check.exit_code, 0) << check.out << check.err;
	// Every other file of the directory is listed.
	std::set<std::string> listed;
	for (const std::string &line : lines_of(tmp.path / "SHA256SUMS")) {
		ASSERT_GT(line.size(), 66u) << line;
		EXPECT_EQ(line.substr(64, 2), "  ") << line;
		listed.insert(line.substr(66));
	}
	std::set<std::string> others = files_in(tmp.path);
	others.erase("SHA256SUMS");
	EXPECT_EQ(listed, others);

	emu_model model = model_of("crash");
	const std::vector<emu_region> &regions = model.config().regions;
	std::vector<std::string> cmm = lines_of(tmp.path / "load.cmm");
	std::vector<std::string> info = lines_of(tmp.path / "dump_info.txt");
	ASSERT_EQ(cmm.size(), regions.size());
	ASSERT_EQ(info.size(), regions.size());
	for (size_t i = 0; i < regions.size(); i++) {
		const emu_region &reg = regions[i];
		SCOPED_TRACE(reg.filename);
		EXPECT_EQ(cmm[i], "d.load.binary " + reg.filename + " " + hex(reg.addr) + " /noclear");
		EXPECT_EQ(info[i], std::to_string(i) + " " + hex(reg.addr) + " " + std::to_string(reg.length) + " " +
					   reg.region + " " + reg.filename);
	}
}

// A device's own load.cmm is a region like any other and is kept as it is;
// regions named like the other two descriptions, or like the record of a
// dump cut short, get substitute names.
TEST(described_dump, regions_named_like_the_descriptions)
{
	temp_dir tmp;
	program_result r = dump("description-names", tmp.path);
	ASSERT_EQ(r.exit_code, 0) << r.out << r.err;
	EXPECT_EQ(resets(r), 1u);
	std::vector<emu_expected_file> want = emu_expected_regions(model_of("description-names"));
	EXPECT_TRUE(read_file((tmp.path / "load.cmm").string()) == want[1].bytes);
	EXPECT_TRUE(has(r.out, "load.cmm: the device's own script is kept; no load.cmm of ours is written")) << r.out;
	EXPECT_TRUE(read_file((tmp.path / "region_2.bin").string()) == want[2].bytes);
	EXPECT_TRUE(read_file((tmp.path / "region_3.bin").string()) == want[3].bytes);
	EXPECT_TRUE(has(r.err, "refusing unsafe region file name \"SHA256SUMS\"; saving region 2 as \"region_2.bin\""))
		<< r.err;
	EXPECT_TRUE(has(r.err, "refusing unsafe region file name \"DUMP_INFO.TXT\"; saving region 3")) << r.err;
	// Written over by the record after every region, it would be lost.
	EXPECT_TRUE(read_file((tmp.path / "region_4.bin").string()) == want[4].bytes);
	EXPECT_EQ(files_in(tmp.path), (std::set<std::string>{"OCIMEM.BIN", "load.cmm", "region_2.bin", "region_3.bin",
							      "region_4.bin", "SHA256SUMS", "dump_info.txt", "dump.json"}));
	program_result check = verify_sums(tmp.path);
	EXPECT_EQ(check.exit_code, 0) << check.out << check.err;
	EXPECT_EQ(lines_of(tmp.path / "dump_info.txt").size(), 5u);
}

// A re-run into a complete dump's directory that fails half-way: nothing is
// left that describes the first run's files as if they were this run's.
TEST(described_dump, failed_rerun_leaves_no_stale_description)
{
	temp_dir tmp;
	ASSERT_EQ(dump("crash", tmp.path).exit_code, 0);
	ASSERT_TRUE(fs::exists(tmp.path / "SHA256SUMS"));

	std::vector<std::string> argv = {DURUVEV_EMU_BIN, "--scenario",	 "crash", "--time-limit", "60",
					 "--unplug-after", "3000000", "--", DURUVEV_BIN, "-S", "{pty}", "-o", tmp.str()};
	program_result r = run_program(argv, 90);
	expect_left_in_crash_state(r);
	EXPECT_TRUE(has(r.out, "removed minidump.elf, SHA256SUMS, load.cmm, dump_info.txt, dmesg.txt, dump.json of an "
			       "earlier dump"))
		<< r.out;
	for (const char *name : {"minidump.elf", "SHA256SUMS", "load.cmm", "dump_info.txt", "dmesg.txt", "dump.json"})
		EXPECT_FALSE(fs::exists(tmp.path / name)) << name;
}

// A re-run killed hard (as by a power cut) while its first region file is
// being written: that file no longer holds the earlier dump's bytes, so
// nothing that described them may be left beside it.
TEST(described_dump, rerun_killed_in_its_first_region_leaves_no_stale_description)
{
	using namespace std::chrono_literals;
	const char *const descriptions[] = {"minidump.elf", "SHA256SUMS", "load.cmm", "dump_info.txt", "dump.json"};
	temp_dir tmp;
	fs::path out = tmp.path / "dump";
	program_result first = dump("crash", out);
	ASSERT_EQ(first.exit_code, 0) << first.out << first.err;
	for (const char *name : descriptions)
		ASSERT_TRUE(fs::exists(out / name)) << name;

	// The device holds 16 KiB into CODERAM.BIN, the first region (32 KiB),
	// and says so once the program has read those bytes.
	fs::path held = tmp.path / "held", port = tmp.path / "edl0";
	background emu({DURUVEV_EMU_BIN, "--scenario", "crash", "--time-limit", "100", "--link", port.string(),
			"--hold-after", "16384", "--on-hold", held.string()},
		       tmp.path / "emu.out", tmp.path / "emu.err");
	ASSERT_TRUE(wait_for([&] { return fs::is_symlink(port) || !emu.running(); }, 30s)) << emu.err();
	background tool({DURUVEV_BIN, "-S", port.string(), "-o", out.string()}, tmp.path / "tool.out",
			tmp.path / "tool.err");
	ASSERT_TRUE(wait_for([&] { return fs::exists(held) || !tool.running(); }, 90s)) << emu.err();
	ASSERT_TRUE(tool.running()) << tool.out() << tool.err();
	tool.signal(SIGKILL);
	EXPECT_EQ(tool.wait(30s), 128 + SIGKILL);

	EXPECT_LT(fs::file_size(out / "CODERAM.BIN"), 32u * 1024) << "the first region file is not this run's";
	for (const char *name : descriptions)
		EXPECT_FALSE(fs::exists(out / name)) << name << " of the earlier dump is left";
	emu.signal(SIGTERM);
	EXPECT_NE(emu.wait(30s), -1);
	EXPECT_TRUE(has(emu.err(), " 0 reset(s)")) << emu.err();
}

// The descriptions are part of the dump: when one cannot be written, the
// device is not reset and none of them is left.
TEST(described_dump, failure_to_write_them_keeps_the_device)
{
	temp_dir tmp;
	// A directory that is not empty stands where SHA256SUMS goes.
	fs::create_directories(tmp.path / "SHA256SUMS" / "keep");
	program_result r = dump("small", tmp.path);
	expect_left_in_crash_state(r);
	EXPECT_TRUE(has(r.err, "cannot remove \"" + tmp.str() + "/SHA256SUMS\" of an earlier dump")) << r.err;
	EXPECT_TRUE(has(r.err, "failed to write \"SHA256SUMS\" in \"" + tmp.str() + "\"")) << r.err;
	EXPECT_TRUE(has(r.err, "The output directory's file system failed to take the dump")) << r.err;
	EXPECT_FALSE(fs::exists(tmp.path / "load.cmm"));
	EXPECT_FALSE(fs::exists(tmp.path / "dump_info.txt"));
	// The regions themselves are all saved.
	for (const emu_expected_file &f : emu_expected_regions(model_of("small")))
		EXPECT_TRUE(read_file((tmp.path / f.name).string()) == f.bytes) << f.name;
}

} // namespace
