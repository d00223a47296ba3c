// What the hand-off of finished dumps needs from the operating system: a
// command run in a process of its own, watched without waiting, and ended
// with everything it started.
// handoff_posix.cpp and handoff_win.cpp provide it.
#pragma once
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

struct handoff_proc {
	intptr_t pid = -1; // a process id, or a Windows process handle
	intptr_t group = 0; // Windows: the job object holding its tree
};

// Starts cmd through the system's shell with arg as its last argument, never
// as part of the command text (POSIX: sh -c 'cmd "$@"' sh arg; Windows: cmd /c, the
// argument taken from the environment), and with env added to the
// environment. Returns 0, or -1 with errno set when it cannot start.
int handoff_spawn(const std::string &cmd, const std::string &arg,
		  const std::vector<std::pair<std::string, std::string>> &env, handoff_proc *out);

// 1 when the process has ended (its exit code in *code, or how it ended in
// *how with *code -1), 0 while it runs. Once it has ended, what it started
// and left running is ended too (POSIX: SIGTERM to its process group, then
// SIGKILL after a short grace period; Windows: its job object).
int handoff_reap(handoff_proc *p, int *code, std::string *how);

// Ends the process and everything it started, as above, and waits for it.
void handoff_kill(handoff_proc *p);

