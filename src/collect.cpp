// Unattended collection: watches for crashed EDL devices and dumps each one
// that appears into a directory of its own, several at once, each on its own
// thread through the same one-shot path as a dump run by hand.
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cinttypes>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "collect.h"
#include "oscompat.h"
#include "sahara.h"
#include "usb.h"
#include "vorn.h"

namespace {

constexpr unsigned collect_scan_ms = 250;

// A device seen by one scan: how to open it and what to call it.
struct collect_seen {
	bool usb = false;   // opened by bus path through libusb; otherwise a port
	std::string open_as; // the bus path, or the port's path
	std::string label;   // names the device in lines and in its directory
};

// Directory names handed out by this process, so that two dumps starting in
// the same second get different ones before either directory exists.
std::mutex collect_names_lock;
std::set<std::string> collect_names;

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

std::string collect_pick_dir(const std::string &root, const std::string &label)
{
	std::lock_guard<std::mutex> hold(collect_names_lock);
	std::string base = os_path_join(root.c_str(), (label + "-" + os_utc_stamp()).c_str());
	std::string dir = base;
	for (unsigned k = 2; collect_names.count(dir) || os_path_exists(dir.c_str()); k++)
		dir = base + "-" + std::to_string(k);
	collect_names.insert(dir);
	return dir;
}

struct collect_job {
	collect_seen seen;
	std::string root;
	const char *filter = nullptr;
	const std::atomic<bool> *stop = nullptr;
	std::string dir;
	std::string resume_dir; // an earlier dump of this device cut short, or ""
	std::thread thread;
	std::atomic<bool> done{false};
	bool stopped = false; // read after done
	bool complete = false;
	std::string used_dir; // where the dump went, when it made or used one
};

int collect_make_dir(void *ctx)
{
	auto *job = static_cast<collect_job *>(ctx);
	if (os_prepare_output_dir(job->dir.c_str()) != 0)
		return -1;
	// The new directory's entry must outlive a power cut as its files do.
	if (os_sync_dir(job->root.c_str()) != 0)
		return -1;
	return 0;
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

void collect_worker(collect_job *job)
{
	ux_set_thread_prefix(("[" + job->seen.label + "] ").c_str());
	auto start = std::chrono::steady_clock::now();

	sahara_collect_ctl ctl;
	ctl.stop = job->stop;
	ctl.space_dir = job->root.c_str();
	ctl.make_dir = collect_make_dir;
	ctl.ctx = job;
	ctl.resume_dir = job->resume_dir.empty() ? nullptr : job->resume_dir.c_str();

	std::unique_ptr<vorn_device, device_release> dev;
	const char *result;
	if (collect_open(job->seen, dev) != 0) {
		ux_err("cannot open %s; trying again once it has gone and come back\n", job->seen.open_as.c_str());
		result = "failed";
	} else {
		sahara_run_collect(dev.get(), job->dir.c_str(), job->filter, &ctl);
		dev.reset();
		result = ctl.complete ? "complete" : ctl.stopped ? "stopped" : "failed";
	}

	double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
	if (ctl.image_transfer) {
		ux_info("not a crash: left alone until it has gone\n");
	} else {
		const std::string &dir = ctl.resumed ? job->resume_dir : job->dir;
		bool made = os_path_exists(dir.c_str());
		ux_info("dump \"%s\"%s: %s, %" PRIu64 " bytes, %.1f s\n", dir.c_str(), made ? "" : " (not created)",
			result, ctl.bytes_saved, secs);
		if (made)
			job->used_dir = dir;
	}
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
				found[key] = {false, t, collect_label(t)};
		}
		if (!targets_.empty() && serials_.empty())
			return found;
		std::set<std::string> usb_serials = scan_usb(found);
		scan_ports(found, usb_serials);
		return found;
	}

private:
	struct usb_known {
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

	static bool skip_known(const char *bus_path, void *ctx)
	{
		auto *self = static_cast<collect_scanner *>(ctx);
		auto it = self->usb_.find(bus_path);
		return it != self->usb_.end() && it->second.read;
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
			k.seen_now = true;
			if (d.read) {
				k.read = true;
				k.serial = d.serial;
			} else if (!k.read) {
				// Said once per appearance; read again on the next
				// scan, as what stood in the way may have gone.
				if (d.problem[0] && !k.said) {
					std::string prefix = "[" + std::string(d.bus_path) + "] ";
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
			found["usb:" + std::string(d.bus_path)] = {true, d.bus_path, label};
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
			found["port:" + std::string(d.path)] = {false, d.path, label};
		}
	}

	std::vector<std::string> targets_;
	std::vector<std::string> serials_;
	std::map<std::string, usb_known> usb_;
};

} // namespace

int collect_run(const char *root, const std::vector<std::string> &targets, const char *filter)
{
	// A root that cannot take files fails now, not at the first crash.
	if (os_prepare_output_dir(root) != 0) {
		ux_err("cannot write to output directory \"%s\": %s\n", root, os_strerror(errno));
		return 1;
	}
	ux_set_line_mode(true);
	os_catch_stop();

	std::atomic<bool> stop{false};
	// Devices with a dump in progress, and those that must go away before
	// they are taken again.
	std::map<std::string, std::unique_ptr<collect_job>> running;
	std::set<std::string> wait_gone;
	// Per device, the directory of its last dump that was cut short: the
	// device was not reset, so its next appearance may continue it.
	std::map<std::string, std::string> cut_short;
	bool stopped_dumps = false;
	collect_scanner scanner(targets);

	if (targets.empty())
		ux_info("Collecting: waiting for crashed EDL devices; dumps go to \"%s\"\n", root);
	else
		for (const std::string &t : targets)
			ux_info("Collecting: watching %s; dumps go to \"%s\"\n", t.c_str(), root);

	for (;;) {
		for (auto it = running.begin(); it != running.end();) {
			if (!it->second->done.load()) {
				++it;
				continue;
			}
			it->second->thread.join();
			stopped_dumps |= it->second->stopped;
			if (it->second->complete || it->second->used_dir.empty())
				cut_short.erase(it->first);
			else
				cut_short[it->first] = it->second->used_dir;
			wait_gone.insert(it->first);
			it = running.erase(it);
		}
		if (os_stop_requested()) {
			if (!running.empty())
				ux_info("Collecting: stopping %zu dump%s in progress; no device is reset\n",
					running.size(), running.size() == 1 ? "" : "s");
			stop.store(true);
			for (auto &r : running) {
				r.second->thread.join();
				stopped_dumps |= r.second->stopped;
			}
			ux_info("Collecting: stopped\n");
			return stopped_dumps ? 2 : 0;
		}

		std::set<std::string> busy;
		for (const auto &r : running)
			busy.insert(r.first);
		std::map<std::string, collect_seen> present = scanner.scan(busy);
		for (auto it = wait_gone.begin(); it != wait_gone.end();) {
			if (present.count(*it))
				++it;
			else
				it = wait_gone.erase(it);
		}
		for (auto &p : present) {
			if (running.count(p.first) || wait_gone.count(p.first))
				continue;
			auto job = std::make_unique<collect_job>();
			job->seen = p.second;
			job->root = root;
			job->filter = filter;
			job->stop = &stop;
			job->dir = collect_pick_dir(root, p.second.label);
			if (auto c = cut_short.find(p.first); c != cut_short.end())
				job->resume_dir = c->second;
			collect_job *raw = job.get();
			job->thread = std::thread(collect_worker, raw);
			running.emplace(p.first, std::move(job));
		}
		os_sleep_ms(collect_scan_ms);
	}
}
