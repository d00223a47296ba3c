// The Sahara engine: the exchange, the segment filter, and the internals that
// its tests and benchmark reach (the region table entry, the minidump assembly
// and its file helpers, the scaling of 64-bit progress figures).
#pragma once
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>

#include "digest.h"
#include "dump_files.h"
#include "oscompat.h"
#include "vorn.h"

// Who a dumped device is, for the dump's record (dump.json): what the
// console calls it, its serial number and where it sits on the bus; ""
// when unknown.
struct sahara_device_id {
	std::string label, serial, bus_path;
};

int sahara_run(vorn_device *dev, const sahara_image *images, const char *duruvev_path,
	       const char *duruvev_filter, const sahara_device_id *device = nullptr);
bool pattern_match(const char *pattern, const char *string);


// Size of one 64-bit region table entry on the wire.
#define SAHARA_DEBUG_REGION64_SIZE 64

// One entry of the device's memory-region table, decoded from either width
// (the numbers are widened to 64 bits). On the wire the region and file
// names are 20 bytes each, unterminated when full; here they end with a NUL.
struct sahara_debug_region64 {
	uint64_t type;
	uint64_t addr;
	uint64_t length;
	char region[21];
	char filename[21];
};

// The two widths in which a device offers its memory: MEMORY_DEBUG, answered
// with MEMORY_READ requests, and a table of 52-byte entries (32-bit numbers);
// or MEM_DEBUG64, MEM_READ64 and 64-byte entries. The device chooses; the
// host requests in the width it was offered.
struct sahara_debug_width {
	uint32_t debug_cmd;	// the device's offer of its table
	uint32_t read_cmd;	// the host's requests for the table and memory
	uint32_t packet_length; // of both packets: header and two numbers
	unsigned field;		// bytes of every number in the packets and the table
	uint32_t entry_size;	// one table entry: three numbers, two 20-byte names
	uint64_t addr_last;	// the highest address a request can name
	// Names in messages: the packets as the device sent them, and the
	// prefix of the table's messages.
	const char *debug_name;
	const char *read_name;
	const char *table_name;
};
extern const sahara_debug_width sahara_debug_width32, sahara_debug_width64;

// The width a device chose by sending cmd; null for any other command.
const sahara_debug_width *sahara_debug_width_of(uint32_t cmd);

// Decodes one little-endian table entry of the given width.
void sahara_debug_region_decode(const uint8_t *entry, const sahara_debug_width &w, sahara_debug_region64 *out);

// True when read requests of this width can name every byte of the region.
bool sahara_region_requestable(const sahara_debug_region64 &r, const sahara_debug_width &w);

// True when the region with this file name is to be skipped.
bool sahara_debug64_filter(const char *filename, const char *filter);

// True when a device-supplied file name may be created in the output
// directory: not empty, not "." or "..", no path separator or drive colon,
// no control character, not the core's own name, and a name Windows can
// hold as a plain file (no device name such as NUL.BIN, none of < > " | ? *,
// no trailing dot or space, no space at all), and none of the files that
// describe the dump ("minidump.elf", "SHA256SUMS", "dump_info.txt",
// "dmesg.txt", "dump.json").
bool sahara_region_filename_ok(const char *filename);

// A device-supplied name, shown with its control bytes as \xNN.
std::string sahara_printable(const char *name);

// What this run did with one table entry.
struct sahara_saved_region {
	// Written completely, flushed to stable storage and closed by this run.
	bool saved = false;
	// Name of its file in the output directory: the device's name, or the
	// substitute it was saved under.
	std::string file;
	// SHA-256 of the bytes, taken as they were written.
	uint8_t sha256[sha256_digest::size] = {};
};

// Where a dump's files go. A dump run by hand names its directory: files in
// it are created or replaced by path. Collection makes a new directory and
// holds it open: every file is then made new through that handle, never
// through a link, and nothing in it is replaced.
struct sahara_dump_dir {
	const char *path; // in messages; and the files' place without a handle
	os_dir_handle handle = os_dir_none;
	sahara_dump_dir(const char *p) : path(p) {}
	sahara_dump_dir(const char *p, os_dir_handle h) : path(p), handle(h) {}
};

// Assembles "minidump.elf" in dir from the region files this run
// saved (saved[i] belongs to table[i]). Returns 0 when the core was written
// and synced or none is due (no kernel header region, or the filter excluded
// it), -1 when a core was due and could not be made; an incomplete core is
// removed. A core that was written is recorded in *core (when given).
// When given, admit is asked with the core's size before a byte of it is
// written; false ends with -1 and no core.
int sahara_build_minidump_elf(const sahara_dump_dir &dir, const char *filter, const sahara_debug_region64 *table,
			      size_t n_regions, const sahara_saved_region *saved, sahara_saved_region *core = nullptr,
			      const std::function<bool(uint64_t size)> &admit = nullptr);

// Appends the whole file at path to out, in 64 KiB pieces. Returns the bytes
// copied, or -1 when the file cannot be opened or a piece is not written.
int64_t copy_file_to(FILE *out, const char *path);

// As copy_file_to, but stops after max bytes. What is written is also added
// to digest, when given (so in write_zeroes).
int64_t copy_file_part(FILE *out, const char *path, uint64_t max, sha256_digest *digest = nullptr);

// Appends count zero bytes to out. Returns 0, or -1 on a short write.
int write_zeroes(FILE *out, uint64_t count, sha256_digest *digest = nullptr);

// Maps a 64-bit progress pair onto the progress bar's 32-bit numbers with the
// same fraction: value is first limited to max, then both are shifted right
// until max fits.
void sahara_progress_scale(uint64_t value, uint64_t max, uint32_t *value32, uint32_t *max32);

// Observer of every progress update of a region dump: the 64-bit figures
// and what the bar was given.
typedef void (*sahara_progress_observer)(uint64_t value, uint64_t max, uint32_t value32, uint32_t max32);

// The engine's switches. The front end sets resume; benchmarks turn off what
// they measure the cost of; tests watch the progress.
struct sahara_settings {
	// Region files, the core and the description files are forced to
	// stable storage before the device is reset.
	bool durable_writes = true;
	// Region files and the core are hashed as they are written, for
	// SHA256SUMS; without it no SHA256SUMS is written.
	bool hashing = true;
	// A dump run by hand continues the cut-short dump recorded in its
	// output directory (same table), instead of starting anew.
	bool resume = false;
	// Told of every progress update of a region dump; null for none.
	sahara_progress_observer progress = nullptr;
};

// The switches in force, to read or change between runs.
sahara_settings &sahara_config(void);

struct vorn_device;

// What a run of unattended collection adds to one memory-debug dump. The
// caller owns it for the whole run; the engine fills in the results.
struct sahara_collect_ctl {
	// Once true, the dump ends at the next block or read slice: no RESET,
	// the files written so far are synced and kept.
	const std::atomic<bool> *stop = nullptr;
	// Where the free space is measured: the output directory itself need not
	// exist yet.
	const char *space_dir = nullptr;
	// Held open, it is where the space is measured when given.
	os_dir_handle space_handle = os_dir_none;
	// Creates the output directory; called once, just before the first
	// region file. 0, or -1 with errno set.
	int (*make_dir)(void *ctx) = nullptr;
	void *ctx = nullptr;
	// When set, called once the dump is complete and synced, just before
	// RESET: what must outlive the reset goes to disk here. -1 keeps the
	// device from being reset, and the dump does not count as complete.
	int (*before_reset)(void *ctx) = nullptr;
	// A directory where an earlier dump of this device was cut short, held
	// open by the caller, and its path: when it records the same table, the
	// dump continues there.
	os_dir_handle resume_dir = os_dir_none;
	std::string resume_path;
	// The device as collection knows it (its key) and its serial number
	// ("" when it has none), for the record of a dump cut short.
	std::string device_key, serial;
	// Set by make_dir: the new directory, held open by the caller until the
	// dump has ended, and its path for messages.
	os_dir_handle dir = os_dir_none;
	std::string dir_path;

	// Results.
	bool resumed = false;	     // the dump went on in resume_dir
	bool complete = false;	     // every admitted region and the core on disk
	bool reset_sent = false;
	bool stopped = false;	     // ended by stop
	bool image_transfer = false; // the device asked for images: not answered
	uint64_t bytes_saved = 0; // of regions saved whole
	uint64_t bytes_kept = 0;  // of every file kept, parts of regions included
	// The last line of the kernel's log, when it could be read.
	std::string kernel_line;
	// The title of its crash ("no crash message" when none); "" when the
	// log could not be read.
	std::string crash_title;
	// Given by the caller.
	sahara_device_id device;
};

// The device whose cut-short dump the directory dir holds, as its record of
// whole regions names it: 0 with *key (collection's key for it, "" when it
// was dumped by hand) and *serial ("" when unknown), or -1 when dir holds no
// such record.
int sahara_resume_owner(os_dir_handle dir, std::string *key, std::string *serial);

// One memory-debug dump under collection's rules: a HELLO that does not ask
// for memory debug is left unanswered. 0 when the dump is complete and the
// device was reset, -1 otherwise.
int sahara_run_collect(vorn_device *dev, const char *duruvev_path, const char *duruvev_filter,
		       sahara_collect_ctl *ctl);

// Bytes that the other dumps in progress in this process still have to
// write. A dump claims what it needs when it starts, gives back what it has
// written as it goes, and releases the rest at its end.
class sahara_space_claim {
public:
	sahara_space_claim() = default;
	sahara_space_claim(const sahara_space_claim &) = delete;
	sahara_space_claim &operator=(const sahara_space_claim &) = delete;
	~sahara_space_claim() { release(); }
	// Claims need bytes when avail minus the others' claims covers them;
	// false (nothing claimed) otherwise, with the others' claims in *others.
	bool claim(uint64_t need, uint64_t avail, uint64_t *others);
	// written more bytes are on disk.
	void used(uint64_t written);
	// Adds more bytes to the claim held when avail covers them on top of
	// everything claimed; false (nothing added) otherwise, with the others'
	// claims in *others.
	bool claim_more(uint64_t more, uint64_t avail, uint64_t *others);
	void release();

private:
	bool held_ = false;
	uint64_t id_ = 0;
};

