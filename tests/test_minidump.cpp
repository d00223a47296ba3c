// Assembly of "minidump.elf" from the region files: layout, refusals of bad
// kernel headers, missing pieces, and a whole dump checked with readelf.
#include <gtest/gtest.h>

#include <cstring>
#include <sys/wait.h>

#include "le.h"
#include "sahara.h"
#include "test_sahara_common.h"

namespace {

sahara_debug_region64 entry(const char *region, uint64_t addr, const char *file, uint64_t length = 0x10000)
{
	sahara_debug_region64 e{};
	e.addr = addr;
	e.length = length;
	snprintf(e.region, sizeof(e.region), "%s", region);
	snprintf(e.filename, sizeof(e.filename), "%s", file);
	return e;
}

std::vector<uint8_t> fill(size_t n, uint8_t v)
{
	return std::vector<uint8_t>(n, v);
}

std::vector<uint8_t> cat(std::initializer_list<std::vector<uint8_t>> parts)
{
	std::vector<uint8_t> v;
	for (const auto &p : parts)
		v.insert(v.end(), p.begin(), p.end());
	return v;
}

class minidump_test : public testing::Test {
protected:
	// Assembles the core as a run would that saved exactly the entries
	// whose files are in the directory now (or those given by `saved`).
	engine_result build(const std::vector<sahara_debug_region64> &table, const char *filter = nullptr,
			    const std::vector<bool> *which = nullptr)
	{
		std::vector<sahara_saved_region> saved(table.size());
		for (size_t i = 0; i < table.size(); i++) {
			saved[i].file = table[i].filename;
			saved[i].saved = which ? (*which)[i] : fs::is_regular_file(dir.file(table[i].filename));
		}
		return build(table, saved, filter);
	}
	engine_result build(const std::vector<sahara_debug_region64> &table, const std::vector<sahara_saved_region> &saved,
			    const char *filter = nullptr)
	{
		engine_result r;
		testing::internal::CaptureStdout();
		testing::internal::CaptureStderr();
		r.ret = sahara_build_minidump_elf(dir.str().c_str(), filter, table.data(), table.size(), saved.data());
		r.err = testing::internal::GetCapturedStderr();
		r.out = testing::internal::GetCapturedStdout();
		return r;
	}
	void put(const char *name, const std::vector<uint8_t> &data) { write_file(dir.file(name), data); }
	std::vector<uint8_t> core() { return read_file(dir.file("minidump.elf")); }
	bool has_core() { return fs::exists(dir.file("minidump.elf")); }
	std::string written() { return "minidump: ELF written to " + dir.file("minidump.elf") + "\n"; }

	temp_dir dir;
};

// KELF with PT_LOAD segments and a PT_NOTE; an md_K region at an address no
// header names is the vmcoreinfo and follows the header directly. Every
// segment takes exactly p_filesz bytes, so each lands at its p_offset.
TEST_F(minidump_test, layout_with_vmcoreinfo_padding_and_missing_pieces)
{
	std::vector<emu_kelf_segment> segs = {{1, 0x1000, 4096}, {4, 0x9999, 0}, {1, 0x2000, 4096},
					      {1, 0x3000, 16},   {1, 0x7000, 8},  {1, 0x4000, 8}};
	auto kelf = emu_make_kelf(segs, emu_kelf_size(segs.size()) + 50);
	put("KELF.BIN", kelf);
	put("VMCORE.BIN", fill(50, 'v'));
	put("A.BIN", fill(100, 'a'));  // padded to 4096
	put("B.BIN", fill(5000, 'b')); // longer than p_filesz: cut
	put("C.BIN", fill(16, 'c'));
	put("C2.BIN", fill(16, 'C'));  // same address as C: not used
	// 0x7000 has no region; 0x4000's file was not saved.
	std::vector<sahara_debug_region64> table = {
		entry("md_KELF", 0x500, "KELF.BIN", kelf.size()), entry("md_K1", 0x1000, "A.BIN", 100),
		entry("md_K2", 0x2000, "B.BIN", 5000),		   entry("md_KVM", 0x6000, "VMCORE.BIN", 50),
		entry("md_K3", 0x3000, "C.BIN", 16),		   entry("md_K3b", 0x3000, "C2.BIN", 16),
		entry("other", 0x4000, "GONE.BIN", 8),		   entry("DDR", 0x80000000, "DDR.BIN", 0x100000),
	};
	auto r = build(table);
	EXPECT_EQ(r.ret, 0);
	EXPECT_EQ(r.out, written());
	EXPECT_EQ(r.err, "minidump: no region found for PT_LOAD at paddr 0x7000; filled with zeros\n"
			 "minidump: region GONE.BIN missing, filled with zeros\n");
	EXPECT_EQ(core(), cat({kelf, fill(50, 'v'), fill(100, 'a'), fill(3996, 0), fill(4096, 'b'), fill(16, 'c'),
			       fill(16, 0)}));
}

TEST_F(minidump_test, no_core_without_kernel_header_or_when_it_is_filtered)
{
	put("KELF.BIN", emu_make_kelf({}));
	put("VM.BIN", fill(10, 1));
	auto r = build({entry("md_KVM", 0x10, "VM.BIN"), entry("md_KEL", 0x20, "KELF.BIN")});
	EXPECT_EQ(r.ret, 0);
	EXPECT_EQ(r.out + r.err, "");
	EXPECT_FALSE(has_core());

	r = build({entry("md_KELF", 0x20, "KELF.BIN"), entry("md_KVM", 0x10, "VM.BIN")}, "VM");
	EXPECT_EQ(r.ret, 0);
	EXPECT_EQ(r.out + r.err, "");
	EXPECT_FALSE(has_core());

	r = build({});
	EXPECT_EQ(r.ret, 0);
	EXPECT_EQ(r.out + r.err, "");
	EXPECT_FALSE(has_core());
}

TEST_F(minidump_test, kernel_header_checks)
{
	const char *bad = "minidump: KELF does not look like a 64-bit ELF core file\n";
	auto good = emu_make_kelf({{1, 0x1000, 0}});
	auto with = [&](size_t off, size_t width, uint64_t v) {
		auto k = good;
		for (size_t i = 0; i < width; i++)
			k[off + i] = static_cast<uint8_t>(v >> (8 * i));
		return k;
	};
	struct {
		const char *name;
		std::vector<uint8_t> kelf;
		const char *err; // nullptr: accepted
	} cases[] = {
		{"63 bytes", std::vector<uint8_t>(good.begin(), good.begin() + 63), bad},
		{"bad magic", with(1, 1, 'e'), bad},
		{"e_type 2", with(16, 2, 2), bad},
		{"e_phentsize 64", with(54, 2, 64), bad},
		{"headers end beyond the file", with(56, 2, 2), bad},
		{"e_phoff beyond the file", with(32, 8, 1000), bad},
		{"e_phoff huge", with(32, 8, ~0ULL), bad},
		{"32-bit class byte", with(4, 1, 1), nullptr},
		{"no program headers", with(56, 2, 0), nullptr},
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(c.name);
		fs::remove(dir.file("minidump.elf"));
		put("KELF.BIN", c.kelf);
		auto r = build({entry("md_KELF", 0x20, "KELF.BIN")});
		if (c.err) {
			EXPECT_EQ(r.ret, -1);
			EXPECT_EQ(r.err, c.err);
			EXPECT_FALSE(has_core());
		} else {
			EXPECT_EQ(r.ret, 0);
			EXPECT_TRUE(contains(r.out, written()));
			EXPECT_EQ(core(), c.kelf);
		}
	}
}

// Headers that would make the core larger than what the device holds, or put
// a segment where the concatenation cannot: refused, nothing left behind.
TEST_F(minidump_test, headers_the_layout_cannot_honour)
{
	// The core may be as large as the header file and every region of the
	// table together (the header's region among them); with one segment
	// after the header that leaves it this much.
	const uint64_t at_bound = emu_kelf_size(1) + 0x10000 + 0x10000;
	struct {
		const char *name;
		std::vector<emu_kelf_segment> segs;
		uint64_t data_offset; // 0: right after the header
		const char *err;      // nullptr: accepted
	} cases[] = {
		{"p_filesz 2^64-1", {{1, 0x1000, ~0ULL}}, 0, "of 0xffffffffffffffff bytes makes the core larger"},
		{"p_filesz beyond the table", {{1, 0x1000, 0x30000}}, 0, "makes the core larger than the memory"},
		{"second segment overflows", {{1, 0x1000, 16}, {1, 0x2000, ~0ULL - 8}}, 0, "makes the core larger"},
		{"p_offset elsewhere", {{1, 0x1000, 16}}, 4096, "has file offset 0x1000, but its data would be at 0x78"},
		{"core exactly at the bound", {{1, 0x1000, at_bound}}, 0, nullptr},
		{"one byte beyond the bound", {{1, 0x1000, at_bound + 1}}, 0, "makes the core larger than the memory"},
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(c.name);
		fs::remove(dir.file("minidump.elf"));
		auto kelf = emu_make_kelf(c.segs, c.data_offset);
		put("KELF.BIN", kelf);
		put("A.BIN", fill(16, 'a'));
		auto r = build({entry("md_KELF", 0x20, "KELF.BIN", kelf.size()), entry("md_K1", 0x1000, "A.BIN", 0x10000),
				entry("DDR", 0x2000, "B.BIN", 0x10000)});
		if (!c.err) {
			EXPECT_EQ(r.ret, 0) << r.err;
			EXPECT_EQ(core(), cat({kelf, fill(16, 'a'), fill(c.segs[0].filesz - 16, 0)}));
			continue;
		}
		EXPECT_EQ(r.ret, -1);
		EXPECT_TRUE(contains(r.err, c.err)) << r.err;
		EXPECT_EQ(r.out, "");
		EXPECT_FALSE(has_core());
	}
	{
		// A vmcoreinfo region claiming more than the table offers.
		auto kelf = emu_make_kelf({});
		put("KELF.BIN", kelf);
		auto r = build({entry("md_KELF", 0x20, "KELF.BIN", kelf.size()), entry("md_KVM", 0x40, "VM.BIN", ~0ULL)});
		EXPECT_EQ(r.ret, -1);
		EXPECT_TRUE(contains(r.err, "vmcoreinfo region VM.BIN of 0xffffffffffffffff bytes")) << r.err;
		EXPECT_FALSE(has_core());
	}
}

TEST_F(minidump_test, kernel_header_file_problems)
{
	auto r = build({entry("md_KELF", 0x20, "KELF.BIN")});
	EXPECT_EQ(r.ret, -1);
	EXPECT_EQ(r.err, "minidump: kernel header region KELF.BIN was not saved; no core written\n");

	// A file of that name from an earlier run is not this run's header.
	put("KELF.BIN", emu_make_kelf({}));
	std::vector<bool> none{false};
	r = build({entry("md_KELF", 0x20, "KELF.BIN")}, nullptr, &none);
	EXPECT_EQ(r.ret, -1);
	EXPECT_FALSE(has_core());

	put("KELF.BIN", {});
	r = build({entry("md_KELF", 0x20, "KELF.BIN")});
	EXPECT_EQ(r.ret, -1);
	EXPECT_EQ(r.err, "minidump: failed to get KELF file size\n");
	EXPECT_FALSE(has_core());
}

// A header saved under a substitute name (its own name was refused) is read
// from there.
TEST_F(minidump_test, substitute_file_names_are_followed)
{
	auto kelf = emu_make_kelf({{1, 0x1000, 8}});
	put("region_0.bin", kelf);
	put("region_1.bin", fill(8, 's'));
	std::vector<sahara_debug_region64> table = {entry("md_KELF", 0x20, "../KELF.BIN", kelf.size()),
						    entry("md_K1", 0x1000, "a\x1b[2J", 8)};
	std::vector<sahara_saved_region> saved(2);
	saved[0] = {true, "region_0.bin"};
	saved[1] = {true, "region_1.bin"};
	auto r = build(table, saved);
	EXPECT_EQ(r.ret, 0);
	EXPECT_EQ(core(), cat({kelf, fill(8, 's')}));
}

TEST_F(minidump_test, phnum_zero_takes_the_first_other_md_k_region_as_vmcoreinfo)
{
	auto kelf = emu_make_kelf({});
	put("KELF.BIN", kelf);
	put("VM.BIN", fill(33, 'v'));
	put("VM2.BIN", fill(7, 'w'));
	auto r = build({entry("md_KELF", 0x20, "KELF.BIN"), entry("xx", 0x30, "VM2.BIN", 7),
			entry("md_KVM", 0x40, "VM.BIN", 33), entry("md_K2", 0x50, "VM2.BIN", 7)});
	EXPECT_EQ(r.out, written());
	EXPECT_EQ(core(), cat({kelf, fill(33, 'v')}));

	// Not saved: reported, and zeros keep its place.
	fs::remove(dir.file("VM.BIN"));
	r = build({entry("md_KELF", 0x20, "KELF.BIN"), entry("md_KVM", 0x40, "VM.BIN", 33)});
	EXPECT_EQ(r.err, "minidump: vmcoreinfo region missing, crash may not load correctly\n");
	EXPECT_EQ(r.out, written());
	EXPECT_EQ(core(), cat({kelf, fill(33, 0)}));
}

TEST_F(minidump_test, region_not_saved_by_this_run_is_zeros_even_when_a_file_is_there)
{
	auto kelf = emu_make_kelf({{1, 0x1000, 8}});
	put("KELF.BIN", kelf);
	put("SEG.BIN", fill(8, 's')); // left from an earlier run
	std::vector<sahara_debug_region64> table = {entry("md_KELF", 0x20, "KELF.BIN"), entry("md_K1", 0x1000, "SEG.BIN")};
	std::vector<bool> kelf_only{true, false};
	auto r = build(table, nullptr, &kelf_only);
	EXPECT_EQ(r.err, "minidump: region SEG.BIN missing, filled with zeros\n");
	EXPECT_EQ(core(), cat({kelf, fill(8, 0)}));

	// Left out by the filter: no core is due, as with a filtered header.
	fs::remove(dir.file("minidump.elf"));
	r = build(table, "KELF", &kelf_only);
	EXPECT_EQ(r.ret, 0);
	EXPECT_EQ(r.out, "minidump: no core written: the filter excludes SEG.BIN, which the core needs\n");
	EXPECT_EQ(r.err, "");
	EXPECT_FALSE(has_core());
}

// The core's writes fail (a file-size limit stands in for a full disk): no
// success line, the partial core removed.
TEST_F(minidump_test, write_failure_removes_the_incomplete_core)
{
	auto kelf = emu_make_kelf({{1, 0x1000, 0x40000}});
	put("KELF.BIN", kelf);
	put("A.BIN", fill(0x40000, 'a'));
	std::vector<sahara_debug_region64> table = {entry("md_KELF", 0x20, "KELF.BIN"),
						    entry("md_K1", 0x1000, "A.BIN", 0x40000)};
	engine_result r;
	{
		failing_writes_past cap(0x10000);
		r = build(table);
	}

	EXPECT_EQ(r.ret, -1);
	EXPECT_EQ(r.out, "");
	EXPECT_TRUE(contains(r.err, "File too large")) << r.err;
	EXPECT_TRUE(contains(r.err, "minidump: incomplete " + dir.file("minidump.elf") + " removed\n")) << r.err;
	EXPECT_FALSE(has_core());
}

TEST_F(minidump_test, copy_file_to_and_write_zeroes)
{
	std::vector<uint8_t> data(200000);
	for (size_t i = 0; i < data.size(); i++)
		data[i] = static_cast<uint8_t>(i * 31);
	put("in.bin", data);
	FILE *out = fopen(dir.file("out.bin").c_str(), "wb");
	ASSERT_NE(out, nullptr);
	EXPECT_EQ(copy_file_to(out, dir.file("in.bin").c_str()), 200000);
	EXPECT_EQ(copy_file_to(out, dir.file("missing.bin").c_str()), -1);
	EXPECT_EQ(write_zeroes(out, 10000), 0);
	EXPECT_EQ(write_zeroes(out, 0), 0);
	EXPECT_EQ(copy_file_part(out, dir.file("in.bin").c_str(), 70000), 70000);
	EXPECT_EQ(copy_file_part(out, dir.file("in.bin").c_str(), 0), 0);
	fclose(out);
	EXPECT_EQ(read_file(dir.file("out.bin")),
		  cat({data, fill(10000, 0), std::vector<uint8_t>(data.begin(), data.begin() + 70000)}));

	// A stream that takes no bytes fails both.
	FILE *ro = fopen(dir.file("in.bin").c_str(), "rb");
	ASSERT_NE(ro, nullptr);
	EXPECT_EQ(write_zeroes(ro, 5000), -1);
	EXPECT_EQ(copy_file_to(ro, dir.file("in.bin").c_str()), -1);
	fclose(ro);
}

// readelf's exit status and warnings for a core file.
std::string readelf(const std::string &path, int *status)
{
	std::string cmd = "readelf -h -l '" + path + "' 2>&1 >/dev/null";
	FILE *p = popen(cmd.c_str(), "r");
	std::string text;
	char buf[512];
	size_t n;
	while (p && (n = fread(buf, 1, sizeof(buf), p)) > 0)
		text.append(buf, n);
	*status = p ? pclose(p) : -1;
	return text;
}

// A whole dump from the device model: KELF, vmcoreinfo and the segments'
// regions (one shorter than its segment) make a core readelf reads cleanly.
TEST(minidump, whole_dump_from_the_device_is_a_valid_core)
{
	temp_dir dir;
	const uint64_t vm_len = 0x1000;
	std::vector<emu_kelf_segment> segs = {{4, 0, 0}, {1, 0x80000000, 0x90000}, {1, 0x81000000, 0x3000},
					      {1, 0x82000000, 0x2000}};
	auto kelf = emu_make_kelf(segs, emu_kelf_size(segs.size()) + vm_len);
	emu_config cfg;
	cfg.regions = {make_region(0x85000000, kelf.size(), "md_KELF", "md_KELF.BIN"),
		       make_region(0x80000000, 0x90000, "md_KTEXT", "md_KTEXT.BIN"),
		       make_region(0x81000000, 0x1800, "md_KDATA", "md_KDATA.BIN"), // padded to 0x3000
		       make_region(0x85100000, vm_len, "md_KVMCORE", "md_KVMCORE.BIN"),
		       make_region(0x82000000, 0x2000, "md_KBSS", "md_KBSS.BIN"),
		       make_region(0x90000000, 0x10000, "OCIMEM", "OCIMEM.BIN")};
	cfg.regions[0].bytes = kelf;
	emu_model m(cfg);
	auto r = run_engine(m, dir.str().c_str(), nullptr);
	ASSERT_EQ(r.ret, 0);
	EXPECT_EQ(r.err, "");
	EXPECT_TRUE(contains(r.out, "minidump: ELF written to " + dir.file("minidump.elf") + "\n"));

	auto pad = region_bytes(m, cfg.regions[2]);
	pad.resize(0x3000, 0);
	auto expect = cat({kelf, region_bytes(m, cfg.regions[3]), region_bytes(m, cfg.regions[1]), pad,
			   region_bytes(m, cfg.regions[4])});
	auto got = read_file(dir.file("minidump.elf"));
	EXPECT_EQ(got.size(), expect.size());
	EXPECT_TRUE(got == expect);

	// Every PT_LOAD's p_offset points at its region's bytes in the core.
	ASSERT_GE(got.size(), kelf.size());
	for (size_t i = 0; i < segs.size(); i++) {
		const uint8_t *ph = got.data() + 64 + 56 * i;
		if (le32_get(ph) != 1)
			continue;
		uint64_t off = le64_get(ph + 8), paddr = le64_get(ph + 24), filesz = le64_get(ph + 32);
		ASSERT_LE(off + filesz, got.size());
		std::vector<uint8_t> mem(filesz);
		for (const auto &reg : cfg.regions)
			if (reg.addr == paddr)
				m.memory(paddr, mem.data(), std::min<uint64_t>(filesz, reg.length));
		EXPECT_TRUE(std::equal(mem.begin(), mem.end(), got.begin() + static_cast<long>(off))) << i;
	}

	int status = 0;
	std::string warnings = readelf(dir.file("minidump.elf"), &status);
	EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << warnings;
	EXPECT_EQ(warnings, "");
}

} // namespace
