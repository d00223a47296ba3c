// duruvev-emu-usb: serves emulated EDL devices through umockdev (USB devices
// under the real libusb, and USB serial ports) to a program it starts, then
// exits with that program's status.
//
//   duruvev-emu-usb [options] -- program [args...]
//
// Options:
//   --scenario NAME     regions of the device model: default, plain, or one
//                       of duruvev-emu's (crash, crash32, ...)
//   --region NAME:ADDR:LEN[:FILE]
//                       a region (repeatable; replaces the scenario's)
//   --device SPEC       an emulated USB device (repeatable)
//   --tty SPEC          an emulated USB serial port (repeatable)
//   --log FILE          one line per URB and event
//   --report FILE       what every device saw, as key=value lines
//   --timeout SEC       kill the program after SEC seconds (exit 124)
//   --quiet             no summary on standard error
//   --term-after-reset MS
//                       SIGTERM to the program MS ms after every device
//                       model has been reset (ends a collection run)
//
// SPEC is a comma-separated list of:
//   serial=S            "_SN:S" in the product string
//   product=TEXT        the whole product string instead
//   pid=HEX             product id (USB default 900e, tty 9008)
//   busy                the interface is claimed by someone else
//   bad-first-interface a vendor interface without bulk IN comes first
//   later=MS            plugged in MS ms after the program started
//   mode=model|loopback|source[:SIZE]
//                       what the bulk endpoints carry (USB only)
//   name=ttyUSBn        tty device name
//   unplug-after=BYTES  the device vanishes after BYTES of region data
//   replug-after=MS     with unplug-after: it comes back MS ms after it
//                       vanished, at the same bus path under a new device
//                       number, with the same crash, and serves the dump
//                       anew from HELLO
//   replug-serial=S     with replug-after: what comes back is another device
//                       of the model (same table and memory) with serial S
//   silent              never says anything
//   silent-after=N      silent after N transfers
//   no-reset-resp       no answer to RESET
//   max-mem-transfer=N  memory answers cut into transfers of N bytes
//   surplus=READ:COUNT:BYTES
//                       after the block of MEM_READ64 number READ, COUNT
//                       transfers of BYTES nobody asked for ("forever")
#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <ftw.h>
#include <getopt.h>
#include <memory>
#include <mutex>
#include <string>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>
#include <vector>

#include <umockdev.h>

#include "edl_model.h"
#include "tty_gadget.h"
#include "usb_gadget.h"
#include "usb_scenarios.h"

extern char **environ;

namespace {

class model_function : public usb_function {
public:
	explicit model_function(const emu_config &cfg) : model(cfg) {}
	void host_transfer(const uint8_t *buf, size_t len) override { model.write_in(buf, len); }
	bool in_ready() override { return model.has_output(); }
	uint64_t in_pending() override { return model.pending_out(); }
	size_t in_read(uint8_t *buf, size_t max) override { return model.read_out(buf, max); }
	bool unplugged() override { return model.unplugged(); }
	// Back with the same table and memory, starting over with HELLO; the
	// glitch that took it away is over. What the earlier appearances
	// handed out is kept apart, so that a test can tell what was read
	// again.
	void replugged() override
	{
		earlier_data_bytes += model.data_bytes_sent;
		earlier_resets += model.reset_count;
		earlier_errors.insert(earlier_errors.end(), model.errors.begin(), model.errors.end());
		emu_config cfg = model.config();
		cfg.fault.unplug_after_data = -1;
		model = emu_model(cfg);
	}

	emu_model model; // the current appearance
	uint64_t earlier_data_bytes = 0;
	unsigned earlier_resets = 0;
	std::vector<std::string> earlier_errors;
};

// Every host transfer comes back as one device transfer.
class loopback_function : public usb_function {
public:
	void host_transfer(const uint8_t *buf, size_t len) override
	{
		queue.emplace_back(buf, buf + len);
	}
	bool in_ready() override { return !queue.empty(); }
	uint64_t in_pending() override { return queue.empty() ? 0 : queue.front().size() - off; }
	size_t in_read(uint8_t *buf, size_t max) override
	{
		size_t n = std::min<size_t>(max, queue.front().size() - off);
		memcpy(buf, queue.front().data() + off, n);
		off += n;
		if (off == queue.front().size()) {
			queue.pop_front();
			off = 0;
		}
		return n;
	}
	bool unplugged() override { return false; }
	std::deque<std::vector<uint8_t>> queue;
	size_t off = 0;
};

// Endless device transfers of one size: the raw speed of the emulated link.
class source_function : public usb_function {
public:
	explicit source_function(uint64_t size) : size_(size ? size : 524288) {}
	void host_transfer(const uint8_t *, size_t) override {}
	bool in_ready() override { return true; }
	uint64_t in_pending() override { return size_ - off_; }
	size_t in_read(uint8_t *buf, size_t max) override
	{
		size_t n = static_cast<size_t>(std::min<uint64_t>(max, size_ - off_));
		emu_pattern_fill(addr_, buf, n);
		addr_ += n;
		off_ += n;
		if (off_ == size_)
			off_ = 0;
		return n;
	}
	bool unplugged() override { return false; }

private:
	uint64_t size_;
	uint64_t off_ = 0;
	uint64_t addr_ = 0;
};

struct device_spec {
	bool is_tty = false;
	std::string serial;
	std::string product;
	bool has_product = false;
	int pid = -1;
	bool busy = false;
	bool bad_first_interface = false;
	long later_ms = 0;
	long replug_ms = -1;
	std::string replug_serial; // another device in its place; "": the same
	std::string mode = "model";
	uint64_t source_size = 0;
	std::string name;
	emu_fault fault;
};

bool parse_u64(const std::string &text, uint64_t &out)
{
	if (text.empty())
		return false;
	char *end = nullptr;
	errno = 0;
	unsigned long long v = strtoull(text.c_str(), &end, 0);
	if (errno || *end || text[0] == '-')
		return false;
	out = v;
	return true;
}

bool parse_spec(const std::string &text, bool is_tty, device_spec &d)
{
	d.is_tty = is_tty;
	size_t pos = 0;
	while (pos <= text.size() && !text.empty()) {
		size_t comma = text.find(',', pos);
		if (comma == std::string::npos)
			comma = text.size();
		std::string item = text.substr(pos, comma - pos);
		pos = comma + 1;
		if (item.empty())
			continue;
		size_t eq = item.find('=');
		std::string key = item.substr(0, eq), val = eq == std::string::npos ? "" : item.substr(eq + 1);
		uint64_t n = 0;
		if (key == "serial") {
			d.serial = val;
		} else if (key == "product") {
			d.product = val;
			d.has_product = true;
		} else if (key == "pid") {
			char *end = nullptr;
			long v = strtol(val.c_str(), &end, 16);
			if (val.empty() || *end || v < 0 || v > 0xffff)
				return false;
			d.pid = static_cast<int>(v);
		} else if (key == "busy") {
			d.busy = true;
		} else if (key == "bad-first-interface") {
			d.bad_first_interface = true;
		} else if (key == "later" && parse_u64(val, n)) {
			d.later_ms = static_cast<long>(n);
		} else if (key == "mode") {
			d.mode = val.substr(0, val.find(':'));
			if (val.find(':') != std::string::npos && !parse_u64(val.substr(val.find(':') + 1), d.source_size))
				return false;
			if (d.mode != "model" && d.mode != "loopback" && d.mode != "source")
				return false;
		} else if (key == "name") {
			d.name = val;
		} else if (key == "unplug-after" && parse_u64(val, n)) {
			d.fault.unplug_after_data = static_cast<int64_t>(n);
		} else if (key == "replug-after" && parse_u64(val, n)) {
			d.replug_ms = static_cast<long>(n);
		} else if (key == "replug-serial" && !val.empty()) {
			d.replug_serial = val;
		} else if (key == "silent") {
			d.fault.silent_at_start = true;
		} else if (key == "silent-after" && parse_u64(val, n)) {
			d.fault.silent_after_transfers = static_cast<int64_t>(n);
		} else if (key == "no-reset-resp") {
			d.fault.no_reset_resp = true;
		} else if (key == "max-mem-transfer" && parse_u64(val, n)) {
			d.fault.max_mem_transfer = static_cast<size_t>(n);
		} else if (key == "surplus" && emu_parse_surplus(val.c_str(), d.fault)) {
		} else {
			return false;
		}
	}
	return true;
}

bool parse_region(const std::string &text, emu_region &r)
{
	std::vector<std::string> parts;
	size_t pos = 0;
	for (;;) {
		size_t c = text.find(':', pos);
		parts.push_back(text.substr(pos, c == std::string::npos ? std::string::npos : c - pos));
		if (c == std::string::npos)
			break;
		pos = c + 1;
	}
	if (parts.size() < 3 || parts.size() > 4 || parts[0].empty())
		return false;
	if (!parse_u64(parts[1], r.addr) || !parse_u64(parts[2], r.length))
		return false;
	r.region = parts[0];
	r.filename = parts.size() == 4 ? parts[3] : parts[0] + ".BIN";
	return true;
}

std::string product_for(const device_spec &d, bool is_tty)
{
	if (d.has_product)
		return d.product;
	std::string base = is_tty ? "QUSB__BULK" : "QUSB_BULK_CID:0402";
	return d.serial.empty() ? base : base + "_SN:" + d.serial;
}

double now_s()
{
	struct timespec ts;
	clock_gettime(CLOCK_MONOTONIC, &ts);
	return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

int remove_entry(const char *path, const struct stat *, int, struct FTW *)
{
	remove(path);
	return 0;
}

volatile sig_atomic_t child_pid = 0;

void forward_signal(int sig)
{
	if (child_pid > 0)
		kill(child_pid, sig);
}

void usage(FILE *out)
{
	fprintf(out, "usage: duruvev-emu-usb [--scenario NAME] [--region NAME:ADDR:LEN[:FILE]]... "
		     "[--device SPEC]... [--tty SPEC]... [--log FILE] [--report FILE] [--timeout SEC] "
		     "[--quiet] -- program [args...]\n");
}

void model_report(FILE *f, const emu_model &m)
{
	fprintf(f, " hello_resp=%u mem_reads=%llu data_bytes=%llu resets=%u finished=%d unplugged=%d errors=%zu",
		m.hello_resp_count, static_cast<unsigned long long>(m.mem_read64_count),
		static_cast<unsigned long long>(m.data_bytes_sent), m.reset_count, m.finished() ? 1 : 0,
		m.unplugged() ? 1 : 0, m.errors.size());
}

bool all_models_reset(const std::vector<std::unique_ptr<usb_gadget>> &usbs,
		      const std::vector<std::unique_ptr<tty_gadget>> &ttys)
{
	for (auto &u : usbs) {
		std::lock_guard<std::mutex> g(u->lock());
		auto *m = dynamic_cast<model_function *>(u->function());
		if (m && m->model.reset_count == 0)
			return false;
	}
	for (auto &t : ttys) {
		std::lock_guard<std::mutex> g(t->lock());
		if (t->model()->reset_count == 0)
			return false;
	}
	return true;
}

// When an emulated USB device comes and goes.
struct usb_timing {
	long later_ms = 0;   // plugged in this long after the start
	long replug_ms = -1; // back this long after it vanished; -1: never
	std::string replug_product; // of what comes back; "": the same
};

// Starts the program under the umockdev preload; its pid, or -1.
pid_t start_program(const char *root, char **program)
{
	std::string preload = "libumockdev-preload.so.0";
	if (const char *old = getenv("LD_PRELOAD"); old && *old)
		preload += std::string(" ") + old;
	std::string asan = "verify_asan_link_order=0";
	if (const char *old = getenv("ASAN_OPTIONS"); old && *old)
		asan = std::string(old) + ":" + asan;

	pid_t pid = fork();
	if (pid == 0) {
		setenv("UMOCKDEV_DIR", root, 1);
		setenv("LD_PRELOAD", preload.c_str(), 1);
		setenv("ASAN_OPTIONS", asan.c_str(), 1);
		execvp(program[0], program);
		fprintf(stderr, "emu-usb: cannot start %s: %s\n", program[0], strerror(errno));
		_exit(127);
	}
	if (pid < 0)
		fprintf(stderr, "emu-usb: fork: %s\n", strerror(errno));
	return pid;
}

// Plugs devices in and out on time while the program runs, and ends it
// when asked to; the program's exit status (124 when it was killed).
struct supervisor {
	std::vector<std::unique_ptr<usb_gadget>> &usbs;
	std::vector<std::unique_ptr<tty_gadget>> &ttys;
	const std::vector<usb_timing> &times;
	long term_after_reset_ms;
	double timeout_s;
	int next_devnum; // for a device that comes back

	void plug_on_time(double elapsed)
	{
		for (size_t i = 0; i < usbs.size(); i++) {
			if (times[i].later_ms > 0 && !usbs[i]->plugged() && elapsed * 1000 >= times[i].later_ms)
				usbs[i]->plug();
			if (times[i].replug_ms < 0)
				continue;
			long gone = usbs[i]->gone_for_ms();
			if (gone >= 0 && gone >= times[i].replug_ms)
				usbs[i]->replug(next_devnum++, times[i].replug_product);
		}
	}

	int watch(pid_t pid)
	{
		child_pid = pid;
		signal(SIGTERM, forward_signal);
		signal(SIGINT, forward_signal);
		double start = now_s();
		double all_reset_at = -1;
		bool killed = false;
		int status = 2;
		for (;;) {
			int st = 0;
			pid_t r = waitpid(pid, &st, WNOHANG);
			if (r == pid) {
				status = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
				break;
			}
			if (r < 0 && errno != EINTR)
				break;
			double elapsed = now_s() - start;
			plug_on_time(elapsed);
			if (term_after_reset_ms >= 0 && all_reset_at < 0 && all_models_reset(usbs, ttys))
				all_reset_at = elapsed;
			if (all_reset_at >= 0 && (elapsed - all_reset_at) * 1000 >= term_after_reset_ms) {
				kill(pid, SIGTERM);
				all_reset_at = 1e300;
			}
			if (timeout_s > 0 && elapsed > timeout_s && !killed) {
				fprintf(stderr, "emu-usb: program still running after %.0f s, killed\n", timeout_s);
				kill(pid, SIGKILL);
				killed = true;
			}
			usleep(5000);
		}
		return killed ? 124 : status;
	}
};

void usb_report(FILE *f, const char *prefix, usb_gadget &u)
{
	usb_gadget_stats s = u.stats();
	unsigned replugs = u.replugs();
	std::lock_guard<std::mutex> g(u.lock());
	fprintf(f,
		"%susb %03d/%03d pid=%04x product=%s plugged=%d opened=%d out_urbs=%llu out_bytes=%llu "
		"out_zlps=%llu in_urbs=%llu in_bytes=%llu in_zlps=%llu discards=%llu claims=%llu "
		"claim_refused=%llu replugs=%u",
		prefix, u.config().busnum, u.config().devnum, u.config().pid, u.config().product.c_str(),
		u.plugged() ? 1 : 0, s.opened ? 1 : 0, static_cast<unsigned long long>(s.out_urbs),
		static_cast<unsigned long long>(s.out_bytes), static_cast<unsigned long long>(s.out_zlps),
		static_cast<unsigned long long>(s.in_urbs), static_cast<unsigned long long>(s.in_bytes),
		static_cast<unsigned long long>(s.in_zlps), static_cast<unsigned long long>(s.discards),
		static_cast<unsigned long long>(s.claims), static_cast<unsigned long long>(s.claim_refused), replugs);
	auto *m = dynamic_cast<model_function *>(u.function());
	if (!m) {
		fputc('\n', f);
		return;
	}
	// The model's counters are of the last appearance; earlier ones apart.
	model_report(f, m->model);
	fprintf(f, " earlier_data_bytes=%llu earlier_resets=%u earlier_errors=%zu\n",
		static_cast<unsigned long long>(m->earlier_data_bytes), m->earlier_resets, m->earlier_errors.size());
	for (const auto &e : m->earlier_errors)
		fprintf(f, "%serror: %s\n", prefix, e.c_str());
	for (const auto &e : m->model.errors)
		fprintf(f, "%serror: %s\n", prefix, e.c_str());
}

// What every device saw, a line each, then its errors.
void write_report(FILE *f, const char *prefix, std::vector<std::unique_ptr<usb_gadget>> &usbs,
		  std::vector<std::unique_ptr<tty_gadget>> &ttys)
{
	for (auto &u : usbs)
		usb_report(f, prefix, *u);
	for (auto &t : ttys) {
		std::lock_guard<std::mutex> g(t->lock());
		fprintf(f, "%stty %s product=%s", prefix, t->config().name.c_str(), t->config().product.c_str());
		model_report(f, *t->model());
		fputc('\n', f);
		for (const auto &e : t->model()->errors)
			fprintf(f, "%serror: %s\n", prefix, e.c_str());
	}
}

// Every emulated device of the command line, and when the USB ones come
// and go.
struct gadget_set {
	std::vector<std::unique_ptr<usb_gadget>> usbs;
	std::vector<std::unique_ptr<tty_gadget>> ttys;
	std::vector<usb_timing> usb_times;
};

std::unique_ptr<usb_function> function_for(const device_spec &d, const emu_config &cfg)
{
	if (d.mode == "loopback")
		return std::make_unique<loopback_function>();
	if (d.mode == "source")
		return std::make_unique<source_function>(d.source_size);
	return std::make_unique<model_function>(cfg);
}

void make_gadgets(gadget_set &set, UMockdevTestbed *tb, const std::vector<device_spec> &specs,
		  const emu_config &base, FILE *log, std::mutex *log_lock)
{
	int devnum = 2, tty_index = 0;
	for (const auto &d : specs) {
		emu_config cfg = base;
		cfg.fault = d.fault;
		if (d.is_tty) {
			tty_gadget_config tc;
			tc.name = d.name.empty() ? "ttyUSB" + std::to_string(tty_index) : d.name;
			tc.pid = static_cast<uint16_t>(d.pid >= 0 ? d.pid : 0x9008);
			tc.product = product_for(d, true);
			tc.index = tty_index++;
			set.ttys.push_back(std::make_unique<tty_gadget>(tb, tc, std::make_unique<emu_model>(cfg)));
			continue;
		}
		usb_gadget_config gc;
		gc.pid = static_cast<uint16_t>(d.pid >= 0 ? d.pid : 0x900e);
		gc.product = product_for(d, false);
		gc.busy = d.busy;
		gc.bad_first_interface = d.bad_first_interface;
		gc.devnum = devnum++;
		set.usbs.push_back(std::make_unique<usb_gadget>(tb, gc, function_for(d, cfg), log, log_lock));
		device_spec other = d;
		other.serial = d.replug_serial;
		set.usb_times.push_back({d.later_ms, d.replug_ms, d.replug_serial.empty() ? "" : product_for(other, false)});
	}
}

// Plugs in every device that is there from the start.
bool plug_at_start(gadget_set &set)
{
	bool ok = true;
	for (size_t i = 0; i < set.usbs.size(); i++)
		if (set.usb_times[i].later_ms == 0)
			ok = ok && set.usbs[i]->plug();
	for (auto &t : set.ttys)
		ok = ok && t->plug();
	return ok;
}

struct emu_options {
	std::string scenario = "default", log_path, report_path;
	std::vector<emu_region> regions;
	std::vector<device_spec> specs;
	double timeout_s = 0;
	long term_after_reset_ms = -1;
	bool quiet = false;
};

// The options before the program; -1 to go on, or the exit status.
int parse_options(int argc, char **argv, emu_options &o)
{
	static const struct option options[] = {
		{"scenario", required_argument, nullptr, 's'}, {"region", required_argument, nullptr, 'r'},
		{"device", required_argument, nullptr, 'D'},   {"tty", required_argument, nullptr, 'T'},
		{"log", required_argument, nullptr, 'l'},      {"report", required_argument, nullptr, 'R'},
		{"timeout", required_argument, nullptr, 't'},  {"quiet", no_argument, nullptr, 'q'},
		{"help", no_argument, nullptr, 'h'},	       {"term-after-reset", required_argument, nullptr, 'E'},
		{nullptr, 0, nullptr, 0},
	};
	int opt;
	while ((opt = getopt_long(argc, argv, "+h", options, nullptr)) != -1) {
		device_spec d;
		emu_region r;
		switch (opt) {
		case 's':
			o.scenario = optarg;
			break;
		case 'r':
			if (!parse_region(optarg, r)) {
				fprintf(stderr, "emu-usb: bad region \"%s\"\n", optarg);
				return 2;
			}
			o.regions.push_back(r);
			break;
		case 'D':
		case 'T':
			if (!parse_spec(optarg, opt == 'T', d)) {
				fprintf(stderr, "emu-usb: bad device \"%s\"\n", optarg);
				return 2;
			}
			o.specs.push_back(d);
			break;
		case 'l':
			o.log_path = optarg;
			break;
		case 'R':
			o.report_path = optarg;
			break;
		case 't':
			o.timeout_s = atof(optarg);
			break;
		case 'q':
			o.quiet = true;
			break;
		case 'E':
			o.term_after_reset_ms = atol(optarg);
			break;
		case 'h':
			usage(stdout);
			return 0;
		default:
			usage(stderr);
			return 2;
		}
	}
	if (optind >= argc) {
		usage(stderr);
		return 2;
	}
	return -1;
}

} // namespace

int main(int argc, char **argv)
{
	emu_options o;
	if (int code = parse_options(argc, argv, o); code >= 0)
		return code;

	emu_config base;
	if (!emu_usb_scenario(o.scenario, base)) {
		fprintf(stderr, "emu-usb: unknown scenario \"%s\"\n", o.scenario.c_str());
		return 2;
	}
	if (!o.regions.empty())
		base.regions = o.regions;

	std::unique_ptr<FILE, int (*)(FILE *)> log(nullptr, fclose);
	if (!o.log_path.empty()) {
		log.reset(fopen(o.log_path.c_str(), "w"));
		if (!log) {
			fprintf(stderr, "emu-usb: cannot write %s: %s\n", o.log_path.c_str(), strerror(errno));
			return 2;
		}
	}
	std::mutex log_lock;

	UMockdevTestbed *tb = umockdev_testbed_new();
	gchar *root = umockdev_testbed_get_root_dir(tb);

	gadget_set set;
	make_gadgets(set, tb, o.specs, base, log.get(), &log_lock);
	int status = 2;
	if (plug_at_start(set)) {
		pid_t pid = start_program(root, argv + optind);
		if (pid > 0) {
			supervisor sv{set.usbs, set.ttys, set.usb_times, o.term_after_reset_ms, o.timeout_s,
				      2 + static_cast<int>(set.usbs.size())};
			status = sv.watch(pid);
		}
	}

	for (auto &t : set.ttys)
		t->stop();

	std::unique_ptr<FILE, int (*)(FILE *)> report(nullptr, fclose);
	if (!o.report_path.empty())
		report.reset(fopen(o.report_path.c_str(), "w"));
	if (report)
		write_report(report.get(), "", set.usbs, set.ttys);
	if (!o.quiet)
		write_report(stderr, "emu-usb: ", set.usbs, set.ttys);
	report.reset();

	set.ttys.clear();
	set.usbs.clear();
	g_object_unref(tb);
	// umockdev leaves its testbed directory behind.
	nftw(root, remove_entry, 16, FTW_DEPTH | FTW_PHYS);
	g_free(root);
	return status;
}
