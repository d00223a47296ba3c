// Throughput of a dump through the emulated USB device, beside the raw rate of
// the same emulated link read by a plain libusb bulk loop, and how much of
// the difference the engine's short read after each 512 KiB block explains.
//
//   bench_usb [MiB]      (default 256; needs duruvev and duruvev-emu-usb
//                         beside this program)
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <libusb.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "bench_summary.h"

namespace {

double now_s()
{
	return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

std::string exe_dir()
{
	char buf[4096];
	ssize_t n = readlink("/proc/self/exe", buf, sizeof(buf) - 1);
	if (n <= 0)
		return ".";
	std::string p(buf, static_cast<size_t>(n));
	return p.substr(0, p.rfind('/'));
}

int run(const std::vector<std::string> &argv, const std::string &tmpdir)
{
	pid_t pid = fork();
	if (pid == 0) {
		setenv("TMPDIR", tmpdir.c_str(), 1);
		std::vector<char *> args;
		for (const auto &a : argv)
			args.push_back(const_cast<char *>(a.c_str()));
		args.push_back(nullptr);
		execv(args[0], args.data());
		_exit(127);
	}
	int st = 0;
	waitpid(pid, &st, 0);
	return WIFEXITED(st) ? WEXITSTATUS(st) : 128;
}

// Inside the emulator: read total bytes from the endless source with 512 KiB
// bulk transfers, as the engine asks for them, and print the time taken.
int raw_reader(unsigned long long total)
{
	libusb_context *ctx = nullptr;
	if (libusb_init(&ctx) != 0)
		return 2;
	libusb_device_handle *h = libusb_open_device_with_vid_pid(ctx, 0x05c6, 0x900e);
	if (!h || libusb_claim_interface(h, 0) != 0) {
		fprintf(stderr, "raw: no device\n");
		libusb_exit(ctx);
		return 2;
	}
	std::vector<unsigned char> buf(524288);
	unsigned long long got = 0;
	unsigned long long reads = 0;
	double t0 = now_s();
	while (got < total) {
		int n = 0;
		int r = libusb_bulk_transfer(h, 0x81, buf.data(), static_cast<int>(buf.size()), &n, 5000);
		if (r != 0) {
			fprintf(stderr, "raw: %s\n", libusb_strerror(r));
			break;
		}
		got += static_cast<unsigned long long>(n);
		reads++;
	}
	double t = now_s() - t0;
	printf("raw_seconds=%.4f raw_bytes=%llu raw_reads=%llu\n", t, got, reads);
	libusb_close(h);
	libusb_exit(ctx);
	return got >= total ? 0 : 1;
}

} // namespace

int main(int argc, char **argv)
{
	if (argc > 1 && strcmp(argv[1], "--rss") == 0)
		return bench_rss_wrapper(argc, argv);
	if (argc == 3 && strcmp(argv[1], "--raw") == 0)
		return raw_reader(strtoull(argv[2], nullptr, 0));

	unsigned long long mib = argc > 1 ? strtoull(argv[1], nullptr, 0) : 256;
	if (mib == 0)
		mib = 256;
	unsigned long long bytes = mib << 20;
	std::string dir = exe_dir();
	char tmpl[] = "/tmp/duruvev-bench-usb-XXXXXX";
	if (!mkdtemp(tmpl))
		return 2;
	std::string tmp = tmpl;
	std::string emu = dir + "/duruvev-emu-usb", tool = dir + "/duruvev", self = dir + "/bench_usb";
	char region[96];
	snprintf(region, sizeof(region), "DDR:0x80000000:%llu", bytes);

	// The tool: one region of the given size, then minidump-free reset.
	double t0 = now_s();
	int rc = run({emu, "--quiet", "--log", tmp + "/log", "--scenario", "plain", "--region", region, "--device",
		      "serial=BENCH", "--", self, "--rss", tmp + "/rss", "--", tool, "-o", tmp + "/out"},
		     tmp);
	double tool_s = now_s() - t0;
	if (rc != 0) {
		fprintf(stderr, "bench: the dump failed (%d)\n", rc);
		return 1;
	}

	// Timed-out reads the engine did (one after each 512 KiB block) and
	// the zero-length packets it consumed, from the device's log.
	unsigned long long discards = 0, zlps = 0;
	{
		std::ifstream f(tmp + "/log");
		for (std::string line; std::getline(f, line);) {
			discards += line.find(" DISCARD") != std::string::npos;
			zlps += line.find(" IN 0") != std::string::npos;
		}
	}

	long rss_kib = bench_read_rss(tmp + "/rss");

	// The raw link: the same front, an endless source, a plain read loop.
	std::string out_file = tmp + "/raw.txt";
	std::string cmd = "TMPDIR='" + tmp + "' '" + emu + "' --quiet --device mode=source:" + std::to_string(bytes) +
			  " -- '" + self + "' --raw " + std::to_string(bytes) + " > '" + out_file + "'";
	if (system(cmd.c_str()) != 0) {
		fprintf(stderr, "bench: the raw read failed\n");
		return 1;
	}
	double raw_s = 0;
	{
		std::ifstream f(out_file);
		std::string line;
		std::getline(f, line);
		sscanf(line.c_str(), "raw_seconds=%lf", &raw_s);
	}

	// Cost of one 10 ms read that times out on this link, measured alone.
	unsigned long long blocks = (bytes + 524287) / 524288;
	double tool_mbs = static_cast<double>(bytes) / tool_s / 1e6;
	double raw_mbs = raw_s > 0 ? static_cast<double>(bytes) / raw_s / 1e6 : 0;
	double waits = static_cast<double>(discards) * 0.010;
	printf("dump of %llu MiB through emulated USB: %.3f s, %.1f MB/s (whole run, including start-up)\n", mib,
	       tool_s, tool_mbs);
	printf("raw bulk reads of the same link:      %.3f s, %.1f MB/s\n", raw_s, raw_mbs);
	printf("ratio tool/raw throughput:             %.3f\n", raw_mbs > 0 ? tool_mbs / raw_mbs : 0);
	printf("512 KiB blocks: %llu; timed-out 10 ms reads: %llu (>= %.3f s); zero-length packets read: %llu\n",
	       blocks, discards, waits, zlps);
	double gap = tool_s - raw_s;
	printf("gap tool - raw: %.3f s; explained by the 10 ms reads: %.3f s (%.0f%%)\n", gap, waits,
	       gap > 0 ? 100.0 * waits / gap : 0);

	printf("duruvev peak resident memory: %.2f MiB\n", rss_kib / 1024.0);
	bench_print_summary("usb", bytes, tool_s, raw_s, rss_kib);

	std::string rm = "rm -rf '" + tmp + "'";
	return system(rm.c_str()) == 0 ? 0 : 1;
}
