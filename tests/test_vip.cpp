// VIP digest checking in the simulated device: tables built from real SHA-256
// digests of the commands and chunks that follow them.
#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "digest.h"
#include "duruvev.h"
#include "le.h"
#include "sim.h"
#include "vorn.h"

using testing::internal::CaptureStderr;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStderr;
using testing::internal::GetCapturedStdout;

namespace {

using bytes = std::vector<uint8_t>;
using digest = std::array<uint8_t, 32>;

digest sha256(const bytes &b)
{
	digest d{};
	EXPECT_EQ(sha256_of(b.data(), b.size(), d.data()), 0);
	return d;
}

std::string hex(const digest &d)
{
	std::string s;
	char two[3];
	for (uint8_t b : d) {
		snprintf(two, sizeof(two), "%02x", b);
		s += two;
	}
	return s;
}

bytes to_bytes(const std::string &s)
{
	return {s.begin(), s.end()};
}

bytes concat(const std::vector<digest> &ds)
{
	bytes out;
	for (const auto &d : ds)
		out.insert(out.end(), d.begin(), d.end());
	return out;
}

// A signed table: mbn header, optional padding, then the image whose first
// code_size bytes are the digests, followed by a stand-in signature.
bytes signed_table(const std::vector<digest> &ds, uint32_t version = 6, size_t padding = 0)
{
	bytes code = concat(ds);
	bytes image = code;
	image.resize(code.size() + 256, 0x5c);
	size_t header_len = version == 6 ? 48 : 40;
	bytes out(header_len + padding, 0);
	le32_put(&out[0], 0x1c);
	le32_put(&out[4], version);
	le32_put(&out[16], static_cast<uint32_t>(image.size()));
	le32_put(&out[20], static_cast<uint32_t>(code.size()));
	le32_put(&out[24], static_cast<uint32_t>(code.size()));
	le32_put(&out[28], 256);
	out.insert(out.end(), image.begin(), image.end());
	return out;
}

const std::string ack =
	"<?xml version=\"1.0\" encoding=\"UTF-8\" ?><data><response value=\"ACK\" rawmode=\"false\" /></data>";

class VipTest : public testing::Test {
protected:
	vorn_device *dev = nullptr;

	void SetUp() override
	{
		dev = vorn_init(VORN_DEVICE_SIM);
		ASSERT_NE(dev, nullptr);
		vorn_debug = true;
	}
	void TearDown() override
	{
		vorn_debug = false;
		vorn_deinit(dev);
	}

	vorn_device_sim *sim() { return static_cast<vorn_device_sim *>(dev); }

	void drain()
	{
		char buf[512];
		while (vorn_read(dev, buf, sizeof(buf), 10) > 0) {
		}
	}

	// A table write as the host's VIP sender makes it: answered by one ACK.
	void send_table(const bytes &table, bool is_signed)
	{
		dev->vip_data.sending_table = true;
		dev->vip_data.state = is_signed ? VIP_INIT : VIP_SEND_NEXT_TABLE;
		ASSERT_EQ(vorn_write(dev, table.data(), table.size(), 100), static_cast<int>(table.size()));
		dev->vip_data.sending_table = false;
		dev->vip_data.state = VIP_SEND_DATA;
		char buf[512];
		int n = vorn_read(dev, buf, sizeof(buf), 10);
		ASSERT_GT(n, 0);
		EXPECT_EQ(std::string(buf, static_cast<size_t>(n)), ack);
		EXPECT_EQ(vorn_read(dev, buf, sizeof(buf), 10), -ETIMEDOUT);
	}

	void send_chunk(const bytes &chunk)
	{
		ASSERT_EQ(vorn_write(dev, chunk.data(), chunk.size(), 100), static_cast<int>(chunk.size()));
		drain();
	}
};

// What a host sends under VIP: a configure command, a program command and
// raw sectors, 318 writes in all, described by a signed table of 54 entries
// (53 digests and the chain digest) chaining into a full chained table (255
// and the chain digest) and a last table of 10.
struct vip_session {
	std::vector<bytes> chunks;
	std::vector<digest> digests;
	bytes signed_tbl, chained1, chained2;

	vip_session()
	{
		chunks.push_back(to_bytes("<?xml version=\"1.0\" ?><data><configure MemoryName=\"ufs\" /></data>"));
		chunks.push_back(to_bytes("<?xml version=\"1.0\" ?><data><program SECTOR_SIZE_IN_BYTES=\"512\" "
					  "num_partition_sectors=\"316\" label=\"system\" /></data>"));
		for (int i = 0; i < 316; i++) {
			bytes sector(512);
			for (size_t j = 0; j < sector.size(); j++)
				sector[j] = static_cast<uint8_t>(i * 31 + j * 7);
			chunks.push_back(sector);
		}
		for (const auto &c : chunks)
			digests.push_back(sha256(c));
		build();
	}

	void build()
	{
		chained2 = concat({digests.begin() + 308, digests.end()});
		std::vector<digest> t1(digests.begin() + 53, digests.begin() + 308);
		t1.push_back(sha256(chained2));
		chained1 = concat(t1);
		std::vector<digest> s(digests.begin(), digests.begin() + 53);
		s.push_back(sha256(chained1));
		signed_tbl = signed_table(s);
	}
};

enum class corruption { none, chunk, chained_table };

class VipChainTest : public VipTest, public testing::WithParamInterface<corruption> {};

TEST_P(VipChainTest, EveryWriteIsCheckedAgainstTheChain)
{
	vip_session vs;
	ASSERT_EQ(vs.chained1.size(), 8192u);
	std::string want_err;
	if (GetParam() == corruption::chunk) {
		// A sector damaged on its way: caught at its own index.
		vs.chunks[100][17] ^= 1;
		want_err = "sim: VIP hash mismatch for chunk 100\n  computed:  " + hex(sha256(vs.chunks[100])) +
			   "\n  expected:  " + hex(vs.digests[100]) + "\n";
	} else if (GetParam() == corruption::chained_table) {
		// A damaged entry of the last table: the chain digest catches the
		// table, and the chunk that entry describes no longer matches it.
		bytes good = vs.chained2;
		vs.chained2[5 * 32 + 3] ^= 0x80;
		digest bad_entry;
		memcpy(bad_entry.data(), &vs.chained2[5 * 32], 32);
		want_err = "sim: VIP chained table chain hash mismatch\n  computed:  " + hex(sha256(vs.chained2)) +
			   "\n  expected:  " + hex(sha256(good)) + "\n" + "sim: VIP hash mismatch for chunk 313\n  computed:  " +
			   hex(vs.digests[313]) + "\n  expected:  " + hex(bad_entry) + "\n";
	}

	std::string want_out;
	auto chunks_ok = [&](size_t from, size_t to) {
		for (size_t i = from; i < to; i++) {
			if (!(GetParam() == corruption::chunk && i == 100) &&
			    !(GetParam() == corruption::chained_table && i == 313))
				want_out += "sim: VIP chunk " + std::to_string(i) + " hash OK\n";
		}
	};
	want_out += "sim: loaded 53 VIP chunk hashes from signed table (total: 53)\n";
	chunks_ok(0, 53);
	want_out += "sim: VIP chained table chain hash OK\n";
	want_out += "sim: loaded 255 VIP chunk hashes from chained table (total: 308)\n";
	chunks_ok(53, 308);
	if (GetParam() != corruption::chained_table)
		want_out += "sim: VIP chained table chain hash OK\n";
	want_out += "sim: loaded 10 VIP chunk hashes from chained table (total: 318)\n";
	chunks_ok(308, 318);

	CaptureStdout();
	CaptureStderr();
	send_table(vs.signed_tbl, true);
	for (size_t i = 0; i < 53; i++)
		send_chunk(vs.chunks[i]);
	send_table(vs.chained1, false);
	for (size_t i = 53; i < 308; i++)
		send_chunk(vs.chunks[i]);
	send_table(vs.chained2, false);
	for (size_t i = 308; i < 318; i++)
		send_chunk(vs.chunks[i]);
	std::string err = GetCapturedStderr();
	std::string out = GetCapturedStdout();
	EXPECT_EQ(err, want_err);
	EXPECT_EQ(out, want_out);
	EXPECT_FALSE(sim()->vip_has_chain_hash);

	// One write more than the tables describe.
	CaptureStderr();
	send_chunk(to_bytes("<?xml version=\"1.0\" ?><data><nop /></data>"));
	EXPECT_EQ(GetCapturedStderr(),
		  "sim: VIP chunk 318 has no entry in the digest table (table has 318 entries)\n");
	EXPECT_EQ(sim()->vip_hash_idx, 319u);
}

INSTANTIATE_TEST_SUITE_P(Corruption, VipChainTest,
			 testing::Values(corruption::none, corruption::chunk, corruption::chained_table));

// 54 + 32 full chained tables fill the store exactly (53 + 32 x 255 = 8213);
// a 33rd table, correctly chained, no longer fits.
TEST_F(VipTest, StoreFullOfChainedTablesThenOverflow)
{
	const size_t total = 53 + 32 * 255;
	ASSERT_EQ(total, static_cast<size_t>(SIM_VIP_MAX_HASHES));
	std::vector<bytes> chunks;
	chunks.push_back(to_bytes("<?xml version=\"1.0\" ?><data><program SECTOR_SIZE_IN_BYTES=\"16\" "
				  "num_partition_sectors=\"8212\" /></data>"));
	for (size_t i = 1; i < total; i++) {
		char buf[17];
		snprintf(buf, sizeof(buf), "sector %09zu", i);
		chunks.emplace_back(buf, buf + 16);
	}
	std::vector<digest> digests;
	for (const auto &c : chunks)
		digests.push_back(sha256(c));

	// Built from the end: each full table ends with the digest of the next.
	std::vector<digest> extra = {sha256(to_bytes("a")), sha256(to_bytes("b")), sha256(to_bytes("c"))};
	std::vector<bytes> chained(33);
	chained[32] = concat(extra);
	for (int t = 31; t >= 0; t--) {
		auto from = digests.begin() + 53 + t * 255;
		std::vector<digest> entries(from, from + 255);
		entries.push_back(sha256(chained[static_cast<size_t>(t) + 1]));
		chained[static_cast<size_t>(t)] = concat(entries);
	}
	std::vector<digest> s(digests.begin(), digests.begin() + 53);
	s.push_back(sha256(chained[0]));

	CaptureStderr();
	CaptureStdout();
	send_table(signed_table(s, 5), true);
	for (const auto &t : chained)
		send_table(t, false);
	for (const auto &c : chunks)
		send_chunk(c);
	// The raw phase is over: one more command, beyond the tables.
	send_chunk(to_bytes("<?xml version=\"1.0\" ?><data><nop /></data>"));
	std::string out = GetCapturedStdout();
	EXPECT_EQ(GetCapturedStderr(), "sim: VIP table overflow (8213 + 3 > 8213), truncating\n"
				       "sim: VIP chunk 8213 has no entry in the digest table (table has 8213 entries)\n");
	EXPECT_EQ(sim()->vip_hash_count, total);
	size_t chain_ok = 0, chunk_ok = 0;
	for (size_t pos = 0; (pos = out.find("chain hash OK\n", pos)) != std::string::npos; pos++)
		chain_ok++;
	for (size_t pos = 0; (pos = out.find(" hash OK\n", pos)) != std::string::npos; pos++)
		chunk_ok++;
	EXPECT_EQ(chain_ok, 33u);
	EXPECT_EQ(chunk_ok - chain_ok, total);
	EXPECT_NE(out.find("sim: loaded 0 VIP chunk hashes from chained table (total: 8213)\n"), std::string::npos);
}

TEST_F(VipTest, OverflowKeepsWhatFitsAndTheChainDigest)
{
	auto table_of = [](size_t n, uint8_t tag) {
		std::vector<digest> ds(n);
		for (size_t i = 0; i < n; i++) {
			ds[i].fill(tag);
			le32_put(ds[i].data(), static_cast<uint32_t>(i));
		}
		return ds;
	};
	CaptureStdout();
	send_table(signed_table(table_of(10, 1)), true);
	for (int t = 0; t < 32; t++)
		send_table(concat(table_of(255, 2)), false);
	send_table(concat(table_of(30, 3)), false);
	GetCapturedStdout();
	ASSERT_EQ(sim()->vip_hash_count, 8200u);
	ASSERT_FALSE(sim()->vip_has_chain_hash);

	bytes full = concat(table_of(256, 4));
	CaptureStderr();
	send_table(full, false);
	EXPECT_EQ(GetCapturedStderr(), "sim: VIP table overflow (8200 + 255 > 8213), truncating\n");
	EXPECT_EQ(sim()->vip_hash_count, 8213u);
	EXPECT_EQ(memcmp(sim()->vip_hashes[8212], &full[12 * 32], 32), 0);
	EXPECT_TRUE(sim()->vip_has_chain_hash);
	EXPECT_EQ(memcmp(sim()->vip_chain_hash, &full[255 * 32], 32), 0);

	// A full store takes nothing more; the pending chain digest is still
	// checked (and then no longer pending).
	bytes next = concat(table_of(2, 5));
	CaptureStderr();
	send_table(next, false);
	std::string err = GetCapturedStderr();
	EXPECT_EQ(err, "sim: VIP chained table chain hash mismatch\n  computed:  " + hex(sha256(next)) +
			       "\n  expected:  " + hex(table_of(256, 4)[255]) +
			       "\nsim: VIP table overflow (8213 + 2 > 8213), truncating\n");
	EXPECT_EQ(sim()->vip_hash_count, 8213u);
	EXPECT_FALSE(sim()->vip_has_chain_hash);
}

TEST_F(VipTest, UnrecognisedSignedTablesStoreNothing)
{
	std::vector<digest> ten(10);
	for (size_t i = 0; i < ten.size(); i++)
		ten[i].fill(static_cast<uint8_t>(i + 1));
	const bytes good = signed_table(ten); // 48 + 320 + 256 bytes
	const uint32_t image_size = 320 + 256;

	struct bad_case {
		const char *what;
		size_t offset; // field to overwrite
		uint32_t value;
		size_t length; // 0: whole table
	};
	const bad_case cases[] = {
		{"shorter than the header", 0, 0x1c, 39},
		{"version 4", 4, 4, 0},
		{"version 7", 4, 7, 0},
		{"code_size 0", 20, 0, 0},
		{"code_size 48", 20, 48, 0},
		{"code_size 1760", 20, 1760, 0},
		{"code_size near 4 GiB", 20, 0xffffffe0u, 0},
		{"image_size below code_size", 16, 288, 0},
		{"image_size beyond the write", 16, static_cast<uint32_t>(good.size() + 1), 0},
		{"image_size 4 GiB", 16, 0xffffffffu, 0},
		{"39 bytes before the image", 16, static_cast<uint32_t>(good.size() - 39), 0},
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(c.what);
		vorn_device *d = vorn_init(VORN_DEVICE_SIM);
		ASSERT_NE(d, nullptr);
		auto *s = static_cast<vorn_device_sim *>(d);
		bytes t = good;
		le32_put(&t[c.offset], c.value);
		if (c.length)
			t.resize(c.length);
		d->vip_data.sending_table = true;
		d->vip_data.state = VIP_INIT;
		CaptureStderr();
		EXPECT_EQ(vorn_write(d, t.data(), t.size(), 100), static_cast<int>(t.size()));
		EXPECT_EQ(GetCapturedStderr(),
			  "sim: VIP signed table: unrecognised format (" + std::to_string(t.size()) + " bytes)\n");
		EXPECT_EQ(s->vip_hash_count, 0u);
		EXPECT_FALSE(s->vip_has_chain_hash);
		char buf[128];
		int n = vorn_read(d, buf, sizeof(buf), 10);
		EXPECT_EQ(std::string(buf, n > 0 ? static_cast<size_t>(n) : 0), ack);
		vorn_deinit(d);
	}

	// Accepted: the image is always the tail of the write, whatever lies
	// between header and image; exactly 40 bytes in front is enough.
	struct good_case {
		const char *what;
		bytes table;
	};
	bytes tight = signed_table(ten, 5);
	ASSERT_EQ(tight.size() - image_size, 40u);
	const good_case accepted[] = {
		{"version 6", good},
		{"version 5 with 40-byte header", tight},
		{"padding before the image", signed_table(ten, 6, 100)},
	};
	for (const auto &c : accepted) {
		SCOPED_TRACE(c.what);
		size_t len = 0;
		const uint8_t *p = sim_vip_signed_payload(c.table.data(), c.table.size(), &len);
		ASSERT_EQ(p, c.table.data() + c.table.size() - image_size);
		EXPECT_EQ(len, 320u);
		vorn_device *d = vorn_init(VORN_DEVICE_SIM);
		auto *s = static_cast<vorn_device_sim *>(d);
		d->vip_data.sending_table = true;
		d->vip_data.state = VIP_INIT;
		vorn_write(d, c.table.data(), c.table.size(), 100);
		EXPECT_EQ(s->vip_hash_count, 10u);
		EXPECT_EQ(memcmp(s->vip_hashes, concat(ten).data(), 320), 0);
		EXPECT_FALSE(s->vip_has_chain_hash);
		vorn_deinit(d);
	}
}

TEST_F(VipTest, ChainedTableSizes)
{
	struct {
		size_t length;
		size_t stored;
		bool chain;
	} cases[] = {{8192, 255, true}, {8160, 255, false}, {8200, 256, false}, {31, 0, false}, {8224, 257, false}};
	for (const auto &c : cases) {
		SCOPED_TRACE(c.length);
		vorn_device *d = vorn_init(VORN_DEVICE_SIM);
		auto *s = static_cast<vorn_device_sim *>(d);
		bytes t(c.length);
		for (size_t i = 0; i < t.size(); i++)
			t[i] = static_cast<uint8_t>(i / 32 + i);
		d->vip_data.sending_table = true;
		d->vip_data.state = VIP_SEND_NEXT_TABLE;
		vorn_write(d, t.data(), t.size(), 100);
		EXPECT_EQ(s->vip_hash_count, c.stored);
		if (c.stored) {
			EXPECT_EQ(memcmp(s->vip_hashes, t.data(), c.stored * 32), 0);
		}
		EXPECT_EQ(s->vip_has_chain_hash, c.chain);
		if (c.chain) {
			EXPECT_EQ(memcmp(s->vip_chain_hash, &t[255 * 32], 32), 0);
		}
		vorn_deinit(d);
	}
}

TEST_F(VipTest, OnlyWritesAfterTheFirstTableAreCounted)
{
	bytes before = to_bytes("<?xml version=\"1.0\" ?><data><configure /></data>");
	bytes first = to_bytes("<?xml version=\"1.0\" ?><data><erase /></data>");
	bytes junk = to_bytes("this is no XML document");
	bytes chained = concat({sha256(to_bytes("x"))});

	CaptureStdout();
	CaptureStderr();
	send_chunk(before);
	// 10 digests, no chain: the next chained table is compared with nothing.
	std::vector<digest> ten(10, sha256(first));
	send_table(signed_table(ten), true);
	send_chunk(junk); // not a command: not hashed, the index stays
	send_chunk(first);
	send_table(chained, false);
	std::string out = GetCapturedStdout();
	EXPECT_EQ(GetCapturedStderr(), "");
	EXPECT_EQ(out, "sim: loaded 10 VIP chunk hashes from signed table (total: 10)\n"
		       "sim: VIP chunk 0 hash OK\n"
		       "sim: loaded 1 VIP chunk hashes from chained table (total: 11)\n");
}

TEST_F(VipTest, DigestGenerationModeReceivesAndChecksNothing)
{
	ASSERT_TRUE(sim_set_digest_generation(true, dev, nullptr));
	dev->vip_data.sending_table = true;
	dev->vip_data.state = VIP_INIT;
	// A table write is just another write here: a command is answered as
	// one, a table in mbn format is no document and gets nothing.
	std::string cmd = "<?xml version=\"1.0\" ?><data><configure /></data>";
	CaptureStderr();
	vorn_write(dev, cmd.data(), cmd.size(), 100);
	bytes t = signed_table({sha256(to_bytes("x"))});
	vorn_write(dev, t.data(), t.size(), 100);
	EXPECT_EQ(GetCapturedStderr(), "");
	char buf[512];
	int n = vorn_read(dev, buf, sizeof(buf), 10);
	ASSERT_GT(n, 0);
	EXPECT_NE(std::string(buf, static_cast<size_t>(n)).find("Calling handler for configure"), std::string::npos);
	EXPECT_EQ(sim()->vip_hash_count, 0u);
	EXPECT_EQ(sim()->vip_hash_idx, 0u);
}

} // namespace
