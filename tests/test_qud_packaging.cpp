// Installation into a staging directory: the program and the udev rules that
// let the logged-in user reach EDL devices (USB and their serial ports).
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <vector>

#include "run_program.h"
#include "test_support.h"

namespace fs = std::filesystem;

namespace {

std::string slurp(const fs::path &p)
{
	std::ifstream f(p, std::ios::binary);
	std::stringstream ss;
	ss << f.rdbuf();
	return ss.str();
}

program_result install_into(const fs::path &destdir, const std::string &prefix)
{
	return run_program({"/usr/bin/env", "cmake", "--install", DURUVEV_BUILD_DIR, "--prefix", prefix}, 60,
			   {"DESTDIR=" + destdir.string()});
}

TEST(install, destdir_and_prefix_are_honoured)
{
	for (const std::string prefix : {"/usr", "/opt/duruvev"}) {
		SCOPED_TRACE(prefix);
		temp_dir tmp;
		program_result r = install_into(tmp.path, prefix);
		ASSERT_EQ(r.exit_code, 0) << r.out << r.err;

		fs::path root = tmp.path / prefix.substr(1);
		struct stat st;
		ASSERT_EQ(stat((root / "bin/duruvev").c_str(), &st), 0);
		EXPECT_TRUE(st.st_mode & S_IXUSR);
		fs::path rules = root / "lib/udev/rules.d/60-duruvev.rules";
		ASSERT_TRUE(fs::exists(rules));
		EXPECT_EQ(slurp(rules), slurp(fs::path(DURUVEV_SOURCE_DIR) / "packaging/60-duruvev.rules"));
		// The manual page where man finds it, the completion where
		// bash-completion looks under the prefix.
		EXPECT_TRUE(fs::is_regular_file(root / "share/man/man1/duruvev.1.gz"));
		EXPECT_EQ(slurp(root / "share/bash-completion/completions/duruvev"),
			  slurp(fs::path(DURUVEV_SOURCE_DIR) / "packaging/duruvev.bash-completion"));
		// Nothing lands outside the staging directory's prefix.
		for (const auto &e : fs::directory_iterator(tmp.path))
			EXPECT_EQ(e.path().filename(), fs::path(prefix.substr(1)).begin()->string());
	}
}

// Every rule is a list of well-formed KEY op "value" pairs, and the EDL
// products get access and ModemManager's silence both as USB devices and as
// ttys.
TEST(install, udev_rules_cover_every_edl_product)
{
	std::istringstream in(slurp(fs::path(DURUVEV_SOURCE_DIR) / "packaging/60-duruvev.rules"));
	const std::regex pair(R"re(^[A-Z_]+(\{[A-Za-z_]+\})?(==|!=|=|\+=|-=|:=)"[^"]*"$)re");
	std::vector<std::string> rules;
	std::string line;
	while (std::getline(in, line)) {
		if (line.empty() || line[0] == '#')
			continue;
		EXPECT_NE(line.back(), '\\') << "continued lines: " << line;
		size_t pos = 0;
		while (pos <= line.size()) {
			size_t comma = line.find(", ", pos);
			std::string tok = line.substr(pos, comma == std::string::npos ? std::string::npos : comma - pos);
			EXPECT_TRUE(std::regex_match(tok, pair)) << "bad key/value: [" << tok << "] in " << line;
			if (comma == std::string::npos)
				break;
			pos = comma + 2;
		}
		rules.push_back(line);
	}

	auto has = [](const std::string &rule, const std::string &part) { return rule.find(part) != std::string::npos; };
	for (const char *subsystem : {"SUBSYSTEM==\"usb\"", "SUBSYSTEM==\"tty\""}) {
		SCOPED_TRACE(subsystem);
		bool covered = false;
		for (const std::string &r : rules) {
			if (!has(r, subsystem) || !has(r, "TAG+=\"uaccess\""))
				continue;
			covered = has(r, "ENV{ID_MM_DEVICE_IGNORE}=\"1\"") && has(r, "{idVendor}==\"05c6\"") &&
				  has(r, "{idProduct}==\"9008|900e|901d|9060\"");
		}
		EXPECT_TRUE(covered);
	}
}

} // namespace
