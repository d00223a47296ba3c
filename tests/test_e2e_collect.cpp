// Collection mode end to end: the built program watches port paths (symlinks
// to emulator pseudo-terminals that the tests make, remove and re-make, as a
// USB serial port comes and goes) and dumps every device that appears.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <functional>
#include <set>
#include <signal.h>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "edl_model.h"
#include "scenarios.h"
#include "test_support.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

std::string slurp(const fs::path &p)
{
	std::ifstream f(p);
	return std::string(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

// A program running in the background, its output in files; killed at the
// end of the test if it is still there.
class background {
public:
	background(const std::vector<std::string> &argv, const fs::path &out, const fs::path &err)
		: out_(out), err_(err)
	{
		pid_ = fork();
		if (pid_ == 0) {
			install_file_size_cap();
			int o = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
			int e = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
			dup2(o, 1);
			dup2(e, 2);
			std::vector<char *> args;
			for (const auto &a : argv)
				args.push_back(const_cast<char *>(a.c_str()));
			args.push_back(nullptr);
			execv(args[0], args.data());
			_exit(127);
		}
	}
	~background()
	{
		if (pid_ > 0 && !exited_) {
			kill(pid_, SIGKILL);
			waitpid(pid_, nullptr, 0);
		}
	}
	background(const background &) = delete;
	background &operator=(const background &) = delete;

	bool running()
	{
		if (exited_)
			return false;
		int status;
		if (waitpid(pid_, &status, WNOHANG) == pid_) {
			exited_ = true;
			code_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
			return false;
		}
		return true;
	}
	// The exit code, or -1 when it did not end within limit.
	int wait(std::chrono::milliseconds limit)
	{
		auto end = std::chrono::steady_clock::now() + limit;
		while (running() && std::chrono::steady_clock::now() < end)
			std::this_thread::sleep_for(20ms);
		return exited_ ? code_ : -1;
	}
	void signal(int sig) { kill(pid_, sig); }
	std::string out() const { return slurp(out_); }
	std::string err() const { return slurp(err_); }

private:
	fs::path out_, err_;
	pid_t pid_ = -1;
	bool exited_ = false;
	int code_ = -1;
};

bool wait_for(const std::function<bool()> &cond, std::chrono::milliseconds limit)
{
	auto end = std::chrono::steady_clock::now() + limit;
	while (!cond()) {
		if (std::chrono::steady_clock::now() >= end)
			return false;
		std::this_thread::sleep_for(20ms);
	}
	return true;
}

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

std::vector<fs::path> dump_dirs(const fs::path &root)
{
	std::vector<fs::path> dirs;
	if (fs::exists(root))
		for (const auto &e : fs::directory_iterator(root))
			dirs.push_back(e.path());
	std::sort(dirs.begin(), dirs.end());
	return dirs;
}

void expect_complete_dump(const fs::path &dir, const std::string &scenario)
{
	SCOPED_TRACE(dir.string());
	emu_config cfg;
	ASSERT_TRUE(emu_scenario(scenario, cfg));
	emu_model model(cfg);
	// A complete dump describes itself as a dump taken by hand does.
	std::set<std::string> want = {"SHA256SUMS", "load.cmm", "dump_info.txt"};
	for (const emu_expected_file &f : emu_expected_regions(model)) {
		want.insert(f.name);
		EXPECT_TRUE(read_file((dir / f.name).string()) == f.bytes) << f.name << " differs";
	}
	std::vector<uint8_t> core = emu_expected_minidump(model);
	if (!core.empty()) {
		want.insert("minidump.elf");
		EXPECT_TRUE(read_file((dir / "minidump.elf").string()) == core) << "minidump.elf differs";
	}
	EXPECT_EQ(files_in(dir), want);
}

struct collect_fixture : ::testing::Test {
	temp_dir tmp;
	fs::path root = tmp.path / "dumps";
	std::unique_ptr<background> tool;

	void start(const std::vector<std::string> &ports)
	{
		std::vector<std::string> argv = {DURUVEV_BIN, "--collect", "-o", root.string()};
		for (const auto &p : ports)
			argv.insert(argv.end(), {"-S", p});
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

bool sums_verify(const fs::path &dir)
{
	std::string cmd = "cd '" + dir.string() + "' && sha256sum --quiet -c SHA256SUMS >/dev/null";
	return system(cmd.c_str()) == 0;
}

// small: OCIMEM 40 KiB, DDR_EDGE 512 KiB + 1, CODERAM 100 bytes. Cut after
// 140000 bytes, OCIMEM is whole and DDR_EDGE is not.
constexpr uint64_t small_rest = 512 * 1024 + 1 + 100;

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
	EXPECT_EQ(region_bytes_sent(s2), small_rest) << s2;
	EXPECT_NE(output().find("OCIMEM.BIN kept from the earlier run"), std::string::npos) << output();

	std::vector<fs::path> dirs = dump_dirs(root);
	ASSERT_EQ(dirs.size(), 1u) << output();
	expect_complete_dump(dirs[0], "small");
	EXPECT_TRUE(sums_verify(dirs[0]));
	tool->signal(SIGTERM);
	EXPECT_EQ(tool->wait(10s), 0) << output();
}

// A dump run by hand continues only on request, and only the dump of the
// same table.
TEST(one_shot_resume, continues_only_on_request_and_only_the_same_table)
{
	temp_dir tmp;
	fs::path out = tmp.path / "dump";
	auto dump = [&](const std::string &scenario, std::vector<std::string> extra, int *code) {
		std::vector<std::string> argv = {DURUVEV_EMU_BIN, "--time-limit", "60", "--scenario", scenario};
		argv.insert(argv.end(), extra.begin(), extra.end());
		argv.insert(argv.end(), {"--", DURUVEV_BIN, "-S", "{pty}", "-o", out.string()});
		if (std::find(extra.begin(), extra.end(), "--unplug-after") == extra.end())
			argv.push_back("--resume");
		background run(argv, tmp.path / "run.out", tmp.path / "run.err");
		*code = run.wait(60s);
		return run.err() + run.out();
	};
	int code = -1;
	std::string first = dump("small", {"--unplug-after", "140000"}, &code);
	EXPECT_NE(code, 0) << first;
	ASSERT_TRUE(fs::exists(out / "OCIMEM.BIN"));

	// Another table in the directory: nothing is read, the device keeps its crash.
	std::string other = dump("crash", {}, &code);
	EXPECT_EQ(code, 1) << other;
	EXPECT_NE(other.find("holds a dump cut short of another memory table"), std::string::npos) << other;
	EXPECT_NE(other.find(" 0 reset(s)"), std::string::npos) << other;
	EXPECT_EQ(region_bytes_sent(other), 0u) << other;

	std::string again = dump("small", {}, &code);
	EXPECT_EQ(code, 0) << again;
	EXPECT_EQ(region_bytes_sent(again), small_rest) << again;
	expect_complete_dump(out, "small");
	EXPECT_TRUE(sums_verify(out));
}

} // namespace
