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
	bool usb = false;   // opened by serial through libusb; otherwise a port
	std::string open_as; // the serial number, or the port's path
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
	std::thread thread;
	std::atomic<bool> done{false};
	bool stopped = false; // read after done
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
	int ret = seen.usb ? try_usb_open(dev.get(), seen.open_as.c_str(), nullptr)
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
		bool made = os_path_exists(job->dir.c_str());
		// A complete dump's line also tells what the kernel said last.
		std::string kernel = ctl.kernel_line.empty() ? "" : "; kernel: " + ctl.kernel_line;
		ux_info("dump \"%s\"%s: %s, %" PRIu64 " bytes, %.1f s%s\n", job->dir.c_str(),
			made ? "" : " (not created)", result, ctl.bytes_saved, secs, kernel.c_str());
	}
	job->stopped = ctl.stopped;
	ux_set_thread_prefix(nullptr);
	job->done.store(true);
}

// Every device present now that collection watches, by key.
// busy: keys of the dumps in progress; their ports are not probed, since a
// probe that opens a port could get in the way of the worker holding it.
std::map<std::string, collect_seen> collect_scan(const std::vector<std::string> &targets,
						 const std::set<std::string> &busy)
{
	std::map<std::string, collect_seen> found;
	std::vector<std::string> wanted_serials;

	for (const std::string &t : targets) {
		if (qud_names_port(t.c_str())) {
			std::string key = "port:" + t;
			if (busy.count(key) || os_port_present(t.c_str()))
				found[key] = {false, t, collect_label(t)};
		} else {
			wanted_serials.push_back(t);
		}
	}
	if (!targets.empty() && wanted_serials.empty())
		return found;
	auto wanted = [&](const char *serial) {
		if (targets.empty())
			return true;
		for (const std::string &s : wanted_serials)
			if (s == serial)
				return true;
		return false;
	};

	std::set<std::string> usb_serials;
	int n_usb = 0;
	std::unique_ptr<vorn_device_desc, decltype(&free)> usb(usb_list(&n_usb), &free);
	for (int i = 0; usb && i < n_usb; i++) {
		const char *serial = usb.get()[i].serial;
		// Without a serial number two devices cannot be told apart.
		if (strcmp(serial, "(none)") == 0 || !wanted(serial))
			continue;
		usb_serials.insert(serial);
		found["usb:" + std::string(serial)] = {true, serial, collect_label(serial)};
	}
	uint32_t n_qud = 0;
	std::unique_ptr<qud_device_desc, decltype(&free)> qud(qud_list(&n_qud), &free);
	for (uint32_t i = 0; qud && i < n_qud; i++) {
		const qud_device_desc &d = qud.get()[i];
		// The same device reached through libusb is taken that way.
		if (d.serial[0] && usb_serials.count(d.serial))
			continue;
		if (!targets.empty() && !(d.serial[0] && wanted(d.serial)))
			continue;
		std::string label = collect_label(d.serial[0] ? d.serial : d.path);
		found["port:" + std::string(d.path)] = {false, d.path, label};
	}
	return found;
}

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
	bool stopped_dumps = false;

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
		std::map<std::string, collect_seen> present = collect_scan(targets, busy);
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
			collect_job *raw = job.get();
			job->thread = std::thread(collect_worker, raw);
			running.emplace(p.first, std::move(job));
		}
		os_sleep_ms(collect_scan_ms);
	}
}
