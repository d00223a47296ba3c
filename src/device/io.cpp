// Device record dispatch and the pushed-back byte buffer.
#include <cstring>
#include <new>

#include "vorn.h"

vorn_device *vorn_init(VORN_DEVICE_TYPE type)
{
	switch (type) {
	case VORN_DEVICE_USB:
		return usb_init();
	case VORN_DEVICE_SIM:
		return sim_init();
	case VORN_DEVICE_QUD:
		return qud_init();
	case VORN_DEVICE_AUTO:
		return auto_init();
	}
	return nullptr;
}

void vorn_deinit(vorn_device *dev)
{
	delete dev;
}

int vorn_open(vorn_device *dev, const char *serial)
{
	return dev->open(serial);
}

void vorn_close(vorn_device *dev)
{
	dev->close();
}

void vorn_set_out_chunk_size(vorn_device *dev, long size)
{
	dev->set_out_chunk_size(size);
}

int vorn_write(vorn_device *dev, const void *buf, size_t len, unsigned timeout_ms)
{
	return dev->write(buf, len, timeout_ms);
}

int vorn_read(vorn_device *dev, void *buf, size_t len, unsigned timeout_ms)
{
	if (dev->pending_buf.empty())
		return dev->read(buf, len, timeout_ms);

	size_t avail = dev->pending_buf.size() - dev->pending_off;
	size_t n = len < avail ? len : avail;
	if (n)
		memcpy(buf, dev->pending_buf.data() + dev->pending_off, n);
	dev->pending_off += n;
	if (dev->pending_off >= dev->pending_buf.size()) {
		// Release the storage, not just the contents.
		std::vector<uint8_t>().swap(dev->pending_buf);
		dev->pending_off = 0;
	}
	return static_cast<int>(n);
}

int vorn_push_back(vorn_device *dev, const void *buf, size_t len)
{
	if (len == 0)
		return 0;

	auto &pending = dev->pending_buf;
	if (dev->pending_off > 0) {
		pending.erase(pending.begin(), pending.begin() + static_cast<std::ptrdiff_t>(dev->pending_off));
		dev->pending_off = 0;
	}
	try {
		const uint8_t *bytes = static_cast<const uint8_t *>(buf);
		pending.insert(pending.end(), bytes, bytes + len);
	} catch (const std::bad_alloc &) {
		return -ENOMEM;
	}
	return 0;
}
