// Collection mode end to end: the built program watches port paths (symlinks
// to emulator pseudo-terminals that the tests make, remove and re-make, as a
// USB serial port comes and goes) and dumps every device that appears. Its
// hand-offs go to a real WebDAV store that rclone serves on 127.0.0.1.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <netinet/in.h>
#include <sys/mount.h>
#include <set>
#include <sstream>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include <nlohmann/json.hpp>

#include "edl_model.h"
#include "run_program.h"
#include "scenarios.h"
#include "test_support.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

size_t count_of(const std::string &text, const std::string &what)
{
	size_t n = 0;
	for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
		n++;
	return n;
}

// One emulated device plugged in at link: the emulator serves a fresh
// pseudo-terminal and points link at it until it goes, so that the link
// never names a terminal number another test's device has been given since.
struct device {
	std::unique_ptr<background> emu;
	fs::path link;

	device(const fs::path &dir, const std::string &name, const fs::path &l, const std::vector<std::string> &opts)
		: link(l)
	{
		std::vector<std::string> argv = {DURUVEV_EMU_BIN, "--time-limit", "60", "--link", l.string()};
		argv.insert(argv.end(), opts.begin(), opts.end());
		emu = std::make_unique<background>(argv, dir / (name + ".out"), dir / (name + ".err"));
		std::string pty;
		EXPECT_TRUE(wait_for(
			[&] {
				pty = emu->out();
				return pty.find('\n') != std::string::npos;
			},
			10s));
		EXPECT_TRUE(fs::is_symlink(link)) << link;
	}
	// The device's own summary, once it has ended.
	std::string finish()
	{
		EXPECT_NE(emu->wait(30s), -1) << "emulator did not end";
		return emu->err();
	}
	// Unplugged for good: the path is gone long enough for any scan to see it.
	void remove_link()
	{
		fs::remove(link);
		std::this_thread::sleep_for(700ms);
	}
};

// A tmpfs of the given size at path, while it lives; mounted stays false
// where mounting is not allowed.
struct small_fs_mount {
	fs::path path;
	bool mounted = false;
	small_fs_mount(const fs::path &p, const char *size) : path(p)
	{
		fs::create_directories(path);
		mounted = geteuid() == 0 && mount("tmpfs", path.c_str(), "tmpfs", 0, (std::string("size=") + size).c_str()) == 0;
	}
	~small_fs_mount()
	{
		if (mounted)
			umount2(path.c_str(), MNT_DETACH);
	}
};

std::vector<fs::path> dump_dirs(const fs::path &root)
{
	std::vector<fs::path> dirs;
	if (fs::exists(root))
		for (const auto &e : fs::directory_iterator(root))
			if (e.is_directory())
				dirs.push_back(e.path());
	std::sort(dirs.begin(), dirs.end());
	return dirs;
}

void expect_complete_dump(const fs::path &dir, const std::string &scenario, uint64_t crash = 0)
{
	SCOPED_TRACE(dir.string());
	emu_config cfg;
	ASSERT_TRUE(emu_scenario(scenario, cfg));
	cfg.crash = crash;
	emu_model model(cfg);
	// A complete dump describes itself as a dump taken by hand does.
	std::set<std::string> want = {"SHA256SUMS", "load.cmm", "dump_info.txt", "dump.json"};
	for (const emu_expected_file &f : emu_expected_regions(model)) {
		want.insert(f.name);
		EXPECT_TRUE(read_file((dir / f.name).string()) == f.bytes) << f.name << " differs";
	}
	std::vector<uint8_t> core = emu_expected_minidump(model);
	if (!core.empty()) {
		want.insert("minidump.elf");
		EXPECT_TRUE(read_file((dir / "minidump.elf").string()) == core) << "minidump.elf differs";
	}
	size_t messages = 0, kept = 0;
	if (emu_scenario_kernel_log(scenario, messages, kept))
		want.insert("dmesg.txt");
	EXPECT_EQ(files_in(dir), want);
	// The record names the device: as collection names its directory, or
	// by the port a dump by hand was asked for.
	nlohmann::json j = nlohmann::json::parse(slurp(dir / "dump.json"), nullptr, false);
	std::string label = j["device"]["label"].is_string() ? j["device"]["label"].get<std::string>() : "";
	EXPECT_FALSE(label.empty()) << j;
	EXPECT_TRUE(dir.filename().string().rfind(label + "-", 0) == 0 || label.rfind("/dev/", 0) == 0) << j;
}

struct collect_fixture : ::testing::Test {
	temp_dir tmp;
	fs::path root = tmp.path / "dumps";
	std::unique_ptr<background> tool;

	void start(const std::vector<std::string> &ports, const std::vector<std::string> &more = {})
	{
		std::vector<std::string> argv = {DURUVEV_BIN, "--collect", "-o", root.string()};
		for (const auto &p : ports)
			argv.insert(argv.end(), {"-S", p});
		argv.insert(argv.end(), more.begin(), more.end());
		// A restart's output is its own from the first read on.
		fs::remove(tmp.path / "collect.out");
		fs::remove(tmp.path / "collect.err");
		tool = std::make_unique<background>(argv, tmp.path / "collect.out", tmp.path / "collect.err");
		ASSERT_TRUE(wait_for([&] { return fs::exists(root); }, 10s));
	}
	std::string output() const { return tool->out() + tool->err(); }
};

TEST_F(collect_fixture, three_devices_in_turn_on_one_port_path)
{
	fs::path port = tmp.path / "edl0";
	start({port.string()});

	device first(tmp.path, "emu1", port, {"--scenario", "small"});
	std::string s1 = first.finish();
	first.remove_link();
	// The second vanishes in the middle of its second region.
	device second(tmp.path, "emu2", port, {"--scenario", "small", "--unplug-after", "140000"});
	std::string s2 = second.finish();
	second.remove_link();
	// Another table: another crash, so a dump of its own.
	device third(tmp.path, "emu3", port, {"--scenario", "crash"});
	std::string s3 = third.finish();

	ASSERT_TRUE(wait_for([&] { return count_of(tool->out(), "dump \"") == 3; }, 10s)) << output();
	EXPECT_TRUE(tool->running()) << "collection ended after its devices\n" << output();
	EXPECT_NE(s1.find(" 1 reset(s)"), std::string::npos) << s1;
	EXPECT_NE(s2.find(" 0 reset(s), unplugged"), std::string::npos) << s2;
	EXPECT_NE(s3.find(" 1 reset(s)"), std::string::npos) << s3;

	std::vector<fs::path> dirs = dump_dirs(root);
	ASSERT_EQ(dirs.size(), 3u) << output();
	for (const fs::path &d : dirs)
		EXPECT_EQ(d.filename().string().rfind("edl0-", 0), 0u) << d;
	expect_complete_dump(dirs[0], "small");
	expect_complete_dump(dirs[2], "crash");
	// The interrupted dump keeps the region read before the device went.
	EXPECT_TRUE(read_file((dirs[1] / "OCIMEM.BIN").string()) ==
		    emu_expected_regions(emu_model([] {
			    emu_config c;
			    emu_scenario("small", c);
			    return c;
		    }()))[0]
			    .bytes);
	EXPECT_EQ(count_of(tool->out(), ": complete, "), 2u) << output();
	EXPECT_EQ(count_of(tool->out(), ": failed, "), 1u) << output();

	// Stopped between dumps: a clean end.
	tool->signal(SIGTERM);
	EXPECT_EQ(tool->wait(10s), 0) << output();
}

TEST_F(collect_fixture, two_devices_on_two_ports_at_once)
{
	fs::path a = tmp.path / "edlA", b = tmp.path / "edlB";
	// Both are there before collection looks, so both dumps start together.
	device one(tmp.path, "emuA", a, {"--scenario", "crash"});
	device two(tmp.path, "emuB", b, {"--scenario", "crash"});
	start({a.string(), b.string()});
	std::string sa = one.finish(), sb = two.finish();
	EXPECT_NE(sa.find(" 1 reset(s)"), std::string::npos) << sa;
	EXPECT_NE(sb.find(" 1 reset(s)"), std::string::npos) << sb;
	ASSERT_TRUE(wait_for([&] { return count_of(tool->out(), ": complete, ") == 2; }, 10s)) << output();

	std::vector<fs::path> dirs = dump_dirs(root);
	ASSERT_EQ(dirs.size(), 2u) << output();
	EXPECT_EQ(dirs[0].filename().string().rfind("edlA-", 0), 0u) << dirs[0];
	EXPECT_EQ(dirs[1].filename().string().rfind("edlB-", 0), 0u) << dirs[1];
	expect_complete_dump(dirs[0], "crash");
	expect_complete_dump(dirs[1], "crash");
	// Every line names its device, and lines never mix.
	std::string out = tool->out();
	for (size_t at = 0, nl; (nl = out.find('\n', at)) != std::string::npos; at = nl + 1) {
		std::string line = out.substr(at, nl - at);
		if (line.rfind("Collecting: ", 0) == 0)
			continue;
		EXPECT_TRUE(line.rfind("[edlA] ", 0) == 0 || line.rfind("[edlB] ", 0) == 0) << line;
		EXPECT_LE(count_of(line, "[edl"), 1u) << line;
	}
	tool->signal(SIGINT);
	EXPECT_EQ(tool->wait(10s), 0) << output();
}

// Two ports with one name in different folders give one label, so one
// directory name, unless the names handed out in this run count as taken as
// much as those on the disk: each device's dump has a directory of its own,
// holding all of it and nothing of the other's.
TEST_F(collect_fixture, two_ports_with_one_name_in_two_folders)
{
	fs::create_directory(tmp.path / "a");
	fs::create_directory(tmp.path / "b");
	fs::path a = tmp.path / "a" / "edl0", b = tmp.path / "b" / "edl0";
	// Both are there before collection looks, and tell their dumps apart.
	device one(tmp.path, "emuA", a, {"--scenario", "crash"});
	device two(tmp.path, "emuB", b, {"--scenario", "registered"});
	start({a.string(), b.string()});
	std::string sa = one.finish(), sb = two.finish();
	EXPECT_NE(sa.find(" 1 reset(s)"), std::string::npos) << sa;
	EXPECT_NE(sb.find(" 1 reset(s)"), std::string::npos) << sb;
	ASSERT_TRUE(wait_for([&] { return count_of(tool->out(), ": complete, ") == 2; }, 10s)) << output();
	// Taken in one scan, the two are dumped at once; their lines must be
	// told apart.
	EXPECT_NE(tool->out().find("[edl0] dump \""), std::string::npos) << output();
	EXPECT_NE(tool->out().find("[edl0#2] dump \""), std::string::npos) << output();

	std::vector<fs::path> dirs = dump_dirs(root);
	ASSERT_EQ(dirs.size(), 2u) << output();
	for (const fs::path &d : dirs)
		EXPECT_EQ(d.filename().string().rfind("edl0-", 0), 0u) << d;
	// Only the crash scenario has a CODERAM region.
	bool crash_first = fs::exists(dirs[0] / "CODERAM.BIN");
	expect_complete_dump(dirs[crash_first ? 0 : 1], "crash");
	expect_complete_dump(dirs[crash_first ? 1 : 0], "registered");
	tool->signal(SIGTERM);
	EXPECT_EQ(tool->wait(10s), 0) << output();
}

TEST_F(collect_fixture, sigterm_during_a_dump_stops_it_without_reset)
{
	fs::path port = tmp.path / "edl0";
	start({port.string()});
	// A slow device: 512 KiB blocks cut into 4 KiB transfers 5 ms apart.
	device slow(tmp.path, "emu", port, {"--scenario", "small", "--max-transfer", "4096", "--transfer-gap", "5"});
	ASSERT_TRUE(wait_for([&] { return dump_dirs(root).size() == 1 && fs::exists(dump_dirs(root)[0] / "DDR_EDGE.BIN"); },
			     20s))
		<< output();
	auto asked = std::chrono::steady_clock::now();
	tool->signal(SIGTERM);
	EXPECT_EQ(tool->wait(10s), 2) << output();
	EXPECT_LT(std::chrono::steady_clock::now() - asked, 2s) << "not stopped at once";
	slow.emu->signal(SIGTERM);
	std::string summary = slow.finish();
	EXPECT_NE(summary.find(" 0 reset(s)"), std::string::npos) << summary;
	EXPECT_NE(tool->out().find(": stopped, "), std::string::npos) << output();

	// What was read is kept: the whole first region, and a true prefix of
	// the one in progress.
	fs::path dir = dump_dirs(root)[0];
	emu_config cfg;
	emu_scenario("small", cfg);
	std::vector<emu_expected_file> want = emu_expected_regions(emu_model(cfg));
	EXPECT_TRUE(read_file((dir / want[0].name).string()) == want[0].bytes);
	std::vector<uint8_t> part = read_file((dir / want[1].name).string());
	ASSERT_LT(part.size(), want[1].bytes.size());
	EXPECT_TRUE(std::equal(part.begin(), part.end(), want[1].bytes.begin()));
}

// A device that trickles bytes nobody asked for after a block, a byte every
// 2 ms (never quiet long enough to end the drain, never enough to count as
// babbling for many minutes), does not hold up a stop.
TEST_F(collect_fixture, sigterm_while_a_device_trickles_surplus_bytes)
{
	fs::path port = tmp.path / "edl0";
	start({port.string()});
	device trickle(tmp.path, "emu", port,
		       {"--scenario", "small", "--surplus", "1:forever:1", "--transfer-gap", "2"});
	ASSERT_TRUE(wait_for(
		[&] {
			std::vector<fs::path> dirs = dump_dirs(root);
			std::error_code ec;
			return dirs.size() == 1 && fs::file_size(dirs[0] / "OCIMEM.BIN", ec) == 40 * 1024;
		},
		20s))
		<< output();
	std::this_thread::sleep_for(300ms);
	auto asked = std::chrono::steady_clock::now();
	tool->signal(SIGTERM);
	EXPECT_EQ(tool->wait(10s), 2) << output();
	EXPECT_LT(std::chrono::steady_clock::now() - asked, 2s) << "not stopped at once";
	trickle.emu->signal(SIGTERM);
	std::string summary = trickle.finish();
	EXPECT_NE(summary.find(" 0 reset(s)"), std::string::npos) << summary;
}

TEST_F(collect_fixture, device_asking_for_images_is_left_alone)
{
	fs::path port = tmp.path / "edl0";
	start({port.string()});
	device flashing(tmp.path, "emu", port, {"--scenario", "small", "--hello-mode", "0", "--time-limit", "3"});
	std::string summary = flashing.finish();
	EXPECT_NE(summary.find(" 0 HELLO_RESP"), std::string::npos) << summary;
	EXPECT_NE(summary.find(" 0 memory reads"), std::string::npos) << summary;
	std::string out = tool->out();
	// One line, not one per scan while it stays.
	EXPECT_EQ(count_of(out, "asks for image transfer"), 1u) << output();
	EXPECT_TRUE(dump_dirs(root).empty());
	tool->signal(SIGTERM);
	EXPECT_EQ(tool->wait(10s), 0) << output();
}

// The region bytes a device handed out, from its summary.
uint64_t region_bytes_sent(const std::string &summary)
{
	size_t at = summary.find(" region bytes");
	size_t from = summary.rfind(' ', at - 1);
	return at == std::string::npos ? 0 : std::stoull(summary.substr(from + 1, at - from - 1));
}

// small: OCIMEM 40 KiB, DDR_EDGE 512 KiB + 1, CODERAM 100 bytes. Cut after
// 140000 bytes, OCIMEM is whole and DDR_EDGE is not.
constexpr uint64_t small_rest = 512 * 1024 + 1 + 100;
constexpr uint64_t small_whole = 40 * 1024 + small_rest;

// A continued dump reads what is still to read, and samples of what it
// keeps (to tell that the crash is the same): at most 2 % of the dump.
void expect_rest_read(const std::string &device_summary, uint64_t rest)
{
	uint64_t sent = region_bytes_sent(device_summary);
	EXPECT_GE(sent, rest) << device_summary;
	EXPECT_LE(sent - rest, small_whole / 50) << device_summary;
}

// A device that drops off in the middle of its dump and comes back with the
// same table: the dump goes on in its directory and reads only what is not
// whole yet; the directory ends as a clean dump's, with nothing of the cut.
TEST_F(collect_fixture, cut_short_dump_continues_where_it_stopped)
{
	fs::path port = tmp.path / "edl0";
	start({port.string()});

	device cut(tmp.path, "emu1", port, {"--scenario", "small", "--unplug-after", "140000"});
	std::string s1 = cut.finish();
	cut.remove_link();
	EXPECT_NE(s1.find(" 0 reset(s), unplugged"), std::string::npos) << s1;
	device back(tmp.path, "emu2", port, {"--scenario", "small"});
	std::string s2 = back.finish();

	ASSERT_TRUE(wait_for([&] { return count_of(tool->out(), ": complete, ") == 1; }, 10s)) << output();
	EXPECT_NE(s2.find(" 1 reset(s)"), std::string::npos) << s2;
	expect_rest_read(s2, small_rest);
	EXPECT_NE(output().find("OCIMEM.BIN kept from the earlier run"), std::string::npos) << output();

	std::vector<fs::path> dirs = dump_dirs(root);
	ASSERT_EQ(dirs.size(), 1u) << output();
	expect_complete_dump(dirs[0], "small");
	EXPECT_TRUE(sums_verify(dirs[0]));
	tool->signal(SIGTERM);
	EXPECT_EQ(tool->wait(10s), 0) << output();
}

// The same port with another table is another crash: its dump gets a new
// directory, and the one cut short keeps what it holds.
TEST_F(collect_fixture, another_table_after_a_cut_gets_a_new_directory)
{
	fs::path port = tmp.path / "edl0";
	start({port.string()});

	device cut(tmp.path, "emu1", port, {"--scenario", "small", "--unplug-after", "140000"});
	cut.finish();
	cut.remove_link();
	ASSERT_TRUE(wait_for([&] { return count_of(tool->out(), ": failed, ") == 1; }, 10s)) << output();
	std::vector<fs::path> before = dump_dirs(root);
	ASSERT_EQ(before.size(), 1u) << output();
	std::vector<uint8_t> ocimem = read_file((before[0] / "OCIMEM.BIN").string());

	device other(tmp.path, "emu2", port, {"--scenario", "crash"});
	std::string s2 = other.finish();
	ASSERT_TRUE(wait_for([&] { return count_of(tool->out(), ": complete, ") == 1; }, 10s)) << output();
	EXPECT_NE(s2.find(" 1 reset(s)"), std::string::npos) << s2;
	EXPECT_EQ(output().find("continuing the dump cut short"), std::string::npos) << output();

	std::vector<fs::path> dirs = dump_dirs(root);
	ASSERT_EQ(dirs.size(), 2u) << output();
	fs::path fresh = dirs[0] == before[0] ? dirs[1] : dirs[0];
	expect_complete_dump(fresh, "crash");
	EXPECT_TRUE(read_file((before[0] / "OCIMEM.BIN").string()) == ocimem);
	EXPECT_TRUE(fs::exists(before[0] / ".duruvev-resume"));
	tool->signal(SIGTERM);
	EXPECT_EQ(tool->wait(10s), 0) << output();
}

// A device that comes back to its port with the same table continues its
// dump only when it holds the same crash, also after collection restarted;
// another crash, or another table of as many regions, is dumped whole into a
// new directory, and the one cut short stays as it was.
TEST_F(collect_fixture, a_device_back_at_its_port_continues_only_its_own_crash)
{
	struct row {
		const char *name;
		const char *scenario; // of the second appearance
		uint64_t crash;
		bool restart; // collection restarts between the two appearances
		bool continued;
	};
	const row rows[] = {
		{"another crash", "small", 1, false, false},
		{"the same crash after a restart", "small", 0, true, true},
		{"another crash after a restart", "small", 1, true, false},
		{"another table of as many regions", "small-moved", 0, false, false},
	};
	emu_config first_cfg;
	ASSERT_TRUE(emu_scenario("small", first_cfg));
	std::vector<emu_expected_file> first = emu_expected_regions(emu_model(first_cfg));
	int n = 0;
	for (const row &c : rows) {
		SCOPED_TRACE(c.name);
		std::string tag = std::to_string(++n);
		fs::path port = tmp.path / ("edl" + tag);
		root = tmp.path / ("dumps" + tag);
		start({port.string()});
		device cut(tmp.path, "cut" + tag, port, {"--scenario", "small", "--unplug-after", "140000"});
		cut.finish();
		cut.remove_link();
		ASSERT_TRUE(wait_for([&] { return count_of(tool->out(), ": failed, ") == 1; }, 10s)) << output();
		std::vector<fs::path> before = dump_dirs(root);
		ASSERT_EQ(before.size(), 1u) << output();
		if (c.restart) {
			tool->signal(SIGTERM);
			ASSERT_EQ(tool->wait(10s), 0) << output();
			start({port.string()});
		}

		device back(tmp.path, "back" + tag, port,
			    {"--scenario", c.scenario, "--crash", std::to_string(c.crash)});
		std::string s2 = back.finish();
		ASSERT_TRUE(wait_for([&] { return count_of(tool->out(), ": complete, ") == 1; }, 10s)) << output();
		EXPECT_NE(s2.find(" 1 reset(s)"), std::string::npos) << s2;
		std::vector<fs::path> dirs = dump_dirs(root);
		if (c.continued) {
			ASSERT_EQ(dirs.size(), 1u) << output();
			expect_rest_read(s2, small_rest);
			expect_complete_dump(dirs[0], "small");
		} else {
			ASSERT_EQ(dirs.size(), 2u) << output();
			EXPECT_EQ(output().find("continuing the dump cut short"), std::string::npos) << output();
			expect_complete_dump(dirs[0] == before[0] ? dirs[1] : dirs[0], c.scenario, c.crash);
			// The dump cut short holds the first device's bytes only.
			EXPECT_TRUE(read_file((before[0] / "OCIMEM.BIN").string()) == first[0].bytes);
			std::vector<uint8_t> edge = read_file((before[0] / "DDR_EDGE.BIN").string());
			EXPECT_TRUE(!edge.empty() && edge.size() < first[1].bytes.size() &&
				    std::equal(edge.begin(), edge.end(), first[1].bytes.begin()));
			EXPECT_TRUE(fs::exists(before[0] / ".duruvev-resume"));
			if (c.crash) {
				EXPECT_NE(output().find("\"OCIMEM.BIN\" in \"" + before[0].string() +
							"\" is not the device's memory"),
					  std::string::npos)
					<< output();
			}
		}
		tool->signal(SIGTERM);
		EXPECT_EQ(tool->wait(10s), 0) << output();
	}
}

// The UTC stamp collection puts into directory names, secs from now.
std::string utc_stamp_in(int secs)
{
	time_t t = time(nullptr) + secs;
	struct tm tm;
	gmtime_r(&t, &tm);
	char buf[32];
	strftime(buf, sizeof(buf), "%Y%m%dT%H%M%SZ", &tm);
	return buf;
}

// Everything below dir, with the bytes of each file, to tell whether
// anything there changed.
std::map<std::string, std::vector<uint8_t>> tree_of(const fs::path &dir)
{
	std::map<std::string, std::vector<uint8_t>> t;
	for (const auto &e : fs::recursive_directory_iterator(dir))
		t[e.path().string()] = e.is_regular_file() ? read_file(e.path().string()) : std::vector<uint8_t>{};
	return t;
}

// One hostile device, or a hostile neighbour in ROOT, against collection.
struct hostile_run {
	temp_dir tmp;
	fs::path root, port, outside;
	std::unique_ptr<background> tool, tool2;
	std::unique_ptr<device> dev, dev2;
	std::unique_ptr<small_fs_mount> small;
	std::map<std::string, std::vector<uint8_t>> outside_before;
	std::string out() const { return tool->out(); }
	std::string all() const { return tool->out() + tool->err(); }
	// Ends collection with sig; its exit code, and the time it took.
	std::pair<int, std::chrono::milliseconds> stop(int sig)
	{
		auto asked = std::chrono::steady_clock::now();
		tool->signal(sig);
		int code = tool->wait(10s);
		return {code, std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
										       asked)};
	}
};

std::unique_ptr<background> collector(hostile_run &h, const fs::path &port, const std::string &tag, bool out = true,
				      const std::vector<std::string> &extra = {})
{
	std::vector<std::string> argv = {DURUVEV_BIN, "--collect", "-o", h.root.string(), "-S", port.string()};
	argv.insert(argv.end(), extra.begin(), extra.end());
	auto tool = std::make_unique<background>(argv, out ? h.tmp.path / (tag + ".out") : fs::path(),
						 h.tmp.path / (tag + ".err"));
	EXPECT_TRUE(wait_for([&] { return fs::exists(h.root); }, 10s));
	// ROOT is open (and any hand-offs taken up) once it says it watches;
	// a slow start under load must not meet what the row does next.
	if (out) {
		EXPECT_TRUE(wait_for([&] { return tool->out().find("Collecting: watching") != std::string::npos; }, 30s));
	}
	// The first scan has looked.
	std::this_thread::sleep_for(300ms);
	return tool;
}

std::vector<fs::path> dirs_named(const fs::path &root, const std::string &prefix)
{
	std::vector<fs::path> d;
	for (const fs::path &p : dump_dirs(root))
		if (p.filename().string().rfind(prefix, 0) == 0 && !fs::is_symlink(p))
			d.push_back(p);
	return d;
}

size_t lines_of(const std::string &text)
{
	return count_of(text, "\n");
}

// Each row: the device's behaviour, what the neighbour does, and what must
// hold. For every row: nothing outside ROOT changes, the output stays under
// a few hundred lines, and the device is reset only after a complete dump.
TEST(collect_hostile, nothing_fools_collection)
{
	struct row {
		const char *name;
		std::vector<std::string> emu;
		std::function<void(hostile_run &)> setup; // collection and the device started, and whatever else
		std::function<void(hostile_run &)> check;
	};
	auto plain = [](hostile_run &h, const std::vector<std::string> &emu) {
		h.tool = collector(h, h.port, "collect");
		h.dev = std::make_unique<device>(h.tmp.path, "emu", h.port, emu);
	};
	// Ended by a signal in the middle of a dump: at once, exit 2, no reset.
	auto stopped_within_a_second = [](hostile_run &h, int sig) {
		auto [code, took] = h.stop(sig);
		EXPECT_EQ(code, 2) << h.all();
		EXPECT_LT(took, 1000ms) << h.all();
		EXPECT_NE(h.out().find(": stopped, "), std::string::npos) << h.all();
	};
	const row rows[] = {
		{"a link at the next directory names",
		 {"--scenario", "small"},
		 [&](hostile_run &h) {
			 for (int s = 0; s < 15; s++)
				 fs::create_directory_symlink(h.outside, h.root / ("edl0-" + utc_stamp_in(s)));
			 plain(h, {"--scenario", "small"});
		 },
		 [](hostile_run &h) {
			 ASSERT_TRUE(wait_for([&] { return count_of(h.out(), ": complete, ") == 1; }, 20s)) << h.all();
			 std::vector<fs::path> d = dirs_named(h.root, "edl0-");
			 ASSERT_EQ(d.size(), 1u) << h.all();
			 EXPECT_NE(d[0].filename().string().find("Z-"), std::string::npos) << d[0];
			 expect_complete_dump(d[0], "small");
			 EXPECT_NE(h.out().find("dump \"" + d[0].string() + "\": complete"), std::string::npos) << h.all();
		 }},
		{"a link planted inside the new dump directory",
		 {"--scenario", "small", "--max-transfer", "4096", "--transfer-gap", "5"},
		 [&](hostile_run &h) {
			 plain(h, {"--scenario", "small", "--max-transfer", "4096", "--transfer-gap", "5"});
			 ASSERT_TRUE(wait_for([&] { return !dirs_named(h.root, "edl0-").empty(); }, 20s)) << h.all();
			 fs::create_symlink(h.outside / "victim", dirs_named(h.root, "edl0-")[0] / "CODERAM.BIN");
		 },
		 [](hostile_run &h) {
			 ASSERT_TRUE(wait_for([&] { return count_of(h.out(), ": failed, ") == 1; }, 30s)) << h.all();
			 EXPECT_NE(h.all().find("failed to open \"CODERAM.BIN\""), std::string::npos) << h.all();
		 }},
		{"two collectors on one ROOT, ports with one last name",
		 {"--scenario", "crash"},
		 [&](hostile_run &h) {
			 fs::create_directories(h.tmp.path / "rack1");
			 fs::create_directories(h.tmp.path / "rack2");
			 h.port = h.tmp.path / "rack1" / "edl";
			 fs::path port2 = h.tmp.path / "rack2" / "edl";
			 h.dev = std::make_unique<device>(h.tmp.path, "emu", h.port, std::vector<std::string>{"--scenario", "crash"});
			 h.dev2 = std::make_unique<device>(h.tmp.path, "emu2", port2, std::vector<std::string>{"--scenario", "crash"});
			 h.tool = collector(h, h.port, "collect");
			 h.tool2 = collector(h, port2, "collect2");
		 },
		 [](hostile_run &h) {
			 ASSERT_TRUE(wait_for([&] { return count_of(h.out(), ": complete, ") == 1 &&
							   count_of(h.tool2->out(), ": complete, ") == 1; },
					      30s))
				 << h.all() << h.tool2->out();
			 std::vector<fs::path> d = dirs_named(h.root, "edl-");
			 ASSERT_EQ(d.size(), 2u);
			 expect_complete_dump(d[0], "crash");
			 expect_complete_dump(d[1], "crash");
			 EXPECT_NE(h.dev2->finish().find(" 1 reset(s)"), std::string::npos);
			 EXPECT_EQ(h.tool2->wait(0ms), -1) << "the second collector ended";
			 h.tool2->signal(SIGTERM);
			 EXPECT_EQ(h.tool2->wait(10s), 0);
		 }},
		{"links at the names of the pending hand-offs list",
		 {"--scenario", "small"},
		 [&](hostile_run &h) {
			 fs::create_symlink(h.outside / "victim", h.root / ".duruvev-pending.new");
			 fs::create_symlink(h.outside / "SHA256SUMS", h.root / ".duruvev-pending");
			 h.tool = collector(h, h.port, "collect", true, {"--then", "true"});
			 h.dev = std::make_unique<device>(h.tmp.path, "emu", h.port, std::vector<std::string>{"--scenario", "small"});
		 },
		 [](hostile_run &h) {
			 ASSERT_TRUE(wait_for([&] { return count_of(h.out(), "\": done (") == 1; }, 20s)) << h.all();
			 EXPECT_FALSE(fs::is_symlink(h.root / ".duruvev-pending"));
			 EXPECT_EQ(h.all().find("cannot record the pending hand-offs"), std::string::npos) << h.all();
		 }},
		// The kernel's log is read in the dump directory opened, too.
		{"ROOT swapped for a link",
		 {"--scenario", "crash"},
		 [&](hostile_run &h) {
			 h.tool = collector(h, h.port, "collect", true,
					    {"--then", "echo \"$1\" >> '" + (h.tmp.path / "told").string() + "'; true"});
			 fs::rename(h.root, h.tmp.path / "opened");
			 fs::create_directory_symlink(h.outside, h.root);
			 std::this_thread::sleep_for(400ms);
			 h.dev = std::make_unique<device>(h.tmp.path, "emu", h.port, std::vector<std::string>{"--scenario", "crash"});
		 },
		 [](hostile_run &h) {
			 ASSERT_TRUE(wait_for([&] { return count_of(h.out(), ": complete, ") == 1; }, 20s)) << h.all();
			 EXPECT_EQ(count_of(h.all(), "is no longer the directory collection opened"), 1u) << h.all();
			 std::vector<fs::path> d = dirs_named(h.tmp.path / "opened", "edl0-");
			 ASSERT_EQ(d.size(), 1u);
			 expect_complete_dump(d[0], "crash");
			 EXPECT_NE(h.out().find("Last kernel line: "), std::string::npos) << h.all();
			 // Its end line tells what crashed, as the record does.
			 EXPECT_NE(h.out().find("; crash: BUG: unable to handle kernel NULL pointer dereference in "
						"ufshcd_queuecommand\n"),
				   std::string::npos)
				 << h.all();
			 // The end line names where the dump really is, and so does
			 // the hand-off: never what the old path leads to now.
			 EXPECT_NE(h.out().find("dump \"" + d[0].string() + "\": complete"), std::string::npos) << h.all();
			 ASSERT_TRUE(wait_for([&] { return count_of(h.out(), "\": done (") == 1; }, 10s)) << h.all();
			 EXPECT_EQ(slurp(h.tmp.path / "told"), d[0].string() + "\n");
		 }},
		{"a core header that makes the core as large as the regions, on a small disk",
		 {"--scenario", "fat-kelf"},
		 [&](hostile_run &h) {
			 h.small = std::make_unique<small_fs_mount>(h.tmp.path / "small", "3m");
			 if (!h.small->mounted)
				 return;
			 h.root = h.tmp.path / "small" / "dumps";
			 plain(h, {"--scenario", "fat-kelf"});
		 },
		 [](hostile_run &h) {
			 if (!h.small->mounted)
				 GTEST_SKIP() << "mounting a small tmpfs needs root";
			 ASSERT_TRUE(wait_for([&] { return count_of(h.out(), ": failed, ") == 1; }, 20s)) << h.all();
			 std::vector<fs::path> d = dirs_named(h.root, "edl0-");
			 ASSERT_EQ(d.size(), 1u);
			 // Refused before a byte of it was written, not cut short by
			 // a full disk.
			 EXPECT_NE(h.all().find("no core written"), std::string::npos) << h.all();
			 EXPECT_EQ(h.all().find("No space left"), std::string::npos) << h.all();
			 EXPECT_FALSE(fs::exists(d[0] / "minidump.elf"));
			 EXPECT_TRUE(fs::exists(d[0] / "DDR.BIN"));
		 }},
		{"a table one byte every 900 ms",
		 {"--scenario", "small", "--trickle", "table:900"},
		 [&](hostile_run &h) {
			 plain(h, {"--scenario", "small", "--trickle", "table:900"});
			 std::this_thread::sleep_for(2500ms);
		 },
		 [&](hostile_run &h) { stopped_within_a_second(h, SIGTERM); }},
		{"a HELLO one byte every 900 ms",
		 {"--scenario", "small", "--trickle", "hello:900"},
		 [&](hostile_run &h) {
			 plain(h, {"--scenario", "small", "--trickle", "hello:900"});
			 std::this_thread::sleep_for(2500ms);
		 },
		 [&](hostile_run &h) { stopped_within_a_second(h, SIGTERM); }},
		{"HELLO after every HELLO_RESP",
		 {"--scenario", "small", "--hello-storm"},
		 [&](hostile_run &h) { plain(h, {"--scenario", "small", "--hello-storm"}); },
		 [](hostile_run &h) {
			 ASSERT_TRUE(wait_for([&] { return count_of(h.out(), ": failed, ") == 1; }, 10s)) << h.all();
			 EXPECT_EQ(count_of(h.all(), "times without going on"), 1u) << h.all();
		 }},
		{"unknown packets without end",
		 {"--scenario", "small", "--unknown-flood", "--transfer-gap", "20"},
		 [&](hostile_run &h) {
			 plain(h, {"--scenario", "small", "--unknown-flood", "--transfer-gap", "20"});
			 std::this_thread::sleep_for(3s);
		 },
		 [&](hostile_run &h) {
			 stopped_within_a_second(h, SIGTERM);
			 // Three packets of three lines each, under the device's
			 // prefix, and one line for the rest.
			 EXPECT_EQ(count_of(h.out(), "[edl0] CMD77 "), 9u) << h.all();
			 EXPECT_EQ(count_of(h.all(), "more unknown packets were not shown"), 1u) << h.all();
			 EXPECT_EQ(h.all().find('\x1b'), std::string::npos);
		 }},
		{"SIGHUP during a dump",
		 {"--scenario", "small", "--max-transfer", "4096", "--transfer-gap", "5"},
		 [&](hostile_run &h) {
			 plain(h, {"--scenario", "small", "--max-transfer", "4096", "--transfer-gap", "5"});
			 ASSERT_TRUE(wait_for([&] { auto d = dirs_named(h.root, "edl0-");
						     return !d.empty() && fs::exists(d[0] / "DDR_EDGE.BIN"); },
					      20s));
		 },
		 [&](hostile_run &h) {
			 stopped_within_a_second(h, SIGHUP);
			 fs::path d = dirs_named(h.root, "edl0-")[0];
			 uint64_t kept = fs::file_size(d / "OCIMEM.BIN") + fs::file_size(d / "DDR_EDGE.BIN");
			 EXPECT_NE(h.out().find(": stopped, " + std::to_string(kept) + " bytes"), std::string::npos)
				 << kept << "\n" << h.all();
		 }},
		{"standard output closed",
		 {"--scenario", "small"},
		 [&](hostile_run &h) {
			 h.tool = collector(h, h.port, "collect", false);
			 h.dev = std::make_unique<device>(h.tmp.path, "emu", h.port, std::vector<std::string>{"--scenario", "small"});
		 },
		 [](hostile_run &h) {
			 EXPECT_NE(h.dev->finish().find(" 1 reset(s)"), std::string::npos);
			 std::vector<fs::path> d = dirs_named(h.root, "edl0-");
			 ASSERT_EQ(d.size(), 1u);
			 expect_complete_dump(d[0], "small");
			 EXPECT_TRUE(h.tool->running()) << h.all();
		 }},
	};
	for (const row &r : rows) {
		SCOPED_TRACE(r.name);
		hostile_run h;
		h.root = h.tmp.path / "dumps";
		h.port = h.tmp.path / "edl0";
		h.outside = h.tmp.path / "outside";
		fs::create_directories(h.root);
		fs::create_directories(h.outside);
		// What a misled dump would overwrite or remove.
		for (const char *name : {"OCIMEM.BIN", "CODERAM.BIN", "SHA256SUMS", "victim"}) {
			std::ofstream f(h.outside / name);
			f << "not a dump\n";
		}
		h.outside_before = tree_of(h.outside);
		r.setup(h);
		if (!h.tool)
			continue;
		r.check(h);
		if (h.tool->running()) {
			h.tool->signal(SIGTERM);
			h.tool->wait(10s);
		}
		EXPECT_TRUE(tree_of(h.outside) == h.outside_before) << "a byte landed outside ROOT";
		EXPECT_LT(lines_of(h.all()), 300u);
		bool complete = h.out().find(": complete, ") != std::string::npos;
		if (h.dev && h.dev->emu->running())
			h.dev->emu->signal(SIGTERM);
		// (Without output, the row itself checks the device.)
		if (h.dev && !h.tool->out().empty()) {
			EXPECT_EQ(h.dev->finish().find(" 1 reset(s)") != std::string::npos, complete) << h.all();
		}
	}
}

} // namespace

namespace {

const std::string rclone_bin = "/usr/bin/rclone";
const std::string upload_script = DURUVEV_SOURCE_DIR "/scripts/duruvev-upload";

int free_port()
{
	int s = socket(AF_INET, SOCK_STREAM, 0);
	sockaddr_in a{};
	a.sin_family = AF_INET;
	a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
	socklen_t len = sizeof(a);
	EXPECT_EQ(bind(s, reinterpret_cast<sockaddr *>(&a), sizeof(a)), 0);
	EXPECT_EQ(getsockname(s, reinterpret_cast<sockaddr *>(&a), &len), 0);
	close(s);
	return ntohs(a.sin_port);
}

bool port_open(int port)
{
	int s = socket(AF_INET, SOCK_STREAM, 0);
	sockaddr_in a{};
	a.sin_family = AF_INET;
	a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
	a.sin_port = htons(static_cast<uint16_t>(port));
	bool ok = connect(s, reinterpret_cast<sockaddr *>(&a), sizeof(a)) == 0;
	close(s);
	return ok;
}

// A WebDAV store served by rclone from a directory, down until up() is
// called; the rclone remote "lab" names it through the environment, which
// collection and its hand-offs inherit.
struct webdav_store {
	fs::path tmp, dir;
	int port = free_port();
	std::unique_ptr<background> server;

	explicit webdav_store(const fs::path &t) : tmp(t), dir(t / "store")
	{
		fs::create_directories(dir);
		std::ofstream(tmp / "rclone.conf").close();
		setenv("RCLONE_CONFIG", (tmp / "rclone.conf").c_str(), 1);
		setenv("RCLONE_CONFIG_LAB_TYPE", "webdav", 1);
		setenv("RCLONE_CONFIG_LAB_URL", ("http://127.0.0.1:" + std::to_string(port)).c_str(), 1);
		// A store that is down fails an attempt at once.
		setenv("RCLONE_RETRIES", "1", 1);
		setenv("RCLONE_LOW_LEVEL_RETRIES", "1", 1);
	}
	void up()
	{
		// No listing cache: what a check reads is what the directory holds.
		server = std::make_unique<background>(
			std::vector<std::string>{rclone_bin, "serve", "webdav", "--addr",
						 "127.0.0.1:" + std::to_string(port), "--dir-cache-time", "0s",
						 dir.string()},
			tmp / "store.out", tmp / "store.err");
		ASSERT_TRUE(wait_for([&] { return port_open(port); }, 10s)) << server->err();
	}
	fs::path copy_of(const fs::path &local) const { return dir / "crashes" / local.filename(); }
};

std::string upload_to_lab(bool remove_local)
{
	return "'" + upload_script + "'" + (remove_local ? " --remove-local" : "") + " lab:crashes";
}

// The directories that ROOT's hand-off list names in state ("pending" or
// "done"), as often as it names them.
std::multiset<std::string> listed(const fs::path &root, const std::string &state)
{
	std::multiset<std::string> names;
	std::istringstream text(slurp(root / ".duruvev-pending"));
	for (std::string line; std::getline(text, line);) {
		std::vector<std::string> f;
		std::istringstream fields(line);
		for (std::string field; std::getline(fields, field, '\t');)
			f.push_back(field);
		if (f.size() >= 3 && f[0] == state)
			names.insert(f[2]);
	}
	return names;
}

std::multiset<std::string> names_of(const std::vector<fs::path> &dirs)
{
	std::multiset<std::string> names;
	for (const fs::path &d : dirs)
		names.insert(d.filename().string());
	return names;
}

struct handoff_fixture : collect_fixture {
	std::unique_ptr<webdav_store> store;
	void SetUp() override
	{
		if (access(rclone_bin.c_str(), X_OK) != 0)
			GTEST_SKIP() << "rclone is not installed";
		store = std::make_unique<webdav_store>(tmp.path);
		setenv("DURUVEV_HANDOFF_PAUSE_MS", "400", 1);
	}
	size_t done() const { return count_of(tool->out(), "\": done (attempt "); }
	size_t failed() const { return count_of(tool->out(), "\": failed ("); }
	// Another collector on the same ROOT, its output under name.
	std::unique_ptr<background> collector(const std::string &name, const std::vector<std::string> &ports,
					      const std::vector<std::string> &more)
	{
		std::vector<std::string> argv = {DURUVEV_BIN, "--collect", "-o", root.string()};
		for (const auto &p : ports)
			argv.insert(argv.end(), {"-S", p});
		argv.insert(argv.end(), more.begin(), more.end());
		return std::make_unique<background>(argv, tmp.path / (name + ".out"), tmp.path / (name + ".err"));
	}
	// A hand-off command that appends the directory to the file record,
	// and takes long enough for two at once to overlap.
	std::string recorder(const fs::path &record) const
	{
		return "echo \"start $1\" >> '" + record.string() + "'; sleep 1; echo \"end $1\" >> '" +
		       record.string() + "'; :";
	}
};

// A dump directory as a complete dump leaves it, made by hand.
void fake_complete_dump(const fs::path &dir)
{
	fs::create_directories(dir);
	std::ofstream(dir / "A.BIN") << "region\n";
	ASSERT_EQ(system(("cd '" + dir.string() + "' && sha256sum A.BIN > SHA256SUMS").c_str()), 0);
}

TEST_F(handoff_fixture, two_devices_at_once_arrive_in_the_store_intact)
{
	store->up();
	fs::path a = tmp.path / "edlA", b = tmp.path / "edlB";
	device one(tmp.path, "emuA", a, {"--scenario", "crash"});
	device two(tmp.path, "emuB", b, {"--scenario", "crash"});
	// rclone's own retries, as installed: a store busy for a moment (two
	// uploads creating the same parent at once) is its to ride out.
	unsetenv("RCLONE_RETRIES");
	unsetenv("RCLONE_LOW_LEVEL_RETRIES");
	start({a.string(), b.string()}, {"--then", upload_to_lab(false)});
	one.finish();
	two.finish();
	// Two uploads on a loaded machine can take half a minute; the bound only
	// keeps a lost hand-off from hanging the run.
	ASSERT_TRUE(wait_for([&] { return done() == 2; }, 45s)) << output();

	std::vector<fs::path> dirs = dump_dirs(root);
	ASSERT_EQ(dirs.size(), 2u) << output();
	for (const fs::path &d : dirs) {
		// Byte for byte what the device holds, locally and in the store.
		expect_complete_dump(d, "crash");
		expect_complete_dump(store->copy_of(d), "crash");
		EXPECT_TRUE(sums_verify(store->copy_of(d))) << d;
		// Handed off exactly once each.
		EXPECT_EQ(count_of(tool->out(), "hand-off of \"" + d.string() + "\": done ("), 1u) << output();
	}
	// Nothing is left pending; both are recorded as done.
	EXPECT_TRUE(listed(root, "pending").empty()) << slurp(root / ".duruvev-pending");
	EXPECT_EQ(listed(root, "done"), names_of(dirs)) << slurp(root / ".duruvev-pending");
	tool->signal(SIGTERM);
	EXPECT_EQ(tool->wait(10s), 0) << output();
}

// A dump run by hand continues only on request, and only the dump of the
// same table.
struct one_shot_resume : ::testing::Test {
	temp_dir tmp;
	fs::path out = tmp.path / "dump";
	int code = -1;
	// Dumps scenario into out, cut after cut bytes of region data when
	// cut is not empty; its output.
	std::string dump(const std::string &scenario, bool resume, const std::string &cut = "",
			 const std::vector<std::string> &emu = {})
	{
		std::vector<std::string> argv = {DURUVEV_EMU_BIN, "--time-limit", "60", "--scenario", scenario};
		if (!cut.empty())
			argv.insert(argv.end(), {"--unplug-after", cut});
		argv.insert(argv.end(), emu.begin(), emu.end());
		argv.insert(argv.end(), {"--", DURUVEV_BIN, "-S", "{pty}", "-o", out.string()});
		if (resume)
			argv.push_back("--resume");
		background run(argv, tmp.path / "run.out", tmp.path / "run.err");
		code = run.wait(60s);
		return run.err() + run.out();
	}
};

TEST_F(one_shot_resume, continues_only_on_request_and_only_the_same_table)
{
	std::string first = dump("small", false, "140000");
	EXPECT_NE(code, 0) << first;
	ASSERT_TRUE(fs::exists(out / "OCIMEM.BIN"));

	// Another table in the directory: nothing is read, the device keeps its crash.
	std::string other = dump("crash", true);
	EXPECT_EQ(code, 1) << other;
	EXPECT_NE(other.find("holds a dump cut short of another memory table"), std::string::npos) << other;
	EXPECT_NE(other.find(" 0 reset(s)"), std::string::npos) << other;
	EXPECT_EQ(region_bytes_sent(other), 0u) << other;

	std::string again = dump("small", true);
	EXPECT_EQ(code, 0) << again;
	expect_rest_read(again, small_rest);
	expect_complete_dump(out, "small");
	EXPECT_TRUE(sums_verify(out));
}

// Continuing never costs a byte already saved: a partial region file gives
// way only to a read that holds more of the region, and a kept region whose
// file no longer matches its recorded digest is read again.
TEST_F(one_shot_resume, partial_files_only_grow_and_kept_files_are_checked)
{
	emu_config cfg;
	ASSERT_TRUE(emu_scenario("small", cfg));
	const std::vector<uint8_t> edge = emu_expected_regions(emu_model(cfg))[1].bytes;
	auto edge_file = [&] { return read_file((out / "DDR_EDGE.BIN").string()); };
	auto is_prefix = [&](const std::vector<uint8_t> &part) {
		return part.size() < edge.size() && std::equal(part.begin(), part.end(), edge.begin());
	};

	std::string first = dump("small", false, "140000");
	ASSERT_NE(code, 0) << first;
	std::vector<uint8_t> before = edge_file();
	ASSERT_TRUE(is_prefix(before)) << before.size();
	ASSERT_GT(before.size(), 50000u);

	// Cut again, sooner into the region: the earlier partial file stays.
	std::string shorter = dump("small", true, "50000");
	EXPECT_NE(code, 0) << shorter;
	EXPECT_TRUE(edge_file() == before) << edge_file().size();
	EXPECT_FALSE(fs::exists(out / ".duruvev-part"));

	// Cut later: the longer read takes the partial file's place. The
	// device's 300000 bytes include the samples of what was kept.
	std::string longer = dump("small", true, "300000");
	EXPECT_NE(code, 0) << longer;
	std::vector<uint8_t> grown = edge_file();
	EXPECT_TRUE(is_prefix(grown) && grown.size() > 300000 - small_whole / 50) << grown.size();

	// A kept region changed on disk since it was recorded is read again.
	{
		std::fstream f(out / "OCIMEM.BIN", std::ios::in | std::ios::out | std::ios::binary);
		f.seekg(1000);
		char c = static_cast<char>(f.get());
		f.seekp(1000);
		f.put(static_cast<char>(~c));
	}
	std::string last = dump("small", true);
	EXPECT_EQ(code, 0) << last;
	expect_rest_read(last, small_whole);
	expect_complete_dump(out, "small");
	EXPECT_TRUE(sums_verify(out));
}

// One line of text holds every part.
bool line_with(const std::string &text, const std::vector<std::string> &parts)
{
	std::istringstream in(text);
	for (std::string line; std::getline(in, line);)
		if (std::all_of(parts.begin(), parts.end(),
				[&](const std::string &p) { return line.find(p) != std::string::npos; }))
			return true;
	return false;
}

// Every entry of a directory: a file's bytes, a link's target.
std::map<std::string, std::string> snapshot(const fs::path &dir)
{
	std::map<std::string, std::string> entries;
	for (const auto &e : fs::directory_iterator(dir)) {
		std::string name = e.path().filename().string();
		if (e.is_symlink())
			entries[name] = "-> " + fs::read_symlink(e.path()).string();
		else if (e.is_regular_file()) {
			std::vector<uint8_t> b = read_file(e.path().string());
			entries[name] = std::string(b.begin(), b.end());
		} else
			entries[name] = "(other)";
	}
	return entries;
}

void make_fifo(const fs::path &at)
{
	fs::remove(at);
	ASSERT_EQ(mkfifo(at.c_str(), 0644), 0) << at;
}

// What the directory of a dump cut short is continued with by hand: another
// crash or table is refused with the directory left as it was; a planted
// file that is no regular file of the directory is not kept, and is read
// again; a record that is not trusted keeps nothing.
TEST_F(one_shot_resume, continues_only_the_same_crash_through_its_own_files)
{
	struct row {
		const char *name;
		const char *scenario; // of the device that comes back
		std::vector<std::string> emu;
		std::function<void(const fs::path &dir, const fs::path &elsewhere)> plant;
		bool continued; // else refused
		std::vector<std::string> says; // in one line of the second run
		bool read_again = false; // OCIMEM, whole before, is read again
	};
	const row rows[] = {
		{"the same crash", "small", {}, nullptr, true, {"OCIMEM.BIN kept from the earlier run"}},
		{"another crash", "small", {"--crash", "1"}, nullptr, false,
		 {"\"OCIMEM.BIN\" in", "is not the device's memory"}},
		{"another table of as many regions", "small-moved", {}, nullptr, false, {"another memory table"}},
		{"a kept file that is a FIFO", "small", {},
		 [](const fs::path &dir, const fs::path &) { make_fifo(dir / "OCIMEM.BIN"); }, true,
		 {"\"OCIMEM.BIN\" is not a regular file", "read again"}, true},
		{"a kept file linked outside", "small", {},
		 [](const fs::path &dir, const fs::path &elsewhere) {
			 fs::rename(dir / "OCIMEM.BIN", elsewhere / "OCIMEM.BIN");
			 fs::create_symlink(elsewhere / "OCIMEM.BIN", dir / "OCIMEM.BIN");
		 },
		 true, {"\"OCIMEM.BIN\" is not a regular file", "read again"}, true},
		{"a record that is a FIFO", "small", {},
		 [](const fs::path &dir, const fs::path &) { make_fifo(dir / ".duruvev-resume"); }, true,
		 {"OCIMEM.BIN dumped successfully"}, true},
		{"a record that repeats a line", "small", {},
		 [](const fs::path &dir, const fs::path &) {
			 std::string rec = slurp(dir / ".duruvev-resume");
			 std::string last = rec.substr(rec.rfind('\n', rec.size() - 2) + 1);
			 std::ofstream(dir / ".duruvev-resume", std::ios::app) << last;
		 },
		 true, {"repeats or contradicts itself"}, true},
	};
	for (const row &c : rows) {
		SCOPED_TRACE(c.name);
		fs::remove_all(out);
		temp_dir aside;
		std::string first = dump("small", false, "140000");
		ASSERT_NE(code, 0) << first;
		if (c.plant)
			c.plant(out, aside.path);
		std::map<std::string, std::string> before = snapshot(out), outside = snapshot(aside.path);

		std::string second = dump(c.scenario, true, "", c.emu);
		EXPECT_TRUE(line_with(second, c.says)) << second;
		EXPECT_EQ(snapshot(aside.path), outside);
		if (!c.continued) {
			EXPECT_EQ(code, 1) << second;
			EXPECT_NE(second.find(" 0 reset(s)"), std::string::npos) << second;
			EXPECT_TRUE(snapshot(out) == before) << "the directory was written to";
			continue;
		}
		EXPECT_EQ(code, 0) << second;
		EXPECT_EQ(second.find("OCIMEM.BIN dumped successfully") != std::string::npos, c.read_again) << second;
		expect_complete_dump(out, "small");
		EXPECT_FALSE(fs::is_symlink(out / "OCIMEM.BIN"));
		EXPECT_TRUE(sums_verify(out));
	}
}

// The space a dump continued needs is what is still to be written: a disk
// that holds the rest, but not a whole dump beside the part already saved,
// takes it.
TEST_F(one_shot_resume, needs_only_the_space_of_what_is_left)
{
	// small after a cut at 140000: about 144 KiB on the disk; a whole dump
	// claims about 602 KiB, the rest about 554 KiB. 736 KiB lies between.
	small_fs_mount disk(tmp.path / "disk", "736k");
	if (!disk.mounted)
		GTEST_SKIP() << "mounting a tmpfs needs root";
	out = disk.path / "dump";
	std::string first = dump("small", false, "140000");
	ASSERT_NE(code, 0) << first;
	ASSERT_TRUE(fs::exists(out / "OCIMEM.BIN")) << first;
	std::string rest = dump("small", true);
	EXPECT_EQ(code, 0) << rest;
	expect_rest_read(rest, small_rest);
	expect_complete_dump(out, "small");
}

TEST_F(handoff_fixture, store_down_keeps_the_dumps_until_it_is_up)
{
	fs::path a = tmp.path / "edlA", b = tmp.path / "edlB";
	device one(tmp.path, "emuA", a, {"--scenario", "small"});
	device two(tmp.path, "emuB", b, {"--scenario", "small"});
	start({a.string(), b.string()}, {"--then", upload_to_lab(true)});
	one.finish();
	two.finish();
	// Two failed attempts each, one line per attempt, with growing pauses.
	ASSERT_TRUE(wait_for([&] { return failed() >= 4; }, 30s)) << output();
	std::string out = tool->out();
	EXPECT_NE(out.find("[edlA] hand-off of \""), std::string::npos) << output();
	EXPECT_NE(out.find("[edlB] hand-off of \""), std::string::npos) << output();
	EXPECT_NE(out.find("attempt 1; next in 0.4 s"), std::string::npos) << output();
	EXPECT_NE(out.find("attempt 2; next in 0.8 s"), std::string::npos) << output();
	EXPECT_EQ(done(), 0u) << output();
	std::vector<fs::path> dirs = dump_dirs(root);
	ASSERT_EQ(dirs.size(), 2u) << output();
	for (const fs::path &d : dirs)
		expect_complete_dump(d, "small");
	EXPECT_EQ(listed(root, "pending"), names_of(dirs)) << slurp(root / ".duruvev-pending");

	store->up();
	// The pause after a few failures is a few seconds.
	ASSERT_TRUE(wait_for([&] { return done() == 2; }, 20s)) << output();
	EXPECT_TRUE(dump_dirs(root).empty()) << "--remove-local kept a verified dump";
	for (const fs::path &d : dirs) {
		expect_complete_dump(store->copy_of(d), "small");
		EXPECT_TRUE(sums_verify(store->copy_of(d))) << d;
	}
	// Removed once handed off: nothing is left to record.
	EXPECT_TRUE(listed(root, "pending").empty()) << slurp(root / ".duruvev-pending");
	EXPECT_TRUE(listed(root, "done").empty()) << slurp(root / ".duruvev-pending");
	tool->signal(SIGTERM);
	EXPECT_EQ(tool->wait(10s), 0) << output();
}

TEST_F(handoff_fixture, pending_hand_off_is_taken_up_once_after_a_restart)
{
	store->up();
	fs::path port = tmp.path / "edl0";
	// A hand-off that hangs: ended at its time limit, tried again, and
	// stopped with collection while it runs.
	start({port.string()}, {"--then", "sleep 30; :", "--then-limit", "1"});
	device dev(tmp.path, "emu", port, {"--scenario", "small"});
	dev.finish();
	ASSERT_TRUE(wait_for([&] { return count_of(tool->out(), "(still running after 1 s, ended), attempt 1;") == 1; },
			     20s))
		<< output();
	ASSERT_TRUE(wait_for([&] { return failed() == 1 && tool->out().find("attempt 1; next in 0.4 s") != std::string::npos; }, 5s));
	std::this_thread::sleep_for(600ms); // the second attempt is running now
	auto asked = std::chrono::steady_clock::now();
	tool->signal(SIGTERM);
	EXPECT_EQ(tool->wait(10s), 0) << output();
	EXPECT_LT(std::chrono::steady_clock::now() - asked, 2s) << "a hand-off held up the stop";
	EXPECT_EQ(count_of(tool->out(), "\": stopped; it stays pending"), 1u) << output();
	std::vector<fs::path> dirs = dump_dirs(root);
	ASSERT_EQ(dirs.size(), 1u);
	EXPECT_EQ(listed(root, "pending"), names_of(dirs)) << slurp(root / ".duruvev-pending");
	EXPECT_NE(slurp(root / ".duruvev-pending").find(dirs[0].filename().string() + "\tedl0\t" + port.string() + "\n"),
		  std::string::npos);

	dev.remove_link();
	start({port.string()}, {"--then", upload_to_lab(false)});
	ASSERT_TRUE(wait_for([&] { return done() == 1; }, 20s)) << output();
	EXPECT_NE(tool->out().find("Collecting: 1 hand-off pending from an earlier run"), std::string::npos) << output();
	std::this_thread::sleep_for(1500ms);
	// Handed off once: one attempt, nothing left to try.
	EXPECT_EQ(count_of(tool->out(), "hand-off of \""), 1u) << output();
	EXPECT_TRUE(listed(root, "pending").empty()) << slurp(root / ".duruvev-pending");
	EXPECT_EQ(listed(root, "done"), names_of(dirs)) << slurp(root / ".duruvev-pending");
	expect_complete_dump(store->copy_of(dirs[0]), "small");
	EXPECT_EQ(dump_dirs(store->dir / "crashes").size(), 1u);
	tool->signal(SIGTERM);
	EXPECT_EQ(tool->wait(10s), 0) << output();
}

TEST_F(handoff_fixture, device_name_reaches_the_command_as_data)
{
	fs::path port = tmp.path / "$(touch pwned)";
	fs::path record = tmp.path / "record";
	// Run in tmp: a name spliced into the command would touch tmp/pwned.
	// The directory comes last too, as printf's last argument.
	std::string cmd = "cd '" + tmp.path.string() +
			  "' && printf '%s\\n' \"$#\" \"$1\" \"$DURUVEV_DUMP_DIR\" \"$DURUVEV_DUMP_NAME\" "
			  "\"$DURUVEV_DEVICE\" > record";
	start({port.string()}, {"--then", cmd});
	device dev(tmp.path, "emu", port, {"--scenario", "small"});
	dev.finish();
	ASSERT_TRUE(wait_for([&] { return done() == 1; }, 20s)) << output();
	std::vector<fs::path> dirs = dump_dirs(root);
	ASSERT_EQ(dirs.size(), 1u);
	EXPECT_EQ(dirs[0].filename().string().rfind("$(touch pwned)-", 0), 0u) << dirs[0];
	EXPECT_EQ(slurp(record), "1\n" + dirs[0].string() + "\n" + dirs[0].string() + "\n" +
					 dirs[0].filename().string() + "\n" + port.string() + "\n" + dirs[0].string() + "\n");
	EXPECT_FALSE(fs::exists(tmp.path / "pwned"));
	EXPECT_FALSE(fs::exists(fs::current_path() / "pwned"));
	tool->signal(SIGTERM);
	EXPECT_EQ(tool->wait(10s), 0) << output();
}

// The upload script alone, against the store: a copy damaged in the store
// after it was sent fails the check, and the local dump stays even with
// --remove-local; a clean upload then removes it, after its check.
TEST_F(handoff_fixture, upload_verifies_what_the_store_gives_back)
{
	store->up();
	fs::path dump = tmp.path / "local" / "dev1-20260101T000000Z";
	fs::create_directories(dump);
	std::string a(70000, '\0'), b = "second region\n";
	for (size_t i = 0; i < a.size(); i++)
		a[i] = static_cast<char>(i * 7 + 1);
	std::ofstream(dump / "A.BIN", std::ios::binary) << a;
	std::ofstream(dump / "B.BIN", std::ios::binary) << b;
	ASSERT_EQ(system(("cd '" + dump.string() + "' && sha256sum A.BIN B.BIN > SHA256SUMS").c_str()), 0);

	// rclone as usual, except that a byte of the stored A.BIN changes once
	// the copy is done.
	fs::path bin = tmp.path / "bin";
	fs::create_directories(bin);
	std::ofstream(bin / "rclone") << "#!/bin/sh\n"
				       << rclone_bin << " \"$@\" || exit\n"
				       << "[ \"$1\" = copy ] || exit 0\n"
				       << "printf Z | dd of='" << store->copy_of(dump).string()
				       << "/A.BIN' bs=1 seek=40000 conv=notrunc 2>/dev/null\n";
	fs::permissions(bin / "rclone", fs::perms::owner_all);
	std::string path = bin.string() + ":" + getenv("PATH");
	program_result r = run_program({upload_script, "--remove-local", "lab:crashes", dump.string()}, 60,
				       {"PATH=" + path});
	EXPECT_EQ(r.exit_code, 1) << r.err;
	EXPECT_NE(r.err.find("A.BIN"), std::string::npos) << r.err;
	EXPECT_EQ(r.err.find("B.BIN"), std::string::npos) << r.err;
	EXPECT_EQ(files_in(dump), (std::set<std::string>{"A.BIN", "B.BIN", "SHA256SUMS"}));
	EXPECT_FALSE(sums_verify(store->copy_of(dump)));

	// A dump without its SHA256SUMS is no complete dump: nothing is sent.
	fs::path partial = tmp.path / "local" / "dev2-20260101T000000Z";
	fs::create_directories(partial);
	std::ofstream(partial / "A.BIN") << "x";
	r = run_program({upload_script, "lab:crashes", partial.string()}, 60);
	EXPECT_EQ(r.exit_code, 1) << r.err;
	EXPECT_FALSE(fs::exists(store->copy_of(partial)));

	r = run_program({upload_script, "--remove-local", "lab:crashes", dump.string()}, 60);
	EXPECT_EQ(r.exit_code, 0) << r.err;
	EXPECT_FALSE(fs::exists(dump));
	EXPECT_TRUE(sums_verify(store->copy_of(dump)));
	EXPECT_TRUE(read_file((store->copy_of(dump) / "A.BIN").string()) == std::vector<uint8_t>(a.begin(), a.end()));
}

// Two collectors started at once on one ROOT that holds one dump waiting
// for its hand-off, however it waits: exactly one of them hands it off.
TEST_F(handoff_fixture, two_collectors_on_one_root_hand_a_pending_dump_off_once)
{
	const std::string name = "dev1-20260101T000000Z";
	struct row {
		const char *what;
		std::string list; // ROOT's list before the start; "" for none
		std::string kept; // a line the list must keep as it is
	};
	const row rows[] = {
		{"pending, its collector gone", "duruvev-pending 2\npending\t0badf00d\t" + name + "\tdev1\t/dev/x\n", ""},
		{"pending in the older format", name + "\tdev1\t/dev/x\n", ""},
		{"complete, named by no entry", "", ""},
		{"complete, its entry unreadable", "duruvev-pending 2\n" + name + " cut short by a hand edit\n",
		 name + " cut short by a hand edit"},
	};
	for (const row &r : rows) {
		SCOPED_TRACE(r.what);
		fs::remove_all(root);
		fake_complete_dump(root / name);
		if (!r.list.empty())
			std::ofstream(root / ".duruvev-pending") << r.list;
		fs::path rec = tmp.path / "record";
		fs::remove(rec);
		std::vector<std::string> args = {"--then", recorder(rec)};
		std::string n = std::to_string(&r - rows);
		auto a = collector("a" + n, {(tmp.path / "absent").string()}, args);
		auto b = collector("b" + n, {(tmp.path / "absent").string()}, args);
		auto all = [&] { return a->out() + a->err() + b->out() + b->err(); };
		ASSERT_TRUE(wait_for([&] { return count_of(a->out() + b->out(), "Collecting: watching") == 2; }, 10s))
			<< all();
		ASSERT_TRUE(wait_for([&] { return count_of(a->out() + b->out(), "\": done (") == 1; }, 20s)) << all();
		for (auto *c : {a.get(), b.get()}) {
			c->signal(SIGTERM);
			EXPECT_EQ(c->wait(10s), 0) << all();
		}
		EXPECT_EQ(slurp(rec), "start " + (root / name).string() + "\nend " + (root / name).string() + "\n")
			<< all();
		EXPECT_TRUE(listed(root, "pending").empty()) << slurp(root / ".duruvev-pending");
		EXPECT_EQ(listed(root, "done"), std::multiset<std::string>{name}) << slurp(root / ".duruvev-pending");
		if (!r.kept.empty()) {
			EXPECT_NE(slurp(root / ".duruvev-pending").find("\n" + r.kept + "\n"), std::string::npos)
				<< slurp(root / ".duruvev-pending");
			EXPECT_NE(all().find("cannot be read; it is kept as it is"), std::string::npos) << all();
		}
	}
}

// Two collectors on one ROOT, each with a hand-off that fails, one of them
// for a device whose name starts with a dot: saving its own list, neither
// drops the other's entry; after both stop, a restart hands both off once.
TEST_F(handoff_fixture, failing_hand_offs_of_two_collectors_stay_pending_until_a_restart)
{
	fs::path pa = tmp.path / ".edlA", pb = tmp.path / "edlB";
	tool = collector("a", {pa.string()}, {"--then", "false"});
	auto b = collector("b", {pb.string()}, {"--then", "false"});
	device one(tmp.path, "emuA", pa, {"--scenario", "small"});
	device two(tmp.path, "emuB", pb, {"--scenario", "small"});
	one.finish();
	two.finish();
	ASSERT_TRUE(wait_for([&] { return failed() >= 1 && count_of(b->out(), "\": failed (") >= 1; }, 30s))
		<< output() << b->out() << b->err();
	for (auto *c : {tool.get(), b.get()}) {
		c->signal(SIGTERM);
		EXPECT_EQ(c->wait(10s), 0) << output() << b->out();
	}
	std::vector<fs::path> dirs = dump_dirs(root);
	ASSERT_EQ(dirs.size(), 2u);
	EXPECT_EQ(dirs[0].filename().string().rfind(".edlA-", 0), 0u) << dirs[0];
	EXPECT_EQ(listed(root, "pending"), names_of(dirs)) << slurp(root / ".duruvev-pending");

	fs::path rec = tmp.path / "record";
	start({(tmp.path / "absent").string()}, {"--then", recorder(rec)});
	ASSERT_TRUE(wait_for([&] { return done() == 2; }, 20s)) << output();
	EXPECT_NE(tool->out().find("Collecting: 2 hand-offs pending from an earlier run"), std::string::npos) << output();
	tool->signal(SIGTERM);
	EXPECT_EQ(tool->wait(10s), 0) << output();
	for (const fs::path &d : dirs)
		EXPECT_EQ(count_of(slurp(rec), "start " + d.string() + "\n"), 1u) << slurp(rec);
	EXPECT_TRUE(listed(root, "pending").empty()) << slurp(root / ".duruvev-pending");
	EXPECT_EQ(listed(root, "done"), names_of(dirs)) << slurp(root / ".duruvev-pending");
}

// Collection killed at a moment of a dump: one cut short stays the device's
// (not reset, nothing handed off); one complete, the device reset or not
// yet, is handed off once by the next collector.
TEST_F(handoff_fixture, collector_killed_around_the_end_of_a_dump)
{
	struct row {
		const char *what;
		std::vector<std::string> emu;
		std::function<bool(collect_fixture &, device &)> moment;
		bool complete;
	};
	fs::path held = tmp.path / "held";
	const row rows[] = {
		{"holding in the middle of a region",
		 {"--scenario", "small", "--hold-after", "16384", "--on-hold", held.string()},
		 [&](collect_fixture &, device &) { return fs::exists(held); }, false},
		{"the device just reset", {"--scenario", "small"},
		 [](collect_fixture &, device &d) { return !d.emu->running(); }, true},
		{"the dump's line out", {"--scenario", "small"},
		 [](collect_fixture &f, device &) { return f.tool->out().find(": complete, ") != std::string::npos; },
		 true},
	};
	fs::path port = tmp.path / "edl0";
	for (const row &r : rows) {
		SCOPED_TRACE(r.what);
		fs::remove_all(root);
		fs::remove(held);
		device dev(tmp.path, "emu" + std::to_string(&r - rows), port, r.emu);
		start({port.string()}, {"--then", "false"});
		ASSERT_TRUE(wait_for([&] { return r.moment(*this, dev); }, 30s)) << output();
		tool->signal(SIGKILL);
		EXPECT_EQ(tool->wait(10s), 128 + SIGKILL);
		// On the list before the device could lose its crash.
		std::multiset<std::string> expected;
		if (r.complete)
			expected = names_of(dump_dirs(root));
		EXPECT_EQ(listed(root, "pending"), expected) << slurp(root / ".duruvev-pending");
		if (dev.emu->running())
			dev.emu->signal(SIGTERM);
		dev.emu->wait(30s);
		EXPECT_NE(dev.emu->err().find(r.complete ? " 1 reset(s)" : " 0 reset(s)"), std::string::npos)
			<< dev.emu->err();
		fs::remove(port); // a link the killed run's device left

		fs::path rec = tmp.path / "record";
		fs::remove(rec);
		start({(tmp.path / "absent").string()}, {"--then", recorder(rec)});
		ASSERT_TRUE(wait_for([&] { return tool->out().find("Collecting: watching") != std::string::npos; }, 10s));
		std::vector<fs::path> dirs = dump_dirs(root);
		ASSERT_EQ(dirs.size(), 1u) << output();
		if (r.complete) {
			ASSERT_TRUE(wait_for([&] { return done() == 1; }, 20s)) << output();
		}
		tool->signal(SIGTERM);
		EXPECT_EQ(tool->wait(10s), 0) << output();
		EXPECT_EQ(slurp(rec), r.complete ? "start " + dirs[0].string() + "\nend " + dirs[0].string() + "\n" : "")
			<< output();
		EXPECT_TRUE(listed(root, "pending").empty()) << slurp(root / ".duruvev-pending");
	}
}

bool process_gone(pid_t pid)
{
	std::string stat = slurp("/proc/" + std::to_string(pid) + "/stat");
	size_t paren = stat.rfind(") ");
	return stat.empty() || (paren != std::string::npos && stat[paren + 2] == 'Z');
}

// What a hand-off command starts and leaves behind ends with it: when it
// exits, at its limit, and when it shrugs SIGTERM off.
TEST_F(handoff_fixture, hand_off_leaves_no_process_behind)
{
	struct row {
		const char *what;
		std::string cmd; // {child}: where the left-behind process's pid goes
		const char *line;
	};
	const row rows[] = {
		{"exits with a child in the background", "sleep 600 & echo $! > {child}; :", "\": done ("},
		{"ended at its limit", "sleep 600 & echo $! > {child}; sleep 600; :", "still running after 1 s, ended"},
		{"a child ignoring SIGTERM", "sh -c 'trap \"\" TERM; echo $$ > {child}; while :; do sleep 1; done' & "
					   "while [ ! -s {child} ]; do sleep 0.1; done; :",
		 "\": done ("},
	};
	// One attempt per row: the next would leave a process of its own.
	setenv("DURUVEV_HANDOFF_PAUSE_MS", "300000", 1);
	for (const row &r : rows) {
		SCOPED_TRACE(r.what);
		fs::remove_all(root);
		fake_complete_dump(root / "dev1-20260101T000000Z");
		fs::path child = tmp.path / "child";
		fs::remove(child);
		std::string cmd = r.cmd;
		for (size_t at; (at = cmd.find("{child}")) != std::string::npos;)
			cmd.replace(at, 7, "'" + child.string() + "'");
		start({(tmp.path / "absent").string()}, {"--then", cmd, "--then-limit", "1"});
		ASSERT_TRUE(wait_for([&] { return tool->out().find(r.line) != std::string::npos; }, 20s)) << output();
		pid_t pid = static_cast<pid_t>(std::stol("0" + slurp(child)));
		ASSERT_GT(pid, 0) << output();
		// Ended as the attempt ends, SIGKILL after the grace period.
		EXPECT_TRUE(wait_for([&] { return process_gone(pid); }, 5s)) << "process " << pid << " is left";
		if (!process_gone(pid))
			kill(pid, SIGKILL);
		tool->signal(SIGTERM);
		EXPECT_EQ(tool->wait(10s), 0) << output();
	}
}

// The upload script never removes what it has not checked: every line of
// SHA256SUMS is checked, final newline or not; a file it does not list
// fails the upload; a directory given as a link is refused, and neither
// the link nor the data goes.
TEST_F(handoff_fixture, upload_checks_every_file_and_refuses_a_linked_directory)
{
	store->up();
	fs::path bin = tmp.path / "bin";
	fs::create_directories(bin);
	// rclone as usual, except that the stored B.BIN changes once the copy
	// is done.
	std::ofstream(bin / "rclone") << "#!/bin/sh\n"
				       << rclone_bin << " \"$@\" || exit\n"
				       << "[ \"$1\" = copy ] || exit 0\n"
				       << "printf Z >> \"$(echo \"$5\" | sed 's|^lab:|" << store->dir.string() << "/|')/B.BIN\"\n";
	fs::permissions(bin / "rclone", fs::perms::owner_all);
	const std::string damaging = "PATH=" + bin.string() + ":" + getenv("PATH");
	struct row {
		const char *what;
		std::function<void(const fs::path &dump)> setup;
		std::string env;   // the store damages B.BIN when set
		bool linked;       // the script is given a link to the dump
		int code;
		const char *says;
	};
	const row rows[] = {
		{"no final newline, B.BIN damaged in the store", [](const fs::path &) {}, damaging, false, 1, "B.BIN"},
		{"no final newline, all intact", [](const fs::path &) {}, "", false, 0, "2 files verified"},
		{"a file SHA256SUMS does not list",
		 [](const fs::path &d) { std::ofstream(d / ".extra") << "not listed\n"; }, "", false, 1, ".extra"},
		{"the directory given as a link", [](const fs::path &) {}, "", true, 1, "symbolic link"},
	};
	for (const row &r : rows) {
		SCOPED_TRACE(r.what);
		std::string name = "dev" + std::to_string(&r - rows) + "-20260101T000000Z";
		fs::path dump = tmp.path / "local" / name;
		fs::create_directories(dump);
		std::ofstream(dump / "A.BIN") << "first region\n";
		std::ofstream(dump / "B.BIN") << "second region\n";
		// Written by hand, without the newline after its last line.
		ASSERT_EQ(system(("cd '" + dump.string() + "' && sha256sum A.BIN B.BIN | head -c -1 > SHA256SUMS").c_str()), 0);
		r.setup(dump);
		std::set<std::string> before = files_in(dump);
		fs::path given = dump;
		if (r.linked) {
			given = tmp.path / "local" / ("link-" + name);
			fs::create_directory_symlink(dump, given);
		}
		std::vector<std::string> env;
		if (!r.env.empty())
			env.push_back(r.env);
		program_result res = run_program({upload_script, "--remove-local", "lab:crashes", given.string()}, 60, env);
		EXPECT_EQ(res.exit_code, r.code) << res.err;
		EXPECT_NE(res.err.find(r.says), std::string::npos) << res.err;
		if (r.code == 0) {
			EXPECT_FALSE(fs::exists(dump));
			EXPECT_TRUE(sums_verify(store->copy_of(dump)));
			continue;
		}
		// Nothing unchecked is removed, the link included.
		ASSERT_TRUE(fs::is_directory(dump)) << res.err;
		EXPECT_EQ(files_in(dump), before);
		if (r.linked) {
			EXPECT_TRUE(fs::is_symlink(given));
		}
	}
}

} // namespace

// The lab's crashes end to end: two collection hosts, each in a UTS
// namespace of its own under its own host name, send their dumps to one
// WebDAV store; duruvev-fleet lists the store.
namespace {

const std::string fleet_script = DURUVEV_SOURCE_DIR "/scripts/duruvev-fleet";

struct fleet_fixture : handoff_fixture {
	fs::path cache = tmp.path / "cache";

	void SetUp() override
	{
		handoff_fixture::SetUp();
		if (IsSkipped())
			return;
		if (run_program({"/usr/bin/unshare", "--uts", "true"}, 10).exit_code != 0)
			GTEST_SKIP() << "no UTS namespace for a host name of its own (needs root)";
		// duruvev-fleet runs the duruvev it finds on PATH: this build's.
		fs::create_directories(tmp.path / "bin");
		fs::create_symlink(DURUVEV_BIN, tmp.path / "bin" / "duruvev");
	}
	// Collection on the host host, watching port, handing each dump to the
	// store.
	std::unique_ptr<background> host_collector(const std::string &host, const fs::path &dumps, const fs::path &port)
	{
		return std::make_unique<background>(
			std::vector<std::string>{"/usr/bin/unshare", "--uts", "sh", "-c", "hostname \"$0\" && exec \"$@\"", host,
						 DURUVEV_BIN, "--collect", "-o", dumps.string(), "-S", port.string(),
						 "--then", upload_to_lab(false)},
			tmp.path / (host + ".out"), tmp.path / (host + ".err"));
	}
	nlohmann::json fleet()
	{
		program_result r = run_program({fleet_script, "lab:crashes", "--json"}, 60,
					       {"DURUVEV_FLEET_CACHE=" + cache.string(),
						"PATH=" + (tmp.path / "bin").string() + ":" + getenv("PATH")});
		EXPECT_EQ(r.exit_code, 0) << r.err;
		nlohmann::json j = nlohmann::json::parse(r.out, nullptr, false);
		EXPECT_TRUE(j.is_object()) << r.out << r.err;
		return j.is_object() ? j : nlohmann::json::object({{"rows", nlohmann::json::array()}});
	}
};

// The row holding the dump named dir, or null.
const nlohmann::json *row_of(const nlohmann::json &doc, const std::string &dir)
{
	for (const nlohmann::json &r : doc["rows"])
		for (const nlohmann::json &d : r["dumps"])
			if (d["dir"] == dir)
				return &r;
	return nullptr;
}

TEST_F(fleet_fixture, two_hosts_dumps_listed_from_the_store)
{
	store->up();
	fs::path root_a = tmp.path / "hostA-dumps", root_b = tmp.path / "hostB-dumps";
	fs::path port_a = tmp.path / "edlA", port_b = tmp.path / "edlB";
	auto a = host_collector("hostA", root_a, port_a);
	auto b = host_collector("hostB", root_b, port_b);
	auto all = [&] { return a->out() + a->err() + b->out() + b->err(); };
	ASSERT_TRUE(wait_for([&] { return fs::exists(root_a) && fs::exists(root_b); }, 10s)) << all();
	// Both hosts dump the same crash; then host A a dump without a kernel
	// log, host B a 32-bit device's crash.
	for (auto [sa, sb] : {std::pair{"crash", "crash"}, std::pair{"small", "crash32"}}) {
		device one(tmp.path, std::string("emuA-") + sa, port_a, {"--scenario", sa});
		device two(tmp.path, std::string("emuB-") + sb, port_b, {"--scenario", sb});
		one.finish();
		two.finish();
		one.remove_link();
		two.remove_link();
	}
	auto handed = [&](background &c) { return count_of(c.out(), "\": done (attempt "); };
	ASSERT_TRUE(wait_for([&] { return handed(*a) == 2 && handed(*b) == 2; }, 60s)) << all();
	std::vector<fs::path> dumps_a = dump_dirs(root_a), dumps_b = dump_dirs(root_b);
	ASSERT_EQ(dumps_a.size(), 2u) << all();
	ASSERT_EQ(dumps_b.size(), 2u) << all();
	// Named by port and time, so in the order they were taken.
	fs::path crash_a = dumps_a[0], nolog_a = dumps_a[1], crash_b = dumps_b[0], crash32_b = dumps_b[1];

	nlohmann::json doc = fleet();
	EXPECT_EQ(doc["not_counted"], nlohmann::json::array()) << doc.dump(1);
	const nlohmann::json *crash = row_of(doc, crash_a.filename().string());
	ASSERT_NE(crash, nullptr) << doc.dump(1);
	EXPECT_EQ((*crash)["group"], "title");
	EXPECT_NE((*crash)["title"], "");
	EXPECT_EQ(row_of(doc, crash_b.filename().string()), crash) << "one crash, one row";
	EXPECT_EQ((*crash)["hosts"], nlohmann::json({"hostA", "hostB"}));
	EXPECT_GE((*crash)["devices"], 2);
	const nlohmann::json *nolog = row_of(doc, nolog_a.filename().string());
	ASSERT_NE(nolog, nullptr) << doc.dump(1);
	EXPECT_EQ((*nolog)["group"], "no_kernel_log");
	EXPECT_EQ((*nolog)["count"], 1);
	EXPECT_EQ((*nolog)["hosts"], nlohmann::json({"hostA"}));
	const nlohmann::json *crash32 = row_of(doc, crash32_b.filename().string());
	ASSERT_NE(crash32, nullptr) << doc.dump(1);
	EXPECT_EQ((*crash32)["group"], "title");
	// crash32's title may be the 64-bit crash's own; each of the four
	// dumps is counted once.
	size_t counted = 0;
	for (const nlohmann::json &r : doc["rows"])
		counted += r["count"].get<size_t>();
	EXPECT_EQ(counted, 4u) << doc.dump(1);
	// Only the records came into the cache.
	for (const fs::path &d : {crash_a, nolog_a, crash_b, crash32_b})
		EXPECT_EQ(files_in(cache / "lab_crashes" / d.filename()), (std::set<std::string>{"SHA256SUMS", "dump.json"}));

	// A dump removed from the store leaves the list, and the cache.
	size_t before = (*crash)["count"];
	fs::remove_all(store->copy_of(crash_a));
	doc = fleet();
	EXPECT_EQ(row_of(doc, crash_a.filename().string()), nullptr) << doc.dump(1);
	crash = row_of(doc, crash_b.filename().string());
	ASSERT_NE(crash, nullptr) << doc.dump(1);
	EXPECT_EQ((*crash)["count"], before - 1);
	EXPECT_FALSE(fs::exists(cache / "lab_crashes" / crash_a.filename()));

	a->signal(SIGTERM);
	b->signal(SIGTERM);
	EXPECT_EQ(a->wait(10s), 0) << all();
	EXPECT_EQ(b->wait(10s), 0) << all();
}

} // namespace
