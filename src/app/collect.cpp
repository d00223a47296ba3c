// Unattended collection: watches for crashed EDL devices and dumps each one
// that appears into a directory of its own, several at once, each on its own
// thread through the same one-shot path as a dump run by hand.
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cinttypes>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "collect.h"
#include "handoff.h"
#include "oscompat.h"
#include "sahara.h"
#include "usb.h"
#include "ux.h"
#include "vorn.h"

namespace {

constexpr unsigned collect_scan_ms = 250;

// A device seen by one scan: how to open it and what to call it.
struct collect_seen {
	bool usb = false;   // opened by bus path through libusb; otherwise a port
	std::string open_as; // the bus path, or the port's path
	std::string label;   // names the device in lines and in its directory
	// A USB device that went and came back between two scans is another
	// appearance at the same key; a port has one.
	unsigned appearance = 0;
	std::string serial; // a USB device's serial number, when it has one
	// What hand-off commands are told the device is: its serial number,
	// or where it is (bus path or port).
	const std::string &device() const { return serial.empty() ? open_as : serial; }
};

// A file or directory name from a port path or serial: its last component,
// with anything a file system may refuse replaced.
std::string collect_label(const std::string &id)
{
	size_t cut = id.find_last_of("/\\");
	std::string base = cut == std::string::npos ? id : id.substr(cut + 1);
	for (char &c : base) {
		unsigned char u = static_cast<unsigned char>(c);
		if (u < 0x20 || u == 0x7f || strchr("<>:\"|?*", c))
			c = '_';
	}
	if (base.empty() || base == "." || base == "..")
		base = "device";
	return base;
}

struct collect_job {
	std::string key; // the device's, in collection's maps
	collect_seen seen;
	std::string prefix; // of its lines: the label, made unique among the dumps in progress
	std::string root;
	os_dir_handle root_dir = os_dir_none;
	std::string stamp; // when the dump began, in its directory's name
	const char *filter = nullptr;
	const std::atomic<bool> *stop = nullptr;
	handoff_runner *handoff = nullptr; // with --then
	sahara_collect_ctl ctl;
	os_dir dir; // once made, held until the dump has ended
	std::string dir_name; // its name in the root
	std::string resume_name; // an earlier dump of this device cut short, or ""
	os_dir resume; // that dump's directory, held while this dump runs
	std::thread thread;
	std::atomic<bool> done{false};
	bool stopped = false; // read after done
	bool complete = false; // read after done
	std::string used_name; // where the dump went, when it made or used one
};

// Tries "<label>-<stamp>", then "-2", "-3", ...: the name is predictable, so
// anything may be there already, and only a directory made now is this
// dump's.
constexpr unsigned collect_dir_tries = 1000;

int collect_make_dir(void *ctx)
{
	auto *job = static_cast<collect_job *>(ctx);
	std::string base = job->seen.label + "-" + job->stamp;
	os_dir_handle made = os_dir_none;
	std::string name;
	for (unsigned k = 1; made == os_dir_none; k++) {
		if (k > collect_dir_tries) {
			errno = EEXIST;
			return -1;
		}
		name = k == 1 ? base : base + "-" + std::to_string(k);
		if (os_dir_make_new(job->root_dir, name.c_str(), &made) != 0 && errno != EEXIST)
			return -1;
	}
	job->dir = os_dir(made);
	job->ctl.dir = made;
	job->ctl.dir_path = os_path_join(job->root.c_str(), name.c_str());
	job->dir_name = name;
	// The new directory's entry must outlive a power cut as its files do.
	return os_dir_sync(job->root_dir);
}

// Complete: the dump is pending on disk before its device is reset, so that
// a cut at any moment leaves it incomplete, or complete and pending.
int collect_record_complete(void *ctx)
{
	auto *job = static_cast<collect_job *>(ctx);
	const std::string &name = job->ctl.resumed ? job->resume_name : job->dir_name;
	return handoff_record(job->handoff, name, job->prefix, job->seen.device());
}

struct device_release {
	void operator()(vorn_device *dev) const
	{
		vorn_close(dev);
		vorn_deinit(dev);
	}
};

// Opens the device once, without waiting: it was there a moment ago.
int collect_open(const collect_seen &seen, std::unique_ptr<vorn_device, device_release> &out)
{
	std::unique_ptr<vorn_device, device_release> dev(seen.usb ? usb_init() : qud_init());
	if (!dev)
		return -1;
	int ret = seen.usb ? try_usb_open_at(dev.get(), seen.open_as.c_str())
			   : vorn_open(dev.get(), seen.open_as.c_str());
	if (ret != 0)
		return -1;
	out = std::move(dev);
	return 0;
}

// The newest directory in the root whose record of whole regions names this
// device (key and serial number): its dump was cut short before collection
// restarted. "" when there is none.
std::string collect_find_cut_short(const collect_job &job)
{
	std::string found;
	std::error_code ec;
	for (std::filesystem::directory_iterator it(job.root, ec), end; !ec && it != end; it.increment(ec)) {
		std::string name = it->path().filename().string(), key, serial;
		os_dir_handle h = os_dir_none;
		if (name <= found || os_dir_open_in(job.root_dir, name.c_str(), &h) != 0)
			continue;
		os_dir held(h);
		if (sahara_resume_owner(h, &key, &serial) == 0 && key == job.key && serial == job.seen.serial)
			found = name;
	}
	return found;
}

// Reopens, relative to the root and never through a link, the directory
// where this device's last dump was cut short (by this collector, or by one
// before a restart), for the engine to continue when the table and the
// memory are the same. Gone or replaced, the dump starts anew.
void collect_offer_resume(collect_job *job)
{
	if (job->resume_name.empty())
		job->resume_name = collect_find_cut_short(*job);
	os_dir_handle h = os_dir_none;
	if (job->resume_name.empty() || os_dir_open_in(job->root_dir, job->resume_name.c_str(), &h) != 0)
		return;
	job->resume = os_dir(h);
	job->ctl.resume_dir = h;
	job->ctl.resume_path = os_path_join(job->root.c_str(), job->resume_name.c_str());
}

// A dump that went on in the earlier directory ends there.
void collect_take_resumed(collect_job *job)
{
	if (!job->ctl.resumed)
		return;
	job->dir = std::move(job->resume);
	job->ctl.dir = job->dir.get();
	job->ctl.dir_path = job->ctl.resume_path;
	job->dir_name = job->resume_name;
}

void collect_worker(collect_job *job)
{
	ux_set_thread_prefix(("[" + job->prefix + "] ").c_str());
	auto start = std::chrono::steady_clock::now();

	sahara_collect_ctl &ctl = job->ctl;
	ctl.stop = job->stop;
	ctl.space_dir = job->root.c_str();
	ctl.space_handle = job->root_dir;
	ctl.make_dir = collect_make_dir;
	ctl.before_reset = job->handoff ? collect_record_complete : nullptr;
	ctl.ctx = job;
	ctl.device_key = job->key;
	ctl.serial = job->seen.serial;
	ctl.device = {job->seen.label, job->seen.serial, job->seen.usb ? job->seen.open_as : ""};
	collect_offer_resume(job);

	std::unique_ptr<vorn_device, device_release> dev;
	const char *result;
	if (collect_open(job->seen, dev) != 0) {
		ux_err("cannot open %s; trying again once it has gone and come back\n", job->seen.open_as.c_str());
		result = "failed";
	} else {
		// The directory's name as planned; made, it may have a suffix.
		std::string planned = os_path_join(job->root.c_str(), (job->seen.label + "-" + job->stamp).c_str());
		sahara_run_collect(dev.get(), planned.c_str(), job->filter, &ctl);
		dev.reset();
		collect_take_resumed(job);
		result = ctl.complete ? "complete" : ctl.stopped ? "stopped" : "failed";
	}

	double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
	if (ctl.image_transfer) {
		ux_info("not a crash: left alone until it has gone\n");
	} else if (!job->dir.valid()) {
		ux_info("no dump directory made: %s, 0 bytes, %.1f s\n", result, secs);
	} else {
		// Where the directory is now, should its path have changed.
		std::string where = os_dir_path(job->dir.get());
		// A complete dump's line also tells what crashed.
		std::string kernel = ctl.crash_title.empty() ? "" : "; crash: " + ctl.crash_title;
		ux_info("dump \"%s\": %s, %" PRIu64 " bytes, %.1f s%s\n",
			sahara_printable(where.empty() ? ctl.dir_path.c_str() : where.c_str()).c_str(), result,
			ctl.bytes_kept, secs, kernel.c_str());
		job->used_name = job->dir_name;
	}
	job->dir.reset();
	job->resume.reset();
	job->stopped = ctl.stopped;
	job->complete = ctl.complete;
	ux_set_thread_prefix(nullptr);
	job->done.store(true);
}

// Watches the devices collection may take, scan by scan. A USB device's
// strings are read once per appearance: a device seen before is listed
// again without being opened, so a dump in progress is never disturbed.
class collect_scanner {
public:
	explicit collect_scanner(const std::vector<std::string> &targets) : targets_(targets)
	{
		for (const std::string &t : targets)
			if (!qud_names_port(t.c_str()))
				serials_.push_back(t);
	}

	// Every device present now, by key. busy: keys of the dumps in
	// progress; their ports are not probed, since a probe that opens a
	// port could get in the way of the worker holding it.
	std::map<std::string, collect_seen> scan(const std::set<std::string> &busy)
	{
		std::map<std::string, collect_seen> found;
		for (const std::string &t : targets_) {
			if (!qud_names_port(t.c_str()))
				continue;
			std::string key = "port:" + t;
			if (busy.count(key) || os_port_present(t.c_str()))
				found[key] = {false, t, collect_label(t), 0, ""};
		}
		if (!targets_.empty() && serials_.empty())
			return found;
		std::set<std::string> usb_serials = scan_usb(found);
		scan_ports(found, usb_serials);
		return found;
	}

private:
	struct usb_known {
		int address = -1;       // on the bus: another after a re-enumeration
		unsigned appearance = 0;
		bool read = false;      // strings read in this appearance
		bool said = false;      // its problem has been printed
		std::string serial;
		bool seen_now = false;
	};

	bool wanted(const char *serial) const
	{
		if (targets_.empty())
			return true;
		for (const std::string &s : serials_)
			if (serial[0] && serial_equal_nocase(s.c_str(), serial))
				return true;
		return false;
	}

	static bool skip_known(const vorn_device_desc &entry, void *ctx)
	{
		auto *self = static_cast<collect_scanner *>(ctx);
		auto it = self->usb_.find(entry.bus_path);
		return it != self->usb_.end() && it->second.read && it->second.address == entry.address;
	}

	std::set<std::string> scan_usb(std::map<std::string, collect_seen> &found)
	{
		for (auto &k : usb_)
			k.second.seen_now = false;
		int n_usb = 0;
		std::unique_ptr<vorn_device_desc, decltype(&free)> usb(usb_list(&n_usb, skip_known, this), &free);
		std::set<std::string> serials;
		for (int i = 0; usb && i < n_usb; i++) {
			const vorn_device_desc &d = usb.get()[i];
			usb_known &k = usb_[d.bus_path];
			// Gone and back quicker than a scan: the device
			// re-enumerated, and is new to collection.
			if (k.address != d.address) {
				k = usb_known{};
				k.address = d.address;
				k.appearance = ++appearances_;
			}
			k.seen_now = true;
			if (d.read) {
				k.read = true;
				k.serial = d.serial;
			} else if (!k.read) {
				// Said once per appearance; read again on the next
				// scan, as what stood in the way may have gone.
				if (d.problem[0] && !k.said) {
					std::string prefix = std::string("[").append(d.bus_path).append("] ");
					ux_set_thread_prefix(prefix.c_str());
					ux_err("%s\n", d.problem);
					ux_set_thread_prefix(nullptr);
				}
				k.said = true;
				continue;
			}
			if (!wanted(k.serial.c_str()))
				continue;
			if (!k.serial.empty())
				serials.insert(k.serial);
			// The label is what the device says; its key, where it sits.
			std::string label = collect_label(k.serial.empty() ? std::string("usb-") + d.bus_path : k.serial);
			found["usb:" + std::string(d.bus_path)] = {true, d.bus_path, label, k.appearance, k.serial};
		}
		std::erase_if(usb_, [](const auto &k) { return !k.second.seen_now; });
		return serials;
	}

	void scan_ports(std::map<std::string, collect_seen> &found, const std::set<std::string> &usb_serials) const
	{
		uint32_t n_qud = 0;
		std::unique_ptr<qud_device_desc, decltype(&free)> qud(qud_list(&n_qud), &free);
		for (uint32_t i = 0; qud && i < n_qud; i++) {
			const qud_device_desc &d = qud.get()[i];
			// The same device reached through libusb is taken that way.
			if (d.serial[0] && usb_serials.count(d.serial))
				continue;
			if (!targets_.empty() && !wanted(d.serial))
				continue;
			std::string label = collect_label(d.serial[0] ? d.serial : d.path);
			found["port:" + std::string(d.path)] = {false, d.path, label, 0, ""};
		}
	}

	std::vector<std::string> targets_;
	std::vector<std::string> serials_;
	std::map<std::string, usb_known> usb_;
	unsigned appearances_ = 0;
};

// One collection: the devices it dumps, waits for and remembers, from the
// start until it is stopped.
class collector {
public:
	collector(const char *root, os_dir root_dir, const std::vector<std::string> &targets, const char *filter)
		: root_(root), root_dir_(std::move(root_dir)), filter_(filter), scanner_(targets)
	{
	}

	// Only complete dumps are handed off: a failed or stopped one is taken
	// again from the device, which keeps its crash.
	bool start_handoff(const char *then, unsigned then_limit_s)
	{
		handoff_ = handoff_start(root_, root_dir_.get(), then, then_limit_s);
		return handoff_ != nullptr;
	}

	// Scans until stopped: the exit status.
	int run()
	{
		for (;;) {
			reap();
			if (os_stop_requested())
				return stop_all();
			check_root();
			std::set<std::string> busy, prefixes;
			for (const auto &r : running_) {
				busy.insert(r.first);
				prefixes.insert(r.second->prefix);
			}
			std::map<std::string, collect_seen> present = scanner_.scan(busy);
			forget_gone(present);
			for (auto &p : present)
				if (!running_.count(p.first) && !wait_gone_.count(p.first))
					start(p.first, p.second, prefixes);
			os_sleep_ms(collect_scan_ms);
		}
	}

private:
	void finished(collect_job &job)
	{
		job.thread.join();
		stopped_dumps_ |= job.stopped;
		if (handoff_ && job.complete && !job.used_name.empty())
			handoff_release(handoff_.get(), job.used_name);
	}

	// Ended dumps: their device waits until that appearance of it has gone.
	void reap()
	{
		for (auto it = running_.begin(); it != running_.end();) {
			if (!it->second->done.load()) {
				++it;
				continue;
			}
			finished(*it->second);
			if (it->second->complete || it->second->used_name.empty())
				cut_short_.erase(it->first);
			else
				cut_short_[it->first] = it->second->used_name;
			wait_gone_[it->first] = it->second->seen.appearance;
			it = running_.erase(it);
		}
	}

	int stop_all()
	{
		if (!running_.empty())
			ux_info("Collecting: stopping %zu dump%s in progress; no device is reset\n", running_.size(),
				running_.size() == 1 ? "" : "s");
		stop_.store(true);
		for (auto &r : running_)
			finished(*r.second);
		handoff_.reset();
		ux_info("Collecting: stopped\n");
		return stopped_dumps_ ? 2 : 0;
	}

	void check_root()
	{
		if (root_moved_ || os_dir_at(root_dir_.get(), root_))
			return;
		ux_err("Collecting: \"%s\" is no longer the directory collection opened (replaced or "
		       "removed); dumps go on into the one opened at the start\n",
		       root_);
		root_moved_ = true;
	}

	// A device waited for is taken again once gone, or back as another
	// appearance.
	void forget_gone(const std::map<std::string, collect_seen> &present)
	{
		for (auto it = wait_gone_.begin(); it != wait_gone_.end();) {
			auto now = present.find(it->first);
			if (now != present.end() && now->second.appearance == it->second)
				++it;
			else
				it = wait_gone_.erase(it);
		}
	}

	void start(const std::string &key, const collect_seen &seen, std::set<std::string> &prefixes)
	{
		auto job = std::make_unique<collect_job>();
		job->key = key;
		job->seen = seen;
		// Two devices may say the same: their lines must not.
		job->prefix = seen.label;
		for (unsigned k = 2; prefixes.count(job->prefix); k++)
			job->prefix = seen.label + "#" + std::to_string(k);
		prefixes.insert(job->prefix);
		job->root = root_;
		job->root_dir = root_dir_.get();
		job->stamp = os_utc_stamp();
		job->filter = filter_;
		job->stop = &stop_;
		job->handoff = handoff_.get();
		if (auto c = cut_short_.find(key); c != cut_short_.end())
			job->resume_name = c->second;
		collect_job *raw = job.get();
		job->thread = std::thread(collect_worker, raw);
		running_.emplace(key, std::move(job));
	}

	const char *root_;
	// Opened once: every dump directory is made in this one, wherever its
	// path leads later.
	os_dir root_dir_;
	bool root_moved_ = false;
	const char *filter_;
	std::atomic<bool> stop_{false};
	// Devices with a dump in progress, and those that must go away (that
	// appearance of them) before they are taken again.
	std::map<std::string, std::unique_ptr<collect_job>> running_;
	std::map<std::string, unsigned> wait_gone_;
	// Per device, the directory of its last dump that was cut short: the
	// device was not reset, so its next appearance may continue it.
	std::map<std::string, std::string> cut_short_;
	bool stopped_dumps_ = false;
	collect_scanner scanner_;
	// Declared last: stopped first, once the dumps have ended.
	handoff_ptr handoff_;
};

} // namespace

int collect_run(const char *root, const std::vector<std::string> &targets, const char *filter, const char *then,
		unsigned then_limit_s)
{
	// A root that cannot take files fails now, not at the first crash.
	os_dir_handle opened = os_dir_none;
	if (os_prepare_output_dir(root) != 0 || os_dir_open(root, &opened) != 0) {
		ux_err("cannot write to output directory \"%s\": %s\n", root, os_strerror(errno));
		return 1;
	}
	os_dir root_dir(opened);
	ux_set_line_mode(true);
	os_catch_stop();

	collector c(root, std::move(root_dir), targets, filter);
	if (then && !c.start_handoff(then, then_limit_s))
		return 1;

	if (targets.empty())
		ux_info("Collecting: waiting for crashed EDL devices; dumps go to \"%s\"\n", root);
	else
		for (const std::string &t : targets)
			ux_info("Collecting: watching %s; dumps go to \"%s\"\n", t.c_str(), root);
	return c.run();
}
