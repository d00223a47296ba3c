// The USB back-end against emulated devices under the real libusb. Tests
// named UsbInner run inside duruvev-emu-usb (under the umockdev preload); the
// outer test starts them there and checks the URBs the emulated device saw.
#include <gtest/gtest.h>

#include <climits>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <unistd.h>
#include <vector>

#include "run_program.h"
#include "usb.h"
#include "vorn.h"

namespace {

bool inner_mode()
{
	return getenv("DURUVEV_USB_INNER") != nullptr;
}

std::string self_exe()
{
	char buf[PATH_MAX];
	ssize_t n = readlink("/proc/self/exe", buf, sizeof(buf) - 1);
	return n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
}

// Runs UsbInner.<name> under the emulator; returns the device's URB log
// lines (without the bus prefix) and fails when the inner test failed.
std::vector<std::string> run_inner(const std::string &name, const std::vector<std::string> &devices,
				   std::string *out = nullptr)
{
	char tmpl[] = "/tmp/duruvev-usb-XXXXXX";
	if (!mkdtemp(tmpl)) {
		ADD_FAILURE() << "mkdtemp";
		return {};
	}
	std::string dir = tmpl;
	std::vector<std::string> argv = {DURUVEV_EMU_USB_BIN, "--quiet", "--log", dir + "/log", "--timeout", "60"};
	for (const auto &d : devices) {
		argv.push_back("--device");
		argv.push_back(d);
	}
	argv.insert(argv.end(), {"--", self_exe(), "--gtest_filter=UsbInner." + name});
	program_result r = run_program(argv, 120, {"DURUVEV_USB_INNER=1", "TMPDIR=" + dir});
	EXPECT_FALSE(r.timed_out);
	EXPECT_EQ(r.exit_code, 0) << r.out << r.err;
	EXPECT_NE(r.out.find("[  PASSED  ] 1 test"), std::string::npos) << r.out;
	if (out)
		*out = r.out + r.err;

	std::ifstream f(dir + "/log");
	std::vector<std::string> lines;
	for (std::string line; std::getline(f, line);) {
		std::string rest = line.substr(line.find(' ') + 1);
		if (rest.rfind("OUT", 0) == 0 || rest.rfind("IN", 0) == 0 || rest.rfind("DISCARD", 0) == 0)
			lines.push_back(rest);
	}
	std::string cmd = "rm -rf '" + dir + "'";
	EXPECT_EQ(system(cmd.c_str()), 0);
	return lines;
}

// Opens the one emulated device.
struct usb_guard {
	vorn_device *dev = usb_init();
	~usb_guard()
	{
		if (dev) {
			vorn_close(dev);
			vorn_deinit(dev);
		}
	}
};

#define INNER_ONLY()                                                                                                   \
	do {                                                                                                           \
		if (!inner_mode())                                                                                     \
			GTEST_SKIP() << "runs inside duruvev-emu-usb";                                                 \
	} while (0)

std::vector<uint8_t> pattern(size_t n)
{
	std::vector<uint8_t> v(n);
	for (size_t i = 0; i < n; i++)
		v[i] = static_cast<uint8_t>(i * 7 + (i >> 9));
	return v;
}

// ---- inside the emulator ----

TEST(UsbInner, WritesAreChunkedAndEndedByZeroLengthPackets)
{
	INNER_ONLY();
	usb_guard g;
	int visible = -1;
	ASSERT_EQ(try_usb_open(g.dev, nullptr, &visible), 0);
	EXPECT_EQ(visible, 1);
	std::vector<uint8_t> data = pattern(3 * 1048576);
	EXPECT_EQ(vorn_write(g.dev, data.data(), data.size(), 5000), 3 * 1048576);
	EXPECT_EQ(vorn_write(g.dev, data.data(), 1024, 1000), 1024);
	EXPECT_EQ(vorn_write(g.dev, data.data(), 1000, 1000), 1000);
	EXPECT_EQ(vorn_write(g.dev, data.data(), 0, 1000), 0);
}

TEST(UsbInner, ReadsConsumeTheZeroLengthPacketOfAFullRead)
{
	INNER_ONLY();
	usb_guard g;
	ASSERT_EQ(try_usb_open(g.dev, nullptr, nullptr), 0);
	std::vector<uint8_t> data = pattern(4096), back(4096);
	// The loopback device sends every host transfer back.
	ASSERT_EQ(vorn_write(g.dev, data.data(), 4096, 1000), 4096);
	ASSERT_EQ(vorn_write(g.dev, data.data(), 48, 1000), 48);
	EXPECT_EQ(vorn_read(g.dev, back.data(), 4096, 1000), 4096);
	EXPECT_EQ(back, data);
	// Without the zero-length packet consumed, this read would end empty.
	std::fill(back.begin(), back.end(), 0);
	EXPECT_EQ(vorn_read(g.dev, back.data(), 4096, 1000), 48);
	EXPECT_EQ(memcmp(back.data(), data.data(), 48), 0);
	EXPECT_EQ(vorn_read(g.dev, back.data(), 4096, 50), -ETIMEDOUT);
}

TEST(UsbInner, ChunkSizeOfZeroOrLessAfterTheOpenMeansTheDefault)
{
	INNER_ONLY();
	usb_guard g;
	ASSERT_EQ(try_usb_open(g.dev, nullptr, nullptr), 0);
	std::vector<uint8_t> data = pattern(2 * 1048576);
	vorn_set_out_chunk_size(g.dev, 0);
	EXPECT_EQ(vorn_write(g.dev, data.data(), data.size(), 5000), 2 * 1048576);
	vorn_set_out_chunk_size(g.dev, -512);
	EXPECT_EQ(vorn_write(g.dev, data.data(), data.size(), 5000), 2 * 1048576);
	vorn_set_out_chunk_size(g.dev, 4096);
	EXPECT_EQ(vorn_write(g.dev, data.data(), 8192, 1000), 8192);
}

TEST(UsbInner, ChunkSizeBeforeTheOpenMustBeWholePackets)
{
	INNER_ONLY();
	std::vector<uint8_t> data = pattern(4096);
	{
		usb_guard g;
		vorn_set_out_chunk_size(g.dev, 1000);
		testing::internal::CaptureStderr();
		ASSERT_EQ(try_usb_open(g.dev, nullptr, nullptr), 0);
		std::string err = testing::internal::GetCapturedStderr();
		EXPECT_NE(err.find("WARNING: requested out-chunk-size must be multiple of the device's "
				   "wMaxPacketSize 512, using 512\n"),
			  std::string::npos)
			<< err;
		EXPECT_EQ(vorn_write(g.dev, data.data(), 1024, 1000), 1024);
	}
	{
		usb_guard g;
		vorn_set_out_chunk_size(g.dev, 2048);
		testing::internal::CaptureStderr();
		ASSERT_EQ(try_usb_open(g.dev, nullptr, nullptr), 0);
		EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
		EXPECT_EQ(vorn_write(g.dev, data.data(), 4096, 1000), 4096);
	}
}

TEST(UsbInner, ListingShowsEveryEdlDeviceWithItsSerialAndPlace)
{
	INNER_ONLY();
	int found = -1;
	testing::internal::CaptureStderr();
	vorn_device_desc *devs = usb_list(&found);
	std::string err = testing::internal::GetCapturedStderr();
	ASSERT_NE(devs, nullptr);
	ASSERT_EQ(found, 3);
	std::vector<std::string> serials, places;
	for (int i = 0; i < found; i++) {
		EXPECT_TRUE(devs[i].read);
		EXPECT_EQ(devs[i].vid, 0x05c6);
		serials.push_back(devs[i].serial);
		places.push_back(devs[i].bus_path);
	}
	std::sort(serials.begin(), serials.end());
	std::sort(places.begin(), places.end());
	EXPECT_EQ(serials, (std::vector<std::string>{"", "ABCDEFGHIJKLMNO", "ABCDEFGHIJKLMNOP"}));
	EXPECT_EQ(places, (std::vector<std::string>{"1-2", "1-3", "1-4"}));
	EXPECT_EQ(devs[3].vid, 0); // entries past the count stay zero
	EXPECT_EQ(err, "");
	free(devs);
}

// ---- outside: start the inner tests and read the device's log ----

TEST(Usb, ThreeMiBWriteIsThreeTransfersAndAZeroLengthPacket)
{
	if (inner_mode())
		GTEST_SKIP();
	std::vector<std::string> log = run_inner("WritesAreChunkedAndEndedByZeroLengthPackets", {"mode=loopback"});
	EXPECT_EQ(log, (std::vector<std::string>{"OUT 1048576", "OUT 1048576", "OUT 1048576", "OUT 0", "OUT 1024",
						 "OUT 0", "OUT 1000", "OUT 0"}));
}

TEST(Usb, FullReadIsFollowedByAZeroLengthRead)
{
	if (inner_mode())
		GTEST_SKIP();
	std::vector<std::string> log = run_inner("ReadsConsumeTheZeroLengthPacketOfAFullRead", {"mode=loopback"});
	EXPECT_EQ(log, (std::vector<std::string>{"OUT 4096", "OUT 0", "OUT 48", "IN 4096", "IN 0", "IN 48",
						 "DISCARD"}));
}

TEST(Usb, ChunkSizeGuards)
{
	if (inner_mode())
		GTEST_SKIP();
	std::vector<std::string> log = run_inner("ChunkSizeOfZeroOrLessAfterTheOpenMeansTheDefault", {"mode=loopback"});
	EXPECT_EQ(log, (std::vector<std::string>{"OUT 1048576", "OUT 1048576", "OUT 0", "OUT 1048576", "OUT 1048576",
						 "OUT 0", "OUT 4096", "OUT 4096", "OUT 0"}));
	log = run_inner("ChunkSizeBeforeTheOpenMustBeWholePackets", {"mode=loopback"});
	EXPECT_EQ(log, (std::vector<std::string>{"OUT 512", "OUT 512", "OUT 0", "OUT 2048", "OUT 2048", "OUT 0"}));
}

TEST(Usb, Listing)
{
	if (inner_mode())
		GTEST_SKIP();
	run_inner("ListingShowsEveryEdlDeviceWithItsSerialAndPlace",
		  {"serial=ABCDEFGHIJKLMNO", "serial=ABCDEFGHIJKLMNOP", "product=QUSB__BULK", "serial=X,pid=9009"});
}

TEST(Usb, EdlProductIds)
{
	for (int pid : {0x9008, 0x900E, 0x901D, 0x9060})
		EXPECT_TRUE(usb_is_edl_pid(pid)) << std::hex << pid;
	for (int pid : {0x9007, 0x9009, 0x901E, 0x0000})
		EXPECT_FALSE(usb_is_edl_pid(pid)) << std::hex << pid;
}

TEST(Usb, SerialFromTheProductString)
{
	struct {
		const char *product;
		bool found;
		const char *serial;
	} cases[] = {
		{"QUSB_BULK_CID:0402_SN:1A2B3C4D_more", true, "1A2B3C4D"},
		{"QUSB_BULK_SN:ABCD EFGH", true, "ABCD"},
		{"QUSB__BULK", false, ""},
		{"X_SN:", true, ""},
		{"X_SN:_rest", true, ""},
		{"X_SN:A_SN:B", true, "A"},
	};
	for (const auto &c : cases) {
		char out[64] = "untouched";
		EXPECT_EQ(usb_parse_serial(c.product, out, sizeof(out)), c.found) << c.product;
		if (c.found) {
			EXPECT_STREQ(out, c.serial) << c.product;
		}
	}
	// Cut to the buffer, never past it.
	char small[5];
	EXPECT_TRUE(usb_parse_serial("_SN:123456789", small, sizeof(small)));
	EXPECT_STREQ(small, "1234");
}

// The waiting loop's notes over a run of passes: each report of a pass and
// whether it is printed.
TEST(Usb, WaitNotesSayAFailureOnceWhileItLasts)
{
	struct report {
		unsigned device;
		const char *text;
		bool printed;
	};
	const std::vector<std::vector<report>> passes = {
		{{1, "busy", true}},
		{{1, "busy", false}},
		{{1, "busy", false}, {2, "busy", true}},	// a second device
		{{1, "denied", true}, {2, "busy", false}},	// the failure changed
		{{1, "busy", true}, {2, "busy", false}},	// and changed back
		{{1, "busy", false}, {1, "busy", false}, {2, "busy", false}}, // two interfaces of 1
		{{2, "busy", false}},				// device 1 went away
		{{1, "busy", true}, {2, "busy", false}},	// and came back
		{},						// nothing failed
		{{1, "busy", true}, {2, "busy", true}},
	};
	usb_wait_notes notes;
	for (size_t i = 0; i < passes.size(); i++) {
		notes.begin_pass();
		for (const report &r : passes[i])
			EXPECT_EQ(notes.fresh(r.device, r.text), r.printed) << "pass " << i << ", device " << r.device;
		notes.end_pass();
	}
}

} // namespace
