// The device record shared by every transport, the shared enumerations, the
// Sahara image slot, and the functions of the device layer.
#pragma once
#include <cerrno>
#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <vector>

#include "vip.h"


// Errors at the device boundary are negated errno values of the platform's
// own <cerrno>; the engine compares read results with -ETIMEDOUT.

enum VORN_DEVICE_TYPE : uint32_t {
	VORN_DEVICE_USB = 0,
	VORN_DEVICE_SIM = 1,
	VORN_DEVICE_QUD = 2,
	VORN_DEVICE_AUTO = 3,
};

enum vorn_storage_type : uint32_t {
	VORN_STORAGE_UNKNOWN = 0,
	VORN_STORAGE_EMMC = 1,
	VORN_STORAGE_NAND = 2,
	VORN_STORAGE_UFS = 3,
	VORN_STORAGE_NVME = 4,
	VORN_STORAGE_SPINOR = 5,
};

enum vorn_skipblock_mode : uint32_t {
	VORN_SKIPBLOCK_NONE = 0,
	VORN_SKIPBLOCK_SHA256 = 1,
};

// One transport. Back-ends derive from it; the record is created by
// vorn_init() and freed by vorn_deinit().
//
// Read contract (every back-end): returns the byte count of one transfer or
// message (0..len, possibly fewer than asked), -ETIMEDOUT when nothing
// arrived within timeout_ms, -EIO when the transfer failed or the transport
// is gone.
// Write contract: returns the number of bytes written (at most len),
// -ETIMEDOUT when the data did not go out in time, -EIO on other failures.
struct vorn_device {
	VORN_DEVICE_TYPE dev_type = VORN_DEVICE_USB;
	int fd = 0;
	size_t max_payload_size = 0;
	size_t sector_size = 0;
	vorn_storage_type current_storage_type = VORN_STORAGE_UNKNOWN;
	vorn_skipblock_mode skipblock_mode = VORN_SKIPBLOCK_NONE;
	uint32_t slot = 0;
	vip_transfer_data vip_data{};

	// Pushed-back bytes that vorn_read serves before the transport:
	// pending_buf[pending_off..) are unread; empty when none are pending.
	std::vector<uint8_t> pending_buf;
	size_t pending_off = 0;

	vorn_device() = default;
	vorn_device(const vorn_device &) = delete;
	vorn_device &operator=(const vorn_device &) = delete;
	virtual ~vorn_device() = default;

	virtual int open(const char *serial) = 0;
	virtual int read(void *buf, size_t len, unsigned timeout_ms) = 0;
	virtual int write(const void *buf, size_t len, unsigned timeout_ms) = 0;
	virtual void close() = 0;
	virtual void set_out_chunk_size(long size) { (void)size; }
	// An operation of the record that no back-end implements and no caller
	// uses; it does nothing.
	virtual void set_vip_transfer(const char *, const char *) {}

	// What the Sahara engine needs to know of a transport, so that it
	// need not know the kinds. A serial port (or the automatic choice,
	// which may bind one) may hold a device that waits to be greeted
	// before it says anything; a simulated device answers Firehose only.
	bool greets_when_silent() const { return dev_type == VORN_DEVICE_QUD || dev_type == VORN_DEVICE_AUTO; }
	bool speaks_sahara() const { return dev_type != VORN_DEVICE_SIM; }
};

// io
vorn_device *vorn_init(VORN_DEVICE_TYPE type);
void vorn_deinit(vorn_device *dev);
int vorn_open(vorn_device *dev, const char *serial);
void vorn_close(vorn_device *dev);
void vorn_set_out_chunk_size(vorn_device *dev, long size);
int vorn_read(vorn_device *dev, void *buf, size_t len, unsigned timeout_ms);
int vorn_write(vorn_device *dev, const void *buf, size_t len, unsigned timeout_ms);
int vorn_push_back(vorn_device *dev, const void *buf, size_t len);

// Back-end constructors (each returns null when out of memory).
vorn_device *usb_init(void);
vorn_device *sim_init(void);
vorn_device *qud_init(void);
vorn_device *auto_init(void);

// usb
struct vorn_device_desc {
	int vid;
	int pid;
	char serial[64];   // from the product string; "" when it carries none
	char bus_path[32]; // where the device sits: "<bus>-<port>.<port>..."
	int address;	   // its number on the bus: another once it re-enumerates
	bool read;	   // the strings were read (false: skipped, or problem)
	char problem[96];  // why the strings could not be read, or ""
};
int try_usb_open(vorn_device *dev, const char *serial, int *visible_out);
// Opens the EDL device at bus_path (see vorn_device_desc), without waiting.
int try_usb_open_at(vorn_device *dev, const char *bus_path);
// Every EDL device on the bus. A device skip() accepts, seeing its bus path
// and address, is listed without being opened: its strings are not read.
vorn_device_desc *usb_list(int *devices_found, bool (*skip)(const vorn_device_desc &entry, void *ctx) = nullptr,
			   void *ctx = nullptr);
bool usb_is_edl_pid(int pid);

// qud
struct qud_device_desc {
	uint32_t pid;
	char serial[64];
	char path[64];
};
int qud_probe_present(void);
qud_device_desc *qud_list(uint32_t *devices_found);
// Serial numbers compared as one-shot port selection does: ASCII letters
// without regard to case.
bool serial_equal_nocase(const char *a, const char *b);
// True when the serial text names a port to open directly ("COMn", a path
// beginning with a backslash, or one beginning with "/") rather than a serial
// number.
bool qud_names_port(const char *serial);

// sahara
#define SAHARA_MAX_IMAGES 128
struct sahara_image {
	char *name;
	void *ptr;
	size_t len;
};
