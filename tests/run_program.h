// Runs a program to completion with a time limit and captures its output, for
// tests that drive the built binaries as a user would.
#pragma once
#include <chrono>
#include <filesystem>
#include <functional>
#include <string>
#include <sys/types.h>
#include <vector>

struct program_result {
	int exit_code = -1;     // exit status, or -1 when killed or not started
	bool timed_out = false; // killed after the time limit
	std::string out;
	std::string err;
};

// argv[0] is the program path. extra_env entries ("NAME=value") are added to
// the environment; unset_env names are removed from it. cwd empty keeps the
// current directory.
program_result run_program(const std::vector<std::string> &argv, double timeout_s = 30,
			   const std::vector<std::string> &extra_env = {},
			   const std::vector<std::string> &unset_env = {}, const std::string &cwd = "");

// A program running in the background, its output in files; killed at the
// end of the test if it is still there.
class background {
public:
	background(const std::vector<std::string> &argv, const std::filesystem::path &out,
		   const std::filesystem::path &err);
	~background();
	background(const background &) = delete;
	background &operator=(const background &) = delete;

	bool running();
	// The exit code (128 + the signal when killed by one), or -1 when it
	// did not end within limit.
	int wait(std::chrono::milliseconds limit);
	void signal(int sig);
	std::string out() const;
	std::string err() const;

private:
	std::filesystem::path out_, err_;
	pid_t pid_ = -1;
	bool exited_ = false;
	int code_ = -1;
};

// Polls cond until it holds; false when limit passed first.
bool wait_for(const std::function<bool()> &cond, std::chrono::milliseconds limit);

// The whole text of a file; empty when it cannot be read.
std::string slurp(const std::filesystem::path &p);
