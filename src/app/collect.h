// Unattended collection of every crashed device that appears.
#pragma once
#include <string>
#include <vector>

// Watches the devices named by targets (serial numbers or port paths; none:
// every EDL device found) and dumps each crashed one that appears into
// "<root>/<serial or port>-<UTC time>", until SIGINT or SIGTERM. Returns 0
// when stopped between dumps, 2 when dumps in progress were stopped (their
// files kept, the devices not reset), 1 when root (or, with then, its list of
// pending hand-offs) cannot be used.
// then: a command that each complete dump is handed off to (or null), ended
// when it runs longer than then_limit_s seconds.
int collect_run(const char *root, const std::vector<std::string> &targets, const char *filter, const char *then,
		unsigned then_limit_s);
