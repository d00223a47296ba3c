// Hand-off processes on POSIX: sh in a process group of its own, so that
// ending a hand-off ends what its command started too, at a lower priority
// than the dumps.
#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include "handoff_platform.h"

extern char **environ;

namespace {
constexpr int handoff_nice = 10; // added to collection's own
}

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
	p->pid = -1;
	return 1;
}

void handoff_kill(handoff_proc *p)
{
	if (p->pid <= 0)
		return;
	kill(-static_cast<pid_t>(p->pid), SIGKILL);
	waitpid(static_cast<pid_t>(p->pid), nullptr, 0);
	p->pid = -1;
}

