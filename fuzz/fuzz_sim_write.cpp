// The simulated device's write path with arbitrary bytes: Firehose XML, raw
// data and VIP digest tables. The first byte picks the device's situation:
//   bits 0-1  0: commands, 1: signed table, 2: chained table, 3: in a program's raw phase
//   bit 2     digest-generation mode
//   bit 3     a full signed table (53 digests and a chain digest) received first
//   bits 4-5  the rest is written in 1, 2, 3 or 7 pieces
//   bits 6-7  read buffer: 512, 100, 7 or 1 bytes
// Afterwards everything queued is read back (and must end in a time-out or
// an I/O error, never hang), and the device is freed with what is left.
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <vector>

#include "le.h"
#include "sim.h"
#include "vorn.h"

static void send_table(vorn_device *dev, const std::vector<uint8_t> &t, bool is_signed)
{
	dev->vip_data.sending_table = true;
	dev->vip_data.state = is_signed ? VIP_INIT : VIP_SEND_NEXT_TABLE;
	vorn_write(dev, t.data(), t.size(), 0);
	dev->vip_data.sending_table = false;
	dev->vip_data.state = VIP_SEND_DATA;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	if (size < 1)
		return 0;
	uint8_t mode = data[0];
	data++;
	size--;

	vorn_device *dev = vorn_init(VORN_DEVICE_SIM);
	if (!dev)
		return 0;
	auto *sim = static_cast<vorn_device_sim *>(dev);

	if (mode & 8) {
		std::vector<uint8_t> t(40 + 54 * 32, 0);
		le32_put(&t[4], 6);
		le32_put(&t[16], 54 * 32);
		le32_put(&t[20], 54 * 32);
		for (size_t i = 40; i < t.size(); i++)
			t[i] = static_cast<uint8_t>(i);
		send_table(dev, t, true);
	}
	if (mode & 4)
		sim_set_digest_generation(true, dev, nullptr);
	if ((mode & 3) == 3) {
		static const char program[] = "<?xml version=\"1.0\" ?><data><program SECTOR_SIZE_IN_BYTES=\"16\" "
					      "num_partition_sectors=\"8\" /></data>";
		vorn_write(dev, program, sizeof(program) - 1, 0);
	}

	static const size_t pieces_of[] = {1, 2, 3, 7};
	size_t pieces = pieces_of[(mode >> 4) & 3];
	size_t step = size / pieces + 1;
	for (size_t off = 0; off < size || off == 0; off += step) {
		size_t n = size - off < step ? size - off : step;
		if ((mode & 3) == 1 || (mode & 3) == 2) {
			dev->vip_data.sending_table = true;
			dev->vip_data.state = (mode & 3) == 1 ? VIP_INIT : VIP_SEND_NEXT_TABLE;
		}
		int r = vorn_write(dev, data + off, n, 0);
		if (r != static_cast<int>(n))
			__builtin_trap();
		if (size == 0)
			break;
	}
	if (sim->vip_hash_count > SIM_VIP_MAX_HASHES)
		__builtin_trap();

	static const size_t bufsize_of[] = {512, 100, 7, 1};
	size_t bufsize = bufsize_of[(mode >> 6) & 3];
	std::vector<uint8_t> buf(bufsize);
	// Responses are short and raw reads here announce little; a runaway
	// loop would be a fault.
	for (int i = 0; i < 100000; i++) {
		int n = vorn_read(dev, buf.data(), buf.size(), 0);
		if (n == -ETIMEDOUT || n == -EIO)
			break;
		if (n < 0 || static_cast<size_t>(n) > bufsize)
			__builtin_trap();
		if (n == 0 && sim->state != SIM_STATE_XML && sim->resp_head == nullptr)
			__builtin_trap();
	}
	vorn_deinit(dev);
	return 0;
}
