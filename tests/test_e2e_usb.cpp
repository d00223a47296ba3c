// End-to-end: the unmodified duruvev binary against emulated EDL devices that
// umockdev puts under the real libusb (and a USB serial port found through
// sysfs), served by duruvev-emu-usb.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <iostream>
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <map>
#include <dirent.h>
#include <sstream>
#include <string>
#include <set>
#include <sys/stat.h>
#include <thread>
#include <vector>

#include "edl_model.h"
#include "run_program.h"
#include "test_support.h"
#include "umockdev/usb_scenarios.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

std::string slurp(const std::string &path, bool *exists = nullptr)
{
	std::ifstream f(path, std::ios::binary);
	if (exists)
		*exists = static_cast<bool>(f);
	return std::string(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

bool file_exists(const std::string &path)
{
	struct stat st;
	return stat(path.c_str(), &st) == 0;
}

size_t count_of(const std::string &text, const std::string &what)
{
	size_t n = 0;
	for (size_t pos = text.find(what); pos != std::string::npos; pos = text.find(what, pos + 1))
		n++;
	return n;
}

// The bytes a region file must hold: what the device has at that address.
std::string region_bytes(const emu_model &m, const emu_region &r)
{
	std::string s(r.length, '\0');
	if (r.length) {
		EXPECT_TRUE(m.memory(r.addr, reinterpret_cast<uint8_t *>(s.data()), r.length));
	}
	return s;
}

class E2eUsb : public ::testing::Test {
protected:
	void SetUp() override
	{
		char tmpl[] = "/tmp/duruvev-e2e-usb-XXXXXX";
		ASSERT_NE(mkdtemp(tmpl), nullptr);
		dir = tmpl;
		out_dir = dir + "/out";
	}
	void TearDown() override
	{
		std::string cmd = "rm -rf '" + dir + "'";
		EXPECT_EQ(system(cmd.c_str()), 0);
	}

	// Runs the tool under the emulator. emu_timeout ends the tool when it
	// is expected to wait forever; the outer limit catches a hung
	// emulator.
	program_result run(const std::vector<std::string> &emu_args, const std::vector<std::string> &tool_args,
			   double emu_timeout = 60)
	{
		std::vector<std::string> argv = {DURUVEV_EMU_USB_BIN, "--report", dir + "/report",
						  "--log", dir + "/log", "--timeout", std::to_string(emu_timeout)};
		argv.insert(argv.end(), emu_args.begin(), emu_args.end());
		argv.push_back("--");
		argv.push_back(DURUVEV_BIN);
		argv.push_back("-o");
		argv.push_back(out_dir);
		argv.insert(argv.end(), tool_args.begin(), tool_args.end());
		program_result r = run_program(argv, emu_timeout + 60, {"TMPDIR=" + dir});
		report = slurp(dir + "/report");
		log = slurp(dir + "/log");
		EXPECT_FALSE(r.timed_out) << "emulator hung";
		return r;
	}

	// The same, left running: signals sent to it reach the tool.
	std::unique_ptr<background> start(const std::vector<std::string> &emu_args,
					  const std::vector<std::string> &tool_args, double emu_timeout)
	{
		std::vector<std::string> argv = {DURUVEV_EMU_USB_BIN, "--report", dir + "/report", "--log",
						  dir + "/log", "--timeout", std::to_string(emu_timeout)};
		argv.insert(argv.end(), emu_args.begin(), emu_args.end());
		argv.insert(argv.end(), {"--", DURUVEV_BIN, "-o", out_dir});
		argv.insert(argv.end(), tool_args.begin(), tool_args.end());
		return std::make_unique<background>(argv, dir + "/tool.out", dir + "/tool.err");
	}

	// Every region of the scenario whose name is listed has a file with
	// exactly the device's bytes; every other region has none.
	void expect_regions(const std::vector<std::string> &names, const std::string &unchecked = "")
	{
		emu_config cfg;
		ASSERT_TRUE(emu_usb_scenario("default", cfg));
		emu_model m(cfg);
		for (const auto &r : cfg.regions) {
			if (r.region == unchecked)
				continue;
			bool wanted = std::find(names.begin(), names.end(), r.region) != names.end();
			bool exists = false;
			std::string got = slurp(out_dir + "/" + r.filename, &exists);
			EXPECT_EQ(exists, wanted) << r.filename;
			if (wanted && exists) {
				EXPECT_EQ(got.size(), r.length) << r.filename;
				EXPECT_TRUE(got == region_bytes(m, r)) << r.filename << " differs from the device";
			}
		}
	}

	// minidump.elf of the default scenario: the header region, the
	// vmcoreinfo region and the two loadable segments, back to back.
	void expect_minidump()
	{
		emu_config cfg;
		ASSERT_TRUE(emu_usb_scenario("default", cfg));
		emu_model m(cfg);
		std::string want;
		for (const char *name : {"md_KELF_HEADER", "md_KVMCORE", "md_KTEXT", "md_KDATA"})
			for (const auto &r : cfg.regions)
				if (r.region == name)
					want += region_bytes(m, r);
		bool exists = false;
		std::string got = slurp(out_dir + "/minidump.elf", &exists);
		ASSERT_TRUE(exists);
		EXPECT_EQ(got.size(), want.size());
		EXPECT_TRUE(got == want) << "minidump.elf is not the expected concatenation";
	}

	std::string dir, out_dir, report, log;
};

const std::vector<std::string> all_regions = {"md_KELF_HEADER", "md_KVMCORE", "md_KTEXT",
					      "md_KDATA", "OCIMEM",	"CODERAM"};

TEST_F(E2eUsb, DumpOverUsbWritesTheDeviceBytesAndTheCoreFile)
{
	program_result r = run({"--device", "serial=ABC123"}, {});
	EXPECT_EQ(r.exit_code, 0) << r.out << r.err;
	EXPECT_NE(r.out.find("Collecting crash dump from device (PID 0x900e, serial: ABC123)\n"), std::string::npos)
		<< r.out;
	EXPECT_EQ(count_of(r.out, "Waiting for EDL device"), 0u);
	expect_regions(all_regions);
	expect_minidump();
	EXPECT_NE(report.find("resets=1 finished=1"), std::string::npos) << report;
	EXPECT_NE(report.find("errors=0"), std::string::npos) << report;
	// The region block of 512 KiB filled its read exactly: the tool
	// consumed the zero-length packet that ended it.
	EXPECT_NE(log.find("IN 524288\n001/002 IN 0\n"), std::string::npos) << log;
}

TEST_F(E2eUsb, FilterAdmitsOnlyMatchingRegions)
{
	program_result r = run({"--device", "serial=ABC123"}, {"md_K*,CODERAM"});
	EXPECT_EQ(r.exit_code, 0) << r.out << r.err;
	expect_regions({"md_KELF_HEADER", "md_KVMCORE", "md_KTEXT", "md_KDATA", "CODERAM"});
	expect_minidump();
}

TEST_F(E2eUsb, FilterWithoutTheHeaderRegionMakesNoCoreFile)
{
	program_result r = run({"--device", "serial=ABC123"}, {"OCIMEM"});
	EXPECT_EQ(r.exit_code, 0) << r.out << r.err;
	expect_regions({"OCIMEM"});
	EXPECT_FALSE(file_exists(out_dir + "/minidump.elf"));
}

// Which device is taken, and what is said while none is.
struct pick_case {
	const char *name;
	std::vector<std::string> emu_args;
	std::vector<std::string> tool_args;
	const char *taken;     // serial of the device that must be dumped; null: none
	const char *said_once; // stdout line that must appear exactly once
	const char *err_has;   // text standard error must hold, or null
};

class E2eUsbPick : public E2eUsb, public ::testing::WithParamInterface<pick_case> {};

TEST_P(E2eUsbPick, TakesTheRightDevice)
{
	const pick_case &c = GetParam();
	// A run that must not bind anything is ended by the emulator.
	program_result r = run(c.emu_args, c.tool_args, c.taken ? 60 : 2);
	if (c.taken) {
		EXPECT_EQ(r.exit_code, 0) << r.out << r.err;
		if (*c.taken) {
			EXPECT_NE(r.out.find(std::string("serial: ") + c.taken + ")\n"), std::string::npos) << r.out;
		}
		expect_regions(all_regions);
	} else {
		EXPECT_EQ(r.exit_code, 124) << "the tool bound a device it must not take\n" << r.out << r.err;
		EXPECT_FALSE(file_exists(out_dir + "/OCIMEM.BIN"));
	}
	if (c.said_once) {
		EXPECT_EQ(count_of(r.out, c.said_once), 1u) << r.out;
	}
	if (c.err_has) {
		EXPECT_NE(r.err.find(c.err_has), std::string::npos) << r.err;
	}
}

INSTANTIATE_TEST_SUITE_P(
	Cases, E2eUsbPick,
	::testing::Values(
		pick_case{"ExactSerial", {"--device", "serial=ABC123"}, {"-S", "ABC123"}, "ABC123", nullptr, nullptr},
		pick_case{"SerialIsCaseSensitiveOnUsb",
			  {"--device", "serial=ABC123"},
			  {"-S", "abc123"},
			  nullptr,
			  "1 EDL device(s) visible, none match serial \"abc123\"\n",
			  nullptr},
		pick_case{"SerialPrefixIsNotAMatchOnUsb",
			  {"--device", "serial=ABC123"},
			  {"-S", "ABC12"},
			  nullptr,
			  "1 EDL device(s) visible, none match serial \"ABC12\"\n",
			  nullptr},
		// libusb lists the later-added device first.
		pick_case{"SecondOfTwoBySerial",
			  {"--device", "serial=AAA111", "--device", "serial=BBB222"},
			  {"-S", "AAA111"},
			  "AAA111",
			  nullptr,
			  nullptr},
		pick_case{"FirstOfTwoBySerial",
			  {"--device", "serial=AAA111", "--device", "serial=BBB222"},
			  {"-S", "BBB222"},
			  "BBB222",
			  nullptr,
			  nullptr},
		pick_case{"BusyDeviceIsSkippedForTheNext",
			  {"--device", "serial=FREE01", "--device", "serial=BUSY01,busy"},
			  {},
			  "FREE01",
			  nullptr,
			  "failed to claim USB interface"},
		pick_case{"OnlyBusyDeviceKeepsWaiting",
			  {"--device", "serial=BUSY01,busy"},
			  {},
			  nullptr,
			  "1 EDL device(s) visible, none could be opened\n",
			  "failed to claim USB interface"},
		pick_case{"InterfaceWithoutBulkInIsSkipped",
			  {"--device", "serial=TWOIF1,bad-first-interface"},
			  {},
			  "TWOIF1",
			  nullptr,
			  nullptr},
		pick_case{"NotEdlProductIdIsIgnored",
			  {"--device", "serial=OTHER1,pid=9009"},
			  {},
			  nullptr,
			  "Waiting for EDL device\n",
			  nullptr},
		pick_case{"PluggedInLater",
			  {"--device", "serial=LATE01,later=800"},
			  {},
			  "LATE01",
			  "Waiting for EDL device\n",
			  nullptr},
		// Through the serial port: no USB EDL device exists, the port
		// is found below its USB parent and its serial number matches
		// without regard to case.
		pick_case{"ComPortWhenNoUsbDevice", {"--tty", "serial=AbC123"}, {}, "", nullptr, nullptr},
		pick_case{"ComPortSerialIgnoresCase", {"--tty", "serial=AbC123"}, {"-S", "abc123"}, "", nullptr, nullptr},
		pick_case{"ComPortOtherSerialIsNotTaken",
			  {"--tty", "serial=AbC123"},
			  {"-S", "XYZ"},
			  nullptr,
			  "1 EDL device(s) visible, none match serial \"XYZ\"\n",
			  "qud: no Qualcomm device matching serial \"XYZ\""},
		pick_case{"ComPortNamedDirectly", {"--tty", "serial=AbC123,name=ttyUSB5"}, {"-S", "/dev/ttyUSB5"}, "",
			  nullptr, nullptr}),
	[](const auto &tp) { return std::string(tp.param.name); });

// A device that another program holds, over a dozen passes of the waiting
// loop: its warning, and what helps, are said once, not on every pass.
TEST_F(E2eUsb, BusyDeviceIsReportedOnceWhileItStaysBusy)
{
	program_result r = run({"--device", "serial=BUSY01,busy"}, {}, 3);
	EXPECT_EQ(r.exit_code, 124) << r.out << r.err;
	EXPECT_GE(count_of(log, "CLAIM refused"), 4u) << log;
	EXPECT_EQ(count_of(r.err, "failed to claim USB interface: Resource busy\n"), 1u) << r.err;
	EXPECT_EQ(count_of(r.err, "another program holds the device"), 1u) << r.err;
}

// A 32-bit device (MEMORY_DEBUG) over USB: the device's bytes, the ELF32
// core, one RESET, and no request of the 64-bit width.
TEST_F(E2eUsb, Crash32DeviceOverUsb)
{
	program_result r = run({"--scenario", "crash32", "--device", "serial=ARM32"}, {});
	EXPECT_EQ(r.exit_code, 0) << r.out << r.err;
	emu_config cfg;
	ASSERT_TRUE(emu_usb_scenario("crash32", cfg));
	emu_model m(cfg);
	for (const emu_expected_file &f : emu_expected_regions(m)) {
		bool exists = false;
		std::string got = slurp(out_dir + "/" + f.name, &exists);
		EXPECT_TRUE(exists) << f.name;
		EXPECT_TRUE(got == std::string(f.bytes.begin(), f.bytes.end())) << f.name << " differs from the device";
	}
	std::vector<uint8_t> core = emu_expected_minidump(m);
	EXPECT_TRUE(slurp(out_dir + "/minidump.elf") == std::string(core.begin(), core.end()));
	EXPECT_NE(report.find("resets=1 finished=1"), std::string::npos) << report;
	EXPECT_NE(report.find("errors=0"), std::string::npos) << report;
}

TEST_F(E2eUsb, UnpluggedInTheMiddleOfARegionKeepsWhatWasWritten)
{
	// 300000 bytes of region data: the first four regions (277 KiB) and
	// part of OCIMEM arrive, then the device is gone.
	program_result r = run({"--device", "serial=ABC123,unplug-after=300000"}, {}, 60);
	EXPECT_EQ(r.exit_code, 1) << r.out << r.err;
	EXPECT_NE(r.err.find("failed to read duruvev chunk"), std::string::npos) << r.err;
	expect_regions({"md_KELF_HEADER", "md_KVMCORE", "md_KTEXT", "md_KDATA"}, "OCIMEM");
	// The region in progress holds exactly the bytes that arrived.
	emu_config cfg;
	ASSERT_TRUE(emu_usb_scenario("default", cfg));
	emu_model m(cfg);
	const emu_region &ocimem = cfg.regions[4];
	ASSERT_EQ(ocimem.region, "OCIMEM");
	std::string got = slurp(out_dir + "/OCIMEM.BIN");
	EXPECT_EQ(got.size(), 300000u - 275445u);
	EXPECT_TRUE(region_bytes(m, ocimem).compare(0, got.size(), got) == 0);
	EXPECT_FALSE(file_exists(out_dir + "/CODERAM.BIN"));
	EXPECT_NE(report.find("unplugged=1"), std::string::npos) << report;
}

// Reads: 0 the table, 1 md_KELF_HEADER, 2 md_KVMCORE, 3 md_KTEXT, 4 md_KDATA,
// 5 OCIMEM's first block (whole packets: a zero-length packet ends it, and
// the surplus follows that), 6 its last byte, 7 CODERAM.
TEST_F(E2eUsb, SurplusTransfersAfterABlockAreDroppedNotSaved)
{
	program_result r = run({"--device", "serial=ABC123,surplus=5:2:4096"}, {});
	EXPECT_EQ(r.exit_code, 0) << r.out << r.err;
	expect_regions(all_regions);
	expect_minidump();
	EXPECT_EQ(count_of(r.err, "device sent 8192 bytes more than requested for \"OCIMEM.BIN\"; extra bytes dropped\n"),
		  1u)
		<< r.err;
	EXPECT_NE(report.find("resets=1 finished=1"), std::string::npos) << report;
}

TEST_F(E2eUsb, DeviceThatNeverStopsSendingIsNotReset)
{
	program_result r = run({"--device", "serial=ABC123,surplus=3:forever:4096"}, {});
	EXPECT_EQ(r.exit_code, 1) << r.out << r.err;
	EXPECT_NE(r.err.find("device is still sending after the data of \"md_KTEXT.BIN\""), std::string::npos) << r.err;
	EXPECT_NE(report.find("resets=0"), std::string::npos) << report;
	EXPECT_FALSE(file_exists(out_dir + "/md_KDATA.BIN"));
	EXPECT_FALSE(file_exists(out_dir + "/minidump.elf"));
}

// ---- collection over USB and serial ports ----

struct collect_case {
	const char *name;
	std::vector<std::string> emu_args; // every device here must be dumped
	std::vector<std::string> tool_args;
	size_t devices;
};

class E2eUsbCollect : public E2eUsb, public ::testing::WithParamInterface<collect_case> {};

std::vector<std::string> lines_of(const std::string &text)
{
	std::vector<std::string> lines;
	std::istringstream in(text);
	for (std::string l; std::getline(in, l);)
		lines.push_back(l);
	return lines;
}

// Every device of the set is dumped whole into a directory of its own and
// reset once; collection then keeps watching (a second dump of a device
// left alone after its reset would show as a second reset), and nothing it
// says is said again on each scan.
TEST_P(E2eUsbCollect, EveryDeviceIsDumpedAndResetOnce)
{
	const collect_case &c = GetParam();
	std::vector<std::string> emu = c.emu_args;
	emu.insert(emu.end(), {"--term-after-reset", "1500"});
	std::vector<std::string> tool = {"--collect"};
	tool.insert(tool.end(), c.tool_args.begin(), c.tool_args.end());
	program_result r = run(emu, tool, 90);
	EXPECT_EQ(r.exit_code, 0) << r.out << r.err;

	size_t device_lines = 0;
	for (const std::string &l : lines_of(report)) {
		if (l.rfind("usb ", 0) != 0 && l.rfind("tty ", 0) != 0)
			continue;
		device_lines++;
		EXPECT_NE(l.find("resets=1 finished=1"), std::string::npos) << l;
		EXPECT_NE(l.find("errors=0"), std::string::npos) << l;
	}
	EXPECT_EQ(device_lines, c.devices) << report;

	emu_config cfg;
	ASSERT_TRUE(emu_usb_scenario("default", cfg));
	emu_model m(cfg);
	size_t dirs = 0;
	DIR *d = opendir(out_dir.c_str());
	ASSERT_NE(d, nullptr);
	while (dirent *e = readdir(d)) {
		if (e->d_name[0] == '.')
			continue;
		dirs++;
		std::string sub = out_dir + "/" + e->d_name;
		SCOPED_TRACE(sub);
		EXPECT_TRUE(file_exists(sub + "/SHA256SUMS"));
		for (const emu_expected_file &f : emu_expected_regions(m))
			EXPECT_TRUE(slurp(sub + "/" + f.name) == std::string(f.bytes.begin(), f.bytes.end())) << f.name;
	}
	closedir(d);
	EXPECT_EQ(dirs, c.devices);

	// Two devices may share a label, and so a line; no more.
	std::map<std::string, size_t> seen;
	for (const std::string &l : lines_of(r.out + r.err))
		seen[l]++;
	for (const auto &[line, n] : seen)
		EXPECT_LE(n, 2u) << "said " << n << " times: " << line;
}

std::vector<std::string> many_ports(int n)
{
	std::vector<std::string> args;
	for (int i = 0; i < n; i++)
		args.insert(args.end(), {"--tty", "serial=PORT" + std::to_string(i)});
	return args;
}

INSTANTIATE_TEST_SUITE_P(
	Devices, E2eUsbCollect,
	::testing::Values(
		collect_case{"TwoUsbDevicesAtOnce", {"--device", "serial=AAA111", "--device", "serial=BBB222"}, {}, 2},
		collect_case{"UsbDeviceAndSerialPort", {"--device", "serial=AAA111", "--tty", "serial=TTY222"}, {}, 2},
		collect_case{"LongSerial", {"--device", "serial=" + std::string(40, 'L')}, {}, 1},
		collect_case{"NoSerialNumber", {"--device", "product=QUSB__BULK", "--device", "serial=(none)"}, {}, 2},
		collect_case{"EqualSerials", {"--device", "serial=TWIN01", "--device", "serial=TWIN01"}, {}, 2},
		collect_case{"SerialOfOtherCase",
			     {"--device", "serial=AbC123", "--tty", "serial=dEf456"},
			     {"-S", "abc123", "-S", "DEF456"},
			     2},
		collect_case{"EighteenPorts", many_ports(18), {}, 18}),
	[](const auto &tp) { return std::string(tp.param.name); });

// A hand-off command is told which device a dump is of: a USB device's
// serial number, or its bus path when it has none, never only where it sat.
TEST_F(E2eUsb, HandOffIsToldTheUsbDeviceBySerial)
{
	std::string told = dir + "/told";
	program_result r = run({"--device", "serial=AAA111", "--device", "product=QUSB__BULK", "--term-after-reset", "1500"},
			       {"--collect", "--then", "echo \"$DURUVEV_DEVICE\" >> '" + told + "'; true"}, 90);
	EXPECT_EQ(r.exit_code, 0) << r.out << r.err;
	std::vector<std::string> lines = lines_of(slurp(told));
	ASSERT_EQ(lines.size(), 2u) << slurp(told) << r.out << r.err;
	// The order is the hand-offs'; the serial number first.
	if (lines[1] == "AAA111")
		std::swap(lines[0], lines[1]);
	EXPECT_EQ(lines[0], "AAA111");
	// The one without a serial number is named by its bus path, as its
	// directory is.
	bool named = false;
	DIR *d = opendir(out_dir.c_str());
	ASSERT_NE(d, nullptr);
	while (dirent *e = readdir(d))
		named = named || std::string(e->d_name).rfind("usb-" + lines[1] + "-", 0) == 0;
	closedir(d);
	EXPECT_TRUE(named) << lines[1];
}

// The one field of a device's report line.
std::string report_field(const std::string &line, const std::string &key)
{
	size_t at = line.find(" " + key + "=");
	if (at == std::string::npos)
		return "";
	at += key.size() + 2;
	return line.substr(at, line.find(' ', at) - at);
}

// A device that says nothing, or stops saying anything inside a region: its
// dump is tried once, not again on every scan, and it is not reset. A
// SIGTERM ends collection at once, even while a dump waits for region data
// that may take up to half a minute to come.
struct silent_case {
	const char *name;
	std::string device;
	const char *before_term; // what the tool has said when SIGTERM is sent
	const char *result;	 // how its dump ends
	const char *said_once;	 // on standard error
	int exit_code;
};

// A failing row is named, not dumped as bytes.
void PrintTo(const silent_case &c, std::ostream *os)
{
	*os << c.name;
}

class E2eUsbCollectSilent : public E2eUsb, public ::testing::WithParamInterface<silent_case> {};

// Collection may take this long to end after a SIGTERM: the second a dump
// may need to see the stop, with room for a loaded machine.
constexpr auto stop_bound = 2500ms;

TEST_P(E2eUsbCollectSilent, TriedOnceAndStoppedAtOnce)
{
	const silent_case &c = GetParam();
	auto emu = start({"--device", c.device}, {"--collect"}, 60);
	ASSERT_TRUE(wait_for([&] { return emu->out().find(c.before_term) != std::string::npos; }, 20s))
		<< emu->out() << emu->err();
	// Past the engine's one-second waits and several scans: what is said
	// or tried on every scan would show now.
	std::this_thread::sleep_for(1500ms);

	auto asked = std::chrono::steady_clock::now();
	emu->signal(SIGTERM);
	int code = emu->wait(60s);
	auto took = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - asked);
	std::string out = emu->out(), err = emu->err();
	report = slurp(dir + "/report");
	std::cout << "[ measured ] collection ended " << took.count() << " ms after SIGTERM\n";
	EXPECT_LT(took, stop_bound) << out << err;
	EXPECT_EQ(code, c.exit_code) << out << err;

	EXPECT_EQ(count_of(out, "Collecting crash dump from device"), 1u) << out;
	EXPECT_EQ(count_of(out, std::string(": ") + c.result + ", "), 1u) << out;
	EXPECT_EQ(count_of(err, c.said_once), 1u) << err;
	std::string line = lines_of(report).empty() ? "" : lines_of(report)[0];
	EXPECT_EQ(report_field(line, "claims"), "1") << report;
	EXPECT_EQ(report_field(line, "resets"), "0") << report;
	EXPECT_EQ(report_field(line, "errors"), "0") << report;
}

INSTANTIATE_TEST_SUITE_P(
	Devices, E2eUsbCollectSilent,
	::testing::Values(silent_case{"SilentFromTheStart", "serial=MUTE01,silent", "no dump directory made", "failed",
				      "failed to read sahara request from device\n", 0},
			  // HELLO, the table's size, the table, two regions; then
			  // nothing while md_KTEXT is read.
			  silent_case{"FallsSilentInARegion", "serial=MUTE02,silent-after=5",
				      "md_KVMCORE.BIN dumped successfully", "stopped",
				      "stopped in \"md_KTEXT.BIN\" after 0 of 196608 bytes\n", 2}),
	[](const auto &tp) { return std::string(tp.param.name); });

// Every file below dir, by name relative to it, with its bytes.
std::map<std::string, std::string> tree_of(const std::string &dir)
{
	std::map<std::string, std::string> t;
	for (const auto &e : fs::recursive_directory_iterator(dir))
		t[fs::relative(e.path(), dir).string()] = e.is_regular_file() ? slurp(e.path().string()) : "<dir>";
	return t;
}

// A device unplugged in the middle of its dump comes back at the same place
// with the same crash: the dump goes on in its directory, reading only the
// regions not yet whole (and samples of those kept), and ends as a clean dump
// of the device does. It may be away long enough for a scan to see it gone,
// or come back, under a new address, before any scan could. Another device of
// the model, with the same table and memory but another serial number, put
// in its place is dumped whole into a new directory.
struct replug_case {
	const char *name;
	const char *back_after_ms;
	const char *other_serial = nullptr; // what comes back is another device
};

void PrintTo(const replug_case &c, std::ostream *os)
{
	*os << c.name;
}

class E2eUsbCollectReplug : public E2eUsb, public ::testing::WithParamInterface<replug_case> {};

TEST_P(E2eUsbCollectReplug, CutDumpIsContinuedWhenTheDeviceComesBack)
{
	const uint64_t cut_at = 300000;
	const char *other = GetParam().other_serial;
	program_result r = run({"--device",
				"serial=CUT001,unplug-after=" + std::to_string(cut_at) + ",replug-after=" +
					GetParam().back_after_ms + (other ? std::string(",replug-serial=") + other : ""),
				"--term-after-reset", "1500"},
			       {"--collect"}, 30);
	EXPECT_EQ(r.exit_code, 0) << r.out << r.err;

	emu_config cfg;
	ASSERT_TRUE(emu_usb_scenario("default", cfg));
	uint64_t end = 0, missing = 0;
	for (const emu_region &reg : cfg.regions) {
		end += reg.length;
		if (end > cut_at)
			missing += reg.length;
	}
	ASSERT_GT(missing, 0u);
	std::string line = lines_of(report).empty() ? "" : lines_of(report)[0];
	EXPECT_EQ(report_field(line, "replugs"), "1") << report;
	EXPECT_EQ(report_field(line, "earlier_data_bytes"), std::to_string(cut_at)) << report;
	// Read again: what was missing, and samples of what was kept, at most
	// 2 % of the dump; all of it for another device.
	uint64_t read_again = std::stoull("0" + report_field(line, "data_bytes"));
	if (other) {
		EXPECT_EQ(read_again, end) << report;
	} else {
		EXPECT_GE(read_again, missing) << report;
		EXPECT_LE(read_again - missing, end / 50) << report;
	}
	EXPECT_EQ(report_field(line, "earlier_resets"), "0") << report;
	EXPECT_EQ(report_field(line, "resets"), "1") << report;
	EXPECT_EQ(report_field(line, "errors"), "0") << report;
	EXPECT_EQ(report_field(line, "earlier_errors"), "0") << report;

	std::vector<std::string> dumps;
	for (const auto &e : fs::directory_iterator(out_dir))
		if (!other || e.path().filename().string().rfind(other, 0) == 0)
			dumps.push_back(e.path().string());
	ASSERT_EQ(dumps.size(), 1u) << r.out << r.err;
	EXPECT_TRUE(sums_verify(dumps[0]));
	std::map<std::string, std::string> continued = tree_of(dumps[0]);
	if (other) {
		// The first device's dump stays cut short, in a directory of its own.
		size_t all = std::distance(fs::directory_iterator(out_dir), fs::directory_iterator());
		EXPECT_EQ(all, 2u) << r.out << r.err;
		for (const auto &e : fs::directory_iterator(out_dir))
			EXPECT_TRUE(e.path().string() == dumps[0] || fs::exists(e.path() / ".duruvev-resume")) << e.path();
	}

	out_dir = dir + "/clean";
	program_result clean = run({"--device", "serial=CUT001"}, {});
	ASSERT_EQ(clean.exit_code, 0) << clean.out << clean.err;
	std::map<std::string, std::string> want = tree_of(out_dir);
	EXPECT_TRUE(want.count("OCIMEM.BIN"));
	std::set<std::string> names_got, names_want;
	for (const auto &[name, bytes] : continued) {
		names_got.insert(name);
		EXPECT_TRUE(want.count(name) && want[name] == bytes) << name << " differs from a clean dump's";
	}
	for (const auto &f : want)
		names_want.insert(f.first);
	EXPECT_EQ(names_got, names_want);
}

INSTANTIATE_TEST_SUITE_P(Devices, E2eUsbCollectReplug,
			 ::testing::Values(replug_case{"AwayForSomeScans", "1500"}, replug_case{"BackAtOnce", "0"},
					   replug_case{"AnotherSerialInItsPlace", "1500", "OTHER2"}),
			 [](const auto &tp) { return std::string(tp.param.name); });

} // namespace
