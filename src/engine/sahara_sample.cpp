// A crash is known by its memory, not only by its table: another crash of
// the same model, or of the same device after a reboot, offers the same
// table byte for byte. Before a dump goes on with what an earlier run left,
// samples of those regions are read from the device and compared with the
// files.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include "oscompat.h"
#include "sahara_engine.h"
#include "ux.h"

namespace {

// Of the dump's bytes, at most one in this many is read for the samples.
constexpr uint64_t sample_share = 50;

struct sample_span {
	uint64_t off, len;
};

// The pieces of a region compared with the first have bytes of its file: of
// a whole file its first piece, its last and two between (the whole region
// when it is not longer than four pieces); of a partial file its first.
std::vector<sample_span> sample_spans(uint64_t length, uint64_t have, uint64_t piece)
{
	if (have < length)
		return {{0, std::min(have, piece)}};
	if (length > 4 * piece) {
		uint64_t last = length - piece;
		return {{0, piece}, {last / 3, piece}, {last / 3 * 2, piece}, {last, piece}};
	}
	std::vector<sample_span> spans;
	for (uint64_t off = 0; off < length; off += piece)
		spans.push_back({off, std::min(piece, length - off)});
	return spans;
}

struct file_closer {
	void operator()(FILE *f) const { fclose(f); }
};
using file_ptr = std::unique_ptr<FILE, file_closer>;

// A stream on the file name in dir, opened as every file of a dump is (no
// link, no FIFO); null when there is none. *size: its size.
file_ptr open_sampled(const sahara_dump_dir &dir, const std::string &name, uint64_t *size)
{
	int fd = sahara_open_in(dir, name.c_str());
	if (fd < 0)
		return nullptr;
	FILE *f = os_fd_size(fd, size) == 0 ? fdopen(fd, "rb") : nullptr;
	if (!f)
		::close(fd);
	return file_ptr(f);
}

// Why a failed read of a sample ends the dump.
const char *sample_hint(sahara_one_result r)
{
	if (r == SAHARA_ONE_STOPPED)
		return sahara_stopped_hint;
	if (r == SAHARA_ONE_DEVICE_BABBLES)
		return "The device kept sending data it was not asked for, so what it sent next could not be told "
		       "apart from region data.";
	return "The device stopped sending data: check the USB cable and port.";
}

struct sampler {
	vorn_device *dev;
	const sahara_debug_width &wd;
	sahara_dump_run &run;
	std::unique_ptr<uint8_t[]> got, want;

	// 1 when the device's bytes at each span of region equal the file's;
	// 0 when any differs; -1 after a failure of the device.
	int compare(const sahara_debug_region64 &region, const std::vector<sample_span> &spans, FILE *f,
		    const std::string &shown)
	{
		for (const sample_span &s : spans) {
			uint64_t n = 0, dropped = 0;
			sahara_one_result r = sahara_read_block(dev, wd, region.addr + s.off, s.len, got.get(), &n,
								&dropped, shown.c_str(), run);
			bool same = r == SAHARA_ONE_SAVED && os_fseek_set(f, s.off) == 0 &&
				    fread(want.get(), 1, s.len, f) == s.len && memcmp(got.get(), want.get(), s.len) == 0;
			if (r == SAHARA_ONE_SAVED && !sahara_drain(dev, got.get(), &dropped, run))
				r = SAHARA_ONE_DEVICE_BABBLES;
			if (r != SAHARA_ONE_SAVED) {
				run.hint = sample_hint(r);
				return -1;
			}
			if (!same)
				return 0;
		}
		return 1;
	}
};

} // namespace

int sahara_same_crash(vorn_device *dev, const sahara_debug_width &wd, const std::vector<sahara_debug_region64> &table,
		      const std::vector<bool> &to_read, const std::vector<sahara_saved_region> &kept,
		      const std::vector<bool> &changed, const sahara_dump_dir &dir, size_t *differs,
		      sahara_dump_run &run)
{
	// What each region has on disk: all of it when kept whole, else the
	// size of a partial file; nothing to compare without a file, or with
	// one changed since it was whole.
	std::vector<uint64_t> have(table.size(), 0);
	uint64_t dump_bytes = 0;
	size_t checked = 0;
	for (size_t i = 0; i < table.size(); i++) {
		if (!to_read[i] || kept[i].file.empty())
			continue;
		dump_bytes += std::min<uint64_t>(table[i].length, UINT64_MAX / 4);
		uint64_t size = 0;
		if (kept[i].saved)
			have[i] = table[i].length;
		else if (!changed[i] && open_sampled(dir, kept[i].file, &size))
			have[i] = std::min(size, table[i].length);
		checked += have[i] > 0;
	}
	if (checked == 0)
		return 1;
	uint64_t piece = std::clamp<uint64_t>(dump_bytes / sample_share / (4 * checked), 1, SAHARA_DEBUG_BLOCK);
	sampler s{dev, wd, run, std::unique_ptr<uint8_t[]>(new (std::nothrow) uint8_t[2 * SAHARA_DEBUG_BLOCK]),
		  std::unique_ptr<uint8_t[]>(new (std::nothrow) uint8_t[SAHARA_DEBUG_BLOCK])};
	if (!s.got || !s.want) {
		ux_err("out of memory for comparing the dump cut short with the device\n");
		return -1;
	}
	for (size_t i = 0; i < table.size(); i++) {
		if (have[i] == 0)
			continue;
		uint64_t size = 0;
		file_ptr f = open_sampled(dir, kept[i].file, &size);
		std::string shown = sahara_printable(kept[i].file.c_str());
		// A kept file that cannot be read now cannot vouch for the crash.
		int same = f ? s.compare(table[i], sample_spans(table[i].length, have[i], piece), f.get(), shown) : 0;
		if (same <= 0) {
			*differs = i;
			return same;
		}
	}
	return 1;
}
