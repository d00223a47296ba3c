// Pushed-back bytes are served before the transport, first in, first out.
#include <gtest/gtest.h>

#include <cstring>
#include <deque>
#include <string>

#include "vorn.h"

namespace {

// A transport that hands out the bytes of a script, one call at a time, and
// counts how often it was asked.
struct counting_device : vorn_device {
	std::string data = "TRANSPORT";
	int reads = 0;

	int open(const char *) override { return 0; }
	int read(void *buf, size_t len, unsigned) override
	{
		reads++;
		size_t n = std::min(len, data.size());
		memcpy(buf, data.data(), n);
		data.erase(0, n);
		return n ? static_cast<int>(n) : -ETIMEDOUT;
	}
	int write(const void *, size_t len, unsigned) override { return static_cast<int>(len); }
	void close() override {}
};

std::string read_str(vorn_device *dev, size_t len)
{
	std::string buf(len, '\0');
	int n = vorn_read(dev, buf.data(), len, 1000);
	EXPECT_GE(n, 0);
	buf.resize(n < 0 ? 0 : static_cast<size_t>(n));
	return buf;
}

TEST(push_back, served_before_the_transport_without_touching_it)
{
	counting_device dev;
	ASSERT_EQ(vorn_push_back(&dev, "0123456789", 10), 0);

	EXPECT_EQ(read_str(&dev, 4), "0123");
	// A larger read gets only the rest: the transport is not asked to fill it.
	EXPECT_EQ(read_str(&dev, 100), "456789");
	EXPECT_EQ(dev.reads, 0);
	EXPECT_TRUE(dev.pending_buf.empty());
	EXPECT_EQ(dev.pending_off, 0u);

	EXPECT_EQ(read_str(&dev, 100), "TRANSPORT");
	EXPECT_EQ(dev.reads, 1);
}

TEST(push_back, zero_length_read_keeps_the_bytes)
{
	counting_device dev;
	ASSERT_EQ(vorn_push_back(&dev, "abc", 3), 0);
	char c;
	EXPECT_EQ(vorn_read(&dev, &c, 0, 1000), 0);
	EXPECT_EQ(read_str(&dev, 10), "abc");
	EXPECT_EQ(dev.reads, 0);
}

TEST(push_back, later_pushes_queue_behind_unread_bytes)
{
	counting_device dev;
	ASSERT_EQ(vorn_push_back(&dev, "ABCDEFGH", 8), 0);
	EXPECT_EQ(read_str(&dev, 5), "ABCDE");
	ASSERT_EQ(vorn_push_back(&dev, "wxyz", 4), 0);
	// Consumed bytes are reclaimed when new ones are pushed.
	EXPECT_EQ(dev.pending_off, 0u);
	EXPECT_EQ(dev.pending_buf.size(), 7u);
	EXPECT_EQ(read_str(&dev, 100), "FGHwxyz");
}

TEST(push_back, zero_length_push_allocates_nothing)
{
	counting_device dev;
	EXPECT_EQ(vorn_push_back(&dev, "", 0), 0);
	EXPECT_TRUE(dev.pending_buf.empty());
	EXPECT_EQ(read_str(&dev, 100), "TRANSPORT");
}

TEST(device_record, init_and_deinit)
{
	EXPECT_EQ(vorn_init(static_cast<VORN_DEVICE_TYPE>(4)), nullptr);
	vorn_deinit(nullptr);

	// Pending bytes are released with the record (the sanitizer run checks).
	vorn_device *dev = vorn_init(VORN_DEVICE_AUTO);
	ASSERT_NE(dev, nullptr);
	EXPECT_EQ(dev->dev_type, VORN_DEVICE_AUTO);
	EXPECT_EQ(dev->max_payload_size, 1048576u);
	EXPECT_EQ(vorn_push_back(dev, "xyz", 3), 0);
	// Closing a record that was never opened does nothing.
	vorn_close(dev);
	vorn_close(dev);
	vorn_deinit(dev);
}

} // namespace
