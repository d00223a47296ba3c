// COM-port transport: finds the Qualcomm EDL ports among the system's serial
// ports, picks one, and moves bytes through it. Everything here is plain
// logic; the system calls sit behind the table in qud_platform.h.
#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string>

#include "oscompat.h"
#include "qud_platform.h"
#include "ux.h"
#include "visible.h"
#include "vorn.h"

namespace {

constexpr char qud_hwid_prefix[] = "USB\\VID_05C6&PID_";
constexpr size_t qud_hwid_prefix_len = sizeof(qud_hwid_prefix) - 1; // 17
constexpr uint32_t qud_max_descs = 16;
constexpr size_t qud_hwid_size = 256;
constexpr size_t qud_instance_id_size = 256;
constexpr uint32_t qud_port_name_size = 32;
constexpr size_t qud_bus_desc_utf8_size = 512;
constexpr size_t qud_record_path_size = 260;
constexpr size_t qud_max_payload = 1048576;

const qud_platform *qud_ops = &qud_platform_native;

struct free_deleter {
	void operator()(void *p) const { free(p); }
};

struct vorn_device_qud : vorn_device {
	void *handle = nullptr;
	char path[qud_record_path_size] = {};
	// The last failure of open reported, so that an open retried every
	// pass of a waiting loop reports each distinct failure once.
	std::string last_failure;
	// The table the port was opened through; it closes it too.
	const qud_platform *ops = nullptr;

	int open(const char *serial) override;
	int read(void *buf, size_t len, unsigned timeout_ms) override;
	int write(const void *buf, size_t len, unsigned timeout_ms) override;
	void close() override;
	void set_out_chunk_size(long size) override;
	~vorn_device_qud() override { close(); }
};

vorn_device_qud *to_qud(vorn_device *dev)
{
	return static_cast<vorn_device_qud *>(dev);
}

// Releases a device snapshot at scope exit.
struct qud_enum_guard {
	const qud_platform *ops;
	qud_enum *set;
	~qud_enum_guard() { ops->enum_end(set); }
};

} // namespace

// The four characters after the prefix, as hexadecimal; 0 when one of them is
// not a hexadecimal digit. Characters after the fourth are not looked at.
static uint32_t win_parse_pid(const char *hardware_id)
{
	uint32_t pid = 0;

	for (size_t i = 0; i < 4; i++) {
		int d = text_hex_digit(hardware_id[qud_hwid_prefix_len + i]);
		if (d < 0)
			return 0;
		pid = (pid << 4) + static_cast<uint32_t>(d);
	}
	return pid;
}

// A value that fills the whole buffer without a terminator, or an empty
// value, cannot be told apart from a cut-off name; such a port is skipped
// rather than opened under a name that may belong to another port.
static bool win_read_port_name(const qud_platform *ops, qud_enum *set, uint32_t index, char *out,
			       uint32_t out_size)
{
	uint32_t size = 0;
	bool is_string = false;

	if (!ops->port_name(set, index, reinterpret_cast<uint8_t *>(out), out_size, &size, &is_string))
		return false;
	if (!is_string || size == 0 || size > out_size)
		return false;
	if (out[size - 1] != '\0') {
		if (size >= out_size)
			return false;
		out[size] = '\0';
	}
	return out[0] != '\0';
}

static bool win_read_iproduct_sn(const qud_platform *ops, qud_enum *set, uint32_t index, char *out,
				 size_t out_size)
{
	char text[qud_bus_desc_utf8_size];

	if (ops->bus_description(set, index, text, sizeof(text)) <= 0)
		return false;
	text[sizeof(text) - 1] = '\0';

	const char *mark = strstr(text, "_SN:");
	if (!mark)
		return false;
	const char *start = mark + 4;
	size_t len = strcspn(start, " _");
	if (len == 0 || len >= out_size)
		return false;
	memcpy(out, start, len);
	out[len] = '\0';
	return true;
}

static void win_extract_serial(const char *instance_id, char *out, size_t out_size)
{
	out[0] = '\0';
	const char *slash = strrchr(instance_id, '\\');
	if (!slash)
		return;
	snprintf(out, out_size, "%s", slash + 1);
}

// Fills up to out_max descriptors and returns how many Qualcomm ports there
// are (possibly more than out_max), or -1 when the ports cannot be listed.
static int qud_enumerate_ports(qud_device_desc *out, uint32_t out_max)
{
	const qud_platform *ops = qud_ops;
	qud_enum *set = ops->enum_begin();
	if (!set)
		return -1;
	qud_enum_guard guard{ops, set};

	int count = 0;
	for (uint32_t index = 0; ops->enum_has(set, index); index++) {
		char hwid[qud_hwid_size] = {};
		char instance_id[qud_instance_id_size] = {};
		char port_name[qud_port_name_size] = {};

		if (!ops->hardware_id(set, index, hwid, sizeof(hwid)))
			continue;
		hwid[sizeof(hwid) - 1] = '\0';
		if (strncmp(hwid, qud_hwid_prefix, qud_hwid_prefix_len) != 0)
			continue;
		if (!ops->instance_id(set, index, instance_id, sizeof(instance_id)))
			continue;
		instance_id[sizeof(instance_id) - 1] = '\0';
		if (!win_read_port_name(ops, set, index, port_name, sizeof(port_name)))
			continue;

		if (static_cast<uint32_t>(count) < out_max) {
			qud_device_desc *desc = &out[count];
			desc->pid = win_parse_pid(hwid);
			if (!win_read_iproduct_sn(ops, set, index, desc->serial, sizeof(desc->serial)))
				win_extract_serial(instance_id, desc->serial, sizeof(desc->serial));
			snprintf(desc->path, sizeof(desc->path), "%s%s", ops->path_prefix, port_name);
		}
		if (count < INT_MAX)
			count++;
	}
	return count;
}

bool serial_equal_nocase(const char *a, const char *b)
{
	for (;; a++, b++) {
		unsigned char ca = static_cast<unsigned char>(*a);
		unsigned char cb = static_cast<unsigned char>(*b);
		if (ca >= 'A' && ca <= 'Z')
			ca = static_cast<unsigned char>(ca - 'A' + 'a');
		if (cb >= 'A' && cb <= 'Z')
			cb = static_cast<unsigned char>(cb - 'A' + 'a');
		if (ca != cb)
			return false;
		if (ca == '\0')
			return true;
	}
}

bool qud_names_port(const char *serial)
{
	if (!serial)
		return false;
	if (serial[0] == '\\' || serial[0] == '/')
		return true;
	return strlen(serial) >= 3 && (serial[0] == 'C' || serial[0] == 'c') &&
	       (serial[1] == 'O' || serial[1] == 'o') && (serial[2] == 'M' || serial[2] == 'm');
}

// Prints an open failure through ux_err unless it is the one this record
// reported last.
static void qud_report_failure(vorn_device_qud *qud, const char *fmt, ...) VORN_PRINTF(2, 3);
static void qud_report_failure(vorn_device_qud *qud, const char *fmt, ...)
{
	char msg[512];
	va_list ap;

	va_start(ap, fmt);
	vsnprintf(msg, sizeof(msg), fmt, ap);
	va_end(ap);
	if (qud->last_failure == msg)
		return;
	qud->last_failure = msg;
	ux_err("%s", msg);
}

// The system's text for the last failure, where the platform's errors are
// errno values (it names the failing call then).
static const char *qud_error_text(const qud_platform *ops)
{
	return os_strerror(static_cast<int>(ops->last_error()));
}

// A port named COM<n> is opened as the device "\\.\COM<n>" (with the
// platform's prefix): Windows finds COM10 and above only so. Any other name
// is the path itself.
static std::string qud_direct_path(const qud_platform *ops, const char *serial)
{
	if (strchr(serial, '\\') || strchr(serial, '/'))
		return serial;
	return std::string(ops->path_prefix) + serial;
}

static int qud_open(vorn_device *device, const char *serial)
{
	vorn_device_qud *qud = to_qud(device);
	const qud_platform *ops = qud_ops;
	qud_device_desc descs[qud_max_descs] = {};
	std::string direct;
	const char *path = nullptr;

	if (qud_names_port(serial)) {
		direct = qud_direct_path(ops, serial);
		path = direct.c_str();
	} else {
		int count = qud_enumerate_ports(descs, qud_max_descs);
		if (count < 0) {
			if (ops->last_call)
				qud_report_failure(qud, "qud: cannot list serial ports: %s failed: %s\n", ops->last_call(),
						   qud_error_text(ops));
			else
				qud_report_failure(qud, "qud: SetupDiGetClassDevs failed (error %lu)\n",
						   ops->last_error());
			return -1;
		}
		if (count == 0) {
			qud_report_failure(qud, "qud: no Qualcomm COM ports found\n");
			return -1;
		}
		uint32_t filled = static_cast<uint32_t>(count) < qud_max_descs ? static_cast<uint32_t>(count)
									 : qud_max_descs;
		for (uint32_t i = 0; i < filled && !path; i++) {
			if (!serial || serial[0] == '\0' || serial_equal_nocase(descs[i].serial, serial))
				path = descs[i].path;
		}
		if (!path) {
			qud_report_failure(qud, "qud: no Qualcomm device matching serial \"%s\"\n", serial);
			return -1;
		}
	}

	// A record opened twice would leak its first port.
	qud->close();

	void *port = nullptr;
	if (ops->port_open(path, &port) != 0) {
		if (ops->last_call)
			qud_report_failure(qud, "qud: %s(%s) failed: %s\n", ops->last_call(), path,
					   qud_error_text(ops));
		else
			qud_report_failure(qud, "qud: CreateFile(%s) failed (error %lu)\n", path, ops->last_error());
		return -1;
	}
	if (ops->port_configure(port) != 0) {
		unsigned long error = ops->last_error();
		const char *call = ops->last_call ? ops->last_call() : nullptr;
		ops->port_close(port);
		if (call)
			qud_report_failure(qud, "qud: failed to configure %s: %s failed: %s\n", path, call,
					   os_strerror(static_cast<int>(error)));
		else
			qud_report_failure(qud, "qud: failed to configure %s (error %lu)\n", path, error);
		return -1;
	}

	qud->last_failure.clear();
	qud->handle = port;
	qud->ops = ops;
	snprintf(qud->path, sizeof(qud->path), "%s", path);
	ux_debug("qud: opened %s\n", qud->path);
	return 0;
}

static int qud_read(vorn_device *device, void *buf, size_t len, unsigned timeout_ms)
{
	vorn_device_qud *qud = to_qud(device);

	if (!qud->handle)
		return -EIO;
	if (len > INT_MAX)
		len = INT_MAX;
	int n = qud->ops->port_read(qud->handle, buf, len, timeout_ms);
	return n == 0 ? -ETIMEDOUT : n;
}

static int qud_write(vorn_device *device, const void *buf, size_t len, unsigned timeout_ms)
{
	vorn_device_qud *qud = to_qud(device);

	if (!qud->handle)
		return -EIO;
	if (len > INT_MAX)
		len = INT_MAX;
	return qud->ops->port_write(qud->handle, buf, len, timeout_ms);
}

static void qud_close(vorn_device *device)
{
	vorn_device_qud *qud = to_qud(device);

	if (!qud->handle)
		return;
	qud->ops->port_close(qud->handle);
	qud->handle = nullptr;
}

// The port has no packet size to adapt to.
static void qud_set_out_chunk_size(vorn_device *device, long size)
{
	(void)device;
	(void)size;
}

int vorn_device_qud::open(const char *serial)
{
	return qud_open(this, serial);
}

int vorn_device_qud::read(void *buf, size_t len, unsigned timeout_ms)
{
	return qud_read(this, buf, len, timeout_ms);
}

int vorn_device_qud::write(const void *buf, size_t len, unsigned timeout_ms)
{
	return qud_write(this, buf, len, timeout_ms);
}

void vorn_device_qud::close()
{
	qud_close(this);
}

void vorn_device_qud::set_out_chunk_size(long size)
{
	qud_set_out_chunk_size(this, size);
}

vorn_device *qud_init(void)
{
	auto *dev = new (std::nothrow) vorn_device_qud();
	if (!dev)
		return nullptr;
	dev->dev_type = VORN_DEVICE_QUD;
	dev->max_payload_size = qud_max_payload;
	return dev;
}

int qud_probe_present(void)
{
	qud_device_desc descs[qud_max_descs] = {};
	int count = qud_enumerate_ports(descs, qud_max_descs);
	return count < 0 ? 0 : count;
}

qud_device_desc *qud_list(uint32_t *devices_found)
{
	*devices_found = 0;
	// Every port: a second pass with room for all when the first had too
	// little (ports may come between the passes; those wait for the next
	// listing).
	uint32_t room = qud_max_descs;
	for (int pass = 0; pass < 2; pass++) {
		std::unique_ptr<qud_device_desc, free_deleter> descs(
			static_cast<qud_device_desc *>(calloc(room, sizeof(qud_device_desc))));
		if (!descs)
			return nullptr;
		int count = qud_enumerate_ports(descs.get(), room);
		if (count <= 0)
			return nullptr;
		if (static_cast<uint32_t>(count) <= room || pass == 1) {
			*devices_found = static_cast<uint32_t>(count) < room ? static_cast<uint32_t>(count) : room;
			return descs.release();
		}
		room = static_cast<uint32_t>(count);
	}
	return nullptr;
}

const qud_platform *qud_platform_use(const qud_platform *ops)
{
	const qud_platform *old = qud_ops;
	qud_ops = ops ? ops : &qud_platform_native;
	return old;
}
