// The pseudo-terminal front cuts the host's byte stream into packets: a tty
// keeps no message boundaries, the model takes one packet per call.
#include <gtest/gtest.h>

#include <vector>

#include "edl_model.h"
#include "le.h"
#include "pty_front.h"
#include "scenarios.h"

namespace {

std::vector<uint8_t> hello_resp()
{
	std::vector<uint8_t> p(48, 0);
	le32_put(p.data(), EMU_CMD_HELLO_RESP);
	le32_put(p.data() + 4, 48);
	le32_put(p.data() + 8, 2);
	le32_put(p.data() + 12, 1);
	le32_put(p.data() + 20, EMU_MODE_MEMORY_DEBUG);
	return p;
}

std::vector<uint8_t> mem_read64(uint64_t addr, uint64_t len)
{
	std::vector<uint8_t> p(24, 0);
	le32_put(p.data(), EMU_CMD_MEM_READ64);
	le32_put(p.data() + 4, 24);
	le64_put(p.data() + 8, addr);
	le64_put(p.data() + 16, len);
	return p;
}

TEST(pty_front, host_stream_is_cut_into_packets_however_it_arrives)
{
	std::vector<uint8_t> stream = hello_resp();
	std::vector<uint8_t> req = mem_read64(0x146bf000, 3 * 64);
	stream.insert(stream.end(), req.begin(), req.end());

	// Joined in one piece, and split at every kind of place: inside the
	// header, inside the length field, across the packet boundary.
	const std::vector<std::vector<size_t>> splits = {
		{72}, {1, 71}, {5, 2, 41, 3, 21}, {47, 2, 23}, {48, 24}, {50, 22},
	};
	for (const auto &pieces : splits) {
		SCOPED_TRACE(::testing::PrintToString(pieces));
		emu_config cfg;
		ASSERT_TRUE(emu_scenario("small", cfg));
		emu_model model(cfg);
		emu_pty_front front(model);
		size_t pos = 0;
		for (size_t n : pieces) {
			front.feed_host(stream.data() + pos, n);
			pos += n;
		}
		ASSERT_EQ(pos, stream.size());
		ASSERT_EQ(model.host_packets.size(), 2u);
		EXPECT_EQ(model.host_packets[0], hello_resp());
		EXPECT_EQ(model.host_packets[1], req);
		ASSERT_EQ(model.mem_reads.size(), 1u);
		EXPECT_EQ(model.mem_reads[0].addr, 0x146bf000u);
		EXPECT_EQ(model.mem_reads[0].length, 192u);
		EXPECT_TRUE(model.errors.empty());
	}
}

TEST(pty_front, incomplete_packet_waits_and_a_bad_length_is_passed_on)
{
	emu_config cfg;
	ASSERT_TRUE(emu_scenario("small", cfg));
	emu_model model(cfg);
	emu_pty_front front(model);

	std::vector<uint8_t> p = hello_resp();
	front.feed_host(p.data(), 47);
	EXPECT_TRUE(model.host_packets.empty());
	front.feed_host(p.data() + 47, 1);
	EXPECT_EQ(model.host_packets.size(), 1u);

	// A length field below the header size cannot be waited for: the bytes
	// go to the model as they are, and it records the violation.
	std::vector<uint8_t> bad = {7, 0, 0, 0, 4, 0, 0, 0, 0xaa, 0xbb};
	front.feed_host(bad.data(), bad.size());
	ASSERT_EQ(model.host_packets.size(), 2u);
	EXPECT_EQ(model.host_packets[1], bad);
	EXPECT_EQ(front.bytes_from_host(), 48u + bad.size());
}

} // namespace
