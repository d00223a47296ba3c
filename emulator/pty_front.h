// Pseudo-terminal front of the device model: the device end of a serial
// port. The emulator keeps the master; the program under test opens the
// slave as it would open a USB serial port.
//
// A tty has no message boundaries, so the front cuts the host's byte stream
// into Sahara packets by their length field before handing each one to the
// model. In the other direction every transfer of the model goes out with
// one write where it fits (packets always do); memory runs are streamed.
// Only memory-debug scenarios can be served: raw image data from the host
// carries no length field to cut by.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "edl_model.h"

class emu_pty_front {
public:
	explicit emu_pty_front(emu_model &model);
	~emu_pty_front();
	emu_pty_front(const emu_pty_front &) = delete;
	emu_pty_front &operator=(const emu_pty_front &) = delete;

	// Creates the pair and puts the slave into raw mode. 0, or -errno.
	int open();
	const std::string &slave_path() const { return slave_path_; }

	// Serves for at most wait_ms: moves host bytes to the model and the
	// model's bytes to the host. Returns false once the device is gone
	// (unplugged: the master is closed) or a system call failed.
	bool step(int wait_ms);

	// Makes path a symbolic link to the slave for as long as the device is
	// there. It is removed before the master closes, as udev removes a
	// device's link, so that it never names a terminal number that the
	// system has since handed to another device. 0, or -errno.
	int set_link(const std::string &path);

	// Closes the master, as a vanishing USB device takes its tty with it.
	// Waits for the host to take what was already sent, up to drain_ms (a
	// limit for a host that stopped reading, generous for a slow one).
	void unplug(int drain_ms = 10000);
	bool unplugged() const { return master_ < 0; }

	// True when the model has nothing more to send and the host has read
	// every byte sent.
	bool idle() const;

	// Hands host bytes, split or joined in any way, to the model one packet
	// at a time. step() calls it; tests may call it directly.
	void feed_host(const uint8_t *buf, size_t len);

	// Pause between the end of one transfer and the start of the next, as
	// a slow device would leave (0: none). A packet the model sends in two
	// transfers then reaches the host in two pieces.
	void set_transfer_gap(int ms) { gap_ms_ = ms; }

	uint64_t bytes_to_host() const { return to_host_; }
	uint64_t bytes_from_host() const { return from_host_; }
	// Largest write of one transfer the master took in one call.
	size_t largest_write() const { return largest_write_; }

private:
	bool send_some();
	void drop_link();
	size_t slave_unread() const;

	emu_model &model_;
	int master_ = -1;
	int slave_ = -1;
	std::string slave_path_;
	std::string link_;
	std::vector<uint8_t> in_;  // host bytes not yet a whole packet
	std::vector<uint8_t> out_; // bytes of the current transfer not yet written
	size_t out_off_ = 0;
	uint64_t to_host_ = 0;
	uint64_t from_host_ = 0;
	size_t largest_write_ = 0;
	int gap_ms_ = 0;
	bool out_ends_transfer_ = false; // out_ holds the end of a transfer
	bool trickled_ = false;		 // out_ holds one trickled byte
	long long next_transfer_ms_ = 0; // no new transfer starts before this
	long long last_write_ms_ = 0;     // when bytes last went to the master
};
