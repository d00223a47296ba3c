// USB transport: EDL devices driven through libusb-1.0 with synchronous bulk
// transfers.
#include <algorithm>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>

#include <libusb.h>

#include "oscompat.h"
#include "usb.h"
#include "ux.h"
#include "vorn.h"

namespace {

constexpr int usb_vendor_id = 0x05C6;
constexpr size_t usb_default_chunk_size = 1048576;
constexpr unsigned usb_retry_ms = 250;
constexpr size_t usb_product_len = 128;
constexpr size_t usb_serial_len = 64;
// libusb counts transfer lengths in int; a single read never asks for more
// than this (a multiple of every packet size).
constexpr size_t usb_max_read = size_t{1} << 30;

struct usb_context_exit {
	void operator()(libusb_context *ctx) const { libusb_exit(ctx); }
};
struct usb_handle_close {
	void operator()(libusb_device_handle *h) const { libusb_close(h); }
};
struct usb_list_free {
	void operator()(libusb_device **list) const { libusb_free_device_list(list, 1); }
};
struct usb_config_free {
	void operator()(libusb_config_descriptor *cfg) const { libusb_free_config_descriptor(cfg); }
};
using usb_context_ptr = std::unique_ptr<libusb_context, usb_context_exit>;
using usb_handle_ptr = std::unique_ptr<libusb_device_handle, usb_handle_close>;
using usb_list_ptr = std::unique_ptr<libusb_device *, usb_list_free>;
using usb_config_ptr = std::unique_ptr<libusb_config_descriptor, usb_config_free>;

// One context per opened record: the library is started by each attempt and
// stays started only while a device is held.
struct vorn_device_usb : vorn_device {
	// Declared before the handle: the handle must be closed first.
	usb_context_ptr usb_ctx;
	usb_handle_ptr usb_handle;
	int in_ep = -1;
	int out_ep = -1;
	size_t in_maxpktsize = 0;
	size_t out_maxpktsize = 0;
	size_t out_chunk_size = 0;
	// What the waiting loop said about devices it could not take, and
	// which of the hints on what helps it has given.
	usb_wait_notes notes;
	unsigned hints_given = 0;

	int open(const char *serial) override;
	int read(void *buf, size_t len, unsigned timeout_ms) override;
	int write(const void *buf, size_t len, unsigned timeout_ms) override;
	void close() override;
	void set_out_chunk_size(long size) override;
};

vorn_device_usb *to_usb(vorn_device *dev)
{
	return static_cast<vorn_device_usb *>(dev);
}

// Which device of the bus a note of the waiting loop is about.
unsigned usb_device_key(libusb_device *usb_dev)
{
	return static_cast<unsigned>(libusb_get_bus_number(usb_dev)) << 8 | libusb_get_device_address(usb_dev);
}

// Where the device sits, as the kernel names it: "<bus>-<port>.<port>...";
// "<bus>-@<address>" when the port path is unknown.
void usb_bus_path(libusb_device *usb_dev, char *out, size_t out_len)
{
	uint8_t ports[8];
	int n = libusb_get_port_numbers(usb_dev, ports, sizeof(ports));
	int bus = libusb_get_bus_number(usb_dev);
	if (n <= 0) {
		snprintf(out, out_len, "%d-@%d", bus, libusb_get_device_address(usb_dev));
		return;
	}
	size_t len = static_cast<size_t>(snprintf(out, out_len, "%d-%d", bus, ports[0]));
	for (int i = 1; i < n && len < out_len; i++)
		len += static_cast<size_t>(snprintf(out + len, out_len - len, ".%d", ports[i]));
}

// A device that cannot be taken: said once while it stays so (see
// usb_wait_notes), with, the first time, what usually helps.
void usb_device_warn(vorn_device_usb *dev, unsigned key, int error, const char *what)
{
	std::string text = std::string(what) + ": " + libusb_strerror(error);
	if (!dev->notes.fresh(key, text))
		return;
	warnx("%s", text.c_str());

	enum : unsigned { hint_busy = 1, hint_access = 2 };
	if (error == LIBUSB_ERROR_BUSY && !(dev->hints_given & hint_busy)) {
		dev->hints_given |= hint_busy;
		warnx("another program holds the device: close it, and the device is taken on the next try");
	} else if (error == LIBUSB_ERROR_ACCESS && !(dev->hints_given & hint_access)) {
		dev->hints_given |= hint_access;
#ifdef _WIN32
		warnx("another program may hold the device: close it, and the device is taken on the next try");
#else
		warnx("this user may not use the device: install the udev rules (60-duruvev.rules) "
		      "or run as root");
#endif
	}
}

// The device's product string, NUL-terminated: 0, or the libusb error.
int usb_read_product(libusb_device_handle *handle, const libusb_device_descriptor &desc,
		     unsigned char (&product)[usb_product_len])
{
	int ret = libusb_get_string_descriptor_ascii(handle, desc.iProduct, product, sizeof(product));
	if (ret < 0)
		return ret;
	product[std::min<size_t>(static_cast<size_t>(ret), sizeof(product) - 1)] = '\0';
	return 0;
}

// The serial from the product string. A failure is reported through the
// waiting loop's notes when dev is given, else at once.
bool usb_read_serial(libusb_device_handle *handle, const libusb_device_descriptor &desc, char *out,
		     size_t out_len, vorn_device_usb *dev = nullptr, unsigned key = 0)
{
	unsigned char product[usb_product_len];

	int ret = usb_read_product(handle, desc, product);
	if (ret < 0) {
		if (dev)
			usb_device_warn(dev, key, ret, "failed to read iProduct descriptor");
		else
			warnx("failed to read iProduct descriptor: %s", libusb_strerror(ret));
		return false;
	}
	return usb_parse_serial(reinterpret_cast<const char *>(product), out, out_len);
}

bool usb_match_usb_serial(libusb_device_handle *handle, const char *serial,
			  const libusb_device_descriptor &desc, vorn_device_usb *dev, unsigned key)
{
	char found[usb_serial_len];

	if (!serial)
		return true;
	if (!usb_read_serial(handle, desc, found, sizeof(found), dev, key))
		return false;
	return strcmp(found, serial) == 0;
}

// Whether usb_dev is an EDL device (at bus_path, when given): 1 with its
// descriptor in desc, 0 when it is not, -1 when the descriptor could not be
// read.
int usb_is_candidate(libusb_device *usb_dev, const char *bus_path, libusb_device_descriptor &desc)
{
	if (libusb_get_device_descriptor(usb_dev, &desc) != 0) {
		warnx("failed to get USB device descriptor");
		return -1;
	}
	if (desc.idVendor != usb_vendor_id || !usb_is_edl_pid(desc.idProduct))
		return 0;
	if (bus_path) {
		char here[sizeof(vorn_device_desc::bus_path)];
		usb_bus_path(usb_dev, here, sizeof(here));
		if (strcmp(here, bus_path) != 0)
			return 0;
	}
	return 1;
}

// The bulk endpoints of an interface setting; -1 and 0 for a direction it
// lacks.
struct usb_bulk_pair {
	int in = -1, out = -1;
	size_t in_pkt = 0, out_pkt = 0;
};

usb_bulk_pair usb_bulk_endpoints(const libusb_interface_descriptor &alt)
{
	usb_bulk_pair p;
	for (int e = 0; e < alt.bNumEndpoints; e++) {
		const libusb_endpoint_descriptor &ep = alt.endpoint[e];
		if ((ep.bmAttributes & 3) != LIBUSB_TRANSFER_TYPE_BULK)
			continue;
		if (ep.bEndpointAddress & 0x80) {
			p.in = ep.bEndpointAddress;
			p.in_pkt = ep.wMaxPacketSize;
		} else {
			p.out = ep.bEndpointAddress;
			p.out_pkt = ep.wMaxPacketSize;
		}
	}
	return p;
}

// The vendor-specific interface the EDL protocols are spoken on.
bool usb_is_edl_interface(const libusb_interface_descriptor &alt)
{
	if (alt.bInterfaceClass != 0xff || alt.bInterfaceSubClass != 0xff)
		return false;
	return alt.bInterfaceProtocol == 0xff || alt.bInterfaceProtocol == 0x10 || alt.bInterfaceProtocol == 0x11;
}

// Opens the device, checks its serial and claims the interface: the handle,
// or none when any step fails (said through the waiting loop's notes).
usb_handle_ptr usb_claim(libusb_device *usb_dev, vorn_device_usb *dev, const libusb_device_descriptor &desc,
			 const char *serial, unsigned key, int interface)
{
	libusb_device_handle *raw_handle = nullptr;
	int ret = libusb_open(usb_dev, &raw_handle);
	if (ret != 0) {
		usb_device_warn(dev, key, ret, "unable to open USB device");
		return nullptr;
	}
	usb_handle_ptr handle(raw_handle);

	if (!usb_match_usb_serial(handle.get(), serial, desc, dev, key))
		return nullptr;

	libusb_detach_kernel_driver(handle.get(), interface);
	ret = libusb_claim_interface(handle.get(), interface);
	if (ret != 0) {
		usb_device_warn(dev, key, ret, "failed to claim USB interface");
		return nullptr;
	}
	return handle;
}

// The record holds the claimed device from now on; the chunk size asked for
// must be whole packets.
void usb_take(vorn_device_usb *dev, usb_handle_ptr handle, const usb_bulk_pair &p)
{
	dev->usb_handle = std::move(handle);
	dev->in_ep = p.in;
	dev->out_ep = p.out;
	dev->in_maxpktsize = p.in_pkt;
	dev->out_maxpktsize = p.out_pkt;
	if (dev->out_chunk_size == 0) {
		dev->out_chunk_size = usb_default_chunk_size;
	} else if (dev->out_chunk_size % p.out_pkt != 0) {
		ux_err("WARNING: requested out-chunk-size must be multiple of the device's "
		       "wMaxPacketSize %ld, using %ld\n",
		       static_cast<long>(p.out_pkt), static_cast<long>(p.out_pkt));
		dev->out_chunk_size = p.out_pkt;
	}
	ux_debug("USB: using out-chunk-size of %ld\n", static_cast<long>(dev->out_chunk_size));
}

// Interface selection for one device: positive when the record now holds an
// opened device, negative when a descriptor could not be read, 0 otherwise.
int usb_open_candidate(libusb_device *usb_dev, vorn_device_usb *dev, const char *serial, const char *bus_path)
{
	libusb_device_descriptor desc;
	if (int ret = usb_is_candidate(usb_dev, bus_path, desc); ret <= 0)
		return ret;

	unsigned key = usb_device_key(usb_dev);
	libusb_config_descriptor *raw_cfg = nullptr;
	int ret = libusb_get_active_config_descriptor(usb_dev, &raw_cfg);
	if (ret != 0) {
		usb_device_warn(dev, key, ret, "failed to acquire USB device's active config descriptor");
		return -1;
	}
	usb_config_ptr cfg(raw_cfg);

	for (int i = 0; i < cfg->bNumInterfaces; i++) {
		const libusb_interface &itf = cfg->interface[i];
		if (itf.num_altsetting < 1)
			continue;
		const libusb_interface_descriptor &alt = itf.altsetting[0];
		if (!usb_is_edl_interface(alt))
			continue;
		// Transfers and the zero-length-packet rule divide by the packet
		// sizes: an interface without both bulk directions is unusable.
		usb_bulk_pair p = usb_bulk_endpoints(alt);
		if (p.in < 0 || p.out < 0 || p.in_pkt == 0 || p.out_pkt == 0) {
			ux_debug("USB: interface %d has no usable bulk endpoint pair, skipped\n",
				 alt.bInterfaceNumber);
			continue;
		}
		usb_handle_ptr handle = usb_claim(usb_dev, dev, desc, serial, key, alt.bInterfaceNumber);
		if (handle) {
			usb_take(dev, std::move(handle), p);
			break;
		}
	}

	return dev->usb_handle ? 1 : 0;
}

int usb_start(usb_context_ptr &ctx)
{
	libusb_context *raw = nullptr;
	int ret = libusb_init(&raw);
	if (ret != 0) {
		ux_err("failed to initialize libusb: %s\n", libusb_strerror(ret));
		return -1;
	}
	ctx.reset(raw);
	return 0;
}

// Lists the devices; the count, or -1 after the message.
ssize_t usb_get_list(libusb_context *ctx, usb_list_ptr &list)
{
	libusb_device **raw = nullptr;
	ssize_t n = libusb_get_device_list(ctx, &raw);
	if (n < 0) {
		ux_err("failed to list USB devices: %s\n", libusb_strerror(static_cast<int>(n)));
		return -1;
	}
	list.reset(raw);
	return n;
}

} // namespace

bool usb_parse_serial(const char *product, char *out, size_t out_len)
{
	const char *sn = strstr(product, "_SN:");
	if (!sn || out_len == 0)
		return false;
	sn += 4;
	size_t n = strcspn(sn, " _");
	if (n > out_len - 1)
		n = out_len - 1;
	memcpy(out, sn, n);
	out[n] = '\0';
	return true;
}

void usb_wait_notes::begin_pass()
{
	for (note &n : notes_)
		n.this_pass = false;
}

bool usb_wait_notes::fresh(unsigned key, const std::string &text)
{
	for (note &n : notes_) {
		if (n.key == key && n.text == text) {
			n.this_pass = true;
			return false;
		}
	}
	notes_.push_back({key, text, true});
	return true;
}

void usb_wait_notes::end_pass()
{
	// What was not said again in this pass is forgotten, so it is said
	// afresh when it comes back.
	std::erase_if(notes_, [](const note &n) { return !n.this_pass; });
}

void usb_print_visible(int count, const char *serial)
{
	if (count == 0)
		ux_info("Waiting for EDL device\n");
	else if (serial)
		ux_info("%d EDL device(s) visible, none match serial \"%s\"\n", count, serial);
	else
		ux_info("%d EDL device(s) visible, none could be opened\n", count);
}

bool usb_is_edl_pid(int pid)
{
	switch (pid) {
	case 0x9008:
	case 0x900E:
	case 0x901D:
	case 0x9060:
		return true;
	default:
		return false;
	}
}

vorn_device *usb_init(void)
{
	auto *dev = new (std::nothrow) vorn_device_usb();
	if (!dev)
		return nullptr;
	dev->dev_type = VORN_DEVICE_USB;
	dev->max_payload_size = 1048576;
	return dev;
}

namespace {

int usb_open_matching(vorn_device *device, const char *serial, const char *bus_path, int *visible_out)
{
	vorn_device_usb *dev = to_usb(device);
	usb_context_ptr ctx;
	usb_list_ptr list;
	int seen = 0;

	if (visible_out)
		*visible_out = 0;
	if (usb_start(ctx) != 0)
		return -EIO;
	ssize_t n = usb_get_list(ctx.get(), list);
	if (n < 0)
		return -EIO;

	libusb_device_descriptor opened_desc{};
	dev->notes.begin_pass();
	for (ssize_t i = 0; i < n; i++) {
		libusb_device_descriptor desc;
		if (libusb_get_device_descriptor(list.get()[i], &desc) != 0)
			continue;
		if (desc.idVendor != usb_vendor_id || !usb_is_edl_pid(desc.idProduct))
			continue;
		seen++;
		usb_open_candidate(list.get()[i], dev, serial, bus_path);
		if (dev->usb_handle) {
			opened_desc = desc;
			break;
		}
	}

	dev->notes.end_pass();
	if (visible_out)
		*visible_out = seen;
	list.reset();
	if (!dev->usb_handle)
		return seen > 0 ? -EBUSY : -ENODEV;

	char found[usb_serial_len] = "";
	if (!usb_read_serial(dev->usb_handle.get(), opened_desc, found, sizeof(found)))
		found[0] = '\0';
	const char *label = opened_desc.idProduct == 0x900E ? "Collecting crash dump from" : "Flashing";
	if (found[0])
		ux_info("%s device (PID 0x%04x, serial: %s)\n", label, opened_desc.idProduct, found);
	else
		ux_info("%s device (PID 0x%04x)\n", label, opened_desc.idProduct);
	// The library stays started while the device is held.
	dev->usb_ctx = std::move(ctx);
	return 0;
}

// The product string's serial of one listed device, its bus path and
// address; a problem is kept in the entry, for the caller to say once.
void usb_describe(libusb_device *usb_dev, const libusb_device_descriptor &desc, vorn_device_desc &entry,
		  bool (*skip)(const vorn_device_desc &, void *), void *ctx)
{
	entry.vid = desc.idVendor;
	entry.pid = desc.idProduct;
	usb_bus_path(usb_dev, entry.bus_path, sizeof(entry.bus_path));
	entry.address = libusb_get_device_address(usb_dev);
	if (skip && skip(entry, ctx))
		return;

	libusb_device_handle *raw_handle = nullptr;
	int ret = libusb_open(usb_dev, &raw_handle);
	if (ret != 0) {
		snprintf(entry.problem, sizeof(entry.problem), "cannot open the device: %s", libusb_strerror(ret));
		return;
	}
	usb_handle_ptr handle(raw_handle);
	unsigned char product[usb_product_len];
	ret = usb_read_product(handle.get(), desc, product);
	if (ret < 0) {
		snprintf(entry.problem, sizeof(entry.problem), "failed to read iProduct descriptor: %s",
			 libusb_strerror(ret));
		return;
	}
	// A device that says its serial is "(none)" has none.
	if (!usb_parse_serial(reinterpret_cast<const char *>(product), entry.serial, sizeof(entry.serial)) ||
	    strcmp(entry.serial, "(none)") == 0)
		entry.serial[0] = '\0';
	entry.read = true;
}

} // namespace

int try_usb_open(vorn_device *device, const char *serial, int *visible_out)
{
	return usb_open_matching(device, serial, nullptr, visible_out);
}

int try_usb_open_at(vorn_device *device, const char *bus_path)
{
	return usb_open_matching(device, nullptr, bus_path, nullptr);
}

int vorn_device_usb::open(const char *serial)
{
	int previous = -1;

	for (;;) {
		int visible = 0;
		int ret = try_usb_open(this, serial, &visible);
		if (ret == 0)
			return 0;
		if (ret == -EIO)
			return -1;
		if (visible != previous) {
			usb_print_visible(visible, serial);
			previous = visible;
		}
		os_sleep_ms(usb_retry_ms);
	}
}

int vorn_device_usb::write(const void *buf, size_t len, unsigned timeout_ms)
{
	auto *p = static_cast<unsigned char *>(const_cast<void *>(buf));
	size_t done = 0;

	// The count is returned as an int.
	if (len > INT_MAX)
		return -EINVAL;

	while (done < len) {
		size_t chunk = std::min(len - done, out_chunk_size);
		int sent = 0;
		int ret = libusb_bulk_transfer(usb_handle.get(), static_cast<unsigned char>(out_ep), p + done,
					       static_cast<int>(chunk), &sent, timeout_ms);
		if (ret != 0 && ret != LIBUSB_ERROR_TIMEOUT) {
			warnx("bulk write failed: %s", libusb_strerror(ret));
			return -EIO;
		}
		if (sent <= 0) {
			if (ret == LIBUSB_ERROR_TIMEOUT)
				return -ETIMEDOUT;
			// Success without a byte taken would repeat forever.
			warnx("bulk write failed: %s", "no data accepted");
			return -EIO;
		}
		done += static_cast<size_t>(sent);
	}

	if (len % out_maxpktsize == 0) {
		int sent = 0;
		if (libusb_bulk_transfer(usb_handle.get(), static_cast<unsigned char>(out_ep), p, 0, &sent,
					 timeout_ms) != 0)
			return -EIO;
	}
	return static_cast<int>(len);
}

int vorn_device_usb::read(void *buf, size_t len, unsigned timeout_ms)
{
	auto *p = static_cast<unsigned char *>(buf);
	size_t want = std::min(len, usb_max_read);
	int got = 0;

	int ret = libusb_bulk_transfer(usb_handle.get(), static_cast<unsigned char>(in_ep), p,
				       static_cast<int>(want), &got, timeout_ms);
	if (ret == LIBUSB_ERROR_TIMEOUT && got == 0)
		return -ETIMEDOUT;
	if (ret != 0 && ret != LIBUSB_ERROR_TIMEOUT)
		return -EIO;

	// A transfer that filled the buffer with whole packets is ended by a
	// zero-length packet; consume it so it does not end the next read.
	if (static_cast<size_t>(got) == len && len % in_maxpktsize == 0) {
		int zlp = 0;
		ret = libusb_bulk_transfer(usb_handle.get(), static_cast<unsigned char>(in_ep), p, 0, &zlp,
					   timeout_ms);
		if (ret != 0)
			warnx("Unable to read ZLP: %s", libusb_strerror(ret));
	}
	return got;
}

void vorn_device_usb::close()
{
	usb_handle.reset();
	usb_ctx.reset();
}

void vorn_device_usb::set_out_chunk_size(long size)
{
	// A size of 0 would never finish a write and a negative one would not
	// cut it at all: both ask for the default.
	if (size <= 0) {
		out_chunk_size = usb_handle ? usb_default_chunk_size : 0;
		return;
	}
	out_chunk_size = static_cast<size_t>(size);
}

vorn_device_desc *usb_list(int *devices_found, bool (*skip)(const vorn_device_desc &entry, void *ctx), void *ctx)
{
	usb_context_ptr ctx_usb;
	usb_list_ptr list;

	*devices_found = 0;
	if (usb_start(ctx_usb) != 0)
		return nullptr;
	ssize_t n = usb_get_list(ctx_usb.get(), list);
	if (n <= 0)
		return nullptr;

	auto *devs = static_cast<vorn_device_desc *>(calloc(static_cast<size_t>(n), sizeof(vorn_device_desc)));
	if (!devs) {
		ux_err("failed to allocate devices array\n");
		return nullptr;
	}

	int count = 0;
	for (ssize_t i = 0; i < n; i++) {
		libusb_device_descriptor desc;
		if (libusb_get_device_descriptor(list.get()[i], &desc) != 0)
			continue;
		if (desc.idVendor != usb_vendor_id || !usb_is_edl_pid(desc.idProduct))
			continue;
		usb_describe(list.get()[i], desc, devs[count++], skip, ctx);
	}

	*devices_found = count;
	return devs;
}
