// One emulated USB device on a umockdev testbed, served live to the real
// libusb of a program running under the umockdev preload: sysfs attributes
// and descriptors, and the usbdevfs ioctls (URB submit/reap/discard,
// interface claim) answered by this process. What flows over the bulk
// endpoints comes from a usb_function: the device model, a loopback or an
// endless source.
#pragma once
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <umockdev.h>

class usb_function {
public:
	virtual ~usb_function() = default;
	// One complete host transfer: the OUT URBs up to and including a
	// short or zero-length one, joined.
	virtual void host_transfer(const uint8_t *buf, size_t len) = 0;
	// True when a device transfer (or the rest of one) can go out now.
	virtual bool in_ready() = 0;
	// Bytes left in the current device transfer.
	virtual uint64_t in_pending() = 0;
	// Next bytes of the current transfer, at most max; never crosses into
	// the next transfer.
	virtual size_t in_read(uint8_t *buf, size_t max) = 0;
	// The device failed: everything from now on fails as after an unplug.
	virtual bool unplugged() = 0;
	// The device is back after an unplug, as it was before it was first
	// plugged in save for what it has counted.
	virtual void replugged() {}
};

struct usb_gadget_config {
	uint16_t vid = 0x05c6;
	uint16_t pid = 0x900e;
	std::string product; // iProduct text
	uint16_t packet_size = 512;
	// The interface is claimed by someone else: CLAIMINTERFACE fails.
	bool busy = false;
	// A first vendor interface without a bulk IN endpoint, before the
	// usable one.
	bool bad_first_interface = false;
	int busnum = 1;
	int devnum = 2; // the bus's number for it: another on every appearance
	int port = 0;	// where it is plugged in (sysfs "<bus>-<port>"); 0: devnum
};

// Counters of what the host did, for the report.
struct usb_gadget_stats {
	uint64_t out_urbs = 0, out_bytes = 0, out_zlps = 0;
	uint64_t in_urbs = 0, in_bytes = 0, in_zlps = 0;
	uint64_t discards = 0, claims = 0, claim_refused = 0, control = 0;
	bool opened = false; // an interface was claimed
};

class usb_gadget {
public:
	// log may be null; it is shared between gadgets and written under lock.
	usb_gadget(UMockdevTestbed *tb, usb_gadget_config cfg, std::unique_ptr<usb_function> fn, FILE *log,
		   std::mutex *log_lock);
	~usb_gadget();
	usb_gadget(const usb_gadget &) = delete;
	usb_gadget &operator=(const usb_gadget &) = delete;

	// Puts the device on the testbed and starts answering its ioctls.
	bool plug();
	bool plugged() const { return plugged_; }
	// Takes the device away: pending and later URBs fail.
	void unplug();
	// Milliseconds since the device went away; -1 while it is there.
	long gone_for_ms();
	// Puts a device that went away back at the same place under a new
	// device number, as a device does that re-enumerates after a cable
	// glitch: handles opened before stay dead, new ones talk to the device
	// anew. A product string given: another device of the model is
	// plugged in there instead.
	bool replug(int devnum, const std::string &product = "");
	// Times the device has come back.
	unsigned replugs();

	usb_gadget_stats stats();
	const usb_gadget_config &config() const { return cfg_; }
	usb_function *function() { return fn_.get(); }
	std::mutex &lock() { return mu_; }

private:
	struct urb_rec {
		UMockdevIoctlData *urb = nullptr; // resolved struct usbdevfs_urb
		UMockdevIoctlData *buf = nullptr; // resolved buffer (may be null)
		uint64_t client_addr = 0;
		int endpoint = 0;
		UMockdevIoctlClient *owner = nullptr; // the open handle that submitted it
	};

	static gboolean on_ioctl(UMockdevIoctlBase *handler, UMockdevIoctlClient *client, gpointer self);
	static void on_vanished(UMockdevIoctlBase *handler, UMockdevIoctlClient *client, gpointer self);
	static void on_connected(UMockdevIoctlBase *handler, UMockdevIoctlClient *client, gpointer self);
	bool add_to_testbed();
	bool attach_node();
	void vanish();
	bool stale(UMockdevIoctlClient *client) const;
	void forget_client(UMockdevIoctlClient *client);
	gboolean handle_ioctl(UMockdevIoctlClient *client);
	void submit(UMockdevIoctlClient *client);
	void reap(UMockdevIoctlClient *client);
	void discard(UMockdevIoctlClient *client);
	void control(urb_rec &r);
	void service_in();
	void complete(urb_rec &r, int status, int actual);
	void fail_all_pending();
	void check_unplug();
	void logf(const char *fmt, ...) __attribute__((format(printf, 2, 3)));
	std::vector<uint8_t> descriptors() const;
	std::string devpath() const;

	UMockdevTestbed *tb_;
	usb_gadget_config cfg_;
	std::unique_ptr<usb_function> fn_;
	FILE *log_;
	std::mutex *log_lock_;
	std::mutex mu_;
	UMockdevIoctlBase *handler_ = nullptr;
	std::string syspath_;
	bool plugged_ = false;
	bool gone_ = false;
	std::chrono::steady_clock::time_point gone_at_;
	// Each appearance of the device; an open handle belongs to the one it
	// was opened in.
	unsigned generation_ = 0;
	std::map<UMockdevIoctlClient *, unsigned> client_generation_;
	std::deque<urb_rec> pending_in_;
	// Completed URBs wait for the handle that submitted them: each open of
	// the node reaps only its own, as from a real usbdevfs file.
	std::map<UMockdevIoctlClient *, std::deque<urb_rec>> completed_;
	std::vector<uint8_t> out_acc_; // OUT URBs of the transfer in progress
	bool zlp_due_ = false;	       // a full IN transfer still owes its ZLP
	usb_gadget_stats stats_;
};
