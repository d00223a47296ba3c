// Error reports, time-value sums, the hex dump and the version banner.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "oscompat.h"
#include "util.h"
#include "vorn.h"

namespace {

TEST(err_family, prefix_message_and_error_text)
{
	testing::internal::CaptureStderr();
	errno = ENOENT;
	warn("failed to open \"%s\"", "a.bin");
	warnx("plain %d", 7);
	errno = EIO;
	warn(nullptr);
	warnx(nullptr);
	std::string got = testing::internal::GetCapturedStderr();
	EXPECT_EQ(got, "duruvev: failed to open \"a.bin\": No such file or directory\n"
		       "duruvev: plain 7\n"
		       "duruvev: Input/output error\n"
		       "duruvev: \n");
}

TEST(err_family, err_and_errx_end_the_process_with_the_status)
{
	EXPECT_EXIT(
		{
			errno = ENOMEM;
			err(3, "sim: failed to allocate response entry");
		},
		testing::ExitedWithCode(3), "^duruvev: sim: failed to allocate response entry: Cannot allocate memory\n$");
	EXPECT_EXIT(errx(1, nullptr), testing::ExitedWithCode(1), "^duruvev: \n$");
	EXPECT_EXIT(errx(0, "done"), testing::ExitedWithCode(0), "^duruvev: done\n$");
}

TEST(timeradd, carries_at_most_once)
{
	struct row {
		long as, au, bs, bu, rs, ru;
	};
	const row rows[] = {
		{1, 999999, 0, 1, 2, 0},
		{0, 500000, 0, 500000, 1, 0},
		{0, 400000, 0, 500000, 0, 900000},
		{5, 0, 7, 0, 12, 0},
	};
	for (const auto &r : rows) {
		struct timeval a = {r.as, r.au}, b = {r.bs, r.bu}, out;
		timeradd(&a, &b, &out);
		EXPECT_EQ(out.tv_sec, r.rs);
		EXPECT_EQ(out.tv_usec, r.ru);
		// The result may be one of the inputs.
		timeradd(&a, &b, &a);
		EXPECT_EQ(a.tv_sec, r.rs);
		EXPECT_EQ(a.tv_usec, r.ru);
	}
}

std::string hex_dump(const std::string &prefix, const std::vector<uint8_t> &bytes)
{
	testing::internal::CaptureStdout();
	print_hex_dump(prefix.c_str(), bytes.data(), bytes.size());
	return testing::internal::GetCapturedStdout();
}

TEST(hex_dump, lines_of_sixteen_with_padded_hex_column)
{
	std::vector<uint8_t> bytes(16);
	for (size_t i = 0; i < bytes.size(); i++)
		bytes[i] = static_cast<uint8_t>('a' + i);
	EXPECT_EQ(hex_dump("P", bytes),
		  "P 0000: 61 62 63 64 65 66 67 68 69 6a 6b 6c 6d 6e 6f 70 abcdefghijklmnop\n");

	// The 17th byte starts a second line with 15 blank cells.
	bytes.push_back(0x20);
	std::string two = hex_dump("P", bytes);
	EXPECT_EQ(two.substr(two.find('\n') + 1), "P 0010: 20 " + std::string(45, ' ') + " \n");

	EXPECT_EQ(hex_dump("P", {}), "");
}

TEST(hex_dump, unprintable_bytes_show_as_dots)
{
	std::vector<uint8_t> bytes(20, 0);
	bytes[16] = 'A';
	bytes[17] = 'B';
	bytes[18] = 0x0a;
	bytes[19] = 0x00;
	std::string got = hex_dump("CMD9", bytes);
	std::string second = got.substr(got.find('\n') + 1);
	EXPECT_EQ(second, "CMD9 0010: 41 42 0a 00 " + std::string(36, ' ') + "AB..\n");

	std::vector<uint8_t> edges = {0x1f, 0x7f, 0x80, 0xff, 0x7e};
	std::string line = hex_dump("x", edges);
	EXPECT_EQ(line.substr(line.size() - 6), "....~\n");
}

TEST(hex_dump, offsets_grow_past_four_digits)
{
	std::vector<uint8_t> bytes(0x10010, 0x41);
	std::string got = hex_dump("p", bytes);
	EXPECT_NE(got.find("\np fff0: "), std::string::npos);
	EXPECT_NE(got.find("\np 10000: "), std::string::npos);
}

// msvcrt's strerror has no text for the POSIX additions that mingw-w64
// numbers from 100 on ("Unknown error"); the err family must not print that
// for a time-out (ETIMEDOUT is 138 there).
TEST(err_family, windows_errno_values_from_100_have_texts)
{
	EXPECT_STREQ(os_win_errno_text(138), "Connection timed out");
	EXPECT_STREQ(os_win_errno_text(129), "Operation not supported");
	EXPECT_STREQ(os_win_errno_text(140), "Operation would block");
	// Every value mingw-w64's errno.h defines from 100 to 140 (131 is
	// unused there).
	for (int e = 100; e <= 140; e++) {
		if (e == 131)
			continue;
		ASSERT_NE(os_win_errno_text(e), nullptr) << e;
		EXPECT_EQ(std::string(os_win_errno_text(e)).find("Unknown"), std::string::npos) << e;
	}
	// Numbers the runtime has texts for are left to it.
	for (int e : {0, 2, 5, 12, 16, 19, 22, 28, 42, 99, 131, 141})
		EXPECT_EQ(os_win_errno_text(e), nullptr) << e;
	// On this system the C library's own text.
	EXPECT_STREQ(os_strerror(ETIMEDOUT), strerror(ETIMEDOUT));
}

TEST(path_join, one_separator_per_path)
{
	struct row {
		const char *dir;
		const char *posix;
		const char *windows;
	};
	const row rows[] = {
		{".", "./minidump.elf", ".\\minidump.elf"},
		{"dump", "dump/minidump.elf", "dump\\minidump.elf"},
		{"C:\\dump", "C:\\dump/minidump.elf", "C:\\dump\\minidump.elf"},
		{"C:\\dump\\", "C:\\dump\\/minidump.elf", "C:\\dump\\minidump.elf"},
		{"C:/dump", "C:/dump/minidump.elf", "C:/dump/minidump.elf"},
		{"C:/dump/", "C:/dump/minidump.elf", "C:/dump/minidump.elf"},
		// Mixed: backslashes throughout.
		{"C:\\crash/0412", "C:\\crash/0412/minidump.elf", "C:\\crash\\0412\\minidump.elf"},
		// A bare drive names its current directory: nothing is added.
		{"C:", "C:/minidump.elf", "C:minidump.elf"},
		{"C:\\", "C:\\/minidump.elf", "C:\\minidump.elf"},
		{"\\\\server\\share\\dump", "\\\\server\\share\\dump/minidump.elf",
		 "\\\\server\\share\\dump\\minidump.elf"},
		{"/tmp/out", "/tmp/out/minidump.elf", "/tmp/out/minidump.elf"},
		{"/tmp/out/", "/tmp/out/minidump.elf", "/tmp/out/minidump.elf"},
		{"", "/minidump.elf", "\\minidump.elf"},
	};
	for (const row &r : rows) {
		EXPECT_EQ(os_path_join_for(r.dir, "minidump.elf", false), r.posix) << r.dir;
		EXPECT_EQ(os_path_join_for(r.dir, "minidump.elf", true), r.windows) << r.dir;
	}
	EXPECT_EQ(os_path_join("out", "DDRCS0.BIN"), "out/DDRCS0.BIN");
}

// The part of a Windows path that is never created: without it the output
// directory "C:" was refused and a share's path was created from "\" and
// "\\server" on.
TEST(path_join, windows_path_roots)
{
	struct row {
		const char *path;
		size_t root;
	};
	const row rows[] = {
		{"C:", 2},
		{"c:dump", 2},
		{"C:\\", 3},
		{"C:/dump/a", 3},
		{"\\dump", 1},
		{"/dump", 1},
		{"dump\\a", 0},
		{".", 0},
		{"", 0},
		{"\\\\server\\share", 14},
		{"\\\\server\\share\\", 15},
		{"\\\\server\\share\\dump\\a", 15},
		{"//server/share/dump", 15},
		{"\\\\server", 8},
		{"\\\\?\\C:\\dump", 7},
		{"\\\\?\\UNC\\server\\share\\dump", 21},
		{"\\\\?\\unc\\server\\share", 20},
		{"\\\\.\\COM12", 9},
		{"\\\\?\\Volume{1234}\\dump", 17},
	};
	for (const row &r : rows)
		EXPECT_EQ(os_win_path_root_len(r.path), r.root) << r.path;
}

TEST(path_join, windows_output_dirs_are_created_below_their_root)
{
	using dirs = std::vector<std::string>;
	EXPECT_EQ(os_win_dirs_below_root("C:"), dirs{});
	EXPECT_EQ(os_win_dirs_below_root("C:\\"), dirs{});
	EXPECT_EQ(os_win_dirs_below_root("C:dump"), dirs{"C:dump"});
	EXPECT_EQ(os_win_dirs_below_root("C:\\crash\\0412"), (dirs{"C:\\crash", "C:\\crash\\0412"}));
	EXPECT_EQ(os_win_dirs_below_root("C:/crash//0412/"), (dirs{"C:/crash", "C:/crash//0412"}));
	EXPECT_EQ(os_win_dirs_below_root("\\\\server\\share"), dirs{});
	EXPECT_EQ(os_win_dirs_below_root("\\\\server\\share\\dump\\a"),
		  (dirs{"\\\\server\\share\\dump", "\\\\server\\share\\dump\\a"}));
	EXPECT_EQ(os_win_dirs_below_root("\\\\?\\UNC\\server\\share\\dump"), dirs{"\\\\?\\UNC\\server\\share\\dump"});
	EXPECT_EQ(os_win_dirs_below_root("\\dump"), dirs{"\\dump"});
	EXPECT_EQ(os_win_dirs_below_root("crash\\a"), (dirs{"crash", "crash\\a"}));
	EXPECT_EQ(os_win_dirs_below_root(""), dirs{});
}

TEST(version, banner_on_standard_output)
{
	testing::internal::CaptureStdout();
	print_version();
	EXPECT_EQ(testing::internal::GetCapturedStdout(), "duruvev version v2.7.1\n");
}

} // namespace

// A small file is read whole up to its bound and refused beyond it, also
// where the bound falls inside one read's buffer.
TEST(read_small, whole_up_to_the_bound_and_refused_beyond)
{
	struct row {
		size_t size, max;
		bool whole;
	} rows[] = {{0, 0, true}, {10, 10, true}, {11, 10, false}, {5000, 5000, true}, {5000, 4999, false},
		    {9000, 100, false}};
	for (const row &r : rows) {
		SCOPED_TRACE(std::to_string(r.size) + " bytes, bound " + std::to_string(r.max));
		char name[] = "/tmp/read_small_XXXXXX";
		int fd = mkstemp(name);
		ASSERT_GE(fd, 0);
		std::string data(r.size, 'a');
		for (size_t i = 0; i < r.size; i++)
			data[i] = static_cast<char>('a' + i % 26);
		ASSERT_TRUE(os_write_all(fd, data.data(), data.size()));
		ASSERT_EQ(lseek(fd, 0, SEEK_SET), 0);
		std::string got;
		errno = 0;
		int rc = os_read_small(fd, r.max, got);
		int saved = errno;
		close(fd);
		unlink(name);
		if (r.whole) {
			EXPECT_EQ(rc, 0);
			EXPECT_EQ(got, data);
		} else {
			EXPECT_EQ(rc, -1);
			EXPECT_EQ(saved, EFBIG);
		}
	}
}
