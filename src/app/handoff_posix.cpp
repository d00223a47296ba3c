// Hand-off processes on POSIX: sh in a process group of its own, so that
// ending a hand-off, at its limit or once its command has ended, ends what
// the command started too, at a lower priority than the dumps.
#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include "handoff_platform.h"

extern char **environ;

namespace {
constexpr int handoff_nice = 10; // added to collection's own
// How long what is left of a hand-off has to end on SIGTERM before SIGKILL.
constexpr unsigned grace_ms = 2000;
constexpr unsigned grace_step_ms = 20;

// Ends what is left of the process group pg (SIGTERM, then SIGKILL after the
// grace period) and reaps those of its processes that are this one's
// children, its leader among them while it has not been reaped.
void end_group(pid_t pg)
{
	kill(-pg, SIGTERM);
	for (unsigned waited = 0;; waited += grace_step_ms) {
		while (waitpid(-pg, nullptr, WNOHANG) > 0)
			;
		// Nothing left in the group: kill finds no process.
		if (kill(-pg, 0) != 0)
			return;
		if (waited >= grace_ms)
			break;
		struct timespec ts = {0, static_cast<long>(grace_step_ms) * 1000000L};
		nanosleep(&ts, nullptr);
	}
	kill(-pg, SIGKILL);
	while (waitpid(-pg, nullptr, 0) > 0)
		;
}
} // namespace

int handoff_spawn(const std::string &cmd, const std::string &arg,
		  const std::vector<std::pair<std::string, std::string>> &env, handoff_proc *out)
{
	// The environment is built here: between fork and exec nothing may
	// allocate.
	std::vector<std::string> vars;
	for (char **e = environ; *e; e++) {
		bool replaced = false;
		for (const auto &kv : env)
			if (strncmp(*e, kv.first.c_str(), kv.first.size()) == 0 && (*e)[kv.first.size()] == '=')
				replaced = true;
		if (!replaced)
			vars.emplace_back(*e);
	}
	for (const auto &kv : env)
		vars.push_back(kv.first + "=" + kv.second);
	std::vector<char *> envp;
	for (std::string &v : vars)
		envp.push_back(v.data());
	envp.push_back(nullptr);
	// "$@" makes the argument the last word of a plain command; a command
	// with shell syntax has it as $1. Either way it stays data.
	std::string sh = "sh", c = "-c", zero = "sh", cmd_copy = cmd + " \"$@\"", arg_copy = arg;
	char *argv[] = {sh.data(), c.data(), cmd_copy.data(), zero.data(), arg_copy.data(), nullptr};

	errno = 0;
	int nice_now = getpriority(PRIO_PROCESS, 0);
	int nice_then = errno ? handoff_nice : std::min(nice_now + handoff_nice, 19);
	pid_t pid = fork();
	if (pid < 0)
		return -1;
	if (pid == 0) {
		// Only async-signal-safe calls from here to exec. Its own process
		// group, so that ending it ends what it started; a lower priority,
		// so that it never takes the processor from a dump; the signals
		// collection catches back to their defaults.
		setpgid(0, 0);
		setpriority(PRIO_PROCESS, 0, nice_then);
		struct sigaction dflt;
		memset(&dflt, 0, sizeof(dflt));
		dflt.sa_handler = SIG_DFL;
		for (int sig : {SIGINT, SIGTERM, SIGPIPE})
			sigaction(sig, &dflt, nullptr);
		execve("/bin/sh", argv, envp.data());
		_exit(127);
	}
	// Also here: a kill that comes before the child has run finds the group.
	setpgid(pid, pid);
	out->pid = pid;
	return 0;
}

int handoff_reap(handoff_proc *p, int *code, std::string *how)
{
	int status;
	pid_t got = waitpid(static_cast<pid_t>(p->pid), &status, WNOHANG);
	if (got == 0)
		return 0;
	if (got < 0) {
		*code = -1;
		*how = std::string("lost: ") + strerror(errno);
	} else if (WIFEXITED(status)) {
		*code = WEXITSTATUS(status);
	} else {
		*code = -1;
		*how = std::string("ended by signal ") + std::to_string(WTERMSIG(status));
	}
	// What the command started and left running goes with it: a
	// hand-off that is over holds nothing up.
	if (got > 0)
		end_group(static_cast<pid_t>(p->pid));
	p->pid = -1;
	return 1;
}

void handoff_kill(handoff_proc *p)
{
	if (p->pid <= 0)
		return;
	end_group(static_cast<pid_t>(p->pid));
	p->pid = -1;
}

