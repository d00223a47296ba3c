// Automatic choice between USB and the vendor driver's COM port: both are
// tried on every pass of a waiting loop, and the first that opens becomes the
// inner device every operation is forwarded to.
#include <memory>
#include <new>

#include "auto.h"
#include "oscompat.h"
#include "usb.h"
#include "vorn.h"

const auto_backends auto_default_backends = {
	usb_init, try_usb_open, qud_init, qud_probe_present, qud_names_port, os_sleep_ms,
};

namespace {

constexpr unsigned auto_retry_ms = 250;

struct auto_record_free {
	void operator()(vorn_device *dev) const { vorn_deinit(dev); }
};
using auto_record_ptr = std::unique_ptr<vorn_device, auto_record_free>;

struct vorn_device_auto : vorn_device {
	explicit vorn_device_auto(const auto_backends *b) : backends(b) {}

	auto_record_ptr inner;
	// Kept as wide as the request so that no size is silently truncated.
	long pending_chunk_size = 0;
	bool chunk_size_set = false;
	const auto_backends *backends;

	int open(const char *serial) override;
	int read(void *buf, size_t len, unsigned timeout_ms) override;
	int write(const void *buf, size_t len, unsigned timeout_ms) override;
	void close() override;
	void set_out_chunk_size(long size) override;
};

void auto_bind_inner(vorn_device_auto *wrap, auto_record_ptr inner)
{
	wrap->inner = std::move(inner);
	wrap->max_payload_size = wrap->inner->max_payload_size;
	if (wrap->chunk_size_set)
		wrap->inner->set_out_chunk_size(wrap->pending_chunk_size);
}

int vorn_device_auto::open(const char *serial)
{
	auto_record_ptr usb(backends->usb_init());
	if (!usb)
		return -1;
	auto_record_ptr qud(backends->qud_init());
	if (!qud)
		return -1;

	int previous = -1;
	for (;;) {
		int visible = 0;
		int ret = backends->try_usb_open(usb.get(), serial, &visible);
		if (ret == 0) {
			auto_bind_inner(this, std::move(usb));
			return 0;
		}
		if (ret == -EIO) {
			// A port named directly does not need USB: try it before
			// giving up.
			if (backends->qud_names_port(serial) && qud->open(serial) == 0) {
				auto_bind_inner(this, std::move(qud));
				return 0;
			}
			return -1;
		}

		int ports = backends->qud_probe_present();
		// A port named directly is opened even when no vendor port is
		// enumerated; otherwise it would be waited for forever.
		if (ports > 0 || ret == -EBUSY || backends->qud_names_port(serial)) {
			if (qud->open(serial) == 0) {
				auto_bind_inner(this, std::move(qud));
				return 0;
			}
		}

		int count = visible + ports;
		if (count != previous) {
			usb_print_visible(count, serial);
			previous = count;
		}
		backends->sleep_ms(auto_retry_ms);
	}
}

int vorn_device_auto::read(void *buf, size_t len, unsigned timeout_ms)
{
	if (!inner)
		return -EIO;
	return inner->read(buf, len, timeout_ms);
}

int vorn_device_auto::write(const void *buf, size_t len, unsigned timeout_ms)
{
	if (!inner)
		return -EIO;
	return inner->write(buf, len, timeout_ms);
}

void vorn_device_auto::close()
{
	if (!inner)
		return;
	inner->close();
	inner.reset();
}

void vorn_device_auto::set_out_chunk_size(long size)
{
	if (inner) {
		inner->set_out_chunk_size(size);
		return;
	}
	pending_chunk_size = size;
	chunk_size_set = true;
}

} // namespace

vorn_device *auto_init_with(const auto_backends *backends)
{
	auto *dev = new (std::nothrow) vorn_device_auto(backends);
	if (!dev)
		return nullptr;
	dev->dev_type = VORN_DEVICE_AUTO;
	dev->max_payload_size = 1048576;
	return dev;
}

vorn_device *auto_init(void)
{
	return auto_init_with(&auto_default_backends);
}
