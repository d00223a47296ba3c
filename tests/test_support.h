// Small helpers shared by the test programs.
#pragma once
#include <gtest/gtest.h>

#include <cstdint>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "le.h"
#include "vorn.h"

// A fresh directory, removed with its content when the test is done.
struct temp_dir {
	std::filesystem::path path;
	explicit temp_dir(const char *base = "/tmp")
	{
		std::string tmpl = std::string(base) + "/duruvev-test-XXXXXX";
		EXPECT_NE(mkdtemp(tmpl.data()), nullptr) << tmpl;
		path = tmpl;
	}
	~temp_dir()
	{
		std::error_code ec;
		std::filesystem::remove_all(path, ec);
	}
	temp_dir(const temp_dir &) = delete;
	temp_dir &operator=(const temp_dir &) = delete;
	std::string str() const { return path.string(); }
	std::string file(const std::string &name) const { return (path / name).string(); }
};

// A device record that is freed with vorn_deinit when it goes out of scope.
struct dev_deleter {
	void operator()(vorn_device *d) const { vorn_deinit(d); }
};
using dev_ptr = std::unique_ptr<vorn_device, dev_deleter>;

// Names of a directory's entries.
inline std::set<std::string> files_in(const std::filesystem::path &dir)
{
	std::set<std::string> names;
	for (const auto &e : std::filesystem::directory_iterator(dir))
		names.insert(e.path().filename().string());
	return names;
}

// The whole content of a file; empty when it cannot be read.
inline std::vector<uint8_t> read_file(const std::string &path)
{
	std::ifstream f(path, std::ios::binary);
	return std::vector<uint8_t>(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

// True when every file SHA256SUMS of a dump directory lists is there with
// its digest, as sha256sum -c finds.
inline bool sums_verify(const std::filesystem::path &dir)
{
	std::string cmd = "cd '" + dir.string() + "' && sha256sum --quiet -c SHA256SUMS >/dev/null";
	return system(cmd.c_str()) == 0;
}

// Every test program, and every program a test starts, runs under a cap on
// the size of any file it writes: a write that runs away ends the writer with
// SIGXFSZ at the cap instead of filling the disk.
constexpr uint64_t test_file_size_cap = 64ULL << 20;

// Moves the cap of this process (the soft limit; false when refused), and
// reads it (UINT64_MAX when there is none).
bool set_file_size_cap(uint64_t bytes);
uint64_t file_size_cap();

// Puts the default cap and the default action of SIGXFSZ in place; for a
// child process before it starts a program.
void install_file_size_cap();

// Raises the cap for one test that writes huge files on purpose; the
// previous cap returns at scope exit.
class raised_file_size_cap {
public:
	explicit raised_file_size_cap(uint64_t bytes) : previous(file_size_cap())
	{
		EXPECT_TRUE(set_file_size_cap(bytes)) << "cannot raise the file size cap to " << bytes;
	}
	~raised_file_size_cap() { set_file_size_cap(previous); }
	raised_file_size_cap(const raised_file_size_cap &) = delete;
	raised_file_size_cap &operator=(const raised_file_size_cap &) = delete;

private:
	uint64_t previous;
};

// Makes every write past `bytes` fail with EFBIG instead of raising SIGXFSZ:
// a stand-in for a full disk, for the scope of one test.
class failing_writes_past {
public:
	explicit failing_writes_past(uint64_t bytes) : previous(file_size_cap())
	{
		handler = signal(SIGXFSZ, SIG_IGN);
		EXPECT_TRUE(set_file_size_cap(bytes));
	}
	~failing_writes_past()
	{
		set_file_size_cap(previous);
		signal(SIGXFSZ, handler);
	}
	failing_writes_past(const failing_writes_past &) = delete;
	failing_writes_past &operator=(const failing_writes_past &) = delete;

private:
	uint64_t previous;
	void (*handler)(int);
};

// A core's program headers, of either ELF class.
struct core_phdr {
	uint32_t type;
	uint64_t offset, vaddr, paddr, filesz;
};
inline std::vector<core_phdr> phdrs_of(const std::vector<uint8_t> &elf)
{
	std::vector<core_phdr> out;
	if (elf.size() < 64)
		return out;
	const bool e32 = elf[4] == 1;
	const unsigned w = e32 ? 4 : 8;
	const uint64_t phoff = le_get(elf.data() + (e32 ? 28 : 32), w), phnum = le16_get(elf.data() + (e32 ? 44 : 56));
	const uint64_t size = e32 ? 32 : 56;
	for (uint64_t i = 0; i < phnum && phoff + (i + 1) * size <= elf.size(); i++) {
		const uint8_t *p = elf.data() + phoff + i * size;
		out.push_back({le32_get(p), le_get(p + (e32 ? 4 : 8), w), le_get(p + (e32 ? 8 : 16), w),
			       le_get(p + (e32 ? 12 : 24), w), le_get(p + (e32 ? 16 : 32), w)});
	}
	return out;
}
