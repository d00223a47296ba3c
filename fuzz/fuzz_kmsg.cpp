// The kernel log reader on hostile dumps: a log built as the kernel writes
// it, then spoiled byte by byte, or read with vmcoreinfo text from the
// input. Never a crash, a hang or a leak; a failure is one line and no
// records, a success stays within the bounds.
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "../emulator/kernel_log.cpp"
#include "kmsg.h"

namespace {

const char arm64_lines[] = "OSRELEASE=5.15.104\nNUMBER(VA_BITS)=39\nNUMBER(kimage_voffset)=0xffffffbf88000000\n"
			   "NUMBER(PHYS_OFFSET)=0x80000000\n";
const char arm_lines[] = "OSRELEASE=4.14.190\nNUMBER(PHYS_OFFSET)=0x80000000\n";

struct fixture {
	klog_built log;
	std::string arch;
	unsigned word;
};

// Small logs of each kind, so that a run gets through many inputs.
const std::vector<fixture> &fixtures()
{
	static const std::vector<fixture> f = [] {
		std::vector<fixture> v;
		for (unsigned word : {8u, 4u}) {
			klog_at vars = word == 8 ? klog_at{0xffffffc00a2c0000, 0x822c0000} : klog_at{0xc22c0000, 0x822c0000};
			klog_at rings = word == 8 ? klog_at{0xffffff800f000000, 0x8f000000} : klog_at{0xcf000000, 0x8f000000};
			klog_prb_params p;
			p.word = word;
			p.count_bits = 5;
			p.size_bits = 11;
			p.messages = 80;
			p.pending = true;
			p.vars = vars;
			p.rings = rings;
			v.push_back({klog_build_prb(p), word == 8 ? arm64_lines : arm_lines, word});
			klog_logbuf_params l;
			l.word = word;
			l.buf_len = 2048;
			l.messages = 80;
			l.vars = vars;
			l.rings = rings;
			v.push_back({klog_build_logbuf(l), word == 8 ? arm64_lines : arm_lines, word});
		}
		return v;
	}();
	return f;
}

} // namespace

// Input: a byte choosing the log and whether the rest is vmcoreinfo text
// (odd) or patches (even): three bytes each, a 16-bit offset into the
// pieces laid end to end and the byte put there.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	if (size < 1)
		return 0;
	const fixture &fx = fixtures()[(data[0] >> 1) % fixtures().size()];
	std::vector<std::vector<uint8_t>> mem;
	for (const klog_piece &p : fx.log.pieces)
		mem.push_back(p.bytes);

	kmsg_source src;
	src.word = data[0] & 0x40 ? 0 : fx.word;
	if (data[0] & 1) {
		src.vmcoreinfo = fx.arch + std::string(reinterpret_cast<const char *>(data + 1), size - 1);
	} else {
		src.vmcoreinfo = fx.arch + fx.log.vmcoreinfo;
		for (size_t i = 1; i + 3 <= size; i += 3) {
			size_t off = static_cast<size_t>(data[i]) << 8 | data[i + 1];
			for (std::vector<uint8_t> &m : mem) {
				if (off < m.size()) {
					m[off] = data[i + 2];
					break;
				}
				off -= m.size();
			}
		}
	}
	for (size_t i = 0; i < mem.size(); i++)
		src.regions.push_back({std::to_string(i), fx.log.pieces[i].paddr, mem[i].size(), 0});
	src.read = [&mem](const kmsg_region &r, uint64_t off, uint8_t *buf, size_t len) {
		const std::vector<uint8_t> &m = mem[std::stoul(r.file)];
		if (off > m.size() || len > m.size() - off)
			return false;
		memcpy(buf, m.data() + off, len);
		return true;
	};

	kmsg_log log;
	std::string why;
	if (kmsg_read(src, log, why) != 0) {
		if (why.empty() || why.find('\n') != std::string::npos || !log.records.empty())
			__builtin_trap();
		return 0;
	}
	if (log.records.size() > KMSG_RECORDS_MAX)
		__builtin_trap();
	std::string text = kmsg_dmesg_text(log);
	if (!log.records.empty() && (text.empty() || text.back() != '\n'))
		__builtin_trap();
	(void)kmsg_last_line(log);
	return 0;
}
