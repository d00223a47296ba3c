// Dump throughput and memory of the engine: a large emulated region set is
// collected through the in-process device front into a scratch directory.
//
//   bench_engine [DIR] [MIB]
//
// DIR: where the scratch directory is made (default /dev/shm when present,
// else /tmp); MIB: total dump size in MiB (default 1024). Prints MB/s of the
// whole exchange (region files synced to stable storage before the device is
// reset, as always), the same without the syncs and without hashing the files
// for SHA256SUMS to show what each costs, the device model's own generation
// rate for comparison, and the peak resident memory.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <sys/resource.h>
#include <thread>
#include <vector>

#include "bench_summary.h"
#include "edl_model.h"
#include "emu_vorn.h"
#include "sahara.h"
#include "vorn.h"

namespace fs = std::filesystem;

static double seconds_since(std::chrono::steady_clock::time_point t0)
{
	return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

// The in-process device, waiting out every time-out as a real link does:
// the read after each block then costs its 10 ms, the wait in which a real
// dump hashes the block it has just written.
struct paced_emu : vorn_device_emu {
	using vorn_device_emu::vorn_device_emu;
	int read(void *buf, size_t len, unsigned timeout_ms) override
	{
		int n = vorn_device_emu::read(buf, len, timeout_ms);
		// The time-out of the last read, after RESET, is the same in
		// every pass and no part of the dump.
		if (n == -ETIMEDOUT && timeout_ms < 1000)
			std::this_thread::sleep_for(std::chrono::milliseconds(timeout_ms));
		return n;
	}
};

// Eight regions of uneven sizes (not multiples of the block) that sum to
// total, filled with what the device produces for nothing (one byte, zeros
// after it) or, when pattern, with the address pattern.
static emu_config bench_config(uint64_t total, bool pattern)
{
	emu_config cfg;
	cfg.record_packets = false;
	uint64_t left = total, addr = 0x80000000;
	for (int i = 0; i < 8 && left; i++) {
		uint64_t len = i == 7 ? left : std::min(left, total / 8 + 12345);
		cfg.regions.push_back({1, addr, len, "DDR" + std::to_string(i), "DDR" + std::to_string(i) + ".BIN", {}});
		if (!pattern)
			cfg.regions.back().bytes = {0xa5};
		addr += len + 0x1000;
		left -= len;
	}
	return cfg;
}

// Removes what a pass wrote; the bytes of region files found.
static uint64_t bench_clean(const std::string &dir, const emu_config &cfg)
{
	uint64_t on_disk = 0;
	for (const auto &r : cfg.regions) {
		std::error_code ec;
		on_disk += fs::file_size(fs::path(dir) / r.filename, ec);
		fs::remove(fs::path(dir) / r.filename, ec);
	}
	for (const char *f : {"SHA256SUMS", "load.cmm", "dump_info.txt"}) {
		std::error_code ec;
		fs::remove(fs::path(dir) / f, ec);
	}
	return on_disk;
}

int main(int argc, char **argv)
{
	std::string base = argc > 1 ? argv[1] : (fs::exists("/dev/shm") ? "/dev/shm" : "/tmp");
	uint64_t mib = argc > 2 ? strtoull(argv[2], nullptr, 0) : 1024;
	if (mib == 0) {
		fprintf(stderr, "usage: %s [DIR] [MIB]\n", argv[0]);
		return 2;
	}

	std::string tmpl = base + "/duruvev-bench-XXXXXX";
	if (!mkdtemp(tmpl.data())) {
		perror(tmpl.c_str());
		return 1;
	}
	const std::string dir = tmpl;

	const uint64_t total = mib << 20;
	const emu_config cfg = bench_config(total, false);

	// The engine's own rate with content the device produces for nothing,
	// with and without syncing the files, and without hashing them, each
	// twice in turns so that a cold first pass does not decide the figure;
	// then once with the address pattern. Then, at most 128 MiB against a
	// device that paces itself as a link does, with and without hashing.
	// Each figure is the best of its passes.
	enum { FREE_SYNC, FREE_NOSYNC, PATTERN, FREE_NOHASH, PACED, PACED_NOHASH, KINDS };
	static const int kind_of_pass[] = {FREE_SYNC, FREE_NOSYNC, FREE_NOHASH, FREE_SYNC,    FREE_NOSYNC,
					   FREE_NOHASH, PATTERN,     PACED,       PACED_NOHASH, PACED,
					   PACED_NOHASH};
	const uint64_t paced_total = std::min<uint64_t>(total, 128ULL << 20);
	double secs[KINDS];
	for (double &t : secs)
		t = 1e30;
	int ret = 0;
	bool complete = true;
	for (int kind : kind_of_pass) {
		bool paced = kind == PACED || kind == PACED_NOHASH;
		uint64_t want = paced ? paced_total : total;
		emu_config c = kind == PATTERN ? bench_config(total, true) : paced ? bench_config(paced_total, false) : cfg;
		sahara_config().durable_writes = kind != FREE_NOSYNC;
		sahara_config().hashing = kind != FREE_NOHASH && kind != PACED_NOHASH;
		emu_model model(c);
		std::unique_ptr<vorn_device_emu> dev(paced ? new paced_emu(&model) : new vorn_device_emu(&model));
		auto t0 = std::chrono::steady_clock::now();
		ret |= sahara_run(dev.get(), nullptr, dir.c_str(), nullptr);
		secs[kind] = std::min(secs[kind], seconds_since(t0));
		complete = complete && bench_clean(dir, c) == want;
	}
	std::error_code ec;
	fs::remove_all(dir, ec);

	// The device model's share: generating the same bytes without the engine.
	std::vector<uint8_t> buf(0x80000);
	auto g0 = std::chrono::steady_clock::now();
	for (uint64_t off = 0; off < total; off += buf.size())
		emu_pattern_fill(0x80000000 + off, buf.data(), buf.size());
	double gen_secs = seconds_since(g0);

	struct rusage ru {};
	getrusage(RUSAGE_SELF, &ru);

	printf("dump: %llu MiB in %zu regions to %s, result %d, %s\n", static_cast<unsigned long long>(mib),
	       cfg.regions.size(), base.c_str(), ret, complete ? "all bytes on disk" : "INCOMPLETE");
	printf("engine (free device content): %.2f s, %.0f MB/s\n", secs[FREE_SYNC], total / secs[FREE_SYNC] / 1e6);
	printf("engine + device pattern:      %.2f s, %.0f MB/s\n", secs[PATTERN], total / secs[PATTERN] / 1e6);
	printf("engine without syncs:         %.2f s, %.0f MB/s (syncs add %.0f%% to the time)\n",
	       secs[FREE_NOSYNC], total / secs[FREE_NOSYNC] / 1e6,
	       (secs[FREE_SYNC] - secs[FREE_NOSYNC]) / secs[FREE_NOSYNC] * 100);
	printf("engine without hashing:       %.2f s, %.0f MB/s (hashing adds %.0f%% to the time)\n",
	       secs[FREE_NOHASH], total / secs[FREE_NOHASH] / 1e6,
	       (secs[FREE_SYNC] - secs[FREE_NOHASH]) / secs[FREE_NOHASH] * 100);
	printf("paced device, %3llu MiB:       %.2f s, %.0f MB/s; without hashing %.2f s (hashing adds %.1f%%)\n",
	       static_cast<unsigned long long>(paced_total >> 20), secs[PACED], paced_total / secs[PACED] / 1e6,
	       secs[PACED_NOHASH], (secs[PACED] - secs[PACED_NOHASH]) / secs[PACED_NOHASH] * 100);
	printf("device pattern alone:         %.0f MB/s\n", total / gen_secs / 1e6);
	printf("peak resident memory: %.2f MiB\n", ru.ru_maxrss / 1024.0);
	// For the table: the realistic pass against the model producing the
	// same bytes alone (there is no link in between).
	bench_print_summary("engine", total, secs[PATTERN], gen_secs, ru.ru_maxrss);
	// The device at memory speed, hashing as always, against the same pass
	// without hashing: what SHA256SUMS costs the engine.
	bench_print_summary("engine-hash", total, secs[FREE_SYNC], secs[FREE_NOHASH], ru.ru_maxrss);
	return ret == 0 && complete ? 0 : 1;
}
