// Hand-off processes on POSIX: sh in a process group of its own, so that
// ending a hand-off ends what its command started too.
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include "handoff_platform.h"

extern char **environ;

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

	posix_spawnattr_t attr;
	if (posix_spawnattr_init(&attr) != 0)
		return -1;
	posix_spawnattr_setpgroup(&attr, 0);
	// Collection catches SIGINT and SIGTERM; the command gets the defaults.
	sigset_t dflt;
	sigemptyset(&dflt);
	sigaddset(&dflt, SIGINT);
	sigaddset(&dflt, SIGTERM);
	sigaddset(&dflt, SIGPIPE);
	posix_spawnattr_setsigdefault(&attr, &dflt);
	posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGDEF);
	pid_t pid;
	int ret = posix_spawn(&pid, "/bin/sh", nullptr, &attr, argv, envp.data());
	posix_spawnattr_destroy(&attr);
	if (ret != 0) {
		errno = ret;
		return -1;
	}
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

int handoff_replace(const char *from, const char *to)
{
	return rename(from, to);
}
