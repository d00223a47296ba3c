// In-process front of the device model: a vorn_device back-end that hands
// the engine the model's transfers directly. Nothing waits: a silent model
// makes read() return -ETIMEDOUT at once, so tests of time-outs are fast.
#pragma once
#include <cstdint>
#include <map>

#include "edl_model.h"
#include "vorn.h"

struct vorn_device_emu : vorn_device {
	// The model must outlive the device record.
	explicit vorn_device_emu(emu_model *model, VORN_DEVICE_TYPE type = VORN_DEVICE_USB);

	int open(const char *serial) override;
	// The model's next transfer (up to len bytes), -ETIMEDOUT when the
	// model is silent, -EIO once it is unplugged.
	int read(void *buf, size_t len, unsigned timeout_ms) override;
	// One host transfer to the model; len, or -EIO once unplugged.
	int write(const void *buf, size_t len, unsigned timeout_ms) override;
	void close() override;

	emu_model *model;
	// How many reads asked for each time-out, and how many of them timed
	// out: the engine's waiting pattern, for tests.
	std::map<unsigned, uint64_t> reads_by_timeout;
	std::map<unsigned, uint64_t> timeouts_by_timeout;
	bool opened = false;
};

// A device record for vorn_deinit (the model stays the caller's).
vorn_device *emu_vorn_init(emu_model *model, VORN_DEVICE_TYPE type = VORN_DEVICE_USB);
