// The Sahara wire: packets decoded from and encoded into bytes, the read that
// watches for a stop, and the completion of a packet that came in pieces or
// together with the next one.
#include <algorithm>
#include <cerrno>
#include <cstring>

#include "le.h"
#include "sahara_engine.h"
#include "ux.h"

// Short enough that a stop ends every dump at once, long enough to cost
// nothing while data flows.
#define SAHARA_STOP_SLICE_MS 200

bool sahara_stopping(const sahara_dump_run &run)
{
	return run.ctl && run.ctl->stop && run.ctl->stop->load();
}

int sahara_read_watching(vorn_device *dev, void *buf, size_t len, unsigned timeout_ms, const sahara_dump_run &run)
{
	if (!run.ctl || !run.ctl->stop)
		return vorn_read(dev, buf, len, timeout_ms);
	unsigned waited = 0;
	for (;;) {
		if (sahara_stopping(run))
			return -ECANCELED;
		unsigned slice = std::min<unsigned>(timeout_ms - waited, SAHARA_STOP_SLICE_MS);
		int n = vorn_read(dev, buf, len, slice);
		waited += slice;
		if (n != -ETIMEDOUT || waited >= timeout_ms)
			return n;
	}
}

// Decodes the bytes of a received packet; fields beyond n read as zero.
static void sahara_pkt_decode(const uint8_t *buf, size_t n, sahara_pkt *pkt)
{
	uint8_t b[SAHARA_PKT_SIZE] = {};

	memcpy(b, buf, std::min<size_t>(n, sizeof(b)));
	memset(pkt, 0, sizeof(*pkt));
	pkt->cmd = le32_get(b);
	pkt->length = le32_get(b + 4);
	switch (pkt->cmd) {
	case SAHARA_HELLO:
		pkt->hello_req.version = le32_get(b + 8);
		pkt->hello_req.compatible = le32_get(b + 12);
		pkt->hello_req.max_len = le32_get(b + 16);
		pkt->hello_req.mode = le32_get(b + 20);
		for (int i = 0; i < 6; i++)
			pkt->hello_req.reserved[i] = le32_get(b + 24 + 4 * i);
		break;
	case SAHARA_READ_DATA:
		pkt->read_req.image = le32_get(b + 8);
		pkt->read_req.offset = le32_get(b + 12);
		pkt->read_req.length = le32_get(b + 16);
		break;
	case SAHARA_END_OF_IMAGE:
		pkt->eoi.image = le32_get(b + 8);
		pkt->eoi.status = le32_get(b + 12);
		break;
	case SAHARA_DONE_RESP:
		pkt->done_resp.status = le32_get(b + 8);
		break;
	case SAHARA_MEMORY_DEBUG:
	case SAHARA_MEM_DEBUG64: {
		unsigned field = sahara_debug_width_of(pkt->cmd)->field;
		pkt->debug64_req.addr = le_get(b + 8, field);
		pkt->debug64_req.length = le_get(b + 8 + field, field);
		break;
	}
	case SAHARA_READ_DATA64:
		pkt->read64_req.image = le64_get(b + 8);
		pkt->read64_req.offset = le64_get(b + 16);
		pkt->read64_req.length = le64_get(b + 24);
		break;
	default:
		break;
	}
}

static int sahara_send_header(vorn_device *dev, uint32_t cmd)
{
	uint8_t b[8];

	le32_put(b, cmd);
	le32_put(b + 4, 8);
	return vorn_write(dev, b, sizeof(b), SAHARA_TIMEOUT_MS);
}

int sahara_send_reset(vorn_device *dev)
{
	return sahara_send_header(dev, SAHARA_RESET);
}

void sahara_send_done(vorn_device *dev)
{
	(void)sahara_send_header(dev, SAHARA_DONE);
}

void sahara_send_hello_resp(vorn_device *dev, uint32_t mode)
{
	uint8_t b[SAHARA_PKT_SIZE] = {};

	le32_put(b, SAHARA_HELLO_RESP);
	le32_put(b + 4, SAHARA_PKT_SIZE);
	le32_put(b + 8, 2);  // version
	le32_put(b + 12, 1); // compatible
	le32_put(b + 16, 0); // status
	le32_put(b + 20, mode);
	(void)vorn_write(dev, b, sizeof(b), SAHARA_TIMEOUT_MS);
}

int sahara_send_mem_read(vorn_device *dev, const sahara_debug_width &w, uint64_t addr, uint64_t length)
{
	uint8_t b[24];

	// Cut to the field, the request would read other memory.
	if (addr > w.addr_last || length > w.addr_last)
		return -EINVAL;
	le32_put(b, w.read_cmd);
	le32_put(b + 4, w.packet_length);
	le_put(b + 8, w.field, addr);
	le_put(b + 8 + w.field, w.field, length);
	return vorn_write(dev, b, w.packet_length, SAHARA_TIMEOUT_MS);
}

// A serial port hands out whatever it has buffered, so a packet may arrive in
// pieces: complete it by its length field before judging it, reading no
// further than that packet. A USB transfer is always one whole packet; there
// a length that lies only costs one more read that times out.
static int sahara_complete_packet(vorn_device *dev, uint8_t *buf, int n, const sahara_dump_run &run)
{
	for (;;) {
		size_t need = n < 8 ? 8 : le32_get(buf + 4);
		if (need <= static_cast<size_t>(n) || need > SAHARA_RX_SIZE)
			return n;
		// -ECANCELED on a stop, however slowly the bytes come.
		int more = sahara_read_watching(dev, buf + n, need - static_cast<size_t>(n), SAHARA_TIMEOUT_MS, run);
		if (more == -ECANCELED)
			return more;
		if (more <= 0)
			return n;
		n += more;
	}
}

// The fixed length of a device packet the loop dispatches, with its name for
// the message; 0 for commands whose length is checked elsewhere or not at all.
uint32_t sahara_required_length(uint32_t cmd, const char **name)
{
	static const struct {
		uint32_t cmd, length;
		const char *name;
	} lengths[] = {
		{SAHARA_HELLO, 48, "HELLO"},
		{SAHARA_READ_DATA, 20, "READ_DATA"},
		{SAHARA_READ_DATA64, 32, "READ_DATA64"},
		{SAHARA_END_OF_IMAGE, 16, "END_OF_IMAGE"},
		{SAHARA_DONE_RESP, 12, "DONE_RESP"},
		{SAHARA_RESET_RESP, 8, "RESET_RESP"},
	};
	for (const auto &l : lengths) {
		if (l.cmd == cmd) {
			*name = l.name;
			return l.length;
		}
	}
	return 0;
}

// A serial port may hand over the next packet in the same read as this one.
// When the first packet's length is that of its command (or its command has
// no fixed length and what follows can hold a packet), the rest is kept for
// the next read instead of failing the dump. Returns the first packet's
// length, or n untouched.
static int sahara_split_coalesced(vorn_device *dev, const uint8_t *buf, int n)
{
	if (n <= 8)
		return n;
	uint32_t len = le32_get(buf + 4);
	if (len < 8 || len >= static_cast<uint32_t>(n))
		return n;
	const char *name = nullptr;
	uint32_t want = sahara_required_length(le32_get(buf), &name);
	if (want ? want != len : static_cast<uint32_t>(n) - len < 8)
		return n;
	if (vorn_push_back(dev, buf + len, static_cast<size_t>(n) - len) != 0)
		return n;
	return static_cast<int>(len);
}

int sahara_next_packet(vorn_device *dev, uint8_t *buf, int n, const sahara_dump_run &run, sahara_pkt *pkt)
{
	n = sahara_complete_packet(dev, buf, n, run);
	if (n == -ECANCELED)
		return n;
	n = sahara_split_coalesced(dev, buf, n);
	if (n < 8 || le32_get(buf + 4) != static_cast<uint32_t>(n)) {
		ux_err("request length not matching received request\n");
		return -EINVAL;
	}
	sahara_pkt_decode(buf, static_cast<size_t>(n), pkt);
	return n;
}
