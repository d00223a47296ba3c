// The guards every test program runs under: a file written past the size cap
// ends its writer, in the test program and in the programs it starts.
#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "run_program.h"
#include "test_support.h"

namespace {

TEST(file_size_cap, ends_a_runaway_writer_in_the_test_program)
{
	temp_dir dir;
	std::string path = dir.file("runaway");
	pid_t pid = fork();
	ASSERT_GE(pid, 0);
	if (pid == 0) {
		// Writes 1 MiB pieces until the cap is 1 MiB behind.
		FILE *f = fopen(path.c_str(), "wb");
		std::vector<char> piece(1 << 20);
		for (uint64_t n = 0; f && n <= test_file_size_cap; n += piece.size())
			if (fwrite(piece.data(), 1, piece.size(), f) != piece.size())
				_exit(2);
		_exit(f && fclose(f) == 0 ? 0 : 3);
	}
	int status = 0;
	ASSERT_EQ(waitpid(pid, &status, 0), pid);
	ASSERT_TRUE(WIFSIGNALED(status)) << "writer ended by itself, status " << status;
	EXPECT_EQ(WTERMSIG(status), SIGXFSZ);
	EXPECT_EQ(std::filesystem::file_size(path), test_file_size_cap);
}

// The started program gets the default cap even when the test raised its own.
TEST(file_size_cap, ends_a_runaway_writer_in_a_started_program)
{
	raised_file_size_cap raised(2 * test_file_size_cap);
	temp_dir dir;
	std::string path = dir.file("runaway");
	std::string cmd = "exec head -c " + std::to_string(test_file_size_cap + 1) + " /dev/zero > " + path;
	program_result r = run_program({"/bin/sh", "-c", cmd}, 30);
	EXPECT_FALSE(r.timed_out);
	EXPECT_EQ(r.exit_code, -1) << "not ended by a signal: " << r.err;
	EXPECT_EQ(std::filesystem::file_size(path), test_file_size_cap);
}

} // namespace
