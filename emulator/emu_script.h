// A scripted transport: reads and writes follow a fixed list of steps, for
// tests where the exact bytes on the wire are the point (bad lengths, reply
// layouts, unknown commands). Anything off the script is recorded, never
// thrown.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "vorn.h"

struct emu_script_step {
	enum kind_t { READ, READ_ERROR, WRITE } kind;
	std::vector<uint8_t> bytes; // READ: returned; WRITE: expected
	int error = 0;		    // READ_ERROR: the negative result
};

struct vorn_device_script : vorn_device {
	explicit vorn_device_script(VORN_DEVICE_TYPE type = VORN_DEVICE_USB) { dev_type = type; }

	// Builders.
	vorn_device_script &dev_sends(std::vector<uint8_t> bytes);
	vorn_device_script &dev_fails(int error);
	vorn_device_script &host_sends(std::vector<uint8_t> bytes);

	int open(const char *) override { return 0; }
	// Next READ step; -ETIMEDOUT when the script is used up or a WRITE is
	// due (the device waits for the host).
	int read(void *buf, size_t len, unsigned timeout_ms) override;
	// Compared with the next WRITE step; off-script writes are recorded.
	int write(const void *buf, size_t len, unsigned timeout_ms) override;
	void close() override {}

	bool finished() const { return pos == steps.size(); }

	std::vector<emu_script_step> steps;
	size_t pos = 0;
	std::vector<std::vector<uint8_t>> writes; // every write, in order
	std::vector<unsigned> read_timeouts;	  // time-out of every read
	std::vector<std::string> mismatches;
};

// Packet builders for scripts: little-endian 32-bit words, or a header
// followed by a body.
std::vector<uint8_t> emu_words(std::initializer_list<uint32_t> words);
std::vector<uint8_t> emu_pkt64(uint32_t cmd, uint32_t length, std::initializer_list<uint64_t> body);
