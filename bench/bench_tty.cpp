// Throughput of a memory dump over a pseudo-terminal (the path a USB serial
// port takes), against the raw rate of the same kind of link.
//
//   bench_tty [MiB [RUNS]]     (default 256 MiB, best of 3 runs each)
//
// A  raw link: a writer streams MiB through a pty, a plain loop reads the
//    slave with 512 KiB reads and throws the bytes away;
// B  the tool: duruvev-emu serves one region of MiB, duruvev dumps it over
//    the pty into a temporary directory (file writes included);
// C  the tool's request pattern in-process (COM-port back-end, pty front in
//    a thread, no files): one MEM_READ64 per 512 KiB block, read until the
//    block is complete, once without and once with the engine's 10 ms read
//    after every block. C2 - C1 is what those reads cost.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <pty.h>
#include <string>
#include <sys/wait.h>
#include <termios.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "bench_summary.h"
#include "edl_model.h"
#include "emu_script.h"
#include "le.h"
#include "pty_front.h"
#include "scenarios.h"
#include "vorn.h"

namespace fs = std::filesystem;

namespace {

constexpr size_t block = 512 * 1024;
constexpr double MiB = 1024.0 * 1024.0;

double seconds_since(std::chrono::steady_clock::time_point t0)
{
	return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

// A: raw pty link, device to host.
double raw_link(uint64_t bytes)
{
	int master, slave;
	if (openpty(&master, &slave, nullptr, nullptr, nullptr) != 0)
		return -1;
	struct termios tio;
	tcgetattr(slave, &tio);
	cfmakeraw(&tio);
	tcsetattr(slave, TCSANOW, &tio);

	std::thread writer([&] {
		std::vector<uint8_t> piece(64 * 1024, 0x5a);
		uint64_t left = bytes;
		while (left > 0) {
			ssize_t n = write(master, piece.data(), std::min<uint64_t>(left, piece.size()));
			if (n <= 0)
				break;
			left -= static_cast<uint64_t>(n);
		}
	});
	std::vector<uint8_t> buf(block);
	uint64_t got = 0;
	auto t0 = std::chrono::steady_clock::now();
	while (got < bytes) {
		ssize_t n = read(slave, buf.data(), buf.size());
		if (n <= 0)
			break;
		got += static_cast<uint64_t>(n);
	}
	double t = seconds_since(t0);
	writer.join();
	close(master);
	close(slave);
	return got == bytes ? t : -1;
}

// B: the unmodified tool against the emulator program; *rss_kib gets the
// tool's peak resident memory.
double tool_dump(uint64_t mib, const fs::path &bindir, long *rss_kib)
{
	fs::path out = fs::temp_directory_path() / ("bench-tty-" + std::to_string(getpid()));
	fs::remove_all(out);
	std::string scenario = "bulk:" + std::to_string(mib);
	std::string emu = (bindir / "duruvev-emu").string(), tool = (bindir / "duruvev").string();
	std::string self = (bindir / "bench_tty").string(), rss_file = out.string() + ".rss";

	auto t0 = std::chrono::steady_clock::now();
	pid_t pid = fork();
	if (pid == 0) {
		int devnull = open("/dev/null", O_WRONLY);
		dup2(devnull, STDOUT_FILENO);
		execl(emu.c_str(), emu.c_str(), "-q", "--scenario", scenario.c_str(), "--", self.c_str(), "--rss",
		      rss_file.c_str(), "--", tool.c_str(), "-S", "{pty}", "-o", out.c_str(), static_cast<char *>(nullptr));
		_exit(127);
	}
	int status = 0;
	waitpid(pid, &status, 0);
	double t = seconds_since(t0);
	std::error_code ec;
	uint64_t size = fs::file_size(out / "DDRCS0.BIN", ec);
	fs::remove_all(out);
	*rss_kib = bench_read_rss(rss_file);
	fs::remove(rss_file, ec);
	if (!WIFEXITED(status) || WEXITSTATUS(status) != 0 || ec || size != mib * 1024 * 1024) {
		fprintf(stderr, "tool run failed (status %d, size %llu)\n", status, static_cast<unsigned long long>(size));
		return -1;
	}
	return t;
}

bool read_exact(vorn_device *dev, uint8_t *buf, size_t len)
{
	size_t got = 0;
	while (got < len) {
		int n = vorn_read(dev, buf + got, len - got, 30000);
		if (n <= 0)
			return false;
		got += static_cast<size_t>(n);
	}
	return true;
}

// C: the engine's request pattern through the COM-port back-end.
double pattern(uint64_t mib, bool drain, uint64_t *drain_reads, double *drain_s)
{
	emu_config cfg;
	emu_scenario("bulk:" + std::to_string(mib), cfg);
	emu_model model(cfg);
	emu_pty_front front(model);
	if (front.open() != 0)
		return -1;
	std::atomic<bool> stop{false};
	std::thread dev_side([&] {
		while (!stop && front.step(20))
			;
	});

	double t = -1;
	vorn_device *dev = qud_init();
	uint8_t pkt[64];
	std::vector<uint8_t> buf(block);
	if (dev && vorn_open(dev, front.slave_path().c_str()) == 0 && read_exact(dev, pkt, 48)) {
		std::vector<uint8_t> resp = emu_words({EMU_CMD_HELLO_RESP, 48, 2, 1, 0, EMU_MODE_MEMORY_DEBUG, 0, 0, 0, 0, 0, 0});
		vorn_write(dev, resp.data(), resp.size(), 1000);
		if (read_exact(dev, pkt, 24)) {
			uint64_t table_addr = le64_get(pkt + 8), table_len = le64_get(pkt + 16);
			std::vector<uint8_t> req = emu_pkt64(EMU_CMD_MEM_READ64, 24, {table_addr, table_len});
			vorn_write(dev, req.data(), req.size(), 1000);
			read_exact(dev, buf.data(), table_len);
			uint64_t addr = le64_get(buf.data() + 8), length = le64_get(buf.data() + 16);

			auto t0 = std::chrono::steady_clock::now();
			bool ok = true;
			for (uint64_t off = 0; ok && off < length; off += block) {
				uint64_t n = std::min<uint64_t>(block, length - off);
				req = emu_pkt64(EMU_CMD_MEM_READ64, 24, {addr + off, n});
				ok = vorn_write(dev, req.data(), req.size(), 1000) == 24 && read_exact(dev, buf.data(), n);
				if (ok && drain) {
					auto d0 = std::chrono::steady_clock::now();
					(void)vorn_read(dev, buf.data(), buf.size(), 10);
					*drain_s += seconds_since(d0);
					++*drain_reads;
				}
			}
			if (ok)
				t = seconds_since(t0);
		}
	}
	if (dev) {
		vorn_close(dev);
		vorn_deinit(dev);
	}
	stop = true;
	dev_side.join();
	return t;
}

} // namespace

int main(int argc, char **argv)
{
	if (argc > 1 && strcmp(argv[1], "--rss") == 0)
		return bench_rss_wrapper(argc, argv);
	uint64_t mib = argc > 1 ? strtoull(argv[1], nullptr, 10) : 256;
	int runs = argc > 2 ? atoi(argv[2]) : 3;
	if (mib == 0)
		mib = 256;
	if (runs < 1)
		runs = 1;
	uint64_t bytes = mib * 1024 * 1024;
	fs::path bindir = fs::read_symlink("/proc/self/exe").parent_path();

	// The best of several runs: other work on the machine only ever adds.
	double a = 1e30, b = 1e30, c1 = 1e30, c2 = 1e30, drain_s = 0;
	uint64_t drains = 0;
	long rss_kib = 0;
	for (int i = 0; i < runs; i++) {
		a = std::min(a, raw_link(bytes));
		long rss = -1;
		b = std::min(b, tool_dump(mib, bindir, &rss));
		rss_kib = std::max(rss_kib, rss);
		uint64_t n = 0;
		double d = 0;
		c1 = std::min(c1, pattern(mib, false, &n, &d));
		double t2 = pattern(mib, true, &n, &d);
		if (t2 > 0 && t2 < c2) {
			c2 = t2;
			drains = n;
			drain_s = d;
		}
	}
	if (a <= 0 || b <= 0 || c1 <= 0 || c2 <= 0 || drains == 0) {
		fprintf(stderr, "bench_tty: a measurement failed (%.3f %.3f %.3f %.3f)\n", a, b, c1, c2);
		return 1;
	}

	auto rate = [&](double t) { return static_cast<double>(bytes) / MiB / t; };
	printf("dump of %llu MiB over a pseudo-terminal, best of %d\n", static_cast<unsigned long long>(mib), runs);
	printf("A raw link (plain read loop)          %7.2f s  %8.1f MiB/s\n", a, rate(a));
	printf("B duruvev via duruvev-emu             %7.2f s  %8.1f MiB/s  (%.1f%% of raw)\n", b, rate(b),
	       100.0 * a / b);
	printf("C1 request pattern, no 10 ms reads    %7.2f s  %8.1f MiB/s\n", c1, rate(c1));
	printf("C2 request pattern, 10 ms read/block  %7.2f s  %8.1f MiB/s  (%llu reads, %.2f ms each)\n", c2,
	       rate(c2), static_cast<unsigned long long>(drains), 1000.0 * drain_s / static_cast<double>(drains));
	double gap = b - a;
	printf("gap B - A %.2f s; time inside the 10 ms reads %.2f s = %.0f%% of it;\n"
	       "dropping them from the pattern (C2 - C1) saves %.2f s = %.0f%% of it\n",
	       gap, drain_s, gap > 0 ? 100.0 * drain_s / gap : 0.0, c2 - c1, gap > 0 ? 100.0 * (c2 - c1) / gap : 0.0);
	printf("duruvev peak resident memory: %.2f MiB\n", rss_kib / 1024.0);
	bench_print_summary("pty", bytes, b, a, rss_kib);
	return 0;
}
