// Runs a program to completion with a time limit and captures its output, for
// tests that drive the built binaries as a user would.
#pragma once
#include <string>
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
