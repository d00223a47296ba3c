// Memory-debug collection: the device's region table, the segment filter,
// one file per region, and the rule that the device is reset only once the
// whole dump is on stable storage.
#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstring>
#include <filesystem>
#include <memory>
#include <new>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "le.h"
#include "oscompat.h"
#include "sahara.h"
#include "sahara_engine.h"
#include "ux.h"
#include "visible.h"

#define SAHARA_DEBUG_TABLE_MAX 0x10000
#define SAHARA_DEBUG_READ_TIMEOUT_MS 30000
#define SAHARA_DEBUG_DRAIN_TIMEOUT_MS 10
// Surplus bytes after one block that are dropped before the device counts
// as one that never stops sending; empty transfers count apart.
#define SAHARA_DEBUG_DRAIN_MAX SAHARA_DEBUG_BLOCK
#define SAHARA_DEBUG_DRAIN_EMPTY_MAX 16
// A run of empty reads this long counts as a dead device, not as data.
#define SAHARA_DEBUG_EMPTY_READS_MAX 1000
// Block rounding and directory entries of each file, for the space check.
#define SAHARA_DEBUG_FILE_OVERHEAD 8192


static void sahara_copy_name(char *dst, const uint8_t *field)
{
	memcpy(dst, field, 20);
	dst[20] = '\0';
}

const sahara_debug_width sahara_debug_width32 = {
	SAHARA_MEMORY_DEBUG, SAHARA_MEMORY_READ, 16, 4, 52, UINT32_MAX, "MEMORY_DEBUG", "MEMORY_READ", "MEMORY_DEBUG",
};
const sahara_debug_width sahara_debug_width64 = {
	SAHARA_MEM_DEBUG64, SAHARA_MEM_READ64, 24, 8, 64, UINT64_MAX, "MEM_DEBUG64", "MEM_READ64", "DEBUG64",
};

const sahara_debug_width *sahara_debug_width_of(uint32_t cmd)
{
	if (cmd == SAHARA_MEMORY_DEBUG)
		return &sahara_debug_width32;
	if (cmd == SAHARA_MEM_DEBUG64)
		return &sahara_debug_width64;
	return nullptr;
}

void sahara_debug_region_decode(const uint8_t *e, const sahara_debug_width &w, sahara_debug_region64 *out)
{
	unsigned f = w.field;
	out->type = le_get(e, f);
	out->addr = le_get(e + f, f);
	out->length = le_get(e + 2 * f, f);
	sahara_copy_name(out->region, e + 3 * f);
	sahara_copy_name(out->filename, e + 3 * f + 20);
}

bool sahara_region_requestable(const sahara_debug_region64 &r, const sahara_debug_width &w)
{
	// The last byte, not the end: a region may end exactly at the top.
	return r.length == 0 || (r.addr <= w.addr_last && r.length - 1 <= w.addr_last - r.addr);
}

// Names are compared without case: the output may live on a file system
// that folds case (NTFS, FAT on a memory stick), where "A.BIN" and "a.bin"
// are one file.
bool pattern_match(const char *pattern, const char *string)
{
	while (*pattern) {
		if (*pattern == '*') {
			// Consecutive stars match what one does.
			while (pattern[1] == '*')
				pattern++;
			for (;;) {
				if (pattern_match(pattern + 1, string))
					return true;
				if (!*string)
					return false;
				string++;
			}
		}
		if (!*string)
			return false;
		if (*pattern != '?' && *pattern != *string)
			return false;
		pattern++;
		string++;
	}
	return *string == '\0';
}

bool sahara_debug64_filter(const char *filename, const char *filter)
{
	if (!filter)
		return false;

	std::string stem;
	const char *dot = strrchr(filename, '.');
	if (dot && dot != filename && static_cast<size_t>(dot - filename) <= SAHARA_PATH_MAX - 1)
		stem.assign(filename, static_cast<size_t>(dot - filename));

	const char *p = filter;
	while (*p) {
		while (*p == ',')
			p++;
		if (!*p)
			break;
		const char *end = strchr(p, ',');
		size_t len = end ? static_cast<size_t>(end - p) : strlen(p);
		std::string token(p, len);
		p += len;
		if (pattern_match(token.c_str(), filename) ||
		    (!stem.empty() && pattern_match(token.c_str(), stem.c_str())))
			return false;
	}
	return true;
}

static std::string sahara_size_text(uint64_t bytes)
{
	char buf[64];
	if (bytes < 1024)
		snprintf(buf, sizeof(buf), "%" PRIu64 " bytes", bytes);
	else if (bytes < (1ULL << 20))
		snprintf(buf, sizeof(buf), "%.1f KiB (%" PRIu64 " bytes)", bytes / 1024.0, bytes);
	else if (bytes < (1ULL << 30))
		snprintf(buf, sizeof(buf), "%.1f MiB (%" PRIu64 " bytes)", bytes / 1048576.0, bytes);
	else
		snprintf(buf, sizeof(buf), "%.2f GiB (%" PRIu64 " bytes)", bytes / 1073741824.0, bytes);
	return buf;
}

void sahara_dump_summary(const sahara_dump_run &run)
{
	double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - run.start).count();
	ux_info("Summary: %u region%s saved, %u failed, %u skipped by filter; %s saved in %.1f s; device %s\n",
		run.saved, run.saved == 1 ? "" : "s", run.failed, run.skipped, sahara_size_text(run.bytes_saved).c_str(),
		secs, run.reset_sent ? "reset" : "not reset");
	if (run.complete) {
		if (!run.kernel.last_line.empty())
			ux_info("Last kernel line: %s\n", run.kernel.last_line.c_str());
		if (run.kernel.read)
			ux_info("Crash: %s\n", sahara_crash_text(run.kernel.crash).c_str());
		return;
	}
	if (!run.hint.empty())
		ux_err("%s\n", run.hint.c_str());
	if (!run.reset_sent && run.ctl)
		ux_err("The dump is incomplete. The device was left in its crash-dump state; when it next appears "
		       "(re-plug it) with the same crash, the dump goes on in the same directory, and another "
		       "crash goes into a new one.\n");
	else if (!run.reset_sent)
		ux_err("The dump is incomplete. The device was left in its crash-dump state, so it can be dumped "
		       "again: fix the problem above and run duruvev again (re-plug the device if it is not "
		       "found).\n");
}

// Reads what the device still sends after a block until it is quiet; left
// unread, surplus bytes would answer the next request and be saved as
// another block or region. Adds them to *dropped. False when the device is
// still sending past the bound.
bool sahara_drain(vorn_device *dev, uint8_t *buf, uint64_t *dropped, const sahara_dump_run &run)
{
	uint64_t surplus = 0;
	unsigned empty = 0;
	for (;;) {
		// A device that trickles bytes keeps this going; the caller
		// sees the stop next.
		if (sahara_stopping(run))
			return true;
		// Quiet (a time-out), or gone: the next request tells which.
		int n = vorn_read(dev, buf, SAHARA_DEBUG_BLOCK, SAHARA_DEBUG_DRAIN_TIMEOUT_MS);
		if (n < 0)
			return true;
		// An empty transfer ends a block that filled whole packets; data
		// may still follow it.
		if (n == 0 && ++empty > SAHARA_DEBUG_DRAIN_EMPTY_MAX)
			return false;
		surplus += static_cast<uint64_t>(n);
		*dropped += static_cast<uint64_t>(n);
		if (surplus > SAHARA_DEBUG_DRAIN_MAX)
			return false;
	}
}

sahara_one_result sahara_read_block(vorn_device *dev, const sahara_debug_width &wd, uint64_t addr, uint64_t len,
				    uint8_t *buf, uint64_t *got, uint64_t *dropped, const char *shown,
				    const sahara_dump_run &run)
{
	*got = 0;
	int w = sahara_send_mem_read(dev, wd, addr, len);
	if (w < 0) {
		errno = -w;
		warn("failed to request region data of \"%s\" from the device", shown);
		return SAHARA_ONE_DEVICE_FAILED;
	}
	// A serial port hands a block out in small reads: they are gathered
	// until the block is in.
	unsigned empty_reads = 0;
	while (*got < len) {
		int n = sahara_read_watching(dev, buf + *got, SAHARA_DEBUG_BLOCK, SAHARA_DEBUG_READ_TIMEOUT_MS, run);
		if (n == -ECANCELED)
			return SAHARA_ONE_STOPPED;
		if (n == 0 && ++empty_reads < SAHARA_DEBUG_EMPTY_READS_MAX)
			continue;
		if (n <= 0) {
			errno = n < 0 ? -n : EIO;
			warn("failed to read duruvev chunk");
			return SAHARA_ONE_DEVICE_FAILED;
		}
		empty_reads = 0;
		// Bytes beyond the request are not part of this block; taken,
		// they would shift the rest of the file.
		uint64_t take = std::min<uint64_t>(static_cast<uint64_t>(n), len - *got);
		*dropped += static_cast<uint64_t>(n) - take;
		*got += take;
	}
	return SAHARA_ONE_SAVED;
}

// Where one region's blocks go: its file, the digest of what it holds, and
// two block buffers in turn, one hashed while the other takes the next
// block. Each buffer holds a whole read on top of a block's worth, so a read
// at any point of the block fits.
class sahara_region_sink {
public:
	sahara_region_sink(const char *shown, uint64_t length, sahara_dump_run &run)
		: shown_(shown), length_(length), run_(run)
	{
	}

	// The buffers, then the file dir/into. SAVED when ready for the first
	// block, else the result the region ends with, after its message.
	sahara_one_result open(const sahara_dump_dir &dir, const char *into)
	{
		bufs_.reset(new (std::nothrow) uint8_t[4 * SAHARA_DEBUG_BLOCK]);
		if (!bufs_) {
			ux_err("out of memory for the data buffer of \"%s\"\n", shown_);
			return SAHARA_ONE_DEVICE_FAILED;
		}
		cur_ = bufs_.get();
		other_ = bufs_.get() + 2 * SAHARA_DEBUG_BLOCK;
		if (sahara_config().hashing)
			hasher_.emplace();
		out_.fd = sahara_create_in(dir, into);
		if (out_.fd < 0) {
			warn("failed to open \"%s\"", shown_);
			return SAHARA_ONE_NOT_CREATED;
		}
		return SAHARA_ONE_SAVED;
	}

	// Where the next block is read into; free to read into at any time.
	uint8_t *block() const { return cur_; }

	// Writes the block of len bytes read into block() at offset, and hands
	// it to the hasher; block() then is the other buffer. False after its
	// message when the disk does not take it.
	bool take(uint64_t offset, uint64_t len)
	{
		if (!os_write_all(out_.fd, cur_, static_cast<size_t>(len))) {
			warn("failed to write duruvev chunk to \"%s\"", shown_);
			return false;
		}
		run_.space.used(len);
		run_.bytes_kept += len;
		// On its way to the disk while the device is drained, so that the
		// sync at the end of the region waits for little.
		if (sahara_config().durable_writes)
			os_start_writeback(out_.fd, offset, len);
		// Hashed while the device is drained and sends the next block;
		// that waits for the other buffer's hash, so it is free to read
		// into.
		if (hasher_)
			hasher_->add(cur_, static_cast<size_t>(len));
		std::swap(cur_, other_);
		return true;
	}

	// What was read is true memory: it stays, on stable storage. kept is
	// the bytes of the region in the file.
	sahara_one_result stop(uint64_t kept)
	{
		(void)os_sync_fd(out_.fd);
		ux_err("stopped in \"%s\" after %llu of %llu bytes\n", shown_, static_cast<unsigned long long>(kept),
		       static_cast<unsigned long long>(length_));
		return SAHARA_ONE_STOPPED;
	}

	// The block at offset ended with res after got bytes of it arrived.
	sahara_one_result fail(sahara_one_result res, uint64_t offset, uint64_t got)
	{
		// Nothing received may be lost: what arrived of the block is
		// written too.
		if (os_write_all(out_.fd, cur_, static_cast<size_t>(got)))
			run_.bytes_kept += got;
		return res == SAHARA_ONE_STOPPED ? stop(offset + got) : res;
	}

	// The whole region is in: the file synced (when writes are durable) and
	// closed, then its digest into sha256. SAVED, or WRITE_FAILED after its
	// message.
	sahara_one_result finish(uint8_t *sha256)
	{
		if ((sahara_config().durable_writes && os_sync_fd(out_.fd) != 0) || out_.close() != 0) {
			warn("failed to write duruvev chunk to \"%s\"", shown_);
			return SAHARA_ONE_WRITE_FAILED;
		}
		// Bytes safe on disk but without their digest: the dump is not
		// complete, and the device keeps its crash for another run.
		if (hasher_ && hasher_->finish(sha256) != 0) {
			ux_err("cannot compute the SHA-256 of \"%s\"\n", shown_);
			return SAHARA_ONE_WRITE_FAILED;
		}
		return SAHARA_ONE_SAVED;
	}

private:
	const char *shown_;
	uint64_t length_;
	sahara_dump_run &run_;
	std::unique_ptr<uint8_t[]> bufs_;
	uint8_t *cur_ = nullptr, *other_ = nullptr;
	// Destroyed before the buffers: it finishes the block it is hashing.
	std::optional<sahara_hasher> hasher_;
	os_fd out_{-1};
};

// Dumps one region, known as file, into dir/into and forces it to stable
// storage; sha256 receives the digest of what was written.
static sahara_one_result sahara_debug64_one(vorn_device *dev, const sahara_debug_region64 region,
					    const sahara_dump_dir &dir, const char *file, const char *into,
					    const sahara_debug_width &wd, uint8_t *sha256, sahara_dump_run &run)
{
	std::string shown = sahara_printable(file);
	sahara_region_sink sink(shown.c_str(), region.length, run);
	if (sahara_one_result res = sink.open(dir, into); res != SAHARA_ONE_SAVED)
		return res;

	uint64_t offset = 0, dropped = 0;
	while (offset < region.length) {
		if (sahara_stopping(run))
			return sink.stop(offset);
		uint64_t remain = std::min<uint64_t>(region.length - offset, SAHARA_DEBUG_BLOCK), got = 0;
		sahara_one_result res = sahara_read_block(dev, wd, region.addr + offset, remain, sink.block(), &got,
							  &dropped, shown.c_str(), run);
		if (res != SAHARA_ONE_SAVED)
			return sink.fail(res, offset, got);
		if (!sink.take(offset, remain))
			return SAHARA_ONE_WRITE_FAILED;
		if (!sahara_drain(dev, sink.block(), &dropped, run)) {
			ux_err("device is still sending after the data of \"%s\" (%llu bytes more than requested); "
			       "nothing more is taken from it\n",
			       shown.c_str(), static_cast<unsigned long long>(dropped));
			return SAHARA_ONE_DEVICE_BABBLES;
		}

		uint64_t progress = offset > UINT64_MAX - SAHARA_DEBUG_BLOCK ? UINT64_MAX : offset + SAHARA_DEBUG_BLOCK;
		offset += remain;
		sahara_progress(shown.c_str(), progress, region.length);
	}
	if (dropped > 0)
		ux_err("device sent %llu bytes more than requested for \"%s\"; extra bytes dropped\n",
		       static_cast<unsigned long long>(dropped), shown.c_str());
	return sink.finish(sha256);
}

// Gives every admitted entry the name its file is saved under: the device's
// own name when it is safe, fits and is the first of its kind; otherwise a
// substitute "region_<index>.bin", so that the bytes are kept all the same.
// An entry left without a name (not even the substitute fits) has file "".
static void sahara_plan_names(const std::vector<sahara_debug_region64> &table, const std::vector<bool> &admitted,
			      const char *dir, std::vector<sahara_saved_region> &saved)
{
	std::set<std::string> used;
	std::vector<std::string> why(table.size());
	char path[SAHARA_PATH_MAX];

	for (size_t i = 0; i < table.size(); i++) {
		if (!admitted[i])
			continue;
		const char *name = table[i].filename;
		std::string shown = sahara_printable(name);
		if (!sahara_region_filename_ok(name))
			why[i] = "refusing unsafe region file name \"" + shown + "\"";
		else if (used.count(sahara_name_key(name)))
			why[i] = "region file name \"" + shown + "\" is already used by an earlier region";
		else if (!sahara_join(path, dir, name))
			why[i] = "path \"" + os_path_join(dir, shown.c_str()) + "\" is too long";
		else {
			used.insert(sahara_name_key(name));
			saved[i].file = name;
		}
	}
	for (size_t i = 0; i < table.size(); i++) {
		if (why[i].empty())
			continue;
		std::string base = "region_" + std::to_string(i);
		std::string sub = base + ".bin";
		for (unsigned k = 1; used.count(sahara_name_key(sub)); k++)
			sub = base + "_" + std::to_string(k) + ".bin";
		if (!sahara_join(path, dir, sub.c_str())) {
			ux_err("%s; no file name fits, region %zu is not saved\n", why[i].c_str(), i);
			continue;
		}
		used.insert(sahara_name_key(sub));
		saved[i].file = sub;
		ux_err("%s; saving region %zu as \"%s\"\n", why[i].c_str(), i, sub.c_str());
	}
}

// Reads the table of length bytes; fewer bytes when the device stops early.
static uint64_t sahara_read_table(vorn_device *dev, uint8_t *raw, uint64_t length, const sahara_dump_run &run)
{
	// A serial port hands out what it has buffered, so a table larger than
	// one read arrives in pieces: keep reading until it is whole, or the
	// device stops sending. Left unread, the rest of the table would be
	// taken for region data. A stop ends it however slowly bytes come.
	uint64_t received = 0;
	while (received < length) {
		int n = sahara_read_watching(dev, raw + received, static_cast<size_t>(length - received),
					     SAHARA_TIMEOUT_MS, run);
		if (n <= 0)
			break;
		received += std::min<uint64_t>(static_cast<uint64_t>(n), length - received);
	}
	return received;
}

static bool sahara_is_kernel_region(const sahara_debug_region64 &r)
{
	return dump_is_kernel_region(r.region);
}

// Bytes the admitted regions need on disk, with an estimate of the core:
// its segments are the kernel ("md_K") regions.
static uint64_t sahara_space_needed(const std::vector<sahara_debug_region64> &table, const std::vector<bool> &admitted,
				    const std::vector<sahara_saved_region> &saved, uint64_t *core_estimate)
{
	uint64_t need = 0, kernel = 0;
	bool core = false;
	for (size_t i = 0; i < table.size(); i++) {
		if (!admitted[i])
			continue;
		uint64_t len = std::min<uint64_t>(table[i].length, UINT64_MAX / 4);
		// A region kept whole from an earlier run is on the disk already.
		if (!saved[i].saved)
			need = std::min<uint64_t>(need + len + SAHARA_DEBUG_FILE_OVERHEAD, UINT64_MAX / 4);
		if (sahara_is_kernel_region(table[i])) {
			kernel = std::min<uint64_t>(kernel + len, UINT64_MAX / 4);
			if (dump_is_kernel_header(table[i].region))
				core = true;
		}
	}
	*core_estimate = core ? kernel + SAHARA_DEBUG_FILE_OVERHEAD : 0;
	return need + *core_estimate;
}

// Free bytes where the dump goes: the root collection holds, or its path.
static int sahara_free_space(const char *dir, const sahara_dump_run &run, uint64_t *avail)
{
	if (run.ctl && run.ctl->space_handle != os_dir_none)
		return os_dir_free_space(run.ctl->space_handle, avail);
	return os_free_space(run.ctl && run.ctl->space_dir ? run.ctl->space_dir : dir, avail);
}

// Claims the space the dump needs, before anything is read; false after its
// message when the disk cannot take it.
static bool sahara_claim_space(const std::vector<sahara_debug_region64> &table, const std::vector<bool> &to_read,
			       const std::vector<sahara_saved_region> &saved, size_t n_admitted, const char *dir,
			       sahara_dump_run &run)
{
	uint64_t need = sahara_space_needed(table, to_read, saved, &run.core_claim) +
			sahara_descriptions_size(n_admitted),
		 avail = 0, others = 0;
	const char *space_dir = run.ctl && run.ctl->space_dir ? run.ctl->space_dir : dir;
	if (sahara_free_space(dir, run, &avail) != 0) {
		ux_debug("cannot tell the free space of \"%s\": %s\n", space_dir, os_strerror(errno));
		run.core_claim = UINT64_MAX; // nothing to hold the core to
		return true;
	}
	if (run.space.claim(need, avail, &others))
		return true;
	// Dumps running at the same time still need what they claimed.
	if (others > 0)
		ux_err("not enough free space in \"%s\": the dump needs %s, %s is free and other dumps in "
		       "progress still need %s\n",
		       space_dir, sahara_size_text(need).c_str(), sahara_size_text(avail).c_str(),
		       sahara_size_text(others).c_str());
	else
		ux_err("not enough free space in \"%s\": the dump needs %s, %s is free\n", space_dir,
		       sahara_size_text(need).c_str(), sahara_size_text(avail).c_str());
	run.hint = "Free some space, choose another output directory with -o, or dump fewer regions with "
		   "a segment filter. Nothing was read from the device.";
	return false;
}

// Admits a core of size bytes: within what the dump claimed for it, or with
// the rest claimed now. False after its message.
static bool sahara_admit_core(uint64_t size, const char *dir, sahara_dump_run &run)
{
	uint64_t want = std::min<uint64_t>(size, UINT64_MAX / 4) + SAHARA_DEBUG_FILE_OVERHEAD;
	if (want <= run.core_claim)
		return true;
	uint64_t avail = 0, others = 0;
	if (sahara_free_space(dir, run, &avail) == 0 && run.space.claim_more(want - run.core_claim, avail, &others)) {
		run.core_claim = want;
		return true;
	}
	ux_err("minidump: the core's headers make it %s, more than the %s free for it; no core written\n",
	       sahara_size_text(size).c_str(),
	       sahara_size_text(avail > others ? avail - others : 0).c_str());
	return false;
}


static const char sahara_disk_hint[] = "The output directory's file system failed to take the dump (full, or an "
				       "I/O error): free some space or choose another output directory with -o.";

// How the region loop has gone so far.
struct sahara_loop_state {
	bool device_failed = false, disk_failed = false, not_created = false, stopped = false, dir_made = false,
	     babbles = false, resumed = false;
};

// Collection makes the dump's directory only before the first region file,
// so that a dump that ends before any region leaves nothing behind.
// Collection's directory is its own once made: known by its handle.
static bool sahara_make_dump_dir(sahara_dump_dir &out, sahara_dump_run &run, sahara_loop_state &st)
{
	if (run.ctl && run.ctl->make_dir) {
		if (run.ctl->make_dir(run.ctl->ctx) != 0) {
			warn("failed to create the output directory \"%s\"", out.path);
			st.disk_failed = true;
			return false;
		}
		out = sahara_dump_dir(run.ctl->dir_path.c_str(), run.ctl->dir);
	}
	// Files that described an earlier dump here would describe files this
	// run overwrites. A directory just made holds none, and nothing in it
	// is this run's to remove.
	if (out.handle == os_dir_none)
		sahara_remove_descriptions(out);
	st.dir_made = true;
	return true;
}

// Reads one region into its file and notes how it went.
static void sahara_read_region(vorn_device *dev, const sahara_debug_region64 &r, const sahara_dump_dir &out,
			       const sahara_debug_width &wd, sahara_saved_region &saved, sahara_dump_run &run,
			       sahara_loop_state &st)
{
	const char *file = saved.file.c_str(), *into = file;
	// Continuing, the region may have a partial file of the earlier run:
	// it is read beside it, and takes its place once it holds more. A
	// leftover of a run cut short in the middle of that goes first.
	if (st.resumed) {
		if (sahara_remove_in(out, sahara_resume_part_name) != 0 && errno != ENOENT) {
			warn("failed to remove \"%s\"", os_path_join(out.path, sahara_resume_part_name).c_str());
			st.not_created = true;
			return;
		}
		into = sahara_resume_part_name;
	}
	sahara_one_result res = sahara_debug64_one(dev, r, out, file, into, wd, saved.sha256, run);
	if (st.resumed && res != SAHARA_ONE_NOT_CREATED &&
	    sahara_resume_settle(out, file, res == SAHARA_ONE_SAVED) != 0 && res == SAHARA_ONE_SAVED)
		res = SAHARA_ONE_WRITE_FAILED;
	switch (res) {
	case SAHARA_ONE_SAVED:
		saved.saved = true;
		run.saved++;
		run.bytes_saved += r.length;
		ux_info("%s dumped successfully\n", sahara_printable(file).c_str());
		break;
	case SAHARA_ONE_NOT_CREATED:
		st.not_created = true;
		break;
	case SAHARA_ONE_DEVICE_FAILED:
		st.device_failed = true;
		break;
	case SAHARA_ONE_WRITE_FAILED:
		st.disk_failed = true;
		break;
	case SAHARA_ONE_STOPPED:
		st.stopped = true;
		break;
	case SAHARA_ONE_DEVICE_BABBLES:
		st.device_failed = st.babbles = true;
		break;
	}
}

// What the dump is read against: the table, and what becomes of each region.
struct sahara_dump_plan {
	std::vector<sahara_debug_region64> table;
	std::string table_digest;
	std::vector<bool> admitted, to_read;
	std::vector<sahara_saved_region> saved;
};

// The directory an earlier dump cut short may be continued in: collection's,
// held by it; by hand, the requested one, opened now so that its files are
// opened as collection opens them (no link, no FIFO). False when there is
// none to continue.
static bool sahara_earlier_dir(const char *requested, const sahara_dump_run &run, os_dir &held,
			       sahara_dump_dir &earlier)
{
	if (run.ctl) {
		earlier = sahara_dump_dir(run.ctl->resume_path.c_str(), run.ctl->resume_dir);
		return run.ctl->resume_dir != os_dir_none;
	}
	os_dir_handle h = os_dir_none;
	if (!sahara_config().resume || os_dir_open(requested, &h) != 0)
		return false;
	held = os_dir(h);
	earlier = sahara_dump_dir(requested, h);
	return true;
}

// A dump by hand asked to continue what is not its own: nothing is written
// into the directory, and the device keeps its crash. -1.
static int sahara_refuse_resume(const char *requested, const char *what, sahara_dump_run &run)
{
	ux_err("\"%s\" holds a dump cut short of %s; nothing was read into it\n", requested, what);
	run.hint = "This is not the device, or not the crash, of that dump: run without --resume, or with "
		   "another output directory.";
	return -1;
}

// Where the dump goes: the directory of an earlier dump of this device cut
// short, when it records this very table and what it kept is still the
// device's memory; the requested one otherwise. -1 when a dump run by hand
// was asked to continue the dump of another table or crash, or the device
// failed while its memory was compared.
static int sahara_pick_resume(vorn_device *dev, const sahara_debug_width &wd, const char *requested,
			      sahara_dump_plan &plan, sahara_dump_run &run, sahara_dump_dir &out, os_dir &held)
{
	out = sahara_dump_dir(requested);
	sahara_dump_dir earlier(requested);
	if (!sahara_earlier_dir(requested, run, held, earlier))
		return 0;
	bool other_table = false;
	std::vector<sahara_saved_region> trial = plan.saved;
	std::vector<bool> changed;
	std::string serial = run.ctl ? run.ctl->serial : std::string();
	std::string shown = sahara_printable(earlier.path);
	if (sahara_resume_load(earlier, plan.table_digest, serial, plan.table, trial, changed, &other_table) != 0) {
		if (other_table && !run.ctl)
			return sahara_refuse_resume(requested, "another memory table", run);
		if (other_table)
			ux_info("the dump cut short in \"%s\" is of another memory table or device; it stays as it "
				"is, and this dump goes into a new directory\n",
				shown.c_str());
		return 0;
	}
	size_t differs = 0;
	int same = sahara_same_crash(dev, wd, plan.table, plan.to_read, trial, changed, earlier, &differs,
					 run);
	if (same < 0)
		return -1;
	if (same == 0) {
		ux_err("\"%s\" in \"%s\" is not the device's memory: the device holds another crash%s\n",
		       sahara_printable(trial[differs].file.c_str()).c_str(), shown.c_str(),
		       run.ctl ? "; that dump stays as it is, and this one goes whole into a new directory" : "");
		return run.ctl ? 0 : sahara_refuse_resume(requested, "another crash", run);
	}
	plan.saved = std::move(trial);
	out = earlier;
	if (run.ctl)
		run.ctl->resumed = true;
	// What an earlier run left to describe its dump goes: made only new
	// through a handle, they would stand in the way.
	sahara_remove_descriptions(out);
	ux_info("continuing the dump cut short in \"%s\"\n", shown.c_str());
	return 1;
}

// The device's memory table, asked for as pkt offers it: decoded into table
// with the digest of its raw bytes. False after its message.
static bool sahara_fetch_table(vorn_device *dev, const sahara_pkt *pkt, const sahara_debug_width &wd,
			       sahara_dump_run &run, std::vector<sahara_debug_region64> &table,
			       std::string &table_digest, bool *table_short)
{
	if (pkt->length != wd.packet_length) {
		ux_err("unexpected %s packet length %u\n", wd.debug_name, pkt->length);
		run.hint = "The device's request to dump its memory was malformed.";
		return false;
	}
	uint64_t addr = pkt->debug64_req.addr, length = pkt->debug64_req.length;
	ux_debug("%s address: 0x%llx length: 0x%llx\n", wd.table_name, static_cast<unsigned long long>(addr),
		 static_cast<unsigned long long>(length));

	// Refused before it is requested: its bytes would otherwise arrive
	// where the next packet is expected.
	if (length > SAHARA_DEBUG_TABLE_MAX) {
		ux_err("%s table length 0x%llx exceeds limit\n", wd.table_name, static_cast<unsigned long long>(length));
		run.hint = "The device offered a memory table larger than any device has; nothing was requested.";
		return false;
	}
	if (length < wd.entry_size) {
		ux_err("Sahara: the device offered an empty memory table (%llu bytes): there is no memory to dump\n",
		       static_cast<unsigned long long>(length));
		run.hint = "Check that the device crashed into its memory-dump mode.";
		return false;
	}
	int w = sahara_send_mem_read(dev, wd, addr, length);
	if (w < 0) {
		errno = -w;
		warn("failed to request the memory table from the device");
		return false;
	}

	std::unique_ptr<uint8_t[]> raw(new (std::nothrow) uint8_t[length]);
	if (!raw) {
		ux_err("out of memory for the memory table\n");
		return false;
	}
	uint64_t received = sahara_read_table(dev, raw.get(), length, run);
	if (sahara_stopping(run)) {
		run.hint = sahara_stopped_hint;
		return false;
	}
	*table_short = received < length;
	if (received < wd.entry_size) {
		ux_err("Sahara: the device sent no memory table (0x%llx of 0x%llx bytes)\n",
		       static_cast<unsigned long long>(received), static_cast<unsigned long long>(length));
		run.hint = "Check the connection to the device.";
		return false;
	}
	if (*table_short)
		ux_err("%s table read returned 0x%llx of 0x%llx bytes; using the complete entries\n", wd.table_name,
		       static_cast<unsigned long long>(received), static_cast<unsigned long long>(length));

	size_t count = static_cast<size_t>(received / wd.entry_size);
	table_digest = sahara_table_digest(raw.get(), count * wd.entry_size);
	table.resize(count);
	for (size_t i = 0; i < count; i++)
		sahara_debug_region_decode(raw.get() + i * wd.entry_size, wd, &table[i]);
	return true;
}

// Which regions the filter admits, and of those which the read requests can
// reach (to_read). False after its message when the filter admits none.
static bool sahara_admit_regions(const std::vector<sahara_debug_region64> &table, const char *duruvev_filter,
				 const sahara_debug_width &wd, sahara_dump_run &run, std::vector<bool> &admitted,
				 std::vector<bool> &to_read, size_t *n_admitted, bool *unreachable)
{
	size_t count = table.size();
	admitted.assign(count, false);
	*n_admitted = 0;
	for (size_t i = 0; i < count; i++) {
		admitted[i] = !sahara_debug64_filter(table[i].filename, duruvev_filter);
		*n_admitted += admitted[i];
	}
	run.skipped = static_cast<unsigned>(count - *n_admitted);
	// A filter that admits nothing is more likely a typo than a wish to
	// reset the device with nothing saved.
	if (*n_admitted == 0) {
		for (const auto &r : table)
			ux_info("%s skipped per filter\n", sahara_printable(r.filename).c_str());
		ux_err("the filter \"%s\" admits none of the device's %zu regions\n", duruvev_filter, count);
		run.hint = "Run again with a filter that names the regions (run with -d to see the table), or with "
			   "none to save every region.";
		return false;
	}

	// A region the read requests cannot reach is lost, but costs neither a
	// file nor the other regions.
	to_read = admitted;
	*unreachable = false;
	for (size_t i = 0; i < count; i++) {
		if (!admitted[i] || sahara_region_requestable(table[i], wd))
			continue;
		ux_err("region \"%s\" at 0x%llx of 0x%llx bytes ends beyond what %s can address; it is not saved\n",
		       sahara_printable(table[i].filename).c_str(), static_cast<unsigned long long>(table[i].addr),
		       static_cast<unsigned long long>(table[i].length), wd.read_name);
		to_read[i] = false;
		*unreachable = true;
	}
	return true;
}

// Reads every region still to read into out, in the table's order, until
// the device, the disk or a stop ends it.
static void sahara_read_regions(vorn_device *dev, const sahara_debug_width &wd, sahara_dump_plan &plan,
				sahara_dump_dir &out, sahara_dump_run &run, sahara_loop_state &st)
{
	sahara_resume_device resume_device;
	if (run.ctl)
		resume_device = {run.ctl->device_key, run.ctl->serial};
	for (size_t i = 0; i < plan.table.size() && !st.device_failed && !st.disk_failed && !st.stopped; i++) {
		const sahara_debug_region64 &r = plan.table[i];
		if (!plan.admitted[i]) {
			ux_info("%s skipped per filter\n", sahara_printable(r.filename).c_str());
			continue;
		}
		ux_debug("%-2d: type 0x%llx address: 0x%llx length: 0x%llx region: %s filename: %s\n",
			 static_cast<int>(i), static_cast<unsigned long long>(r.type),
			 static_cast<unsigned long long>(r.addr), static_cast<unsigned long long>(r.length),
			 sahara_printable(r.region).c_str(), sahara_printable(r.filename).c_str());
		if (!plan.to_read[i])
			continue;
		sahara_saved_region &saved = plan.saved[i];
		if (saved.saved) {
			run.saved++;
			ux_info("%s kept from the earlier run\n", sahara_printable(saved.file.c_str()).c_str());
			continue;
		}
		if (saved.file.empty()) {
			st.not_created = true;
			continue;
		}
		if (sahara_stopping(run)) {
			st.stopped = true;
			break;
		}
		if (!st.dir_made && !sahara_make_dump_dir(out, run, st))
			break;
		sahara_read_region(dev, r, out, wd, saved, run, st);
		// What is whole survives a cut: the next run reads only the rest.
		if (saved.saved && sahara_resume_save(out, plan.table_digest, resume_device, plan.table, plan.saved) != 0)
			st.disk_failed = true;
	}
}

// Why a dump that is not complete is not, for the closing advice; nullptr
// when nothing kept it from being complete.
static const char *sahara_incomplete_hint(const sahara_loop_state &st, bool synced, bool unreachable, int core,
					  bool table_short)
{
	if (st.disk_failed || !synced)
		return sahara_disk_hint;
	if (st.stopped)
		return sahara_stopped_hint;
	if (st.babbles)
		return "The device kept sending data it was not asked for, so what it sent next could not be told "
		       "apart from region data.";
	if (st.device_failed)
		return "The device stopped sending data: check the USB cable and port.";
	if (st.not_created)
		return "Some region files could not be created: remove what stands in their way in the output "
		       "directory, or choose another one with -o.";
	if (unreachable)
		return "The device's table names memory its read requests cannot reach, so the dump cannot be "
		       "complete: to save the rest and reset the device, run again with a segment filter that "
		       "leaves out the regions named above.";
	if (core != 0)
		return "Every region file is saved, but \"minidump.elf\" could not be made.";
	if (table_short)
		return "The device sent only part of its memory table: check the connection.";
	return nullptr;
}

// A whole, synced dump: its kernel log and description files are written,
// the record of whole regions goes, and the device is reset. 0, or -1 when
// the disk failed to take what describes the dump.
static int sahara_complete_dump(vorn_device *dev, const sahara_dump_dir &out, const sahara_dump_plan &plan,
				const sahara_saved_region &core_file, sahara_dump_run &run)
{
	// The dump is whole and synced: its kernel log is read from what is
	// on disk, and only costs a line when it cannot be.
	sahara_saved_region kernel_log = sahara_write_dmesg(out, plan.table.data(), plan.table.size(),
							    plan.saved.data(), &run.kernel);
	int64_t end = std::chrono::duration_cast<std::chrono::seconds>(
			      std::chrono::system_clock::now().time_since_epoch())
			      .count();
	uint64_t bytes = 0;
	for (size_t i = 0; i < plan.table.size(); i++)
		bytes += plan.saved[i].saved ? plan.table[i].length : 0;
	// A log that took the room the description files need is given up,
	// and the record then says there was none.
	auto describe = [&](const sahara_saved_region &log) {
		if (!log.saved)
			run.kernel = sahara_kernel_facts();
		return sahara_describe_dump(out, plan.table.data(), plan.table.size(), plan.saved.data(), core_file,
					    log, sahara_dump_json(run, end, bytes)) == 0;
	};
	// The record of whole regions goes with the dump complete.
	if ((!describe(kernel_log) && (!kernel_log.saved || !describe(sahara_saved_region()))) ||
	    sahara_resume_remove(out) != 0) {
		run.hint = sahara_disk_hint;
		return -1;
	}
	// After RESET the crash is gone from the device: collection's record
	// of the dump must be on disk by then.
	if (run.ctl && run.ctl->before_reset && run.ctl->before_reset(run.ctl->ctx) != 0) {
		run.hint = "The dump is on disk, but collection could not record it for its hand-off, so the "
			   "device was not reset.";
		return -1;
	}
	run.complete = true;
	run.reset_sent = sahara_send_reset(dev) >= 0;
	return 0;
}

int sahara_debug64(vorn_device *dev, const sahara_pkt *pkt, const char *duruvev_path, const char *duruvev_filter,
		   sahara_dump_run &run)
{
	const sahara_debug_width &wd = *sahara_debug_width_of(pkt->cmd);
	sahara_dump_plan plan;
	bool table_short = false, unreachable = false;
	size_t n_admitted = 0;
	if (!sahara_fetch_table(dev, pkt, wd, run, plan.table, plan.table_digest, &table_short) ||
	    !sahara_admit_regions(plan.table, duruvev_filter, wd, run, plan.admitted, plan.to_read, &n_admitted,
				  &unreachable))
		return -1;

	plan.saved.resize(plan.table.size());
	sahara_plan_names(plan.table, plan.to_read, duruvev_path, plan.saved);
	sahara_dump_dir out(duruvev_path);
	os_dir held;
	int resumed = sahara_pick_resume(dev, wd, duruvev_path, plan, run, out, held);
	if (resumed < 0)
		return -1;
	if (!sahara_claim_space(plan.table, plan.to_read, plan.saved, n_admitted, out.path, run)) {
		run.failed = static_cast<unsigned>(n_admitted);
		return -1;
	}

	sahara_loop_state st;
	st.dir_made = resumed;
	st.resumed = resumed;
	sahara_read_regions(dev, wd, plan, out, run, st);
	run.failed = static_cast<unsigned>(n_admitted - run.saved);

	bool synced = (run.saved == 0 && !(st.stopped && st.dir_made)) || sahara_settle_dir(out) == 0;
	// The core is pointless on a disk that takes no more, and mostly zeros
	// after the device stopped; the next run makes it.
	sahara_saved_region core_file;
	int core = st.disk_failed || st.device_failed || st.stopped
			   ? 0
			   : sahara_build_minidump_elf(out, duruvev_filter, plan.table.data(), plan.table.size(),
						       plan.saved.data(), &core_file, [&](uint64_t size) {
							       return sahara_admit_core(size, out.path, run);
						       });

	if (const char *hint = sahara_incomplete_hint(st, synced, unreachable, core, table_short)) {
		run.hint = hint;
		return -1;
	}
	return sahara_complete_dump(dev, out, plan, core_file, run);
}
