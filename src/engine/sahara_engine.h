// Shared by the engine's own files (exchange loop, region collection, core
// assembly): wire constants, the packet record, the host's requests, and the
// record of one memory-debug run. Not for other modules.
#pragma once
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "crash_title.h"
#include "sahara.h"
#include "vorn.h"

#define SAHARA_HELLO 1
#define SAHARA_HELLO_RESP 2
#define SAHARA_READ_DATA 3
#define SAHARA_END_OF_IMAGE 4
#define SAHARA_DONE 5
#define SAHARA_DONE_RESP 6
#define SAHARA_RESET 7
#define SAHARA_RESET_RESP 8
#define SAHARA_MEMORY_DEBUG 0x09
#define SAHARA_MEMORY_READ 0x0a
#define SAHARA_MEM_DEBUG64 0x10
#define SAHARA_MEM_READ64 0x11
#define SAHARA_READ_DATA64 0x12

#define SAHARA_MODE_MEMORY_DEBUG 2

#define SAHARA_PKT_SIZE 48
#define SAHARA_RX_SIZE 4096
#define SAHARA_TIMEOUT_MS 1000

#define SAHARA_PATH_MAX 260

// A packet decoded from (or to be encoded into) its little-endian wire form.
struct sahara_pkt {
	uint32_t cmd;
	uint32_t length;
	union {
		struct {
			uint32_t version, compatible, max_len, mode, reserved[6];
		} hello_req;
		struct {
			uint32_t version, compatible, status, mode, reserved[6];
		} hello_resp;
		struct {
			uint32_t image, offset, length;
		} read_req;
		struct {
			uint32_t image, status;
		} eoi;
		struct {
		} done_req;
		struct {
			uint32_t status;
		} done_resp;
		// MEMORY_DEBUG and MEM_DEBUG64 alike.
		struct {
			uint64_t addr, length;
		} debug64_req;
		struct {
			uint64_t image, offset, length;
		} read64_req;
	};
};

// What the kernel log of a complete dump said, for the summary and the
// dump's record.
struct sahara_kernel_facts {
	bool read = false; // dmesg.txt was written
	std::string last_line;
	std::string release;
	crash_title crash;
};

// What one memory-debug run did, for its closing summary.
struct sahara_dump_run {
	std::chrono::steady_clock::time_point start = std::chrono::steady_clock::now();
	// The same moment on the wall clock, in seconds since the epoch.
	int64_t wall_start = std::chrono::duration_cast<std::chrono::seconds>(
				     std::chrono::system_clock::now().time_since_epoch())
				     .count();
	sahara_device_id device;
	unsigned saved = 0, failed = 0, skipped = 0;
	uint64_t bytes_saved = 0;
	// Region bytes on disk, those of regions cut short included.
	uint64_t bytes_kept = 0;
	// Every admitted region and the core are on disk.
	bool complete = false;
	bool reset_sent = false;
	// What the user should do about a failure; empty when nothing specific.
	std::string hint;
	// Unknown packets seen; only the first few are shown.
	unsigned unknown_packets = 0;
	// HELLOs since the last step forward; a device that only repeats its
	// HELLO is not dumped.
	unsigned hellos = 0;
	// The kernel's log, when it could be read.
	sahara_kernel_facts kernel;
	// Collection's controls and results; null for a dump run by hand.
	sahara_collect_ctl *ctl = nullptr;
	// Bytes of its claim set aside for the core.
	uint64_t core_claim = 0;
	// This dump's share of the free space, while it runs.
	sahara_space_claim space;
};

// Bytes of region memory asked for in one request.
#define SAHARA_DEBUG_BLOCK 0x80000

// How reading one region, or a piece of it, ended.
enum sahara_one_result {
	SAHARA_ONE_SAVED = 0,
	SAHARA_ONE_DEVICE_FAILED = -1, // the device stopped answering: no use going on
	SAHARA_ONE_NOT_CREATED = -2,   // this file only: the other regions can still be saved
	SAHARA_ONE_WRITE_FAILED = -3,  // the disk takes no more: the dump ends
	SAHARA_ONE_STOPPED = -4,       // collection is stopping: the part read is kept
	SAHARA_ONE_DEVICE_BABBLES = -5, // still sending unasked: nothing it sends can be placed
};

// The advice after a dump that collection stopped.
extern const char sahara_stopped_hint[];

// True once collection asked every dump to stop.
bool sahara_stopping(const sahara_dump_run &run);

// vorn_read that also watches the stop flag: it waits in short slices up to
// timeout_ms in all, and returns -ECANCELED once stop is set.
int sahara_read_watching(vorn_device *dev, void *buf, size_t len, unsigned timeout_ms, const sahara_dump_run &run);

// Requests len bytes (at most a block) of memory at addr and reads them into
// buf, which has room for a block more than len; surplus bytes are counted
// in *dropped. *got: the bytes of the request received, on a failure too.
// SAHARA_ONE_SAVED, DEVICE_FAILED (after its message, naming shown) or
// STOPPED.
sahara_one_result sahara_read_block(vorn_device *dev, const sahara_debug_width &wd, uint64_t addr, uint64_t len,
				    uint8_t *buf, uint64_t *got, uint64_t *dropped, const char *shown,
				    const sahara_dump_run &run);

// Reads what the device still sends after a block until it is quiet, into
// buf (a block's room), adding it to *dropped. False when the device is
// still sending past the bound.
bool sahara_drain(vorn_device *dev, uint8_t *buf, uint64_t *dropped, const sahara_dump_run &run);

// Whether the regions an earlier run left in dir are still the device's
// memory, so that the crash is the same: samples of each region kept whole
// (its first block, its last and two between) and the start of each partial
// file (not of one changed since it was recorded whole) are read from the
// device and compared with the files, at most 2 % of
// the dump's bytes in all. 1: the same; 0: another crash, *differs the
// region that told; -1: the device failed or a stop came, after the message
// with run.hint set.
int sahara_same_crash(vorn_device *dev, const sahara_debug_width &wd, const std::vector<sahara_debug_region64> &table,
		      const std::vector<bool> &to_read, const std::vector<sahara_saved_region> &kept,
		      const std::vector<bool> &changed, const sahara_dump_dir &dir, size_t *differs,
		      sahara_dump_run &run);

// Completes, splits and decodes a packet of which n bytes were read into buf
// (of SAHARA_RX_SIZE bytes): its length, -ECANCELED on a stop, or -EINVAL
// after its message when its length field does not match what came.
int sahara_next_packet(vorn_device *dev, uint8_t *buf, int n, const sahara_dump_run &run, sahara_pkt *pkt);
// The fixed length of a device packet the exchange dispatches, with its name
// for the message; 0 for commands whose length is checked elsewhere or not
// at all.
uint32_t sahara_required_length(uint32_t cmd, const char **name);

// The host's packets. RESET returns the result of its write; the others
// are answers whose loss the device's next packet shows.
int sahara_send_reset(vorn_device *dev);
void sahara_send_done(vorn_device *dev);
void sahara_send_hello_resp(vorn_device *dev, uint32_t mode);
// A MEMORY_READ or MEM_READ64, as w says; -EINVAL when addr or length does
// not fit its fields.
int sahara_send_mem_read(vorn_device *dev, const sahara_debug_width &w, uint64_t addr, uint64_t length);
void sahara_progress(const char *name, uint64_t value, uint64_t max);

// Handles MEMORY_DEBUG and MEM_DEBUG64 (the width follows pkt->cmd): 0 when
// every admitted region and the core are on disk and RESET went out; -1 on
// any failure, with the device left as it is.
int sahara_debug64(vorn_device *dev, const sahara_pkt *pkt, const char *duruvev_path, const char *duruvev_filter,
		   sahara_dump_run &run);

// Forms "<dir>/<name>"; false when it does not fit SAHARA_PATH_MAX.
bool sahara_join(char (&path)[SAHARA_PATH_MAX], const char *dir, const char *name);

// The closing summary of a memory-debug run, and the advice after a failure.
void sahara_dump_summary(const sahara_dump_run &run);

// A crash's title for a console line: "no crash message" when the log held
// none.
std::string sahara_crash_text(const crash_title &t);

// The files of a dump's directory, through its handle when it has one (see
// sahara_dump_dir). A descriptor, or -1 with errno set.
int sahara_create_in(const sahara_dump_dir &dir, const char *name);
int sahara_open_in(const sahara_dump_dir &dir, const char *name);
// Removes name from dir: 0, or -1 with errno set.
int sahara_remove_in(const sahara_dump_dir &dir, const char *name);
// Renames from to to in dir, replacing to. 0, or -1 with errno set.
int sahara_rename_in(const sahara_dump_dir &dir, const char *from, const char *to);
// Syncs dir itself: 0, or -1 with errno set.
int sahara_sync_dir(const sahara_dump_dir &dir);
// Syncs dir when writes are durable, so that what was made or renamed in it
// stays. 0, or -1 after the message.
int sahara_settle_dir(const sahara_dump_dir &dir);

// dir's handle: the held one, or else the directory at dir.path opened into
// opened; os_dir_none with errno set when it cannot be opened.
os_dir_handle sahara_held(const sahara_dump_dir &dir, os_dir &opened);

// Puts len bytes in place as the whole file dir/name: a new file beside it,
// synced, renamed over name, the directory synced (the syncs only when
// writes are durable). A cut leaves the old file or the new one, never part
// of one. Returns 0, or -1 after its message.
int sahara_write_file(const sahara_dump_dir &dir, const char *name, const uint8_t *data, size_t len);

// A file name with ASCII letters in lower case: names that are one file on a
// file system that folds case compare equal.
std::string sahara_fold(const std::string &name);

// Removes the core and the description files an earlier dump left in dir,
// with one line naming them: they would describe region files that this
// run overwrites.
void sahara_remove_descriptions(const sahara_dump_dir &dir);

// Bytes the description files of n saved regions need on disk, at most.
uint64_t sahara_descriptions_size(size_t n_regions);

// Writes the description files of a complete dump from the record of what
// this run saved (saved[i] belongs to table[i]; core is the core and
// kernel_log "dmesg.txt", when they were written): "load.cmm" (unless the
// device offered its own), "dump_info.txt", "dump.json" (record, unless
// empty) and "SHA256SUMS". Returns 0, or -1 after its message with none of
// them, nor "dmesg.txt", left behind.
int sahara_describe_dump(const sahara_dump_dir &dir, const sahara_debug_region64 *table, size_t n_regions,
			 const sahara_saved_region *saved, const sahara_saved_region &core,
			 const sahara_saved_region &kernel_log, const std::string &record);

// The dump's record for machines (dump.json) of a complete dump that run
// made, completed at end (seconds since the epoch), holding bytes of region
// data (those kept from an earlier run too); with the kernel's facts when
// kernel.read. "" when it cannot be made (the dump goes on without it).
std::string sahara_dump_json(const sahara_dump_run &run, int64_t end, uint64_t bytes);

// Reads the kernel log out of the complete, synced dump in dir and writes it
// as "dmesg.txt", synced; its last line, the kernel's release and the title
// of its crash go into *facts. A log that cannot be read or written costs
// the dump nothing: one line says why, and no "dmesg.txt" is left. Returns
// the record of the file (saved or not).
sahara_saved_region sahara_write_dmesg(const sahara_dump_dir &dir, const sahara_debug_region64 *table,
				       size_t n_regions, const sahara_saved_region *saved, sahara_kernel_facts *facts);

// Bytes in lower-case hexadecimal, as SHA256SUMS writes digests.
// The file a name stands for on Windows, which also folds case and drops
// trailing dots and spaces: names that are one file there get one key.
std::string sahara_name_key(const std::string &name);

std::string sahara_hex(const uint8_t *bytes, size_t n);

// The record of which regions of a cut-short dump are whole, kept in the
// dump directory until the dump is complete.
// Hex SHA-256 of the table's raw bytes: the same table, byte for byte.
std::string sahara_table_digest(const uint8_t *raw, size_t len);
// The device a record belongs to: collection's key for it (empty for a dump
// run by hand) and its serial number (empty when it reports none).
struct sahara_resume_device {
	std::string key, serial;
};
// Marks saved[i] whole, with its digest, for each region the record in dir
// lists for this table whose file still holds all of it. 0 when dir holds a
// record of this table and of a device with this serial number; -1
// otherwise, *other_table true when it holds one of another table or
// device. A record with a repeated or contradictory line keeps nothing.
// changed[i]: region i is recorded whole, but its file changed since.
int sahara_resume_load(const sahara_dump_dir &dir, const std::string &table_digest, const std::string &serial,
		       const std::vector<sahara_debug_region64> &table, std::vector<sahara_saved_region> &saved,
		       std::vector<bool> &changed, bool *other_table);
// Writes the record of the regions saved[] marks whole, safely: new file,
// sync, rename, directory sync. 0, or -1 after the message.
int sahara_resume_save(const sahara_dump_dir &dir, const std::string &table_digest, const sahara_resume_device &device,
		       const std::vector<sahara_debug_region64> &table, const std::vector<sahara_saved_region> &saved);
// Removes the record once the dump is complete. 0, or -1 after the message.
int sahara_resume_remove(const sahara_dump_dir &dir);
// Continuing, a region is read again into this file, not into the partial
// one an earlier run left: that keeps its bytes until the new read has them.
extern const char sahara_resume_part_name[];
// Puts the region read again into sahara_resume_part_name in place of file:
// when whole, or when it holds more of the region than file does (same crash,
// same bytes from the start); otherwise drops it. 0, or -1 after the message.
int sahara_resume_settle(const sahara_dump_dir &dir, const char *file, bool whole);

// SHA-256 of one file's bytes, computed on a thread of its own while the
// engine goes on talking to the device. add() returns at once; the bytes it
// was given must stay untouched until the next add(), wait() or finish().
class sahara_hasher {
public:
	sahara_hasher();
	~sahara_hasher();
	sahara_hasher(const sahara_hasher &) = delete;
	sahara_hasher &operator=(const sahara_hasher &) = delete;
	void add(const uint8_t *data, size_t len);
	// Returns once the bytes last given to add() are hashed.
	void wait();
	// The digest (32 bytes) of everything added: 0, or -1 when the
	// digest library failed.
	int finish(uint8_t *digest);

private:
	void work();
	sha256_digest digest_;
	std::mutex lock_;
	std::condition_variable cv_;
	const uint8_t *job_ = nullptr;
	size_t job_len_ = 0;
	bool quit_ = false;
	// Without a thread (none could be started) add() hashes at once.
	bool inline_ = false;
	std::thread worker_;
};
