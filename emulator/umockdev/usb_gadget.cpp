// Emulated USB device under umockdev: sysfs, descriptors and usbdevfs.
#include "usb_gadget.h"

#include <cerrno>
#include <cstdarg>
#include <cstddef>
#include <cstring>
#include <sys/ioctl.h>
#include <linux/usbdevice_fs.h>

#include "le.h"

namespace {

// What the emulated usbdevfs can do: without scatter-gather libusb would cut
// every transfer into 16 KiB URBs.
constexpr uint32_t gadget_caps = USBDEVFS_CAP_ZERO_PACKET | USBDEVFS_CAP_BULK_CONTINUATION |
				 USBDEVFS_CAP_NO_PACKET_SIZE_LIM | USBDEVFS_CAP_BULK_SCATTER_GATHER |
				 USBDEVFS_CAP_REAP_AFTER_DISCONNECT;
constexpr int gadget_in_ep = 0x81;
constexpr int gadget_out_ep = 0x01;
constexpr const char *gadget_manufacturer = "Qualcomm CDMA Technologies MSM";

usbdevfs_urb *urb_of(UMockdevIoctlData *d)
{
	return reinterpret_cast<usbdevfs_urb *>(d->data);
}

std::vector<uint8_t> string_descriptor(const std::string &text)
{
	// UTF-16LE of an ASCII text; a descriptor holds at most 126 units.
	size_t n = text.size() < 126 ? text.size() : 126;
	std::vector<uint8_t> d(2 + 2 * n, 0);
	d[0] = static_cast<uint8_t>(d.size());
	d[1] = 3;
	for (size_t i = 0; i < n; i++)
		d[2 + 2 * i] = static_cast<uint8_t>(text[i]);
	return d;
}

void put_endpoint(std::vector<uint8_t> &d, int addr, uint16_t pkt)
{
	uint8_t ep[7] = {7, 5, static_cast<uint8_t>(addr), 2, 0, 0, 0};
	le16_put(ep + 4, pkt);
	d.insert(d.end(), ep, ep + 7);
}

void put_interface(std::vector<uint8_t> &d, int number, int endpoints)
{
	uint8_t itf[9] = {9, 4, static_cast<uint8_t>(number), 0, static_cast<uint8_t>(endpoints), 0xff, 0xff, 0xff, 0};
	d.insert(d.end(), itf, itf + 9);
}

} // namespace

usb_gadget::usb_gadget(UMockdevTestbed *tb, usb_gadget_config cfg, std::unique_ptr<usb_function> fn, FILE *log,
		       std::mutex *log_lock)
	: tb_(tb), cfg_(std::move(cfg)), fn_(std::move(fn)), log_(log), log_lock_(log_lock)
{
	if (cfg_.port == 0)
		cfg_.port = cfg_.devnum;
}

namespace {

void release_urb(UMockdevIoctlData *urb, UMockdevIoctlData *buf)
{
	if (buf)
		g_object_unref(buf);
	g_object_unref(urb);
}

} // namespace

usb_gadget::~usb_gadget()
{
	for (auto &r : pending_in_)
		release_urb(r.urb, r.buf);
	for (auto &q : completed_)
		for (auto &r : q.second)
			release_urb(r.urb, r.buf);
	if (handler_)
		g_object_unref(handler_);
}

void usb_gadget::on_vanished(UMockdevIoctlBase *, UMockdevIoctlClient *client, gpointer self)
{
	static_cast<usb_gadget *>(self)->forget_client(client);
}

// A closed handle's URBs go with it, as the kernel drops them on close.
void usb_gadget::forget_client(UMockdevIoctlClient *client)
{
	std::lock_guard<std::mutex> g(mu_);
	client_generation_.erase(client);
	for (auto it = pending_in_.begin(); it != pending_in_.end();) {
		if (it->owner != client) {
			++it;
			continue;
		}
		release_urb(it->urb, it->buf);
		it = pending_in_.erase(it);
	}
	auto q = completed_.find(client);
	if (q == completed_.end())
		return;
	for (auto &r : q->second)
		release_urb(r.urb, r.buf);
	completed_.erase(q);
}

void usb_gadget::logf(const char *fmt, ...)
{
	if (!log_)
		return;
	std::lock_guard<std::mutex> g(*log_lock_);
	fprintf(log_, "%03d/%03d ", cfg_.busnum, cfg_.devnum);
	va_list ap;
	va_start(ap, fmt);
	vfprintf(log_, fmt, ap);
	va_end(ap);
	fputc('\n', log_);
}

std::string usb_gadget::devpath() const
{
	char p[64];
	snprintf(p, sizeof(p), "/dev/bus/usb/%03d/%03d", cfg_.busnum, cfg_.devnum);
	return p;
}

std::vector<uint8_t> usb_gadget::descriptors() const
{
	std::vector<uint8_t> d = {18, 1, 0x00, 0x02, 0, 0, 0, 64, 0, 0, 0, 0, 0x00, 0x00, 1, 2, 0, 1};
	le16_put(d.data() + 8, cfg_.vid);
	le16_put(d.data() + 10, cfg_.pid);

	std::vector<uint8_t> c = {9, 2, 0, 0, 0, 1, 0, 0x80, 50};
	int interfaces = 0;
	if (cfg_.bad_first_interface) {
		// Vendor class, but only an OUT endpoint.
		put_interface(c, interfaces++, 1);
		put_endpoint(c, 0x02, cfg_.packet_size);
	}
	put_interface(c, interfaces++, 2);
	put_endpoint(c, gadget_in_ep, cfg_.packet_size);
	put_endpoint(c, gadget_out_ep, cfg_.packet_size);
	le16_put(c.data() + 2, static_cast<uint16_t>(c.size()));
	c[4] = static_cast<uint8_t>(interfaces);

	d.insert(d.end(), c.begin(), c.end());
	return d;
}

// The device's sysfs entry and node; the same place on every appearance.
bool usb_gadget::add_to_testbed()
{
	char text[2048];
	std::string hex;
	for (uint8_t b : descriptors()) {
		char h[3];
		snprintf(h, sizeof(h), "%02x", b);
		hex += h;
	}
	std::string dev = devpath();
	char path[128];
	snprintf(path, sizeof(path), "/devices/pci0000:00/0000:00:14.0/usb%d/%d-%d", cfg_.busnum, cfg_.busnum,
		 cfg_.port);
	snprintf(text, sizeof(text),
		 "P: %s\n"
		 "N: %s\n"
		 "E: SUBSYSTEM=usb\n"
		 "E: DEVTYPE=usb_device\n"
		 "E: DEVNAME=%s\n"
		 "E: BUSNUM=%03d\n"
		 "E: DEVNUM=%03d\n"
		 "A: busnum=%d\\n\n"
		 "A: devnum=%d\\n\n"
		 "A: bConfigurationValue=1\\n\n"
		 "A: bNumConfigurations=1\\n\n"
		 "A: speed=480\\n\n"
		 "A: idVendor=%04x\\n\n"
		 "A: idProduct=%04x\\n\n"
		 "A: manufacturer=%s\\n\n"
		 "A: product=%s\\n\n"
		 "H: descriptors=%s\n\n",
		 path, dev.c_str() + 5, dev.c_str(), cfg_.busnum, cfg_.devnum, cfg_.busnum, cfg_.devnum, cfg_.vid,
		 cfg_.pid, gadget_manufacturer, cfg_.product.c_str(), hex.c_str());

	GError *error = nullptr;
	if (!umockdev_testbed_add_from_string(tb_, text, &error)) {
		fprintf(stderr, "emu-usb: cannot add USB device: %s\n", error ? error->message : "?");
		g_clear_error(&error);
		return false;
	}
	syspath_ = std::string("/sys") + path;
	return true;
}

// The handler answers at the device node of every appearance; handles
// opened at an earlier one keep talking to it, and are told ENODEV.
bool usb_gadget::attach_node()
{
	GError *error = nullptr;
	if (!umockdev_testbed_attach_ioctl(tb_, devpath().c_str(), handler_, &error)) {
		fprintf(stderr, "emu-usb: cannot attach ioctl handler: %s\n", error ? error->message : "?");
		g_clear_error(&error);
		return false;
	}
	return true;
}

bool usb_gadget::plug()
{
	if (!add_to_testbed())
		return false;
	handler_ = umockdev_ioctl_base_new();
	g_signal_connect(handler_, "handle-ioctl", G_CALLBACK(on_ioctl), this);
	g_signal_connect(handler_, "client-connected", G_CALLBACK(on_connected), this);
	g_signal_connect(handler_, "client-vanished", G_CALLBACK(on_vanished), this);
	if (!attach_node())
		return false;
	plugged_ = true;
	logf("PLUG %04x:%04x \"%s\"", cfg_.vid, cfg_.pid, cfg_.product.c_str());
	return true;
}

// Called with the lock held: pending URBs fail and the device leaves sysfs.
// No uevent is sent (the testbed sends them only from a process under its
// preload); libusb sees the change when it lists the devices anew.
void usb_gadget::vanish()
{
	gone_ = true;
	gone_at_ = std::chrono::steady_clock::now();
	fail_all_pending();
	if (plugged_)
		umockdev_testbed_remove_device(tb_, syspath_.c_str());
	logf("UNPLUG");
}

void usb_gadget::unplug()
{
	std::lock_guard<std::mutex> g(mu_);
	if (!gone_)
		vanish();
}

long usb_gadget::gone_for_ms()
{
	std::lock_guard<std::mutex> g(mu_);
	if (!gone_)
		return -1;
	return static_cast<long>(
		std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - gone_at_)
			.count());
}

bool usb_gadget::replug(int devnum, const std::string &product)
{
	std::lock_guard<std::mutex> g(mu_);
	if (!gone_ || !plugged_)
		return false;
	cfg_.devnum = devnum;
	if (!product.empty())
		cfg_.product = product;
	if (!add_to_testbed() || !attach_node())
		return false;
	generation_++;
	gone_ = false;
	out_acc_.clear();
	zlp_due_ = false;
	fn_->replugged();
	logf("REPLUG");
	return true;
}

unsigned usb_gadget::replugs()
{
	std::lock_guard<std::mutex> g(mu_);
	return generation_;
}

void usb_gadget::on_connected(UMockdevIoctlBase *, UMockdevIoctlClient *client, gpointer self)
{
	auto *gadget = static_cast<usb_gadget *>(self);
	std::lock_guard<std::mutex> g(gadget->mu_);
	gadget->client_generation_[client] = gadget->generation_;
}

// A handle opened before the device went away: the kernel answers it with
// ENODEV for good, whatever comes back at that place.
bool usb_gadget::stale(UMockdevIoctlClient *client) const
{
	auto it = client_generation_.find(client);
	return gone_ || (it != client_generation_.end() && it->second != generation_);
}

usb_gadget_stats usb_gadget::stats()
{
	std::lock_guard<std::mutex> g(mu_);
	return stats_;
}

gboolean usb_gadget::on_ioctl(UMockdevIoctlBase *, UMockdevIoctlClient *client, gpointer self)
{
	return static_cast<usb_gadget *>(self)->handle_ioctl(client);
}

void usb_gadget::complete(urb_rec &r, int status, int actual)
{
	usbdevfs_urb *u = urb_of(r.urb);
	u->status = status;
	u->actual_length = actual;
	completed_[r.owner].push_back(r);
}

void usb_gadget::fail_all_pending()
{
	while (!pending_in_.empty()) {
		urb_rec r = pending_in_.front();
		pending_in_.pop_front();
		complete(r, -ENODEV, 0);
	}
}

// A device that failed behaves as unplugged from then on.
void usb_gadget::check_unplug()
{
	if (!gone_ && fn_->unplugged())
		vanish();
}

// Serves pending IN URBs from the function's transfers. A URB takes bytes of
// the current transfer only; a transfer of whole packets that fills a URB
// exactly is ended by a zero-length packet, which the next URB receives.
void usb_gadget::service_in()
{
	while (!pending_in_.empty() && !gone_) {
		urb_rec &r = pending_in_.front();
		int len = urb_of(r.urb)->buffer_length;
		if (zlp_due_) {
			zlp_due_ = false;
			urb_rec done = r;
			pending_in_.pop_front();
			stats_.in_urbs++;
			stats_.in_zlps++;
			logf("IN 0");
			complete(done, 0, 0);
			continue;
		}
		if (!fn_->in_ready())
			return;
		uint64_t left = fn_->in_pending();
		size_t want = static_cast<size_t>(left < static_cast<uint64_t>(len) ? left : static_cast<uint64_t>(len));
		size_t n = want && r.buf ? fn_->in_read(r.buf->data, want) : 0;
		if (n == left && n == static_cast<size_t>(len) && n > 0 && n % cfg_.packet_size == 0)
			zlp_due_ = true;
		urb_rec done = r;
		pending_in_.pop_front();
		stats_.in_urbs++;
		stats_.in_bytes += n;
		logf("IN %zu", n);
		complete(done, 0, static_cast<int>(n));
		check_unplug();
	}
}

void usb_gadget::control(urb_rec &r)
{
	usbdevfs_urb *u = urb_of(r.urb);
	stats_.control++;
	if (!r.buf || u->buffer_length < 8) {
		complete(r, -EPIPE, 0);
		return;
	}
	uint8_t *setup = r.buf->data;
	uint8_t type = setup[0], request = setup[1];
	uint16_t value = le16_get(setup + 2), length = le16_get(setup + 6);
	std::vector<uint8_t> answer;
	bool ok = false;

	if (type == 0x80 && request == 6) {
		uint8_t dtype = static_cast<uint8_t>(value >> 8), index = static_cast<uint8_t>(value);
		if (dtype == 3) {
			ok = true;
			if (index == 0)
				answer = {4, 3, 0x09, 0x04};
			else if (index == 1)
				answer = string_descriptor(gadget_manufacturer);
			else if (index == 2)
				answer = string_descriptor(cfg_.product);
			else
				ok = false;
		} else if (dtype == 1 || dtype == 2) {
			std::vector<uint8_t> all = descriptors();
			ok = true;
			if (dtype == 1)
				answer.assign(all.begin(), all.begin() + 18);
			else
				answer.assign(all.begin() + 18, all.end());
		}
	}
	if (!ok) {
		logf("CONTROL %02x %02x %04x stalled", type, request, value);
		complete(r, -EPIPE, 0);
		return;
	}
	size_t n = answer.size();
	if (n > length)
		n = length;
	if (n > static_cast<size_t>(u->buffer_length - 8))
		n = static_cast<size_t>(u->buffer_length - 8);
	memcpy(setup + 8, answer.data(), n);
	complete(r, 0, static_cast<int>(n));
}

void usb_gadget::submit(UMockdevIoctlClient *client)
{
	UMockdevIoctlData *arg = umockdev_ioctl_client_get_arg(client);
	uint64_t addr = 0;
	memcpy(&addr, arg->data, sizeof(addr));
	GError *error = nullptr;

	if (stale(client)) {
		umockdev_ioctl_client_complete(client, -1, ENODEV);
		return;
	}
	urb_rec r;
	r.client_addr = addr;
	r.owner = client;
	r.urb = umockdev_ioctl_data_resolve(arg, 0, sizeof(usbdevfs_urb), &error);
	if (!r.urb) {
		g_clear_error(&error);
		umockdev_ioctl_client_complete(client, -1, EFAULT);
		return;
	}
	usbdevfs_urb *u = urb_of(r.urb);
	r.endpoint = u->endpoint;
	if (u->buffer_length > 0) {
		r.buf = umockdev_ioctl_data_resolve(r.urb, offsetof(usbdevfs_urb, buffer),
						    static_cast<gsize>(u->buffer_length), &error);
		if (!r.buf) {
			g_clear_error(&error);
			g_object_unref(r.urb);
			umockdev_ioctl_client_complete(client, -1, EFAULT);
			return;
		}
	}

	if (u->type == USBDEVFS_URB_TYPE_CONTROL) {
		control(r);
	} else if (u->type != USBDEVFS_URB_TYPE_BULK ||
		   (r.endpoint != gadget_in_ep && r.endpoint != gadget_out_ep)) {
		if (r.buf)
			g_object_unref(r.buf);
		g_object_unref(r.urb);
		umockdev_ioctl_client_complete(client, -1, EINVAL);
		return;
	} else if (r.endpoint & 0x80) {
		pending_in_.push_back(r);
	} else {
		size_t len = static_cast<size_t>(u->buffer_length);
		stats_.out_urbs++;
		stats_.out_bytes += len;
		if (len == 0)
			stats_.out_zlps++;
		logf("OUT %zu", len);
		if (len)
			out_acc_.insert(out_acc_.end(), r.buf->data, r.buf->data + len);
		// A short or zero-length packet ends the host's transfer.
		if (len % cfg_.packet_size != 0 || len == 0) {
			if (!out_acc_.empty())
				fn_->host_transfer(out_acc_.data(), out_acc_.size());
			out_acc_.clear();
		}
		complete(r, 0, static_cast<int>(len));
	}
	umockdev_ioctl_client_complete(client, 0, 0);
	service_in();
	check_unplug();
}

void usb_gadget::reap(UMockdevIoctlClient *client)
{
	std::deque<urb_rec> &mine = completed_[client];
	if (mine.empty()) {
		umockdev_ioctl_client_complete(client, -1, stale(client) ? ENODEV : EAGAIN);
		return;
	}
	urb_rec r = mine.front();
	mine.pop_front();
	GError *error = nullptr;
	UMockdevIoctlData *ptr = umockdev_ioctl_data_resolve(umockdev_ioctl_client_get_arg(client), 0,
							     sizeof(void *), &error);
	if (!ptr) {
		g_clear_error(&error);
		mine.push_front(r);
		umockdev_ioctl_client_complete(client, -1, EFAULT);
		return;
	}
	umockdev_ioctl_data_set_ptr(ptr, 0, r.urb);
	umockdev_ioctl_client_complete(client, 0, 0);
	g_object_unref(ptr);
	release_urb(r.urb, r.buf);
}

void usb_gadget::discard(UMockdevIoctlClient *client)
{
	UMockdevIoctlData *arg = umockdev_ioctl_client_get_arg(client);
	uint64_t addr = 0;
	memcpy(&addr, arg->data, sizeof(addr));

	for (auto it = pending_in_.begin(); it != pending_in_.end(); ++it) {
		if (it->client_addr != addr || it->owner != client)
			continue;
		urb_rec r = *it;
		pending_in_.erase(it);
		stats_.discards++;
		logf("DISCARD");
		// libusb waits for the discarded URB to come back.
		complete(r, -ENOENT, 0);
		umockdev_ioctl_client_complete(client, 0, 0);
		return;
	}
	umockdev_ioctl_client_complete(client, -1, EINVAL);
}

gboolean usb_gadget::handle_ioctl(UMockdevIoctlClient *client)
{
	std::lock_guard<std::mutex> g(mu_);
	unsigned long request = umockdev_ioctl_client_get_request(client);
	UMockdevIoctlData *arg = umockdev_ioctl_client_get_arg(client);
	GError *error = nullptr;

	switch (request) {
	case USBDEVFS_GET_CAPABILITIES: {
		UMockdevIoctlData *caps = umockdev_ioctl_data_resolve(arg, 0, sizeof(uint32_t), &error);
		if (!caps) {
			g_clear_error(&error);
			umockdev_ioctl_client_complete(client, -1, EFAULT);
			break;
		}
		uint32_t v = gadget_caps;
		memcpy(caps->data, &v, sizeof(v));
		umockdev_ioctl_client_complete(client, 0, 0);
		g_object_unref(caps);
		break;
	}
	case USBDEVFS_SUBMITURB:
		submit(client);
		break;
	case USBDEVFS_REAPURBNDELAY:
	case USBDEVFS_REAPURB:
		reap(client);
		break;
	case USBDEVFS_DISCARDURB:
		discard(client);
		break;
	case USBDEVFS_CLAIMINTERFACE: {
		stats_.claims++;
		if (stale(client)) {
			umockdev_ioctl_client_complete(client, -1, ENODEV);
		} else if (cfg_.busy) {
			stats_.claim_refused++;
			logf("CLAIM refused");
			umockdev_ioctl_client_complete(client, -1, EBUSY);
		} else {
			stats_.opened = true;
			logf("CLAIM");
			umockdev_ioctl_client_complete(client, 0, 0);
		}
		break;
	}
	case USBDEVFS_RELEASEINTERFACE:
		umockdev_ioctl_client_complete(client, 0, 0);
		break;
	case USBDEVFS_GETDRIVER:
	case USBDEVFS_IOCTL:
		// No kernel driver is bound to the interface.
		umockdev_ioctl_client_complete(client, -1, ENODATA);
		break;
	default:
		logf("IOCTL 0x%lx unsupported", request);
		umockdev_ioctl_client_complete(client, -1, ENOTTY);
		break;
	}
	return TRUE;
}
