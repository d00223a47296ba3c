// An emulated USB serial port on a umockdev testbed: a tty whose parent is a
// USB device with the vendor's ids, so the program finds it by walking
// /sys/class/tty as on a real system. umockdev backs the device node with a
// pseudo-terminal; this side serves the device model over its master end.
#pragma once
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <umockdev.h>

#include "edl_model.h"

struct tty_gadget_config {
	std::string name = "ttyUSB0"; // device node /dev/<name>
	uint16_t vid = 0x05c6;
	uint16_t pid = 0x9008;
	std::string product; // product attribute of the USB parent
	int index = 0;	     // distinguishes the sysfs paths of several ports
};

class tty_gadget {
public:
	tty_gadget(UMockdevTestbed *tb, tty_gadget_config cfg, std::unique_ptr<emu_model> model);
	~tty_gadget();
	tty_gadget(const tty_gadget &) = delete;
	tty_gadget &operator=(const tty_gadget &) = delete;

	// Puts the port on the testbed and starts serving it.
	bool plug();
	void stop();

	const tty_gadget_config &config() const { return cfg_; }
	emu_model *model() { return model_.get(); }
	std::mutex &lock() { return mu_; }
	bool opened() const { return opened_; }

private:
	void serve();

	UMockdevTestbed *tb_;
	tty_gadget_config cfg_;
	std::unique_ptr<emu_model> model_;
	std::mutex mu_;
	int master_ = -1;
	std::thread thread_;
	std::atomic<bool> stop_{false};
	std::atomic<bool> opened_{false};
	std::vector<uint8_t> in_acc_; // host bytes not yet a whole packet
};
