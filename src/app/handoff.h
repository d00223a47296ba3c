// Hand-off of complete dumps: a command run once per dump in a process of
// its own, tried again with a growing pause until it succeeds, while
// collection goes on. Which dumps still wait, and which were handed off, is
// kept in ROOT, so that a restarted collection takes them up. Several
// collectors may share ROOT: the list is changed only under a lock, and each
// pending dump is handed off by the one collector its entry names, while
// that one runs.
#pragma once
#include <memory>
#include <string>
#include <vector>

#include "oscompat.h"

class handoff_runner;

struct handoff_runner_release {
	void operator()(handoff_runner *r) const;
};
using handoff_ptr = std::unique_ptr<handoff_runner, handoff_runner_release>;

// Starts handing off with cmd the dumps under root, held open as root_dir
// (which must outlive the runner); first those that no running collector
// holds: left pending by earlier runs, or complete with no record at all.
// limit_s: seconds after which a hand-off still running is ended and counts
// as failed. Releasing the runner ends the attempts in progress; they stay
// pending. Null after its message when the list cannot be used.
handoff_ptr handoff_start(const char *root, os_dir_handle root_dir, const char *cmd, unsigned limit_s);

// The dump in the directory name right below root is complete: records it
// as pending on stable storage, to be handed off once released. label names
// the device in lines, device is its serial or port. 0, or -1 after the
// message when it could not be recorded.
int handoff_record(handoff_runner *r, const std::string &name, const std::string &label, const std::string &device);

// The dump recorded as name may be handed off now.
void handoff_release(handoff_runner *r, const std::string &name);

// The name of the file in root that lists the pending hand-offs.
extern const char *const handoff_pending_name;

// One line of that list: "pending" or "done", the collector that holds it
// (pending only), the directory's name, its label and its device, separated
// by tabs, with handoff_escape applied to each field. The list's first line
// names its format.
struct handoff_entry {
	std::string raw; // the line as read; all a line that cannot be read keeps
	bool readable = false;
	bool done = false;
	std::string owner, name, label, device;
};
std::string handoff_escape(const std::string &s);
// false when s holds an escape that handoff_escape does not make.
bool handoff_unescape(const std::string &s, std::string *out);
// Reads one line; current: of this format (else of the older one, name,
// label and device, nobody's). false when it cannot be read; *e then
// keeps the line as it is.
bool handoff_parse_line(const std::string &line, bool current, handoff_entry *e);
std::string handoff_format_line(const handoff_entry &e);
// The list's text, read and made. -1 (errno EPROTO) for a list of a later
// format.
int handoff_parse_list(const std::string &text, std::vector<handoff_entry> *out);
std::string handoff_format_list(const std::vector<handoff_entry> &list);
