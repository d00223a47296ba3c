// The simulated Firehose device, driven through the device layer with real
// Firehose XML documents.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "sim.h"
#include "ux.h"
#include "vorn.h"

using testing::internal::CaptureStderr;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStderr;
using testing::internal::GetCapturedStdout;

namespace {

const std::string ack =
	"<?xml version=\"1.0\" encoding=\"UTF-8\" ?><data><response value=\"ACK\" rawmode=\"false\" /></data>";
const std::string raw_ack =
	"<?xml version=\"1.0\" encoding=\"UTF-8\" ?><data><response value=\"ACK\" rawmode=\"true\" /></data>";
const std::string configure_resp =
	"<?xml version=\"1.0\" encoding=\"UTF-8\" ?><data><response value=\"ACK\" MemoryName=\"ufs\" "
	"MinVersionSupported=\"1\" Version=\"1\" MaxPayloadSizeToTargetInBytes=\"1048576\" "
	"MaxPayloadSizeToTargetInBytesSupported=\"1048576\" MaxXMLSizeInBytes=\"4096\" /></data>";

std::string handler_log(const std::string &name)
{
	return "<?xml version=\"1.0\" encoding=\"UTF-8\" ?><data><log value=\"INFO: Calling handler for " + name +
	       "\" /></data>";
}

std::string command(const std::string &body)
{
	return "<?xml version=\"1.0\" encoding=\"UTF-8\" ?><data>" + body + "</data>";
}

class SimTest : public testing::Test {
protected:
	vorn_device *dev = nullptr;

	void SetUp() override
	{
		dev = vorn_init(VORN_DEVICE_SIM);
		ASSERT_NE(dev, nullptr);
	}
	void TearDown() override { vorn_deinit(dev); }

	vorn_device_sim *sim() { return static_cast<vorn_device_sim *>(dev); }

	int send(const std::string &s) { return vorn_write(dev, s.data(), s.size(), 1000); }

	// Every response waiting, in order, until the device has nothing left.
	std::vector<std::string> responses(int *last = nullptr)
	{
		std::vector<std::string> out;
		char buf[512];
		for (;;) {
			int n = vorn_read(dev, buf, sizeof(buf), 1000);
			if (n <= 0) {
				if (last)
					*last = n;
				return out;
			}
			out.emplace_back(buf, static_cast<size_t>(n));
		}
	}

	// The next count responses, and no more (raw data may follow them).
	std::vector<std::string> take(int count)
	{
		std::vector<std::string> out;
		char buf[512];
		for (int i = 0; i < count; i++) {
			int n = vorn_read(dev, buf, sizeof(buf), 1000);
			if (n <= 0)
				break;
			out.emplace_back(buf, static_cast<size_t>(n));
		}
		return out;
	}
};

TEST_F(SimTest, FreshDevice)
{
	EXPECT_EQ(dev->dev_type, VORN_DEVICE_SIM);
	EXPECT_EQ(dev->max_payload_size, 1048576u);
	EXPECT_EQ(dev->sector_size, 4096u);
	EXPECT_EQ(dev->vip_data.state, VIP_DISABLED);
	EXPECT_FALSE(dev->vip_data.sending_table);

	CaptureStdout();
	EXPECT_EQ(vorn_open(dev, "ignored"), 0);
	EXPECT_EQ(GetCapturedStdout(),
		  "This is a dry-run execution of VORN. No actual flashing has been performed\n");
	char buf[16];
	EXPECT_EQ(vorn_read(dev, buf, sizeof(buf), 10), -ETIMEDOUT);
	vorn_close(dev);
}

TEST_F(SimTest, CommandsAndTheirResponses)
{
	const std::vector<std::pair<std::string, std::vector<std::string>>> cases = {
		{"<configure MemoryName=\"ufs\" />", {handler_log("configure"), configure_resp}},
		{"<erase physical_partition_number=\"0\" />", {handler_log("erase"), ack}},
		{"<patch />", {handler_log("patch"), ack}},
		{"<setbootablestoragedrive value=\"1\" />", {handler_log("setbootablestoragedrive"), ack}},
		{"<ufs bNumberLU=\"8\" />", {handler_log("ufs"), ack}},
		{"<nop />", {ack}},
		{"<Configure />", {ack}},
		{"<!-- comment -->text<erase /><program num_partition_sectors=\"1\" />", {handler_log("erase"), ack}},
		{"<read num_partition_sectors=\"0\" />", {handler_log("read"), raw_ack}},
		{"<program num_partition_sectors=\"0\" />", {handler_log("program"), raw_ack}},
	};
	for (const auto &[body, want] : cases) {
		SCOPED_TRACE(body);
		vorn_device *d = vorn_init(VORN_DEVICE_SIM);
		ASSERT_NE(d, nullptr);
		std::string doc = command(body);
		ASSERT_EQ(vorn_write(d, doc.data(), doc.size(), 100), static_cast<int>(doc.size()));
		std::vector<std::string> got;
		char buf[512];
		int n;
		while ((n = vorn_read(d, buf, sizeof(buf), 100)) > 0)
			got.emplace_back(buf, static_cast<size_t>(n));
		EXPECT_EQ(got, want);
		vorn_deinit(d);
	}
	// The canned texts have the lengths hosts size their buffers for.
	EXPECT_EQ(ack.size(), 92u);
	EXPECT_EQ(raw_ack.size(), 91u);
	EXPECT_EQ(configure_resp.size(), 243u);
	EXPECT_EQ(handler_log("setbootablestoragedrive").size(), 117u);
}

TEST_F(SimTest, DocumentsWithoutACommandQueueNothing)
{
	const char *docs[] = {
		"<?xml version=\"1.0\" ?><config><erase /></config>",
		"<?xml version=\"1.0\" ?><data>only text<!-- and a comment --></data>",
		"<?xml version=\"1.0\" ?><data/>",
		"not xml at all",
		"<?xml version=\"1.0\" ?><data><erase></data>",
		"",
	};
	// With libxml2's reports routed to the console as in a real run: a bad
	// document is still silent.
	ux_init();
	for (const char *doc : docs) {
		SCOPED_TRACE(doc);
		CaptureStderr();
		EXPECT_EQ(vorn_write(dev, doc, strlen(doc), 100), static_cast<int>(strlen(doc)));
		int last = 0;
		EXPECT_TRUE(responses(&last).empty());
		EXPECT_EQ(last, -ETIMEDOUT);
		EXPECT_EQ(GetCapturedStderr(), "");
	}
	// Binary junk too.
	std::vector<uint8_t> junk(4096);
	for (size_t i = 0; i < junk.size(); i++)
		junk[i] = static_cast<uint8_t>(i * 7 + 3);
	EXPECT_EQ(vorn_write(dev, junk.data(), junk.size(), 100), 4096);
	EXPECT_TRUE(responses().empty());
	// And the device still answers a real command afterwards.
	send(command("<nop />"));
	EXPECT_EQ(responses(), std::vector<std::string>{ack});
}

TEST_F(SimTest, ProgramSwallowsAnnouncedDataInAnyPieces)
{
	ASSERT_GT(send(command("<program SECTOR_SIZE_IN_BYTES=\"512\" num_partition_sectors=\"2\" "
			       "physical_partition_number=\"0\" start_sector=\"0\" />")),
		  0);
	EXPECT_EQ(responses(), (std::vector<std::string>{handler_log("program"), raw_ack}));

	// Raw data is never parsed, even when it looks like a command.
	std::string raw = command("<power value=\"reset\" />");
	raw.resize(1024, 'x');
	for (auto [off, len] : {std::pair<size_t, size_t>{0, 300}, {300, 1}, {301, 500}}) {
		EXPECT_EQ(vorn_write(dev, raw.data() + off, len, 100), static_cast<int>(len));
		int last = 0;
		EXPECT_TRUE(responses(&last).empty());
		EXPECT_EQ(last, -ETIMEDOUT);
	}
	EXPECT_EQ(sim()->raw_remaining, 223u);
	EXPECT_EQ(vorn_write(dev, raw.data() + 801, 223, 100), 223);
	int last = 0;
	EXPECT_EQ(responses(&last), std::vector<std::string>{ack});
	EXPECT_EQ(last, -ETIMEDOUT); // no power command was seen

	// Back to commands.
	send(command("<erase />"));
	EXPECT_EQ(responses(), (std::vector<std::string>{handler_log("erase"), ack}));
}

TEST_F(SimTest, RawPhaseEndsOnTheWriteThatCompletesIt)
{
	// Zero sectors announced: the next write ends the phase whatever it is.
	send(command("<program SECTOR_SIZE_IN_BYTES=\"512\" />"));
	responses();
	std::string configure = command("<configure />");
	EXPECT_EQ(send(configure), static_cast<int>(configure.size()));
	EXPECT_EQ(responses(), std::vector<std::string>{ack});

	// A write beyond the announced amount: the surplus is no command.
	send(command("<program SECTOR_SIZE_IN_BYTES=\"4\" num_partition_sectors=\"2\" />"));
	responses();
	std::string over = "12345678" + command("<configure />");
	EXPECT_EQ(send(over), static_cast<int>(over.size()));
	EXPECT_EQ(responses(), std::vector<std::string>{ack});
	EXPECT_EQ(sim()->state, SIM_STATE_XML);

	// Both numbers are 32-bit, their product 64-bit.
	send(command("<program SECTOR_SIZE_IN_BYTES=\"4294967296\" num_partition_sectors=\"4294967295\" />"));
	EXPECT_EQ(sim()->raw_remaining, 4294967295ull * 4294967295ull);
}

TEST_F(SimTest, ReadDeliversZerosThenAck)
{
	send(command("<read SECTOR_SIZE_IN_BYTES=\"100\" num_partition_sectors=\"3\" />"));
	EXPECT_EQ(take(2), (std::vector<std::string>{handler_log("read"), raw_ack}));

	std::vector<uint8_t> buf(1000, 0xaa);
	EXPECT_EQ(vorn_read(dev, buf.data(), 120, 100), 120);
	EXPECT_EQ(vorn_read(dev, buf.data() + 120, buf.size() - 120, 100), 180);
	for (size_t i = 0; i < buf.size(); i++)
		ASSERT_EQ(buf[i], i < 300 ? 0 : 0xaa) << i;
	int last = 0;
	EXPECT_EQ(responses(&last), std::vector<std::string>{ack});
	EXPECT_EQ(last, -ETIMEDOUT);

	// Nothing announced: one empty read, then the ACK.
	send(command("<read SECTOR_SIZE_IN_BYTES=\"512\" />"));
	EXPECT_EQ(take(2), (std::vector<std::string>{handler_log("read"), raw_ack}));
	char small[8];
	EXPECT_EQ(vorn_read(dev, small, sizeof(small), 100), 0);
	EXPECT_EQ(responses(), std::vector<std::string>{ack});

	// A new command in the middle of a read replaces it.
	send(command("<read SECTOR_SIZE_IN_BYTES=\"512\" num_partition_sectors=\"4\" />"));
	take(2);
	EXPECT_EQ(vorn_read(dev, buf.data(), 100, 100), 100);
	send(command("<program SECTOR_SIZE_IN_BYTES=\"512\" num_partition_sectors=\"1\" />"));
	EXPECT_EQ(responses(), (std::vector<std::string>{handler_log("program"), raw_ack}));
	EXPECT_EQ(sim()->state, SIM_STATE_RAW_IN);
	EXPECT_EQ(sim()->raw_remaining, 512u);
}

TEST_F(SimTest, PowerMakesAnEmptyQueueAnIoError)
{
	send(command("<power value=\"reset\" />"));
	int last = 0;
	EXPECT_EQ(responses(&last), (std::vector<std::string>{handler_log("power"), ack}));
	EXPECT_EQ(last, -EIO);
	// Later writes are still answered; a bad one still gets nothing.
	send(command("<nop />"));
	EXPECT_EQ(responses(&last), std::vector<std::string>{ack});
	EXPECT_EQ(last, -EIO);
	send("garbage");
	EXPECT_TRUE(responses(&last).empty());
	EXPECT_EQ(last, -EIO);
}

TEST_F(SimTest, ShortReadBufferKeepsTheRestForTheNextRead)
{
	send(command("<configure />"));
	send(command("<nop />"));
	// With a 100-byte buffer the 103-byte handler log comes as 100 + 3
	// and the 243-byte configure response as 100 + 100 + 43: no byte lost,
	// no read mixing two responses.
	std::string got;
	std::vector<int> sizes;
	char buf[100];
	while (got.size() < handler_log("configure").size() + configure_resp.size()) {
		int n = vorn_read(dev, buf, sizeof(buf), 100);
		ASSERT_GT(n, 0);
		sizes.push_back(n);
		got.append(buf, static_cast<size_t>(n));
	}
	EXPECT_EQ(sizes, (std::vector<int>{100, 3, 100, 100, 43}));
	EXPECT_EQ(got, handler_log("configure") + configure_resp);
	EXPECT_EQ(vorn_read(dev, buf, 0, 100), 0);
	EXPECT_EQ(responses(), std::vector<std::string>{ack});
}

TEST_F(SimTest, UnreadResponsesAreReleasedWithTheDevice)
{
	// The sanitizer build's leak checker watches this one.
	for (int i = 0; i < 10; i++)
		send(command("<configure />"));
	char buf[10];
	EXPECT_EQ(vorn_read(dev, buf, sizeof(buf), 100), 10);
}

struct other_device : vorn_device {
	int open(const char *) override { return 0; }
	int read(void *, size_t, unsigned) override { return -ETIMEDOUT; }
	int write(const void *, size_t len, unsigned) override { return static_cast<int>(len); }
	void close() override {}
};

TEST_F(SimTest, DigestGeneratorIsOnlyStoredOnSimulatedDevices)
{
	auto *gen = reinterpret_cast<vip_table_generator *>(0x1234);
	other_device other;
	other.dev_type = VORN_DEVICE_USB;
	EXPECT_FALSE(sim_set_digest_generation(true, &other, gen));
	EXPECT_EQ(sim_get_vip_generator(&other), nullptr);
	// Claiming to be simulated does not make a record one.
	other.dev_type = VORN_DEVICE_SIM;
	EXPECT_FALSE(sim_set_digest_generation(true, &other, gen));
	EXPECT_EQ(sim_get_vip_generator(&other), nullptr);

	EXPECT_TRUE(sim_set_digest_generation(false, dev, gen));
	EXPECT_EQ(sim_get_vip_generator(dev), nullptr);
	EXPECT_TRUE(sim_set_digest_generation(true, dev, gen));
	EXPECT_EQ(sim_get_vip_generator(dev), gen);
	EXPECT_TRUE(sim_set_digest_generation(true, dev, nullptr));
	EXPECT_EQ(sim_get_vip_generator(dev), nullptr);
}

} // namespace
