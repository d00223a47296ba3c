// What the COM-port back-end (qud.cpp) needs from the operating system:
// walk the serial-port devices present now, read a few properties of each,
// and open, configure, read, write and close one port. qud_linux.cpp and
// qud_win.cpp each provide qud_platform_native; tests install their own table
// with qud_platform_use().
//
// The properties are those Windows keeps for a port of the ports setup class;
// another system reports the equivalent of each so that the same matching
// logic applies (first hardware ID "USB\VID_05C6&PID_9008", instance ID
// "USB\VID_05C6&PID_9008\<serial>", port name, bus-reported description).
#pragma once
#include <cstddef>
#include <cstdint>

// An open snapshot of the port devices present, owned by the caller between
// enum_begin and enum_end.
struct qud_enum;

struct qud_platform {
	// Takes a snapshot of the serial-port devices present now. Returns it, or
	// null with last_error() set when the system cannot list them.
	qud_enum *(*enum_begin)(void);

	// Releases a snapshot; null is allowed.
	void (*enum_end)(qud_enum *set);

	// True while index names a device of the snapshot (0, 1, 2, ...); the
	// walk ends at the first false.
	bool (*enum_has)(qud_enum *set, uint32_t index);

	// The device's first hardware ID, NUL-terminated, into out[size]. False
	// when it has none or it does not fit.
	bool (*hardware_id)(qud_enum *set, uint32_t index, char *out, size_t size);

	// The device instance ID, NUL-terminated, components separated by
	// backslashes. False when it cannot be read or does not fit.
	bool (*instance_id)(qud_enum *set, uint32_t index, char *out, size_t size);

	// The raw "PortName" value: up to size bytes copied to out, the byte count
	// of the value in *out_size (it need not end with a NUL), and whether the
	// value is a plain string (REG_SZ) in *is_string. False when the value is
	// missing or larger than size.
	bool (*port_name)(qud_enum *set, uint32_t index, uint8_t *out, uint32_t size,
			  uint32_t *out_size, bool *is_string);

	// The bus-reported device description as NUL-terminated UTF-8 in
	// out[size]. Returns its length (> 0), or 0 or less when the device has
	// no such string description or it cannot be converted.
	int (*bus_description)(qud_enum *set, uint32_t index, char *out, size_t size);

	// Prepended to the port name to form the path that port_open takes
	// ("\\.\" on Windows, "/dev/" elsewhere).
	const char *path_prefix;

	// Opens path for exclusive reading and writing. Returns 0 and the port in
	// *port, or -1 with last_error() set.
	int (*port_open)(const char *path, void **port);

	// Raw 115200 baud 8N1, no flow control, DTR and RTS on, a 1000 ms read
	// time-out; drops unsent output but keeps received bytes. Returns 0, or
	// -1 with last_error() set.
	int (*port_configure)(void *port);

	// Returns as soon as at least one byte is there, with what is buffered up
	// to len bytes. Returns 0 when nothing arrived within timeout_ms (0 counts
	// as 1 ms), -ETIMEDOUT when the transfer had to be abandoned, -EIO on any
	// other failure, including a port that has gone away.
	int (*port_read)(void *port, void *buf, size_t len, unsigned timeout_ms);

	// Writes all len bytes within timeout_ms. Returns len, -ETIMEDOUT when the
	// time ran out (also after some bytes went out), or -EIO.
	int (*port_write)(void *port, const void *buf, size_t len, unsigned timeout_ms);

	// Releases a port returned by port_open.
	void (*port_close)(void *port);

	// The system's number for the last failure of the calls above, for the
	// messages.
	unsigned long (*last_error)(void);

	// The name of the system call whose failure last_error() holds
	// ("opendir", "open", "tcgetattr", ...), where last_error() is an errno
	// value: the messages then name that call and give the system's text.
	// Null on Windows, whose messages give the error number.
	const char *(*last_call)(void);
};

// The table for the system the program runs on.
extern const qud_platform qud_platform_native;

#ifdef _WIN32
// One overlapped transfer on a port from port_open, waited for up to
// timeout_ms and then cancelled: the bytes moved, also those of a cancelled
// read; -ETIMEDOUT when the wait ran out first (a write, or a read that moved
// nothing), -EIO on any other failure. The port's own time-outs are left as
// they are. For the Windows checks under Wine.
int qud_win_transfer(void *port, void *buf, size_t len, unsigned timeout_ms, bool is_write);
#else
// The native enumeration over a sysfs tree rooted at sysfs_root ("/sys" for
// the native table).
qud_enum *qud_sysfs_enum_begin(const char *sysfs_root);
#endif

// Installs ops for every later enumeration and open (null restores the
// native table) and returns the table that was in use. An open port keeps
// the table it was opened with.
const qud_platform *qud_platform_use(const qud_platform *ops);
