// The output directory is settled before the device is touched: a dump can
// be taken only once, so a typo must not cost it.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <sys/stat.h>

#include "run_program.h"
#include "test_support.h"

namespace fs = std::filesystem;

namespace {

program_result dump_into(const std::string &out)
{
	return run_program({DURUVEV_EMU_BIN, "--scenario", "small", "--time-limit", "60", "--", DURUVEV_BIN, "-S",
			    "{pty}", "-o", out},
			   90);
}

TEST(output_directory, missing_parents_are_created_and_the_dump_lands_there)
{
	temp_dir tmp;
	fs::path out = tmp.path / "crash" / "2026-12-10" / "phone-a";
	program_result r = dump_into(out.string());
	ASSERT_EQ(r.exit_code, 0) << r.out << r.err;
	EXPECT_TRUE(fs::is_regular_file(out / "OCIMEM.BIN"));
	EXPECT_TRUE(fs::is_regular_file(out / "CODERAM.BIN"));
	struct stat st;
	ASSERT_EQ(stat((tmp.path / "crash").c_str(), &st), 0);
	EXPECT_EQ(st.st_mode & 0777, 0755 & ~[] {
		mode_t m = umask(0);
		umask(m);
		return m;
	}());
}

TEST(output_directory, unusable_directory_leaves_the_device_untouched)
{
	temp_dir tmp;
	fs::path file = tmp.path / "not-a-dir";
	std::ofstream(file) << "x";

	for (const std::string &out : {file.string(), (file / "below").string(), std::string("/proc/self")}) {
		program_result r = dump_into(out);
		EXPECT_EQ(r.exit_code, 1) << out;
		EXPECT_NE(r.err.find("cannot write to output directory \"" + out + "\""), std::string::npos)
			<< r.err;
		// The emulated device saw no memory request and no reset: it
		// still holds its crash state for the next, corrected run.
		EXPECT_NE(r.err.find("0 memory reads, 0 reset(s)"), std::string::npos) << r.err;
		EXPECT_EQ(r.out.find("dumped"), std::string::npos) << r.out;
	}
	// Nothing was created beside the file.
	EXPECT_EQ(std::distance(fs::directory_iterator(tmp.path), fs::directory_iterator()), 1);
}

} // namespace
