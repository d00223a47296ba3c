// Hand-off of complete dumps: a command run once per dump in a process of
// its own, tried again with a growing pause until it succeeds, while
// collection goes on. Which dumps still wait is kept in ROOT, so that a
// restarted collection takes them up.
#pragma once
#include <memory>
#include <string>

#include "oscompat.h"

class handoff_runner;

struct handoff_runner_release {
	void operator()(handoff_runner *r) const;
};
using handoff_ptr = std::unique_ptr<handoff_runner, handoff_runner_release>;

// Starts handing off with cmd the dumps under root, held open as root_dir
// (which must outlive the runner); first those left pending by earlier runs.
// limit_s: seconds after which a hand-off still running is ended and counts
// as failed. Releasing the runner ends the attempts in progress; they stay
// pending.
handoff_ptr handoff_start(const char *root, os_dir_handle root_dir, const char *cmd, unsigned limit_s);

// The dump in the directory name right below root is complete: records it
// as pending, then hands it off. label names the device in lines, device is
// its serial or port.
void handoff_add(handoff_runner *r, const std::string &name, const std::string &label, const std::string &device);

// The name of the file in root that lists the pending hand-offs.
extern const char *const handoff_pending_name;
