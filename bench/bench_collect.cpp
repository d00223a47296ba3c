// Collection of several devices at once against one alone: the wall time of
// `duruvev --collect` dumping 1, 2, 4 and 8 emulated devices on ptys, over
// the time it takes for one such device in the same run, with the collecting
// process's CPU time per GiB dumped and its peak resident memory.
//
//   bench_collect BINDIR SCRATCH [MiB [RUNS [MAX_DEVICES [UPLOAD]]]]
//                                (default 64 MiB, best of 2, up to 8)
//
// With UPLOAD (the duruvev-upload script) two at once run again with --then
// handing each dump to it, against a WebDAV store that rclone serves on
// 127.0.0.1 from SCRATCH: the hand-offs must not slow the dumps, so that
// row's ratio is the dump time with --then over the time without.
//
// A last row continues a dump cut short: the "crash" device, whose regions
// are laid out as a real device's, vanishes after 90 % of its region bytes
// and comes back; its ratio is the region bytes it sent in both appearances
// over the bytes of the dump.
//
// Each device serves one region of MiB. The devices are there before
// collection starts; the time runs from its start until every dump's closing
// line is out. One summary line per number of devices, its "raw" time the
// one device alone; make bench shows together / alone (1 would be perfectly
// parallel, N one after the other).
#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "bench_summary.h"
#include "scenarios.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

std::string slurp(const fs::path &p)
{
	std::ifstream f(p);
	return std::string(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

pid_t spawn(const std::vector<std::string> &argv, const fs::path &out, const fs::path &err = "/dev/null")
{
	pid_t pid = fork();
	if (pid == 0) {
		int fd = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
		int efd = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
		dup2(fd, STDOUT_FILENO);
		dup2(efd, STDERR_FILENO);
		std::vector<char *> args;
		for (const auto &a : argv)
			args.push_back(const_cast<char *>(a.c_str()));
		args.push_back(nullptr);
		execv(args[0], args.data());
		_exit(127);
	}
	return pid;
}

size_t count_of(const std::string &text, const char *what)
{
	size_t n = 0;
	for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
		n++;
	return n;
}

// A WebDAV store served by rclone from a scratch directory on a free port of
// 127.0.0.1, named by the rclone remote "bench" through the environment.
struct webdav_store {
	fs::path dir;
	pid_t pid = -1;

	bool start(const fs::path &scratch)
	{
		dir = scratch / ("bench-store-" + std::to_string(getpid()));
		fs::remove_all(dir);
		fs::create_directories(dir);
		int s = socket(AF_INET, SOCK_STREAM, 0);
		sockaddr_in a{};
		a.sin_family = AF_INET;
		a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
		socklen_t len = sizeof(a);
		bind(s, reinterpret_cast<sockaddr *>(&a), sizeof(a));
		getsockname(s, reinterpret_cast<sockaddr *>(&a), &len);
		close(s);
		std::string addr = "127.0.0.1:" + std::to_string(ntohs(a.sin_port));
		setenv("RCLONE_CONFIG_BENCH_TYPE", "webdav", 1);
		setenv("RCLONE_CONFIG_BENCH_URL", ("http://" + addr).c_str(), 1);
		setenv("RCLONE_CONFIG", "/dev/null", 1);
		pid = spawn({"/usr/bin/rclone", "serve", "webdav", "--addr", addr, dir.string()}, dir.string() + ".log");
		for (int k = 0; k < 500; k++) {
			int c = socket(AF_INET, SOCK_STREAM, 0);
			bool up = connect(c, reinterpret_cast<sockaddr *>(&a), sizeof(a)) == 0;
			close(c);
			if (up)
				return true;
			std::this_thread::sleep_for(20ms);
		}
		return false;
	}
	~webdav_store()
	{
		if (pid > 0) {
			kill(pid, SIGTERM);
			waitpid(pid, nullptr, 0);
		}
		fs::remove_all(dir);
		fs::remove(dir.string() + ".log");
	}
};

struct collect_result {
	double seconds = -1; // -1: a dump failed
	double cpu_seconds = 0; // the collecting process's, user and system
	long rss_kib = -1;
};

double cpu_of(const struct rusage &ru)
{
	return static_cast<double>(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
	       static_cast<double>(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

// Collection of `devices` devices of mib MiB each. then: a --then command,
// whose hand-offs are waited for after the timing.
collect_result collect_time(const fs::path &bindir, const fs::path &scratch, unsigned devices, uint64_t mib,
			    const std::string &then = "")
{
	fs::path work = scratch / ("bench-collect-" + std::to_string(getpid()));
	fs::remove_all(work);
	fs::create_directories(work);
	std::vector<pid_t> emus;
	std::vector<std::string> tool = {(bindir / "duruvev").string(), "--collect", "-o", (work / "out").string()};
	for (unsigned i = 0; i < devices; i++) {
		// The device's own link, gone before its terminal closes: a
		// terminal number handed to another program afterwards is never
		// taken for this device come back.
		fs::path link = work / ("edl" + std::to_string(i));
		emus.push_back(spawn({(bindir / "duruvev-emu").string(), "-q", "--scenario", "bulk:" + std::to_string(mib),
				      "--link=" + link.string(), "--time-limit", "600"},
				     work / ("emu" + std::to_string(i))));
		for (int k = 0; k < 500 && !fs::is_symlink(link); k++)
			std::this_thread::sleep_for(10ms);
		tool.insert(tool.end(), {"-S", link.string()});
	}

	if (!then.empty())
		tool.insert(tool.end(), {"--then", then});
	auto t0 = std::chrono::steady_clock::now();
	pid_t collector = spawn(tool, work / "collect.out");
	double t = -1;
	for (;;) {
		std::string out = slurp(work / "collect.out");
		if (count_of(out, "\": ") >= devices) {
			t = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
			if (count_of(out, ": complete, ") != devices) {
				fprintf(stderr, "bench_collect: a dump failed:\n%s", out.c_str());
				t = -1;
			}
			break;
		}
		if (std::chrono::steady_clock::now() - t0 > 600s)
			break;
		std::this_thread::sleep_for(5ms);
	}
	// The hand-offs must have worked for the time to count.
	while (t > 0 && !then.empty()) {
		std::string out = slurp(work / "collect.out");
		if (count_of(out, "\": done (") == devices) {
			printf("hand-offs done %.3f s after the start\n",
			       std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count());
			break;
		}
		if (count_of(out, "\": failed (") || std::chrono::steady_clock::now() - t0 > 600s) {
			fprintf(stderr, "bench_collect: a hand-off failed:\n%s", out.c_str());
			t = -1;
		}
		std::this_thread::sleep_for(20ms);
	}
	kill(collector, SIGTERM);
	struct rusage ru {};
	wait4(collector, nullptr, 0, &ru);
	collect_result res;
	res.rss_kib = ru.ru_maxrss;
	res.cpu_seconds = cpu_of(ru);
	res.seconds = t;
	for (pid_t e : emus) {
		kill(e, SIGTERM);
		waitpid(e, nullptr, 0);
	}
	fs::remove_all(work);
	return res;
}

// The number before " region bytes" in an emulator's summary, or -1.
long long region_bytes_of(const std::string &summary)
{
	size_t at = summary.rfind(" region bytes");
	if (at == std::string::npos)
		return -1;
	size_t from = summary.rfind(' ', at - 1);
	return std::stoll(summary.substr(from + 1, at - from - 1));
}

// Collection of a device cut short after 90 % of its region bytes that comes
// back: the region bytes it sent in all over those of the dump, or -1.
double resume_ratio(const fs::path &bindir, const fs::path &scratch, const char *scenario)
{
	emu_config cfg;
	if (!emu_scenario(scenario, cfg))
		return -1;
	uint64_t total = 0;
	for (const emu_region &r : cfg.regions)
		total += r.length;
	fs::path work = scratch / ("bench-resume-" + std::to_string(getpid()));
	fs::remove_all(work);
	fs::create_directories(work);
	fs::path link = work / "edl";
	// stdout takes the terminal's path; the summary goes to stderr.
	auto appear = [&](const std::string &tag, std::vector<std::string> extra) {
		std::vector<std::string> argv = {(bindir / "duruvev-emu").string(), "--scenario", scenario,
						 "--link=" + link.string(), "--time-limit", "120"};
		argv.insert(argv.end(), extra.begin(), extra.end());
		pid_t pid = spawn(argv, work / (tag + ".out"), work / (tag + ".err"));
		for (int k = 0; k < 500 && !fs::is_symlink(link); k++)
			std::this_thread::sleep_for(10ms);
		return pid;
	};
	pid_t first = appear("cut", {"--unplug-after", std::to_string(total * 9 / 10)});
	pid_t collector = spawn({(bindir / "duruvev").string(), "--collect", "-o", (work / "out").string(), "-S",
				 link.string()},
				work / "collect.out");
	waitpid(first, nullptr, 0);
	// Gone long enough for a scan to see it go.
	std::this_thread::sleep_for(700ms);
	pid_t second = appear("back", {});
	auto t0 = std::chrono::steady_clock::now();
	bool complete = false;
	while (std::chrono::steady_clock::now() - t0 < 120s) {
		std::string out = slurp(work / "collect.out");
		if ((complete = count_of(out, ": complete, ") == 1))
			break;
		std::this_thread::sleep_for(20ms);
	}
	waitpid(second, nullptr, 0);
	kill(collector, SIGTERM);
	waitpid(collector, nullptr, 0);
	long long a = region_bytes_of(slurp(work / "cut.err")), b = region_bytes_of(slurp(work / "back.err"));
	printf("continue after an unplug at 90 %%: %lld + %lld region bytes of %llu\n", a, b,
	       static_cast<unsigned long long>(total));
	size_t n_dirs = 0;
	for (const auto &e : fs::directory_iterator(work / "out"))
		n_dirs += e.is_directory();
	fs::remove_all(work);
	if (!complete || a < 0 || b < 0 || n_dirs != 1) {
		fprintf(stderr, "bench_collect: the dump cut short was not continued to the end in one directory\n");
		return -1;
	}
	return static_cast<double>(a + b) / static_cast<double>(total);
}

} // namespace

int main(int argc, char **argv)
{
	if (argc < 3) {
		fprintf(stderr, "usage: bench_collect BINDIR SCRATCH [MiB [RUNS [MAX_DEVICES]]]\n");
		return 2;
	}
	fs::path bindir = argv[1], scratch = argv[2];
	uint64_t mib = argc > 3 ? strtoull(argv[3], nullptr, 10) : 64;
	int runs = argc > 4 ? atoi(argv[4]) : 2;
	unsigned max_devices = argc > 5 ? static_cast<unsigned>(atoi(argv[5])) : 8;
	if (mib == 0)
		mib = 64;
	if (runs < 1)
		runs = 1;
	std::vector<unsigned> counts;
	for (unsigned n = 1; n <= std::max(1u, max_devices); n *= 2)
		counts.push_back(n);

	// Per number of devices: the best wall time, and the CPU time and
	// memory of the run that had it.
	std::vector<collect_result> best(counts.size());
	for (int r = 0; r < runs; r++) {
		for (size_t i = 0; i < counts.size(); i++) {
			collect_result c = collect_time(bindir, scratch, counts[i], mib);
			printf("run %d: %u device%s %.3f s, collector CPU %.2f s, peak RSS %.1f MiB\n", r + 1, counts[i],
			       counts[i] == 1 ? "" : "s", c.seconds, c.cpu_seconds, c.rss_kib / 1024.0);
			fflush(stdout);
			if (c.seconds > 0 && (best[i].seconds < 0 || c.seconds < best[i].seconds))
				best[i] = c;
		}
	}
	for (const collect_result &b : best)
		if (b.seconds < 0)
			return 1;
	double resumed = resume_ratio(bindir, scratch, "crash");
	if (resumed < 0)
		return 1;
	printf("summary collect-resume %.4f\n", resumed);
	for (size_t i = 0; i < counts.size(); i++) {
		uint64_t bytes = counts[i] * mib * 1048576ULL;
		printf("%u at once / one alone: %.2f; collector CPU %.2f s per GiB\n", counts[i],
		       best[i].seconds / best[0].seconds, best[i].cpu_seconds / (static_cast<double>(bytes) / (1 << 30)));
		// Bytes of all devices in the time of all; the "raw" time is one
		// device's alone; then the collector's CPU seconds.
		printf("summary collect:%u %llu %.6f %.6f %ld %.3f\n", counts[i], static_cast<unsigned long long>(bytes),
		       best[i].seconds, best[0].seconds, best[i].rss_kib, best[i].cpu_seconds);
	}
	if (argc <= 6)
		return 0;

	webdav_store store;
	if (!store.start(scratch)) {
		fprintf(stderr, "bench_collect: the WebDAV store did not start\n");
		return 1;
	}
	std::string then = std::string("'") + argv[6] + "' bench:crashes";
	collect_result plain, handing;
	for (int r = 0; r < runs; r++) {
		collect_result a = collect_time(bindir, scratch, 2, mib);
		collect_result b = collect_time(bindir, scratch, 2, mib, then);
		printf("run %d: two at once %.3f s, with --then upload %.3f s\n", r + 1, a.seconds, b.seconds);
		if (a.seconds > 0 && (plain.seconds < 0 || a.seconds < plain.seconds))
			plain = a;
		if (b.seconds > 0 && (handing.seconds < 0 || b.seconds < handing.seconds))
			handing = b;
	}
	if (plain.seconds < 0 || handing.seconds < 0)
		return 1;
	printf("with --then / without: %.2f\n", handing.seconds / plain.seconds);
	printf("summary collect-then %llu %.6f %.6f %ld %.3f\n", static_cast<unsigned long long>(2 * mib * 1048576ULL),
	       handing.seconds, plain.seconds, handing.rss_kib, handing.cpu_seconds);
	return 0;
}
