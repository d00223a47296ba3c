// The kernel log of the emulated device; see kernel_log.h. The writers follow
// kernel/printk/printk_ringbuffer.c (data_alloc, get_next_lpos, desc_reserve)
// and the older log_store() in kernel/printk/printk.c.
#include "kernel_log.h"

#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <deque>
#include <iterator>

#include "le.h"

namespace {

const char *const boot_lines[] = {
	"Booting Linux on physical CPU 0x0000000000 [0x51af8014]",
	"Machine model: Reference Board %zu",
	"Memory limit set/overridden to %zuMB",
	"cma: Reserved 32 MiB at 0x00000000f%07zx",
	"psci: probing for conduit method from DT.",
	"percpu: Embedded 31 pages/cpu s89240 r8192 d29544 u126976",
	"CPU%zu: Booted secondary processor 0x0000000%zu00 [0x51af8014]",
	"smp: Brought up 1 node, 8 CPUs",
	"devtmpfs: initialized",
	"clocksource: jiffies: mask: 0xffffffff max_cycles: 0xffffffff, max_idle_ns: 7645041785100000 ns",
	"NET: Registered PF_NETLINK/PF_ROUTE protocol family",
	"iommu: Default domain type: Translated",
	"SCSI subsystem initialized",
	"usbcore: registered new interface driver usbfs",
	"gpio gpiochip%zu: registered",
	"regulator-dummy: no parameters, enabled",
	"arm-smmu 15000000.apps-smmu: probing hardware configuration...",
	"spmi spmi-0: PMIC arbiter version v5 (0x50010000)",
	"thermal_sys: Registered thermal governor 'step_wise'",
	"ufshcd-qcom 1d84000.ufshc: ufshcd_populate_vreg: Unable to find vdd-hba-supply regulator, assuming enabled",
	"scsi 0:0:0:%zu: Direct-Access     VENDOR   UFS STORAGE      0100 PQ: 0 ANSI: 6",
	"sd 0:0:0:%zu: [sda] 15624704 4096-byte logical blocks: (64.0 GB/59.6 GiB)",
	"EXT4-fs (sda%zu): mounted filesystem with ordered data mode. Opts: (null)",
	"init: Service 'vendor.svc%zu' (pid 6%zu) exited with status 0",
	"binder: 1%zu:1%zu transaction failed 29189/-22, size 0-0 line 3025",
	"healthd: battery l=%zu v=3912 t=28.4 h=2 st=3 c=-412 fc=4000000 cc=12 chg=",
	"wlan: [%zu:I:HDD] hdd_wlan_start_modules: Wlan transitioned (now ENABLED)",
	"audit: type=1400 audit(1700000%zu.120:%zu): avc:  denied  { read } for comm=\"servicemanager\"",
	"lowmemorykiller: Killing 'com.example.app%zu' (1%zu), adj 900",
	"dwc3 a600000.dwc3: DWC3 in gadget mode",
};

// Leaves a record's text the way printk leaves it: no trailing newline.
std::string line(size_t i)
{
	const char *t = boot_lines[i % (sizeof(boot_lines) / sizeof(boot_lines[0]))];
	char buf[192];
	snprintf(buf, sizeof(buf), t, i, i % 8, i);
	return buf;
}

// How the kernel lays out the ring's structures at one word width.
struct prb_layout {
	unsigned w;
	uint64_t rb_size, desc_ring, text_data_ring, fail;
	uint64_t dr_size, count_bits, descs, infos, head_id, tail_id;
	uint64_t desc_size, state_var, text_blk_lpos;
	uint64_t lpos_size, lpos_next;
	uint64_t info_size, seq, ts_nsec, text_len, caller_id, dev_info;
	uint64_t dr_data_size, size_bits, data, head_lpos, tail_lpos;
};
const prb_layout prb64 = {8, 80, 0, 40, 72, 40, 0, 8, 16, 24, 32, 24, 0, 8, 16, 8, 88, 0, 8, 16, 20, 24,
			  32, 0, 8, 16, 24};
const prb_layout prb32 = {4, 40, 0, 20, 36, 20, 0, 4, 8, 12, 16, 12, 0, 4, 8, 4, 88, 0, 8, 16, 20, 24,
			  16, 0, 4, 8, 12};

std::string line_fmt(const char *f, uint64_t v)
{
	char buf[96];
	snprintf(buf, sizeof(buf), f, v);
	return buf;
}

// The lines log_buf_vmcoreinfo_setup() writes for the ring.
std::string prb_vmcoreinfo(const prb_layout &l, uint64_t prb, uint64_t rb_static, uint64_t clear_seq)
{
	std::string s = line_fmt("SYMBOL(prb)=%" PRIx64 "\n", prb) +
			line_fmt("SYMBOL(printk_rb_static)=%" PRIx64 "\n", rb_static) +
			line_fmt("SYMBOL(clear_seq)=%" PRIx64 "\n", clear_seq);
	struct kv {
		const char *key;
		uint64_t v;
	};
	const kv lines[] = {
		{"SIZE(printk_ringbuffer)", l.rb_size},
		{"OFFSET(printk_ringbuffer.desc_ring)", l.desc_ring},
		{"OFFSET(printk_ringbuffer.text_data_ring)", l.text_data_ring},
		{"OFFSET(printk_ringbuffer.fail)", l.fail},
		{"SIZE(prb_desc_ring)", l.dr_size},
		{"OFFSET(prb_desc_ring.count_bits)", l.count_bits},
		{"OFFSET(prb_desc_ring.descs)", l.descs},
		{"OFFSET(prb_desc_ring.infos)", l.infos},
		{"OFFSET(prb_desc_ring.head_id)", l.head_id},
		{"OFFSET(prb_desc_ring.tail_id)", l.tail_id},
		{"SIZE(prb_desc)", l.desc_size},
		{"OFFSET(prb_desc.state_var)", l.state_var},
		{"OFFSET(prb_desc.text_blk_lpos)", l.text_blk_lpos},
		{"SIZE(prb_data_blk_lpos)", l.lpos_size},
		{"OFFSET(prb_data_blk_lpos.begin)", 0},
		{"OFFSET(prb_data_blk_lpos.next)", l.lpos_next},
		{"SIZE(printk_info)", l.info_size},
		{"OFFSET(printk_info.seq)", l.seq},
		{"OFFSET(printk_info.ts_nsec)", l.ts_nsec},
		{"OFFSET(printk_info.text_len)", l.text_len},
		{"OFFSET(printk_info.caller_id)", l.caller_id},
		{"OFFSET(printk_info.dev_info)", l.dev_info},
		{"SIZE(dev_printk_info)", 64},
		{"OFFSET(dev_printk_info.subsystem)", 0},
		{"LENGTH(printk_info_subsystem)", 16},
		{"OFFSET(dev_printk_info.device)", 16},
		{"LENGTH(printk_info_device)", 48},
		{"SIZE(prb_data_ring)", l.dr_data_size},
		{"OFFSET(prb_data_ring.size_bits)", l.size_bits},
		{"OFFSET(prb_data_ring.data)", l.data},
		{"OFFSET(prb_data_ring.head_lpos)", l.head_lpos},
		{"OFFSET(prb_data_ring.tail_lpos)", l.tail_lpos},
		{"SIZE(atomic_long_t)", l.w},
		{"OFFSET(atomic_long_t.counter)", 0},
		{"SIZE(latched_seq)", 24},
		{"OFFSET(latched_seq.val)", 8},
	};
	for (const kv &k : lines)
		s += std::string(k.key) + line_fmt("=%" PRIu64 "\n", k.v);
	return s;
}

// The ring's writer: descriptors and data blocks as data_alloc() and
// desc_reserve() hand them out.
class prb_writer {
public:
	prb_writer(const prb_layout &l, unsigned count_bits, unsigned size_bits)
		: l_(l), count_(1ull << count_bits), dsize_(1ull << size_bits), size_bits_(size_bits),
		  word_mask_(l.w == 8 ? UINT64_MAX : 0xffffffffu), id_mask_(word_mask_ >> 2),
		  descs_(count_ * l.desc_size), infos_(count_ * l.info_size), data_(dsize_)
	{
		// DESC0_ID and BLK0_LPOS: ids and positions start just below
		// their first wrap, so that wrapping is exercised early.
		head_id_ = tail_id_ = (0 - (count_ + 1)) & id_mask_;
		head_lpos_ = tail_lpos_ = (0 - dsize_) & word_mask_;
		set_desc(head_id_, 3, 1, 1); // reusable, FAILED_LPOS
	}

	// Adds one record in state 1 (committed), 2 (finalized) or 0 (being
	// written: half its text, text_len still 0).
	void write(uint64_t ts, const std::string &text, unsigned state)
	{
		uint64_t id = (head_id_ + 1) & id_mask_;
		if (((id - tail_id_) & id_mask_) == count_) {
			make_reusable(tail_id_);
			tail_id_ = (tail_id_ + 1) & id_mask_;
		}
		uint64_t size = (l_.w + text.size() + l_.w - 1) / l_.w * l_.w;
		uint64_t begin = head_lpos_, next = next_lpos(begin, size);
		while (((next - tail_lpos_) & word_mask_) > dsize_) {
			if (live_.empty()) {
				tail_lpos_ = (next - dsize_) & word_mask_;
				break;
			}
			make_reusable(live_.front().id);
			tail_lpos_ = live_.front().next;
			live_.pop_front();
		}
		uint64_t at = begin & (dsize_ - 1);
		le_put(&data_[at], l_.w, id);
		if ((begin >> size_bits_) != (next >> size_bits_)) {
			at = 0;
			le_put(&data_[0], l_.w, id);
			crossed = crossed || (begin & (dsize_ - 1)) + size > dsize_;
		}
		size_t n = state == 0 ? text.size() / 2 : text.size();
		memcpy(&data_[at + l_.w], text.data(), n);
		head_lpos_ = next;
		live_.push_back({id, next});
		set_desc(id, state, begin, next);
		uint8_t *info = &infos_[(id & (count_ - 1)) * l_.info_size];
		memset(info, 0, l_.info_size);
		le64_put(info + l_.seq, seq_++);
		le64_put(info + l_.ts_nsec, ts);
		le16_put(info + l_.text_len, static_cast<uint16_t>(state == 0 ? 0 : text.size()));
		// facility 0 (kernel), then flags:5 and level:3 in one byte: a
		// reader that takes text_len wider than its 2 bytes sees them.
		info[l_.text_len + 3] = 6 << 5; // KERN_INFO
		le32_put(info + l_.caller_id, static_cast<uint32_t>(1 + seq_ % 97));
		head_id_ = id;
	}

	// The ring's structure, pointing at descs, infos and data.
	std::vector<uint8_t> ring(uint64_t descs, uint64_t infos, uint64_t data) const
	{
		std::vector<uint8_t> rb(l_.rb_size, 0);
		uint8_t *d = rb.data() + l_.desc_ring, *t = rb.data() + l_.text_data_ring;
		le32_put(d + l_.count_bits, static_cast<uint32_t>(__builtin_ctzll(count_)));
		le_put(d + l_.descs, l_.w, descs);
		le_put(d + l_.infos, l_.w, infos);
		le_put(d + l_.head_id, l_.w, head_id_);
		le_put(d + l_.tail_id, l_.w, tail_id_);
		le32_put(t + l_.size_bits, size_bits_);
		le_put(t + l_.data, l_.w, data);
		le_put(t + l_.head_lpos, l_.w, head_lpos_);
		le_put(t + l_.tail_lpos, l_.w, tail_lpos_);
		return rb;
	}

	const std::vector<uint8_t> &descs() const { return descs_; }
	const std::vector<uint8_t> &infos() const { return infos_; }
	const std::vector<uint8_t> &data() const { return data_; }
	bool crossed = false;
	size_t dropped = 0;

private:
	struct block {
		uint64_t id, next;
	};

	// get_next_lpos(): a block that does not fit before the end of the
	// ring starts at the start of the next wrap.
	uint64_t next_lpos(uint64_t begin, uint64_t size) const
	{
		uint64_t next = (begin + size) & word_mask_;
		if ((begin >> size_bits_) == (next >> size_bits_))
			return next;
		return ((next & ~(dsize_ - 1)) + size) & word_mask_;
	}

	void set_desc(uint64_t id, unsigned state, uint64_t begin, uint64_t next)
	{
		uint8_t *d = &descs_[(id & (count_ - 1)) * l_.desc_size];
		le_put(d + l_.state_var, l_.w, id | (static_cast<uint64_t>(state) << (8 * l_.w - 2)));
		le_put(d + l_.text_blk_lpos, l_.w, begin);
		le_put(d + l_.text_blk_lpos + l_.lpos_next, l_.w, next);
	}

	// A record that held a message loses it.
	void make_reusable(uint64_t id)
	{
		uint8_t *d = &descs_[(id & (count_ - 1)) * l_.desc_size];
		uint64_t sv = le_get(d + l_.state_var, l_.w);
		unsigned state = static_cast<unsigned>(sv >> (8 * l_.w - 2));
		if ((sv & id_mask_) != id || state == 3)
			return;
		le_put(d + l_.state_var, l_.w, id | (3ull << (8 * l_.w - 2)));
		if (state != 0)
			dropped++;
	}

	const prb_layout &l_;
	uint64_t count_, dsize_;
	unsigned size_bits_;
	uint64_t word_mask_, id_mask_;
	std::vector<uint8_t> descs_, infos_, data_;
	uint64_t head_id_, tail_id_, head_lpos_, tail_lpos_, seq_ = 0;
	std::deque<block> live_;
};

void append(std::vector<uint8_t> &out, const std::vector<uint8_t> &b)
{
	out.insert(out.end(), b.begin(), b.end());
}

} // namespace

// An oops as the 5.15 arm64 kernel prints it: the fault, the abort's
// syndrome, the registers, the call trace; then the panic.
const char *const arm64_oops[] = {
	"Unable to handle kernel NULL pointer dereference at virtual address 0000000000000008",
	"Mem abort info:",
	"  ESR = 0x96000005",
	"  EC = 0x25: DABT (current EL), IL = 32 bits",
	"  SET = 0, FnV = 0",
	"  EA = 0, S1PTW = 0",
	"  FSC = 0x05: level 1 translation fault",
	"Data abort info:",
	"  ISV = 0, ISS = 0x00000005",
	"  CM = 0, WnR = 0",
	"[0000000000000008] user address but active_mm is swapper",
	"Internal error: Oops: 96000005 [#1] PREEMPT SMP",
	"Modules linked in:",
	"CPU: 2 PID: 311 Comm: kworker/u16:3 Not tainted 5.15.104-android13-8-g1ab2c3d4e5f6 #1",
	"Hardware name: Qualcomm Technologies, Inc. (DT)",
	"Workqueue: kblockd blk_mq_run_work_fn",
	"pstate: 60400005 (nZCv daif +PAN -UAO -TCO -DIT -SSBS BTYPE=--)",
	"pc : ufshcd_queuecommand+0x5c/0x4a0",
	"lr : scsi_queue_rq+0x3f0/0x7d0",
	"sp : ffffffc00a2bbb40",
	"x29: ffffffc00a2bbb40 x28: ffffff8003a1c000 x27: 0000000000000000",
	"x26: ffffff8004c2e000 x25: 0000000000000001 x24: ffffff8003a1c0c8",
	"x2 : 0000000000000000 x1 : ffffff8004c2e000 x0 : 0000000000000000",
	"Call trace:",
	" ufshcd_queuecommand+0x5c/0x4a0",
	" scsi_queue_rq+0x3f0/0x7d0",
	" blk_mq_dispatch_rq_list+0x154/0x5f0",
	" __blk_mq_sched_dispatch_requests+0xf0/0x160",
	" blk_mq_sched_dispatch_requests+0x40/0x80",
	" __blk_mq_run_hw_queue+0x5c/0x90",
	" blk_mq_run_work_fn+0x24/0x30",
	" process_one_work+0x1d8/0x360",
	" worker_thread+0x74/0x440",
	" kthread+0x178/0x180",
	" ret_from_fork+0x10/0x20",
	"Code: f9400408 b4000128 f9400908 d63f0100 (f9400400) ",
	"---[ end trace 9a1c3e2b7d4f5a60 ]---",
	"Kernel panic - not syncing: Oops: Fatal exception",
};

// The same as the 4.14 32-bit ARM kernel prints it: PC and LR by name, the
// registers, the stack, a backtrace of "(callee) from (caller)" lines.
const char *const arm_oops[] = {
	"Unable to handle kernel NULL pointer dereference at virtual address 00000008",
	"pgd = c0004000",
	"[00000008] *pgd=00000000",
	"Internal error: Oops: 5 [#1] PREEMPT SMP ARM",
	"Modules linked in:",
	"CPU: 1 PID: 97 Comm: kworker/1:2 Not tainted 4.14.190-perf #1",
	"Hardware name: Qualcomm (Flattened Device Tree)",
	"Workqueue: events msm_geni_serial_rx_work",
	"PC is at msm_geni_serial_handle_rx+0x58/0x2c0",
	"LR is at msm_geni_serial_rx_work+0x34/0x60",
	"pc : [<c04a1b2c>]    lr : [<c04a1e40>]    psr: 60000013",
	"sp : c5b05ef0  ip : 00000000  fp : c5b05f2c",
	"r10: 00000000  r9 : c5a3c200  r8 : 00000000",
	"r3 : 00000000  r2 : 00000001  r1 : 00000000  r0 : c5a2b800",
	"Flags: nZCv  IRQs on  FIQs on  Mode SVC_32  ISA ARM  Segment none",
	"Control: 10c5387d  Table: 4540406a  DAC: 00000051",
	"Process kworker/1:2 (pid: 97, stack limit = 0xc5b04210)",
	"Stack: (0xc5b05ef0 to 0xc5b06000)",
	"5ee0:                                     c5a2b800 c5a3c200 c5a3c205 00000000",
	"Backtrace: ",
	"[<c04a1ad4>] (msm_geni_serial_handle_rx) from [<c04a1e40>] (msm_geni_serial_rx_work+0x34/0x60)",
	"[<c04a1e0c>] (msm_geni_serial_rx_work) from [<c013c1d4>] (process_one_work+0x1b4/0x3f0)",
	"[<c013c020>] (process_one_work) from [<c013c4d0>] (worker_thread+0x40/0x5a0)",
	"[<c013c490>] (worker_thread) from [<c0141a94>] (kthread+0x134/0x150)",
	"[<c0141960>] (kthread) from [<c0107f78>] (ret_from_fork+0x14/0x3c)",
	"Code: e5943008 e3530000 0a000010 e5932008 (e5921008) ",
	"---[ end trace 3b5e8d5c2f1a0e77 ]---",
	"Kernel panic - not syncing: Fatal exception",
};

std::vector<klog_message> klog_messages(size_t n, klog_arch arch)
{
	const char *const *oops = arch == klog_arch::arm64 ? arm64_oops : arm_oops;
	size_t oops_lines = arch == klog_arch::arm64 ? std::size(arm64_oops) : std::size(arm_oops);
	std::vector<klog_message> m;
	for (size_t i = 0; i < n; i++) {
		size_t from_end = n - i;
		uint64_t ts = i * 7654321ull + (i * i % 1000) * 1000 + 51;
		// The report is printed within a few milliseconds.
		if (from_end <= oops_lines)
			m.push_back({ts / 1000 + 120000000000ull + (oops_lines - from_end) * 97000, oops[oops_lines - from_end]});
		else
			m.push_back({ts, line(i)});
	}
	return m;
}

klog_built klog_build_prb(const klog_prb_params &p)
{
	const prb_layout &l = p.word == 4 ? prb32 : prb64;
	prb_writer w(l, p.count_bits, p.size_bits);
	std::vector<klog_message> msgs = klog_messages(p.messages, p.arch);
	for (size_t i = 0; i < msgs.size(); i++)
		w.write(msgs[i].ts_nsec, msgs[i].text, i + 1 == msgs.size() && p.last_committed ? 1 : 2);
	if (p.pending)
		w.write(msgs.empty() ? 0 : msgs.back().ts_nsec + 1000, "CPU1: stopping", 0);

	// vars: the prb pointer, then the ring's structure at +64 (printk_rb_dynamic);
	// rings: descs, infos, text.
	const uint64_t rb = p.vars.vaddr + 64;
	const uint64_t descs = p.rings.vaddr, infos = descs + w.descs().size(), data = infos + w.infos().size();
	std::vector<uint8_t> vars(64, 0);
	le_put(vars.data(), l.w, rb);
	append(vars, w.ring(descs, infos, data));
	std::vector<uint8_t> rings;
	append(rings, w.descs());
	append(rings, w.infos());
	append(rings, w.data());

	klog_built b;
	b.pieces = {{p.vars.paddr, vars}, {p.rings.paddr, rings}};
	b.vmcoreinfo = prb_vmcoreinfo(l, p.vars.vaddr, p.vars.vaddr + 0x1000, p.vars.vaddr + 32);
	b.crossed_end = w.crossed;
	b.dropped = w.dropped;
	return b;
}

namespace {

// The older ring's writer: struct printk_log records as log_store() lays
// them out, the oldest dropped to make room.
class logbuf_writer {
public:
	// struct printk_log of 4.x: ts_nsec, len, text_len, dict_len, facility,
	// flags and level; 4-byte aligned on ARM.
	static constexpr uint32_t hdr = 16, align = 4;

	explicit logbuf_writer(uint32_t len) : len_(len), buf_(len, 0) {}

	void write(const klog_message &m)
	{
		// Every seventh record carries a device dictionary after its text.
		std::string dict = next_seq_ % 7 == 3 ? std::string("SUBSYSTEM=usb\0DEVICE=c189:1", 27) : "";
		uint32_t size = hdr + static_cast<uint32_t>(m.text.size() + dict.size());
		size += (0 - size) & (align - 1);
		while (first_seq < next_seq_) {
			if (has_space(size))
				break;
			first = next_of(first);
			first_seq++;
			dropped++;
		}
		if (next + size + hdr > len_) {
			memset(&buf_[next], 0, hdr);
			next = 0;
		}
		uint8_t *h = &buf_[next];
		le64_put(h, m.ts_nsec);
		le16_put(h + 8, static_cast<uint16_t>(size));
		le16_put(h + 10, static_cast<uint16_t>(m.text.size()));
		le16_put(h + 12, static_cast<uint16_t>(dict.size()));
		h[14] = 0;
		h[15] = 6 << 5; // level KERN_INFO
		memcpy(h + hdr, m.text.data(), m.text.size());
		memcpy(h + hdr + m.text.size(), dict.data(), dict.size());
		next += size;
		next_seq_++;
	}

	const std::vector<uint8_t> &buf() const { return buf_; }
	uint32_t first = 0, next = 0; // log_first_idx, log_next_idx
	uint64_t first_seq = 0;
	size_t dropped = 0;

private:
	// The index after the record at idx, as log_next() finds it: a length
	// of 0 marks a wrap, so the record is the one at the buffer's start.
	uint32_t next_of(uint32_t idx) const
	{
		uint16_t l = le16_get(&buf_[idx + 8]);
		return l ? idx + l : le16_get(&buf_[8]);
	}

	// Room for a record of size bytes and, after it, the header that marks a wrap.
	bool has_space(uint32_t size) const
	{
		uint32_t free_bytes = next > first ? std::max(len_ - next, first) : first - next;
		return free_bytes >= size + hdr;
	}

	uint32_t len_;
	std::vector<uint8_t> buf_;
	uint64_t next_seq_ = 0;
};

// vars: log_buf (a pointer), then the u32s log_buf_len, log_first_idx,
// clear_idx and log_next_idx, then the u64 log_first_seq (8-aligned),
// the sequence number of the oldest record held.
uint64_t logbuf_first_seq_at(unsigned w)
{
	return (w + 16 + 7) & ~uint64_t{7};
}

std::vector<uint8_t> logbuf_vars(const klog_logbuf_params &p, const logbuf_writer &lw)
{
	const unsigned w = p.word;
	const uint64_t first_seq_at = logbuf_first_seq_at(w);
	std::vector<uint8_t> vars(static_cast<size_t>(first_seq_at + 8), 0);
	le_put(vars.data(), w, p.rings.vaddr);
	le32_put(vars.data() + w, p.buf_len);
	le32_put(vars.data() + w + 4, lw.first);
	le32_put(vars.data() + w + 8, lw.first);
	le32_put(vars.data() + w + 12, lw.next);
	le64_put(vars.data() + first_seq_at, lw.first_seq);
	return vars;
}

// The lines log_buf_vmcoreinfo_setup() writes for the older ring.
std::string logbuf_vmcoreinfo(const klog_logbuf_params &p)
{
	const unsigned w = p.word;
	auto sym = [&](const char *name, uint64_t at) {
		return std::string("SYMBOL(") + name + ")=" + line_fmt("%" PRIx64, at) + "\n";
	};
	return sym("log_buf", p.vars.vaddr) + sym("log_buf_len", p.vars.vaddr + w) +
	       sym("log_first_idx", p.vars.vaddr + w + 4) + sym("clear_idx", p.vars.vaddr + w + 8) +
	       sym("log_next_idx", p.vars.vaddr + w + 12) +
	       "SIZE(printk_log)=16\nOFFSET(printk_log.ts_nsec)=0\nOFFSET(printk_log.len)=8\n"
	       "OFFSET(printk_log.text_len)=10\nOFFSET(printk_log.dict_len)=12\n";
}

} // namespace

klog_built klog_build_logbuf(const klog_logbuf_params &p)
{
	logbuf_writer lw(p.buf_len);
	for (const klog_message &m : klog_messages(p.messages, p.arch))
		lw.write(m);

	klog_built b;
	b.pieces = {{p.vars.paddr, logbuf_vars(p, lw)}, {p.rings.paddr, lw.buf()}};
	b.crossed_end = lw.next < lw.first;
	b.vmcoreinfo = logbuf_vmcoreinfo(p);
	b.dropped = lw.dropped;
	b.symbols = {{"log_first_seq", p.vars.vaddr + logbuf_first_seq_at(p.word)}};
	return b;
}
