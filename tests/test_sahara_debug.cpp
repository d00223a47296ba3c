// Memory-debug collection against the device model: region files, the table
// limits, hostile names, and devices that fail half-way.
#include <algorithm>
#include <gtest/gtest.h>

#include <atomic>

#include <unistd.h>

#include "emu_script.h"
#include "le.h"
#include "run_program.h"
#include "sahara.h"
#include "test_sahara_common.h"

namespace {

std::vector<std::pair<uint64_t, uint64_t>> progress_log;
void record_progress(uint64_t value, uint64_t max, uint32_t, uint32_t)
{
	progress_log.emplace_back(value, max);
}

class debug64_test : public testing::Test {
protected:
	void SetUp() override { progress_log.clear(); }
	void TearDown() override { sahara_config().progress = nullptr; }

	// Every region of the model that should be on disk, byte-identical.
	void expect_files(const emu_model &m, const std::vector<size_t> &which)
	{
		for (size_t i : which) {
			const emu_region &r = m.config().regions[i];
			SCOPED_TRACE(r.filename);
			auto got = read_file(dir.file(r.filename));
			EXPECT_EQ(got.size(), r.length);
			EXPECT_TRUE(got == region_bytes(m, r));
		}
	}

	temp_dir dir;
};

TEST_F(debug64_test, dumps_every_region_byte_identical)
{
	emu_config cfg;
	cfg.regions = {
		make_region(0x80000000, 0x80001, "DDR", "DDRCS0.BIN"),
		make_region(0x14680000, 4096, "OCIMEM", "OCIMEM.BIN"),
		make_region(0x10000, 0, "EMPTY", "EMPTY.BIN"),
		make_region(0x20000, 300, "CODE", "CODERAM.BIN"),
	};
	cfg.regions[3].bytes = {1, 2, 3}; // explicit content, zeros after it
	emu_model m(cfg);
	vorn_device_emu dev(&m);
	sahara_config().progress = record_progress;
	auto r = run_engine(&dev, dir.str().c_str(), nullptr);

	EXPECT_EQ(r.ret, 0);
	EXPECT_EQ(r.err, "");
	EXPECT_TRUE(m.errors.empty()) << m.errors[0];
	EXPECT_EQ(m.reset_count, 1u);
	expect_files(m, {0, 1, 2, 3});
	for (const char *f : {"DDRCS0.BIN", "OCIMEM.BIN", "EMPTY.BIN", "CODERAM.BIN"})
		EXPECT_TRUE(contains(r.out, std::string(f) + " dumped successfully\n")) << f;
	EXPECT_FALSE(fs::exists(dir.file("minidump.elf")));

	// The table, then 0x80001 bytes as two blocks; nothing for the empty
	// region; every block followed by one short read.
	ASSERT_EQ(m.mem_reads.size(), 5u);
	EXPECT_EQ(m.mem_reads[0].addr, cfg.table_addr);
	EXPECT_EQ(m.mem_reads[0].length, 4u * 64);
	EXPECT_EQ(m.mem_reads[1].addr, 0x80000000u);
	EXPECT_EQ(m.mem_reads[1].length, 0x80000u);
	EXPECT_EQ(m.mem_reads[2].addr, 0x80080000u);
	EXPECT_EQ(m.mem_reads[2].length, 1u);
	EXPECT_EQ(dev.reads_by_timeout[10], 4u);
	EXPECT_EQ(dev.reads_by_timeout[30000], 4u);
	ASSERT_GE(progress_log.size(), 2u);
	EXPECT_EQ(progress_log[0], std::make_pair(uint64_t{0x80000}, uint64_t{0x80001}));
	EXPECT_EQ(progress_log[1], std::make_pair(uint64_t{0x100000}, uint64_t{0x80001}));
}

// SHA256SUMS as sha256sum itself writes it for the same files, in the same
// order: region files of the sizes where a digest goes wrong (nothing, one
// byte, either side of SHA-256's 64-byte block and of the engine's transfer
// block, several blocks), the core with zeros between its pieces, and the
// description files.
TEST_F(debug64_test, sums_are_what_sha256sum_computes)
{
	const uint64_t block = 0x80000;
	const std::vector<uint64_t> sizes = {0, 1, 64, 65, block, block + 1, 3 * block + 4097};
	emu_config cfg;
	uint64_t addr = 0x10000000;
	for (size_t i = 0; i < sizes.size(); i++) {
		cfg.regions.push_back(make_region(addr, sizes[i], "R" + std::to_string(i),
						  "R" + std::to_string(i) + ".BIN"));
		addr += sizes[i] + 0x1000;
	}
	// The kernel header puts its first segment 5000 bytes past its end:
	// the core holds a gap of zeros there.
	const uint64_t seg1 = 0x80000000, seg2 = 0x81000000;
	std::vector<emu_kelf_segment> segs = {{1, seg1, 2 * block + 3}, {1, seg2, 100}};
	emu_region kelf = make_region(0x85f00000, 0, "md_KELF_HEADER", "md_KELF_HEADER.BIN");
	kelf.bytes = emu_make_kelf(segs, emu_kelf_size(segs.size()) + 5000);
	kelf.length = kelf.bytes.size();
	cfg.regions.push_back(kelf);
	cfg.regions.push_back(make_region(seg1, 2 * block + 3, "md_KTEXT", "md_KTEXT.BIN"));
	cfg.regions.push_back(make_region(seg2, 100, "md_KDATA", "md_KDATA.BIN"));
	emu_model m(cfg);
	auto r = run_engine(m, dir.str().c_str(), nullptr);
	ASSERT_EQ(r.ret, 0) << r.err;
	ASSERT_TRUE(fs::exists(dir.file("minidump.elf")));

	std::string sums;
	for (uint8_t b : read_file(dir.file("SHA256SUMS")))
		sums += static_cast<char>(b);
	std::vector<std::string> argv = {"/usr/bin/sha256sum"};
	for (size_t at = 0; at < sums.size();) {
		size_t end = sums.find('\n', at);
		ASSERT_NE(end, std::string::npos);
		argv.push_back(sums.substr(at + 66, end - at - 66));
		at = end + 1;
	}
	// Every file but SHA256SUMS itself: regions, core, load.cmm, dump_info.txt,
	// dump.json.
	EXPECT_EQ(argv.size(), 1 + cfg.regions.size() + 4);
	program_result want = run_program(argv, 30, {}, {}, dir.str());
	ASSERT_EQ(want.exit_code, 0) << want.err;
	EXPECT_EQ(sums, want.out);
}

TEST_F(debug64_test, device_that_delivers_a_block_in_small_transfers)
{
	emu_config cfg;
	cfg.regions = {make_region(0x1000000, 0x123457, "R", "R.BIN")};
	cfg.fault.max_mem_transfer = 16384;
	emu_model m(cfg);
	auto r = run_engine(m, dir.str().c_str(), nullptr);
	EXPECT_EQ(r.ret, 0);
	expect_files(m, {0});
}

// Unsafe names are refused as file names, but their bytes are kept under a
// substitute name; a stale longer file is truncated.
TEST_F(debug64_test, region_file_is_truncated_and_hostile_names_refused)
{
	temp_dir root;
	fs::path out = root.path / "out";
	fs::create_directory(out);
	write_file((out / "SHORT.BIN").string(), std::vector<uint8_t>(10000, 'X'));

	const char *hostile[] = {"../evil.bin", "a/b", ".", "..", "", "x\\y", "C:z"};
	emu_config cfg;
	cfg.regions.push_back(make_region(0x1000, 100, "S", "SHORT.BIN"));
	uint64_t addr = 0x10000;
	for (const char *h : hostile)
		cfg.regions.push_back(make_region(addr += 0x1000, 64, "H", h));
	// A name filling the whole 20-byte field has no terminator.
	cfg.regions.push_back(make_region(0x90000, 64, "L", "ABCDEFGHIJKLMNOP.BIN"));
	emu_model m(cfg);
	auto r = run_engine(m, out.string().c_str(), nullptr);

	EXPECT_EQ(r.ret, 0);
	EXPECT_EQ(m.reset_count, 1u);
	auto shortf = read_file((out / "SHORT.BIN").string());
	EXPECT_EQ(shortf.size(), 100u);
	EXPECT_TRUE(shortf == region_bytes(m, cfg.regions[0]));
	for (size_t i = 0; i < std::size(hostile); i++) {
		std::string sub = "region_" + std::to_string(i + 1) + ".bin";
		EXPECT_TRUE(contains(r.err, std::string("refusing unsafe region file name \"") + hostile[i] +
						    "\"; saving region " + std::to_string(i + 1) + " as \"" + sub + "\"\n"))
			<< hostile[i];
		EXPECT_TRUE(read_file((out / sub).string()) == region_bytes(m, cfg.regions[i + 1])) << sub;
	}
	EXPECT_TRUE(contains(r.out, "ABCDEFGHIJKLMNOP.BIN dumped successfully\n"));
	EXPECT_TRUE(read_file((out / "ABCDEFGHIJKLMNOP.BIN").string()) == region_bytes(m, cfg.regions.back()));

	// Nothing but the output directory in its parent.
	EXPECT_EQ(list_dir(root.path), std::vector<std::string>{"out"});
	// The regions, and SHA256SUMS, load.cmm, dump_info.txt and dump.json.
	EXPECT_EQ(list_dir(out).size(), 2 + std::size(hostile) + 4);
}

// A device may itself use a name that looks like a substitute; a region that
// needs a substitute later must not take that name and overwrite its file.
TEST_F(debug64_test, substitute_name_already_used_by_an_earlier_region)
{
	emu_config cfg;
	cfg.regions = {make_region(0x1000, 4096, "A", "region_1.bin"), make_region(0x9000, 4096, "B", "../B.BIN")};
	emu_model m(cfg);
	auto r = run_engine(m, dir.str().c_str(), nullptr);
	EXPECT_EQ(r.ret, 0) << r.err;
	EXPECT_EQ(m.reset_count, 1u);
	std::vector<std::string> names;
	for (const std::string &n : list_dir(dir.path))
		if (n != "SHA256SUMS" && n != "load.cmm" && n != "dump_info.txt" && n != "dump.json")
			names.push_back(n);
	ASSERT_EQ(names.size(), 2u);
	EXPECT_TRUE(read_file(dir.file("region_1.bin")) == region_bytes(m, cfg.regions[0]));
	std::string other = names[0] == "region_1.bin" ? names[1] : names[0];
	EXPECT_TRUE(read_file(dir.file(other)) == region_bytes(m, cfg.regions[1])) << other;
}

TEST_F(debug64_test, over_long_path_is_refused_not_cut)
{
	// Directory chosen so that "dir/A.BIN" fits the 259 characters and
	// "dir/LONGER_NAME.BIN" does not.
	std::string d = dir.str() + "/";
	d += std::string(259 - d.size() - 6, 'd');
	ASSERT_TRUE(fs::create_directory(d));
	ASSERT_EQ(d.size() + 6, 259u);

	emu_config cfg;
	cfg.regions = {make_region(0x1000, 64, "L", "LONGER_NAME.BIN"), make_region(0x2000, 64, "A", "A.BIN")};
	emu_model m(cfg);
	auto r = run_engine(m, d.c_str(), nullptr);
	// Not even the substitute name fits: that region is lost, so the
	// device keeps its crash.
	EXPECT_EQ(r.ret, -1);
	EXPECT_EQ(m.reset_count, 0u);
	EXPECT_TRUE(contains(r.err, "LONGER_NAME.BIN\" is too long; no file name fits, region 0 is not saved\n"))
		<< r.err;
	EXPECT_TRUE(read_file(d + "/A.BIN") == region_bytes(m, cfg.regions[1]));
	EXPECT_EQ(list_dir(d), std::vector<std::string>{"A.BIN"});
}

// The longest directory in which every file of the dump fits: the files that
// are put in place under a temporary name are not held to that name's
// length, so the dump completes.
TEST_F(debug64_test, longest_path_that_fits_takes_the_whole_dump)
{
	std::string d = dir.str() + "/";
	d += std::string(259 - d.size() - 16, 'd');
	ASSERT_TRUE(fs::create_directory(d));
	ASSERT_EQ(d.size() + std::string("/.duruvev-resume").size(), 259u);

	emu_config cfg;
	cfg.regions = {make_region(0x1000, 64, "A", "A.BIN")};
	emu_model m(cfg);
	auto r = run_engine(m, d.c_str(), nullptr);
	EXPECT_EQ(r.ret, 0) << r.err;
	EXPECT_EQ(m.reset_count, 1u);
	EXPECT_TRUE(read_file(d + "/A.BIN") == region_bytes(m, cfg.regions[0]));
	std::vector<std::string> names = list_dir(d);
	for (const char *f : {"SHA256SUMS", "dump_info.txt", "load.cmm"})
		EXPECT_NE(std::find(names.begin(), names.end(), f), names.end()) << f;
	for (const std::string &n : names)
		EXPECT_EQ(n.find(".new"), std::string::npos) << n << " left behind";
}

TEST_F(debug64_test, table_limits)
{
	{
		// 1024 entries (0x10000 bytes) are accepted.
		emu_config cfg;
		for (int i = 0; i < 1024; i++)
			cfg.regions.push_back(make_region(0x100000 + 0x100 * i, 16, "R", "R" + std::to_string(i)));
		emu_model m(cfg);
		auto r = run_engine(m, dir.str().c_str(), nullptr);
		EXPECT_EQ(r.ret, 0);
		EXPECT_EQ(r.err, "");
		expect_files(m, {0, 511, 1023});
	}
	{
		// One entry more is refused before anything is requested; no
		// RESET.
		emu_config cfg;
		cfg.regions = {make_region(0x1000, 16, "R", "R.BIN")};
		cfg.table_length = 0x10000 + 64;
		emu_model m(cfg);
		auto r = run_engine(m, dir.str().c_str(), nullptr);
		EXPECT_EQ(r.ret, -1);
		EXPECT_TRUE(contains(r.err, "DEBUG64 table length 0x10040 exceeds limit\n"));
		EXPECT_EQ(m.mem_read64_count, 0u);
		EXPECT_EQ(m.reset_count, 0u);
		EXPECT_FALSE(fs::exists(dir.file("R.BIN")));
	}
	{
		// 100 bytes: one entry, the remainder ignored silently.
		emu_config cfg;
		cfg.regions = {make_region(0x1000, 16, "R", "ONE.BIN"), make_region(0x2000, 16, "R", "TWO.BIN")};
		cfg.table_length = 100;
		emu_model m(cfg);
		auto r = run_engine(m, dir.str().c_str(), nullptr);
		EXPECT_EQ(r.ret, 0);
		EXPECT_EQ(r.err, "");
		EXPECT_TRUE(fs::exists(dir.file("ONE.BIN")));
		EXPECT_FALSE(fs::exists(dir.file("TWO.BIN")));
	}
	{
		// A table read that comes back short: the whole entries are
		// saved, but the dump is incomplete and the device kept.
		emu_config cfg;
		for (int i = 0; i < 3; i++)
			cfg.regions.push_back(make_region(0x1000 * (i + 1), 16, "R", "S" + std::to_string(i)));
		cfg.fault.short_table_bytes = 2 * 64 + 10;
		emu_model m(cfg);
		auto r = run_engine(m, dir.str().c_str(), nullptr);
		EXPECT_EQ(r.ret, -1);
		EXPECT_EQ(m.reset_count, 0u);
		EXPECT_TRUE(contains(r.err, "DEBUG64 table read returned 0x8a of 0xc0 bytes")) << r.err;
		EXPECT_TRUE(fs::exists(dir.file("S0")));
		EXPECT_TRUE(fs::exists(dir.file("S1")));
		EXPECT_FALSE(fs::exists(dir.file("S2")));
	}
	{
		// A table that arrives in several transfers, as over a serial
		// port, is read whole; none of it is taken for region data.
		emu_config cfg;
		for (int i = 0; i < 5; i++)
			cfg.regions.push_back(make_region(0x1000 * (i + 1), 300, "R", "P" + std::to_string(i)));
		cfg.fault.max_mem_transfer = 100;
		emu_model m(cfg);
		auto r = run_engine(m, dir.str().c_str(), nullptr);
		EXPECT_EQ(r.ret, 0);
		EXPECT_EQ(r.err, "");
		for (const auto &reg : cfg.regions)
			EXPECT_TRUE(read_file(dir.file(reg.filename)) == region_bytes(m, reg)) << reg.filename;
	}
}

// A filter that admits nothing is taken for a mistake: the device is not
// reset with nothing saved, and no region is requested.
TEST_F(debug64_test, filter_admitting_nothing_keeps_the_device)
{
	for (const char *filter : {"", "DRR*"}) {
		SCOPED_TRACE(filter);
		emu_config cfg;
		cfg.regions = {make_region(0x1000, 16, "md_KELF", "KELF.BIN"), make_region(0x2000, 16, "R", "DATA0.BIN")};
		emu_model m(cfg);
		auto r = run_engine(m, dir.str().c_str(), filter);
		EXPECT_EQ(r.ret, -1);
		EXPECT_TRUE(r.out.starts_with("KELF.BIN skipped per filter\nDATA0.BIN skipped per filter\n"
					      "Summary: 0 regions saved, 0 failed, 2 skipped by filter; 0 bytes saved in "))
			<< r.out;
		EXPECT_TRUE(contains(r.err, std::string("the filter \"") + filter + "\" admits none of the device's 2 "
											  "regions\n"))
			<< r.err;
		EXPECT_TRUE(fs::is_empty(dir.path));
		EXPECT_EQ(m.reset_count, 0u);
		EXPECT_EQ(m.mem_read64_count, 1u);
	}
}

// Devices that stop in the middle: what was received stays on disk, nothing
// more is requested, and the device is not reset.
TEST_F(debug64_test, device_failing_mid_region)
{
	struct fail_case {
		const char *name;
		emu_fault fault;
		int ret;
		uint64_t kept; // bytes of the second region on disk
	};
	emu_fault short_block;
	short_block.short_block_at_read = 3; // table, R0, R1 block 0, R1 block 1
	short_block.short_block_bytes = 1000;
	emu_fault unplug;
	unplug.unplug_after_data = 0x1000 + 0x80000 + 777;
	const fail_case cases[] = {
		{"short block then silence", short_block, -1, 0x80000 + 1000},
		{"unplugged", unplug, -1, 0x80000 + 777},
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(c.name);
		temp_dir d;
		emu_config cfg;
		cfg.regions = {make_region(0x1000, 0x1000, "R", "R0.BIN"), make_region(0x100000, 0x100000, "R", "R1.BIN"),
			       make_region(0x300000, 0x1000, "R", "R2.BIN")};
		cfg.fault = c.fault;
		emu_model m(cfg);
		auto r = run_engine(m, d.str().c_str(), nullptr);
		EXPECT_EQ(r.ret, c.ret);
		EXPECT_TRUE(contains(r.err, "failed to read duruvev chunk")) << r.err;
		EXPECT_TRUE(contains(r.out, "R0.BIN dumped successfully\n"));
		EXPECT_FALSE(contains(r.out, "R1.BIN dumped"));
		EXPECT_FALSE(fs::exists(d.file("R2.BIN")));
		EXPECT_TRUE(read_file(d.file("R0.BIN")) == region_bytes(m, cfg.regions[0]));
		auto partial = read_file(d.file("R1.BIN"));
		auto full = region_bytes(m, cfg.regions[1]);
		ASSERT_EQ(partial.size(), c.kept);
		EXPECT_TRUE(std::equal(partial.begin(), partial.end(), full.begin()));
		EXPECT_EQ(m.reset_count, 0u);
		EXPECT_TRUE(contains(r.out, "Summary: 1 region saved, 2 failed, 0 skipped by filter")) << r.out;
		EXPECT_TRUE(contains(r.err, "The device stopped sending data")) << r.err;
	}
}

// A file that cannot be created costs that region only; the run still fails
// and the device keeps its crash.
TEST_F(debug64_test, files_that_cannot_be_created)
{
	emu_config cfg;
	cfg.regions = {make_region(0x1000, 16, "R", "A.BIN"), make_region(0x2000, 16, "R", "B.BIN")};
	emu_model m(cfg);
	auto r = run_engine(m, dir.file("missing").c_str(), nullptr);
	EXPECT_EQ(r.ret, -1);
	EXPECT_TRUE(contains(r.err, "failed to open \"A.BIN\"")) << r.err;
	EXPECT_TRUE(contains(r.err, "failed to open \"B.BIN\"")) << r.err;
	EXPECT_TRUE(contains(r.err, "Some region files could not be created")) << r.err;
	EXPECT_EQ(m.reset_count, 0u);
	EXPECT_EQ(m.mem_read64_count, 1u);
}

// Packet faults of the device: lying length field, packet split over two
// transfers, HELLO_RESP carrying the device's mode.
TEST_F(debug64_test, packet_faults)
{
	struct pkt_case {
		const char *name;
		emu_packet_fault f;
	} cases[] = {
		{"HELLO length field lies", {EMU_CMD_HELLO, -1, 44, 0}},
		{"MEM_DEBUG64 sent short", {EMU_CMD_MEM_DEBUG64, 16, -1, 0}},
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(c.name);
		emu_config cfg;
		cfg.regions = {make_region(0x1000, 16, "R", "A.BIN")};
		cfg.fault.packet = c.f;
		emu_model m(cfg);
		auto r = run_engine(m, dir.str().c_str(), nullptr);
		EXPECT_EQ(r.ret, -EINVAL);
		EXPECT_TRUE(r.err.starts_with("request length not matching received request\n")) << r.err;
		EXPECT_EQ(m.reset_count, 0u);
		EXPECT_EQ(m.mem_read64_count, 0u);
	}
	{
		// A packet in two transfers, as a serial port may deliver it, is
		// completed by its length field.
		emu_config cfg;
		cfg.regions = {make_region(0x1000, 16, "R", "A.BIN")};
		cfg.fault.packet = {EMU_CMD_HELLO, -1, -1, 20};
		emu_model m(cfg);
		auto r = run_engine(m, dir.str().c_str(), nullptr);
		EXPECT_EQ(r.ret, 0);
		EXPECT_EQ(r.err, "");
		EXPECT_TRUE(read_file(dir.file("A.BIN")) == region_bytes(m, cfg.regions[0]));
	}
	for (uint32_t mode : {0u, 2u, 3u}) {
		emu_config cfg;
		cfg.regions = {make_region(0x1000, 16, "R", "A.BIN")};
		cfg.hello_mode = mode;
		emu_model m(cfg);
		auto r = run_engine(m, dir.str().c_str(), nullptr);
		EXPECT_EQ(r.ret, 0);
		EXPECT_EQ(m.hello_resp_mode, mode);
		EXPECT_TRUE(m.errors.empty()) << m.errors[0];
	}
}

// A malformed MEM_DEBUG64 or MEMORY_DEBUG cannot be answered; the crashed
// device is left as it is rather than reset.
TEST_F(debug64_test, malformed_mem_debug64_is_not_answered_with_reset)
{
	const struct {
		std::vector<uint8_t> pkt;
		const char *err;
	} rows[] = {
		{emu_pkt64(0x10, 32, {0x1000, 64, 0}), "unexpected MEM_DEBUG64 packet length 32\n"},
		// The 64-bit length of the other width.
		{emu_words({0x09, 24, 0x1000, 0, 52, 0}), "unexpected MEMORY_DEBUG packet length 24\n"},
	};
	for (const auto &row : rows) {
		SCOPED_TRACE(row.err);
		vorn_device_script dev;
		dev.dev_sends(row.pkt);
		auto r = run_engine(&dev, dir.str().c_str(), nullptr);
		EXPECT_EQ(r.ret, -1);
		EXPECT_TRUE(r.err.starts_with(row.err)) << r.err;
		EXPECT_TRUE(dev.writes.empty());
	}
}

// The 32-bit exchange byte by byte: MEMORY_DEBUG is answered with 16-byte
// MEMORY_READ requests only. A region may end exactly at 4 GiB.
TEST_F(debug64_test, memory_debug_exchange_on_the_wire)
{
	std::vector<uint8_t> table(2 * 52, 0);
	le32_put(&table[0], 1);
	le32_put(&table[4], 0x1000);
	le32_put(&table[8], 6);
	memcpy(&table[12], "CODE", 4);
	memcpy(&table[32], "C.BIN", 5);
	le32_put(&table[52], 1);
	le32_put(&table[56], 0xfffffff0);
	le32_put(&table[60], 0x10);
	memcpy(&table[64], "TOP", 3);
	memcpy(&table[84], "ABCDEFGHIJKLMNOP.BIN", 20); // no terminator
	std::vector<uint8_t> code{1, 2, 3, 4, 5, 6}, top(16, 0xee);

	vorn_device_script dev;
	dev.dev_sends(emu_words({1, 48, 2, 1, 1024, 2, 0, 0, 0, 0, 0, 0}))
		.host_sends(emu_words({2, 48, 2, 1, 0, 2, 0, 0, 0, 0, 0, 0}))
		.dev_sends(emu_words({0x09, 16, 0x8000, 104}))
		.host_sends(emu_words({0x0a, 16, 0x8000, 104}))
		.dev_sends(table)
		.host_sends(emu_words({0x0a, 16, 0x1000, 6}))
		.dev_sends(code)
		.host_sends(emu_words({0x0a, 16, 0xfffffff0, 0x10}))
		.dev_sends(top)
		.host_sends(emu_words({7, 8}))
		.dev_sends(emu_words({8, 8}));
	auto r = run_engine(&dev, dir.str().c_str(), nullptr);
	EXPECT_EQ(r.ret, 0) << r.err;
	EXPECT_TRUE(dev.finished());
	EXPECT_TRUE(dev.mismatches.empty()) << dev.mismatches[0];
	EXPECT_EQ(read_file(dir.file("C.BIN")), code);
	EXPECT_EQ(read_file(dir.file("ABCDEFGHIJKLMNOP.BIN")), top);
}

// Both entry layouts, field by field: 32-bit numbers with the names at 12
// and 32, 64-bit numbers with the names at 24 and 44.
TEST(debug_table, entries_of_both_widths)
{
	const struct {
		const sahara_debug_width *w;
		size_t size, addr_at, length_at, region_at, file_at;
		uint64_t addr; // top bit set: no sign extension
	} rows[] = {
		{&sahara_debug_width32, 52, 4, 8, 12, 32, 0x87654321},
		{&sahara_debug_width64, 64, 8, 16, 24, 44, 0xf087654321ULL << 24},
	};
	for (const auto &row : rows) {
		SCOPED_TRACE(row.size);
		ASSERT_EQ(row.w->entry_size, row.size);
		const unsigned f = row.w->field;
		// Bytes beyond the entry must not be read: a guard of 0xff.
		std::vector<uint8_t> e(row.size + 8, 0xff);
		std::fill(e.begin(), e.begin() + static_cast<long>(row.size), 0);
		le_put(&e[0], f, 0x5);
		le_put(&e[row.addr_at], f, row.addr);
		le_put(&e[row.length_at], f, 0x12345);
		memcpy(&e[row.region_at], "md_KTEXT", 8);
		memcpy(&e[row.file_at], "ABCDEFGHIJKLMNOPQRST", 20);
		sahara_debug_region64 out;
		memset(&out, 0x55, sizeof(out));
		sahara_debug_region_decode(e.data(), *row.w, &out);
		EXPECT_EQ(out.type, 5u);
		EXPECT_EQ(out.addr, row.addr);
		EXPECT_EQ(out.length, 0x12345u);
		EXPECT_STREQ(out.region, "md_KTEXT");
		EXPECT_STREQ(out.filename, "ABCDEFGHIJKLMNOPQRST");
	}
}

// A region a 32-bit request cannot reach is refused before anything is
// requested for it; the others are saved, but the dump is incomplete, so
// the device is not reset. A filter that leaves it out makes a whole dump.
TEST_F(debug64_test, region_beyond_32_bit_addresses_is_refused)
{
	emu_config cfg;
	cfg.debug32 = true;
	cfg.regions = {make_region(0x1000, 0x100, "A", "A.BIN"), make_region(0xffff8000, 0x10000, "W", "WRAP.BIN"),
		       make_region(0x2000, 0x100, "B", "B.BIN")};
	{
		emu_model m(cfg);
		auto r = run_engine(m, dir.str().c_str(), nullptr);
		EXPECT_EQ(r.ret, -1);
		EXPECT_EQ(m.reset_count, 0u);
		EXPECT_TRUE(m.errors.empty()) << m.errors[0];
		EXPECT_TRUE(contains(r.err, "region \"WRAP.BIN\" at 0xffff8000 of 0x10000 bytes ends beyond what "
					    "MEMORY_READ can address; it is not saved\n"))
			<< r.err;
		EXPECT_TRUE(contains(r.err, "leaves out the regions named above")) << r.err;
		EXPECT_TRUE(contains(r.out, "Summary: 2 regions saved, 1 failed, 0 skipped by filter")) << r.out;
		for (const auto &rd : m.mem_reads)
			EXPECT_LT(rd.addr, 0xffff8000u);
		expect_files(m, {0, 2});
		EXPECT_FALSE(fs::exists(dir.file("WRAP.BIN")));
	}
	{
		temp_dir d2;
		emu_model m(cfg);
		auto r = run_engine(m, d2.str().c_str(), "A,B");
		EXPECT_EQ(r.ret, 0) << r.err;
		EXPECT_EQ(r.err, "");
		EXPECT_EQ(m.reset_count, 1u);
	}
}

// The table limits hold for 52-byte entries as for 64-byte ones.
TEST_F(debug64_test, table_limits_of_32_bit_tables)
{
	const struct {
		const char *name;
		int64_t table_length;
		int ret;
		const char *err; // "" for none
		uint64_t reads;	 // table and region requests
	} rows[] = {
		{"empty", 0, -1, "Sahara: the device offered an empty memory table (0 bytes)", 0},
		{"60 bytes: one entry, the rest ignored", 60, 0, "", 2},
		{"one entry past the limit", 0x10000 + 52, -1, "MEMORY_DEBUG table length 0x10034 exceeds limit\n", 0},
	};
	for (const auto &row : rows) {
		SCOPED_TRACE(row.name);
		temp_dir d;
		emu_config cfg;
		cfg.debug32 = true;
		cfg.regions = {make_region(0x1000, 16, "R", "ONE.BIN"), make_region(0x2000, 16, "R", "TWO.BIN")};
		cfg.table_length = row.table_length;
		emu_model m(cfg);
		auto r = run_engine(m, d.str().c_str(), nullptr);
		EXPECT_EQ(r.ret, row.ret);
		if (*row.err)
			EXPECT_TRUE(contains(r.err, row.err)) << r.err;
		else
			EXPECT_EQ(r.err, "");
		EXPECT_EQ(m.mem_read64_count, row.reads);
		EXPECT_EQ(m.reset_count, row.ret == 0 ? 1u : 0u);
		EXPECT_EQ(fs::exists(d.file("ONE.BIN")), row.ret == 0);
		EXPECT_FALSE(fs::exists(d.file("TWO.BIN")));
		EXPECT_TRUE(m.errors.empty()) << m.errors[0];
	}
}

TEST_F(debug64_test, extra_bytes_beyond_a_request_are_not_written)
{
	std::vector<uint8_t> table(64, 0);
	table[16] = 8; // length 8 at address 0
	memcpy(table.data() + 44, "X.BIN", 5);
	std::vector<uint8_t> data{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11};
	vorn_device_script dev;
	dev.dev_sends(emu_pkt64(0x10, 24, {0x5000, 64}))
		.host_sends(emu_pkt64(0x11, 24, {0x5000, 64}))
		.dev_sends(table)
		.host_sends(emu_pkt64(0x11, 24, {0, 8}))
		.dev_sends(data)
		.host_sends(emu_words({7, 8}))
		.dev_sends(emu_words({8, 8}));
	auto r = run_engine(&dev, dir.str().c_str(), nullptr);
	EXPECT_EQ(r.ret, 0);
	EXPECT_TRUE(dev.mismatches.empty());
	EXPECT_TRUE(contains(r.err, "device sent 3 bytes more than requested")) << r.err;
	EXPECT_EQ(read_file(dir.file("X.BIN")), std::vector<uint8_t>(data.begin(), data.begin() + 8));
}

// A device that sends transfers nobody asked for after a block: what it adds
// is dropped and counted, never saved as the next block or region; one that
// does not stop ends the dump with the device left as it is.
TEST_F(debug64_test, surplus_transfers_after_a_block)
{
	const struct {
		const char *name;
		int64_t after_read; // MEM_READ64 index: 0 is the table
		int64_t transfers;  // -1: never stops
		uint64_t bytes;
		size_t max_transfer;
		const char *said;
	} cases[] = {
		{"two after a whole block", 2, 2, 4096, 0, "device sent 8192 bytes more than requested for \"B.BIN\""},
		{"one large one after the last block", 3, 1, 0x80000, 0,
		 "device sent 524288 bytes more than requested for \"B.BIN\""},
		{"many small ones, block in pieces", 1, 40, 100, 1000,
		 "device sent 4000 bytes more than requested for \"A.BIN\""},
		{"never stops", 2, -1, 4096, 0, "device is still sending after the data of \"B.BIN\""},
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(c.name);
		temp_dir d;
		emu_config cfg;
		cfg.regions = {make_region(0x1000, 0x3000, "R", "A.BIN"), make_region(0x100000, 0x80010, "R", "B.BIN"),
			       make_region(0x300000, 0x2000, "R", "C.BIN")};
		cfg.fault.surplus_after_read = c.after_read;
		cfg.fault.surplus_transfers = c.transfers;
		cfg.fault.surplus_bytes = c.bytes;
		cfg.fault.max_mem_transfer = c.max_transfer;
		emu_model m(cfg);
		auto r = run_engine(m, d.str().c_str(), nullptr);
		EXPECT_TRUE(contains(r.err, c.said)) << r.err;
		EXPECT_TRUE(m.errors.empty()) << m.errors[0];
		if (c.transfers < 0) {
			EXPECT_EQ(r.ret, -1);
			EXPECT_EQ(m.reset_count, 0u);
			EXPECT_TRUE(contains(r.err, "kept sending data it was not asked for")) << r.err;
			EXPECT_FALSE(fs::exists(d.file("C.BIN")));
			continue;
		}
		EXPECT_EQ(r.ret, 0);
		EXPECT_EQ(m.reset_count, 1u);
		EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
		for (const auto &reg : cfg.regions) {
			SCOPED_TRACE(reg.filename);
			EXPECT_TRUE(read_file(d.file(reg.filename)) == region_bytes(m, reg));
		}
	}
}

// A device that sends a byte nobody asked for on every read after the first
// region's block, and is asked to stop once it has sent a few: the stop is
// seen at the next read, not held until the device falls quiet or passes the
// bound of what is dropped.
TEST(debug64_stop, seen_at_the_next_read_while_surplus_bytes_come)
{
	struct stopping_device : vorn_device_emu {
		using vorn_device_emu::vorn_device_emu;
		std::atomic<bool> stop{false};
		uint64_t after_block = 0, after_stop = 0;
		int read(void *buf, size_t len, unsigned timeout_ms) override
		{
			int n = vorn_device_emu::read(buf, len, timeout_ms);
			if (stop)
				after_stop++;
			else if (model->data_bytes_sent == 0x3000 && ++after_block == 10)
				stop = true;
			return n;
		}
	};
	temp_dir d;
	emu_config cfg;
	cfg.regions = {make_region(0x1000, 0x3000, "R", "A.BIN"), make_region(0x100000, 0x2000, "R", "B.BIN")};
	cfg.fault.surplus_after_read = 1;
	cfg.fault.surplus_transfers = -1;
	cfg.fault.surplus_bytes = 1;
	cfg.record_packets = false;
	emu_model m(cfg);
	stopping_device dev(&m);
	sahara_collect_ctl ctl;
	ctl.stop = &dev.stop;
	testing::internal::CaptureStdout();
	testing::internal::CaptureStderr();
	int ret = sahara_run_collect(&dev, d.str().c_str(), nullptr, &ctl);
	std::string err = testing::internal::GetCapturedStderr();
	testing::internal::GetCapturedStdout();

	EXPECT_EQ(ret, -1);
	EXPECT_TRUE(ctl.stopped);
	EXPECT_LE(dev.after_stop, 1u) << err;
	EXPECT_EQ(m.reset_count, 0u);
	EXPECT_EQ(read_file(d.file("A.BIN")), region_bytes(m, cfg.regions[0]));
}

} // namespace

namespace {

// A file that takes no more (a file-size limit stands in for a full disk)
// ends the dump at once, at the block whose write came up short: nothing more
// is requested, no core, no RESET. Also when that block is the region's last,
// where a short write taken for a whole one would leave a short file behind.
TEST(debug64_disk, write_failure_ends_the_dump)
{
	struct {
		const char *name;
		uint64_t cap;		  // bytes a file may hold
		uint64_t reads;		  // MEM_READ64 requests: the table, A, BIG's blocks
		uint64_t failing_block; // address of the block whose write fails
	} cases[] = {
		{"first block", 0x40000, 3, 0x100000},
		{"last block", 0xc0000, 4, 0x180000},
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(c.name);
		temp_dir dir;
		emu_config cfg;
		cfg.regions = {make_region(0x1000, 0x1000, "R", "A.BIN"), make_region(0x100000, 0x100000, "R", "BIG.BIN"),
			       make_region(0x300000, 0x1000, "R", "C.BIN")};
		emu_model m(cfg);
		engine_result r;
		{
			failing_writes_past cap(c.cap);
			r = run_engine(m, dir.str().c_str(), nullptr);
		}

		EXPECT_EQ(r.ret, -1);
		EXPECT_TRUE(contains(r.err, "failed to write duruvev chunk to \"BIG.BIN\": File too large")) << r.err;
		EXPECT_FALSE(contains(r.out, "BIG.BIN dumped")) << r.out;
		EXPECT_TRUE(contains(r.out, "Summary: 1 region saved, 2 failed, 0 skipped by filter")) << r.out;
		EXPECT_EQ(m.reset_count, 0u);
		EXPECT_EQ(m.mem_read64_count, c.reads);
		ASSERT_FALSE(m.mem_reads.empty());
		EXPECT_EQ(m.mem_reads.back().addr, c.failing_block);
		EXPECT_FALSE(fs::exists(dir.file("C.BIN")));
	}
}

} // namespace
