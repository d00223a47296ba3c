// duruvev-emu: an EDL device in memory-debug mode behind a pseudo-terminal,
// for trying the tool without a device and for end-to-end tests.
//
//   duruvev-emu [options]                 prints the port path, serves it
//   duruvev-emu [options] -- CMD ARGS...  runs CMD with "{pty}" replaced by
//                                         the port path, exits with its status
#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <getopt.h>
#include <string>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>
#include <vector>

#include "edl_model.h"
#include "memory_image.h"
#include "pty_front.h"
#include "scenarios.h"

namespace {

volatile sig_atomic_t stop_signal = 0;

void on_signal(int sig)
{
	stop_signal = sig;
}

void usage(FILE *out)
{
	fprintf(out,
		"usage: duruvev-emu [options] [-- COMMAND [ARG...]]\n"
		"Serves an emulated EDL device in memory-debug mode on a pseudo-terminal.\n"
		"Without a command, prints the port's path and serves until the dump ends.\n"
		"With one, runs it with every \"{pty}\" in its arguments replaced by the\n"
		"path, and exits with its status.\n"
		"\n"
		"  -s, --scenario=NAME       regions to offer (default crash):\n"
		"%s"
		"      --memory-image=LAYOUT:FILE  instead, the RAM of QEMU's dump-guest-memory\n"
		"                            FILE as a phone offers it: LAYOUT ram (DDR\n"
		"                            regions only) or minidump (kernel header, vmcoreinfo\n"
		"                            and printk ring regions)\n"
		"      --silent              never say anything (no HELLO)\n"
		"      --silent-after=N      go quiet after N transfers\n"
		"      --unplug-after=BYTES  vanish after BYTES bytes of region data\n"
		"      --hold-after=BYTES    send nothing more after BYTES bytes of region\n"
		"                            data, but stay there\n"
		"      --on-hold=PATH        create PATH once the host has read every byte\n"
		"                            sent before the hold\n"
		"      --no-reset-resp       do not answer RESET\n"
		"      --short-table=BYTES   send only BYTES bytes of the region table\n"
		"      --max-transfer=BYTES  cut memory answers into transfers of BYTES\n"
		"      --split-packet=CMD:AT send the first packet of command CMD as two\n"
		"                            transfers, the first AT bytes long\n"
		"      --transfer-gap=MS     pause MS between transfers\n"
		"      --hello-mode=N        announce mode N in HELLO (0: image transfer,\n"
		"                            as a device being flashed; default 2)\n"
		"      --surplus=READ:COUNT:BYTES\n"
		"                            after the block of MEM_READ64 number READ\n"
		"                            (0 = the table), send COUNT transfers of BYTES\n"
		"                            nobody asked for (COUNT \"forever\": never stop)\n"
		"      --trickle=WHAT:MS     send WHAT (hello or table) a byte every MS\n"
		"      --hello-storm         answer every HELLO_RESP with another HELLO\n"
		"      --unknown-flood       after HELLO_RESP, send unknown packets forever\n"
		"      --link=PATH           make PATH a symbolic link to the terminal while\n"
		"                            the device is there (gone before it goes)\n"
		"      --crash=N             hold crash N: region memory the scenario does\n"
		"                            not spell out differs from crash 0 (default)\n"
		"      --time-limit=SEC      stop serving after SEC seconds\n"
		"  -q, --quiet               no summary on standard error\n"
		"  -h, --help                this text\n",
		emu_scenario_help());
}

bool parse_count(const char *text, int64_t *out)
{
	char *end;
	errno = 0;
	long long v = strtoll(text, &end, 0);
	if (errno != 0 || end == text || *end != '\0' || v < 0)
		return false;
	*out = v;
	return true;
}

std::string replace_all(std::string s, const std::string &from, const std::string &to)
{
	for (size_t pos = 0; (pos = s.find(from, pos)) != std::string::npos; pos += to.size())
		s.replace(pos, from.size(), to);
	return s;
}

double now_s(void)
{
	struct timespec ts;
	clock_gettime(CLOCK_MONOTONIC, &ts);
	return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

void summary(const emu_model &model, const emu_pty_front &front)
{
	fprintf(stderr, "duruvev-emu: %llu bytes sent, %llu memory reads, %u reset(s)%s, %u HELLO_RESP, %llu region bytes\n",
		static_cast<unsigned long long>(front.bytes_to_host()),
		static_cast<unsigned long long>(model.mem_read64_count), model.reset_count,
		model.unplugged() ? ", unplugged" : "", model.hello_resp_count,
		static_cast<unsigned long long>(model.data_bytes_sent));
	for (const std::string &e : model.errors)
		fprintf(stderr, "duruvev-emu: host error: %s\n", e.c_str());
}

} // namespace

int main(int argc, char **argv)
{
	static const struct option longopts[] = {
		{"scenario", required_argument, nullptr, 's'},
		{"silent", no_argument, nullptr, 1},
		{"silent-after", required_argument, nullptr, 2},
		{"unplug-after", required_argument, nullptr, 3},
		{"no-reset-resp", no_argument, nullptr, 4},
		{"short-table", required_argument, nullptr, 5},
		{"max-transfer", required_argument, nullptr, 6},
		{"time-limit", required_argument, nullptr, 7},
		{"split-packet", required_argument, nullptr, 8},
		{"transfer-gap", required_argument, nullptr, 9},
		{"hello-mode", required_argument, nullptr, 10},
		{"surplus", required_argument, nullptr, 11},
		{"link", required_argument, nullptr, 12},
		{"trickle", required_argument, nullptr, 13},
		{"hello-storm", no_argument, nullptr, 14},
		{"unknown-flood", no_argument, nullptr, 15},
		{"hold-after", required_argument, nullptr, 16},
		{"on-hold", required_argument, nullptr, 17},
		{"crash", required_argument, nullptr, 18},
		{"memory-image", required_argument, nullptr, 19},
		{"quiet", no_argument, nullptr, 'q'},
		{"help", no_argument, nullptr, 'h'},
		{nullptr, 0, nullptr, 0},
	};
	std::string scenario = "crash";
	emu_fault fault;
	int64_t time_limit = -1;
	int transfer_gap = 0;
	int64_t hello_mode = -1;
	std::string link;
	std::string on_hold;
	std::string image;
	bool quiet = false;
	uint64_t crash = 0;
	int opt;

	while ((opt = getopt_long(argc, argv, "+s:qh", longopts, nullptr)) != -1) {
		int64_t v = 0;
		if ((opt >= 2 && opt <= 3) || (opt >= 5 && opt <= 7) || opt == 9 || opt == 10 || opt == 16 || opt == 18) {
			if (!parse_count(optarg, &v)) {
				fprintf(stderr, "duruvev-emu: bad number \"%s\"\n", optarg);
				return 2;
			}
		}
		switch (opt) {
		case 's':
			scenario = optarg;
			break;
		case 1:
			fault.silent_at_start = true;
			break;
		case 2:
			fault.silent_after_transfers = v;
			break;
		case 3:
			fault.unplug_after_data = v;
			break;
		case 4:
			fault.no_reset_resp = true;
			break;
		case 5:
			fault.short_table_bytes = v;
			break;
		case 6:
			fault.max_mem_transfer = static_cast<size_t>(v);
			break;
		case 7:
			time_limit = v;
			break;
		case 9:
			transfer_gap = static_cast<int>(std::min<int64_t>(v, 60000));
			break;
		case 10:
			hello_mode = v;
			break;
		case 8: {
			char *colon = strchr(optarg, ':');
			int64_t cmd = 0, at = 0;
			if (colon)
				*colon = '\0';
			if (!colon || !parse_count(optarg, &cmd) || !parse_count(colon + 1, &at) || cmd == 0 || at == 0) {
				fprintf(stderr, "duruvev-emu: --split-packet wants CMD:AT, e.g. 1:20\n");
				return 2;
			}
			fault.packet.cmd = static_cast<uint32_t>(cmd);
			fault.packet.split_at = static_cast<size_t>(at);
			break;
		}
		case 11:
			if (!emu_parse_surplus(optarg, fault)) {
				fprintf(stderr, "duruvev-emu: --surplus wants READ:COUNT:BYTES, e.g. 3:2:4096\n");
				return 2;
			}
			break;
		case 12:
			link = optarg;
			break;
		case 13:
			if (!emu_parse_trickle(optarg, fault)) {
				fprintf(stderr, "duruvev-emu: --trickle wants hello:MS or table:MS\n");
				return 2;
			}
			break;
		case 14:
			fault.hello_storm = true;
			break;
		case 15:
			fault.unknown_flood = true;
			break;
		case 16:
			fault.hold_after_data = v;
			break;
		case 17:
			on_hold = optarg;
			break;
		case 18:
			crash = static_cast<uint64_t>(v);
			break;
		case 19:
			image = optarg;
			break;
		case 'q':
			quiet = true;
			break;
		case 'h':
			usage(stdout);
			return 0;
		default:
			usage(stderr);
			return 2;
		}
	}

	emu_config cfg;
	if (!image.empty()) {
		std::string why;
		size_t colon = image.find(':');
		if (colon == std::string::npos ||
		    !emu_memory_image(image.substr(0, colon), image.substr(colon + 1), cfg, why)) {
			fprintf(stderr, "duruvev-emu: --memory-image %s: %s\n", image.c_str(),
				colon == std::string::npos ? "wants LAYOUT:FILE" : why.c_str());
			return 2;
		}
	} else if (!emu_scenario(scenario, cfg)) {
		fprintf(stderr, "duruvev-emu: unknown scenario \"%s\"\n", scenario.c_str());
		usage(stderr);
		return 2;
	}
	cfg.fault = fault;
	cfg.crash = crash;
	if (hello_mode >= 0)
		cfg.hello_mode = static_cast<uint32_t>(hello_mode);
	emu_model model(cfg);
	emu_pty_front front(model);
	front.set_transfer_gap(transfer_gap);
	if (int e = front.open(); e != 0) {
		fprintf(stderr, "duruvev-emu: cannot create a pseudo-terminal: %s\n", strerror(-e));
		return 1;
	}
	if (!link.empty()) {
		if (int e = front.set_link(link); e != 0) {
			fprintf(stderr, "duruvev-emu: cannot link %s to the terminal: %s\n", link.c_str(), strerror(-e));
			return 1;
		}
	}

	struct sigaction sa;
	memset(&sa, 0, sizeof(sa));
	sa.sa_handler = on_signal;
	sigaction(SIGINT, &sa, nullptr);
	sigaction(SIGTERM, &sa, nullptr);
	signal(SIGPIPE, SIG_IGN);

	double deadline = time_limit >= 0 ? now_s() + static_cast<double>(time_limit) : 0;
	auto out_of_time = [&] { return time_limit >= 0 && now_s() >= deadline; };
	// A test waits for this file instead of guessing how long the host
	// takes to reach the hold.
	auto tell_hold = [&] {
		if (on_hold.empty() || !model.silent() || !front.idle())
			return;
		if (FILE *f = fopen(on_hold.c_str(), "w"))
			fclose(f);
		else
			fprintf(stderr, "duruvev-emu: cannot create %s: %s\n", on_hold.c_str(), strerror(errno));
		on_hold.clear();
	};

	if (optind >= argc) {
		printf("%s\n", front.slave_path().c_str());
		fflush(stdout);
		while (!stop_signal && !out_of_time()) {
			if (!front.step(50))
				break;
			tell_hold();
			if (model.finished() && front.idle())
				break;
		}
		if (!quiet)
			summary(model, front);
		return stop_signal || out_of_time() ? 1 : 0;
	}

	std::vector<std::string> args;
	for (int i = optind; i < argc; i++)
		args.push_back(replace_all(argv[i], "{pty}", front.slave_path()));
	fflush(nullptr);
	pid_t child = fork();
	if (child < 0) {
		perror("duruvev-emu: fork");
		return 1;
	}
	if (child == 0) {
		std::vector<char *> cargs;
		for (auto &a : args)
			cargs.push_back(a.data());
		cargs.push_back(nullptr);
		signal(SIGPIPE, SIG_DFL);
		execvp(cargs[0], cargs.data());
		fprintf(stderr, "duruvev-emu: cannot run %s: %s\n", cargs[0], strerror(errno));
		_exit(127);
	}

	int status = 0;
	bool serving = true;
	for (;;) {
		pid_t w = waitpid(child, &status, WNOHANG);
		if (w == child)
			break;
		if (w < 0 && errno != EINTR) {
			perror("duruvev-emu: waitpid");
			return 1;
		}
		if (stop_signal || out_of_time()) {
			kill(child, SIGTERM);
			waitpid(child, &status, 0);
			break;
		}
		if (serving) {
			serving = front.step(20);
			tell_hold();
		} else
			usleep(20000);
	}
	if (!quiet)
		summary(model, front);
	if (WIFEXITED(status))
		return WEXITSTATUS(status);
	if (WIFSIGNALED(status))
		return 128 + WTERMSIG(status);
	return 1;
}
