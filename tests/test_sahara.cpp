// The Sahara exchange loop: packet checks, replies and image serving, byte
// for byte against a scripted transport, and whole exchanges against the
// device model.
#include <gtest/gtest.h>

#include <cstring>

#include "emu_script.h"
#include "sahara.h"
#include "test_sahara_common.h"

namespace {

std::vector<uint8_t> hello(uint32_t mode, uint32_t length = 48)
{
	auto p = emu_words({1, length, 2, 1, 1024, mode, 0, 0, 0, 0, 0, 0});
	p.resize(length);
	return p;
}

std::vector<uint8_t> hello_resp(uint32_t mode)
{
	return emu_words({2, 48, 2, 1, 0, mode, 0, 0, 0, 0, 0, 0});
}

const std::vector<uint8_t> reset_pkt = emu_words({7, 8});
const std::vector<uint8_t> reset_resp = emu_words({8, 8});
const std::vector<uint8_t> done_pkt = emu_words({5, 8});

struct script_case {
	const char *name;
	std::vector<uint8_t> packet; // the device's first packet
	int ret;
	const char *err; // expected on the error stream ("" for none)
	bool reset;	 // RESET sent in answer
};

// A malformed packet ends the exchange. Serving images, only known commands
// with a wrong length get a RESET; collecting a dump, nothing does: a reset
// would lose the crash.
TEST(sahara_run, malformed_packets)
{
	auto len_lies = emu_words({1, 24, 0, 0, 0});
	const script_case cases[] = {
		{"length field 24 on 20 bytes", len_lies, -EINVAL, "request length not matching received request\n",
		 false},
		{"5 bytes", {1, 0, 0, 0, 5}, -EINVAL, "request length not matching received request\n", false},
		{"empty read", {}, -EINVAL, "request length not matching received request\n", false},
		{"HELLO of 44", hello(2, 44), -1, "unexpected HELLO packet length 44\n", true},
		{"READ_DATA of 24", emu_words({3, 24, 0, 0, 0, 0}), -1, "unexpected READ_DATA packet length 24\n",
		 true},
		{"READ_DATA64 of 24", emu_words({0x12, 24, 0, 0, 0, 0}), -1,
		 "unexpected READ_DATA64 packet length 24\n", true},
		{"END_OF_IMAGE of 12", emu_words({4, 12, 0}), -1, "unexpected END_OF_IMAGE packet length 12\n", true},
		{"DONE_RESP of 16", emu_words({6, 16, 1, 0}), -1, "unexpected DONE_RESP packet length 16\n", true},
		{"RESET_RESP of 12", emu_words({8, 12, 0}), -1, "unexpected RESET_RESP packet length 12\n", false},
	};
	for (const auto &c : cases) {
		for (const char *dir : {static_cast<const char *>(nullptr), "/nonexistent"}) {
			SCOPED_TRACE(std::string(c.name) + (dir ? " (dump)" : " (images)"));
			vorn_device_script dev;
			dev.dev_sends(c.packet);
			auto r = run_engine(&dev, dir, nullptr);
			EXPECT_EQ(r.ret, c.ret);
			EXPECT_EQ(r.err.substr(0, strlen(c.err)), c.err);
			if (c.reset && !dir) {
				ASSERT_EQ(dev.writes.size(), 1u);
				EXPECT_EQ(dev.writes[0], reset_pkt);
			} else {
				EXPECT_TRUE(dev.writes.empty());
			}
			if (dir) {
				EXPECT_TRUE(contains(r.out, "device not reset\n")) << r.out;
				EXPECT_TRUE(contains(r.err, "left in its crash-dump state")) << r.err;
			}
		}
	}
}

// A device that resets without offering its memory has given nothing to
// save: a failure, not a dump.
TEST(sahara_run, hello_is_echoed_and_reset_resp_without_a_table_fails)
{
	vorn_device_script dev;
	dev.dev_sends(hello(2)).host_sends(hello_resp(2)).dev_sends(emu_words({0x20, 12, 0xabcdef})).dev_sends(reset_resp);
	auto r = run_engine(&dev, "/nonexistent", nullptr);
	EXPECT_EQ(r.ret, -1);
	EXPECT_TRUE(dev.finished());
	EXPECT_TRUE(dev.mismatches.empty()) << dev.mismatches[0];
	EXPECT_TRUE(contains(r.err, "device reset itself without offering its memory table\n")) << r.err;
	EXPECT_TRUE(contains(r.out, "Summary: 0 regions saved, 0 failed, 0 skipped by filter; 0 bytes saved in "))
		<< r.out;
	// The unknown command is shown as a hex dump under its code.
	EXPECT_TRUE(contains(r.out, "CMD20")) << r.out;
	EXPECT_TRUE(contains(r.out, "ef cd ab")) << r.out;
	for (unsigned t : dev.read_timeouts)
		EXPECT_EQ(t, 1000u);
}

// A serial port can deliver two packets in one read (a HELLO repeated while
// the host was slow): each is answered in turn, the second is no fault.
TEST(sahara_run, two_packets_in_one_read_are_taken_one_after_the_other)
{
	auto twice = hello(2);
	auto again = hello(2);
	twice.insert(twice.end(), again.begin(), again.end());
	vorn_device_script dev;
	dev.dev_sends(twice)
		.host_sends(hello_resp(2))
		.host_sends(hello_resp(2))
		.dev_sends(emu_words({0x20, 12, 0xabcdef}))
		.dev_sends(reset_resp);
	auto r = run_engine(&dev, "/nonexistent", nullptr);
	EXPECT_TRUE(dev.finished());
	EXPECT_TRUE(dev.mismatches.empty()) << dev.mismatches[0];
	EXPECT_FALSE(contains(r.err, "request length not matching")) << r.err;
	EXPECT_TRUE(contains(r.err, "device reset itself without offering its memory table\n")) << r.err;
}

// Collecting a dump, an image-transfer ending is no success whatever its
// status: nothing was saved. Nothing is answered, not even DONE. Once the
// dump is on disk and RESET went out, it is only reported.
TEST(sahara_run, image_transfer_endings_in_memory_debug_mode)
{
	std::vector<uint8_t> table(64, 0);
	table[16] = 4; // one region of 4 bytes at address 0
	memcpy(table.data() + 44, "X.BIN", 5);
	const struct {
		const char *name;
		std::vector<uint8_t> ending;
		bool after_dump;
		int ret;
		const char *said; // on the error stream, or (after a dump) the output
	} cases[] = {
		{"END_OF_IMAGE", emu_words({4, 16, 13, 0}), false, -1,
		 "Sahara: the device sent END_OF_IMAGE (image 13, status 0) instead of its memory table\n"},
		{"END_OF_IMAGE, failed", emu_words({4, 16, 2, 9}), false, -1,
		 "Sahara: the device sent END_OF_IMAGE (image 2, status 9) instead of its memory table\n"},
		{"DONE_RESP, positive", emu_words({6, 12, 1}), false, -1,
		 "Sahara: the device sent DONE_RESP (status 1) instead of its memory table\n"},
		{"DONE_RESP, zero", emu_words({6, 12, 0}), false, -1,
		 "Sahara: the device sent DONE_RESP (status 0) instead of its memory table\n"},
		{"DONE_RESP, negative", emu_words({6, 12, 0xffffffffu}), false, -1,
		 "Sahara: the device sent DONE_RESP (status -1) instead of its memory table\n"},
		{"DONE_RESP after the reset", emu_words({6, 12, 1}), true, 0,
		 "Sahara: the device answered the reset with DONE_RESP (status 1)\n"},
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(c.name);
		temp_dir dir;
		vorn_device_script dev;
		dev.dev_sends(hello(2)).host_sends(hello_resp(2));
		if (c.after_dump)
			dev.dev_sends(emu_pkt64(0x10, 24, {0x5000, 64}))
				.host_sends(emu_pkt64(0x11, 24, {0x5000, 64}))
				.dev_sends(table)
				.host_sends(emu_pkt64(0x11, 24, {0, 4}))
				.dev_sends({1, 2, 3, 4})
				.host_sends(reset_pkt);
		dev.dev_sends(c.ending);
		auto r = run_engine(&dev, dir.str().c_str(), nullptr);
		EXPECT_EQ(r.ret, c.ret);
		EXPECT_TRUE(dev.finished());
		EXPECT_TRUE(dev.mismatches.empty()) << dev.mismatches[0];
		if (c.after_dump) {
			EXPECT_TRUE(contains(r.out, c.said)) << r.out;
			EXPECT_EQ(r.err, "");
			continue;
		}
		EXPECT_TRUE(r.err.starts_with(c.said)) << r.err;
		EXPECT_TRUE(contains(r.err, "Check that the device crashed into its memory-dump mode.\n")) << r.err;
		EXPECT_TRUE(contains(r.out, "Summary: 0 regions saved, 0 failed")) << r.out;
		EXPECT_EQ(dev.writes.size(), 1u); // HELLO_RESP only
	}
}

TEST(sahara_run, silent_device_in_memory_debug_mode_fails)
{
	vorn_device_script dev(VORN_DEVICE_QUD);
	dev.dev_fails(-ETIMEDOUT);
	auto r = run_engine(&dev, "/nonexistent", nullptr);
	EXPECT_EQ(r.ret, -1);
	EXPECT_TRUE(r.err.starts_with("failed to read sahara request from device\n")) << r.err;
	EXPECT_TRUE(dev.writes.empty());
}

TEST(sahara_run, silent_line_in_image_mode)
{
	// USB: the first time-out means a programmer already runs.
	{
		vorn_device_script dev(VORN_DEVICE_USB);
		dev.dev_fails(-ETIMEDOUT);
		auto r = run_engine(&dev, nullptr, nullptr);
		EXPECT_EQ(r.ret, 0);
		EXPECT_EQ(r.out, "no Sahara HELLO received; assuming Firehose programmer is already running\n");
	}
	// COM port / automatic: one HELLO_RESP with mode 0 per silent second
	// until the device speaks.
	for (auto type : {VORN_DEVICE_QUD, VORN_DEVICE_AUTO}) {
		vorn_device_script dev(type);
		dev.dev_fails(-ETIMEDOUT)
			.host_sends(hello_resp(0))
			.dev_fails(-ETIMEDOUT)
			.host_sends(hello_resp(0))
			.dev_sends(emu_words({6, 12, 1}));
		auto r = run_engine(&dev, nullptr, nullptr);
		EXPECT_EQ(r.ret, 0);
		EXPECT_TRUE(dev.finished());
		EXPECT_TRUE(dev.mismatches.empty());
	}
	// Anything else than a time-out on the first read is a failure.
	vorn_device_script dev(VORN_DEVICE_QUD);
	dev.dev_fails(-EIO);
	EXPECT_EQ(run_engine(&dev, nullptr, nullptr).ret, -1);
}

TEST(sahara_run, firehose_xml_on_first_read_only_in_image_mode)
{
	std::vector<uint8_t> xml{'<', '?', 'x', 'm', 'l', ' ', 'v'};
	vorn_device_script dev;
	dev.dev_sends(xml);
	auto r = run_engine(&dev, nullptr, nullptr);
	EXPECT_EQ(r.ret, 0);
	EXPECT_EQ(r.out, "device is already in Firehose mode, skipping Sahara\n");

	vorn_device_script dbg;
	dbg.dev_sends(xml);
	EXPECT_EQ(run_engine(&dbg, "/nonexistent", nullptr).ret, -EINVAL);
}

TEST(sahara_run, simulated_device_has_no_exchange)
{
	vorn_device_script dev(VORN_DEVICE_SIM);
	dev.dev_sends(hello(2));
	EXPECT_EQ(run_engine(&dev, "/nonexistent", nullptr).ret, 0);
	EXPECT_EQ(dev.pos, 0u);
}

// Image serving: a 1000-byte image in slot 13.
class sahara_images_test : public testing::Test {
protected:
	void SetUp() override
	{
		data.resize(1000);
		for (size_t i = 0; i < data.size(); i++)
			data[i] = static_cast<uint8_t>(i * 7);
		images[13] = {name, data.data(), data.size()};
	}
	char name[16] = "xbl.elf";
	std::vector<uint8_t> data;
	sahara_image images[SAHARA_MAX_IMAGES] = {};
};

TEST_F(sahara_images_test, read_data_serves_ranges_and_refuses_bad_ones)
{
	{
		vorn_device_script dev;
		dev.dev_sends(emu_words({3, 20, 13, 0, 1000})).host_sends(data).dev_sends(emu_words({6, 12, 1}));
		auto r = run_engine(&dev, nullptr, nullptr, images);
		EXPECT_EQ(r.ret, 0);
		EXPECT_TRUE(dev.mismatches.empty());
		EXPECT_TRUE(contains(r.out, "Sahara: sending xbl.elf (1000 bytes)\n")) << r.out;
	}
	{
		vorn_device_script dev;
		std::vector<uint8_t> tail(data.begin() + 900, data.end());
		dev.dev_sends(emu_words({3, 20, 13, 900, 100})).host_sends(tail).dev_sends(emu_words({6, 12, 1}));
		auto r = run_engine(&dev, nullptr, nullptr, images);
		EXPECT_EQ(r.ret, 0);
		EXPECT_TRUE(dev.mismatches.empty());
		EXPECT_FALSE(contains(r.out, "Sahara: sending")); // not the start of the image
	}
	struct bad {
		std::vector<uint8_t> pkt;
		const char *err;
		bool reset;
	} bads[] = {
		{emu_words({3, 20, 13, 0, 1001}), "device requested invalid range of image 13\n", false},
		{emu_words({3, 20, 13, 1001, 0}), "device requested invalid range of image 13\n", false},
		{emu_pkt64(0x12, 32, {13, 10, ~0ULL - 5}), "device requested invalid range of image 13\n", false},
		{emu_words({3, 20, 12, 0, 1}),
		 "device requested unknown image id 12, ensure that all Sahara images are provided\n", true},
		{emu_words({3, 20, 200, 0, 1}),
		 "device requested unknown image id 200, ensure that all Sahara images are provided\n", true},
	};
	for (const auto &b : bads) {
		SCOPED_TRACE(b.err);
		vorn_device_script dev;
		dev.dev_sends(b.pkt);
		auto r = run_engine(&dev, nullptr, nullptr, images);
		EXPECT_EQ(r.ret, -1);
		EXPECT_EQ(r.err, b.err);
		EXPECT_EQ(dev.writes.size(), b.reset ? 1u : 0u);
	}
	// No array at all (the dump front end): every id is unknown, and the
	// crashed device is not reset.
	vorn_device_script dev;
	dev.dev_sends(emu_words({3, 20, 13, 0, 1}));
	auto r = run_engine(&dev, "/nonexistent", nullptr);
	EXPECT_EQ(r.ret, -1);
	EXPECT_TRUE(dev.writes.empty());
}

TEST_F(sahara_images_test, read_data64_uses_low_32_bits_of_the_image_id)
{
	images[5] = images[13];
	images[13] = {};
	std::vector<uint8_t> piece(data.begin() + 10, data.begin() + 20);
	vorn_device_script dev;
	dev.dev_sends(emu_pkt64(0x12, 32, {0x700000005ULL, 10, 10})).host_sends(piece).dev_sends(
		emu_words({6, 12, 1}));
	auto r = run_engine(&dev, nullptr, nullptr, images);
	EXPECT_EQ(r.ret, 0);
	EXPECT_TRUE(dev.mismatches.empty());
}

TEST_F(sahara_images_test, end_of_image_and_done_status)
{
	{
		vorn_device_script dev;
		dev.dev_sends(emu_words({4, 16, 13, 0})).host_sends(done_pkt).dev_sends(emu_words({6, 12, 0}));
		// Only slot 13 filled: DONE_RESP 0 ends the exchange.
		EXPECT_EQ(run_engine(&dev, nullptr, nullptr, images).ret, 0);
		EXPECT_TRUE(dev.finished());
		EXPECT_TRUE(dev.mismatches.empty());
	}
	{
		vorn_device_script dev;
		dev.dev_sends(emu_words({4, 16, 13, 1}));
		auto r = run_engine(&dev, nullptr, nullptr, images);
		EXPECT_EQ(r.ret, -1);
		EXPECT_EQ(r.err, "received non-successful end-of-image result\n");
		EXPECT_TRUE(dev.writes.empty());
	}
	{
		// Slots 13 and 21: status 0 means another image follows, so the
		// engine reads on (and here finds a RESET_RESP, then silence).
		images[21] = images[13];
		vorn_device_script dev;
		dev.dev_sends(emu_words({6, 12, 0})).dev_sends(reset_resp);
		auto r = run_engine(&dev, nullptr, nullptr, images);
		EXPECT_EQ(r.ret, -1);
		EXPECT_TRUE(dev.finished());
		EXPECT_EQ(r.err, "failed to read sahara request from device\n");
	}
	{
		vorn_device_script dev;
		dev.dev_sends(emu_words({6, 12, 0x80000000u}));
		auto r = run_engine(&dev, nullptr, nullptr, images);
		EXPECT_EQ(r.ret, -1);
		EXPECT_EQ(r.err, "");
	}
}

// The device model asking for two images, piece by piece, with both request
// kinds: what it receives is the images.
TEST(sahara_run, serves_images_to_the_model)
{
	std::vector<uint8_t> a(10000), b(3000);
	for (size_t i = 0; i < a.size(); i++)
		a[i] = static_cast<uint8_t>(i ^ (i >> 8));
	for (size_t i = 0; i < b.size(); i++)
		b[i] = static_cast<uint8_t>(i * 13);
	char an[] = "a.mbn", bn[] = "b.mbn";
	sahara_image images[SAHARA_MAX_IMAGES] = {};
	images[13] = {an, a.data(), a.size()};
	images[21] = {bn, b.data(), b.size()};

	emu_config cfg;
	cfg.image_mode = true;
	cfg.hello_mode = EMU_MODE_IMAGE_TX_PENDING;
	cfg.images = {{13, a.size(), 4096, false}, {21, b.size(), 1000, true}};
	emu_model m(cfg);
	vorn_device_emu dev(&m);
	auto r = run_engine(&dev, nullptr, nullptr, images);
	EXPECT_EQ(r.ret, 0);
	EXPECT_TRUE(m.finished());
	EXPECT_TRUE(m.errors.empty()) << m.errors[0];
	EXPECT_EQ(m.image_data[13], a);
	EXPECT_EQ(m.image_data[21], b);
	EXPECT_EQ(m.done_count, 2u);
	EXPECT_EQ(m.hello_resp_count, 2u);
}

} // namespace
