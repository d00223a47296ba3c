// Hand-off of complete dumps to a command (portable part). One thread owns
// the attempts: it starts them, watches them without waiting, ends those
// past the time limit and plans the next try; collection only adds dumps.
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <list>
#include <map>
#include <mutex>
#include <random>
#include <set>
#include <thread>

#include "handoff.h"
#include "handoff_platform.h"
#include "oscompat.h"
#include "sahara.h"
#include "ux.h"

const char *const handoff_pending_name = ".duruvev-pending";

namespace {

using clock_type = std::chrono::steady_clock;

constexpr unsigned max_running = 3;
constexpr unsigned default_pause_ms = 5000;
constexpr unsigned max_pause_ms = 300000;
constexpr unsigned poll_ms = 100;
// How often a running collector looks for hand-offs that a collector which
// has ended left behind.
constexpr auto adopt_every = std::chrono::seconds(30);

// Held while the list is read, changed and put back, by every collector on
// ROOT. Never removed: a lock file that goes can be locked twice.
constexpr char lock_name[] = ".duruvev-pending.lock";
// Each running collector holds a lock on a file of its own: while it is
// locked, the entries naming the collector are its to hand off.
constexpr char owner_prefix[] = ".duruvev-collector-";
constexpr char list_magic[] = "duruvev-pending 2";
// A line is a few hundred bytes at most: this is tens of thousands of dumps.
constexpr size_t list_max = 16u << 20;
// A dump is complete once it describes itself; only then is this written.
constexpr char complete_mark[] = "SHA256SUMS";

struct pending {
	std::string name, label, device;
	unsigned attempts = 0;
	clock_type::time_point due;
	bool held = false; // recorded, not to be started before release
	bool running = false;
	bool finished = false; // handed off, or gone: its entry changes
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

// A name collection may have made right below ROOT: the list is ours, but
// it is a file.
bool plain_name(const std::string &name)
{
	return !name.empty() && name != "." && name != ".." &&
	       name.find_first_of(std::string("/\\\0", 3)) == std::string::npos;
}

} // namespace

// Fields of the list are separated by tabs, entries by newlines; a
// backslash escapes those and itself, so every name survives.
std::string handoff_escape(const std::string &s)
{
	std::string out;
	for (char c : s) {
		switch (c) {
		case '\\': out += "\\\\"; break;
		case '\t': out += "\\t"; break;
		case '\n': out += "\\n"; break;
		case '\r': out += "\\r"; break;
		default: out += c;
		}
	}
	return out;
}

bool handoff_unescape(const std::string &s, std::string *out)
{
	out->clear();
	for (size_t i = 0; i < s.size(); i++) {
		if (s[i] != '\\') {
			out->push_back(s[i]);
			continue;
		}
		if (++i == s.size())
			return false;
		switch (s[i]) {
		case '\\': out->push_back('\\'); break;
		case 't': out->push_back('\t'); break;
		case 'n': out->push_back('\n'); break;
		case 'r': out->push_back('\r'); break;
		default: return false;
		}
	}
	return true;
}

namespace {

std::vector<std::string> split_tabs(const std::string &line)
{
	std::vector<std::string> f;
	size_t at = 0;
	for (size_t tab; (tab = line.find('\t', at)) != std::string::npos; at = tab + 1)
		f.push_back(line.substr(at, tab - at));
	f.push_back(line.substr(at));
	return f;
}

} // namespace

bool handoff_parse_line(const std::string &line, bool current, handoff_entry *e)
{
	e->raw = line;
	e->readable = false;
	std::vector<std::string> f = split_tabs(line);
	if (!current) {
		// An older collector's line: name, label, device, unescaped;
		// nobody alive owns it.
		if (f.size() != 3 || !plain_name(f[0]))
			return false;
		e->done = false;
		e->owner.clear();
		e->name = f[0];
		e->label = f[1];
		e->device = f[2];
		e->readable = true;
		return true;
	}
	if (f.size() != 5 || (f[0] != "pending" && f[0] != "done"))
		return false;
	e->done = f[0] == "done";
	if (!handoff_unescape(f[1], &e->owner) || !handoff_unescape(f[2], &e->name) ||
	    !handoff_unescape(f[3], &e->label) || !handoff_unescape(f[4], &e->device) || !plain_name(e->name) ||
	    (e->done && !e->owner.empty()))
		return false;
	e->readable = true;
	return true;
}

std::string handoff_format_line(const handoff_entry &e)
{
	if (!e.readable)
		return e.raw;
	return std::string(e.done ? "done" : "pending") + "\t" + handoff_escape(e.owner) + "\t" +
	       handoff_escape(e.name) + "\t" + handoff_escape(e.label) + "\t" + handoff_escape(e.device);
}

int handoff_parse_list(const std::string &text, std::vector<handoff_entry> *out)
{
	out->clear();
	size_t at = 0;
	bool current = false;
	size_t first_nl = text.find('\n');
	std::string first = text.substr(0, first_nl);
	if (first.compare(0, 16, "duruvev-pending ") == 0) {
		// A list of a later format is no one this collector may rewrite.
		if (first != list_magic) {
			errno = EPROTO;
			return -1;
		}
		current = true;
		at = first_nl == std::string::npos ? text.size() : first_nl + 1;
	}
	while (at < text.size()) {
		size_t nl = text.find('\n', at);
		if (nl == std::string::npos)
			nl = text.size();
		std::string line = text.substr(at, nl - at);
		at = nl + 1;
		if (line.empty())
			continue;
		handoff_entry e;
		handoff_parse_line(line, current, &e);
		out->push_back(std::move(e));
	}
	return 0;
}

std::string handoff_format_list(const std::vector<handoff_entry> &list)
{
	std::string text = std::string(list_magic) + "\n";
	for (const handoff_entry &e : list)
		text += handoff_format_line(e) + "\n";
	return text;
}

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
		// What it still held stays pending, for whoever comes next.
		if (owner_.held()) {
			owner_ = os_lock();
			os_dir_remove(root_dir_, (owner_prefix + id_).c_str());
		}
	}
	int start();
	int record(const std::string &name, const std::string &label, const std::string &device);
	void release(const std::string &name);

private:
	// name in the directory collection holds, where that is now: a ROOT
	// path swapped for another leads elsewhere.
	std::string path(const std::string &name) const
	{
		std::string root = os_dir_path(root_dir_);
		return os_path_join((root.empty() ? root_ : root).c_str(), name.c_str());
	}
	int read_list(std::vector<handoff_entry> *list, std::string *why);
	int update(bool adopt, const std::function<bool(std::vector<handoff_entry> &)> &change);
	bool owner_alive(const std::string &owner, std::vector<std::string> *dead);
	bool adopt(std::vector<handoff_entry> &list, std::vector<std::string> *dead);
	unsigned take_unrecorded(std::vector<handoff_entry> &list);
	void settle_finished();
	void queue(const handoff_entry &e, bool held);
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
	std::string id_;    // this collector's name in the list's entries
	os_lock owner_;     // held while it runs
	std::mutex lock_;
	std::condition_variable wake_;
	bool stop_ = false;
	std::list<pending> queue_;
	std::thread thread_;
	unsigned taken_over_ = 0; // by the last adopt
};

void handoff_runner::say(const pending &p, const char *fmt, const std::string &a, const std::string &b)
{
	ux_set_thread_prefix(("[" + p.label + "] ").c_str());
	ux_info(fmt, path(p.name).c_str(), a.c_str(), b.c_str());
	ux_set_thread_prefix(nullptr);
}

int handoff_runner::read_list(std::vector<handoff_entry> *list, std::string *why)
{
	list->clear();
	std::string text;
	if (os_dir_read_small(root_dir_, handoff_pending_name, list_max, &text) != 0) {
		// No list yet; or a link in its place, which no collector
		// made: it is replaced by the list, never followed.
		if (errno == ENOENT || errno == ELOOP)
			return 0;
		if (errno == EFBIG)
			*why = "larger than " + std::to_string(list_max >> 20) +
			       " MiB; hand off or remove what it lists, then shorten it by hand";
		else
			*why = os_strerror(errno);
		return -1;
	}
	if (handoff_parse_list(text, list) != 0) {
		*why = "written by a later version of duruvev";
		return -1;
	}
	return 0;
}

// Whether the collector named owner still runs. One found gone has its lock
// file put in *dead, to go once the list no longer names it.
bool handoff_runner::owner_alive(const std::string &owner, std::vector<std::string> *dead)
{
	if (owner == id_)
		return true;
	if (owner.empty() || !plain_name(owner_prefix + owner))
		return false;
	// Its lock taken at once: nobody holds it (a file missing is made by
	// the attempt, and goes below with the rest). One that cannot be
	// tried is left to its owner: a second hand-off at once is worse than
	// a late one.
	std::string file = owner_prefix + owner;
	os_lock_handle h = os_lock_none;
	if (os_dir_lock(root_dir_, file.c_str(), false, &h) != 0)
		return true;
	os_lock_release(h);
	dead->push_back(file);
	return false;
}

void handoff_runner::queue(const handoff_entry &e, bool held)
{
	pending p;
	p.name = e.name;
	p.label = e.label.empty() ? e.name : e.label;
	p.device = e.device;
	p.due = clock_type::now();
	p.held = held;
	queue_.push_back(std::move(p));
}

// Takes up the pending entries of collectors that no longer run, and lets
// go of those whose directory is gone. True when the list changed.
bool handoff_runner::adopt(std::vector<handoff_entry> &list, std::vector<std::string> *dead)
{
	bool changed = false;
	std::map<std::string, bool> alive;
	for (auto it = list.begin(); it != list.end();) {
		if (!it->readable || (!it->done && it->owner == id_)) {
			++it;
			continue;
		}
		if (!it->done) {
			auto known = alive.find(it->owner);
			if (known == alive.end())
				known = alive.emplace(it->owner, owner_alive(it->owner, dead)).first;
			// A running collector's entries are its own business.
			if (known->second) {
				++it;
				continue;
			}
		}
		if (!os_path_exists(path(it->name).c_str())) {
			// Handed off with its local copy removed, or taken away.
			if (!it->done)
				ux_info("hand-off of \"%s\": no longer there; dropped\n",
					sahara_printable(path(it->name).c_str()).c_str());
			it = list.erase(it);
			changed = true;
			continue;
		}
		if (!it->done) {
			it->owner = id_;
			queue(*it, false);
			taken_over_++;
			changed = true;
		}
		++it;
	}
	return changed;
}

// Complete dumps in ROOT that no entry names, pending or done: their record
// was lost (an older collector, a hand edit, a cut before it was written).
// A second hand-off costs less than none. How many it took up.
unsigned handoff_runner::take_unrecorded(std::vector<handoff_entry> &list)
{
	std::vector<std::string> names;
	if (os_dir_list(root_dir_, &names) != 0) {
		ux_err("cannot list \"%s\": %s\n", root_.c_str(), os_strerror(errno));
		return 0;
	}
	std::set<std::string> known;
	for (const handoff_entry &e : list)
		if (e.readable)
			known.insert(e.name);
	unsigned found = 0;
	std::sort(names.begin(), names.end());
	for (const std::string &name : names) {
		os_dir_handle h = os_dir_none;
		if (known.count(name) || !plain_name(name) || os_dir_open_in(root_dir_, name.c_str(), &h) != 0)
			continue;
		os_dir sub(h);
		os_fd mark(os_dir_open_read(sub.get(), complete_mark));
		if (mark.fd < 0)
			continue;
		handoff_entry e;
		e.readable = true;
		e.owner = id_;
		e.name = name;
		list.push_back(e);
		queue(e, false);
		found++;
	}
	return found;
}

// Reads the list under the lock that every collector on ROOT takes, lets
// change edit it (true: it did), takes up what collectors gone left behind
// when adopt is set, and puts the list back when anything changed. 0, or
// -1 after the message.
int handoff_runner::update(bool adopt_too, const std::function<bool(std::vector<handoff_entry> &)> &change)
{
	std::string why;
	taken_over_ = 0;
	os_lock_handle h = os_lock_none;
	if (os_dir_lock(root_dir_, lock_name, true, &h) != 0)
		why = std::string("cannot lock \"") + lock_name + "\": " + os_strerror(errno);
	os_lock held(h);
	std::vector<handoff_entry> list;
	std::vector<std::string> dead;
	if (why.empty() && read_list(&list, &why) == 0) {
		bool changed = change(list);
		if (adopt_too && adopt(list, &dead))
			changed = true;
		std::string text = handoff_format_list(list);
		// A name of its own: a collector that died while writing leaves
		// no file that another one would trip over.
		std::string tmp = std::string(handoff_pending_name) + "." + id_ + ".new";
		if (changed && os_dir_replace_file(root_dir_, handoff_pending_name, tmp.c_str(), text.data(),
						   text.size()) != 0)
			why = os_strerror(errno);
	}
	if (!why.empty()) {
		ux_err("cannot record the pending hand-offs in \"%s\": %s\n",
		       sahara_printable(path(handoff_pending_name).c_str()).c_str(), why.c_str());
		return -1;
	}
	// Collectors gone: their lock files, and any list they were writing.
	for (const std::string &file : dead) {
		os_dir_remove(root_dir_, file.c_str());
		std::string tmp = std::string(handoff_pending_name) + "." + file.substr(strlen(owner_prefix)) + ".new";
		os_dir_remove(root_dir_, tmp.c_str());
	}
	return 0;
}

static std::string random_id()
{
	std::random_device rd;
	uint64_t t = static_cast<uint64_t>(std::chrono::system_clock::now().time_since_epoch().count());
	char buf[48];
	snprintf(buf, sizeof(buf), "%08x%08x%08x", rd(), rd(), static_cast<unsigned>(t ^ (t >> 32)));
	return buf;
}

// Takes its place among the collectors on ROOT, then the hand-offs that
// nobody running holds: those of earlier runs, and complete dumps that no
// entry names.
int handoff_runner::start()
{
	id_ = random_id();
	os_lock_handle h = os_lock_none;
	if (os_dir_lock(root_dir_, (owner_prefix + id_).c_str(), false, &h) != 0) {
		ux_err("cannot lock \"%s\": %s\n", path(owner_prefix + id_).c_str(), os_strerror(errno));
		return -1;
	}
	owner_ = os_lock(h);
	std::lock_guard<std::mutex> hold(lock_);
	unsigned found = 0;
	int rc = update(true, [&](std::vector<handoff_entry> &list) {
		for (size_t i = 0; i < list.size(); i++)
			if (!list[i].readable)
				ux_err("line \"%s\" of \"%s\" cannot be read; it is kept as it is\n",
				       sahara_printable(list[i].raw.c_str()).c_str(),
				       sahara_printable(path(handoff_pending_name).c_str()).c_str());
		found = take_unrecorded(list);
		return found > 0;
	});
	if (rc != 0)
		return -1;
	unsigned taken = taken_over_;
	if (found)
		ux_info("Collecting: %u complete dump%s that no hand-off record names; handing %s off\n", found,
			found == 1 ? "" : "s", found == 1 ? "it" : "them");
	if (taken)
		ux_info("Collecting: %u hand-off%s pending from an earlier run\n", taken, taken == 1 ? "" : "s");
	thread_ = std::thread([this] { run(); });
	return 0;
}

int handoff_runner::record(const std::string &name, const std::string &label, const std::string &device)
{
	std::lock_guard<std::mutex> hold(lock_);
	bool ours = false;
	handoff_entry mine;
	mine.readable = true;
	mine.owner = id_;
	mine.name = name;
	mine.label = label;
	mine.device = device;
	int rc = update(false, [&](std::vector<handoff_entry> &list) {
		for (handoff_entry &e : list) {
			if (!e.readable || e.name != name)
				continue;
			// Already pending: whoever holds it hands it off. Done: a
			// new dump in the same place, after that one went.
			if (!e.done)
				return false;
			e = mine;
			ours = true;
			return true;
		}
		list.push_back(mine);
		ours = true;
		return true;
	});
	if (rc == 0 && ours)
		queue(mine, true);
	return rc;
}

void handoff_runner::release(const std::string &name)
{
	std::lock_guard<std::mutex> hold(lock_);
	for (pending &p : queue_)
		if (p.name == name && p.held) {
			p.held = false;
			p.due = clock_type::now();
		}
	wake_.notify_all();
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
		p.finished = true;
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
		p.finished = true;
		return;
	}
	failed(p, how.empty() ? "exit code " + std::to_string(code) : how);
}

// Entries of hand-offs that ended: "done" while their directory is there
// (a complete dump that no entry names is handed off again), gone with it.
void handoff_runner::settle_finished()
{
	std::set<std::string> names;
	for (const pending &p : queue_)
		if (p.finished)
			names.insert(p.name);
	update(true, [&](std::vector<handoff_entry> &list) {
		bool changed = false;
		for (auto it = list.begin(); it != list.end();) {
			if (!it->readable || it->done || it->owner != id_ || !names.count(it->name)) {
				++it;
				continue;
			}
			changed = true;
			if (!os_path_exists(path(it->name).c_str())) {
				it = list.erase(it);
				continue;
			}
			it->done = true;
			it->owner.clear();
			++it;
		}
		return changed;
	});
	queue_.remove_if([](const pending &p) { return p.finished; });
}

void handoff_runner::run()
{
	std::unique_lock<std::mutex> hold(lock_);
	auto adopted = clock_type::now();
	while (!stop_) {
		bool changed = false;
		unsigned busy = 0;
		for (pending &p : queue_) {
			if (p.running)
				check(p);
			changed |= p.finished;
			busy += p.running;
		}
		auto now = clock_type::now();
		if (changed || now - adopted >= adopt_every) {
			settle_finished();
			adopted = now;
			if (taken_over_)
				ux_info("Collecting: %u hand-off%s taken over from a collector that has ended\n",
					taken_over_, taken_over_ == 1 ? "" : "s");
		}
		for (pending &p : queue_) {
			if (busy >= max_running)
				break;
			if (p.running || p.held || p.finished || p.due > now)
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
	if (r->start() != 0)
		return nullptr;
	return r;
}

int handoff_record(handoff_runner *r, const std::string &name, const std::string &label, const std::string &device)
{
	return r->record(name, label, device);
}

void handoff_release(handoff_runner *r, const std::string &name)
{
	r->release(name);
}
