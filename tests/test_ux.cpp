// Console output: the progress line on a terminal of a given width, message
// streams, blanking, and libxml2's error reports. Each case runs in a child
// process whose standard output is a pseudo-terminal, because the console
// width is measured once per process.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <poll.h>
#include <pty.h>
#include <string>
#include <sys/ioctl.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <libxml/parser.h>

#include "duruvev.h"
#include "ux.h"
#include "vorn.h"

namespace {

struct captured {
	std::string out;
	std::string err;
};

std::string drain(int fd)
{
	std::string s;
	char buf[4096];
	for (;;) {
		struct pollfd p = {fd, POLLIN, 0};
		if (poll(&p, 1, 200) <= 0)
			break;
		ssize_t n = read(fd, buf, sizeof(buf));
		if (n <= 0)
			break;
		s.append(buf, static_cast<size_t>(n));
	}
	return s;
}

// Runs body in a child whose stdout is a terminal `cols` wide (or a pipe when
// cols is 0) and whose stderr is a pipe.
captured run_console(int cols, const std::function<void()> &body)
{
	int master = -1, slave = -1, out_pipe[2], err_pipe[2];
	EXPECT_EQ(pipe(err_pipe), 0);
	EXPECT_EQ(pipe(out_pipe), 0);
	if (cols > 0) {
		struct winsize ws = {};
		ws.ws_col = static_cast<unsigned short>(cols);
		ws.ws_row = 24;
		EXPECT_EQ(openpty(&master, &slave, nullptr, nullptr, &ws), 0);
		struct termios t;
		tcgetattr(slave, &t);
		cfmakeraw(&t);
		tcsetattr(slave, TCSANOW, &t);
	}
	fflush(stdout);
	fflush(stderr);
	pid_t pid = fork();
	if (pid == 0) {
		dup2(cols > 0 ? slave : out_pipe[1], STDOUT_FILENO);
		dup2(err_pipe[1], STDERR_FILENO);
		ux_init();
		body();
		fflush(stdout);
		fflush(stderr);
		_exit(0);
	}
	close(err_pipe[1]);
	close(out_pipe[1]);
	int status = 0;
	waitpid(pid, &status, 0);
	captured c;
	c.out = drain(cols > 0 ? master : out_pipe[0]);
	c.err = drain(err_pipe[0]);
	close(err_pipe[0]);
	close(out_pipe[0]);
	if (cols > 0) {
		close(master);
		close(slave);
	}
	EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
	return c;
}

std::string bar(int hashes, int dashes)
{
	return "[" + std::string(static_cast<size_t>(hashes), '#') + std::string(static_cast<size_t>(dashes), '-') + "]";
}

struct progress_case {
	int cols;
	uint32_t value, max;
	const char *name;
	std::string expected; // whole line without the carriage return; empty: none
};

class progress_line : public testing::TestWithParam<progress_case> {};

TEST_P(progress_line, drawn_as_expected)
{
	const progress_case &c = GetParam();
	captured got = run_console(c.cols, [&] { ux_progress("%s", c.value, c.max, c.name); });
	if (c.expected.empty())
		EXPECT_EQ(got.out, "");
	else
		EXPECT_EQ(got.out, c.expected + "\r");
}

INSTANTIATE_TEST_SUITE_P(
	widths_and_fractions, progress_line,
	testing::Values(
		// Wider consoles are capped at 80 columns: a 50-character bar.
		progress_case{120, 1, 2, "task", "task                 " + bar(25, 25) + " 50.00%"},
		progress_case{60, 1, 2, "task", "task                 " + bar(15, 15) + " 50.00%"},
		progress_case{30, 1, 2, "task", "task                 [] 50.00%"},
		progress_case{29, 1, 2, "task", ""},
		progress_case{80, 1, 3, "abc", "abc                  " + bar(16, 34) + " 33.33%"},
		// A value past the maximum shows as complete.
		progress_case{80, 150, 100, "x", "x                    " + bar(50, 0) + " 100.00%"},
		// Long names are cut to 20 characters.
		progress_case{80, 0, 1, "abcdefghijklmnopqrstuvwxy",
			      "abcdefghijklmnopqrst " + bar(0, 50) + " 0.00%"},
		// Nothing to transfer counts as done, never as a NaN percentage.
		progress_case{80, 0, 0, "empty", "empty                " + bar(50, 0) + " 100.00%"}));

TEST(progress, not_drawn_when_stdout_is_not_a_terminal)
{
	captured got = run_console(0, [] {
		ux_progress("%s", 1, 2, "task");
		ux_info("info\n");
	});
	EXPECT_EQ(got.out, "info\n");
}

TEST(progress, at_most_one_line_per_100_ms)
{
	captured got = run_console(80, [] {
		ux_progress("%s", 1, 4, "a");
		ux_progress("%s", 2, 4, "b"); // within 100 ms: dropped
		usleep(150 * 1000);
		ux_progress("%s", 3, 4, "c");
	});
	EXPECT_EQ(got.out, "a                    " + bar(12, 38) + " 25.00%\r" +
				   "c                    " + bar(37, 13) + " 75.00%\r");
}

// The time each call sees, set by the test before the call.
struct timeval fake_now;
void fake_clock(struct timeval *now)
{
	*now = fake_now;
}

// The limit counts from the last line drawn, not from the last call, and
// borrows across a second boundary.
TEST(progress, rate_limit_by_the_clock)
{
	struct step {
		long sec, usec;
		const char *name;
		bool drawn;
	};
	const step steps[] = {
		{1000, 950000, "a", true},  // the first line always draws
		{1001, 0, "b", false},      // 50 ms after a
		{1001, 49999, "c", false},  // 1 us short of 100 ms after a
		{1001, 50000, "d", true},   // 100 ms after a
		{1001, 100000, "e", false}, // 50 ms after d
		{1000, 0, "f", true},       // the clock went back
	};
	captured got = run_console(80, [&] {
		ux_set_clock(fake_clock);
		for (const step &s : steps) {
			fake_now.tv_sec = s.sec;
			fake_now.tv_usec = s.usec;
			ux_progress("%s", 1, 2, s.name);
		}
	});
	std::string want;
	for (const step &s : steps)
		if (s.drawn)
			want += std::string(s.name) + std::string(20, ' ') + bar(25, 25) + " 50.00%\r";
	EXPECT_EQ(got.out, want);
}

TEST(progress, messages_blank_the_line_first)
{
	captured got = run_console(80, [] {
		ux_progress("%s", 1, 2, "t");
		ux_err("oops %d\n", 1);
		// The line was blanked once; nothing is left to blank now.
		ux_info("next\n");
	});
	std::string line = "t                    " + bar(25, 25) + " 50.00%";
	EXPECT_EQ(got.out, line + "\r" + std::string(line.size(), ' ') + "\r" + "next\n");
	EXPECT_EQ(got.err, "oops 1\n");
}

TEST(messages, debug_and_log_follow_the_debug_flag)
{
	captured quiet = run_console(80, [] {
		vorn_debug = false;
		ux_progress("%s", 1, 2, "t");
		ux_debug("hidden\n");
		ux_log("hidden\n");
	});
	// The progress line stays on screen: nothing blanked it.
	EXPECT_EQ(quiet.out, "t                    " + bar(25, 25) + " 50.00%\r");

	captured loud = run_console(0, [] {
		vorn_debug = true;
		ux_debug("d %s\n", "x");
		ux_log("l\n");
	});
	EXPECT_EQ(loud.out, "d x\nl\n");
}

TEST(messages, libxml2_errors_reach_the_error_stream)
{
	captured got = run_console(0, [] {
		const char bad[] = "<data><unclosed></data>";
		xmlDocPtr doc = xmlReadMemory(bad, sizeof(bad) - 1, "cmd.xml", nullptr, 0);
		if (doc)
			xmlFreeDoc(doc);
		doc = xmlReadMemory(bad, sizeof(bad) - 1, nullptr, nullptr, 0);
		if (doc)
			xmlFreeDoc(doc);
	});
	EXPECT_EQ(got.err.rfind("libxml2 fatal: cmd.xml:1: ", 0), 0u) << got.err;
	EXPECT_NE(got.err.find("\nlibxml2 fatal: Opening and ending tag mismatch"), std::string::npos)
		<< got.err;
}

} // namespace
