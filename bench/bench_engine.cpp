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
#include <string>
#include <sys/resource.h>
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

	// Eight regions of uneven sizes (not multiples of the block) that sum
	// to the requested total.
	const uint64_t total = mib << 20;
	emu_config cfg;
	cfg.record_packets = false;
	uint64_t left = total, addr = 0x80000000;
	for (int i = 0; i < 8 && left; i++) {
		uint64_t len = i == 7 ? left : std::min(left, total / 8 + 12345);
		cfg.regions.push_back({1, addr, len, "DDR" + std::to_string(i), "DDR" + std::to_string(i) + ".BIN", {}});
		addr += len + 0x1000;
		left -= len;
	}

	// With content the device produces for nothing (one byte, zeros after
	// it): the engine's own rate, with and without syncing the files, and
	// without hashing them, each twice in turns so that a cold first pass
	// does not decide the figure; then once with the address pattern. Each
	// figure is the best of its passes.
	enum { FREE_SYNC, FREE_NOSYNC, PATTERN, FREE_NOHASH };
	static const int kind_of_pass[] = {FREE_SYNC, FREE_NOSYNC, FREE_NOHASH, FREE_SYNC,
					   FREE_NOSYNC, FREE_NOHASH, PATTERN};
	double secs[4] = {1e30, 1e30, 1e30, 1e30};
	int ret = 0;
	bool complete = true;
	for (int kind : kind_of_pass) {
		emu_config c = cfg;
		for (auto &r : c.regions)
			r.bytes = kind != PATTERN ? std::vector<uint8_t>{0xa5} : std::vector<uint8_t>{};
		sahara_set_durable_writes(kind != FREE_NOSYNC);
		sahara_set_hashing(kind != FREE_NOHASH);
		emu_model model(c);
		vorn_device_emu dev(&model);
		auto t0 = std::chrono::steady_clock::now();
		ret |= sahara_run(&dev, nullptr, dir.c_str(), nullptr);
		secs[kind] = std::min(secs[kind], seconds_since(t0));

		uint64_t on_disk = 0;
		for (const auto &r : c.regions) {
			std::error_code ec;
			on_disk += fs::file_size(fs::path(dir) / r.filename, ec);
			fs::remove(fs::path(dir) / r.filename, ec);
		}
		for (const char *f : {"SHA256SUMS", "load.cmm", "dump_info.txt"}) {
			std::error_code ec;
			fs::remove(fs::path(dir) / f, ec);
		}
		complete = complete && on_disk == total;
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
	printf("device pattern alone:         %.0f MB/s\n", total / gen_secs / 1e6);
	printf("peak resident memory: %.2f MiB\n", ru.ru_maxrss / 1024.0);
	// For the table: the realistic pass against the model producing the
	// same bytes alone (there is no link in between).
	bench_print_summary("engine", total, secs[PATTERN], gen_secs, ru.ru_maxrss);
	return ret == 0 && complete ? 0 : 1;
}
