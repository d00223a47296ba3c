// A real kernel's crash: Debian 12's arm64 and 32-bit arm kernels, booted
// under QEMU, log known lines and crash with sysrq
// (tests/real_kernel/make-fixture.sh). The emulator offers their RAM as a
// phone would; dmesg.txt and --dmesg must hold exactly the records the
// serial console printed, and drgn must take the core for a Linux kernel.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "run_program.h"
#include "test_support.h"

namespace fs = std::filesystem;

namespace {

std::string text_of(const fs::path &p)
{
	std::vector<uint8_t> b = read_file(p.string());
	return std::string(b.begin(), b.end());
}

// The records' lines on the console as dmesg prints them: every line that
// starts with a timestamp, without the console's \r, control bytes as \xNN.
std::vector<std::string> console_records(const std::string &console)
{
	std::vector<std::string> lines;
	size_t pos = 0;
	while (pos < console.size()) {
		size_t end = console.find('\n', pos);
		std::string line = console.substr(pos, end == std::string::npos ? std::string::npos : end - pos);
		pos = end == std::string::npos ? console.size() : end + 1;
		if (!line.empty() && line.back() == '\r')
			line.pop_back();
		if (line.size() < 15 || line[0] != '[' || line[13] != ']' || line[6] != '.')
			continue;
		std::string shown;
		for (unsigned char c : line) {
			char esc[8];
			snprintf(esc, sizeof(esc), "\\x%02x", c);
			shown += c < 0x20 || c == 0x7f ? std::string(esc) : std::string(1, static_cast<char>(c));
		}
		lines.push_back(shown);
	}
	return lines;
}

std::vector<std::string> lines_of(const std::string &text)
{
	std::vector<std::string> lines;
	for (size_t pos = 0, end; pos < text.size(); pos = end + 1) {
		end = text.find('\n', pos);
		if (end == std::string::npos)
			end = text.size();
		lines.push_back(text.substr(pos, end - pos));
	}
	return lines;
}

// argv under a cap on file sizes that lets the guest's RAM (128 MiB) be
// written: in QEMU's file and in the region files.
std::vector<std::string> ram_sized(std::vector<std::string> argv)
{
	argv.insert(argv.begin(), {"/usr/bin/prlimit", "--fsize=" + std::to_string(256u << 20), "--"});
	return argv;
}

// The fixture of arch, built once per build directory; skips the test when
// the kernel packages cannot be fetched.
fs::path fixture(const char *arch)
{
	fs::path dir = fs::path(DURUVEV_BUILD_DIR) / "real-kernel" / arch;
	program_result r = run_program(ram_sized({"/bin/sh",
						  std::string(DURUVEV_SOURCE_DIR) + "/tests/real_kernel/make-fixture.sh", arch,
						  dir.string()}),
				       840);
	if (r.exit_code == 77)
		return {};
	EXPECT_EQ(r.exit_code, 0) << r.out << r.err;
	return r.exit_code == 0 ? dir : fs::path();
}

struct layout_case {
	const char *boot;   // plain: every record kept; wrapped: the newest
	const char *layout; // the emulator's: minidump or ram
};

const layout_case layouts[] = {
	{"plain", "minidump"},
	{"plain", "ram"},
	{"wrapped", "minidump"},
	{"wrapped", "ram"},
};

void check_dump(const fs::path &fx, const layout_case &c, const char *arch)
{
	const fs::path boot = fx / c.boot;
	const std::vector<std::string> console = console_records(text_of(boot / "console.log"));
	ASSERT_GT(console.size(), 100u);
	temp_dir tmp;
	const fs::path out = tmp.path / "dump";
	program_result r = run_program(ram_sized({DURUVEV_EMU_BIN,
						  std::string("--memory-image=") + c.layout + ":" + (boot / "memory.elf").string(),
						  "--time-limit", "300", "--", DURUVEV_BIN, "-S", "{pty}", "-o", out.string()}),
				       330);
	ASSERT_EQ(r.exit_code, 0) << r.out << r.err;

	const std::string dmesg = text_of(out / "dmesg.txt");
	std::vector<std::string> got = lines_of(dmesg);
	ASSERT_FALSE(got.empty()) << r.out;
	if (std::string(c.boot) == "plain") {
		EXPECT_TRUE(got == console) << got.size() << " lines read, " << console.size() << " on the console";
	} else {
		// The ring held the newest records only, every one of them.
		ASSERT_LT(got.size(), console.size());
		EXPECT_GT(got.size(), 500u);
		std::vector<std::string> newest(console.end() - static_cast<long>(got.size()), console.end());
		EXPECT_TRUE(got == newest) << got.front() << " ... " << got.back();
	}
	EXPECT_NE(dmesg.find("duruvev fixture: a tab\\x09here, an escape \\x1b[1mbold\\x1b[0m and a bell\\x07\n"),
		  std::string::npos);
	EXPECT_NE(dmesg.find("] ---[ end Kernel panic - not syncing: sysrq triggered crash ]---\n"), std::string::npos);
	// Where vmcoreinfo and the linear offset came from, said in the log.
	if (std::string(c.layout) == "ram") {
		EXPECT_NE(r.out.find("vmcoreinfo from the page at physical"), std::string::npos) << r.out;
		if (std::string(arch) == "armhf") {
			EXPECT_NE(r.out.find("from init_uts_ns at physical"), std::string::npos) << r.out;
		}
	}

	program_result again = run_program({DURUVEV_BIN, "--dmesg", out.string()}, 60);
	EXPECT_EQ(again.exit_code, 0) << again.err;
	EXPECT_TRUE(again.out == dmesg) << again.err;

	if (std::string(c.layout) != "minidump")
		return;
	static const char script[] = "import sys, drgn\n"
				     "p = drgn.Program()\n"
				     "p.set_core_dump(sys.argv[1])\n"
				     "print('kernel', bool(p.flags & drgn.ProgramFlags.IS_LINUX_KERNEL))\n"
				     "print('release', p['UTS_RELEASE'].string_().decode())\n";
	program_result drgn = run_program({"/usr/bin/python3", "-c", script, (out / "minidump.elf").string()}, 60);
	ASSERT_EQ(drgn.exit_code, 0) << drgn.out << drgn.err;
	const std::string booted = text_of(boot / "console.log");
	std::string want_release = booted.substr(booted.find("] Linux version ") + 16);
	want_release = want_release.substr(0, want_release.find(' '));
	EXPECT_EQ(drgn.out, "kernel True\nrelease " + want_release + "\n");
}

void check_arch(const char *arch)
{
	fs::path fx = fixture(arch);
	if (fx.empty() && !::testing::Test::HasFailure())
		GTEST_SKIP() << "the Debian kernel packages for " << arch << " cannot be fetched (no network?)";
	ASSERT_FALSE(fx.empty());
	for (const layout_case &c : layouts) {
		SCOPED_TRACE(std::string(c.boot) + " boot, " + c.layout + " layout");
		check_dump(fx, c, arch);
	}
}

TEST(real_kernel, arm64)
{
	check_arch("arm64");
}

TEST(real_kernel, armhf)
{
	check_arch("armhf");
}

} // namespace
