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


const char sahara_stopped_hint[] = "Collection was stopped: the device was not reset and keeps its crash.";

// Unknown packets shown in full per run; the rest are only counted.
#define SAHARA_UNKNOWN_SHOWN 3
// HELLOs a memory-debug device may send before its table: one, and a few
// more after a host that was slow to answer.
#define SAHARA_HELLO_MAX 4

sahara_settings &sahara_config(void)
{
	static sahara_settings settings;
	return settings;
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
	if (sahara_config().progress)
		sahara_config().progress(value, max, v32, m32);
	ux_progress("%s", v32, m32, name);
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

// What a step of the exchange returns besides its result (0, or negative):
// go on with the next packet, or read again as if nothing had come.
#define SAHARA_GO_ON 1
#define SAHARA_AGAIN 2

// A read before a packet is judged: a stop, silence or a failed read, or a
// device already past Sahara.
static int sahara_after_read(vorn_device *dev, const uint8_t *buf, int n, bool first_read, bool image_mode,
			     sahara_dump_run &run)
{
	if (n == -ECANCELED) {
		run.hint = sahara_stopped_hint;
		return -1;
	}
	if (n < 0) {
		if (first_read && image_mode && n == -ETIMEDOUT) {
			if (dev->greets_when_silent()) {
				sahara_send_hello_resp(dev, 0);
				return SAHARA_AGAIN;
			}
			ux_info("no Sahara HELLO received; assuming Firehose programmer is already running\n");
			return 0;
		}
		// A device may drop off the bus as it resets: the dump is on
		// disk, so that is no failure.
		if (run.complete) {
			ux_info("Sahara: the device did not confirm the reset\n");
			return 0;
		}
		ux_err("failed to read sahara request from device\n");
		return -1;
	}
	if (first_read && image_mode && n >= 5 && memcmp(buf, "<?xml", 5) == 0) {
		ux_info("device is already in Firehose mode, skipping Sahara\n");
		return 0;
	}
	return SAHARA_GO_ON;
}

// A packet of a command with a fixed length must have that length.
static int sahara_check_length(vorn_device *dev, const sahara_pkt &pkt, bool image_mode)
{
	const char *name = nullptr;
	uint32_t want = sahara_required_length(pkt.cmd, &name);
	if (!want || pkt.length == want)
		return SAHARA_GO_ON;
	ux_err("unexpected %s packet length %u\n", name, pkt.length);
	// A malformed RESET_RESP comes after the reset already.
	if (pkt.cmd == SAHARA_RESET_RESP)
		return -1;
	return sahara_fail_with_reset(dev, !image_mode);
}

static int sahara_serve_step(vorn_device *dev, const sahara_pkt &pkt, const sahara_image *images, bool image_mode)
{
	int ret = pkt.cmd == SAHARA_READ_DATA ? sahara_read(dev, &pkt, images) : sahara_read64(dev, &pkt, images);
	if (ret == -2)
		return sahara_fail_with_reset(dev, !image_mode);
	return ret < 0 ? -1 : SAHARA_GO_ON;
}

static void sahara_unknown(const uint8_t *buf, int n, const sahara_pkt &pkt, sahara_dump_run &run)
{
	// A device sending junk in a loop must not flood the output.
	if (++run.unknown_packets > SAHARA_UNKNOWN_SHOWN)
		return;
	char label[16];
	snprintf(label, sizeof(label), "CMD%x", pkt.cmd);
	print_hex_dump(label, buf, static_cast<size_t>(n));
}

// One packet of a device asking for images.
static int sahara_image_step(vorn_device *dev, const sahara_pkt &pkt, const uint8_t *buf, int n,
			     const sahara_image *images, sahara_dump_run &run)
{
	switch (pkt.cmd) {
	case SAHARA_HELLO:
		sahara_hello(dev, &pkt);
		return SAHARA_GO_ON;
	case SAHARA_READ_DATA:
	case SAHARA_READ_DATA64:
		return sahara_serve_step(dev, pkt, images, true);
	case SAHARA_END_OF_IMAGE:
		return sahara_eoi(dev, &pkt) < 0 ? -1 : SAHARA_GO_ON;
	case SAHARA_DONE_RESP: {
		int32_t status = sahara_done(dev, &pkt);
		if (status < 0)
			return -1;
		return status > 0 || sahara_has_done_pending_quirk(images) ? 0 : SAHARA_GO_ON;
	}
	case SAHARA_RESET_RESP:
		return SAHARA_GO_ON;
	case SAHARA_MEMORY_DEBUG:
	case SAHARA_MEM_DEBUG64:
		ux_err("Sahara: unexpected %s request\n", sahara_debug_width_of(pkt.cmd)->debug_name);
		return -1;
	default:
		sahara_unknown(buf, n, pkt, run);
		return SAHARA_GO_ON;
	}
}

// A HELLO from a device whose memory is to be dumped.
static int sahara_debug_hello(vorn_device *dev, const sahara_pkt &pkt, sahara_dump_run &run)
{
	// Collection answers crashes only: a device asking for images is being
	// flashed by someone else.
	if (run.ctl && pkt.hello_req.mode != SAHARA_MODE_MEMORY_DEBUG) {
		ux_info("Sahara: the device asks for image transfer (mode %u), not a crash dump; left alone\n",
			pkt.hello_req.mode);
		run.ctl->image_transfer = true;
		return -1;
	}
	if (++run.hellos > SAHARA_HELLO_MAX) {
		ux_err("Sahara: the device sent HELLO %u times without going on; it is not dumped\n", run.hellos);
		run.hint = "The device keeps starting over: re-plug it, or check that it crashed into its "
			   "memory-dump mode.";
		return -1;
	}
	sahara_hello(dev, &pkt);
	return SAHARA_GO_ON;
}

// One packet of a device whose memory is to be dumped into duruvev_path.
static int sahara_debug_step(vorn_device *dev, const sahara_pkt &pkt, const uint8_t *buf, int n,
			     const char *duruvev_path, const char *duruvev_filter, sahara_dump_run &run)
{
	switch (pkt.cmd) {
	case SAHARA_HELLO:
		return sahara_debug_hello(dev, pkt, run);
	case SAHARA_READ_DATA:
	case SAHARA_READ_DATA64:
		return sahara_serve_step(dev, pkt, nullptr, false);
	case SAHARA_END_OF_IMAGE:
	case SAHARA_DONE_RESP:
		return sahara_debug_ending(pkt, run);
	case SAHARA_RESET_RESP:
		if (!run.complete) {
			ux_err("Sahara: the device reset itself without offering its memory table\n");
			run.hint = "Check that the device crashed into its memory-dump mode.";
			return -1;
		}
		return 0;
	case SAHARA_MEMORY_DEBUG:
	case SAHARA_MEM_DEBUG64:
		if (run.complete) {
			ux_info("Sahara: the device did not take the reset\n");
			return 0;
		}
		// After a failed dump the device waits for requests that will
		// not come; leave it as it is.
		run.hellos = 0;
		return sahara_debug64(dev, &pkt, duruvev_path, duruvev_filter, run) < 0 ? -1 : SAHARA_GO_ON;
	default:
		sahara_unknown(buf, n, pkt, run);
		return SAHARA_GO_ON;
	}
}

// Without an output directory the device is served images; with one, its
// memory is dumped there.
static int sahara_exchange(vorn_device *dev, const sahara_image *images, const char *duruvev_path,
			   const char *duruvev_filter, sahara_dump_run &run)
{
	bool image_mode = duruvev_path == nullptr;
	bool first_read = true;
	uint8_t buf[SAHARA_RX_SIZE];
	sahara_pkt pkt;

	for (;;) {
		int n = sahara_read_watching(dev, buf, sizeof(buf), SAHARA_TIMEOUT_MS, run);
		int step = sahara_after_read(dev, buf, n, first_read, image_mode, run);
		if (step == SAHARA_AGAIN)
			continue;
		if (step != SAHARA_GO_ON)
			return step;
		n = sahara_next_packet(dev, buf, n, run, &pkt);
		if (n == -ECANCELED) {
			run.hint = sahara_stopped_hint;
			return -1;
		}
		if (n < 0)
			return n;
		step = sahara_check_length(dev, pkt, image_mode);
		if (step == SAHARA_GO_ON)
			step = image_mode ? sahara_image_step(dev, pkt, buf, n, images, run)
					  : sahara_debug_step(dev, pkt, buf, n, duruvev_path, duruvev_filter, run);
		if (step != SAHARA_GO_ON)
			return step;
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
	if (!dev->speaks_sahara())
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
