// A kernel log shaped as kernels keep it, for the emulated device's memory:
// the lockless printk ring of Linux 5.10 and later, or the older log_buf, each
// written the way the kernel's own writer fills it (ids and positions that
// wrap, records that push the oldest out, a data block that would cross the
// end of the ring starting again at its start), with the vmcoreinfo lines
// the kernel writes to describe it. The messages come from one known list,
// which tests compare against.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

// The kernel's message list for a log of n records: boot messages, then an
// oops as the architecture's kernel prints it (registers, call trace) and
// the panic, which is always the last record.
struct klog_message {
	uint64_t ts_nsec;
	std::string text;
};
enum class klog_arch { arm64, arm };
std::vector<klog_message> klog_messages(size_t n, klog_arch arch = klog_arch::arm64);

// A kernel object at a virtual address and the physical one it maps to.
struct klog_at {
	uint64_t vaddr = 0;
	uint64_t paddr = 0;
};

// Bytes for the device's memory at a physical address.
struct klog_piece {
	uint64_t paddr = 0;
	std::vector<uint8_t> bytes;
};

struct klog_built {
	// The variables (first) and the buffers (second).
	std::vector<klog_piece> pieces;
	// vmcoreinfo lines for the log, as the kernel writes them.
	std::string vmcoreinfo;
	// A data block crossed the end of the ring and started again at its
	// start; in log_buf, the records held go on at its start after a
	// len-0 record.
	bool crossed_end = false;
	// Messages the writer pushed out to make room: the log holds the last
	// messages - dropped of the list.
	size_t dropped = 0;
	// Variables of the log that a vmlinux's symbol table has and
	// vmcoreinfo does not give, with their virtual addresses.
	std::vector<std::pair<std::string, uint64_t>> symbols;
};

// The 5.10+ ring. vars holds the prb pointer and the ring's own structure
// (as printk_rb_dynamic after log_buf_len=); rings holds the descriptors,
// the infos and the text, one after another.
struct klog_prb_params {
	unsigned word = 8;
	unsigned count_bits = 9;
	unsigned size_bits = 15;
	size_t messages = 600;
	// The last record committed but not yet finalized, as one without its
	// newline stays until the next is reserved.
	bool last_committed = true;
	// One more record, reserved and half written, after the last.
	bool pending = false;
	klog_arch arch = klog_arch::arm64;
	klog_at vars, rings;
};
klog_built klog_build_prb(const klog_prb_params &p);

// The older log_buf (4.x): vars holds log_buf, log_buf_len, log_first_idx,
// clear_idx, log_next_idx and log_first_seq; rings holds the buffer.
struct klog_logbuf_params {
	unsigned word = 4;
	uint32_t buf_len = 16384;
	size_t messages = 300;
	klog_arch arch = klog_arch::arm64;
	klog_at vars, rings;
};
klog_built klog_build_logbuf(const klog_logbuf_params &p);
