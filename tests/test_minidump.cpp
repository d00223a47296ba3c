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

// Sets p_offset of program header i of a kernel header made by emu_make_kelf.
void set_offset(std::vector<uint8_t> &kelf, size_t i, uint64_t offset)
{
	le64_put(kelf.data() + 64 + 56 * i + 8, offset);
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
		core_record = sahara_saved_region();
		r.ret = sahara_build_minidump_elf(dir.str().c_str(), filter, table.data(), table.size(), saved.data(),
						  &core_record);
		r.err = testing::internal::GetCapturedStderr();
		r.out = testing::internal::GetCapturedStdout();
		return r;
	}
	void put(const char *name, const std::vector<uint8_t> &data) { write_file(dir.file(name), data); }
	std::vector<uint8_t> core() { return read_file(dir.file("minidump.elf")); }
	bool has_core() { return fs::exists(dir.file("minidump.elf")); }
	std::string written() { return "minidump: ELF written to " + dir.file("minidump.elf") + "\n"; }
	// The digest the core was given while it was written, against its bytes.
	bool digest_matches_core()
	{
		std::vector<uint8_t> bytes = core();
		uint8_t want[sha256_digest::size];
		if (sha256_of(bytes.data(), bytes.size(), want) != 0)
			return false;
		return core_record.saved && memcmp(want, core_record.sha256, sizeof(want)) == 0;
	}

	temp_dir dir;
	// What the last build recorded of the core it wrote.
	sahara_saved_region core_record;
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

// An ELF32 header gets the core an ELF64 header with the same segments gets:
// after the header, the same vmcoreinfo, padding, cuts and zero fill.
TEST_F(minidump_test, elf32_header_lays_out_the_core_as_elf64_does)
{
	// Virtual addresses apart from the physical ones: regions go by p_paddr.
	std::vector<emu_kelf_segment> segs = {
		{4, 0x9999, 0}, {1, 0x1000, 4096, 0, 0xc0001000}, {1, 0x2000, 16, 0, 0xc0002000}, {1, 0x7000, 8}};
	put("VMCORE.BIN", fill(50, 'v'));
	put("A.BIN", fill(100, 'a'));  // padded to 4096
	put("B.BIN", fill(5000, 'b')); // cut to 16
	std::vector<uint8_t> after_header[2];
	for (bool elf32 : {false, true}) {
		SCOPED_TRACE(elf32 ? "ELF32" : "ELF64");
		fs::remove(dir.file("minidump.elf"));
		auto kelf = emu_make_kelf(segs, emu_kelf_size(segs.size(), elf32) + 50, elf32);
		put("KELF.BIN", kelf);
		auto r = build({entry("md_KELF", 0x500, "KELF.BIN", kelf.size()), entry("md_KVM", 0x6000, "VMCORE.BIN", 50),
				entry("md_K1", 0x1000, "A.BIN", 100), entry("md_K2", 0x2000, "B.BIN", 5000)});
		EXPECT_EQ(r.ret, 0) << r.err;
		EXPECT_EQ(r.out, written());
		EXPECT_EQ(r.err, "minidump: no region found for PT_LOAD at paddr 0x7000; filled with zeros\n");
		auto got = core();
		ASSERT_GE(got.size(), kelf.size());
		EXPECT_TRUE(std::equal(kelf.begin(), kelf.end(), got.begin()));
		after_header[elf32].assign(got.begin() + static_cast<long>(kelf.size()), got.end());
	}
	EXPECT_EQ(after_header[0], cat({fill(50, 'v'), fill(100, 'a'), fill(3996, 0), fill(16, 'b'), fill(8, 0)}));
	EXPECT_EQ(after_header[1], after_header[0]);
}

// ELF32 segments are bounded as ELF64 ones: refused, nothing left behind.
TEST_F(minidump_test, elf32_headers_beyond_the_bound)
{
	const struct {
		const char *name;
		std::vector<emu_kelf_segment> segs;
	} cases[] = {
		{"p_filesz 2^32-1", {{1, 0x1000, 0xffffffff}}},
		{"p_filesz beyond the table", {{1, 0x1000, 0x30000}}},
		{"second segment overflows", {{1, 0x1000, 16}, {1, 0x2000, 0xfffffff0}}},
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(c.name);
		fs::remove(dir.file("minidump.elf"));
		auto kelf = emu_make_kelf(c.segs, 0, true);
		put("KELF.BIN", kelf);
		put("A.BIN", fill(16, 'a'));
		auto r = build({entry("md_KELF", 0x20, "KELF.BIN", kelf.size()), entry("md_K1", 0x1000, "A.BIN", 0x10000),
				entry("DDR", 0x2000, "B.BIN", 0x10000)});
		EXPECT_EQ(r.ret, -1);
		EXPECT_TRUE(contains(r.err, "makes the core larger than the memory")) << r.err;
		EXPECT_EQ(r.out, "");
		EXPECT_FALSE(has_core());
	}
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
	const char *bad32 = "minidump: KELF does not look like a 32-bit ELF core file\n";
	const char *not_elf = "minidump: KELF does not look like an ELF core file\n";
	auto good = emu_make_kelf({{1, 0x1000, 0}});
	auto good32 = emu_make_kelf({{1, 0x1000, 0}}, 0, true);
	auto change = [](std::vector<uint8_t> k, size_t off, size_t width, uint64_t v) {
		for (size_t i = 0; i < width; i++)
			k[off + i] = static_cast<uint8_t>(v >> (8 * i));
		return k;
	};
	auto with = [&](size_t off, size_t width, uint64_t v) { return change(good, off, width, v); };
	auto with32 = [&](size_t off, size_t width, uint64_t v) { return change(good32, off, width, v); };
	struct {
		const char *name;
		std::vector<uint8_t> kelf;
		const char *err; // nullptr: accepted
	} cases[] = {
		{"63 bytes", std::vector<uint8_t>(good.begin(), good.begin() + 63), bad},
		{"bad magic", with(1, 1, 'e'), not_elf},
		{"4 bytes", std::vector<uint8_t>(good.begin(), good.begin() + 4), not_elf},
		{"class byte 0", with(4, 1, 0), not_elf},
		{"class byte 3", with(4, 1, 3), not_elf},
		{"e_type 2", with(16, 2, 2), bad},
		{"e_phentsize 64", with(54, 2, 64), bad},
		{"headers end beyond the file", with(56, 2, 2), bad},
		{"e_phoff beyond the file", with(32, 8, 1000), bad},
		{"e_phoff huge", with(32, 8, ~0ULL), bad},
		{"no program headers", with(56, 2, 0), nullptr},
		// The class byte decides the layout: 64-bit headers marked 32-bit
		// are read as ELF32, and their e_phentsize is not 32.
		{"64-bit header with the 32-bit class byte", with(4, 1, 1), bad32},
		{"ELF32", good32, nullptr},
		{"ELF32 of 51 bytes", std::vector<uint8_t>(good32.begin(), good32.begin() + 51), bad32},
		{"ELF32 e_type 2", with32(16, 2, 2), bad32},
		{"ELF32 e_phentsize 56", with32(42, 2, 56), bad32},
		{"ELF32 headers end beyond the file", with32(44, 2, 2), bad32},
		{"ELF32 e_phoff beyond the file", with32(28, 4, 1000), bad32},
		{"ELF32 e_phoff 2^32-1", with32(28, 4, 0xffffffff), bad32},
		{"ELF32 without program headers", with32(44, 2, 0), nullptr},
		{"ELF32 header with the 64-bit class byte", with32(4, 1, 2), bad},
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

// Headers that would make the core larger than what the device holds, put a
// piece inside the header or two pieces on the same bytes: refused, nothing
// left behind.
TEST_F(minidump_test, headers_the_layout_cannot_honour)
{
	// The core may be as large as the header file and every region of the
	// table together (the header's region among them); with one segment
	// after the header that leaves it this much.
	const uint64_t at_bound = emu_kelf_size(1) + 0x10000 + 0x10000;
	struct {
		const char *name;
		std::vector<emu_kelf_segment> segs;
		std::vector<uint64_t> offsets; // p_offsets; empty: laid out back to back
		bool vmcore;		       // a vmcoreinfo region of 16 bytes, no PT_NOTE
		const char *err; // nullptr: accepted
	} cases[] = {
		{"p_filesz 2^64-1", {{1, 0x1000, ~0ULL}}, {}, false, "of 0xffffffffffffffff bytes at file offset 0x78 makes "
								      "the core larger"},
		{"p_filesz beyond the table", {{1, 0x1000, 0x30000}}, {}, false, "makes the core larger than the memory"},
		{"second segment overflows", {{1, 0x1000, 16}, {1, 0x2000, ~0ULL - 8}}, {}, false, "makes the core larger"},
		// The bound: the header file twice (it is a region too) and two
		// regions of 0x10000 bytes: 0x200f0.
		{"p_offset beyond the bound", {{1, 0x1000, 16}}, {0x200f0 - 15}, false,
		 "PT_LOAD at paddr 0x1000 of 0x10 bytes at file offset 0x200e1 makes the core larger"},
		{"p_offset 2^64-8", {{1, 0x1000, 16}}, {~0ULL - 7}, false, "makes the core larger"},
		{"segment partly inside the header", {{1, 0x1000, 16}}, {0x70}, false,
		 "PT_LOAD at paddr 0x1000 has file offset 0x70, inside the kernel header of 0x78 bytes"},
		{"two segments on the same bytes", {{1, 0x1000, 16}, {1, 0x2000, 16}}, {0xb0, 0xb8}, false,
		 "PT_LOAD at paddr 0x2000 at file offset 0xb8 overlaps PT_LOAD at paddr 0x1000, which ends at 0xc0"},
		// With no PT_LOAD, A.BIN is the vmcoreinfo region.
		{"note inside the header", {{4, 0x1000, 16}}, {0x10}, false,
		 "vmcoreinfo region A.BIN has file offset 0x10, inside the kernel header of 0x78 bytes"},
		{"note whose offset wraps", {{4, 0xff0, 0x20}}, {~0ULL - 7}, false,
		 "vmcoreinfo region A.BIN of 0x10000 bytes at file offset 0xffffffffffffffff makes the core larger"},
		{"segment where the vmcoreinfo goes without a note", {{1, 0x1000, 16}}, {}, true,
		 "PT_LOAD at paddr 0x1000 at file offset 0x78 overlaps vmcoreinfo region VM.BIN, which ends at 0x88"},
		{"core exactly at the bound", {{1, 0x1000, at_bound}}, {}, false, nullptr},
		{"one byte beyond the bound", {{1, 0x1000, at_bound + 1}}, {}, false, "makes the core larger than the memory"},
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(c.name);
		fs::remove(dir.file("minidump.elf"));
		auto kelf = emu_make_kelf(c.segs);
		for (size_t i = 0; i < c.offsets.size(); i++)
			set_offset(kelf, i, c.offsets[i]);
		put("KELF.BIN", kelf);
		put("A.BIN", fill(16, 'a'));
		put("VM.BIN", fill(16, 'v'));
		std::vector<sahara_debug_region64> table = {entry("md_KELF", 0x20, "KELF.BIN", kelf.size()),
							    entry("md_K1", 0x1000, "A.BIN", 0x10000),
							    entry("DDR", 0x2000, "B.BIN", 0x10000)};
		if (c.vmcore)
			table.push_back(entry("md_KVM", 0x40, "VM.BIN", 16));
		auto r = build(table);
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

// Each piece sits at the offset its header gives, zeros in the gaps: the
// order a kernel registers its regions in, segments listed out of file
// order, a note that names no address, a segment inside the header.
TEST_F(minidump_test, layout_follows_the_program_headers)
{
	put("A.BIN", fill(100, 'a'));
	put("B.BIN", fill(64, 'b'));
	put("VM.BIN", fill(50, 'v'));
	// DDR gives the gaps room within the bound.
	std::vector<sahara_debug_region64> regions = {
		entry("md_K1", 0x1000, "A.BIN", 100), entry("md_KVM", 0x6000, "VM.BIN", 50),
		entry("md_K2", 0x2000, "B.BIN", 64), entry("DDR", 0x80000000, "DDR.BIN", 0x10000)};
	const std::vector<uint8_t> a = fill(100, 'a'), b = fill(64, 'b'), v = fill(50, 'v');
	const uint64_t h3 = emu_kelf_size(3);

	struct {
		const char *name;
		std::vector<emu_kelf_segment> segs;
		std::vector<uint64_t> offsets; // empty: each the next offset in header order
		std::vector<std::vector<uint8_t>> after_header;
	} cases[] = {
		{"registration order: note between the loads", {{1, 0x1000, 100}, {4, 0x6000, 50}, {1, 0x2000, 64}}, {},
		 {a, v, b}},
		{"note covering the region from its start on", {{1, 0x1000, 100}, {4, 0x5fe0, 0x60}, {1, 0x2000, 64}},
		 {h3, h3 + 100, h3 + 100 + 0x60}, {a, fill(0x20, 0), v, fill(0x60 - 0x20 - 50, 0), b}},
		{"note without an address", {{1, 0x1000, 100}, {1, 0x2000, 64}, {4, 0, 50}}, {h3 + 50, h3 + 150, h3},
		 {v, a, b}},
		{"loads listed against file order, gaps between", {{1, 0x2000, 64}, {4, 0x6000, 50}, {1, 0x1000, 100}},
		 {h3 + 300, h3 + 8, h3 + 100}, {fill(8, 0), v, fill(42, 0), a, fill(100, 0), b}},
		// A kernel driver's linux_banner copy: bytes of the header itself,
		// at an address no region has.
		{"segment the header carries", {{1, 0x7000, 16}, {1, 0x1000, 100}, {4, 0x6000, 50}, {1, 0x2000, 64}},
		 {0x40, emu_kelf_size(4), emu_kelf_size(4) + 100, emu_kelf_size(4) + 150}, {a, v, b}},
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(c.name);
		fs::remove(dir.file("minidump.elf"));
		auto kelf = emu_make_kelf_registered(c.segs);
		for (size_t i = 0; i < c.offsets.size(); i++)
			set_offset(kelf, i, c.offsets[i]);
		put("KELF.BIN", kelf);
		std::vector<sahara_debug_region64> table = {entry("md_KELF", 0x20, "KELF.BIN", kelf.size())};
		table.insert(table.end(), regions.begin(), regions.end());
		auto r = build(table);
		EXPECT_EQ(r.ret, 0) << r.err;
		EXPECT_EQ(r.err, "");
		std::vector<uint8_t> want = kelf;
		for (const auto &piece : c.after_header)
			want.insert(want.end(), piece.begin(), piece.end());
		EXPECT_TRUE(core() == want) << "core of " << core().size() << " bytes, expected " << want.size();
		// The gaps are part of the core that SHA256SUMS vouches for.
		EXPECT_TRUE(digest_matches_core());
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
