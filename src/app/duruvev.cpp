// Front end: command line, run sequence and exit code.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <getopt.h>
#include <string>
#include <vector>

#include "collect.h"
#include "duruvev.h"
#include "dmesg.h"
#include "lab_list.h"
#include "oscompat.h"
#include "sahara.h"
#include "util.h"
#include "ux.h"
#include "vorn.h"

const char *__progname = "duruvev";
bool vorn_debug = false;

// The console and the error reports name the program and follow the debug
// switch; both are handed to them when the front end is linked in, before
// main runs.
static const bool program_handed_over = (ux_set_program(__progname, &vorn_debug), true);

void print_usage(FILE *out)
{
	fprintf(out,
		"%s [--debug] [-o <duruvev-path>] [segment-filter]\n"
		"%s --resume -o <duruvev-path> [--debug] [segment-filter]\n"
		"%s --collect [-o <root>] [-S T]... [--then CMD [--then-limit S]] [segment-filter]\n"
		"%s --dmesg <dump-dir>\n"
		"%s --title <dump-dir|log-file>\n"
		"%s --list [--since DATE] [--json] [--html FILE] PATH...\n"
		"\n"
		" -d, --debug\t\tEnable debug output\n"
		" -v, --version\t\tPrint version\n"
		" -o, --output=PATH\tDirectory to write duruvev segments into (default: .)\n"
		" -S, --serial=T\t\tSelect target by serial number T (e.g. <0AA94EFD>)\n"
		"     --resume\t\tContinue the dump cut short in the -o directory: regions\n"
		"\t\t\talready whole are kept, the rest are read\n"
		"     --collect\t\tDump every crashed device that appears, each into\n"
		"\t\t\t<root>/<serial or port>-<UTC time>, until stopped\n"
		"     --then=CMD\t\tWith --collect: hand each complete dump to CMD, its\n"
		"\t\t\tdirectory as last argument, until CMD succeeds\n"
		"     --then-limit=S\tEnd a hand-off still running after S seconds\n"
		"\t\t\t(default 3600); it is tried again later\n"
		"     --dmesg=DIR\tPrint the kernel log of the dump in DIR\n"
		"     --title=DIR|FILE\tPrint the title of the crash in a dump or a log file\n"
		"     --list\t\tList the complete dumps under each PATH, one row per\n"
		"\t\t\tcrash title; --since: only those after DATE (UTC);\n"
		"\t\t\t--json: as JSON; --html: also as a page in FILE\n"
		" -h, --help\t\tPrint this usage info\n"
		" [segment-filter]\tOptional comma-separated list of segment names to dump\n",
		__progname, __progname, __progname, __progname, __progname, __progname);
}

static const struct option options[] = {
	{"debug", no_argument, nullptr, 'd'},
	{"version", no_argument, nullptr, 'v'},
	{"output", required_argument, nullptr, 'o'},
	{"serial", required_argument, nullptr, 'S'},
	{"help", no_argument, nullptr, 'h'},
	{"collect", no_argument, nullptr, 'C'},
	{"then", required_argument, nullptr, 'T'},
	{"then-limit", required_argument, nullptr, 'L'},
	{"dmesg", required_argument, nullptr, 'K'},
	{"title", required_argument, nullptr, 'N'},
	{"resume", no_argument, nullptr, 'R'},
	{"list", no_argument, nullptr, 'I'},
	{"since", required_argument, nullptr, 'E'},
	{"json", no_argument, nullptr, 'J'},
	{"html", required_argument, nullptr, 'H'},
	{nullptr, 0, nullptr, 0},
};

// What the command line asks for, as parse_options leaves it.
struct cli_options {
	const char *duruvev_path = ".";
	const char *serial = nullptr;
	const char *filter = nullptr;
	std::vector<std::string> targets;
	bool collect = false, resume = false, output_given = false;
	const char *then = nullptr;
	const char *then_limit = nullptr;
	unsigned limit_s = 3600; // then_limit, once checked
	const char *dmesg_dir = nullptr;
	const char *title_of = nullptr;
	bool list = false;
	const char *since = nullptr, *html = nullptr;
	lab_list_options lab;
};

// The options; optind is left at the first operand. -1 to go on, or the
// exit status.
static int parse_options(int argc, char **argv, cli_options &o)
{
	int opt;
	while ((opt = getopt_long(argc, argv, "dvo:S:h", options, nullptr)) != -1) {
		switch (opt) {
		case 'd':
			vorn_debug = true;
			break;
		case 'v':
			print_version();
			return 0;
		case 'o':
			o.duruvev_path = optarg;
			o.output_given = true;
			break;
		case 'S':
			o.serial = optarg;
			o.targets.push_back(optarg);
			break;
		case 'C':
			o.collect = true;
			break;
		case 'R':
			o.resume = true;
			break;
		case 'T':
			o.then = optarg;
			break;
		case 'L':
			o.then_limit = optarg;
			break;
		case 'K':
			o.dmesg_dir = optarg;
			break;
		case 'N':
			o.title_of = optarg;
			break;
		case 'I':
			o.list = true;
			break;
		case 'E':
			o.since = optarg;
			break;
		case 'J':
			o.lab.json = true;
			break;
		case 'H':
			o.html = optarg;
			break;
		case 'h':
			print_usage(stdout);
			return 0;
		default:
			print_usage(stderr);
			return 1;
		}
	}
	return -1;
}

// --list and its options: PATHs and no option of another mode.
static int list_main(cli_options &o, char **paths, char **paths_end)
{
	o.lab.paths.assign(paths, paths_end);
	bool alone = !(o.collect || o.then || o.then_limit || o.resume || o.dmesg_dir || o.title_of ||
		       o.output_given || !o.targets.empty());
	if (!o.list || !alone || o.lab.paths.empty()) {
		print_usage(stderr);
		return 1;
	}
	ux_init();
	if (o.since && !lab_since_parse(o.since, &o.lab.since)) {
		ux_err("--since: \"%s\" is no UTC date (YYYY-MM-DD or YYYY-MM-DDTHH:MM:SS)\n", o.since);
		return 1;
	}
	o.lab.html = o.html ? o.html : "";
	return lab_list_run(o.lab, stdout);
}

// --dmesg and --title read a dump or a log already on disk, alone.
static int dmesg_main(const cli_options &o)
{
	if (o.collect || o.filter || o.then || o.then_limit || o.resume || o.title_of) {
		print_usage(stderr);
		return 1;
	}
	return dmesg_print(o.dmesg_dir, stdout);
}

static int title_main(const cli_options &o)
{
	if (o.collect || o.filter || o.then || o.then_limit || o.resume) {
		print_usage(stderr);
		return 2;
	}
	return dmesg_title_print(o.title_of, stdout);
}

// The hand-off options belong to --collect, and --resume to a one-shot dump
// into -o: -1 when they fit, else 1 once said why.
static int check_dump_options(cli_options &o)
{
	if (!o.collect && (o.then || o.then_limit)) {
		ux_err("--then and --then-limit hand off the dumps of --collect; use them with --collect\n");
		return 1;
	}
	if (o.then_limit) {
		char *end;
		unsigned long v = strtoul(o.then_limit, &end, 10);
		if (!o.then || *o.then_limit == '-' || *end != '\0' || end == o.then_limit || v == 0 ||
		    v > 7 * 24 * 3600) {
			ux_err(o.then ? "--then-limit: \"%s\" is not a number of seconds from 1 to 604800\n"
				      : "--then-limit%s needs --then\n",
			       o.then ? o.then_limit : "");
			return 1;
		}
		o.limit_s = static_cast<unsigned>(v);
	}
	if (o.then && !*o.then) {
		ux_err("--then: the command is empty\n");
		return 1;
	}
	// Continuing names the dump it continues; in collection it is what
	// happens anyway.
	if (o.resume && (!o.output_given || o.collect)) {
		ux_err("--resume needs -o with the directory of the dump to continue, and no --collect\n");
		return 1;
	}
	return -1;
}

// One dump of one device, into -o.
static int one_shot_main(vorn_device *dev, const cli_options &o)
{
	// A dump can be taken only once: a bad output directory must fail
	// before the device is touched, not after it has been reset.
	if (os_prepare_output_dir(o.duruvev_path) != 0) {
		ux_err("cannot write to output directory \"%s\": %s\n", o.duruvev_path, os_strerror(errno));
		return 1;
	}
	if (vorn_open(dev, o.serial) != 0)
		return 1;
	// The device is known as it was asked for; a port is no serial.
	sahara_device_id id;
	if (o.serial) {
		id.label = o.serial;
		if (!qud_names_port(o.serial))
			id.serial = o.serial;
	}
	int result = sahara_run(dev, nullptr, o.duruvev_path, o.filter, &id);
	return result < 0 ? 1 : result;
}

int duruvev_main(int argc, char **argv)
{
	vorn_device *dev = vorn_init(VORN_DEVICE_AUTO);
	if (!dev)
		return 1;
	// Every ending closes and frees the record; closing one that was never
	// opened does nothing.
	struct device_guard {
		vorn_device *dev;
		~device_guard()
		{
			vorn_close(dev);
			vorn_deinit(dev);
		}
	} guard{dev};

	cli_options o;
	if (int code = parse_options(argc, argv, o); code >= 0)
		return code;

	// Reads dumps already on disk, as many as are named; no device is
	// involved.
	if (o.list || o.since || o.lab.json || o.html)
		return list_main(o, argv + optind, argv + argc);
	if (optind < argc)
		o.filter = argv[optind++];
	if (optind < argc) {
		print_usage(stderr);
		return 1;
	}

	ux_init();
	if (vorn_debug)
		print_version();

	// Reads a dump already on disk; no device is involved.
	if (o.dmesg_dir)
		return dmesg_main(o);
	if (o.title_of)
		return title_main(o);

	if (int code = check_dump_options(o); code >= 0)
		return code;
	sahara_config().resume = o.resume;

	if (o.collect)
		return collect_run(o.duruvev_path, o.targets, o.filter, o.then, o.limit_s);
	return one_shot_main(dev, o);
}
