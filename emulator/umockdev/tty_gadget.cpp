// Emulated USB serial port under umockdev, served from a pty master.
#include "tty_gadget.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include "le.h"

namespace {

// Largest packet the framer waits for; anything claiming more is passed on
// as it is, so the model can record the violation.
constexpr uint32_t tty_max_packet = 1u << 20;

void tty_make_raw(int fd)
{
	struct termios tio;
	if (tcgetattr(fd, &tio) != 0)
		return;
	if (!(tio.c_lflag & (ICANON | ECHO)))
		return;
	cfmakeraw(&tio);
	tcsetattr(fd, TCSANOW, &tio);
}

} // namespace

tty_gadget::tty_gadget(UMockdevTestbed *tb, tty_gadget_config cfg, std::unique_ptr<emu_model> model)
	: tb_(tb), cfg_(std::move(cfg)), model_(std::move(model))
{
}

tty_gadget::~tty_gadget()
{
	stop();
	if (master_ >= 0)
		close(master_);
}

bool tty_gadget::plug()
{
	// The USB parent carries the ids and the product text but is no
	// usb_device for libusb: the port is the only way to the device.
	std::string usb = "/devices/pci0000:00/0000:00:14.0/usb3/3-" + std::to_string(cfg_.index + 1);
	std::string itf = usb + "/3-" + std::to_string(cfg_.index + 1) + ":1.0";
	std::string ser = itf + "/" + cfg_.name;
	char text[4096];
	snprintf(text, sizeof(text),
		 "P: %s/tty/%s\n"
		 "N: %s\n"
		 "E: DEVNAME=/dev/%s\n"
		 "E: SUBSYSTEM=tty\n"
		 "A: dev=188:%d\\n\n"
		 "L: device=../../../%s\n"
		 "\n"
		 "P: %s\n"
		 "E: SUBSYSTEM=usb-serial\n"
		 "E: DRIVER=qcserial\n"
		 "\n"
		 "P: %s\n"
		 "E: SUBSYSTEM=usb\n"
		 "E: DEVTYPE=usb_interface\n"
		 "A: bInterfaceClass=ff\\n\n"
		 "A: bInterfaceSubClass=ff\\n\n"
		 "A: bInterfaceProtocol=ff\\n\n"
		 "\n"
		 "P: %s\n"
		 "E: SUBSYSTEM=usb\n"
		 "A: idVendor=%04x\\n\n"
		 "A: idProduct=%04x\\n\n"
		 "A: product=%s\\n\n"
		 "\n",
		 ser.c_str(), cfg_.name.c_str(), cfg_.name.c_str(), cfg_.name.c_str(), cfg_.index, cfg_.name.c_str(), ser.c_str(),
		 itf.c_str(), usb.c_str(), cfg_.vid, cfg_.pid, cfg_.product.c_str());

	GError *error = nullptr;
	if (!umockdev_testbed_add_from_string(tb_, text, &error)) {
		fprintf(stderr, "emu-usb: cannot add tty: %s\n", error ? error->message : "?");
		g_clear_error(&error);
		return false;
	}
	std::string node = "/dev/" + cfg_.name;
	master_ = umockdev_testbed_get_dev_fd(tb_, node.c_str());
	if (master_ < 0) {
		fprintf(stderr, "emu-usb: no pty behind %s\n", node.c_str());
		return false;
	}
	fcntl(master_, F_SETFL, fcntl(master_, F_GETFL) | O_NONBLOCK);
	// Nothing the device sends may be echoed or translated.
	tty_make_raw(master_);
	thread_ = std::thread([this] { serve(); });
	return true;
}

void tty_gadget::stop()
{
	stop_ = true;
	if (thread_.joinable())
		thread_.join();
}

void tty_gadget::serve()
{
	std::vector<uint8_t> out;
	size_t out_off = 0;
	uint8_t buf[65536];

	while (!stop_) {
		struct pollfd pfd = {master_, static_cast<short>(POLLIN | (out_off < out.size() ? POLLOUT : 0)), 0};
		poll(&pfd, 1, 5);

		ssize_t n = read(master_, buf, sizeof(buf));
		if (n < 0 && errno == EIO) {
			// No program has the port open.
			opened_ = false;
			usleep(2000);
			continue;
		}
		opened_ = true;

		std::lock_guard<std::mutex> g(mu_);
		if (model_->unplugged()) {
			// The device is gone: nothing more moves.
			continue;
		}
		if (n > 0) {
			in_acc_.insert(in_acc_.end(), buf, buf + n);
			// The host's bytes arrive as a stream; the model takes
			// whole packets, framed by their length field.
			while (in_acc_.size() >= 8) {
				uint32_t len = le32_get(in_acc_.data() + 4);
				size_t take = len < 8 || len > tty_max_packet ? in_acc_.size() : len;
				if (in_acc_.size() < take)
					break;
				model_->write_in(in_acc_.data(), take);
				in_acc_.erase(in_acc_.begin(), in_acc_.begin() + static_cast<std::ptrdiff_t>(take));
			}
		}
		if (out_off >= out.size() && model_->has_output()) {
			tty_make_raw(master_);
			out.resize(sizeof(buf));
			out.resize(model_->read_out(out.data(), out.size()));
			out_off = 0;
		}
		while (out_off < out.size()) {
			ssize_t w = write(master_, out.data() + out_off, out.size() - out_off);
			if (w <= 0)
				break;
			out_off += static_cast<size_t>(w);
		}
	}
}
