// Automatic choice between USB and COM port. Placeholder: no transport yet.
#include <new>

#include "vorn.h"

namespace {
struct vorn_device_auto : vorn_device {
	int open(const char *) override
	{
		ux_err("no transport is built yet\n");
		return -1;
	}
	int read(void *, size_t, unsigned) override { return -EIO; }
	int write(const void *, size_t, unsigned) override { return -EIO; }
	void close() override {}
};
} // namespace

vorn_device *auto_init(void)
{
	auto *dev = new (std::nothrow) vorn_device_auto();
	if (!dev)
		return nullptr;
	dev->dev_type = VORN_DEVICE_AUTO;
	dev->max_payload_size = 1048576;
	return dev;
}
