// duruvev --list at lab scale: a tree of record-only dump directories (each
// a dump.json and the SHA256SUMS that lists it, as duruvev-fleet's cache
// holds them), listed by the built program. The aim is 10,000 in under 2 s.
//
//   bench_list BINDIR SCRATCH [DUMPS [RUNS]]   (default 10000, best of 3)
//
// The records spread over 40 titles and the rows kept apart (corrupted, no
// crash message, no kernel log), 250 devices, 10 hosts and 3 kernels. One
// summary line: "summary list DUMPS SECONDS 0 PEAK_RSS_KIB".
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include "../tests/lab_record.h"
#include "bench_summary.h"

namespace fs = std::filesystem;

namespace {

void build_tree(const fs::path &root, unsigned dumps)
{
	static const char *const kernels[] = {"6.1.0-28-arm64", "6.1.0-29-arm64", "6.6.15-qcom"};
	for (unsigned i = 0; i < dumps; i++) {
		std::string serial = "0AA9" + std::to_string(1000 + i % 250);
		char end[32];
		snprintf(end, sizeof(end), "2026-%02u-%02uT%02u:%02u:41Z", 1 + i / 1000 % 12, 1 + i / 40 % 28, i % 24,
			 i % 60);
		nlohmann::json crash;
		unsigned t = i % 43;
		if (t == 40)
			crash = lab_crash("", "none");
		else if (t < 40)
			crash = lab_crash("BUG: unable to handle kernel paging request in driver_" + std::to_string(t),
					  "crash", i % 97 == 0);
		nlohmann::json rec = lab_record("lab-host-" + std::to_string(i % 10), serial, end, crash, kernels[i % 3]);
		lab_write_dump(root / (serial + "-" + std::to_string(i)), rec);
	}
}

// Runs duruvev --list root with its output discarded: the wall time, and the
// peak resident memory in *rss_kib; negative when it failed.
double run_list(const std::string &bin, const fs::path &root, long *rss_kib)
{
	auto t0 = std::chrono::steady_clock::now();
	pid_t pid = fork();
	if (pid == 0) {
		int null = open("/dev/null", O_WRONLY);
		dup2(null, STDOUT_FILENO);
		execl(bin.c_str(), bin.c_str(), "--list", root.c_str(), static_cast<char *>(nullptr));
		_exit(127);
	}
	int status = 0;
	struct rusage ru {};
	if (pid < 0 || wait4(pid, &status, 0, &ru) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0)
		return -1;
	*rss_kib = ru.ru_maxrss;
	return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

} // namespace

int main(int argc, char **argv)
{
	if (argc < 3) {
		fprintf(stderr, "usage: %s BINDIR SCRATCH [DUMPS [RUNS]]\n", argv[0]);
		return 2;
	}
	std::string bin = std::string(argv[1]) + "/duruvev";
	unsigned dumps = argc > 3 ? static_cast<unsigned>(atoi(argv[3])) : 10000;
	int runs = argc > 4 ? atoi(argv[4]) : 3;
	fs::path root = fs::path(argv[2]) / ("duruvev-bench-list-" + std::to_string(getpid()));
	build_tree(root, dumps);
	double best = -1;
	long rss = -1;
	for (int r = 0; r < runs; r++) {
		long k = -1;
		double s = run_list(bin, root, &k);
		printf("run %d: %u records listed in %.3f s, peak RSS %ld KiB\n", r + 1, dumps, s, k);
		if (s >= 0 && (best < 0 || s < best)) {
			best = s;
			rss = k;
		}
	}
	std::error_code ec;
	fs::remove_all(root, ec);
	if (best < 0) {
		fprintf(stderr, "bench_list: duruvev --list failed\n");
		return 1;
	}
	bench_print_summary("list", dumps, best, 0, rss);
	return 0;
}
