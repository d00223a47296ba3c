// The automatic back-end's waiting loop, driven pass by pass through scripted
// USB and COM-port neighbours.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "auto.h"
#include "vorn.h"

namespace {

// What one pass of the loop meets.
struct pass_step {
	int usb_ret;	// try_usb_open result
	int visible;	// EDL devices USB saw
	int ports;	// qud_probe_present result
	int qud_ret;	// result of the COM-port open, when it is called
};

struct fake_world;
fake_world *world;

struct fake_dev : vorn_device {
	fake_dev(std::string n, size_t payload) : name(std::move(n)) { max_payload_size = payload; }
	~fake_dev() override;
	int open(const char *serial) override;
	int read(void *, size_t len, unsigned) override { return static_cast<int>(len / 2); }
	int write(const void *, size_t len, unsigned) override { return static_cast<int>(len); }
	void close() override;
	void set_out_chunk_size(long size) override;
	std::string name;
};

struct fake_world {
	std::vector<pass_step> steps;
	size_t pass = 0;
	std::vector<std::string> events;
	bool usb_init_fails = false;
	bool qud_init_fails = false;

	const pass_step &step() const { return steps[pass < steps.size() ? pass : steps.size() - 1]; }
};

fake_dev::~fake_dev()
{
	world->events.push_back("free " + name);
}

int fake_dev::open(const char *serial)
{
	world->events.push_back("open " + name + " " + (serial ? serial : "(null)"));
	return world->step().qud_ret;
}

void fake_dev::close()
{
	world->events.push_back("close " + name);
}

void fake_dev::set_out_chunk_size(long size)
{
	world->events.push_back("chunk " + name + " " + std::to_string(size));
}

vorn_device *fake_usb_init()
{
	return world->usb_init_fails ? nullptr : new fake_dev("usb", 1048576);
}

vorn_device *fake_qud_init()
{
	return world->qud_init_fails ? nullptr : new fake_dev("qud", 65536);
}

int fake_try_usb_open(vorn_device *, const char *, int *visible)
{
	// A loop that never ends is a failure of the test, not a hang.
	if (world->pass > 100)
		return -EIO;
	*visible = world->step().visible;
	return world->step().usb_ret;
}

int fake_probe()
{
	return world->step().ports;
}

bool fake_names_port(const char *serial)
{
	return serial && serial[0] == '/';
}

void fake_sleep(unsigned ms)
{
	EXPECT_EQ(ms, 250u);
	world->pass++;
}

const auto_backends fake_backends = {fake_usb_init, fake_try_usb_open, fake_qud_init,
				     fake_probe,    fake_names_port,   fake_sleep};

class AutoOpen : public ::testing::Test {
protected:
	void SetUp() override { world = &w; }
	void TearDown() override { world = nullptr; }

	// Runs auto_open over the scripted passes; returns its result.
	int run_open(const char *serial)
	{
		dev = auto_init_with(&fake_backends);
		testing::internal::CaptureStdout();
		int ret = vorn_open(dev, serial);
		out = testing::internal::GetCapturedStdout();
		return ret;
	}

	void close_and_free()
	{
		vorn_close(dev);
		vorn_deinit(dev);
		dev = nullptr;
	}

	~AutoOpen() override
	{
		if (dev) {
			world = &w;
			vorn_close(dev);
			vorn_deinit(dev);
		}
	}

	fake_world w;
	vorn_device *dev = nullptr;
	std::string out;
};

constexpr int OPENED = 0;
constexpr int NONE = -ENODEV;
constexpr int BUSY = -EBUSY;
constexpr int FAIL = -1;

TEST_F(AutoOpen, NothingAttachedWaitsSilentlyThenBindsUsb)
{
	w.steps = {{NONE, 0, 0, FAIL}, {NONE, 0, 0, FAIL}, {NONE, 0, 0, FAIL}, {OPENED, 1, 0, FAIL}};
	ASSERT_EQ(run_open(nullptr), 0);
	EXPECT_EQ(out, "Waiting for EDL device\n");
	EXPECT_EQ(w.pass, 3u);
	// The COM-port candidate is never opened and is freed; USB is kept.
	EXPECT_EQ(w.events, (std::vector<std::string>{"free qud"}));
	EXPECT_EQ(dev->dev_type, VORN_DEVICE_AUTO);
	EXPECT_EQ(dev->max_payload_size, 1048576u);
	char buf[8];
	EXPECT_EQ(vorn_read(dev, buf, 8, 10), 4); // forwarded to the USB record
	close_and_free();
	EXPECT_EQ(w.events, (std::vector<std::string>{"free qud", "close usb", "free usb"}));
}

TEST_F(AutoOpen, ComPortOnlyIsBoundOnTheFirstPass)
{
	w.steps = {{NONE, 0, 1, 0}};
	ASSERT_EQ(run_open(nullptr), 0);
	EXPECT_EQ(out, "");
	EXPECT_EQ(w.pass, 0u);
	EXPECT_EQ(w.events, (std::vector<std::string>{"open qud (null)", "free usb"}));
	// The wrapper takes the bound record's payload size, not its own.
	EXPECT_EQ(dev->max_payload_size, 65536u);
	EXPECT_EQ(dev->dev_type, VORN_DEVICE_AUTO);
}

TEST_F(AutoOpen, UsbIsPreferredWhenBothAreThere)
{
	w.steps = {{OPENED, 1, 1, 0}};
	ASSERT_EQ(run_open(nullptr), 0);
	EXPECT_EQ(w.events, (std::vector<std::string>{"free qud"}));
}

// The status line appears when the count of visible devices changes, and
// only then; the COM-port open is tried whenever a port is seen or USB found
// its device busy.
struct message_case {
	const char *name;
	const char *serial;
	std::vector<pass_step> steps;
	const char *expected_out;
	int qud_opens;
};

class AutoMessages : public AutoOpen, public ::testing::WithParamInterface<message_case> {};

TEST_P(AutoMessages, PrintsOncePerChangeOfCount)
{
	const message_case &c = GetParam();
	w.steps = c.steps;
	// Every script ends with USB unusable, which ends the loop with -1.
	w.steps.push_back({-EIO, 0, 0, FAIL});
	EXPECT_EQ(run_open(c.serial), -1);
	EXPECT_EQ(out, c.expected_out);
	int opens = 0;
	for (const auto &e : w.events)
		opens += e.rfind("open qud", 0) == 0;
	EXPECT_EQ(opens, c.qud_opens);
	// Both candidates are freed when USB cannot be used.
	ASSERT_GE(w.events.size(), 2u);
	EXPECT_EQ(w.events[w.events.size() - 2], "free qud");
	EXPECT_EQ(w.events.back(), "free usb");
}

INSTANTIATE_TEST_SUITE_P(
	Cases, AutoMessages,
	::testing::Values(
		message_case{"SerialMismatchOnUsb", "ABC",
			     {{BUSY, 1, 0, FAIL}, {BUSY, 1, 0, FAIL}, {BUSY, 1, 0, FAIL}},
			     "1 EDL device(s) visible, none match serial \"ABC\"\n", 3},
		message_case{"ComPortThatCannotOpen", nullptr,
			     {{NONE, 0, 1, FAIL}, {NONE, 0, 1, FAIL}},
			     "1 EDL device(s) visible, none could be opened\n", 2},
		message_case{"CountChangesBackAndForth", nullptr,
			     {{NONE, 0, 0, FAIL},
			      {NONE, 0, 0, FAIL},
			      {BUSY, 1, 1, FAIL},
			      {BUSY, 1, 1, FAIL},
			      {NONE, 0, 0, FAIL}},
			     "Waiting for EDL device\n2 EDL device(s) visible, none could be opened\n"
			     "Waiting for EDL device\n",
			     2},
		message_case{"SerialThatIsNoPortOpensNoPort", "ABC", {{NONE, 0, 0, FAIL}, {NONE, 0, 0, FAIL}},
			     "Waiting for EDL device\n", 0},
		message_case{"UsbUnusableAtOnce", nullptr, {}, "", 0}),
	[](const auto &tp) { return std::string(tp.param.name); });

TEST_F(AutoOpen, DirectlyNamedPortIsOpenedWithoutEnumeratedPorts)
{
	// Nothing on USB, no vendor port enumerated: the named port is still
	// tried on every pass, and taken once it opens.
	w.steps = {{NONE, 0, 0, FAIL}, {NONE, 0, 0, FAIL}, {NONE, 0, 0, 0}};
	ASSERT_EQ(run_open("/dev/ttyUSB7"), 0);
	EXPECT_EQ(w.events, (std::vector<std::string>{"open qud /dev/ttyUSB7", "open qud /dev/ttyUSB7",
						      "open qud /dev/ttyUSB7", "free usb"}));
	EXPECT_EQ(out, "Waiting for EDL device\n");
}

TEST_F(AutoOpen, DirectlyNamedPortIsTriedWhenUsbIsUnusable)
{
	w.steps = {{-EIO, 0, 0, 0}};
	ASSERT_EQ(run_open("/dev/ttyUSB7"), 0);
	EXPECT_EQ(w.events, (std::vector<std::string>{"open qud /dev/ttyUSB7", "free usb"}));
	close_and_free();

	// The port does not open either: the open fails at once.
	w.events.clear();
	w.steps = {{-EIO, 0, 0, FAIL}};
	EXPECT_EQ(run_open("/dev/ttyUSB7"), -1);
	EXPECT_EQ(w.events, (std::vector<std::string>{"open qud /dev/ttyUSB7", "free qud", "free usb"}));
}

TEST_F(AutoOpen, CandidateThatCannotBeCreatedEndsTheOpen)
{
	w.steps = {{OPENED, 1, 0, FAIL}};
	w.qud_init_fails = true;
	EXPECT_EQ(run_open(nullptr), -1);
	EXPECT_EQ(w.events, (std::vector<std::string>{"free usb"}));
	EXPECT_EQ(out, "");

	w.events.clear();
	w.qud_init_fails = false;
	w.usb_init_fails = true;
	vorn_deinit(dev);
	EXPECT_EQ(run_open(nullptr), -1);
	EXPECT_TRUE(w.events.empty());
}

TEST_F(AutoOpen, ChunkSizeReachesTheInnerRecord)
{
	w.steps = {{OPENED, 1, 0, FAIL}};
	dev = auto_init_with(&fake_backends);
	// Requests before the open are remembered; the last one counts.
	vorn_set_out_chunk_size(dev, 4096);
	vorn_set_out_chunk_size(dev, 8192);
	EXPECT_TRUE(w.events.empty());
	testing::internal::CaptureStdout();
	ASSERT_EQ(vorn_open(dev, nullptr), 0);
	testing::internal::GetCapturedStdout();
	vorn_set_out_chunk_size(dev, 16384);
	EXPECT_EQ(w.events, (std::vector<std::string>{"chunk usb 8192", "free qud", "chunk usb 16384"}));
}

TEST_F(AutoOpen, NoChunkSizeIsPassedWhenNoneWasRequested)
{
	w.steps = {{OPENED, 1, 0, FAIL}};
	ASSERT_EQ(run_open(nullptr), 0);
	for (const auto &e : w.events)
		EXPECT_EQ(e.rfind("chunk", 0), std::string::npos) << e;
}

TEST_F(AutoOpen, CloseOfUnboundRecordDoesNothingAndCloseTwiceClosesOnce)
{
	dev = auto_init_with(&fake_backends);
	char buf[4];
	// Unbound reads and writes fail cleanly instead of touching nothing.
	EXPECT_EQ(vorn_read(dev, buf, 4, 10), -EIO);
	EXPECT_EQ(vorn_write(dev, buf, 4, 10), -EIO);
	vorn_close(dev);
	EXPECT_TRUE(w.events.empty());

	w.steps = {{NONE, 0, 1, 0}};
	testing::internal::CaptureStdout();
	ASSERT_EQ(vorn_open(dev, nullptr), 0);
	testing::internal::GetCapturedStdout();
	EXPECT_EQ(vorn_write(dev, buf, 4, 10), 4);
	w.events.clear();
	vorn_close(dev);
	vorn_close(dev);
	EXPECT_EQ(w.events, (std::vector<std::string>{"close qud", "free qud"}));
	EXPECT_EQ(dev->dev_type, VORN_DEVICE_AUTO);
}

} // namespace
