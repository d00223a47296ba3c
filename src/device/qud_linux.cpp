// Linux side of the COM-port transport: serial ports are the ttys in sysfs
// that sit below a USB device, and a port is a termios descriptor.
#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <memory>
#include <new>
#include <poll.h>
#include <string>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>
#include <vector>

#include "oscompat.h"
#include "qud_platform.h"

namespace {

// What Windows would report for the port, worked out from sysfs.
struct linux_port {
	std::string hardware_id; // USB\VID_05C6&PID_9008
	std::string instance_id; // USB\VID_05C6&PID_9008\<serial or sysfs name>
	std::string name;        // ttyUSB0
	std::string product;     // the USB device's product string, or empty
	bool has_product = false;
};

thread_local int linux_last_errno;
thread_local const char *linux_last_call = "";

// Remembers the failure of call for the messages.
void linux_failed(const char *call, int error)
{
	linux_last_errno = error;
	linux_last_call = call;
}

struct dir_closer {
	void operator()(DIR *d) const { closedir(d); }
};

struct free_deleter {
	void operator()(void *p) const { free(p); }
};

// A sysfs attribute with its trailing newline removed; false when absent.
bool read_attr(const std::string &path, std::string &value)
{
	os_fd f(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
	if (f.fd < 0)
		return false;
	if (os_read_small(f.fd, 4096, value) != 0)
		return false;
	while (!value.empty() && (value.back() == '\n' || value.back() == '\r'))
		value.pop_back();
	return true;
}

bool is_file(const std::string &path)
{
	struct stat st;
	return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool path_exists(const std::string &path)
{
	struct stat st;
	return stat(path.c_str(), &st) == 0;
}

// Parses a four-digit hexadecimal USB id as sysfs writes it ("05c6").
bool parse_usb_id(const std::string &text, unsigned *id)
{
	if (text.empty() || text.size() > 4)
		return false;
	unsigned v = 0;
	for (char c : text) {
		int d;
		if (c >= '0' && c <= '9')
			d = c - '0';
		else if (c >= 'a' && c <= 'f')
			d = c - 'a' + 10;
		else if (c >= 'A' && c <= 'F')
			d = c - 'A' + 10;
		else
			return false;
		v = (v << 4) | static_cast<unsigned>(d);
	}
	*id = v;
	return true;
}

// Describes <root>/class/tty/<name> when its device sits below a USB device;
// top is the resolved root, above which the search never goes.
bool describe_tty(const std::string &root, const std::string &top, const std::string &name, linux_port &port)
{
	std::string class_path = root + "/class/tty/" + name;

	// Virtual terminals and the like have no device behind them.
	if (!path_exists(class_path + "/device"))
		return false;
	std::unique_ptr<char, free_deleter> real(realpath(class_path.c_str(), nullptr));
	if (!real)
		return false;

	// Climb to the nearest ancestor that is a USB device (it has idVendor and
	// idProduct), staying inside the sysfs tree.
	std::string dir = real.get();
	for (;;) {
		size_t slash = dir.rfind('/');
		if (slash == std::string::npos || slash == 0)
			return false;
		dir.erase(slash);
		if (dir.size() <= top.size() || dir.compare(0, top.size(), top) != 0)
			return false;
		if (is_file(dir + "/idVendor") && is_file(dir + "/idProduct"))
			break;
	}

	std::string vid_text, pid_text, serial;
	unsigned vid, pid;
	if (!read_attr(dir + "/idVendor", vid_text) || !parse_usb_id(vid_text, &vid))
		return false;
	if (!read_attr(dir + "/idProduct", pid_text) || !parse_usb_id(pid_text, &pid))
		return false;

	char id[64];
	snprintf(id, sizeof(id), "USB\\VID_%04X&PID_%04X", vid, pid);
	port.hardware_id = id;
	if (!read_attr(dir + "/serial", serial) || serial.empty())
		serial = dir.substr(dir.rfind('/') + 1);
	port.instance_id = port.hardware_id + "\\" + serial;
	port.name = name;
	port.has_product = read_attr(dir + "/product", port.product);
	return true;
}

bool copy_text(const std::string &text, char *out, size_t size)
{
	if (text.size() + 1 > size)
		return false;
	memcpy(out, text.c_str(), text.size() + 1);
	return true;
}

} // namespace

struct qud_enum {
	std::vector<linux_port> ports;
};

qud_enum *qud_sysfs_enum_begin(const char *sysfs_root)
{
	std::string root = sysfs_root;
	std::unique_ptr<DIR, dir_closer> dir(opendir((root + "/class/tty").c_str()));
	if (!dir) {
		linux_failed("opendir", errno);
		return nullptr;
	}

	std::vector<std::string> names;
	while (struct dirent *entry = readdir(dir.get())) {
		if (entry->d_name[0] != '.')
			names.emplace_back(entry->d_name);
	}
	// A stable order, so the first port is the same on every pass.
	std::sort(names.begin(), names.end());

	auto *set = new (std::nothrow) qud_enum();
	if (!set) {
		linux_failed("new", ENOMEM);
		return nullptr;
	}
	std::unique_ptr<char, free_deleter> real_root(realpath(root.c_str(), nullptr));
	std::string top = real_root ? real_root.get() : root;
	for (const auto &name : names) {
		linux_port port;
		if (describe_tty(root, top, name, port))
			set->ports.push_back(std::move(port));
	}
	return set;
}

namespace {

qud_enum *linux_enum_begin(void)
{
	return qud_sysfs_enum_begin("/sys");
}

void linux_enum_end(qud_enum *set)
{
	delete set;
}

bool linux_enum_has(qud_enum *set, uint32_t index)
{
	return index < set->ports.size();
}

bool linux_hardware_id(qud_enum *set, uint32_t index, char *out, size_t size)
{
	return copy_text(set->ports[index].hardware_id, out, size);
}

bool linux_instance_id(qud_enum *set, uint32_t index, char *out, size_t size)
{
	return copy_text(set->ports[index].instance_id, out, size);
}

bool linux_port_name(qud_enum *set, uint32_t index, uint8_t *out, uint32_t size, uint32_t *out_size,
		     bool *is_string)
{
	const std::string &name = set->ports[index].name;
	if (name.size() + 1 > size)
		return false;
	memcpy(out, name.c_str(), name.size() + 1);
	*out_size = static_cast<uint32_t>(name.size() + 1);
	*is_string = true;
	return true;
}

int linux_bus_description(qud_enum *set, uint32_t index, char *out, size_t size)
{
	const linux_port &port = set->ports[index];
	if (!port.has_product || port.product.empty() || size == 0)
		return 0;
	// Cut like the fixed-size property buffer of the other system.
	size_t len = std::min(port.product.size(), size - 1);
	memcpy(out, port.product.data(), len);
	out[len] = '\0';
	return static_cast<int>(len);
}

struct linux_tty {
	int fd;
	bool exclusive;
};

int linux_port_open(const char *path, void **port)
{
	int fd = ::open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
	if (fd < 0) {
		linux_failed("open", errno);
		return -1;
	}
	auto *tty = new (std::nothrow) linux_tty{fd, false};
	if (!tty) {
		::close(fd);
		linux_failed("new", ENOMEM);
		return -1;
	}
	// Keep other programs off the port while we own it. Pseudo-terminals
	// and emulated ttys may refuse; the port works without it.
	tty->exclusive = ioctl(fd, TIOCEXCL) == 0;
	*port = tty;
	return 0;
}

int linux_port_configure(void *port)
{
	int fd = static_cast<linux_tty *>(port)->fd;
	struct termios tio;

	if (tcgetattr(fd, &tio) != 0) {
		linux_failed("tcgetattr", errno);
		return -1;
	}
	cfmakeraw(&tio);
	tio.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | CSTOPB | CRTSCTS);
	tio.c_cflag |= CS8 | CLOCAL | CREAD;
	tio.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY);
	// One byte completes a read; with O_NONBLOCK an empty queue gives EAGAIN
	// and a hung-up line gives 0.
	tio.c_cc[VMIN] = 1;
	tio.c_cc[VTIME] = 0;
	if (cfsetispeed(&tio, B115200) != 0 || cfsetospeed(&tio, B115200) != 0) {
		linux_failed("cfsetspeed", errno);
		return -1;
	}
	if (tcsetattr(fd, TCSANOW, &tio) != 0) {
		linux_failed("tcsetattr", errno);
		return -1;
	}
	// Modem lines do not exist on pseudo-terminals; not having them is fine.
	int lines = TIOCM_DTR | TIOCM_RTS;
	(void)ioctl(fd, TIOCMBIS, &lines);
	// Unsent output goes; bytes the device already sent stay.
	(void)tcflush(fd, TCOFLUSH);
	return 0;
}

long long now_ms(void)
{
	struct timespec ts;
	clock_gettime(CLOCK_MONOTONIC, &ts);
	return static_cast<long long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

// Waits for events on fd until deadline_ms. Returns the revents, 0 on time-out,
// -1 on failure.
int wait_fd(int fd, short events, long long deadline_ms)
{
	for (;;) {
		long long left = deadline_ms - now_ms();
		if (left < 0)
			left = 0;
		struct pollfd pfd = {fd, events, 0};
		int r = poll(&pfd, 1, static_cast<int>(std::min<long long>(left, INT_MAX)));
		if (r < 0 && errno == EINTR)
			continue;
		if (r < 0)
			return -1;
		if (r == 0)
			return 0;
		return pfd.revents;
	}
}

int linux_port_read(void *port, void *buf, size_t len, unsigned timeout_ms)
{
	int fd = static_cast<linux_tty *>(port)->fd;
	long long deadline = now_ms() + (timeout_ms ? timeout_ms : 1);

	if (len == 0)
		return 0;
	for (;;) {
		ssize_t n = ::read(fd, buf, len);
		if (n > 0)
			return static_cast<int>(n);
		// A tty whose other end has gone reports end of file or EIO.
		if (n == 0)
			return -EIO;
		if (errno == EINTR)
			continue;
		if (errno != EAGAIN && errno != EWOULDBLOCK)
			return -EIO;
		int ev = wait_fd(fd, POLLIN, deadline);
		if (ev < 0)
			return -EIO;
		if (ev == 0)
			return 0;
		if (ev & POLLNVAL)
			return -EIO;
		// POLLIN, POLLHUP or POLLERR: the next read tells which.
	}
}

int linux_port_write(void *port, const void *buf, size_t len, unsigned timeout_ms)
{
	int fd = static_cast<linux_tty *>(port)->fd;
	const auto *p = static_cast<const uint8_t *>(buf);
	long long deadline = now_ms() + timeout_ms;
	size_t done = 0;

	while (done < len) {
		ssize_t n = ::write(fd, p + done, len - done);
		if (n > 0) {
			done += static_cast<size_t>(n);
			continue;
		}
		if (n < 0 && errno == EINTR)
			continue;
		if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK)
			return -EIO;
		int ev = wait_fd(fd, POLLOUT, deadline);
		if (ev < 0 || (ev & (POLLERR | POLLHUP | POLLNVAL)))
			return -EIO;
		if (ev == 0)
			return -ETIMEDOUT;
	}
	return static_cast<int>(done);
}

void linux_port_close(void *port)
{
	auto *tty = static_cast<linux_tty *>(port);
	if (!tty)
		return;
	// The lock belongs to the tty, not to our descriptor: lift it so the
	// port can be opened again while something else holds it open.
	if (tty->exclusive)
		(void)ioctl(tty->fd, TIOCNXCL);
	::close(tty->fd);
	delete tty;
}

unsigned long linux_last_error(void)
{
	return static_cast<unsigned long>(linux_last_errno);
}

const char *linux_last_failed_call(void)
{
	return linux_last_call;
}

} // namespace

const qud_platform qud_platform_native = {
	linux_enum_begin,
	linux_enum_end,
	linux_enum_has,
	linux_hardware_id,
	linux_instance_id,
	linux_port_name,
	linux_bus_description,
	"/dev/",
	linux_port_open,
	linux_port_configure,
	linux_port_read,
	linux_port_write,
	linux_port_close,
	linux_last_error,
	linux_last_failed_call,
};
