// The Linux side of the COM-port back-end: enumeration over a sysfs tree of
// the real shape in a temporary directory, and transfers over a
// pseudo-terminal standing in for a USB serial port.
#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <memory>
#include <pty.h>
#include <string>
#include <termios.h>
#include <unistd.h>
#include <vector>

#include "qud_platform.h"
#include "test_support.h"
#include "vorn.h"

namespace fs = std::filesystem;

namespace {

struct desc_list {
	qud_device_desc *descs = nullptr;
	uint32_t count = 0;
	~desc_list() { free(descs); }
};

void write_file(const fs::path &p, const std::string &text)
{
	fs::create_directories(p.parent_path());
	std::ofstream(p) << text;
}

std::string sysfs_root;

// The native table with its enumeration pointed at the test's tree.
qud_platform sysfs_ops()
{
	qud_platform ops = qud_platform_native;
	ops.enum_begin = [](void) { return qud_sysfs_enum_begin(sysfs_root.c_str()); };
	return ops;
}

// Builds a tree shaped like sysfs: devices below devices/, every tty linked
// from class/tty, a "device" link beside each tty that has a device.
class qud_sysfs : public ::testing::Test {
protected:
	temp_dir tmp;
	fs::path root;
	qud_platform ops;
	const qud_platform *previous = nullptr;

	void SetUp() override
	{
		root = tmp.path / "sys";
		fs::create_directories(root / "class/tty");
		sysfs_root = root.string();
		ops = sysfs_ops();
		previous = qud_platform_use(&ops);
	}
	void TearDown() override { qud_platform_use(previous); }

	// A USB device with the given attributes; returns its directory.
	fs::path usb_device(const std::string &rel, const std::string &vid, const std::string &pid,
			    const char *product, const char *serial)
	{
		fs::path dir = root / "devices" / rel;
		write_file(dir / "idVendor", vid + "\n");
		write_file(dir / "idProduct", pid + "\n");
		if (product)
			write_file(dir / "product", std::string(product) + "\n");
		if (serial)
			write_file(dir / "serial", std::string(serial) + "\n");
		return dir;
	}

	// A tty whose device directory is parent/<between>/<name>.
	void tty(const fs::path &device_dir, const std::string &name, bool with_device_link = true)
	{
		fs::path class_dir = device_dir / "tty" / name;
		write_file(class_dir / "dev", "188:0\n");
		if (with_device_link)
			fs::create_directory_symlink(fs::relative(device_dir, class_dir), class_dir / "device");
		fs::create_directory_symlink(fs::relative(class_dir, root / "class/tty"), root / "class/tty" / name);
	}
};

TEST_F(qud_sysfs, usb_ttys_are_listed_with_windows_style_ids)
{
	// qcserial-style: usb device / interface / ttyUSB0 / tty / ttyUSB0.
	fs::path edl = usb_device("pci0000:00/0000:00:14.0/usb1/1-2", "05c6", "9008",
				  "QUSB_BULK_CID:0402_SN:ABC123", nullptr);
	tty(edl / "1-2:1.0/ttyUSB0", "ttyUSB0");
	// cdc-acm-style: the tty sits right below the interface; serial
	// attribute, a product without a serial number.
	fs::path acm = usb_device("pci0000:00/0000:00:14.0/usb1/1-3", "05c6", "900e", "QHSUSB__BULK", "Z9Y8");
	tty(acm / "1-3:1.0", "ttyACM0");
	// No serial anywhere: the USB device's sysfs name stands in.
	fs::path bare = usb_device("pci0000:00/0000:00:14.0/usb1/1-4", "05c6", "901d", nullptr, nullptr);
	tty(bare / "1-4:1.2/ttyUSB1", "ttyUSB1");
	// Not Qualcomm, not USB, not a device at all.
	fs::path other = usb_device("pci0000:00/0000:00:14.0/usb1/1-5", "1a86", "7523", "USB Serial", nullptr);
	tty(other / "1-5:1.0/ttyUSB2", "ttyUSB2");
	tty(root / "devices/platform/serial8250", "ttyS0");
	tty(root / "devices/virtual/tty", "tty0", false);

	desc_list list;
	list.descs = qud_list(&list.count);
	ASSERT_EQ(list.count, 3u);
	// Sorted by tty name.
	EXPECT_STREQ(list.descs[0].path, "/dev/ttyACM0");
	EXPECT_EQ(list.descs[0].pid, 0x900Eu);
	EXPECT_STREQ(list.descs[0].serial, "Z9Y8");
	EXPECT_STREQ(list.descs[1].path, "/dev/ttyUSB0");
	EXPECT_EQ(list.descs[1].pid, 0x9008u);
	EXPECT_STREQ(list.descs[1].serial, "ABC123");
	EXPECT_STREQ(list.descs[2].path, "/dev/ttyUSB1");
	EXPECT_EQ(list.descs[2].pid, 0x901Du);
	EXPECT_STREQ(list.descs[2].serial, "1-4");
	EXPECT_EQ(qud_probe_present(), 3);

	// What the platform reports, as Windows would write it.
	qud_enum *set = qud_sysfs_enum_begin(sysfs_root.c_str());
	ASSERT_NE(set, nullptr);
	std::vector<std::string> hwids, instances;
	for (uint32_t i = 0; qud_platform_native.enum_has(set, i); i++) {
		char hwid[256], inst[256];
		ASSERT_TRUE(qud_platform_native.hardware_id(set, i, hwid, sizeof(hwid)));
		ASSERT_TRUE(qud_platform_native.instance_id(set, i, inst, sizeof(inst)));
		hwids.push_back(hwid);
		instances.push_back(inst);
	}
	qud_platform_native.enum_end(set);
	EXPECT_EQ(hwids, (std::vector<std::string>{"USB\\VID_05C6&PID_900E", "USB\\VID_05C6&PID_9008",
						   "USB\\VID_05C6&PID_901D", "USB\\VID_1A86&PID_7523"}));
	EXPECT_EQ(instances[0], "USB\\VID_05C6&PID_900E\\Z9Y8");
	EXPECT_EQ(instances[2], "USB\\VID_05C6&PID_901D\\1-4");
}

TEST_F(qud_sysfs, search_for_the_usb_device_stays_inside_the_tree)
{
	// USB-looking attributes above the sysfs root must not adopt a tty.
	write_file(tmp.path / "idVendor", "05c6\n");
	write_file(tmp.path / "idProduct", "9008\n");
	tty(root / "devices/platform/serial8250", "ttyS0");
	EXPECT_EQ(qud_probe_present(), 0);

	// Unreadable ids make the port invisible rather than matching by chance.
	fs::path odd = usb_device("usb1/1-1", "05c6x", "9008", nullptr, nullptr);
	tty(odd / "1-1:1.0", "ttyACM3");
	EXPECT_EQ(qud_probe_present(), 0);
}

// Product ids with the highest hex digit in either case (sysfs writes lower
// case; the parser takes both).
TEST_F(qud_sysfs, product_ids_with_hex_letters_in_either_case)
{
	fs::path lower = usb_device("usb1/1-1", "05c6", "901f", nullptr, nullptr);
	tty(lower / "1-1:1.0/ttyUSB0", "ttyUSB0");
	fs::path upper = usb_device("usb1/1-2", "05C6", "90FF", nullptr, nullptr);
	tty(upper / "1-2:1.0/ttyUSB1", "ttyUSB1");

	desc_list list;
	list.descs = qud_list(&list.count);
	ASSERT_EQ(list.count, 2u);
	EXPECT_EQ(list.descs[0].pid, 0x901Fu);
	EXPECT_EQ(list.descs[1].pid, 0x90FFu);
}

TEST_F(qud_sysfs, serial_choice_and_missing_tree)
{
	fs::path a = usb_device("usb1/1-1", "05c6", "9008", "QUSB__BULK_SN:AAAA1111", nullptr);
	tty(a / "1-1:1.0/ttyUSB0", "ttyUSB0");
	fs::path b = usb_device("usb1/1-2", "05c6", "9008", "QUSB__BULK_SN:BBBB2222", nullptr);
	tty(b / "1-2:1.0/ttyUSB1", "ttyUSB1");

	// The ports do not exist as /dev nodes here, so the open fails: that
	// shows which one was chosen.
	dev_ptr dev(qud_init());
	testing::internal::CaptureStderr();
	EXPECT_EQ(vorn_open(dev.get(), "bbbb2222"), -1);
	EXPECT_EQ(testing::internal::GetCapturedStderr(),
		  std::string("qud: open(/dev/ttyUSB1) failed: ") + strerror(ENOENT) + "\n");

	fs::remove_all(root / "class");
	testing::internal::CaptureStderr();
	EXPECT_EQ(vorn_open(dev.get(), nullptr), -1);
	EXPECT_EQ(testing::internal::GetCapturedStderr(),
		  std::string("qud: cannot list serial ports: opendir failed: ") + strerror(ENOENT) + "\n");
	EXPECT_EQ(qud_probe_present(), 0);
}

// A pseudo-terminal pair; the test plays the device on the master side.
struct pty_pair {
	int master = -1;
	int slave = -1;
	std::string path;
	pty_pair()
	{
		char name[256];
		if (openpty(&master, &slave, name, nullptr, nullptr) != 0)
			return;
		path = name;
		struct termios tio;
		tcgetattr(slave, &tio);
		cfmakeraw(&tio);
		tcsetattr(slave, TCSANOW, &tio);
	}
	~pty_pair()
	{
		close_master();
		if (slave >= 0)
			close(slave);
	}
	void close_master()
	{
		if (master >= 0)
			close(master);
		master = -1;
	}
	void send(const std::string &s) const { ASSERT_EQ(write(master, s.data(), s.size()), ssize_t(s.size())); }
	// Reads exactly n bytes (the test knows how many are coming).
	std::string receive(size_t n) const
	{
		std::string out;
		while (out.size() < n) {
			char buf[4096];
			ssize_t r = read(master, buf, std::min(sizeof(buf), n - out.size()));
			if (r <= 0)
				break;
			out.append(buf, static_cast<size_t>(r));
		}
		return out;
	}
};

double ms_since(std::chrono::steady_clock::time_point t)
{
	return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t).count();
}

class qud_pty : public ::testing::Test {
protected:
	pty_pair pty;
	dev_ptr dev{qud_init()};

	void SetUp() override
	{
		ASSERT_GE(pty.master, 0);
		ASSERT_NE(dev, nullptr);
	}
	void open_port()
	{
		testing::internal::CaptureStderr();
		int r = vorn_open(dev.get(), pty.path.c_str());
		std::string err = testing::internal::GetCapturedStderr();
		ASSERT_EQ(r, 0) << err;
	}
	int read_into(std::string &out, size_t len, unsigned timeout)
	{
		out.assign(len, '\0');
		int n = vorn_read(dev.get(), out.data(), len, timeout);
		out.resize(n > 0 ? static_cast<size_t>(n) : 0);
		return n;
	}
};

TEST_F(qud_pty, bytes_sent_before_the_open_are_kept_and_a_read_returns_what_is_there)
{
	// A device greets as soon as it enumerates, before the host opens.
	pty.send("HELLO");
	open_port();
	std::string got;
	auto t0 = std::chrono::steady_clock::now();
	EXPECT_EQ(read_into(got, 4096, 5000), 5);
	EXPECT_EQ(got, "HELLO");
	EXPECT_LT(ms_since(t0), 2500) << "the read waited to fill its buffer";

	// Up to the requested length, the rest on the next read.
	pty.send("0123456789");
	std::string all;
	while (all.size() < 10) {
		ASSERT_GT(read_into(got, 4, 2000), 0);
		EXPECT_LE(got.size(), 4u);
		all += got;
	}
	EXPECT_EQ(all, "0123456789");
}

TEST_F(qud_pty, the_line_is_raw_both_ways)
{
	open_port();
	// Every byte value, including the ones a cooked tty acts on.
	std::string bytes;
	for (int i = 0; i < 256; i++)
		bytes.push_back(static_cast<char>(i));
	pty.send(bytes);
	std::string all, got;
	while (all.size() < bytes.size() && read_into(got, 4096, 2000) > 0)
		all += got;
	EXPECT_EQ(all, bytes);

	ASSERT_EQ(vorn_write(dev.get(), bytes.data(), bytes.size(), 2000), 256);
	EXPECT_EQ(pty.receive(256), bytes);
}

TEST_F(qud_pty, read_times_out_when_nothing_comes)
{
	open_port();
	std::string got;
	auto t0 = std::chrono::steady_clock::now();
	EXPECT_EQ(read_into(got, 64, 100), -ETIMEDOUT);
	double waited = ms_since(t0);
	EXPECT_GE(waited, 95);
	EXPECT_LT(waited, 2000);

	t0 = std::chrono::steady_clock::now();
	EXPECT_EQ(read_into(got, 64, 0), -ETIMEDOUT);
	EXPECT_LT(ms_since(t0), 1000);

	// Still usable afterwards.
	pty.send("x");
	EXPECT_EQ(read_into(got, 64, 2000), 1);
}

TEST_F(qud_pty, write_that_cannot_go_out_times_out_and_the_port_stays_usable)
{
	open_port();
	// Nobody drains the master: the line fills up.
	std::vector<char> big(8 << 20, 'w');
	auto t0 = std::chrono::steady_clock::now();
	EXPECT_EQ(vorn_write(dev.get(), big.data(), big.size(), 100), -ETIMEDOUT);
	EXPECT_LT(ms_since(t0), 2000);

	pty.send("ok");
	std::string got;
	EXPECT_EQ(read_into(got, 64, 2000), 2);
	EXPECT_EQ(got, "ok");
}

TEST_F(qud_pty, unplug_fails_reads_and_writes_at_once)
{
	open_port();
	pty.send("last");
	std::string got;
	EXPECT_EQ(read_into(got, 64, 2000), 4);
	pty.close_master();
	auto t0 = std::chrono::steady_clock::now();
	EXPECT_EQ(read_into(got, 64, 5000), -EIO);
	EXPECT_EQ(vorn_write(dev.get(), "x", 1, 5000), -EIO);
	EXPECT_LT(ms_since(t0), 2500);
	vorn_close(dev.get());
	vorn_close(dev.get());
}

TEST_F(qud_pty, close_twice_and_reopen)
{
	open_port();
	vorn_close(dev.get());
	vorn_close(dev.get());
	std::string got;
	EXPECT_EQ(read_into(got, 8, 10), -EIO);
	// The exclusive lock went with the close.
	open_port();
	pty.send("again");
	EXPECT_EQ(read_into(got, 8, 2000), 5);
}

TEST(qud_linux_open, paths_that_are_not_ports)
{
	dev_ptr dev(qud_init());
	testing::internal::CaptureStderr();
	EXPECT_EQ(vorn_open(dev.get(), "/nonexistent/ttyQ"), -1);
	EXPECT_EQ(testing::internal::GetCapturedStderr(),
		  std::string("qud: open(/nonexistent/ttyQ) failed: ") + strerror(ENOENT) + "\n");

	testing::internal::CaptureStderr();
	EXPECT_EQ(vorn_open(dev.get(), "/dev/null"), -1);
	EXPECT_EQ(testing::internal::GetCapturedStderr(),
		  std::string("qud: failed to configure /dev/null: tcgetattr failed: ") + strerror(ENOTTY) + "\n");
}

} // namespace
