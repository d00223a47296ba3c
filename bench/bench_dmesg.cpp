// What reading the kernel log of a dump of all RAM costs: a 4 GiB DDR region
// (a sparse file: the page cache holds a dump just written, as here) with
// the emulated arm64 kernel's log and, in its last page, vmcoreinfo. Read
// once with vmcoreinfo found by the scan of every page, and once with a
// vmcoreinfo region beside it; the difference is the scan's cost.
//
//   bench_dmesg [DIR] [MIB]
//
// DIR: where the scratch directory is made (default /dev/shm when present,
// else /tmp); MIB: the region's size (default 4096).
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <sys/resource.h>
#include <vector>

#include "bench_summary.h"
#include "dmesg.h"
#include "oscompat.h"
#include "scenarios.h"

namespace fs = std::filesystem;

namespace {

constexpr uint64_t RAM = 0x80000000;

void put(std::fstream &f, uint64_t paddr, const void *bytes, size_t n)
{
	f.seekp(static_cast<std::streamoff>(paddr - RAM));
	f.write(static_cast<const char *>(bytes), static_cast<std::streamsize>(n));
}

// The fastest of three reads of the log, in seconds; -1 when one fails.
double read_log(const fs::path &dir, const std::vector<dmesg_region> &regions, size_t &records)
{
	double best = -1;
	for (int pass = 0; pass < 3; pass++) {
		os_dir_handle h = os_dir_none;
		if (os_dir_open(dir.string().c_str(), &h) != 0)
			return -1;
		os_dir d(h);
		kmsg_log log;
		std::string why;
		auto t0 = std::chrono::steady_clock::now();
		if (dmesg_read_dump(d.get(), regions, log, why) != 0) {
			fprintf(stderr, "bench_dmesg: %s\n", why.c_str());
			return -1;
		}
		double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
		best = best < 0 || s < best ? s : best;
		records = log.records.size();
	}
	return best;
}

} // namespace

int main(int argc, char **argv)
{
	fs::path base = argc > 1 ? argv[1] : (fs::exists("/dev/shm") ? "/dev/shm" : "/tmp");
	uint64_t mib = argc > 2 ? strtoull(argv[2], nullptr, 10) : 4096;
	if (mib < 64) {
		fprintf(stderr, "usage: bench_dmesg [DIR] [MIB >= 64]\n");
		return 2;
	}
	const uint64_t size = mib << 20;
	fs::path dir = base / ("bench-dmesg-" + std::to_string(getpid()));
	fs::create_directories(dir);

	// The scenario kernel's log, its init_uts_ns, and vmcoreinfo's page last.
	emu_config cfg;
	emu_scenario("crash", cfg);
	const emu_kernel_info &k = emu_kernel_arm64();
	const std::string vmcoreinfo = emu_vmcoreinfo_text(k);
	{
		std::fstream f(dir / "DDRCS0.BIN", std::ios::out | std::ios::binary);
		f.close();
		fs::resize_file(dir / "DDRCS0.BIN", size);
		f.open(dir / "DDRCS0.BIN", std::ios::in | std::ios::out | std::ios::binary);
		for (const emu_region &r : cfg.regions)
			if (r.region == "md_KDATA" || r.region == "md_KLOGBUF")
				put(f, r.addr, r.bytes.data(), r.bytes.size());
		char uts[195] = "Linux";
		strcpy(uts + 130, k.osrelease);
		put(f, k.init_uts_ns - k.kimage_voffset, uts, sizeof(uts));
		put(f, RAM + size - 4096, vmcoreinfo.data(), vmcoreinfo.size());
		std::ofstream(dir / "VMCOREINFO.BIN", std::ios::binary) << vmcoreinfo;
	}
	std::vector<dmesg_region> regions = {{"DDRCS0", "DDRCS0.BIN", RAM, size}};
	size_t scanned_records = 0, records = 0;
	double scanned = read_log(dir, regions, scanned_records);
	regions.push_back({"md_KVMCOREINFO", "VMCOREINFO.BIN", RAM + size - 4096, vmcoreinfo.size()});
	double plain = read_log(dir, regions, records);
	fs::remove_all(dir);
	if (scanned < 0 || plain < 0 || records != scanned_records)
		return 1;
	printf("kernel log of %llu MiB of RAM: %zu records in %.3f s with the scan for vmcoreinfo, %.3f s with its "
	       "region\n",
	       static_cast<unsigned long long>(mib), records, scanned, plain);
	struct rusage ru {};
	getrusage(RUSAGE_SELF, &ru);
	bench_print_summary("dmesg-scan", size, scanned, plain, ru.ru_maxrss);
	return 0;
}
