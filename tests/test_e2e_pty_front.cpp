// The pseudo-terminal front cuts the host's byte stream into packets: a tty
// keeps no message boundaries, the model takes one packet per call.
#include <gtest/gtest.h>

#include <chrono>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>
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

// The gap knob lets a packet the model splits reach the host in two pieces,
// as from a device that sends it in two transfers.
TEST(pty_front, transfer_gap_delivers_a_split_packet_in_two_pieces)
{
	emu_config cfg;
	ASSERT_TRUE(emu_scenario("small", cfg));
	cfg.fault.packet.cmd = EMU_CMD_HELLO;
	cfg.fault.packet.split_at = 20;
	emu_model model(cfg);
	emu_pty_front front(model);
	front.set_transfer_gap(300);
	ASSERT_EQ(front.open(), 0);
	int fd = open(front.slave_path().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
	ASSERT_GE(fd, 0);

	auto t0 = std::chrono::steady_clock::now();
	std::vector<uint8_t> got;
	std::vector<size_t> pieces;
	while (got.size() < 48 && std::chrono::steady_clock::now() - t0 < std::chrono::seconds(5)) {
		front.step(10);
		struct pollfd pfd = {fd, POLLIN, 0};
		if (poll(&pfd, 1, 10) <= 0)
			continue;
		uint8_t buf[64];
		ssize_t n = read(fd, buf, sizeof(buf));
		if (n > 0) {
			got.insert(got.end(), buf, buf + n);
			pieces.push_back(got.size());
		}
	}
	double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
	close(fd);
	ASSERT_EQ(got.size(), 48u);
	EXPECT_EQ(pieces.front(), 20u) << "the first piece came joined with the rest";
	EXPECT_GE(ms, 250);
	EXPECT_EQ(le32_get(got.data()), EMU_CMD_HELLO);
	EXPECT_EQ(le32_get(got.data() + 4), 48u);
}

} // namespace
