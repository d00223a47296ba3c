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

// Codes of the long options without a short form.
enum long_option {
	OPT_SILENT = 1,
	OPT_SILENT_AFTER,
	OPT_UNPLUG_AFTER,
	OPT_NO_RESET_RESP,
	OPT_SHORT_TABLE,
	OPT_MAX_TRANSFER,
	OPT_TIME_LIMIT,
	OPT_SPLIT_PACKET,
	OPT_TRANSFER_GAP,
	OPT_HELLO_MODE,
	OPT_SURPLUS,
	OPT_LINK,
	OPT_TRICKLE,
	OPT_HELLO_STORM,
	OPT_UNKNOWN_FLOOD,
	OPT_HOLD_AFTER,
	OPT_ON_HOLD,
	OPT_CRASH,
	OPT_MEMORY_IMAGE,
};

// What the command line asks for.
struct emu_options {
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
};

// Sets the option whose argument is a count; false when opt takes none.
bool set_count_option(int opt, int64_t v, emu_options &o)
{
	switch (opt) {
	case OPT_SILENT_AFTER:
		o.fault.silent_after_transfers = v;
		return true;
	case OPT_UNPLUG_AFTER:
		o.fault.unplug_after_data = v;
		return true;
	case OPT_SHORT_TABLE:
		o.fault.short_table_bytes = v;
		return true;
	case OPT_MAX_TRANSFER:
		o.fault.max_mem_transfer = static_cast<size_t>(v);
		return true;
	case OPT_TIME_LIMIT:
		o.time_limit = v;
		return true;
	case OPT_TRANSFER_GAP:
		o.transfer_gap = static_cast<int>(std::min<int64_t>(v, 60000));
		return true;
	case OPT_HELLO_MODE:
		o.hello_mode = v;
		return true;
	case OPT_HOLD_AFTER:
		o.fault.hold_after_data = v;
		return true;
	case OPT_CRASH:
		o.crash = static_cast<uint64_t>(v);
		return true;
	}
	return false;
}

// Asked of set_count_option, so that the count options are listed once.
bool is_count_option(int opt)
{
	emu_options scratch;
	return set_count_option(opt, 0, scratch);
}

// --split-packet CMD:AT; false when arg is not that.
bool parse_split_packet(char *arg, emu_fault &fault)
{
	char *colon = strchr(arg, ':');
	int64_t cmd = 0, at = 0;
	if (colon)
		*colon = '\0';
	if (!colon || !parse_count(arg, &cmd) || !parse_count(colon + 1, &at) || cmd == 0 || at == 0)
		return false;
	fault.packet.cmd = static_cast<uint32_t>(cmd);
	fault.packet.split_at = static_cast<size_t>(at);
	return true;
}

// One option other than a count; -1 to go on, or the exit status.
int apply_option(int opt, char *arg, emu_options &o)
{
	switch (opt) {
	case 's':
		o.scenario = arg;
		return -1;
	case OPT_SILENT:
		o.fault.silent_at_start = true;
		return -1;
	case OPT_NO_RESET_RESP:
		o.fault.no_reset_resp = true;
		return -1;
	case OPT_SPLIT_PACKET:
		if (parse_split_packet(arg, o.fault))
			return -1;
		fprintf(stderr, "duruvev-emu: --split-packet wants CMD:AT, e.g. 1:20\n");
		return 2;
	case OPT_SURPLUS:
		if (emu_parse_surplus(arg, o.fault))
			return -1;
		fprintf(stderr, "duruvev-emu: --surplus wants READ:COUNT:BYTES, e.g. 3:2:4096\n");
		return 2;
	case OPT_LINK:
		o.link = arg;
		return -1;
	case OPT_TRICKLE:
		if (emu_parse_trickle(arg, o.fault))
			return -1;
		fprintf(stderr, "duruvev-emu: --trickle wants hello:MS or table:MS\n");
		return 2;
	case OPT_HELLO_STORM:
		o.fault.hello_storm = true;
		return -1;
	case OPT_UNKNOWN_FLOOD:
		o.fault.unknown_flood = true;
		return -1;
	case OPT_ON_HOLD:
		o.on_hold = arg;
		return -1;
	case OPT_MEMORY_IMAGE:
		o.image = arg;
		return -1;
	case 'q':
		o.quiet = true;
		return -1;
	case 'h':
		usage(stdout);
		return 0;
	default:
		usage(stderr);
		return 2;
	}
}

// The options before the command; -1 to go on, or the exit status.
int parse_options(int argc, char **argv, emu_options &o)
{
	static const struct option longopts[] = {
		{"scenario", required_argument, nullptr, 's'},
		{"silent", no_argument, nullptr, OPT_SILENT},
		{"silent-after", required_argument, nullptr, OPT_SILENT_AFTER},
		{"unplug-after", required_argument, nullptr, OPT_UNPLUG_AFTER},
		{"no-reset-resp", no_argument, nullptr, OPT_NO_RESET_RESP},
		{"short-table", required_argument, nullptr, OPT_SHORT_TABLE},
		{"max-transfer", required_argument, nullptr, OPT_MAX_TRANSFER},
		{"time-limit", required_argument, nullptr, OPT_TIME_LIMIT},
		{"split-packet", required_argument, nullptr, OPT_SPLIT_PACKET},
		{"transfer-gap", required_argument, nullptr, OPT_TRANSFER_GAP},
		{"hello-mode", required_argument, nullptr, OPT_HELLO_MODE},
		{"surplus", required_argument, nullptr, OPT_SURPLUS},
		{"link", required_argument, nullptr, OPT_LINK},
		{"trickle", required_argument, nullptr, OPT_TRICKLE},
		{"hello-storm", no_argument, nullptr, OPT_HELLO_STORM},
		{"unknown-flood", no_argument, nullptr, OPT_UNKNOWN_FLOOD},
		{"hold-after", required_argument, nullptr, OPT_HOLD_AFTER},
		{"on-hold", required_argument, nullptr, OPT_ON_HOLD},
		{"crash", required_argument, nullptr, OPT_CRASH},
		{"memory-image", required_argument, nullptr, OPT_MEMORY_IMAGE},
		{"quiet", no_argument, nullptr, 'q'},
		{"help", no_argument, nullptr, 'h'},
		{nullptr, 0, nullptr, 0},
	};
	int opt;
	while ((opt = getopt_long(argc, argv, "+s:qh", longopts, nullptr)) != -1) {
		if (is_count_option(opt)) {
			int64_t v = 0;
			if (!parse_count(optarg, &v)) {
				fprintf(stderr, "duruvev-emu: bad number \"%s\"\n", optarg);
				return 2;
			}
			set_count_option(opt, v, o);
		} else if (int code = apply_option(opt, optarg, o); code >= 0) {
			return code;
		}
	}
	return -1;
}

// The device the options describe; -1 to go on, or the exit status.
int make_config(const emu_options &o, emu_config &cfg)
{
	if (!o.image.empty()) {
		std::string why;
		size_t colon = o.image.find(':');
		if (colon == std::string::npos ||
		    !emu_memory_image(o.image.substr(0, colon), o.image.substr(colon + 1), cfg, why)) {
			fprintf(stderr, "duruvev-emu: --memory-image %s: %s\n", o.image.c_str(),
				colon == std::string::npos ? "wants LAYOUT:FILE" : why.c_str());
			return 2;
		}
	} else if (!emu_scenario(o.scenario, cfg)) {
		fprintf(stderr, "duruvev-emu: unknown scenario \"%s\"\n", o.scenario.c_str());
		usage(stderr);
		return 2;
	}
	cfg.fault = o.fault;
	cfg.crash = o.crash;
	if (o.hello_mode >= 0)
		cfg.hello_mode = static_cast<uint32_t>(o.hello_mode);
	return -1;
}

// The terminal and its link; false (said why) when either fails.
bool open_front(emu_pty_front &front, const emu_options &o)
{
	front.set_transfer_gap(o.transfer_gap);
	if (int e = front.open(); e != 0) {
		fprintf(stderr, "duruvev-emu: cannot create a pseudo-terminal: %s\n", strerror(-e));
		return false;
	}
	if (!o.link.empty()) {
		if (int e = front.set_link(o.link); e != 0) {
			fprintf(stderr, "duruvev-emu: cannot link %s to the terminal: %s\n", o.link.c_str(),
				strerror(-e));
			return false;
		}
	}
	return true;
}

void catch_signals(void)
{
	struct sigaction sa;
	memset(&sa, 0, sizeof(sa));
	sa.sa_handler = on_signal;
	sigaction(SIGINT, &sa, nullptr);
	sigaction(SIGTERM, &sa, nullptr);
	signal(SIGPIPE, SIG_IGN);
}

// The device being served, and what ends the serving.
struct session {
	emu_model &model;
	emu_pty_front &front;
	int64_t time_limit;
	double deadline;
	std::string on_hold;
	bool quiet;

	session(emu_model &m, emu_pty_front &f, const emu_options &o)
		: model(m), front(f), time_limit(o.time_limit),
		  deadline(o.time_limit >= 0 ? now_s() + static_cast<double>(o.time_limit) : 0), on_hold(o.on_hold),
		  quiet(o.quiet)
	{
	}

	bool out_of_time() const { return time_limit >= 0 && now_s() >= deadline; }

	// A test waits for this file instead of guessing how long the host
	// takes to reach the hold.
	void tell_hold()
	{
		if (on_hold.empty() || !model.silent() || !front.idle())
			return;
		if (FILE *f = fopen(on_hold.c_str(), "w"))
			fclose(f);
		else
			fprintf(stderr, "duruvev-emu: cannot create %s: %s\n", on_hold.c_str(), strerror(errno));
		on_hold.clear();
	}

	void report() const
	{
		if (!quiet)
			summary(model, front);
	}
};

// Without a command: prints the port's path and serves until the dump ends.
int serve_alone(session &s)
{
	printf("%s\n", s.front.slave_path().c_str());
	fflush(stdout);
	while (!stop_signal && !s.out_of_time()) {
		if (!s.front.step(50))
			break;
		s.tell_hold();
		if (s.model.finished() && s.front.idle())
			break;
	}
	s.report();
	return stop_signal || s.out_of_time() ? 1 : 0;
}

// Starts the command with "{pty}" replaced by the port's path; -1 when
// fork fails.
pid_t start_command(char **cmd, int count, const std::string &port)
{
	std::vector<std::string> args;
	for (int i = 0; i < count; i++)
		args.push_back(replace_all(cmd[i], "{pty}", port));
	fflush(nullptr);
	pid_t child = fork();
	if (child != 0)
		return child;
	std::vector<char *> cargs;
	for (auto &a : args)
		cargs.push_back(a.data());
	cargs.push_back(nullptr);
	signal(SIGPIPE, SIG_DFL);
	execvp(cargs[0], cargs.data());
	fprintf(stderr, "duruvev-emu: cannot run %s: %s\n", cargs[0], strerror(errno));
	_exit(127);
}

// Serves the command until it ends; its exit status the way a shell
// gives it.
int serve_command(session &s, char **cmd, int count)
{
	pid_t child = start_command(cmd, count, s.front.slave_path());
	if (child < 0) {
		perror("duruvev-emu: fork");
		return 1;
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
		if (stop_signal || s.out_of_time()) {
			kill(child, SIGTERM);
			waitpid(child, &status, 0);
			break;
		}
		if (serving) {
			serving = s.front.step(20);
			s.tell_hold();
		} else
			usleep(20000);
	}
	s.report();
	if (WIFEXITED(status))
		return WEXITSTATUS(status);
	if (WIFSIGNALED(status))
		return 128 + WTERMSIG(status);
	return 1;
}

} // namespace

int main(int argc, char **argv)
{
	emu_options o;
	if (int code = parse_options(argc, argv, o); code >= 0)
		return code;
	emu_config cfg;
	if (int code = make_config(o, cfg); code >= 0)
		return code;
	emu_model model(cfg);
	emu_pty_front front(model);
	if (!open_front(front, o))
		return 1;
	catch_signals();

	session s(model, front, o);
	if (optind >= argc)
		return serve_alone(s);
	return serve_command(s, argv + optind, argc - optind);
}
