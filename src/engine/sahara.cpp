// Host side of the Sahara protocol: packets, the exchange loop and image
// serving. Memory-debug collection and the core assembly have files of their
// own.

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "le.h"
#include "oscompat.h"
#include "sahara_engine.h"
#include "util.h"
#include "ux.h"

static sahara_progress_observer sahara_observer;

// Short enough that a stop ends every dump at once, long enough to cost
// nothing while data flows.
#define SAHARA_STOP_SLICE_MS 200

const char sahara_stopped_hint[] = "Collection was stopped: the device was not reset and keeps its crash.";

// Unknown packets shown in full per run; the rest are only counted.
#define SAHARA_UNKNOWN_SHOWN 3
// HELLOs a memory-debug device may send before its table: one, and a few
// more after a host that was slow to answer.
#define SAHARA_HELLO_MAX 4

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

void sahara_set_progress_observer(sahara_progress_observer fn)
{
	sahara_observer = fn;
}

void sahara_progress_scale(uint64_t value, uint64_t max, uint32_t *value32, uint32_t *max32)
{
	if (value > max)
		value = max;
	unsigned shift = 0;
	while ((max >> shift) > UINT32_MAX)
		shift++;
	*value32 = static_cast<uint32_t>(value >> shift);
	*max32 = static_cast<uint32_t>(max >> shift);
}

void sahara_progress(const char *name, uint64_t value, uint64_t max)
{
	uint32_t v32, m32;

	sahara_progress_scale(value, max, &v32, &m32);
	if (sahara_observer)
		sahara_observer(value, max, v32, m32);
	ux_progress("%s", v32, m32, name);
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

static void sahara_send_done(vorn_device *dev)
{
	(void)sahara_send_header(dev, SAHARA_DONE);
}

static void sahara_send_hello_resp(vorn_device *dev, uint32_t mode)
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

int sahara_send_mem_read64(vorn_device *dev, const sahara_debug_width &w, uint64_t addr, uint64_t length)
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

static void sahara_hello(vorn_device *dev, const sahara_pkt *pkt)
{
	ux_debug("HELLO version: 0x%x compatible: 0x%x max_len: %d mode: %d\n", pkt->hello_req.version,
		 pkt->hello_req.compatible, static_cast<int>(pkt->hello_req.max_len),
		 static_cast<int>(pkt->hello_req.mode));
	sahara_send_hello_resp(dev, pkt->hello_req.mode);
}

// Serves one image request; 0 to go on, -1 to end the exchange, -2 to end it
// with a RESET.
static int sahara_serve(vorn_device *dev, const sahara_image *images, uint32_t id, uint64_t offset, uint64_t length)
{
	if (!images || id >= SAHARA_MAX_IMAGES || !images[id].ptr) {
		ux_err("device requested unknown image id %u, ensure that all Sahara images are provided\n", id);
		return -2;
	}
	const sahara_image *img = &images[id];
	if (offset > img->len || length > img->len - offset) {
		ux_err("device requested invalid range of image %d\n", static_cast<int>(id));
		return -1;
	}
	if (offset == 0)
		ux_info("Sahara: sending %s (%zu bytes)\n", img->name ? img->name : "(unknown)", img->len);
	sahara_progress(img->name ? img->name : "image", offset + length, img->len);

	int n = vorn_write(dev, static_cast<const uint8_t *>(img->ptr) + offset, length, SAHARA_TIMEOUT_MS);
	if (n < 0 || static_cast<uint64_t>(n) != length) {
		ux_err("failed to write %zu bytes to sahara\n", static_cast<size_t>(length));
		return -1;
	}
	return 0;
}

static int sahara_read(vorn_device *dev, const sahara_pkt *pkt, const sahara_image *images)
{
	ux_debug("READ image: %d offset: 0x%x length: 0x%x\n", static_cast<int>(pkt->read_req.image),
		 pkt->read_req.offset, pkt->read_req.length);
	return sahara_serve(dev, images, pkt->read_req.image, pkt->read_req.offset, pkt->read_req.length);
}

static int sahara_read64(vorn_device *dev, const sahara_pkt *pkt, const sahara_image *images)
{
	ux_debug("READ64 image: %lld offset: 0x%llx length: 0x%llx\n",
		 static_cast<long long>(pkt->read64_req.image),
		 static_cast<unsigned long long>(pkt->read64_req.offset),
		 static_cast<unsigned long long>(pkt->read64_req.length));
	return sahara_serve(dev, images, static_cast<uint32_t>(pkt->read64_req.image), pkt->read64_req.offset,
			    pkt->read64_req.length);
}

static int sahara_eoi(vorn_device *dev, const sahara_pkt *pkt)
{
	ux_debug("END OF IMAGE image: %d status: %d\n", static_cast<int>(pkt->eoi.image),
		 static_cast<int>(pkt->eoi.status));
	if (pkt->eoi.status != 0) {
		ux_err("received non-successful end-of-image result\n");
		return -1;
	}
	sahara_send_done(dev);
	return 0;
}

static int32_t sahara_done(vorn_device *, const sahara_pkt *pkt)
{
	int32_t status = static_cast<int32_t>(pkt->done_resp.status);

	ux_debug("DONE status: %d\n", status);
	return status;
}

static bool sahara_has_done_pending_quirk(const sahara_image *images)
{
	if (!images)
		return false;
	int filled = 0;
	for (int i = 0; i < SAHARA_MAX_IMAGES; i++)
		if (images[i].ptr)
			filled++;
	return filled == 1 && images[13].ptr;
}

static void sahara_debug_list_images(const sahara_image *images)
{
	ux_debug("Sahara images:\n");
	for (int i = 0; i < SAHARA_MAX_IMAGES; i++)
		if (images[i].ptr)
			ux_debug("  %2d: %s\n", i, images[i].name ? images[i].name : "(unknown)");
}

/* ---- exchange loop ---- */

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
static uint32_t sahara_required_length(uint32_t cmd, const char **name)
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

// Ends an exchange on an error the dispatch table answers with RESET. A
// memory-debug device is never reset before its dump is on disk: the reset
// would lose the crash.
static int sahara_fail_with_reset(vorn_device *dev, bool memory_debug)
{
	if (!memory_debug)
		sahara_send_reset(dev);
	return -1;
}

// An image-transfer ending from a device in memory-debug mode. The exchange
// ends well only with the dump on disk: before that, whatever the status
// says, nothing was saved.
static int sahara_debug_ending(const sahara_pkt &pkt, sahara_dump_run &run)
{
	char what[64];
	if (pkt.cmd == SAHARA_END_OF_IMAGE)
		snprintf(what, sizeof(what), "END_OF_IMAGE (image %u, status %u)", pkt.eoi.image, pkt.eoi.status);
	else
		snprintf(what, sizeof(what), "DONE_RESP (status %d)", static_cast<int32_t>(pkt.done_resp.status));
	if (run.complete) {
		ux_info("Sahara: the device answered the reset with %s\n", what);
		return 0;
	}
	ux_err("Sahara: the device sent %s instead of its memory table\n", what);
	run.hint = "Check that the device crashed into its memory-dump mode.";
	return -1;
}

static int sahara_exchange(vorn_device *dev, const sahara_image *images, const char *duruvev_path,
			   const char *duruvev_filter, sahara_dump_run &run)
{
	bool detect_firehose = duruvev_path == nullptr;
	bool first_read = true;
	uint8_t buf[SAHARA_RX_SIZE];
	sahara_pkt pkt;

	for (;;) {
		int n = sahara_read_watching(dev, buf, sizeof(buf), SAHARA_TIMEOUT_MS, run);
		if (n == -ECANCELED) {
			run.hint = sahara_stopped_hint;
			return -1;
		}
		if (n < 0) {
			if (first_read && detect_firehose && n == -ETIMEDOUT) {
				if (dev->dev_type == VORN_DEVICE_QUD || dev->dev_type == VORN_DEVICE_AUTO) {
					sahara_send_hello_resp(dev, 0);
					continue;
				}
				ux_info("no Sahara HELLO received; assuming Firehose programmer is already running\n");
				return 0;
			}
			// A device may drop off the bus as it resets: the dump
			// is on disk, so that is no failure.
			if (run.complete) {
				ux_info("Sahara: the device did not confirm the reset\n");
				return 0;
			}
			ux_err("failed to read sahara request from device\n");
			return -1;
		}
		if (first_read && detect_firehose && n >= 5 && memcmp(buf, "<?xml", 5) == 0) {
			ux_info("device is already in Firehose mode, skipping Sahara\n");
			return 0;
		}
		n = sahara_complete_packet(dev, buf, n, run);
		if (n == -ECANCELED) {
			run.hint = sahara_stopped_hint;
			return -1;
		}
		n = sahara_split_coalesced(dev, buf, n);
		if (n < 8 || le32_get(buf + 4) != static_cast<uint32_t>(n)) {
			ux_err("request length not matching received request\n");
			return -EINVAL;
		}
		sahara_pkt_decode(buf, static_cast<size_t>(n), &pkt);

		const char *name = nullptr;
		uint32_t want = sahara_required_length(pkt.cmd, &name);
		if (want && pkt.length != want) {
			ux_err("unexpected %s packet length %u\n", name, pkt.length);
			// A malformed RESET_RESP comes after the reset already.
			if (pkt.cmd == SAHARA_RESET_RESP)
				return -1;
			return sahara_fail_with_reset(dev, !detect_firehose);
		}

		switch (pkt.cmd) {
		case SAHARA_HELLO:
			// Collection answers crashes only: a device asking for
			// images is being flashed by someone else.
			if (run.ctl && pkt.hello_req.mode != SAHARA_MODE_MEMORY_DEBUG) {
				ux_info("Sahara: the device asks for image transfer (mode %u), not a crash dump; "
					"left alone\n",
					pkt.hello_req.mode);
				run.ctl->image_transfer = true;
				return -1;
			}
			if (!detect_firehose && ++run.hellos > SAHARA_HELLO_MAX) {
				ux_err("Sahara: the device sent HELLO %u times without going on; it is not dumped\n",
				       run.hellos);
				run.hint = "The device keeps starting over: re-plug it, or check that it crashed into "
					   "its memory-dump mode.";
				return -1;
			}
			sahara_hello(dev, &pkt);
			break;
		case SAHARA_READ_DATA:
		case SAHARA_READ_DATA64: {
			int ret = pkt.cmd == SAHARA_READ_DATA ? sahara_read(dev, &pkt, images)
							      : sahara_read64(dev, &pkt, images);
			if (ret == -2)
				return sahara_fail_with_reset(dev, !detect_firehose);
			if (ret < 0)
				return -1;
			break;
		}
		case SAHARA_END_OF_IMAGE:
			if (!detect_firehose)
				return sahara_debug_ending(pkt, run);
			if (sahara_eoi(dev, &pkt) < 0)
				return -1;
			break;
		case SAHARA_DONE_RESP: {
			if (!detect_firehose)
				return sahara_debug_ending(pkt, run);
			int32_t status = sahara_done(dev, &pkt);
			if (status < 0)
				return -1;
			if (status > 0 || sahara_has_done_pending_quirk(images))
				return 0;
			break;
		}
		case SAHARA_RESET_RESP:
			if (detect_firehose)
				break;
			if (!run.complete) {
				ux_err("Sahara: the device reset itself without offering its memory table\n");
				run.hint = "Check that the device crashed into its memory-dump mode.";
				return -1;
			}
			return 0;
		case SAHARA_MEMORY_DEBUG:
		case SAHARA_MEM_DEBUG64:
			if (detect_firehose) {
				ux_err("Sahara: unexpected %s request\n", sahara_debug_width_of(pkt.cmd)->debug_name);
				return -1;
			}
			if (run.complete) {
				ux_info("Sahara: the device did not take the reset\n");
				return 0;
			}
			// After a failed dump the device waits for requests
			// that will not come; leave it as it is.
			run.hellos = 0;
			if (sahara_debug64(dev, &pkt, duruvev_path, duruvev_filter, run) < 0)
				return -1;
			break;
		default: {
			// A device sending junk in a loop must not flood the output.
			if (++run.unknown_packets > SAHARA_UNKNOWN_SHOWN)
				break;
			char label[16];
			snprintf(label, sizeof(label), "CMD%x", pkt.cmd);
			print_hex_dump(label, buf, static_cast<size_t>(n));
			break;
		}
		}
		first_read = false;
	}
}

static void sahara_unknown_summary(const sahara_dump_run &run)
{
	if (run.unknown_packets > SAHARA_UNKNOWN_SHOWN)
		ux_err("Sahara: %u more unknown packets were not shown\n", run.unknown_packets - SAHARA_UNKNOWN_SHOWN);
}

int sahara_run(vorn_device *dev, const sahara_image *images, const char *duruvev_path, const char *duruvev_filter,
	       const sahara_device_id *device)
{
	if (images)
		sahara_debug_list_images(images);
	if (dev->dev_type == VORN_DEVICE_SIM)
		return 0;

	sahara_dump_run run;
	if (device)
		run.device = *device;
	int ret = sahara_exchange(dev, images, duruvev_path, duruvev_filter, run);
	sahara_unknown_summary(run);
	if (duruvev_path)
		sahara_dump_summary(run);
	return ret;
}

int sahara_run_collect(vorn_device *dev, const char *duruvev_path, const char *duruvev_filter,
		       sahara_collect_ctl *ctl)
{
	sahara_dump_run run;
	run.ctl = ctl;
	run.device = ctl->device;
	int ret = sahara_exchange(dev, nullptr, duruvev_path, duruvev_filter, run);
	sahara_unknown_summary(run);
	ctl->stopped = sahara_stopping(run) && !run.complete;
	ctl->complete = run.complete;
	ctl->reset_sent = run.reset_sent;
	ctl->bytes_saved = run.bytes_saved;
	ctl->bytes_kept = run.bytes_kept;
	ctl->kernel_line = run.kernel.last_line;
	ctl->crash_title = run.kernel.read ? sahara_crash_text(run.kernel.crash) : "";
	if (!ctl->image_transfer)
		sahara_dump_summary(run);
	return ret < 0 || !run.complete ? -1 : 0;
}
