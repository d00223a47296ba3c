// The COM-port back-end's own logic (matching, PID and serial number, port
// choice, results and messages) over a fake system: a platform table whose
// ports and transfers the test describes.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "qud_platform.h"
#include "test_support.h"
#include "vorn.h"

namespace {

constexpr char qcom_9008[] = "USB\\VID_05C6&PID_9008";

// One port of the fake system, as the registry and device setup describe it.
struct fake_port {
	std::string hwid = qcom_9008;
	bool hwid_ok = true;
	std::string instance = "USB\\VID_05C6&PID_9008\\5&2A3B&0&1";
	bool instance_ok = true;
	std::vector<uint8_t> name;     // raw "PortName" value
	bool name_ok = true;
	bool name_is_string = true;
	std::string bus;	       // bus-reported description
	bool bus_ok = false;
};

fake_port port_named(const std::string &name)
{
	fake_port p;
	p.name.assign(name.begin(), name.end());
	p.name.push_back('\0');
	return p;
}

struct fake_handle {
	std::string path;
};

struct fake_system {
	std::vector<fake_port> ports;
	bool enum_fails = false;
	unsigned long error = 0;
	int sets_open = 0;
	int enum_begins = 0;

	std::vector<std::string> opened;
	bool open_fails = false;
	bool configure_fails = false;
	int handles_live = 0;
	int closes = 0;

	int read_result = 0;
	std::string read_data;
	unsigned last_read_timeout = 0;
	int write_result = 0;
	size_t last_write_len = 0;
};

fake_system *sys;

// The fake snapshot is the fake system itself.
qud_enum *as_set(fake_system *s)
{
	return reinterpret_cast<qud_enum *>(s);
}

const fake_port &port_at(qud_enum *set, uint32_t index)
{
	return reinterpret_cast<fake_system *>(set)->ports.at(index);
}

const qud_platform fake_ops = {
	[](void) -> qud_enum * {
		sys->enum_begins++;
		if (sys->enum_fails)
			return nullptr;
		sys->sets_open++;
		return as_set(sys);
	},
	[](qud_enum *set) {
		if (set)
			sys->sets_open--;
	},
	[](qud_enum *set, uint32_t index) {
		return index < reinterpret_cast<fake_system *>(set)->ports.size();
	},
	[](qud_enum *set, uint32_t index, char *out, size_t size) {
		const fake_port &p = port_at(set, index);
		if (!p.hwid_ok || p.hwid.size() + 1 > size)
			return false;
		memcpy(out, p.hwid.c_str(), p.hwid.size() + 1);
		return true;
	},
	[](qud_enum *set, uint32_t index, char *out, size_t size) {
		const fake_port &p = port_at(set, index);
		if (!p.instance_ok || p.instance.size() + 1 > size)
			return false;
		memcpy(out, p.instance.c_str(), p.instance.size() + 1);
		return true;
	},
	[](qud_enum *set, uint32_t index, uint8_t *out, uint32_t size, uint32_t *out_size, bool *is_string) {
		const fake_port &p = port_at(set, index);
		if (!p.name_ok || p.name.size() > size)
			return false;
		if (!p.name.empty())
			memcpy(out, p.name.data(), p.name.size());
		*out_size = static_cast<uint32_t>(p.name.size());
		*is_string = p.name_is_string;
		return true;
	},
	[](qud_enum *set, uint32_t index, char *out, size_t size) {
		const fake_port &p = port_at(set, index);
		if (!p.bus_ok)
			return 0;
		snprintf(out, size, "%s", p.bus.c_str());
		return static_cast<int>(strlen(out));
	},
	"\\\\.\\",
	[](const char *path, void **port) {
		sys->opened.push_back(path);
		if (sys->open_fails)
			return -1;
		sys->handles_live++;
		*port = new fake_handle{path};
		return 0;
	},
	[](void *) { return sys->configure_fails ? -1 : 0; },
	[](void *, void *buf, size_t len, unsigned timeout_ms) {
		sys->last_read_timeout = timeout_ms;
		size_t n = std::min(len, sys->read_data.size());
		memcpy(buf, sys->read_data.data(), n);
		return sys->read_result;
	},
	[](void *, const void *, size_t len, unsigned) {
		sys->last_write_len = len;
		return sys->write_result;
	},
	[](void *port) {
		sys->handles_live--;
		sys->closes++;
		delete static_cast<fake_handle *>(port);
	},
	[](void) { return sys->error; },
	// Errors are numbers, as on Windows.
	nullptr,
};

struct desc_list {
	qud_device_desc *descs = nullptr;
	uint32_t count = 0;
	~desc_list() { free(descs); }
};

class qud : public ::testing::Test {
protected:
	fake_system fake;
	const qud_platform *previous = nullptr;

	void SetUp() override
	{
		sys = &fake;
		previous = qud_platform_use(&fake_ops);
	}
	void TearDown() override
	{
		qud_platform_use(previous);
		EXPECT_EQ(fake.sets_open, 0) << "a device snapshot was not released";
		sys = nullptr;
	}

	// Opens a new record; returns the result, the record and what went to
	// standard error.
	int open_with(const char *serial, dev_ptr &dev, std::string &err)
	{
		dev.reset(qud_init());
		EXPECT_NE(dev, nullptr);
		testing::internal::CaptureStderr();
		int r = vorn_open(dev.get(), serial);
		err = testing::internal::GetCapturedStderr();
		return r;
	}

	std::string opened_path() const { return fake.opened.empty() ? "" : fake.opened.back(); }
};

TEST_F(qud, init_makes_a_closed_record_of_its_type)
{
	dev_ptr dev(qud_init());
	ASSERT_NE(dev, nullptr);
	EXPECT_EQ(dev->dev_type, VORN_DEVICE_QUD);
	EXPECT_EQ(dev->max_payload_size, 1048576u);
	char c;
	EXPECT_EQ(vorn_read(dev.get(), &c, 1, 10), -EIO);
	vorn_close(dev.get());
	EXPECT_EQ(fake.closes, 0);
}

// Which ports are listed, and the PID and path each gets.
TEST_F(qud, enumeration_matches_and_parses_ports)
{
	struct row {
		const char *what;
		fake_port port;
		bool listed;
		uint32_t pid;
		const char *path;
	};
	auto with = [](fake_port p, auto change) {
		change(p);
		return p;
	};
	auto name_bytes = [](const std::string &s) { return std::vector<uint8_t>(s.begin(), s.end()); };
	const std::string name31(31, 'N');
	const std::vector<row> rows = {
		{"plain", port_named("COM5"), true, 0x9008, "\\\\.\\COM5"},
		{"mixed-case pid, text after it",
		 with(port_named("COM6"), [](fake_port &p) { p.hwid = "USB\\VID_05C6&PID_12aB&REV_0000"; }), true,
		 0x12AB, "\\\\.\\COM6"},
		{"pid with a lower-case f",
		 with(port_named("COM6"), [](fake_port &p) { p.hwid = "USB\\VID_05C6&PID_901f"; }), true, 0x901F,
		 "\\\\.\\COM6"},
		{"pid with upper-case F",
		 with(port_named("COM6"), [](fake_port &p) { p.hwid = "USB\\VID_05C6&PID_90FF"; }), true, 0x90FF,
		 "\\\\.\\COM6"},
		{"pid with a non-hex digit still listed",
		 with(port_named("COM7"), [](fake_port &p) { p.hwid = "USB\\VID_05C6&PID_90G8"; }), true, 0,
		 "\\\\.\\COM7"},
		{"pid cut short", with(port_named("COM8"), [](fake_port &p) { p.hwid = "USB\\VID_05C6&PID_90"; }),
		 true, 0, "\\\\.\\COM8"},
		{"lower-case hardware id",
		 with(port_named("COM9"), [](fake_port &p) { p.hwid = "usb\\vid_05c6&pid_9008"; }), false, 0, ""},
		{"other vendor", with(port_named("COM9"), [](fake_port &p) { p.hwid = "USB\\VID_1234&PID_9008"; }),
		 false, 0, ""},
		{"no hardware id", with(port_named("COM9"), [](fake_port &p) { p.hwid_ok = false; }), false, 0, ""},
		{"no instance id", with(port_named("COM9"), [](fake_port &p) { p.instance_ok = false; }), false, 0,
		 ""},
		{"no port name", with(port_named("COM9"), [](fake_port &p) { p.name_ok = false; }), false, 0, ""},
		{"expandable-string port name",
		 with(port_named("COM9"), [](fake_port &p) { p.name_is_string = false; }), false, 0, ""},
		{"port name without terminator",
		 with(fake_port{}, [&](fake_port &p) { p.name = name_bytes("COM10"); }), true, 0x9008,
		 "\\\\.\\COM10"},
		{"31-character port name", port_named(name31), true, 0x9008, nullptr},
		{"port name filling all 32 bytes, no terminator",
		 with(fake_port{}, [&](fake_port &p) { p.name = name_bytes(std::string(32, 'X')); }), false, 0, ""},
		{"port name of size 0", fake_port{}, false, 0, ""},
		{"empty port name", port_named(""), false, 0, ""},
	};

	for (const row &r : rows) {
		SCOPED_TRACE(r.what);
		fake.ports = {r.port};
		desc_list list;
		list.descs = qud_list(&list.count);
		EXPECT_EQ(qud_probe_present(), r.listed ? 1 : 0);
		if (!r.listed) {
			EXPECT_EQ(list.descs, nullptr);
			EXPECT_EQ(list.count, 0u);
			continue;
		}
		ASSERT_NE(list.descs, nullptr);
		ASSERT_EQ(list.count, 1u);
		EXPECT_EQ(list.descs[0].pid, r.pid);
		std::string want = r.path ? r.path : "\\\\.\\" + name31;
		EXPECT_EQ(std::string(list.descs[0].path), want);
	}
}

// Where the serial number comes from.
TEST_F(qud, serial_from_bus_description_or_instance_id)
{
	struct row {
		const char *what;
		bool bus_ok;
		std::string bus;
		std::string instance;
		std::string serial;
	};
	const std::string inst = "USB\\VID_05C6&PID_9008\\5&2A3B&0&1";
	const std::vector<row> rows = {
		{"marker, then a blank", true, "QUSB__BULK_SN:1234ABCD rest", inst, "1234ABCD"},
		{"marker, then an underscore", true, "QUSB_BULK_CID:0402_SN:1234ABCD_X", inst, "1234ABCD"},
		{"marker at the end of the text", true, "QUSB__BULK_SN:1234ABCD", inst, "1234ABCD"},
		{"63 characters", true, "X_SN:" + std::string(63, '7'), inst, std::string(63, '7')},
		{"64 characters: instance id instead", true, "X_SN:" + std::string(64, '7'), inst, "5&2A3B&0&1"},
		{"empty run: instance id instead", true, "QUSB__BULK_SN:_x", inst, "5&2A3B&0&1"},
		{"no marker: instance id instead", true, "QUSB__BULK", inst, "5&2A3B&0&1"},
		{"lower-case marker is no marker", true, "QUSB__BULK_sn:1234", inst, "5&2A3B&0&1"},
		{"no description: instance id", false, "", inst, "5&2A3B&0&1"},
		{"instance id without backslash: empty", false, "", "NOBACKSLASH", ""},
		{"long last component is cut to 63", false, "", "USB\\" + std::string(100, 's'),
		 std::string(63, 's')},
	};

	for (const row &r : rows) {
		SCOPED_TRACE(r.what);
		fake_port p = port_named("COM3");
		p.bus_ok = r.bus_ok;
		p.bus = r.bus;
		p.instance = r.instance;
		fake.ports = {p};
		desc_list list;
		list.descs = qud_list(&list.count);
		ASSERT_EQ(list.count, 1u);
		EXPECT_EQ(std::string(list.descs[0].serial), r.serial);
	}
}

// Three ports with serial numbers; which one the serial text picks.
TEST_F(qud, open_picks_the_port)
{
	struct row {
		const char *serial;
		int result;
		const char *path;
		const char *message;
	};
	const std::vector<row> rows = {
		{nullptr, 0, "\\\\.\\COM4", ""},
		{"", 0, "\\\\.\\COM4", ""},
		{"abc123", 0, "\\\\.\\COM5", ""},
		{"ABC123", 0, "\\\\.\\COM5", ""},
		{"DEF456", 0, "\\\\.\\COM6", ""},
		{"ABC12", -1, nullptr, "qud: no Qualcomm device matching serial \"ABC12\"\n"},
		{"CO", -1, nullptr, "qud: no Qualcomm device matching serial \"CO\"\n"},
	};
	const char *serials[] = {"111", "ABC123", "def456"};
	for (int i = 0; i < 3; i++) {
		fake_port p = port_named("COM" + std::to_string(4 + i));
		p.bus_ok = true;
		p.bus = std::string("QUSB__BULK_SN:") + serials[i];
		fake.ports.push_back(p);
	}

	for (const row &r : rows) {
		SCOPED_TRACE(r.serial ? r.serial : "(null)");
		fake.opened.clear();
		dev_ptr dev;
		std::string err;
		EXPECT_EQ(open_with(r.serial, dev, err), r.result);
		EXPECT_EQ(err, r.message);
		if (r.path) {
			EXPECT_EQ(opened_path(), r.path);
		} else {
			EXPECT_TRUE(fake.opened.empty());
		}
	}
	EXPECT_EQ(fake.handles_live, 0);
}

TEST_F(qud, serial_naming_a_port_opens_it_without_enumerating)
{
	fake.enum_fails = true;
	struct row {
		const char *serial;
		const char *path;
	};
	// Windows finds COM10 and above only as \\.\COM10, so every COM name
	// gets the platform's prefix; a name with a separator is a path.
	for (row r : {row{"COM7", "\\\\.\\COM7"}, row{"com7", "\\\\.\\com7"}, row{"CoM12", "\\\\.\\CoM12"},
		      row{"COM12", "\\\\.\\COM12"}, row{"\\\\.\\COM9", "\\\\.\\COM9"}, row{"\\weird", "\\weird"},
		      row{"/dev/ttyUSB0", "/dev/ttyUSB0"}}) {
		SCOPED_TRACE(r.serial);
		EXPECT_TRUE(qud_names_port(r.serial));
		dev_ptr dev;
		std::string err;
		EXPECT_EQ(open_with(r.serial, dev, err), 0);
		EXPECT_EQ(err, "");
		EXPECT_EQ(opened_path(), r.path);
	}
	EXPECT_EQ(fake.enum_begins, 0);
	for (const char *serial : {"CO", "", "ABC123", "xCOM7", "dev/tty"})
		EXPECT_FALSE(qud_names_port(serial)) << serial;
	EXPECT_FALSE(qud_names_port(nullptr));
}

TEST_F(qud, twenty_ports)
{
	for (int i = 0; i < 20; i++) {
		fake_port p = port_named("COM" + std::to_string(10 + i));
		p.bus_ok = true;
		p.bus = "QUSB__BULK_SN:SER" + std::to_string(i + 1);
		fake.ports.push_back(p);
	}
	EXPECT_EQ(qud_probe_present(), 20);

	testing::internal::CaptureStderr();
	desc_list list;
	list.descs = qud_list(&list.count);
	// The listing takes every port; only opening by serial looks at 16.
	EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
	ASSERT_EQ(list.count, 20u);
	EXPECT_STREQ(list.descs[15].serial, "SER16");
	EXPECT_STREQ(list.descs[15].path, "\\\\.\\COM25");
	EXPECT_STREQ(list.descs[19].serial, "SER20");
	EXPECT_STREQ(list.descs[19].path, "\\\\.\\COM29");

	dev_ptr dev;
	std::string err;
	EXPECT_EQ(open_with("ser16", dev, err), 0);
	EXPECT_EQ(opened_path(), "\\\\.\\COM25");
	// The eighteenth port is counted but never looked at.
	EXPECT_EQ(open_with("SER18", dev, err), -1);
	EXPECT_EQ(err, "qud: no Qualcomm device matching serial \"SER18\"\n");
}

TEST_F(qud, failures_give_their_message)
{
	dev_ptr dev;
	std::string err;

	fake.enum_fails = true;
	fake.error = 5;
	EXPECT_EQ(open_with(nullptr, dev, err), -1);
	EXPECT_EQ(err, "qud: SetupDiGetClassDevs failed (error 5)\n");
	EXPECT_EQ(qud_probe_present(), 0);
	uint32_t n = 99;
	EXPECT_EQ(qud_list(&n), nullptr);
	EXPECT_EQ(n, 0u);

	fake.enum_fails = false;
	fake.ports = {port_named("COM5")};
	fake.ports[0].hwid = "USB\\VID_8087&PID_0AAA";
	EXPECT_EQ(open_with("", dev, err), -1);
	EXPECT_EQ(err, "qud: no Qualcomm COM ports found\n");

	fake.ports = {port_named("COM5")};
	fake.open_fails = true;
	fake.error = 2;
	EXPECT_EQ(open_with(nullptr, dev, err), -1);
	EXPECT_EQ(err, "qud: CreateFile(\\\\.\\COM5) failed (error 2)\n");

	fake.open_fails = false;
	fake.configure_fails = true;
	fake.error = 31;
	EXPECT_EQ(open_with("COM8", dev, err), -1);
	EXPECT_EQ(err, "qud: failed to configure \\\\.\\COM8 (error 31)\n");
	EXPECT_EQ(fake.handles_live, 0) << "the port of a failed configuration stays open";
	char c;
	EXPECT_EQ(vorn_read(dev.get(), &c, 1, 10), -EIO);
}

// The automatic back-end retries the open of the same record every 250 ms:
// a port that cannot be opened is reported once per distinct failure, not on
// every pass.
TEST_F(qud, a_failing_open_is_reported_once_per_distinct_failure)
{
	dev_ptr dev(qud_init());
	ASSERT_NE(dev, nullptr);
	auto attempt = [&](const char *serial) {
		testing::internal::CaptureStderr();
		EXPECT_EQ(vorn_open(dev.get(), serial), -1);
		return testing::internal::GetCapturedStderr();
	};

	fake.open_fails = true;
	fake.error = 2;
	EXPECT_EQ(attempt("COM12"), "qud: CreateFile(\\\\.\\COM12) failed (error 2)\n");
	for (int pass = 0; pass < 5; pass++)
		EXPECT_EQ(attempt("COM12"), "") << pass;
	fake.error = 5;
	EXPECT_EQ(attempt("COM12"), "qud: CreateFile(\\\\.\\COM12) failed (error 5)\n");
	EXPECT_EQ(attempt("COM12"), "");
	fake.error = 2;
	EXPECT_EQ(attempt("COM12"), "qud: CreateFile(\\\\.\\COM12) failed (error 2)\n");
	EXPECT_EQ(attempt("/dev/ttyUSB7"), "qud: CreateFile(/dev/ttyUSB7) failed (error 2)\n");
	EXPECT_EQ(attempt("/dev/ttyUSB7"), "");

	fake.open_fails = false;
	fake.configure_fails = true;
	fake.error = 31;
	EXPECT_EQ(attempt("COM12"), "qud: failed to configure \\\\.\\COM12 (error 31)\n");
	EXPECT_EQ(attempt("COM12"), "");
	EXPECT_EQ(fake.handles_live, 0);

	// Enumeration failures of a retried open are the same kind of noise.
	fake.configure_fails = false;
	fake.ports = {port_named("COM5")};
	fake.ports[0].hwid = "USB\\VID_8087&PID_0AAA";
	EXPECT_EQ(attempt(nullptr), "qud: no Qualcomm COM ports found\n");
	EXPECT_EQ(attempt(nullptr), "");

	// A success forgets the last failure: the same failure after it is news.
	fake.ports = {port_named("COM5")};
	testing::internal::CaptureStderr();
	EXPECT_EQ(vorn_open(dev.get(), nullptr), 0);
	EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
	vorn_close(dev.get());
	fake.ports[0].hwid = "USB\\VID_8087&PID_0AAA";
	EXPECT_EQ(attempt(nullptr), "qud: no Qualcomm COM ports found\n");
}

TEST_F(qud, transfers_pass_results_and_map_an_empty_read_to_timeout)
{
	fake.ports = {port_named("COM5")};
	dev_ptr dev;
	std::string err;
	ASSERT_EQ(open_with(nullptr, dev, err), 0);
	char buf[16];

	struct row {
		int platform;
		int expected;
	};
	for (row r : {row{0, -ETIMEDOUT}, row{-ETIMEDOUT, -ETIMEDOUT}, row{-EIO, -EIO}, row{7, 7}}) {
		fake.read_result = r.platform;
		EXPECT_EQ(vorn_read(dev.get(), buf, sizeof(buf), 123), r.expected) << r.platform;
		EXPECT_EQ(fake.last_read_timeout, 123u);
	}
	for (int w : {0, 12, -EIO, -ETIMEDOUT}) {
		fake.write_result = w;
		EXPECT_EQ(vorn_write(dev.get(), "hello world!", 12, 50), w);
		EXPECT_EQ(fake.last_write_len, 12u);
	}
	// The chunk size means nothing to a port.
	vorn_set_out_chunk_size(dev.get(), 4096);
}

TEST_F(qud, close_releases_the_port_once)
{
	fake.ports = {port_named("COM5")};
	dev_ptr dev;
	std::string err;
	ASSERT_EQ(open_with(nullptr, dev, err), 0);
	EXPECT_EQ(fake.handles_live, 1);
	vorn_close(dev.get());
	vorn_close(dev.get());
	EXPECT_EQ(fake.closes, 1);
	EXPECT_EQ(fake.handles_live, 0);
	char c;
	EXPECT_EQ(vorn_read(dev.get(), &c, 1, 10), -EIO);
	EXPECT_EQ(vorn_write(dev.get(), "x", 1, 10), -EIO);

	// Opening again works, and an open record freed without a close does
	// not leave its port open.
	ASSERT_EQ(vorn_open(dev.get(), nullptr), 0);
	ASSERT_EQ(vorn_open(dev.get(), "COM9"), 0);
	EXPECT_EQ(fake.handles_live, 1) << "a second open leaked the first port";
	dev.reset();
	EXPECT_EQ(fake.handles_live, 0);
}

} // namespace
