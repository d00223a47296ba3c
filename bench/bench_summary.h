// Shared by the benchmarks: the one-line result that `make bench` gathers
// into its table, and a wrapper that measures the peak resident memory of
// duruvev when an emulator starts it.
#pragma once

#include <cstdio>
#include <cstring>
#include <signal.h>
#include <string>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

// "summary NAME BYTES SECONDS RAW_SECONDS PEAK_RSS_KIB": the dump of BYTES
// took SECONDS; the same bytes over the raw link took RAW_SECONDS.
inline void bench_print_summary(const char *name, unsigned long long bytes, double seconds, double raw_seconds,
				long rss_kib)
{
	printf("summary %s %llu %.6f %.6f %ld\n", name, bytes, seconds, raw_seconds, rss_kib);
}

// argv: SELF --rss FILE -- PROGRAM ARGS...: runs PROGRAM, writes its peak
// resident memory in KiB to FILE and exits with its status. Put in front of
// the tool's command line, it measures the tool and not the emulator.
inline int bench_rss_wrapper(int argc, char **argv)
{
	if (argc < 5 || strcmp(argv[1], "--rss") != 0 || strcmp(argv[3], "--") != 0)
		return 127;
	pid_t pid = fork();
	if (pid == 0) {
		// The emulator may kill us on a time-out; the tool goes too.
		prctl(PR_SET_PDEATHSIG, SIGKILL);
		execv(argv[4], argv + 4);
		_exit(127);
	}
	int status = 0;
	struct rusage ru {};
	if (pid < 0 || wait4(pid, &status, 0, &ru) != pid)
		return 127;
	if (FILE *f = fopen(argv[2], "w")) {
		fprintf(f, "%ld\n", ru.ru_maxrss);
		fclose(f);
	}
	return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// The number the wrapper wrote, or -1.
inline long bench_read_rss(const std::string &file)
{
	long kib = -1;
	if (FILE *f = fopen(file.c_str(), "r")) {
		if (fscanf(f, "%ld", &kib) != 1)
			kib = -1;
		fclose(f);
	}
	return kib;
}
