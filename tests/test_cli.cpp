// The command line of the built binary, run as a user runs it. These cases
// all end before a device is waited for.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "run_program.h"
#include "test_support.h"

namespace {

const std::string usage_text =
	"duruvev [--debug] [-o <duruvev-path>] [segment-filter]\n"
	"duruvev --resume -o <duruvev-path> [--debug] [segment-filter]\n"
	"duruvev --collect [-o <root>] [-S T]... [--then CMD [--then-limit S]] [segment-filter]\n"
	"duruvev --dmesg <dump-dir>\n"
	"duruvev --title <dump-dir|log-file>\n"
	"duruvev --list [--since DATE] [--json] [--html FILE] PATH...\n\n"
	" -d, --debug\t\tEnable debug output\n"
	" -v, --version\t\tPrint version\n"
	" -o, --output=PATH\tDirectory to write duruvev segments into (default: .)\n"
	" -S, --serial=T\t\tSelect target by serial number T (e.g. <0AA94EFD>)\n"
	"     --resume\t\tContinue the dump cut short in the -o directory: regions\n"
	"\t\t\talready whole are kept, the rest are read\n"
	"     --collect\t\tDump every crashed device that appears, each into\n"
	"\t\t\t<root>/<serial or port>-<UTC time>, until stopped\n"
	"     --then=CMD\t\tWith --collect: hand each complete dump to CMD, its\n"
	"\t\t\tdirectory as last argument, until CMD succeeds\n"
	"     --then-limit=S\tEnd a hand-off still running after S seconds\n"
	"\t\t\t(default 3600); it is tried again later\n"
	"     --dmesg=DIR\tPrint the kernel log of the dump in DIR\n"
	"     --title=DIR|FILE\tPrint the title of the crash in a dump or a log file\n"
	"     --list\t\tList the complete dumps under each PATH, one row per\n"
	"\t\t\tcrash title; --since: only those after DATE (UTC);\n"
	"\t\t\t--json: as JSON; --html: also as a page in FILE\n"
	" -h, --help\t\tPrint this usage info\n"
	" [segment-filter]\tOptional comma-separated list of segment names to dump\n";
const std::string version_line = "duruvev version v2.7.1\n";

enum class stream { none, out, err };

struct cli_case {
	std::vector<std::string> args;
	int exit_code;
	std::string out;   // exact standard output
	stream usage;      // where the usage text must end standard error/output
	bool posixly_correct;
};

program_result run(const std::vector<std::string> &args, bool posixly_correct = false)
{
	std::vector<std::string> argv{DURUVEV_BIN};
	argv.insert(argv.end(), args.begin(), args.end());
	std::vector<std::string> env;
	if (posixly_correct)
		env.push_back("POSIXLY_CORRECT=1");
	return run_program(argv, 20, env, posixly_correct ? std::vector<std::string>{} :
								 std::vector<std::string>{"POSIXLY_CORRECT"});
}

bool ends_with(const std::string &s, const std::string &tail)
{
	return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

class cli_table : public testing::TestWithParam<cli_case> {};

TEST_P(cli_table, exit_code_and_output)
{
	const cli_case &c = GetParam();
	program_result r = run(c.args, c.posixly_correct);

	ASSERT_FALSE(r.timed_out);
	EXPECT_EQ(r.exit_code, c.exit_code);
	switch (c.usage) {
	case stream::out:
		EXPECT_EQ(r.out, usage_text);
		EXPECT_EQ(r.err, "");
		break;
	case stream::err:
		// The option parser may complain first; the usage text comes last.
		EXPECT_TRUE(ends_with(r.err, usage_text)) << r.err;
		EXPECT_EQ(r.out, c.out);
		break;
	case stream::none:
		EXPECT_EQ(r.out, c.out);
		EXPECT_EQ(r.err, "");
		break;
	}
}

INSTANTIATE_TEST_SUITE_P(
	options, cli_table,
	testing::Values(
		cli_case{{"-h"}, 0, "", stream::out, false},
		cli_case{{"--help"}, 0, "", stream::out, false},
		cli_case{{"-v"}, 0, version_line, stream::none, false},
		cli_case{{"--version"}, 0, version_line, stream::none, false},
		// -v ends the run before the debug banner would print it again.
		cli_case{{"-d", "-v"}, 0, version_line, stream::none, false},
		// Options act in order: -v ends the run before -x is looked at ...
		cli_case{{"-v", "-x"}, 0, version_line, stream::none, false},
		// ... and a bad option in front of -v ends it with status 1.
		cli_case{{"-x", "-v"}, 1, "", stream::err, false},
		cli_case{{"--bogus"}, 1, "", stream::err, false},
		cli_case{{"-o"}, 1, "", stream::err, false},
		cli_case{{"--serial"}, 1, "", stream::err, false},
		cli_case{{"a", "b"}, 1, "", stream::err, false},
		cli_case{{"a", "-o", "x", "b"}, 1, "", stream::err, false},
		cli_case{{"--collect", "a", "b"}, 1, "", stream::err, false},
		// --dmesg reads a dump on disk: it takes no filter and no collection.
		cli_case{{"--dmesg"}, 1, "", stream::err, false},
		cli_case{{"--dmesg", "dir", "filter"}, 1, "", stream::err, false},
		cli_case{{"--dmesg", "dir", "--collect"}, 1, "", stream::err, false},
		// --list reads dumps on disk: it needs a path, and its options
		// belong to it alone.
		cli_case{{"--list"}, 1, "", stream::err, false},
		cli_case{{"--json", "dir"}, 1, "", stream::err, false},
		cli_case{{"--since", "2026-12-11", "dir"}, 1, "", stream::err, false},
		cli_case{{"--list", "dir", "--collect"}, 1, "", stream::err, false},
		cli_case{{"--list", "dir", "-S", "0AA94EFD"}, 1, "", stream::err, false},
		cli_case{{"--list", "dir", "--title", "dir"}, 1, "", stream::err, false},
		// Options after the filter are still options ...
		cli_case{{"filter", "-v"}, 0, version_line, stream::none, false},
		// ... unless POSIXLY_CORRECT stops parsing at the first operand,
		// which leaves two operands.
		cli_case{{"filter", "-v"}, 1, "", stream::err, true},
		// "--" ends the options: "-v" is then an operand.
		cli_case{{"--", "-v", "x"}, 1, "", stream::err, false},
		cli_case{{"-o", "dir", "-h"}, 0, "", stream::out, false}));

// Continuing needs the directory of the dump it continues; collection
// continues on its own. One line, before any device is looked for.
TEST(resume_option, needs_an_output_directory_and_no_collection)
{
	for (const std::vector<std::string> &args :
	     {std::vector<std::string>{"--resume"}, std::vector<std::string>{"--collect", "--resume", "-o", "x"}}) {
		program_result r = run(args);
		ASSERT_FALSE(r.timed_out);
		EXPECT_EQ(r.exit_code, 1);
		EXPECT_EQ(r.out, "");
		EXPECT_EQ(r.err, "--resume needs -o with the directory of the dump to continue, and no --collect\n");
	}
}

// The hand-off options belong to collection, and a limit must be a number:
// refused with one line before any device is waited for.
TEST(then_option, refused_outside_collection_or_when_malformed)
{
	struct bad_case {
		std::vector<std::string> args;
		std::string says;
	};
	const bad_case cases[] = {
		{{"--then", "true"}, "use them with --collect"},
		{{"--then-limit", "5"}, "use them with --collect"},
		{{"--collect", "--then-limit", "5"}, "needs --then"},
		{{"--collect", "--then", "true", "--then-limit", "0"}, "is not a number of seconds"},
		{{"--collect", "--then", "true", "--then-limit", "5s"}, "is not a number of seconds"},
		{{"--collect", "--then", "true", "--then-limit", "-1"}, "is not a number of seconds"},
		{{"--collect", "--then", ""}, "the command is empty"},
	};
	for (const auto &c : cases) {
		program_result r = run(c.args);
		ASSERT_FALSE(r.timed_out) << c.args.back();
		EXPECT_EQ(r.exit_code, 1) << c.args.back();
		EXPECT_NE(r.err.find(c.says), std::string::npos) << r.err;
		EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
	}
}

// A mistyped or unusable output directory must be reported before any
// device is waited for: the run ends at once with one error line.
TEST(output_directory, unusable_path_fails_before_the_device_is_opened)
{
	temp_dir tmp;
	std::string file = tmp.file("plain-file");
	std::ofstream(file) << "x";

	struct bad_case {
		std::string path;
		std::string reason;
	};
	const bad_case cases[] = {
		{file, "Not a directory"},
		{file + "/below", "Not a directory"},
		// Root can write almost anywhere, but not into procfs.
		{"/proc/self", ""},
	};
	for (const auto &c : cases) {
		program_result r = run({"-o", c.path});
		ASSERT_FALSE(r.timed_out) << c.path << ": the device was waited for";
		EXPECT_EQ(r.exit_code, 1) << c.path;
		EXPECT_NE(r.err.find("\"" + c.path + "\""), std::string::npos) << r.err;
		EXPECT_NE(r.err.find(c.reason), std::string::npos) << r.err;
		EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
		EXPECT_EQ(r.out.find("EDL"), std::string::npos) << r.out;
	}
}

} // namespace
