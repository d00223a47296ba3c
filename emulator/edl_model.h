// Transport-independent model of the device side of a Sahara exchange: a
// boot ROM in memory-debug mode (it offers a region table and answers memory
// reads) or one that asks for boot images. Fronts (in-process vorn_device,
// pseudo-terminal, emulated USB) move its bytes; the model itself never
// blocks, sleeps or touches a file descriptor.
//
// Contract for fronts:
//  - The device talks in "transfers": one Sahara packet, or one run of raw
//    memory bytes answering a MEM_READ64. has_output() tells whether a
//    transfer (or the rest of one) is ready now; when it is false the device
//    is silent and the front reports a time-out after its own waiting.
//  - read_out(buf, max) copies the next bytes of the current transfer, at
//    most max, and never crosses into the next transfer. A USB front maps one
//    call to one bulk IN transfer; a tty front may simply stream the bytes.
//    Memory runs are generated into buf on the fly, so regions of many GiB
//    cost no memory.
//  - write_in(buf, len) hands the model one host transfer (a whole packet;
//    in image mode also raw image data, which may come in several pieces).
//  - unplugged() turns true after an injected failure (fault.unplug_after_data);
//    from then on a front fails every read and write (-EIO, or a vanished
//    USB device / tty).
//  - Everything the host did is recorded in the public log fields, for
//    tests and for the demo's summary.
// The model is single-threaded; a front that serves it from several threads
// must lock around every call.
#pragma once
#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <string>
#include <vector>

// Sahara command codes as they travel on the wire.
enum emu_cmd : uint32_t {
	EMU_CMD_HELLO = 1,
	EMU_CMD_HELLO_RESP = 2,
	EMU_CMD_READ_DATA = 3,
	EMU_CMD_END_OF_IMAGE = 4,
	EMU_CMD_DONE = 5,
	EMU_CMD_DONE_RESP = 6,
	EMU_CMD_RESET = 7,
	EMU_CMD_RESET_RESP = 8,
	EMU_CMD_MEMORY_DEBUG = 0x09,
	EMU_CMD_MEMORY_READ = 0x0a,
	EMU_CMD_MEM_DEBUG64 = 0x10,
	EMU_CMD_MEM_READ64 = 0x11,
	EMU_CMD_READ_DATA64 = 0x12,
};

// Sahara HELLO modes a device may announce.
enum emu_mode : uint32_t {
	EMU_MODE_IMAGE_TX_PENDING = 0,
	EMU_MODE_IMAGE_TX_COMPLETE = 1,
	EMU_MODE_MEMORY_DEBUG = 2,
	EMU_MODE_COMMAND = 3,
};

// Deterministic memory content: byte at address a is byte (a % 8) of
// emu_mix64(a / 8), little-endian. Cheap enough to generate at GB/s.
uint64_t emu_mix64(uint64_t x);
void emu_pattern_fill(uint64_t addr, uint8_t *buf, size_t len);

// One program header of a generated kernel ELF core header.
struct emu_kelf_segment {
	uint32_t type = 1; // PT_LOAD
	uint64_t paddr = 0;
	uint64_t filesz = 0;
	uint64_t offset = 0; // p_offset of a segment other than PT_LOAD
	uint64_t vaddr = 0;  // p_vaddr; 0: the same as paddr
};

// ELF core header (ET_CORE, little-endian) with one program header per
// segment: ELF-64 for AArch64, or with elf32 ELF-32 for ARM. p_offset of
// each PT_LOAD is laid out as the host's concatenation: data_offset for the
// first, then back to back by p_filesz, where data_offset should be header
// size + vmcoreinfo size. 0 selects "right after the header".
std::vector<uint8_t> emu_make_kelf(const std::vector<emu_kelf_segment> &segments, uint64_t data_offset = 0,
				   bool elf32 = false);
// The same header as a kernel's minidump driver builds it: every segment,
// PT_NOTE included, takes the next file offset in header order, right after
// the header.
std::vector<uint8_t> emu_make_kelf_registered(const std::vector<emu_kelf_segment> &segments);
// One region a kernel registered, as its ELF header describes it.
struct emu_kernel_segment {
	std::string name;  // the region's name less "md_": its section's name
	uint32_t type = 1; // PT_LOAD, or PT_NOTE for the vmcoreinfo note
	uint64_t paddr = 0, vaddr = 0, size = 0;
};

// The header region a kernel fills in (md_KELF_HEADER): ELF header, section
// headers (null, STR_TBL, with a banner minidump_table and linux_banner,
// then one per segment), program headers, the STR_TBL, then the banner.
// Segments take file offsets from the header's end in the order given
// (registration order); program headers list the banner's PT_LOAD, then
// PT_NOTEs, then PT_LOADs.
struct emu_kernel_header {
	bool elf32 = false;
	std::vector<emu_kernel_segment> segments;
	size_t section_slots = 0; // section headers reserved; fewer: as many as used
	size_t strtab_size = 0;	  // STR_TBL bytes reserved; fewer: as many as used
	// The kernel driver's copy of linux_banner inside the header, described
	// by a PT_LOAD whose p_offset lies there; empty: none.
	std::string banner;
	uint64_t banner_paddr = 0, banner_vaddr = 0, table_vaddr = 0;
};
std::vector<uint8_t> emu_make_kernel_header(const emu_kernel_header &k);
// An ELF note: name (NUL included) and desc each padded to 4 bytes.
std::vector<uint8_t> emu_elf_note(const char *name, uint32_t type, const std::string &desc);
// Size of emu_make_kelf's result for n program headers.
inline uint64_t emu_kelf_size(size_t n, bool elf32 = false)
{
	return elf32 ? 52 + 32 * static_cast<uint64_t>(n) : 64 + 56 * static_cast<uint64_t>(n);
}

// One entry of the device's region table and the memory behind it.
struct emu_region {
	uint64_t type = 1;
	uint64_t addr = 0;
	uint64_t length = 0;
	// Raw bytes put into the 20-byte table fields: longer text is cut at 20
	// bytes, a name of exactly 20 bytes has no terminator. Any bytes are
	// allowed (hostile names for tests).
	std::string region;
	std::string filename;
	// Content: empty means the address pattern (emu_pattern_fill). Otherwise
	// these bytes, and zeros where the region is longer than them.
	std::vector<uint8_t> bytes;
};

// A packet whose bytes on the wire are falsified (applies to the first packet
// of that command the device sends).
struct emu_packet_fault {
	uint32_t cmd = 0;		 // 0: none
	int64_t send_size = -1;	 // bytes actually sent; -1: the true size
	int64_t length_field = -1; // value put into the length field; -1: true
	size_t split_at = 0;		 // > 0: sent as two transfers, split here
};

// Misbehaviour on request, for error paths.
struct emu_fault {
	// Silent from the start: no HELLO at all.
	bool silent_at_start = false;
	// After this many transfers have been sent completely the device says
	// nothing more (it still records what the host sends). -1: never.
	int64_t silent_after_transfers = -1;
	// No RESET_RESP for a RESET.
	bool no_reset_resp = false;
	// The memory read (MEM_READ64 or MEMORY_READ) with this index (0 = the
	// first, normally the table read) is answered with short_block_bytes
	// bytes only, then silence.
	int64_t short_block_at_read = -1;
	uint64_t short_block_bytes = 0;
	// The table read (first MEM_READ64 of the table address) gets this
	// many bytes instead of the whole table. -1: whole.
	int64_t short_table_bytes = -1;
	// After this many bytes of region data (not the table) the device
	// fails: the transfer in progress ends there and unplugged() turns
	// true once those bytes are read. -1: never.
	int64_t unplug_after_data = -1;
	// After this many bytes of region data the device holds: it stays
	// there and says nothing more, so that a test can act at a known point
	// of a dump. -1: never. The earlier of the two limits applies.
	int64_t hold_after_data = -1;
	emu_packet_fault packet;
	// After the block answering the MEM_READ64 with this index (-1: none),
	// the device sends surplus_transfers transfers nobody asked for, of
	// surplus_bytes bytes each; -1 transfers: it never stops.
	int64_t surplus_after_read = -1;
	int64_t surplus_transfers = 0;
	uint64_t surplus_bytes = 0;
	// Memory runs are cut into transfers of at most this many bytes (0:
	// one transfer per MEM_READ64), as a device with a small buffer would.
	size_t max_mem_transfer = 0;
	// Hostile devices. Trickled transfers (the HELLO, the table) go out
	// one byte at a time, trickle_ms apart (the front keeps the time).
	bool trickle_hello = false;
	bool trickle_table = false;
	unsigned trickle_ms = 0;
	// Every HELLO_RESP is answered with another HELLO: no table ever.
	bool hello_storm = false;
	// After HELLO_RESP, packets of an unknown command without end.
	bool unknown_flood = false;
};

// Parses "hello:MS" or "table:MS" into the trickle fields of f; false when
// it is malformed.
bool emu_parse_trickle(const char *text, emu_fault &f);

// Parses "READ:COUNT:BYTES" (COUNT may be "forever") into the surplus fields
// of f; false when it is malformed.
bool emu_parse_surplus(const char *text, emu_fault &f);

// One image requested in image mode.
struct emu_image_request {
	uint32_t image_id = 0;
	uint64_t image_size = 0;
	uint64_t request_size = 0x1000; // bytes per READ_DATA request
	bool use_read64 = false;
};

struct emu_config {
	// Memory-debug device (default) or a device that asks for images.
	bool image_mode = false;
	// A 32-bit memory-debug device: MEMORY_DEBUG, 52-byte table entries and
	// MEMORY_READ requests, all numbers 32 bits wide (regions must lie
	// below 4 GiB). Otherwise MEM_DEBUG64, 64-byte entries, MEM_READ64.
	bool debug32 = false;
	uint32_t hello_mode = EMU_MODE_MEMORY_DEBUG;
	uint32_t hello_version = 2;
	uint32_t hello_compatible = 1;
	uint32_t hello_max_len = 1024;

	// Memory-debug: the regions, and where the table lives.
	std::vector<emu_region> regions;
	uint64_t table_addr = 0x146bf000;
	// Table size announced in MEM_DEBUG64 / MEMORY_DEBUG; -1: entry size
	// (64 or 52) * number of regions.
	// The table's bytes past the entries read as zeros.
	int64_t table_length = -1;

	// Image mode: the images the device asks for, in order, and the
	// status of the final DONE_RESP (earlier images get status 0 and a
	// new HELLO). status 1 ends a host's exchange.
	std::vector<emu_image_request> images;
	uint32_t final_done_status = 1;
	uint32_t end_of_image_status = 0;

	emu_fault fault;

	// Which crash the device holds: the same table over other memory, as
	// another device of the model, or the same one crashed again, has.
	// Region memory given by the address pattern differs from crash to
	// crash; bytes a scenario spells out stay.
	uint64_t crash = 0;

	// Keep every host packet and MEM_READ64 in the log (host_packets,
	// mem_reads). Long dumps (benchmarks) turn it off so the log does not
	// grow with the dump; the counters are kept either way.
	bool record_packets = true;
};

class emu_model {
public:
	explicit emu_model(emu_config cfg);

	// Output side (device to host).
	bool has_output() const;
	size_t read_out(uint8_t *buf, size_t max);
	// Bytes left in the current transfer (0 when none is ready).
	uint64_t pending_out() const;
	// The current transfer goes out a byte at a time (emu_fault trickle).
	bool trickling() const { return has_output() && out_.front().trickle; }

	// Input side: one host transfer.
	void write_in(const uint8_t *buf, size_t len);

	bool unplugged() const { return unplugged_; }
	// True once the device has gone quiet (a hold or a silence fault)
	// after handing out everything it was to send.
	bool silent() const { return silent_; }
	// True once the exchange reached its end (RESET_RESP or final DONE_RESP
	// handed out).
	bool finished() const { return finished_; }

	const emu_config &config() const { return cfg_; }
	// The serialized region table (announced length, zero-filled).
	const std::vector<uint8_t> &table() const { return table_; }
	// Content of device memory at addr (table or region); false when the
	// range is not inside one of them.
	bool memory(uint64_t addr, uint8_t *buf, size_t len) const;

	// Log of what the host did.
	struct mem_read {
		uint64_t addr;
		uint64_t length;
	};
	std::vector<std::vector<uint8_t>> host_packets; // every packet received
	std::vector<mem_read> mem_reads;		   // every memory read
	uint64_t mem_read64_count = 0;			   // MEM_READ64s or MEMORY_READs
	unsigned hello_resp_count = 0;
	uint32_t hello_resp_mode = 0; // mode of the last HELLO_RESP
	unsigned reset_count = 0;
	unsigned done_count = 0;
	std::vector<std::string> errors; // protocol violations seen
	std::map<uint32_t, std::vector<uint8_t>> image_data; // image mode
	uint64_t data_bytes_sent = 0; // region data handed out (not the table)

private:
	enum class state {
		WAIT_HELLO_RESP,
		DEBUG,	    // memory-debug: answering MEM_READ64
		IMAGE_DATA, // image mode: waiting for raw data of a request
		IMAGE_DONE, // image mode: waiting for DONE
		END,
	};
	struct transfer {
		std::vector<uint8_t> bytes; // a packet; empty for a memory run
		uint64_t addr = 0;	    // memory run
		uint64_t length = 0;	    // total length of the transfer
		uint64_t sent = 0;
		bool memory = false;
		bool region_data = false; // counts towards unplug/hold_after_data
		bool silence_after = false; // device goes quiet once it is sent
		bool unplug_after = false;  // device fails once it is sent
		bool ends = false;	    // last transfer of the exchange
		bool surplus = false;	    // sent unasked after a block
		bool trickle = false;	    // a byte at a time
		bool flood = false;	    // an unknown packet, followed by the next
	};
	std::vector<uint8_t> unknown_packet() const;

	void queue_packet(std::vector<uint8_t> pkt, bool ends = false);
	void queue_memory(uint64_t addr, uint64_t length);
	transfer surplus_transfer();
	void queue_hello();
	void next_image_request();
	void error(const std::string &what);
	void transfer_done(const transfer &t);
	void handle_packet(const uint8_t *buf, size_t len);
	// One handler per host command.
	void on_hello_resp(const uint8_t *buf, size_t len);
	void on_memory_read(uint32_t cmd, const uint8_t *buf, size_t len);
	void on_reset();
	void on_done();
	// Offers the region table, as the answer to HELLO_RESP.
	void queue_memory_debug();
	// Bytes of every number in the memory-debug packets and table.
	unsigned field() const { return cfg_.debug32 ? 4 : 8; }

	emu_config cfg_;
	std::vector<uint8_t> table_;
	std::deque<transfer> out_;
	state state_ = state::WAIT_HELLO_RESP;
	bool silent_ = false;
	bool unplugged_ = false;
	bool finished_ = false;
	bool packet_fault_used_ = false;
	uint64_t transfers_sent_ = 0;
	uint64_t data_budget_used_ = 0;
	int64_t surplus_left_ = 0; // -1: endless
	uint64_t surplus_made_ = 0;
	// Image mode progress.
	size_t image_idx_ = 0;
	uint64_t image_off_ = 0;
	uint64_t expect_data_ = 0;
};
