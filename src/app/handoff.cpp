// Hand-off of complete dumps to a command (portable part). One thread owns
// the attempts: it starts them, watches them without waiting, ends those
// past the time limit and plans the next try; collection only adds dumps.
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <fcntl.h>
#include <list>
#include <mutex>
#include <thread>

#include "handoff.h"
#include "handoff_platform.h"
#include "oscompat.h"
#include "ux.h"

const char *const handoff_pending_name = ".duruvev-pending";

namespace {

using clock_type = std::chrono::steady_clock;

constexpr unsigned max_running = 3;
constexpr unsigned default_pause_ms = 5000;
constexpr unsigned max_pause_ms = 300000;
constexpr unsigned poll_ms = 100;

struct pending {
	std::string name, label, device;
	unsigned attempts = 0;
	clock_type::time_point due;
	bool running = false;
	clock_type::time_point started;
	handoff_proc proc;
};

// The first pause; the tests shorten it.
unsigned base_pause_ms()
{
	const char *v = getenv("DURUVEV_HANDOFF_PAUSE_MS");
	if (v && *v) {
		char *end;
		unsigned long ms = strtoul(v, &end, 10);
		if (*end == '\0' && ms > 0 && ms <= max_pause_ms)
			return static_cast<unsigned>(ms);
	}
	return default_pause_ms;
}

// Fields of the pending list are separated by tabs, entries by newlines.
std::string field(const std::string &s)
{
	std::string out = s;
	for (char &c : out)
		if (c == '\t' || c == '\n' || c == '\r')
			c = '_';
	return out;
}

} // namespace

class handoff_runner {
public:
	handoff_runner(const char *root, os_dir_handle root_dir, const char *cmd, unsigned limit_s)
		: root_(root), root_dir_(root_dir), cmd_(cmd), limit_(std::chrono::seconds(limit_s)),
		  pause_ms_(base_pause_ms())
	{
	}
	~handoff_runner()
	{
		{
			std::lock_guard<std::mutex> hold(lock_);
			stop_ = true;
		}
		wake_.notify_all();
		if (thread_.joinable())
			thread_.join();
	}
	void start()
	{
		load();
		thread_ = std::thread([this] { run(); });
	}
	void add(const std::string &name, const std::string &label, const std::string &device)
	{
		std::lock_guard<std::mutex> hold(lock_);
		pending p;
		p.name = name;
		p.label = label;
		p.device = device;
		p.due = clock_type::now();
		queue_.push_back(std::move(p));
		save();
		wake_.notify_all();
	}

private:
	// name in the directory collection holds, where that is now: a ROOT
	// path swapped for another leads elsewhere.
	std::string path(const std::string &name) const
	{
		std::string root = os_dir_path(root_dir_);
		return os_path_join((root.empty() ? root_ : root).c_str(), name.c_str());
	}
	void load();
	void save();
	void run();
	void check(pending &p);
	void launch(pending &p);
	void failed(pending &p, const std::string &why);
	void say(const pending &p, const char *fmt, const std::string &a, const std::string &b = "");

	std::string root_;
	// The list is read and written in the directory collection holds, never
	// through a name someone else may have turned into a link.
	os_dir_handle root_dir_;
	std::string cmd_;
	std::chrono::seconds limit_;
	unsigned pause_ms_;
	std::mutex lock_;
	std::condition_variable wake_;
	bool stop_ = false;
	std::list<pending> queue_;
	std::thread thread_;
};

void handoff_runner::say(const pending &p, const char *fmt, const std::string &a, const std::string &b)
{
	ux_set_thread_prefix(("[" + p.label + "] ").c_str());
	ux_info(fmt, path(p.name).c_str(), a.c_str(), b.c_str());
	ux_set_thread_prefix(nullptr);
}

// Pending hand-offs of earlier runs, in their order, before any new one.
void handoff_runner::load()
{
	os_fd in(os_dir_open_read(root_dir_, handoff_pending_name));
	if (in.fd < 0)
		return;
	std::string text;
	char buf[4096];
	for (ssize_t n; (n = read(in.fd, buf, sizeof(buf))) > 0;)
		text.append(buf, static_cast<size_t>(n));
	size_t taken = 0;
	for (size_t at = 0, nl; (nl = text.find('\n', at)) != std::string::npos; at = nl + 1) {
		std::string line = text.substr(at, nl - at);
		size_t t1 = line.find('\t'), t2 = t1 == std::string::npos ? t1 : line.find('\t', t1 + 1);
		if (t2 == std::string::npos)
			continue;
		pending p;
		p.name = line.substr(0, t1);
		p.label = line.substr(t1 + 1, t2 - t1 - 1);
		p.device = line.substr(t2 + 1);
		// Only a plain name below root: the list is ours, but it is a file.
		if (p.name.empty() || p.name[0] == '.' || p.name.find_first_of("/\\") != std::string::npos)
			continue;
		if (!os_path_exists(path(p.name).c_str())) {
			say(p, "hand-off of \"%s\": no longer there; dropped%s%s\n", "", "");
			continue;
		}
		p.due = clock_type::now();
		queue_.push_back(std::move(p));
		taken++;
	}
	if (taken)
		ux_info("Collecting: %zu hand-off%s pending from an earlier run\n", taken, taken == 1 ? "" : "s");
	std::lock_guard<std::mutex> hold(lock_);
	save();
}

// A new list beside the old, synced, then put in its place: a crash leaves
// one or the other whole.
void handoff_runner::save()
{
	std::string text;
	for (const pending &p : queue_)
		text += field(p.name) + "\t" + field(p.label) + "\t" + field(p.device) + "\n";
	std::string tmp = std::string(handoff_pending_name) + ".new";
	// A leftover of a crash goes first: a handle makes only new files.
	bool ok = os_dir_remove(root_dir_, tmp.c_str()) == 0 || errno == ENOENT;
	os_fd out(ok ? os_dir_create_file(root_dir_, tmp.c_str()) : -1);
	ok = out.fd >= 0;
	for (size_t at = 0; ok && at < text.size();) {
		ssize_t n = write(out.fd, text.data() + at, text.size() - at);
		if (n <= 0)
			ok = false;
		else
			at += static_cast<size_t>(n);
	}
	if (ok && (os_sync_fd(out.fd) != 0 || out.close() != 0))
		ok = false;
	if (ok && os_dir_rename(root_dir_, tmp.c_str(), handoff_pending_name) != 0)
		ok = false;
	if (ok && os_dir_sync(root_dir_) != 0)
		ok = false;
	if (!ok)
		ux_err("cannot record the pending hand-offs in \"%s\": %s\n", path(handoff_pending_name).c_str(),
		       os_strerror(errno));
}

void handoff_runner::failed(pending &p, const std::string &why)
{
	p.attempts++;
	unsigned shift = std::min(p.attempts - 1, 16u);
	unsigned ms = static_cast<unsigned>(std::min<uint64_t>(static_cast<uint64_t>(pause_ms_) << shift, max_pause_ms));
	p.due = clock_type::now() + std::chrono::milliseconds(ms);
	char next[64];
	snprintf(next, sizeof(next), "attempt %u; next in %.1f s", p.attempts, ms / 1000.0);
	say(p, "hand-off of \"%s\": failed (%s), %s\n", why, next);
}

void handoff_runner::launch(pending &p)
{
	std::string dir = path(p.name);
	// Someone took it away (or a failed attempt did): nothing to hand off.
	if (!os_path_exists(dir.c_str())) {
		say(p, "hand-off of \"%s\": no longer there; dropped%s%s\n", "", "");
		p.name.clear();
		return;
	}
	std::vector<std::pair<std::string, std::string>> env = {
		{"DURUVEV_DUMP_DIR", dir}, {"DURUVEV_DUMP_NAME", p.name}, {"DURUVEV_DEVICE", p.device}};
	if (handoff_spawn(cmd_, dir, env, &p.proc) != 0) {
		failed(p, std::string("cannot start: ") + os_strerror(errno));
		return;
	}
	p.running = true;
	p.started = clock_type::now();
}

// One running attempt: ended, past its limit, or still going.
void handoff_runner::check(pending &p)
{
	int code = -1;
	std::string how;
	if (handoff_reap(&p.proc, &code, &how) == 0) {
		if (clock_type::now() - p.started < limit_)
			return;
		handoff_kill(&p.proc);
		code = -1;
		how = "still running after " + std::to_string(limit_.count()) + " s, ended";
	}
	p.running = false;
	if (code == 0) {
		double secs = std::chrono::duration<double>(clock_type::now() - p.started).count();
		char took[64];
		snprintf(took, sizeof(took), "attempt %u, %.1f s", p.attempts + 1, secs);
		say(p, "hand-off of \"%s\": done (%s)%s\n", took);
		p.name.clear(); // marks it done for run()
		return;
	}
	failed(p, how.empty() ? "exit code " + std::to_string(code) : how);
}

void handoff_runner::run()
{
	std::unique_lock<std::mutex> hold(lock_);
	while (!stop_) {
		bool changed = false;
		unsigned busy = 0;
		for (auto it = queue_.begin(); it != queue_.end();) {
			if (it->running)
				check(*it);
			if (it->name.empty()) {
				it = queue_.erase(it);
				changed = true;
				continue;
			}
			busy += it->running;
			++it;
		}
		if (changed)
			save();
		auto now = clock_type::now();
		for (pending &p : queue_) {
			if (busy >= max_running)
				break;
			if (p.running || p.due > now)
				continue;
			launch(p);
			busy += p.running;
		}
		wake_.wait_for(hold, std::chrono::milliseconds(poll_ms));
	}
	// Stopped: what runs now is ended and stays pending.
	for (pending &p : queue_) {
		if (!p.running)
			continue;
		handoff_kill(&p.proc);
		p.running = false;
		say(p, "hand-off of \"%s\": stopped; it stays pending%s%s\n", "", "");
	}
}

void handoff_runner_release::operator()(handoff_runner *r) const
{
	delete r;
}

handoff_ptr handoff_start(const char *root, os_dir_handle root_dir, const char *cmd, unsigned limit_s)
{
	handoff_ptr r(new handoff_runner(root, root_dir, cmd, limit_s));
	r->start();
	return r;
}

void handoff_add(handoff_runner *r, const std::string &name, const std::string &label, const std::string &device)
{
	r->add(name, label, device);
}
