#include "run_program.h"
#include "test_support.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <iterator>
#include <poll.h>
#include <sys/wait.h>
#include <thread>
#include <time.h>
#include <unistd.h>

extern char **environ;

static double now_s()
{
	struct timespec ts;
	clock_gettime(CLOCK_MONOTONIC, &ts);
	return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

program_result run_program(const std::vector<std::string> &argv, double timeout_s,
			   const std::vector<std::string> &extra_env,
			   const std::vector<std::string> &unset_env, const std::string &cwd)
{
	program_result res;
	int out_pipe[2], err_pipe[2];

	if (pipe2(out_pipe, O_CLOEXEC) != 0)
		return res;
	if (pipe2(err_pipe, O_CLOEXEC) != 0) {
		close(out_pipe[0]);
		close(out_pipe[1]);
		return res;
	}

	pid_t pid = fork();
	if (pid == 0) {
		// Own process group, so a time-out also ends whatever it started.
		setpgid(0, 0);
		// Whatever it starts writes under the same cap as the tests.
		install_file_size_cap();
		dup2(out_pipe[1], STDOUT_FILENO);
		dup2(err_pipe[1], STDERR_FILENO);
		int devnull = open("/dev/null", O_RDONLY);
		if (devnull >= 0)
			dup2(devnull, STDIN_FILENO);
		for (const auto &name : unset_env)
			unsetenv(name.c_str());
		for (const auto &kv : extra_env)
			putenv(strdup(kv.c_str()));
		if (!cwd.empty() && chdir(cwd.c_str()) != 0)
			_exit(126);
		std::vector<char *> args;
		for (const auto &a : argv)
			args.push_back(const_cast<char *>(a.c_str()));
		args.push_back(nullptr);
		execve(args[0], args.data(), environ);
		_exit(127);
	}
	close(out_pipe[1]);
	close(err_pipe[1]);
	if (pid < 0) {
		close(out_pipe[0]);
		close(err_pipe[0]);
		return res;
	}

	double deadline = now_s() + timeout_s;
	struct pollfd fds[2] = {{out_pipe[0], POLLIN, 0}, {err_pipe[0], POLLIN, 0}};
	int open_fds = 2;
	while (open_fds > 0) {
		double left = deadline - now_s();
		if (left <= 0) {
			res.timed_out = true;
			kill(-pid, SIGKILL);
			break;
		}
		int r = poll(fds, 2, static_cast<int>(left * 1000) + 1);
		if (r < 0 && errno != EINTR)
			break;
		for (int i = 0; i < 2; i++) {
			if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR)))
				continue;
			char buf[4096];
			ssize_t n = read(fds[i].fd, buf, sizeof(buf));
			if (n > 0) {
				(i == 0 ? res.out : res.err).append(buf, static_cast<size_t>(n));
			} else {
				close(fds[i].fd);
				fds[i].fd = -1;
				open_fds--;
			}
		}
	}
	for (auto &f : fds)
		if (f.fd >= 0)
			close(f.fd);

	int status = 0;
	while (waitpid(pid, &status, 0) < 0 && errno == EINTR)
		;
	if (!res.timed_out && WIFEXITED(status))
		res.exit_code = WEXITSTATUS(status);
	return res;
}

background::background(const std::vector<std::string> &argv, const std::filesystem::path &out,
		       const std::filesystem::path &err)
	: out_(out), err_(err)
{
	pid_ = fork();
	if (pid_ == 0) {
		install_file_size_cap();
		// An empty out: standard output is a pipe nobody reads any more.
		int o = -1, p[2];
		if (!out.empty())
			o = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
		else if (pipe(p) == 0 && close(p[0]) == 0)
			o = p[1];
		int e = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
		dup2(o, 1);
		dup2(e, 2);
		// As a service starts: whatever the test runner ignores.
		::signal(SIGHUP, SIG_DFL);
		::signal(SIGPIPE, SIG_DFL);
		std::vector<char *> args;
		for (const auto &a : argv)
			args.push_back(const_cast<char *>(a.c_str()));
		args.push_back(nullptr);
		execv(args[0], args.data());
		_exit(127);
	}
}

background::~background()
{
	if (pid_ > 0 && !exited_) {
		kill(pid_, SIGKILL);
		waitpid(pid_, nullptr, 0);
	}
}

bool background::running()
{
	if (exited_)
		return false;
	int status;
	if (waitpid(pid_, &status, WNOHANG) == pid_) {
		exited_ = true;
		code_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
		return false;
	}
	return true;
}

int background::wait(std::chrono::milliseconds limit)
{
	auto end = std::chrono::steady_clock::now() + limit;
	while (running() && std::chrono::steady_clock::now() < end)
		std::this_thread::sleep_for(std::chrono::milliseconds(20));
	return exited_ ? code_ : -1;
}

void background::signal(int sig)
{
	kill(pid_, sig);
}

std::string slurp(const std::filesystem::path &p)
{
	std::ifstream f(p);
	return std::string(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

std::string background::out() const
{
	return out_.empty() ? std::string() : slurp(out_);
}

std::string background::err() const
{
	return slurp(err_);
}

bool wait_for(const std::function<bool()> &cond, std::chrono::milliseconds limit)
{
	auto end = std::chrono::steady_clock::now() + limit;
	while (!cond()) {
		if (std::chrono::steady_clock::now() >= end)
			return false;
		std::this_thread::sleep_for(std::chrono::milliseconds(20));
	}
	return true;
}
