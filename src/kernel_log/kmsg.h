// The kernel's log, read out of a dump's memory with nothing but the
// kernel's vmcoreinfo text to say where it lies and how its records are laid
// out: the lockless printk ring of Linux 5.10 and later, or the log_buf
// records of older kernels. No vmlinux is needed.
//
// Everything read is device-supplied and treated as hostile: every size,
// index and id is checked before use, the work is bounded in records, text
// and time, and a failure is one line saying why. The bytes come through the
// caller's reader, so this module knows no files.
#pragma once
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

// Where a piece of physical memory is kept: length bytes at physical address
// addr, found at byte offset in file (a region file, or the core).
struct kmsg_region {
	std::string file;
	uint64_t addr = 0;
	uint64_t length = 0;
	uint64_t offset = 0;
};

// Reads len bytes at offset off of the region's file into buf; false when
// they cannot all be read.
using kmsg_reader = std::function<bool(const kmsg_region &r, uint64_t off, uint8_t *buf, size_t len)>;

struct kmsg_source {
	std::string vmcoreinfo;
	// Bytes of a kernel word, from the class of the kernel's ELF header;
	// 0 when unknown (vmcoreinfo then decides).
	unsigned word = 0;
	// vaddr - paddr of the kernel header's loadable segments, when they
	// agree on one: a 32-bit ARM kernel's linear offset, when vmcoreinfo
	// does not give it.
	bool has_linear = false;
	uint64_t linear = 0;
	std::vector<kmsg_region> regions;
	kmsg_reader read;
	// Wall time the reading may take.
	std::chrono::milliseconds budget{5000};
};

struct kmsg_record {
	uint64_t ts_nsec = 0;
	std::string text;
};

struct kmsg_log {
	const char *format = ""; // "printk ring" or "log_buf"
	std::vector<kmsg_record> records;
	// Records in the ring that could not be taken: being written,
	// overwritten, or with data that does not belong to them.
	unsigned skipped = 0;
	// How the log was found when the dump did not say: where vmcoreinfo
	// and the linear offset came from (for the log line); empty otherwise.
	std::string how;
};

// Upper bounds of what is read: records, and bytes of text in all.
#define KMSG_RECORDS_MAX (1u << 21)
#define KMSG_TEXT_MAX (32u << 20)

// Reads the log. Returns 0, or -1 with a one-line reason in why. A 32-bit
// kernel whose vmcoreinfo and header give no linear offset has it from where
// init_uts_ns lies in the saved memory; a saved init_uts_ns that does not
// hold the release where the translation puts it is a reason too.
int kmsg_read(const kmsg_source &src, kmsg_log &log, std::string &why);

// vmcoreinfo out of the saved memory itself, for a dump of all RAM without
// the kernel's header or a vmcoreinfo region: the first 4 KiB page (by
// physical address, in region order) that starts with OSRELEASE= and whose
// text parses as vmcoreinfo. A few bytes are read per page, within the time
// bound. 0 with the text and the page's address, or -1 with the reason.
int kmsg_scan_vmcoreinfo(const kmsg_source &src, std::string &text, uint64_t &paddr, std::string &why);

// The log as dmesg prints it: "[%5lu.%06lu] text", one line per line of a
// record's text, control bytes shown as \xNN.
std::string kmsg_dmesg_text(const kmsg_log &log);

// The last line of the log in that form, without its newline; empty when the
// log is.
std::string kmsg_last_line(const kmsg_log &log);

// vmcoreinfo text out of bytes that hold it: a run of ELF notes, one of them
// named VMCOREINFO, or the text itself up to its first NUL. Empty when the
// bytes hold neither (text must start with a KEY=value line).
std::string kmsg_vmcoreinfo_text(const uint8_t *bytes, size_t len);
